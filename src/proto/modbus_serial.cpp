#include "proto/modbus_serial.h"

#include "proto/modbus_msg.h"
#include "proto/serial.h"

namespace {

LinkHandle *open_modbus(const char *port_name, uint16_t drop, int32_t transport, uint8_t framing, IdleCallback idle,
                        int idle_user) {
  const uint16_t block[1 + LINK_MAX_DROPS] = {0};
  LinkHandle *link = serial_open(port_name, 0, block, 1, idle, idle_user);
  if (!link) return nullptr;
  {
    std::lock_guard<std::mutex> g(link->lock);   // the reader runs already
    link->kind = transport;
    link->route[0] = drop;
    serial_channel(link)->framing_mode = framing;
  }
  transmit_kick(link);   // the reader looks at the framing again (it may lend the input)
  return link;
}

bool modbus_link(const LinkHandle *link) { return link_valid(link) && serial_channel(link); }

uint8_t drop_of(const LinkHandle *link) { return static_cast<uint8_t>(link->route[0]); }

// One exchange: a request from the pool, addressed and filled by `build`,
// and its reply, or null with the reason set (no packet, the no-reply
// text, or the idle abort's own).
template <typename Build>
Packet *exchange(LinkHandle *link, Build build, const char *timeout_text) {
  Packet *p = request_packet(link);
  if (!p) return nullptr;
  p->address[0] = drop_of(link);
  p->length = static_cast<uint16_t>(build(p->data));
  Packet *r = request_exchange(link, p, link->reply_timeout);
  if (!r && !link->idle_aborted) link_set_error(link, "%s", timeout_text);
  return r;
}

int write_exchange(LinkHandle *link, uint8_t function, int count, const uint16_t *values, int first) {
  if (count == 0 || !modbus_link(link)) return 0;
  Packet *r = exchange(
      link,
      [&](uint8_t *pdu) {
        return function == MODBUS_WRITE_FILE_RECORD ? modbus_build_write_record(pdu, first, count, values)
                                                    : modbus_build_write(pdu, first, count, values);
      },
      "No reply to write command");
  if (!r) return 0;
  int result = modbus_check_serial_write(r->address[0], r->data, r->length, drop_of(link), function, count,
                                         link->error_text, sizeof link->error_text);
  packet_put(link, &free_packets, r);
  return result;
}

}  // namespace

LinkHandle *open_modbus_rtu_serial(const char *port_name, uint16_t drop, IdleCallback idle, int idle_user) {
  return open_modbus(port_name, drop, TRANSPORT_MODBUS_RTU, FRAMING_MODBUS_RTU, idle, idle_user);
}

LinkHandle *open_modbus_ascii_serial(const char *port_name, uint16_t drop, IdleCallback idle, int idle_user) {
  return open_modbus(port_name, drop, TRANSPORT_MODBUS_ASCII, FRAMING_MODBUS_ASCII, idle, idle_user);
}

int modbus_serial_read(LinkHandle *link, int first, int count, uint16_t *values, uint8_t function) {
  if (count == 0 || !modbus_link(link)) return 0;
  Packet *r = exchange(
      link, [&](uint8_t *pdu) { return modbus_build_read(pdu, function, first, count); }, "No reply to read command");
  if (!r) return 0;
  int result = modbus_check_serial_read(r->address[0], r->data, r->length, drop_of(link), function, count, values,
                                        link->error_text, sizeof link->error_text);
  packet_put(link, &free_packets, r);
  return result;
}

int modbus_serial_write(LinkHandle *link, int first, int count, const uint16_t *values) {
  return write_exchange(link, MODBUS_WRITE_MULTIPLE, count, values, first);
}

int modbus_serial_write_record(LinkHandle *link, int first, int count, const uint16_t *values) {
  return write_exchange(link, MODBUS_WRITE_FILE_RECORD, count, values, first);
}
