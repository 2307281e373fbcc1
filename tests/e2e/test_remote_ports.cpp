// Remote serial ports in the full-screen program, as a new user reaches
// them from Setup: ser2net (raw TCP and RFC 2217 accepters) in front of
// zl27t-sim on a pty, the port typed into the dialog's "Remote..." form.
// Every serial link kind fetches and sends through each accepter; the
// terminal talks through both; the typed port is kept for the next start at
// the same index; a bad name is refused with its reason; Esc ends a connect
// to a host that does not answer; a server gone in the middle of a fetch is
// used again once it is back.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "harness.h"
#include "link/link.h"
#include "link/link_core.h"
#include "link/remote_ports.h"
#include "ser2net_process.h"
#include "sim_registers.h"

using namespace e2e;

namespace {

constexpr const char PORTS_FILE[] = "ZL27TSW.PORTS";
constexpr const char RAW_NOTE[] = "raw TCP carries no line settings: the far port keeps its own";

bool at_menu(const Session &s) { return s.row(4).rfind("oNline", 0) == 0; }

// The simulated modem on a pty in the session's directory, and ser2net in
// front of it.
testing::AssertionResult start_remote(Session &s, SimProcess &sim, Ser2netProcess &server,
                                      std::vector<std::string> sim_args) {
  std::vector<std::string> args = {"--pty", s.path("modem")};
  args.insert(args.end(), sim_args.begin(), sim_args.end());
  if (!sim.start(args)) return testing::AssertionFailure() << sim.error();
  if (!server.start(s.path("modem"))) return testing::AssertionFailure() << "ser2net did not start";
  return testing::AssertionSuccess();
}

// In a port field: "Remote..." (the last choice: "-" stops at the first,
// Left from there wraps), the name typed into its form and accepted.
void type_remote_port(Session &s, const std::string &name) {
  s.type("--------");
  s.press(Key::Left);
  ASSERT_TRUE(s.wait_for_text("Remote..."));
  s.press(Key::Enter);
  ASSERT_TRUE(s.wait_for_text("REMOTE PORT"));
  s.keys(name + "{Enter}");
}

struct KindCase {
  const char *name;
  LinkKind kind;
  const char *proto;
  int fields_after_port;   // passed with Enter before the route or drop
  const char *route;
};

const KindCase kinds[] = {
    {"Sy/Max COM:", LINK_SYMAX, "symax", 6, "201"},
    {"Net-to-Net COM:", LINK_NET_TO_NET, "symax", 6, "5"},
    {"Gateway COM:", LINK_GATEWAY, "gateway", 4, "201"},
    {"Modbus RTU", LINK_MODBUS_RTU, "rtu", 6, "7"},
    {"Modbus ASCII", LINK_MODBUS_ASCII, "ascii", 6, "7"},
};

// Setup / Sy/Max communications from "None": the kind, the remote port
// typed in, the other fields passed, the route; accepted and saved.
testing::AssertionResult configure(Session &s, const KindCase &c, const std::string &port) {
  s.type("ss");
  if (!s.wait_for_text("CONFIGURE THIS COMPUTER")) return testing::AssertionFailure() << "no dialog";
  for (int i = 0; i < c.kind; i++) s.type("+");
  if (!s.wait_until([&] { return s.text_at(8, 46, static_cast<int>(strlen(c.name))) == c.name; }, c.name))
    return testing::AssertionFailure() << c.name << " not chosen";
  s.press(Key::Enter);
  type_remote_port(s, port);
  if (!s.wait_for_text_gone("REMOTE PORT")) return testing::AssertionFailure() << "the form stays";
  for (int i = 0; i < c.fields_after_port; i++) s.press(Key::Enter);
  s.keys(std::string(c.route) + "{Enter}");
  if (!s.wait_for_text("Write setup to startup file?")) return testing::AssertionFailure() << "no save question";
  s.type("y");
  if (!s.wait_for_text_gone("CONFIGURE THIS COMPUTER")) return testing::AssertionFailure() << "dialog stays";
  if (s.contains("ERROR")) return testing::AssertionFailure() << "an error after the dialog:\n" << s.dump();
  return testing::AssertionSuccess();
}

// Fetched (answer on ring 7 as the modem holds it), set to 5 and sent.
void fetch_edit_send(Session &s) {
  s.type("fffe");
  ASSERT_TRUE(s.wait_for_text("Communication Mode"));
  ASSERT_TRUE(s.wait_until([&] { return s.text_at(6, 60, 2) == "7 "; }, "answer on ring fetched"));
  ASSERT_FALSE(s.contains("ERROR")) << s.dump();
  s.press(Key::Right);
  s.press(Key::Down);
  s.keys("5{Enter}");
  ASSERT_TRUE(s.wait_until([&] { return s.text_at(6, 60, 2) == "5 "; }, "answer on ring 5"));
  s.press(Key::Esc);
  ASSERT_TRUE(s.wait_for_text_gone("Communication Mode"));
  s.type("fs");
  ASSERT_TRUE(s.wait_until([&] { return s.contains("Proceed?") || at_menu(s); }, "the send"));
  if (s.contains("Proceed?")) s.type("y");
  ASSERT_TRUE(s.wait_for_text_gone("SEND OFFLINE TO MODEM"));
  ASSERT_FALSE(s.contains("ERROR")) << s.dump();
}

// The files the program saved, read as its next start reads them: the port
// index names the remote port, and the register it sent is there.
void expect_kept_and_sent(const Session &s, const std::string &port) {
  EXPECT_EQ(s.read_file(PORTS_FILE), port + "\n");
  LinkSetup setup = saved_setup(s.read_file(SETUP_FILE));
  setenv("ZL27T_PORTS", "/dev/null", 1);
  set_remote_ports_file(s.path(PORTS_FILE));
  refresh_serial_ports();
  ASSERT_LT(setup.port, serial_port_count());
  EXPECT_EQ(serial_port_list[setup.port], port);
  expect_answer_rings(setup, 5);
  set_remote_ports_file("");
  unsetenv("ZL27T_PORTS");
}

class RemotePortsE2e : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!Ser2netProcess::available()) GTEST_SKIP() << "ser2net is not installed";
  }
};

