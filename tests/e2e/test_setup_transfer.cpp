// The link setup at first start, the setup file at the next, and sending and
// fetching a configuration, typed as a user would against zl27t-sim on a pty.
// After the program ends, the simulator's registers are read back through the
// program's own register interface.
#include <cstring>
#include <functional>

#include "config/modem_config.h"
#include "harness.h"
#include "link/link.h"
#include "proto/serial.h"
#include "sim_registers.h"

using namespace e2e;

namespace {

LinkSetup setup_on_port_0() { return setup_record(); }   // Sy/Max COM: on port 0, route 201

bool name_on_row_2(const Session &s) {
  std::string r = s.text_at(2, 15, 50);
  return r.find("ZL27T") != std::string::npos;
}

uint16_t u16_at(const std::string &file, size_t offset) {
  return static_cast<uint16_t>(static_cast<uint8_t>(file[offset]) | static_cast<uint8_t>(file[offset + 1]) << 8);
}

}  // namespace

TEST(SetupTransfer, FirstStartAsksForTheLinkTheNextOpensItFromTheFile) {
  ZlSession s;
  SimProcess sim;
  // Slow replies keep the fetch window up long enough to be seen.
  ASSERT_TRUE(sim.start({"--pty", s.path("modem"), "--delay", "20", "--set", "8000=7", "--set", "5=100",
                         "--set-text", "100=5551234"}));
  s.set_env("ZL27T_PORTS", s.path("modem"));
  ASSERT_FALSE(s.file_exists(SETUP_FILE));
  ASSERT_TRUE(s.start());

  ASSERT_TRUE(s.wait_for_text("Can't locate setup file."));
  s.press(Key::F10);
  ASSERT_TRUE(s.wait_for_text("CONFIGURE THIS COMPUTER"));
  ASSERT_TRUE(s.wait_until([&] { return s.text_at(8, 46, 11) == "Sy/Max COM:"; }, "Sy/Max COM: chosen"));
  EXPECT_EQ(s.text_at(8, 30, 15), "Connection type");
  EXPECT_EQ(s.text_at(9, 41, 4), "Port");
  EXPECT_EQ(s.text_at(9, 46, static_cast<int>(s.path("modem").size())), s.path("modem"));
  EXPECT_EQ(s.text_at(17, 40, 5), "Route");
  EXPECT_EQ(s.text_at(17, 46, 3), "201");

  // Round the types once: Modbus kinds say Drop, TCP asks for a host, and
  // after Modbus TCP comes Sy/Max COM: again, never None.
  struct Step {
    const char *name;
    int label_row;
    const char *label;
  } steps[] = {
      {"Net-to-Net COM:", 17, "Route"}, {"Gateway COM:", 14, "Route"}, {"Modbus RTU", 17, " Drop"},
      {"Modbus ASCII", 17, " Drop"},     {"Modbus TCP", 9, " Host"},    {"Sy/Max COM:", 17, "Route"},
  };
  for (const Step &step : steps) {
    SCOPED_TRACE(step.name);
    s.type("+");
    ASSERT_TRUE(s.wait_until([&] { return s.text_at(8, 46, 21).rfind(step.name, 0) == 0; }, step.name));
    ASSERT_TRUE(s.wait_until([&] { return s.text_at(step.label_row, 45 - static_cast<int>(strlen(step.label)),
                                                     static_cast<int>(strlen(step.label))) == step.label; },
                             step.label));
  }
  // Enter through port, baud, stop bits, parity, check, time-out and trap;
  // the route typed over.
  s.press(Key::Enter);
  for (int i = 0; i < 7; i++) s.press(Key::Enter);
  s.type("201");
  s.press(Key::Enter);
  ASSERT_TRUE(s.wait_for_text("Write setup to startup file?"));
  s.type("y");
  ASSERT_TRUE(s.wait_for_text_gone("CONFIGURE THIS COMPUTER"));
  ASSERT_TRUE(s.wait_until([&] { return s.row(4).rfind("oNline", 0) == 0; }, "the menu bar"));

  std::string file = s.read_file(SETUP_FILE);
  ASSERT_EQ(file.size(), 150u);
  EXPECT_EQ(u16_at(file, 0), LINK_SYMAX);
  EXPECT_EQ(u16_at(file, 2), 0);      // port 0: the simulator
  EXPECT_EQ(u16_at(file, 6), 13);     // 9600
  EXPECT_EQ(u16_at(file, 16), 1);     // one drop
  EXPECT_EQ(u16_at(file, 18), 201);
  EXPECT_EQ(file.substr(48, 9), std::string("EDIT.COM\0", 9));
  EXPECT_TRUE(quit_program(s));

  // The next start opens the link from the file: no message, no dialog.
  ZlSession again;
  again.set_env("ZL27T_PORTS", s.path("modem"));
  ASSERT_TRUE(again.write_file(SETUP_FILE, file));
  ASSERT_TRUE(again.start());
  ASSERT_TRUE(again.wait_until([&] { return again.row(4).rfind("oNline", 0) == 0; }, "the menu bar"));
  EXPECT_FALSE(again.contains("CONFIGURE THIS COMPUTER"));
  EXPECT_FALSE(again.contains("ERROR"));
  // The connecting window left nothing behind, however long the port path.
  EXPECT_EQ(again.row(5), std::string(80, ' '));

  // Fetch: the module is named on row 2 while the values come in.
  again.type("ff");
  ASSERT_TRUE(again.wait_until([&] { return again.contains("FETCH OFFLINE FROM MODEM") && name_on_row_2(again); },
                               "the fetch window and the module's name"));
  ASSERT_TRUE(again.wait_for_text_gone("FETCH OFFLINE FROM MODEM"));
  // The editor shows what the simulator held.
  again.type("fe");   // the bar rests on oFfline
  ASSERT_TRUE(again.wait_for_text("Communication Mode"));
  EXPECT_EQ(again.text_at(6, 60, 2), "7 ");          // answer on ring
  EXPECT_EQ(again.text_at(13, 20, 4), "100 ");       // number pointer
  EXPECT_EQ(again.text_at(13, 40, 8), "5551234 ");   // dial string
  again.press(Key::Esc);
  ASSERT_TRUE(again.wait_for_text_gone("Communication Mode"));
  EXPECT_TRUE(quit_program(again, QuitQuestion::ANSWER_YES));
}

