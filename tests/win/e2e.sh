#!/usr/bin/env bash
# End to end under wine: zl27t.exe against the simulator (built for Linux,
# running natively) on a pty that wine shows as COM5, and on its Modbus TCP
# port. The command line's fetch and send over each link kind and a remote
# port first; then the full-screen program in a tmux pane, its screen read
# back with capture-pane, typed as a user would: the link dialog, fetch,
# edit and send over Sy/Max and Modbus RTU on COM5 and over Modbus TCP, the
# register viewer, the terminal on a remote port and on COM5, the file picker.
#   tests/win/e2e.sh BUILD_WINDOWS_DIR LINUX_BUILD_DIR
# Needs tmux and wine; the wine prefix is BUILD_WINDOWS_DIR/wineprefix.
set -euo pipefail
win=$(cd "$1" && pwd)
linux=$(cd "$2" && pwd)
exe=$win/zl27t.exe
sim=$linux/zl27t-sim
export WINEPREFIX=$win/wineprefix WINEDEBUG=-all
unset DISPLAY
work=$(mktemp -d /tmp/zl27t-win-e2e-XXXXXX)
sock=zl27t-win-$$
sim_pid=
peer_pids=()
failures=0

cleanup() {
  [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null || true
  for p in "${peer_pids[@]}"; do kill "$p" 2>/dev/null || true; done
  tmux -L "$sock" kill-server 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
pass() { echo "ok: $*"; }

start_sim() {   # start_sim ARGS...: waits for its ready line
  stop_sim
  "$sim" "$@" >"$work/sim.log" 2>&1 &
  sim_pid=$!
  for _ in $(seq 100); do grep -q '^ready' "$work/sim.log" && return 0; sleep 0.05; done
  echo "the simulator did not start: $(cat "$work/sim.log")" >&2
  return 1
}
stop_sim() {
  if [ -n "$sim_pid" ]; then kill "$sim_pid" 2>/dev/null || true; wait "$sim_pid" 2>/dev/null || true; fi
  sim_pid=
}

screen() { tmux -L "$sock" capture-pane -p -t zl; }
# wait_text TEXT [SECONDS]: until the pane shows TEXT
wait_text() {
  local deadline=$((SECONDS + ${2:-15}))
  while [ $SECONDS -lt $deadline ]; do
    screen | grep -qF -- "$1" && return 0
    sleep 0.2
  done
  echo "--- screen while waiting for \"$1\":" >&2
  screen >&2
  return 1
}
# wait_gone TEXT [SECONDS]: until the pane no longer shows TEXT
wait_gone() {
  local deadline=$((SECONDS + ${2:-15}))
  while [ $SECONDS -lt $deadline ]; do
    screen | grep -qF -- "$1" || return 0
    sleep 0.2
  done
  echo "--- screen still showing \"$1\":" >&2
  screen >&2
  return 1
}
# gone TEXT: the pane stops showing TEXT, else a failure is counted
gone() { wait_gone "$1" || fail "the screen still shows $1"; }
# Keys one send-keys call each: wine's console reads an Esc alone only so.
key() { for k in "$@"; do tmux -L "$sock" send-keys -t zl "$k"; sleep 0.3; done; }
# press KEY N: one key N times in one call (never Esc)
press() { tmux -L "$sock" send-keys -t zl -N "$2" "$1"; sleep 0.3; }
type_text() { tmux -L "$sock" send-keys -t zl -l "$1"; sleep 0.3; }
# Home as xterm sends it: wine's console takes ESC [ H, not tmux's ESC [ 1 ~.
home() { type_text $'\e[H'; }
# choose TEXT KEY: KEY ("+", "-", Down) until the pane shows TEXT, as a user
# steps through a field's choices or a list
choose() {
  for _ in $(seq 12); do
    screen | grep -qF -- "$1" && return 0
    key "$2"
  done
  wait_text "$1" 1
}
start_program() {   # in $work, 80 x 25, no status line; ENV... before the program
  tmux -L "$sock" -f /dev/null new-session -d -s zl -x 80 -y 25 \
    "cd '$work' && env $* wine '$exe'; echo \"EXIT=\$?\"; sleep 60" \; set status off
}

# Small peers: a device that answers in capitals, a serial server.
cat >"$work/peer.py" <<'PY'
import os, pty, select, socket, sys, tty
# peer.py pty PATH | tcp PORT: every byte answered in capitals;
# peer.py bridge PORT PATH: a raw TCP serial server for the device PATH
if sys.argv[1] == "bridge":
    listener = socket.create_server(("127.0.0.1", int(sys.argv[2])))
    print("ready", flush=True)
    while True:
        conn, _ = listener.accept()
        dev = os.open(sys.argv[3], os.O_RDWR | os.O_NOCTTY)
        tty.setraw(dev)
        while True:
            ready = select.select([conn, dev], [], [])[0]
            if conn in ready:
                data = conn.recv(256)
                if not data:
                    break
                os.write(dev, data)
            if dev in ready:
                conn.sendall(os.read(dev, 256))
        os.close(dev)
        conn.close()
if sys.argv[1] == "pty":
    master, slave = pty.openpty()
    tty.setraw(slave)
    if os.path.lexists(sys.argv[2]):
        os.unlink(sys.argv[2])
    os.symlink(os.ttyname(slave), sys.argv[2])
    print("ready", flush=True)
    while True:
        os.write(master, os.read(master, 256).upper())
listener = socket.create_server(("127.0.0.1", int(sys.argv[2])))
print("ready", flush=True)
while True:
    conn, _ = listener.accept()
    while data := conn.recv(256):
        conn.sendall(data.upper())
    conn.close()
PY
start_peer() {   # start_peer NAME ARGS...: python3 "$work/peer.py" ARGS, waits for its ready line
  local name=$1
  shift
  python3 "$work/peer.py" "$@" >"$work/$name.log" 2>&1 &
  peer_pids+=($!)
  for _ in $(seq 100); do grep -q '^ready' "$work/$name.log" && return 0; sleep 0.05; done
  echo "the peer did not start: $(cat "$work/$name.log")" >&2
  return 1
}
# COM5 is the simulator's pty: wine lists it under SERIALCOMM once its
# server starts again.
wine reg add 'HKLM\Software\Wine\Ports' /v COM5 /t REG_SZ /d "$work/modem" /f >/dev/null 2>&1
wineserver -k 2>/dev/null || true
# One server for all the runs (each would otherwise wait for its linger);
# a port that goes away makes it talk a lot, into its log.
(wineserver -p60 2>>"$win/wineserver.log" &)

cd "$work"

# --- the command line: fetch and send over each link kind ---
tcp_port=$((20000 + $$ % 20000))
start_sim --tcp "$tcp_port"
if wine "$exe" --fetch TCP.ZLE -m tcp --host 127.0.0.1 -p "$tcp_port" && [ "$(stat -c %s TCP.ZLE)" = 124 ]; then
  pass "Modbus TCP fetch"
else
  fail "Modbus TCP fetch"
fi
wine "$exe" --send TCP.ZLE -m tcp --host localhost -p "$tcp_port" && pass "Modbus TCP send (host looked up)" || fail "Modbus TCP send"
[ "$(wine "$exe" --identify -m tcp --host 127.0.0.1 -p "$tcp_port" | tr -d '\r')" = ZL27T ] && pass "Modbus TCP identify" || fail "Modbus TCP identify"
for proto in symax rtu; do
  start_sim --pty "$work/modem" --proto "$proto"
  rm -f COM.ZLE
  if wine "$exe" --fetch COM.ZLE -m "$proto" --device COM5 -P none 2>/dev/null && cmp -s COM.ZLE TCP.ZLE; then
    pass "$proto fetch on COM5"
  else
    fail "$proto fetch on COM5"
  fi
  wine "$exe" --send COM.ZLE -m "$proto" --device COM5 -P none 2>/dev/null && pass "$proto send on COM5" || fail "$proto send on COM5"
done
# A remote port: the simulator behind a raw TCP serial server.
bridge_port=$((tcp_port + 2))
start_sim --pty "$work/modem" --proto symax
if start_peer bridge bridge "$bridge_port" "$work/modem" &&
  wine "$exe" --fetch REMOTE.ZLE -m symax --device "socket://127.0.0.1:$bridge_port" 2>/dev/null &&
  cmp -s REMOTE.ZLE TCP.ZLE; then
  pass "symax fetch through socket://"
else
  fail "symax fetch through socket://"
fi
# And through ser2net as an RFC 2217 server, which takes the line settings.
if command -v ser2net >/dev/null; then
  rfc_port=$((tcp_port + 3))
  printf '%s\n' "connection: &zl" "  accepter: telnet(rfc2217),tcp,127.0.0.1,$rfc_port" \
    "  connector: serialdev,$work/modem,9600n81,local" "  options:" "    kickolduser: true" >"$work/ser2net.yaml"
  ser2net -n -c "$work/ser2net.yaml" >"$work/ser2net.log" 2>&1 &
  peer_pids+=($!)
  for _ in $(seq 100); do ss -Hltn "sport = :$rfc_port" | grep -q . && break; sleep 0.05; done
  if wine "$exe" --fetch RFC.ZLE -m symax --device "rfc2217://127.0.0.1:$rfc_port" -P none 2>/dev/null &&
    cmp -s RFC.ZLE TCP.ZLE; then
    pass "symax fetch through rfc2217://"
  else
    fail "symax fetch through rfc2217://"
  fi
else
  echo "skipped: the fetch through rfc2217:// (no ser2net here)"
fi
ports=$(wine "$exe" --ports | tr -d '\r')
echo "$ports" | grep -qx COM5 && pass "COM5 in the port list" || fail "COM5 not in the port list: $ports"
# A port named as a device path: first in the list, and not listed twice.
ports=$(ZL27T_PORTS='\\.\COM5' wine "$exe" --ports | tr -d '\r')
if [ "$(echo "$ports" | head -1)" = '\\.\COM5' ] && ! echo "$ports" | grep -qx COM5; then
  pass "ZL27T_PORTS names COM5 as \\\\.\\COM5"
else
  fail "ZL27T_PORTS with \\\\.\\COM5: $ports"
fi
rm -f DEV.ZLE
if wine "$exe" --fetch DEV.ZLE -m symax --device '\\.\COM5' -P none 2>/dev/null && cmp -s DEV.ZLE TCP.ZLE; then
  pass "symax fetch on \\\\.\\COM5"
else
  fail "symax fetch on \\\\.\\COM5"
fi

# --- the full-screen program ---
# The simulator holds answer on ring 7 (register 8000) and 0x1234 in
# register 10: a fetch and the register viewer show what came from it.
sim_regs=(--set 8000=7 --set 10=0x1234)
remote_port=$((tcp_port + 1))
start_sim --pty "$work/modem" --proto symax "${sim_regs[@]}"
# A peer answering in capitals as a raw TCP serial server: the remote port
# ZL27T_PORTS puts first.
start_peer tcp-peer tcp "$remote_port"
start_program "ZL27T_PORTS=socket://127.0.0.1:$remote_port"
if wait_text "Can't locate setup file."; then pass "start-up without a setup file"; else fail "start-up"; fi
key F10
wait_text "CONFIGURE THIS COMPUTER" && pass "the link dialog" || fail "the link dialog"
screen | grep -qF '╔═' && pass "code page 437 box lines" || fail "no box lines on the screen"
key Escape
wait_text "oNline" && pass "the main menu" || fail "the main menu"
# F1: the screen printed to a file (25 lines, each with its underline line,
# then a form feed), byte for byte as on Linux.
key F1
if wait_text "PRINT SCREEN" 5; then
  tmux -L "$sock" send-keys -t zl -l screen.txt
  sleep 0.3
  key Enter
  for _ in $(seq 50); do [ -s SCREEN.TXT ] && break; sleep 0.1; done
  [ "$(stat -c %s SCREEN.TXT 2>/dev/null)" = $((25 * 162 + 1)) ] && pass "F1 to a file" ||
    fail "F1 to a file: $(stat -c %s SCREEN.TXT 2>&1)"
else
  fail "F1 opens no PRINT SCREEN box"
fi

# Setup / Sy/Max communications, the link kind stepped to with "+".
link_dialog() {   # link_dialog KIND
  key s s
  wait_text "CONFIGURE THIS COMPUTER" && choose "Connection type $1" + && key Enter
}
# The serial fields from Port: COM5, no parity (a pty carries only 8N1),
# ROUTE in the last field. Seven fields come before it, TO_PARITY of them
# before Parity (Sy/Max takes no data bits, Modbus RTU no error check).
serial_fields() {   # serial_fields TO_PARITY ROUTE
  choose "Port COM5" + && press Enter "$1" && choose "Parity NONE" - &&
    press Enter $((7 - $1)) && type_text "$2" && key Enter
}
save_link() {   # the save question answered yes
  wait_text "Write setup to startup file?" && key y && wait_gone "CONFIGURE THIS COMPUTER"
}
# Home, then answer on ring (right, down) set to DIGIT in the editor.
set_rings() { home; key Right Down "$1" Enter; wait_text "Answer on ring      $1"; }
# fetch_edit_send LABEL RINGS: Offline / Fetch (answer on ring 7 from the
# simulator), the editor sets RINGS, Offline / Send; then memory set to 2
# and fetched again, which must bring RINGS back from the device.
fetch_edit_send() {
  local label=$1 rings=$2
  key f f f e   # keys typed while the fetch waits on the link come after it
  if ! wait_text "Answer on ring      7"; then fail "$label: fetch through the menu"; key Escape; return; fi
  screen | grep -qF ERROR && { fail "$label: fetch shows an error"; return; }
  pass "$label: fetch through the menu"
  set_rings "$rings" || { fail "$label: answer on ring not edited"; return; }
  key Escape
  gone "Communication Mode"
  key f s
  for _ in $(seq 10); do
    screen | grep -qF "Proceed?" && { key y; break; }
    sleep 0.1
  done
  gone "SEND OFFLINE TO MODEM"
  if screen | grep -qF ERROR; then fail "$label: send shows an error"; screen >&2; key F10; return; fi
  key f e
  set_rings 2 >/dev/null || { fail "$label: memory not edited"; return; }
  key Escape
  gone "Communication Mode"
  key f f f e
  if wait_text "Answer on ring      $rings"; then pass "$label: send through the menu"; else fail "$label: send through the menu"; fi
  key Escape
  gone "Communication Mode"
}

# --- the link dialog, fetch and send: Sy/Max on COM5 ---
if link_dialog "Sy/Max COM:" && serial_fields 3 201 && save_link; then
  pass "Sy/Max on COM5 chosen in the link dialog"
  fetch_edit_send "Sy/Max on COM5" 5
else
  fail "Sy/Max on COM5 chosen in the link dialog"
fi

# --- the register viewer: reads, a write read back, Esc out ---
key u v
if wait_text "REGSTR   HEX   UNSIGN  SIGNED" && wait_text "4x10  1234    4660    4660  0001 0010 0011 0100"; then
  pass "the register viewer shows the device's registers"
  press Down 9
  key 7 Enter   # the first digit replaces the text; Enter writes
  wait_text "4x10  0007       7       7" && pass "the register viewer writes" || fail "the register viewer writes"
  key Escape
  wait_gone "REGSTR" && wait_text "oNline" && pass "Esc leaves the register viewer" || fail "Esc leaves the register viewer"
  key u v
  wait_text "4x10  0007       7" && pass "the written register read back" || fail "the written register read back"
  key Escape
  gone "REGSTR"
else
  fail "the register viewer shows the device's registers"
  key Escape
fi

# --- the terminal emulator: on a remote port, then on the link's COM5 ---
key u t
if wait_text "Type contrl-End to exit terminal."; then
  # The terminal's port is the first of the list: the remote one.
  type_text "hello remote"
  wait_text "HELLO REMOTE" && pass "the terminal on socket://: typed and answered" ||
    fail "the terminal on socket:// got no answer"
  # F9 onto COM5, which the link holds: the link lets it go for the run.
  key F9
  if wait_text "CONFIGURE TERMINAL EMULATOR" && choose "Port COM5" + && press Enter 6 &&
    wait_text "Write setup to startup file?" && key n && wait_gone "CONFIGURE TERMINAL EMULATOR" &&
    wait_text "Type contrl-End to exit terminal."; then
    sleep 0.5
    screen | grep -qF "Can't open port" && fail "the terminal cannot take COM5 from the link" ||
      pass "the terminal takes COM5 from the link"
  else
    fail "the terminal's port set to COM5"
  fi
  key C-End
  wait_gone "Type contrl-End to exit terminal." && wait_text "oNline" && pass "Ctrl-End leaves the terminal" ||
    fail "Ctrl-End leaves the terminal"
  # The link has COM5 again: memory set to 2, a fetch brings 5 back.
  key f e
  set_rings 2 >/dev/null || fail "memory not edited"
  key Escape
  gone "Communication Mode"
  key f f f e
  wait_text "Answer on ring      5" && pass "the link on COM5 again after the terminal" ||
    fail "the link on COM5 after the terminal"
  key Escape
  gone "Communication Mode"
else
  fail "Utility / debugging Terminal opens no terminal"
  key F10
fi

# --- the link dialog, fetch and send: Modbus RTU on COM5 ---
start_sim --pty "$work/modem" --proto rtu "${sim_regs[@]}"
if link_dialog "Modbus RTU" && serial_fields 4 7 && save_link; then
  pass "Modbus RTU on COM5 chosen in the link dialog"
  fetch_edit_send "Modbus RTU on COM5" 6
else
  fail "Modbus RTU on COM5 chosen in the link dialog"
fi

# --- the link dialog, fetch and send: Modbus TCP ---
start_sim --tcp "$tcp_port" "${sim_regs[@]}"
if link_dialog "Modbus TCP" && type_text 127.0.0.1 && key Enter && type_text "$tcp_port" && key Enter &&
  press Enter 2 && type_text 1 && key Enter && save_link; then
  pass "Modbus TCP chosen in the link dialog"
  fetch_edit_send "Modbus TCP" 4
else
  fail "Modbus TCP chosen in the link dialog"
fi

# --- the file picker: the configuration saved to a file and read back;
# print to a file, delete ---
key f w
if wait_text "File to write:"; then
  wait_text "[C:" 2 && pass "the file picker lists the drives" || fail "the file picker lists no drives"
  type_text plant1
  key Enter
  gone "SAVE OFFLINE TO DISK"
  [ "$(stat -c %s PLANT1.ZLE 2>/dev/null)" = 124 ] && pass "saved to PLANT1.ZLE" || fail "saved to PLANT1.ZLE: $(ls)"
else
  fail "Offline / Write opens no file picker"
fi
key f e
set_rings 2 >/dev/null || fail "memory not edited before the read"
key Escape
gone "Communication Mode"
key f r
if wait_text "LOAD OFFLINE FROM DISK" && wait_text "PLANT1" && choose "PLANT1.." Down; then
  key Enter
  gone "LOAD OFFLINE FROM DISK"
  key f e
  wait_text "Answer on ring      4" && pass "PLANT1.ZLE chosen in the list and read" || fail "PLANT1.ZLE read"
  key Escape
  gone "Communication Mode"
else
  fail "PLANT1 chosen in the file picker"
  key Escape
fi
# Offline / Print to a file, and Offline / Delete of a file chosen in the list.
key f p
if wait_text "PRINT OFFLINE" && wait_text 'SYS$PRINT'; then
  type_text out.txt
  key Enter
  gone "PRINT OFFLINE"
  grep -qF "Auto Answer            after 4 rings" OUT.TXT 2>/dev/null && pass "Offline / Print to a file" ||
    fail "Offline / Print to a file: $(ls)"
else
  fail "Offline / Print asks for no file"
  key Escape
fi
# LPT1: is the default printer; where there is none (wine without CUPS
# printers) it cannot be opened, said as for a file, and the name is asked again.
if command -v lpstat >/dev/null && lpstat -p 2>/dev/null | grep -q .; then
  echo "skipped: LPT1: without a printer (this machine has printers)"
else
  key f p
  if wait_text "PRINT OFFLINE"; then
    type_text LPT1:
    key Enter
    wait_text "Can't open file \"LPT1:\" for write." 5 && pass "LPT1: without a printer is said" ||
      fail "LPT1: without a printer"
    key F10
    key Escape
    gone "PRINT OFFLINE"
  else
    fail "Offline / Print asks for no file"
  fi
fi
key f d
if wait_text "DELETE CONFIGURATION FILE" && wait_text "COM" && choose "COM....." Down; then
  key Enter
  for _ in $(seq 25); do [ -e COM.ZLE ] || break; sleep 0.2; done
  [ -e COM.ZLE ] && fail "COM.ZLE chosen in the list and not deleted" || pass "COM.ZLE chosen in the list and deleted"
  key Escape
  gone "DELETE CONFIGURATION FILE"
else
  fail "COM chosen in the delete list"
  key Escape
fi

# --- the terminal emulator on COM5, against a peer that answers ---
# The terminal's port is still COM5: it opens at once.
start_peer pty-peer pty "$work/modem"
key u t
if wait_text "Type contrl-End to exit terminal."; then
  type_text "hello com5"
  wait_text "HELLO COM5" && pass "the terminal on COM5: typed and answered" || fail "the terminal on COM5 got no answer"
  # F7 captures what comes to a file, F8 closes it.
  key F7
  if wait_text "Capture to file?"; then
    type_text cap.txt
    key Enter
    wait_text 'Copying output to: "cap.txt"' || fail "no Copying output to: \"cap.txt\" on the screen"
    type_text abc
    wait_text ABC || fail "no ABC on the screen"
    key F8
    wait_text 'Capture file: "cap.txt" closed.' || fail "no Capture file: \"cap.txt\" closed. on the screen"
    [ "$(cat cap.txt 2>/dev/null)" = ABC ] && pass "the terminal's capture file" ||
      fail "the terminal's capture file: $(cat cap.txt 2>&1)"
  else
    fail "F7 asks for no capture file"
  fi
  # The device goes away: the terminal says so and stays.
  kill "${peer_pids[-1]}"
  wait_text "The port is gone." && pass "the terminal says COM5 is gone" || fail "the terminal on a COM5 gone"
  key C-End
  wait_gone "Type contrl-End to exit terminal." && wait_text "oNline" && pass "Ctrl-End leaves the terminal" ||
    fail "Ctrl-End leaves the terminal"
else
  fail "Utility / debugging Terminal opens no terminal on COM5"
  key F10
fi

key q
sleep 0.3
screen | grep -qF "Quit anyway?" && key y
if wait_text "EXIT=0"; then pass "quit, exit status 0"; else fail "quit"; fi
screen | grep -qF "oNline" && fail "the console was not given back" || pass "the console given back"
# What Offline / Write saved is what the device holds now.
if wine "$exe" --fetch AFTER.ZLE -m tcp --host 127.0.0.1 -p "$tcp_port" && cmp -s AFTER.ZLE PLANT1.ZLE; then
  pass "PLANT1.ZLE holds the device's configuration"
else
  fail "PLANT1.ZLE differs from the device's configuration"
fi

tmux -L "$sock" kill-server 2>/dev/null || true
stop_sim
if [ "$failures" -gt 0 ]; then
  echo "$failures failed" >&2
  exit 1
fi
echo "all passed"
