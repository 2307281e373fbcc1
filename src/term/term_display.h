// The terminal emulator's rules about bytes, free of ports and screens:
//   term_display_byte  what one received byte becomes on the screen and in
//                      the capture file (the characters term_putc writes):
//                      hex-only dump, BBS pass-through, or the debugging view
//                      with control and non-ASCII bytes as <XX> and CR LF
//                      joined on one line
//   bbs_filter         what of the device's bytes may reach the user's
//                      terminal in BBS mode: printable text, CR, LF, BS, TAB
//                      and CSI sequences for colours, erasing and cursor
//                      moves; any other escape sequence or control is
//                      dropped whole, also when split across calls
//   term_receive       both for one received byte: capture and screen
//   hex_parse          the INSERT line: the bytes it sends and the first
//                      invalid character
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

// Past this the debugging and hex views break the line themselves.
constexpr int TERM_WRAP_COLUMN = 77;
constexpr int TERM_COLUMNS = 80;

struct TermDisplay {
  bool bbs_mode = false;
  bool hex_only = false;
  int column = 1;   // the output column, 1-based
};

// The byte after a CR in the debugging view, as it arrives within about
// 100 ms, or -1 when none does.
typedef int (*NextByte)(void *context);

// Appends to out the characters written for the received byte b.
void term_display_byte(TermDisplay &display, uint8_t b, std::string &out, NextByte next, void *context);

struct BbsFilter {
  uint8_t state = 0;
  bool keep = true;       // the CSI sequence collected so far may pass
  std::string sequence;   // the CSI sequence collected so far
  size_t dropped = 0;     // bytes of a dropped string so far
};

// Appends to out what of bytes may reach the terminal.
void bbs_filter(BbsFilter &filter, const uint8_t *bytes, size_t n, std::string &out);
// Forgets a sequence in progress.
void bbs_filter_reset(BbsFilter &filter);

// One received byte as term_putc writes it (capture) and as it reaches the
// user's terminal (screen). In the BBS view the filter is fed the device's
// own bytes, BEL included: the display drops BEL, but a string that a BEL
// ends must not swallow the text after it.
void term_receive(TermDisplay &display, BbsFilter &filter, uint8_t b, NextByte next, void *context,
                  std::string &capture, std::string &screen);

struct HexSend {
  std::string bytes;   // to send, in order
  int invalid = -1;    // the byte value of the invalid character, or -1
};
HexSend hex_parse(const char *line);
