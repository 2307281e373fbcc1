// The terminal emulators of the Utility menu, typed as a user would, with a
// raw pty as the device on the other end of the terminal's port (or the
// simulated modem when the link shares the port).
#include <fcntl.h>
#include <pty.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "harness.h"

using namespace e2e;

namespace {

// The device: the master side of a pty whose slave is the terminal's port.
class Peer {
 public:
  Peer() {
    char name[128];
    if (openpty(&master_, &slave_, name, nullptr, nullptr) != 0) return;
    // Not inherited by the program: its own copy would keep the device there.
    fcntl(master_, F_SETFD, FD_CLOEXEC);
    fcntl(slave_, F_SETFD, FD_CLOEXEC);
    path_ = name;
    struct termios t;
    tcgetattr(slave_, &t);
    cfmakeraw(&t);
    tcsetattr(slave_, TCSANOW, &t);
    fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
  }
  ~Peer() {
    if (master_ >= 0) close(master_);
    if (slave_ >= 0) close(slave_);
  }
  const std::string &path() const { return path_; }
  void send(std::string_view bytes) const { ASSERT_EQ(write(master_, bytes.data(), bytes.size()), ssize_t(bytes.size())); }
  // Everything the terminal sent so far.
  const std::string &received() {
    char buf[256];
    ssize_t n;
    while ((n = read(master_, buf, sizeof buf)) > 0) got_.append(buf, static_cast<size_t>(n));
    return got_;
  }
  // Waits (keeping the session's screen read) until the terminal sent want.
  testing::AssertionResult await(Session &s, const std::string &want) {
    // The screen may not change meanwhile, so the session is read in short
    // slices rather than waited on.
    auto deadline = Session::Clock::now() + Session::default_timeout();
    while (received().size() < want.size() && Session::Clock::now() < deadline) s.pump_for(Session::Ms(10));
    if (got_ != want) return testing::AssertionFailure() << "the device got " << testing::PrintToString(got_);
    return testing::AssertionSuccess();
  }
  void forget() { got_.clear(); }
  // The device goes away: the terminal's port reads end of file from now on.
  void hang_up() {
    close(master_);
    master_ = -1;
  }

 private:
  int master_ = -1, slave_ = -1;
  std::string path_;
  std::string got_;
};

constexpr const char *FIRST_HELP = "Type contrl-End to exit terminal.  Type F7 to begin capture to a file.";

bool bar_up(const Session &s) { return s.row(4).rfind("oNline", 0) == 0; }

// Ctrl-End: the terminal gone and the menu bar back.
testing::AssertionResult leave_terminal(Session &s) {
  s.press(Key::CtrlEnd);
  if (s.wait_until([&] { return bar_up(s) && !s.contains(FIRST_HELP); }, "the main screen"))
    return testing::AssertionSuccess();
  return testing::AssertionFailure() << "still in the terminal";
}

// F9: the terminal's port moved one choice with key ("+" or "-"), accepted
// through the fields and not saved; `shows`, when given, is the port the
// field must show. The caller waits for what follows.
testing::AssertionResult change_terminal_port(Session &s, const char *key, const char *shows = nullptr) {
  s.press(Key::F9);
  if (!s.wait_for_text("CONFIGURE TERMINAL EMULATOR")) return testing::AssertionFailure() << "no settings dialog";
  s.type(key);
  if (shows && !s.wait_for_text(shows)) return testing::AssertionFailure() << "the field does not show " << shows;
  s.press(Key::Enter, 6);   // through the fields; Enter on the last accepts
  if (!s.wait_for_text("Write setup to startup file?")) return testing::AssertionFailure() << "no save question";
  s.type("n");
  return testing::AssertionSuccess();
}

// The row that holds text, or 0.
int row_of(const Session &s, std::string_view text) { return s.find(text).first; }

int count(const Session &s, std::string_view text) {
  int n = 0;
  for (const std::string &row : s.screen())
    for (size_t at = row.find(text); at != std::string::npos; at = row.find(text, at + 1)) n++;
  return n;
}

// The program at its menu with the device's pty as its port list, then the
// terminal emulator the menu keys choose ("ut" debugging, "ub" BBS).
testing::AssertionResult open_terminal(ZlSession &s, const Peer &peer, const char *menu_keys) {
  s.set_env("ZL27T_PORTS", peer.path());
  if (!s.start_at_menu()) return testing::AssertionFailure() << "no menu";
  s.type(menu_keys);
  return s.wait_for_text(FIRST_HELP);
}

}  // namespace

