// Sy/Max gateway links: text commands on a serial line, one per line, which
// the gateway carries over its own Sy/Max route to the modem.
//   open_gateway_serial    a wide serial link in line framing; the route
//                          (count and drops) is the one the gateway uses
//   gateway_read / gateway_write   registers 1-8192: the count on success, 0
//                          with the reason in the link
//   gateway_reopen         serial_reopen; a port found again forgets the route
//   gateway_select_route   sends "A" with the link's route unless the gateway
//                          is known to use it already
// The route last selected is remembered and sent again only after it is
// forgotten: at open, and after a command that got no answer or an answer
// of the wrong kind. A read of more registers than one answer line holds,
// and a write of more values than one command line holds, go out as several
// commands over consecutive registers.
#pragma once
#include <cstdint>

#include "proto/link_handle.h"
#include "proto/packet.h"

// idle(user) runs while a remote port is being connected (proto/serial.h).
LinkHandle *open_gateway_serial(const char *port_name, const uint16_t *address_block, IdleCallback idle = nullptr,
                                int idle_user = 0);
// serial_reopen, and a port found again forgets the route: what is at the
// far end now has to be told it afresh.
bool gateway_reopen(LinkHandle *link);

int gateway_read(LinkHandle *link, int first, int count, uint16_t *values);
int gateway_write(LinkHandle *link, int first, int count, const uint16_t *values);
// *packet is the caller's and may be exchanged for the packet that carried
// the answer; false with the reason set (the packet is then gone).
bool gateway_select_route(LinkHandle *link, Packet **packet);
