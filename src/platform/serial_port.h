// A serial port: one of the byte-stream kinds of platform/byte_stream.h (a
// local tty, a raw TCP stream, an RFC 2217 stream), chosen by its list name
// and reached through the kind's entry, so its users never ask which it is.
//   sport_open         by list name; a tty: O_NOCTTY|O_NONBLOCK, advisory
//                      flock (a port in use fails to open), raw 8-bit, 9600
//                      8E1, CTS flow, DTR on. A remote port: looked up and
//                      connected within the wait given, the line set
//   sport_is_open      open and not closed since
//   sport_apply        rate (all 16 of the baud table), parity incl. mark and
//                      space, data and stop bits, flow, RTS mode
//   sport_read         what has arrived (the Telnet layer stripped)
//   sport_write        one non-blocking write; with RTS toggled by hand it
//                      raises RTS, writes everything, drains and drops RTS
//   sport_output_queued  bytes written but not yet on the wire
//   sport_input_queued   bytes received and not yet read
//   sport_caps         what the stream can do (StreamCaps)
//   sport_origin / sport_may_reopen   whether a port that went away may be
//                      opened again by its name
// Modem-line and RS-485 ioctls that answer ENOTTY (ptys) mean "not
// supported", not failure. Ptys force 8 data bits and no parity; settings are
// not read back for checking. A remote port's far end says what it set; what
// it did not take is left in the port's note.
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
  bool xon_xoff = false;     // XON/XOFF both ways (the terminal's ports)
};

// The byte-stream kinds (platform/byte_stream.h has their table).
enum StreamKind : uint8_t { STREAM_TTY, STREAM_RAW_TCP, STREAM_RFC2217 };

// What a kind of stream can do.
enum StreamCaps : unsigned {
  STREAM_LINE_TIMING = 1,     // bytes arrive as the line carries them: its silences are kept
  STREAM_LINE_SETTINGS = 2,   // rate, parity, data and stop bits reach the line
  STREAM_RTS_TOGGLE = 4,      // RTS up only while sending (RS-485)
  STREAM_MODEM_LINES = 8,     // DTR and RTS can be raised
  STREAM_NETWORK = 16,        // a network lies between us and the line
};

struct RemoteStream;   // a remote port's socket and codec (platform/remote_stream.cpp)

constexpr int PORT_NOTE_SIZE = 120;

struct SerialPort {
  int fd = -1;               // what to poll for input (the tty, or the socket)
  PortSettings settings;
  bool manual_rts = false;   // toggle RTS around writes ourselves
  bool rts_absent = false;   // ... but the port has no RTS line (a pty): writes leave it
  bool no_output_queue = false;   // a pty: no line whose queue could be asked for
  StreamKind kind = STREAM_TTY;
  RemoteStream *remote = nullptr;
  // A local tty on POSIX: an epoll set holding fd for its input alone, so a
  // caller that waits for its reply again and again registers once
  // (port_wait_input in platform/port_wait.h); -1 where there is none.
  int input_watch = -1;
  // Why the last open failed, or what the port cannot do or the far port
  // did not take ("" when nothing): texts for the user, kept with the port.
  char note[PORT_NOTE_SIZE] = {};
};

// How long an open that has to reach a server may take, in steps of about
// 10 ms, and what runs after each (0 from it gives up).
struct StreamWait {
  int (*step)(int user) = nullptr;
  int user = 0;
  unsigned steps = 300;
};

bool sport_open(SerialPort *port, const char *list_name, const PortSettings &settings,
                const StreamWait &wait = StreamWait{});
void sport_close(SerialPort *port);
bool sport_is_open(const SerialPort *port);
bool sport_apply(SerialPort *port, const PortSettings &settings);
// Returns bytes read (> 0), 0 when nothing more has arrived, -1 when the far
// end is gone (end of file, a failing port).
int sport_read(SerialPort *port, uint8_t *buffer, int size);
// Returns bytes written (maybe fewer than asked), 0 when the port takes none
// now, -1 on a failure of the port.
int sport_write(SerialPort *port, const uint8_t *data, int length);
int sport_output_queued(const SerialPort *port);
// A write raises RTS by hand and drains the line: it may take the line's time.
bool sport_write_drains(const SerialPort *port);
int sport_input_queued(const SerialPort *port);
unsigned sport_caps(const SerialPort *port);
// A remote port's wait for the far port's answers (bounded, `wait` as for
// the open); true when everything asked was answered. A tty: true at once.
bool sport_settle(SerialPort *port, const StreamWait &wait);

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