TEST(SetupTransfer, EditedConfigurationSentEndsUpInTheModemsRegisters) {
  ZlSession s;
  SimProcess sim;
  ASSERT_TRUE(sim.start({"--pty", s.path("modem"), "--delay", "20", "--set", "104=0x7777"}));
  s.set_env("ZL27T_PORTS", s.path("modem"));
  ASSERT_TRUE(s.write_setup(setup_on_port_0()));
  ASSERT_TRUE(s.start());
  ASSERT_TRUE(s.wait_until([&] { return s.row(4).rfind("oNline", 0) == 0; }, "the menu bar"));

  s.type("fe");
  ASSERT_TRUE(s.wait_for_text("Communication Mode"));
  // Answer on ring (right of the mode, then down), the number pointer and
  // the dial string.
  s.press(Key::Right);
  s.press(Key::Down);
  s.keys("5{Enter}");
  ASSERT_TRUE(s.wait_until([&] { return s.text_at(6, 60, 2) == "5 "; }, "answer on ring 5"));
  s.press(Key::Left);
  s.press(Key::Down, 5);
  s.keys("100{Enter}");
  ASSERT_TRUE(s.wait_until([&] { return s.text_at(13, 20, 4) == "100 "; }, "number pointer 100"));
  s.press(Key::Right);
  s.keys("5551234{Enter}");
  ASSERT_TRUE(s.wait_until([&] { return s.text_at(13, 40, 8) == "5551234 "; }, "dial string 5551234"));
  s.press(Key::Esc);
  ASSERT_TRUE(s.wait_for_text_gone("Communication Mode"));
  s.type("fs");   // Send memory to modem
  // Keys typed while the link waits would reach it (Esc aborts a wait).
  ASSERT_TRUE(s.wait_for_text("SEND OFFLINE TO MODEM"));
  ASSERT_TRUE(s.wait_for_text_gone("SEND OFFLINE TO MODEM"));
  s.type("q");
  ASSERT_TRUE(s.wait_for_text("Edited or Fetched but not Written. Quit anyway?"));
  EXPECT_FALSE(s.contains("ERROR"));
  s.type("y");
  ASSERT_EQ(s.wait_exit(), 0);

  build_default_config();
  ModemConfig want = working_config;
  want.answer_rings = 5;
  want.number_pointer = 100;
  Registers r(s.path("modem"));
  ASSERT_TRUE(r.open());
  const std::pair<int, uint16_t> expected[] = {
      {1, want.flags},
      {3, want.port_rate},
      {4, want.line_rate},
      {5, 100},
      {7, want.password},
      {2049, want.carrier_threshold},
      {2050, want.cts_on_delay},
      {2051, want.cts_off_delay},
      {8000, 5},
      {8002, want.escape_char},
      {8003, want.cr_char},
      {8004, want.lf_char},
      {8005, want.bs_char},
      {8006, want.dial_tone_wait},
      {8007, want.carrier_wait},
      {8008, want.comma_pause},
      {8011, want.dtmf_duration},
      {8012, want.guard_time},
      {100, 0x3535},   // "55"
      {101, 0x3531},   // "51"
      {102, 0x3233},   // "23"
      {103, 0x3400},   // "4" and the end
      {104, 0x7777},   // beyond the string: untouched
  };
  for (auto [reg, value] : expected) EXPECT_EQ(r[reg], value) << "register " << reg;
}

