// The register viewer typed as a user would against zl27t-sim on a pty:
// the table, edits in HEX and BINARY, help, a smaller table from F8, the
// link dialog from F9, a device that stops answering, reads that fail at
// once or now and then, and Esc during the checks on the way in. The simulator's
// registers are read back through the program's own register interface once
// the program has ended.
#include <signal.h>

#include <cstdio>
#include <string>
#include <vector>

#include "harness.h"
#include "link/link.h"
#include "proto/serial.h"
#include "sim_registers.h"

using namespace e2e;

namespace {

constexpr uint16_t YES = 0;
constexpr uint16_t NO = 1;

bool at_menu(const Session &s) { return s.row(4).rfind("oNline", 0) == 0; }

// The program started on `setup`, at the menu bar.
testing::AssertionResult start_with(Session &s, const LinkSetup &setup) {
  if (!s.write_setup(setup)) return testing::AssertionFailure() << "no setup file";
  if (!s.start()) return testing::AssertionFailure() << "no start";
  return s.wait_until([&] { return at_menu(s); }, "the menu bar");
}

// Quick enough for a key, far below any reply time-out of these tests.
constexpr Session::Ms KEY_ACTS(1500);

// The program on the simulator with the viewer starting at register 100.
testing::AssertionResult open_viewer(Session &s, uint16_t timeout) {
  LinkSetup setup = setup_record();
  setup.rv_start_register = 100;
  setup.rv_status_registers = YES;
  setup.timeout = timeout;
  s.set_env("ZL27T_PORTS", s.path("modem"));
  if (!s.write_setup(setup)) return testing::AssertionFailure() << "no setup file";
  if (!s.start()) return testing::AssertionFailure() << "no start";
  if (auto r = s.wait_until([&] { return at_menu(s); }, "the menu bar"); !r) return r;
  s.type("uv");
  // The whole table, the status column last.
  return s.wait_until(
      [&] {
        std::string status = s.text_at(24, 55, 4);
        return s.text_at(5, 1, 14) == "  4x100  1234 " && status != "----" && status != "    ";
      },
      "registers 100 to 119 with their status");
}

}  // namespace

