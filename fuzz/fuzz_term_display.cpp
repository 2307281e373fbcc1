// The terminal's display rule for received bytes: debugging view, hex view
// and the BBS view with its filter, one byte at a time as the port gives
// them (the byte after a CR is read ahead, as the terminal does).
// Input: byte 0 picks the view (bit 0 BBS, bit 1 hex only), the rest arrive
// from the port.
// Properties: the output column stays on the screen; the hex view writes
// each byte as " XX", with line breaks only, and reads back as the input;
// the debugging view writes only printable ASCII and line breaks; the BBS
// view captures every byte but BEL as it came.
#include <cctype>
#include <string>

#include "fuzz_common.h"
#include "term/term_display.h"

namespace {

int read_ahead(void *context) {
  auto *in = static_cast<FuzzInput *>(context);
  return in->empty() ? -1 : in->take();
}

int hex_value(char c) { return c <= '9' ? c - '0' : c - 'A' + 10; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  FuzzInput in{data, size};
  uint8_t view = in.take();
  TermDisplay display;
  display.bbs_mode = view & 1;
  display.hex_only = view & 2;
  BbsFilter filter;
  std::string capture, screen;
  std::string received;   // every byte the port gave, read-ahead included
  FuzzInput port = in;
  while (!port.empty()) {
    const uint8_t *before = port.data;
    uint8_t b = port.take();
    term_receive(display, filter, b, read_ahead, &port, capture, screen);
    received.append(reinterpret_cast<const char *>(before), static_cast<size_t>(port.data - before));
    FUZZ_CHECK(display.column >= 1 && display.column <= TERM_COLUMNS);
  }
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
    FUZZ_CHECK(screen == capture);
  }
  return 0;
}
