// Feeds a file to the BBS display's emulator and prints the grid, for the
// comparison with another emulator: per row the 80 characters (UTF-8), then
// per cell the foreground and background as ANSI colour indexes (one hex
// digit each), then "cursor ROW COL" (0-based). Bytes 0x80-0xFF as code
// page 437, or with --utf8 as UTF-8.
//   zl27t_vte_dump [--utf8] FILE
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>

#include "platform/console.h"
#include "term/vt_emulator.h"

namespace {

int ansi_colour(int console) { return (console & 8) | ((console & 1) << 2) | (console & 2) | ((console & 4) >> 2); }

void put_utf8(uint32_t u, std::string &out) {
  if (u < 0x80) {
    out += static_cast<char>(u);
  } else if (u < 0x800) {
    out += static_cast<char>(0xC0 | (u >> 6));
    out += static_cast<char>(0x80 | (u & 0x3F));
  } else {
    out += static_cast<char>(0xE0 | (u >> 12));
    out += static_cast<char>(0x80 | ((u >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (u & 0x3F));
  }
}

}  // namespace

int main(int argc, char **argv) {
  bool utf8 = argc > 2 && !strcmp(argv[1], "--utf8");
  if (argc != (utf8 ? 3 : 2)) {
    fprintf(stderr, "usage: zl27t_vte_dump [--utf8] FILE\n");
    return 2;
  }
  std::ifstream in(argv[argc - 1], std::ios::binary);
  if (!in) return 1;
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  static VtEmulator vt;
  vte_reset(vt, utf8);
  vte_feed(vt, reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size());
  std::string out;
  for (const auto &row : vt.cells) {
    for (const VteCell &c : row) put_utf8(cp437_unicode(c.ch), out);
    out += '\n';
    for (const VteCell &c : row) {
      static const char HEX[] = "0123456789abcdef";
      out += HEX[ansi_colour(c.attr & 0x0F)];
      out += HEX[ansi_colour(c.attr >> 4)];
    }
    out += '\n';
  }
  printf("%scursor %d %d\n", out.c_str(), vt.cursor.row, vt.cursor.col);
  return 0;
}
