// The terminal emulator's run: entry, the polling loop, its keys, leaving.
#include "term/terminal.h"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

#include "link/link.h"
#include "link/link_dialogs.h"
#include "link/link_setup.h"
#include "platform/console.h"
#include "platform/keyboard.h"
#include "platform/term_port.h"
#include "term/term_display.h"
#include "ui/boxes.h"
#include "ui/screen.h"

using namespace nt_sio;

SioPort *terminal_port = nullptr;

namespace {

// Scan codes after the extended-key prefix of the console key stream.
enum : uint8_t {
  SC_F1 = 0x3B, SC_F2 = 0x3C, SC_F3 = 0x3D, SC_F4 = 0x3E, SC_F5 = 0x3F,
  SC_F7 = 0x41, SC_F8 = 0x42, SC_F9 = 0x43, SC_INSERT = 0x52, SC_CTRL_END = 0x75,
};
constexpr int EXTENDED_PREFIX = 0xE0;
constexpr int OLD_EXTENDED_PREFIX = 0;

struct FunctionKeySequence {
  uint8_t scan;
  const char *bytes;
};
constexpr FunctionKeySequence FUNCTION_KEYS[] = {
    {.scan = SC_F1, .bytes = "\x1bOP"},
    {.scan = SC_F2, .bytes = "\x1bOQ"},
    {.scan = SC_F3, .bytes = "\x1bOR"},
    {.scan = SC_F4, .bytes = "\x1bOS"},
};

constexpr char HELP_EXIT[] = "Type contrl-End to exit terminal.  Type F7 to begin capture to a file.\n";
constexpr char HELP_SETUP[] = "Type F9 to change terminal communication setup.\n";
constexpr char HELP_HEX[] = "Type F5 to toggle hex-only output.\n";
constexpr char HELP_SEND[] = "To send hex sequence, type INSERT key, enter hex codes, type ENTER.\n";
constexpr char NO_PORT[] = "No port open: keys are not sent. Type F9 to choose another.\n";

constexpr int LINE_SIZE = 80;   // the prompts take up to 79 characters
constexpr int MESSAGE_SIZE = 256;
constexpr int CR_JOIN_WAIT = 10;   // x 10 ms: the byte that may follow a CR
constexpr int NO_WAIT = 0;         // about 1 ms
constexpr int UNTIL_DONE = -1;
constexpr uint8_t BACKSPACE = 8, CTRL_U = 21, ENTER = 13, LINE_FEED = 10, ESCAPE = 27;

struct Run {
  TermDisplay display;
  BbsFilter filter;
  FILE *capture = nullptr;
  char capture_name[LINE_SIZE] = {};
  bool link_closed = false;   // the link gave its port up for this run
};

const char *term_port_name() {
  uint16_t i = link_setup.term_port;
  return i < serial_port_count() && serial_port_list[i] ? serial_port_list[i] : "";
}

void screen_write(const char *text, size_t n) {
  pcon_direct_write(reinterpret_cast<const uint8_t *>(text), static_cast<int>(n));
}

// The terminal's own texts: the screen only, never the capture file.
void term_printf(const char *format, ...) __attribute__((format(printf, 1, 2)));
void term_printf(const char *format, ...) {
  char text[MESSAGE_SIZE];
  va_list ap;
  va_start(ap, format);
  int n = vsnprintf(text, sizeof text, format, ap);
  va_end(ap);
  if (n > 0) screen_write(text, std::min(static_cast<size_t>(n), sizeof text - 1));
}

// A capture file that takes no more (a full disk, a file system gone) is
// closed and the reason shown: nobody must believe a log is still kept.
void capture_failed(Run &run, int error) {
  fclose(run.capture);
  run.capture = nullptr;
  term_printf("\nUnable to write file: \"%s\" (%s). Capture ended.\n", run.capture_name, strerror(error));
  run.display.column = 1;
}

// Characters of the received data: to the capture file, then the screen.
// The file is flushed as it goes, so what was shown is on disk.
void term_put(Run &run, const std::string &capture, const std::string &screen) {
  int error = 0;
  if (run.capture && !capture.empty() &&
      (fwrite(capture.data(), 1, capture.size(), run.capture) != capture.size() || fflush(run.capture) != 0))
    error = errno;
  screen_write(screen.data(), screen.size());
  if (error) capture_failed(run, error);
}

void send_bytes(const void *bytes, int n) {
  // Never a closed port: without one, keys go nowhere.
  if (!terminal_port || n <= 0) return;
  int done;
  sio_write(terminal_port, UNTIL_DONE, static_cast<const uint8_t *>(bytes), n, &done);
}

// Opens the port at term_port; says why not in the error box.
bool open_port() {
  const char *name = term_port_name();
  int status = sio_open(name, SIO_MODE_READ_WRITE, &terminal_port);
  if (status != SIO_OK) {
    terminal_port = nullptr;
    error_printf("Can't open port: \"%s\".  Status = %ld.", name, static_cast<long>(status));
    return false;
  }
  return true;
}

// The setup's choices as the port takes them: data bits 0/1 are 7/8, stop
// bits 0/1 are 1/2, parity 0-2 is none, even, odd; no flow control.
void apply_settings() {
  constexpr uint16_t BAUD_9600 = 13;   // the setup's default, for an index out of the table
  constexpr int NO_FLOW = 0;
  const LinkSetup &s = link_setup;
  unsigned baud = baud_rate[s.term_baud < BAUD_COUNT ? s.term_baud : BAUD_9600];
  _setuart(terminal_port, baud, s.term_data_bits + 7, s.term_stop_bits + 1, s.term_parity, NO_FLOW);
}

void close_port() {
  tport_trap_interrupt(-1);
  if (terminal_port) sio_close(terminal_port);
  terminal_port = nullptr;
}

// The link gives the port up to the terminal when they share its index.
void close_sharing_link(Run &run) {
  if (link_handle && link_setup.port == link_setup.term_port) {
    link_close(link_handle);
    link_handle = nullptr;
    run.link_closed = true;
  }
}

// Home, cursor shown, 80 x 25 blanked in the default attribute, home again.
void clear_terminal_screen() {
  con_goto(0, 0);
  cursor_show();
  con_clear();
  con_goto(0, 0);
}

int byte_after_cr(void *) {
  uint8_t x;
  int got = 0;
  if (sio_read(terminal_port, CR_JOIN_WAIT, &x, 1, &got) == SIO_OK && got == 1) return x;
  return -1;
}

void receive(Run &run) {
  uint8_t b;
  int got = 0;
  int status = sio_read(terminal_port, NO_WAIT, &b, 1, &got);
  if (status == SIO_EOF || status == SIO_FAILED) {
    // The device went away (an adapter pulled, the far end of a pty
    // closed): say so once, instead of dropping every key typed from now on
    // without a word. F9 opens a port again.
    close_port();
    term_printf("\nThe port is gone. %s", NO_PORT);
    run.display.column = 1;
    return;
  }
  // An empty poll is no byte; polling goes on.
  if (status != SIO_OK || got != 1) return;
  std::string capture, screen;
  term_receive(run.display, run.filter, b, byte_after_cr, nullptr, capture, screen);
  term_put(run, capture, screen);
}

void toggle_hex_only(Run &run) {
  term_put(run, "\r\n", "\r\n");
  run.display.column = 1;
  run.display.hex_only = !run.display.hex_only;
  bbs_filter_reset(run.filter);   // a sequence cut off here must not eat the dump
  term_printf("\nHEX %s\n", run.display.hex_only ? "ON" : "OFF");
}

void start_capture(Run &run) {
  if (run.capture) {
    term_printf("\nCapture file: \"%s\" already open. Type F8 to close.\n", run.capture_name);
  } else {
    if (run.capture_name[0])
      term_printf("\nCapture to file (CR=\"%s\")? ", run.capture_name);
    else
      term_printf("\nCapture to file? ");
    char line[LINE_SIZE];
    if (terminal_read_line(line, sizeof line)) {
      if (line[0]) snprintf(run.capture_name, sizeof run.capture_name, "%s", line);
      run.capture = tport_open_capture(run.capture_name);
      if (run.capture)
        term_printf("Copying output to: \"%s\". Type F8 to end capture.\n", run.capture_name);
      else
        term_printf("Unable to open file: \"%s\" for write.\n", run.capture_name);
    }
  }
  run.display.column = 1;
}

void close_capture(Run &run) {
  if (fclose(run.capture) == 0)
    term_printf("\nCapture file: \"%s\" closed.\n", run.capture_name);
  else
    term_printf("\nCapture file: \"%s\" closed; not all of it was written (%s).\n", run.capture_name,
                strerror(errno));
  run.capture = nullptr;
}

void stop_capture(Run &run) {
  if (run.capture)
    close_capture(run);
  else
    term_printf("\nCapture file not open. Type F7 to begin capture.\n");
  run.display.column = 1;
}

void send_hex(Run &) {
  term_printf("Enter hex codes to send: ");
  char line[LINE_SIZE];
  if (!terminal_read_line(line, sizeof line)) return;
  HexSend h = hex_parse(line);
  send_bytes(h.bytes.data(), static_cast<int>(h.bytes.size()));
  if (h.invalid >= 0) term_printf("Invalid character in hex sequence: %02X\n", h.invalid);
}

void change_setup(Run &run) {
  close_port();
  // The dialog is drawn by the screen layer, over a blank screen that the
  // shadow knows of.
  pcon_direct_end();
  clear_to_end(1, 1);
  configure_terminal(1);
  // The port chosen may be the link's: the link gives it up as at entry.
  close_sharing_link(run);
  if (open_port()) apply_settings();
  pcon_direct_begin();
  clear_terminal_screen();
  term_printf("%s%s%s", HELP_EXIT, HELP_SETUP, HELP_SEND);
  if (!terminal_port) term_printf("%s", NO_PORT);
  tport_trap_interrupt(terminal_port ? terminal_port->fd : -1);
}

void leave(Run &run) {
  if (run.capture) close_capture(run);
  close_port();
  tport_release_interrupt();
  pcon_direct_end();
  screen_invalidate();
  // The link gets its port back: when it gave it up for this run, or when it
  // shares the terminal's port now. A link of kind "None" is not opened.
  if (link_setup.kind != LINK_NONE && (run.link_closed || link_setup.port == link_setup.term_port)) link_open();
  terminal_port = nullptr;
}

// false when the key ends the run.
bool extended_key(Run &run, int scan) {
  switch (scan) {
    case SC_F5: toggle_hex_only(run); break;
    case SC_F7: start_capture(run); break;
    case SC_F8: stop_capture(run); break;
    case SC_F9: change_setup(run); break;
    case SC_INSERT: send_hex(run); break;
    case SC_CTRL_END: return false;
    default:
      for (const FunctionKeySequence &k : FUNCTION_KEYS)
        if (k.scan == scan) {
          send_bytes(k.bytes, static_cast<int>(strlen(k.bytes)));
          break;
        }
      break;   // cursor keys, Delete and the rest do nothing here
  }
  return true;
}

}  // namespace

