// A fresh memory console for each UI test.
#pragma once
#include <gtest/gtest.h>

#include <string>

#include "platform/console.h"
#include "ui/screen.h"

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
