// The few socket calls the remote byte streams (remote_stream.cpp) make,
// the same on every system (POSIX sockets in net.cpp, Winsock in
// win32/net.cpp). Sockets are ints; every call is non-blocking.
//   net_lookup        the addresses of HOST:PORT (any family), blocking: run
//                     it on a thread of its own
//   net_connect_start a non-blocking socket (no Nagle) connecting: NET_DONE
//                     with *fd, NET_PENDING with *fd (wait with
//                     net_wait_connected), NET_REFUSED or NET_FAILED
//   net_wait_connected  up to ms: NET_DONE, NET_PENDING (not yet),
//                     NET_REFUSED or NET_FAILED
//   net_send          bytes taken (> 0), 0 when the socket takes none now,
//                     -1 when it failed (no SIGPIPE)
//   net_recv          bytes read (> 0), 0 when nothing is there, -1 at the
//                     end of the stream or on a failure
//   net_wait          up to ms for the socket readable (or writable): true
//                     when it is, or when it failed
//   net_pending       bytes received and not yet read
//   net_quick_ack     acknowledge at once (where the system can)
//   net_close         shutdown both ways and close
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct NetAddress {
  uint8_t bytes[128];   // a sockaddr of any family
  unsigned length = 0;
};

enum NetResult { NET_DONE, NET_PENDING, NET_REFUSED, NET_FAILED };

std::vector<NetAddress> net_lookup(const std::string &host, uint16_t port);
NetResult net_connect_start(const NetAddress &address, int *fd);
NetResult net_wait_connected(int fd, int ms);
long net_send(int fd, const uint8_t *data, size_t length);
long net_recv(int fd, uint8_t *buffer, size_t size);
bool net_wait(int fd, bool write, int ms);
int net_pending(int fd);
void net_quick_ack(int fd);
void net_close(int fd);
