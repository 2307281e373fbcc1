// The BBS display's VT100/VT220/ANSI state machine.
#include "term/vt_emulator.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <utility>

#include "platform/console.h"

namespace {

enum State : uint8_t {
  S_GROUND,
  S_ESC,          // after ESC
  S_ESC_INTER,    // ESC and an intermediate byte, waiting for the final one
  S_CSI,          // ESC [ and what followed
  S_CSI_IGNORE,   // a malformed CSI sequence: taken in up to its final byte
  S_STRING,       // OSC, DCS, SOS, PM or APC: taken in up to its end
};

constexpr uint8_t BEL = 0x07, BS = 0x08, HT = 0x09, LF = 0x0A, VT = 0x0B, FF = 0x0C, CR = 0x0D;
constexpr uint8_t SO = 0x0E, SI = 0x0F, CAN = 0x18, SUB = 0x1A, ESC = 0x1B, DEL = 0x7F;
constexpr uint16_t PARAM_MAX = 65535;
constexpr uint8_t NO_GLYPH = '?';
// The parameter count that says more came than are kept.
constexpr uint8_t PARAMS_OVERFLOW = VteParser::MAX_PARAMS + 1;

// xterm's 16 colours: other colours are shown as the nearest of these.
constexpr uint8_t PALETTE[16][3] = {
    {0x00, 0x00, 0x00}, {0xcd, 0x00, 0x00}, {0x00, 0xcd, 0x00}, {0xcd, 0xcd, 0x00},
    {0x00, 0x00, 0xee}, {0xcd, 0x00, 0xcd}, {0x00, 0xcd, 0xcd}, {0xe5, 0xe5, 0xe5},
    {0x7f, 0x7f, 0x7f}, {0xff, 0x00, 0x00}, {0x00, 0xff, 0x00}, {0xff, 0xff, 0x00},
    {0x5c, 0x5c, 0xff}, {0xff, 0x00, 0xff}, {0x00, 0xff, 0xff}, {0xff, 0xff, 0xff},
};
constexpr int ANSI_LIGHT_GREY = 7, ANSI_BLUE = 4, INTENSITY = 8;

// DEC special graphics, 0x5F-0x7E, as code page 437. The control pictures
// (HT, FF, CR, LF, NL, VT) and the scan lines have no glyph there.
constexpr uint8_t DEC_GRAPHICS[32] = {
    0xFF,                                             // _ blank
    0x04, 0xB1, '?', '?', '?', '?', 0xF8, 0xF1,       // ` a b c d e f g: diamond, checker board, degree, plus-minus
    '?', '?', 0xD9, 0xBF, 0xDA, 0xC0, 0xC5, 0xDF,     // h i j k l m n o: corners, cross, scan line 1
    0xC4, 0xC4, 0xC4, '_', 0xC3, 0xB4, 0xC1, 0xC2,    // p q r s t u v w: scan lines 3-9, tees
    0xB3, 0xF3, 0xF2, 0xE3, '=', 0x9C, 0xFA,          // x y z { | } ~: bar, <=, >=, pi, not equal, pound, dot
};

// Windows keeps blue in bit 0 and red in bit 2; ANSI the other way round.
int console_colour(int ansi) { return (ansi & INTENSITY) | ((ansi & 1) << 2) | (ansi & 2) | ((ansi & 4) >> 2); }

VteCell blank(const VtEmulator &vt) { return VteCell{' ', vt.cursor.attr}; }

void fill(VtEmulator &vt, int row, int from, int to) {
  std::fill(vt.cells[row] + from, vt.cells[row] + to, blank(vt));
}

// Rows [top, bottom] move up by n; the rows left at the bottom are blank.
void scroll_up(VtEmulator &vt, int top, int bottom, int n) {
  n = std::min(n, bottom - top + 1);
  for (int r = top; r + n <= bottom; r++) std::copy(vt.cells[r + n], vt.cells[r + n] + VTE_COLS, vt.cells[r]);
  for (int r = bottom - n + 1; r <= bottom; r++) fill(vt, r, 0, VTE_COLS);
}

void scroll_down(VtEmulator &vt, int top, int bottom, int n) {
  n = std::min(n, bottom - top + 1);
  for (int r = bottom; r - n >= top; r--) std::copy(vt.cells[r - n], vt.cells[r - n] + VTE_COLS, vt.cells[r]);
  for (int r = top; r < top + n; r++) fill(vt, r, 0, VTE_COLS);
}

void index_down(VtEmulator &vt) {
  VteCursor &c = vt.cursor;
  c.pending_wrap = false;
  if (c.row == vt.bottom)
    scroll_up(vt, vt.top, vt.bottom, 1);
  else if (c.row < VTE_ROWS - 1)
    c.row++;
}

void reverse_index(VtEmulator &vt) {
  VteCursor &c = vt.cursor;
  c.pending_wrap = false;
  if (c.row == vt.top)
    scroll_down(vt, vt.top, vt.bottom, 1);
  else if (c.row > 0)
    c.row--;
}

void line_feed(VtEmulator &vt) {
  index_down(vt);
  if (vt.newline) vt.cursor.col = 0;
}

void insert_chars(VtEmulator &vt, int n) {
  VteCursor &c = vt.cursor;
  VteCell *line = vt.cells[c.row];
  n = std::min(n, VTE_COLS - c.col);
  std::copy_backward(line + c.col, line + VTE_COLS - n, line + VTE_COLS);
  fill(vt, c.row, c.col, c.col + n);
  c.pending_wrap = false;
}

void delete_chars(VtEmulator &vt, int n) {
  VteCursor &c = vt.cursor;
  VteCell *line = vt.cells[c.row];
  n = std::min(n, VTE_COLS - c.col);
  std::copy(line + c.col + n, line + VTE_COLS, line + c.col);
  fill(vt, c.row, VTE_COLS - n, VTE_COLS);
  c.pending_wrap = false;
}

// One character cell; the pending-wrap rule: the last column written keeps
// the cursor there, and only the next character goes to the next line.
void put_cell(VtEmulator &vt, uint8_t ch) {
  VteCursor &c = vt.cursor;
  if (c.pending_wrap) {
    c.pending_wrap = false;
    if (vt.autowrap) {
      c.col = 0;
      index_down(vt);
    }
  }
  if (vt.insert) insert_chars(vt, 1);
  vt.cells[c.row][c.col] = VteCell{ch, c.attr};
  if (c.col < VTE_COLS - 1)
    c.col++;
  else if (vt.autowrap)
    c.pending_wrap = true;
}

// A character of the 7-bit set, through G0 or G1.
void put_ascii(VtEmulator &vt, uint8_t b) {
  switch (vt.cursor.g[vt.cursor.gl]) {
    case VTE_DEC_GRAPHICS:
      if (b >= 0x5F && b <= 0x7E) b = DEC_GRAPHICS[b - 0x5F];
      break;
    case VTE_UK:
      if (b == '#') b = 0x9C;   // pound sign
      break;
    case VTE_ASCII:
      break;
  }
  put_cell(vt, b);
}

void move_to(VtEmulator &vt, int row, int col) {
  VteCursor &c = vt.cursor;
  c.row = std::clamp(row, 0, VTE_ROWS - 1);
  c.col = std::clamp(col, 0, VTE_COLS - 1);
  c.pending_wrap = false;
}

// A row as CUP and VPA give it: in origin mode counted from the top margin
// and kept inside the region.
void move_to_row(VtEmulator &vt, int row, int col) {
  if (vt.cursor.origin)
    move_to(vt, std::clamp(row + vt.top, vt.top, vt.bottom), col);
  else
    move_to(vt, row, col);
}

// Up and down stop at the margin when the cursor is inside the region, at
// the screen's edge when it is outside.
void cursor_up(VtEmulator &vt, int n) {
  int stop = vt.cursor.row >= vt.top ? vt.top : 0;
  move_to(vt, std::max(vt.cursor.row - n, stop), vt.cursor.col);
}

void cursor_down(VtEmulator &vt, int n) {
  int stop = vt.cursor.row <= vt.bottom ? vt.bottom : VTE_ROWS - 1;
  move_to(vt, std::min(vt.cursor.row + n, stop), vt.cursor.col);
}

void tab_forward(VtEmulator &vt, int n) {
  VteCursor &c = vt.cursor;
  c.pending_wrap = false;
  while (n-- > 0 && c.col < VTE_COLS - 1) {
    do c.col++;
    while (c.col < VTE_COLS - 1 && !vt.tab_stop[c.col]);
  }
}

void tab_back(VtEmulator &vt, int n) {
  VteCursor &c = vt.cursor;
  c.pending_wrap = false;
  while (n-- > 0 && c.col > 0) {
    do c.col--;
    while (c.col > 0 && !vt.tab_stop[c.col]);
  }
}

void default_tabs(VtEmulator &vt) {
  for (int c = 0; c < VTE_COLS; c++) vt.tab_stop[c] = c > 0 && c % 8 == 0;
}

void erase_display(VtEmulator &vt, int how) {
  const VteCursor &c = vt.cursor;
  switch (how) {
    case 0:
      fill(vt, c.row, c.col, VTE_COLS);
      for (int r = c.row + 1; r < VTE_ROWS; r++) fill(vt, r, 0, VTE_COLS);
      break;
    case 1:
      for (int r = 0; r < c.row; r++) fill(vt, r, 0, VTE_COLS);
      fill(vt, c.row, 0, c.col + 1);
      break;
    case 2:
      for (int r = 0; r < VTE_ROWS; r++) fill(vt, r, 0, VTE_COLS);
      break;
    default:
      break;   // 3 wipes the scroll-back, which this screen does not keep
  }
}

void erase_line(VtEmulator &vt, int how) {
  const VteCursor &c = vt.cursor;
  if (how == 0) fill(vt, c.row, c.col, VTE_COLS);
  if (how == 1) fill(vt, c.row, 0, c.col + 1);
  if (how == 2) fill(vt, c.row, 0, VTE_COLS);
}

void save_cursor(VtEmulator &vt) { vt.saved = vt.cursor; }

void restore_cursor(VtEmulator &vt) {
  vt.cursor = vt.saved;
  move_to(vt, vt.cursor.row, vt.cursor.col);
  vt.cursor.pending_wrap = vt.saved.pending_wrap;
}

void set_alternate(VtEmulator &vt, bool on, bool with_cursor) {
  if (on == vt.alternate) return;
  if (on) {
    std::copy(&vt.cells[0][0], &vt.cells[0][0] + VTE_ROWS * VTE_COLS, &vt.main_cells[0][0]);
    if (with_cursor) vt.main_cursor = vt.cursor;
    for (int r = 0; r < VTE_ROWS; r++) fill(vt, r, 0, VTE_COLS);
  } else {
    std::copy(&vt.main_cells[0][0], &vt.main_cells[0][0] + VTE_ROWS * VTE_COLS, &vt.cells[0][0]);
    if (with_cursor) vt.cursor = vt.main_cursor;
  }
  vt.alternate = on;
}

void soft_reset(VtEmulator &vt) {
  vt.insert = false;
  vt.autowrap = true;
  vt.cursor_visible = true;
  vt.top = 0;
  vt.bottom = VTE_ROWS - 1;
  VteCursor &c = vt.cursor;
  c.origin = false;
  c.sgr = VteRendition{};
  c.attr = VTE_DEFAULT_ATTR;
  c.g[0] = c.g[1] = VTE_ASCII;
  c.gl = 0;
  c.pending_wrap = false;
  vt.saved = VteCursor{};
}

void answer(VtEmulator &vt, const char *text, int n) {
  if (n > 0 && vt.answers.size() + static_cast<size_t>(n) <= VTE_MAX_ANSWERS) vt.answers.append(text, static_cast<size_t>(n));
}

void answer(VtEmulator &vt, const char *text) { answer(vt, text, static_cast<int>(std::char_traits<char>::length(text))); }

void primary_attributes(VtEmulator &vt) { answer(vt, "\x1b[?62;1;6c"); }   // VT220: 132 columns, selective erase

void set_colour(int8_t &slot, int colour) {
  if (colour >= 0) slot = static_cast<int8_t>(colour);
}

void select_rendition(VtEmulator &vt) {
  const VteParser &p = vt.parser;
  VteRendition &r = vt.cursor.sgr;
  int count = std::min<int>(p.count, VteParser::MAX_PARAMS);
  if (count == 0) r = VteRendition{};
  for (int i = 0; i < count; i++) {
    int n = p.params[i];
    if (n == 0) {
      r = VteRendition{};
    } else if (n == 1) {
      r.bold = true;
    } else if (n == 22) {
      r.bold = false;
    } else if (n == 5 || n == 6) {
      r.blink = true;
    } else if (n == 25) {
      r.blink = false;
    } else if (n == 7) {
      r.reverse = true;
    } else if (n == 27) {
      r.reverse = false;
    } else if (n >= 30 && n <= 37) {
      r.fg = static_cast<int8_t>(n - 30);
    } else if (n == 39) {
      r.fg = -1;
    } else if (n >= 40 && n <= 47) {
      r.bg = static_cast<int8_t>(n - 40);
    } else if (n == 49) {
      r.bg = -1;
    } else if (n >= 90 && n <= 97) {
      r.fg = static_cast<int8_t>(n - 90 + INTENSITY);
    } else if (n >= 100 && n <= 107) {
      r.bg = static_cast<int8_t>(n - 100 + INTENSITY);
    } else if (n == 38 || n == 48) {
      int8_t &slot = n == 38 ? r.fg : r.bg;
      if (i + 2 < count && p.params[i + 1] == 5) {
        set_colour(slot, vte_colour_256(p.params[i + 2]));
        i += 2;
      } else if (i + 4 < count && p.params[i + 1] == 2) {
        set_colour(slot, vte_nearest_colour(std::min<int>(p.params[i + 2], 255), std::min<int>(p.params[i + 3], 255),
                                            std::min<int>(p.params[i + 4], 255)));
        i += 4;
      } else {
        break;   // a colour cut short: the rest cannot be read
      }
    }
    // Underline, italics and the rest have no look on this console.
  }
  vt.cursor.attr = vte_attr(r);
}

void set_dec_mode(VtEmulator &vt, int mode, bool on) {
  switch (mode) {
    case 6:   // origin mode homes the cursor
      vt.cursor.origin = on;
      move_to(vt, on ? vt.top : 0, 0);
      break;
    case 7:
      vt.autowrap = on;
      if (!on) vt.cursor.pending_wrap = false;
      break;
    case 25: vt.cursor_visible = on; break;
    case 47:
    case 1047: set_alternate(vt, on, false); break;
    case 1048:
      if (on)
        save_cursor(vt);
      else
        restore_cursor(vt);
      break;
    case 1049:   // the cursor goes with the screen it was on
      if (on == vt.alternate) break;
      if (on) save_cursor(vt);
      set_alternate(vt, on, false);
      if (!on) restore_cursor(vt);
      break;
    default:
      break;   // cursor keys, columns, mouse, paste and the rest: no effect here
  }
}

void set_ansi_mode(VtEmulator &vt, int mode, bool on) {
  if (mode == 4) vt.insert = on;
  if (mode == 20) vt.newline = on;
}

void csi_dispatch(VtEmulator &vt, uint8_t final) {
  const VteParser &p = vt.parser;
  int count = std::min<int>(p.count, VteParser::MAX_PARAMS);
  auto raw = [&](int i) { return i < count ? static_cast<int>(p.params[i]) : 0; };
  auto arg = [&](int i, int def) { return raw(i) ? raw(i) : def; };   // 0 or missing: the default
  VteCursor &c = vt.cursor;
  if (p.marker == '?') {
    if (p.intermediate) return;
    if (final == 'h' || final == 'l')
      for (int i = 0; i < count; i++) set_dec_mode(vt, p.params[i], final == 'h');
    if (final == 'J') erase_display(vt, raw(0));
    if (final == 'K') erase_line(vt, raw(0));
    return;
  }
  if (p.marker == '>') {
    if (final == 'c' && !p.intermediate && raw(0) == 0) answer(vt, "\x1b[>1;10;0c");   // VT220, firmware 1.0
    return;
  }
  if (p.marker) return;
  if (p.intermediate) {
    if (p.intermediate == '!' && final == 'p') soft_reset(vt);
    return;
  }
  switch (final) {
    case '@': insert_chars(vt, arg(0, 1)); break;
    case 'A': cursor_up(vt, arg(0, 1)); break;
    case 'B':
    case 'e': cursor_down(vt, arg(0, 1)); break;
    case 'C':
    case 'a': move_to(vt, c.row, c.col + arg(0, 1)); break;
    case 'D': move_to(vt, c.row, c.col - arg(0, 1)); break;
    case 'E':
      cursor_down(vt, arg(0, 1));
      c.col = 0;
      break;
    case 'F':
      cursor_up(vt, arg(0, 1));
      c.col = 0;
      break;
    case 'G':
    case '`': move_to(vt, c.row, arg(0, 1) - 1); break;
    case 'd': move_to_row(vt, arg(0, 1) - 1, c.col); break;
    case 'H':
    case 'f': move_to_row(vt, arg(0, 1) - 1, arg(1, 1) - 1); break;
    case 'I': tab_forward(vt, arg(0, 1)); break;
    case 'Z': tab_back(vt, arg(0, 1)); break;
    case 'J': erase_display(vt, raw(0)); break;
    case 'K': erase_line(vt, raw(0)); break;
    case 'X':
      std::fill(vt.cells[c.row] + c.col, vt.cells[c.row] + std::min(VTE_COLS, c.col + arg(0, 1)), blank(vt));
      break;
    case 'L':
    case 'M':
      if (c.row >= vt.top && c.row <= vt.bottom) {
        if (final == 'L')
          scroll_down(vt, c.row, vt.bottom, arg(0, 1));
        else
          scroll_up(vt, c.row, vt.bottom, arg(0, 1));
        c.col = 0;
        c.pending_wrap = false;
      }
      break;
    case 'P': delete_chars(vt, arg(0, 1)); break;
    case 'S': scroll_up(vt, vt.top, vt.bottom, arg(0, 1)); break;
    case 'T':
      if (count <= 1) scroll_down(vt, vt.top, vt.bottom, arg(0, 1));   // with more it is mouse tracking
      break;
    case 'g':
      if (raw(0) == 0) vt.tab_stop[c.col] = false;
      if (raw(0) == 3) std::fill(vt.tab_stop, vt.tab_stop + VTE_COLS, false);
      break;
    case 'h':
    case 'l':
      for (int i = 0; i < count; i++) set_ansi_mode(vt, p.params[i], final == 'h');
      break;
    case 'm': select_rendition(vt); break;
    case 'n':
      if (raw(0) == 5) answer(vt, "\x1b[0n");
      if (raw(0) == 6) {
        char text[32];
        int row = c.row + 1 - (c.origin ? vt.top : 0);
        answer(vt, text, snprintf(text, sizeof text, "\x1b[%d;%dR", row, c.col + 1));
      }
      break;
    case 'c':
      if (raw(0) == 0) primary_attributes(vt);
      break;
    case 'r': {
      int top = arg(0, 1) - 1, bottom = std::min(arg(1, VTE_ROWS), VTE_ROWS) - 1;
      if (top < bottom) {
        vt.top = top;
        vt.bottom = bottom;
        move_to(vt, c.origin ? top : 0, 0);
      }
      break;
    }
    case 's': save_cursor(vt); break;
    case 'u': restore_cursor(vt); break;
    default: break;   // reports, window operations, cursor styles: no effect here
  }
}

VteCharset charset_of(uint8_t final) {
  if (final == '0') return VTE_DEC_GRAPHICS;
  if (final == 'A') return VTE_UK;
  return VTE_ASCII;
}

void esc_dispatch(VtEmulator &vt, uint8_t final) {
  VteCursor &c = vt.cursor;
  switch (vt.parser.intermediate) {
    case '(': c.g[0] = charset_of(final); return;
    case ')': c.g[1] = charset_of(final); return;
    case '#':
      if (final == '8') {   // DECALN: the screen full of E
        vt.top = 0;
        vt.bottom = VTE_ROWS - 1;
        for (auto &row : vt.cells) std::fill(row, row + VTE_COLS, VteCell{'E', VTE_DEFAULT_ATTR});
        move_to(vt, 0, 0);
      }
      return;
    case 0: break;
    default: return;   // G2, G3 and the rest
  }
  switch (final) {
    case 'D': index_down(vt); break;
    case 'E':
      index_down(vt);
      c.col = 0;
      break;
    case 'M': reverse_index(vt); break;
    case 'H': vt.tab_stop[c.col] = true; break;
    case '7': save_cursor(vt); break;
    case '8': restore_cursor(vt); break;
    case 'c': vte_reset(vt, vt.utf8); break;
    case 'Z': primary_attributes(vt); break;
    default: break;   // keypad modes and the rest: no effect here
  }
}

void control(VtEmulator &vt, uint8_t b) {
  VteCursor &c = vt.cursor;
  switch (b) {
    case BS:
      if (c.col > 0) c.col--;
      c.pending_wrap = false;
      break;
    case HT: tab_forward(vt, 1); break;
    case LF:
    case VT:
    case FF: line_feed(vt); break;
    case CR:
      c.col = 0;
      c.pending_wrap = false;
      break;
    case SO: c.gl = 1; break;
    case SI: c.gl = 0; break;
    default: break;   // BEL never rings; ENQ has no answer-back
  }
}

void begin_sequence(VteParser &p, State state) {
  p.state = state;
  p.count = 0;
  p.marker = 0;
  p.intermediate = 0;
  p.string_esc = false;
}

void csi_byte(VtEmulator &vt, uint8_t b) {
  VteParser &p = vt.parser;
  if (b >= '0' && b <= '9') {
    if (p.intermediate) {
      p.state = S_CSI_IGNORE;
      return;
    }
    if (p.count == 0) {
      p.count = 1;
      p.params[0] = 0;
    }
    if (p.count <= VteParser::MAX_PARAMS) {
      uint16_t &v = p.params[p.count - 1];
      v = static_cast<uint16_t>(std::min<int>(v * 10 + (b - '0'), PARAM_MAX));
    }
  } else if (b == ';' || b == ':') {
    if (p.intermediate) {
      p.state = S_CSI_IGNORE;
      return;
    }
    if (p.count == 0) {
      p.count = 1;
      p.params[0] = 0;
    }
    if (p.count < PARAMS_OVERFLOW) {
      p.count++;
      if (p.count <= VteParser::MAX_PARAMS) p.params[p.count - 1] = 0;
    }
  } else if (b >= 0x3C && b <= 0x3F) {
    if (p.count == 0 && !p.marker && !p.intermediate)
      p.marker = static_cast<char>(b);
    else
      p.state = S_CSI_IGNORE;
  } else if (b >= 0x20 && b <= 0x2F) {
    if (!p.intermediate) p.intermediate = static_cast<char>(b);
  } else if (b >= 0x40 && b <= 0x7E) {
    p.state = S_GROUND;
    csi_dispatch(vt, b);
  }
}

void esc_byte(VtEmulator &vt, uint8_t b) {
  VteParser &p = vt.parser;
  if (b == '[') {
    begin_sequence(p, S_CSI);
  } else if (b == ']' || b == 'P' || b == 'X' || b == '^' || b == '_') {
    begin_sequence(p, S_STRING);
  } else if (b >= 0x20 && b <= 0x2F) {
    p.intermediate = static_cast<char>(b);
    p.state = S_ESC_INTER;
  } else {
    p.state = S_GROUND;
    esc_dispatch(vt, b);
  }
}

// A byte of the 7-bit stream (or, in code page 437, any byte).
void byte_in(VtEmulator &vt, uint8_t b) {
  VteParser &p = vt.parser;
  if (p.state == S_STRING) {
    // However long, a string is taken in whole: nothing of it is kept, so
    // nothing of it can spill out as text.
    if (p.string_esc) {
      p.string_esc = false;
      if (b == '\\') {
        p.state = S_GROUND;
        return;
      }
      begin_sequence(p, S_ESC);   // the ESC began another sequence
    } else {
      if (b == ESC) p.string_esc = true;
      if (b == BEL || b == CAN || b == SUB) p.state = S_GROUND;
      return;
    }
  }
  if (b == ESC) {
    begin_sequence(p, S_ESC);
    return;
  }
  if (b == CAN || b == SUB) {
    p.state = S_GROUND;
    return;
  }
  if (b < 0x20) {
    control(vt, b);   // controls act inside sequences too, as on a VT100
    return;
  }
  if (b == DEL) return;
  if (b >= 0x80) {
    // No part of a sequence: it is cut off, the byte is a character.
    p.state = S_GROUND;
    put_cell(vt, b);
    return;
  }
  switch (p.state) {
    case S_GROUND: put_ascii(vt, b); break;
    case S_ESC: esc_byte(vt, b); break;
    case S_ESC_INTER:
      if (b >= 0x30) {
        p.state = S_GROUND;
        esc_dispatch(vt, b);
      }
      break;
    case S_CSI: csi_byte(vt, b); break;
    case S_CSI_IGNORE:
      if (b >= 0x40) p.state = S_GROUND;
      break;
    default: break;
  }
}

// Characters a terminal shows in two cells, and marks that join the one
// before: the cells a full-screen program counts with.
bool is_wide(uint32_t u) {
  return (u >= 0x1100 && u <= 0x115F) || (u >= 0x2E80 && u <= 0xA4CF && u != 0x303F) || (u >= 0xAC00 && u <= 0xD7A3) ||
         (u >= 0xF900 && u <= 0xFAFF) || (u >= 0xFE30 && u <= 0xFE4F) || (u >= 0xFF00 && u <= 0xFF60) ||
         (u >= 0xFFE0 && u <= 0xFFE6) || (u >= 0x1F300 && u <= 0x1F64F) || (u >= 0x1F900 && u <= 0x1F9FF) ||
         (u >= 0x20000 && u <= 0x3FFFD);
}

bool is_zero_width(uint32_t u) {
  return (u >= 0x0300 && u <= 0x036F) || (u >= 0x200B && u <= 0x200F) || (u >= 0x20D0 && u <= 0x20FF) ||
         (u >= 0xFE00 && u <= 0xFE0F) || u == 0xFEFF;
}

// A character decoded from UTF-8 (from 0x80 up; NO_GLYPH for a broken one).
void code_point_in(VtEmulator &vt, uint32_t u) {
  VteParser &p = vt.parser;
  if (p.state == S_STRING) {
    p.string_esc = false;
    return;
  }
  if (u >= 0x80 && u < 0xA0) return;   // C1 controls are not taken in 8 bits
  if (is_zero_width(u) && p.state == S_GROUND) return;
  p.state = S_GROUND;
  put_cell(vt, vte_unicode_cp437(u));
  if (is_wide(u)) put_cell(vt, ' ');
}

void utf8_in(VtEmulator &vt, uint8_t b) {
  VteParser &p = vt.parser;
  if (p.need > 0) {
    if (b >= p.low && b <= p.high) {
      p.code = (p.code << 6) | (b & 0x3F);
      p.low = 0x80;
      p.high = 0xBF;
      if (--p.need == 0) code_point_in(vt, p.code);
      return;
    }
    // A character cut short is one stand-in; the byte starts afresh.
    p.need = 0;
    code_point_in(vt, NO_GLYPH);
  }
  if (b < 0x80) {
    byte_in(vt, b);
    return;
  }
  p.low = 0x80;
  p.high = 0xBF;
  if (b >= 0xC2 && b <= 0xDF) {
    p.need = 1;
    p.code = b & 0x1F;
  } else if (b >= 0xE0 && b <= 0xEF) {
    p.need = 2;
    p.code = b & 0x0F;
    if (b == 0xE0) p.low = 0xA0;    // no overlong forms
    if (b == 0xED) p.high = 0x9F;   // no surrogates
  } else if (b >= 0xF0 && b <= 0xF4) {
    p.need = 3;
    p.code = b & 0x07;
    if (b == 0xF0) p.low = 0x90;
    if (b == 0xF4) p.high = 0x8F;   // nothing past U+10FFFF
  } else {
    code_point_in(vt, NO_GLYPH);
  }
}

// Code page 437's glyphs outside ASCII (the control bytes' pictures and the
// upper half), sorted by code point.
struct GlyphEntry {
  uint32_t code_point;
  uint8_t byte;
};
const std::array<GlyphEntry, 160> &glyph_index() {
  static const std::array<GlyphEntry, 160> index = [] {
    std::array<GlyphEntry, 160> a{};
    size_t n = 0;
    for (int b = 1; b < 256; b++)
      if (b < 0x20 || b >= 0x7F) a[n++] = GlyphEntry{cp437_unicode(static_cast<uint8_t>(b)), static_cast<uint8_t>(b)};
    std::sort(a.begin(), a.end(), [](const GlyphEntry &x, const GlyphEntry &y) { return x.code_point < y.code_point; });
    return a;
  }();
  return index;
}

// Latin-1 letters without a glyph of their own, U+00C0-U+00FF, as their
// plain letter.
constexpr char LATIN1_PLAIN[] = "AAAAAAACEEEEIIIIDNOOOOOxOUUUUYPsaaaaaaaceeeeiiiidnooooo/ouuuuypy";

}  // namespace

