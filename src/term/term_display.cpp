// Display rule, BBS filter and hex lines of the terminal emulator.
#include "term/term_display.h"

#include <cstring>

namespace {

constexpr char HEX_DIGITS[] = "0123456789ABCDEF";
constexpr uint8_t BEL = 0x07, BS = 0x08, TAB = 0x09, LF = 0x0A, CR = 0x0D;
constexpr uint8_t CAN = 0x18, SUB = 0x1A, ESC = 0x1B, DEL = 0x7F;
constexpr int HEX_ONLY_WIDTH = 3;    // " XX"
constexpr int BRACKETED_WIDTH = 4;   // "<XX>"

void put_hex(std::string &out, uint8_t b) {
  out += HEX_DIGITS[b >> 4];
  out += HEX_DIGITS[b & 0x0F];
}

void put_bracketed(std::string &out, uint8_t b) {
  out += '<';
  put_hex(out, b);
  out += '>';
}

void new_line(std::string &out, TermDisplay &d) {
  out += "\r\n";
  d.column = 1;
}

void advance(TermDisplay &d, int width) {
  d.column += width;
  if (d.column > TERM_COLUMNS) d.column -= TERM_COLUMNS;
}

// A CR in the debugging view: the byte after it decides whether the line
// break follows <0D> or <0D><0A>.
void after_cr(TermDisplay &d, std::string &out, NextByte next, void *context) {
  int x = next ? next(context) : -1;
  if (x < 0) {
    new_line(out, d);
  } else if (x == LF) {
    if (d.column > TERM_WRAP_COLUMN) out += "\r\n";
    put_bracketed(out, LF);
    new_line(out, d);
  } else {
    new_line(out, d);
    // DEL is a control byte like any other here: written as it is it would
    // show nothing, and the debugging view promises every byte.
    if (x >= 0x20 && x < DEL) {
      out += static_cast<char>(x);
      d.column = 2;
    } else {
      put_bracketed(out, static_cast<uint8_t>(x));
      d.column = 1 + BRACKETED_WIDTH;
    }
  }
}

}  // namespace

void term_display_byte(TermDisplay &d, uint8_t b, std::string &out, NextByte next, void *context) {
  if (d.hex_only) {
    out += ' ';
    put_hex(out, b);
    d.column += HEX_ONLY_WIDTH;
    if (d.column > TERM_WRAP_COLUMN) new_line(out, d);
    return;
  }
  if (d.bbs_mode) {
    if (b == BEL) return;
    out += static_cast<char>(b);
    advance(d, 1);
    return;
  }
  if (b >= 0x20 && b < DEL) {
    out += static_cast<char>(b);
    advance(d, 1);
    return;
  }
  if (d.column > TERM_WRAP_COLUMN) new_line(out, d);
  put_bracketed(out, b);
  d.column += BRACKETED_WIDTH;
  if (d.column > TERM_COLUMNS) {
    // The bracket filled the line: the terminal's wrap is the line break.
    d.column -= TERM_COLUMNS;
    return;
  }
  if (b == CR) after_cr(d, out, next, context);
}

// --- BBS filter ---

namespace {

enum FilterState : uint8_t {
  F_TEXT,
  F_ESC,         // after ESC
  F_ESC_MORE,    // ESC and intermediates, waiting for the final byte
  F_CSI,         // ESC [ and what followed
  F_STRING,      // OSC, DCS, APC, PM or SOS: dropped up to its end
  F_STRING_ESC,  // ESC inside a string: ST, or a new sequence
};

// Longer CSI sequences are nothing a BBS needs; they are dropped.
constexpr size_t MAX_CSI = 32;
// A string that never ends stops hiding the text after it at some point;
// its introducer is gone, so what follows is plain text to the terminal.
constexpr size_t MAX_STRING = 4096;

bool passes_as_control(uint8_t b) { return b == CR || b == LF || b == BS || b == TAB; }

// CSI finals that only colour, erase or move the cursor.
bool allowed_csi(const std::string &seq) {
  // seq is ESC [ params final; params are already known to be digits, ';'
  // and ':' only.
  char final = seq.back();
  std::string params = seq.substr(2, seq.size() - 3);
  switch (final) {
    case 'm':                          // colours and attributes
    case 'K': case 'X':                // erase in line, erase characters
    case 'A': case 'B': case 'C': case 'D': case 'E': case 'F': case 'G':
    case 'H': case 'f': case 'd': case '`':   // cursor moves
      return true;
    case 'J': return params.find('3') == std::string::npos;   // 3 would wipe the user's scroll-back
    case 's': case 'u': return params.empty();   // save and restore the cursor
    default: return false;
  }
}

void csi_byte(BbsFilter &f, uint8_t b, std::string &out) {
  if (b >= 0x40 && b <= 0x7E) {
    f.sequence += static_cast<char>(b);
    if (f.keep && allowed_csi(f.sequence)) out += f.sequence;
    f.sequence.clear();
    f.state = F_TEXT;
    return;
  }
  bool param = (b >= '0' && b <= '9') || b == ';' || b == ':';
  // Private markers (< = > ?) and intermediates make modes, reports and
  // resets: none of them passes.
  if (!param) f.keep = false;
  if (f.sequence.size() < MAX_CSI)
    f.sequence += static_cast<char>(b);
  else
    f.keep = false;
}

}  // namespace