TEST(SetupTransfer, ChangedPortRateAsksBeforeSending) {
  ZlSession s;
  SimProcess sim;
  ASSERT_TRUE(sim.start({"--pty", s.path("modem"), "--delay", "20"}));
  s.set_env("ZL27T_PORTS", s.path("modem"));
  ASSERT_TRUE(s.write_setup(setup_on_port_0()));
  ASSERT_TRUE(s.start());
  ASSERT_TRUE(s.wait_until([&] { return s.row(4).rfind("oNline", 0) == 0; }, "the menu bar"));

  // Port BPS up from 9600 to 14400 in the editor.
  s.type("fe");
  ASSERT_TRUE(s.wait_for_text("Communication Mode"));
  s.press(Key::Down, 3);
  s.type("+");
  ASSERT_TRUE(s.wait_until([&] { return s.text_at(9, 20, 5) == "14400"; }, "Port BPS 14400"));
  s.press(Key::Esc);
  ASSERT_TRUE(s.wait_for_text_gone("Communication Mode"));

  // Refused: nothing is sent.
  s.type("fs");
  ASSERT_TRUE(s.wait_for_text("Setup change will result in loss of communications. Proceed?"));
  EXPECT_TRUE(s.contains("SEND OFFLINE TO MODEM"));
  EXPECT_TRUE(name_on_row_2(s));
  s.type("n");
  ASSERT_TRUE(s.wait_for_text_gone("SEND OFFLINE TO MODEM"));
  // Accepted: everything goes, the port rate last.
  s.type("fs");
  ASSERT_TRUE(s.wait_for_text("Setup change will result in loss of communications. Proceed?"));
  s.type("y");
  ASSERT_TRUE(s.wait_for_text_gone("SEND OFFLINE TO MODEM"));
  EXPECT_FALSE(s.contains("ERROR"));
  ASSERT_TRUE(quit_program(s, QuitQuestion::ANSWER_YES));

  Registers r(s.path("modem"));
  ASSERT_TRUE(r.open());
  EXPECT_EQ(r[3], 14);
}

TEST(SetupTransfer, StalePortInTheFileAsksAgain) {
  ZlSession s;
  LinkSetup stale = setup_on_port_0();
  stale.port = 7;   // only one port is listed
  ASSERT_TRUE(s.write_setup(stale));
  s.set_env("ZL27T_PORTS", "/dev/null");
  ASSERT_TRUE(s.start());
  ASSERT_TRUE(s.wait_for_text("The saved link is not in current choices."));
  s.press(Key::F10);
  ASSERT_TRUE(s.wait_for_text("CONFIGURE THIS COMPUTER"));
  s.press(Key::Esc);   // nothing changed: closes silently
  ASSERT_TRUE(s.wait_for_text_gone("CONFIGURE THIS COMPUTER"));
  ASSERT_TRUE(s.wait_until([&] { return s.row(4).rfind("oNline", 0) == 0; }, "the menu bar"));
  EXPECT_FALSE(s.contains("Edit aborted by ESC"));
  EXPECT_TRUE(quit_program(s));
}

