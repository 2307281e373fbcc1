// Modbus RTU framing on a link's channel.
// Input: a flags byte, then either
//   - raw line bytes (bit 0 clear), with the controls of wide_link_driver.h
//     (0xFF 0x00: the line falls silent);
//   - a frame (bit 0 set): the address, then the data. The transmit framer
//     writes it; fed to another link and followed by silence it must
//     arrive whole when its data leave room for the CRC in a packet, or end
//     early where its first bytes tell a shorter reply whose CRC holds.
// Properties: a queued frame has a good CRC over all it received and holds
// at most a packet less the CRC; no packet is lost, duplicated or written
// past its end.
#include <vector>

#include "fuzz_common.h"
#include "symax_test_util.h"   // ref_crc, the Modbus CRC written out
#include "wide_link_driver.h"

namespace {

// The CRC bytes stay behind the data in the packet: run over address, data
// and CRC, the CRC gives 0.
void check_frame(const Packet &p) {
  FUZZ_CHECK(p.length >= 1 && p.length + 2 <= PACKET_DATA_SIZE);
  uint16_t crc = ref_crc(0xFFFF, p.address[0]);
  for (int i = 0; i < p.length + 2; i++) crc = ref_crc(crc, p.data[i]);
  FUZZ_CHECK(crc == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  FuzzInput in{data, size};
  uint8_t flags = in.take();
  if (flags & 1) {
    uint8_t address = in.take();
    std::vector<uint8_t> sent(in.data, in.data + (in.size < PACKET_DATA_SIZE ? in.size : PACKET_DATA_SIZE));
    std::vector<uint8_t> wire = wide_transmit(FRAMING_MODBUS_RTU, address, sent);
    FUZZ_CHECK(wire.size() == sent.size() + 3);
    std::vector<Packet> got = wide_receive(FRAMING_MODBUS_RTU, wire, check_frame);
    if (!sent.empty() && sent.size() + 2 <= PACKET_DATA_SIZE) {
      // Whole, or ended early where its first bytes told a shorter reply
      // and the CRC held there (check_frame saw that CRC).
      FUZZ_CHECK(!got.empty() && got[0].address[0] == address && got[0].length <= sent.size());
      FUZZ_CHECK(memcmp(got[0].data, sent.data(), got[0].length) == 0);
    } else if (sent.empty()) {
      FUZZ_CHECK(got.empty());
    }
    return 0;
  }
  WideLink link(FRAMING_MODBUS_RTU);
  link.run_raw(in, check_frame);
  return 0;
}