bool terminal_read_line(char *buffer, size_t size) {
  size_t n = 0;
  buffer[0] = 0;
  for (;;) {
    int b = pkbd_getch();
    if (b == EXTENDED_PREFIX || b == OLD_EXTENDED_PREFIX) {
      pkbd_getch();   // function and cursor keys do not edit this line
      continue;
    }
    if (b == ENTER || b == LINE_FEED) {
      screen_write("\n", 1);
      return true;
    }
    if (b == ESCAPE) {
      buffer[0] = 0;
      screen_write("\n", 1);
      return false;
    }
    if (b == BACKSPACE || b == CTRL_U) {
      for (size_t k = b == CTRL_U ? n : 1; k > 0 && n > 0; k--) {
        buffer[--n] = 0;
        screen_write("\b \b", 3);
      }
    } else if (b >= 0x20 && b < 0x7F && n + 1 < size) {
      buffer[n++] = static_cast<char>(b);
      buffer[n] = 0;
      char c = static_cast<char>(b);
      screen_write(&c, 1);
    }
  }
}

LinkHandle *terminal_run(int bbs_mode) {
  Run run;
  run.display.bbs_mode = bbs_mode != 0;
  close_sharing_link(run);
  if (!open_port()) return link_handle;   // a link closed above stays closed

  pcon_direct_begin();
  clear_terminal_screen();
  apply_settings();
  if (link_setup.term_port != link_setup.port)
    term_printf("NOTE: The terminal emulator is using %s\n", term_port_name());
  term_printf("%s%s%s%s", HELP_EXIT, HELP_SETUP, HELP_HEX, HELP_SEND);
  tport_trap_interrupt(terminal_port->fd);

  for (;;) {
    if (terminal_port && !pkbd_hit()) {
      receive(run);
      continue;
    }
    // Without a port nothing is polled: the key read may wait.
    int b = pkbd_getch();
    if (b == EXTENDED_PREFIX || b == OLD_EXTENDED_PREFIX) {
      if (!extended_key(run, pkbd_getch())) break;
    } else {
      uint8_t byte = static_cast<uint8_t>(b);
      send_bytes(&byte, 1);   // typed keys are not shown: the far end echoes
    }
  }
  leave(run);
  return link_handle;
}
