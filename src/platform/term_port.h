// The terminal emulator's system calls, beneath its serial module: a port
// as plain open / read / write / close with the system's error number as the
// result, the port state read and written in one piece, the interrupt trap
// that sends Ctrl-C down the port, and the opening of a capture file.
//   tport_open          by list name (platform/ports.h); O_NOCTTY|O_NONBLOCK,
//                       an advisory flock, so a port the link or another
//                       program holds fails with EBUSY; what is no terminal
//                       fails with ENOTTY; raw 8-bit, both queues emptied.
//                       A remote port (socket://, rfc2217://) is connected
//                       within a few seconds, step(user) after each 10 ms:
//                       ENOENT when its host is not found, ECONNREFUSED,
//                       ETIMEDOUT, ECANCELED when the step gave up; its
//                       descriptor is the socket, read and written through
//                       its stream kind (the Telnet layer stripped)
//   tport_read/write    move count bytes within timeout_ms (-1: no limit);
//                       a short move is no failure. A failing port has the
//                       time waited out first, so a polling caller never spins
//   tport_get_state / tport_set_state   rate, data and stop bits, parity,
//                       XON/XOFF, RTS/CTS handshake; set also raises DTR.
//                       A remote port: what was last set (RFC 2217: sent to
//                       the far port, whose answers are awaited briefly)
//   tport_note          what a remote port cannot do or its far port did
//                       not take ("" when nothing, and for a local port)
//   tport_trap_interrupt  from now on SIGINT writes the byte 0x03 to fd (-1:
//                       does nothing) instead of ending the program;
//                       tport_release_interrupt puts the old action back
//   tport_open_capture  creates or truncates a file for writing; a FIFO
//                       nobody reads fails instead of hanging
#pragma once
#include <cstdint>
#include <cstdio>

// tport_read's and tport_write's result when the far end reported the end.
constexpr int TPORT_EOF = -1;

struct TermPortState {
  unsigned baud = 9600;
  int data_bits = 8;          // 5..8
  int stop_bits = 1;          // 1 or 2
  int parity = 0;             // PortParity (platform/serial_port.h)
  bool parity_check = false;  // received parity errors are checked
  bool xon_xoff = false;      // XON/XOFF both ways
  bool rts_cts = false;       // RTS handshake and CTS output flow
};

// Returns 0 and the descriptor, or the error number.
int tport_open(const char *list_name, bool read, bool write, int *fd, int (*step)(int) = nullptr, int user = 0);
int tport_close(int fd);
int tport_read(int fd, int timeout_ms, uint8_t *buffer, int count, int *got);
int tport_write(int fd, int timeout_ms, const uint8_t *buffer, int count, int *done);
int tport_get_state(int fd, TermPortState *state);
int tport_set_state(int fd, const TermPortState &state);
const char *tport_note(int fd);

void tport_trap_interrupt(int fd);
void tport_release_interrupt();

FILE *tport_open_capture(const char *path);
