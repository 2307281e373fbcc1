#include "proto/symax_framer.h"

#include "proto/serial_framers.h"

namespace {

constexpr uint16_t ROUTE_ROOM = PACKET_ADDRESS_SIZE - 2;   // the route, then 0xFF 0xFF
constexpr uint8_t ROUTE_END = 0xFF;

uint16_t check_start(bool crc) { return crc ? 0xFFFF : 0; }
uint16_t data_length(const Packet *p) { return p->length > PACKET_DATA_SIZE ? PACKET_DATA_SIZE : p->length; }
uint16_t route_length(const Packet *p) {
  uint16_t n = 0;
  while (n < PACKET_ADDRESS_SIZE && p->address[n] != ROUTE_END) n++;
  return n;
}

// The control bytes served before anything else (see owed_byte).
constexpr uint16_t TXF_OWED = TXF_ENQ | TXF_DLE | TXF_REPLY | TXF_SYN | TXF_ACK_DUE | TXF_NO_PACKET;

// ---- Receiver ----

SymaxRxResult bad_frame(SymaxReceiver &rx) {
  rx.state = SRX_IDLE;
  return SYMAX_RX_BAD;
}

void store(SymaxReceiver &rx, Packet *p, uint8_t byte, bool crc) {
  if (rx.state == SRX_ROUTE)
    p->address[ROUTE_ROOM - rx.space] = byte;
  else
    p->data[PACKET_DATA_SIZE - rx.space] = byte;
  rx.space--;
  rx.check = check_update(rx.check, byte, crc);
}

// The packet for a frame that began with DLE SOH.
SymaxRxResult frame_begin(SymaxReceiver &rx, Packet *p, bool crc) {
  if (!p) {
    rx.state = SRX_IDLE;
    return SYMAX_RX_NO_PACKET;
  }
  rx.check = check_start(crc);
  rx.state = SRX_SEQ;
  return SYMAX_RX_STORED;
}

// One byte of the frame, after_dle when a DLE came before it.
SymaxRxResult frame_step(SymaxReceiver &rx, Packet *p, uint8_t b, bool after_dle, bool crc) {
  switch (rx.state) {
    case SRX_IDLE:
      if (!after_dle || b != SOH) return SYMAX_RX_SKIPPED;
      rx.state = SRX_START;
      return SYMAX_RX_WANT_PACKET;
    case SRX_SEQ:
      if (after_dle || (b != SEQ1 && b != SEQ2)) return bad_frame(rx);
      rx.sequence = b;
      rx.check = check_update(rx.check, b, crc);
      rx.space = ROUTE_ROOM;
      rx.state = SRX_ROUTE;
      return SYMAX_RX_STORED;
    case SRX_ROUTE:
      if (after_dle) {
        if (b != STX) return bad_frame(rx);
        rx.check = check_update(rx.check, DLE, crc);
        rx.check = check_update(rx.check, STX, crc);
        int end = ROUTE_ROOM - rx.space;
        p->address[end] = ROUTE_END;
        p->address[end + 1] = ROUTE_END;
        rx.space = PACKET_DATA_SIZE;
        rx.state = SRX_DATA;
        return SYMAX_RX_STORED;
      }
      if (rx.space == 0) return bad_frame(rx);
      store(rx, p, b, crc);
      return SYMAX_RX_STORED;
    case SRX_DATA:
      if (after_dle && b == ETX) {
        rx.check = check_update(rx.check, DLE, crc);
        rx.check = check_update(rx.check, ETX, crc);
        rx.flags |= RXF_CHECK;
        rx.state = crc ? SRX_CRC_HIGH : SRX_CHECK_LOW;
        return SYMAX_RX_STORED;
      }
      if (rx.space == 0) return bad_frame(rx);
      if (after_dle) {
        if (b != DLE) return bad_frame(rx);
        rx.check = check_update(rx.check, DLE, crc);
      }
      store(rx, p, b, crc);
      return SYMAX_RX_STORED;
    case SRX_CRC_HIGH:
      if (b != (rx.check >> 8)) return bad_frame(rx);
      rx.flags |= RXF_CHECK;
      rx.state = SRX_CHECK_LOW;
      return SYMAX_RX_STORED;
    case SRX_CHECK_LOW:
      if (b != (rx.check & 0xFF)) return bad_frame(rx);
      p->length = static_cast<uint16_t>(PACKET_DATA_SIZE - rx.space);
      rx.state = SRX_IDLE;
      return SYMAX_RX_FRAME;
    default:
      rx.state = SRX_IDLE;
      return SYMAX_RX_DROPPED;
  }
}

// ---- Transmitter ----

// Returned by the flags when the frame goes next.
constexpr uint16_t FRAME_TURN = 0x200;

uint16_t sent(SymaxTransmitter &tx, SymaxSent what, uint8_t byte) {
  tx.sent = what;
  return byte;
}

// The control bytes owed, in the order they are served. A served flag may
// owe the byte after it (then).
struct Owed {
  uint16_t flag;
  uint8_t byte;   // for TXF_REPLY the reply byte
  SymaxSent sent;
  uint16_t then;
};
constexpr Owed owed[] = {
    {.flag = TXF_ENQ, .byte = ENQ, .sent = SYMAX_SENT_PAIR_LAST, .then = 0},
    {.flag = TXF_DLE, .byte = DLE, .sent = SYMAX_SENT_FRAME, .then = 0},
    {.flag = TXF_REPLY, .byte = 0, .sent = SYMAX_SENT_PAIR_LAST, .then = 0},
    {.flag = TXF_SYN, .byte = SYN, .sent = SYMAX_SENT_PAIR_LAST, .then = 0},
    {.flag = TXF_ACK_DUE, .byte = DLE, .sent = SYMAX_SENT_PAIR_FIRST, .then = TXF_REPLY},
    {.flag = TXF_NO_PACKET, .byte = DLE, .sent = SYMAX_SENT_PAIR_FIRST, .then = TXF_SYN},
};

// The flags' job: an owed control byte, or FRAME_TURN. A byte that must
// continue the frame (TXF_CONTINUE) lets nothing in between.
uint16_t owed_byte(SymaxTransmitter &tx) {
  if (tx.flags & TXF_CONTINUE) {
    tx.flags &= ~TXF_CONTINUE;
    return FRAME_TURN;
  }
  for (const Owed &o : owed) {
    if (!(tx.flags & o.flag)) continue;
    tx.flags = static_cast<uint16_t>((tx.flags & ~o.flag) | o.then);
    return sent(tx, o.sent, o.flag == TXF_REPLY ? tx.reply_byte : o.byte);
  }
  return FRAME_TURN;
}

uint16_t frame_start(SymaxTransmitter &tx) {
  tx.check = check_start(symax_crc(tx));
  tx.flags |= TXF_CONTINUE;
  tx.state = STX_SOH;
  return sent(tx, SYMAX_SENT_FRAME_FIRST, DLE);
}

// The caller puts the packet back and lends the next one.
uint16_t give_up(SymaxTransmitter &tx) {
  tx.state = STX_IDLE;
  tx.taking = true;
  return SYMAX_TX_GIVEN_UP;
}

// The frame's last byte goes at `clock`: its acknowledgement is awaited.
void ack_wait_begin(SymaxTransmitter &tx, const SymaxClock &clock) {
  tx.enquiries = SYMAX_ENQUIRIES;
  tx.fills = SYMAX_FILLS;
  // The first fill byte would follow the frame once it has left (and,
  // across a network, once its acknowledgement could be back).
  tx.fill_due_us = (clock.line_free_us > clock.now_us ? clock.line_free_us : clock.now_us) + 2 * clock.char_us +
                   clock.network_allowance_us;
  tx.state = STX_ACK_WAIT;
}

// After the check: fill bytes by the clock, DLE ENQ after every ten, until
// the enquiries are used up.
uint16_t ack_wait_byte(SymaxTransmitter &tx, const SymaxClock &clock) {
  if (tx.fills > 0) {
    if (clock.now_us < tx.fill_due_us) return SYMAX_TX_LATER;
    tx.fills--;
    tx.fill_due_us = clock.now_us + clock.char_us;
    return sent(tx, SYMAX_SENT_FILL, FILL);
  }
  if (tx.enquiries == 0) return give_up(tx);   // the protocol only sees that no reply comes
  tx.enquiries--;
  tx.fills = SYMAX_FILLS;
  // An enquiry answered across a network: its answer is given the round
  // trip before the fill bytes go on.
  if (clock.network_allowance_us) tx.fill_due_us = clock.now_us + 2 * clock.char_us + clock.network_allowance_us;
  tx.flags |= TXF_ENQ;
  return sent(tx, SYMAX_SENT_PAIR_FIRST, DLE);
}

// The frame state's job: the next byte of the frame of p. `again`: the call
// that lends the packet asked for, where an idle transmitter without one
// has nothing to send.
uint16_t frame_byte(SymaxTransmitter &tx, const Packet *p, const SymaxClock &clock, bool again) {
  bool crc = symax_crc(tx);
  if (!p && tx.state != STX_IDLE) tx.state = STX_IDLE;   // its packet was taken back
  switch (tx.state) {
    case STX_IDLE:
      if (!p) {
        if (again) return SYMAX_TX_NONE;
        tx.taking = true;
        return SYMAX_TX_WANT_PACKET;
      }
      tx.retries = SYMAX_RETRIES;
      return frame_start(tx);
    case STX_RESTART:
      return frame_start(tx);
    case STX_SOH:
      tx.state = STX_SEQUENCE;
      return SOH;
    case STX_SEQUENCE:
      tx.check = check_update(tx.check, tx.expected_ack, crc);
      tx.index = 0;
      tx.state = STX_ROUTE;
      return tx.expected_ack;
    case STX_ROUTE:
      if (tx.index < PACKET_ADDRESS_SIZE && p->address[tx.index] != ROUTE_END) {
        uint8_t b = p->address[tx.index++];
        tx.check = check_update(tx.check, b, crc);
        return b;
      }
      tx.check = check_update(tx.check, DLE, crc);
      tx.flags |= TXF_CONTINUE;
      tx.state = STX_START;
      return DLE;
    case STX_START:
      tx.check = check_update(tx.check, STX, crc);
      tx.index = 0;
      tx.left = data_length(p);
      tx.state = STX_DATA;
      return STX;
    case STX_DATA:
      if (tx.left > 0) {
        uint8_t b = p->data[tx.index++];
        tx.left--;
        if (b == DLE) {
          tx.check = check_update(tx.check, DLE, crc);
          tx.flags |= TXF_DLE;
        }
        tx.check = check_update(tx.check, b, crc);
        return b;
      }
      tx.check = check_update(tx.check, DLE, crc);
      tx.flags |= TXF_CONTINUE;
      tx.state = STX_END;
      return DLE;
    case STX_END:
      tx.check = check_update(tx.check, ETX, crc);
      tx.flags |= TXF_CONTINUE;
      tx.state = crc ? STX_CRC_HIGH : STX_CHECK_LOW;
      return ETX;
    case STX_CRC_HIGH:
      tx.flags |= TXF_CONTINUE;
      tx.state = STX_CHECK_LOW;
      return static_cast<uint8_t>(tx.check >> 8);
    case STX_CHECK_LOW:
      ack_wait_begin(tx, clock);
      return sent(tx, SYMAX_SENT_FRAME_LAST, static_cast<uint8_t>(tx.check & 0xFF));
    case STX_ACK_WAIT:
      return ack_wait_byte(tx, clock);
    default:
      return give_up(tx);
  }
}

// A refusal of the frame going out: sent again while retries last.
bool refused(SymaxTransmitter &tx) {
  if (tx.state == STX_IDLE) return false;
  if (tx.retries > 0) {
    tx.retries--;
    tx.state = STX_RESTART;
    return false;
  }
  tx.state = STX_IDLE;
  return true;
}

}  // namespace

