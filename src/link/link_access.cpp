#include <cstdarg>
#include <cstdio>

#include "link/link.h"
#include "link/link_handle.h"
#include "proto/framing.h"
#include "proto/symax.h"

namespace {

// What a transport offers the interface. A null entry is an operation the
// protocol does not have: it fails and leaves the error text as it was.
struct TransportOps {
  int (*read)(LinkHandle *link, int first, int count, uint16_t *values);
  int (*write)(LinkHandle *link, int first, int count, const uint16_t *values);
  int (*read_input)(LinkHandle *link, int first, int count, uint16_t *values);
  int (*write_record)(LinkHandle *link, int first, int count, const uint16_t *values);
  bool register_range;   // registers limited to 1..16384
};

constexpr TransportOps symax_ops = {
    .read = symax_read,
    .write = symax_write,
    .read_input = symax_read_input,
    .write_record = nullptr,
    .register_range = true,
};

// Indexed by TransportKind; gateway, Modbus serial and TCP fill theirs.
constexpr const TransportOps *transports[] = {
    nullptr,     // 0
    &symax_ops,  // TRANSPORT_SYMAX
    nullptr,     // TRANSPORT_GATEWAY
    nullptr,     // 3
    nullptr,     // 4
    nullptr,     // TRANSPORT_MODBUS_RTU
    nullptr,     // TRANSPORT_MODBUS_ASCII
    nullptr,     // 7
    nullptr,     // TRANSPORT_MODBUS_TCP
};

const TransportOps *transport_of(const LinkHandle *link) {
  if (link->kind < 0 || link->kind >= static_cast<int32_t>(sizeof transports / sizeof transports[0])) return nullptr;
  return transports[link->kind];
}

bool valid(const LinkHandle *link) { return link && link->tag == LINK_TAG; }

constexpr long long LAST_REGISTER = 16384;
constexpr int MAX_COUNT = 128;

bool range_ok(int first, int count) {
  return first >= 1 && static_cast<long long>(first) + count - 1 <= LAST_REGISTER;
}

bool count_ok(int count) { return count >= 1 && count <= MAX_COUNT; }

// Kinds whose registers are limited (Sy/Max and the gateway), whether or not
// their transport is built in.
bool limited_kind(int32_t kind) { return kind == TRANSPORT_SYMAX || kind == TRANSPORT_GATEWAY; }

}  // namespace

int idle_continue(int) { return 1; }

void link_set_error(LinkHandle *link, const char *format, ...) {
  va_list ap;
  va_start(ap, format);
  vsnprintf(link->error_text, sizeof link->error_text, format, ap);
  va_end(ap);
}

const char *link_error_text(LinkHandle *link) {
  if (!valid(link)) return "Handle not valid";
  return link->error_text;
}

int link_read_registers(LinkHandle *link, int first, int count, uint16_t *values) {
  if (!valid(link)) return 0;
  if (limited_kind(link->kind) && !range_ok(first, count)) {
    link_set_error(link, "Illegal read register");
    return 0;
  }
  if (!count_ok(count)) {
    link_set_error(link, "Illegal read count");
    return 0;
  }
  const TransportOps *ops = transport_of(link);
  if (!ops || !ops->read) {
    link_set_error(link, "Handle corruption 3");
    return 0;
  }
  return ops->read(link, first, count, values);
}

int link_write_registers(LinkHandle *link, int first, int count, const uint16_t *values) {
  if (!valid(link)) return 0;
  if (limited_kind(link->kind) && !range_ok(first, count)) {
    link_set_error(link, "Illegal write register");
    return 0;
  }
  if (!count_ok(count)) {
    link_set_error(link, "Illegal write count");
    return 0;
  }
  const TransportOps *ops = transport_of(link);
  if (!ops || !ops->write) {
    link_set_error(link, "Handle corruption 3");
    return 0;
  }
  return ops->write(link, first, count, values);
}

int link_read_input_registers(LinkHandle *link, int, int first, int count, uint16_t *values) {
  if (!valid(link)) return 0;
  if (!count_ok(count)) {
    link_set_error(link, "Illegal read count");
    return 0;
  }
  const TransportOps *ops = transport_of(link);
  if (!ops) {
    link_set_error(link, "Handle corruption 3");
    return 0;
  }
  if (!ops->read_input) return 0;
  return ops->read_input(link, first, count, values);
}

int link_write_file_record(LinkHandle *link, int first, int count, const uint16_t *values) {
  if (!valid(link)) return 0;
  if (!count_ok(count)) {
    link_set_error(link, "Illegal write count");
    return 0;
  }
  const TransportOps *ops = transport_of(link);
  if (!ops) {
    link_set_error(link, "Handle corruption 3");
    return 0;
  }
  if (!ops->write_record) return 0;
  return ops->write_record(link, first, count, values);
}

int link_set_idle_callback(LinkHandle *link, IdleCallback callback, int user) {
  if (!valid(link)) return 0;
  std::lock_guard<std::mutex> g(link->lock);
  if (callback) {
    link->idle = callback;
    link->idle_user = user;
  } else {
    link->idle = idle_continue;   // keeps the user datum
  }
  return 1;
}

int link_set_options(LinkHandle *link, int crc, int priority) {
  if (!valid(link)) return 0;
  std::lock_guard<std::mutex> g(link->lock);
  if (link->serial) {
    if (crc)
      link->serial->tx_flags |= TXF_CRC;
    else
      link->serial->tx_flags &= ~TXF_CRC;
  }
  link->priority = priority ? 1 : 0;
  return 1;
}