uint8_t vte_attr(const VteRendition &r) {
  int fg = r.fg < 0 ? ANSI_LIGHT_GREY : r.fg;
  int bg = r.bg < 0 ? ANSI_BLUE : r.bg;
  if (r.bold) fg |= INTENSITY;
  if (r.blink) bg |= INTENSITY;
  if (r.reverse) std::swap(fg, bg);
  return static_cast<uint8_t>(console_colour(bg) << 4 | console_colour(fg));
}

int vte_nearest_colour(int r, int g, int b) {
  int best = 0;
  long best_distance = -1;
  for (int i = 0; i < 16; i++) {
    long dr = r - PALETTE[i][0], dg = g - PALETTE[i][1], db = b - PALETTE[i][2];
    long d = dr * dr + dg * dg + db * db;
    if (best_distance < 0 || d < best_distance) {
      best = i;
      best_distance = d;
    }
  }
  return best;
}

int vte_colour_256(int n) {
  if (n < 0 || n > 255) return -1;
  if (n < 16) return n;
  if (n >= 232) {
    int level = 8 + 10 * (n - 232);
    return vte_nearest_colour(level, level, level);
  }
  static constexpr int LEVELS[6] = {0, 95, 135, 175, 215, 255};
  int i = n - 16;
  return vte_nearest_colour(LEVELS[i / 36], LEVELS[(i / 6) % 6], LEVELS[i % 6]);
}

