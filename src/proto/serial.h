// Serial link driver: one open port, one reader thread that both receives
// and transmits, and the queues between it and the protocol code.
//   serial_open         opens a port by its list name (any serial kind, on
//                       any kind of byte stream: platform/byte_stream.h)
//   open_symax_serial   serial_open for Sy/Max point-to-point or net-to-net
//   serial_close        stops the reader thread, closes the port, frees the
//                       channel and the record
//   serial_set_port     baud, parity, stop and data bits of the port
//   serial_port_lost    the far end went away (the port is closed meanwhile)
//   serial_reopen       opens the port again by its name when it went away
//   queue_transmit      hands a request to the reader thread
//   wait_reply          the oldest received message, waiting in 10-ms steps
//                       through the shared reply wait (proto/link_handle.h)
//   flush_queues        every queued message back to the pool
//   drop_stale_replies / request_packet   the start of every exchange
//   transmit_kick/transmit_pump   the transmit side, used by the framers
//
// The bytes on the wire are decided by the link's framers (proto/framing.h).
// The reader thread waits in poll() on the port and an eventfd; everything it
// does to the queues and framer state happens under the link's lock. Writing
// to the port (and draining it when RTS is toggled by hand) happens under the
// channel's port lock only, so a slow drain never holds up the main thread.
// Lock order: the link's lock, then the port lock.
//
// A port whose far end went away (hang-up, error, end of file, a failing
// poll, a server that closed the connection) is closed and no longer read;
// operations fail at once with their no-reply texts until serial_reopen
// finds the port again.
//
// A stream that does not keep the line's timing (a network between us and
// the line) ends no RTU frame by a short silence: frames end by their length
// and CRC, and only a long gap resynchronises. The Sy/Max acknowledgement
// wait and the reply waits there allow for the network's round trip.
#pragma once
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include "platform/serial_port.h"
#include "proto/frame_trace.h"
#include "proto/gateway_msg.h"
#include "proto/link_handle.h"
#include "proto/packet.h"
#include "proto/serial_framers.h"

constexpr int SERIAL_BUFFER_SIZE = 258;
constexpr int SYMAX_IO_SIZE = 8;   // Sy/Max reads and writes in small bursts

// Framing modes (which framer slot a link uses).
enum FramingMode : uint8_t {
  FRAMING_SYMAX = 1,
  FRAMING_GATEWAY = 2,
  FRAMING_MODBUS_RTU = 5,
  FRAMING_MODBUS_ASCII = 6,
};

struct SerialChannel {
  std::thread reader;
  std::atomic<bool> reader_running{false};
  std::atomic<bool> stop{false};
  int wake_fd = -1;           // eventfd: transmit kick and stop
  std::string port_name;      // as listed, for reopening
  PortOrigin origin;          // what the name was when the port was opened
  std::mutex port_lock;       // guards port (after the link's lock)
  SerialPort port;
  bool dead = false;          // far end gone: the port is closed, not read

  GatewayRoute remembered_route;   // gateway: the route last selected

  uint8_t read_buffer[SERIAL_BUFFER_SIZE] = {};
  uint16_t read_size = SYMAX_IO_SIZE;
  uint8_t framing_mode = FRAMING_SYMAX;

  // Receive side (framers).
  uint8_t rx_state = 0;
  uint8_t rx_flags = 0;
  PacketQueue rx_queue = {};
  Packet *rx_packet = nullptr;
  uint16_t rx_space = 0;
  uint16_t rx_check = 0;
  uint8_t reply_byte = 0x15;
  uint8_t header_byte = 0x15;
  bool rx_active = false;     // bytes arrived since the line was last silent
  // Gateway, Modbus RTU and ASCII framers keep their own state.
  LineReceiver line_rx;
  RtuReceiver rtu_rx;
  AsciiReceiver ascii_rx;

  // Transmit side (pump and framers).
  uint8_t tx_buffer[SERIAL_BUFFER_SIZE] = {};
  uint16_t tx_length = 0;
  uint16_t chunk_size = SYMAX_IO_SIZE;
  uint8_t tx_state = 0;
  uint16_t tx_flags = 0;
  PacketQueue tx_queue = {};
  Packet *tx_packet = nullptr;
  uint16_t tx_index = 0;
  uint16_t tx_left = 0;
  uint16_t tx_check = 0;
  uint8_t expected_ack = 0x11;
  uint8_t enquiry_count = 0;
  uint8_t retry_count = 0;
  uint8_t fill_count = 0;
  LineTransmitter line_tx;
  RtuTransmitter rtu_tx;
  AsciiTransmitter ascii_tx;

