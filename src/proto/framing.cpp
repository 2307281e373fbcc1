#include "proto/framing.h"

#include <mutex>

#include "proto/serial_channel.h"
#include "proto/symax_framer.h"

namespace {

static_assert(SYMAX_TX_NONE == TX_NONE && SYMAX_TX_LATER == TX_LATER, "Sy/Max transmit values pass through");

// ---- Sy/Max on the channel (lock held) ----

// A control pair that came (between frames or inside one): a line of its own.
void trace_received_pair(SerialChannel *ch, uint8_t b) {
  if (!frame_trace_on()) return;
  TraceBuffer &t = ch->trace_rx;
  if (t.lost == 0 && t.length >= 2) t.length = static_cast<uint16_t>(t.length - 2);
  const uint8_t pair[2] = {DLE, b};
  frame_trace(TRACE_RX, TRACE_SYMAX, pair, 2);
}

void give_back_rx(SerialChannel *ch) {
  queue_put(&free_packets, ch->rx_packet);
  ch->rx_packet = nullptr;
}

void symax_receive_byte(LinkHandle *link, uint8_t b) {
  SerialChannel *ch = serial_channel(link);
  SymaxTransmitter &tx = ch->symax_tx;
  bool crc = symax_crc(tx);
  SymaxRxResult result = symax_receive(ch->symax_rx, ch->rx_packet, b, crc);
  if (result == SYMAX_RX_RESTART) give_back_rx(ch);
  if (result == SYMAX_RX_RESTART || result == SYMAX_RX_WANT_PACKET) {
    // A frame starts: it takes a packet, or, with none free, is refused.
    ch->rx_packet = queue_take(&free_packets);
    result = symax_receive(ch->symax_rx, ch->rx_packet, b, crc);
  }
  switch (result) {
    case SYMAX_RX_CONTROL:
      trace_received_pair(ch, b);
      if (symax_control_received(tx, b)) {
        queue_put(&free_packets, ch->tx_packet);
        ch->tx_packet = nullptr;
      }
      break;
    case SYMAX_RX_NO_PACKET:
      symax_answer_busy(tx);
      break;
    case SYMAX_RX_BAD:
      if (frame_trace_on()) trace_emit(ch->trace_rx, TRACE_RX, TRACE_SYMAX);
      give_back_rx(ch);
      symax_answer(tx, NAK);
      break;
    case SYMAX_RX_FRAME: {
      if (frame_trace_on()) trace_emit(ch->trace_rx, TRACE_RX, TRACE_SYMAX);
      Packet *p = ch->rx_packet;
      ch->rx_packet = nullptr;
      // Only the reply to the request in progress is kept; a late or
      // foreign one is acknowledged and dropped.
      if (p->length >= 2 && p->data[1] == ch->expected_transaction) {
        queue_put(&ch->rx_queue, p);
        wake_reply_waiter(link, ch);
      } else {
        queue_put(&free_packets, p);
      }
      symax_answer(tx, ch->symax_rx.sequence);
      break;
    }
    case SYMAX_RX_DROPPED:
      give_back_rx(ch);
      break;
    default:
      break;
  }
}

// The byte handed out, to the trace: the bytes of a frame make its line, a
// control pair sent between them a line of its own, fill bytes none.
void trace_sent(SerialChannel *ch, uint8_t sent, uint8_t b) {
  switch (sent) {
    case SYMAX_SENT_FRAME_FIRST:
      // A frame started again before its end (refused while going out): the
      // part that went is a line of its own.
      trace_emit(ch->trace_tx, TRACE_TX, TRACE_SYMAX);
      trace_collect(ch->trace_tx, b);
      break;
    case SYMAX_SENT_FRAME:
      trace_collect(ch->trace_tx, b);
      break;
    case SYMAX_SENT_FRAME_LAST:
      trace_collect(ch->trace_tx, b);
      trace_emit(ch->trace_tx, TRACE_TX, TRACE_SYMAX);
      break;
    case SYMAX_SENT_PAIR_FIRST:
      trace_collect(ch->trace_pair, b);
      break;
    case SYMAX_SENT_PAIR_LAST:
      trace_collect(ch->trace_pair, b);
      trace_emit(ch->trace_pair, TRACE_TX, TRACE_SYMAX);
      break;
    default:
      break;
  }
}

uint16_t symax_transmit_byte(LinkHandle *link) {
  SerialChannel *ch = serial_channel(link);
  SymaxTransmitter &tx = ch->symax_tx;
  const SymaxClock clock = {.now_us = ch->now_us,
                            .line_free_us = ch->line_free_us,
                            .char_us = ch->char_us,
                            .network_allowance_us = ch->network_allowance_us};
  uint16_t b = symax_transmit(tx, ch->tx_packet, clock);
  while (b == SYMAX_TX_WANT_PACKET || b == SYMAX_TX_GIVEN_UP) {
    if (b == SYMAX_TX_GIVEN_UP) queue_put(&free_packets, ch->tx_packet);
    ch->tx_packet = queue_take(&ch->tx_queue);
    b = symax_transmit(tx, ch->tx_packet, clock);
  }
  if (b < 256 && frame_trace_on()) trace_sent(ch, tx.sent, static_cast<uint8_t>(b));
  return b;
}

// The bytes inside a frame (most of every reply) in one run: see
// symax_receive_run. Everything else, byte by byte.
size_t symax_receive_bytes(LinkHandle *link, const uint8_t *bytes, size_t count) {
  SerialChannel *ch = serial_channel(link);
  return symax_receive_run(ch->symax_rx, ch->rx_packet, bytes, count, symax_crc(ch->symax_tx));
}

// A request in one go where the pump's buffer holds it whole (a pty): only
// its acknowledgement wait after it is timed, and that the byte-by-byte
// transmitter goes on with. Anything owed before it, and a frame cut by
// the buffer (a line's bursts), goes byte by byte.
bool symax_transmit_frames(LinkHandle *link, uint16_t limit) {
  SerialChannel *ch = serial_channel(link);
  SymaxTransmitter &tx = ch->symax_tx;
  if (!symax_frame_may_start(tx, ch->tx_packet)) return true;
  Packet *p = tx.state == STX_IDLE ? ch->tx_queue.head : ch->tx_packet;
  if (!p) return true;   // the transmitter says there is nothing, as it would
  uint16_t n = symax_frame_length(p, symax_crc(tx));
  if (ch->tx_length + n > limit) return true;
  if (tx.state == STX_IDLE) ch->tx_packet = queue_take(&ch->tx_queue);
  // The clock of the frame's last byte.
  const SymaxClock last = {.now_us = ch->now_us,
                           .line_free_us = ch->line_free_us + int64_t(n - 1) * ch->char_us,
                           .char_us = ch->char_us,
                           .network_allowance_us = ch->network_allowance_us};
  symax_write_frame(tx, p, ch->tx_buffer + ch->tx_length, last);
  ch->tx_length = static_cast<uint16_t>(ch->tx_length + n);
  ch->line_free_us += int64_t(n) * ch->char_us;
  return true;
}

// The fill bytes of the acknowledgement wait go out by the clock, not on
// any event of the port: the reader must wake for each.
int64_t symax_pump_due(LinkHandle *link) { return symax_fill_due_us(serial_channel(link)->symax_tx); }

constexpr FramerSlot symax_slot = {
    .receive = symax_receive_byte,
    .transmit = symax_transmit_byte,
    .line_silent = nullptr,
    .pump_due_us = symax_pump_due,
    .receive_run = symax_receive_bytes,
    .transmit_frames = symax_transmit_frames,
};

}  // namespace

