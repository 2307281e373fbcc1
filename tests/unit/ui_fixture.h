// A fresh memory console for each UI test.
#pragma once
#include <gtest/gtest.h>

#include <initializer_list>
#include <string>

#include "platform/console.h"
#include "ui/screen.h"
#include "ui/ui.h"

class UiTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(ui_init(CONSOLE_MEMORY));
    mem_console_log().clear();
  }
  void TearDown() override { ui_shutdown(); }

  // Text of 1-based row as the console shows it.
  static std::string row(int r) { return mem_console_row_text(r - 1); }
  // Writes logged since the last clear, as "row,col:text" (1-based).
  static std::string writes() {
    std::string out;
    for (const ConRun &run : mem_console_log())
      if (run.op == 'w') out += std::to_string(run.row + 1) + "," + std::to_string(run.col + 1) + ":" + run.text + ";";
    return out;
  }
  static int shadow_index(int r, int c) { return shadow_attrs[(r - 1) * SCR_COLS + (c - 1)]; }
};

// The screen layer writes a field as several runs; join runs that continue
// one another on a row before looking for a text.
inline bool log_has(const char *text) {
  std::string joined;
  int row = -1, end = -1;
  for (const ConRun &r : mem_console_log()) {
    if (r.op != 'w') continue;
    if (r.row != row || r.col != end) {
      if (joined.find(text) != std::string::npos) return true;
      joined.clear();
    }
    joined += r.text;
    row = r.row;
    end = r.col + static_cast<int>(r.text.size());
  }
  return joined.find(text) != std::string::npos;
}

inline std::string keys(std::initializer_list<int> codes) {
  std::string s;
  for (int c : codes) s += static_cast<char>(c);
  return s;
}
