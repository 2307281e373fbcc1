// A helper process that announces readiness with a line "ready ..." on its
// stdout: by default the simulated modem (zl27t-sim). Started with its
// options, awaited by its ready line, ended by PID (SIGTERM, then SIGKILL if
// it lingers). Used by the link, e2e and bench programs alike, so it needs
// nothing but POSIX (no GoogleTest).
//
//   SimProcess sim;
//   ASSERT_TRUE(sim.start({"--rtu"})) << sim.error();   // a pty of its own: sim.path()
//   ASSERT_TRUE(sim.start({"--pty", s.path("modem")}));  // the caller's pty path
//   ASSERT_TRUE(sim.start({"--tcp", "0"}));               // sim.tcp_port()
//   ASSERT_TRUE(sim.start({"-c", "echo ready x"}, "/bin/sh"));
//
// The simulator given none of --pty, --device or --tcp gets a pty linked at
// a fresh path in a temporary directory, removed again by the destructor.
#pragma once
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

class SimProcess {
 public:
  // stop()'s result when there was no process to end.
  static constexpr int NO_STATUS = -1;

  SimProcess() = default;
  ~SimProcess() {
    stop();
    if (!own_path_.empty()) unlink(own_path_.c_str());
    if (!dir_.empty()) rmdir(dir_.c_str());
  }
  SimProcess(const SimProcess &) = delete;
  SimProcess &operator=(const SimProcess &) = delete;

  // Starts program with args and waits up to timeout_ms for its ready line.
  // False when it cannot be started, ends first or stays silent; error()
  // then says which (and it is written to stderr).
  bool start(const std::vector<std::string> &args, const std::string &program = ZL27T_SIM_BIN,
             int timeout_ms = 8000) {
    if (pid_ > 0) return fail("already started");
    program_ = program;
    args_ = args;
    timeout_ms_ = timeout_ms;
    path_.clear();
    if (program == ZL27T_SIM_BIN && !names_a_port(args)) {
      if (dir_.empty()) {
        char dir_template[] = "/tmp/zl27t-link-XXXXXX";
        if (!mkdtemp(dir_template)) return fail(std::string("mkdtemp: ") + strerror(errno));
        dir_ = dir_template;
        own_path_ = dir_ + "/port";
      }
      path_ = own_path_;
      args_.insert(args_.begin(), {"--pty", path_});
    } else {
      auto pty = std::find(args.begin(), args.end(), "--pty");
      if (pty != args.end() && pty + 1 != args.end()) path_ = *(pty + 1);
    }
    return launch();
  }

  // Ends it at once and starts the same program again, with new options on
  // the same port path, as a peer that comes back does.
  bool restart(const std::vector<std::string> &options) {
    kill_now();
    std::vector<std::string> args = options;
    if (!own_path_.empty() && path_ == own_path_) args.insert(args.begin(), {"--pty", path_});
    args_ = args;
    return launch();
  }

  // Sends the process's stderr (the simulator's frame trace, with --trace)
  // to a file, appended; before start. Else stderr stays the test's.
  void set_stderr(const std::string &file) { stderr_file_ = file; }

  // The pty path the simulator serves ("" when it has none).
  const std::string &path() const { return path_; }
  pid_t pid() const { return pid_; }
  // What followed "ready ": "PATH", "PORT" or "PATH PORT".
  const std::string &ready() const { return ready_; }
  // The TCP port of a simulator started with "--tcp 0" (the last word of its
  // ready line), or -1.
  int tcp_port() const {
    size_t blank = ready_.rfind(' ');
    std::string last = blank == std::string::npos ? ready_ : ready_.substr(blank + 1);
    if (last.empty() || last.find_first_not_of("0123456789") != std::string::npos) return -1;
    return atoi(last.c_str());
  }
  // Why the last start failed.
  const std::string &error() const { return error_; }

  // Ends it as SIGTERM does (the simulator writes its --stats on the way)
  // and waits, killing one that hangs; the exit status (128 + signal when
  // killed), or NO_STATUS.
  int stop() { return end(SIGTERM); }

