#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "link/link.h"
#include "link/link_setup.h"
#include "ui/boxes.h"
#include "ui_fixture.h"

using Boxes = UiTest;

namespace {
std::string k(KeyCode c) { return std::string(1, static_cast<char>(c)); }
}  // namespace

TEST_F(Boxes, ErrorBoxWaitsForF10OrEsc) {
  link_setup.trap_errors = 0;
  push_keys(std::string("xy" + k(KEY_F10)).c_str());
  int bells = mem_console_bells();
  mem_console_log().clear();
  EXPECT_TRUE(error_box("0123456789"));
  EXPECT_EQ(mem_console_bells() - bells, 3);
  bool frame_at_65 = false;
  for (const ConRun &run : mem_console_log())
    if (run.row == 21 && run.col == 64 && static_cast<uint8_t>(run.text[0]) == 0xC9) frame_at_65 = true;
  EXPECT_TRUE(frame_at_65);
  EXPECT_EQ(row(23), std::string(80, ' '));
  push_keys("\x1b");
  EXPECT_FALSE(error_printf("bad %d", 7));
}

TEST_F(Boxes, LongMessagesStayInsideTheScreen) {
  link_setup.trap_errors = 0;
  put_field("keep", 23, 77, 0, ' ', 1);
  put_field(std::string(80, '.').c_str(), 23, 1, 0, ' ', 0);
  uint8_t before[SCR_CELLS];
  memcpy(before, shadow_chars, sizeof before);
  push_keys(std::string(k(KEY_F10)).c_str());
  EXPECT_TRUE(error_box(std::string(120, 'x').c_str()));
  EXPECT_EQ(memcmp(before, shadow_chars, sizeof before), 0);
  for (const ConRun &run : mem_console_log()) EXPECT_LE(run.col + static_cast<int>(run.text.size()), 80);
}

TEST_F(Boxes, UntrappedErrorsGoToTheBottomLine) {
  link_screens_init();   // the trap setting reaches the box as at start-up
  link_setup.trap_errors = 1;
  EXPECT_TRUE(error_box("not shown"));
  EXPECT_EQ(win_stack_depth(), 0);
  EXPECT_EQ(shadow_index(25, 40), 4);
  EXPECT_EQ(shadow_index(25, 79), 4);
  link_setup.trap_errors = 0;
}

TEST_F(Boxes, AlertClosesOnLineFeed) {
  push_keys("\n");
  EXPECT_FALSE(alert_box("Line rate"));
}

TEST_F(Boxes, ConfirmAnswers) {
  struct { const char *keys; bool yes; } cases[] = {{"s", true}, {"S", true}, {"\r", true}, {"y", true},
                                                    {"\x1b", false}, {"n", false}, {"xN", false}};
  for (auto t : cases) {
    push_keys(t.keys);
    EXPECT_EQ(confirm_box("Quit anyway?"), t.yes) << t.keys;
  }
  push_keys("\r");
  mem_console_log().clear();
  confirm_box("Quit anyway?");   // L = 12: frame 1..17, question from column 4
  EXPECT_NE(mem_console_log().size(), 0u);
}

TEST_F(Boxes, ScreenPrintTranslatesFramesAndUnderlinesHighlights) {
  put_field("Title", 1, 1, 0, ' ', 1);
  put_field("Hot", 2, 1, 0, ' ', 2);
  win_open(5, 1, 7, 10, "");
  std::string path = testing::TempDir() + "print.txt";
  FILE *f = fopen(path.c_str(), "wb");   // the bytes as written, on every system
  ASSERT_NE(f, nullptr);
  print_screen_to(f);
  fclose(f);
  win_stack_reset();
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  in.close();   // an open file cannot be removed on every system
  std::string text = ss.str();
  ASSERT_EQ(text.size(), 25u * 162 + 1);
  auto line = [&](int r) { return text.substr((r - 1) * 162, 80); };
  auto under = [&](int r) { return text.substr((r - 1) * 162 + 81, 80); };
  EXPECT_EQ(line(5).substr(0, 10), "+--------+");
  EXPECT_EQ(line(6).substr(0, 10), "|        |");
  EXPECT_EQ(line(7).substr(0, 10), "+--------+");
  EXPECT_EQ(under(1).substr(0, 6), "_____ ");
  EXPECT_EQ(under(2).substr(0, 4), "    ");
  EXPECT_EQ(text[80], '\r');
  EXPECT_EQ(text[161], '\n');
  EXPECT_EQ(text.back(), '\f');
  std::filesystem::remove(path);
}

TEST_F(Boxes, PrintScreenLetsTheNameBeCorrected) {
  link_setup.trap_errors = 0;
  namespace fs = std::filesystem;
  fs::path dir = fs::path(testing::TempDir()) / "zl27t_print";
  fs::create_directories(dir);
  fs::path old = fs::current_path();
  fs::current_path(dir);
  // A directory cannot be opened for writing: error, F10, then the name is
  // edited again.
  fs::create_directories(dir / "BAD");
  push_keys(std::string("BAD\r" + k(KEY_F10) + k(KEY_CLEAR) + "OUT.TXT\r").c_str());
  EXPECT_EQ(print_screen(KEY_F1, -1), 1);
  fs::current_path(old);
  EXPECT_EQ(fs::file_size(dir / "OUT.TXT"), 25u * 162 + 1);
  fs::remove_all(dir);
  EXPECT_EQ(win_stack_depth(), 0);
}

TEST_F(Boxes, PrintScreenEscPrintsNothing) {
  push_keys("\x1b");
  EXPECT_EQ(print_screen(KEY_F1, -1), 0);
  EXPECT_EQ(win_stack_depth(), 0);
}
