// The link dialogs: type cycling and route rules, which changes reopen the
// link, the forms' navigation, Esc restoring the record, and the register
// viewer's checks. Keys are queued as a user would type them.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>

#include "app/link_startup.h"
#include "config_fixtures.h"
#include "link/link.h"
#include "link/link_dialogs.h"
#include "link/setup_file.h"

namespace {

class LinkDialogs : public ConfigUiTest {
 protected:
  void SetUp() override {
    ConfigUiTest::SetUp();
    setenv("ZL27T_PORTS", "/dev/null", 1);   // one port, which never opens as a link
    refresh_serial_ports();
    default_link_setup(&link_setup);
    link_handle = nullptr;
  }
  void TearDown() override {
    unsetenv("ZL27T_PORTS");
    ConfigUiTest::TearDown();
  }
  static bool seen(const std::string &text) {
    for (size_t i = 0; i < pictures.size(); i++)
      if (pic_has(i, text)) return true;
    return false;
  }
  static std::vector<uint8_t> image(const LinkSetup &s) {
    const auto *p = reinterpret_cast<const uint8_t *>(&s);
    return std::vector<uint8_t>(p, p + sizeof s);
  }
  // Saves go to the setup file of the scratch directory.
  static void use_setup_file() {
    write_bytes("ZL27TSW.STP", image(link_setup));
    LinkSetup keep = link_setup;
    push_keys(K_F10);   // "Unable to establish link." at load
    load_link_setup("ZL27TSW.STP");
    link_setup = keep;
    hotkey_remove(KEY_F1);
  }
  static LinkSetup saved() {
    LinkSetup s{};
    read_setup_image("ZL27TSW.STP", &s);
    return s;
  }
};

}  // namespace

TEST_F(LinkDialogs, EscAfterChangesRestoresTheRecordWithoutEscSilently) {
  const LinkSetup before = link_setup;
  // Next type twice, then Esc: the changes go, with the message.
  push_keys("++" K_F9 K_ESC K_SEE_BOX);
  EXPECT_EQ(configure_link(), nullptr);
  EXPECT_TRUE(pic_has(0, "Gateway COM:"));
  EXPECT_TRUE(pic_has(1, "Edit aborted by ESC. Modifications lost."));
  EXPECT_EQ(image(link_setup), image(before));

  pictures.clear();
  push_keys("+-" K_ESC K_F9);
  EXPECT_EQ(configure_link(), nullptr);
  EXPECT_FALSE(seen("Edit aborted by ESC."));
  EXPECT_EQ(image(link_setup), image(before));
}

// Rows 9 to 17 under the connection type, as each kind draws them: labels
// right-aligned in 15 columns from column 30, blank rows wiping what the
// kind before left.
TEST_F(LinkDialogs, EveryKindDrawsItsOwnRows) {
  struct Case {
    uint16_t kind;
    const char *name;
    const char *rows;   // the nine labels, "|" between them
  } cases[] = {
      {LINK_NONE, "", "||||||||"},
      {LINK_SYMAX, "Sy/Max COM:", "Port|Baud rate|Data bits|Stop bits|Parity|Error Check|Timeout|Trap Errors|Route"},
      {LINK_NET_TO_NET, "Net-to-Net COM:",
       "Port|Baud rate|Data bits|Stop bits|Parity|Error Check|Timeout|Trap Errors|Route"},
      {LINK_GATEWAY, "Gateway COM:", "Port|Baud rate|Data bits|Stop bits|Parity|Route|||"},
      {LINK_MODBUS_RTU, "Modbus RTU", "Port|Baud rate|Data bits|Stop bits|Parity||Timeout|Trap Errors|Drop"},
      {LINK_MODBUS_ASCII, "Modbus ASCII", "Port|Baud rate|Data bits|Stop bits|Parity||Timeout|Trap Errors|Drop"},
      {LINK_MODBUS_TCP, "Modbus TCP", "Host|Port|||||Timeout|Trap Errors|Index"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.kind);
    link_setup.kind = c.kind;
    pictures.clear();
    push_keys(K_F9 K_ESC);
    EXPECT_EQ(configure_link(), nullptr);
    ASSERT_EQ(pictures.size(), 1u);
    if (*c.name) {
      EXPECT_EQ(pic_row(0, 8).substr(45, strlen(c.name)), c.name);
    }
    std::string labels = c.rows;
    for (int row = 9; row <= 17; row++) {
      std::string label = labels.substr(0, labels.find('|'));
      labels.erase(0, label.size() + 1);
      char want[16];
      snprintf(want, sizeof want, "%15s", label.c_str());
      EXPECT_EQ(pic_row(0, row).substr(29, 15), want) << "row " << row;
    }
  }
}

