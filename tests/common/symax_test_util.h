// Helpers for driving the Sy/Max framers by hand: a link with a serial
// channel but no port, and an independent encoder of frames as the far end
// would send them.
#pragma once
#include <cstdint>
#include <vector>

#include "proto/link_handle.h"
#include "proto/framing.h"
#include "proto/serial.h"

using Bytes = std::vector<uint8_t>;

// Everything the transmit framer has to send now, with the clock frozen.
inline Bytes drain_tx(LinkHandle *link) {
  Bytes out;
  for (int guard = 0; guard < 4096; guard++) {
    uint16_t b = transmit_framer(link);
    if (b >= 256) break;
    out.push_back(static_cast<uint8_t>(b));
  }
  return out;
}

inline void feed(LinkHandle *link, const Bytes &bytes) {
  for (uint8_t b : bytes) receive_framer(link, b);
}

inline uint16_t ref_crc(uint16_t crc, uint8_t b) {
  crc ^= b;
  for (int i = 0; i < 8; i++) crc = (crc & 1) ? static_cast<uint16_t>((crc >> 1) ^ 0xA001) : static_cast<uint16_t>(crc >> 1);
  return crc;
}

// A Sy/Max frame written out the long way.
inline Bytes ref_frame(uint8_t seq, const Bytes &route, const Bytes &data, bool crc) {
  Bytes covered = {seq};
  covered.insert(covered.end(), route.begin(), route.end());
  covered.push_back(0x10);
  covered.push_back(0x02);
  for (uint8_t b : data) {
    covered.push_back(b);
    if (b == 0x10) covered.push_back(b);
  }
  covered.push_back(0x10);
  covered.push_back(0x03);
  Bytes out = {0x10, 0x01};
  out.insert(out.end(), covered.begin(), covered.end());
  if (crc) {
    uint16_t c = 0xFFFF;
    for (uint8_t b : covered) c = ref_crc(c, b);
    out.push_back(static_cast<uint8_t>(c >> 8));
    out.push_back(static_cast<uint8_t>(c));
  } else {
    uint8_t sum = 0;
    for (uint8_t b : covered) sum = static_cast<uint8_t>(sum + b);
    out.push_back(static_cast<uint8_t>(0 - sum));
  }
  return out;
}

inline Packet *make_packet(const Bytes &route, const Bytes &data) {
  Packet *p = queue_take(&free_packets);
  if (!p) {
    pool_grow(1);
    p = queue_take(&free_packets);
  }
  size_t i = 0;
  for (; i < route.size() && i < 16; i++) p->address[i] = route[i];
  p->address[i] = 0xFF;
  p->address[i + 1] = 0xFF;
  for (size_t j = 0; j < data.size() && j < PACKET_DATA_SIZE; j++) p->data[j] = data[j];
  p->length = static_cast<uint16_t>(data.size());
  return p;
}

struct HandLink {
  LinkHandle *link;
  explicit HandLink(bool crc = false) : link(serial_link_alloc(0)) {
    if (crc) serial_channel(link)->tx_flags |= TXF_CRC;
    pool_grow(4);
  }
  ~HandLink() { serial_link_free(link); }
  SerialChannel *ch() const { return serial_channel(link); }
};