TEST(RegisterViewer, TableOfTwentyEditsInHexAndBinaryHelpSettingsAndLink) {
  ZlSession s;
  SimProcess sim;
  ASSERT_TRUE(sim.start({"--pty", s.path("modem"), "--set", "100=0x1234", "--set", "119=-523", "--set",
                         "8292=0x00C3"}));
  ASSERT_TRUE(open_viewer(s, 100));
  EXPECT_EQ(s.text_at(4, 1, 58), "REGSTR   HEX   UNSIGN  SIGNED         BINARY          STAT");
  EXPECT_EQ(s.text_at(5, 1, 58), "  4x100  1234    4660    4660  0001 0010 0011 0100    00C3");
  EXPECT_EQ(s.text_at(24, 1, 29), "  4x119  FDF5   65013    -523");
  for (int r = 6; r < 24; r++) EXPECT_EQ(s.text_at(r, 1, 7), "  4x" + std::to_string(95 + r)) << r;
  EXPECT_EQ(s.text_at(25, 1, 80), std::string(80, ' '));
  EXPECT_EQ(s.attr_index(5, 10), 2);   // HEX is selected on entry
  EXPECT_EQ(s.attr_index(5, 1), 0);

  // The first digit replaces the old text; Enter writes at once.
  s.keys("7{Enter}");
  ASSERT_TRUE(s.wait_until([&] { return s.text_at(5, 9, 14) == " 0007       7 "; }, "0007 in register 100"));
  // In BINARY a 1 lands on the highest bit; the other bits stay.
  s.press(Key::Right, 3);
  s.keys("1{Enter}");
  ASSERT_TRUE(s.wait_until([&] { return s.text_at(5, 9, 43) == " 8007   32775  -32761  1000 0000 0000 0111 "; },
                           "the top bit set"));
  EXPECT_EQ(s.attr_index(5, 32), 2);

  s.press(Key::F2);
  ASSERT_TRUE(s.wait_for_text("REGISTER VIEWER HELP"));
  EXPECT_TRUE(s.contains("ESC to exit Register Viewer."));
  s.type("x");
  ASSERT_TRUE(s.wait_for_text_gone("REGISTER VIEWER HELP"));

  // Select the last row, then make the table five rows long: the selected
  // register moves up with the table's end and the rows below are wiped.
  s.press(Key::Down, 19);
  ASSERT_TRUE(s.wait_until([&] { return s.attr_index(24, 32) == 2; }, "register 119 selected"));
  s.press(Key::F8);
  ASSERT_TRUE(s.wait_for_text("CONFIGURE REGISTER VIEWER"));
  s.press(Key::Down, 2);
  s.keys("5{Enter}{Enter}{Enter}{Enter}");
  ASSERT_TRUE(s.wait_for_text("Write setup to startup file?"));
  s.type("n");
  ASSERT_TRUE(s.wait_until([&] { return s.text_at(9, 1, 7) == "  4x119" && s.attr_index(9, 32) == 2; },
                           "register 119 selected on the table's last row"));
  EXPECT_EQ(s.text_at(5, 1, 7), "  4x115");
  for (int r = 10; r <= 24; r++) EXPECT_EQ(s.text_at(r, 1, 58), std::string(58, ' ')) << r;

  // F9 brings the link dialog over the table; Esc there goes back to it.
  s.press(Key::F9);
  ASSERT_TRUE(s.wait_for_text("CONFIGURE THIS COMPUTER"));
  s.press(Key::Esc);
  ASSERT_TRUE(s.wait_for_text_gone("CONFIGURE THIS COMPUTER"));
  ASSERT_TRUE(s.wait_until([&] { return s.text_at(9, 1, 7) == "  4x119" && s.attr_index(9, 32) == 2; },
                           "the table again"));

  s.press(Key::Esc);
  ASSERT_TRUE(s.wait_until([&] { return at_menu(s); }, "the menu bar again"));
  EXPECT_EQ(s.text_at(5, 1, 80), std::string(80, ' '));
  ASSERT_TRUE(quit_program(s));
  EXPECT_EQ(Registers(s.path("modem"))[100], 0x8007);
}

TEST(RegisterViewer, DeviceThatStopsAnsweringKeysStillActThenErrorRowsAndBox) {
  ZlSession s;
  SimProcess sim;
  ASSERT_TRUE(sim.start({"--pty", s.path("modem"), "--set", "100=0x1234"}));
  ASSERT_TRUE(open_viewer(s, 150));   // 1.5 s for a reply

  ASSERT_EQ(kill(sim.pid(), SIGSTOP), 0);
  // The read in progress is given up for the key: the selection moves long
  // before that read could time out.
  s.press(Key::Down);
  EXPECT_TRUE(s.wait_until([&] { return s.attr_index(6, 10) == 2 && s.attr_index(5, 10) == 0; },
                           "the selection on row 6", Session::Ms(1000)));

  auto error_shown = [&] {
    return s.text_at(5, 10, 5) == "ERROR" && s.text_at(24, 10, 5) == "ERROR" && s.text_at(22, 79, 1) == "╗";
  };
  ASSERT_TRUE(s.wait_until(error_shown, "ERROR rows and the error box"));
  EXPECT_EQ(s.text_at(5, 55, 4), "0000");   // the status read before stays
  EXPECT_EQ(s.attr_index(6, 10), 2);   // the selected row
  EXPECT_EQ(s.attr_index(5, 10), 4);
  // F10 tries again, which fails again; Esc leaves.
  s.press(Key::F10);
  ASSERT_TRUE(s.wait_until([&] { return s.text_at(22, 79, 1) != "╗"; }, "the box closed"));
  ASSERT_TRUE(s.wait_until(error_shown, "the box again"));
  s.press(Key::Esc);
  ASSERT_TRUE(s.wait_until([&] { return at_menu(s); }, "the menu bar again"));
  EXPECT_FALSE(s.contains("ERROR"));
  kill(sim.pid(), SIGCONT);
  EXPECT_TRUE(quit_program(s));
}

