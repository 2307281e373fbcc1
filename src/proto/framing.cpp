#include "proto/framing.h"

#include <array>

#include "proto/serial.h"

namespace {

constexpr std::array<uint16_t, 256> make_crc_table() {
  std::array<uint16_t, 256> t{};
  for (unsigned i = 0; i < 256; i++) {
    uint16_t v = static_cast<uint16_t>(i);
    for (int b = 0; b < 8; b++) v = (v & 1) ? static_cast<uint16_t>((v >> 1) ^ 0xA001) : static_cast<uint16_t>(v >> 1);
    t[i] = v;
  }
  return t;
}
constexpr std::array<uint16_t, 256> crc_table = make_crc_table();

bool crc_mode(const SerialChannel *ch) { return (ch->tx_flags & TXF_CRC) != 0; }
uint16_t check_start(const SerialChannel *ch) { return crc_mode(ch) ? 0xFFFF : 0; }

// ---- Sy/Max transmit side ----

void symax_drop_tx_packet(SerialChannel *ch) {
  queue_put(&free_packets, ch->tx_packet);
  ch->tx_packet = nullptr;
  ch->tx_state = STX_IDLE;
}

uint16_t symax_frame_start(SerialChannel *ch) {
  // A frame started again before its end (refused while going out): the
  // part that went is a line of its own.
  if (frame_trace_on()) trace_emit(ch->trace_tx, TRACE_TX, TRACE_SYMAX);
  ch->tx_check = check_start(ch);
  ch->tx_flags |= TXF_CONTINUE;
  ch->tx_state = STX_SOH;
  return DLE;
}

// The second byte of a control pair (acknowledgement, refusal, enquiry).
uint16_t pair_end(SerialChannel *ch, uint8_t byte) {
  ch->trace_unit = TRACE_UNIT_PAIR;
  ch->trace_end = true;
  return byte;
}

uint16_t symax_transmit(LinkHandle *link) {
  SerialChannel *ch = serial_channel(link);
  bool crc = crc_mode(ch);
  uint16_t &f = ch->tx_flags;
  if (f & TXF_CONTINUE) {
    f &= ~TXF_CONTINUE;
  } else if (f & TXF_ENQ) {
    f &= ~TXF_ENQ;
    return pair_end(ch, ENQ);
  } else if (f & TXF_DLE) {
    f &= ~TXF_DLE;
    return DLE;
  } else if (f & TXF_REPLY) {
    f &= ~TXF_REPLY;
    return pair_end(ch, ch->reply_byte);
  } else if (f & TXF_SYN) {
    f &= ~TXF_SYN;
    return pair_end(ch, SYN);
  } else if (f & TXF_ACK_DUE) {
    f = static_cast<uint16_t>((f & ~TXF_ACK_DUE) | TXF_REPLY);
    ch->trace_unit = TRACE_UNIT_PAIR;
    return DLE;
  } else if (f & TXF_NO_PACKET) {
    f = static_cast<uint16_t>((f & ~TXF_NO_PACKET) | TXF_SYN);
    ch->trace_unit = TRACE_UNIT_PAIR;
    return DLE;
  }

  for (;;) {
    switch (ch->tx_state) {
      case STX_IDLE: {
        Packet *p = queue_take(&ch->tx_queue);
        if (!p) return TX_NONE;
        ch->tx_packet = p;
        ch->retry_count = SYMAX_RETRIES;
        return symax_frame_start(ch);
      }
      case STX_RESTART:
        return symax_frame_start(ch);
      case STX_SOH:
        ch->tx_state = STX_SEQUENCE;
        return SOH;
      case STX_SEQUENCE:
        ch->tx_check = check_update(ch->tx_check, ch->expected_ack, crc);
        ch->tx_index = 0;
        ch->tx_state = STX_ROUTE;
        return ch->expected_ack;
      case STX_ROUTE:
        if (ch->tx_index < PACKET_ADDRESS_SIZE && ch->tx_packet->address[ch->tx_index] != 0xFF) {
          uint8_t b = ch->tx_packet->address[ch->tx_index++];
          ch->tx_check = check_update(ch->tx_check, b, crc);
          return b;
        }
        ch->tx_check = check_update(ch->tx_check, DLE, crc);
        f |= TXF_CONTINUE;
        ch->tx_state = STX_START;
        return DLE;
      case STX_START:
        ch->tx_check = check_update(ch->tx_check, STX, crc);
        ch->tx_index = 0;
        ch->tx_left = ch->tx_packet->length > PACKET_DATA_SIZE ? PACKET_DATA_SIZE : ch->tx_packet->length;
        ch->tx_state = STX_DATA;
        return STX;
      case STX_DATA:
        if (ch->tx_left > 0) {
          uint8_t b = ch->tx_packet->data[ch->tx_index++];
          ch->tx_left--;
          if (b == DLE) {
            ch->tx_check = check_update(ch->tx_check, DLE, crc);
            f |= TXF_DLE;
          }
          ch->tx_check = check_update(ch->tx_check, b, crc);
          return b;
        }
        ch->tx_check = check_update(ch->tx_check, DLE, crc);
        f |= TXF_CONTINUE;
        ch->tx_state = STX_END;
        return DLE;
      case STX_END:
        ch->tx_check = check_update(ch->tx_check, ETX, crc);
        f |= TXF_CONTINUE;
        ch->tx_state = crc ? STX_CRC_HIGH : STX_CHECK_LOW;
        return ETX;
      case STX_CRC_HIGH:
        f |= TXF_CONTINUE;
        ch->tx_state = STX_CHECK_LOW;
        return static_cast<uint8_t>(ch->tx_check >> 8);
      case STX_CHECK_LOW:
        ch->enquiry_count = SYMAX_ENQUIRIES;
        ch->fill_count = SYMAX_FILLS;
        // The first fill byte would follow the frame once it has left (and,
        // across a network, once its acknowledgement could be back).
        ch->fill_due_us = (ch->line_free_us > ch->now_us ? ch->line_free_us : ch->now_us) + 2 * ch->char_us +
                          ch->network_allowance_us;
        ch->tx_state = STX_ACK_WAIT;
        ch->trace_end = true;
        return static_cast<uint8_t>(ch->tx_check & 0xFF);
      case STX_ACK_WAIT:
        if (ch->fill_count > 0) {
          if (ch->now_us < ch->fill_due_us) return TX_LATER;
          ch->fill_count--;
          ch->fill_due_us = ch->now_us + ch->char_us;
          ch->trace_unit = TRACE_UNIT_FILL;
          return FILL;
        }
        if (ch->enquiry_count == 0) {
          // Given up: the protocol only sees that no reply comes.
          symax_drop_tx_packet(ch);
          continue;
        }
        ch->enquiry_count--;
        ch->fill_count = SYMAX_FILLS;
        // An enquiry answered across a network: its answer is given the
        // round trip before the fill bytes go on.
        if (ch->network_allowance_us) ch->fill_due_us = ch->now_us + 2 * ch->char_us + ch->network_allowance_us;
        f |= TXF_ENQ;
        ch->trace_unit = TRACE_UNIT_PAIR;
        return DLE;
      default:
        symax_drop_tx_packet(ch);
        continue;
    }
  }
}

// ---- Sy/Max acknowledgement handling (receive side, lock held) ----

void symax_nak(LinkHandle *link) {
  SerialChannel *ch = serial_channel(link);
  if (ch->tx_state == STX_IDLE) return;
  if (ch->retry_count > 0) {
    ch->retry_count--;
    ch->tx_state = STX_RESTART;
  } else {
    symax_drop_tx_packet(ch);
  }
  transmit_kick(link);
}

void symax_ack(LinkHandle *link, uint8_t byte) {
  SerialChannel *ch = serial_channel(link);
  if (ch->tx_state != STX_ACK_WAIT) return;
  if (byte != ch->expected_ack) {
    symax_nak(link);
    return;
  }
  symax_drop_tx_packet(ch);
  ch->expected_ack = ch->expected_ack == SEQ1 ? SEQ2 : SEQ1;
  transmit_kick(link);
}

// ---- Sy/Max receive side ----

void symax_reply(LinkHandle *link, uint8_t reply) {
  SerialChannel *ch = serial_channel(link);
  ch->reply_byte = reply;
  ch->tx_flags |= TXF_ACK_DUE;
  ch->rx_state = SRX_IDLE;
  transmit_kick(link);
}

void symax_rx_error(LinkHandle *link) {
  SerialChannel *ch = serial_channel(link);
  if (frame_trace_on()) trace_emit(ch->trace_rx, TRACE_RX, TRACE_SYMAX);
  queue_put(&free_packets, ch->rx_packet);
  ch->rx_packet = nullptr;
  symax_reply(link, NAK);
}

void symax_rx_drop(SerialChannel *ch) {
  queue_put(&free_packets, ch->rx_packet);
  ch->rx_packet = nullptr;
  ch->rx_state = SRX_IDLE;
}

void symax_rx_store(SerialChannel *ch, uint8_t byte, bool crc) {
  Packet *p = ch->rx_packet;
  if (ch->rx_state == SRX_ROUTE)
    p->address[16 - ch->rx_space] = byte;
  else
    p->data[PACKET_DATA_SIZE - ch->rx_space] = byte;
  ch->rx_space--;
  ch->rx_check = check_update(ch->rx_check, byte, crc);
}

void symax_rx_state(LinkHandle *link, uint8_t b, bool after_dle) {
  SerialChannel *ch = serial_channel(link);
  bool crc = crc_mode(ch);
  switch (ch->rx_state) {
    case SRX_IDLE:
      if (!after_dle || b != SOH) return;
      ch->rx_packet = queue_take(&free_packets);
      if (!ch->rx_packet) {
        ch->tx_flags |= TXF_NO_PACKET;
        transmit_kick(link);
        return;
      }
      ch->rx_check = check_start(ch);
      ch->rx_state = SRX_SEQ;
      return;
    case SRX_SEQ:
      if (after_dle || (b != SEQ1 && b != SEQ2)) return symax_rx_error(link);
      ch->header_byte = b;
      ch->rx_check = check_update(ch->rx_check, b, crc);
      ch->rx_space = 16;
      ch->rx_state = SRX_ROUTE;
      return;
    case SRX_ROUTE:
      if (after_dle) {
        if (b != STX) return symax_rx_error(link);
        ch->rx_check = check_update(ch->rx_check, DLE, crc);
        ch->rx_check = check_update(ch->rx_check, STX, crc);
        int end = 16 - ch->rx_space;
        ch->rx_packet->address[end] = 0xFF;
        ch->rx_packet->address[end + 1] = 0xFF;
        ch->rx_space = PACKET_DATA_SIZE;
        ch->rx_state = SRX_DATA;
        return;
      }
      if (ch->rx_space == 0) return symax_rx_error(link);
      symax_rx_store(ch, b, crc);
      return;
    case SRX_DATA:
      if (after_dle && b == ETX) {
        ch->rx_check = check_update(ch->rx_check, DLE, crc);
        ch->rx_check = check_update(ch->rx_check, ETX, crc);
        ch->rx_flags |= RXF_CHECK;
        ch->rx_state = crc ? SRX_CRC_HIGH : SRX_CHECK_LOW;
        return;
      }
      if (ch->rx_space == 0) return symax_rx_error(link);
      if (after_dle) {
        if (b != DLE) return symax_rx_error(link);
        ch->rx_check = check_update(ch->rx_check, DLE, crc);
      }
      symax_rx_store(ch, b, crc);
      return;
    case SRX_CRC_HIGH:
      if (b != (ch->rx_check >> 8)) return symax_rx_error(link);
      ch->rx_flags |= RXF_CHECK;
      ch->rx_state = SRX_CHECK_LOW;
      return;
    case SRX_CHECK_LOW: {
      if (b != (ch->rx_check & 0xFF)) return symax_rx_error(link);
      if (frame_trace_on()) trace_emit(ch->trace_rx, TRACE_RX, TRACE_SYMAX);
      Packet *p = ch->rx_packet;
      ch->rx_packet = nullptr;
      p->length = static_cast<uint16_t>(PACKET_DATA_SIZE - ch->rx_space);
      // Only the reply to the request in progress is kept; a late or
      // foreign one is acknowledged and dropped.
      if (p->length >= 2 && p->data[1] == ch->expected_transaction) {
        queue_put(&ch->rx_queue, p);
        link->reply_arrived.notify_all();
      } else {
        queue_put(&free_packets, p);
      }
      symax_reply(link, ch->header_byte);
      return;
    }
    default:
      symax_rx_drop(ch);
      return;
  }
}

// A control pair that came (between frames or inside one): a line of its own.
void trace_received_pair(SerialChannel *ch, uint8_t b) {
  if (!frame_trace_on()) return;
  TraceBuffer &t = ch->trace_rx;
  if (t.lost == 0 && t.length >= 2) t.length = static_cast<uint16_t>(t.length - 2);
  const uint8_t pair[2] = {DLE, b};
  frame_trace(TRACE_RX, TRACE_SYMAX, pair, 2);
}

void symax_receive(LinkHandle *link, uint8_t b) {
  SerialChannel *ch = serial_channel(link);
  bool after_dle = false;
  if (ch->rx_flags & RXF_DLE) {
    ch->rx_flags &= ~RXF_DLE;
    if (b == ENQ || b == SEQ1 || b == SEQ2 || b == NAK || b == SYN) trace_received_pair(ch, b);
    switch (b) {
      case SOH:
        if (ch->rx_state != SRX_IDLE) symax_rx_drop(ch);
        after_dle = true;
        break;
      case ENQ:
        ch->tx_flags |= TXF_ACK_DUE;
        transmit_kick(link);
        return;
      case SEQ1:
      case SEQ2:
        symax_ack(link, b);
        return;
      case NAK:
        symax_nak(link);
        return;
      case SYN:
        ch->retry_count = SYMAX_RETRIES;
        symax_ack(link, b);
        return;
      default:
        after_dle = true;
        break;
    }
  } else if (ch->rx_flags & RXF_CHECK) {
    // A check byte equal to DLE is not an escape.
    ch->rx_flags &= ~RXF_CHECK;
  } else if (b == DLE) {
    ch->rx_flags |= RXF_DLE;
    return;
  }
  symax_rx_state(link, b, after_dle);
}

// The fill bytes of the acknowledgement wait go out by the clock, not on
// any event of the port: the reader must wake for each.
int64_t symax_pump_due(LinkHandle *link) {
  const SerialChannel *ch = serial_channel(link);
  return ch->tx_state == STX_ACK_WAIT && ch->fill_count > 0 ? ch->fill_due_us : -1;
}

constexpr FramerSlot symax_slot = {
    .receive = symax_receive,
    .transmit = symax_transmit,
    .line_silent = nullptr,
    .pump_due_us = symax_pump_due,
};

// Each framing mode with its slot.
struct ModeSlot {
  uint8_t mode;
  const FramerSlot *slot;
};
constexpr ModeSlot framer_slots[] = {
    {.mode = FRAMING_SYMAX, .slot = &symax_slot},
    {.mode = FRAMING_GATEWAY, .slot = &gateway_slot},
    {.mode = FRAMING_MODBUS_RTU, .slot = &modbus_rtu_slot},
    {.mode = FRAMING_MODBUS_ASCII, .slot = &modbus_ascii_slot},
};

}  // namespace

