// The gateway, Modbus RTU and Modbus ASCII framers on a link's channel,
// driven by hand: every packet a frame takes ends in the receive queue or
// back in the pool, and only over-long or empty frames end the reply wait.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "framer_runs.h"
#include "symax_test_util.h"

namespace {

Bytes text_bytes(const std::string &s) { return Bytes(s.begin(), s.end()); }

// A Modbus RTU frame with its CRC, low byte first.
Bytes rtu(Bytes frame) {
  uint16_t crc = 0xFFFF;
  for (uint8_t b : frame) crc = ref_crc(crc, b);
  frame.push_back(static_cast<uint8_t>(crc));
  frame.push_back(static_cast<uint8_t>(crc >> 8));
  return frame;
}

// Everything the receive side leaves for others to see, as text (a
// difference shows where it lies): the frames queued, the packet held, the
// waits woken or ended, the owed reply, the pool and the receivers' state.
std::string rx_outcome(HandLink &h, int pool_before) {
  SerialChannel *ch = h.ch();
  std::string out;
  char line[96];
  for (Packet *p = ch->rx_queue.head; p; p = p->next) {
    // A gateway line has no address: the packet keeps what it held before.
    int address = ch->framing_mode == FRAMING_GATEWAY ? -1 : p->address[0];
    snprintf(line, sizeof line, "frame %d len %u:", address, p->length);
    out += line;
    for (int i = 0; i < p->length && i < PACKET_DATA_SIZE; i++) {
      snprintf(line, sizeof line, " %02X", p->data[i]);
      out += line;
    }
    out += "\n";
  }
  snprintf(line, sizeof line, "held %d woken %d ended %d owed %lld pool %d\n", ch->rx_packet != nullptr,
           ch->waiter_due, h.link->wait_ended.load(), static_cast<long long>(ch->reply_owed_until_us),
           pool_before - pool_count());
  out += line;
  snprintf(line, sizeof line, "rtu %u %02X %u %04X ascii %u %02X %X %d %u line %u %u\n", ch->rtu_rx.state,
           ch->rtu_rx.address, ch->rtu_rx.stored, ch->rtu_rx.crc, ch->ascii_rx.state, ch->ascii_rx.lrc,
           ch->ascii_rx.high, ch->ascii_rx.half, ch->ascii_rx.room, ch->line_rx.state, ch->line_rx.length);
  out += line;
  return out;
}

struct RxCase {
  const char *name;
  uint8_t mode;
  Bytes wire;
  bool awaiting = true;
  bool request_unsent = false;
};

// The wire fed to a fresh link by `deliver`, then the line falls silent:
// the outcome after the bytes and after the silence.
template <typename Deliver>
std::string receive_outcome(const RxCase &c, Deliver deliver) {
  HandLink h;
  SerialChannel *ch = h.ch();
  ch->framing_mode = c.mode;
  ch->awaiting_reply = c.awaiting ? 1 : 0;
  ch->reader_holds_lock = true;   // a woken waiter shows as waiter_due
  ch->reply_owed_until_us = 5;
  if (c.request_unsent) queue_put(&ch->tx_queue, make_packet({}, {0x03}));
  int pool_before = pool_count();
  deliver(h.link, c.wire);
  std::string out = rx_outcome(h, pool_before);
  line_silent(h.link);
  out += "silent\n" + rx_outcome(h, pool_before);
  for (PacketQueue *q : {&ch->rx_queue, &ch->tx_queue})
    while (Packet *p = queue_take(q)) queue_put(&free_packets, p);
  return out;
}

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

// Bytes taken by the run of a frame under way and bytes taken one by one
// leave everything the same, wherever the reads split the wire.
TEST(WideFraming, ReadsInRunsActAsByteByByte) {
  Bytes registers(40);
  for (size_t i = 0; i < registers.size(); i++) registers[i] = static_cast<uint8_t>(i * 7);
  Bytes read20 = rtu(cat({{0x11, 0x03, 0x28}, registers}));
  Bytes bad_crc = rtu({0x11, 0x03, 0x04, 0x00, 0x0A, 0x00, 0x0B});
  bad_crc.back() ^= 1;
  Bytes too_long_ascii = text_bytes(":" + std::string(2 * PACKET_DATA_SIZE + 4, '0') + "\r\n");
  const RxCase cases[] = {
      {"rtu read registers", FRAMING_MODBUS_RTU, rtu({0x11, 0x03, 0x04, 0x00, 0x0A, 0x00, 0x0B})},
      {"rtu read 20 registers", FRAMING_MODBUS_RTU, read20},
      {"rtu read coils", FRAMING_MODBUS_RTU, rtu({0x11, 0x01, 0x01, 0x05})},
      {"rtu read, no data", FRAMING_MODBUS_RTU, rtu({0x11, 0x04, 0x00})},
      {"rtu exception", FRAMING_MODBUS_RTU, rtu({0x11, 0x83, 0x02})},
      {"rtu write echo", FRAMING_MODBUS_RTU, rtu({0x11, 0x06, 0x00, 0x01, 0x00, 0x03})},
      {"rtu write many echo", FRAMING_MODBUS_RTU, rtu({0x11, 0x10, 0x00, 0x01, 0x00, 0x02})},
      {"rtu length by silence", FRAMING_MODBUS_RTU, rtu({0x11, 0x2B, 0x0E, 0x01, 0x01, 0x00})},
      {"rtu bad crc", FRAMING_MODBUS_RTU, bad_crc},
      {"rtu cut short", FRAMING_MODBUS_RTU, Bytes(read20.begin(), read20.begin() + 20)},
      {"rtu two bytes", FRAMING_MODBUS_RTU, {0x11, 0x03}},
      {"rtu over-long", FRAMING_MODBUS_RTU, Bytes(300, 0x11)},
      {"rtu over-long, a packet and one", FRAMING_MODBUS_RTU, Bytes(PACKET_DATA_SIZE + 2, 0x00)},
      {"rtu stray byte first", FRAMING_MODBUS_RTU, cat({{0xFF}, read20})},
      {"rtu trailing bytes", FRAMING_MODBUS_RTU, cat({rtu({0x11, 0x83, 0x02}), {0x00, 0x11}})},
      {"rtu two replies", FRAMING_MODBUS_RTU, cat({rtu({0x11, 0x83, 0x02}), read20})},
      {"rtu not awaited", FRAMING_MODBUS_RTU, read20, false},
      {"rtu request unsent", FRAMING_MODBUS_RTU, read20, true, true},
      {"ascii reply", FRAMING_MODBUS_ASCII, text_bytes(":110300000002EA\r\n")},
      {"ascii two replies", FRAMING_MODBUS_ASCII, text_bytes(":110300000002EA\r\n:110300000002EA\r\n")},
      {"ascii bad lrc", FRAMING_MODBUS_ASCII, text_bytes(":110300000002EB\r\n")},
      {"ascii lower case", FRAMING_MODBUS_ASCII, text_bytes(":110302000a000bD5\r\n")},
      {"ascii top bits set", FRAMING_MODBUS_ASCII, text_bytes(":\xB1\xB1" "0300000002EA\r\n")},
      {"ascii odd digits", FRAMING_MODBUS_ASCII, text_bytes(":1103000000020EA\r\n")},
      {"ascii cut short, then whole", FRAMING_MODBUS_ASCII, text_bytes(":11:110300000002EA\r\n")},
      {"ascii cut short", FRAMING_MODBUS_ASCII, text_bytes(":110300")},
      {"ascii too long", FRAMING_MODBUS_ASCII, too_long_ascii},
      {"ascii empty", FRAMING_MODBUS_ASCII, text_bytes(":\r\n")},
      {"ascii not awaited", FRAMING_MODBUS_ASCII, text_bytes(":110300000002EA\r\n"), false},
      {"ascii request unsent", FRAMING_MODBUS_ASCII, text_bytes(":110300000002EA\r\n"), true, true},
      {"gateway lines", FRAMING_GATEWAY, text_bytes("12 34\r\n56\r")},
  };
  for (const RxCase &c : cases) {
    SCOPED_TRACE(c.name);
    expect_reads_act_as_bytes(c.wire.size(), [&](const Feeder &reads) { return receive_outcome(c, reads); });
  }
}

// The pump's fill writes what the transmitter gives byte by byte, frame
// after frame, whatever room each fill has, and lets every packet go.
TEST(WideFraming, FillsActAsByteByByte) {
  const Bytes datas[] = {{0x03, 0x00, 0x00, 0x00, 0x14}, {}, Bytes(40, 0x5A), Bytes(250, 0xC3), {0x10, 0x00}};
  struct Case {
    uint8_t mode;
    uint16_t limit;
    bool held = false;   // a reply owed: nothing starts
  } cases[] = {
      {FRAMING_MODBUS_RTU, SERIAL_BUFFER_SIZE}, {FRAMING_MODBUS_RTU, 8},  {FRAMING_MODBUS_RTU, 9},
      {FRAMING_MODBUS_RTU, 1},                  {FRAMING_MODBUS_RTU, 20}, {FRAMING_MODBUS_RTU, SERIAL_BUFFER_SIZE, true},
      {FRAMING_MODBUS_ASCII, SERIAL_BUFFER_SIZE}, {FRAMING_MODBUS_ASCII, 17}, {FRAMING_MODBUS_ASCII, 18},
      {FRAMING_MODBUS_ASCII, 5},                {FRAMING_MODBUS_ASCII, SERIAL_BUFFER_SIZE, true},
      {FRAMING_GATEWAY, SERIAL_BUFFER_SIZE},    {FRAMING_GATEWAY, 5},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(std::to_string(c.mode) + " limit " + std::to_string(c.limit) + (c.held ? " held" : ""));
    auto queued = [&](HandLink &h) {
      h.ch()->framing_mode = c.mode;
      h.ch()->now_us = 1000;
      if (c.held) h.ch()->reply_owed_until_us = 2000;
      for (const Bytes &d : datas) {
        Packet *p = make_packet({}, d);
        p->address[0] = 0x11;
        queue_put(&h.ch()->tx_queue, p);
      }
    };
    HandLink by_byte;
    queued(by_byte);
    int pool_before = pool_count();
    Bytes expected = drain_tx(by_byte.link);
    int given_back = pool_count() - pool_before;

    HandLink by_fill;
    queued(by_fill);
    pool_before = pool_count();
    Bytes filled;
    for (int fills = 0; fills < 4096; fills++) {
      SerialChannel *ch = by_fill.ch();
      transmit_framer_fill(by_fill.link, 0, c.limit);
      if (ch->tx_length == 0) break;
      EXPECT_LE(ch->tx_length, c.limit);
      filled.insert(filled.end(), ch->tx_buffer, ch->tx_buffer + ch->tx_length);
      ch->tx_length = 0;
    }
    EXPECT_EQ(filled, expected);
    EXPECT_EQ(pool_count() - pool_before, given_back);
    EXPECT_EQ(by_fill.ch()->tx_packet, by_byte.ch()->tx_packet);
    EXPECT_EQ(by_fill.ch()->reply_owed_until_us, by_byte.ch()->reply_owed_until_us);
    EXPECT_EQ(c.held ? 0u : 5u, given_back);
    for (HandLink *h : {&by_byte, &by_fill})
      while (Packet *p = queue_take(&h->ch()->tx_queue)) queue_put(&free_packets, p);
  }
}

}  // namespace
