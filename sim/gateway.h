// The Sy/Max gateway's ASCII command side, one command per line ended by a
// control character: "A d d ..." selects the route (answer: a lone CR),
// "R first count" reads (answer: the decimal values separated by blanks, then
// CR), "W first v v ..." writes (answer: a lone CR; values are taken modulo
// 65536). Registers 1-8192 only. Refusals are a line "ERROR n" with a Sy/Max
// error code: 112 no route selected yet, 3 outside 1-8192 or the device,
// 16 count above 128, 29 route not ending in --drop, 71 unknown command.
//
//   gateway_receive(bytes, n)   feed bytes from the port
//   gateway_reset()             forget the line, the route and fault counts (tests)
// Faults: no reply; an answer of the wrong kind (a lone CR to "R", "0" to
// "A" and "W"); a restart right after answering (the route is forgotten,
// so the next "R" or "W" is refused with error 112).
#pragma once

#include <cstddef>
#include <cstdint>

void gateway_receive(const uint8_t* bytes, size_t n);
void gateway_reset();
