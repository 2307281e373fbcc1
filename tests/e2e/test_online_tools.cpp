// The online editor and the diagnostic screens, typed as a user would against
// zl27t-sim on a pty: what they show of the modem, what they write to it, and
// how they follow its line (carrier, off hook, ringing).
#include "config/modem_config.h"
#include "harness.h"
#include "link/link.h"
#include "proto/serial.h"
#include "sim_registers.h"

using namespace e2e;

namespace {

class OnlineTools : public ::testing::Test {
 protected:
  ZlSession s;
  SimProcess sim;

  // The simulator with its options, and the program at the menu bar with
  // the link to it open.
  testing::AssertionResult start(const std::vector<std::string> &sim_options) {
    std::vector<std::string> args = {"--pty", s.path("modem")};
    args.insert(args.end(), sim_options.begin(), sim_options.end());
    if (auto r = started(sim, sim.start(args)); !r) return r;
    s.set_env("ZL27T_PORTS", s.path("modem"));
    if (!s.write_setup(setup_record())) return testing::AssertionFailure() << "setup file";
    if (!s.start()) return testing::AssertionFailure() << "program";
    return at_menu();
  }
  testing::AssertionResult at_menu() {
    return s.wait_until([&] { return s.row(4).rfind("oNline", 0) == 0 && !s.contains("Communication Mode"); },
                        "the menu bar");
  }
  testing::AssertionResult online() {
    s.type("n");
    return s.wait_until([&] { return s.contains("Communication Mode") && s.text_at(13, 20, 1) != " "; },
                        "the online editor with the modem's values");
  }
};

TEST_F(OnlineTools, EditorShowsTheModemAndWritesAChangeAtOnce) {
  ASSERT_TRUE(start({"--set", "8000=7", "--set", "5=100", "--set-text", "100=5551234", "--set", "7=0x1234",
                     "--set", "8=0x4321", "--delay", "5"}));
  ASSERT_TRUE(online());
  ASSERT_TRUE(s.wait_until([&] { return s.text_at(21, 60, 4) == "4321"; }, "the last password"));
  EXPECT_EQ(s.text_at(6, 60, 2), "7 ");
  EXPECT_EQ(s.text_at(13, 20, 4), "100 ");
  EXPECT_EQ(s.text_at(13, 40, 8), "5551234 ");
  EXPECT_EQ(s.text_at(21, 20, 4), "1234");
  EXPECT_EQ(s.text_at(21, 40, 13), "Last Password");
  EXPECT_EQ(s.text_at(9, 20, 5), "9600 ");
  EXPECT_EQ(s.row(22), std::string(80, ' '));   // the modem finds nothing wrong

  // F9: the link dialog over the editor; backing out of it keeps the link.
  s.press(Key::F9);
  ASSERT_TRUE(s.wait_for_text("CONFIGURE THIS COMPUTER"));
  s.press(Key::Esc);
  ASSERT_TRUE(s.wait_for_text_gone("CONFIGURE THIS COMPUTER"));

  // Port BPS: the change goes to the modem with no question asked.
  s.press(Key::Down, 3);
  s.type("+");
  ASSERT_TRUE(s.wait_until([&] { return s.text_at(9, 20, 5) == "14400"; }, "14400 shown"));
  s.press(Key::Esc);
  ASSERT_TRUE(at_menu());
  EXPECT_FALSE(s.contains("CONFIRM"));
  EXPECT_TRUE(quit_program(s));   // nothing asked: the online editor leaves memory alone
  EXPECT_EQ(Registers(s.path("modem"))[3], 14);
}

TEST_F(OnlineTools, StatusLineFollowsRingingConnectAndHangUp) {
  // Nobody answers (S0 = 0), so the call rings on until the user connects.
  ASSERT_TRUE(start({"--set", "8000=0", "--at", "300:ring", "--dial-delay", "300"}));
  ASSERT_TRUE(online());
  ASSERT_TRUE(s.wait_until([&] { return s.text_at(3, 1, 11) == " RINGING   "; }, "ringing"));
  EXPECT_EQ(s.attr_index(3, 2), 5);
  s.press(Key::F7);
  ASSERT_TRUE(s.wait_until([&] { return s.text_at(3, 1, 11) == " Connected "; }, "connected"));
  EXPECT_EQ(s.attr_index(3, 2), 3);
  s.press(Key::F8);
  ASSERT_TRUE(s.wait_until([&] { return s.text_at(3, 1, 11) == std::string(11, ' '); }, "hung up"));
  s.press(Key::Esc);
  ASSERT_TRUE(at_menu());
  EXPECT_TRUE(quit_program(s));
  EXPECT_EQ(Registers(s.path("modem"))[2] & 0x4001, 0);   // on hook, no carrier
}

TEST_F(OnlineTools, ConfigurationErrorsLightTheirSlots) {
  // Transparent with line parity code 3 and the port faster than the line.
  ASSERT_TRUE(start({"--set", "1=0x0608", "--set", "3=15"}));
  ASSERT_TRUE(online());
  ASSERT_TRUE(s.wait_until([&] { return s.text_at(22, 20, 19) == "Illegal line parity"; }, "line parity slot"));
  EXPECT_EQ(s.text_at(23, 1, 20), "Illegal transp port ");   // cut to its slot
  EXPECT_EQ(s.attr_index(22, 20), 4);
  EXPECT_EQ(s.attr_index(23, 1), 4);
  EXPECT_EQ(s.text_at(22, 1, 19), std::string(19, ' '));
  EXPECT_EQ(s.text_at(22, 40, 40), std::string(40, ' '));
  EXPECT_EQ(s.text_at(23, 21, 59), std::string(59, ' '));

  // Line parity (field 11) stepped to EVEN: the modem's verdict follows.
  s.press(Key::Down, 4);
  s.press(Key::Right);
  s.type("+");
  ASSERT_TRUE(s.wait_until([&] { return s.text_at(22, 20, 19) == std::string(19, ' '); }, "line parity fixed"));
  EXPECT_EQ(s.text_at(23, 1, 20), "Illegal transp port ");
  s.press(Key::Esc);
  ASSERT_TRUE(at_menu());
  EXPECT_TRUE(quit_program(s));
}

TEST_F(OnlineTools, SignalScreenShowsLevelAndQualityAndLeavesOnAnyKeyAlsoWhenTheLinkDies) {
  ASSERT_TRUE(start({"--set", "2060=-523", "--set", "2075=7"}));
  s.type("us");
  ASSERT_TRUE(s.wait_until([&] { return s.text_at(11, 56, 5) == "-52.3" && s.text_at(12, 56, 5) == "7    "; },
                           "level and quality"));
  EXPECT_TRUE(s.contains("SIGNAL STRENGTH"));
  EXPECT_EQ(s.text_at(11, 62, 3), "dBm");
  // The modem goes away: every read fails at once, and a key still leaves.
  sim.stop();
  ASSERT_TRUE(s.wait_until([&] { return s.text_at(11, 56, 5) == "ERROR" && s.text_at(12, 56, 5) == "ERROR"; },
                           "ERROR in both places"));
  EXPECT_EQ(s.attr_index(11, 56), 4);
  s.type("x");
  ASSERT_TRUE(s.wait_for_text_gone("SIGNAL STRENGTH"));
  ASSERT_TRUE(at_menu());
  EXPECT_TRUE(quit_program(s));
}

TEST_F(OnlineTools, LeadMonitorFollowsACallRingingAndAnswered) {
  // Answered on the second ring with the password the modem asks for.
  ASSERT_TRUE(start({"--set", "8000=2", "--set", "7=0x1234", "--at", "800:ring"}));
  s.type("ul");
  ASSERT_TRUE(s.wait_until([&] { return s.text_at(16, 56, 4) == "----"; }, "no password yet"));
  EXPECT_FALSE(s.contains("Off hook"));
  ASSERT_TRUE(s.wait_until([&] { return s.text_at(14, 56, 3) == "YES" && s.text_at(15, 56, 1) == "1"; },
                           "the first ring"));
  ASSERT_TRUE(s.wait_until([&] { return s.text_at(10, 40, 8) == "Off hook"; }, "off hook", Session::Ms(6000)));
  // Answered: the rest follows within one cycle of the four registers.
  ASSERT_TRUE(s.wait_until(
      [&] {
        return s.text_at(9, 56, 3) == "YES" && s.text_at(10, 56, 3) == "YES" && s.text_at(14, 56, 3) == "NO " &&
               s.text_at(15, 56, 3) == "2  " && s.text_at(16, 56, 4) == "1234";
      },
      "carrier, off hook, two rings and the caller's password"));
  s.type("x");
  ASSERT_TRUE(s.wait_for_text_gone("LEAD MONITOR"));
  ASSERT_TRUE(at_menu());
  EXPECT_TRUE(quit_program(s));
}

TEST_F(OnlineTools, ConnectScreenConnectsAndHangsUp) {
  ASSERT_TRUE(start({"--set", "5=100", "--set-text", "100=5551234", "--dial-delay", "300"}));
  s.type("uc");
  ASSERT_TRUE(s.wait_until([&] { return s.text_at(14, 37, 8) == "5551234 "; }, "the number"));
  EXPECT_EQ(s.text_at(12, 46, 3), "NO ");
  s.type("C");
  ASSERT_TRUE(s.wait_until([&] { return s.text_at(12, 46, 3) == "YES"; }, "carrier"));
  EXPECT_EQ(s.text_at(13, 30, 8), "Off hook");
  EXPECT_EQ(s.text_at(13, 46, 3), "YES");
  s.type("h");
  ASSERT_TRUE(s.wait_until([&] { return s.text_at(12, 46, 3) == "NO " && s.text_at(13, 46, 3) == "NO "; },
                           "hung up"));
  s.type("x");
  ASSERT_TRUE(s.wait_for_text_gone("CONNECT/HANGUP"));
  ASSERT_TRUE(at_menu());
  EXPECT_TRUE(quit_program(s));
}

// Help opened over the question about Transparent leaves the question to the
// user: closing the help answers nothing.
TEST_F(OnlineTools, HelpOverTheTransparentQuestionAnswersNothing) {
  ASSERT_TRUE(start({}));
  ASSERT_TRUE(online());
  EXPECT_EQ(s.text_at(5, 20, 7), "Sy/Max ");
  s.type("+");
  ASSERT_TRUE(s.wait_for_text("Changing to Transparent will disconnect session. Proceed?"));
  s.press(Key::F2);
  ASSERT_TRUE(s.wait_for_text("PARAMETER EDITOR HELP"));
  s.type("x");
  ASSERT_TRUE(s.wait_for_text_gone("PARAMETER EDITOR HELP"));
  s.pump_for(std::chrono::milliseconds(300));
  EXPECT_TRUE(s.contains("Changing to Transparent will disconnect session. Proceed?"));
  s.type("n");
  ASSERT_TRUE(s.wait_for_text_gone("Proceed?"));
  EXPECT_EQ(s.text_at(5, 20, 7), "Sy/Max ");
  s.press(Key::Esc);
  ASSERT_TRUE(at_menu());
  EXPECT_TRUE(quit_program(s));
  EXPECT_EQ(Registers(s.path("modem"))[1] & CFG_TRANSPARENT, 0);
}

}  // namespace