TEST_F(RemotePortsE2e, EverySerialKindFetchesAndSendsThroughATypedRemotePort) {
  for (const KindCase &c : kinds) {
    for (bool telnet : {false, true}) {
      SCOPED_TRACE(std::string(c.name) + (telnet ? " RFC 2217" : " raw TCP"));
      ZlSession s;
      SimProcess sim;
      Ser2netProcess server;
      ASSERT_TRUE(start_remote(s, sim, server, {"--proto", c.proto, "--set", "8000=7"}));
      const std::string port = telnet ? server.telnet_name() : server.raw_name();
      s.set_env("ZL27T_PORTS", "/dev/null");
      ASSERT_TRUE(s.start_at_menu());
      ASSERT_TRUE(configure(s, c, port));
      // What raw TCP cannot do, once, on the bottom line.
      if (!telnet) {
        EXPECT_TRUE(s.wait_for_row(25, [](const std::string &r) { return r.find(RAW_NOTE) != std::string::npos; }));
      }
      fetch_edit_send(s);
      ASSERT_TRUE(quit_program(s, QuitQuestion::ANSWER_YES));
      ASSERT_TRUE(server.await_idle());
      expect_kept_and_sent(s, port);
    }
  }
}

// The terminal's port typed in its own dialog, through each accepter: a
// Modbus ASCII request typed as text gets the modem's reply on the screen.
TEST_F(RemotePortsE2e, TerminalTalksThroughBothAccepters) {
  ZlSession s;
  SimProcess sim;
  Ser2netProcess server;
  ASSERT_TRUE(start_remote(s, sim, server, {"--proto", "ascii", "--slave", "1"}));
  s.set_env("ZL27T_PORTS", "/dev/null");
  ASSERT_TRUE(s.start_at_menu());
  for (const std::string &port : {server.raw_name(), server.telnet_name()}) {
    SCOPED_TRACE(port);
    s.type("st");
    ASSERT_TRUE(s.wait_for_text("CONFIGURE TERMINAL EMULATOR"));
    type_remote_port(s, port);
    ASSERT_TRUE(s.wait_for_text_gone("REMOTE PORT"));
    s.press(Key::Enter, 5);
    ASSERT_TRUE(s.wait_for_text("Write setup to startup file?"));
    s.type("y");
    ASSERT_TRUE(s.wait_for_text_gone("CONFIGURE TERMINAL EMULATOR"));
    ASSERT_TRUE(s.wait_until([&] { return at_menu(s); }, "the menu bar"));
    s.type("ut");
    ASSERT_TRUE(s.wait_for_text("NOTE: The terminal emulator is using " + port));
    if (port == server.raw_name()) {
      EXPECT_TRUE(s.wait_for_text(std::string("NOTE: ") + RAW_NOTE));
    }
    // Slave 1, read register 8177: "ZL" comes back.
    s.type(":01031FF00001EC\r\n");
    ASSERT_TRUE(s.wait_for_text(":0103025A4C54<0D><0A>"));
    s.press(Key::CtrlEnd);
    ASSERT_TRUE(s.wait_until([&] { return at_menu(s); }, "the menu bar again"));
    ASSERT_TRUE(server.await_idle());
  }
  ASSERT_TRUE(quit_program(s));
  // Both were typed and kept, in that order.
  EXPECT_EQ(s.read_file(PORTS_FILE), server.raw_name() + "\n" + server.telnet_name() + "\n");
}

