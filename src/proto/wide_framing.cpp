// The gateway, Modbus RTU and Modbus ASCII framers on a link's channel: the
// channel lends them the packet of the frame in progress and the packets of
// its transmit queue, and acts on what they report. Lock held throughout
// (the reader thread, or a test driving the framers by hand).
#include "proto/framing.h"
#include "proto/serial.h"
#include "proto/serial_framers.h"

namespace {

// What a receiver reported, done to the channel.
void settle(LinkHandle *link, SerialChannel *ch, RxResult result) {
  switch (result) {
    case RX_FRAME:
      queue_put(&ch->rx_queue, ch->rx_packet);
      ch->rx_packet = nullptr;
      link->reply_arrived.notify_all();
      break;
    case RX_ABORT:
      queue_put(&free_packets, ch->rx_packet);
      ch->rx_packet = nullptr;
      end_reply_wait(link);
      break;
    case RX_DROPPED:
      queue_put(&free_packets, ch->rx_packet);
      ch->rx_packet = nullptr;
      break;
    default:
      break;
  }
}

template <typename Rx>
void receive_with(LinkHandle *link, Rx &rx, RxResult (*machine)(Rx &, Packet *, uint8_t, bool), uint8_t byte) {
  SerialChannel *ch = serial_channel(link);
  bool awaiting = ch->awaiting_reply != 0;
  RxResult result = machine(rx, ch->rx_packet, byte, awaiting);
  if (result == RX_WANT_PACKET) {
    // A frame starts: it takes a packet, or, with none free, goes unread.
    ch->rx_packet = queue_take(&free_packets);
    result = machine(rx, ch->rx_packet, byte, awaiting && ch->rx_packet);
  }
  settle(link, ch, result);
}

template <typename Tx>
uint16_t transmit_with(LinkHandle *link, Tx &tx, uint16_t (*machine)(Tx &, const Packet *)) {
  SerialChannel *ch = serial_channel(link);
  for (;;) {
    if (!ch->tx_packet) {
      ch->tx_packet = queue_take(&ch->tx_queue);
      if (!ch->tx_packet) return TX_NONE;
      tx = Tx{};
    }
    uint16_t b = machine(tx, ch->tx_packet);
    if (b != TX_FRAME_END) return b;
    queue_put(&free_packets, ch->tx_packet);
    ch->tx_packet = nullptr;
  }
}

void gateway_receive(LinkHandle *link, uint8_t byte) {
  receive_with(link, serial_channel(link)->line_rx, line_receive, byte);
}
uint16_t gateway_transmit(LinkHandle *link) { return transmit_with(link, serial_channel(link)->line_tx, line_transmit); }

void rtu_receive_byte(LinkHandle *link, uint8_t byte) {
  receive_with(link, serial_channel(link)->rtu_rx, rtu_receive, byte);
}
uint16_t rtu_transmit_byte(LinkHandle *link) { return transmit_with(link, serial_channel(link)->rtu_tx, rtu_transmit); }
void rtu_line_silent(LinkHandle *link) {
  SerialChannel *ch = serial_channel(link);
  settle(link, ch, rtu_silence(ch->rtu_rx, ch->rx_packet));
}

void ascii_receive_byte(LinkHandle *link, uint8_t byte) {
  receive_with(link, serial_channel(link)->ascii_rx, ascii_receive, byte);
}
uint16_t ascii_transmit_byte(LinkHandle *link) {
  return transmit_with(link, serial_channel(link)->ascii_tx, ascii_transmit);
}

}  // namespace

const FramerSlot gateway_slot = {
    .receive = gateway_receive,
    .transmit = gateway_transmit,
    .line_silent = nullptr,
    .pump_due_us = nullptr,
};

const FramerSlot modbus_rtu_slot = {
    .receive = rtu_receive_byte,
    .transmit = rtu_transmit_byte,
    .line_silent = rtu_line_silent,
    .pump_due_us = nullptr,
};

const FramerSlot modbus_ascii_slot = {
    .receive = ascii_receive_byte,
    .transmit = ascii_transmit_byte,
    .line_silent = nullptr,
    .pump_due_us = nullptr,
};
