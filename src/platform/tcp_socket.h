// A TCP client connection, non-blocking and polled in short steps, so the
// caller's idle callback keeps turning while it waits.
//   tcp_resolve      a host as four dotted numbers is used as it is (false
//                    when one is past 255); any other text is looked up (IPv4)
//                    within `steps` waits of 10 ms, calling step(user) after
//                    each; a zero from it gives up
//   tcp_connect      connects within `steps` waits of 10 ms, calling
//                    step(user) after each; a zero from it gives up
//   tcp_send         the whole frame (no SIGPIPE); 0, or the errno
//   tcp_wait_readable  up to `ms` for input; 1 readable (or closed), 0 not
//   tcp_recv         bytes read (> 0), 0 at the end of the stream,
//                    -EAGAIN when nothing is there, else -errno
//   tcp_disconnect   shutdown both ways and close
// Failures are errno values, for the caller to put into words.
#pragma once
#include <cstddef>
#include <cstdint>

struct TcpAddress {
  uint32_t ip = 0;     // host order
  uint16_t port = 0;
};

enum TcpConnectResult { TCP_CONNECTED, TCP_REFUSED, TCP_TIMED_OUT, TCP_ABORTED };

bool tcp_resolve(const char *host, uint16_t port, TcpAddress *address, unsigned steps, int (*step)(int), int user);
int tcp_connect(const TcpAddress &address, unsigned steps, int (*step)(int), int user, TcpConnectResult *result);
int tcp_send(int fd, const uint8_t *data, size_t length);
int tcp_wait_readable(int fd, int ms);
long tcp_recv(int fd, uint8_t *buffer, size_t size);
void tcp_disconnect(int fd);