TEST_F(LinkDialogs, AcceptedEditWhoseLinkFailsIsKeptButNotSaved) {
  use_setup_file();
  const LinkSetup on_file = saved();
  // Into the fields, next baud rate, Enter down to the route: accepted. The
  // port (/dev/null) does not open, so there is no save question.
  push_keys(K_ENTER K_ENTER "+" K_ENTER K_ENTER K_ENTER K_ENTER K_ENTER K_ENTER K_ENTER K_SEE_BOX);
  EXPECT_EQ(configure_link(), nullptr);
  EXPECT_TRUE(seen("Unable to establish link."));
  EXPECT_FALSE(seen("Write setup to startup file?"));
  EXPECT_EQ(link_setup.baud, 14);
  EXPECT_EQ(image(saved()), image(on_file));
}

// A drop past 255 is refused at the accept with the limit named; the route
// field is edited again with what was typed, and the correction is taken.
TEST_F(LinkDialogs, DropPastAByteIsRefusedAndTheRouteEditedAgain) {
  struct Case {
    const char *name;
    uint16_t kind;
    const char *typed;
    const char *message;
  } cases[] = {
      {"Modbus RTU drop", LINK_MODBUS_RTU, "256", "Drop must be <= 255"},
      {"Modbus TCP index", LINK_MODBUS_TCP, "256", "Index must be <= 255"},
      {"Sy/Max route", LINK_SYMAX, "300,5", "Route drops must be <= 255"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    default_link_setup(&link_setup);
    link_setup.kind = c.kind;
    apply_route_rule(&link_setup);
    pictures.clear();
    // Up: into the route, the last field. After the refusal the route shows
    // as typed; the first key typed replaces it. The port does not open.
    push_keys((std::string(K_UP) + c.typed + K_ENTER K_SEE_BOX "7" K_ENTER K_SEE_BOX).c_str());
    EXPECT_EQ(configure_link(), nullptr);
    EXPECT_TRUE(seen(c.message));
    EXPECT_EQ(pic_row(0, 17).substr(45, 3), std::string(c.typed).substr(0, 3));   // as typed
    EXPECT_TRUE(seen("Unable to establish link."));
    EXPECT_EQ(link_setup.route[0], 7);
    EXPECT_EQ(key_queue_count(), 0);
  }
}

TEST_F(LinkDialogs, TerminalFormWrapsAndSavesOnlyAChange) {
  use_setup_file();
  // Down past the last field comes back to the first; the baud rate is
  // changed there, and Enter through the rest accepts.
  push_keys(K_DOWN K_DOWN K_DOWN K_DOWN K_DOWN K_DOWN K_DOWN "+" K_ENTER K_ENTER K_ENTER K_ENTER K_ENTER K_F9 "y");
  configure_terminal(1);
  EXPECT_TRUE(seen("Write setup to startup file?"));
  EXPECT_EQ(saved().term_baud, 14);
  EXPECT_EQ(saved().baud, 13);

  // Nothing changed: no question.
  pictures.clear();
  push_keys(K_UP K_ENTER K_F9);
  configure_terminal(1);
  EXPECT_FALSE(seen("Write setup to startup file?"));
}

TEST_F(LinkDialogs, RegisterViewerFormEndsOnDownAtTheLastFieldAndOffersToSave) {
  use_setup_file();
  // Screen size 21 is refused and put back to 20; Down on the last field ends
  // the form and offers to save, changed or not.
  push_keys(K_DOWN K_DOWN "21" K_ENTER K_SEE_BOX K_ENTER K_DOWN K_DOWN K_DOWN K_F9 "y");
  configure_register_viewer(1);
  EXPECT_TRUE(seen("Register Viewer size must be <= 20"));
  EXPECT_TRUE(seen("Write setup to startup file?"));
  EXPECT_EQ(link_setup.rv_screen_size, 20);
  EXPECT_EQ(saved().rv_screen_size, 20);

  pictures.clear();
  push_keys(K_ESC K_F9);
  configure_register_viewer(1);
  EXPECT_FALSE(seen("Write setup to startup file?"));
}

TEST(LinkDialogRules, TypesCycleOneToSixAndRoutesFollowTheKind) {
  const uint16_t next[] = {1, 2, 3, 4, 5, 6, 1};
  const uint16_t prev[] = {6, 6, 1, 2, 3, 4, 5};
  for (uint16_t k = 0; k < LINK_KIND_COUNT; k++) {
    EXPECT_EQ(next_link_kind(k), next[k]) << k;
    EXPECT_EQ(previous_link_kind(k), prev[k]) << k;
  }

  struct Case {
    uint16_t kind, count, first;
    uint16_t want_count, want_first;
  } cases[] = {
      {LINK_MODBUS_RTU, 0, 0, 1, 255},   // empty route: drop 255
      {LINK_MODBUS_TCP, 0, 7, 1, 255},
      {LINK_MODBUS_ASCII, 1, 17, 1, 17},   // a drop of its own stays
      {LINK_SYMAX, 1, 255, 0, 255},      // back on Sy/Max: that route goes
      {LINK_GATEWAY, 2, 255, 0, 255},
      {LINK_NET_TO_NET, 1, 201, 1, 201},
  };
  for (const Case &c : cases) {
    LinkSetup s{};
    s.kind = c.kind;
    s.route_count = c.count;
    s.route[0] = c.first;
    apply_route_rule(&s);
    EXPECT_EQ(s.route_count, c.want_count) << c.kind;
    EXPECT_EQ(s.route[0], c.want_first) << c.kind;
  }
}

TEST(LinkDialogRules, OnlyConnectionFieldsReopenTheLink) {
  LinkSetup a;
  default_link_setup(&a);
  a.route_count = 2;
  a.route[1] = 7;
  struct Case {
    const char *what;
    void (*change)(LinkSetup &);
    bool reopen;
  } cases[] = {
      {"baud", [](LinkSetup &s) { s.baud = 15; }, false},
      {"parity, stop bits, time-out, trap", [](LinkSetup &s) { s.parity = 2; s.stop_bits = 1; s.timeout = 9; s.trap_errors = 1; }, false},
      {"an entry past the count", [](LinkSetup &s) { s.route[5] = 99; }, false},
      {"kind", [](LinkSetup &s) { s.kind = LINK_NET_TO_NET; }, true},
      {"port", [](LinkSetup &s) { s.port = 1; }, true},
      {"host", [](LinkSetup &s) { s.host[0] = 'h'; }, true},
      {"tcp port", [](LinkSetup &s) { s.tcp_port = 502; }, true},
      {"route count", [](LinkSetup &s) { s.route_count = 1; }, true},
      {"a counted entry", [](LinkSetup &s) { s.route[1] = 8; }, true},
  };
  for (const Case &c : cases) {
    LinkSetup b = a;
    c.change(b);
    EXPECT_EQ(connection_changed(a, b), c.reopen) << c.what;
  }
}

TEST_F(LinkDialogs, RegisterViewerChecksPutTheLimitBack) {
  struct Case {
    int (*check)(void *, int, FormField *);
    uint16_t value;
    int accepted;
    uint16_t after;
    const char *message;
  } cases[] = {
      {check_screen_size, 20, 1, 20, nullptr},
      {check_screen_size, 21, 0, 20, "Register Viewer size must be <= 20"},
      {check_screen_size, 0, 0, 1, "Register Viewer size must be >= 1"},
      {check_start_register, 1, 1, 1, nullptr},
      {check_start_register, 9999, 1, 9999, nullptr},
      {check_start_register, 0, 0, 1, "Register Viewer start must be >= 1"},
      {check_timeout, 6000, 1, 6000, nullptr},
      {check_timeout, 6001, 0, 6000, "Timeout must be <= 6000"},
  };
  for (const Case &c : cases) {
    pictures.clear();
    if (c.message) push_keys(K_SEE_BOX);
    uint16_t v = c.value;
    EXPECT_EQ(c.check(&v, 4, nullptr), c.accepted) << c.value;
    EXPECT_EQ(v, c.after);
    if (c.message) {
      EXPECT_TRUE(seen(c.message)) << c.message;
    }
  }
}
