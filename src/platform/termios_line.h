// The line settings both kinds of port (the link's and the terminal
// emulator's) write into a termios record the same way. Kept out of
// serial_port.h, which the termios2 code includes and <termios.h> clashes with.
//   termios_line   raw mode, receiver on, modem lines ignored; data and stop
//                  bits, parity (mark and space too), parity checking; no
//                  flow control
//   termios_rate   the rate, when it has a B-constant; false when it must be
//                  set by sport_set_baud_other once the record is applied
#pragma once
#include <termios.h>

void termios_line(struct termios &t, int data_bits, int stop_bits, int parity, bool check_parity);
bool termios_rate(struct termios &t, unsigned baud);
