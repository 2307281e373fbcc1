// End-to-end test harness: runs a program in a pseudo-terminal, keeps its
// screen in libvterm and lets a test type keys and read the screen back.
//
//   ZlSession s;                      fresh temp working dir, nothing started
//   s.set_env("ZL27T_PORTS", path);   extra environment (before start)
//   s.write_file("X", bytes);         prepare the working dir
//   ASSERT_TRUE(s.start_at_menu());   no-link setup file, start, wait for bar
//   s.type("f");                      bytes as typed
//   s.press(Key::Right);              a named key as the terminal sends it
//   s.keys("{F1}out{Enter}");         text with {Key} names mixed in
//   ASSERT_TRUE(s.wait_for_text("Read from disk"));
//   EXPECT_EQ(s.row(6).substr(...), ...); s.colours(4, 1); s.row_attrs(4);
//   EXPECT_EQ(s.wait_exit(), 0);
//
// Rows and columns are 1-based, as the program's own coordinates. Every wait
// is bounded (default 8 s, or ZL27T_E2E_TIMEOUT_MS) and fails with a dump of
// the screen. The destructor kills a child still running and removes the
// working directory (kept when ZL27T_E2E_KEEP is set).
#pragma once
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <ostream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <termios.h>
#include <vterm.h>

#include "link/link_setup.h"
#include "sim_process.h"

namespace e2e {

constexpr int ROWS = 25;
constexpr int COLS = 80;

// Console colours in the program's own numbering (IRGB, blue = 1, red = 4),
// whatever SGR form the terminal received them in.
enum Colour : int {
  DEFAULT_COLOUR = -1,
  BLACK = 0, BLUE, GREEN, CYAN, RED, MAGENTA, BROWN, LIGHT_GREY,
  DARK_GREY, LIGHT_BLUE, LIGHT_GREEN, LIGHT_CYAN, LIGHT_RED, LIGHT_MAGENTA, YELLOW, WHITE,
};
const char *colour_name(int colour);

struct CellColours {
  int fg = DEFAULT_COLOUR;
  int bg = DEFAULT_COLOUR;
  bool operator==(const CellColours &) const = default;
};
std::ostream &operator<<(std::ostream &os, const CellColours &c);   // "light grey on blue"

// The program's attribute indices (0 normal, 1 highlighted, 2 hot letter or
// field, 3 hot letter highlighted, 4 error, 5, 7) as the colours they show.
// Index 6 looks like 4 and reads back as 4.
CellColours attr_colours(int index);
// Colours -> attribute index, -1 when no index has those colours.
int attr_index_of(const CellColours &c);

enum class Key {
  F1, F2, F3, F4, F5, F6, F7, F8, F9, F10,
  Up, Down, Left, Right, Home, End, PgUp, PgDn, Ins, Del,
  CtrlHome, CtrlEnd,
  Esc, Enter, LF, Tab, Backspace,
};
// The bytes an xterm sends for the key (Esc is the bare ESC byte).
std::string_view key_bytes(Key k);

// wait_exit's result when the program did not end in time.
constexpr int EXIT_TIMEOUT = -1;

class Session {
 public:
  using Clock = std::chrono::steady_clock;
  using Ms = std::chrono::milliseconds;

  // Makes the working directory; the program starts with start().
  Session();
  ~Session();
  Session(const Session &) = delete;
  Session &operator=(const Session &) = delete;

  // --- before start ---
  void set_env(const std::string &name, const std::string &value);
  void set_term(const std::string &term) { term_ = term; }
  const std::string &workdir() const { return workdir_; }
  std::string path(std::string_view name) const;   // workdir/name
  bool write_file(std::string_view name, std::string_view bytes) const;
  // Whole file from the working dir; empty when missing (see file_exists).
  std::string read_file(std::string_view name) const;
  bool file_exists(std::string_view name) const;
  // Writes the setup file the program reads at start.
  bool write_setup(const LinkSetup &setup) const;

  // Starts program (default: the zl27t under test) with args, in the working
  // dir, on an 80x25 pty. Fails (false plus a test failure) when it cannot.
  bool start(const std::vector<std::string> &args = {}, const std::string &program = ZL27T_BIN);
  // Writes a setup file whose link is "None" on port 0, unless the test put a
  // ZL27TSW.STP there already; ZL27T_PORTS defaults to /dev/null so that
  // port 0 exists. The program then shows "Unable to establish link." at
  // start, if it opens links from the setup file; a keystroke script can
  // begin with "/E" to answer it (on the bar Esc does nothing).
  bool prepare_no_link();
  // prepare_no_link, start, answer the link message with F10 if one comes,
  // and wait for the menu bar.
  testing::AssertionResult start_at_menu(const std::vector<std::string> &args = {});

  // --- keys ---
  void type(std::string_view text);        // bytes as given
  void press(Key k, int times = 1);        // Esc waits ~80 ms after the byte
  // Text with {Name} for keys (F1..F10, Up, Down, Left, Right, Home, End,
  // PgUp, PgDn, Ins, Del, CtrlHome, CtrlEnd, Esc, Enter, LF, Tab, Backspace);
  // "{{" is a literal brace.
  void keys(std::string_view script);

