// BBS filter: what of a device's bytes may reach the user's terminal.
// Input: byte 0 seeds the cut of the rest into pieces (as reads deliver
// them), the rest is what the device sent.
// Properties: the output does not depend on how the bytes were cut; it holds
// no control byte but CR, LF, BS and TAB, no DEL, and Esc only as the start
// of a CSI sequence of digits, ';' and ':' that colours, erases (not the
// scroll-back) or moves the cursor.
#include <cstring>
#include <string>

#include "fuzz_common.h"
#include "term/term_display.h"

namespace {

std::string filter_in_pieces(const uint8_t *data, size_t size, uint8_t seed) {
  BbsFilter f;
  std::string out;
  unsigned state = seed | 1u;
  size_t at = 0;
  while (at < size) {
    state = state * 1103515245u + 12345u;
    size_t piece = (state >> 16) % 9;   // empty pieces too
    if (piece > size - at) piece = size - at;
    bbs_filter(f, data + at, piece, out);
    at += piece;
  }
  return out;
}

bool allowed_final(char final, const std::string &params) {
  if (strchr("mKXABCDEFGHfd`", final)) return true;
  if (final == 'J') return params.find('3') == std::string::npos;
  if (final == 's' || final == 'u') return params.empty();
  return false;
}

void check_output(const std::string &out) {
  for (size_t i = 0; i < out.size(); i++) {
    auto b = static_cast<uint8_t>(out[i]);
    if (b == 0x1b) {
      FUZZ_CHECK(i + 1 < out.size() && out[i + 1] == '[');
      size_t j = i + 2;
      while (j < out.size() && ((out[j] >= '0' && out[j] <= '9') || out[j] == ';' || out[j] == ':')) j++;
      FUZZ_CHECK(j < out.size() && allowed_final(out[j], out.substr(i + 2, j - i - 2)));
      i = j;
      continue;
    }
    FUZZ_CHECK(b != 0x7F);
    if (b < 0x20) FUZZ_CHECK(b == '\r' || b == '\n' || b == '\b' || b == '\t');
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  FuzzInput in{data, size};
  uint8_t seed = in.take();
  BbsFilter whole;
  std::string out;
  bbs_filter(whole, in.data, in.size, out);
  check_output(out);
  FUZZ_CHECK(filter_in_pieces(in.data, in.size, seed) == out);
  return 0;
}
