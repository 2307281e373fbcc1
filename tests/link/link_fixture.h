// A memory console and the default link setup (short reply time-out) for
// tests that drive the program's dialogs and transfers against zl27t-sim.
#pragma once
#include <gtest/gtest.h>
#include <stdlib.h>

#include "link/link.h"
#include "link/link_setup.h"
#include "platform/console.h"
#include "sim_process.h"
#include "ui/keys.h"
#include "ui/screen.h"
#include "ui/ui.h"

class SimLinkTest : public ::testing::Test {
 protected:
  SimProcess sim;

  void SetUp() override {
    ASSERT_TRUE(ui_init(CONSOLE_MEMORY));
    default_link_setup(&link_setup);
    link_setup.timeout = 50;
    link_handle = nullptr;
    key_queue_reset();
  }
  void TearDown() override {
    if (link_handle) link_close(link_handle);
    link_handle = nullptr;
    key_queue_reset();
    ui_shutdown();
    unsetenv("ZL27T_PORTS");
  }
};
