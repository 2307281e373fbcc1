// The BBS display's terminal: a VT100/VT220/ANSI state machine fed the
// device's bytes, drawing into a grid of 25 x 80 cells (code page 437
// character, console attribute byte). No clock, no I/O: what it answers for
// the far end (cursor position, device attributes) is left in `answers` for
// the caller to send down the port. Nothing the device sends goes anywhere
// but the grid and those answers.
//   vte_reset      power-on state (blank grid in 0x17, cursor home, tab stops
//                  every 8, wrap on); utf8 picks how bytes 0x80-0xFF are read
//   vte_feed       the device's bytes, in pieces of any size: a sequence or a
//                  UTF-8 character cut between two calls goes on in the next
//   vte_own_text   the terminal's own messages and prompts, LF as CR LF,
//                  drawn as text whatever sequence the device has begun; the
//                  device's sequence goes on afterwards
//
// What is drawn: printable text with the pending-wrap rule at column 80
// (autowrap and insert mode as set), BS HT LF VT FF CR, SI SO with G0/G1 as
// ASCII, DEC line drawing or UK; IND NEL RI HTS DECSC DECRC RIS DECALN;
// CSI cursor moves (CUU CUD CUF CUB CNL CPL CHA HPA HPR VPA VPR CUP HVP CHT
// CBT), DECSTBM, IL DL ICH DCH ECH ED EL SU SD, TBC, SGR, SCOSC/SCORC (CSI s
// and u), DECSTR, modes IRM LNM DECOM DECAWM DECTCEM and the alternate screen
// (47, 1047, 1049). Queries answered as a VT220: DSR 5 and 6, primary and
// secondary DA. Everything else (OSC, DCS, APC, PM, SOS strings of any
// length, other modes and reports) is taken in and has no effect.
//
// Colours: SGR 30-37/40-47, 90-97/100-107, 38/48 with 5;N or 2;R;G;B reduced
// to the nearest of the 16 console colours; bold is the foreground's
// intensity, blink the background's (as the PC console shows it), reverse
// swaps the two. Default colours are the terminal's light grey on blue.
// Erased and scrolled-in cells take the current colours.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

constexpr int VTE_ROWS = 25;
constexpr int VTE_COLS = 80;
constexpr uint8_t VTE_DEFAULT_ATTR = 0x17;
// How much of the answers is kept between two drains: a device that asks a
// million times is answered as much as a port can take in a moment.
constexpr size_t VTE_MAX_ANSWERS = 4096;

struct VteCell {
  uint8_t ch = ' ';
  uint8_t attr = VTE_DEFAULT_ATTR;
  bool operator==(const VteCell &) const = default;
};

// Colours are ANSI indexes 0-15 (red = 1, blue = 4), -1 the default.
struct VteRendition {
  int8_t fg = -1, bg = -1;
  bool bold = false, blink = false, reverse = false;
};

enum VteCharset : uint8_t { VTE_ASCII, VTE_DEC_GRAPHICS, VTE_UK };

struct VteCursor {
  int row = 0, col = 0;
  bool pending_wrap = false;   // the last column was written; the next character wraps
  VteRendition sgr;
  uint8_t attr = VTE_DEFAULT_ATTR;   // sgr as a console attribute
  VteCharset g[2] = {VTE_ASCII, VTE_ASCII};
  uint8_t gl = 0;                    // 0: G0 in use, 1: G1 (SO)
  bool origin = false;               // DECOM
};

// Where the parser stands in a sequence; small enough to put aside.
struct VteParser {
  uint8_t state = 0;
  static constexpr int MAX_PARAMS = 16;
  uint16_t params[MAX_PARAMS] = {};
  uint8_t count = 0;            // parameters begun
  char marker = 0;              // private marker < = > ?
  char intermediate = 0;        // the first intermediate byte
  bool string_esc = false;      // an ESC inside a string
  // UTF-8 decoding.
  uint32_t code = 0;
  uint8_t need = 0;             // continuation bytes still to come
  uint8_t low = 0x80, high = 0xBF;   // the range the next one must be in
};

struct VtEmulator {
  VteCell cells[VTE_ROWS][VTE_COLS];
  VteCursor cursor;
  VteCursor saved;
  int top = 0, bottom = VTE_ROWS - 1;   // the scroll region, inclusive
  bool tab_stop[VTE_COLS] = {};
  bool autowrap = true, insert = false, newline = false, cursor_visible = true;
  bool utf8 = false;
  // The screen the alternate one hides, while it is shown.
  bool alternate = false;
  VteCell main_cells[VTE_ROWS][VTE_COLS];
  VteCursor main_cursor;
  VteParser parser;
  std::string answers;   // for the port; the caller sends and clears them
};

void vte_reset(VtEmulator &vt, bool utf8);
void vte_feed(VtEmulator &vt, const uint8_t *bytes, size_t n);
void vte_own_text(VtEmulator &vt, const char *text, size_t n);

// The console attribute a rendition shows (Windows bit order, B = 1, R = 4).
uint8_t vte_attr(const VteRendition &r);
// The nearest of the 16 colours (ANSI index) to an RGB colour, and the 256
// colour palette's entries reduced the same way.
int vte_nearest_colour(int r, int g, int b);
int vte_colour_256(int n);
// The code page 437 byte that shows a Unicode code point: its own glyph, a
// look-alike (a Latin letter without its accent, ASCII quotes and dashes),
// else '?'.
uint8_t vte_unicode_cp437(uint32_t code_point);