  // Ends it at once (the far end goes away).
  void kill_now() { end(SIGKILL); }

 private:
  static bool names_a_port(const std::vector<std::string> &args) {
    for (const std::string &a : args)
      if (a == "--pty" || a == "--device" || a == "--tcp") return true;
    return false;
  }

  bool fail(const std::string &why) {
    error_ = program_ + ": " + why;
    fprintf(stderr, "%s\n", error_.c_str());
    return false;
  }

  bool launch() {
    ready_.clear();
    error_.clear();
    std::vector<std::string> argv_s{program_};
    argv_s.insert(argv_s.end(), args_.begin(), args_.end());
    std::vector<char *> argv;
    for (auto &a : argv_s) argv.push_back(a.data());
    argv.push_back(nullptr);
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return fail(std::string("pipe: ") + strerror(errno));
    pid_t pid = fork();
    if (pid < 0) {
      close(fds[0]);
      close(fds[1]);
      return fail(std::string("fork: ") + strerror(errno));
    }
    if (pid == 0) {
      dup2(fds[1], 1);
      if (!stderr_file_.empty()) {
        int err = open(stderr_file_.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
        if (err >= 0) dup2(err, 2);
      }
      execv(argv[0], argv.data());
      _exit(127);
    }
    close(fds[1]);
    pid_ = pid;
    out_ = fds[0];
    return await_ready();
  }

  bool await_ready() {
    using Clock = std::chrono::steady_clock;
    std::string got;
    auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms_);
    for (;;) {
      size_t nl = got.find('\n');
      if (nl != std::string::npos) {
        std::string line = got.substr(0, nl);
        if (line.rfind("ready ", 0) == 0) {
          ready_ = line.substr(6);
          return true;
        }
        got.erase(0, nl + 1);
        continue;
      }
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
      if (left.count() <= 0) return fail("no ready line in time");
      pollfd p{out_, POLLIN, 0};
      int r = poll(&p, 1, static_cast<int>(left.count()) + 1);
      if (r < 0 && errno != EINTR) return fail(std::string("poll: ") + strerror(errno));
      if (r <= 0) continue;
      char buf[512];
      ssize_t n = read(out_, buf, sizeof buf);
      if (n > 0) {
        if (got.size() < 4096) got.append(buf, static_cast<size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        int status = stop();
        return fail("ended (status " + std::to_string(status) + ") before it was ready");
      }
    }
  }

  int end(int sig) {
    int status = NO_STATUS;
    if (pid_ > 0) {
      kill(pid_, sig);
      int st = 0;
      pid_t r = 0;
      // A clean end is quick; one that hangs is killed.
      int pfd = static_cast<int>(syscall(SYS_pidfd_open, pid_, 0));
      if (pfd >= 0) {
        pollfd p{pfd, POLLIN, 0};
        poll(&p, 1, 2000);
        close(pfd);
        r = waitpid(pid_, &st, WNOHANG);
      } else {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(2000);
        while ((r = waitpid(pid_, &st, WNOHANG)) == 0 && std::chrono::steady_clock::now() < deadline)
          std::this_thread::sleep_for(std::chrono::milliseconds(2));
      }
      if (r == 0) {
        kill(pid_, SIGKILL);
        r = waitpid(pid_, &st, 0);
      }
      if (r == pid_) status = WIFEXITED(st) ? WEXITSTATUS(st) : WIFSIGNALED(st) ? 128 + WTERMSIG(st) : status;
      pid_ = -1;
    }
    if (out_ >= 0) close(out_);
    out_ = -1;
    return status;
  }

  pid_t pid_ = -1;
  int out_ = -1;
  int timeout_ms_ = 8000;
  std::string program_ = ZL27T_SIM_BIN;
  std::vector<std::string> args_;
  std::string dir_, own_path_, path_, ready_, error_, stderr_file_;
};
