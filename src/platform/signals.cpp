// Signals that end the program, and the mask of the program's other threads.
#include "platform/signals_posix.h"

#include <pthread.h>
#include <unistd.h>

namespace {

// Default action "terminate" or "core dump".
constexpr int ENDING_SIGNALS[] = {
    SIGHUP,  SIGINT,  SIGQUIT, SIGILL,  SIGTRAP, SIGABRT,   SIGBUS,  SIGFPE,  SIGUSR1,
    SIGSEGV, SIGUSR2, SIGPIPE, SIGALRM, SIGTERM, SIGXCPU,   SIGXFSZ, SIGVTALRM,
    SIGPROF, SIGIO,   SIGSYS,
#ifdef SIGSTKFLT
    SIGSTKFLT,
#endif
#ifdef SIGPWR
    SIGPWR,
#endif
};

// Delivered to the thread that caused them whatever its mask.
constexpr int FAULT_SIGNALS[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGSYS};

// The console's own handlers redraw the terminal: they belong where the
// screen is drawn.
constexpr int CONSOLE_SIGNALS[] = {SIGTSTP, SIGCONT, SIGWINCH};

// Raised by what the program itself does; the end cannot wait.
constexpr int NOT_DEFERRED[] = {SIGABRT, SIGPIPE};

void (*exit_hook)() = nullptr;
volatile sig_atomic_t pending_exit = 0;
volatile sig_atomic_t finishing = 0;

bool deferrable(int sig) {
  for (int s : FAULT_SIGNALS)
    if (s == sig) return false;
  for (int s : NOT_DEFERRED)
    if (s == sig) return false;
  return true;
}

// The signal's default action, once the current handler (if any) returns.
void end_with(int sig) {
  signal(sig, SIG_DFL);
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, sig);
  raise(sig);
  pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
}

}  // namespace

void plat_set_exit_hook(void (*hook)()) { exit_hook = hook; }

// Async-signal-safe: flags, alarm(), signal(), raise().
bool plat_defer_exit(int sig) {
  if (pending_exit) {
    // A second signal, or the grace time ran out: the first one ends it.
    end_with(pending_exit);
    return true;
  }
  if (!exit_hook || finishing || !deferrable(sig)) return false;
  pending_exit = sig;
  alarm(EXIT_GRACE_SECONDS);
  return true;
}

int plat_exit_pending() { return pending_exit; }

void plat_finish_exit() {
  int sig = pending_exit;
  if (!sig || finishing) return;
  finishing = 1;
  if (exit_hook) exit_hook();
  end_with(sig);
  _exit(128 + sig);   // only when the signal was ignored meanwhile
}

void plat_exit_signals(sigset_t *set) {
  sigemptyset(set);
  for (int sig : ENDING_SIGNALS) sigaddset(set, sig);
  for (int sig = SIGRTMIN; sig <= SIGRTMAX; sig++) sigaddset(set, sig);
}

void plat_block_exit_signals() {
  sigset_t set;
  plat_exit_signals(&set);
  for (int sig : FAULT_SIGNALS) sigdelset(&set, sig);
  for (int sig : CONSOLE_SIGNALS) sigaddset(&set, sig);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}
