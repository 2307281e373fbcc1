// Modbus requests, reply checks and the RTU and ASCII framers, byte for byte
// and without a link.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "proto/modbus_msg.h"
#include "proto/serial_framers.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes text_bytes(const std::string &s) { return Bytes(s.begin(), s.end()); }

Packet make(uint8_t address, const Bytes &data) {
  Packet p{};
  p.address[0] = address;
  memcpy(p.data, data.data(), data.size());
  p.length = static_cast<uint16_t>(data.size());
  return p;
}

template <typename Tx>
Bytes transmit_all(Tx &tx, const Packet &p, uint16_t (*fn)(Tx &, const Packet *)) {
  Bytes out;
  for (int guard = 0; guard < 2000; guard++) {
    uint16_t b = fn(tx, &p);
    if (b == TX_FRAME_END) return out;
    out.push_back(static_cast<uint8_t>(b));
  }
  ADD_FAILURE() << "frame never ended";
  return out;
}

// Feeds bytes into a receiver as the reader thread would, with a pool of one
// packet; returns the result of the last byte (or of the silence for RTU).
struct Received {
  RxResult last = RX_SKIPPED;
  int frames = 0;
  Packet packet{};
};

template <typename Rx>
Received receive_all(const Bytes &bytes, RxResult (*fn)(Rx &, Packet *, uint8_t, bool), bool awaiting = true,
                     Rx *state = nullptr) {
  Rx local{};
  Rx &rx = state ? *state : local;
  Received r;
  bool holding = false;
  for (uint8_t b : bytes) {
    RxResult res = fn(rx, holding ? &r.packet : nullptr, b, awaiting);
    if (res == RX_WANT_PACKET) {
      holding = true;
      res = fn(rx, &r.packet, b, awaiting);
    }
    if (res == RX_FRAME) r.frames++;
    if (res == RX_FRAME || res == RX_DROPPED || res == RX_ABORT) holding = false;
    r.last = res;
  }
  return r;
}

Received rtu_receive_all(const Bytes &bytes, bool awaiting = true) {
  RtuReceiver rx{};
  Received r = receive_all<RtuReceiver>(bytes, rtu_receive, awaiting, &rx);
  if (r.last != RX_ABORT) {
    r.last = rtu_silence(rx, &r.packet);
    if (r.last == RX_FRAME) r.frames++;
  }
  return r;
}

Bytes data_of(const Packet &p) { return Bytes(p.data, p.data + p.length); }

TEST(ModbusMessages, RequestsByteForByte) {
  uint8_t pdu[MODBUS_PDU_MAX];
  const uint16_t values[] = {0x0001, 0xFFFF};

  int n = modbus_build_read(pdu, MODBUS_READ_HOLDING, 1, 2);
  EXPECT_EQ(Bytes(pdu, pdu + n), (Bytes{0x03, 0x00, 0x00, 0x00, 0x02}));
  n = modbus_build_read(pdu, MODBUS_READ_INPUT, 0, 1);   // register 0 goes out as 0xFFFF
  EXPECT_EQ(Bytes(pdu, pdu + n), (Bytes{0x04, 0xFF, 0xFF, 0x00, 0x01}));
  n = modbus_build_write(pdu, 10, 2, values);
  EXPECT_EQ(Bytes(pdu, pdu + n), (Bytes{0x10, 0x00, 0x09, 0x00, 0x02, 0x04, 0x00, 0x01, 0xFF, 0xFF}));
  n = modbus_build_write_record(pdu, 10, 2, values);
  EXPECT_EQ(Bytes(pdu, pdu + n), (Bytes{0x15, 11, 0x03, 0x00, 0x00, 0x00, 0x09, 0x00, 0x02, 0x00, 0x01, 0xFF, 0xFF}));

  // Over TCP with the counter at 41: the request carries 42.
  uint8_t frame[MBAP_FRAME_MAX];
  n = modbus_build_read(pdu, MODBUS_READ_HOLDING, 1, 1);
  n = mbap_frame(frame, 42, 1, pdu, n);
  EXPECT_EQ(Bytes(frame, frame + n), (Bytes{0x00, 0x2A, 0x00, 0x00, 0x00, 0x06, 0x01, 0x03, 0x00, 0x00, 0x00, 0x01}));
  n = mbap_frame(frame, 7, 3, pdu, modbus_build_write(pdu, 10, 2, values));
  EXPECT_EQ(n, 13 + 4);
  EXPECT_EQ(frame[5], 7 + 4);   // L = 7 + 2N
}

