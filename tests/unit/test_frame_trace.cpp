// The frame trace's line: time, direction, kind, bytes and the decoding of
// each kind's frames, from the byte examples of each protocol.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "proto/frame_trace.h"

namespace {

std::string line(TraceDirection dir, TraceLink link, const std::vector<uint8_t> &bytes, size_t lost = 0) {
  char out[TRACE_LINE_MAX];
  size_t n = frame_trace_format(out, 12.34, dir, link, bytes.data(), bytes.size(), lost);
  return std::string(out, n);
}

struct Case {
  TraceDirection dir;
  TraceLink link;
  std::vector<uint8_t> bytes;
  const char *decoding;   // what follows " | "
};

const Case cases[] = {
    {TRACE_RX, TRACE_SYMAX, {0x10, 0x11}, "ack 11"},
    {TRACE_TX, TRACE_SYMAX, {0x10, 0x15}, "NAK"},
    {TRACE_TX, TRACE_SYMAX, {0x10, 0x05}, "ENQ"},
    {TRACE_RX, TRACE_SYMAX, {0x10, 0x16}, "SYN (no buffer)"},
    // Read of 3 from 8176 over route 201, 100; a doubled DLE in the data.
    {TRACE_TX, TRACE_SYMAX, {0x10, 0x01, 0x12, 'C', '9', '6', '4', 0x10, 0x02, 0x00, 0x10, 0x10, 0x3F, 0xDE, 0x00, 0x02, 0x10, 0x03, 0x2F},
     "message seq 12 route 201.100, trans 0x10 read reg 8176 count 3"},
    {TRACE_RX, TRACE_SYMAX, {0x10, 0x01, 0x11, 'C', '9', 0x10, 0x02, 0xA2, 0x05, 0x03, 0x10, 0x03, 0x55},
     "message seq 11 route 201, trans 0x05 error 3 (Illegal Address)"},
    {TRACE_RX, TRACE_SYMAX, {0x10, 0x01, 0x11, 'C', '9', 0x10, 0x02, 0x86}, "message seq 11 route 201, message of 1 bytes, cut short"},
    {TRACE_TX, TRACE_GATEWAY, {'R', ' ', '8', '1', '7', '6', ' ', '3', '\r'}, "line \"R 8176 3\\r\""},
    {TRACE_RX, TRACE_GATEWAY, {'"', 0x01, '\n'}, "line \"\\\"\\x01\\n\""},
    {TRACE_TX, TRACE_RTU, {0xC9, 0x03, 0x1F, 0xEF, 0x00, 0x03, 0x23, 0xA2}, "slave 201 fn 3 read holding addr 8175 (reg 8176) count 3"},
    {TRACE_RX, TRACE_RTU, {0x01, 0x83, 0x02, 0xC0, 0xF1}, "slave 1 fn 3 exception 2 (ILLEGAL DATA ADDRESS)"},
    {TRACE_RX, TRACE_RTU, {0x01, 0x10, 0x00, 0x63, 0x00, 0x03, 0x00, 0x00}, "slave 1 fn 16 write reply addr 99 (reg 100) count 3"},
    {TRACE_TX, TRACE_ASCII, {':', '0', '1', '0', '4', '0', '0', '0', '0', '0', '0', '0', '2', 'F', '9', '\r', '\n'},
     "slave 1 fn 4 read input addr 0 (reg 1) count 2"},
    {TRACE_TX, TRACE_TCP, {0x12, 0x34, 0x00, 0x00, 0x00, 0x06, 0x07, 0x10, 0x00, 0x09, 0x00, 0x01},
     "tid 4660 unit 7 fn 16 write addr 9 (reg 10) count 1"},
    {TRACE_RX, TRACE_TCP, {0x12, 0x34, 0x00, 0x00, 0x00, 0x05, 0x07, 0x03, 0x02, 0x00, 0x2A}, "tid 4660 unit 7 fn 3 read holding reply 2 bytes"},
    {TRACE_RX, TRACE_TCP, {0x00, 0x01, 0x00}, "short frame"},
};

}  // namespace

TEST(FrameTrace, EachKindsFramesAreDecoded) {
  for (const Case &c : cases) {
    std::string got = line(c.dir, c.link, c.bytes);
    SCOPED_TRACE(got);
    ASSERT_EQ(got.back(), '\n');
    size_t bar = got.find(" | ");
    ASSERT_NE(bar, std::string::npos);
    EXPECT_EQ(got.substr(bar + 3, got.size() - bar - 4), c.decoding);
  }
}

TEST(FrameTrace, TheLineHoldsTimeDirectionKindAndEveryByte) {
  EXPECT_EQ(line(TRACE_TX, TRACE_RTU, {0x01, 0x03, 0x00, 0x00, 0x00, 0x01, 0x84, 0x0A}),
            "     12.3 tx rtu     01 03 00 00 00 01 84 0A | slave 1 fn 3 read holding addr 0 (reg 1) count 1\n");
  // A frame longer than the trace keeps says how much more came.
  std::string cut = line(TRACE_RX, TRACE_GATEWAY, std::vector<uint8_t>(TRACE_BYTES_MAX, 'A'), 5);
  EXPECT_NE(cut.find(" 41 ... (5 more) | line \"AAAA"), std::string::npos);
  EXPECT_LT(cut.size(), TRACE_LINE_MAX);
}
