// The terminal emulator's port, interrupt trap and capture file.
#include "platform/term_port.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <chrono>
#include <string>
#include <thread>

#include "platform/byte_stream.h"
#include "platform/ports.h"
#include "platform/serial_port.h"
#include "platform/termios_line.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint8_t INTERRUPT_BYTE = 0x03;
// How long the interrupt handler waits for room to send its byte.
constexpr int INTERRUPT_WAIT_MS = 100;
// How long setting a remote port waits for its far port's answers (10 ms steps).
constexpr unsigned SETTLE_STEPS = 50;

// Milliseconds left until deadline, for poll(); -1 waits without a limit.
// Rounded up: a wait of under a millisecond cut to 0 would not wait at all,
// and a caller polling with the shortest wait would spin the processor.
int left_ms(bool limited, Clock::time_point deadline) {
  if (!limited) return -1;
  auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline - Clock::now()).count();
  return left > 0 ? static_cast<int>((left + 999) / 1000) : 0;
}

// A port that fails at once would make a caller that polls it in a loop spin.
void wait_out(bool limited, Clock::time_point deadline) {
  if (limited) std::this_thread::sleep_until(deadline);
}

// Modem-line ioctl; ENOTTY and EINVAL (a pty has no lines) are no failure.
void raise_line(int fd, int bit) {
  int bits = bit;
  ioctl(fd, TIOCMBIS, &bits);
}

// Remote ports open in the terminal, by their socket. The terminal has one
// port at a time; a few slots leave room for a test's.
constexpr int REMOTE_SLOTS = 4;
SerialPort remote_ports[REMOTE_SLOTS];

SerialPort *remote_port(int fd) {
  if (fd < 0) return nullptr;
  for (SerialPort &p : remote_ports)
    if (p.fd == fd && p.kind != STREAM_TTY) return &p;
  return nullptr;
}

int remote_open_error(const SerialPort &p) {
  const char *note = p.note;
  if (strstr(note, "host not found") || strstr(note, "not HOST:PORT")) return ENOENT;
  if (strstr(note, "refused")) return ECONNREFUSED;
  if (strstr(note, "given up")) return ECANCELED;
  if (strstr(note, "no answer")) return ETIMEDOUT;
  return EIO;
}

volatile sig_atomic_t interrupt_fd = -1;
bool interrupt_trapped = false;
struct sigaction interrupt_before;

void on_interrupt(int) {
  int saved_errno = errno;
  int fd = interrupt_fd;
  if (fd >= 0) {
    uint8_t b = INTERRUPT_BYTE;
    if (write(fd, &b, 1) != 1 && errno == EAGAIN) {
      struct pollfd p = {fd, POLLOUT, 0};
      if (poll(&p, 1, INTERRUPT_WAIT_MS) > 0) {
        ssize_t ignored = write(fd, &b, 1);
        (void)ignored;
      }
    }
  }
  errno = saved_errno;
}

}  // namespace

