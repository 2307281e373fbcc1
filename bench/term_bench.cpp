// The terminal emulator against `cat`: the program runs in an 80 x 25 pty
// with a raw pty as the device on its terminal port; 1 MB of text lines is
// written into the device as fast as the program takes it, and the time runs
// until the last line has reached the program's own terminal. `cat` of the
// same bytes into a pty of the same size is the yardstick. Then, with the
// terminal idle, its wake-ups per second (context switches of all its
// threads), and how soon Ctrl-End brings the menu back during a flood.
// Needs nothing but the program: no test libraries.
//   term_bench [--bytes N] [--rounds N]
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "link/link_setup.h"
#include "pty_child.h"

using Clock = std::chrono::steady_clock;

namespace {

constexpr const char *END_MARK = "END-OF-FLOOD";
constexpr const char *TERMINAL_UP = "contrl-End";
constexpr const char *MENU_UP = "Use Esc to abort";
// The menu bar as the full repaint after the terminal draws it.
constexpr const char *BAR_BACK = "oNline";
constexpr const char *CTRL_END = "\x1b[1;5F";

double ms_since(Clock::time_point t0) { return std::chrono::duration<double, std::milli>(Clock::now() - t0).count(); }

// Text lines as a device would send them; each flood ends with END_MARK and
// a text of its own.
std::string flood_bytes(size_t size) {
  std::string out;
  char line[128];
  for (long n = 0; out.size() + 100 < size; n++) {
    int k = snprintf(line, sizeof line, "line %06ld: the quick brown fox jumps over the lazy dog 0123456789 %s\r\n", n,
                     n % 7 == 0 ? "\x1b[1;33mnote\x1b[0m" : "plain");
    out.append(line, static_cast<size_t>(k));
  }
  return out;
}

// The device: a raw pty whose slave is the terminal's port.
struct Device {
  int master = -1, slave = -1;
  std::string path;
  bool open() {
    char name[128];
    if (openpty(&master, &slave, name, nullptr, nullptr) != 0) return false;
    fcntl(master, F_SETFD, FD_CLOEXEC);
    fcntl(slave, F_SETFD, FD_CLOEXEC);
    struct termios t;
    tcgetattr(slave, &t);
    cfmakeraw(&t);
    tcsetattr(slave, TCSANOW, &t);
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
    path = name;
    return true;
  }
  // Writes all of bytes (or until stop), as fast as the port takes them;
  // what the program answers is read and dropped.
  void send(const std::string &bytes, const std::atomic<bool> *stop = nullptr) const {
    size_t at = 0;
    while (at < bytes.size() && !(stop && *stop)) {
      ssize_t n = write(master, bytes.data() + at, bytes.size() - at);
      if (n > 0) {
        at += static_cast<size_t>(n);
        continue;
      }
      char sink[4096];
      while (read(master, sink, sizeof sink) > 0) {
      }
      struct pollfd p = {master, POLLOUT, 0};
      poll(&p, 1, 10);
    }
  }
};

struct TerminalFigures {
  double flood_ms = -1;     // best of the rounds
  double wakeups = -1;      // per second, idle
  double ctrl_end_ms = -1;  // key to the menu, during a flood
  double output_kb = 0;     // written to its terminal per flood
};

bool measure_terminal(const std::string &program, const std::string &dir, const char *menu_keys,
                      const std::string &flood, int rounds, TerminalFigures &fig) {
  Device dev;
  if (!dev.open()) return false;
  Pane pane;
  if (!pane.start({program}, dir, dev.path)) return false;
  bool ok = pane.watch(MENU_UP, 8000);
  if (ok) {
    // A link of kind "None" is not established: the message waits for F10.
    if (pane.watch("establish link", 1500)) pane.type("\x1b[21~");
    pane.watch(nullptr, 300);
    pane.type(menu_keys);
    ok = pane.watch(TERMINAL_UP, 8000);
  }
  if (!ok) {
    fprintf(stderr, "term_bench: the terminal did not come up; last output: %s\n", pane.tail.c_str());
    pane.stop();
    return false;
  }
  // Idle: nothing comes, nothing is typed.
  pane.watch(nullptr, 300);
  long before = context_switches(pane.pid);
  auto t0 = Clock::now();
  pane.watch(nullptr, 2000);
  fig.wakeups = static_cast<double>(context_switches(pane.pid) - before) / (ms_since(t0) / 1000.0);

  for (int r = 0; r < rounds && ok; r++) {
    size_t out_before = pane.total;
    auto start = Clock::now();
    // Every character of the mark differs from the last round's: a cell
    // that shows the same already is not written again.
    std::string mark = std::string(END_MARK) + "-" + std::string(12, static_cast<char>('a' + r % 26));
    std::string bytes = flood + "\r\n" + mark + "\r\n";
    std::thread writer([&] { dev.send(bytes); });
    ok = pane.watch(mark.c_str() + strlen(END_MARK) + 1, 120000);
    double ms = ms_since(start);
    writer.join();
    if (!ok) fprintf(stderr, "term_bench: the end of the flood never showed\n");
    if (ok && (fig.flood_ms < 0 || ms < fig.flood_ms)) fig.flood_ms = ms;
    fig.output_kb = static_cast<double>(pane.total - out_before) / 1024.0;
    pane.watch(nullptr, 200);
  }

  if (ok) {
    std::atomic<bool> stop{false};
    std::string endless;
    for (int i = 0; i < 64; i++) endless += flood.substr(0, 65536);
    std::thread writer([&] {
      while (!stop) dev.send(endless, &stop);
    });
    pane.watch(nullptr, 300);
    auto key = Clock::now();
    pane.type(CTRL_END);
    if (pane.watch(BAR_BACK, 10000)) fig.ctrl_end_ms = ms_since(key);
    stop = true;
    writer.join();
  }
  pane.stop();
  return ok;
}

double measure_cat(const std::string &file, int rounds) {
  double best = -1;
  for (int r = 0; r < rounds; r++) {
    Pane pane;
    auto start = Clock::now();
    if (!pane.start({"/bin/cat", file}, "/", "")) return -1;
    pane.watch("\x01\x02\x03 never", 120000);   // until cat's terminal closes
    double ms = ms_since(start);
    pane.stop();
    if (best < 0 || ms < best) best = ms;
  }
  return best;
}

}  // namespace

