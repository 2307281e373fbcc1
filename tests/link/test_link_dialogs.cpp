// "CONFIGURE THIS COMPUTER" with a link open to zl27t-sim: a changed baud rate
// keeps the link, a changed route opens it afresh.
#include <gtest/gtest.h>
#include <stdlib.h>

#include "link/link.h"
#include "link/link_dialogs.h"
#include "proto/link_handle.h"
#include "link/link_setup.h"
#include "platform/console.h"
#include "link_fixture.h"
#include "ui/keys.h"
#include "ui/screen.h"

namespace {

int marker_callback(int) { return 1; }

class ConfigureLink : public SimLinkTest {
 protected:
  void SetUp() override {
    SimLinkTest::SetUp();
    if (HasFatalFailure()) return;
    ASSERT_TRUE(sim.start({}));
    setenv("ZL27T_PORTS", sim.path().c_str(), 1);
    refresh_serial_ports();
    ASSERT_NE(link_open(), nullptr);
    // A link that stays keeps this callback; a new one gets the spinner.
    link_set_idle_callback(link_handle, marker_callback, 0);
  }
};

}  // namespace

TEST_F(ConfigureLink, BaudRateChangeKeepsTheLink) {
  LinkHandle *before = link_handle;
  // Into the fields, baud rate up, Enter to the end; no to saving.
  push_keys("\r\r+\r\r\r\r\r\r\rn");
  EXPECT_EQ(configure_link(), before);
  EXPECT_EQ(link_handle, before);
  EXPECT_EQ(link_setup.baud, 14);
  EXPECT_EQ(before->idle, marker_callback);
  EXPECT_EQ(key_queue_count(), 0);   // the save question took the "n"
}

TEST_F(ConfigureLink, AcceptingUnchangedOpensALinkWhosePortWentAwayAgain) {
  sim.kill_now();
  uint16_t v;
  EXPECT_FALSE(link_read_registers(link_handle, 3, 1, &v));   // the port is found gone
  ASSERT_TRUE(sim.restart({}));
  push_keys("\x8b\rn");   // the route accepted as it was
  LinkHandle *link = configure_link();
  ASSERT_NE(link, nullptr);
  EXPECT_EQ(link->idle, wait_spinner);   // opened afresh
  EXPECT_TRUE(link_read_registers(link, 3, 1, &v)) << link_error_text(link);
  EXPECT_EQ(key_queue_count(), 0);
}

TEST_F(ConfigureLink, RouteChangeOpensTheLinkAgain) {
  // Up edits from the last field, the route.
  push_keys("\x8b" "7\rn");
  LinkHandle *link = configure_link();
  ASSERT_NE(link, nullptr);
  EXPECT_EQ(link_handle, link);
  EXPECT_EQ(link->idle, wait_spinner);
  EXPECT_EQ(link->route_count, 1);
  EXPECT_EQ(link->route[0], 7);
  uint16_t v;
  EXPECT_TRUE(link_read_registers(link, 3, 1, &v)) << link_error_text(link);
  EXPECT_EQ(key_queue_count(), 0);
}