TEST_F(OnlineTools, AFlagChangeWaitsForTheModemsFlagsBeforeItIsWritten) {
  // Four wire and watchdog in register 1, but every read of register 2 fails:
  // the editor never learns the modem's flags and shows its own record's.
  ASSERT_TRUE(start({"--set", "1=0x2040", "--exception", "3@2", "--delay", "5"}));
  s.type("n");
  ASSERT_TRUE(s.wait_for_text("Illegal Address"));
  s.press(Key::F10);
  ASSERT_TRUE(s.wait_until([&] { return s.text_at(6, 20, 7) == "Enabled"; }, "the editor's values"));
  s.press(Key::Down);   // Auto Answer
  s.type("+");
  ASSERT_TRUE(s.wait_until([&] { return s.text_at(6, 20, 8) == "Disabled"; }, "auto answer changed"));
  // Some passes go by: a write would carry the unread bits along with it.
  s.pump_for(std::chrono::milliseconds(300));
  s.press(Key::F10);
  s.press(Key::Esc);
  ASSERT_TRUE(at_menu());
  EXPECT_TRUE(quit_program(s));
  EXPECT_EQ(Registers(s.path("modem"))[1] & 0x2040, 0x2040);
}

TEST_F(OnlineTools, ADialStringChangeWaitsForTheModemsNumberPointer) {
  // The record in memory points at 100, the modem at 200, whose pointer
  // cannot be read: the dial string must not land at 100.
  ASSERT_TRUE(start({"--set", "5=200", "--exception", "3@5", "--delay", "5"}));
  s.type("fe");
  ASSERT_TRUE(s.wait_for_text("Number pointer"));
  s.press(Key::Down, 6);
  s.type("100");
  s.press(Key::Enter);
  ASSERT_TRUE(s.wait_until([&] { return s.text_at(13, 20, 4) == "100 "; }, "pointer 100 in memory"));
  s.press(Key::Esc);
  ASSERT_TRUE(at_menu());

  s.type("n");
  ASSERT_TRUE(s.wait_for_text("Illegal Address"));
  s.press(Key::F10);
  ASSERT_TRUE(s.wait_for_text("Dial string NONE"));
  s.press(Key::Right);   // from the number pointer, where the editor was left
  s.type("123");
  s.press(Key::Enter);
  ASSERT_TRUE(s.wait_until([&] { return s.text_at(13, 40, 4) == "123 "; }, "dial string typed"));
  s.pump_for(std::chrono::milliseconds(300));
  s.press(Key::F10);
  s.press(Key::Esc);
  ASSERT_TRUE(at_menu());
  EXPECT_TRUE(quit_program(s, QuitQuestion::ANSWER_YES));
  EXPECT_EQ(Registers(s.path("modem"))[100], 0);
}
