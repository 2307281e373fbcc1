// The gateway, Modbus RTU and Modbus ASCII framers on a link's channel: the
// channel lends them the packet of the frame in progress and the packets of
// its transmit queue, and acts on what they report. Lock held throughout
// (the reader thread, or a test driving the framers by hand).
#include "proto/framing.h"
#include "proto/serial_channel.h"
#include "proto/serial_framers.h"

namespace {

// Serial Modbus replies carry no transaction number: a reply is its
// request's only if it comes after the request has gone out. A frame still
// coming in when a request is queued answers an earlier request, one whose
// wait was given up; the request waits for its end (the line is the far
// end's until then) and the frame is dropped.
enum class Exchange : bool { ANY_ORDER, REQUEST_FIRST };

bool request_unsent(const SerialChannel *ch) { return ch->tx_packet || ch->tx_queue.head || ch->tx_length > 0; }

// The reply of a request whose wait was given up may still come: no new
// request goes out until it is in (any frame that ends) or its time is up.
bool reply_owed(SerialChannel *ch) {
  if (ch->reply_owed_until_us == 0) return false;
  if (ch->now_us < ch->reply_owed_until_us) return true;   // the pump's clock
  ch->reply_owed_until_us = 0;
  return false;
}
int64_t owed_reply_due(LinkHandle *link) {
  SerialChannel *ch = serial_channel(link);
  return ch->reply_owed_until_us != 0 && ch->tx_queue.head ? ch->reply_owed_until_us : -1;
}

// What a receiver reported, done to the channel.
void settle(LinkHandle *link, SerialChannel *ch, RxResult result, Exchange order = Exchange::ANY_ORDER) {
  if (result == RX_FRAME && order == Exchange::REQUEST_FIRST && request_unsent(ch)) result = RX_DROPPED;
  if (result == RX_FRAME || result == RX_ABORT || result == RX_DROPPED) ch->reply_owed_until_us = 0;
  // The line is written before anything goes out in answer (an RTU frame
  // at once, a line or ASCII frame with its LF at the latest when the bytes
  // read together are done): the request a reply makes the main thread
  // send is traced after it.
  if (frame_trace_on() && (result == RX_FRAME || result == RX_ABORT || result == RX_DROPPED)) {
    if (ch->framing_mode == FRAMING_MODBUS_RTU)
      trace_emit(ch->trace_rx, TRACE_RX, TRACE_RTU);
    else
      ch->trace_rx_pending = true;
  }
  switch (result) {
    case RX_FRAME:
      queue_put(&ch->rx_queue, ch->rx_packet);
      ch->rx_packet = nullptr;
      wake_reply_waiter(link, ch);
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
void receive_with(LinkHandle *link, Rx &rx, RxResult (*machine)(Rx &, Packet *, uint8_t, bool), uint8_t byte,
                  Exchange order = Exchange::ANY_ORDER) {
  SerialChannel *ch = serial_channel(link);
  bool awaiting = ch->awaiting_reply != 0;
  RxResult result = machine(rx, ch->rx_packet, byte, awaiting);
  if (result == RX_WANT_PACKET) {
    // A frame starts: it takes a packet, or, with none free, goes unread.
    ch->rx_packet = queue_take(&free_packets);
    result = machine(rx, ch->rx_packet, byte, awaiting && ch->rx_packet);
  }
  if (result == RX_STORED) return;   // a byte inside a frame: the common case, nothing to settle
  settle(link, ch, result, order);
  // A line nobody waited for, or the LF after a gateway's CR: its own line.
  if (result == RX_SKIPPED && frame_trace_on() && ch->framing_mode != FRAMING_MODBUS_RTU &&
      (byte & 0x7F) < 0x20 && (ch->framing_mode == FRAMING_GATEWAY || (byte & 0x7F) == '\n'))
    trace_emit(ch->trace_rx, TRACE_RX, serial_trace_link(ch));
}

// The next byte to send; a new frame is not started while `line_busy`.
template <typename Tx>
uint16_t transmit_with(LinkHandle *link, Tx &tx, uint16_t (*machine)(Tx &, const Packet *), bool line_busy = false) {
  SerialChannel *ch = serial_channel(link);
  for (;;) {
    if (!ch->tx_packet) {
      if (line_busy) return TX_NONE;
      ch->tx_packet = queue_take(&ch->tx_queue);
      if (!ch->tx_packet) return TX_NONE;
      tx = Tx{};
    }
    uint16_t b = machine(tx, ch->tx_packet);
    if (b != TX_FRAME_END) {
      if (frame_trace_on()) trace_collect(ch->trace_tx, static_cast<uint8_t>(b));
      return b;
    }
    if (frame_trace_on()) trace_emit(ch->trace_tx, TRACE_TX, serial_trace_link(ch));
    queue_put(&free_packets, ch->tx_packet);
    ch->tx_packet = nullptr;
  }
}

// Whole frames into the pump's buffer, as transmit_with would give them:
// each starts only where it would (no frame under way, the line not held)
// and only with a byte to spare, so that its packet goes back to the pool
// in the same fill as it would byte by byte. True: the rest is for
// transmit_with.
template <typename Tx>
bool transmit_frames_with(SerialChannel *ch, Tx &tx, uint16_t limit, uint16_t (*length)(const Packet *),
                          void (*write)(const Packet *, uint8_t *), bool line_busy = false) {
  if (ch->tx_packet) return true;
  if (line_busy) return false;
  while (Packet *p = ch->tx_queue.head) {
    uint16_t n = length(p);
    if (ch->tx_length + n >= limit) return true;
    queue_take(&ch->tx_queue);
    write(p, ch->tx_buffer + ch->tx_length);
    ch->tx_length = static_cast<uint16_t>(ch->tx_length + n);
    queue_put(&free_packets, p);
    tx = Tx{};
  }
  return false;
}

void gateway_receive(LinkHandle *link, uint8_t byte) {
  receive_with(link, serial_channel(link)->line_rx, line_receive, byte);
}
uint16_t gateway_transmit(LinkHandle *link) { return transmit_with(link, serial_channel(link)->line_tx, line_transmit); }
bool gateway_transmit_frames(LinkHandle *link, uint16_t limit) {
  SerialChannel *ch = serial_channel(link);
  return transmit_frames_with(ch, ch->line_tx, limit, line_frame_length, line_write_frame);
}

void rtu_receive_byte(LinkHandle *link, uint8_t byte) {
  receive_with(link, serial_channel(link)->rtu_rx, rtu_receive, byte, Exchange::REQUEST_FIRST);
}
size_t rtu_receive_bytes(LinkHandle *link, const uint8_t *bytes, size_t count) {
  SerialChannel *ch = serial_channel(link);
  return rtu_receive_run(ch->rtu_rx, ch->rx_packet, bytes, count);
}
// No new frame while one comes in, or while a reply is owed.
bool rtu_line_busy(SerialChannel *ch) { return (ch->rx_active && rtu_mid_frame(ch->rtu_rx)) || reply_owed(ch); }
uint16_t rtu_transmit_byte(LinkHandle *link) {
  SerialChannel *ch = serial_channel(link);
  return transmit_with(link, ch->rtu_tx, rtu_transmit, rtu_line_busy(ch));
}
bool rtu_transmit_frames(LinkHandle *link, uint16_t limit) {
  SerialChannel *ch = serial_channel(link);
  return transmit_frames_with(ch, ch->rtu_tx, limit, rtu_frame_length, rtu_write_frame, rtu_line_busy(ch));
}
void rtu_line_silent(LinkHandle *link) {
  SerialChannel *ch = serial_channel(link);
  settle(link, ch, rtu_silence(ch->rtu_rx, ch->rx_packet), Exchange::REQUEST_FIRST);
  // What came and was no frame of ours (skipped up to the silence).
  if (frame_trace_on()) trace_emit(ch->trace_rx, TRACE_RX, TRACE_RTU);
}

// A frame cut short (no CR LF) holds the line only until it falls silent.
void ascii_receive_byte(LinkHandle *link, uint8_t byte) {
  receive_with(link, serial_channel(link)->ascii_rx, ascii_receive, byte, Exchange::REQUEST_FIRST);
}
size_t ascii_receive_bytes(LinkHandle *link, const uint8_t *bytes, size_t count) {
  SerialChannel *ch = serial_channel(link);
  return ascii_receive_run(ch->ascii_rx, ch->rx_packet, bytes, count);
}
bool ascii_line_busy(SerialChannel *ch) { return (ch->rx_active && ascii_mid_frame(ch->ascii_rx)) || reply_owed(ch); }
uint16_t ascii_transmit_byte(LinkHandle *link) {
  SerialChannel *ch = serial_channel(link);
  return transmit_with(link, ch->ascii_tx, ascii_transmit, ascii_line_busy(ch));
}
bool ascii_transmit_frames(LinkHandle *link, uint16_t limit) {
  SerialChannel *ch = serial_channel(link);
  return transmit_frames_with(ch, ch->ascii_tx, limit, ascii_frame_length, ascii_write_frame, ascii_line_busy(ch));
}

}  // namespace

const FramerSlot gateway_slot = {
    .receive = gateway_receive,
    .transmit = gateway_transmit,
    .line_silent = nullptr,
    .pump_due_us = nullptr,
    .receive_run = nullptr,
    .transmit_frames = gateway_transmit_frames,
};

const FramerSlot modbus_rtu_slot = {
    .receive = rtu_receive_byte,
    .transmit = rtu_transmit_byte,
    .line_silent = rtu_line_silent,
    .pump_due_us = owed_reply_due,
    .receive_run = rtu_receive_bytes,
    .transmit_frames = rtu_transmit_frames,
};

const FramerSlot modbus_ascii_slot = {
    .receive = ascii_receive_byte,
    .transmit = ascii_transmit_byte,
    .line_silent = nullptr,
    .pump_due_us = owed_reply_due,
    .receive_run = ascii_receive_bytes,
    .transmit_frames = ascii_transmit_frames,
};
