// Register viewer against zl27t-sim (serial kinds) or a libmodbus server
// (Modbus TCP), with the screen on a real terminal (a pty whose other end
// this program reads and counts):
//   - refreshes per second (20 rows; status column off and on) beside the
//     pace every live screen keeps (a pass at most every LIVE_PASS_MIN_MS):
//     on a fast link the pace is the figure, on a slow line the wire;
//   - the register interface itself, which is not paced: reads per second
//     of the table's 20 registers and, where the kind has an outside client
//     (libmodbus's own, for Modbus TCP), beside that client's reads of the
//     same registers from the same server, and their ratio;
//   - bytes sent to the terminal per refresh when nothing changes, when one
//     value changes, and for the table or the whole screen drawn afresh;
//   - the viewer's own loop on a fast link with nobody typing: its CPU;
//   - time from a key typed to its effect on the screen, on a fast link and
//     while a slow reply is awaited, and the CPU used meanwhile;
//   - CPU used while the device does not answer and errors are not trapped
//     (stopped device; port gone).
//
//   regview_bench [--seconds N] [--delay MS] [--keys N] [--rates]
// --rates: the refresh rates only.
//
// Link kinds are rows of the `targets` table; a kind joins the figures by
// adding its row (which peer, how it is started and the link set up, and
// the outside client to compare with).
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#if ZL27T_BENCH_LIBMODBUS
#include "libmodbus_peer.h"
#endif
#include "link/link.h"
#include "link/link_setup.h"
#include "platform/console.h"
#include "rate.h"
#include "regview/regview.h"
#include "sim_process.h"
#include "ui/keys.h"
#include "ui/pace.h"
#include "ui/screen.h"
#include "ui/ui.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::duration;
using std::chrono::milliseconds;

FILE *report = stderr;

// --- the terminal: everything the program writes is read and counted here ---

struct Terminal {
  int master = -1;
  std::thread reader;
  std::atomic<bool> stop{false};
  std::atomic<uint64_t> bytes{0};

  std::mutex lock;
  std::condition_variable changed;
  std::string watch_for;     // armed: the bytes that show the key's effect
  std::string seen;          // output since the watch was armed
  Clock::time_point hit;     // when watch_for arrived
  bool hit_seen = false;

  void run() {
    char buf[4096];
    while (!stop) {
      pollfd p{master, POLLIN, 0};
      if (poll(&p, 1, 20) <= 0) continue;
      ssize_t n = read(master, buf, sizeof buf);
      if (n <= 0) continue;
      auto now = Clock::now();
      bytes += static_cast<uint64_t>(n);
      std::lock_guard<std::mutex> g(lock);
      if (!watch_for.empty() && !hit_seen) {
        seen.append(buf, static_cast<size_t>(n));
        if (seen.find(watch_for) != std::string::npos) {
          hit = now;
          hit_seen = true;
          changed.notify_all();
        }
      }
    }
  }

  // Types bytes and returns how long until `effect` appears in the output.
  double type_and_time(const std::string &keys, const std::string &effect) {
    {
      std::lock_guard<std::mutex> g(lock);
      watch_for = effect;
      seen.clear();
      hit_seen = false;
    }
    auto t0 = Clock::now();
    if (write(master, keys.data(), keys.size()) != static_cast<ssize_t>(keys.size())) return -1;
    std::unique_lock<std::mutex> g(lock);
    bool ok = changed.wait_for(g, std::chrono::seconds(3), [&] { return hit_seen; });
    watch_for.clear();
    return ok ? duration<double, std::milli>(hit - t0).count() : -1;
  }

  void type(const std::string &keys) {
    if (write(master, keys.data(), keys.size()) < 0) perror("regview_bench: write");
  }

  // Bytes the program has written so far, once its output has settled.
  uint64_t settled_bytes() {
    pcon_flush();
    std::this_thread::sleep_for(milliseconds(20));
    return bytes;
  }
};

Terminal term;

