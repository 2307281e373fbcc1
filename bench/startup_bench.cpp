// Start-up against `cat`: the program started in an 80 x 25 pty with its
// setup file naming a link to zl27t-sim on a pty, timed from the fork to the
// last byte of the full main menu (the link open). The yardstick is `cat` of
// the very bytes the program wrote, into a pty of the same size, timed the
// same way, in the same run. Where strace is installed, one more start is
// traced: the program's system calls up to the menu, and how many of them
// look up a path.
//   startup_bench [--rounds N]   (default 10; best and median)
#include <signal.h>
#include <unistd.h>

#include <algorithm>
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

using Clock = std::chrono::steady_clock;

namespace {

constexpr const char *MENU_BAR = "oNline";
constexpr const char *STRACE = "/usr/bin/strace";

struct Times {
  double best = -1, median = -1;
};

Times summary(std::vector<double> ms) {
  Times t;
  if (ms.empty()) return t;
  std::sort(ms.begin(), ms.end());
  t.best = ms.front();
  t.median = ms[ms.size() / 2];
  return t;
}

// One start of argv in dir, timed until `bytes` bytes have come; -1 when
// they do not.
double time_start(const std::vector<std::string> &argv, const std::string &dir, const std::string &ports,
                  size_t bytes) {
  Pane pane;
  auto t0 = Clock::now();
  if (!pane.start(argv, dir, ports)) return -1;
  bool ok = pane.watch_bytes(bytes, 10000);
  double ms = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
  pane.stop();
  return ok ? ms : -1;
}

struct Calls {
  long calls = -1;     // up to and including the menu's last write
  long lookups = -1;   // of them, those that name a path
};

// The trace of one start (strace -f): the calls up to the last write to the
// terminal before the program waits for a key.
Calls count_calls(const std::string &trace) {
  std::ifstream f(trace);
  std::vector<std::string> lines;
  for (std::string line; std::getline(f, line);) lines.push_back(line);
  size_t last_write = 0;
  bool found = false;
  for (size_t i = 0; i < lines.size(); i++)
    if (lines[i].find(" write(1, ") != std::string::npos) {
      last_write = i;
      found = true;
    }
  Calls c;
  if (!found) return c;
  c.calls = c.lookups = 0;
  for (size_t i = 0; i <= last_write; i++) {
    const std::string &l = lines[i];
    // "<... x resumed>" finishes a call already counted; "+++" and "---" are
    // exits and signals.
    if (l.find("<...") != std::string::npos || l.find(" +++ ") != std::string::npos ||
        l.find(" --- ") != std::string::npos)
      continue;
    c.calls++;
    size_t open = l.find('(');
    if (open == std::string::npos) continue;
    std::string args = l.substr(open + 1, 40);
    if (args.rfind("AT_FDCWD, ", 0) == 0) args.erase(0, 10);
    if (args.size() > 2 && args[0] == '"' && args[1] != '"') c.lookups++;
  }
  return c;
}

// One more start of program (and its arguments, blank-separated) under
// strace; nothing counted where strace is not installed.
Calls traced_calls(const std::string &command, const std::string &dir, const std::string &ports, size_t bytes) {
  Calls calls;
  if (access(STRACE, X_OK) != 0) return calls;
  std::string trace = dir + "/startup.trace";
  std::vector<std::string> argv = {STRACE, "-f", "-o", trace};
  for (size_t at = 0; at < command.size();) {
    size_t blank = command.find(' ', at);
    if (blank == std::string::npos) blank = command.size();
    argv.push_back(command.substr(at, blank - at));
    at = blank + 1;
  }
  Pane pane;
  if (pane.start(argv, dir, ports) && pane.watch_bytes(bytes, 20000)) {
    pane.watch(nullptr, 300);
    calls = count_calls(trace);
  }
  // strace waits for its tracee: the program is ended first.
  std::ifstream children("/proc/" + std::to_string(pane.pid) + "/task/" + std::to_string(pane.pid) + "/children");
  for (long child; children >> child;) kill(static_cast<pid_t>(child), SIGTERM);
  pane.stop();
  unlink(trace.c_str());
  return calls;
}

}  // namespace

int main(int argc, char **argv) {
  int rounds = 10;
  for (int i = 1; i < argc; i++) {
    if (!strcmp(argv[i], "--rounds") && i + 1 < argc) {
      rounds = std::max(1, atoi(argv[++i]));
    } else {
      fprintf(stderr, "usage: startup_bench [--rounds N]\n");
      return 2;
    }
  }
  signal(SIGPIPE, SIG_IGN);
  ScratchDir scratch;
  if (!scratch.make("zl27t-startup-bench")) return 1;
  const std::string &dir = scratch.path;
  SimProcess sim;
  if (!sim.start({})) return 1;
  LinkSetup setup;
  default_link_setup(&setup);
  scratch.write("ZL27TSW.STP", setup);
  const std::string program = ZL27T_BIN;

  // What the program writes up to the full menu: all it writes until it
  // has been quiet a while after the menu bar.
  std::string screen;
  {
    Pane pane;
    pane.keep_all = true;
    if (!pane.start({program}, dir, sim.path()) || !pane.watch(MENU_BAR, 8000)) {
      fprintf(stderr, "startup_bench: no menu bar; last output: %s\n", pane.tail.c_str());
      return 1;
    }
    pane.watch(nullptr, 500);
    screen = pane.all;
    pane.stop();
  }
  std::string file = dir + "/screen.bytes";
  {
    std::ofstream f(file, std::ios::binary);
    f << screen;
  }

  // Rounds taken in turns, so that a busy moment of the machine falls on both.
  std::vector<double> ours, cat;
  int status = 0;
  for (int r = 0; r < rounds; r++) {
    double a = time_start({program}, dir, sim.path(), screen.size());
    double b = time_start({"/bin/cat", file}, dir, "", screen.size());
    if (a < 0 || b < 0) status = 1;
    if (a >= 0) ours.push_back(a);
    if (b >= 0) cat.push_back(b);
  }
  Times t_ours = summary(ours), t_cat = summary(cat);

  Calls calls = traced_calls(program, dir, sim.path(), screen.size());
  Calls cat_calls = traced_calls("/bin/cat " + file, dir, "", screen.size());

  printf("Start-up to the full main menu, link open to zl27t-sim (%zu bytes on an 80 x 25 pty; %d rounds)\n",
         screen.size(), rounds);
  printf("%-10s %10s %10s %8s %13s %14s\n", "", "best", "median", "x cat", "system calls", "path look-ups");
  auto row = [](const char *name, const Times &t, const char *ratio, const Calls &c) {
    char n_calls[24] = "-", n_lookups[24] = "-";
    if (c.calls >= 0) {
      snprintf(n_calls, sizeof n_calls, "%ld", c.calls);
      snprintf(n_lookups, sizeof n_lookups, "%ld", c.lookups);
    }
    printf("%-10s %7.2f ms %7.2f ms %8s %13s %14s\n", name, t.best, t.median, ratio, n_calls, n_lookups);
  };
  row("cat", t_cat, "1.0", cat_calls);
  char ratio[16] = "-";
  if (t_cat.best > 0 && t_ours.best > 0) snprintf(ratio, sizeof ratio, "%.2f", t_ours.best / t_cat.best);
  row("zl27t", t_ours, ratio, calls);
  printf("goal: at most 1.5 x cat (best against best)\n");
  sim.stop();
  if (!scratch.remove()) status = 1;
  return status;
}