  // Changes the window size (the program gets SIGWINCH) and the emulated
  // screen with it.
  void resize(int rows, int cols);
  // Feeds bytes to the emulated terminal as if the program had sent them,
  // e.g. "\x1b[2J" to wipe the screen and see what the program repaints.
  void inject_output(std::string_view bytes) { feed(bytes.data(), bytes.size()); }

  // --- waiting ---
  // Reads output for a fixed time (only for modelling a human pause).
  void pump_for(Ms duration);
  // Reads output until pred() holds; on time-out or exit fails with `what`
  // and a screen dump.
  testing::AssertionResult wait_until(const std::function<bool()> &pred, const std::string &what,
                                      Ms timeout = default_timeout());
  testing::AssertionResult wait_for_text(std::string_view text, Ms timeout = default_timeout());
  testing::AssertionResult wait_for_text_gone(std::string_view text, Ms timeout = default_timeout());
  testing::AssertionResult wait_for_row(int row, const std::function<bool(const std::string &)> &pred,
                                        const std::string &what = "row condition",
                                        Ms timeout = default_timeout());
  // Exit code, 128 + signal when killed, EXIT_TIMEOUT (with a test
  // failure) when still running after the time-out.
  int wait_exit(Ms timeout = default_timeout());
  bool running() const { return pid_ > 0; }
  int pid() const { return pid_; }
  static Ms default_timeout();

  // --- screen (as of the last output read) ---
  std::vector<std::string> screen() const;          // 25 rows of 80 cells, UTF-8
  std::string row(int row) const;                   // 80 cells, UTF-8
  std::string text_at(int row, int col, int n) const;
  // 1-based (row, col) of the first cell of text, or (0, 0).
  std::pair<int, int> find(std::string_view text) const;
  bool contains(std::string_view text) const { return find(text).first != 0; }
  CellColours colours(int row, int col) const;
  std::vector<CellColours> row_colours(int row) const;
  int attr_index(int row, int col) const;           // -1: not one of the table's
  // 80 characters: the attribute index digit of each cell, '?' for others.
  std::string row_attrs(int row) const;
  std::pair<int, int> cursor() const;               // 1-based
  bool cursor_visible() const { return cursor_visible_; }
  bool alt_screen() const { return alt_screen_; }
  bool autowrap() const { return dec_mode(7); }
  // Last state of a DEC private mode seen in the output (ESC[?Nh / ESC[?Nl),
  // or the terminal default.
  bool dec_mode(int mode) const;
  int bells() const { return bells_; }
  const std::string &raw_output() const { return raw_; }
  // The pty's terminal settings (the program's side), also after it ended.
  bool pty_settings(struct termios *out) const;
  // What the F1 screen print should write for the screen as shown: per row
  // 80 characters (frame lines as + - |, other non-ASCII as '.'), "\r", 80
  // of '_' under cells in neither index 0 nor 2 (else ' '), "\n"; then "\f".
  std::string print_image() const;
  std::string dump() const;

 private:
  static int on_settermprop(VTermProp prop, VTermValue *val, void *user);
  static int on_bell(void *user);
  static void on_output(const char *s, size_t len, void *user);
  // Waits up to timeout for output (or child exit) and reads what came.
  void pump(Ms timeout);
  void feed(const char *data, size_t n);
  void scan_modes(const char *data, size_t n);
  void reap(bool block);
  void write_all(std::string_view bytes);
  uint32_t cell_char(int row, int col) const;

  std::string workdir_;
  std::string term_ = "xterm-256color";
  std::vector<std::pair<std::string, std::string>> env_;
  int pid_ = -1;
  int pidfd_ = -1;
  int master_ = -1;
  bool eof_ = false;
  int status_ = EXIT_TIMEOUT;
  VTerm *vt_ = nullptr;
  VTermScreen *vts_ = nullptr;
  bool alt_screen_ = false;
  bool cursor_visible_ = true;
  int bells_ = 0;
  std::string raw_;
  std::map<int, bool> modes_;
  // DEC private mode scanner state across reads.
  int scan_state_ = 0;
  std::string scan_params_;
};

// A helper process's start (see sim_process.h) as a test result, with the
// reason when it failed:  ASSERT_TRUE(started(sim, sim.start(args)));
inline testing::AssertionResult started(const SimProcess &process, bool ok) {
  if (ok) return testing::AssertionSuccess();
  return testing::AssertionFailure() << process.error();
}

// The setup file's name, and its default record (Sy/Max on port 0, 9600
// even, drop 201, time-out 500) to start from.
inline constexpr const char *SETUP_FILE = "ZL27TSW.STP";
LinkSetup setup_record();

// The name the tests use.
using ZlSession = Session;

// What the program asks when Quit is chosen.
enum class QuitQuestion {
  NONE,         // nothing: it ends at once
  ANSWER_YES,   // "Edited or Fetched but not Written. Quit anyway?", answered "y"
};
// Quits from the menu bar with "q" (answering the question when one is
// expected) and waits for the program to end; fails unless it ends with 0.
testing::AssertionResult quit_program(Session &s, QuitQuestion question = QuitQuestion::NONE);

// Unicode box lines the program draws, translated back as its screen print
// does: double lines to + - |, anything else outside ASCII to '.'.
std::string printable_row(const std::string &utf8_row);

}  // namespace e2e