uint16_t check_update(uint16_t value, uint8_t byte, bool crc) {
  if (crc) return static_cast<uint16_t>((value >> 8) ^ crc_table[(value ^ byte) & 0xFF]);
  return static_cast<uint16_t>(value - byte);
}

const FramerSlot *framer_slot(uint8_t mode) {
  for (const ModeSlot &m : framer_slots)
    if (m.mode == mode) return m.slot;
  return nullptr;
}

void receive_framer(LinkHandle *link, uint8_t byte) {
  SerialChannel *ch = serial_channel(link);
  const FramerSlot *slot = framer_slot(ch->framing_mode);
  if (ch->trace_rx_pending) {
    if (byte != '\n') serial_trace_settle(ch);
    if (frame_trace_on()) trace_collect(ch->trace_rx, byte);
    if (byte == '\n') serial_trace_settle(ch);
  } else if (frame_trace_on()) {
    trace_collect(ch->trace_rx, byte);
  }
  if (slot && slot->receive) slot->receive(link, byte);
}

uint16_t transmit_framer(LinkHandle *link) {
  SerialChannel *ch = serial_channel(link);
  const FramerSlot *slot = framer_slot(ch->framing_mode);
  if (!slot || !slot->transmit) return TX_NONE;
  ch->trace_unit = TRACE_UNIT_FRAME;
  ch->trace_end = false;
  uint16_t b = slot->transmit(link);
  if (b < 256 && frame_trace_on() && ch->trace_unit != TRACE_UNIT_FILL) {
    TraceBuffer &t = ch->trace_unit == TRACE_UNIT_PAIR ? ch->trace_pair : ch->trace_tx;
    trace_collect(t, static_cast<uint8_t>(b));
    if (ch->trace_end) trace_emit(t, TRACE_TX, serial_trace_link(ch));
  }
  return b;
}

void symax_set_check(LinkHandle *link, int crc) {
  SerialChannel *ch = serial_channel(link);
  if (!ch) return;
  std::lock_guard<std::mutex> g(link->lock);
  if (crc)
    ch->tx_flags |= TXF_CRC;
  else
    ch->tx_flags &= ~TXF_CRC;
}

void line_silent(LinkHandle *link) {
  const FramerSlot *slot = framer_slot(serial_channel(link)->framing_mode);
  if (slot && slot->line_silent) slot->line_silent(link);
}
