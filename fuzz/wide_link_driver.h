// The gateway, Modbus RTU and Modbus ASCII framers on a link's channel, fed
// as the reader thread feeds them (proto/framing.h: receive_framer,
// line_silent, transmit_framer), with a pool of a few packets.
//   run_raw      line bytes where 0xFF 0x00 is the line falling silent,
//                0xFF 0x01 turns the reply wait off or on, 0xFF 0x02 takes
//                every free packet away or gives them back, 0xFF 0xFF is
//                the byte 0xFF; after every step no packet is lost or
//                duplicated and every queued frame passes check_frame
//   round_trip   one packet through the transmit framer of one link and the
//                receive framer of another; the frames received
// Pool packets are heap blocks of their own, so AddressSanitizer sees a
// write past a packet.
#pragma once
#include <cstring>
#include <vector>

#include "fuzz_common.h"
#include "proto/framing.h"
#include "proto/link_handle.h"
#include "proto/serial.h"

constexpr int WIDE_POOL = 3;

inline int wide_queue_length(const PacketQueue &q) {
  int n = 0;
  for (Packet *p = q.head; p; p = p->next) n++;
  return n;
}

struct WideLink {
  LinkHandle *link;
  SerialChannel *ch;
  PacketQueue held = {};   // packets taken out of the pool

  explicit WideLink(uint8_t mode) : link(serial_link_alloc(1)), ch(nullptr) {
    FUZZ_CHECK(link != nullptr);
    ch = serial_channel(link);
    ch->framing_mode = mode;
    ch->awaiting_reply = 1;
    if (pool_count() < WIDE_POOL) pool_grow(WIDE_POOL - pool_count());
  }
  ~WideLink() {
    while (Packet *p = queue_take(&held)) queue_put(&free_packets, p);
    serial_link_free(link);
    FUZZ_CHECK(pool_count() >= WIDE_POOL);
  }

  int packets() const {
    return pool_count() + wide_queue_length(ch->rx_queue) + wide_queue_length(ch->tx_queue) +
           wide_queue_length(held) + (ch->rx_packet ? 1 : 0) + (ch->tx_packet ? 1 : 0);
  }

  // The queued frames, checked and given back to the pool.
  template <typename Check>
  std::vector<Packet> take_frames(Check check) {
    std::vector<Packet> frames;
    while (Packet *p = queue_take(&ch->rx_queue)) {
      FUZZ_CHECK(p->length <= PACKET_DATA_SIZE);
      check(*p);
      frames.push_back(*p);
      queue_put(&free_packets, p);
    }
    return frames;
  }

  template <typename Check>
  void run_raw(FuzzInput &in, Check check) {
    std::lock_guard<std::mutex> g(link->lock);
    int total = packets();
    while (!in.empty()) {
      uint8_t b = in.take();
      bool control = b == 0xFF && !in.empty();
      uint8_t what = control ? in.take() : 0xFF;
      if (control && what == 0x00) {
        line_silent(link);
      } else if (control && what == 0x01) {
        ch->awaiting_reply = !ch->awaiting_reply;
      } else if (control && what == 0x02) {
        if (held.head) {
          while (Packet *p = queue_take(&held)) queue_put(&free_packets, p);
        } else {
          while (Packet *p = queue_take(&free_packets)) queue_put(&held, p);
        }
      } else {
        receive_framer(link, b);
      }
      FUZZ_CHECK(packets() == total);
      take_frames(check);
    }
    line_silent(link);
    take_frames(check);
    FUZZ_CHECK(packets() == total);
  }
};

// The bytes the transmit framer of a link of this mode writes for a packet
// of this address and data.
inline std::vector<uint8_t> wide_transmit(uint8_t mode, uint8_t address, const std::vector<uint8_t> &data) {
  WideLink tx(mode);
  std::lock_guard<std::mutex> g(tx.link->lock);
  Packet *p = queue_take(&free_packets);
  FUZZ_CHECK(p != nullptr);
  p->address[0] = address;
  if (!data.empty()) memcpy(p->data, data.data(), data.size());
  p->length = static_cast<uint16_t>(data.size());
  queue_put(&tx.ch->tx_queue, p);
  std::vector<uint8_t> wire;
  for (uint16_t b; (b = transmit_framer(tx.link)) != TX_NONE;) {
    FUZZ_CHECK(b < 256 && wire.size() < 4 * PACKET_DATA_SIZE);
    wire.push_back(static_cast<uint8_t>(b));
  }
  FUZZ_CHECK(tx.ch->tx_packet == nullptr);
  return wire;
}

template <typename Check>
std::vector<Packet> wide_receive(uint8_t mode, const std::vector<uint8_t> &wire, Check check) {
  WideLink rx(mode);
  std::lock_guard<std::mutex> g(rx.link->lock);
  for (uint8_t b : wire) receive_framer(rx.link, b);
  line_silent(rx.link);
  return rx.take_frames(check);
}
