// What the terminal benchmarks share: a child in an 80 x 25 pty whose
// output is read and searched (Pane), and a process's context switches
// summed over all its threads.
//   Pane::start(argv, dir, ports)   forks the child in dir, TERM xterm-256color,
//                                   LC_ALL C.UTF-8, ZL27T_PORTS=ports (unless empty)
//   Pane::watch(text, ms)           reads until text shows (true), the pty closes
//                                   or the time runs out; null text: reads for ms
//   Pane::watch_bytes(n, ms)        reads until n bytes in all have come
//   Pane::type(bytes) / stop()      keys to the child; SIGTERM and wait
//   context_switch_counts(pid)      voluntary and involuntary apart, every thread
//   context_switches(pid)           voluntary + involuntary, every thread; -1: gone
//   ScratchDir                      a directory under /tmp for one run: make(name),
//                                   write(file, record) of a record's bytes (the
//                                   setup file the program reads), remove()
// Needs nothing but POSIX and libutil (forkpty).
#pragma once
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

struct Pane {
  using Clock = std::chrono::steady_clock;
  int master = -1;
  pid_t pid = -1;
  std::string tail;   // the last bytes read, for finding a text across reads
  size_t total = 0;
  std::string all;    // every byte read, when keep_all is set
  bool keep_all = false;

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
      char buf[65536];
      ssize_t n = read_output(deadline, buf, sizeof buf);
      if (n < 0) return false;
      if (tail.size() > 4 * len + 64) tail.erase(0, tail.size() - len);
      tail.append(buf, static_cast<size_t>(n));
    }
  }
  // Reads until n bytes in all have come (true), the child's terminal
  // closes or the time runs out (false).
  bool watch_bytes(size_t n, int timeout_ms) {
    auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    while (total < n) {
      char buf[65536];
      if (read_output(deadline, buf, sizeof buf) < 0) return false;
    }
    return true;
  }
  // What the child wrote, up to size bytes, once some has come before the
  // deadline (counted, and kept when asked); 0 when the poll came back
  // empty, -1 when the time ran out or the child's terminal closed.
  ssize_t read_output(Clock::time_point deadline, char *buf, size_t size) {
    int left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count());
    if (left <= 0) return -1;
    struct pollfd p = {master, POLLIN, 0};
    if (poll(&p, 1, left) <= 0) return 0;
    ssize_t n = read(master, buf, size);
    if (n <= 0) return -1;
    total += static_cast<size_t>(n);
    if (keep_all) all.append(buf, static_cast<size_t>(n));
    return n;
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

struct ContextSwitches {
  long voluntary = -1;     // the thread waited and was woken: a wake-up
  long involuntary = -1;   // the thread was preempted (other work on the cores)
};

inline ContextSwitches context_switch_counts(pid_t pid) {
  ContextSwitches sum;
  std::string dir = "/proc/" + std::to_string(pid) + "/task";
  DIR *d = opendir(dir.c_str());
  if (!d) return sum;
  sum.voluntary = sum.involuntary = 0;
  while (struct dirent *e = readdir(d)) {
    if (e->d_name[0] == '.') continue;
    std::ifstream f(dir + "/" + e->d_name + "/status");
    std::string line;
    while (std::getline(f, line)) {
      if (line.rfind("voluntary_ctxt_switches:", 0) == 0)
        sum.voluntary += atol(line.c_str() + line.find(':') + 1);
      else if (line.rfind("nonvoluntary_ctxt_switches:", 0) == 0)
        sum.involuntary += atol(line.c_str() + line.find(':') + 1);
    }
  }
  closedir(d);
  return sum;
}

inline long context_switches(pid_t pid) {
  ContextSwitches c = context_switch_counts(pid);
  return c.voluntary < 0 ? -1 : c.voluntary + c.involuntary;
}

struct ScratchDir {
  std::string path;
  bool make(const char *name) {
    std::string pattern = std::string("/tmp/") + name + "-XXXXXX";
    if (!mkdtemp(pattern.data())) return false;
    path = pattern;
    return true;
  }
  template <typename Record>
  void write(const char *file, const Record &record) const {
    std::ofstream f(path + "/" + file, std::ios::binary);
    f.write(reinterpret_cast<const char *>(&record), sizeof record);
  }
  bool remove() const { return system(("rm -rf '" + path + "'").c_str()) == 0; }
};
