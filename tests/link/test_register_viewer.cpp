// The register viewer's steps against zl27t-sim with the screen on the
// memory console: the input-register set, and edits queued as a keystroke
// script (typed keys, Esc and values that do not fit).
#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>

#include "link/link.h"
#include "link/link_setup.h"
#include "link_fixture.h"
#include "platform/console.h"
#include "regview/regview.h"
#include "ui/keys.h"

namespace {

constexpr uint16_t YES = 0;
constexpr uint16_t NO = 1;

class RegisterViewerLink : public SimLinkTest {
 protected:
  RegisterViewer v;

  void open_viewer(int rows) {
    ASSERT_TRUE(sim.start({"--set", "100=0x1234", "--set", "101=0xFFFF", "--set", "8292=0x00C3"}));
    setenv("ZL27T_PORTS", sim.path().c_str(), 1);
    refresh_serial_ports();
    link_setup.port = 0;
    link_setup.rv_start_register = 100;
    link_setup.rv_screen_size = static_cast<uint16_t>(rows);
    link_setup.rv_status_registers = YES;
    ASSERT_NE(link_open(), nullptr);
    ASSERT_TRUE(viewer_enter(&v, VIEWER_STATUS_OFFSET));
  }
  void TearDown() override {
    viewer_leave(&v);
    SimLinkTest::TearDown();
  }
  static std::string row(int r) { return mem_console_row_text(r - 1); }
  static uint16_t reg(int r) {
    uint16_t value = 0xDEAD;
    EXPECT_TRUE(link_read_registers(link_handle, r, 1, &value)) << link_error_text(link_handle);
    return value;
  }
  // Keys as a script queues them; the viewer acts on them as its loop does.
  void type(const std::string &keys) {
    push_keys(keys.c_str());
    while (key_queue_count() > 0) {
      wait_key_seen = 0;
      ASSERT_EQ(viewer_refresh(&v), VIEWER_KEY);
      ASSERT_TRUE(viewer_key(&v));
    }
    wait_key_seen = 0;
    ASSERT_EQ(viewer_refresh(&v), VIEWER_REFRESHED);
  }
};

}  // namespace

TEST_F(RegisterViewerLink, InputSetShowsThreeXNumbersAndNoStatus) {
  open_viewer(2);
  ASSERT_EQ(viewer_refresh(&v), VIEWER_REFRESHED);
  EXPECT_EQ(row(5).substr(0, 58), "  4x100  1234    4660    4660  0001 0010 0011 0100    00C3");
  EXPECT_EQ(row(6).substr(0, 58), "  4x101  FFFF   65535      -1  1111 1111 1111 1111    0000");
  link_setup.rv_register_set = 1;
  ASSERT_EQ(viewer_refresh(&v), VIEWER_REFRESHED);
  EXPECT_EQ(row(5).substr(0, 58), "  3x100  1234    4660    4660  0001 0010 0011 0100    ----");
  EXPECT_EQ(mem_console_cell(4, 54).attr, mem_console_cell(4, 9).attr);   // the selected row's mark
  EXPECT_NE(mem_console_cell(5, 54).attr, mem_console_cell(4, 54).attr);
  link_setup.rv_status_registers = NO;
  ASSERT_EQ(viewer_refresh(&v), VIEWER_REFRESHED);
  EXPECT_EQ(row(6).substr(0, 58), "  3x101  FFFF   65535      -1  1111 1111 1111 1111        ");
}

TEST_F(RegisterViewerLink, ScriptedEditsWriteWhatWasTypedAndNothingElse) {
  open_viewer(20);
  ASSERT_EQ(viewer_refresh(&v), VIEWER_REFRESHED);
  const std::string down(1, static_cast<char>(KEY_DOWN)), left(1, static_cast<char>(KEY_LEFT)),
      right(1, static_cast<char>(KEY_RIGHT));
  // The digit that starts the edit comes before the Enter queued after it.
  type("7\r");
  EXPECT_EQ(reg(100), 0x0007);
  EXPECT_EQ(row(5).substr(8, 6), " 0007 ");
  // BINARY: a 1 on the highest bit, the others as they were.
  type(right + right + right + "1\r");
  EXPECT_EQ(reg(100), 0x8007);
  // SIGNED of 0xFFFF: 32768 does not fit and is not written.
  type(down + left);
  int bells = mem_console_bells();
  type("32768\r");
  EXPECT_GT(mem_console_bells(), bells);
  EXPECT_EQ(reg(101), 0xFFFF);
  // Esc gives an edit up without writing, and leaves.
  push_keys("5\x1b");
  ASSERT_EQ(viewer_refresh(&v), VIEWER_KEY);
  EXPECT_FALSE(viewer_key(&v));
  EXPECT_EQ(reg(101), 0xFFFF);
}
