// The gateway, Modbus RTU and Modbus ASCII framers on a link's channel,
// driven by hand: every packet a frame takes ends in the receive queue or
// back in the pool, and only over-long or empty frames end the reply wait.
#include <gtest/gtest.h>

#include <string>

#include "symax_test_util.h"

namespace {

Bytes text_bytes(const std::string &s) { return Bytes(s.begin(), s.end()); }

TEST(WideFraming, EveryPacketComesBack) {
  struct Case {
    const char *name;
    uint8_t mode;
    Bytes wire;
    int frames;
    bool wait_ended;
  } cases[] = {
      {"rtu reply", FRAMING_MODBUS_RTU, {0x11, 0x03, 0x00, 0x00, 0x00, 0x02, 0xC6, 0x9B}, 1, false},
      {"rtu bad crc", FRAMING_MODBUS_RTU, {0x11, 0x03, 0x00, 0x00, 0x00, 0x02, 0xC6, 0x9C}, 0, false},
      {"rtu over-long", FRAMING_MODBUS_RTU, Bytes(300, 0x11), 0, true},
      {"ascii reply", FRAMING_MODBUS_ASCII, text_bytes(":110300000002EA\r\n"), 1, false},
      {"ascii lower case", FRAMING_MODBUS_ASCII, text_bytes(":110302000a000bD5\r\n"), 0, false},
      {"ascii empty", FRAMING_MODBUS_ASCII, text_bytes(":\r\n"), 0, true},
      {"ascii cut short, then whole", FRAMING_MODBUS_ASCII, text_bytes(":11:110300000002EA\r\n"), 1, false},
      {"gateway lines", FRAMING_GATEWAY, text_bytes("12 34\r\r"), 2, false},
      {"gateway lines ended CR LF", FRAMING_GATEWAY, text_bytes("12 34\r\n\r\n"), 2, false},
      {"gateway line too long", FRAMING_GATEWAY, Bytes(300, '7'), 1, false},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    HandLink h;
    h.ch()->framing_mode = c.mode;
    h.ch()->awaiting_reply = 1;
    int pool_before = pool_count();
    feed(h.link, c.wire);
    line_silent(h.link);   // RTU frames end by silence; the others ignore it
    int frames = 0;
    while (Packet *p = queue_take(&h.ch()->rx_queue)) {
      frames++;
      queue_put(&free_packets, p);
    }
    EXPECT_EQ(frames, c.frames);
    EXPECT_EQ(h.link->wait_ended.load(), c.wait_ended);
    EXPECT_EQ(pool_count(), pool_before);
  }
}

TEST(WideFraming, SentPacketsGoBackToThePool) {
  struct Case {
    uint8_t mode;
    Bytes wire;
  } cases[] = {
      {FRAMING_MODBUS_RTU, {0x11, 0x03, 0x00, 0x00, 0x00, 0x02, 0xC6, 0x9B}},
      {FRAMING_MODBUS_ASCII, text_bytes(":110300000002EA\r\n")},
  };
  for (const Case &c : cases) {
    HandLink h;
    h.ch()->framing_mode = c.mode;
    int pool_before = pool_count();
    Packet *p = make_packet({}, {0x03, 0x00, 0x00, 0x00, 0x02});
    p->address[0] = 0x11;
    queue_put(&h.ch()->tx_queue, p);
    Packet *q = make_packet({}, {0x03, 0x00, 0x00, 0x00, 0x02});
    q->address[0] = 0x11;
    queue_put(&h.ch()->tx_queue, q);
    Bytes twice = c.wire;
    twice.insert(twice.end(), c.wire.begin(), c.wire.end());
    EXPECT_EQ(drain_tx(h.link), twice);
    EXPECT_EQ(pool_count(), pool_before);
  }
}

}  // namespace