// Saved in one run, the remote port opens the link at the next start with
// no dialog, at the index the setup file holds; --ports lists it.
TEST_F(RemotePortsE2e, TheTypedPortIsThereAtTheNextStart) {
  SimProcess sim;
  Ser2netProcess server;
  // The first session's directory holds the modem's pty: it stays.
  ZlSession first;
  ASSERT_TRUE(start_remote(first, sim, server, {"--proto", "symax", "--set", "8000=7"}));
  first.set_env("ZL27T_PORTS", "/dev/null");
  ASSERT_TRUE(first.start_at_menu());
  ASSERT_TRUE(configure(first, kinds[0], server.raw_name()));
  ASSERT_TRUE(quit_program(first));
  const std::string setup = first.read_file(SETUP_FILE);
  const std::string ports = first.read_file(PORTS_FILE);
  ASSERT_TRUE(server.await_idle());
  ZlSession next;
  next.write_file(SETUP_FILE, setup);
  next.write_file(PORTS_FILE, ports);
  next.set_env("ZL27T_PORTS", "/dev/null");
  ASSERT_TRUE(next.start());
  ASSERT_TRUE(next.wait_until([&] { return at_menu(next); }, "the menu bar"));
  EXPECT_FALSE(next.contains("CONFIGURE THIS COMPUTER"));
  ASSERT_TRUE(next.wait_for_row(25, [](const std::string &r) { return r.find(RAW_NOTE) != std::string::npos; }));
  next.type("fffe");
  ASSERT_TRUE(next.wait_for_text("Communication Mode"));
  ASSERT_TRUE(next.wait_until([&] { return next.text_at(6, 60, 2) == "7 "; }, "answer on ring fetched"));
  next.press(Key::Esc);
  ASSERT_TRUE(next.wait_for_text_gone("Communication Mode"));
  // Once: the next command's return does not bring the note back.
  EXPECT_EQ(next.row(25).find(RAW_NOTE), std::string::npos);
  ASSERT_TRUE(quit_program(next, QuitQuestion::ANSWER_YES));

  ZlSession listing;
  listing.write_file(SETUP_FILE, setup);
  listing.write_file(PORTS_FILE, ports);
  listing.set_env("ZL27T_PORTS", "/dev/null");
  ASSERT_TRUE(listing.start({"--ports"}));
  EXPECT_EQ(listing.wait_exit(), 0);
  EXPECT_NE(listing.raw_output().find("/dev/null\r\n" + server.raw_name() + "\r\n"), std::string::npos)
      << listing.raw_output();
}