// A write the link cannot make (file records over Sy/Max, from the 3x set)
// says so, and the table keeps the register's value.
TEST(RegisterViewer, WriteThatFailsIsReportedAndTheValueStays) {
  ZlSession s;
  SimProcess sim;
  ASSERT_TRUE(sim.start({"--pty", s.path("modem")}));
  LinkSetup setup = setup_record();
  setup.rv_start_register = 100;
  setup.rv_register_set = 1;
  s.set_env("ZL27T_PORTS", s.path("modem"));
  ASSERT_TRUE(s.write_setup(setup));
  ASSERT_TRUE(s.start());
  ASSERT_TRUE(s.wait_until([&] { return at_menu(s); }, "the menu bar"));
  s.type("uv");
  ASSERT_TRUE(s.wait_until([&] { return s.text_at(5, 1, 7) == "  3x100" && s.text_at(5, 10, 4) != "    "; },
                           "the 3x table"));
  const std::string before = s.text_at(5, 9, 5);
  s.keys("7{Enter}");
  ASSERT_TRUE(s.wait_for_text("File records not writable on this link"));
  s.press(Key::F10);
  ASSERT_TRUE(s.wait_for_text_gone("File records not writable on this link"));
  EXPECT_EQ(s.text_at(5, 9, 5), before);
  s.press(Key::Esc);
  ASSERT_TRUE(s.wait_until([&] { return at_menu(s); }, "the menu bar again"));
  EXPECT_TRUE(quit_program(s));
}

// Help opened during an edit leaves the edit going on (nothing is written
// until Enter), and help opened over a question leaves it to the user.
TEST(RegisterViewer, HelpWritesNothingAndAnswersNothing) {
  ZlSession s;
  SimProcess sim;
  ASSERT_TRUE(sim.start({"--pty", s.path("modem"), "--set", "100=0x1234"}));
  ASSERT_TRUE(open_viewer(s, 100));
  s.type("5");
  s.press(Key::F2);
  ASSERT_TRUE(s.wait_for_text("REGISTER VIEWER HELP"));
  s.type("x");
  ASSERT_TRUE(s.wait_for_text_gone("REGISTER VIEWER HELP"));
  s.pump_for(std::chrono::milliseconds(300));
  EXPECT_EQ(s.text_at(5, 14, 8), "    4660");   // not written yet
  s.keys("6{Enter}");
  ASSERT_TRUE(s.wait_until([&] { return s.text_at(5, 9, 14) == " 0056      86 "; }, "0056 in register 100"));

  s.press(Key::F8);
  ASSERT_TRUE(s.wait_for_text("CONFIGURE REGISTER VIEWER"));
  s.keys("{Enter}{Enter}{Enter}{Enter}{Enter}{Enter}");
  ASSERT_TRUE(s.wait_for_text("Write setup to startup file?"));
  const std::string setup_before = s.read_file("ZL27TSW.STP");
  s.press(Key::F2);
  ASSERT_TRUE(s.wait_for_text("REGISTER VIEWER HELP"));
  s.type("x");
  ASSERT_TRUE(s.wait_for_text_gone("REGISTER VIEWER HELP"));
  s.pump_for(std::chrono::milliseconds(300));
  EXPECT_TRUE(s.contains("Write setup to startup file?"));
  s.type("n");
  ASSERT_TRUE(s.wait_for_text_gone("Write setup to startup file?"));
  s.press(Key::Esc);
  ASSERT_TRUE(s.wait_until([&] { return at_menu(s); }, "the menu bar again"));
  ASSERT_TRUE(quit_program(s));
  EXPECT_EQ(s.read_file("ZL27TSW.STP"), setup_before);
  EXPECT_EQ(Registers(s.path("modem"))[100], 0x0056);
}

