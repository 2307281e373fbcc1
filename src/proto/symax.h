// Sy/Max register protocol: read, priority read, write, priority write and
// the Modbus input-register read carried inside a Sy/Max message, over a
// link of TransportKind 1. Registers are 1-based; on the wire register r is
// the byte address 2 * (r - 1); 16-bit values travel high byte first.
//   symax_read / symax_write / symax_read_input   one exchange each; the
//       caller has checked tag, range and count. Result: values stored
//       (count for a write), 0 on failure with the reason in the link.
//   symax_check_read / _write / _read_input   the reply checks of those
//       exchanges on a received reply: same result, the reason in the link
//   symax_error_text   the Sy/Max error-code table (Modbus exception names
//                      are modbus_msg's)
// The request builders and the route codec are separate so that the bytes
// can be checked without a link.
#pragma once
#include <cstdint>

#include "proto/packet.h"

struct LinkHandle;

int symax_read(LinkHandle *link, int first, int count, uint16_t *values);
int symax_write(LinkHandle *link, int first, int count, const uint16_t *values);
int symax_read_input(LinkHandle *link, int first, int count, uint16_t *values);

// t: the transaction byte of the request; values has room for count.
int symax_check_read(LinkHandle *link, const Packet *r, uint8_t t, int count, uint16_t *values);
int symax_check_write(LinkHandle *link, const Packet *r, uint8_t t, int count);
int symax_check_read_input(LinkHandle *link, const Packet *r, int count, uint16_t *values);

// Never null: codes without an entry get a text of their own.
const char *symax_error_text(unsigned code);

// The next transaction byte of a link (low byte of its counter, 6 bits with
// priority); advances the counter.
uint8_t symax_next_transaction(LinkHandle *link);
// Two upper-case hex characters per drop (bit 15 of a drop sets the top bit
// of its first character), then 0xFF 0xFF. At most 8 drops.
void symax_encode_route(const uint16_t *drops, int count, uint8_t address[PACKET_ADDRESS_SIZE]);
// Pairs of hex digits (top bit ignored, either case) up to a 0xFF.
bool symax_route_ok(const uint8_t address[PACKET_ADDRESS_SIZE]);

void symax_build_read(Packet *p, uint8_t transaction, int first, int count, bool priority);
void symax_build_write(Packet *p, uint8_t transaction, int first, int count, const uint16_t *values, bool priority);
void symax_build_read_input(Packet *p, int first, int count);
