// Sy/Max point-to-point, the device side: receive framer (DLE SOH ... DLE ETX
// and BCC or CRC-16), acknowledgements, NAK, enquiries, the reply transmitter
// with its acknowledgement wait, and the register requests.
//
//   symax_receive(bytes, n)   feed bytes from the port
//   symax_reset()             both directions back to idle, sequence SEQ1
//   symax_build_frame(...)    the wire bytes of one frame (also used by tests)
//   symax_handle(route, data) the reply message for one request message, or an
//                             empty reply when none is due
//
// Replies (data area): read 0x86 T Ahi Alo values; priority read 0x90 T 0 0
// status Ahi Alo values; write 0x80 T Ahi Alo; priority write 0x92 T 0 0 status;
// carried Modbus read 0x92 0xBA 0xD5 0x00 0x04 2N values, or on a Modbus
// exception 0x92 0xBA 0xD5 0x00 0x84 code, on a Sy/Max error 0x92 0xBA 0xD5
// 0x00 0x00 code; error reply 0xA2 T code.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

enum : uint8_t {
    SOH = 0x01, STX = 0x02, ETX = 0x03, ENQ = 0x05, DLE = 0x10,
    SEQ1 = 0x11, SEQ2 = 0x12, NAK = 0x15, SYN = 0x16,
};

void symax_receive(const uint8_t* bytes, size_t n);
void symax_reset();

std::vector<uint8_t> symax_build_frame(uint8_t seq, const std::vector<uint8_t>& route,
                                       const std::vector<uint8_t>& data, bool crc);

struct SymaxReply {
    std::vector<uint8_t> route;  // route characters, as on the wire
    std::vector<uint8_t> data;   // empty: no reply
};
SymaxReply symax_handle(const std::vector<uint8_t>& route, const std::vector<uint8_t>& data);
