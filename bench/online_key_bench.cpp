// How soon a key typed in the online editor shows, while the modem is slow to
// answer: the program runs in a pty against zl27t-sim with a delay before
// every reply, and each key is typed at a random moment of a reply wait. The
// time is taken from the key's bytes written to the terminal to the screen
// (read back through libvterm) showing its effect.
// With --cpu, instead: the processor time each live screen (online editor,
// signal, lead monitor, connect) and the simulated modem take while the
// screen runs untouched on a fast link (a pty, and Modbus TCP on loopback),
// in per cent of one core over the given seconds. With --baud the serial
// links run at that speed instead, whose wire paces the screens by itself;
// the bytes the modem read meanwhile show how fast it was asked.
//   online_key_bench [--delay MS] [--keys N]
//   online_key_bench --cpu SECONDS [--baud N]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

#include "harness.h"
#include "link/link_kinds.h"
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

// User plus system time of a process so far, in seconds; -1 when unknown.
double cpu_seconds(int pid) {
  std::ifstream f("/proc/" + std::to_string(pid) + "/stat");
  std::string stat((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  size_t close = stat.rfind(')');
  if (close == std::string::npos) return -1;
  std::istringstream rest(stat.substr(close + 2));
  std::string field;
  unsigned long long utime = 0, stime = 0;
  // Fields 3 to 13, then utime (14) and stime (15).
  for (int i = 3; i <= 13; i++) rest >> field;
  rest >> utime >> stime;
  return rest ? static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK)) : -1;
}

// Bytes a process has read so far (all its reads: for the simulated modem on
// a pty, nearly all of them are the requests); -1 when unknown.
double bytes_read(int pid) {
  std::ifstream f("/proc/" + std::to_string(pid) + "/io");
  std::string key;
  double value = -1;
  while (f >> key >> value)
    if (key == "rchar:") return value;
  return -1;
}

struct LiveScreen {
  const char *name;
  const char *keys;   // from the menu bar
  std::function<bool(const Session &)> running;
};

int cpu_bench(double seconds, int baud) {
  const LiveScreen screens[] = {
      {"online editor", "n",
       [](const Session &s) { return s.contains("Communication Mode") && s.text_at(13, 20, 1) != " "; }},
      {"signal screen", "us", [](const Session &s) { return s.text_at(12, 56, 1) != " "; }},
      {"lead monitor", "ul", [](const Session &s) { return s.text_at(16, 56, 1) != " "; }},
      {"connect screen", "uc", [](const Session &s) { return s.text_at(12, 46, 1) != " "; }},
  };
  const Session::Ms slow(20000);
  printf("processor time while a live screen runs untouched, %.0f s each (%% of one core):\n", seconds);
  for (LinkKind kind : {LINK_SYMAX, LINK_MODBUS_RTU, LINK_MODBUS_TCP}) {
    const bool tcp = kind == LINK_MODBUS_TCP;
    if (tcp && baud) continue;
    for (const LiveScreen &screen : screens) {
      ZlSession s;
      SimProcess sim;
      LinkSetup setup = setup_record();
      setup.kind = kind;
      if (tcp) {
        if (!need(started(sim, sim.start({"--tcp", "0"})))) return 1;
        snprintf(setup.host, sizeof setup.host, "127.0.0.1");
        setup.tcp_port = static_cast<uint16_t>(atoi(sim.ready().c_str()));
        setup.route_count = 1;
        setup.route[0] = 1;
        s.set_env("ZL27T_PORTS", "/dev/null");
      } else {
        std::vector<std::string> options = {"--pty", s.path("modem"), kind == LINK_MODBUS_RTU ? "--rtu" : "--symax"};
        if (baud) {
          options.insert(options.end(), {"--baud", std::to_string(baud)});
          for (int i = 0; i < BAUD_COUNT; i++)
            if (baud_rate[i] == static_cast<unsigned>(baud)) setup.baud = static_cast<uint16_t>(i);
        }
        if (!need(started(sim, sim.start(options)))) return 1;
        if (kind == LINK_MODBUS_RTU) {
          setup.route_count = 1;
          setup.route[0] = 1;
        }
        s.set_env("ZL27T_PORTS", s.path("modem"));
      }
      if (!s.write_setup(setup) || !s.start()) return 1;
      if (!need(s.wait_until([&] { return s.row(4).rfind("oNline", 0) == 0; }, "the menu bar", slow))) return 1;
      s.type(screen.keys);
      if (!need(s.wait_until([&] { return screen.running(s); }, screen.name, slow))) return 1;
      // The program's output is read all along, as a terminal would.
      const double program0 = cpu_seconds(s.pid()), sim0 = cpu_seconds(sim.pid()), read0 = bytes_read(sim.pid());
      auto t0 = Clock::now();
      s.pump_for(std::chrono::milliseconds(static_cast<int>(seconds * 1000)));
      const double wall = ms_since(t0) / 1000;
      const double program = (cpu_seconds(s.pid()) - program0) / wall, device = (cpu_seconds(sim.pid()) - sim0) / wall;
      const double asked = (bytes_read(sim.pid()) - read0) / wall;
      printf("  %-12s %-15s program %5.1f %%   simulated modem %5.1f %%", link_kind_name(kind), screen.name,
             100 * program, 100 * device);
      // What the modem takes from a socket is not counted among its reads.
      if (!tcp) printf(", reads %6.0f bytes/s", asked);
      printf("\n");
    }
  }
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  int delay = 300, keys = 30;
  double cpu = 0;
  int baud = 0;
  for (int i = 1; i < argc; i++) {
    if (!strcmp(argv[i], "--delay") && i + 1 < argc)
      delay = atoi(argv[++i]);
    else if (!strcmp(argv[i], "--keys") && i + 1 < argc)
      keys = atoi(argv[++i]);
    else if (!strcmp(argv[i], "--cpu") && i + 1 < argc)
      cpu = atof(argv[++i]);
    else if (!strcmp(argv[i], "--baud") && i + 1 < argc)
      baud = atoi(argv[++i]);
    else {
      fprintf(stderr, "usage: online_key_bench [--delay MS] [--keys N] | --cpu SECONDS [--baud N]\n");
      return 2;
    }
  }
  if (cpu > 0) return cpu_bench(cpu, baud);
  ZlSession s;
  SimProcess sim;
  if (!need(started(sim, sim.start({"--pty", s.path("modem"), "--delay", std::to_string(delay)})))) return 1;
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
