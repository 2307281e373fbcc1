// Number lists (routes and drops): the text a user typed, and a list image
// from a setup file shown as text and read back.
// Input: first byte even: the rest is text (cut at a NUL) parsed as a list;
// odd: the rest is an 18-byte list image, formatted, then parsed again.
// Properties: a parsed list has at most 8 numbers, one per digit run, each
// the run's value modulo 65536; formatting a list and parsing the text gives
// the same numbers (the first 8 of an over-long count).
#include <cstring>
#include <string>

#include "forms/forms.h"
#include "fuzz_common.h"

namespace {

void check_parse(const std::string &text) {
  NumberList list;
  memset(&list, 0xEE, sizeof list);
  FUZZ_CHECK(parse_value(&list, text.c_str(), DT_NUMBER_LIST, 31));
  FUZZ_CHECK(list.count <= NUMBER_LIST_MAX);
  // The digit runs, the slow way.
  unsigned runs = 0;
  size_t i = 0;
  while (i < text.size()) {
    if (text[i] < '0' || text[i] > '9') {
      i++;
      continue;
    }
    unsigned long long v = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; i++) v = (v * 10 + (text[i] - '0')) % 65536;
    if (runs < NUMBER_LIST_MAX) FUZZ_CHECK(list.numbers[runs] == v);
    runs++;
  }
  FUZZ_CHECK(list.count == (runs < NUMBER_LIST_MAX ? runs : NUMBER_LIST_MAX));
}

void check_round_trip(const NumberList &image) {
  char text[64];
  FUZZ_CHECK(format_value(text, sizeof text, &image, DT_NUMBER_LIST, 31));
  FUZZ_CHECK(memchr(text, 0, sizeof text) != nullptr);
  NumberList back{};
  FUZZ_CHECK(parse_value(&back, text, DT_NUMBER_LIST, 31));
  int count = image.count < NUMBER_LIST_MAX ? image.count : NUMBER_LIST_MAX;
  FUZZ_CHECK(back.count == count);
  for (int i = 0; i < count; i++) FUZZ_CHECK(back.numbers[i] == image.numbers[i]);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  FuzzInput in{data, size};
  if ((in.take() & 1) == 0) {
    std::string text(reinterpret_cast<const char *>(in.data), in.size);
    text.resize(strnlen(text.c_str(), text.size()));
    check_parse(text);
  } else {
    NumberList image{};
    memcpy(&image, in.data, in.size < sizeof image ? in.size : sizeof image);
    check_round_trip(image);
  }
  return 0;
}
