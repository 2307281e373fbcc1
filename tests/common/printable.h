// Bytes as a readable string for test messages: printable ASCII as it is,
// every other byte as <XX>.
#pragma once
#include <cstdio>
#include <string>

inline std::string printable(const std::string &s) {
  std::string r;
  char buf[8];
  for (unsigned char c : s) {
    snprintf(buf, sizeof buf, c >= 0x20 && c < 0x7f ? "%c" : "<%02X>", c);
    r += buf;
  }
  return r;
}