SymaxRxResult symax_receive(SymaxReceiver &rx, Packet *packet, uint8_t b, bool crc) {
  if (rx.state == SRX_START) return frame_begin(rx, packet, crc);
  if (rx.state != SRX_IDLE && !packet) rx.state = SRX_IDLE;   // its packet was taken back
  bool after_dle = false;
  if (rx.flags & RXF_DLE) {
    rx.flags &= ~RXF_DLE;
    switch (b) {
      case SOH:
        if (rx.state != SRX_IDLE) {
          rx.state = SRX_START;
          return SYMAX_RX_RESTART;
        }
        after_dle = true;
        break;
      case ENQ:
      case SEQ1:
      case SEQ2:
      case NAK:
      case SYN:
        return SYMAX_RX_CONTROL;
      default:
        after_dle = true;
        break;
    }
  } else if (rx.flags & RXF_CHECK) {
    // A check byte equal to DLE is not an escape.
    rx.flags &= ~RXF_CHECK;
  } else if (b == DLE) {
    rx.flags |= RXF_DLE;
    return rx.state == SRX_IDLE ? SYMAX_RX_SKIPPED : SYMAX_RX_STORED;
  }
  return frame_step(rx, packet, b, after_dle, crc);
}

namespace {

// The check stepped inline where it is the sum (CRC-16 by check_update's
// table): the runs and whole frames below step it for every byte.
template <bool CRC>
inline uint16_t step(uint16_t check, uint8_t b) {
  return CRC ? check_update(check, b, true) : static_cast<uint16_t>(check - b);
}

// The data part of symax_receive_run, from rx.space on.
template <bool CRC>
size_t data_run(SymaxReceiver &rx, Packet *packet, const uint8_t *bytes, size_t count) {
  const uint8_t *in = bytes, *end = bytes + count;
  uint8_t *out = packet->data + (PACKET_DATA_SIZE - rx.space), *room_end = packet->data + PACKET_DATA_SIZE;
  uint16_t check = rx.check;
  while (in < end && out < room_end) {
    uint8_t b = *in;
    if (b == DLE) {
      // A doubled DLE is one data byte, counted twice; DLE ETX, DLE SOH or
      // a DLE whose partner is still to come, the machine's.
      if (in + 1 == end || in[1] != DLE) break;
      check = step<CRC>(check, DLE);
      in++;
    }
    *out++ = b;
    check = step<CRC>(check, b);
    in++;
  }
  rx.space = static_cast<uint16_t>(room_end - out);
  rx.check = check;
  return static_cast<size_t>(in - bytes);
}

}  // namespace

