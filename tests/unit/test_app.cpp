#include <string>

#include "app/app.h"
#include "link/link_setup.h"
#include "ui/keys.h"
#include "ui_fixture.h"

TEST(Script, SlashEscapes) {
  struct { const char *arg; const char *keys; } cases[] = {
      {"x/Ry", "x\ry"}, {"/r/R", "\r\r"}, {"/e", "\x1b"}, {"/E/d/D", "\x1b\x7f\x7f"},
      {"a/b", "a/b"}, {"end/", "end/"}, {"//R", "/\r"}, {"", ""},
  };
  for (auto t : cases) EXPECT_EQ(script_keys(t.arg), t.keys) << t.arg;
  std::string long_arg(200, 'a');
  EXPECT_EQ(script_keys(long_arg.c_str()).size(), 131u);
}

using App = UiTest;

TEST_F(App, ScriptLongerThanTheQueueKeepsTheFirstHundredKeys) {
  std::string a(60, 'a'), b(60, 'b');
  char *argv[] = {const_cast<char *>("zl27t"), a.data(), b.data(), nullptr};
  EXPECT_EQ(queue_script(3, argv), 20);
  EXPECT_EQ(key_queue_count(), KEY_QUEUE_SIZE);
  for (int i = 0; i < 60; i++) ASSERT_EQ(get_key(), 'a');
  for (int i = 0; i < 40; i++) ASSERT_EQ(get_key(), 'b');
}

TEST_F(App, BannerRows) {
  draw_banner();
  EXPECT_EQ(row(1).substr(16, 47), "Z L 2 7 T     I N D U S T R I A L     M O D E M");
  EXPECT_EQ(shadow_index(1, 17), 2);
  EXPECT_EQ(row(2).substr(0, 12), "Tarnwell R&D");
  EXPECT_EQ(row(2).substr(69, 9), "08May2008");
  EXPECT_EQ(row(3).substr(22, 34), "CONFIGURATION AND UTILITY SOFTWARE");
  EXPECT_EQ(row(16).substr(0, 60), "Use arrows or initial capital letter to make menu selections");
}
