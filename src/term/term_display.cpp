// Display rule and hex lines of the terminal emulator.
#include "term/term_display.h"

#include <cstring>

#include "term/vt_emulator.h"

namespace {

constexpr char HEX_DIGITS[] = "0123456789ABCDEF";
constexpr uint8_t BEL = 0x07, LF = 0x0A, CR = 0x0D;
constexpr uint8_t DEL = 0x7F;
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

// A CR in the debugging view: the byte after it (-1: none came) decides
// whether the line break follows <0D> or <0D><0A>.
void after_cr(TermDisplay &d, std::string &out, int x) {
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

void term_display_cr_alone(TermDisplay &d, std::string &out) {
  if (!d.cr_pending) return;
  d.cr_pending = false;
  after_cr(d, out, -1);
}

void term_display_byte(TermDisplay &d, uint8_t b, std::string &out) {
  if (d.cr_pending) {
    d.cr_pending = false;
    after_cr(d, out, b);
    return;
  }
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
  if (b == CR) d.cr_pending = true;
}

void term_receive(TermDisplay &display, VtEmulator &screen, const uint8_t *bytes, size_t n,
                  std::string &capture) {
  size_t from = capture.size();
  for (size_t i = 0; i < n; i++) term_display_byte(display, bytes[i], capture);
  if (display.bbs_mode && !display.hex_only)
    vte_feed(screen, bytes, n);
  else
    vte_feed(screen, reinterpret_cast<const uint8_t *>(capture.data() + from), capture.size() - from);
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