TEST(Terminal, DebuggingViewSendsKeysShowsBytesCapturesAndLeavesCleanly) {
  ZlSession s;
  Peer peer;
  ASSERT_FALSE(peer.path().empty());
  ASSERT_TRUE(open_terminal(s, peer, "ut"));
  EXPECT_EQ(s.row(1).rfind(FIRST_HELP, 0), 0u);
  EXPECT_EQ(s.row(2).rfind("Type F9 to change terminal communication setup.", 0), 0u);
  EXPECT_EQ(s.row(3).rfind("Type F5 to toggle hex-only output.", 0), 0u);
  EXPECT_EQ(s.row(4).rfind("To send hex sequence, type INSERT key, enter hex codes, type ENTER.", 0), 0u);
  EXPECT_FALSE(s.contains("NOTE:"));   // the link's port is the terminal's
  EXPECT_FALSE(s.autowrap());   // the screen is written as cells: the terminal's modes stay the program's
  EXPECT_TRUE(s.cursor_visible());

  // Keys go out as typed, shown nowhere; F1 sends ESC O P, Backspace 8.
  s.type("hi\r");
  s.press(Key::Esc);
  s.press(Key::F1);
  s.type("\x03");
  s.press(Key::Backspace);
  ASSERT_TRUE(peer.await(s, std::string("hi\r\x1b\x1bOP\x03\x08")));
  // Ctrl-C sent to the program as a signal goes down the port as well.
  peer.forget();
  ASSERT_EQ(kill(s.pid(), SIGINT), 0);
  ASSERT_TRUE(peer.await(s, "\x03"));
  EXPECT_FALSE(s.contains("hi"));

  // CR LF joined on one line; a lone CR breaks the line after a pause.
  peer.send("AB\r\nC");
  ASSERT_TRUE(s.wait_for_text("AB<0D><0A>"));
  int r = row_of(s, "AB<0D><0A>");
  ASSERT_TRUE(s.wait_until([&] { return s.row(r + 1).rfind("C", 0) == 0; }, "C on the next line"));
  peer.send("\x80\x7f\r");
  ASSERT_TRUE(s.wait_for_text("C<80><7F><0D>"));
  peer.send("D");
  ASSERT_TRUE(s.wait_until([&] { return s.row(r + 2).rfind("D", 0) == 0; }, "D after the lone CR"));

  // Hex-only on and off.
  s.press(Key::F5);
  ASSERT_TRUE(s.wait_for_text("HEX ON"));
  peer.send("AZ\r");
  ASSERT_TRUE(s.wait_for_text(" 41 5A 0D"));
  s.press(Key::F5);
  ASSERT_TRUE(s.wait_for_text("HEX OFF"));

  // INSERT: hex codes typed, edited, sent; an invalid one sends nothing.
  peer.forget();
  s.press(Key::Ins);
  ASSERT_TRUE(s.wait_for_text("Enter hex codes to send: "));
  s.type("  0a 1BX");
  s.press(Key::Backspace);
  ASSERT_TRUE(s.wait_for_text("Enter hex codes to send:   0a 1B"));
  s.press(Key::Enter);
  ASSERT_TRUE(peer.await(s, "\x0a\x1b"));
  s.press(Key::Ins);
  s.keys("1G{Enter}");
  ASSERT_TRUE(s.wait_for_text("Invalid character in hex sequence: 47"));

  // Capture: the received data as shown, none of the terminal's messages.
  s.press(Key::F8);
  ASSERT_TRUE(s.wait_for_text("Capture file not open. Type F7 to begin capture."));
  s.press(Key::F7);
  ASSERT_TRUE(s.wait_for_text("Capture to file? "));
  s.keys("cap.txt{Enter}");
  ASSERT_TRUE(s.wait_for_text("Copying output to: \"cap.txt\". Type F8 to end capture."));
  s.press(Key::F7);
  ASSERT_TRUE(s.wait_for_text("Capture file: \"cap.txt\" already open. Type F8 to close."));
  peer.send("X\r\nY\x07");
  ASSERT_TRUE(s.wait_for_text("Y<07>"));
  s.press(Key::F8);
  ASSERT_TRUE(s.wait_for_text("Capture file: \"cap.txt\" closed."));
  EXPECT_EQ(s.read_file("cap.txt"), "X<0D><0A>\r\nY<07>");
  // The name typed last is offered again.
  s.press(Key::F7);
  ASSERT_TRUE(s.wait_for_text("Capture to file (CR=\"cap.txt\")? "));
  s.press(Key::Enter);
  ASSERT_TRUE(s.wait_until([&] { return count(s, "Copying output to: \"cap.txt\"") == 2; }, "capture again"));
  peer.send("Z9");
  ASSERT_TRUE(s.wait_for_text("Z9"));

  // Ctrl-End: the capture closed, the main screen whole again, wrap off.
  ASSERT_TRUE(leave_terminal(s));
  ASSERT_TRUE(s.wait_for_text("Use Esc to abort functions"));
  EXPECT_FALSE(s.contains("Unable to establish link."));   // the link is "None": not opened
  EXPECT_EQ(s.text_at(1, 17, 47), "Z L 2 7 T     I N D U S T R I A L     M O D E M");
  EXPECT_FALSE(s.contains("<0D>"));
  EXPECT_FALSE(s.autowrap());
  EXPECT_FALSE(s.cursor_visible());
  EXPECT_EQ(s.read_file("cap.txt"), "Z9");
  s.press(Key::Esc);
  EXPECT_TRUE(quit_program(s));
}

