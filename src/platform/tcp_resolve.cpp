// The host of a TCP connection (platform/tcp_socket.h): dotted numbers as
// they are, a name looked up by the system's resolver on a thread of its
// own. Both systems have getaddrinfo; only its header differs.
#ifdef _WIN32
#include "platform/win32/windows_api.h"
#else
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#endif

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>

#include "platform/signals.h"
#include "platform/tcp_lookup.h"
#include "platform/tcp_socket.h"

namespace {

constexpr int STEP_MS = 10;

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

bool look_up_ipv4(const char *name, uint32_t *ip) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo *found = nullptr;
  bool ok = getaddrinfo(name, nullptr, &hints, &found) == 0 && found;
  if (ok) *ip = ntohl(reinterpret_cast<const sockaddr_in *>(found->ai_addr)->sin_addr.s_addr);
  if (found) freeaddrinfo(found);
  return ok;
}

void look_up(const std::shared_ptr<Lookup> &l, const std::string &name) {
  plat_block_exit_signals();
  uint32_t ip = 0;
  bool ok = look_up_ipv4(name.c_str(), &ip);
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
  return tcp_sockets_ready() && look_up_name(host, steps, step, user, &address->ip);
}