// Reads that fail the moment they are made, errors not trapped: the table
// keeps retrying, and every key still acts at once.
TEST(RegisterViewer, KeysActWhileEveryReadFailsAtOnce) {
  struct {
    const char *what;
    std::vector<std::string> sim_options;
    LinkKind kind;
    const char *keys;   // typed once the table shows
  } cases[] = {
      // Registers past the Sy/Max range fail before anything is sent.
      {"Sy/Max, the table moved past the last register", {}, LINK_SYMAX, "{Left}65535{Enter}"},
      {"Modbus RTU, a device that refuses the registers", {"--rtu", "--exception", "2@1-400"}, LINK_MODBUS_RTU, ""},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    ZlSession s;
    SimProcess sim;
    std::vector<std::string> options = {"--pty", s.path("modem")};
    options.insert(options.end(), c.sim_options.begin(), c.sim_options.end());
    ASSERT_TRUE(sim.start(options));
    LinkSetup setup = setup_record();
    setup.kind = c.kind;
    setup.rv_start_register = 100;
    setup.trap_errors = NO;
    s.set_env("ZL27T_PORTS", s.path("modem"));
    ASSERT_TRUE(start_with(s, setup));
    s.type("uv");
    ASSERT_TRUE(s.wait_for_text("REGSTR"));
    s.keys(c.keys);
    ASSERT_TRUE(s.wait_until(
        [&] { return s.text_at(5, 10, 5) == "ERROR" && s.text_at(25, 40, 5) != "     "; }, "ERROR rows"));
    s.press(Key::F2);
    ASSERT_TRUE(s.wait_for_text("REGISTER VIEWER HELP", KEY_ACTS));
    s.type("x");
    ASSERT_TRUE(s.wait_for_text_gone("REGISTER VIEWER HELP", KEY_ACTS));
    s.press(Key::Esc);
    ASSERT_TRUE(s.wait_until([&] { return at_menu(s); }, "the menu bar again", KEY_ACTS));
    EXPECT_TRUE(quit_program(s));
  }
}

// A device that never answers, the module checked on the way in: one Esc
// during the menu's check ends the command, without a second check that
// waits out its time-out.
TEST(RegisterViewer, EscDuringTheCheckOnTheWayInEndsTheCommand) {
  ZlSession s;
  SimProcess sim;
  ASSERT_TRUE(sim.start({"--pty", s.path("modem"), "--no-reply-every", "1"}));
  LinkSetup setup = setup_record();
  setup.rv_identify_module = YES;
  setup.timeout = 500;   // 5 s for a reply
  s.set_env("ZL27T_PORTS", s.path("modem"));
  ASSERT_TRUE(start_with(s, setup));
  const std::string spinner = s.text_at(1, 80, 1);
  s.type("uv");
  // The spinner turns: the check's read waits for its reply.
  ASSERT_TRUE(s.wait_until([&] { return s.text_at(1, 80, 1) != spinner; }, "the spinner turning"));
  s.press(Key::Esc);
  // The viewer was entered (its table heading went out) and has left again.
  ASSERT_TRUE(s.wait_until(
      [&] { return s.raw_output().find("REGSTR") != std::string::npos && !s.contains("REGSTR") && at_menu(s); },
      "the viewer entered and left", Session::Ms(2500)));
  EXPECT_TRUE(quit_program(s));
}

