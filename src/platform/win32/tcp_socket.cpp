// A TCP client connection over Winsock, non-blocking and polled in short
// steps. The descriptor the callers keep is the socket's value; Winsock's
// errors become the errno values the callers put into words.
#include "platform/tcp_socket.h"


#include <cerrno>

#include "platform/tcp_lookup.h"
#include "platform/win32/handles.h"

namespace {

constexpr int STEP_MS = 10;
constexpr int SEND_WAIT_MS = 1000;

SOCKET sock(int fd) { return static_cast<SOCKET>(static_cast<unsigned>(fd)); }

int errno_of(int wsa) {
  switch (wsa) {
    case WSAEFAULT: return EFAULT;
    case WSAENOTSOCK: return ENOTSOCK;
    case WSAEMSGSIZE: return EMSGSIZE;
    case WSAENETDOWN: return ENETDOWN;
    case WSAENETRESET: return ENETRESET;
    case WSAECONNABORTED: return ECONNABORTED;
    case WSAECONNRESET: return ECONNRESET;
    case WSAENOTCONN: case WSAESHUTDOWN: return ENOTCONN;
    case WSAETIMEDOUT: return ETIMEDOUT;
    case WSAECONNREFUSED: return ECONNREFUSED;
    case WSAEWOULDBLOCK: return EAGAIN;
    default: return EIO;
  }
}

// Up to ms for the socket to be writable (connected) or readable; false on
// time-out.
bool wait_socket(SOCKET s, bool write, int ms, bool *failed = nullptr) {
  fd_set set, errors;
  FD_ZERO(&set);
  FD_ZERO(&errors);
  FD_SET(s, &set);
  FD_SET(s, &errors);
  timeval tv{ms / 1000, (ms % 1000) * 1000};
  int n = select(0, write ? nullptr : &set, write ? &set : nullptr, &errors, &tv);
  if (failed) *failed = n > 0 && FD_ISSET(s, &errors);
  return n > 0;
}

}  // namespace

bool tcp_sockets_ready() { return win_sockets_ready(); }


int tcp_connect(const TcpAddress &address, unsigned steps, int (*step)(int), int user, TcpConnectResult *result) {
  *result = TCP_REFUSED;
  if (!win_sockets_ready()) return -1;
  SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) return -1;
  u_long nonblocking = 1;
  ioctlsocket(s, FIONBIO, &nonblocking);
  BOOL one = TRUE;
  setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char *>(&one), sizeof one);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(address.port);
  a.sin_addr.s_addr = htonl(address.ip);
  int fd = static_cast<int>(s);
  if (connect(s, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0) {
    *result = TCP_CONNECTED;
    return fd;
  }
  if (WSAGetLastError() != WSAEWOULDBLOCK) {
    closesocket(s);
    return -1;
  }
  for (unsigned left = steps;; left--) {
    bool failed = false;
    if (wait_socket(s, true, STEP_MS, &failed) || failed) {
      int error = 0;
      int len = sizeof error;
      if (!failed && getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char *>(&error), &len) == 0 && error == 0) {
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
  closesocket(s);
  return -1;
}

int tcp_send(int fd, const uint8_t *data, size_t length) {
  SOCKET s = sock(fd);
  size_t done = 0;
  while (done < length) {
    int n = send(s, reinterpret_cast<const char *>(data + done), static_cast<int>(length - done), 0);
    if (n > 0) {
      done += static_cast<size_t>(n);
      continue;
    }
    int e = WSAGetLastError();
    if (e != WSAEWOULDBLOCK) return errno_of(e);
    if (!wait_socket(s, true, SEND_WAIT_MS)) return ETIMEDOUT;
  }
  return 0;
}

int tcp_wait_readable(int fd, int ms) { return wait_socket(sock(fd), false, ms) ? 1 : 0; }

long tcp_recv(int fd, uint8_t *buffer, size_t size) {
  int n = recv(sock(fd), reinterpret_cast<char *>(buffer), static_cast<int>(size), 0);
  if (n >= 0) return n;
  int e = WSAGetLastError();
  return e == WSAEWOULDBLOCK ? -EAGAIN : -errno_of(e);
}

void tcp_disconnect(int fd) {
  if (fd < 0) return;
  shutdown(sock(fd), SD_BOTH);
  closesocket(sock(fd));
}
