#include "platform/serial_port.h"

#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <string>
#include <thread>

#include "platform/byte_stream.h"
#include "platform/ports.h"
#include "platform/stream_impl.h"
#include "platform/termios_line.h"

namespace {

struct BaudConstant {
  unsigned rate;
  speed_t constant;
};

// 135 is how the setup asks for 134.5.
constexpr BaudConstant baud_constants[] = {
    {50, B50},     {75, B75},     {110, B110},   {134, B134},   {135, B134},
    {150, B150},   {200, B200},   {300, B300},   {600, B600},   {1200, B1200},
    {1800, B1800}, {2400, B2400}, {4800, B4800}, {9600, B9600}, {19200, B19200},
    {38400, B38400}, {57600, B57600}, {115200, B115200},
};

bool find_baud(unsigned rate, speed_t *out) {
  for (const BaudConstant &b : baud_constants)
    if (b.rate == rate) {
      *out = b.constant;
      return true;
    }
  return false;
}

// Modem-line ioctl: false only on a real failure; ENOTTY/EINVAL mean the
// device has no such lines (a pty), which is fine.
bool modem_lines(int fd, unsigned long request, int bits) {
  if (ioctl(fd, request, &bits) == 0) return true;
  return errno == ENOTTY || errno == EINVAL;
}

// RTS up only while sending, by the driver where it can. Returns false when
// the driver cannot, so the writes toggle RTS themselves.
bool rs485_rts_on_send(int fd, bool on) {
  struct serial_rs485 rs {};
  if (on) rs.flags = SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND;
  if (ioctl(fd, TIOCSRS485, &rs) == 0) return true;
  return false;
}

// Pseudo-terminal slaves: the BSD kind and the Unix98 range.
constexpr unsigned BSD_PTY_SLAVE_MAJOR = 3;
constexpr unsigned UNIX98_PTY_SLAVE_FIRST = 136, UNIX98_PTY_SLAVE_LAST = 143;

bool pty_slave(dev_t rdev) {
  unsigned m = major(rdev);
  return m == BSD_PTY_SLAVE_MAJOR || (m >= UNIX98_PTY_SLAVE_FIRST && m <= UNIX98_PTY_SLAVE_LAST);
}

bool wait_writable(int fd, int timeout_ms) {
  struct pollfd p = {fd, POLLOUT, 0};
  int rc = poll(&p, 1, timeout_ms);
  return rc > 0 && !(p.revents & (POLLERR | POLLHUP | POLLNVAL));
}

}  // namespace

static_assert(sizeof(speed_t) == sizeof(unsigned));

void termios_line(struct termios &t, int data_bits, int stop_bits, int parity, bool check_parity) {
  cfmakeraw(&t);
  t.c_cflag |= CLOCAL | CREAD;
  t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
  t.c_iflag &= ~static_cast<tcflag_t>(INPCK | IGNPAR | PARMRK | IXON | IXOFF | IXANY);
  switch (data_bits) {
    case 5: t.c_cflag |= CS5; break;
    case 6: t.c_cflag |= CS6; break;
    case 7: t.c_cflag |= CS7; break;
    default: t.c_cflag |= CS8; break;
  }
  if (stop_bits == 2) t.c_cflag |= CSTOPB;
  switch (parity) {
    case PARITY_EVEN: t.c_cflag |= PARENB; break;
    case PARITY_ODD: t.c_cflag |= PARENB | PARODD; break;
    case PARITY_SPACE: t.c_cflag |= PARENB | CMSPAR; break;
    case PARITY_MARK: t.c_cflag |= PARENB | CMSPAR | PARODD; break;
    default: break;
  }
  if (check_parity && parity != PARITY_NONE) t.c_iflag |= INPCK;
  // With VMIN 0 a read of an empty port returns 0 even non-blocking; with 1
  // it answers EAGAIN, and 0 keeps meaning the far end hung up.
  t.c_cc[VMIN] = 1;
  t.c_cc[VTIME] = 0;
}