const FramerSlot *framer_slot(uint8_t mode) {
  switch (mode) {
    case FRAMING_SYMAX: return &symax_slot;
    case FRAMING_GATEWAY: return &gateway_slot;
    case FRAMING_MODBUS_RTU: return &modbus_rtu_slot;
    case FRAMING_MODBUS_ASCII: return &modbus_ascii_slot;
    default: return nullptr;
  }
}

namespace {

inline void receive_one(LinkHandle *link, SerialChannel *ch, const FramerSlot *slot, uint8_t byte) {
  if (ch->trace_rx_pending) {
    if (byte != '\n') serial_trace_settle(ch);
    if (frame_trace_on()) trace_collect(ch->trace_rx, byte);
    if (byte == '\n') serial_trace_settle(ch);
  } else if (frame_trace_on()) {
    trace_collect(ch->trace_rx, byte);
  }
  if (slot && slot->receive) slot->receive(link, byte);
}

}  // namespace

void receive_framer(LinkHandle *link, uint8_t byte) {
  SerialChannel *ch = serial_channel(link);
  receive_one(link, ch, framer_slot(ch->framing_mode), byte);
}

void receive_framer_bytes(LinkHandle *link, const uint8_t *bytes, size_t count) {
  SerialChannel *ch = serial_channel(link);
  const FramerSlot *slot = framer_slot(ch->framing_mode);   // the mode stays: the lock is held
  size_t (*run)(LinkHandle *, const uint8_t *, size_t) = slot ? slot->receive_run : nullptr;
  size_t i = 0;
  while (i < count) {
    // The bytes inside a frame go in one run (they are most of every
    // reply); its first and last byte and anything traced, one by one.
    if (run && !ch->trace_rx_pending && !frame_trace_on()) {
      i += run(link, bytes + i, count - i);
      if (i == count) break;
    }
    receive_one(link, ch, slot, bytes[i++]);
  }
}

