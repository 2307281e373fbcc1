// The serial channel of a link: the record the serial driver
// (proto/serial.h) and the framers (proto/framing.h) share.
//   SerialChannel    port I/O (the port, the reader thread, the pump's
//                    buffer, the line's timing), then what every framer
//                    shares (queues, packets in progress, framing mode),
//                    each framer's own state, the frame trace, and what the
//                    protocols set for the framers
//   serial_channel   the channel of a link, null when it has none
// The framers touch the framing part and read the line's timing and whether
// bytes are coming in; the driver touches the framing part only to move
// packets through the queues and to take them back when the port goes
// (framing_release in proto/framing.h).
// Everything here is guarded by the link's lock (the port itself also by
// port_lock, see proto/serial.h).
#pragma once
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include "platform/port_wait.h"
#include "platform/serial_port.h"
#include "proto/frame_trace.h"
#include "proto/gateway_msg.h"
#include "proto/link_handle.h"
#include "proto/packet.h"
#include "proto/serial_framers.h"
#include "proto/symax_framer.h"

constexpr int SERIAL_BUFFER_SIZE = 258;
constexpr int SYMAX_IO_SIZE = 8;   // Sy/Max writes to a line in small bursts: an acknowledgement waits for at most these

// Framing modes (which framer slot a link uses): a serial link frames as
// its transport kind says, so each mode is that kind's value.
enum FramingMode : uint8_t {
  FRAMING_SYMAX = TRANSPORT_SYMAX,
  FRAMING_GATEWAY = TRANSPORT_GATEWAY,
  FRAMING_MODBUS_RTU = TRANSPORT_MODBUS_RTU,
  FRAMING_MODBUS_ASCII = TRANSPORT_MODBUS_ASCII,
};

struct SerialChannel {
  // ---- Port I/O ----
  std::thread reader;
  std::atomic<bool> reader_running{false};
  std::atomic<bool> stop{false};
  PortWake *wake = nullptr;   // transmit kick and stop (platform/port_wait.h)
  std::string port_name;      // as listed, for reopening
  PortOrigin origin;          // what the name was when the port was opened
  std::mutex port_lock;       // guards port (after the link's lock)
  SerialPort port;
  // Far end gone: the port is closed, not read. Set under the link's lock;
  // a look without it (serial_reopen's) sees it set soon after.
  std::atomic<bool> dead{false};
  // A local port whose writes return at once: a Modbus caller may exchange
  // on it without the reader thread (set with the port's settings).
  bool port_for_callers = false;

  // Reads take what has arrived, up to the whole buffer, on every kind: the
  // pump runs after a wake's reads whatever their size, so small reads
  // would only cost calls.
  uint8_t read_buffer[SERIAL_BUFFER_SIZE] = {};
  bool rx_active = false;     // bytes arrived since the line was last silent
  // The reader thread holds the link's lock through a wake's reads: a reply
  // it queues wakes the waiting caller once the lock is let go (woken under
  // it, the caller would only wait again, for the lock).
  bool reader_holds_lock = false;
  bool waiter_due = false;
  // Between a wake's work and its next wait the reader pumps once more
  // before it sleeps: a request queued meanwhile needs no wake-up of its
  // own (kick_owed instead; a kick the reader would only read and drop).
  bool reader_awake = false;
  bool kick_owed = false;
  // A caller wrote a Sy/Max frame while the reader waited: the framer's next
  // timed byte is due at a time the reader's wait was not set for.
  bool pump_due_unseen = false;
  int64_t last_rx_us = 0;     // when bytes last arrived

  // The pump: bytes from the transmit framer on their way to the port.
  uint8_t tx_buffer[SERIAL_BUFFER_SIZE] = {};
  uint16_t tx_length = 0;
  uint16_t chunk_size = SYMAX_IO_SIZE;
  bool writing = false;       // a pump is writing: it goes on with what comes meanwhile
  bool port_failed = false;   // a caller's read or write failed: the reader closes the port

  // Line timing. The fill bytes of the Sy/Max acknowledgement wait are
  // released by the clock at the line's character time, so a pty or USB
  // adapter that takes bytes at once does not cut the wait short.
  uint32_t char_us = 1146;    // one character at 9600 baud, 8E1
  uint32_t silence_us = 20000;
  uint32_t network_allowance_us = 0;   // a network's round trip, where one lies between
  int64_t now_us = 0;         // set by the pump before each framer call
  int64_t line_free_us = 0;   // when the bytes written so far have left

  // ---- Framing: what every framer shares ----
  uint8_t framing_mode = FRAMING_SYMAX;
  PacketQueue rx_queue = {};
  Packet *rx_packet = nullptr;   // the frame coming in
  PacketQueue tx_queue = {};
  Packet *tx_packet = nullptr;   // the frame going out

  // Each framer's own state (proto/symax_framer.h, proto/serial_framers.h).
  SymaxReceiver symax_rx;
  SymaxTransmitter symax_tx;
  LineReceiver line_rx;
  LineTransmitter line_tx;
  RtuReceiver rtu_rx;
  RtuTransmitter rtu_tx;
  AsciiReceiver ascii_rx;
  AsciiTransmitter ascii_tx;

  // The frame trace (proto/frame_trace.h): the bytes of the frames in
  // progress each way, and a Sy/Max acknowledgement, refusal or enquiry
  // going out between the bytes of a frame.
  TraceBuffer trace_tx;
  TraceBuffer trace_rx;
  TraceBuffer trace_pair;
  // A received gateway line or ASCII frame is traced with the LF that may
  // follow its CR: its line waits for the next byte, or for the end of the
  // bytes read at once (before anything is sent in answer).
  bool trace_rx_pending = false;

  // ---- Set by the protocols (Sy/Max, gateway, Modbus) ----
  uint16_t awaiting_reply = 0;
  // Serial Modbus: when the request went out, and until when the reply of
  // one whose wait was given up may still come (0: none owed).
  int64_t request_sent_us = 0;
  int64_t reply_owed_until_us = 0;
  uint8_t expected_transaction = 0;   // the only Sy/Max reply kept
  uint16_t transaction_counter = 0;
  uint8_t net_to_net = 0;
  GatewayRoute remembered_route;      // gateway: the route last selected
};

inline SerialChannel *serial_channel(const LinkHandle *link) {
  if (!link || link->channel_kind != CHANNEL_SERIAL) return nullptr;
  return static_cast<SerialChannel *>(link->channel);
}

// Lock held. A reply is queued: the caller waiting for it looks again.
inline void wake_reply_waiter(LinkHandle *link, SerialChannel *ch) {
  if (ch->reader_holds_lock)
    ch->waiter_due = true;
  else
    link->reply_arrived.notify_all();
}
