#include "proto/frame_trace.h"

#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "proto/modbus_msg.h"
#include "proto/symax.h"

std::atomic<TraceSink> frame_trace_sink{nullptr};

namespace {

std::atomic<int64_t> trace_start_ns{0};

int64_t now_ns() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

constexpr const char *link_names[] = {"symax", "gateway", "rtu", "ascii", "tcp"};
constexpr uint8_t DLE = 0x10, SOH = 0x01, STX = 0x02, ETX = 0x03, ENQ = 0x05, NAK = 0x15, SYN = 0x16;
constexpr uint8_t SEQ1 = 0x11, SEQ2 = 0x12;

// Appends printf-style text to a bounded line.
struct Line {
  char *out;
  size_t size;
  size_t length = 0;
  void add(const char *format, ...) __attribute__((format(printf, 2, 3)));
};
void Line::add(const char *format, ...) {
  if (length + 1 >= size) return;
  va_list ap;
  va_start(ap, format);
  int n = vsnprintf(out + length, size - length, format, ap);
  va_end(ap);
  if (n > 0) length += static_cast<size_t>(n) < size - length ? static_cast<size_t>(n) : size - length - 1;
}

unsigned be16(const uint8_t *p) { return static_cast<unsigned>(p[0] << 8 | p[1]); }

// Function, address and count of a Modbus PDU (address as sent: the register
// less one). A request goes out (tx), a reply comes in (rx).
void modbus_pdu(Line &l, TraceDirection dir, const uint8_t *p, size_t n) {
  if (n < 1) {
    l.add("empty");
    return;
  }
  unsigned fn = p[0];
  if (fn & 0x80) {
    unsigned code = n >= 2 ? p[1] : 0;
    const char *text = modbus_exception_text(code);
    l.add("fn %u exception %u%s%s%s", fn & 0x7F, code, text ? " (" : "", text ? text : "", text ? ")" : "");
    return;
  }
  const char *what = fn == 3 ? " read holding" : fn == 4 ? " read input" : fn == 16 ? " write"
                   : fn == 21 ? " write file record" : "";
  l.add("fn %u%s", fn, what);
  if (dir == TRACE_TX && (fn == 3 || fn == 4 || fn == 16) && n >= 5) {
    l.add(" addr %u (reg %u) count %u", be16(p + 1), (be16(p + 1) + 1) & 0xFFFF, be16(p + 3));
  } else if (dir == TRACE_RX && (fn == 3 || fn == 4) && n >= 2) {
    l.add(" reply %u bytes", p[1]);
  } else if (dir == TRACE_RX && fn == 16 && n >= 5) {
    l.add(" reply addr %u (reg %u) count %u", be16(p + 1), (be16(p + 1) + 1) & 0xFFFF, be16(p + 3));
  } else if (dir == TRACE_RX && fn == 21) {
    l.add(" reply");
  }
}

int hex_value(uint8_t c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

void symax_message(Line &l, const uint8_t *d, size_t n) {
  if (n < 2) {
    l.add("message of %zu bytes", n);
    return;
  }
  unsigned op = d[0];
  l.add("trans 0x%02X ", d[1]);
  switch (op) {
    case 0x00:
      if (n >= 6) l.add("read reg %u count %u", be16(d + 2) / 2 + 1, d[5] + 1u);
      return;
    case 0x20:
      if (n >= 9) l.add("priority read reg %u count %u", be16(d + 5) / 2 + 1, d[8] + 1u);
      return;
    case 0x02:
      if (n >= 6) l.add("write reg %u count %zu", be16(d + 2) / 2 + 1, (n - 6) / 2);
      return;
    case 0x1E:
      if (n >= 5) l.add("priority write reg %u count %zu", be16(d + 3) / 2 + 1, (n - 5) / 2);
      return;
    case 0x22:
      l.add("carried Modbus");
      if (n >= 9) l.add(" fn %u addr %u count %u", d[4], be16(d + 5), be16(d + 7));
      return;
    case 0x80: l.add("write reply"); return;
    case 0x86: l.add("read reply %zu values", n >= 4 ? (n - 4) / 2 : 0); return;
    case 0x90: l.add("priority read reply"); return;
    case 0x92: l.add("priority write reply"); return;
    case 0xA2:
      if (n >= 3) l.add("error %u (%s)", d[2], symax_error_text(d[2]));
      return;
    default: l.add("opcode 0x%02X", op); return;
  }
}

// DLE SOH, sequence, route, DLE STX, data (DLE doubled), DLE ETX, check.
void symax_frame(Line &l, const uint8_t *b, size_t n) {
  if (n == 2 && b[0] == DLE) {
    switch (b[1]) {
      case SEQ1: case SEQ2: l.add("ack %02X", b[1]); return;
      case NAK: l.add("NAK"); return;
      case ENQ: l.add("ENQ"); return;
      case SYN: l.add("SYN (no buffer)"); return;
      default: break;
    }
  }
  size_t i = 0;
  while (i + 1 < n && !(b[i] == DLE && b[i + 1] == SOH)) i++;
  if (i + 2 >= n) {
    l.add("no frame");
    return;
  }
  i += 2;
  unsigned seq = b[i++];
  l.add("message seq %02X route", seq);
  // The route: two hex characters per drop.
  int drops = 0;
  while (i + 1 < n && b[i] != DLE) {
    int hi = hex_value(b[i] & 0x7F), lo = hex_value(b[i + 1]);
    if (hi < 0 || lo < 0) break;
    l.add(drops++ ? ".%d" : " %d", hi * 16 + lo);
    i += 2;
  }
  while (i < n && b[i] != DLE) i++;
  if (i + 1 >= n || b[i + 1] != STX) {
    l.add(", cut short");
    return;
  }
  i += 2;
  uint8_t data[TRACE_BYTES_MAX];
  size_t m = 0;
  bool ended = false;
  while (i < n && m < sizeof data) {
    if (b[i] == DLE && i + 1 < n) {
      if (b[i + 1] == ETX) {
        ended = true;
        break;
      }
      data[m++] = b[i + 1];
      i += 2;
      continue;
    }
    data[m++] = b[i++];
  }
  l.add(", ");
  symax_message(l, data, m);
  if (!ended) l.add(", cut short");
}

void gateway_line(Line &l, const uint8_t *b, size_t n) {
  l.add("line \"");
  for (size_t i = 0; i < n; i++) {
    uint8_t c = b[i] & 0x7F;
    if (c == '\r') l.add("\\r");
    else if (c == '\n') l.add("\\n");
    else if (c < 0x20 || c == 0x7F) l.add("\\x%02X", c);
    else if (c == '"' || c == '\\') l.add("\\%c", c);
    else l.add("%c", c);
  }
  l.add("\"");
}

void rtu_frame(Line &l, TraceDirection dir, const uint8_t *b, size_t n) {
  if (n < 4) {
    l.add("short frame");
    return;
  }
  l.add("slave %u ", b[0]);
  modbus_pdu(l, dir, b + 1, n - 3);
}

void ascii_frame(Line &l, TraceDirection dir, const uint8_t *b, size_t n) {
  size_t i = 0;
  while (i < n && b[i] != ':') i++;
  if (i == n) {
    l.add("no frame");
    return;
  }
  uint8_t bytes[TRACE_BYTES_MAX / 2];
  size_t m = 0;
  for (i++; i + 1 < n && m < sizeof bytes; i += 2) {
    int hi = hex_value(b[i]), lo = hex_value(b[i + 1]);
    if (hi < 0 || lo < 0) break;
    bytes[m++] = static_cast<uint8_t>(hi * 16 + lo);
  }
  if (m < 3) {
    l.add("short frame");
    return;
  }
  l.add("slave %u ", bytes[0]);
  modbus_pdu(l, dir, bytes + 1, m - 2);
}

void tcp_frame(Line &l, TraceDirection dir, const uint8_t *b, size_t n) {
  if (n < 8) {
    l.add("short frame");
    return;
  }
  l.add("tid %u unit %u ", be16(b), b[6]);
  modbus_pdu(l, dir, b + 7, n - 7);
}

}  // namespace

void frame_trace_set_sink(TraceSink sink) {
  if (sink && !frame_trace_on()) trace_start_ns = now_ns();
  frame_trace_sink.store(sink);
}

size_t frame_trace_format(char *out, double ms, TraceDirection dir, TraceLink link, const uint8_t *bytes, size_t n,
                          size_t lost) {
  Line l{out, TRACE_LINE_MAX};
  l.add("%9.1f %s %-7s", ms, dir == TRACE_TX ? "tx" : "rx", link_names[link < 5 ? link : 0]);
  for (size_t i = 0; i < n; i++) l.add(" %02X", bytes[i]);
  if (lost) l.add(" ... (%zu more)", lost);
  l.add(" | ");
  switch (link) {
    case TRACE_SYMAX: symax_frame(l, bytes, n); break;
    case TRACE_GATEWAY: gateway_line(l, bytes, n); break;
    case TRACE_RTU: rtu_frame(l, dir, bytes, n); break;
    case TRACE_ASCII: ascii_frame(l, dir, bytes, n); break;
    case TRACE_TCP: tcp_frame(l, dir, bytes, n); break;
  }
  if (l.length + 1 >= l.size) l.length = l.size - 2;
  out[l.length++] = '\n';
  out[l.length] = '\0';
  return l.length;
}

void frame_trace(TraceDirection dir, TraceLink link, const uint8_t *bytes, size_t n, size_t lost) {
  TraceSink sink = frame_trace_sink.load(std::memory_order_relaxed);
  if (!sink) return;
  double ms = static_cast<double>(now_ns() - trace_start_ns.load()) / 1e6;
  char line[TRACE_LINE_MAX];
  size_t length = frame_trace_format(line, ms, dir, link, bytes, n, lost);
  sink(line, length);
}

void trace_emit(TraceBuffer &b, TraceDirection dir, TraceLink link) {
  if (b.length > 0 || b.lost > 0) frame_trace(dir, link, b.bytes, b.length, b.lost);
  b.length = 0;
  b.lost = 0;
}