bool take_terminal() {
  int slave = -1;
  winsize ws{};
  ws.ws_row = CON_ROWS;
  ws.ws_col = CON_COLS;
  if (openpty(&term.master, &slave, nullptr, nullptr, &ws) != 0) return false;
  report = fdopen(dup(STDOUT_FILENO), "w");
  setvbuf(report, nullptr, _IOLBF, 0);
  dup2(slave, STDIN_FILENO);
  dup2(slave, STDOUT_FILENO);
  close(slave);
  term.reader = std::thread([] { term.run(); });
  return ui_init(CONSOLE_VT);
}

void give_terminal_back() {
  ui_shutdown();
  term.stop = true;
  term.reader.join();
}

double cpu_seconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// --- link kinds ---

// The device at the far end: zl27t-sim, or a libmodbus server (the same
// server libmodbus's own client is timed against).
enum Peer { PEER_SIM, PEER_LIBMODBUS };

struct Target {
  const char *name;
  Peer peer;
  std::vector<std::string> sim_options;   // besides --pty and the delay
  void (*setup)(LinkSetup &s, const std::string &where);
  // An outside client reading `count` holding registers from `first` off the
  // same peer for `seconds`: the yardstick of the refresh rate. Null: none.
  bool (*yardstick)(const std::string &where, int first, int count, double seconds, Rate &rate);
};

void symax_setup(LinkSetup &s, const std::string &where) {
  setenv("ZL27T_PORTS", where.c_str(), 1);
  refresh_serial_ports();
  s.kind = LINK_SYMAX;
  s.port = 0;
}

#if ZL27T_BENCH_LIBMODBUS
// `where` is the server's port on loopback; unit 1.
void tcp_setup(LinkSetup &s, const std::string &where) {
  s.kind = LINK_MODBUS_TCP;
  snprintf(s.host, sizeof s.host, "%s", "127.0.0.1");
  s.tcp_port = static_cast<uint16_t>(atoi(where.c_str()));
  s.route_count = 1;
  s.route[0] = 1;
}

bool libmodbus_client(const std::string &where, int first, int count, double seconds, Rate &rate) {
  return libmodbus_tcp_reads(atoi(where.c_str()), first, count, seconds, rate);
}
#endif

const Target targets[] = {
    {.name = "Sy/Max over a pty", .peer = PEER_SIM, .sim_options = {}, .setup = symax_setup, .yardstick = nullptr},
    // The simulator paces its replies as a 9600-baud line would.
    {.name = "Sy/Max at 9600 baud", .peer = PEER_SIM, .sim_options = {"--baud", "9600"}, .setup = symax_setup,
     .yardstick = nullptr},
#if ZL27T_BENCH_LIBMODBUS
    {.name = "Modbus TCP", .peer = PEER_LIBMODBUS, .sim_options = {}, .setup = tcp_setup,
     .yardstick = libmodbus_client},
#endif
};

constexpr int START_REGISTER = 100;

// The peer of one measurement, and the program's link to it.
struct Session {
  const Target *target = nullptr;
  SimProcess sim;
#if ZL27T_BENCH_LIBMODBUS
  LibmodbusServer server;
#endif
  std::string where;   // the pty's path, or the server's port

  bool start(const Target &t, unsigned delay_ms) {
    target = &t;
    if (t.peer == PEER_LIBMODBUS) {
#if ZL27T_BENCH_LIBMODBUS
      if (!start_libmodbus_server(&server, delay_ms)) return false;
      where = std::to_string(server.port);
      return true;
#else
      return false;
#endif
    }
    std::vector<std::string> options = t.sim_options;
    options.push_back("--set");
    options.push_back(std::to_string(START_REGISTER) + "=0x1234");
    if (delay_ms) {
      options.push_back("--delay");
      options.push_back(std::to_string(delay_ms));
    }
    if (!sim.start(options)) return false;
    where = sim.path();
    return true;
  }
  bool open_link() {
    default_link_setup(&link_setup);
    target->setup(link_setup, where);
    link_setup.rv_start_register = START_REGISTER;
    link_setup.rv_screen_size = VIEWER_MAX_ROWS;
    return link_open() != nullptr;
  }
  bool open(const Target &t, unsigned delay_ms) { return start(t, delay_ms) && open_link(); }
  void close_link() {
    if (link_handle) link_close(link_handle);
    link_handle = nullptr;
  }
  pid_t pid() const {
#if ZL27T_BENCH_LIBMODBUS
    if (target && target->peer == PEER_LIBMODBUS) return server.pid;
#endif
    return sim.pid();
  }
  ~Session() {
    close_link();
#if ZL27T_BENCH_LIBMODBUS
    stop_libmodbus_server(&server);
#endif
  }
};

