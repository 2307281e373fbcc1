// Serial framing: byte-fed state machines between the wire and the packets.
//   receive_framer    called once per received byte on the reader thread
//   transmit_framer   called by the pump for the next byte to send; returns
//                     a byte, TX_LATER (a timed byte is due later) or TX_NONE
//   line_silent       called when the line fell silent after some bytes
// Each framing mode has one slot of functions; the link's framing mode picks
// the slot, so new framings slot in without touching the driver. The framers
// run under the link's lock and can be driven from a test without a port.
//
// Sy/Max point-to-point: DLE SOH, sequence byte, route, DLE STX, data with
// doubled DLE, DLE ETX, one-byte checksum or CRC-16 (high byte first);
// acknowledged by DLE + sequence byte, refused by DLE NAK, DLE SYN when the
// receiver has no free packet; enquiries (DLE ENQ) after fill bytes.
#pragma once
#include <cstdint>

struct LinkHandle;

enum : uint8_t {
  SOH = 0x01, STX = 0x02, ETX = 0x03, ENQ = 0x05, DLE = 0x10,
  SEQ1 = 0x11, SEQ2 = 0x12, NAK = 0x15, SYN = 0x16, FILL = 0xFE,
};

// Transmit flags, served in this order by the Sy/Max transmit framer.
enum : uint16_t {
  TXF_CONTINUE = 0x80,   // the next byte continues the frame
  TXF_ENQ = 0x02,
  TXF_DLE = 0x01,        // second DLE of a doubled data DLE
  TXF_REPLY = 0x08,      // the reply byte
  TXF_SYN = 0x20,
  TXF_ACK_DUE = 0x04,    // DLE now, reply byte next
  TXF_NO_PACKET = 0x10,  // DLE now, SYN next
  TXF_CRC = 0x40,        // Sy/Max check is CRC-16
};

// Receive flags.
enum : uint8_t { RXF_DLE = 0x01, RXF_CHECK = 0x02 };

// Sy/Max frame states.
enum SymaxRx : uint8_t { SRX_IDLE, SRX_SEQ, SRX_ROUTE, SRX_DATA, SRX_CRC_HIGH, SRX_CHECK_LOW };
enum SymaxTx : uint8_t {
  STX_IDLE, STX_SOH, STX_SEQUENCE, STX_ROUTE, STX_START, STX_DATA, STX_END, STX_CRC_HIGH,
  STX_CHECK_LOW, STX_ACK_WAIT, STX_RESTART,
};

constexpr int SYMAX_RETRIES = 8;
constexpr int SYMAX_ENQUIRIES = 32;
constexpr int SYMAX_FILLS = 10;

// A framing's functions. All run under the link's lock on the reader thread
// (or in a test that drives them by hand).
//   receive       one received byte
//   transmit      the next byte to send, TX_LATER or TX_NONE
//   line_silent   the line fell silent after some bytes; null: frames
//                 delimit themselves
//   pump_due_us   when the transmit side wants a pump although nothing
//                 happened on the port (monotonic_us time), -1 for never;
//                 null: only events drive it
// A new framing gets its slot in framer_slot() and nothing else.
struct FramerSlot {
  void (*receive)(LinkHandle *link, uint8_t byte);
  uint16_t (*transmit)(LinkHandle *link);
  void (*line_silent)(LinkHandle *link);
  int64_t (*pump_due_us)(LinkHandle *link);
};

// The slot of a framing mode, or null for a mode that has none.
const FramerSlot *framer_slot(uint8_t mode);

// Gateway lines, Modbus RTU and Modbus ASCII on a link's channel
// (proto/wide_framing.cpp, over the machines of proto/serial_framers.h).
extern const FramerSlot gateway_slot;
extern const FramerSlot modbus_rtu_slot;
extern const FramerSlot modbus_ascii_slot;

void receive_framer(LinkHandle *link, uint8_t byte);
uint16_t transmit_framer(LinkHandle *link);
void line_silent(LinkHandle *link);

// Sy/Max frames checked by CRC-16 (nonzero) or the one-byte checksum.
void symax_set_check(LinkHandle *link, int crc);

// One step of the frame check: CRC-16 (reflected 0xA001) or value - byte.
uint16_t check_update(uint16_t value, uint8_t byte, bool crc);
