// Gateway lines, Modbus RTU and Modbus ASCII framing as small byte-fed state
// machines. Each keeps its own few bytes of state and fills or reads the
// Packet it is handed, so the link's reader thread drives them and a test
// drives them without a port.
//
// Receive: feed one byte with the packet of the frame in progress (null
// while none is) and whether a reply is awaited. The result says what the
// caller does next:
//   RX_SKIPPED      the byte belongs to no frame
//   RX_WANT_PACKET  the byte starts a frame: call again with a packet from
//                   the pool, or, when the pool is empty, with awaiting off
//   RX_STORED       taken into the frame in progress
//   RX_FRAME        the packet holds a whole message: queue it
//   RX_DROPPED      a bad frame: the packet goes back to the pool
//   RX_ABORT        over-long or empty: the packet goes back to the pool and
//                   the reply wait in progress ends at once
// Transmit: each call gives the next byte of the packet's frame, or
// TX_FRAME_END when the frame is complete (the packet is no longer read).
//
// Gateway: a line is every byte up to and including the first below 0x20,
// top bits cleared; while no reply is awaited whole lines are skipped; a
// line longer than a packet is delivered cut to the packet and the rest of
// it skipped. Lines go out exactly as the packet holds them.
// Modbus RTU: address, data, CRC-16 low byte then high byte; the frame ends
// when the line falls silent (rtu_silence), or, for a reply whose length its
// first bytes tell (exceptions, reads and file records by their byte count,
// write echoes), as soon as that many bytes came and their CRC holds: the
// silence after it need not be waited out. More than a packet's data ends
// the reply wait; a frame of two bytes or less or a bad CRC is dropped.
// Modbus ASCII: ':' then upper-case hexadecimal pairs of address, data and
// LRC, then CR LF. Digits other than 0-9 and A-F read as 0, so lower-case
// hex fails the LRC; a colon always starts a frame afresh. An empty frame or
// one too long for a packet ends the reply wait.
// A frame in progress whose packet is taken back (null) is given up.
// Every byte of every frame passes through these, so RTU and ASCII also
// take runs of bytes (the *_receive_run functions: of the bytes given,
// those the machine would answer RX_STORED or RX_SKIPPED, as it would;
// they return how many, the next byte is the machine's) and write whole
// frames (*_frame_length, *_write_frame: the bytes the transmitter gives
// for the packet, in one go).
// check_update is the step of the frame checks, Sy/Max's too
// (proto/symax_framer.h).
#pragma once
#include <cstddef>
#include <cstdint>

#include "proto/packet.h"

// One step of the frame check: CRC-16 (reflected 0xA001, the Modbus CRC) or
// value - byte (the Sy/Max one-byte checksum).
uint16_t check_update(uint16_t value, uint8_t byte, bool crc);

enum RxResult : uint8_t { RX_SKIPPED, RX_WANT_PACKET, RX_STORED, RX_FRAME, RX_DROPPED, RX_ABORT };

constexpr uint16_t TX_FRAME_END = 0xFFFF;

struct LineReceiver {
  uint8_t state = 0;
  uint16_t length = 0;
};
RxResult line_receive(LineReceiver &rx, Packet *packet, uint8_t byte, bool awaiting);

struct LineTransmitter {
  uint16_t index = 0;
};
uint16_t line_transmit(LineTransmitter &tx, const Packet *packet);
uint16_t line_frame_length(const Packet *packet);
void line_write_frame(const Packet *packet, uint8_t *out);

struct RtuReceiver {
  uint8_t state = 0;
  uint8_t address = 0;
  uint16_t stored = 0;   // data bytes, the CRC included
  uint16_t crc = 0;
};
RxResult rtu_receive(RtuReceiver &rx, Packet *packet, uint8_t byte, bool awaiting);
size_t rtu_receive_run(RtuReceiver &rx, Packet *packet, const uint8_t *bytes, size_t count);
// The line fell silent: RX_FRAME, RX_DROPPED or, with no frame, RX_SKIPPED.
RxResult rtu_silence(RtuReceiver &rx, Packet *packet);
// A frame is coming in, or being skipped up to the silence.
bool rtu_mid_frame(const RtuReceiver &rx);

struct RtuTransmitter {
  uint8_t state = 0;
  uint16_t index = 0;
  uint16_t crc = 0;
};
uint16_t rtu_transmit(RtuTransmitter &tx, const Packet *packet);
uint16_t rtu_frame_length(const Packet *packet);
void rtu_write_frame(const Packet *packet, uint8_t *out);

struct AsciiReceiver {
  uint8_t state = 0;
  uint8_t lrc = 0;
  uint8_t high = 0;      // first digit of a pair
  bool half = false;     // a pair is open
  uint16_t room = 0;     // hexadecimal characters still allowed
};
RxResult ascii_receive(AsciiReceiver &rx, Packet *packet, uint8_t byte, bool awaiting);
size_t ascii_receive_run(AsciiReceiver &rx, Packet *packet, const uint8_t *bytes, size_t count);
// A frame has begun and not yet ended.
bool ascii_mid_frame(const AsciiReceiver &rx);

struct AsciiTransmitter {
  uint8_t state = 0;
  uint16_t index = 0;    // 0 the address, then the data bytes
  uint8_t lrc = 0;
};
uint16_t ascii_transmit(AsciiTransmitter &tx, const Packet *packet);
uint16_t ascii_frame_length(const Packet *packet);
void ascii_write_frame(const Packet *packet, uint8_t *out);
