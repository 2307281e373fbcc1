// Keys typed while the link waits for a reply, and a modem whose port goes
// away and comes back, typed as a user would against zl27t-sim on a pty.
#include <chrono>
#include <set>
#include <string>

#include "harness.h"

using namespace e2e;

namespace {

bool at_menu(const Session &s) { return s.row(4).rfind("oNline", 0) == 0; }

}  // namespace

TEST(LinkWaits, EscAfterAnotherKeyStillAbortsTheWaitAndTheSpinnerTurns) {
  ZlSession s;
  SimProcess sim;
  ASSERT_TRUE(sim.start({"--pty", s.path("modem"), "--delay", "400"}));
  s.set_env("ZL27T_PORTS", s.path("modem"));
  ASSERT_TRUE(s.write_setup(setup_record()));
  ASSERT_TRUE(s.start());
  ASSERT_TRUE(s.wait_until([&] { return at_menu(s); }, "the menu bar"));

  s.type("ff");
  ASSERT_TRUE(s.wait_for_text("FETCH OFFLINE FROM MODEM"));
  s.type("x");
  // The spinner goes on turning with a key waiting for the screen.
  std::set<std::string> phases;
  ASSERT_TRUE(s.wait_until(
      [&] {
        phases.insert(s.text_at(1, 80, 1));
        return phases.size() >= 3;
      },
      "the spinner turning", Session::Ms(3000)));
  // Esc behind the x ends the wait; both keys reach the error box in order
  // (x is refused, Esc closes it), and the 19 slow items are not waited for.
  s.press(Key::Esc);
  ASSERT_TRUE(s.wait_for_text_gone("FETCH OFFLINE FROM MODEM", Session::Ms(2500)));
  EXPECT_FALSE(s.contains("ERROR"));
  EXPECT_TRUE(quit_program(s, QuitQuestion::ANSWER_YES));
}

TEST(LinkWaits, PortThatWentAwayIsUsedAgainWhenItComesBack) {
  ZlSession s;
  SimProcess sim;
  ASSERT_TRUE(sim.start({"--pty", s.path("modem"), "--delay", "100"}));
  s.set_env("ZL27T_PORTS", s.path("modem"));
  LinkSetup setup = setup_record();
  setup.timeout = 300;   // 3 s: a wait that runs out is plain to see
  ASSERT_TRUE(s.write_setup(setup));
  ASSERT_TRUE(s.start());
  ASSERT_TRUE(s.wait_until([&] { return at_menu(s); }, "the menu bar"));

  // The modem goes away in the middle of a fetch: the fetch fails at once.
  s.type("ff");
  ASSERT_TRUE(s.wait_for_text("FETCH OFFLINE FROM MODEM"));
  sim.stop();
  ASSERT_TRUE(s.wait_for_text("Read reply timeout", Session::Ms(2000)));
  s.press(Key::Esc);
  ASSERT_TRUE(s.wait_for_text_gone("FETCH OFFLINE FROM MODEM"));

  // While it is gone every fetch fails at once with its text.
  s.type("ff");   // the bar rests on oFfline
  ASSERT_TRUE(s.wait_for_text("Read reply timeout", Session::Ms(2000)));
  s.press(Key::Esc);
  ASSERT_TRUE(s.wait_for_text_gone("Read reply timeout"));

  // Back on the same path: the next fetch uses it, with no trip through Setup.
  SimProcess again;
  ASSERT_TRUE(again.start({"--pty", s.path("modem"), "--delay", "20", "--set", "8000=7"}));
  s.type("ff");
  ASSERT_TRUE(s.wait_for_text("FETCH OFFLINE FROM MODEM"));
  ASSERT_TRUE(s.wait_for_text_gone("FETCH OFFLINE FROM MODEM"));
  EXPECT_FALSE(s.contains("ERROR"));
  s.type("fe");
  ASSERT_TRUE(s.wait_for_text("Communication Mode"));
  EXPECT_EQ(s.text_at(6, 60, 2), "7 ");   // answer on ring, as the modem held it
  s.press(Key::Esc);
  ASSERT_TRUE(s.wait_for_text_gone("Communication Mode"));
  EXPECT_TRUE(quit_program(s, QuitQuestion::ANSWER_YES));
}
