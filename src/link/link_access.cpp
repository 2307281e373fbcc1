// The register interface: argument checks by the limits of the link's kind,
// then the kind's own operation (link_kinds.h).
#include <mutex>

#include "link/link.h"
#include "link/link_core.h"
#include "link/link_kinds.h"

namespace {

enum Direction { READING, WRITING };

const char *const illegal_register[] = {"Illegal read register", "Illegal write register"};
const char *const illegal_count[] = {"Illegal read count", "Illegal write count"};

// The entry to dispatch to, or null with the reason set.
const LinkKindEntry *checked_entry(LinkHandle *link, Direction dir, bool range_checked, int first, int count,
                                   int max_count_of(const LinkKindEntry &)) {
  const LinkKindEntry *e = link_transport_entry(link->kind);
  if (!e) {
    link_set_error(link, "Handle corruption 3");
    return nullptr;
  }
  if (range_checked && e->last_register > 0 &&
      (first < 1 || static_cast<long>(first) + count - 1 > e->last_register)) {
    link_set_error(link, "%s", illegal_register[dir]);
    return nullptr;
  }
  if (count < 1 || count > max_count_of(*e)) {
    link_set_error(link, "%s", illegal_count[dir]);
    return nullptr;
  }
  return e;
}

// Before an exchange: a port that went away is looked for again, so that an
// adapter plugged back in is used without a trip through the setup. Until
// it is back the exchange fails at once with its own text.
const LinkKindEntry *ready(LinkHandle *link, const LinkKindEntry *e) {
  if (e->reopen) e->reopen(link);
  return e;
}

int max_read(const LinkKindEntry &e) { return e.max_read; }
int max_write(const LinkKindEntry &e) { return e.max_write; }
int max_record(const LinkKindEntry &e) { return e.max_record; }

}  // namespace

const char *link_error_text(LinkHandle *link) {
  // No link at all is not a broken record: say why there is none.
  if (!link) return link_no_link_text();
  if (!link_valid(link)) return "Handle not valid";
  return link->error_text;
}

int link_read_registers(LinkHandle *link, int first, int count, uint16_t *values) {
  if (!link_valid(link)) return 0;
  const LinkKindEntry *e = checked_entry(link, READING, true, first, count, max_read);
  if (!e) return 0;
  if (!e->read) {
    link_set_error(link, "Handle corruption 3");
    return 0;
  }
  return ready(link, e)->read(link, first, count, values);
}

int link_read_whole(LinkHandle *link, int first, int count, uint16_t *values) {
  int n = link_read_registers(link, first, count, values);
  if (n <= 0) return 0;
  if (n >= count) return n;
  link_set_error(link, "Read reply too short");
  return 0;
}

int link_write_registers(LinkHandle *link, int first, int count, const uint16_t *values) {
  if (!link_valid(link)) return 0;
  const LinkKindEntry *e = checked_entry(link, WRITING, true, first, count, max_write);
  if (!e) return 0;
  if (!e->write) {
    link_set_error(link, "Handle corruption 3");
    return 0;
  }
  return ready(link, e)->write(link, first, count, values);
}

// A kind without the operation fails with a text of its own, not with
// whatever an earlier operation left.
int link_read_input_registers(LinkHandle *link, int, int first, int count, uint16_t *values) {
  if (!link_valid(link)) return 0;
  const LinkKindEntry *e = checked_entry(link, READING, false, first, count, max_read);
  if (!e) return 0;
  if (!e->read_input) {
    link_set_error(link, "Input registers not reachable on this link");
    return 0;
  }
  return ready(link, e)->read_input(link, first, count, values);
}

int link_write_file_record(LinkHandle *link, int first, int count, const uint16_t *values) {
  if (!link_valid(link)) return 0;
  const LinkKindEntry *e = checked_entry(link, WRITING, false, first, count, max_record);
  if (!e) return 0;
  if (!e->write_record) {
    link_set_error(link, "File records not writable on this link");
    return 0;
  }
  return ready(link, e)->write_record(link, first, count, values);
}

int link_set_idle_callback(LinkHandle *link, IdleCallback callback, int user) {
  if (!link_valid(link)) return 0;
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
  if (!link_valid(link)) return 0;
  {
    std::lock_guard<std::mutex> g(link->lock);
    link->priority = priority ? 1 : 0;
  }
  const LinkKindEntry *e = link_transport_entry(link->kind);
  if (e && e->set_check) e->set_check(link, crc);
  return 1;
}

int link_set_port(LinkHandle *link, unsigned baud, int parity, int stop_bits, unsigned timeout, int data_bits) {
  if (!link_valid(link)) return 0;
  const LinkKindEntry *e = link_transport_entry(link->kind);
  if (e && e->set_port) e->set_port(link, baud, parity, stop_bits, data_bits);
  link->reply_timeout = static_cast<uint16_t>(timeout);
  return 1;
}
