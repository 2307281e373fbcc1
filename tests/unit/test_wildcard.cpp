#include <gtest/gtest.h>

#include "forms/file_picker.h"

TEST(Wildcard, PatternLanguage) {
  struct Case {
    const char *pattern, *name;
    bool match;
  } cases[] = {
      {"*.ZLE", "A.ZLE", true},
      {"*.ZLE", "A.ZLX", false},
      {"*.ZLE", ".ZLE", true},
      {"*.ZLE", "PLANT1.ZLE.BAK", false},
      {"*.ZLE", "a.zle", false},   // case-sensitive: the picker upper-cases names first
      {"LOG(1-5,9)", "LOG3", true},
      {"LOG(1-5,9)", "LOG9", true},
      {"LOG(1-5,9)", "LOG7", false},
      {"LOG(1-5,9)", "LOG1", true},
      {"LOG(1-5,9)", "LOG5", true},
      {"LOG(1-5,9)", "LOG", false},
      {"LOG(1-5,9)", "LOG35", false},     // all digits are taken: 35
      {"LOG(10-)", "LOG123", true},
      {"LOG(10-)", "LOG9", false},
      {"LOG(7).TXT", "LOG7.TXT", true},
      {"LOG(7).TXT", "LOG007.TXT", true},
      {"F(1-2)", "F99999999999999999999999", false},   // huge numbers saturate
      {"?#", "A1", true},
      {"?#", "11", false},
      {"?#", "a1", true},
      {"?#", "A12", false},
      {"[A-CX]*", "BETA", true},
      {"[A-CX]*", "XRAY", true},
      {"[A-CX]*", "DELTA", false},
      {"[A-]", "-", true},                // '-' before ']' is plain
      {"[A-]", "B", false},
      {"[AB", "B", true},                 // unclosed list ends with the pattern
      {"==", "AB", true},
      {"==", "A", false},
      {"A*B*C", "AXXBYYC", true},
      {"A*B*C", "AXXBYY", false},
      {"*(5)", "15", true},               // the star takes the 1
      {"*=(12)*", "X12345", false},
      // Many stars: answered at once, not after trying every split.
      {"*A*A*A*A*A*A*A*A*A*A*A*A*A*A*A*A*B", "AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA", false},
      {"**********(3)*", "A3B", true},
      {"*", "", true},
      {"", "", true},
      {"", "A", false},
  };
  for (const Case &c : cases) {
    EXPECT_EQ(wildcard_match(c.pattern, c.name), c.match) << c.pattern << " vs " << c.name;
  }
}
