// A serial port on POSIX: open by list name, lock, raw mode, line settings.
//   sport_open         O_NOCTTY|O_NONBLOCK, advisory flock (a port in use
//                      fails to open), raw 8-bit, 9600 8E1, CTS flow, DTR on
//   sport_apply        rate (all 16 of the baud table), parity incl. mark and
//                      space, data and stop bits, RTS mode
//   sport_write        one non-blocking write; with RTS toggled by hand it
//                      raises RTS, writes everything, drains and drops RTS
//   sport_output_queued  bytes written but not yet on the wire
//   sport_input_queued   bytes received and not yet read
//   sport_origin / sport_may_reopen   whether a port that went away may be
//                      opened again by its name
// Modem-line and RS-485 ioctls that answer ENOTTY (ptys) mean "not
// supported", not failure. Ptys force 8 data bits and no parity; settings are
// not read back for checking.
#pragma once
#include <cstdint>

enum PortParity { PARITY_NONE = 0, PARITY_EVEN = 1, PARITY_ODD = 2, PARITY_SPACE = 3, PARITY_MARK = 4 };

struct PortSettings {
  unsigned baud = 9600;
  int parity = PARITY_EVEN;
  int data_bits = 8;
  int stop_bits = 1;
  bool cts_flow = true;
  bool rts_toggle = false;   // RTS up only while sending
};

struct SerialPort {
  int fd = -1;
  PortSettings settings;
  bool manual_rts = false;   // toggle RTS around writes ourselves
};

bool sport_open(SerialPort *port, const char *list_name, const PortSettings &settings);
void sport_close(SerialPort *port);
bool sport_apply(SerialPort *port, const PortSettings &settings);
// Returns bytes written (maybe fewer than asked), 0 when the port takes none
// now, -1 on a failure of the port.
int sport_write(SerialPort *port, const uint8_t *data, int length);
int sport_output_queued(const SerialPort *port);
int sport_input_queued(const SerialPort *port);

// What a port's list name was when the port was opened. A pty number handed
// out again belongs to someone else, and writing frames into it would type
// them into another program: a pty is opened again only when it is the very
// one we had (its peer still there), or when the name is a link made anew
// (a restarted peer). Any other device that came back under its own name
// (an adapter plugged in again) is the port again.
struct PortOrigin {
  bool via_link = false;   // the name was a symbolic link
  uint64_t link_dev = 0, link_ino = 0;
  int64_t link_ctime_ns = 0;
  uint64_t rdev = 0;       // the device it led to
  int64_t device_ctime_ns = 0;
};
PortOrigin sport_origin(const char *list_name);
bool sport_may_reopen(const char *list_name, const PortOrigin &opened);
// Microseconds one character takes on the line with these settings.
uint32_t sport_char_us(const PortSettings &settings);

// In serial_baud_other.cpp (termios2, kept away from <termios.h>): sets a
// rate that has no B-constant. Returns false when the port refuses it.
bool sport_set_baud_other(int fd, unsigned baud);
// The output rate the port has now, in baud (0 when it cannot be read).
unsigned sport_read_baud(int fd);