int tport_open(const char *list_name, bool read, bool write, int *fd, int (*step)(int), int user) {
  *fd = -1;
  if (!list_name || !*list_name) return ENOENT;   // no entry in the port list
  if (stream_name_remote(list_name)) {
    SerialPort *slot = nullptr;
    for (SerialPort &p : remote_ports)
      if (p.fd < 0) slot = &p;
    if (!slot) return EMFILE;
    // The terminal's line: raw 8 bits, no flow; tport_set_state sets it.
    PortSettings raw;
    raw.parity = PARITY_NONE;
    raw.cts_flow = false;
    StreamWait wait;
    wait.step = step;
    wait.user = user;
    *slot = SerialPort{};
    if (!sport_open(slot, list_name, raw, wait)) {
      int err = remote_open_error(*slot);
      slot->fd = -1;
      slot->kind = STREAM_TTY;
      return err;
    }
    *fd = slot->fd;
    return 0;
  }
  std::string path = plat_port_path(list_name ? list_name : "");
  int access = read && write ? O_RDWR : write ? O_WRONLY : O_RDONLY;
  int f = open(path.c_str(), access | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (f < 0) return errno;
  int err = 0;
  if (flock(f, LOCK_EX | LOCK_NB) != 0)
    err = errno == EWOULDBLOCK ? EBUSY : errno;
  else if (!isatty(f))
    err = ENOTTY;   // a file or /dev/null has no line settings to take
  struct termios t;
  if (!err && tcgetattr(f, &t) != 0) err = errno;
  if (err) {
    close(f);
    return err;
  }
  // Raw bytes both ways; the line settings come with tport_set_state.
  cfmakeraw(&t);
  t.c_cflag |= CLOCAL | CREAD;
  t.c_cc[VMIN] = 1;   // an empty port answers EAGAIN, and 0 means hung up
  t.c_cc[VTIME] = 0;
  if (tcsetattr(f, TCSANOW, &t) != 0) {
    err = errno;
    close(f);
    return err;
  }
  // What arrived before we opened was meant for somebody else.
  tcflush(f, TCIOFLUSH);
  *fd = f;
  return 0;
}

int tport_close(int fd) {
  if (SerialPort *p = remote_port(fd)) {
    sport_close(p);
    *p = SerialPort{};
    return 0;
  }
  return close(fd) == 0 ? 0 : errno;
}

const char *tport_note(int fd) {
  SerialPort *p = remote_port(fd);
  return p ? p->note : "";
}

namespace {

// Moves count bytes with `io` (read or write), waiting for `event` on the
// port while it answers EAGAIN, until the time-out (-1: none) runs out. The
// total moved goes to *moved; the result is 0 or the error that ended it.
template <typename Io>
int transfer(int fd, int timeout_ms, int count, int *moved, short event, Io io) {
  *moved = 0;
  bool limited = timeout_ms >= 0;
  Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(limited ? timeout_ms : 0);
  while (*moved < count) {
    ssize_t n = io(*moved);
    if (n > 0) {
      *moved += static_cast<int>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) {
      int wait = left_ms(limited, deadline);
      if (wait == 0) return 0;
      struct pollfd p = {fd, event, 0};
      if (poll(&p, 1, wait) < 0 && errno != EINTR) return errno;
      continue;
    }
    int err = n == 0 ? TPORT_EOF : errno;
    wait_out(limited, deadline);
    return err;
  }
  return 0;
}

}  // namespace

int tport_read(int fd, int timeout_ms, uint8_t *buffer, int count, int *got) {
  if (SerialPort *p = remote_port(fd)) {
    return transfer(fd, timeout_ms, count, got, POLLIN, [&](int done) -> ssize_t {
      int n = sport_read(p, buffer + done, count - done);
      if (n > 0) return n;
      if (n == 0) errno = EAGAIN;
      return n == 0 ? -1 : 0;   // gone: the end, as a tty's hang-up
    });
  }
  return transfer(fd, timeout_ms, count, got, POLLIN,
                  [&](int done) { return read(fd, buffer + done, static_cast<size_t>(count - done)); });
}

int tport_write(int fd, int timeout_ms, const uint8_t *buffer, int count, int *done) {
  if (SerialPort *p = remote_port(fd)) {
    return transfer(fd, timeout_ms, count, done, POLLOUT, [&](int sent) -> ssize_t {
      int n = sport_write(p, buffer + sent, count - sent);
      if (n > 0) return n;
      if (n == 0) errno = EAGAIN;
      return n == 0 ? -1 : 0;
    });
  }
  return transfer(fd, timeout_ms, count, done, POLLOUT,
                  [&](int sent) { return write(fd, buffer + sent, static_cast<size_t>(count - sent)); });
}

int tport_get_state(int fd, TermPortState *state) {
  if (SerialPort *p = remote_port(fd)) {
    const PortSettings &s = p->settings;
    TermPortState t;
    t.baud = s.baud;
    t.data_bits = s.data_bits;
    t.stop_bits = s.stop_bits;
    t.parity = s.parity;
    t.parity_check = s.parity != PARITY_NONE;
    t.xon_xoff = s.xon_xoff;
    t.rts_cts = s.cts_flow;
    *state = t;
    return 0;
  }
  struct termios t;
  if (tcgetattr(fd, &t) != 0) return errno;
  TermPortState s;
  unsigned baud = sport_read_baud(fd);
  if (baud) s.baud = baud;
  switch (t.c_cflag & CSIZE) {
    case CS5: s.data_bits = 5; break;
    case CS6: s.data_bits = 6; break;
    case CS7: s.data_bits = 7; break;
    default: s.data_bits = 8; break;
  }
  s.stop_bits = (t.c_cflag & CSTOPB) ? 2 : 1;
  if (!(t.c_cflag & PARENB))
    s.parity = PARITY_NONE;
  else if (t.c_cflag & CMSPAR)
    s.parity = (t.c_cflag & PARODD) ? PARITY_MARK : PARITY_SPACE;
  else
    s.parity = (t.c_cflag & PARODD) ? PARITY_ODD : PARITY_EVEN;
  s.parity_check = (t.c_iflag & INPCK) != 0;
  s.xon_xoff = (t.c_iflag & IXON) != 0;
  s.rts_cts = (t.c_cflag & CRTSCTS) != 0;
  *state = s;
  return 0;
}

int tport_set_state(int fd, const TermPortState &s) {
  if (SerialPort *p = remote_port(fd)) {
    PortSettings ps = p->settings;
    ps.baud = s.baud;
    ps.data_bits = s.data_bits;
    ps.stop_bits = s.stop_bits;
    ps.parity = s.parity;
    ps.xon_xoff = s.xon_xoff;
    ps.cts_flow = s.rts_cts;
    if (!sport_apply(p, ps)) return EIO;
    // The far port's answers, so the note tells what it took; data that
    // comes meanwhile is kept for the next read.
    StreamWait wait;
    wait.steps = SETTLE_STEPS;
    sport_settle(p, wait);
    return 0;
  }
  struct termios t;
  if (tcgetattr(fd, &t) != 0) return errno;
  termios_line(t, s.data_bits, s.stop_bits, s.parity, s.parity_check);
  if (s.xon_xoff) t.c_iflag |= IXON | IXOFF;
  if (s.rts_cts) t.c_cflag |= CRTSCTS;
  bool standard = termios_rate(t, s.baud);
  if (tcsetattr(fd, TCSANOW, &t) != 0) return errno;
  if (!standard && !sport_set_baud_other(fd, s.baud)) return errno ? errno : EINVAL;
  raise_line(fd, TIOCM_DTR);
  if (!s.rts_cts) raise_line(fd, TIOCM_RTS);
  return 0;
}

void tport_trap_interrupt(int fd) {
  interrupt_fd = fd;
  if (interrupt_trapped) return;
  struct sigaction sa {};
  sa.sa_handler = on_interrupt;
  sa.sa_flags = SA_RESTART;   // stays installed: every Ctrl-C sends its byte
  sigemptyset(&sa.sa_mask);
  if (sigaction(SIGINT, &sa, &interrupt_before) == 0) interrupt_trapped = true;
}

void tport_release_interrupt() {
  interrupt_fd = -1;
  if (!interrupt_trapped) return;
  sigaction(SIGINT, &interrupt_before, nullptr);
  interrupt_trapped = false;
}

FILE *tport_open_capture(const char *path) {
  int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0666);
  if (fd < 0) return nullptr;
  // Non-blocking only so that opening a FIFO with no reader fails; the
  // writes themselves must not lose bytes to EAGAIN.
  int flags = fcntl(fd, F_GETFL);
  if (flags >= 0) fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  FILE *f = fdopen(fd, "w");
  if (!f) close(fd);
  return f;
}
