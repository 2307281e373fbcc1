// Sending and fetching a configuration against zl27t-sim, with the user
// interface on the memory console; the simulator's registers are read back
// through the program's own register interface.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstring>
#include <string>
#include <vector>

#include "app/app.h"
#include "config/transfer.h"
#include "link/link.h"
#include "link/link_setup.h"
#include "platform/console.h"
#include "link_fixture.h"
#include "ui/keys.h"
#include "ui/screen.h"

namespace {

class Transfer : public SimLinkTest {
 protected:
  void SetUp() override {
    SimLinkTest::SetUp();
    if (HasFatalFailure()) return;
    pictures.clear();
    hotkey_add(KEY_F9, take_picture);
  }

  // F9 takes a picture of the screen, so a test sees a box while it waits.
  static inline std::string pictures;
  static int take_picture(KeyCode, int) {
    for (int r = 0; r < CON_ROWS; ++r) pictures += mem_console_row_text(r) + "\n";
    return 0;
  }
  static bool pictured(const std::string &text) { return pictures.find(text) != std::string::npos; }

  void open_sim(const std::vector<std::string> &options) {
    ASSERT_TRUE(sim.start(options));
    setenv("ZL27T_PORTS", sim.path().c_str(), 1);
    refresh_serial_ports();
    link_setup.port = 0;
    ASSERT_NE(link_open(), nullptr);
    mem_console_log().clear();
  }

  static uint16_t reg(int r) {
    uint16_t v = 0xDEAD;
    EXPECT_TRUE(link_read_registers(link_handle, r, 1, &v)) << r << ": " << link_error_text(link_handle);
    return v;
  }
  static std::string written() {
    std::string out;
    for (const ConRun &run : mem_console_log()) out += run.text + "|";
    return out;
  }
  static size_t count_of(const std::string &text) {
    size_t n = 0;
    for (size_t at = pictures.find(text); at != std::string::npos; at = pictures.find(text, at + 1)) n++;
    return n;
  }

  // The default configuration with something changed in every kind of item.
  static ModemConfig edited_config() {
    build_default_config();
    ModemConfig c = working_config;
    c.flags = CFG_WATCHDOG | CFG_MULTIDROP;   // nothing that cuts the link
    c.line_rate = 9;
    c.number_pointer = 100;
    strcpy(c.dial_string, "5551234");
    c.password = 0x1234;
    c.carrier_threshold = 1;
    c.cts_on_delay = 40;
    c.cts_off_delay = 41;
    c.answer_rings = 5;
    c.escape_char = '%';
    c.cr_char = 14;
    c.lf_char = 11;
    c.bs_char = 9;
    c.dial_tone_wait = 3;
    c.carrier_wait = 31;
    c.comma_pause = 4;
    c.dtmf_duration = 96;
    c.guard_time = 51;
    return c;
  }
};

// Registers and the values edited_config sends to them (register 1 apart).
const std::vector<std::pair<int, uint16_t>> kSent = {
    {3, 13},   {4, 9},     {5, 100},    {7, 0x1234}, {2049, 1},  {2050, 40},  {2051, 41},
    {8000, 5}, {8002, '%'}, {8003, 14}, {8004, 11},  {8005, 9},  {8006, 3},   {8007, 31},
    {8008, 4}, {8011, 96},  {8012, 51},  // the dial string, two characters a register
    {100, 0x3535}, {101, 0x3531}, {102, 0x3233}, {103, 0x3400},
};

}  // namespace

TEST_F(Transfer, SendWritesEveryItemAndFetchReadsThemBack) {
  open_sim({"--set", "104=0x7777"});
  working_config = edited_config();
  const ModemConfig sent = working_config;
  send_config();
  EXPECT_EQ(written().find("ERROR"), std::string::npos) << written();
  EXPECT_NE(written().find("Writing..."), std::string::npos);
  EXPECT_EQ(reg(1), sent.flags);
  for (auto [r, v] : kSent) EXPECT_EQ(reg(r), v) << "register " << r;
  EXPECT_EQ(reg(104), 0x7777);   // the odd-length string ends inside register 103

  memset(&working_config, 0, sizeof working_config);
  EXPECT_TRUE(fetch_config());
  ModemConfig got = working_config;
  got.flags = sent.flags;   // fetched flags merge in the status register: checked apart
  EXPECT_EQ(memcmp(&got, &sent, sizeof got), 0);
  EXPECT_EQ(working_config.flags & (CFG_WATCHDOG | CFG_RINGING), CFG_WATCHDOG);
}

TEST_F(Transfer, FailedItemEndsTheLoopButTheSettingsAreStillWritten) {
  // Register 2049 (item 7) answers with an error.
  open_sim({"--exception", "3@2049"});
  working_config = edited_config();
  working_config.flags = CFG_WATCHDOG;
  push_keys("\x99\x9a");   // a picture of the error, then F10
  send_config();
  EXPECT_EQ(count_of("ERROR"), 1u) << pictures;
  EXPECT_TRUE(pictured("(3) Illegal Address")) << pictures;   // the link's text
  EXPECT_EQ(reg(4), 9);        // item 3, before the failure
  EXPECT_EQ(reg(100), 0x3535); // item 5
  EXPECT_EQ(reg(8000), 3);     // item 10, after it: not sent
  EXPECT_EQ(reg(1), CFG_WATCHDOG);   // the last write still came
}