// Setup / Terminal emulator: the terminal's own port settings, kept apart from
// the link's, saved on request; Esc after a change puts the old ones back.
TEST(SetupTransfer, TerminalEmulatorSettingsAreSavedOrRestored) {
  ZlSession s;
  ASSERT_TRUE(s.start_at_menu());
  s.type("st");
  ASSERT_TRUE(s.wait_for_text("CONFIGURE TERMINAL EMULATOR"));
  EXPECT_EQ(s.text_at(8, 36, 9), "Baud rate");
  EXPECT_EQ(s.text_at(8, 46, 5), "9600 ");
  s.press(Key::Down);
  s.type("+");   // 9600 -> 14400
  ASSERT_TRUE(s.wait_until([&] { return s.text_at(8, 46, 5) == "14400"; }, "14400 chosen"));
  s.press(Key::Esc);
  ASSERT_TRUE(s.wait_for_text("Edit aborted by ESC. Modifications lost."));
  s.press(Key::F10);
  ASSERT_TRUE(s.wait_for_text_gone("CONFIGURE TERMINAL EMULATOR"));

  s.press(Key::Esc);
  s.type("st");
  ASSERT_TRUE(s.wait_for_text("CONFIGURE TERMINAL EMULATOR"));
  EXPECT_EQ(s.text_at(8, 46, 5), "9600 ");   // the aborted change is gone
  s.press(Key::Down);
  s.type("+");
  s.press(Key::Down, 3);
  s.type("+");   // parity NONE -> EVEN
  ASSERT_TRUE(s.wait_until([&] { return s.text_at(11, 46, 4) == "EVEN"; }, "EVEN chosen"));
  s.press(Key::Enter, 2);   // through the character set, the last field
  ASSERT_TRUE(s.wait_for_text("Write setup to startup file?"));
  s.type("y");
  ASSERT_TRUE(s.wait_for_text_gone("CONFIGURE TERMINAL EMULATOR"));
  const std::string file = s.read_file(SETUP_FILE);
  ASSERT_EQ(file.size(), 150u);
  EXPECT_EQ(u16_at(file, 40), 14);   // term_baud: 14400
  EXPECT_EQ(u16_at(file, 46), 1);    // term_parity: EVEN
  EXPECT_EQ(u16_at(file, 0), LINK_NONE);   // the link's own settings untouched
  s.press(Key::Esc);
  EXPECT_TRUE(quit_program(s));
}

// The link dialog from the menu switched to Modbus RTU; `edit` types into
// its fields from the Drop (the last) and accepts them; the setup is saved
// and the program ended. What the setup file then holds.
testing::AssertionResult save_modbus_rtu_dialog(ZlSession &s, const std::function<void()> &edit, LinkSetup *saved) {
  SimProcess sim;
  if (!sim.start({"--pty", s.path("modem")})) return testing::AssertionFailure() << "no simulator";
  s.set_env("ZL27T_PORTS", s.path("modem"));
  if (!s.write_setup(setup_on_port_0())) return testing::AssertionFailure() << "no setup file";
  if (!s.start()) return testing::AssertionFailure() << "no start";
  if (auto r = s.wait_until([&] { return s.row(4).rfind("oNline", 0) == 0; }, "the menu bar"); !r) return r;
  s.type("ss");
  if (auto r = s.wait_for_text("CONFIGURE THIS COMPUTER"); !r) return r;
  s.type("   ");
  if (auto r = s.wait_for_text("Modbus RTU"); !r) return r;
  s.press(Key::Up);   // the Drop, last
  edit();
  if (auto r = s.wait_for_text("Write setup to startup file?"); !r) return r;
  s.type("y");
  if (auto r = s.wait_for_text_gone("CONFIGURE THIS COMPUTER"); !r) return r;
  if (auto r = quit_program(s); !r) return r;
  std::string file = s.read_file(SETUP_FILE);
  if (file.size() != sizeof(LinkSetup)) return testing::AssertionFailure() << "setup file of " << file.size();
  memcpy(saved, file.data(), sizeof *saved);
  return testing::AssertionSuccess();
}

// A Modbus drop cleared in the dialog is not the number the list held before:
// the saved setup has the Modbus default drop.
TEST(SetupTransfer, ClearedModbusDropIsNotTheOldNumber) {
  ZlSession s;
  LinkSetup saved;
  ASSERT_TRUE(save_modbus_rtu_dialog(
      s,
      [&] {
        s.press(Key::Del, 3);
        s.press(Key::Enter);
      },
      &saved));
  EXPECT_EQ(saved.kind, LINK_MODBUS_RTU);
  EXPECT_EQ(saved.route_count, 1);
  EXPECT_EQ(saved.route[0], 255);
}