size_t symax_receive_run(SymaxReceiver &rx, Packet *packet, const uint8_t *bytes, size_t count, bool crc) {
  // A byte after a DLE, or a check byte: the machine's.
  if (rx.flags != 0) return 0;
  size_t i = 0;
  if (rx.state == SRX_IDLE) {
    while (i < count && bytes[i] != DLE) i++;   // fill bytes or noise between frames
    return i;
  }
  if (!packet) return 0;
  if (rx.state == SRX_DATA) return crc ? data_run<true>(rx, packet, bytes, count) : data_run<false>(rx, packet, bytes, count);
  if (rx.state != SRX_ROUTE) return 0;
  // Any DLE ends the route (DLE STX) or the frame.
  for (; i < count && rx.space > 0 && bytes[i] != DLE; i++, rx.space--) {
    packet->address[ROUTE_ROOM - rx.space] = bytes[i];
    rx.check = check_update(rx.check, bytes[i], crc);
  }
  return i;
}

uint16_t symax_transmit(SymaxTransmitter &tx, const Packet *packet, const SymaxClock &clock) {
  tx.sent = SYMAX_SENT_FRAME;
  bool again = tx.taking;
  tx.taking = false;
  if (!again) {
    uint16_t b = owed_byte(tx);
    if (b != FRAME_TURN) return b;
  }
  return frame_byte(tx, packet, clock, again);
}