struct SerialReplyCase {
  const char *name;
  uint8_t function;
  int count;
  uint8_t address;
  Bytes reply;
  int result;
  const char *text;
};

TEST(ModbusMessages, SerialReplyChecks) {
  const SerialReplyCase cases[] = {
      {"read", 3, 2, 17, {0x03, 4, 0x12, 0x34, 0xFF, 0xFE}, 2, ""},
      {"input read", 4, 1, 17, {0x04, 2, 0x00, 0x07}, 1, ""},
      {"read from another drop", 3, 1, 18, {0x03, 2, 0, 0}, 0, "Read reply had wrong drop"},
      {"read exception", 3, 1, 17, {0x83, 0x02}, 0, "Modbus error reply 2 ILLEGAL DATA ADDRESS"},
      {"unknown exception code", 3, 1, 17, {0x83, 13}, 0, "Modbus error reply 13 "},
      {"read of another function", 3, 1, 17, {0x04, 2, 0, 0}, 0, "Read reply had wrong opcode"},
      {"byte count off", 3, 3, 17, {0x03, 4, 0, 0, 0, 0}, 0, "Reply length 4 doesn't match query 3"},
      {"read one byte long", 3, 1, 17, {0x03, 2, 0, 0, 0}, 0, "Read reply was wrong size"},
      {"write", 16, 2, 17, {0x10, 0x00, 0x09, 0x00, 0x02}, 2, ""},
      {"write exception", 16, 2, 17, {0x90, 0x02}, 0, "Modbus error reply 2 ILLEGAL DATA ADDRESS"},
      {"file record exception", 21, 1, 17, {0x95, 0x04}, 0, "Modbus error reply 4 SLAVE DEVICE FAILURE"},
      {"write exception from another drop", 16, 2, 9, {0x90, 0x02}, 0, "Write reply had wrong drop"},
      {"write reply of three bytes", 16, 2, 17, {0x10, 0x00, 0x09}, 0, "Write reply was wrong size"},
      {"write from another drop", 16, 2, 9, {0x10, 0, 9, 0, 2}, 0, "Write reply had wrong drop"},
      {"write exception of full size", 16, 2, 17, {0x90, 0x04, 0, 0, 0}, 0,
       "Modbus error reply 4 SLAVE DEVICE FAILURE"},
      {"write of another function", 16, 2, 17, {0x06, 0, 9, 0, 2}, 0, "Write reply had wrong opcode"},
      {"file record echo", 21, 1, 17, {0x15, 9, 3, 0, 0, 0, 9, 0, 1, 0xAB, 0xCD}, 1, ""},
      {"file record short", 21, 1, 17, {0x15, 9, 3, 0, 0, 0, 9, 0, 1}, 0, "Write reply was wrong size"},
  };
  for (const SerialReplyCase &c : cases) {
    SCOPED_TRACE(c.name);
    uint16_t values[8] = {};
    char text[84] = "";
    int got = (c.function == 3 || c.function == 4)
                  ? modbus_check_serial_read(c.address, c.reply.data(), static_cast<int>(c.reply.size()), 17,
                                             c.function, c.count, values, text, sizeof text)
                  : modbus_check_serial_write(c.address, c.reply.data(), static_cast<int>(c.reply.size()), 17,
                                              c.function, c.count, text, sizeof text);
    EXPECT_EQ(got, c.result);
    EXPECT_STREQ(text, c.text);
  }
  uint16_t values[2] = {};
  char text[84];
  const Bytes read = {0x03, 4, 0x12, 0x34, 0xFF, 0xFE};
  ASSERT_EQ(modbus_check_serial_read(17, read.data(), 6, 17, 3, 2, values, text, sizeof text), 2);
  EXPECT_EQ(values[0], 0x1234);
  EXPECT_EQ(values[1], 0xFFFE);
}

