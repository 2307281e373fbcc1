#include "platform/port_wait.h"

#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <new>

struct PortWake {
  int fd = -1;   // eventfd
};

PortWake *port_wake_create() {
  int fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (fd < 0) return nullptr;
  PortWake *wake = new (std::nothrow) PortWake;
  if (!wake) {
    close(fd);
    return nullptr;
  }
  wake->fd = fd;
  return wake;
}

void port_wake_destroy(PortWake *wake) {
  if (!wake) return;
  close(wake->fd);
  delete wake;
}

void port_wake_signal(PortWake *wake) {
  if (!wake) return;
  uint64_t one = 1;
  ssize_t ignored = write(wake->fd, &one, sizeof one);
  (void)ignored;
}

unsigned port_wait(SerialPort *port, unsigned watch, PortWake *wake, int64_t timeout_us) {
  struct pollfd fds[2];
  int count = 0;
  int wake_at = -1, port_at = -1;
  if (wake) {
    wake_at = count;
    fds[count++] = {wake->fd, POLLIN, 0};
  }
  if (port && port->fd >= 0) {
    port_at = count;
    // Hang-ups and errors are told whatever is asked for.
    fds[count++] = {port->fd,
                    static_cast<short>((watch & PORT_WATCH_READ ? POLLIN : 0) | (watch & PORT_WATCH_WRITE ? POLLOUT : 0)), 0};
  }
  struct timespec ts;
  struct timespec *timeout = nullptr;
  if (timeout_us >= 0) {
    ts.tv_sec = static_cast<time_t>(timeout_us / 1000000);
    ts.tv_nsec = static_cast<long>((timeout_us % 1000000) * 1000);
    timeout = &ts;
  }
  int rc = ppoll(fds, static_cast<nfds_t>(count), timeout, nullptr);
  if (rc < 0) return errno == EINTR ? 0u : unsigned(PORT_WAIT_FAILED);
  if (rc == 0) return 0;
  unsigned flags = 0;
  if (wake_at >= 0 && (fds[wake_at].revents & POLLIN)) {
    uint64_t v;
    ssize_t ignored = read(wake->fd, &v, sizeof v);
    (void)ignored;
    flags |= PORT_WAIT_WOKEN;
  }
  if (port_at >= 0) {
    short r = fds[port_at].revents;
    if (r & POLLIN) flags |= PORT_WAIT_READABLE;
    if (r & POLLOUT) flags |= PORT_WAIT_WRITABLE;
    if (r & (POLLHUP | POLLERR | POLLNVAL)) flags |= PORT_WAIT_HANGUP;
  }
  return flags;
}

// The epoll set keeps the port registered between waits: a poll would join
// and leave the tty's wait queues and set up its timer on every call, a
// cost each Modbus exchange pays (about a tenth of one over a pty). Its
// time-out is in whole milliseconds, rounded up: a wait never ends early.
unsigned port_wait_input(SerialPort *port, int64_t timeout_us) {
  if (!port || port->fd < 0) return 0;
  if (port->input_watch < 0) return port_wait(port, PORT_WATCH_READ, nullptr, timeout_us);
  int ms = -1;
  if (timeout_us >= 0) ms = timeout_us >= int64_t{INT_MAX} * 1000 ? INT_MAX : static_cast<int>((timeout_us + 999) / 1000);
  struct epoll_event e {};
  int rc = epoll_wait(port->input_watch, &e, 1, ms);
  if (rc < 0) return errno == EINTR ? 0u : unsigned(PORT_WAIT_FAILED);
  if (rc == 0) return 0;
  unsigned flags = 0;
  if (e.events & EPOLLIN) flags |= PORT_WAIT_READABLE;
  if (e.events & (EPOLLHUP | EPOLLERR)) flags |= PORT_WAIT_HANGUP;
  return flags;
}
