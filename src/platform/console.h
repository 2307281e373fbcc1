// Console seam: the only way the screen layer reaches a terminal.
//
// Two backends share this interface:
//   CONSOLE_VT      the user's terminal: raw input, alternate screen, autowrap
//                   off, hidden cursor; every way out gives the terminal back.
//   CONSOLE_MEMORY  an 80 x 25 grid of cells plus a log of every run written,
//                   for tests that check which cells were written and how.
//
// Nothing reaches the terminal but cells, the cursor and the bell: no caller
// can hand it escape sequences of its own.
//
// Coordinates are 0-based, row 0..24, column 0..79. Output is collected and
// sent with one write() at pcon_flush(); the keyboard layer flushes before it
// blocks. Characters are code page 437 bytes; the vt backend maps them to
// UTF-8 (or ASCII stand-ins when the locale is not UTF-8). Attributes are the
// console attribute byte: background IRGB in the high nibble, foreground IRGB
// in the low nibble, with Windows bit order (B=1, G=2, R=4, I=8).
#pragma once
#include <cstdint>
#include <string>
#include <vector>

enum ConsoleKind { CONSOLE_VT, CONSOLE_MEMORY };

constexpr int CON_ROWS = 25;
constexpr int CON_COLS = 80;

// Takes the console over. Returns false when the vt backend cannot (stdin or
// stdout is not a terminal); the memory backend always succeeds. Opening
// empties the keyboard (decoder and fed bytes); opening the memory backend
// also resets its grid (spaces in 0x17), its log and its bell count.
bool pcon_open(ConsoleKind kind);
// Gives the console back. Safe to call more than once and from atexit.
void pcon_close();
bool pcon_is_open();
ConsoleKind pcon_kind();

// Writes n cells from (row, col) in one attribute, on that row only: cells
// past column 79 are dropped. Does not move the visible cursor. A run that
// starts off the screen draws nothing (the memory log still records it); so
// does a fill. The vt backend also clips to a terminal smaller than 80x25.
void pcon_write(int row, int col, const uint8_t *cp437, int n, uint8_t attr);
// Fills n cells with one character and attribute from (row, col) onward in
// screen order (wrapping to the next row), clipped at the end of the screen.
void pcon_fill(int row, int col, int n, uint8_t ch, uint8_t attr);
// Moves the visible cursor and shows or hides it.
void pcon_cursor_to(int row, int col);
void pcon_cursor_visible(bool visible);
// Rings the terminal bell.
void pcon_bell();
// Sends everything collected so far.
void pcon_flush();
// True once after the terminal changed size (SIGWINCH) or came back from a
// stop (SIGTSTP, then SIGCONT); the screen layer then redraws everything. The
// vt backend has already repainted what it last drew, clipped to the new size,
// so a program blocked in pkbd_getch does not sit on a blank screen.
bool pcon_take_resized();


// Code page 437 as the PC shows it: the Unicode code point of each byte's
// glyph (control bytes included: 0x01 is a smiling face, 0 a blank).
uint32_t cp437_unicode(uint8_t ch);

// --- memory backend inspection (tests) ---
struct ConCell {
  uint8_t ch;
  uint8_t attr;
};
struct ConRun {
  char op;          // 'w' a pcon_write, 'f' a pcon_fill
  int row, col;     // where it started
  std::string text; // the characters written (a fill: n copies of its char)
  uint8_t attr;
};
const ConCell &mem_console_cell(int row, int col);
std::string mem_console_row_text(int row);   // 80 characters
std::vector<ConRun> &mem_console_log();       // cleared by the test at will
int mem_console_bells();
// Where pcon_cursor_to last put the visible cursor, and whether it is shown.
struct ConCursor {
  int row, col;
  bool visible;
};
ConCursor mem_console_cursor();
