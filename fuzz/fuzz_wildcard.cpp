// wildcard_match: the file picker's patterns against directory entries.
// Input: pattern, a NUL byte, then the name (no NUL: all pattern, empty name).
// Properties: a pattern without special characters matches exactly the same
// name; "*" alone, and "*" then the name's own text, match it.
#include <cstring>
#include <string>

#include "forms/file_picker.h"
#include "fuzz_common.h"

namespace {

bool plain(const std::string &s) { return s.find_first_of("=#?*[(") == std::string::npos; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  // Names are file names: bounded, as a directory entry is.
  if (size > 2 * PICK_NAME_SIZE) return 0;
  const char *text = reinterpret_cast<const char *>(data);
  const void *nul = memchr(data, 0, size);
  size_t split = nul ? static_cast<const uint8_t *>(nul) - data : size;
  std::string pattern(text, split);
  std::string name;
  if (nul) {
    name.assign(text + split + 1, size - split - 1);
    name.resize(strnlen(name.c_str(), name.size()));
  }
  bool match = wildcard_match(pattern.c_str(), name.c_str());
  if (plain(pattern)) FUZZ_CHECK(match == (pattern == name));
  if (plain(name)) FUZZ_CHECK(wildcard_match(("*" + name).c_str(), name.c_str()));
  FUZZ_CHECK(wildcard_match("*", name.c_str()));
  return 0;
}