bool termios_rate(struct termios &t, unsigned baud) {
  speed_t constant;
  if (!find_baud(baud, &constant)) return false;
#ifdef CIBAUD
  t.c_cflag &= ~static_cast<tcflag_t>(CIBAUD);   // an input rate left by termios2 would stay
#endif
  cfsetispeed(&t, constant);
  cfsetospeed(&t, constant);
  return true;
}

uint32_t sport_char_us(const PortSettings &s) {
  unsigned bits = 1 + (s.data_bits == 7 ? 7 : 8) + (s.parity == PARITY_NONE ? 0 : 1) + (s.stop_bits == 2 ? 2 : 1);
  unsigned baud = s.baud ? s.baud : 9600;
  return static_cast<uint32_t>((bits * 1000000ull + baud - 1) / baud);
}

bool tty_open(SerialPort *port, const char *list_name, const PortSettings &settings, const StreamWait &) {
  std::string path = plat_port_path(list_name);
  int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  // Another program holding the port makes the open fail, as it would have
  // on a system with exclusive ports.
  if (flock(fd, LOCK_EX | LOCK_NB) != 0 || !isatty(fd)) {
    close(fd);
    return false;
  }
  port->fd = fd;
  port->manual_rts = false;
  // A pty has no line: what its peer has not read yet says nothing of when
  // the bytes are out, and asking costs a call on every write.
  struct stat st;
  port->no_output_queue = fstat(fd, &st) == 0 && pty_slave(st.st_rdev);
  if (!tty_apply(port, settings)) {
    close(fd);
    port->fd = -1;
    return false;
  }
  modem_lines(fd, TIOCMBIS, TIOCM_DTR);
  // Bytes that arrived before we opened (a far end still retrying an old
  // exchange) are not ours.
  tcflush(fd, TCIOFLUSH);
  // Without it the input is waited on by poll, as every other wait is.
  port->input_watch = epoll_create1(EPOLL_CLOEXEC);
  struct epoll_event e {};
  e.events = EPOLLIN;
  if (port->input_watch >= 0 && epoll_ctl(port->input_watch, EPOLL_CTL_ADD, fd, &e) != 0) {
    close(port->input_watch);
    port->input_watch = -1;
  }
  return true;
}

void tty_close(SerialPort *port) {
  if (port->fd < 0) return;
  if (port->settings.rts_toggle && !port->manual_rts) rs485_rts_on_send(port->fd, false);
  if (port->input_watch >= 0) close(port->input_watch);
  port->input_watch = -1;
  close(port->fd);   // also drops the flock
  port->fd = -1;
}

bool tty_apply(SerialPort *port, const PortSettings &s) {
  int fd = port->fd;
  struct termios t;
  if (tcgetattr(fd, &t) != 0) return false;
  termios_line(t, s.data_bits == 7 ? 7 : 8, s.stop_bits, s.parity, true);
  if (s.cts_flow) t.c_cflag |= CRTSCTS;
  if (s.xon_xoff) t.c_iflag |= IXON | IXOFF;
  bool standard = termios_rate(t, s.baud);
  // The result is not checked: the kernel applies what the device can, and
  // glibc reports EINVAL when its read-back differs, which a pty (always 8
  // bits, no parity) makes it do for settings that are otherwise in place.
  tcsetattr(fd, TCSANOW, &t);
  if (!standard && !sport_set_baud_other(fd, s.baud)) return false;
  if (s.rts_toggle) {
    port->manual_rts = !rs485_rts_on_send(fd, true);
    // A port without modem lines (a pty) has no RTS to toggle: its writes
    // do not ask for it again on every frame.
    int rts = TIOCM_RTS;
    port->rts_absent =
        port->manual_rts && ioctl(fd, TIOCMBIC, &rts) != 0 && (errno == ENOTTY || errno == EINVAL);
  } else {
    if (port->settings.rts_toggle && !port->manual_rts) rs485_rts_on_send(fd, false);
    port->manual_rts = false;
    port->rts_absent = false;
    modem_lines(fd, TIOCMBIS, TIOCM_RTS);
  }
  port->settings = s;
  return true;
}

