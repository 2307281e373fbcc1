// Sy/Max framers fed byte by byte, without a port: the bare receiver and
// transmitter, and the two on a link's channel.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <random>
#include <string>

#include "framer_runs.h"
#include "symax_test_util.h"

namespace {

struct FrameCase {
  const char *name;
  bool crc;
  Bytes route;
  Bytes data;
  Bytes expected;   // empty: compare with the reference encoder only
};

// The bare machines, one byte a call: what each byte of a frame reports,
// what each byte sent is, and the acknowledgement that ends the exchange.
TEST(SymaxMachines, FrameAndAcknowledgementByteByByte) {
  std::mt19937 rng(3);
  for (bool crc : {false, true}) {
    SCOPED_TRACE(crc ? "crc" : "bcc");
    pool_at_least(4);
    int pool_before = pool_count();
    {
      SymaxEnd a(crc), b(crc);
      Bytes data(40);
      for (auto &x : data) x = (rng() % 3 == 0) ? uint8_t{DLE} : static_cast<uint8_t>(rng());
      queue_put(&a.to_send, make_packet({'C', '9'}, data));
      Bytes wire;
      for (uint16_t x; (x = a.transmit()) < 256;) {
        uint8_t expected_sent = wire.empty() ? SYMAX_SENT_FRAME_FIRST : SYMAX_SENT_FRAME;
        wire.push_back(static_cast<uint8_t>(x));
        if (a.tx.state == STX_ACK_WAIT) expected_sent = SYMAX_SENT_FRAME_LAST;
        EXPECT_EQ(a.tx.sent, expected_sent) << wire.size();
      }
      ASSERT_EQ(wire, ref_frame(SEQ1, {'C', '9'}, data, crc));
      // The wait for the acknowledgement goes by the clock only.
      EXPECT_EQ(a.transmit(), SYMAX_TX_LATER);

      for (size_t i = 0; i < wire.size(); i++) {
        SymaxRxResult r = b.receive(wire[i]);
        SymaxRxResult expected = i == 0 ? SYMAX_RX_SKIPPED : i + 1 == wire.size() ? SYMAX_RX_FRAME : SYMAX_RX_STORED;
        EXPECT_EQ(int(r), int(expected)) << i;
      }
      Packet *got = queue_take(&b.received);
      ASSERT_NE(got, nullptr);
      EXPECT_EQ(Bytes(got->data, got->data + got->length), data);
      EXPECT_EQ(Bytes(got->address, got->address + 4), (Bytes{'C', '9', 0xFF, 0xFF}));
      queue_put(&free_packets, got);

      EXPECT_EQ(b.transmit(), DLE);
      EXPECT_EQ(b.tx.sent, SYMAX_SENT_PAIR_FIRST);
      EXPECT_EQ(b.transmit(), SEQ1);
      EXPECT_EQ(b.tx.sent, SYMAX_SENT_PAIR_LAST);
      EXPECT_EQ(b.transmit(), SYMAX_TX_NONE);

      a.receive(Bytes{DLE, SEQ1});
      EXPECT_EQ(a.controls, 1);
      EXPECT_EQ(a.tx_packet, nullptr);
      EXPECT_EQ(a.tx.expected_ack, SEQ2);
      EXPECT_EQ(a.transmit(), SYMAX_TX_NONE);
      EXPECT_EQ(a.broken + b.broken, 0);
    }
    EXPECT_EQ(pool_count(), pool_before);
  }
}

// An answer owed while a frame goes out is sent between two of its bytes,
// never between a DLE and the byte it escapes, wherever it falls due; the
// far end takes both the frame and the answer.
TEST(SymaxMachines, AnswerOwedMidFrameNeverSplitsAnEscape) {
  const Bytes data = {0x00, 0x10, 0x10, 0x05, 0x10};
  pool_at_least(4);
  for (bool crc : {false, true}) {
    const Bytes frame = ref_frame(SEQ1, {'0', '1'}, data, crc);
    for (bool busy : {false, true}) {
      for (size_t k = 1; k < frame.size(); k++) {
        SCOPED_TRACE(testing::Message() << (crc ? "crc" : "bcc") << (busy ? " SYN" : " ack") << " after " << k);
        SymaxEnd a(crc), b(crc);
        queue_put(&a.to_send, make_packet({'0', '1'}, data));
        Bytes wire;
        for (size_t i = 0; i < k; i++) wire.push_back(static_cast<uint8_t>(a.transmit()));
        if (busy)
          symax_answer_busy(a.tx);
        else
          symax_answer(a.tx, SEQ2);
        Bytes rest = a.drain();
        wire.insert(wire.end(), rest.begin(), rest.end());

        const Bytes pair = {DLE, busy ? SYN : SEQ2};
        ASSERT_EQ(wire.size(), frame.size() + 2);
        size_t at = k;
        while (at + 2 <= wire.size() && Bytes(wire.begin() + at, wire.begin() + at + 2) != pair) at++;
        ASSERT_LE(at + 2, wire.size());
        Bytes without = wire;
        without.erase(without.begin() + at, without.begin() + at + 2);
        EXPECT_EQ(without, frame);
        // Never right after a DLE of the frame that has its partner still to come.
        size_t dles = 0;
        for (size_t i = at; i > 0 && wire[i - 1] == DLE; i--) dles++;
        EXPECT_EQ(dles % 2, 0u);

        b.receive(wire);
        EXPECT_EQ(b.controls, 1);
        Packet *got = queue_take(&b.received);
        ASSERT_NE(got, nullptr);
        EXPECT_EQ(Bytes(got->data, got->data + got->length), data);
        queue_put(&free_packets, got);
        EXPECT_EQ(a.broken + b.broken, 0);
      }
    }
  }
}

// A frame whose packet is taken back (the port went) is given up on both
// sides without touching the packet; the next frame goes through whole.
TEST(SymaxMachines, FrameWhosePacketIsTakenBackIsGivenUp) {
  pool_at_least(4);
  SymaxEnd a, b;
  queue_put(&a.to_send, make_packet({}, {0x00, 0x01, 0x02}));
  Bytes wire = a.drain();
  b.receive(Bytes(wire.begin(), wire.begin() + 6));
  ASSERT_EQ(b.rx.state, SRX_DATA);

  queue_put(&free_packets, b.rx_packet);
  b.rx_packet = nullptr;
  EXPECT_EQ(b.receive(0x02), SYMAX_RX_SKIPPED);
  queue_put(&free_packets, a.tx_packet);
  a.tx_packet = nullptr;
  EXPECT_EQ(a.transmit(), SYMAX_TX_NONE);
  EXPECT_EQ(a.tx.state, STX_IDLE);

  queue_put(&a.to_send, make_packet({}, {0x00, 0x04}));
  b.receive(a.drain());
  EXPECT_NE(b.received.head, nullptr);
  EXPECT_EQ(a.broken + b.broken, 0);
}

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

// Everything a link's Sy/Max framing leaves for others to see, as text (a
// difference shows where it lies): the frames queued, the frame under way,
// a woken waiter, the pool, both machines' state, and then what the
// transmitter has to send.
std::string symax_outcome(HandLink &h, int pool_before) {
  SerialChannel *ch = h.ch();
  std::string out;
  char line[160];
  auto packet = [&](const char *what, const Packet *p, int length) {
    out += what;
    for (int i = 0; i < PACKET_ADDRESS_SIZE; i++) {
      snprintf(line, sizeof line, " %02X", p->address[i]);
      out += line;
      if (p->address[i] == 0xFF) break;
    }
    out += " |";
    for (int i = 0; i < length && i < PACKET_DATA_SIZE; i++) {
      snprintf(line, sizeof line, " %02X", p->data[i]);
      out += line;
    }
    out += "\n";
  };
  for (Packet *p = ch->rx_queue.head; p; p = p->next) packet("frame", p, p->length);
  const SymaxReceiver &rx = ch->symax_rx;
  if (ch->rx_packet) packet("held", ch->rx_packet, rx.state == SRX_DATA ? PACKET_DATA_SIZE - rx.space : 0);
  const SymaxTransmitter &tx = ch->symax_tx;
  snprintf(line, sizeof line, "woken %d pool %d sending %d rx %u %02X %02X %u %04X tx %u %04X %02X %02X %u %u\n",
           ch->waiter_due, pool_before - pool_count(), ch->tx_packet != nullptr, rx.state, rx.flags, rx.sequence,
           rx.space, rx.check, tx.state, tx.flags, tx.expected_ack, tx.reply_byte, tx.retries, tx.sent);
  out += line;
  out += "sends";
  for (uint8_t b : drain_tx(h.link)) {
    snprintf(line, sizeof line, " %02X", b);
    out += line;
  }
  return out;
}

struct WireCase {
  const char *name;
  Bytes wire;
  bool crc = false;
  bool sending = false;      // a frame of ours awaits its acknowledgement
  bool empty_pool = false;   // no packet for a frame that comes
};

// The wire fed to a fresh link by `deliver`: the outcome.
template <typename Deliver>
std::string wire_outcome(const WireCase &c, Deliver deliver) {
  HandLink h(c.crc);
  SerialChannel *ch = h.ch();
  ch->expected_transaction = 0x42;
  ch->reader_holds_lock = true;   // a woken waiter shows as waiter_due
  if (c.sending) {
    queue_put(&ch->tx_queue, make_packet({'0', '1'}, {0x00, 0x41}));
    drain_tx(h.link);
  }
  PacketQueue hoard = {};
  if (c.empty_pool)
    while (Packet *p = queue_take(&free_packets)) queue_put(&hoard, p);
  int pool_before = pool_count();
  deliver(h.link, c.wire);
  std::string out = symax_outcome(h, pool_before);
  while (Packet *p = queue_take(&hoard)) queue_put(&free_packets, p);
  while (Packet *p = queue_take(&ch->rx_queue)) queue_put(&free_packets, p);
  return out;
}

// The bytes of a read taken in runs (receive_framer_bytes) give what they
// give one by one: the same frames kept and dropped, the same answers
// owed, wherever the reads split the wire.
TEST(SymaxFraming, ReadsInRunsActAsByteByByte) {
  Bytes registers(40);
  for (size_t i = 0; i < registers.size(); i++) registers[i] = static_cast<uint8_t>(i * 7);
  registers[1] = 0x42;
  const Bytes reply = cat({{0x86, 0x42}, registers});
  const Bytes dles = {0x86, 0x42, 0x10, 0x10, 0x10, 0x01, 0x10, 0x00, 0x10};
  const Bytes good = ref_frame(SEQ1, {'C', '9'}, reply, false);
  const Bytes good_crc = ref_frame(SEQ2, {'C', '9', '0', '1'}, reply, true);
  Bytes bad = ref_frame(SEQ1, {}, dles, false);
  bad.back() ^= 1;
  Bytes bad_crc = ref_frame(SEQ1, {}, dles, true);
  bad_crc[bad_crc.size() - 2] ^= 1;
  const Bytes full = cat({{0x86, 0x42}, Bytes(PACKET_DATA_SIZE - 2, 0x10)});
  Bytes ack_inside = good;
  ack_inside.insert(ack_inside.begin() + 12, {DLE, SEQ1});
  Bytes pairs_inside = good_crc;
  pairs_inside.insert(pairs_inside.begin() + 20, {DLE, ENQ, DLE, SYN});
  pairs_inside.insert(pairs_inside.begin() + 4, {DLE, NAK});
  const WireCase cases[] = {
      {"bcc reply", good},
      {"crc reply", good_crc, true},
      {"doubled DLEs", ref_frame(SEQ2, {'1'}, dles, false)},
      {"doubled DLEs, crc", ref_frame(SEQ2, {'1'}, dles, true), true},
      {"bad check", bad},
      {"bad crc", bad_crc, true},
      {"check byte equal to DLE, then a frame", cat({ref_frame(SEQ1, {}, {0x00, 0x00, 0xBA}, false), good})},
      {"foreign transaction", ref_frame(SEQ1, {}, {0x86, 0x07, 0x00}, false)},
      {"data filling the packet", ref_frame(SEQ1, {}, full, false)},
      {"over-long data", ref_frame(SEQ1, {}, cat({full, {0x55}}), false)},
      {"over-long data, crc", ref_frame(SEQ1, {}, Bytes(PACKET_DATA_SIZE + 9, 0x42), true), true},
      {"over-long route", ref_frame(SEQ1, Bytes(PACKET_ADDRESS_SIZE, '7'), reply, false)},
      {"DLE SOH restarts a frame", cat({Bytes(good.begin(), good.begin() + 20), good})},
      {"DLE SOH in the route", cat({Bytes(good.begin(), good.begin() + 4), good_crc}), true},
      {"stray DLE in the data", cat({Bytes(good.begin(), good.begin() + 14), {DLE, 0x07}, good})},
      {"DLE ETX early", cat({Bytes(good.begin(), good.begin() + 14), {DLE, ETX, 0x00}, good})},
      {"fill bytes and noise around", cat({Bytes(30, FILL), good, Bytes(5, FILL), {0x00, 0x10, 0x10, 0x33}})},
      {"control pairs between frames", cat({{DLE, SEQ2, DLE, NAK, DLE, ENQ, DLE, SYN}, good, {DLE, SEQ1}})},
      {"acknowledgement inside a frame", ack_inside, false, true},
      {"control pairs inside a frame", pairs_inside, true, true},
      {"refused, then acknowledged", {DLE, NAK, FILL, DLE, SEQ1}, false, true},
      {"no free packet", cat({good, Bytes(3, FILL), good}), false, false, true},
      {"cut short", Bytes(good.begin(), good.begin() + 30)},
  };
  pool_at_least(8);
  for (const WireCase &c : cases) {
    SCOPED_TRACE(c.name);
    expect_reads_act_as_bytes(c.wire.size(), [&](const Feeder &reads) { return wire_outcome(c, reads); });
  }
}

// The pump's fill as it was before frames went whole: the transmitter
// byte by byte, told before each byte when the line is free of those before.
void fill_byte_by_byte(LinkHandle *link, int64_t written_free, uint16_t limit) {
  SerialChannel *ch = serial_channel(link);
  int64_t from = written_free > ch->now_us ? written_free : ch->now_us;
  while (ch->tx_length < limit) {
    ch->line_free_us = from + int64_t(ch->tx_length) * ch->char_us;
    uint16_t b = transmit_framer(link);
    if (b >= 256) break;
    ch->tx_buffer[ch->tx_length++] = static_cast<uint8_t>(b);
  }
}

// What the fills gave, a line each, then the transmitter.
std::string fills_and_state(HandLink &h, void (*fill)(LinkHandle *, int64_t, uint16_t), int64_t written_free,
                            uint16_t limit) {
  SerialChannel *ch = h.ch();
  std::string out;
  char line[200];
  for (int fills = 0; fills < 64; fills++) {
    fill(h.link, written_free, limit);
    if (ch->tx_length == 0) break;
    for (int i = 0; i < ch->tx_length; i++) {
      snprintf(line, sizeof line, " %02X", ch->tx_buffer[i]);
      out += line;
    }
    out += "\n";
    ch->tx_length = 0;
  }
  const SymaxTransmitter &tx = ch->symax_tx;
  snprintf(line, sizeof line, "tx %u %04X %u %u %04X %02X %02X %u %u %u %lld %u %d sending %d\n", tx.state, tx.flags,
           tx.index, tx.left, tx.check, tx.expected_ack, tx.reply_byte, tx.enquiries, tx.retries, tx.fills,
           static_cast<long long>(tx.fill_due_us), tx.sent, tx.taking, ch->tx_packet != nullptr);
  return out + line;
}

// The pump's fill writes a frame whole where it fits, and gives what the
// transmitter gives byte by byte with the same frozen clock: the same
// bytes in each fill, whatever the room, an owed answer before the frame,
// and the acknowledgement wait after it timed the same.
TEST(SymaxFraming, FillsActAsByteByByte) {
  enum Before { NOTHING, ACK_OWED, BUSY_OWED, REFUSED };
  struct Case {
    const char *name;
    bool crc;
    Bytes route;
    Bytes data;
    Before before = NOTHING;
  } cases[] = {
      {"bcc", false, {'C', '9'}, {0x03, 0x00, 0x00, 0x00, 0x14}},
      {"crc", true, {'C', '9', '0', '1'}, {0x03, 0x00, 0x00, 0x00, 0x14}},
      {"DLEs in the data", false, {}, {0x10, 0x00, 0x10, 0x10, 0x05}},
      {"DLEs in the data, crc", true, {'1'}, {0x10, 0x00, 0x10, 0x10, 0x05}},
      {"empty message", true, {}, {}},
      {"a whole packet", false, {}, Bytes(PACKET_DATA_SIZE, 0x10)},
      {"acknowledgement owed first", false, {'C'}, {0x03, 0x10}, ACK_OWED},
      {"DLE SYN owed first, crc", true, {}, {0x03, 0x10}, BUSY_OWED},
      {"sent again once refused", true, {'2'}, {0x10, 0x04}, REFUSED},
  };
  pool_at_least(8);
  for (const Case &c : cases) {
    const uint16_t frame = static_cast<uint16_t>(ref_frame(SEQ1, c.route, c.data, c.crc).size());
    const uint16_t owed = c.before == ACK_OWED || c.before == BUSY_OWED ? 2 : 0;
    for (uint16_t limit : {uint16_t(SERIAL_BUFFER_SIZE), uint16_t(SYMAX_IO_SIZE), uint16_t(frame + owed),
                           uint16_t(frame + owed - 1), uint16_t(3)}) {
      if (limit > SERIAL_BUFFER_SIZE) continue;
      for (int64_t written_free : {int64_t(0), int64_t(1003000)}) {
        SCOPED_TRACE(testing::Message() << c.name << ", limit " << limit << ", line free at " << written_free);
        auto run = [&](void (*fill)(LinkHandle *, int64_t, uint16_t)) {
          HandLink h(c.crc);
          SerialChannel *ch = h.ch();
          ch->now_us = 1000000;
          int pool_before = pool_count();
          queue_put(&ch->tx_queue, make_packet(c.route, c.data));
          queue_put(&ch->tx_queue, make_packet({}, {0x00, 0x10}));
          if (c.before == ACK_OWED) symax_answer(ch->symax_tx, SEQ2);
          if (c.before == BUSY_OWED) symax_answer_busy(ch->symax_tx);
          if (c.before == REFUSED) {
            drain_tx(h.link);
            feed(h.link, {DLE, NAK});
          }
          std::string out = fills_and_state(h, fill, written_free, limit);
          // Its acknowledgement lets the next frame go.
          ch->now_us += 100;
          feed(h.link, {DLE, SEQ1});
          out += fills_and_state(h, fill, written_free, limit);
          ch->now_us += 100000;
          out += fills_and_state(h, fill, written_free, limit);
          feed(h.link, {DLE, SEQ2});
          out += "pool " + std::to_string(pool_before - pool_count());
          return out;
        };
        EXPECT_EQ(run(fill_byte_by_byte), run(transmit_framer_fill));
      }
    }
  }
}

}  // namespace
