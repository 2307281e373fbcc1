// Signals that end the program. The vt console gives the terminal back on
// each of them before the signal takes its default course; the threads the
// program starts keep out of their way.
//   plat_exit_signals        every signal whose default action ends the
//                            process, the real-time signals included
//   plat_block_exit_signals  the first call of every thread the program
//                            starts: those signals (and the console's stop,
//                            continue and resize) are then taken by the main
//                            thread, which blocks them while it gives the
//                            terminal back itself, so the two never race.
//                            Faults a thread raises itself (SEGV, BUS, FPE,
//                            ILL, TRAP, SYS) stay open there: blocked, they
//                            would end the process without any give-back.
#pragma once
#include <signal.h>

void plat_exit_signals(sigset_t *set);
void plat_block_exit_signals();
