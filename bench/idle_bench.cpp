// Wake-ups while nothing happens: the program in an 80 x 25 pty with its
// link open to zl27t-sim on a pty, led by keys to each screen, and left
// alone there; its context switches (all threads) per second over a while.
// A screen that waits on its descriptors wakes only for its own passes (a
// live screen's reads of the modem) and the clock it shows.
//   idle_bench [--seconds N]   per screen (default 3)
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <string>
#include <vector>

#include "link/link_setup.h"
#include "sim_process.h"

using Clock = std::chrono::steady_clock;

namespace {

// A child in an 80 x 25 pty; its output is read by watch().
struct Pane {
  int master = -1;
  pid_t pid = -1;
  std::string tail;   // the last bytes read, for finding a text across reads
  size_t total = 0;

  bool start(const std::vector<std::string> &argv, const std::string &dir, const std::string &ports) {
    struct winsize ws {};
    ws.ws_row = 25;
    ws.ws_col = 80;
    pid = forkpty(&master, nullptr, nullptr, &ws);
    if (pid < 0) return false;
    if (pid == 0) {
      if (chdir(dir.c_str()) != 0) _exit(126);
      setenv("TERM", "xterm-256color", 1);
      setenv("LC_ALL", "C.UTF-8", 1);
      if (!ports.empty()) setenv("ZL27T_PORTS", ports.c_str(), 1);
      std::vector<char *> args;
      for (const std::string &a : argv) args.push_back(const_cast<char *>(a.c_str()));
      args.push_back(nullptr);
      execv(args[0], args.data());
      _exit(127);
    }
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
    return true;
  }
  // Reads until text shows (true), the child's terminal closes or the time
  // runs out (false).
  bool watch(const char *text, int timeout_ms) {
    auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    size_t len = text ? strlen(text) : 0;
    for (;;) {
      size_t at = text ? tail.find(text) : std::string::npos;
      if (at != std::string::npos) {
        tail.erase(0, at + len);   // a later watch looks at what came after
        return true;
      }
      int left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count());
      if (left <= 0) return false;
      struct pollfd p = {master, POLLIN, 0};
      if (poll(&p, 1, left) <= 0) continue;
      char buf[65536];
      ssize_t n = read(master, buf, sizeof buf);
      if (n <= 0) return false;
      total += static_cast<size_t>(n);
      if (tail.size() > 4 * len + 64) tail.erase(0, tail.size() - len);
      tail.append(buf, static_cast<size_t>(n));
    }
  }
  void type(const char *bytes) {
    ssize_t ignored = write(master, bytes, strlen(bytes));
    (void)ignored;
  }
  void stop() {
    if (pid > 0) {
      kill(pid, SIGTERM);
      waitpid(pid, nullptr, 0);
    }
    if (master >= 0) close(master);
    pid = -1;
    master = -1;
  }
};

long context_switches(pid_t pid) {
  long sum = 0;
  std::string dir = "/proc/" + std::to_string(pid) + "/task";
  DIR *d = opendir(dir.c_str());
  if (!d) return -1;
  while (struct dirent *e = readdir(d)) {
    if (e->d_name[0] == '.') continue;
    std::ifstream f(dir + "/" + e->d_name + "/status");
    std::string line;
    while (std::getline(f, line))
      if (line.rfind("voluntary_ctxt_switches:", 0) == 0 || line.rfind("nonvoluntary_ctxt_switches:", 0) == 0)
        sum += atol(line.c_str() + line.find(':') + 1);
  }
  closedir(d);
  return sum;
}

struct Screen {
  const char *name;
  const char *keys;    // from the menu bar
  const char *shows;   // a text the screen shows once it is up
  const char *leave;   // back to the menu bar
};

constexpr const char *ESC = "\x1b";

}  // namespace

int main(int argc, char **argv) {
  double seconds = 3;
  for (int i = 1; i + 1 < argc; i += 2)
    if (!strcmp(argv[i], "--seconds")) seconds = atof(argv[i + 1]);
  signal(SIGPIPE, SIG_IGN);
  SimProcess sim;
  if (!sim.start({})) return 1;
  char dir_template[] = "/tmp/zl27t-idle-bench-XXXXXX";
  if (!mkdtemp(dir_template)) return 1;
  std::string dir = dir_template;
  LinkSetup setup;
  default_link_setup(&setup);
  {
    std::ofstream f(dir + "/ZL27TSW.STP", std::ios::binary);
    f.write(reinterpret_cast<const char *>(&setup), sizeof setup);
  }
  Pane pane;
  if (!pane.start({ZL27T_BIN}, dir, sim.path()) || !pane.watch("oNline", 8000)) {
    fprintf(stderr, "idle_bench: no menu bar; last output: %s\n", pane.tail.c_str());
    return 1;
  }
  const Screen screens[] = {
      {"main menu", "", nullptr, ""},
      {"link dialog", "ss", "CONFIGURE THIS COMPUTER", ESC},
      {"online editor", "n", "Communication Mode", ESC},
      {"register viewer", "uv", "4x", ESC},
      {"offline editor", "fe", "Press F2 for help.", ESC},
  };
  printf("Wake-ups per second while idle, link open to zl27t-sim (%.0f s a screen; goal: at most 10)\n", seconds);
  int status = 0;
  for (const Screen &s : screens) {
    pane.type(s.keys);
    bool up = !s.shows || pane.watch(s.shows, 5000);
    pane.watch(nullptr, 700);   // the screen settles
    long before = context_switches(pane.pid);
    auto t0 = Clock::now();
    pane.watch(nullptr, static_cast<int>(seconds * 1000));
    double rate = static_cast<double>(context_switches(pane.pid) - before) /
                  std::chrono::duration<double>(Clock::now() - t0).count();
    if (up)
      printf("%-20s %8.1f\n", s.name, rate);
    else {
      printf("%-20s %8s (did not come up)\n", s.name, "-");
      status = 1;
    }
    pane.type(s.leave);
    pane.watch(nullptr, 500);
  }
  pane.stop();
  std::string rm = "rm -rf '" + dir + "'";
  if (system(rm.c_str()) != 0) status = 1;
  return status;
}
