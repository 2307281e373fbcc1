// Modbus ASCII framing on a link's channel.
// Input: a flags byte, then either
//   - raw line bytes (bit 0 clear), with the controls of wide_link_driver.h;
//   - a frame (bit 0 set): the address, then the data. The transmit framer
//     writes it; fed to another link it must arrive whole when address,
//     data and LRC leave room in a packet (a frame that uses the room up is
//     taken as too long).
// Properties: what the transmit framer writes is a colon, upper-case hex
// pairs, CR LF; a queued frame holds less than a packet beside address and
// LRC; no packet is lost, duplicated or written past its end.
#include <vector>

#include "fuzz_common.h"
#include "wide_link_driver.h"

namespace {

void check_frame(const Packet &p) { FUZZ_CHECK(p.length + 2 < PACKET_DATA_SIZE); }

bool upper_hex(uint8_t c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  FuzzInput in{data, size};
  uint8_t flags = in.take();
  if (flags & 1) {
    uint8_t address = in.take();
    std::vector<uint8_t> sent(in.data, in.data + (in.size < PACKET_DATA_SIZE ? in.size : PACKET_DATA_SIZE));
    std::vector<uint8_t> wire = wide_transmit(FRAMING_MODBUS_ASCII, address, sent);
    FUZZ_CHECK(wire.size() == 2 * (sent.size() + 2) + 3);
    FUZZ_CHECK(wire.front() == ':' && wire[wire.size() - 2] == '\r' && wire.back() == '\n');
    for (size_t i = 1; i + 2 < wire.size(); i++) FUZZ_CHECK(upper_hex(wire[i]));
    std::vector<Packet> got = wide_receive(FRAMING_MODBUS_ASCII, wire, check_frame);
    if (sent.size() + 2 < PACKET_DATA_SIZE) {
      FUZZ_CHECK(got.size() == 1 && got[0].address[0] == address && got[0].length == sent.size());
      FUZZ_CHECK(sent.empty() || memcmp(got[0].data, sent.data(), sent.size()) == 0);
    } else {
      FUZZ_CHECK(got.empty());
    }
    return 0;
  }
  WideLink link(FRAMING_MODBUS_ASCII);
  link.run_raw(in, check_frame);
  return 0;
}
