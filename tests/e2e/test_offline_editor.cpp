// The offline parameter editor typed as a user would: open it from the
// oFfline menu, change a choice, a dial string and a number, leave with Esc,
// and find Quit asking about the unwritten configuration.
#include "harness.h"

using namespace e2e;

namespace {

TEST(OfflineEditor, EditThenQuitAsksAboutUnwrittenChanges) {
  ZlSession s;
  ASSERT_TRUE(s.start_at_menu());
  s.type("f");
  ASSERT_TRUE(s.wait_for_text("Edit configuration in memory"));
  s.type("e");
  ASSERT_TRUE(s.wait_for_text("Communication Mode"));
  ASSERT_TRUE(s.wait_for_text("Press F2 for help."));
  EXPECT_EQ(s.text_at(9, 20, 5), "9600 ");
  EXPECT_EQ(s.attr_index(5, 20), 3);   // the cursor starts on the first field

  s.press(Key::F2);
  ASSERT_TRUE(s.wait_for_text("PARAMETER EDITOR HELP"));
  EXPECT_TRUE(s.contains("Type ESC to exit offline parameter editor."));
  s.type("x");
  ASSERT_TRUE(s.wait_for_text_gone("PARAMETER EDITOR HELP"));

  s.press(Key::Down, 3);
  s.type("+");
  ASSERT_TRUE(s.wait_for_row(9, [](const std::string &r) { return r.substr(19, 5) == "14400"; },
                             "Port BPS 14400"));

  s.press(Key::Down, 3);
  s.press(Key::Right);
  s.type("9,t1");
  s.press(Key::Enter);
  ASSERT_TRUE(s.wait_for_row(13, [](const std::string &r) { return r.substr(39, 5) == "9,T1 "; },
                             "dial string 9,T1"));

  s.press(Key::Home);
  s.press(Key::Down);
  s.press(Key::Right);
  s.type("7");
  s.press(Key::Down);
  ASSERT_TRUE(s.wait_until([&] { return s.attr_index(7, 60) == 3; }, "the cursor on Wait for Carrier"));
  EXPECT_EQ(s.text_at(6, 60, 2), "7 ");
  EXPECT_EQ(s.attr_index(6, 60), 2);

  s.press(Key::Esc);
  ASSERT_TRUE(s.wait_for_text_gone("Communication Mode"));
  s.press(Key::Esc);   // the bar rests on oFfline; Esc leaves it waiting on no choice
  EXPECT_TRUE(quit_program(s, QuitQuestion::ANSWER_YES));
}

}  // namespace

// Quit asks while the edit is unwritten, and no longer once it is on disk;
// the file holds what was edited.
TEST(OfflineEditor, WritingTheEditSettlesTheQuitQuestion) {
  ZlSession s;
  ASSERT_TRUE(s.start_at_menu());
  s.type("fe");
  ASSERT_TRUE(s.wait_for_text("Communication Mode"));
  s.press(Key::Down, 3);
  s.type("+");
  ASSERT_TRUE(s.wait_for_row(9, [](const std::string &r) { return r.substr(19, 5) == "14400"; },
                             "Port BPS 14400"));
  s.press(Key::Esc);
  ASSERT_TRUE(s.wait_for_text_gone("Communication Mode"));
  s.press(Key::Esc);
  s.type("q");
  ASSERT_TRUE(s.wait_for_text("Edited or Fetched but not Written. Quit anyway?"));
  s.type("n");
  ASSERT_TRUE(s.wait_for_text_gone("Quit anyway?"));

  s.type("fw");
  ASSERT_TRUE(s.wait_for_text("File to write:"));
  s.keys("edited{Enter}");
  ASSERT_TRUE(s.wait_for_text_gone("File to write:"));
  const std::string saved = s.read_file("EDITED.ZLE");
  ASSERT_EQ(saved.size(), 124u);
  EXPECT_EQ(static_cast<uint8_t>(saved[0]), 0xE9);
  EXPECT_EQ(static_cast<uint8_t>(saved[1]), 0x03);
  EXPECT_EQ(static_cast<uint8_t>(saved[2 + 2]), 14);   // port rate: 14400

  s.press(Key::Esc);
  EXPECT_TRUE(quit_program(s));
}

// Terminals answer queries with control strings and pastes carry them: none
// is a key, not the q of a title nor the Esc that opens each.
TEST(OfflineEditor, ControlStringsFromTheTerminalAreNoKeys) {
  const std::string title = "\x1b]2;q\x07";
  const std::string status = "\x1bP1$r0;1m\x1b\\";
  std::string colours;   // longer than one read of the keyboard
  for (int i = 0; i < 4; i++) colours += "\x1b]4;" + std::to_string(i) + ";rgb:cdcd/0000/0000\x1b\\";
  ZlSession s;
  ASSERT_TRUE(s.start_at_menu());
  s.type(title + status + colours);
  s.type("fe");
  ASSERT_TRUE(s.wait_for_text("Communication Mode"));
  ASSERT_EQ(s.attr_index(5, 20), 3);
  s.type(colours + status + title);
  s.press(Key::Down);
  ASSERT_TRUE(s.wait_until([&] { return s.attr_index(6, 20) == 3; }, "the cursor on Auto Answer"));
  EXPECT_TRUE(s.contains("Communication Mode"));
  s.press(Key::Esc);
  ASSERT_TRUE(s.wait_for_text_gone("Communication Mode"));
  s.press(Key::Esc);
  EXPECT_TRUE(quit_program(s));   // nothing was edited: no question
}

namespace {

// Help opened in the middle of typing a number leaves the entry as it was:
// shown again once the help closes, and going on with the next digit.
TEST(OfflineEditor, HelpDuringAnEntryLeavesItGoingOn) {
  ZlSession s;
  ASSERT_TRUE(s.start_at_menu());
  s.type("f");
  ASSERT_TRUE(s.wait_for_text("Edit configuration in memory"));
  s.type("e");
  ASSERT_TRUE(s.wait_for_text("Press F2 for help."));
  s.press(Key::Home);
  s.press(Key::Down);
  s.press(Key::Right);   // Answer on ring
  s.type("1");
  ASSERT_TRUE(s.wait_until([&] { return s.text_at(6, 60, 2) == "1 "; }, "1 typed"));
  s.press(Key::F2);
  ASSERT_TRUE(s.wait_for_text("PARAMETER EDITOR HELP"));
  s.type("x");
  ASSERT_TRUE(s.wait_for_text_gone("PARAMETER EDITOR HELP"));
  EXPECT_EQ(s.text_at(6, 60, 2), "1 ");
  s.type("2");
  s.press(Key::Enter);
  ASSERT_TRUE(s.wait_until([&] { return s.text_at(6, 60, 3) == "12 "; }, "12 entered"));
  s.press(Key::Esc);
  ASSERT_TRUE(s.wait_for_text_gone("Communication Mode"));
}

}  // namespace
