// Gateway command lines, answers and the line framer, without a link.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "proto/gateway_msg.h"
#include "proto/serial_framers.h"

namespace {

using Bytes = std::vector<uint8_t>;

std::string line_of(const char *buf, int length) { return std::string(buf, static_cast<size_t>(length)); }

TEST(GatewayMessages, CommandLines) {
  char buf[263];
  const uint16_t route[] = {201, 1};
  EXPECT_EQ(line_of(buf, gateway_route_line(buf, sizeof buf, route, 2)), "A 201 1\r");
  EXPECT_EQ(line_of(buf, gateway_route_line(buf, sizeof buf, route, 0)), "A\r");
  EXPECT_EQ(line_of(buf, gateway_read_line(buf, sizeof buf, 100, 3)), "R 100 3\r");

  struct Case {
    uint16_t value;
    const char *line;
  } cases[] = {
      {0xFFFF, "W 5 4294967295\r"},
      {0x7FFF, "W 5 32767\r"},
      {0x8000, "W 5 4294934528\r"},
      {0, "W 5 0\r"},
  };
  for (const Case &c : cases) {
    int taken = 0;
    EXPECT_EQ(line_of(buf, gateway_write_line(buf, sizeof buf, 5, 1, &c.value, &taken)), c.line);
    EXPECT_EQ(taken, 1);
  }

  // A write of many large values takes what fits a packet, whole values only.
  std::vector<uint16_t> many(128, 0xFFFF);
  int taken = 0;
  int n = gateway_write_line(buf, sizeof buf, 8000, 128, many.data(), &taken);
  ASSERT_GT(n, 0);
  EXPECT_LT(n, static_cast<int>(sizeof buf));
  EXPECT_EQ(taken, (n - 1 - 6) / 11);   // "W 8000", then " 4294967295" each, then CR
  EXPECT_EQ(buf[n - 1], '\r');
  EXPECT_EQ(buf[n - 2], '5');
}

TEST(GatewayMessages, AnswersAndTheRememberedRoute) {
  struct Case {
    std::string answer;
    int count;
    int stored;
    std::vector<uint16_t> values;
  } cases[] = {
      {"10,20,30\r", 3, 3, {10, 20, 30}},
      {"10 20\r", 3, 2, {10, 20}},
      {"ERROR 112\r", 1, 0, {}},
      {"65536 70000\r", 2, 2, {0, 4464}},   // low 16 bits
      {"1 2 3 4\r", 2, 2, {1, 2}},
      {"1 \r 2\r", 2, 1, {1}},              // the CR ends the values
      {"7,4294967295,42949", 3, 2, {7, 65535}},   // cut to a packet: the last number may be cut too
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.answer);
    uint16_t values[8] = {};
    int stored = gateway_parse_values(reinterpret_cast<const uint8_t *>(c.answer.data()),
                                      static_cast<int>(c.answer.size()), c.count, values);
    EXPECT_EQ(stored, c.stored);
    EXPECT_EQ(std::vector<uint16_t>(values, values + stored), c.values);
  }
  const uint8_t cr[] = {'\r'}, other[] = {'0', '\r'};
  EXPECT_TRUE(gateway_is_ack(cr, 1));
  EXPECT_FALSE(gateway_is_ack(other, 2));

  GatewayRoute remembered;
  const uint16_t a[8] = {201, 1}, b[8] = {201, 2};
  EXPECT_FALSE(gateway_same_route(remembered, 0, a));   // none known at first
  gateway_remember(remembered, 2, a);
  EXPECT_TRUE(gateway_same_route(remembered, 2, a));
  EXPECT_FALSE(gateway_same_route(remembered, 2, b));
  EXPECT_FALSE(gateway_same_route(remembered, 1, a));
  gateway_forget(remembered);
  EXPECT_FALSE(gateway_same_route(remembered, 2, a));
}

// Feeds a line framer with a pool of `pool` packets; returns the lines taken.
std::vector<std::string> lines_received(const std::string &wire, bool awaiting, int pool = 8) {
  LineReceiver rx;
  Packet packet{};
  bool holding = false;
  std::vector<std::string> lines;
  for (char c : wire) {
    uint8_t b = static_cast<uint8_t>(c);
    RxResult r = line_receive(rx, holding ? &packet : nullptr, b, awaiting);
    if (r == RX_WANT_PACKET) {
      holding = pool > 0;
      if (pool > 0) pool--;
      r = line_receive(rx, holding ? &packet : nullptr, b, holding && awaiting);
    }
    if (r == RX_FRAME) {
      lines.emplace_back(reinterpret_cast<const char *>(packet.data), packet.length);
      holding = false;
    }
  }
  return lines;
}

TEST(GatewayFraming, LinesInAndOut) {
  using Lines = std::vector<std::string>;
  EXPECT_EQ(lines_received("12 34\r", true), (Lines{"12 34\r"}));
  EXPECT_EQ(lines_received("\r", true), (Lines{"\r"}));
  EXPECT_EQ(lines_received("\xB1\xB2\r", true), (Lines{"12\r"}));   // top bits cleared
  EXPECT_EQ(lines_received("12 34\r\r", false), (Lines{}));
  // With no packet to take, the line is skipped to its end; the next one is read.
  EXPECT_EQ(lines_received("12 34\r56\r", true, 1), (Lines{"12 34\r"}));
  EXPECT_EQ(lines_received("12 34\r56\r", true, 0), (Lines{}));

  // A line longer than a packet comes cut to its size, without its end; the
  // rest of it is skipped and the next line is read whole.
  std::string long_line(300, '7');
  Lines got = lines_received(long_line + "\r" + "1\r", true);
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0], std::string(PACKET_DATA_SIZE, '7'));
  EXPECT_EQ(got[1], "1\r");

  Packet p{};
  const char text[] = "R 100 3\r";
  memcpy(p.data, text, 8);
  p.length = 8;
  LineTransmitter tx;
  std::string sent;
  for (uint16_t b; (b = line_transmit(tx, &p)) != TX_FRAME_END;) sent += static_cast<char>(b);
  EXPECT_EQ(sent, "R 100 3\r");
}

}  // namespace