// Errors not trapped and a device whose every third reply comes from
// another unit: the values of the good reads are what the table mostly
// shows, ERROR only while the latest read has failed.
TEST(RegisterViewer, IntermittentFaultShowsValuesBetweenFailures) {
  ZlSession s;
  SimProcess sim;
  ASSERT_TRUE(sim.start({"--tcp", "0", "--wrong-unit-every", "3", "--set", "100=0x1234"}));
  LinkSetup setup = setup_record();
  setup.kind = LINK_MODBUS_TCP;
  snprintf(setup.host, sizeof setup.host, "%s", "127.0.0.1");
  setup.tcp_port = static_cast<uint16_t>(std::stoi(sim.ready()));
  setup.route_count = 1;
  setup.route[0] = 1;
  setup.rv_start_register = 100;
  setup.trap_errors = NO;
  s.set_env("ZL27T_PORTS", "/dev/null");
  ASSERT_TRUE(start_with(s, setup));
  s.type("uv");
  ASSERT_TRUE(s.wait_until([&] { return s.text_at(5, 10, 4) == "1234"; }, "register 100"));
  constexpr int SAMPLES = 50;
  int values = 0, errors = 0;
  for (int i = 0; i < SAMPLES; i++) {
    s.pump_for(Session::Ms(20));
    const std::string cell = s.text_at(5, 10, 5);
    values += cell == "1234 ";
    errors += cell == "ERROR";
  }
  EXPECT_GT(errors, 0) << "the fault did not show";
  EXPECT_GE(values, SAMPLES * 2 / 5) << values << " samples of " << SAMPLES << " showed the value";
  s.press(Key::Esc);
  ASSERT_TRUE(s.wait_until([&] { return at_menu(s); }, "the menu bar again"));
  EXPECT_TRUE(quit_program(s));
}

// BINARY takes the value typed as the column shows it, blanks and all, or
// its 16 bits in a row (the cursor passes the blanks); Down on the last row
// and Up on the first select the next register as the table scrolls.
TEST(RegisterViewer, BinaryTypedAsShownAndScrollingSelectsTheNextRegister) {
  ZlSession s;
  SimProcess sim;
  ASSERT_TRUE(sim.start({"--pty", s.path("modem"), "--set", "100=0x1234"}));
  LinkSetup setup = setup_record();
  setup.rv_start_register = 100;
  s.set_env("ZL27T_PORTS", s.path("modem"));
  ASSERT_TRUE(start_with(s, setup));
  s.type("uv");
  ASSERT_TRUE(s.wait_until([&] { return s.text_at(5, 10, 4) == "1234"; }, "register 100"));
  s.press(Key::Right, 3);
  struct {
    const char *typed;
    const char *hex;
  } bits[] = {
      {"1010 0101 1100 0011", "A5C3"},
      {"1111000011110000", "F0F0"},
      {"01", "70F0"},   // the highest bits only; the others stay
  };
  for (const auto &b : bits) {
    SCOPED_TRACE(b.typed);
    s.keys(std::string(b.typed) + "{Enter}");
    ASSERT_TRUE(s.wait_until([&] { return s.text_at(5, 10, 4) == b.hex; }, std::string("HEX ") + b.hex));
  }
  EXPECT_EQ(s.bells(), 0);

  auto selected = [&](int row, const std::string &reg) {
    return s.wait_until([&] { return s.text_at(row, 1, 7) == reg && s.attr_index(row, 32) == 2; },
                        reg + " selected on row " + std::to_string(row));
  };
  s.press(Key::Down, 19);
  ASSERT_TRUE(selected(24, "  4x119"));
  s.press(Key::Down);
  ASSERT_TRUE(selected(22, "  4x120"));
  EXPECT_EQ(s.text_at(5, 1, 7), "  4x103");
  s.press(Key::Up, 17);
  ASSERT_TRUE(selected(5, "  4x103"));
  s.press(Key::Up);
  ASSERT_TRUE(selected(7, "  4x102"));
  EXPECT_EQ(s.text_at(5, 1, 7), "  4x100");
  s.press(Key::Esc);
  ASSERT_TRUE(s.wait_until([&] { return at_menu(s); }, "the menu bar again"));
  ASSERT_TRUE(quit_program(s));
  EXPECT_EQ(Registers(s.path("modem"))[100], 0x70F0);
}