// --- the measurements ---

void refresh_rate(const Target &t, double seconds, bool status) {
  Session s;
  if (!s.open(t, 0)) {
    fprintf(report, "  %s: the link did not open\n", t.name);
    return;
  }
  link_setup.rv_status_registers = status ? 0 : 1;
  RegisterViewer v;
  viewer_enter(&v, VIEWER_STATUS_OFFSET);
  int refreshes = 0, other = 0;
  auto end = Clock::now() + duration<double>(seconds);
  auto start = Clock::now();
  while (Clock::now() < end) {
    if (viewer_refresh(&v) == VIEWER_REFRESHED && !v.failed) refreshes++;
    else other++;
  }
  double elapsed = duration<double>(Clock::now() - start).count();
  constexpr double paced = 1000.0 / LIVE_PASS_MIN_MS;
  double rate = refreshes / elapsed;
  fprintf(report, "  %-20s status %-3s  %6.1f refreshes/s of at most %.0f (%d in %.1f s, %d not complete): %s\n",
          t.name, status ? "on" : "off", rate, paced, refreshes, elapsed, other,
          rate > 1.1 * paced ? "not paced" : rate > 0.9 * paced ? "the pace" : "the link");
  viewer_leave(&v);
}

// The register interface without the viewer: one read of the table's 20
// registers after another, unpaced, beside the peer's outside client (if it
// has one) reading the same registers, in alternating rounds on the same
// peer (its one connection at a time).
void register_reads(const Target &t, double seconds) {
  constexpr int ROUNDS = 3;
  Session s;
  if (!s.start(t, 0)) {
    fprintf(report, "  %s: the peer did not start\n", t.name);
    return;
  }
  Rate ours, client;
  for (int round = 0; round < ROUNDS; round++) {
    if (!s.open_link()) {
      fprintf(report, "  %s: the link did not open\n", t.name);
      return;
    }
    uint16_t values[VIEWER_MAX_ROWS];
    run_for(seconds / ROUNDS, ours,
            [&] { return link_read_registers(link_handle, START_REGISTER, VIEWER_MAX_ROWS, values) > 0; });
    s.close_link();
    if (t.yardstick && !t.yardstick(s.where, START_REGISTER, VIEWER_MAX_ROWS, seconds / ROUNDS, client)) {
      fprintf(report, "  %s: the outside client did not connect\n", t.name);
      return;
    }
  }
  if (t.yardstick)
    fprintf(report, "  %-20s %6.0f reads/s (%ld failed), outside client %6.0f reads/s (%ld failed), ratio %.2f\n",
            t.name, ours.per_second(), ours.failures, client.per_second(), client.failures,
            client.per_second() > 0 ? ours.per_second() / client.per_second() : 0.0);
  else
    fprintf(report, "  %-20s %6.0f reads/s (%ld failed)\n", t.name, ours.per_second(), ours.failures);
}

// The viewer's own loop on a fast link, nobody typing: what a table left
// open on the screen costs.
void idle_cpu(const Target &t, double seconds) {
  Session s;
  if (!s.open(t, 0)) return;
  link_setup.rv_status_registers = 0;
  double cpu = 0, wall = 0;
  std::thread watcher([&] {
    std::this_thread::sleep_for(milliseconds(300));   // the first table
    double cpu0 = cpu_seconds();
    auto t0 = Clock::now();
    std::this_thread::sleep_for(duration<double>(seconds));
    cpu = cpu_seconds() - cpu0;
    wall = duration<double>(Clock::now() - t0).count();
    term.type("\x1b");
  });
  register_viewer(VIEWER_STATUS_OFFSET);
  watcher.join();
  fprintf(report, "  %-20s status on: CPU %.1f%% of a core\n", t.name, 100 * cpu / wall);
}

