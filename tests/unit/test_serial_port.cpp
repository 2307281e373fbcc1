// The POSIX port layer on a pty pair: exclusive open, every rate of the
// baud table, RTS toggling where the device has no modem lines, the wait
// for a port's input alone.
#include <gtest/gtest.h>
#include <pty.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "link/link_setup.h"
#include "pty_pair.h"
#include "platform/port_wait.h"
#include "platform/serial_port.h"

namespace {

TEST(SerialPort, OpensExclusivelyByListName) {
  PtyPair pty;
  ASSERT_FALSE(pty.path.empty());
  SerialPort a, b;
  ASSERT_TRUE(sport_open(&a, pty.path.c_str(), PortSettings{}));
  EXPECT_FALSE(sport_open(&b, pty.path.c_str(), PortSettings{}));   // in use
  sport_close(&a);
  EXPECT_TRUE(sport_open(&b, pty.path.c_str(), PortSettings{}));
  sport_close(&b);
  EXPECT_FALSE(sport_open(&b, "/nonexistent/ttyZZ", PortSettings{}));
  EXPECT_FALSE(sport_open(&b, "/dev/null", PortSettings{}));   // not a tty
}

TEST(SerialPort, SetsEveryRateOfTheBaudTable) {
  PtyPair pty;
  SerialPort port;
  ASSERT_TRUE(sport_open(&port, pty.path.c_str(), PortSettings{}));
  for (int i = 0; i < BAUD_COUNT; i++) {
    PortSettings s;
    s.baud = baud_rate[i];
    SCOPED_TRACE(s.baud);
    ASSERT_TRUE(sport_apply(&port, s));
    // 134.5 baud is asked for as 135 and set as B134.
    EXPECT_EQ(sport_read_baud(port.fd), s.baud == 135 ? 134u : s.baud);
  }
  sport_close(&port);
}

TEST(SerialPort, TogglesRtsByHandWhereTheDriverCannot) {
  PtyPair pty;
  SerialPort port;
  PortSettings s;
  s.rts_toggle = true;
  ASSERT_TRUE(sport_open(&port, pty.path.c_str(), s));
  EXPECT_TRUE(port.manual_rts);   // a pty has no RS-485 mode and no RTS line
  const uint8_t bytes[] = {1, 2, 3, 0x10, 0xFE};
  EXPECT_EQ(sport_write(&port, bytes, sizeof bytes), 5);
  uint8_t got[8];
  EXPECT_EQ(read(pty.master, got, sizeof got), 5);
  EXPECT_EQ(got[3], 0x10);
  sport_close(&port);
}

// The waits a caller makes for its reply: a look (time-out 0), a wait that
// times out, bytes, the far end gone. The epoll set and a plain poll answer
// alike, and a time-out in milliseconds never ends a wait early.
TEST(SerialPort, InputWaitTellsBytesHangUpAndTimeOut) {
  using Clock = std::chrono::steady_clock;
  for (bool registered : {true, false}) {
    SCOPED_TRACE(registered ? "epoll set" : "poll");
    PtyPair pty;
    SerialPort port;
    ASSERT_TRUE(sport_open(&port, pty.path.c_str(), PortSettings{}));
    EXPECT_GE(port.input_watch, 0) << "a tty gets its epoll set";
    SerialPort unregistered = port;
    unregistered.input_watch = -1;
    SerialPort *waited = registered ? &port : &unregistered;

    EXPECT_EQ(port_wait_input(waited, 0), 0u);
    auto start = Clock::now();
    EXPECT_EQ(port_wait_input(waited, 2500), 0u);
    EXPECT_GE(Clock::now() - start, std::chrono::microseconds(2500));

    ASSERT_EQ(write(pty.master, "ab", 2), 2);
    EXPECT_EQ(port_wait_input(waited, 1000000) & PORT_WAIT_READABLE, unsigned(PORT_WAIT_READABLE));
    uint8_t got[8];
    EXPECT_EQ(sport_read(&port, got, sizeof got), 2);
    EXPECT_EQ(port_wait_input(waited, 0), 0u) << "all of it was read";

    close(pty.master);
    pty.master = -1;
    EXPECT_NE(port_wait_input(waited, 1000000) & PORT_WAIT_HANGUP, 0u);
    sport_close(&port);
  }
}

}  // namespace
