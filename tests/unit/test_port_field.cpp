// What the dialogs' port fields show: long names keep the end that tells
// ports apart, and two different ports never look alike.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "link/link_setup.h"

namespace {

std::vector<std::string> texts_for(const std::vector<std::string> &names, int width) {
  std::vector<const char *> list;
  for (const std::string &n : names) list.push_back(n.c_str());
  char texts[MAX_SERIAL_PORTS][PORT_FIELD_MAX + 1];
  port_field_texts(list.data(), static_cast<int>(list.size()), width, texts);
  return std::vector<std::string>(texts, texts + names.size());
}

}  // namespace

TEST(PortField, LongNamesKeepTheirEndAndNoTwoPortsLookAlike) {
  const std::string a30(30, 'a'), b30(30, 'b');
  struct Case {
    const char *name;
    std::vector<std::string> names;
    int width;
    std::vector<std::string> shown;
  } cases[] = {
      {"names that fit", {"ttyS0", "ttyUSB0"}, 7, {"ttyS0", "ttyUSB0"}},
      {"a long path keeps its end",
       {"/home/user/project/build/demo/modem.pty", "ttyS0"}, 30,
       {"...roject/build/demo/modem.pty", "ttyS0"}},
      {"paths with the same end show the start that differs",
       {"/srv/alice/projects/zl27t/build/demo/modem.pty", "/srv/bob/projects/zl27t/build/demo/modem.pty", "ttyUSB0"},
       30,
       {"/srv/a.../build/demo/modem.pty", "/srv/b.../build/demo/modem.pty", "ttyUSB0"}},
      {"paths alike at both ends show their place",
       {"/tmp/" + a30 + "/one/" + b30, "/tmp/" + a30 + "/two/" + b30}, 30,
       {"#1..." + b30.substr(0, 25), "..." + b30.substr(0, 27)}},
  };
  for (const Case &c : cases) {
    std::vector<std::string> shown = texts_for(c.names, c.width);
    EXPECT_EQ(shown, c.shown) << c.name;
    for (size_t i = 0; i < shown.size(); i++) {
      EXPECT_LE(shown[i].size(), static_cast<size_t>(c.width)) << c.name;
      for (size_t j = 0; j < i; j++) {
        if (c.names[i] != c.names[j]) {
          EXPECT_NE(shown[i], shown[j]) << c.name;
        }
      }
    }
  }
}
