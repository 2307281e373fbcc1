// Register viewer: a live table of up to 20 consecutive registers of the
// device on the link, each as its number, HEX, UNSIGN, SIGNED and BINARY,
// with an optional status register beside it. The table is read and redrawn
// again and again until a key waits; a key typed while the link waits ends
// that wait at its next idle step, so keys act at once even on a slow link.
//   register_viewer        the Utility menu's "View registers"; runs until Esc
//                          (or a failed module check) and returns link_handle,
//                          which F9 may have replaced
//   register_viewer_help   the F2 hot key while the viewer runs
//
// Its steps, for tests and the benchmark (register_viewer strings them):
//   viewer_enter    draws the fixed texts, applies the settings; false: leave
//   viewer_refresh  one pass: waits for the live screens' pace (a key ends
//                   the wait), reads, draws (only cells that changed), stops
//                   as soon as a key waits
//   viewer_key      reads one key and acts on it; false: leave
//   viewer_leave    takes the hot key and the table away again
//
// Pure pieces:
//   ViewerPos, viewer_move, viewer_goto, viewer_fit, viewer_limit
//                   where the table starts and which row is selected
//   viewer_cell_text, viewer_edit_text, viewer_parse_edit
//                   a value as each column shows it, starts an edit with it
//                   and reads it back
#pragma once
#include <cstddef>
#include <cstdint>

#include "ui/keys.h"
#include "ui/pace.h"

struct LinkHandle;

constexpr int VIEWER_MAX_ROWS = 20;
constexpr int VIEWER_FIRST_ROW = 5;          // screen row of the table's first register
constexpr int VIEWER_LAST_REGISTER = 65536;
constexpr int VIEWER_STATUS_OFFSET = 8192;   // status of register n: register n + 8192

enum ViewerColumn : int {
  VCOL_REGISTER = 1,
  VCOL_HEX,
  VCOL_UNSIGN,
  VCOL_SIGNED,
  VCOL_BINARY,
};

// The first register of the table (1 .. 65536) and the selected screen row
// (VIEWER_FIRST_ROW .. rows + 4).
struct ViewerPos {
  int first;
  int row;
};

// Keeps the table inside 1 .. 65536: a first register below 1 becomes 1;
// a table that would run past 65536 ends there, and the selection moves
// down with it so the same register stays selected (within the table).
void viewer_limit(ViewerPos &p, int rows);
// Down, Up, PgDn, PgUp and Home. Down on the last row scrolls by three and
// selects the next register (Up on the first row likewise); tables of three
// rows or fewer scroll by one.
void viewer_move(ViewerPos &p, KeyCode key, int rows, int start_register);
// A register number typed on the selected row: that register is shown on
// that row, or as near as 1 .. 65536 allow, and stays selected.
void viewer_goto(ViewerPos &p, long typed, int rows);
// After the number of rows changed: a selection below the table moves up to
// its last row and takes its register with it.
void viewer_fit(ViewerPos &p, int rows);

// Display text of a value column (HEX " %04X", UNSIGN and SIGNED " %6",
// BINARY " " and four groups of four digits, each followed by a space).
void viewer_cell_text(int column, uint16_t value, char *out, size_t size);
// Starting text of an edit of a value column ("%04X", "%u", signed "%d",
// the 16 bits in groups of four).
void viewer_edit_text(int column, uint16_t value, char *out, size_t size);
// The value typed in a column, or false when the text is no 16-bit value of
// that column (HEX above FFFF, UNSIGN above 65535, SIGNED outside -32768 ..
// 32767, a stray '-', BINARY without exactly 16 digits). Empty text is 0.
bool viewer_parse_edit(int column, const char *text, uint16_t *value);

// What part of a table row was last drawn from, and the cells it left in
// the shadow screen. A part whose inputs and cells are both unchanged is not
// formatted again: on a fast link formatting 20 rows cost more than the read.
constexpr int VIEWER_DRAWN_WIDTH = 51;   // register number to BINARY
struct ViewerDrawn {
  bool valid = false;
  uint32_t inputs[3] = {};
  uint8_t chars[VIEWER_DRAWN_WIDTH] = {};
  uint8_t attrs[VIEWER_DRAWN_WIDTH] = {};
};

// The viewer's state between its steps.
struct RegisterViewer {
  int status_offset = VIEWER_STATUS_OFFSET;
  ViewerPos pos = {1, VIEWER_FIRST_ROW};
  int column = VCOL_HEX;
  // The last successful reads: values of registers values_first .. +
  // values_count - 1 of the set values_set, and the status of the first
  // status_count of them.
  int values_first = 0;
  int values_count = 0;
  int values_set = 0;
  uint16_t values[VIEWER_MAX_ROWS] = {};
  int status_count = 0;
  uint16_t status[VIEWER_MAX_ROWS] = {};
  bool failed = false;   // the last read failed: the table shows ERROR
  int failures = 0;      // table reads failed in a row
  PassPacer pacer;       // when the last pass began
  bool write_failed = false;   // its text stays on the bottom line until a key
  int drawn_rows = 0;    // rows on screen, cleared when the table shrinks
  ViewerDrawn drawn_values[VIEWER_MAX_ROWS];   // per table row
  ViewerDrawn drawn_status[VIEWER_MAX_ROWS];
};

enum ViewerStep {
  VIEWER_REFRESHED,   // a pass ended; no key waits
  VIEWER_KEY,         // a key waits (or a read was ended by one)
  VIEWER_LEAVE,       // the module check failed
};

LinkHandle *register_viewer(int status_offset);
int register_viewer_help(KeyCode key, int position);

bool viewer_enter(RegisterViewer *v, int status_offset);
ViewerStep viewer_refresh(RegisterViewer *v);
bool viewer_key(RegisterViewer *v);
void viewer_leave(RegisterViewer *v);
