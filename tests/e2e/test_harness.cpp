// The harness checked against /bin/sh, so a harness fault is not mistaken for
// a fault of the program.
#include <gtest/gtest-spi.h>
#include <signal.h>

#include <filesystem>

#include "harness.h"

using namespace e2e;
using Ms = Session::Ms;

TEST(Harness, ScreenTextColoursModesAndExitStatus) {
  // Blue/grey, grey/blue, yellow/blue and light red/brown as the program
  // sends them, one cell in 24-bit colour, a frame, then a line read back.
  const char *script =
      "printf '\\033[?1049h\\033[?25l\\033[?7l\\033[1;1H"
      "\\033[44;37mAB\\033[47;34mCD\\033[44;93mE\\033[43;91mF"
      "\\033[48;2;0;0;200m\\033[38;2;250;250;250mG\\033[0m"
      "\\033[3;5H\\342\\225\\224\\342\\225\\220\\342\\225\\227 %s' \"$E2E_WORD\"\n"
      "read x\n"
      "printf '\\033[5;1Hgot:%s' \"$x\"\n"
      "read x\n"
      "printf '\\033[?7h\\033[?25h\\033[?1049l'\n"
      "exit 3\n";
  Session s;
  s.set_env("E2E_WORD", "hello");
  ASSERT_TRUE(s.start({"-c", script}, "/bin/sh"));
  ASSERT_TRUE(s.wait_for_text("hello"));

  EXPECT_EQ(s.row(1).substr(0, 8), "ABCDEFG ");
  EXPECT_EQ(s.text_at(3, 5, 3), "╔═╗");
  EXPECT_EQ(s.find("═╗ hello"), std::make_pair(3, 6));
  EXPECT_EQ(printable_row(s.row(3)).substr(0, 14), "    +-+ hello ");
  EXPECT_EQ(s.colours(1, 1), (CellColours{LIGHT_GREY, BLUE}));
  EXPECT_EQ(s.colours(1, 3), (CellColours{BLUE, LIGHT_GREY}));
  EXPECT_EQ(s.colours(1, 7), (CellColours{WHITE, BLUE}));
  EXPECT_EQ(s.colours(1, 8), (CellColours{DEFAULT_COLOUR, DEFAULT_COLOUR}));
  EXPECT_EQ(s.row_attrs(1).substr(0, 7), "001127?");
  EXPECT_TRUE(s.alt_screen());
  EXPECT_FALSE(s.cursor_visible());
  EXPECT_FALSE(s.autowrap());

  s.keys("abc{Enter}");
  ASSERT_TRUE(s.wait_for_text("got:abc"));
  s.press(Key::Enter);
  EXPECT_EQ(s.wait_exit(), 3);
  EXPECT_FALSE(s.alt_screen());
  EXPECT_TRUE(s.cursor_visible());
  EXPECT_TRUE(s.autowrap());
  const std::string tail = "\x1b[?7h\x1b[?25h\x1b[?1049l";
  EXPECT_EQ(s.raw_output().substr(s.raw_output().size() - tail.size()), tail);
}

TEST(Harness, KeysArriveAsTheTerminalSendsThem) {
  Session s;
  // od prints the 34 bytes on one line, which wraps onto row 2.
  ASSERT_TRUE(s.start({"-c", "stty raw -echo; printf ready; head -c 34 | od -An -tx1 -w34; exit 0"}, "/bin/sh"));
  ASSERT_TRUE(s.wait_for_text("ready"));
  s.keys("{F1}{F5}{F10}{Up}{Home}{PgDn}{Esc}x{{{Backspace}{Enter}");
  s.press(Key::CtrlEnd);
  EXPECT_EQ(s.wait_exit(), 0);
  std::string out = s.row(1) + s.row(2);
  EXPECT_NE(out.find("ready 1b 4f 50 1b 5b 31 35 7e 1b 5b 32 31 7e 1b 5b 41"
                     " 1b 5b 48 1b 5b 36 7e 1b 78 7b 7f 0d 1b 5b 31 3b 35 46"),
            std::string::npos)
      << out;
}

TEST(Harness, TerminalSettingsReadableAfterExit) {
  Session s;
  ASSERT_TRUE(s.start({"-c", "stty -echo -icanon; exit 0"}, "/bin/sh"));
  EXPECT_EQ(s.wait_exit(), 0);
  struct termios t{};
  ASSERT_TRUE(s.pty_settings(&t));
  EXPECT_EQ(t.c_lflag & (ECHO | ICANON), 0u);
}

TEST(Harness, WorkingDirEnvironmentAndCleanUp) {
  std::string dir;
  int pid = 0;
  {
    Session s;
    dir = s.workdir();
    s.set_env("ZL27T_PORTS", "/dev/ttyX");
    ASSERT_TRUE(s.write_file("in.txt", "given"));
    ASSERT_TRUE(s.start({"-c", "cat in.txt > out.txt; echo \"[$ZL27T_PORTS $TERM $LC_ALL]\"; sleep 30"}, "/bin/sh"));
    ASSERT_TRUE(s.wait_for_text("[/dev/ttyX xterm-256color C.UTF-8]"));
    EXPECT_EQ(s.read_file("out.txt"), "given");
    pid = s.pid();
    ASSERT_GT(pid, 0);
  }
  // The destructor killed and reaped the child and removed its directory.
  EXPECT_EQ(kill(pid, 0), -1);
  EXPECT_EQ(errno, ESRCH);
  EXPECT_FALSE(std::filesystem::exists(dir));
}

TEST(Harness, WaitsFailWithTheScreen) {
  Session s;
  ASSERT_TRUE(s.start({"-c", "printf 'still here'; sleep 30"}, "/bin/sh"));
  ASSERT_TRUE(s.wait_for_text("still here"));
  auto r = s.wait_for_text("never", Ms(200));
  EXPECT_FALSE(r);
  EXPECT_NE(std::string(r.message()).find("timed out after 200 ms waiting for text \"never\""), std::string::npos)
      << r.message();
  EXPECT_NE(std::string(r.message()).find(" 1|still here"), std::string::npos) << r.message();
  EXPECT_NONFATAL_FAILURE(EXPECT_EQ(s.wait_exit(Ms(100)), EXIT_TIMEOUT), "still running after 100 ms");

  // A program that ends is reported at once, not at the time-out.
  Session t;
  ASSERT_TRUE(t.start({"-c", "printf 'bye'; exit 4"}, "/bin/sh"));
  auto q = t.wait_for_text("never");
  EXPECT_FALSE(q);
  EXPECT_NE(std::string(q.message()).find("program ended (status 4)"), std::string::npos) << q.message();
  EXPECT_NE(std::string(q.message()).find(" 1|bye"), std::string::npos) << q.message();
}

TEST(Harness, HelperProcessReadyLineAndStop) {
  SimProcess a;
  ASSERT_TRUE(a.start({"-c", "echo starting; echo 'ready /tmp/x 5020'; exec sleep 30"}, "/bin/sh"));
  EXPECT_EQ(a.ready(), "/tmp/x 5020");
  int pid = a.pid();
  EXPECT_EQ(a.stop(), 128 + SIGTERM);
  EXPECT_EQ(kill(pid, 0), -1);

  SimProcess b;
  EXPECT_FALSE(b.start({"-c", "echo 'not ready'; exit 2"}, "/bin/sh"));
  EXPECT_NE(b.error().find("ended (status 2) before it was ready"), std::string::npos) << b.error();
}