  // Line timing. The fill bytes of the acknowledgement wait are released by
  // the clock at the line's character time, so a pty or USB adapter that
  // takes bytes at once does not cut the wait short.
  uint32_t char_us = 1146;    // one character at 9600 baud, 8E1
  uint32_t silence_us = 20000;
  uint32_t network_allowance_us = 0;   // a network's round trip, where one lies between
  int64_t now_us = 0;         // set by the pump before each framer call
  int64_t line_free_us = 0;   // when the bytes written so far have left
  int64_t fill_due_us = 0;    // when the next fill byte may go

  // The frame trace (proto/frame_trace.h): the bytes of the frames in
  // progress each way, and a Sy/Max acknowledgement, refusal or enquiry
  // going out between the bytes of a frame. The transmit framer says of the
  // byte it returns whether it belongs to a frame, to such a pair or is a
  // fill byte (not traced), and whether it ends one.
  TraceBuffer trace_tx;
  TraceBuffer trace_rx;
  TraceBuffer trace_pair;
  uint8_t trace_unit = 0;     // TraceUnit
  bool trace_end = false;
  // A received gateway line or ASCII frame is traced with the LF that may
  // follow its CR: its line waits for the next byte, or for the end of the
  // bytes read at once (before anything is sent in answer).
  bool trace_rx_pending = false;

  // Protocol state (Sy/Max, Modbus).
  uint16_t awaiting_reply = 0;
  uint16_t transaction_counter = 0;
  uint8_t net_to_net = 0;
  uint8_t expected_transaction = 0;
};

enum TraceUnit : uint8_t { TRACE_UNIT_FRAME, TRACE_UNIT_PAIR, TRACE_UNIT_FILL };
// The trace's name for the channel's framing.
TraceLink serial_trace_link(const SerialChannel *ch);
// The received frame's line that waited for a LF, now (lock held).
void serial_trace_settle(SerialChannel *ch);

// The serial channel of a link, or null when the link has none.
SerialChannel *serial_channel(const LinkHandle *link);

// Transmit flag owned by the pump.
constexpr uint16_t TXF_WRITING = 0x100;

// Values of a transmit framer besides a byte.
constexpr uint16_t TX_NONE = 0xFFFF;   // nothing to send
constexpr uint16_t TX_LATER = 0x100;   // a timed byte is due (the framer says when)

// wide: Modbus and gateway buffer sizes and RTS raised only while sending.
// A remote port is connected within the open's bound, idle(user) called
// after each step of 10 ms (0 from it gives up); null: no callback.
LinkHandle *serial_open(const char *port_name, int net_to_net, const uint16_t *address_block, int wide,
                        IdleCallback idle = nullptr, int idle_user = 0);
LinkHandle *open_symax_serial(const char *port_name, int net_to_net, const uint16_t *address_block,
                              IdleCallback idle = nullptr, int idle_user = 0);
// Why the last serial_open on this thread failed, in words ("" when it is
// not known or did not fail).
const char *serial_open_failure();
// What the link's port cannot do, or what its far port did not take, in
// words; empty when nothing. Copied under the link's lock.
void serial_port_note(LinkHandle *link, char *text, size_t size);
void serial_close(LinkHandle *link);

// Port settings as the setup gives them (parity code 0-4, stop bits 1-2,
// data bits 7-8); refusals of the port are not reported.
void serial_set_port(LinkHandle *link, unsigned baud, int parity, int stop_bits, int data_bits);
bool serial_port_lost(LinkHandle *link);
// True when the port is open (again); false when it is still gone.
bool serial_reopen(LinkHandle *link);

int queue_transmit(LinkHandle *link, Packet *packet);
Packet *wait_reply(LinkHandle *link, unsigned tries);
void flush_queues(LinkHandle *link);
// The replies nobody waits for any more, back to the pool.
void drop_stale_replies(LinkHandle *link);
// A pool packet for the next request; null with "Buffer shortage, try
// again" set and the link's queues emptied.
Packet *request_packet(LinkHandle *link);
void transmit_kick(LinkHandle *link);
void transmit_pump(LinkHandle *link, unsigned bytes_done);

// The link's route from an address block (count, then 8 drops). Net-to-net
// puts a drop derived from the first one in front (d + 100 below 100, else
// d - 100) and allows at most 7 given drops; false when there are more.
bool serial_set_route(LinkHandle *link, int net_to_net, const uint16_t *address_block);

// A link record with a serial channel but no port and no thread, as the
// framers see it: for tests that drive the framers by hand.
LinkHandle *serial_link_alloc(int wide);
void serial_link_free(LinkHandle *link);

int64_t monotonic_us();
