// Helpers for driving the Sy/Max framers by hand: a link with a serial
// channel but no port, one end of a line on the bare machines
// (SymaxEnd), and an independent encoder of frames as the far end would
// send them.
#pragma once
#include <cstdint>
#include <initializer_list>
#include <vector>

#include "proto/link_handle.h"
#include "proto/framing.h"
#include "proto/serial.h"
#include "proto/symax_framer.h"

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

inline Bytes cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes &b : parts) out.insert(out.end(), b.begin(), b.end());
  return out;
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
    if (crc) symax_set_crc(serial_channel(link)->symax_tx, true);
    pool_grow(4);
  }
  ~HandLink() { serial_link_free(link); }
  SerialChannel *ch() const { return serial_channel(link); }
};

// Grows the pool to at least n packets (it never shrinks).
inline void pool_at_least(int n) {
  if (pool_count() < n) pool_grow(n - pool_count());
}

// One end of a Sy/Max line on the bare receiver and transmitter, no link:
// lent packets from a pool (the program's unless told) and driven as a
// link's channel drives them.
// Every frame received whole goes to `received`; `broken` counts results
// that break the machines' contract (a packet asked for while one is held,
// a frame's end reported with none, a packet given up that was never lent).
struct SymaxEnd {
  SymaxReceiver rx;
  SymaxTransmitter tx;
  SymaxClock clock = {.now_us = 1000000, .line_free_us = 0, .char_us = 1000};
  PacketQueue received = {};
  PacketQueue to_send = {};
  Packet *rx_packet = nullptr;
  Packet *tx_packet = nullptr;
  PacketQueue *pool = &free_packets;
  int controls = 0;   // control pairs heard
  int broken = 0;

  explicit SymaxEnd(bool crc = false) { symax_set_crc(tx, crc); }
  ~SymaxEnd() {
    for (PacketQueue *q : {&received, &to_send})
      while (Packet *p = queue_take(q)) queue_put(pool, p);
    queue_put(pool, rx_packet);
    queue_put(pool, tx_packet);
  }
  void drop_rx() {
    if (!rx_packet) broken++;
    queue_put(pool, rx_packet);
    rx_packet = nullptr;
  }

  SymaxRxResult receive(uint8_t b) {
    bool crc = symax_crc(tx);
    SymaxRxResult r = symax_receive(rx, rx_packet, b, crc);
    if (r == SYMAX_RX_RESTART) drop_rx();
    if (r == SYMAX_RX_RESTART || r == SYMAX_RX_WANT_PACKET) {
      if (r == SYMAX_RX_WANT_PACKET && rx_packet) broken++;
      rx_packet = queue_take(pool);
      r = symax_receive(rx, rx_packet, b, crc);
      if (r != SYMAX_RX_STORED && r != SYMAX_RX_NO_PACKET) broken++;
    }
    switch (r) {
      case SYMAX_RX_CONTROL:
        controls++;
        if (symax_control_received(tx, b)) {
          if (!tx_packet) broken++;
          queue_put(pool, tx_packet);
          tx_packet = nullptr;
        }
        break;
      case SYMAX_RX_NO_PACKET: symax_answer_busy(tx); break;
      case SYMAX_RX_BAD: drop_rx(); symax_answer(tx, NAK); break;
      case SYMAX_RX_DROPPED: drop_rx(); break;
      case SYMAX_RX_FRAME:
        if (!rx_packet) broken++;
        queue_put(&received, rx_packet);
        rx_packet = nullptr;
        symax_answer(tx, rx.sequence);
        break;
      default: break;
    }
    return r;
  }
  void receive(const Bytes &bytes) {
    for (uint8_t b : bytes) receive(b);
  }

  uint16_t transmit() {
    uint16_t b = symax_transmit(tx, tx_packet, clock);
    for (int guard = 0; guard < 4 && (b == SYMAX_TX_WANT_PACKET || b == SYMAX_TX_GIVEN_UP); guard++) {
      if (b == SYMAX_TX_GIVEN_UP) {
        if (!tx_packet) broken++;
        queue_put(pool, tx_packet);
      } else if (tx_packet) {
        broken++;
      }
      tx_packet = queue_take(&to_send);
      b = symax_transmit(tx, tx_packet, clock);
    }
    return b;
  }
  // Everything there is to send now, with the clock frozen.
  Bytes drain() {
    Bytes out;
    for (int guard = 0; guard < 4096; guard++) {
      uint16_t b = transmit();
      if (b >= 256) break;
      out.push_back(static_cast<uint8_t>(b));
    }
    return out;
  }
};