// What stops working is said, not passed over in silence: a capture file
// that takes no more data ends the capture with the reason, and a device
// that goes away has its port closed (typed keys would go nowhere).
TEST(Terminal, CaptureThatCannotBeWrittenAndPortThatGoesAwayAreSaid) {
  ZlSession s;
  Peer peer;
  ASSERT_TRUE(open_terminal(s, peer, "ut"));
  s.press(Key::F7);
  ASSERT_TRUE(s.wait_for_text("Capture to file? "));
  s.keys("/dev/full{Enter}");
  ASSERT_TRUE(s.wait_for_text("Copying output to: \"/dev/full\". Type F8 to end capture."));
  peer.send("Q");
  ASSERT_TRUE(s.wait_for_text("Unable to write file: \"/dev/full\" (No space left on device). Capture ended."));
  s.press(Key::F8);
  ASSERT_TRUE(s.wait_for_text("Capture file not open. Type F7 to begin capture."));

  peer.hang_up();
  ASSERT_TRUE(s.wait_for_text("The port is gone. No port open: keys are not sent. Type F9 to choose another."));
  s.type("x");
  ASSERT_TRUE(leave_terminal(s));
  s.press(Key::Esc);
  EXPECT_TRUE(quit_program(s));
}

// The device's bytes go to the program's own emulator and nowhere else: what
// it would do to a terminal (titles, clipboard, queries, modes, strings of
// any length) reaches the user's terminal in no form; what a terminal
// answers goes back to the device.
TEST(Terminal, BbsViewIsATerminalOfItsOwnThatNothingFromTheDeviceGetsPast) {
  ZlSession s;
  Peer peer;
  ASSERT_TRUE(open_terminal(s, peer, "ub"));
  const int bells = s.bells();   // the start-up message rang once
  const size_t before = s.raw_output().size();
  s.press(Key::F7);
  s.keys("bbs.cap{Enter}");
  ASSERT_TRUE(s.wait_for_text("Copying output to: \"bbs.cap\""));

  const std::string long_title = "\x1b]2;" + std::string(5000, 'T') + "\x07";
  const std::string hostile = "\x1b]0;owned\x07" "hello\x07\x1b[31m red\x1b[0m\x1b[?1000h\x1b[?1049l\x1b[?7l"
                              "\x1bP$q\"p\x1b\\\x1b]52;c;b3duZWQ=\x07\x1b[6n" + long_title;
  peer.send(hostile);
  peer.send("\x1b]2;split");   // a title cut in two by the reads
  s.pump_for(Session::Ms(50));
  peer.send("\x1b\\!\r\ncaf\x82");   // code page 437: e acute
  ASSERT_TRUE(s.wait_for_text("hello red!"));
  // Not a structured binding: Clang 14 cannot capture one in the lambda below.
  const std::pair<int, int> at = s.find("hello red!");
  const int row = at.first, col = at.second;
  ASSERT_TRUE(s.wait_until([&] { return s.row(row + 1).rfind("café", 0) == 0; }, "the next line"));
  EXPECT_EQ(s.colours(row, col + 6).fg, RED);
  // The cursor position went to the device, as a VT220 gives it.
  EXPECT_TRUE(peer.await(s, "\x1b[" + std::to_string(row) + ";" + std::to_string(col + 9) + "R"));

  EXPECT_TRUE(s.alt_screen());
  EXPECT_FALSE(s.dec_mode(1000));
  EXPECT_EQ(s.bells(), bells);
  const std::string shown = s.raw_output().substr(before);
  for (const char *never : {"owned", "split", "TTTT", "b3duZWQ", "\x1b]", "\x1bP", "\x1b[6n", "\x1b[?1000h",
                            "\x1b[?1049l", "\x1b[?7h", "\x07"})
    EXPECT_EQ(shown.find(never), std::string::npos) << testing::PrintToString(never);

  s.press(Key::F8);
  ASSERT_TRUE(s.wait_for_text("Capture file: \"bbs.cap\" closed."));
  std::string want = hostile + "\x1b]2;split\x1b\\!\r\ncaf\x82";
  want.erase(std::remove(want.begin(), want.end(), '\x07'), want.end());   // BEL is never written
  EXPECT_EQ(s.read_file("bbs.cap"), want);

  s.press(Key::CtrlEnd);
  ASSERT_TRUE(s.wait_until([&] { return bar_up(s) && !s.contains("hello"); }, "the main screen"));
  EXPECT_FALSE(s.autowrap());
  s.press(Key::Esc);
  EXPECT_TRUE(quit_program(s));
}

