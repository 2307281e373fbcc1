// Signals that end the program, and the mask of the program's other threads.
#include "platform/signals.h"

#include <pthread.h>

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

}  // namespace

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