void symax_answer(SymaxTransmitter &tx, uint8_t reply) {
  tx.reply_byte = reply;
  tx.flags |= TXF_ACK_DUE;
}

void symax_answer_busy(SymaxTransmitter &tx) { tx.flags |= TXF_NO_PACKET; }

bool symax_control_received(SymaxTransmitter &tx, uint8_t control) {
  switch (control) {
    case ENQ:
      // The last answer, acknowledgement or NAK, again.
      tx.flags |= TXF_ACK_DUE;
      return false;
    case NAK:
      return refused(tx);
    case SYN:
      // The far end had no room: the frame is sent again, with its retries.
      tx.retries = SYMAX_RETRIES;
      [[fallthrough]];
    case SEQ1:
    case SEQ2:
      if (tx.state != STX_ACK_WAIT) return false;
      if (control != tx.expected_ack) return refused(tx);
      tx.state = STX_IDLE;
      tx.expected_ack = tx.expected_ack == SEQ1 ? SEQ2 : SEQ1;
      return true;
    default:
      return false;
  }
}

int64_t symax_fill_due_us(const SymaxTransmitter &tx) {
  return tx.state == STX_ACK_WAIT && tx.fills > 0 ? tx.fill_due_us : -1;
}

void symax_set_crc(SymaxTransmitter &tx, bool crc) {
  if (crc)
    tx.flags |= TXF_CRC;
  else
    tx.flags &= ~TXF_CRC;
}