void bytes_per_refresh(const Target &t) {
  Session s;
  if (!s.open(t, 0)) return;
  link_setup.rv_status_registers = 0;
  RegisterViewer v;
  viewer_enter(&v, VIEWER_STATUS_OFFSET);
  constexpr int rounds = 50;
  for (int i = 0; i < 3; i++) viewer_refresh(&v);

  uint64_t before = term.settled_bytes();
  for (int i = 0; i < rounds; i++) viewer_refresh(&v);
  double unchanged = static_cast<double>(term.settled_bytes() - before) / rounds;

  // One register gets a new value before each refresh (written through the
  // same link, which sends nothing to the terminal).
  before = term.settled_bytes();
  for (int i = 0; i < rounds; i++) {
    uint16_t value = static_cast<uint16_t>(0x1000 + i * 0x0111);
    link_write_registers(link_handle, 110, 1, &value);
    viewer_refresh(&v);
  }
  double one_changed = static_cast<double>(term.settled_bytes() - before) / rounds;

  // The table's rows forgotten, so every cell of them is written again.
  before = term.settled_bytes();
  for (int r = VIEWER_FIRST_ROW - 1; r < VIEWER_FIRST_ROW - 1 + VIEWER_MAX_ROWS; r++)
    memset(shadow_chars + r * SCR_COLS, 0, 58);
  viewer_refresh(&v);
  uint64_t table = term.settled_bytes() - before;

  before = term.settled_bytes();
  screen_redraw();
  uint64_t screen = term.settled_bytes() - before;

  fprintf(report, "  %-20s nothing changed %.1f B, one value changed %.1f B, table redrawn %llu B, "
                  "whole screen %llu B\n",
          t.name, unchanged, one_changed, static_cast<unsigned long long>(table),
          static_cast<unsigned long long>(screen));
  viewer_leave(&v);
}

double percentile(std::vector<double> v, double p) {
  if (v.empty()) return -1;
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size())))];
}

// The viewer's own loop runs here; a helper types Down and Up at random
// moments of the replies (delay 0: a fast link, where the keys fall into
// the pace's waits) and times each until its row is redrawn.
void key_latency(const Target &t, unsigned delay_ms, int keys) {
  Session s;
  if (!s.open(t, delay_ms)) return;
  link_setup.rv_status_registers = 0;
  link_setup.timeout = 1000;   // 10 s: the replies are slow, never lost
  std::vector<double> times;
  double cpu = 0, wall = 0;
  std::thread typist([&] {
    std::mt19937 rng(27);
    // On a fast link the keys land anywhere in the pace's interval.
    std::uniform_int_distribution<unsigned> pause(0, delay_ms ? delay_ms : LIVE_PASS_MIN_MS);
    std::this_thread::sleep_for(milliseconds(3 * delay_ms + 200));   // the first table
    double cpu0 = cpu_seconds();
    auto t0 = Clock::now();
    for (int i = 0; i < keys; i++) {
      std::this_thread::sleep_for(milliseconds(pause(rng)));
      // Down from row 5 redraws row 6 highlighted, Up redraws row 5.
      bool down = i % 2 == 0;
      double ms = term.type_and_time(down ? "\x1b[B" : "\x1b[A", down ? "\x1b[6;9H" : "\x1b[5;9H");
      if (ms >= 0) times.push_back(ms);
    }
    cpu = cpu_seconds() - cpu0;
    wall = duration<double>(Clock::now() - t0).count();
    term.type("\x1b");
  });
  register_viewer(VIEWER_STATUS_OFFSET);
  typist.join();
  fprintf(report, "  %-20s reply delay %u ms: key to screen median %.1f ms, p90 %.1f ms, max %.1f ms "
                  "(%zu of %d keys); CPU while waiting %.1f%% of a core\n",
          t.name, delay_ms, percentile(times, 0.5), percentile(times, 0.9), percentile(times, 1.0), times.size(),
          keys, 100 * cpu / wall);
}

