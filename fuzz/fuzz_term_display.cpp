// The terminal's display rule for received bytes: debugging view, hex view
// and the BBS view, in reads of any size as the port gives them (a CR at the
// end of a read waits for the next one; after the last, no byte comes).
// Input: byte 0 picks the view (bit 0 BBS, bit 1 hex only) and seeds the cut
// of the rest into reads; the rest arrive from the port.
// Properties: the output column stays on the screen; the capture does not
// depend on how the reads were cut; the hex view writes each byte as " XX",
// with line breaks only, and reads back as the input; the debugging view
// writes only printable ASCII and line breaks, and so gives the screen
// nothing to answer; the BBS view captures every byte but BEL as it came.
#include <cctype>
#include <memory>
#include <string>

#include "fuzz_common.h"
#include "term/term_display.h"
#include "term/vt_emulator.h"

namespace {

int hex_value(char c) { return c <= '9' ? c - '0' : c - 'A' + 10; }

std::string capture_of(TermDisplay display, VtEmulator &screen, const uint8_t *data, size_t size, unsigned seed) {
  std::string capture;
  unsigned state = seed | 1u;
  size_t at = 0;
  while (at < size) {
    state = state * 1103515245u + 12345u;
    size_t piece = seed ? (state >> 16) % 9 : size - at;
    if (piece > size - at) piece = size - at;
    term_receive(display, screen, data + at, piece, capture);
    FUZZ_CHECK(display.column >= 1 && display.column <= TERM_COLUMNS);
    at += piece;
  }
  std::string tail;
  term_display_cr_alone(display, tail);
  return capture + tail;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  FuzzInput in{data, size};
  uint8_t view = in.take();
  TermDisplay display;
  display.bbs_mode = view & 1;
  display.hex_only = view & 2;
  auto screen = std::make_unique<VtEmulator>();
  vte_reset(*screen, false);
  const std::string capture = capture_of(display, *screen, in.data, in.size, 0);
  auto again = std::make_unique<VtEmulator>();
  vte_reset(*again, false);
  FUZZ_CHECK(capture_of(display, *again, in.data, in.size, view | 0x100u) == capture);
  const std::string received(reinterpret_cast<const char *>(in.data), in.size);
  if (display.hex_only) {
    std::string back;
    for (size_t i = 0; i < capture.size();) {
      if (capture.compare(i, 2, "\r\n") == 0) {
        i += 2;
        continue;
      }
      FUZZ_CHECK(i + 3 <= capture.size() && capture[i] == ' ');
      FUZZ_CHECK(isxdigit(static_cast<unsigned char>(capture[i + 1])) && isxdigit(static_cast<unsigned char>(capture[i + 2])));
      back += static_cast<char>(hex_value(capture[i + 1]) << 4 | hex_value(capture[i + 2]));
      i += 3;
    }
    FUZZ_CHECK(back == received);
  } else if (display.bbs_mode) {
    std::string expected;
    for (char c : received)
      if (c != '\a') expected += c;
    FUZZ_CHECK(capture == expected);
  } else {
    for (size_t i = 0; i < capture.size(); i++) {
      auto c = static_cast<uint8_t>(capture[i]);
      if (c == '\r') FUZZ_CHECK(i + 1 < capture.size() && capture[i + 1] == '\n');
      else if (c == '\n') FUZZ_CHECK(i > 0 && capture[i - 1] == '\r');
      else FUZZ_CHECK(c >= 0x20 && c < 0x7F);
    }
    FUZZ_CHECK(screen->answers.empty());
  }
  return 0;
}
