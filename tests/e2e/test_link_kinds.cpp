// Every connection type of "CONFIGURE THIS COMPUTER", chosen and filled in
// from Setup as a new user would, then a configuration fetched, edited and
// sent: against zl27t-sim for all six kinds, and over Modbus TCP against a
// pymodbus server. Afterwards the saved setup file opens the same link from
// the test, which reads what the program sent. And a Modbus TCP setup file
// that names a serial port no longer there starts straight on its link.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>

#include "harness.h"
#include "link/link.h"
#include "link/link_core.h"
#include "sim_registers.h"

using namespace e2e;

namespace {


struct KindCase {
  const char *name;
  LinkKind kind;
  const char *sim_proto;   // null: Sy/Max
  int fields_before_route;  // fields passed with Enter before the route, drop or index
  const char *route;
};

std::string pymodbus_server() { return std::string(ZL27T_SOURCE_DIR) + "/tests/interop/pymodbus_server.py"; }

// A TCP peer on a port of four digits, or of five.
testing::AssertionResult start_tcp_peer(SimProcess &peer, bool pymodbus, int *port, bool five_digits = false) {
  std::mt19937 rng(std::random_device{}());
  testing::AssertionResult last = testing::AssertionFailure() << "no port tried";
  for (int attempt = 0; attempt < 8; attempt++) {
    *port = five_digits ? 10000 + static_cast<int>(rng() % 50000) : 2000 + static_cast<int>(rng() % 7999);
    std::string p = std::to_string(*port);
    last = started(peer, pymodbus ? peer.start({pymodbus_server(), "--tcp", "--port", p, "--unit", "1"}, "/usr/bin/python3")
                                  : peer.start({"--tcp", p, "--delay", "10", "--set", "8000=7"}));
    if (last) return last;
  }
  return last;
}

// Setup / Sy/Max communications: from "None", the kind chosen with "+", its
// fields passed or filled, accepted and saved.
testing::AssertionResult configure(Session &s, const KindCase &c, int tcp_port) {
  s.type("ss");
  if (!s.wait_for_text("CONFIGURE THIS COMPUTER")) return testing::AssertionFailure() << "no dialog";
  for (int i = 0; i < c.kind; i++) s.type("+");
  if (!s.wait_until([&] { return s.text_at(8, 46, static_cast<int>(strlen(c.name))) == c.name; }, c.name))
    return testing::AssertionFailure() << c.name << " not chosen";
  s.press(Key::Enter);   // into the fields
  if (c.kind == LINK_MODBUS_TCP) s.keys("127.0.0.1{Enter}" + std::to_string(tcp_port) + "{Enter}");
  for (int i = 0; i < c.fields_before_route; i++) s.press(Key::Enter);
  s.keys(std::string(c.route) + "{Enter}");
  if (!s.wait_for_text("Write setup to startup file?")) return testing::AssertionFailure() << "no save question";
  s.type("y");
  if (!s.wait_for_text_gone("CONFIGURE THIS COMPUTER")) return testing::AssertionFailure() << "dialog stays";
  if (s.contains("ERROR")) return testing::AssertionFailure() << "an error after the dialog:\n" << s.dump();
  return testing::AssertionSuccess();
}

size_t times_drawn(const Session &s, const std::string &text) {
  size_t n = 0;
  for (size_t at = s.raw_output().find(text); at != std::string::npos; at = s.raw_output().find(text, at + 1)) n++;
  return n;
}

// Send memory to modem, answering the question a device whose port
// settings differ from the configuration asks first.
void send(Session &s) {
  const std::string title = "SEND OFFLINE TO MODEM";
  size_t before = times_drawn(s, title);
  s.type("fs");
  // A fast peer may open and close the window between two looks at the
  // screen: the output still shows that it was drawn.
  ASSERT_TRUE(s.wait_until(
      [&] { return times_drawn(s, title) > before && (s.contains("Proceed?") || !s.contains(title)); },
      "the question or the end of the send"));
  if (s.contains("loss of communications. Proceed?")) s.type("y");
  ASSERT_TRUE(s.wait_for_text_gone("SEND OFFLINE TO MODEM"));
  ASSERT_FALSE(s.contains("ERROR")) << s.dump();
}

// The configuration fetched (the device holds answer on ring `rings`),
// answer on ring set to 5 in the editor, and sent.
void fetch_edit_send(Session &s, const char *rings) {
  // Keys typed while the fetch waits on the link come after it.
  s.type("fffe");
  ASSERT_TRUE(s.wait_for_text("Communication Mode"));
  ASSERT_TRUE(s.wait_until([&] { return s.text_at(6, 60, 2) == rings; }, "answer on ring fetched"));
  ASSERT_FALSE(s.contains("ERROR")) << s.dump();
  s.press(Key::Right);
  s.press(Key::Down);
  s.keys("5{Enter}");
  ASSERT_TRUE(s.wait_until([&] { return s.text_at(6, 60, 2) == "5 "; }, "answer on ring 5"));
  s.press(Key::Esc);
  ASSERT_TRUE(s.wait_for_text_gone("Communication Mode"));
  send(s);
}

// The saved setup opens the link again here; the register the program sent.
void expect_sent_through_saved_setup(const Session &s, const std::string &ports) {
  LinkSetup setup = saved_setup(s.read_file(SETUP_FILE));
  setenv("ZL27T_PORTS", ports.c_str(), 1);
  refresh_serial_ports();
  expect_answer_rings(setup, 5);
  unsetenv("ZL27T_PORTS");
}

const KindCase kinds[] = {
    {"Sy/Max COM:", LINK_SYMAX, nullptr, 7, "201"},
    {"Net-to-Net COM:", LINK_NET_TO_NET, nullptr, 7, "5"},
    {"Gateway COM:", LINK_GATEWAY, "--gateway", 5, "201"},
    {"Modbus RTU", LINK_MODBUS_RTU, "--rtu", 7, "7"},
    {"Modbus ASCII", LINK_MODBUS_ASCII, "--ascii", 7, "7"},
    {"Modbus TCP", LINK_MODBUS_TCP, nullptr, 2, "1"},
};

}  // namespace

