// Link open from the setup record, and module identification, against
// zl27t-sim with the user interface on the memory console.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "link/link.h"
#include "proto/link_handle.h"
#include "link/link_setup.h"
#include "proto/packet.h"
#include "platform/console.h"
#include "platform/keyboard.h"
#include "sim_process.h"
#include "ui/keys.h"
#include "ui/screen.h"
#include "ui/ui.h"

namespace {

class LinkOpen : public ::testing::Test {
 protected:
  SimProcess sim;

  void SetUp() override {
    ASSERT_TRUE(ui_init(CONSOLE_MEMORY));
    default_link_setup(&link_setup);
    link_setup.timeout = 25;   // 10-ms steps
    link_handle = nullptr;
  }
  void TearDown() override {
    if (link_handle) link_close(link_handle);
    link_handle = nullptr;
    ui_shutdown();
    unsetenv("ZL27T_PORTS");
  }

  // Starts the simulator and makes its pty the first port of the list.
  void start_sim(const std::vector<std::string> &options) {
    ASSERT_TRUE(sim.start(options));
    setenv("ZL27T_PORTS", sim.path().c_str(), 1);
    refresh_serial_ports();
    ASSERT_GE(serial_port_count(), 1);
    ASSERT_EQ(std::string(serial_port_list[0]), sim.path());
    link_setup.port = 0;
  }

  static std::string written() {
    std::string out;
    for (const ConRun &run : mem_console_log()) out += run.text + "|";
    return out;
  }
  static std::string name_field() { return mem_console_row_text(1).substr(14, 50); }
};

TEST_F(LinkOpen, OpensTheSetupsLinkOnce) {
  start_sim({});
  int pool_before = pool_count();
  LinkHandle *link = link_open();
  ASSERT_NE(link, nullptr);
  EXPECT_EQ(pool_count(), pool_before + 3);
  EXPECT_EQ(link_handle, link);
  EXPECT_EQ(link->idle, wait_spinner);
  uint16_t v[2];
  EXPECT_EQ(link_read_registers(link, 8177, 2, v), 2) << link_error_text(link);
  // Opening again keeps the link and applies the settings anew.
  link_setup.timeout = 7;
  EXPECT_EQ(link_open(), link);
  EXPECT_EQ(link->reply_timeout, 7);
}

TEST_F(LinkOpen, NetToNetRouteReachesTheModule) {
  start_sim({"--drop", "5"});
  link_setup.kind = LINK_NET_TO_NET;
  link_setup.route_count = 1;
  link_setup.route[0] = 5;
  LinkHandle *link = link_open();
  ASSERT_NE(link, nullptr);
  EXPECT_EQ(link->route_count, 2);
  EXPECT_EQ(link->route[0], 105);
  uint16_t v[2];
  EXPECT_EQ(link_read_registers(link, 8177, 2, v), 2) << link_error_text(link);
  EXPECT_EQ(v[0], ('Z' << 8) | 'L');
}

TEST_F(LinkOpen, RefusesWhatCannotBeOpened) {
  struct {
    const char *name;
    uint16_t kind;
    uint16_t port;
  } cases[] = {{"kind None", LINK_NONE, 0}, {"port index past the list", LINK_SYMAX, 39}};
  for (auto &c : cases) {
    SCOPED_TRACE(c.name);
    link_setup.kind = c.kind;
    link_setup.port = c.port;
    mem_console_log().clear();
    push_keys("\x9a");   // F10 closes the error box
    EXPECT_EQ(link_open(), nullptr);
    EXPECT_EQ(link_handle, nullptr);
    EXPECT_NE(written().find("Unable to establish link."), std::string::npos);
  }
}

// A drop past 255, cut to a byte, would reach another device (300 is 44).
TEST_F(LinkOpen, RefusesADropPastAByte) {
  start_sim({"--proto", "rtu", "--drop", "44"});
  link_setup.kind = LINK_MODBUS_RTU;
  link_setup.parity = 0;
  link_setup.route_count = 1;
  link_setup.route[0] = 300;
  push_keys("\x9a");   // F10 closes the error box
  EXPECT_EQ(link_open(), nullptr);
  EXPECT_NE(written().find("Unable to establish link."), std::string::npos);
}

TEST_F(LinkOpen, IdentifiesTheModule) {
  struct Case {
    const char *name;
    std::vector<std::string> sim;
    const char *tag;
    int result;
    const char *shown;     // the name field, trimmed; null: not checked
    const char *message;   // error box text; null: none
  } cases[] = {
      {"ZL27T", {}, "ZL27T", 1, "ZL27T", nullptr},
      {"sibling", {"--name", "BKVD-4"}, "ZL27T", 1, "BKVD-4", nullptr},
      {"another module", {"--name", "QX900"}, "ZL27T", 0, nullptr, "Connected module is not an ZL27T"},
      {"any module for the viewer", {"--name", "QX900"}, "", 1, "QX900", nullptr},
      {"no signature", {"--no-signature"}, "ZL27T", 1, "", nullptr},
      {"port number", {"--port-word", "0x8003"}, "ZL27T", 1, "ZL27T Port 3", nullptr},
      {"trailing E and O trimmed", {"--name", "ZL27TOE"}, "ZL27T", 1, "ZL27T", nullptr},
      {"no reply, viewer", {"--no-reply-every", "1"}, "", 1, nullptr, nullptr},
      {"no reply", {"--no-reply-every", "1"}, "ZL27T", 0, nullptr, "Read reply timeout"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    SimProcess case_sim;
    ASSERT_TRUE(case_sim.start(c.sim));
    setenv("ZL27T_PORTS", case_sim.path().c_str(), 1);
    refresh_serial_ports();
    link_setup.port = 0;
    ASSERT_NE(link_open(), nullptr);
    put_field("(old name)", 2, 15, 50, ' ', FF_CENTER | 2);
    mem_console_log().clear();
    // No key waiting: an error box is left with Esc, which stops.
    EXPECT_EQ(identify_module(c.tag), c.result);
    if (c.shown) {
      std::string field = name_field();
      field.erase(field.find_last_not_of(' ') + 1);
      field.erase(0, field.find_first_not_of(' ') == std::string::npos ? field.size() : field.find_first_not_of(' '));
      EXPECT_EQ(field, c.shown);
    }
    if (c.message) {
      EXPECT_NE(written().find(c.message), std::string::npos) << written();
    } else {
      EXPECT_EQ(written().find("ERROR"), std::string::npos) << written();
    }
    link_close(link_handle);
    link_handle = nullptr;
  }
}

TEST_F(LinkOpen, EscDuringAWaitAbortsIt) {
  start_sim({"--delay", "2000"});
  LinkHandle *link = link_open();
  ASSERT_NE(link, nullptr);
  link_set_port(link, 9600, 1, 1, 500, 8);
  pkbd_feed("\x1b");
  uint16_t v[1];
  EXPECT_EQ(link_read_registers(link, 1, 1, v), 0);
  EXPECT_STREQ(link_error_text(link), "Application idle abort");
  EXPECT_EQ(wait_key_seen, 2);
  EXPECT_EQ(get_key(), KEY_ESC);   // the screen waiting still gets the key
}

}  // namespace
