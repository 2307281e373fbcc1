// Start and end of the user interface as a whole. Each module of ui/ brings
// itself to its start state (screen_open, win_stack_reset, keys_reset); this
// is the one place that calls them in turn.
//   ui_init      takes the console over (kind: the vt terminal, or the
//                memory grid of the tests) and empties shadow, save slot,
//                window stack, hot keys and key queue; insert mode on
//   ui_shutdown  gives the console back and frees windows and hot keys
#pragma once
#include "platform/console.h"

bool ui_init(ConsoleKind kind = CONSOLE_VT);
void ui_shutdown();
