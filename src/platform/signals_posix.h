// The POSIX side of platform/signals.h, for the console and the tests that
// install handlers of their own:
//   plat_exit_signals   every signal whose default action ends the process,
//                       the real-time signals included
#pragma once
#include <signal.h>

#include "platform/signals.h"

void plat_exit_signals(sigset_t *set);