// A name that is no remote port is refused with its reason and edited again
// as typed; corrected, it is taken. Then Esc while connecting to a server
// that never takes the connection gives up at once.
TEST_F(RemotePortsE2e, ABadNameIsRefusedAndEscEndsAConnectNobodyAnswers) {
  // A listener whose one-place queue is kept full: the next connect is
  // never answered.
  int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr *>(&a), len), 0);
  ASSERT_EQ(listen(listener, 0), 0);
  ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr *>(&a), &len), 0);
  std::vector<int> fillers;
  for (int i = 0; i < 2; i++) {
    int f = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    connect(f, reinterpret_cast<sockaddr *>(&a), len);
    fillers.push_back(f);
  }
  const std::string silent = "127.0.0.1:" + std::to_string(ntohs(a.sin_port));

  ZlSession s;
  s.set_env("ZL27T_PORTS", "/dev/null");
  ASSERT_TRUE(s.start_at_menu());
  s.type("ss");
  ASSERT_TRUE(s.wait_for_text("CONFIGURE THIS COMPUTER"));
  s.type("+");
  s.press(Key::Enter);
  type_remote_port(s, "socket://" + silent.substr(0, silent.find(':')));
  ASSERT_TRUE(s.wait_for_text("A remote port ends in :PORT, a TCP port of 1 to 65535"));
  s.press(Key::F10);
  ASSERT_TRUE(s.wait_for_text_gone("A remote port ends in"));
  EXPECT_TRUE(s.contains("REMOTE PORT"));
  s.keys(silent.substr(silent.find(':')) + "{Enter}");
  ASSERT_TRUE(s.wait_for_text_gone("REMOTE PORT"));
  s.press(Key::Enter, 7);   // to the route, kept as it is
  ASSERT_TRUE(s.wait_for_text("ATTEMPTING TO CONNECT"));
  auto asked = Session::Clock::now();
  s.press(Key::Esc);
  // The Esc that ends the wait closes the message box too (it is passed on
  // as the keys of a wait are): the message was drawn all the same.
  ASSERT_TRUE(s.wait_until([&] { return s.raw_output().find("connecting given up") != std::string::npos; },
                           "the connect given up"));
  EXPECT_LT(Session::Clock::now() - asked, Session::Ms(1500)) << "not the connect's whole bound";
  ASSERT_TRUE(s.wait_for_text_gone("CONFIGURE THIS COMPUTER"));
  EXPECT_EQ(s.raw_output().find("Write setup to startup file?"), std::string::npos);
  ASSERT_TRUE(quit_program(s));
  EXPECT_FALSE(s.file_exists(PORTS_FILE));   // nothing saved, nothing kept
  for (int f : fillers) close(f);
  close(listener);
}

// ser2net killed in the middle of a fetch: the fetch fails at once with its
// text; started again, the next fetch goes through the same port.
TEST_F(RemotePortsE2e, AServerGoneMidFetchIsUsedAgainWhenBack) {
  ZlSession s;
  SimProcess sim;
  Ser2netProcess server;
  ASSERT_TRUE(start_remote(s, sim, server, {"--proto", "symax", "--delay", "100", "--set", "8000=7"}));
  s.set_env("ZL27T_PORTS", "/dev/null");
  ASSERT_TRUE(s.start_at_menu());
  ASSERT_TRUE(configure(s, kinds[0], server.telnet_name()));

  s.type("ff");
  ASSERT_TRUE(s.wait_for_text("FETCH OFFLINE FROM MODEM"));
  server.kill_now();
  ASSERT_TRUE(s.wait_for_text("Read reply timeout", Session::Ms(2000)));
  s.press(Key::Esc);
  ASSERT_TRUE(s.wait_for_text_gone("FETCH OFFLINE FROM MODEM"));

  ASSERT_TRUE(server.restart());
  s.type("ff");
  ASSERT_TRUE(s.wait_for_text("FETCH OFFLINE FROM MODEM"));
  ASSERT_TRUE(s.wait_for_text_gone("FETCH OFFLINE FROM MODEM"));
  EXPECT_FALSE(s.contains("ERROR")) << s.dump();
  s.type("fe");
  ASSERT_TRUE(s.wait_for_text("Communication Mode"));
  EXPECT_EQ(s.text_at(6, 60, 2), "7 ");
  s.press(Key::Esc);
  ASSERT_TRUE(s.wait_for_text_gone("Communication Mode"));
  ASSERT_TRUE(quit_program(s, QuitQuestion::ANSWER_YES));
}

}  // namespace