// A full-screen program at the far end draws as a terminal shows it: lines
// inserted into a scroll region, a line feed at its bottom margin, a status
// line outside it, line drawing, and the cursor where the program put it
// (and asked for it).
TEST(Terminal, BbsViewDrawsAFullScreenProgramAsATerminalWould) {
  ZlSession s;
  Peer peer;
  ASSERT_TRUE(open_terminal(s, peer, "ub"));
  std::string draw = "\x1b[H\x1b[2J";
  char line[32];
  for (int r = 1; r <= 24; r++) {
    snprintf(line, sizeof line, "\x1b[%d;1Hline %02d", r, r);
    draw += line;
  }
  draw += "\x1b[25;1H\x1b[7m status: editing \x1b[K\x1b[0m";
  draw += "\x1b[1;24r\x1b[5;1H\x1b[2L\x1b[1minserted A\x1b[0m\r\ninserted B";
  draw += "\x1b[24;1H\n\x1b[24;1Hscrolled in\x1b[1;25r";
  draw += "\x1b[10;30H\x1b(0lqqqk\x1b[11;30Hx   x\x1b[12;30Hmqqqj\x1b(B";
  draw += "\x1b[3;7H\x1b[6n";
  peer.send(draw);
  ASSERT_TRUE(peer.await(s, "\x1b[3;7R"));
  ASSERT_TRUE(s.wait_for_text("scrolled in"));

  std::vector<std::string> want = {"line 02", "line 03", "line 04", "inserted A", "inserted B"};
  for (int n = 5; n <= 22; n++) {
    snprintf(line, sizeof line, "line %02d", n);
    want.push_back(line);
  }
  want.push_back("scrolled in");
  want.push_back(" status: editing");
  want[9] += std::string(30 - 1 - 7, ' ') + "┌───┐";
  want[10] += std::string(30 - 1 - 7, ' ') + "│   │";
  want[11] += std::string(30 - 1 - 7, ' ') + "└───┘";
  for (int r = 1; r <= 25; r++) {
    std::string got = s.row(r);
    got.erase(got.find_last_not_of(' ') + 1);
    EXPECT_EQ(got, want[static_cast<size_t>(r - 1)]) << "row " << r;
  }
  EXPECT_EQ(s.colours(4, 1), (CellColours{WHITE, BLUE}));         // bold
  EXPECT_EQ(s.colours(5, 1), (CellColours{LIGHT_GREY, BLUE}));
  for (int c : {1, 10, 80}) EXPECT_EQ(s.colours(25, c), (CellColours{BLUE, LIGHT_GREY})) << "column " << c;   // reverse, erased to the end
  EXPECT_EQ(s.cursor(), std::make_pair(3, 7));
  EXPECT_TRUE(s.cursor_visible());
  ASSERT_TRUE(leave_terminal(s));
  s.press(Key::Esc);
  EXPECT_TRUE(quit_program(s));
}

