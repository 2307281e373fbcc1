#include "ui/pace.h"

#include <thread>

#include "ui/keys.h"

bool pace_pass(PassPacer &pacer) {
  using namespace std::chrono;
  if (pacer.started) {
    auto due = pacer.last_start + milliseconds(LIVE_PASS_MIN_MS);
    for (;;) {
      auto now = steady_clock::now();
      if (now >= due) break;
      auto left = duration_cast<milliseconds>(due - now).count() + 1;
      if (key_wait(static_cast<int>(left))) return true;
      // The memory console answers at once: sleep the rest there.
      std::this_thread::sleep_until(due);
    }
  } else if (key_waiting()) {
    return true;
  }
  pacer.last_start = steady_clock::now();
  pacer.started = true;
  return false;
}