void symax_abandon(SymaxReceiver &rx, SymaxTransmitter &tx) {
  rx.state = SRX_IDLE;
  tx.state = STX_IDLE;
  tx.flags &= TXF_CRC;
  tx.taking = false;
}

bool symax_frame_may_start(const SymaxTransmitter &tx, const Packet *lent) {
  if (tx.taking || (tx.flags & (TXF_OWED | TXF_CONTINUE))) return false;
  return tx.state == STX_IDLE ? !lent : tx.state == STX_RESTART && lent;
}

uint16_t symax_frame_length(const Packet *p, bool crc) {
  uint16_t n = data_length(p), dles = 0;
  for (uint16_t i = 0; i < n; i++) dles += p->data[i] == DLE;
  // DLE SOH, sequence, route, DLE STX, data, DLE ETX, check
  return static_cast<uint16_t>(2 + 1 + route_length(p) + 2 + n + dles + 2 + (crc ? 2 : 1));
}

void symax_write_frame(SymaxTransmitter &tx, const Packet *p, uint8_t *out, const SymaxClock &clock) {
  bool crc = symax_crc(tx);
  uint16_t check = check_start(crc);
  auto put = [&](uint8_t b) {
    *out++ = b;
    check = crc ? step<true>(check, b) : step<false>(check, b);
  };
  *out++ = DLE;
  *out++ = SOH;
  put(tx.expected_ack);
  for (uint16_t i = 0, n = route_length(p); i < n; i++) put(p->address[i]);
  put(DLE);
  put(STX);
  uint16_t n = data_length(p);
  for (uint16_t i = 0; i < n; i++) {
    if (p->data[i] == DLE) put(DLE);
    put(p->data[i]);
  }
  put(DLE);
  put(ETX);
  if (crc) *out++ = static_cast<uint8_t>(check >> 8);
  *out = static_cast<uint8_t>(check & 0xFF);
  // The transmitter as after the check's last byte.
  if (tx.state == STX_IDLE) tx.retries = SYMAX_RETRIES;
  tx.check = check;
  tx.index = n;
  tx.left = 0;
  ack_wait_begin(tx, clock);
  tx.sent = SYMAX_SENT_FRAME_LAST;
}
