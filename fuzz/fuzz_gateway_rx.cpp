// Gateway line framing on a link's channel.
// Input: a flags byte, then either
//   - raw line bytes (bit 0 clear), with the controls of wide_link_driver.h;
//   - a command line (bit 0 set): printable bytes up to the first control
//     byte, then CR. Written by the transmit framer exactly as the packet
//     holds it and fed to another link, it arrives as it was sent.
// Properties: a queued line has no byte above 0x7F and ends at its first
// byte below 0x20, or is cut at a packet's length; no packet is lost,
// duplicated or written past its end.
#include <vector>

#include "fuzz_common.h"
#include "wide_link_driver.h"

namespace {

void check_frame(const Packet &p) {
  FUZZ_CHECK(p.length >= 1);
  for (int i = 0; i < p.length; i++) {
    FUZZ_CHECK(p.data[i] < 0x80);
    if (i + 1 < p.length) FUZZ_CHECK(p.data[i] >= 0x20);
  }
  FUZZ_CHECK(p.data[p.length - 1] < 0x20 || p.length == PACKET_DATA_SIZE);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  FuzzInput in{data, size};
  uint8_t flags = in.take();
  if (flags & 1) {
    std::vector<uint8_t> line;
    while (!in.empty() && line.size() + 1 < PACKET_DATA_SIZE) {
      uint8_t b = in.take() & 0x7F;
      if (b < 0x20) break;
      line.push_back(b);
    }
    line.push_back('\r');
    std::vector<uint8_t> wire = wide_transmit(FRAMING_GATEWAY, 0, line);
    FUZZ_CHECK(wire == line);
    std::vector<Packet> got = wide_receive(FRAMING_GATEWAY, wire, check_frame);
    FUZZ_CHECK(got.size() == 1 && got[0].length == line.size());
    FUZZ_CHECK(memcmp(got[0].data, line.data(), line.size()) == 0);
    return 0;
  }
  WideLink link(FRAMING_GATEWAY);
  link.run_raw(in, check_frame);
  return 0;
}
