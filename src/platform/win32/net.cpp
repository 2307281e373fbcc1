// The socket calls of platform/net.h over Winsock: a socket's value is the
// int the callers keep.
#include "platform/net.h"

#include <cstdio>
#include <cstring>

#include "platform/win32/handles.h"
#include "platform/win32/windows_api.h"

static_assert(sizeof(NetAddress::bytes) >= sizeof(sockaddr_storage));

namespace {

SOCKET sock(int fd) { return static_cast<SOCKET>(static_cast<unsigned>(fd)); }

}  // namespace

std::vector<NetAddress> net_lookup(const std::string &host, uint16_t port) {
  std::vector<NetAddress> found;
  if (!win_sockets_ready()) return found;
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICSERV;
  addrinfo *list = nullptr;
  char service[8];
  snprintf(service, sizeof service, "%u", port);
  if (getaddrinfo(host.c_str(), service, &hints, &list) == 0) {
    for (addrinfo *a = list; a; a = a->ai_next) {
      if (a->ai_addrlen > sizeof(NetAddress::bytes)) continue;
      NetAddress n;
      memcpy(n.bytes, a->ai_addr, a->ai_addrlen);
      n.length = static_cast<unsigned>(a->ai_addrlen);
      found.push_back(n);
    }
  }
  if (list) freeaddrinfo(list);
  return found;
}

NetResult net_connect_start(const NetAddress &address, int *fd_out) {
  if (!win_sockets_ready()) return NET_FAILED;
  const sockaddr *sa = reinterpret_cast<const sockaddr *>(address.bytes);
  SOCKET s = socket(sa->sa_family, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) return NET_FAILED;
  u_long nonblocking = 1;
  ioctlsocket(s, FIONBIO, &nonblocking);
  BOOL one = TRUE;
  setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char *>(&one), sizeof one);
  if (connect(s, sa, static_cast<int>(address.length)) == 0) {
    *fd_out = static_cast<int>(s);
    return NET_DONE;
  }
  int e = WSAGetLastError();
  if (e == WSAEWOULDBLOCK) {
    *fd_out = static_cast<int>(s);
    return NET_PENDING;
  }
  closesocket(s);
  return e == WSAECONNREFUSED ? NET_REFUSED : NET_FAILED;
}

NetResult net_wait_connected(int fd, int ms) {
  SOCKET s = sock(fd);
  fd_set w, e;
  FD_ZERO(&w);
  FD_ZERO(&e);
  FD_SET(s, &w);
  FD_SET(s, &e);
  timeval tv{ms / 1000, (ms % 1000) * 1000};
  if (select(0, nullptr, &w, &e, &tv) <= 0) return NET_PENDING;
  int error = 0;
  int len = sizeof error;
  if (FD_ISSET(s, &w) && getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char *>(&error), &len) == 0 &&
      error == 0)
    return NET_DONE;
  if (error == 0) getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char *>(&error), &len);
  return error == WSAECONNREFUSED ? NET_REFUSED : NET_FAILED;
}

long net_send(int fd, const uint8_t *data, size_t length) {
  int n = send(sock(fd), reinterpret_cast<const char *>(data), static_cast<int>(length), 0);
  if (n >= 0) return n;
  return WSAGetLastError() == WSAEWOULDBLOCK ? 0 : -1;
}

long net_recv(int fd, uint8_t *buffer, size_t size) {
  int n = recv(sock(fd), reinterpret_cast<char *>(buffer), static_cast<int>(size), 0);
  if (n > 0) return n;
  if (n == 0) return -1;   // the far end closed the connection
  return WSAGetLastError() == WSAEWOULDBLOCK ? 0 : -1;
}

bool net_wait(int fd, bool write, int ms) {
  SOCKET s = sock(fd);
  fd_set set, e;
  FD_ZERO(&set);
  FD_ZERO(&e);
  FD_SET(s, &set);
  FD_SET(s, &e);
  timeval tv{ms / 1000, (ms % 1000) * 1000};
  return select(0, write ? nullptr : &set, write ? &set : nullptr, &e, &tv) > 0;
}

int net_pending(int fd) {
  u_long queued = 0;
  if (fd < 0 || ioctlsocket(sock(fd), FIONREAD, &queued) != 0) return 0;
  return static_cast<int>(queued);
}

void net_quick_ack(int) {}   // Windows has no such switch; its delayed ACK stays

void net_close(int fd) {
  if (fd < 0) return;
  shutdown(sock(fd), SD_BOTH);
  closesocket(sock(fd));
}
