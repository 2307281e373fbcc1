// Sy/Max gateway command lines, apart from the link that carries them.
// Numbers are decimal; every line ends with CR.
//   gateway_route_line   "A" and " %d" per drop: select the route
//   gateway_read_line    "R first count"
//   gateway_write_line   "W first" and " %u" per value, each value widened
//                        as a signed 16-bit number (0xFFFF -> 4294967295);
//                        takes as many values as fit the buffer and says how
//                        many it took
//   gateway_is_ack       the answer is a lone CR
//   gateway_parse_values the decimal numbers at the start of a read answer
//                        (low 16 bits each, separated by anything but digits
//                        and CR); returns how many it stored. A number the
//                        line ends in (a line cut short) is not taken.
//   GatewayRoute         the route last sent with "A"; count 0xFFFF when none
//                        is known, so the next command selects it first
#pragma once
#include <cstdint>

constexpr int GATEWAY_LAST_REGISTER = 8192;
constexpr int GATEWAY_MAX_DROPS = 8;
constexpr uint16_t GATEWAY_NO_ROUTE = 0xFFFF;
// Registers asked of one "R": the answer, up to 5 digits and a separator or
// two per value, must fit one received line.
constexpr int GATEWAY_READ_CHUNK = 36;

struct GatewayRoute {
  uint16_t count = GATEWAY_NO_ROUTE;
  uint16_t drops[GATEWAY_MAX_DROPS] = {};
};

bool gateway_same_route(const GatewayRoute &remembered, uint16_t count, const uint16_t *drops);
void gateway_remember(GatewayRoute &remembered, uint16_t count, const uint16_t *drops);
inline void gateway_forget(GatewayRoute &remembered) { remembered.count = GATEWAY_NO_ROUTE; }

// Each returns the line's length, CR included (0 when it does not fit).
int gateway_route_line(char *out, int size, const uint16_t *drops, int count);
int gateway_read_line(char *out, int size, int first, int count);
int gateway_write_line(char *out, int size, int first, int count, const uint16_t *values, int *taken);

bool gateway_is_ack(const uint8_t *line, int length);
int gateway_parse_values(const uint8_t *line, int length, int count, uint16_t *values);
