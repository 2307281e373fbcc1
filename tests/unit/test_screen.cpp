#include <cstring>

#include "ui/window.h"
#include "ui_fixture.h"

TEST(ClampPos, RowsAndColumnsClampToTheModel) {
  struct { int r, c, er, ec; } cases[] = {{0, 0, 0, 0}, {1, 1, 0, 0}, {25, 80, 24, 79}, {30, 200, 24, 131}, {-5, 133, 0, 131}};
  for (auto t : cases) {
    int r = t.r, c = t.c;
    clamp_pos(r, c);
    EXPECT_EQ(r, t.er) << t.r;
    EXPECT_EQ(c, t.ec) << t.c;
  }
}

using PutField = UiTest;

TEST_F(PutField, JustifiesPadsAndCuts) {
  struct { const char *text; int width; FieldFlags flags; const char *shown; } cases[] = {
      {"AB", 6, FF_RIGHT, "____AB"},
      {"AB", 6, FF_CENTER, "__AB__"},
      {"ABC", 6, FF_CENTER, "_ABC__"},
      {"AB", 6, FF_CENTER | FF_RIGHT, "__AB__"},
      {"AB", 6, 0, "AB____"},
      {"ABCDEFGH", 4, 0, "ABCD"},
      {"abc", 0, FF_UPPER, "ABC"},
  };
  for (auto t : cases) {
    put_field("          ", 5, 10, 10, ' ', 0);
    put_field(t.text, 5, 10, t.width, '_', t.flags);
    EXPECT_EQ(row(5).substr(9, strlen(t.shown)), t.shown) << t.text << " " << t.flags;
  }
}

TEST_F(PutField, WritesOnlyChangedCellsWithShortGapsRewritten) {
  put_field("ABCDEFGHIJKL", 3, 1, 0, ' ', 0);
  mem_console_log().clear();
  put_field("ABCDEFGHIJKL", 3, 1, 0, ' ', 0);
  EXPECT_EQ(writes(), "");

  put_field("xBCDyFGHIJKL", 3, 1, 0, ' ', 0);   // 1 and 5 differ: gap of 3
  EXPECT_EQ(writes(), "3,1:x;3,2:BCDy;");
  mem_console_log().clear();
  put_field("zBCDyFGHwJKL", 3, 1, 0, ' ', 0);   // 1 and 9 differ: gap of 7
  EXPECT_EQ(writes(), "3,1:z;3,9:w;");
  mem_console_log().clear();
  put_field("zBCDyFGHwJKq", 3, 1, 0, ' ', 0);   // one cell late in the field
  EXPECT_EQ(writes(), "3,12:q;");
  mem_console_log().clear();
  put_field("zBCDyFGHwJKq", 3, 1, 0, ' ', 1);   // colour change rewrites all
  EXPECT_EQ(writes(), "3,1:zBCDyFGHwJKq;");
  EXPECT_EQ(mem_console_cell(2, 0).attr, 0x71);
}

TEST_F(PutField, EqualCellsAtTheStartJoinTheFirstRun) {
  put_field("ABCDEFGH", 2, 1, 0, ' ', 0);
  mem_console_log().clear();
  put_field("ABCxEFGH", 2, 1, 0, ' ', 0);
  EXPECT_EQ(writes(), "2,1:ABCx;");
}

TEST_F(PutField, RedrawPendingRepaintsFirst) {
  put_field("HELLO", 2, 3, 0, ' ', 1);
  screen_invalidate();
  mem_console_log().clear();
  put_field("X", 10, 1, 0, ' ', 0);
  // Cleared console, then every non-blank shadow cell, then the field.
  ASSERT_GE(mem_console_log().size(), 3u);
  EXPECT_EQ(mem_console_log()[0].op, 'f');
  EXPECT_EQ(writes(), "2,3:HELLO;10,1:X;");
}

using Screen = UiTest;

