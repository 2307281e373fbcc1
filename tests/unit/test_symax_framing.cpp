// Sy/Max framers fed byte by byte, without a port.
#include <gtest/gtest.h>

#include <random>

#include "symax_test_util.h"

namespace {

struct FrameCase {
  const char *name;
  bool crc;
  Bytes route;
  Bytes data;
  Bytes expected;   // empty: compare with the reference encoder only
};

TEST(SymaxFraming, TransmitsFramesByteForByte) {
  const FrameCase cases[] = {
      {"bcc of a one-byte frame", false, {}, {0x00}, {0x10, 0x01, 0x11, 0x10, 0x02, 0x00, 0x10, 0x03, 0xCA}},
      {"data DLE doubled, counted twice", false, {}, {0x10}, {0x10, 0x01, 0x11, 0x10, 0x02, 0x10, 0x10, 0x10, 0x03, 0xAA}},
      {"route characters", false, {'C', '9'}, {0x00, 0x07}, {}},
      {"crc", true, {'C', '9', '0', '1'}, {0x00, 0x05, 0x10, 0x10, 0xFF}, {}},
      {"crc with an empty message", true, {}, {}, {}},
  };
  for (const FrameCase &c : cases) {
    SCOPED_TRACE(c.name);
    HandLink h(c.crc);
    queue_put(&h.ch()->tx_queue, make_packet(c.route, c.data));
    Bytes sent = drain_tx(h.link);
    EXPECT_EQ(sent, ref_frame(0x11, c.route, c.data, c.crc));
    if (!c.expected.empty()) {
      EXPECT_EQ(sent, c.expected);
    }
  }
}

TEST(SymaxFraming, FrameRoundTripsAndIsAcknowledged) {
  std::mt19937 rng(7);
  for (bool crc : {false, true}) {
    for (int round = 0; round < 50; round++) {
      HandLink a(crc), b(crc);
      Bytes data(2 + rng() % 200);
      for (auto &x : data) x = (rng() % 4 == 0) ? 0x10 : static_cast<uint8_t>(rng());
      data[1] = 0x42;
      b.ch()->expected_transaction = 0x42;
      queue_put(&a.ch()->tx_queue, make_packet({'0', '5'}, data));
      feed(b.link, drain_tx(a.link));
      Packet *got = queue_take(&b.ch()->rx_queue);
      ASSERT_NE(got, nullptr);
      EXPECT_EQ(Bytes(got->data, got->data + got->length), data);
      EXPECT_EQ(Bytes(got->address, got->address + 4), (Bytes{'0', '5', 0xFF, 0xFF}));
      queue_put(&free_packets, got);
      Bytes ack = drain_tx(b.link);
      ASSERT_EQ(ack, (Bytes{0x10, 0x11}));
      feed(a.link, ack);
      EXPECT_EQ(a.ch()->symax_tx.state, STX_IDLE);
      EXPECT_EQ(a.ch()->symax_tx.expected_ack, 0x12);
    }
  }
}

TEST(SymaxFraming, CheckByteEqualToDleIsNotAnEscape) {
  // This data makes the one-byte checksum 0x10.
  Bytes frame = ref_frame(0x11, {}, {0x00, 0x00, 0xBA}, false);
  ASSERT_EQ(frame.back(), 0x10);
  HandLink h;
  feed(h.link, frame);
  Packet *got = queue_take(&h.ch()->rx_queue);
  ASSERT_NE(got, nullptr);
  queue_put(&free_packets, got);
  EXPECT_EQ(drain_tx(h.link), (Bytes{0x10, 0x11}));
  EXPECT_EQ(h.ch()->symax_rx.state, SRX_IDLE);
  EXPECT_EQ(h.ch()->symax_rx.flags, 0);
}

TEST(SymaxFraming, ReceiveRestartsAndRefuses) {
  Bytes good = ref_frame(0x12, {'C', '9'}, {0x86, 0x00, 0x00, 0x00, 0x12, 0x34}, false);
  Bytes bad = good;
  bad.back() ^= 1;
  Bytes half(good.begin(), good.begin() + 7);
  struct Case {
    const char *name;
    Bytes wire;
    int queued;
    Bytes answer;
  } cases[] = {
      {"whole frame", good, 1, {0x10, 0x12}},
      {"DLE SOH mid-frame restarts", [&] { Bytes w = half; w.insert(w.end(), good.begin(), good.end()); return w; }(),
       1, {0x10, 0x12}},
      {"bad check -> NAK", bad, 0, {0x10, 0x15}},
      {"foreign transaction acknowledged, dropped",
       ref_frame(0x11, {}, {0x86, 0x07, 0, 0, 1, 2}, false), 0, {0x10, 0x11}},
      {"bad sequence byte -> NAK", [&] { Bytes w = good; w[2] = 0x13; return w; }(), 0, {0x10, 0x15}},
      {"ENQ repeats the last reply byte", {0x10, 0x05}, 0, {0x10, 0x15}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    HandLink h;
    int pool_before = pool_count();
    h.ch()->expected_transaction = 0x00;
    feed(h.link, c.wire);
    int queued = 0;
    while (Packet *p = queue_take(&h.ch()->rx_queue)) {
      queued++;
      EXPECT_EQ(p->length, 6);
      queue_put(&free_packets, p);
    }
    EXPECT_EQ(queued, c.queued);
    EXPECT_EQ(drain_tx(h.link), c.answer);
    EXPECT_EQ(pool_count(), pool_before);
  }
}

TEST(SymaxFraming, AcknowledgementsNaksAndRetries) {
  HandLink h;
  int pool_before = pool_count();
  queue_put(&h.ch()->tx_queue, make_packet({}, {0x00, 0x01}));
  Bytes frame = drain_tx(h.link);
  ASSERT_EQ(h.ch()->symax_tx.state, STX_ACK_WAIT);

  // The wrong sequence byte while waiting is a NAK: the same frame again.
  feed(h.link, {0x10, 0x12});
  EXPECT_EQ(drain_tx(h.link), frame);
  // Eight NAKs are resent, the ninth gives up.
  for (int i = 0; i < 7; i++) {
    feed(h.link, {0x10, 0x15});
    EXPECT_EQ(drain_tx(h.link), frame);
  }
  feed(h.link, {0x10, 0x15});
  EXPECT_TRUE(drain_tx(h.link).empty());
  EXPECT_EQ(h.ch()->symax_tx.state, STX_IDLE);
  EXPECT_EQ(h.ch()->symax_tx.expected_ack, 0x11);   // a dropped frame does not toggle
  EXPECT_EQ(pool_count(), pool_before);

  // SYN restores the retries and resends.
  queue_put(&h.ch()->tx_queue, make_packet({}, {0x00, 0x02}));
  frame = drain_tx(h.link);
  for (int i = 0; i < 7; i++) feed(h.link, {0x10, 0x15}), drain_tx(h.link);
  feed(h.link, {0x10, 0x16});
  EXPECT_EQ(drain_tx(h.link), frame);
  EXPECT_EQ(h.ch()->symax_tx.retries, 7);

  // Two acknowledgements: the first completes, the second is ignored idle.
  feed(h.link, {0x10, 0x11, 0x10, 0x11});
  EXPECT_EQ(h.ch()->symax_tx.state, STX_IDLE);
  EXPECT_EQ(h.ch()->symax_tx.expected_ack, 0x12);
  EXPECT_TRUE(drain_tx(h.link).empty());
  // ... and causes a resend when the next frame waits.
  queue_put(&h.ch()->tx_queue, make_packet({}, {0x00, 0x03}));
  frame = drain_tx(h.link);
  EXPECT_EQ(frame[2], 0x12);
  feed(h.link, {0x10, 0x11});
  EXPECT_EQ(drain_tx(h.link), frame);
}

TEST(SymaxFraming, AcknowledgementWaitIsTimedByTheLine) {
  HandLink h;
  SerialChannel *ch = h.ch();
  int pool_before = pool_count();
  ch->now_us = 1000000;
  ch->line_free_us = ch->now_us;
  queue_put(&ch->tx_queue, make_packet({}, {0x00}));
  drain_tx(h.link);
  // Without the clock moving, no fill byte goes: a fast port cannot end the
  // wait early.
  EXPECT_EQ(transmit_framer(h.link), TX_LATER);
  int fills = 0, enquiries = 0;
  for (int step = 0; step < 2000 && ch->symax_tx.state == STX_ACK_WAIT; step++) {
    ch->now_us += ch->char_us;
    for (Bytes b = drain_tx(h.link); !b.empty(); b.erase(b.begin())) {
      if (b[0] == FILL) fills++;
      if (b[0] == ENQ) enquiries++;
    }
  }
  EXPECT_EQ(enquiries, 32);
  EXPECT_EQ(fills, 33 * 10);
  EXPECT_EQ(ch->symax_tx.state, STX_IDLE);
  EXPECT_EQ(pool_count(), pool_before);
}

TEST(SymaxFraming, NoFreePacketAnswersSyn) {
  HandLink h;
  PacketQueue hoard = {};
  while (Packet *p = queue_take(&free_packets)) queue_put(&hoard, p);
  feed(h.link, ref_frame(0x11, {}, {0x80, 0x00}, false));
  EXPECT_EQ(drain_tx(h.link), (Bytes{0x10, 0x16}));
  while (Packet *p = queue_take(&hoard)) queue_put(&free_packets, p);
}

TEST(SymaxFraming, HostileInputKeepsThePoolWhole) {
  std::mt19937 rng(99);
  for (bool crc : {false, true}) {
    HandLink h(crc);
    int pool_before = pool_count();
    for (int i = 0; i < 200000; i++) {
      // Bias towards the control bytes so that frames start often.
      uint8_t b = rng() % 3 == 0 ? static_cast<uint8_t>(0x10 + rng() % 7 - 3) : static_cast<uint8_t>(rng());
      receive_framer(h.link, b);
      if (i % 64 == 0) drain_tx(h.link);
    }
    // An over-long frame is refused.
    Bytes longest(300, 0x55);
    h.ch()->symax_rx.state = SRX_IDLE;
    h.ch()->symax_rx.flags = 0;
    queue_put(&free_packets, h.ch()->rx_packet);
    h.ch()->rx_packet = nullptr;
    drain_tx(h.link);
    feed(h.link, ref_frame(0x11, {}, longest, crc));
    Bytes answer = drain_tx(h.link);
    ASSERT_GE(answer.size(), 2u);
    EXPECT_EQ(Bytes(answer.end() - 2, answer.end()), (Bytes{0x10, 0x15}));
    // An over-long route too.
    feed(h.link, ref_frame(0x11, Bytes(20, '1'), {0}, crc));
    answer = drain_tx(h.link);
    EXPECT_EQ(Bytes(answer.end() - 2, answer.end()), (Bytes{0x10, 0x15}));
    while (Packet *p = queue_take(&h.ch()->rx_queue)) queue_put(&free_packets, p);
    EXPECT_EQ(pool_count(), pool_before);
  }
}

}  // namespace
