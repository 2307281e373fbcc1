#include <string>

#include "app/app.h"
#include "platform/keyboard.h"
#include "ui/keys.h"
#include "ui/menu.h"
#include "ui_fixture.h"

namespace {
const char *const titles[] = {"oNline", "oFfline", "Utility", "Setup", "Quit", nullptr};
std::string k(KeyCode c) { return std::string(1, static_cast<char>(c)); }
}  // namespace

TEST(MenuColumns, FiveTitlesOfTheMainMenu) {
  int bar[5], pull[5];
  menu_bar_columns(titles, 5, bar);
  menu_pulldown_columns(titles, 5, pull);
  EXPECT_EQ(std::vector<int>(bar, bar + 5), (std::vector<int>{1, 19, 38, 57, 74}));
  EXPECT_EQ(std::vector<int>(pull, pull + 5), (std::vector<int>{1, 17, 34, 51, 66}));
}

using Menu = UiTest;

TEST_F(Menu, ChoicesFromKeys) {
  struct { const char *name; std::string keys; int initial, code; } cases[] = {
      {"hot letters", "fw", 0, 202},
      {"enter on a title without items", "\r", 0, 100},
      {"arrows and enter", k(KEY_RIGHT) + k(KEY_RIGHT) + "\r" + k(KEY_DOWN) + k(KEY_DOWN) + "\r", 0, 303},
      {"quit by letter", "q", 0, 500},
      {"esc on the bar", "\x1b", 0, 0},
      {"esc in a pull-down goes back to the bar", "f\x1b" "\r\r", 0, 201},
      {"initial reopens on the last choice", "\r\r", 205, 205},
      {"arrows stop at the ends", k(KEY_LEFT) + "\r", 0, 100},
  };
  for (auto &t : cases) {
    key_queue_reset();
    push_keys(t.keys.c_str());
    EXPECT_EQ(menu_bar_run(main_menu, 4, t.initial), t.code) << t.name;
    EXPECT_EQ(win_stack_depth(), 0) << t.name;
  }
}

// Left and Right inside a pull-down queue keys of their own, so these are
// typed at the keyboard, behind the queue.
TEST_F(Menu, LeftAndRightMoveBetweenPullDowns) {
  struct { const char *name, *typed; int code; } cases[] = {
      {"left from the second pull-down stays on oNline", "f\x1b[D\r", 100},
      {"right from Setup waits on Quit", "s\x1b[C\r", 500},
      {"right from oFfline opens Utility", "f\x1b[Cl", 304},
      {"left from Utility opens oFfline", "u\x1b[Dw", 202},
  };
  for (auto &t : cases) {
    key_queue_reset();
    pkbd_feed(t.typed);
    EXPECT_EQ(menu_bar_run(main_menu, 4, 0), t.code) << t.name;
    EXPECT_EQ(win_stack_depth(), 0) << t.name;
  }
}

TEST_F(Menu, RightInTheLastPullDownReopensIt) {
  const char *const table[] = {"One", "Alpha", nullptr, "Two", "Beta", "Gamma", nullptr, nullptr};
  pkbd_feed("t\x1b[C\x1b[B\r");
  EXPECT_EQ(menu_bar_run(table, 4, 0), 202);
}

TEST_F(Menu, BarAndPullDownColours) {
  push_keys("f");
  push_keys("\x1b\x1b");
  menu_bar_run(main_menu, 4, 0);
  EXPECT_EQ(row(4).substr(0, 6), "oNline");
  EXPECT_EQ(row(4).substr(18, 7), "oFfline");
  EXPECT_EQ(row(4).substr(73, 4), "Quit");
  EXPECT_EQ(shadow_index(4, 19), 0);   // selected title
  EXPECT_EQ(shadow_index(4, 20), 2);   // its capital
  EXPECT_EQ(shadow_index(4, 1), 1);    // other titles in bar colour
  EXPECT_EQ(shadow_index(4, 2), 3);    // with capitals in index 3
  EXPECT_EQ(shadow_index(4, 39), 1);
  EXPECT_EQ(shadow_index(4, 80), 1);   // the whole row is bar
}

TEST_F(Menu, PullDownDrawsAndMovesLeftWhenTooWide) {
  const char *const items[] = {"A very long item indeed", "Short", nullptr};
  push_keys(std::string(k(KEY_DOWN) + "\r").c_str());
  mem_console_log().clear();
  EXPECT_EQ(menu_pulldown(items, 5, 70, 1, false), 2);
  // Width 23: left = 78 - 23 = 55, right frame at column 80.
  bool saw_frame = false;
  for (const ConRun &run : mem_console_log())
    if (run.row == 4 && run.col == 54) saw_frame = true;
  EXPECT_TRUE(saw_frame);
  EXPECT_EQ(row(5), std::string(80, ' '));   // closed again
}

TEST_F(Menu, UnknownKeyBeeps) {
  push_keys("z\x1b");
  int bells = mem_console_bells();
  EXPECT_EQ(menu_bar_select(titles, 4, 1), 0);
  EXPECT_EQ(mem_console_bells() - bells, 1);
}