// UTF-8 from the device is a setting of the terminal, kept in the setup
// file; code page 437 is the default.
TEST(Terminal, Utf8FromTheDeviceIsATerminalSetting) {
  ZlSession s;
  Peer peer;
  ASSERT_TRUE(open_terminal(s, peer, "ub"));
  peer.send("\xc9\xcd\xbb\r\n");
  ASSERT_TRUE(s.wait_for_text("╔═╗"));
  s.press(Key::F9);
  ASSERT_TRUE(s.wait_for_text("CONFIGURE TERMINAL EMULATOR"));
  ASSERT_TRUE(s.wait_for_text("Character set"));
  EXPECT_EQ(s.text_at(12, 46, 5), "CP437");
  s.press(Key::Down, 5);
  s.type("+");
  ASSERT_TRUE(s.wait_until([&] { return s.text_at(12, 46, 5) == "UTF-8"; }, "UTF-8 chosen"));
  s.press(Key::Enter);
  ASSERT_TRUE(s.wait_for_text("Write setup to startup file?"));
  s.type("y");
  ASSERT_TRUE(s.wait_for_text(FIRST_HELP));
  EXPECT_EQ(static_cast<uint8_t>(s.read_file(SETUP_FILE).at(36)), TERM_CHARSET_UTF8);
  peer.send("caf\xc3\xa9 \xe2\x94\x80\xe2\x94\x82 \xe2\x82\xac\r\n");
  ASSERT_TRUE(s.wait_for_text("café ─│ ?"));
  ASSERT_TRUE(leave_terminal(s));
  s.press(Key::Esc);
  EXPECT_TRUE(quit_program(s));
}

// F9 to a port that does not open: the terminal stays, with no port, until
// F9 brings a port back or Ctrl-End leaves.
TEST(Terminal, SettingsChangedToAPortThatFailsKeepTheTerminalWithoutAPort) {
  ZlSession s;
  Peer peer;
  s.set_env("ZL27T_PORTS", peer.path() + ":/nonexistent/ttyQQ");
  ASSERT_TRUE(s.start_at_menu());
  s.type("ut");
  ASSERT_TRUE(s.wait_for_text(FIRST_HELP));
  ASSERT_TRUE(change_terminal_port(s, "+", "/nonexistent/ttyQQ"));
  ASSERT_TRUE(s.wait_for_text("Can't open port: \"/nonexistent/ttyQQ\".  Status = 133."));
  s.press(Key::F10);
  ASSERT_TRUE(s.wait_for_text("No port open: keys are not sent."));
  EXPECT_EQ(s.row(1).rfind(FIRST_HELP, 0), 0u);
  EXPECT_EQ(s.row(3).rfind("To send hex sequence", 0), 0u);   // no F5 line after F9
  s.type("lost");
  s.pump_for(Session::Ms(100));

  ASSERT_TRUE(change_terminal_port(s, "-"));
  ASSERT_TRUE(s.wait_for_text_gone("CONFIGURE TERMINAL EMULATOR"));
  ASSERT_TRUE(s.wait_for_text(FIRST_HELP));
  EXPECT_FALSE(s.contains("No port open"));
  s.type("ok");
  ASSERT_TRUE(peer.await(s, "ok"));   // "lost" never went anywhere
  ASSERT_TRUE(leave_terminal(s));
  s.press(Key::Esc);
  EXPECT_TRUE(quit_program(s));
}

