// The BBS display's emulator: whatever a device sends.
// Input: byte 0 picks the character set (bit 0 UTF-8) and seeds the cut of
// the rest into pieces (as reads deliver them); the rest is what the device
// sent.
// Properties: the screen, the cursor and the answers do not depend on how
// the bytes were cut; the cursor stays on the screen and the scroll region
// is one; the answers are bounded and are only the replies a VT220 gives
// (ESC [ ... R, ESC [ 0 n, ESC [ ? 62 ; 1 ; 6 c, ESC [ > 1 ; 10 ; 0 c).
#include <cstring>
#include <memory>
#include <string>

#include "fuzz_common.h"
#include "term/vt_emulator.h"

namespace {

void feed_in_pieces(VtEmulator &vt, const uint8_t *data, size_t size, uint8_t seed) {
  unsigned state = seed | 1u;
  size_t at = 0;
  while (at < size) {
    state = state * 1103515245u + 12345u;
    size_t piece = (state >> 16) % 9;   // empty pieces too
    if (piece > size - at) piece = size - at;
    vte_feed(vt, data + at, piece);
    at += piece;
  }
}

bool is_answer(const std::string &a, size_t &i) {
  for (const char *fixed : {"\x1b[0n", "\x1b[?62;1;6c", "\x1b[>1;10;0c"})
    if (a.compare(i, strlen(fixed), fixed) == 0) {
      i += strlen(fixed);
      return true;
    }
  // A cursor position: ESC [ row ; column R
  if (a.compare(i, 2, "\x1b[") != 0) return false;
  size_t j = i + 2;
  int row = 0, col = 0;
  while (j < a.size() && a[j] >= '0' && a[j] <= '9') row = row * 10 + (a[j++] - '0');
  if (j >= a.size() || a[j++] != ';') return false;
  while (j < a.size() && a[j] >= '0' && a[j] <= '9') col = col * 10 + (a[j++] - '0');
  if (j >= a.size() || a[j++] != 'R') return false;
  if (row < 1 || row > VTE_ROWS || col < 1 || col > VTE_COLS) return false;
  i = j;
  return true;
}

void check(const VtEmulator &vt) {
  FUZZ_CHECK(vt.cursor.row >= 0 && vt.cursor.row < VTE_ROWS && vt.cursor.col >= 0 && vt.cursor.col < VTE_COLS);
  FUZZ_CHECK(vt.top >= 0 && vt.top < vt.bottom && vt.bottom < VTE_ROWS);
  FUZZ_CHECK(vt.answers.size() <= VTE_MAX_ANSWERS);
  for (size_t i = 0; i < vt.answers.size();) FUZZ_CHECK(is_answer(vt.answers, i));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  FuzzInput in{data, size};
  uint8_t head = in.take();
  bool utf8 = head & 1;
  auto whole = std::make_unique<VtEmulator>();
  auto pieces = std::make_unique<VtEmulator>();
  vte_reset(*whole, utf8);
  vte_reset(*pieces, utf8);
  vte_feed(*whole, in.data, in.size);
  feed_in_pieces(*pieces, in.data, in.size, head);
  check(*whole);
  FUZZ_CHECK(memcmp(whole->cells, pieces->cells, sizeof whole->cells) == 0);
  FUZZ_CHECK(whole->cursor.row == pieces->cursor.row && whole->cursor.col == pieces->cursor.col);
  FUZZ_CHECK(whole->cursor.attr == pieces->cursor.attr && whole->answers == pieces->answers);
  return 0;
}