TEST(ModbusMessages, TcpReplyChecks) {
  auto frame = [](uint16_t t, uint8_t unit, Bytes pdu) {
    Bytes f = {static_cast<uint8_t>(t >> 8), static_cast<uint8_t>(t), 0, 0, 0, static_cast<uint8_t>(pdu.size() + 1),
               unit};
    f.insert(f.end(), pdu.begin(), pdu.end());
    return f;
  };
  struct Case {
    const char *name;
    uint8_t function;
    Bytes reply;
    int result;
    const char *text;
  } cases[] = {
      {"read", 3, frame(42, 1, {0x03, 2, 0xAB, 0xCD}), 1, ""},
      {"another unit", 3, frame(42, 2, {0x03, 2, 0, 0}), 0, "Reply drop doesn't match query"},
      {"exception with a text stands alone", 3, frame(42, 1, {0x83, 2}), 0, "ILLEGAL DATA ADDRESS"},
      {"exception without text", 3, frame(42, 1, {0x83, 20}), 0, "Modbus error reply 20"},
      {"another function", 3, frame(42, 1, {0x04, 2, 0, 0}), 0, "Reply opcode doesn't match query"},
      {"byte count off", 3, frame(42, 1, {0x03, 4, 0, 0, 0, 0}), 0, "Reply length 4 doesn't match query 1"},
      {"values missing", 3, frame(42, 1, {0x03, 2, 0}), 0, "Read reply was wrong size"},
      {"write", 16, frame(42, 1, {0x10, 0, 9, 0, 1}), 1, ""},
      {"write exception", 16, frame(42, 1, {0x90, 1}), 0, "ILLEGAL FUNCTION"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    uint16_t value = 0;
    char text[84] = "";
    EXPECT_EQ(modbus_check_tcp_reply(c.reply.data(), static_cast<int>(c.reply.size()), 1, c.function, 1, &value, text,
                                     sizeof text),
              c.result);
    EXPECT_STREQ(text, c.text);
    if (c.result && c.function == 3) {
      EXPECT_EQ(value, 0xABCD);
    }
  }

  // Late answers are those to earlier identifiers, across the wrap too.
  const Bytes t41 = frame(41, 1, {}), t42 = frame(42, 1, {}), tffff = frame(0xFFFF, 1, {});
  EXPECT_TRUE(mbap_reply_is_late(t41.data(), 42));
  EXPECT_FALSE(mbap_reply_is_late(t42.data(), 42));
  EXPECT_TRUE(mbap_reply_is_late(tffff.data(), 0));

  // A length field beyond the largest Modbus TCP frame (260 bytes, which a
  // 125-register read reply nearly fills) is refused.
  const uint8_t fits[] = {0, 1, 0, 0, 0, 254}, too_long[] = {0, 1, 0, 0, 0, 255}, huge[] = {0, 1, 0, 0, 0xFF, 0xFF};
  EXPECT_EQ(mbap_reply_length(fits), 260);
  EXPECT_EQ(mbap_reply_length(too_long), 0);
  EXPECT_EQ(mbap_reply_length(huge), 0);
}

TEST(ModbusFraming, RtuAndAsciiFramesByteForByte) {
  const Packet read = make(17, {0x03, 0x00, 0x00, 0x00, 0x02});
  RtuTransmitter rtu;
  EXPECT_EQ(transmit_all<RtuTransmitter>(rtu, read, rtu_transmit), (Bytes{0x11, 0x03, 0x00, 0x00, 0x00, 0x02, 0xC6, 0x9B}));
  AsciiTransmitter ascii;
  EXPECT_EQ(transmit_all<AsciiTransmitter>(ascii, read, ascii_transmit), text_bytes(":110300000002EA\r\n"));
  // The transmitters start afresh for the next frame.
  EXPECT_EQ(transmit_all<AsciiTransmitter>(ascii, read, ascii_transmit), text_bytes(":110300000002EA\r\n"));

  Received r = rtu_receive_all({0x11, 0x03, 0x00, 0x00, 0x00, 0x02, 0xC6, 0x9B});
  ASSERT_EQ(r.last, RX_FRAME);
  EXPECT_EQ(r.packet.address[0], 17);
  EXPECT_EQ(data_of(r.packet), (Bytes{0x03, 0x00, 0x00, 0x00, 0x02}));

  r = receive_all<AsciiReceiver>(text_bytes(":110300000002EA\r\n"), ascii_receive);
  ASSERT_EQ(r.frames, 1);
  EXPECT_EQ(r.packet.address[0], 17);
  EXPECT_EQ(data_of(r.packet), (Bytes{0x03, 0x00, 0x00, 0x00, 0x02}));
}

TEST(ModbusFraming, FramesRoundTrip) {
  std::mt19937 rng(11);
  for (int round = 0; round < 200; round++) {
    Bytes data(1 + rng() % 261);
    for (auto &b : data) b = static_cast<uint8_t>(rng());
    Packet p = make(static_cast<uint8_t>(rng()), data);
    RtuTransmitter rtu;
    Received r = rtu_receive_all(transmit_all<RtuTransmitter>(rtu, p, rtu_transmit));
    ASSERT_EQ(r.last, RX_FRAME);
    EXPECT_EQ(r.packet.address[0], p.address[0]);
    EXPECT_EQ(data_of(r.packet), data);
    AsciiTransmitter ascii;
    r = receive_all<AsciiReceiver>(transmit_all<AsciiTransmitter>(ascii, p, ascii_transmit), ascii_receive);
    ASSERT_EQ(r.frames, 1);
    EXPECT_EQ(r.packet.address[0], p.address[0]);
    EXPECT_EQ(data_of(r.packet), data);
  }
}

// A reply whose first bytes tell its length ends with its last byte; the
// silence after it is not waited out. Others still end by the silence.
TEST(ModbusFraming, RtuReplyOfKnownLengthEndsAtItsLastByte) {
  struct Case {
    const char *name;
    Bytes data;
    bool ends_at_last_byte;
  } cases[] = {
      {"read", {0x03, 0x04, 0x12, 0x34, 0x56, 0x78}, true},
      {"input read", {0x04, 0x02, 0x00, 0x07}, true},
      {"write echo", {0x10, 0x00, 0x01, 0x00, 0x02}, true},
      {"single write echo", {0x06, 0x00, 0x01, 0xAB, 0xCD}, true},
      {"exception", {0x83, 0x02}, true},
      {"file record", {0x15, 0x09, 0x06, 0x00, 0x04, 0x00, 0x07, 0x00, 0x01, 0x12, 0x34}, true},
      {"diagnostics", {0x08, 0x00, 0x00, 0xA5, 0x37}, false},
  };
  auto rtu_frame = [](const Bytes &data) {
    RtuTransmitter tx;
    return transmit_all<RtuTransmitter>(tx, make(17, data), rtu_transmit);
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    Bytes frame = rtu_frame(c.data);
    Received r = receive_all<RtuReceiver>(frame, rtu_receive);
    EXPECT_EQ(r.last, c.ends_at_last_byte ? RX_FRAME : RX_STORED);
    Received whole = rtu_receive_all(frame);   // with the silence after it
    ASSERT_EQ(whole.frames, 1);
    EXPECT_EQ(whole.packet.address[0], 17);
    EXPECT_EQ(data_of(whole.packet), c.data);
  }
  // A read whose CRC fails at its length is not taken early: the silence
  // drops it. Two replies back to back are two frames.
  Bytes bad = rtu_frame({0x03, 0x02, 0, 1});
  bad.back() ^= 1;
  EXPECT_EQ(receive_all<RtuReceiver>(bad, rtu_receive).last, RX_STORED);
  EXPECT_EQ(rtu_receive_all(bad).last, RX_DROPPED);
  Bytes two = rtu_frame({0x06, 0, 1, 0, 2}), again = two;
  two.insert(two.end(), again.begin(), again.end());
  EXPECT_EQ(receive_all<RtuReceiver>(two, rtu_receive).frames, 2);
}

TEST(ModbusFraming, RtuRefusals) {
  Bytes good = {0x11, 0x03, 0x00, 0x00, 0x00, 0x02, 0xC6, 0x9B};
  Bytes bad_crc = good;
  bad_crc.back() ^= 1;
  EXPECT_EQ(rtu_receive_all(bad_crc).last, RX_DROPPED);
  EXPECT_EQ(rtu_receive_all({0x11, 0x03, 0x00}).last, RX_DROPPED);   // two bytes after the address
  // A frame that arrives while no reply is awaited is skipped to the silence.
  Received idle = rtu_receive_all(good, false);
  EXPECT_EQ(idle.last, RX_SKIPPED);
  EXPECT_EQ(idle.frames, 0);
  // 263 bytes after the address fill a packet; one more ends the wait.
  Bytes longest(264, 0x55), too_long(265, 0x55);
  EXPECT_NE(rtu_receive_all(longest).last, RX_ABORT);
  EXPECT_EQ(rtu_receive_all(too_long).last, RX_ABORT);
}

TEST(ModbusFraming, AsciiRefusals) {
  // Lower-case hex reads as wrong bytes and fails the LRC: a reply of 0x0A0B.
  Received r = receive_all<AsciiReceiver>(text_bytes(":110302000A000BD5\r\n"), ascii_receive);
  EXPECT_EQ(r.frames, 1);
  r = receive_all<AsciiReceiver>(text_bytes(":110302000a000bD5\r\n"), ascii_receive);
  EXPECT_EQ(r.frames, 0);
  EXPECT_EQ(r.last, RX_SKIPPED);   // the LF after the dropped frame

  struct Case {
    const char *name;
    std::string wire;
    RxResult at_cr;
  } cases[] = {
      {"empty frame ends the wait", ":\r", RX_ABORT},
      {"one byte ends the wait", ":11\r", RX_ABORT},
      {"two bytes with a bad LRC", ":1103\r", RX_DROPPED},
      {"unpaired digit", ":110300000002E\r", RX_DROPPED},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(receive_all<AsciiReceiver>(text_bytes(c.wire), ascii_receive).last, c.at_cr);
  }
  // A frame cut short does not swallow the one after it.
  r = receive_all<AsciiReceiver>(text_bytes(":1103:110302000A000BD5\r\n"), ascii_receive);
  EXPECT_EQ(r.frames, 1);
  EXPECT_EQ(data_of(r.packet), (Bytes{0x03, 0x02, 0x00, 0x0A, 0x00, 0x0B}));
  // 526 digits fill the room and end the wait before any CR.
  std::string full = ":" + std::string(526, '0');
  EXPECT_EQ(receive_all<AsciiReceiver>(text_bytes(full), ascii_receive).last, RX_ABORT);
  // Nothing is taken while no reply is awaited.
  EXPECT_EQ(receive_all<AsciiReceiver>(text_bytes(":110300000002EA\r\n"), ascii_receive, false).frames, 0);
}

}  // namespace
