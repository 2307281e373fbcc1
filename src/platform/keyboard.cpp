// Keyboard: the terminal's input through the key decoder (key_decoder.cpp).
#include "platform/keyboard.h"

#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>

#include "platform/console.h"
#include "platform/signals.h"
#include "platform/terminal.h"

// --- the console keyboard ---

namespace {

KeyDecoder kbd;
uint64_t fed_clock = 0;   // the memory backend's own time

uint64_t monotonic_ms() {
  struct timespec ts {};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000 + static_cast<uint64_t>(ts.tv_nsec) / 1000000;
}

bool vt_keyboard() { return pcon_is_open() && pcon_kind() == CONSOLE_VT; }

// Reads what the terminal has within timeout_ms (-1 waits) into the decoder.
// True when extra_fd (unless -1) is readable or hung up meanwhile.
bool read_terminal(int timeout_ms, int extra_fd = -1) {
  kbd.erase_byte = vt_erase_byte();
  struct pollfd p[3] = {{STDIN_FILENO, POLLIN, 0}, {vt_wake_fd(), POLLIN, 0}, {extra_fd, POLLIN, 0}};
  int r = poll(p, 3, timeout_ms);   // negative descriptors are left out by poll itself
  plat_finish_exit();   // a signal ends the program here, after the hook
  if (r < 0) return false;   // EINTR (a resize): the caller looks again
  if (p[1].revents) vt_drain_wake();
  if (p[0].revents) {
    uint8_t buf[64];
    ssize_t n = read(STDIN_FILENO, buf, sizeof buf);
    if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN)) {
      // The terminal is gone: end as a hang-up would, so the console is
      // given back and nobody spins on a dead descriptor.
      raise(SIGHUP);
      plat_finish_exit();
      pcon_close();   // SIGHUP was ignored
      exit(1);
    }
    uint64_t now = monotonic_ms();
    for (ssize_t i = 0; i < n; i++) kd_feed(kbd, buf[i], now);
  }
  kd_tick(kbd, monotonic_ms());
  return extra_fd >= 0 && p[2].revents != 0;
}

}  // namespace

void pkbd_reset() {
  kbd = KeyDecoder{};
  fed_clock = 0;
}

bool pkbd_hit() {
  if (vt_keyboard() && kbd.out.empty()) {
    pcon_flush();
    read_terminal(0);
  }
  return !kbd.out.empty();
}

bool pkbd_wait(int timeout_ms) {
  if (vt_keyboard() && kbd.out.empty()) {
    pcon_flush();
    uint64_t deadline = monotonic_ms() + static_cast<uint64_t>(timeout_ms < 0 ? 0 : timeout_ms);
    for (;;) {
      uint64_t now = monotonic_ms();
      int left = now >= deadline ? 0 : static_cast<int>(deadline - now);
      int settle = kd_wait_ms(kbd, now);
      read_terminal(settle >= 0 && settle < left ? settle : left);
      if (!kbd.out.empty() || monotonic_ms() >= deadline) break;
    }
  }
  return !kbd.out.empty();
}

int pkbd_wait_fd(int fd, int timeout_ms) {
  auto fd_ready = [fd](int wait_ms) {
    struct pollfd p = {fd, POLLIN, 0};
    return fd >= 0 && poll(&p, 1, wait_ms) > 0;
  };
  if (!vt_keyboard() || !kbd.out.empty()) {
    // Keys waiting (or fed to the memory backend) come first; the port is
    // only looked at.
    bool key = !kbd.out.empty();
    return (key ? KBD_KEY : 0) | (fd_ready(key ? 0 : timeout_ms) ? KBD_FD : 0);
  }
  pcon_flush();
  uint64_t deadline = monotonic_ms() + static_cast<uint64_t>(timeout_ms < 0 ? 0 : timeout_ms);
  for (;;) {
    uint64_t now = monotonic_ms();
    int left = timeout_ms < 0 ? -1 : now >= deadline ? 0 : static_cast<int>(deadline - now);
    int settle = kd_wait_ms(kbd, now);
    int wait = settle >= 0 && (left < 0 || settle < left) ? settle : left;
    bool port = read_terminal(wait, fd);
    int ready = (kbd.out.empty() ? 0 : KBD_KEY) | (port ? KBD_FD : 0);
    if (ready || (timeout_ms >= 0 && monotonic_ms() >= deadline)) return ready;
    pcon_flush();   // repaints at once after a resize or a stop
  }
}

int pkbd_getch() {
  if (vt_keyboard()) {
    pcon_flush();
    while (kbd.out.empty()) {
      read_terminal(kd_wait_ms(kbd, monotonic_ms()));
      pcon_flush();   // repaints at once after a resize or a stop
    }
  }
  if (kbd.out.empty()) return 27;
  uint8_t b = kbd.out.front();
  kbd.out.pop_front();
  return b;
}

void pkbd_feed(const std::string &bytes) {
  for (char c : bytes) kd_feed(kbd, static_cast<uint8_t>(c), fed_clock);
  // The fed bytes are all there is: a trailing Esc is a key.
  fed_clock += ESC_SETTLE_MS;
  kd_tick(kbd, fed_clock);
}
