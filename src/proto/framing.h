// Serial framing on a link's channel: the framers of proto/symax_framer.h
// and proto/serial_framers.h, lent the channel's packets, with what they
// report done to its queues and the frame trace.
//   receive_framer    called once per received byte by whoever reads the
//                     port (the reader thread, or a caller reading its reply)
//   receive_framer_bytes   the same for the bytes of one read, in order
//   transmit_framer   called by the pump for the next byte to send; returns
//                     a byte, TX_LATER (a timed byte is due later) or TX_NONE
//   line_silent       called when the line fell silent after some bytes
//   framing_release   the frames in progress are given up (the driver took
//                     their packets back)
//   serial_trace_link / serial_trace_settle   the frame trace's side
// Each framing mode has one slot of functions; the link's framing mode picks
// the slot, so new framings slot in without touching the driver. The framers
// run under the link's lock and can be driven from a test without a port.
// They run on the reader thread (or in a test without one), which pumps
// after every pass: an answer the receive side owes goes out with that pump
// (a Modbus caller reading its reply owes none).
#pragma once
#include <cstddef>
#include <cstdint>

#include "proto/frame_trace.h"
#include "proto/symax_framer.h"

struct LinkHandle;
struct SerialChannel;

// Values of a transmit framer besides a byte.
constexpr uint16_t TX_NONE = 0xFFFF;   // nothing to send
constexpr uint16_t TX_LATER = 0x100;   // a timed byte is due (the framer says when)

// A framing's functions. All run under the link's lock on the reader thread
// (or in a test that drives them by hand).
//   receive       one received byte
//   transmit      the next byte to send, TX_LATER or TX_NONE
//   line_silent   the line fell silent after some bytes; null: frames
//                 delimit themselves
//   pump_due_us   when the transmit side wants a pump although nothing
//                 happened on the port (monotonic_us time), -1 for never;
//                 null: only events drive it
// Every byte of every frame passes through these, so a framing may also
// take many bytes per call (the per-byte functions stay the reference, and
// alone see the bytes while the frame trace is on):
//   receive_run      of the bytes given, those `receive` would take without
//                    anything to settle (stored in a frame under way, or
//                    skipped); returns how many, the next is for `receive`.
//                    Null: every byte goes to `receive`
//   transmit_frames  writes the whole frames that can start now and fit
//                    into the channel's transmit buffer up to `limit`;
//                    true when the rest is for `transmit` (a frame under
//                    way, or one too long for the room left), false when
//                    there is nothing more to send now. line_free_us is
//                    when the line is free of the bytes before tx_length,
//                    set before it and before each byte. Null: byte by byte
// A new framing gets its slot in framer_slot() and nothing else.
struct FramerSlot {
  void (*receive)(LinkHandle *link, uint8_t byte);
  uint16_t (*transmit)(LinkHandle *link);
  void (*line_silent)(LinkHandle *link);
  int64_t (*pump_due_us)(LinkHandle *link);
  size_t (*receive_run)(LinkHandle *link, const uint8_t *bytes, size_t count);
  bool (*transmit_frames)(LinkHandle *link, uint16_t limit);
};

// The slot of a framing mode, or null for a mode that has none.
const FramerSlot *framer_slot(uint8_t mode);

// Gateway lines, Modbus RTU and Modbus ASCII on a link's channel
// (proto/wide_framing.cpp, over the machines of proto/serial_framers.h).
extern const FramerSlot gateway_slot;
extern const FramerSlot modbus_rtu_slot;
extern const FramerSlot modbus_ascii_slot;

void receive_framer(LinkHandle *link, uint8_t byte);
void receive_framer_bytes(LinkHandle *link, const uint8_t *bytes, size_t count);
uint16_t transmit_framer(LinkHandle *link);
// The pump's fill: the channel's transmit buffer from tx_length up to
// `limit` bytes, until the framer has nothing more to give now. Before each
// byte a framer that reads it sees when the line will be free of the bytes
// before it (from `written_free`, the bytes already written, or now_us).
void transmit_framer_fill(LinkHandle *link, int64_t written_free, uint16_t limit);
void line_silent(LinkHandle *link);
// Lock held; the packets of the frames are no longer the framers'.
void framing_release(SerialChannel *ch);

// Sy/Max frames checked by CRC-16 (nonzero) or the one-byte checksum.
void symax_set_check(LinkHandle *link, int crc);

// The trace's name for the channel's framing.
TraceLink serial_trace_link(const SerialChannel *ch);
// The received frame's line that waited for a LF, now (lock held).
void serial_trace_settle(SerialChannel *ch);
