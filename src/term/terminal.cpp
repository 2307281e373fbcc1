// The terminal emulator's run: entry, the polling loop, its keys, leaving.
#include "term/terminal.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
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
#include "term/vt_emulator.h"
#include "ui/boxes.h"
#include "ui/screen.h"

using namespace nt_sio;

SioPort *terminal_port = nullptr;

namespace {

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
constexpr int UNTIL_DONE = -1;
// As much as has arrived is read at once, up to this.
constexpr int RECEIVE_BLOCK = 16384;
// While bytes keep coming the screen is drawn this often; it is drawn at
// once whenever they stop.
constexpr std::chrono::milliseconds DRAW_INTERVAL{20};
using Clock = std::chrono::steady_clock;
constexpr uint8_t BACKSPACE = 8, CTRL_U = 21, ENTER = 13, LINE_FEED = 10, ESCAPE = 27;

struct Run {
  TermDisplay display;
  FILE *capture = nullptr;
  char capture_name[LINE_SIZE] = {};
  bool link_closed = false;   // the link gave its port up for this run
  Clock::time_point cr_deadline;   // the debugging view's CR waits until then
};

// The terminal's screen: everything shown (received data and the
// terminal's own texts) is drawn into the emulator's grid, and the grid
// reaches the console through the console seam as cells, like any screen
// of the program. No byte from the device goes to the user's terminal.
VtEmulator screen;
VteCell shown[VTE_ROWS][VTE_COLS];   // what the console shows of the grid
bool shown_valid = false;

// Writes the cells that changed since the last draw, as runs of one
// attribute, and puts the cursor where the emulator has it. A run goes on
// over a few unchanged cells of its attribute: cheaper than a cursor move.
void draw() {
  constexpr int BRIDGE = 4;
  auto changed = [](int r, int c) { return !shown_valid || !(screen.cells[r][c] == shown[r][c]); };
  uint8_t chars[VTE_COLS];
  for (int r = 0; r < VTE_ROWS; r++) {
    const VteCell *line = screen.cells[r];
    int c = 0;
    while (c < VTE_COLS) {
      if (!changed(r, c)) {
        c++;
        continue;
      }
      int start = c, n = 0;
      uint8_t attr = line[c].attr;
      while (c < VTE_COLS && line[c].attr == attr) {
        if (!changed(r, c)) {
          int next = c;
          while (next < VTE_COLS && next - c < BRIDGE && line[next].attr == attr && !changed(r, next)) next++;
          if (next == VTE_COLS || next - c >= BRIDGE || line[next].attr != attr) break;
        }
        chars[n++] = line[c].ch;
        shown[r][c] = line[c];
        c++;
      }
      pcon_write(r, start, chars, n, attr);
    }
  }
  shown_valid = true;
  pcon_cursor_to(screen.cursor.row, screen.cursor.col);
  pcon_cursor_visible(screen.cursor_visible);
}

// The whole grid again at the next draw: something else drew over it.
void draw_all_later() { shown_valid = false; }

bool utf8_from_device() { return link_setup.term_charset == TERM_CHARSET_UTF8; }

const char *term_port_name() {
  uint16_t i = link_setup.term_port;
  return i < serial_port_count() && serial_port_list[i] ? serial_port_list[i] : "";
}

// The terminal's own texts and echoes, drawn at once: a prompt waits for
// keys next.
void screen_write(const char *text, size_t n) {
  vte_own_text(screen, text, n);
  draw();
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

// Characters of the received data to the capture file. The file is flushed
// as it goes, so what was shown is on disk.
void capture_put(Run &run, const std::string &capture) {
  if (run.capture && !capture.empty() &&
      (fwrite(capture.data(), 1, capture.size(), run.capture) != capture.size() || fflush(run.capture) != 0))
    capture_failed(run, errno);
}

// Characters the terminal adds to the received data (the debugging view's
// line breaks): on screen and in the capture file.
void term_put(Run &run, const std::string &text) {
  vte_feed(screen, reinterpret_cast<const uint8_t *>(text.data()), text.size());
  capture_put(run, text);
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
  constexpr int NO_FLOW = 0;
  const LinkSetup &s = link_setup;
  unsigned baud = baud_rate[s.term_baud < BAUD_COUNT ? s.term_baud : BAUD_9600];
  _setuart(terminal_port, baud, s.term_data_bits + 7, s.term_stop_bits + 1, s.term_parity, NO_FLOW);
}

// What a remote port cannot do or its far port did not take (the settings
// are applied by now), after the help lines.
void show_port_note() {
  if (!terminal_port) return;
  const char *note = tport_note(terminal_port->fd);
  if (*note) term_printf("NOTE: %s\n", note);
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

// Home, cursor shown, 80 x 25 blanked in the default attribute: the
// emulator as it is switched on, with the setup's character set.
void clear_terminal_screen() {
  cursor_show();
  vte_reset(screen, utf8_from_device());
  draw_all_later();
  draw();
}

// The pending CR of the debugging view, when its time is up or a key wants
// the screen: the line break alone.
void end_cr_wait(Run &run) {
  if (!run.display.cr_pending) return;
  std::string text;
  term_display_cr_alone(run.display, text);
  term_put(run, text);
}

// As much as has arrived: into the capture file and onto the screen; what
// the emulator answers (cursor position, device attributes) goes back down
// the port.
void receive(Run &run) {
  static uint8_t block[RECEIVE_BLOCK];
  int got = 0;
  int status = sio_read_ready(terminal_port, block, RECEIVE_BLOCK, &got);
  if (got > 0) {
    std::string capture;
    term_receive(run.display, screen, block, static_cast<size_t>(got), capture);
    capture_put(run, capture);
    if (!screen.answers.empty()) {
      send_bytes(screen.answers.data(), static_cast<int>(screen.answers.size()));
      screen.answers.clear();
    }
    if (run.display.cr_pending) run.cr_deadline = Clock::now() + std::chrono::milliseconds(TERM_CR_JOIN_MS);
  }
  if (status == SIO_EOF || status == SIO_FAILED) {
    // The device went away (an adapter pulled, the far end of a pty
    // closed): say so once, instead of dropping every key typed from now on
    // without a word. F9 opens a port again.
    close_port();
    term_printf("\nThe port is gone. %s", NO_PORT);
    run.display.column = 1;
  }
  // Nothing read is no byte: waiting goes on.
}

void toggle_hex_only(Run &run) {
  term_put(run, "\r\n");
  run.display.column = 1;
  run.display.hex_only = !run.display.hex_only;
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
  clear_to_end(1, 1);
  configure_terminal(1);
  // The port chosen may be the link's: the link gives it up as at entry.
  close_sharing_link(run);
  if (open_port()) apply_settings();
  clear_terminal_screen();
  term_printf("%s%s%s", HELP_EXIT, HELP_SETUP, HELP_SEND);
  if (!terminal_port) term_printf("%s", NO_PORT);
  show_port_note();
  tport_trap_interrupt(terminal_port ? terminal_port->fd : -1);
}

void leave(Run &run) {
  if (run.capture) close_capture(run);
  close_port();
  tport_release_interrupt();
  // The screen layer's shadow never saw the terminal's cells.
  screen_invalidate();
  // The link gets its port back: when it gave it up for this run, or when it
  // shares the terminal's port now. A link of kind "None" is not opened.
  if (link_setup.kind != LINK_NONE && (run.link_closed || link_setup.port == link_setup.term_port)) link_open();
  terminal_port = nullptr;
}

// false when the key ends the run.
bool extended_key(Run &run, int scan) {
  // What the key prints comes after the line break a CR is waiting for.
  if (!(scan >= SC_F1 && scan <= SC_F4)) end_cr_wait(run);
  switch (scan) {
    case SC_F5: toggle_hex_only(run); break;
    case SC_F7: start_capture(run); break;
    case SC_F8: stop_capture(run); break;
    case SC_F9: change_setup(run); break;
    case SC_INS: send_hex(run); break;
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
    if (b == KBD_EXTENDED_PREFIX || b == KBD_OLD_EXTENDED_PREFIX) {
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

namespace {

// One key: false when it ends the run.
bool key(Run &run) {
  int b = pkbd_getch();
  if (b == KBD_EXTENDED_PREFIX || b == KBD_OLD_EXTENDED_PREFIX) return extended_key(run, pkbd_getch());
  uint8_t byte = static_cast<uint8_t>(b);
  send_bytes(&byte, 1);   // typed keys are not shown: the far end echoes
  return true;
}

}  // namespace

LinkHandle *terminal_run(int bbs_mode) {
  Run run;
  run.display.bbs_mode = bbs_mode != 0;
  close_sharing_link(run);
  if (!open_port()) return link_handle;   // a link closed above stays closed

  clear_terminal_screen();
  apply_settings();
  if (link_setup.term_port != link_setup.port)
    term_printf("NOTE: The terminal emulator is using %s\n", term_port_name());
  term_printf("%s%s%s%s", HELP_EXIT, HELP_SETUP, HELP_HEX, HELP_SEND);
  show_port_note();
  tport_trap_interrupt(terminal_port->fd);

  // Keys and port are waited on together, so an idle terminal sleeps until
  // either has something. The screen is drawn before every wait, and every
  // DRAW_INTERVAL while the device sends without a pause.
  Clock::time_point drawn = Clock::now();
  for (;;) {
    int port = terminal_port ? terminal_port->fd : -1;
    int ready = pkbd_wait_fd(port, 0);
    if (!ready) {
      draw();
      int wait = -1;
      if (run.display.cr_pending) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(run.cr_deadline - Clock::now()).count();
        wait = static_cast<int>(std::max<decltype(left)>(left, 0));
      }
      ready = pkbd_wait_fd(port, wait);
      drawn = Clock::now();
    } else if (Clock::now() - drawn >= DRAW_INTERVAL) {
      draw();
      drawn = Clock::now();
    }
    if ((ready & KBD_KEY) && !key(run)) break;
    if ((ready & KBD_FD) && terminal_port) receive(run);
    if (run.display.cr_pending && Clock::now() >= run.cr_deadline) end_cr_wait(run);
  }
  leave(run);
  return link_handle;
}