// A drop past 255 is refused when the dialog is accepted, with the limit
// named, and the Drop stays as typed for correction; what is saved is the
// corrected drop, never one cut to a byte. A time-out of 0 is settled to the
// default, as the next start would settle it.
TEST(SetupTransfer, DialogDropPastAByteIsRefusedUntilCorrected) {
  ZlSession s;
  LinkSetup saved;
  ASSERT_TRUE(save_modbus_rtu_dialog(
      s,
      [&] {
        s.type("256");
        s.press(Key::Up, 2);   // Timeout
        s.type("0");
        s.press(Key::Enter, 3);
        ASSERT_TRUE(s.wait_for_text("Drop must be <= 255"));
        EXPECT_EQ(s.text_at(17, 46, 4), "256 ");
        s.press(Key::F10);
        ASSERT_TRUE(s.wait_for_text_gone("Drop must be <= 255"));
        EXPECT_FALSE(s.contains("Write setup to startup file?"));
        s.keys("7{Enter}");
      },
      &saved));
  EXPECT_EQ(saved.kind, LINK_MODBUS_RTU);
  EXPECT_EQ(saved.route_count, 1);
  EXPECT_EQ(saved.route[0], 7);
  EXPECT_EQ(saved.timeout, LINK_TIMEOUT_DEFAULT);
}

// With Trap Errors NO, a link that cannot be opened (a listed port with no
// device behind it) is told as such: on the bottom line at start-up, in a
// box when the Setup dialog is accepted, and on the viewer's bottom line
// after its F9 to that port.
TEST(SetupTransfer, LinkThatCannotBeOpenedIsToldAsSuch) {
  ZlSession s;
  SimProcess sim;
  ASSERT_TRUE(sim.start({"--pty", s.path("modem")}));
  s.set_env("ZL27T_PORTS", s.path("modem") + ":ttyZL27Tgone");
  LinkSetup setup = setup_on_port_0();
  setup.port = 1;           // the missing one
  setup.trap_errors = 1;    // NO
  ASSERT_TRUE(s.write_setup(setup));
  ASSERT_TRUE(s.start());
  ASSERT_TRUE(s.wait_until([&] { return s.row(4).rfind("oNline", 0) == 0; }, "the menu bar"));
  const std::string unable = "Unable to establish link.";
  auto on_row_25 = [&](const std::string &row) { return row.substr(39, unable.size()) == unable; };
  EXPECT_TRUE(s.wait_for_row(25, on_row_25, "the failure on row 25"));

  // Accepted unchanged from Setup: the box names the missing port.
  const std::string told = unable + " ttyZL27Tgone not found";
  s.type("ss");
  ASSERT_TRUE(s.wait_for_text("CONFIGURE THIS COMPUTER"));
  s.press(Key::Enter, 9);   // into the fields, then all eight
  ASSERT_TRUE(s.wait_for_text(told));
  s.press(Key::F10);
  ASSERT_TRUE(s.wait_for_text_gone("CONFIGURE THIS COMPUTER"));

  // The simulator's port opens; the viewer's F9 then goes to the missing one.
  s.type("ss");
  ASSERT_TRUE(s.wait_for_text("CONFIGURE THIS COMPUTER"));
  s.press(Key::Enter);
  s.type("-");
  s.press(Key::Enter, 8);
  ASSERT_TRUE(s.wait_for_text("Write setup to startup file?"));
  s.type("n");
  ASSERT_TRUE(s.wait_for_text_gone("CONFIGURE THIS COMPUTER"));
  s.type("uv");
  ASSERT_TRUE(s.wait_until([&] { return s.text_at(5, 1, 7) == "    4x1"; }, "the viewer"));
  s.press(Key::F9);
  ASSERT_TRUE(s.wait_for_text("CONFIGURE THIS COMPUTER"));
  s.press(Key::Enter);
  s.type("+");
  s.press(Key::Enter, 8);
  ASSERT_TRUE(s.wait_for_text(told));
  s.press(Key::F10);
  ASSERT_TRUE(s.wait_for_text_gone("CONFIGURE THIS COMPUTER"));
  EXPECT_TRUE(s.wait_for_row(25, on_row_25, "the failure on the viewer's row 25"));
  EXPECT_FALSE(s.contains("Handle not valid"));
  // The session ends the program: leaving a viewer whose reads all fail at
  // once is another test's matter.
}