uint16_t transmit_framer(LinkHandle *link) {
  const FramerSlot *slot = framer_slot(serial_channel(link)->framing_mode);
  if (!slot || !slot->transmit) return TX_NONE;
  return slot->transmit(link);
}

void transmit_framer_fill(LinkHandle *link, int64_t written_free, uint16_t limit) {
  SerialChannel *ch = serial_channel(link);
  const FramerSlot *slot = framer_slot(ch->framing_mode);
  if (!slot || !slot->transmit || ch->tx_length >= limit) return;
  // Whole frames where the framing writes them (every request would pay
  // for its bytes one by one); the trace follows the bytes one by one.
  // line_free_us: when the line is free of the bytes before the next one
  // (Sy/Max times its acknowledgement wait from its frame's end).
  int64_t from = written_free > ch->now_us ? written_free : ch->now_us;
  ch->line_free_us = from + int64_t(ch->tx_length) * ch->char_us;
  if (slot->transmit_frames && !frame_trace_on() && !slot->transmit_frames(link, limit)) return;
  while (ch->tx_length < limit) {
    ch->line_free_us = from + int64_t(ch->tx_length) * ch->char_us;
    uint16_t b = slot->transmit(link);
    if (b >= 256) break;
    ch->tx_buffer[ch->tx_length++] = static_cast<uint8_t>(b);
  }
}

void line_silent(LinkHandle *link) {
  const FramerSlot *slot = framer_slot(serial_channel(link)->framing_mode);
  if (slot && slot->line_silent) slot->line_silent(link);
}

void framing_release(SerialChannel *ch) { symax_abandon(ch->symax_rx, ch->symax_tx); }

void symax_set_check(LinkHandle *link, int crc) {
  SerialChannel *ch = serial_channel(link);
  if (!ch) return;
  std::lock_guard<std::mutex> g(link->lock);
  symax_set_crc(ch->symax_tx, crc != 0);
}

TraceLink serial_trace_link(const SerialChannel *ch) {
  switch (ch->framing_mode) {
    case FRAMING_GATEWAY: return TRACE_GATEWAY;
    case FRAMING_MODBUS_RTU: return TRACE_RTU;
    case FRAMING_MODBUS_ASCII: return TRACE_ASCII;
    default: return TRACE_SYMAX;
  }
}

void serial_trace_settle(SerialChannel *ch) {
  if (!ch->trace_rx_pending) return;
  ch->trace_rx_pending = false;
  if (frame_trace_on()) trace_emit(ch->trace_rx, TRACE_RX, serial_trace_link(ch));
}
