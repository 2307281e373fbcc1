#!/usr/bin/env bash
# zl27t-sim as a process on its pty, seen by a small Sy/Max master written
# apart from the program: ready line and pty link, acknowledgement and reply,
# its fault injection, enquiries when a reply is not acknowledged, a quiet
# process after the far end closed, and the link removed on SIGTERM.
set -euo pipefail

build="${1:?usage: test_sim_symax.sh BUILD_DIR}"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

/usr/bin/python3 - "$build/zl27t-sim" "$work" <<'PY'
import os, select, signal, subprocess, sys, termios, time, tty

DLE, SOH, STX, ETX, ENQ, NAK = 0x10, 0x01, 0x02, 0x03, 0x05, 0x15
SEQ1, SEQ2 = 0x11, 0x12
sim, work = sys.argv[1], sys.argv[2]
procs = []

def fail(msg):
    for p in procs:
        p.kill()
    sys.exit("FAIL: " + msg)

def frame(seq, route, data):
    chk = 0
    body = [seq] + list(route) + [DLE, STX]
    for b in data:
        body += [b, b] if b == DLE else [b]
    body += [DLE, ETX]
    for b in body:
        chk = (chk - b) & 0xFFFF
    return bytes([DLE, SOH] + body + [chk & 0xFF])

class Master:
    def __init__(self, path):
        self.fd = os.open(path, os.O_RDWR | os.O_NOCTTY)
        tty.setraw(self.fd)
        self.buf = b''
    def byte(self, timeout=2.0):
        if not self.buf:
            if not select.select([self.fd], [], [], timeout)[0]:
                return None
            self.buf = os.read(self.fd, 1024)
        b, self.buf = self.buf[0], self.buf[1:]
        return b
    def control(self):
        """The byte after the next DLE."""
        while True:
            b = self.byte()
            if b is None:
                return None
            if b == DLE:
                return self.byte()
    def reply(self, ack=True):
        """Reads one frame; returns (seq, route, data, check_ok)."""
        if self.control() != SOH:
            fail("no reply frame")
        seq = self.byte()
        raw, route = [], []
        while (b := self.byte()) != DLE:
            route.append(b)
        self.byte()  # STX
        data = []
        while True:
            b = self.byte()
            if b == DLE:
                c = self.byte()
                if c == ETX:
                    break
                data.append(DLE)
            else:
                data.append(b)
        check = self.byte()
        ok = frame(seq, route, data)[-1] == check
        if ack:
            os.write(self.fd, bytes([DLE, seq if ok else NAK]))
        return seq, bytes(route), bytes(data), ok

def start(*args):
    p = subprocess.Popen([sim, '--pty', work + '/pty'] + list(args), stdout=subprocess.PIPE, text=True)
    procs.append(p)
    line = p.stdout.readline().split()
    if line != ['ready', work + '/pty']:
        fail("ready line: %r" % line)
    return p, Master(work + '/pty')

def read_req(t, reg, n):
    a = 2 * (reg - 1)
    return bytes([0x00, t, a >> 8, a & 255, 0x00, n - 1])

def values(data, at):
    return [data[i] << 8 | data[i + 1] for i in range(at, len(data) - 1, 2)]

def stop(p):
    p.send_signal(signal.SIGTERM)
    if p.wait(timeout=5) != 0:
        fail("exit status %d" % p.returncode)
    procs.remove(p)

# Identification through a two-drop route; the reply comes back reversed.
p, m = start('--name', 'BKVD-9', '--port-word', '0x8003')
os.write(m.fd, frame(SEQ1, b'C901', read_req(0x41, 8176, 13)))
if m.control() != SEQ1:
    fail("request not acknowledged with its sequence byte")
seq, route, data, ok = m.reply()
v = values(data, 4)
name = bytes(b for x in v[1:11] for b in (x >> 8, x & 255))
if (seq, route, data[:2], ok) != (SEQ1, b'01C9', bytes([0x86, 0x41]), True) or \
        v[0] != 0x8003 or name != b'BKVD-9'.ljust(20) or v[12] != 0x9990:
    fail("identification reply %r %r %r" % (route, data.hex(), name))

# Dial: carrier follows register 1 bit 0 after the dial delay.
os.write(m.fd, frame(SEQ2, b'', bytes([0x02, 0x42, 0x00, 0x00, 0x00, 0x01, 0xFF, 0xFF])))
if m.control() != SEQ2 or m.reply()[2][0] != 0x80:
    fail("write of register 1")
deadline = time.time() + 3
while True:
    os.write(m.fd, frame(SEQ1, b'', read_req(0x43, 2, 1)))
    m.control()
    status = values(m.reply()[2], 4)[0]
    if status & 1:
        break
    if time.time() > deadline:
        fail("no carrier after dialing (status %04X)" % status)
    time.sleep(0.05)

# A reply left unacknowledged is enquired about; the answer to an enquiry is
# the last acknowledgement again.
os.write(m.fd, frame(SEQ2, b'', read_req(0x44, 3, 1)))
m.control()
seq = m.reply(ack=False)[0]
if m.control() != ENQ:
    fail("no enquiry for an unacknowledged reply")
os.write(m.fd, bytes([DLE, ENQ]))
if m.control() != SEQ2:
    fail("enquiry not answered with the last acknowledgement")
os.write(m.fd, bytes([DLE, seq]))

# The far end goes away and comes back: no busy loop meanwhile.
os.close(m.fd)
stat = lambda: sum(int(x) for x in open('/proc/%d/stat' % p.pid).read().split()[13:15])
t0 = stat()
time.sleep(0.5)
if stat() - t0 > 10:
    fail("simulator busy while the far end is closed")
m = Master(work + '/pty')
termios.tcflush(m.fd, termios.TCIOFLUSH)
os.write(m.fd, frame(SEQ1, b'', read_req(0x45, 3, 1)))
m.control()
if values(m.reply()[2], 4) != [13]:
    fail("no answer after the far end came back")
stop(p)
if os.path.lexists(work + '/pty'):
    fail("pty link left behind")

# Faults: NAK for every second frame, bad check on every second reply.
p, m = start('--nak-every', '2', '--bad-check-every', '2')
os.write(m.fd, frame(SEQ1, b'', read_req(1, 3, 1)))
m.control(); m.reply()                       # frame 1 acked, reply 1 good
os.write(m.fd, frame(SEQ2, b'', read_req(2, 3, 1)))
if m.control() != NAK:
    fail("--nak-every 2: second frame not refused")
os.write(m.fd, frame(SEQ2, b'', read_req(2, 3, 1)))
m.control()
if m.reply()[3]:
    fail("--bad-check-every 2: second reply has a good check")
seq, route, data, ok = m.reply()             # sent again after our NAK
if not ok or data[1] != 2:
    fail("reply not repeated after NAK")
stop(p)
print("ok")
PY