TEST_F(Screen, ClearToEolClearsTheModelBeyondTheConsole) {
  put_field("Z", 3, 100, 0, ' ', 1);
  put_field("visible", 3, 5, 0, ' ', 0);
  clear_to_eol(3, 2);
  EXPECT_EQ(shadow_chars[2 * SCR_COLS + 99], ' ');
  EXPECT_EQ(shadow_index(3, 100), 0);
  const ConRun &fill = mem_console_log().back();
  EXPECT_EQ(fill.op, 'f');
  EXPECT_EQ(fill.col, 1);
  EXPECT_EQ(fill.text.size(), 79u);
}

TEST_F(Screen, ConWriteReachingColumn80MovesToNextRow) {
  con_goto(4, 75);
  con_write("12345", 5);
  EXPECT_EQ(con_row(), 5);
  EXPECT_EQ(con_col(), 0);
}

TEST_F(Screen, RestoreRewritesOnlyWhatChanged) {
  put_field("MAIN SCREEN", 1, 1, 0, ' ', 0);
  screen_save();
  ASSERT_NE(win_open(5, 5, 8, 20, "T"), nullptr);   // left open: restore must take it away
  put_field("inside", 6, 6, 0, ' ', 2);
  mem_console_log().clear();
  screen_restore();
  for (int r = 5; r <= 8; r++) EXPECT_EQ(row(r), std::string(80, ' '));
  EXPECT_EQ(row(1).substr(0, 11), "MAIN SCREEN");
  for (const ConRun &run : mem_console_log()) {
    EXPECT_GE(run.row, 4);
    EXPECT_LE(run.row, 7);
  }
  mem_console_log().clear();
  screen_restore();
  EXPECT_TRUE(mem_console_log().empty());
  win_stack_reset();
}

TEST_F(Screen, RestoreAfterInvalidateRepaintsEverything) {
  put_field("ABC", 1, 1, 0, ' ', 0);
  screen_save();
  screen_invalidate();
  mem_console_log().clear();
  screen_restore();
  EXPECT_EQ(writes(), "1,1:ABC;");
  EXPECT_FALSE(redraw_pending);
}

using Window = UiTest;

TEST_F(Window, FrameTitleAndExactRestore) {
  for (int r = 21; r <= 25; r++) put_field("0123456789abcdefghijklmnopqrstuvwxyz", r, 1, 0, ' ', r % 3);
  uint8_t before_c[SCR_CELLS], before_a[SCR_CELLS];
  memcpy(before_c, shadow_chars, sizeof before_c);
  memcpy(before_a, shadow_attrs, sizeof before_a);

  WindowHandle w = win_open(22, 1, 24, 30, "CONFIRM");
  ASSERT_NE(w, nullptr);
  EXPECT_EQ(shadow_chars[21 * SCR_COLS + 0], BOX_TL);
  EXPECT_EQ(shadow_chars[21 * SCR_COLS + 29], BOX_TR);
  EXPECT_EQ(shadow_chars[22 * SCR_COLS + 0], BOX_V);
  EXPECT_EQ(shadow_chars[22 * SCR_COLS + 5], ' ');
  EXPECT_EQ(shadow_chars[23 * SCR_COLS + 0], BOX_BL);
  EXPECT_EQ(shadow_chars[23 * SCR_COLS + 29], BOX_BR);
  EXPECT_EQ(row(22).substr(11, 7), "CONFIRM");
  EXPECT_EQ(shadow_index(22, 12), 1);
  EXPECT_EQ(win_stack_depth(), 1);

  mem_console_log().clear();
  WindowHandle same = w;
  win_close(&w);
  EXPECT_EQ(w, nullptr);
  EXPECT_EQ(memcmp(before_c, shadow_chars, sizeof before_c), 0);
  EXPECT_EQ(memcmp(before_a, shadow_attrs, sizeof before_a), 0);
  for (const ConRun &run : mem_console_log()) {
    EXPECT_GE(run.row, 21);
    EXPECT_LE(run.row, 23);
    EXPECT_LE(run.col + static_cast<int>(run.text.size()), 30);
  }
  EXPECT_EQ(row(23).substr(0, 30), "0123456789abcdefghijklmnopqrst");
  mem_console_log().clear();
  win_close(&w);   // already closed through this variable
  EXPECT_TRUE(mem_console_log().empty());
  (void)same;
  EXPECT_EQ(win_stack_depth(), 0);
}