int main(int argc, char **argv) {
  size_t bytes = 1 << 20;
  int rounds = 3;
  for (int i = 1; i < argc; i++) {
    if (!strcmp(argv[i], "--bytes") && i + 1 < argc)
      bytes = static_cast<size_t>(atol(argv[++i]));
    else if (!strcmp(argv[i], "--rounds") && i + 1 < argc)
      rounds = std::max(1, atoi(argv[++i]));
    else {
      fprintf(stderr, "usage: term_bench [--bytes N] [--rounds N]\n");
      return 2;
    }
  }
  signal(SIGPIPE, SIG_IGN);
  ScratchDir scratch;
  if (!scratch.make("zl27t-term-bench")) return 1;
  const std::string &dir = scratch.path;
  std::string flood = flood_bytes(bytes);
  std::string file = dir + "/flood.txt";
  {
    std::ofstream f(file, std::ios::binary);
    f << flood << "\r\n" << END_MARK << "\r\n";
  }
  LinkSetup setup;
  default_link_setup(&setup);
  setup.kind = LINK_NONE;   // nothing but the terminal's own port
  scratch.write("ZL27TSW.STP", setup);
  std::string program = ZL27T_BIN;

  double cat_ms = measure_cat(file, rounds);
  printf("Terminal emulator, %zu bytes of text lines through an 80 x 25 pty (best of %d)\n", flood.size(), rounds);
  printf("%-26s %10s %8s %12s %14s %12s\n", "", "time", "x cat", "wake-ups/s", "Ctrl-End", "written");
  printf("%-26s %7.1f ms %8s %12s %14s %12s\n", "cat", cat_ms, "1.0", "", "", "");
  int status = 0;
  struct Mode {
    const char *name, *keys;
  } modes[] = {{"debugging terminal", "ut"}, {"BBS terminal", "ub"}};
  for (const Mode &m : modes) {
    TerminalFigures fig;
    if (!measure_terminal(program, dir, m.keys, flood, rounds, fig)) status = 1;
    printf("%-26s %7.1f ms %8.1f %12.1f %11.1f ms %9.0f KB\n", m.name, fig.flood_ms,
           cat_ms > 0 ? fig.flood_ms / cat_ms : 0.0, fig.wakeups, fig.ctrl_end_ms, fig.output_kb);
  }
  printf("goals: at most 3 x cat, at most 10 wake-ups/s idle, Ctrl-End within 100 ms\n");
  if (!scratch.remove()) status = 1;
  return status;
}
