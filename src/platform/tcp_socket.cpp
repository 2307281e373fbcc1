#include "platform/tcp_socket.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>

#include "platform/signals.h"

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

// A name lookup can take half a minute where no name server answers (a
// plant network on its own): it runs on a thread of its own while the
// caller's step keeps turning, and a lookup given up finishes there by
// itself, its result unused.
struct Lookup {
  std::mutex lock;
  std::condition_variable finished;
  bool done = false;
  bool found = false;
  uint32_t ip = 0;
};

void look_up(const std::shared_ptr<Lookup> &l, const std::string &name) {
  plat_block_exit_signals();
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo *found = nullptr;
  bool ok = getaddrinfo(name.c_str(), nullptr, &hints, &found) == 0 && found;
  uint32_t ip = ok ? ntohl(reinterpret_cast<const sockaddr_in *>(found->ai_addr)->sin_addr.s_addr) : 0;
  if (found) freeaddrinfo(found);
  std::lock_guard<std::mutex> g(l->lock);
  l->done = true;
  l->found = ok;
  l->ip = ip;
  l->finished.notify_all();
}

bool look_up_name(const char *host, unsigned steps, int (*step)(int), int user, uint32_t *ip) {
  auto l = std::make_shared<Lookup>();
  try {
    std::thread(look_up, l, std::string(host)).detach();
  } catch (const std::system_error &) {
    return false;
  }
  for (unsigned left = steps;; left--) {
    {
      std::unique_lock<std::mutex> g(l->lock);
      if (l->finished.wait_for(g, std::chrono::milliseconds(STEP_MS), [&] { return l->done; })) {
        *ip = l->ip;
        return l->found;
      }
    }
    if (left == 0 || (step && !step(user))) return false;
  }
}

}  // namespace

bool tcp_resolve(const char *host, uint16_t port, TcpAddress *address, unsigned steps, int (*step)(int), int user) {
  address->port = port;
  unsigned b[4];
  if (sscanf(host, "%u.%u.%u.%u", &b[0], &b[1], &b[2], &b[3]) == 4) {
    // A number past 255 is a typing slip: cut to 8 bits it would name
    // another host, and the link would reach the wrong device.
    for (unsigned n : b)
      if (n > 0xFF) return false;
    address->ip = b[0] << 24 | b[1] << 16 | b[2] << 8 | b[3];
    return true;
  }
  return look_up_name(host, steps, step, user, &address->ip);
}

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
