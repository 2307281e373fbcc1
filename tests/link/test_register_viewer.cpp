// The register viewer's steps against zl27t-sim with the screen on the
// memory console: the input-register set (on a Sy/Max link, and over Modbus
// TCP, where the simulator's trace shows the function codes that went out),
// edits queued as a keystroke script (typed keys, Esc and values that
// do not fit), and the pace of the passes on a link that answers at once.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "link/link.h"
#include "link/link_setup.h"
#include "link_fixture.h"
#include "platform/console.h"
#include "regview/regview.h"
#include "ui/keys.h"
#include "ui/pace.h"

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
  // The viewer on the simulator's Modbus TCP server (unit 1), its frames
  // traced into `trace`.
  void open_tcp_viewer(const std::string &trace) {
    sim.set_stderr(trace);
    ASSERT_TRUE(sim.start({"--tcp", "0", "--trace", "--set", "100=0x1234", "--set", "101=0xFFFF"}));
    ASSERT_GT(sim.tcp_port(), 0);
    link_setup.kind = LINK_MODBUS_TCP;
    snprintf(link_setup.host, sizeof link_setup.host, "%s", "127.0.0.1");
    link_setup.tcp_port = static_cast<uint16_t>(sim.tcp_port());
    link_setup.route_count = 1;
    link_setup.route[0] = 1;
    link_setup.rv_start_register = 100;
    link_setup.rv_screen_size = 2;
    link_setup.rv_status_registers = YES;
    link_setup.rv_register_set = 1;
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

// The Modbus PDUs of the requests the simulator's TCP server received, from
// its trace lines "sim rx tcp      <MBAP header> <PDU>".
std::vector<std::vector<unsigned>> tcp_requests(const std::string &trace) {
  constexpr size_t MBAP_BYTES = 7;
  std::vector<std::vector<unsigned>> requests;
  std::ifstream in(trace);
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream words(line);
    std::string sim, dir, what;
    words >> sim >> dir >> what;
    if (dir != "rx" || what != "tcp") continue;
    std::vector<unsigned> bytes;
    unsigned b;
    while (words >> std::hex >> b) bytes.push_back(b);
    if (bytes.size() > MBAP_BYTES) requests.emplace_back(bytes.begin() + MBAP_BYTES, bytes.end());
  }
  return requests;
}

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

TEST_F(RegisterViewerLink, InputSetOverModbusTcpReadsInputRegistersAndWritesFileRecords) {
  char trace[] = "/tmp/zl27t-trace-XXXXXX";
  int fd = mkstemp(trace);
  ASSERT_GE(fd, 0);
  close(fd);
  open_tcp_viewer(trace);
  ASSERT_EQ(viewer_refresh(&v), VIEWER_REFRESHED);
  EXPECT_EQ(row(5).substr(0, 58), "  3x100  1234    4660    4660  0001 0010 0011 0100    ----");
  EXPECT_EQ(row(6).substr(0, 58), "  3x101  FFFF   65535      -1  1111 1111 1111 1111    ----");
  // HEX of register 100: 7 replaces the old text, Enter writes it.
  type("7\r");
  EXPECT_EQ(row(5).substr(0, 14), "  3x100  0007 ");

  // Every read of the table asked for input registers 100 and 101 (function
  // 4); the one write was a file record of register 100 (function 21,
  // reference type 3, file 0, record 99, one word); nothing went out as a
  // holding-register read or write.
  const std::vector<unsigned> table_read = {0x04, 0x00, 0x63, 0x00, 0x02};
  const std::vector<unsigned> record_write = {0x15, 0x09, 0x03, 0x00, 0x00, 0x00, 0x63, 0x00, 0x01, 0x00, 0x07};
  int reads = 0, records = 0;
  for (const std::vector<unsigned> &pdu : tcp_requests(trace)) {
    SCOPED_TRACE(::testing::PrintToString(pdu));
    switch (pdu[0]) {
      case 0x04: reads += pdu == table_read; break;
      case 0x15:
        EXPECT_EQ(pdu, record_write);
        records++;
        break;
      default: ADD_FAILURE() << "function " << pdu[0];
    }
  }
  EXPECT_GE(reads, 2);
  EXPECT_EQ(records, 1);
  unlink(trace);
  // The simulator holds what was typed, and the other register as it was.
  uint16_t back[2] = {};
  ASSERT_NE(link_read_input_registers(link_handle, 0, 100, 2, back), 0) << link_error_text(link_handle);
  EXPECT_EQ(back[0], 0x0007);
  EXPECT_EQ(back[1], 0xFFFF);
}

// A pty answers in well under a millisecond; the passes still start no
// sooner than the live screens' pace allows, and a key ends the wait.
TEST_F(RegisterViewerLink, PassesKeepThePaceAndAKeyEndsTheWait) {
  using Clock = std::chrono::steady_clock;
  open_viewer(20);
  // The first pass starts at once, each of the others a pace later.
  constexpr int PASSES = 7;
  auto started = Clock::now();
  for (int i = 0; i < PASSES; i++) ASSERT_EQ(viewer_refresh(&v), VIEWER_REFRESHED);
  EXPECT_GE(Clock::now() - started, std::chrono::milliseconds((PASSES - 1) * LIVE_PASS_MIN_MS));
  EXPECT_EQ(row(5).substr(0, 14), "  4x100  1234 ");
  push_keys("\x1b");
  started = Clock::now();
  EXPECT_EQ(viewer_refresh(&v), VIEWER_KEY);
  EXPECT_LT(Clock::now() - started, std::chrono::milliseconds(LIVE_PASS_MIN_MS / 2));
  EXPECT_FALSE(viewer_key(&v));
}
