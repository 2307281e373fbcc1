// The terminal's hex sending line.
// Input: byte 0 even: the rest is a line as typed (cut at a NUL); odd: the
// rest are bytes, written as a line the way a user writes them ("0A 1b ff")
// and read back.
// Properties: a line is refused exactly when it holds a character that is
// neither a hex digit nor a blank, and the first such character is named;
// an accepted line sends one byte per blank after the leading ones, plus one
// for a last run of digits; bytes written as a line read back as themselves.
#include <cstring>
#include <string>

#include "fuzz_common.h"
#include "term/term_display.h"

namespace {

bool hex_digit(char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f'); }

void check_line(const std::string &line) {
  HexSend h = hex_parse(line.c_str());
  size_t bad = 0;
  while (bad < line.size() && (line[bad] == ' ' || hex_digit(line[bad]))) bad++;
  if (bad < line.size()) {
    FUZZ_CHECK(h.invalid == static_cast<uint8_t>(line[bad]));
    return;
  }
  FUZZ_CHECK(h.invalid == -1);
  size_t start = line.find_first_not_of(' ');
  size_t expected = 0;
  if (start != std::string::npos) {
    for (size_t i = start; i < line.size(); i++) expected += line[i] == ' ';
    expected += line.back() != ' ';
  }
  FUZZ_CHECK(h.bytes.size() == expected);
}

void check_round_trip(const uint8_t *data, size_t size, bool lower) {
  static const char upper_digits[] = "0123456789ABCDEF", lower_digits[] = "0123456789abcdef";
  const char *digits = lower ? lower_digits : upper_digits;
  std::string line = " ";
  for (size_t i = 0; i < size; i++) {
    line += digits[data[i] >> 4];
    line += digits[data[i] & 15];
    line += ' ';
  }
  HexSend h = hex_parse(line.c_str());
  FUZZ_CHECK(h.invalid == -1);
  FUZZ_CHECK(h.bytes == std::string(reinterpret_cast<const char *>(data), size));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  FuzzInput in{data, size};
  uint8_t mode = in.take();
  if ((mode & 1) == 0) {
    std::string line(reinterpret_cast<const char *>(in.data), in.size);
    line.resize(strnlen(line.c_str(), line.size()));
    check_line(line);
  } else {
    check_round_trip(in.data, in.size, mode & 2);
  }
  return 0;
}
