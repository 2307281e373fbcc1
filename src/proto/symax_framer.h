// Sy/Max point-to-point framing as two byte-fed state machines, a receiver
// and a transmitter, in the manner of proto/serial_framers.h: each keeps its
// own few bytes of state and fills or reads the Packet it is lent, so the
// link's reader thread drives them and a test drives them without a port.
//
// Frame: DLE SOH, sequence byte (SEQ1 or SEQ2), the route characters, DLE
// STX, the data with every DLE doubled, DLE ETX, then the check: CRC-16
// (start 0xFFFF, high byte first) or the one-byte checksum (0 minus the sum).
// The check covers everything after DLE SOH, a doubled DLE twice. A good
// frame is acknowledged by DLE + its sequence byte, a bad one refused by DLE
// NAK, one that finds no free packet by DLE SYN; a sender waiting for its
// acknowledgement sends fill bytes and, after every ten, DLE ENQ.
//
// Receive: feed one byte with the packet of the frame in progress (null
// while none is) and the check mode. The result says what the caller does:
//   SYMAX_RX_SKIPPED      the byte belongs to no frame
//   SYMAX_RX_STORED       taken into the frame in progress (a DLE in it
//                         waits for the byte after it)
//   SYMAX_RX_WANT_PACKET  DLE SOH: call again at once with a packet from
//                         the pool, or with null when the pool is empty
//   SYMAX_RX_RESTART      DLE SOH inside a frame: its packet goes back to
//                         the pool, then as SYMAX_RX_WANT_PACKET
//   SYMAX_RX_NO_PACKET    a frame begun without a packet: it goes unread,
//                         and the far end is owed DLE SYN (symax_answer_busy)
//   SYMAX_RX_FRAME        a good frame: the packet holds its route (ended by
//                         0xFF 0xFF) and its data; the far end is owed its
//                         acknowledgement (symax_answer with rx.sequence)
//   SYMAX_RX_BAD          a bad frame: the packet goes back to the pool and
//                         the far end is owed DLE NAK (symax_answer)
//   SYMAX_RX_DROPPED      given up silently: the packet goes back to the pool
//   SYMAX_RX_CONTROL      DLE then SEQ1, SEQ2, NAK, SYN or ENQ: the far end
//                         speaks to the transmitter (symax_control_received)
// A frame in progress whose packet is taken back (null) is given up.
//
// Transmit: each call gives the next byte to send, owed control bytes first
// (TXF_*, in the order below), then the frame of the packet lent (null while
// none is), or one of:
//   SYMAX_TX_NONE         nothing to send
//   SYMAX_TX_LATER        a fill byte is due later (symax_fill_due_us): the
//                         acknowledgement wait is timed by the clock at the
//                         line's character time, not by how fast the port
//                         takes bytes
//   SYMAX_TX_WANT_PACKET  idle: call again at once with the next packet to
//                         send, or with null when there is none
//   SYMAX_TX_GIVEN_UP     the frame went unacknowledged through all its
//                         enquiries: its packet goes back to the pool; then
//                         as SYMAX_TX_WANT_PACKET
// tx.sent tells what the byte handed out is (SymaxSent), for the trace.
//
// Every byte of every frame passes through these, so the bytes inside a
// frame may also be taken in runs (symax_receive_run) and a frame written
// whole (symax_write_frame); the byte-fed machines stay the reference.
#pragma once
#include <cstddef>
#include <cstdint>

#include "proto/packet.h"

enum : uint8_t {
  SOH = 0x01, STX = 0x02, ETX = 0x03, ENQ = 0x05, DLE = 0x10,
  SEQ1 = 0x11, SEQ2 = 0x12, NAK = 0x15, SYN = 0x16, FILL = 0xFE,
};

// Transmit flags, served in this order by the transmitter.
enum : uint16_t {
  TXF_CONTINUE = 0x80,   // the next byte continues the frame
  TXF_ENQ = 0x02,
  TXF_DLE = 0x01,        // second DLE of a doubled data DLE
  TXF_REPLY = 0x08,      // the reply byte
  TXF_SYN = 0x20,
  TXF_ACK_DUE = 0x04,    // DLE now, reply byte next
  TXF_NO_PACKET = 0x10,  // DLE now, SYN next
  TXF_CRC = 0x40,        // the check is CRC-16 (a mode, never served)
};

// Receive flags.
enum : uint8_t { RXF_DLE = 0x01, RXF_CHECK = 0x02 };

// Frame states. SRX_START: DLE SOH came, the packet for the frame is next.
enum SymaxRx : uint8_t { SRX_IDLE, SRX_SEQ, SRX_ROUTE, SRX_DATA, SRX_CRC_HIGH, SRX_CHECK_LOW, SRX_START };
enum SymaxTx : uint8_t {
  STX_IDLE, STX_SOH, STX_SEQUENCE, STX_ROUTE, STX_START, STX_DATA, STX_END, STX_CRC_HIGH,
  STX_CHECK_LOW, STX_ACK_WAIT, STX_RESTART,
};

constexpr int SYMAX_RETRIES = 8;
constexpr int SYMAX_ENQUIRIES = 32;
constexpr int SYMAX_FILLS = 10;

