// The console's control events that end the program (console.cpp takes
// them on the thread Windows starts for them), deferred to the main thread
// as the POSIX signals are. The program's own threads need no mask here.
#include "platform/win32/windows_api.h"

#include "platform/signals.h"

namespace {

void (*exit_hook)() = nullptr;
volatile LONG pending_exit = 0;
volatile LONG finishing = 0;

[[noreturn]] void end_now() { ExitProcess(STATUS_CONTROL_C_EXIT); }

}  // namespace

void plat_block_exit_signals() {}

void plat_set_exit_hook(void (*hook)()) { exit_hook = hook; }

bool plat_defer_exit(int sig) {
  if (pending_exit) end_now();   // a second event, or the grace time ran out
  if (!exit_hook || finishing) return false;
  InterlockedExchange(&pending_exit, sig);
  return true;
}

int plat_exit_pending() { return static_cast<int>(pending_exit); }

void plat_finish_exit() {
  if (!pending_exit || finishing) return;
  InterlockedExchange(&finishing, 1);
  if (exit_hook) exit_hook();
  end_now();
}
