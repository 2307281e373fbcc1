// Serial link driver: one open port, one reader thread that both receives
// and transmits, and the queues between it and the protocol code.
//   open_symax_serial   opens a port by its list name for Sy/Max
//   link_set_port       baud, parity, stop and data bits, reply time-out
//   queue_transmit      hands a request to the reader thread
//   wait_reply          the oldest received message, waiting in 10-ms steps
//                       and calling the link's idle callback at each step
//   flush_queues        every queued message back to the pool
//   serial_close        stops the reader thread and closes the port
//   transmit_kick/transmit_pump   the transmit side, used by the framers
//
// The bytes on the wire are decided by the link's framers (proto/framing.h).
// The reader thread waits in poll() on the port and an eventfd; everything it
// does to the link happens under the link's lock. A port whose far end went
// away (hang-up, error, end of file) is no longer read; later operations
// find no reply.
#pragma once
#include <atomic>
#include <cstdint>
#include <thread>

#include "proto/packet.h"
#include "platform/serial_port.h"

struct LinkHandle;

constexpr int SERIAL_BUFFER_SIZE = 258;

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
  SerialPort port;
  bool dead = false;          // far end gone: the port is no longer read

  uint16_t remembered_route_count = 0xFFFF;   // gateway
  uint16_t remembered_route[8] = {};

  uint8_t read_buffer[SERIAL_BUFFER_SIZE] = {};
  uint16_t read_size = 8;
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
  bool wait_ended = false;    // a framer ended the reply wait in progress

  // Transmit side (pump and framers).
  uint8_t tx_buffer[SERIAL_BUFFER_SIZE] = {};
  uint16_t tx_length = 0;
  uint16_t chunk_size = 8;
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

  // Line timing. The fill bytes of the acknowledgement wait are released by
  // the clock at the line's character time, so a pty or USB adapter that
  // takes bytes at once does not cut the wait short.
  uint32_t char_us = 1146;    // one character at 9600 baud, 8E1
  uint32_t silence_us = 20000;
  int64_t now_us = 0;         // set by the pump before each framer call
  int64_t line_free_us = 0;   // when the bytes written so far have left
  int64_t fill_due_us = 0;    // when the next fill byte may go

  // Protocol state (Sy/Max, Modbus).
  uint16_t awaiting_reply = 0;
  uint16_t transaction_counter = 0;
  uint8_t net_to_net = 0;
  uint8_t expected_transaction = 0;
};

// Transmit flag owned by the pump.
constexpr uint16_t TXF_WRITING = 0x100;

// Values of a transmit framer besides a byte.
constexpr uint16_t TX_NONE = 0xFFFF;   // nothing to send
constexpr uint16_t TX_LATER = 0x100;   // a timed byte is due at fill_due_us

// Program-wide count of the remaining steps of the reply wait in progress.
extern std::atomic<int> wait_countdown;
// For framers (lock held): ends the reply wait in progress at once.
void end_reply_wait(LinkHandle *link);

LinkHandle *serial_open(const char *port_name, int net_to_net, const uint16_t *address_block, int wide);
LinkHandle *open_symax_serial(const char *port_name, int net_to_net, const uint16_t *address_block);
// Stops the reader thread, closes the port and gives every packet the link
// holds back to the pool. The record itself stays for the caller to free.
void serial_close(LinkHandle *link);

int link_set_port(LinkHandle *link, unsigned baud, int parity, int stop_bits, unsigned timeout, int data_bits);

int queue_transmit(LinkHandle *link, Packet *packet);
Packet *wait_reply(LinkHandle *link, unsigned tries);
void flush_queues(LinkHandle *link);
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