TEST(LinkKinds, EveryKindSendsAndFetchesWithTheSimulatedModem) {
  for (const KindCase &c : kinds) {
    SCOPED_TRACE(c.name);
    ZlSession s;
    SimProcess sim;
    int port = 0;
    if (c.kind == LINK_MODBUS_TCP) {
      ASSERT_TRUE(start_tcp_peer(sim, false, &port));
    } else {
      // Slow enough replies that the send window is seen.
      std::vector<std::string> args = {"--pty", s.path("modem"), "--delay", "10", "--set", "8000=7"};
      if (c.sim_proto) args.push_back(c.sim_proto);
      ASSERT_TRUE(sim.start(args));
      s.set_env("ZL27T_PORTS", s.path("modem"));
    }
    ASSERT_TRUE(s.start_at_menu());
    ASSERT_TRUE(configure(s, c, port));
    fetch_edit_send(s, "7 ");
    ASSERT_TRUE(quit_program(s, QuitQuestion::ANSWER_YES));
    expect_sent_through_saved_setup(s, c.kind == LINK_MODBUS_TCP ? "/dev/null" : s.path("modem"));
  }
}

TEST(LinkKinds, ModbusTcpSendsAndFetchesWithAPymodbusServer) {
  const KindCase &tcp = kinds[5];
  ZlSession s;
  SimProcess server;
  int port = 0;
  ASSERT_TRUE(start_tcp_peer(server, true, &port));
  ASSERT_TRUE(s.start_at_menu());
  ASSERT_TRUE(configure(s, tcp, port));
  // The server starts with every register 0, which is no configuration:
  // the program's own goes there first.
  send(s);
  fetch_edit_send(s, "3 ");
  ASSERT_TRUE(quit_program(s, QuitQuestion::ANSWER_YES));
  expect_sent_through_saved_setup(s, "/dev/null");
}

