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
//   queue_transmit      queues a request; on a local port with nothing else
//                       going out the caller writes it at once (a Modbus
//                       caller reads what came in since the last exchange
//                       first; a Sy/Max caller tells the reader when the
//                       acknowledgement wait's fill bytes fall due), anything
//                       else is written by the reader thread
//   request_exchange    a request that awaits its reply, and its reply: the
//                       replies left from earlier ones dropped, the reply
//                       awaited from now on (request_sent_us), the request
//                       sent as by queue_transmit, then awaited as by
//                       wait_reply; the request is over then: no reply
//                       awaited any more, and the line owed to a device
//                       whose wait was given up (null: no reply in time)
//   wait_reply          the oldest received message, waiting in 10-ms steps
//                       through the shared reply wait (proto/link_handle.h);
//                       the caller of such a Modbus exchange reads its reply
//                       itself, where the system lets the reader leave the
//                       port's input alone (port_wait_lends_input), and
//                       takes the wait's first step as its request goes out
//   flush_queues        every queued message back to the pool
//   drop_stale_replies / request_packet   the start of every exchange
//   transmit_kick/transmit_pump   the transmit side
//
// The channel record is proto/serial_channel.h; the bytes on the wire are
// decided by the link's framers (proto/framing.h), which the reader thread
// feeds and the pump drains.
// The reader thread waits on the port and a wake object (platform/port_wait.h);
// everything it does to the queues and framer state happens under the link's
// lock. While a Modbus link on a local port has nothing going out, the
// reader leaves the port's input to the waiting caller, who reads under the
// same lock, and only looks for a hang-up four times a second: a request and
// its reply then cost no thread switch. A request the reader is handed makes
// it read again until it is out. Writing to the port (and draining it when
// RTS is toggled by hand) happens under the channel's port lock only, so a
// slow drain never holds up the main thread.
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
#include <cstddef>
#include <cstdint>

#include "proto/link_handle.h"
#include "proto/packet.h"
#include "proto/serial_channel.h"

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
Packet *request_exchange(LinkHandle *link, Packet *packet, unsigned tries);
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
