// Signals that end the program (on Windows: the console's control events,
// Ctrl-Break, closing the console window, logoff, shutdown). The console
// gives the terminal back on each of them before the signal takes its
// default course; the threads the program starts keep out of their way.
//   plat_block_exit_signals  the first call of every thread the program
//                            starts: those signals (and the console's stop,
//                            continue and resize) are then taken by the main
//                            thread, which blocks them while it gives the
//                            terminal back itself, so the two never race.
//                            Faults a thread raises itself (SEGV, BUS, FPE,
//                            ILL, TRAP, SYS) stay open there: blocked, they
//                            would end the process without any give-back.
//
// Ending in two steps. A signal sent from outside ends the program only after
// the main thread has closed what it holds (the link's reader thread is
// joined there, which a handler may not do):
//   plat_set_exit_hook   what the main thread runs before such an end
//                        (null: every signal ends at once, as before)
//   plat_defer_exit      called by the handler after it gave the terminal
//                        back; true when the end is left to the main thread.
//                        A second signal, or the main thread not getting to
//                        it within EXIT_GRACE_SECONDS, ends at once with the
//                        first signal's default action.
//   plat_finish_exit     called by the main thread where it waits (key reads,
//                        and so every reply wait that watches for Esc): when
//                        a signal is pending, runs the hook and then lets the
//                        signal take its default course. Returns otherwise.
// Faults, SIGABRT and SIGPIPE (raised by the program's own writes) are never
// deferred.
#pragma once

constexpr unsigned EXIT_GRACE_SECONDS = 2;

void plat_block_exit_signals();

void plat_set_exit_hook(void (*hook)());
bool plat_defer_exit(int sig);
int plat_exit_pending();
void plat_finish_exit();
