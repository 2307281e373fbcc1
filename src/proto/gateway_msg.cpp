#include "proto/gateway_msg.h"

#include <cstdarg>
#include <cstdio>

namespace {

constexpr uint8_t CR = 0x0D;

bool is_digit(uint8_t c) { return c >= '0' && c <= '9'; }

// Appends printf output at `at`; false when it does not fit (nothing kept).
__attribute__((format(printf, 4, 5))) bool append(char *out, int size, int &at, const char *format, ...) {
  if (at >= size) return false;
  va_list ap;
  va_start(ap, format);
  int n = vsnprintf(out + at, static_cast<size_t>(size - at), format, ap);
  va_end(ap);
  if (n < 0 || n >= size - at) {
    out[at] = 0;
    return false;
  }
  at += n;
  return true;
}

bool append_cr(char *out, int size, int &at) {
  if (at + 1 >= size) return false;
  out[at++] = '\r';
  out[at] = 0;
  return true;
}

}  // namespace

bool gateway_same_route(const GatewayRoute &remembered, uint16_t count, const uint16_t *drops) {
  if (remembered.count != count) return false;
  for (int i = 0; i < count && i < GATEWAY_MAX_DROPS; i++)
    if (remembered.drops[i] != drops[i]) return false;
  return true;
}

void gateway_remember(GatewayRoute &remembered, uint16_t count, const uint16_t *drops) {
  remembered.count = count;
  for (int i = 0; i < GATEWAY_MAX_DROPS; i++) remembered.drops[i] = drops[i];
}

int gateway_route_line(char *out, int size, const uint16_t *drops, int count) {
  int at = 0;
  if (count > GATEWAY_MAX_DROPS) count = GATEWAY_MAX_DROPS;
  if (!append(out, size, at, "A")) return 0;
  for (int i = 0; i < count; i++)
    if (!append(out, size, at, " %d", drops[i])) return 0;
  return append_cr(out, size, at) ? at : 0;
}

int gateway_read_line(char *out, int size, int first, int count) {
  int n = snprintf(out, static_cast<size_t>(size), "R %d %d\r", first, count);
  return n > 0 && n < size ? n : 0;
}

int gateway_write_line(char *out, int size, int first, int count, const uint16_t *values, int *taken) {
  int at = 0;
  *taken = 0;
  if (!append(out, size, at, "W %d", first)) return 0;
  for (int i = 0; i < count; i++) {
    // Widened as a signed 16-bit value into 32 bits: 0xFFFF is 4294967295.
    uint32_t widened = static_cast<uint32_t>(static_cast<int32_t>(static_cast<int16_t>(values[i])));
    int before = at;
    if (!append(out, size, at, " %u", widened) || at + 1 >= size) {
      at = before;
      out[at] = 0;
      break;
    }
    ++*taken;
  }
  if (*taken == 0) return 0;
  return append_cr(out, size, at) ? at : 0;
}

bool gateway_is_ack(const uint8_t *line, int length) { return length == 1 && line[0] == CR; }

int gateway_parse_values(const uint8_t *line, int length, int count, uint16_t *values) {
  int stored = 0, i = 0;
  while (stored < count && i < length && is_digit(line[i])) {
    uint16_t v = 0;
    while (i < length && is_digit(line[i])) v = static_cast<uint16_t>(v * 10 + (line[i++] - '0'));
    // A whole line ends with its terminator; digits up to the very end are
    // of a line cut to the packet's size, and the number may be cut short.
    if (i == length) break;
    values[stored++] = v;
    while (i < length && !is_digit(line[i]) && line[i] != CR) i++;
  }
  return stored;
}