// Errors not trapped: the viewer retries on its own. A stopped device costs
// a reply time-out per try; a port that went away fails at once.
void cpu_without_answers(const Target &t, double seconds, bool port_gone) {
  Session s;
  if (!s.open(t, 0)) return;
  link_setup.trap_errors = 1;
  link_setup.timeout = 50;
  double cpu = 0, wall = 0;
  std::thread watcher([&] {
    std::this_thread::sleep_for(milliseconds(300));
    if (port_gone) {
      kill(s.pid(), SIGKILL);
    } else {
      kill(s.pid(), SIGSTOP);
    }
    std::this_thread::sleep_for(milliseconds(200));
    double cpu0 = cpu_seconds();
    auto t0 = Clock::now();
    std::this_thread::sleep_for(duration<double>(seconds));
    cpu = cpu_seconds() - cpu0;
    wall = duration<double>(Clock::now() - t0).count();
    term.type("\x1b");
    if (!port_gone) kill(s.pid(), SIGCONT);
  });
  register_viewer(VIEWER_STATUS_OFFSET);
  watcher.join();
  fprintf(report, "  %-20s %s: CPU %.1f%% of a core\n", t.name, port_gone ? "port gone" : "device stopped",
          100 * cpu / wall);
}

}  // namespace

int main(int argc, char **argv) {
  double seconds = 3;
  unsigned delay = 200;
  int keys = 20;
  bool rates_only = false;
  for (int i = 1; i < argc; i++) {
    if (!strcmp(argv[i], "--seconds") && i + 1 < argc)
      seconds = atof(argv[++i]);
    else if (!strcmp(argv[i], "--delay") && i + 1 < argc)
      delay = static_cast<unsigned>(atoi(argv[++i]));
    else if (!strcmp(argv[i], "--keys") && i + 1 < argc)
      keys = atoi(argv[++i]);
    else if (!strcmp(argv[i], "--rates"))
      rates_only = true;
    else {
      fprintf(stderr, "usage: regview_bench [--seconds N] [--delay MS] [--keys N] [--rates]\n");
      return 2;
    }
  }
  signal(SIGPIPE, SIG_IGN);
  if (!take_terminal()) {
    fprintf(stderr, "regview_bench: no terminal\n");
    return 1;
  }
  fprintf(report, "register viewer, 20 rows, against zl27t-sim (serial kinds) and a libmodbus server (TCP)\n");
  fprintf(report, "refresh rate:\n");
  for (const Target &t : targets) {
    refresh_rate(t, seconds, false);
    refresh_rate(t, seconds, true);
  }
  fprintf(report, "register interface, not paced (reads of 20 registers):\n");
  for (const Target &t : targets) register_reads(t, seconds);
  if (rates_only) {
    give_terminal_back();
    return 0;
  }
  fprintf(report, "terminal output per refresh:\n");
  for (const Target &t : targets) bytes_per_refresh(t);
  fprintf(report, "the viewer's loop on a fast link, nobody typing:\n");
  for (const Target &t : targets)
    if (t.sim_options.empty()) idle_cpu(t, seconds);
  fprintf(report, "keys on a fast link:\n");
  for (const Target &t : targets)
    if (t.sim_options.empty()) key_latency(t, 0, keys);
  fprintf(report, "keys during slow replies:\n");
  for (const Target &t : targets) key_latency(t, delay, keys);
  fprintf(report, "no answers, errors not trapped:\n");
  for (const Target &t : targets) {
    cpu_without_answers(t, seconds, false);
    cpu_without_answers(t, seconds, true);
  }
  give_terminal_back();
  return 0;
}
