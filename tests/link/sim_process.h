// zl27t-sim as a child process on a pty of its own: started with its
// options, awaited by its "ready" line, ended by PID.
#pragma once
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

class SimProcess {
 public:
  // Starts the simulator with a pty linked at a fresh path; false when it
  // does not report ready within a few seconds.
  bool start(const std::vector<std::string> &options) {
    char dir_template[] = "/tmp/zl27t-link-XXXXXX";
    if (!mkdtemp(dir_template)) return false;
    dir_ = dir_template;
    path_ = dir_ + "/port";
    return launch(options);
  }

  // Starts it again on the same path, as a peer that comes back does.
  bool restart(const std::vector<std::string> &options) {
    kill_now();
    if (out_fd_ >= 0) close(out_fd_);
    out_fd_ = -1;
    return launch(options);
  }

  // Sends the simulator's stderr (its frame trace, with --trace) to a file;
  // before start.
  void set_stderr(const std::string &file) { stderr_file_ = file; }

  const std::string &path() const { return path_; }
  pid_t pid() const { return pid_; }
  // The TCP port of a simulator started with "--tcp 0" (the last word of its
  // ready line), or -1.
  int tcp_port() const {
    size_t blank = ready_.rfind(' ');
    size_t first = ready_.find(' ');
    return blank != std::string::npos && blank != first ? atoi(ready_.c_str() + blank + 1) : -1;
  }

  // Ends the simulator as SIGTERM does (it writes its --stats on the way).
  void stop() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

  // Ends the simulator at once (the far end goes away).
  void kill_now() {
    if (pid_ <= 0) return;
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

  ~SimProcess() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
    }
    if (out_fd_ >= 0) close(out_fd_);
    if (!path_.empty()) unlink(path_.c_str());
    if (!dir_.empty()) rmdir(dir_.c_str());
  }

 private:
  bool launch(const std::vector<std::string> &options) {
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) return false;
    std::vector<std::string> args = {ZL27T_SIM_BIN, "--pty", path_};
    args.insert(args.end(), options.begin(), options.end());
    pid_ = fork();
    if (pid_ == 0) {
      dup2(out[1], 1);
      if (!stderr_file_.empty()) {
        int err = open(stderr_file_.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
        if (err >= 0) dup2(err, 2);
      }
      std::vector<char *> argv;
      for (auto &a : args) argv.push_back(const_cast<char *>(a.c_str()));
      argv.push_back(nullptr);
      execv(argv[0], argv.data());
      _exit(127);
    }
    close(out[1]);
    out_fd_ = out[0];
    return pid_ > 0 && await_ready(5000);
  }

  bool await_ready(int timeout_ms) {
    std::string line;
    while (timeout_ms > 0) {
      struct pollfd p = {out_fd_, POLLIN, 0};
      if (poll(&p, 1, 100) <= 0) {
        timeout_ms -= 100;
        continue;
      }
      char c;
      if (read(out_fd_, &c, 1) != 1) return false;
      if (c == '\n') {
        ready_ = line;
        return line.rfind("ready ", 0) == 0;
      }
      line += c;
    }
    return false;
  }

  pid_t pid_ = -1;
  int out_fd_ = -1;
  std::string dir_, path_, ready_, stderr_file_;
};