TEST_F(Transfer, OnlyChangesThatCutTheLinkAsk) {
  struct Case {
    const char *what;
    std::vector<std::string> sim;
    uint16_t flags;
    bool asks;
  } cases[] = {
      {"same rate, other flags", {}, CFG_WATCHDOG | CFG_AUTO_ANSWER_OFF, false},
      {"port rate", {"--set", "3=12"}, 0, true},
      {"port error check", {}, CFG_PORT_CRC, true},
      {"port parity", {}, 1 << CFG_PORT_PARITY_SHIFT, true},
      {"mode", {}, CFG_TRANSPARENT, true},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    SimProcess case_sim;
    ASSERT_TRUE(case_sim.start(c.sim));
    setenv("ZL27T_PORTS", case_sim.path().c_str(), 1);
    refresh_serial_ports();
    ASSERT_NE(link_open(), nullptr);
    mem_console_log().clear();
    working_config = edited_config();
    working_config.flags = c.flags;
    pictures.clear();
    push_keys("\x99n");   // a picture, then no when asked
    send_config();
    bool asked = pictured("Setup change will result in loss of communications. Proceed?");
    EXPECT_EQ(asked, c.asks);
    // Refused: nothing was written.
    EXPECT_EQ(reg(4), c.asks ? 14 : 9);
    key_queue_reset();
    link_close(link_handle);
    link_handle = nullptr;
  }
}

TEST_F(Transfer, FetchTakesFlagsFromBothRegistersAndStopsAtAFailure) {
  open_sim({"--set", "1=0xE042", "--set", "2=0x8001", "--set", "5=100", "--set-text", "100=9,T1",
            "--set", "8000=7", "--exception", "3@8002"});
  build_default_config();
  push_keys("\x99\x9a");
  EXPECT_FALSE(fetch_config());
  EXPECT_TRUE(pictured("(3) Illegal Address")) << pictures;
  EXPECT_EQ(working_config.flags, 0x6043);   // bit 15 of neither register
  EXPECT_EQ(working_config.number_pointer, 100);
  EXPECT_STREQ(working_config.dial_string, "9,T1");
  EXPECT_EQ(working_config.answer_rings, 7);   // item 10, read
  EXPECT_EQ(working_config.escape_char, '+');  // item 11 failed: as it was
  EXPECT_EQ(working_config.guard_time, 50);
}

TEST_F(Transfer, FetchThatFailsKeepsTheMemoryValuesOfItemsItNeverReached) {
  // Register 8000 (item 10) answers with an error.
  open_sim({"--set", "2049=2", "--exception", "3@8000"});
  build_default_config();   // the stale copy: start-up defaults
  memory_config = edited_config();
  memory_config.carrier_wait = 77;   // as read from a file
  config_dirty = 0;
  push_keys("\x9a");   // F10 on the error
  dispatch(205);
  EXPECT_EQ(memory_config.carrier_threshold, 2);   // item 7, fetched
  EXPECT_EQ(memory_config.line_rate, 14);          // item 3, fetched: the modem's
  EXPECT_EQ(memory_config.answer_rings, 5);        // item 10 failed: the memory's
  EXPECT_EQ(memory_config.carrier_wait, 77);
  EXPECT_EQ(memory_config.guard_time, 51);
  EXPECT_EQ(config_dirty, 1);
}

TEST_F(Transfer, CodesOutsideTheirTablesAreNeverSent) {
  open_sim({});
  struct Case {
    const char *what;
    void (*spoil)(ModemConfig &);
    const char *message;   // null: sent (other checks stay advisory)
  } cases[] = {
      {"port rate from a damaged file", [](ModemConfig &c) { c.port_rate = 34008; }, "Invalid port rate 34008"},
      {"port rate below the table", [](ModemConfig &c) { c.port_rate = 4; }, "Invalid port rate 4"},
      {"line rate", [](ModemConfig &c) { c.line_rate = 6; }, "Invalid line rate 6"},
      {"port parity", [](ModemConfig &c) { c.flags |= CFG_PORT_PARITY; }, "Invalid port parity 3"},
      {"line parity", [](ModemConfig &c) { c.flags |= CFG_LINE_PARITY; }, "Invalid line parity 3"},
      {"threshold", [](ModemConfig &c) { c.carrier_threshold = 7; }, nullptr},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    working_config = edited_config();
    c.spoil(working_config);
    pictures.clear();
    push_keys("\x99\x9a");   // a picture of the message, then F10
    send_config();
    key_queue_reset();
    if (c.message) {
      EXPECT_TRUE(pictured(c.message)) << pictures;
      // Not one write: the modem keeps its defaults.
      EXPECT_EQ(reg(1), 0);
      EXPECT_EQ(reg(3), 13);
      EXPECT_EQ(reg(4), 14);
      EXPECT_EQ(reg(2049), 2);
    } else {
      EXPECT_FALSE(pictured("Invalid")) << pictures;
      EXPECT_EQ(reg(2049), 7);
      EXPECT_EQ(reg(1), working_config.flags);
    }
  }
}
