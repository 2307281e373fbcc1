// The socket calls of platform/net.h over POSIX sockets.
#include "platform/net.h"

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

static_assert(sizeof(NetAddress::bytes) >= sizeof(sockaddr_storage));

std::vector<NetAddress> net_lookup(const std::string &host, uint16_t port) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICSERV;
  addrinfo *list = nullptr;
  char service[8];
  snprintf(service, sizeof service, "%u", port);
  std::vector<NetAddress> found;
  if (getaddrinfo(host.c_str(), service, &hints, &list) == 0) {
    for (addrinfo *a = list; a; a = a->ai_next) {
      if (a->ai_addrlen > sizeof(NetAddress::bytes)) continue;
      NetAddress n;
      memcpy(n.bytes, a->ai_addr, a->ai_addrlen);
      n.length = a->ai_addrlen;
      found.push_back(n);
    }
  }
  if (list) freeaddrinfo(list);
  return found;
}

NetResult net_connect_start(const NetAddress &address, int *fd_out) {
  const sockaddr *sa = reinterpret_cast<const sockaddr *>(address.bytes);
  int fd = socket(sa->sa_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_TCP);
  if (fd < 0) return NET_FAILED;
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);   // a frame goes out as it is written
  if (connect(fd, sa, address.length) == 0) {
    *fd_out = fd;
    return NET_DONE;
  }
  if (errno == EINPROGRESS) {
    *fd_out = fd;
    return NET_PENDING;
  }
  NetResult r = errno == ECONNREFUSED ? NET_REFUSED : NET_FAILED;
  close(fd);
  return r;
}

NetResult net_wait_connected(int fd, int ms) {
  pollfd p = {fd, POLLOUT, 0};
  if (poll(&p, 1, ms) <= 0) return NET_PENDING;
  int error = 0;
  socklen_t len = sizeof error;
  if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len) == 0 && error == 0) return NET_DONE;
  return error == ECONNREFUSED ? NET_REFUSED : NET_FAILED;
}

long net_send(int fd, const uint8_t *data, size_t length) {
  for (;;) {
    ssize_t n = send(fd, data, length, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n >= 0) return n;
    if (errno == EINTR) continue;
    return errno == EAGAIN || errno == EWOULDBLOCK ? 0 : -1;
  }
}

long net_recv(int fd, uint8_t *buffer, size_t size) {
  for (;;) {
    ssize_t n = recv(fd, buffer, size, MSG_DONTWAIT);
    if (n > 0) return n;
    if (n == 0) return -1;   // the far end closed the connection
    if (errno == EINTR) continue;
    return errno == EAGAIN || errno == EWOULDBLOCK ? 0 : -1;
  }
}

bool net_wait(int fd, bool write, int ms) {
  pollfd p = {fd, static_cast<short>(write ? POLLOUT : POLLIN), 0};
  return poll(&p, 1, ms) > 0;
}

int net_pending(int fd) {
  int queued = 0;
  if (fd < 0 || ioctl(fd, FIONREAD, &queued) != 0) return 0;
  return queued;
}

// A server that sends small pieces with Nagle on (ser2net does) holds each
// next piece of a reply until our acknowledgement of the last, which the
// kernel delays by up to 40 ms once we have sent: a whole reply's worth on
// the line. The quick acknowledgements it takes back after each of our
// sends and now and then by itself, so they are asked for again each time.
void net_quick_ack(int fd) {
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_QUICKACK, &one, sizeof one);
}

void net_close(int fd) {
  if (fd < 0) return;
  shutdown(fd, SHUT_RDWR);
  close(fd);
}
