#include "platform/tcp_socket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/tcp_lookup.h"

namespace {

constexpr int STEP_MS = 10;
constexpr int SEND_WAIT_MS = 1000;   // a frame this small waits only on a stuck peer

sockaddr_in to_sockaddr(const TcpAddress &a) {
  sockaddr_in s{};
  s.sin_family = AF_INET;
  s.sin_port = htons(a.port);
  s.sin_addr.s_addr = htonl(a.ip);
  return s;
}

}  // namespace

bool tcp_sockets_ready() { return true; }


int tcp_connect(const TcpAddress &address, unsigned steps, int (*step)(int), int user, TcpConnectResult *result) {
  *result = TCP_REFUSED;
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_TCP);
  if (fd < 0) return -1;
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);   // one frame per request
  sockaddr_in s = to_sockaddr(address);
  if (connect(fd, reinterpret_cast<sockaddr *>(&s), sizeof s) == 0) {
    *result = TCP_CONNECTED;
    return fd;
  }
  if (errno != EINPROGRESS) {
    close(fd);
    return -1;
  }
  for (unsigned left = steps;; left--) {
    pollfd p = {fd, POLLOUT, 0};
    if (poll(&p, 1, STEP_MS) > 0) {
      int error = 0;
      socklen_t len = sizeof error;
      if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len) == 0 && error == 0) {
        *result = TCP_CONNECTED;
        return fd;
      }
      break;
    }
    if (left == 0) {
      *result = TCP_TIMED_OUT;
      break;
    }
    if (step && !step(user)) {
      *result = TCP_ABORTED;
      break;
    }
  }
  close(fd);
  return -1;
}

int tcp_send(int fd, const uint8_t *data, size_t length) {
  size_t done = 0;
  while (done < length) {
    ssize_t n = send(fd, data + done, length - done, MSG_NOSIGNAL);
    if (n > 0) {
      done += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN) return errno;
    pollfd p = {fd, POLLOUT, 0};
    if (poll(&p, 1, SEND_WAIT_MS) <= 0) return ETIMEDOUT;
  }
  return 0;
}

int tcp_wait_readable(int fd, int ms) {
  pollfd p = {fd, POLLIN, 0};
  int n = poll(&p, 1, ms);
  return n > 0 ? 1 : 0;
}

long tcp_recv(int fd, uint8_t *buffer, size_t size) {
  for (;;) {
    ssize_t n = recv(fd, buffer, size, MSG_DONTWAIT);
    if (n >= 0) return n;
    if (errno == EINTR) continue;
    return errno == EWOULDBLOCK ? -EAGAIN : -errno;
  }
}

void tcp_disconnect(int fd) {
  if (fd < 0) return;
  shutdown(fd, SHUT_RDWR);
  close(fd);
}