void bbs_filter_reset(BbsFilter &f) {
  f.state = F_TEXT;
  f.keep = true;
  f.sequence.clear();
  f.dropped = 0;
}

void bbs_filter(BbsFilter &f, const uint8_t *bytes, size_t n, std::string &out) {
  for (size_t i = 0; i < n; i++) {
    uint8_t b = bytes[i];
    if (f.state == F_STRING || f.state == F_STRING_ESC) {
      if (f.state == F_STRING_ESC && b != '\\') {
        // The ESC began another sequence.
        f.state = F_ESC;
      } else if (f.state == F_STRING_ESC || b == BEL || b == CAN || b == SUB) {
        f.state = F_TEXT;
        continue;
      } else {
        if (b == ESC) f.state = F_STRING_ESC;
        else if (++f.dropped > MAX_STRING) f.state = F_TEXT;
        continue;
      }
    }
    if (f.state == F_TEXT) {
      if (b == ESC) {
        f.state = F_ESC;
      } else if (b >= 0x20 ? b != DEL : passes_as_control(b)) {
        out += static_cast<char>(b);
      }
      continue;
    }
    // Inside an escape sequence, as a terminal would take it.
    if (b == CAN || b == SUB) {
      bbs_filter_reset(f);
      continue;
    }
    if (b == ESC) {
      bbs_filter_reset(f);
      f.state = F_ESC;
      continue;
    }
    if (b < 0x20) {
      if (passes_as_control(b)) out += static_cast<char>(b);
      continue;
    }
    if (b == DEL) continue;
    if (b >= 0x80) {
      // No part of a sequence: the sequence is cut off, the byte is text.
      bbs_filter_reset(f);
      out += static_cast<char>(b);
      continue;
    }
    switch (f.state) {
      case F_ESC:
        if (b == '[') {
          f.state = F_CSI;
          f.keep = true;
          f.sequence = "\x1b[";
        } else if (b == ']' || b == 'P' || b == '_' || b == '^' || b == 'X') {
          f.state = F_STRING;
          f.dropped = 0;
        } else if (b < 0x30) {
          f.state = F_ESC_MORE;
        } else {
          f.state = F_TEXT;   // a two-byte sequence: dropped
        }
        break;
      case F_ESC_MORE:
        if (b >= 0x30) f.state = F_TEXT;
        break;
      case F_CSI:
        csi_byte(f, b, out);
        break;
      default:
        break;
    }
  }
}

void term_receive(TermDisplay &display, BbsFilter &filter, uint8_t b, NextByte next, void *context,
                  std::string &capture, std::string &screen) {
  size_t from = capture.size();
  term_display_byte(display, b, capture, next, context);
  if (display.bbs_mode && !display.hex_only)
    bbs_filter(filter, &b, 1, screen);
  else
    screen.append(capture, from, std::string::npos);
}

// --- hex lines ---

namespace {
int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}
}  // namespace

HexSend hex_parse(const char *line) {
  HexSend h;
  const char *p = line;
  while (*p == ' ') p++;
  uint8_t value = 0;
  bool pending = false;
  for (; *p; p++) {
    pending = true;
    if (*p == ' ') {
      // Each blank ends a byte, so two blanks in a row send a 0 between them.
      h.bytes += static_cast<char>(value);
      value = 0;
      pending = false;
      continue;
    }
    int digit = hex_value(*p);
    if (digit < 0) {
      h.invalid = static_cast<uint8_t>(*p);
      return h;
    }
    // Of a longer run of digits only the last two count.
    value = static_cast<uint8_t>((value << 4) | digit);
  }
  if (pending) h.bytes += static_cast<char>(value);
  return h;
}
