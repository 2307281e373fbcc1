// Wake-ups while nothing happens: the program in an 80 x 25 pty with its
// link open to zl27t-sim on a pty, led by keys to each screen, and left
// alone there; its voluntary context switches (all threads: each is a wait
// that ended) per second over a while, apart from them the involuntary ones
// (preemption by other work on the cores, no wake-up of its own), and the
// bytes it sends its terminal meanwhile.
// An idle screen (menu, dialog, offline editor) waits on its descriptors and
// wakes for nothing: at most 10 a second. A live screen reads the modem pass
// after pass, at most one pass per LIVE_PASS_MIN_MS; its reads wake it, so
// its row also gives the modem exchanges a second (the simulator's count of
// requests) and the wake-ups per exchange: all of them belong to the
// exchanges and the pass's own wait when nothing wakes between passes.
//   idle_bench [--seconds N] [--kind symax|gateway|rtu|ascii]
//     N seconds a screen (default 3); the serial link kind (default Sy/Max)
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "link/link_setup.h"
#include "pty_child.h"
#include "sim_process.h"
#include "ui/pace.h"

using Clock = std::chrono::steady_clock;

namespace {

// The simulator's count of requests so far: SIGUSR1 has it write its stats.
long sim_requests(const SimProcess &sim, const std::string &stats) {
  unlink(stats.c_str());
  if (kill(sim.pid(), SIGUSR1) != 0) return -1;
  for (int i = 0; i < 200; i++) {
    std::ifstream f(stats);
    unsigned long rx = 0, tx = 0, requests = 0;
    std::string a, b, c;
    if (f >> a >> rx >> b >> tx >> c >> requests && c == "requests") return static_cast<long>(requests);
    usleep(5000);
  }
  return -1;
}

struct Screen {
  const char *name;
  const char *keys;    // from the menu bar
  const char *shows;   // a text the screen shows once it is up
  const char *leave;   // back to the menu bar
  bool live;           // reads the modem pass after pass
};

constexpr const char *ESC = "\x1b";

}  // namespace

int main(int argc, char **argv) {
  double seconds = 3;
  struct Kind {
    const char *name;
    LinkKind kind;
    const char *shown;
  };
  static const Kind kinds[] = {{"symax", LINK_SYMAX, "Sy/Max"},
                               {"gateway", LINK_GATEWAY, "Gateway"},
                               {"rtu", LINK_MODBUS_RTU, "Modbus RTU"},
                               {"ascii", LINK_MODBUS_ASCII, "Modbus ASCII"}};
  const Kind *kind = &kinds[0];
  for (int i = 1; i < argc; i++) {
    const Kind *named = nullptr;
    if (i + 1 < argc && !strcmp(argv[i], "--kind"))
      for (const Kind &k : kinds)
        if (!strcmp(argv[i + 1], k.name)) named = &k;
    if (i + 1 < argc && !strcmp(argv[i], "--seconds")) {
      seconds = atof(argv[++i]);
    } else if (named) {
      kind = named;
      i++;
    } else {
      fprintf(stderr, "usage: idle_bench [--seconds N] [--kind symax|gateway|rtu|ascii]\n");
      return 2;
    }
  }
  signal(SIGPIPE, SIG_IGN);
  ScratchDir scratch;
  if (!scratch.make("zl27t-idle-bench")) return 1;
  const std::string &dir = scratch.path;
  std::string stats = dir + "/sim.stats";
  SimProcess sim;
  if (!sim.start({"--proto", kind->name, "--stats", stats})) return 1;
  LinkSetup setup;
  default_link_setup(&setup);
  setup.kind = kind->kind;
  scratch.write("ZL27TSW.STP", setup);
  Pane pane;
  if (!pane.start({ZL27T_BIN}, dir, sim.path()) || !pane.watch("oNline", 8000)) {
    fprintf(stderr, "idle_bench: no menu bar; last output: %s\n", pane.tail.c_str());
    return 1;
  }
  const Screen screens[] = {
      {"main menu", "", nullptr, "", false},
      {"link dialog", "ss", "CONFIGURE THIS COMPUTER", ESC, false},
      {"file to write", "fw", "File to write:", ESC, false},
      {"file picker", "fr", "LOAD OFFLINE FROM DISK", ESC, false},
      {"offline editor", "fe", "Press F2 for help.", ESC, false},
      {"online editor", "n", "Communication Mode", ESC, true},
      {"register viewer", "uv", "4x", ESC, true},
      {"signal strength", "us", "Any key to exit", "x", true},
      {"lead monitor", "ul", "Any key to exit", "x", true},
      {"connect/hang-up", "uc", "Any other key to exit", "x", true},
  };
  printf("Wake-ups while idle (voluntary context switches of all threads), %s link open to zl27t-sim, %.0f s a screen\n",
         kind->shown, seconds);
  printf("%-18s %11s %12s %13s %12s %12s   %s\n", "", "wake-ups/s", "exchanges/s", "per exchange", "preempted/s",
         "terminal B/s", "goal");
  int status = 0;
  for (const Screen &s : screens) {
    pane.type(s.keys);
    bool up = !s.shows || pane.watch(s.shows, 5000);
    pane.watch(nullptr, 700);   // the screen settles
    long requests = sim_requests(sim, stats);
    ContextSwitches before = context_switch_counts(pane.pid);
    size_t bytes_before = pane.total;
    auto t0 = Clock::now();
    pane.watch(nullptr, static_cast<int>(seconds * 1000));
    ContextSwitches after = context_switch_counts(pane.pid);
    double elapsed = std::chrono::duration<double>(Clock::now() - t0).count();
    long requests_after = sim_requests(sim, stats);
    double rate = static_cast<double>(after.voluntary - before.voluntary) / elapsed;
    double preempted = static_cast<double>(after.involuntary - before.involuntary) / elapsed;
    double written = static_cast<double>(pane.total - bytes_before) / elapsed;
    double exchanges = requests >= 0 && requests_after >= 0 ? static_cast<double>(requests_after - requests) / elapsed : -1;
    if (!up) {
      printf("%-18s %11s (did not come up)\n", s.name, "-");
      status = 1;
    } else if (!s.live) {
      printf("%-18s %11.1f %12.1f %13s %12.1f %12.0f   at most 10/s%s\n", s.name, rate, exchanges, "", preempted,
             written, rate > 10 ? "  MISSED" : "");
    } else {
      char per[32] = "-";
      if (exchanges > 0) snprintf(per, sizeof per, "%.1f", rate / exchanges);
      printf("%-18s %11.1f %12.1f %13s %12.1f %12.0f   a pass per %d ms at most, no wake-up between passes\n",
             s.name, rate, exchanges, per, preempted, written, LIVE_PASS_MIN_MS);
    }
    pane.type(s.leave);
    pane.watch(nullptr, 500);
  }
  pane.stop();
  sim.stop();
  if (!scratch.remove()) status = 1;
  return status;
}
