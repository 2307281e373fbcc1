// Internals of the Win32 console shared inside src/platform/win32:
//   win_console_input    the console's input handle (null when not open)
//   win_console_wake     an event the keyboard wait watches beside the
//                        input: set when a control event wants the main
//                        thread to end the program
//   win_console_resized  the console's buffer changed size: the screen is
//                        drawn again from what the console should show
//   win_console_give_back  the user's console back; safe from the control
//                        handler's thread and more than once
//   win_interrupt_token  the terminal's port that a Ctrl-C event is sent
//                        down (-1: none), set by tport_trap_interrupt
#pragma once
#include "platform/win32/windows_api.h"

HANDLE win_console_input();
HANDLE win_console_wake();
void win_console_resized();
void win_console_give_back();

extern volatile LONG win_interrupt_token;
// Writes Ctrl-C's byte to the terminal's port (term_port.cpp).
void win_send_interrupt(int token);