int tty_read(SerialPort *port, uint8_t *buffer, int size) {
  if (port->fd < 0) return -1;
  for (;;) {
    ssize_t n = read(port->fd, buffer, static_cast<size_t>(size));
    if (n > 0) return static_cast<int>(n);
    if (n < 0 && errno == EINTR) continue;
    return n < 0 && errno == EAGAIN ? 0 : -1;   // end of file or EIO: the far end went away
  }
}

bool tty_settle(SerialPort *, const StreamWait &) { return true; }

int tty_write(SerialPort *port, const uint8_t *data, int length) {
  if (port->fd < 0) return -1;
  if (!sport_write_drains(port)) {
    ssize_t n = write(port->fd, data, static_cast<size_t>(length));
    if (n >= 0) return static_cast<int>(n);
    return errno == EAGAIN || errno == EINTR ? 0 : -1;
  }
  // RTS by hand: up, everything out, drained, down. The drain is bounded so
  // that a line held by CTS cannot hang the reader thread.
  modem_lines(port->fd, TIOCMBIS, TIOCM_RTS);
  int done = 0;
  uint32_t char_us = sport_char_us(port->settings);
  int bound_ms = static_cast<int>((static_cast<uint64_t>(length) * char_us) / 1000 + 200);
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(bound_ms);
  while (done < length) {
    ssize_t n = write(port->fd, data + done, static_cast<size_t>(length - done));
    if (n > 0) {
      done += static_cast<int>(n);
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EINTR) {
      modem_lines(port->fd, TIOCMBIC, TIOCM_RTS);
      return -1;
    }
    if (std::chrono::steady_clock::now() > deadline || !wait_writable(port->fd, 10)) break;
  }
  while (tty_output_queued(port) > 0 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::microseconds(char_us));
  modem_lines(port->fd, TIOCMBIC, TIOCM_RTS);
  return done;
}

bool sport_write_drains(const SerialPort *port) { return port->manual_rts && !port->rts_absent; }

int tty_output_queued(const SerialPort *port) {
  int queued = 0;
  if (port->fd < 0 || port->no_output_queue || ioctl(port->fd, TIOCOUTQ, &queued) != 0) return 0;
  return queued;
}

int tty_input_queued(const SerialPort *port) {
  int queued = 0;
  if (port->fd < 0 || ioctl(port->fd, FIONREAD, &queued) != 0) return 0;
  return queued;
}

namespace {
int64_t ctime_ns(const struct stat &st) { return int64_t(st.st_ctim.tv_sec) * 1000000000 + st.st_ctim.tv_nsec; }
}  // namespace

PortOrigin sport_origin(const char *list_name) {
  PortOrigin o;
  if (stream_name_remote(list_name)) return o;
  std::string path = plat_port_path(list_name ? list_name : "");
  struct stat st;
  if (lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
    o.via_link = true;
    o.link_dev = st.st_dev;
    o.link_ino = st.st_ino;
    o.link_ctime_ns = ctime_ns(st);
  }
  if (stat(path.c_str(), &st) == 0 && S_ISCHR(st.st_mode)) {
    o.rdev = st.st_rdev;
    o.device_ctime_ns = ctime_ns(st);
  }
  return o;
}

bool sport_may_reopen(const char *list_name, const PortOrigin &opened) {
  // A server that answers at the address again is the port again.
  if (stream_name_remote(list_name)) return true;
  PortOrigin now = sport_origin(list_name);
  if (now.rdev == 0) return false;   // nothing there (yet)
  bool link_renewed = now.via_link && (!opened.via_link || now.link_dev != opened.link_dev ||
                                       now.link_ino != opened.link_ino || now.link_ctime_ns != opened.link_ctime_ns);
  if (link_renewed || !pty_slave(static_cast<dev_t>(now.rdev))) return true;
  return now.rdev == opened.rdev && now.device_ctime_ns == opened.device_ctime_ns;
}
