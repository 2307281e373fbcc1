// A signal from outside while a Sy/Max link is open: the main thread closes
// the link (its reader thread joined) before the signal ends the process, and
// a second signal or a main thread that never gets there still ends it.
#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>

#include "link/link.h"
#include "proto/serial.h"
#include "platform/signals_posix.h"
#include "sim_process.h"
#include "thread_count.h"

namespace {

enum class Child { FINISHES, SECOND_SIGNAL, NEVER_FINISHES };

LinkHandle *child_link = nullptr;
int report_fd = -1;

// What the program registers: close the link, here with the thread count
// before and after reported to the parent.
void child_hook() {
  char buf[32];
  int before = thread_count();
  link_close(child_link);
  int n = snprintf(buf, sizeof buf, "%d %d", before, thread_count());
  ssize_t w = write(report_fd, buf, static_cast<size_t>(n));
  (void)w;
}

// As the console's handler: give back (nothing here), then defer or end.
void child_handler(int sig) {
  if (!plat_defer_exit(sig)) {
    signal(sig, SIG_DFL);
    raise(sig);
  }
}

[[noreturn]] void run_child(const std::string &port, Child mode, int fd) {
  report_fd = fd;
  const uint16_t block[9] = {1, 201};
  child_link = open_symax_serial(port.c_str(), 0, block);
  if (!child_link) _exit(90);
  plat_set_exit_hook(child_hook);
  struct sigaction sa {};
  sa.sa_handler = child_handler;
  plat_exit_signals(&sa.sa_mask);
  for (int sig : {SIGTERM, SIGHUP, SIGALRM}) sigaction(sig, &sa, nullptr);
  kill(getpid(), SIGTERM);
  if (mode == Child::SECOND_SIGNAL) kill(getpid(), SIGHUP);
  for (int i = 0; i < 1000; i++) {   // the main thread's waits, 10 ms apart
    if (mode == Child::FINISHES) plat_finish_exit();
    usleep(10000);
  }
  _exit(91);
}

}  // namespace

TEST(SignalExit, LinkClosedBeforeTheSignalEndsIt) {
  SimProcess sim;
  ASSERT_TRUE(sim.start({}));
  struct Case {
    Child mode;
    const char *report;   // the hook's "threads before, after"; "" when it never ran
    double min_s, max_s;
  } cases[] = {
      {Child::FINISHES, "2 1", 0, 1.5},
      {Child::SECOND_SIGNAL, "", 0, 1.5},
      {Child::NEVER_FINISHES, "", EXIT_GRACE_SECONDS - 0.5, EXIT_GRACE_SECONDS + 2.0},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(static_cast<int>(c.mode));
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    auto t0 = std::chrono::steady_clock::now();
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      close(p[0]);
      run_child(sim.path(), c.mode, p[1]);
    }
    close(p[1]);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    char buf[32] = {};
    ssize_t n = read(p[0], buf, sizeof buf - 1);
    close(p[0]);
    ASSERT_TRUE(WIFSIGNALED(status)) << "exit status " << WEXITSTATUS(status);
    EXPECT_EQ(WTERMSIG(status), SIGTERM);
    EXPECT_EQ(std::string(buf, n > 0 ? static_cast<size_t>(n) : 0), c.report);
    EXPECT_GE(took, c.min_s);
    EXPECT_LE(took, c.max_s);
  }
}