// The link on the terminal's port index lets go for the run and is opened
// again after it: a fetch works at once.
TEST(Terminal, LinkOnTheSamePortIsClosedForTheRunAndOpenAfter) {
  ZlSession s;
  SimProcess sim;
  ASSERT_TRUE(sim.start({"--pty", s.path("modem"), "--delay", "20"}));
  s.set_env("ZL27T_PORTS", s.path("modem"));
  ASSERT_TRUE(s.write_setup(setup_record()));   // Sy/Max on port 0; the terminal on port 0 too
  ASSERT_TRUE(s.start());
  ASSERT_TRUE(s.wait_until([&] { return bar_up(s); }, "the menu bar"));
  EXPECT_FALSE(s.contains("ERROR"));

  s.type("ut");
  // The port opens only when the link has let it go.
  ASSERT_TRUE(s.wait_for_text(FIRST_HELP));
  EXPECT_FALSE(s.contains("Can't open port"));
  ASSERT_TRUE(leave_terminal(s));
  EXPECT_FALSE(s.contains("Unable to establish link."));

  s.press(Key::Esc);
  s.type("ff");
  ASSERT_TRUE(s.wait_until([&] { return s.contains("FETCH OFFLINE FROM MODEM") && s.text_at(2, 15, 50).find("ZL27T") != std::string::npos; },
                           "the fetch window and the module's name"));
  ASSERT_TRUE(s.wait_for_text_gone("FETCH OFFLINE FROM MODEM"));
  EXPECT_FALSE(s.contains("ERROR"));
  EXPECT_TRUE(quit_program(s, QuitQuestion::ANSWER_YES));
}

// The terminal on another port than the link at first (a note says which);
// F9 onto the link's port takes it from the link, F9 away again, and the
// link is back after the run although the ports now differ.
TEST(Terminal, SettingsMovingOntoAndOffTheLinksPortTakeItAndGiveItBack) {
  ZlSession s;
  SimProcess sim;
  Peer peer;
  ASSERT_TRUE(sim.start({"--pty", s.path("modem"), "--delay", "20"}));
  s.set_env("ZL27T_PORTS", s.path("modem") + ":" + peer.path());
  LinkSetup setup = setup_record();   // Sy/Max on port 0
  setup.term_port = 1;
  ASSERT_TRUE(s.write_setup(setup));
  ASSERT_TRUE(s.start());
  ASSERT_TRUE(s.wait_until([&] { return bar_up(s); }, "the menu bar"));

  s.type("ut");
  ASSERT_TRUE(s.wait_for_text(FIRST_HELP));
  EXPECT_EQ(s.row(1), "NOTE: The terminal emulator is using " + peer.path() +
                          std::string(80 - 37 - peer.path().size(), ' '));
  auto move_port = [&](const char *key) {
    ASSERT_TRUE(change_terminal_port(s, key));
    ASSERT_TRUE(s.wait_for_text_gone("CONFIGURE TERMINAL EMULATOR"));
    ASSERT_TRUE(s.wait_for_text(FIRST_HELP));
  };
  move_port("-");   // onto the modem's port: it opens only if the link let go
  EXPECT_FALSE(s.contains("Can't open port"));
  move_port("+");
  s.type("k");
  ASSERT_TRUE(peer.await(s, "k"));
  ASSERT_TRUE(leave_terminal(s));

  s.press(Key::Esc);
  s.type("ff");
  ASSERT_TRUE(s.wait_for_text("FETCH OFFLINE FROM MODEM"));
  ASSERT_TRUE(s.wait_for_text_gone("FETCH OFFLINE FROM MODEM"));
  EXPECT_FALSE(s.contains("ERROR"));
  EXPECT_TRUE(quit_program(s, QuitQuestion::ANSWER_YES));
}
