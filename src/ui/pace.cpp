#include "ui/pace.h"

#include <thread>

#include "ui/keys.h"

bool wait_key_until(std::chrono::steady_clock::time_point due) {
  using namespace std::chrono;
  for (;;) {
    auto now = steady_clock::now();
    if (now >= due) return false;
    auto left = duration_cast<milliseconds>(due - now).count() + 1;
    if (key_wait(static_cast<int>(left))) return true;
    std::this_thread::sleep_until(due);
  }
}

bool pace_pass(PassPacer &pacer) {
  using namespace std::chrono;
  if (pacer.started) {
    if (wait_key_until(pacer.last_start + milliseconds(LIVE_PASS_MIN_MS))) return true;
  } else if (key_waiting()) {
    return true;
  }
  pacer.last_start = steady_clock::now();
  pacer.started = true;
  return false;
}