uint8_t vte_unicode_cp437(uint32_t u) {
  if (u >= 0x20 && u < 0x7F) return static_cast<uint8_t>(u);
  const auto &index = glyph_index();
  auto at = std::lower_bound(index.begin(), index.end(), u,
                             [](const GlyphEntry &e, uint32_t v) { return e.code_point < v; });
  if (at != index.end() && at->code_point == u) return at->byte;
  if (u >= 0xC0 && u <= 0xFF) return static_cast<uint8_t>(LATIN1_PLAIN[u - 0xC0]);
  switch (u) {
    case 0x2018: case 0x2019: case 0x201A: case 0x201B: case 0x2032: return '\'';
    case 0x201C: case 0x201D: case 0x201E: case 0x2033: return '"';
    case 0x2010: case 0x2011: case 0x2012: case 0x2013: case 0x2014: case 0x2015: case 0x2212: case 0x00AD:
      return '-';
    default: return NO_GLYPH;
  }
}

void vte_reset(VtEmulator &vt, bool utf8) {
  vt.cursor = VteCursor{};
  vt.saved = VteCursor{};
  vt.main_cursor = VteCursor{};
  vt.top = 0;
  vt.bottom = VTE_ROWS - 1;
  default_tabs(vt);
  vt.autowrap = true;
  vt.insert = false;
  vt.newline = false;
  vt.cursor_visible = true;
  vt.utf8 = utf8;
  vt.alternate = false;
  vt.parser = VteParser{};
  vt.answers.clear();
  for (auto &row : vt.cells) std::fill(row, row + VTE_COLS, VteCell{});
}

void vte_feed(VtEmulator &vt, const uint8_t *bytes, size_t n) {
  if (vt.utf8) {
    for (size_t i = 0; i < n; i++) utf8_in(vt, bytes[i]);
    return;
  }
  for (size_t i = 0; i < n; i++) {
    uint8_t b = bytes[i];
    // Plain text, the bulk of what comes, goes straight to the cells.
    if (vt.parser.state == S_GROUND && b >= 0x20 && b < DEL && vt.cursor.g[vt.cursor.gl] == VTE_ASCII)
      put_cell(vt, b);
    else
      byte_in(vt, b);
  }
}

void vte_own_text(VtEmulator &vt, const char *text, size_t n) {
  const VteParser device = vt.parser;
  vt.parser = VteParser{};
  static constexpr uint8_t CR_BYTE = CR;
  for (size_t i = 0; i < n; i++) {
    auto b = static_cast<uint8_t>(text[i]);
    if (b == LF) vte_feed(vt, &CR_BYTE, 1);
    vte_feed(vt, &b, 1);
  }
  vt.parser = device;
}
