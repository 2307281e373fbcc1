// How soon a key typed in the online editor shows, while the modem is slow to
// answer: the program runs in a pty against zl27t-sim with a delay before
// every reply, and each key is typed at a random moment of a reply wait. The
// time is taken from the key's bytes written to the terminal to the screen
// (read back through libvterm) showing its effect.
//   online_key_bench [--delay MS] [--keys N]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "harness.h"
#include "platform/keyboard.h"

using namespace e2e;
using Clock = std::chrono::steady_clock;

namespace {

double ms_since(Clock::time_point t0) {
  return std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
}

// A wait that failed says why (the harness gives the screen with it).
bool need(const testing::AssertionResult &r) {
  if (!r) fprintf(stderr, "online_key_bench: %s\n", r.message());
  return static_cast<bool>(r);
}

void report(const char *what, std::vector<double> t) {
  if (t.empty()) return;
  std::sort(t.begin(), t.end());
  auto at = [&](double q) { return t[static_cast<size_t>(q * static_cast<double>(t.size() - 1))]; };
  printf("%-28s n=%zu  median %.1f ms  90%% %.1f ms  max %.1f ms\n", what, t.size(), at(0.5), at(0.9), t.back());
}

}  // namespace

int main(int argc, char **argv) {
  int delay = 300, keys = 30;
  for (int i = 1; i < argc; i++) {
    if (!strcmp(argv[i], "--delay") && i + 1 < argc)
      delay = atoi(argv[++i]);
    else if (!strcmp(argv[i], "--keys") && i + 1 < argc)
      keys = atoi(argv[++i]);
    else {
      fprintf(stderr, "usage: online_key_bench [--delay MS] [--keys N]\n");
      return 2;
    }
  }
  ZlSession s;
  SimProcess sim;
  if (!need(sim.start({"--pty", s.path("modem"), "--delay", std::to_string(delay)}))) return 1;
  s.set_env("ZL27T_PORTS", s.path("modem"));
  if (!s.write_setup(setup_record()) || !s.start()) return 1;
  const Session::Ms slow(60000);
  if (!need(s.wait_until([&] { return s.row(4).rfind("oNline", 0) == 0; }, "the menu bar", slow))) return 1;
  s.type("n");
  // The first read takes 19 slow replies; the values show once it is done.
  if (!need(s.wait_until([&] { return s.text_at(13, 20, 1) != " "; }, "the modem's values", slow))) return 1;

  std::mt19937 random(7);
  std::uniform_int_distribution<int> phase(0, delay);
  std::vector<double> moves, changes;
  // Down from field 5 to Port BPS and back: the highlight moves.
  // + on Port BPS: the next rate shows (and is written to the modem).
  s.press(Key::Down, 2);
  if (!need(s.wait_until([&] { return s.attr_index(7, 20) == 3; }, "field 5", slow))) return 1;
  for (int k = 0; k < keys; k++) {
    std::this_thread::sleep_for(std::chrono::milliseconds(phase(random)));
    const bool down = k % 2 == 0;
    auto t0 = Clock::now();
    s.press(down ? Key::Down : Key::Up);
    if (!need(s.wait_until([&] { return s.attr_index(9, 20) == (down ? 3 : 2); }, "the highlight", slow))) return 1;
    moves.push_back(ms_since(t0));
  }
  s.press(Key::Down);
  if (!need(s.wait_until([&] { return s.attr_index(9, 20) == 3; }, "Port BPS", slow))) return 1;
  for (int k = 0; k < keys; k++) {
    std::this_thread::sleep_for(std::chrono::milliseconds(phase(random)));
    const std::string before = s.text_at(9, 20, 5);
    auto t0 = Clock::now();
    s.type("+");
    if (!need(s.wait_until([&] { return s.text_at(9, 20, 5) != before; }, "the next rate", slow))) return 1;
    changes.push_back(ms_since(t0));
  }
  // Esc: back at the menu, without waiting for the read in progress (the
  // last rate's write is let go out first).
  std::this_thread::sleep_for(std::chrono::milliseconds(3 * delay + phase(random)));
  auto t0 = Clock::now();
  s.type("\x1b");   // the bare byte: press() would pause after it
  if (!need(s.wait_until([&] { return s.row(4).rfind("oNline", 0) == 0 && !s.contains("Communication Mode"); },
                         "the menu", slow)))
    return 1;
  const double leave = ms_since(t0);
  s.type("q");
  s.wait_exit(slow);

  printf("online editor, every reply %d ms late:\n", delay);
  report("arrow key (highlight moves)", moves);
  report("+ on Port BPS (value shows)", changes);
  printf("%-28s %.1f ms (Esc itself is settled after %d ms)\n", "Esc (menu bar back)", leave, ESC_SETTLE_MS);
  return 0;
}