// A setup file for Modbus TCP whose saved serial port index is beyond the
// port list (the machine lost its serial ports): a TCP link needs no port,
// so start-up opens it straight away, without the configure dialog, and a
// fetch goes through it. The file stays as it was.
TEST(LinkKinds, ModbusTcpStartsFromASetupFileWhosePortIsGone) {
  ZlSession s;
  SimProcess sim;
  int port = 0;
  ASSERT_TRUE(start_tcp_peer(sim, false, &port));
  LinkSetup setup = setup_record();
  setup.kind = LINK_MODBUS_TCP;
  snprintf(setup.host, sizeof setup.host, "%s", "127.0.0.1");
  setup.tcp_port = static_cast<uint16_t>(port);
  setup.route_count = 1;
  setup.route[0] = 1;
  setup.port = 5;   // only one port is listed
  ASSERT_TRUE(s.write_setup(setup));
  const std::string written = s.read_file(SETUP_FILE);
  s.set_env("ZL27T_PORTS", "/dev/null");
  ASSERT_TRUE(s.start());
  ASSERT_TRUE(s.wait_until([&] { return s.row(4).rfind("oNline", 0) == 0; }, "the menu bar"));
  EXPECT_GT(times_drawn(s, "Via Modbus TCP to 127.0.0.1"), 0u);   // opened at start-up
  EXPECT_EQ(times_drawn(s, "CONFIGURE THIS COMPUTER"), 0u);
  EXPECT_EQ(times_drawn(s, "The saved link is not in current choices."), 0u);
  EXPECT_EQ(times_drawn(s, "Unable to establish link."), 0u);

  s.type("fffe");
  ASSERT_TRUE(s.wait_for_text("Communication Mode"));
  ASSERT_TRUE(s.wait_until([&] { return s.text_at(6, 60, 2) == "7 "; }, "answer on ring fetched"));
  EXPECT_FALSE(s.contains("ERROR")) << s.dump();
  EXPECT_EQ(times_drawn(s, "CONFIGURE THIS COMPUTER"), 0u);
  s.press(Key::Esc);
  ASSERT_TRUE(s.wait_for_text_gone("Communication Mode"));
  ASSERT_TRUE(quit_program(s, QuitQuestion::ANSWER_YES));
  EXPECT_EQ(s.read_file(SETUP_FILE), written);
}

// A setup file whose Modbus TCP port and viewer starting register have five
// digits: Enter through every field of the link dialog, and of the viewer's
// settings, changes neither. The link stays up (the save question comes)
// and the file keeps both as they were.
TEST(LinkKinds, FiveDigitNumbersPassThroughTheDialogsUnchanged) {
  ZlSession s;
  SimProcess sim;
  int port = 0;
  ASSERT_TRUE(start_tcp_peer(sim, false, &port, true));
  LinkSetup setup = setup_record();
  setup.kind = LINK_MODBUS_TCP;
  snprintf(setup.host, sizeof setup.host, "%s", "127.0.0.1");
  setup.tcp_port = static_cast<uint16_t>(port);
  setup.route_count = 1;
  setup.route[0] = 1;
  setup.rv_start_register = 40000;
  ASSERT_TRUE(s.write_setup(setup));
  s.set_env("ZL27T_PORTS", "/dev/null");
  ASSERT_TRUE(s.start());
  ASSERT_TRUE(s.wait_until([&] { return s.row(4).rfind("oNline", 0) == 0; }, "the menu bar"));

  s.type("ss");
  ASSERT_TRUE(s.wait_for_text("CONFIGURE THIS COMPUTER"));
  s.press(Key::Enter);
  ASSERT_TRUE(s.wait_until([&] { return s.text_at(10, 46, 5) == std::to_string(port); }, "the port, whole"));
  s.press(Key::Enter, 5);   // host, port, time-out, trap errors, index
  ASSERT_TRUE(s.wait_for_text("Write setup to startup file?"));
  s.type("y");
  ASSERT_TRUE(s.wait_for_text_gone("CONFIGURE THIS COMPUTER"));

  s.type("uv");
  ASSERT_TRUE(s.wait_until([&] { return s.text_at(5, 1, 7) == "4x40000"; }, "the viewer from 40000"));
  s.press(Key::F8);
  ASSERT_TRUE(s.wait_for_text("CONFIGURE REGISTER VIEWER"));
  s.press(Key::Enter, 6);
  ASSERT_TRUE(s.wait_for_text("Write setup to startup file?"));
  s.type("y");
  ASSERT_TRUE(s.wait_for_text_gone("CONFIGURE REGISTER VIEWER"));
  s.press(Key::Esc);
  ASSERT_TRUE(s.wait_until([&] { return s.row(4).rfind("oNline", 0) == 0; }, "the menu bar again"));
  ASSERT_TRUE(quit_program(s));

  LinkSetup saved = saved_setup(s.read_file(SETUP_FILE));
  EXPECT_EQ(saved.tcp_port, port);
  EXPECT_EQ(saved.rv_start_register, 40000);
}
