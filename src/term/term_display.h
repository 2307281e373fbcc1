// The terminal emulator's rules about bytes, free of ports and screens:
//   term_display_byte  what one received byte becomes in the capture file
//                      (the characters term_putc writes): the hex-only dump,
//                      the BBS view's bytes as they are (BEL left out), or
//                      the debugging view with control and non-ASCII bytes as
//                      <XX> and CR LF joined on one line. A CR in the
//                      debugging view waits for the next byte (cr_pending);
//                      term_display_cr_alone ends the wait when none came
//                      within about 100 ms
//   term_receive       a block of received bytes: the capture's characters,
//                      and the screen's: in the BBS view (hex-only off) the
//                      device's own bytes go to the emulator, in the other
//                      views the characters shown
//   hex_parse          the INSERT line: the bytes it sends and the first
//                      invalid character
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

struct VtEmulator;

// Past this the debugging and hex views break the line themselves.
constexpr int TERM_WRAP_COLUMN = 77;
constexpr int TERM_COLUMNS = 80;
// How long the byte after a CR may take to be joined with it.
constexpr int TERM_CR_JOIN_MS = 100;

struct TermDisplay {
  bool bbs_mode = false;
  bool hex_only = false;
  int column = 1;            // the output column, 1-based
  bool cr_pending = false;   // the debugging view's CR: the next byte decides
};

// Appends to out the characters written for the received byte b.
void term_display_byte(TermDisplay &display, uint8_t b, std::string &out);
// No byte followed the pending CR in time: the line break alone.
void term_display_cr_alone(TermDisplay &display, std::string &out);

// Appends to capture the characters of the received bytes and draws them.
// In the BBS view the emulator is fed the device's own bytes, BEL included:
// the capture leaves BEL out, but a string that a BEL ends must end.
void term_receive(TermDisplay &display, VtEmulator &screen, const uint8_t *bytes, size_t n,
                  std::string &capture);

struct HexSend {
  std::string bytes;   // to send, in order
  int invalid = -1;    // the byte value of the invalid character, or -1
};
HexSend hex_parse(const char *line);