enum SymaxRxResult : uint8_t {
  SYMAX_RX_SKIPPED, SYMAX_RX_STORED, SYMAX_RX_WANT_PACKET, SYMAX_RX_RESTART, SYMAX_RX_NO_PACKET,
  SYMAX_RX_FRAME, SYMAX_RX_BAD, SYMAX_RX_DROPPED, SYMAX_RX_CONTROL,
};

struct SymaxReceiver {
  uint8_t state = SRX_IDLE;
  uint8_t flags = 0;          // RXF_*
  uint8_t sequence = NAK;     // the frame's sequence byte: its acknowledgement
  uint16_t space = 0;         // room left in the route or the data
  uint16_t check = 0;
};
SymaxRxResult symax_receive(SymaxReceiver &rx, Packet *packet, uint8_t byte, bool crc);
// Of the bytes given, those symax_receive would answer SYMAX_RX_STORED or
// SYMAX_RX_SKIPPED without anything else to do: plain bytes of the route
// or the data (a doubled DLE in the data too) while there is room, or
// anything but a DLE between frames. Returns how many it took, as the
// machine would; the next byte is the machine's.
size_t symax_receive_run(SymaxReceiver &rx, Packet *packet, const uint8_t *bytes, size_t count, bool crc);

constexpr uint16_t SYMAX_TX_LATER = 0x100;
constexpr uint16_t SYMAX_TX_WANT_PACKET = 0x101;
constexpr uint16_t SYMAX_TX_GIVEN_UP = 0x102;
constexpr uint16_t SYMAX_TX_NONE = 0xFFFF;

// What the byte last handed out is: part of a frame (its first byte, which
// ends what went of a frame started again, or its last), part of a control
// pair, or a fill byte.
enum SymaxSent : uint8_t {
  SYMAX_SENT_FRAME, SYMAX_SENT_FRAME_FIRST, SYMAX_SENT_FRAME_LAST,
  SYMAX_SENT_PAIR_FIRST, SYMAX_SENT_PAIR_LAST, SYMAX_SENT_FILL,
};

// The clock of a transmit call, monotonic_us time.
struct SymaxClock {
  int64_t now_us;
  int64_t line_free_us;   // when the bytes handed out before have left
  uint32_t char_us;       // one character on the line
  uint32_t network_allowance_us = 0;   // a network's round trip, where one lies between
};

struct SymaxTransmitter {
  uint8_t state = STX_IDLE;
  uint16_t flags = 0;          // TXF_*
  uint16_t index = 0;          // next route or data byte
  uint16_t left = 0;           // data bytes still to go
  uint16_t check = 0;
  uint8_t expected_ack = SEQ1; // sequence byte of the frame going out
  uint8_t reply_byte = NAK;    // the last answer, sent again on DLE ENQ
  uint8_t enquiries = 0;
  uint8_t retries = 0;
  uint8_t fills = 0;
  int64_t fill_due_us = 0;     // when the next fill byte may go
  uint8_t sent = SYMAX_SENT_FRAME;
  bool taking = false;         // asked for a packet: the call again goes on
                               // with the frame, as within one call
};
uint16_t symax_transmit(SymaxTransmitter &tx, const Packet *packet, const SymaxClock &clock);

// A whole frame at once, as symax_transmit gives it byte by byte: the
// frame's bytes follow each other with nothing owed between them and
// nothing timed, from its DLE SOH to its check.
//   symax_frame_may_start  the next call starts a frame: idle with no packet
//                          lent (the next one to send is lent, as
//                          SYMAX_TX_WANT_PACKET asks) or a refused frame to
//                          send again with its packet, nothing owed
//   symax_frame_length     how many bytes the frame of the packet is
//   symax_write_frame      writes them and leaves tx as after the frame's
//                          last byte handed out at `clock` (its
//                          acknowledgement wait)
bool symax_frame_may_start(const SymaxTransmitter &tx, const Packet *lent);
uint16_t symax_frame_length(const Packet *packet, bool crc);
void symax_write_frame(SymaxTransmitter &tx, const Packet *packet, uint8_t *out, const SymaxClock &clock);

// Owes the far end DLE + reply: its frame's sequence byte, or NAK.
void symax_answer(SymaxTransmitter &tx, uint8_t reply);
// Owes the far end DLE SYN: its frame found no free packet.
void symax_answer_busy(SymaxTransmitter &tx);
// DLE + control from the far end (SEQ1, SEQ2, NAK, SYN, ENQ). True when the
// frame going out is done with (acknowledged, or refused once too often):
// its packet goes back to the pool.
bool symax_control_received(SymaxTransmitter &tx, uint8_t control);
// When the next fill byte may go, -1 when none is waiting.
int64_t symax_fill_due_us(const SymaxTransmitter &tx);

inline bool symax_crc(const SymaxTransmitter &tx) { return (tx.flags & TXF_CRC) != 0; }
void symax_set_crc(SymaxTransmitter &tx, bool crc);

// The frames in progress both ways are given up (their packets taken back):
// both sides idle, nothing owed. The check mode, the sequence byte and the
// last answer stay.
void symax_abandon(SymaxReceiver &rx, SymaxTransmitter &tx);
