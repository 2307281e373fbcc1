// The terminal emulator: a plain serial terminal on the terminal's own port
// settings (LinkSetup term_*), through nt_sio rather than the link driver.
//   terminal_run    runs it until Ctrl-End and returns link_handle. bbs_mode
//                   0: the debugging view (control and non-ASCII bytes as
//                   <XX>); 1: the BBS view (a VT100/VT220/ANSI terminal,
//                   term/vt_emulator.h, with bytes 0x80-0xFF as code page
//                   437 or, as the setup says, UTF-8). Both are drawn into
//                   the emulator's grid and reach the user's terminal only as
//                   the console's cells. Keys: F5 hex-only, F7/F8 capture, F9
//                   settings, INSERT hex sending, F1-F4 send ESC O P..S.
//                   A link on the same port index is closed for the run
//                   and opened again after it.
//   terminal_port   the open port of a run, null outside one
//   terminal_read_line   the prompts' line input: echo, Backspace, Ctrl-U;
//                   Enter ends it, Esc gives false
#pragma once
#include <cstddef>

#include "term/nt_sio.h"

struct LinkHandle;

extern nt_sio::SioPort *terminal_port;

LinkHandle *terminal_run(int bbs_mode);
bool terminal_read_line(char *buffer, size_t size);
