// Field output and framed windows over the shadow screen.
//   put_field   text at (row, col) in a width, justified, padded, coloured
//   win_open    saves the rectangle, draws a double-line frame and a title
//   win_close   puts the saved cells back and clears the caller's handle
#pragma once
#include <cstdint>

// FieldFlags, shared with field_edit. The low three bits are the attribute
// index, the colour of the field (attr_table in ui/screen.cpp).
enum : uint32_t {
  ATTR_NORMAL = 0,            // normal text
  ATTR_HIGHLIGHT = 1,         // highlighted entry, window titles, menu bar
  ATTR_FIELD = 2,             // input fields and hot letters
  ATTR_HIGHLIGHT_HOT = 3,     // hot letter or field inside a highlighted entry
  ATTR_ERROR = 4,             // error text
  ATTR_HIGHLIGHT_ERROR = 5,   // error colour on the highlight
  FF_ATTR_MASK = 0x0007,
  FF_CENTER = 0x0020,
  FF_RIGHT = 0x0040,
  FF_PAD = 0x0080,
  FF_MASK = 0x0100,
  FF_KEEP = 0x0200,
  FF_AUTOENTER = 0x0400,
  FF_REPLACE = 0x0800,
  FF_UPPER = 0x1000,
  FF_BEEP = 0x2000,
  FF_QUIET = 0x4000,
  FF_OVERWRITE = 0x10000,
  // Forms: a choice list's last entry is an action ("Remote..."), not a
  // value; see forms/forms.h.
  FF_CHOICE_ACTION = 0x20000,
};
typedef uint32_t FieldFlags;

// Code page 437 frame characters.
enum : uint8_t {
  BOX_TL = 0xC9, BOX_TR = 0xBB, BOX_BL = 0xC8, BOX_BR = 0xBC, BOX_H = 0xCD, BOX_V = 0xBA,
};

struct WindowRecord {
  WindowRecord *newer;
  WindowRecord *older;
  int16_t bottom, left, top, right;   // 0-based, inclusive
  uint8_t *saved;                     // rows*cols characters, then rows*cols indices
};
typedef WindowRecord *WindowHandle;

void put_field(const char *text, int row, int col, int width, int fill, FieldFlags flags);
WindowHandle win_open(int top, int left, int bottom, int right, const char *title);
void win_close(WindowHandle *handle);
void beep();

// Window stack housekeeping (ui_init, ui_shutdown, tests).
void win_stack_reset();   // frees every record without drawing
int win_stack_depth();
