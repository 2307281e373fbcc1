#include "link/link_kinds.h"

#include "proto/framing.h"
#include "proto/serial.h"
#include "proto/symax.h"

namespace {

constexpr long SYMAX_LAST_REGISTER = 16384;
constexpr int SYMAX_MAX_COUNT = 128;

LinkHandle *open_symax(const LinkSetup &setup, const char *port, int net_to_net) {
  uint16_t block[1 + LINK_MAX_DROPS] = {setup.route_count};   // count, then the drops
  for (int i = 0; i < LINK_MAX_DROPS; i++) block[1 + i] = setup.route[i];
  return open_symax_serial(port, net_to_net, block);
}
LinkHandle *open_point_to_point(const LinkSetup &setup, const char *port) { return open_symax(setup, port, 0); }
// The open puts a drop derived from the first one in front of the route.
LinkHandle *open_net_to_net(const LinkSetup &setup, const char *port) { return open_symax(setup, port, 1); }

constexpr LinkKindEntry symax_entry(uint16_t setup_kind, LinkHandle *(*open)(const LinkSetup &, const char *)) {
  return {
      .setup_kind = setup_kind,
      .transport = TRANSPORT_SYMAX,
      .connecting = "Via Sy/Max to %s",
      .serial_port = true,
      .eight_data_bits = true,
      .single_drop = false,
      .open = open,
      .close = serial_close,
      .set_port = serial_set_port,
      .set_check = symax_set_check,
      .lost = serial_port_lost,
      .reopen = serial_reopen,
      .read = symax_read,
      .write = symax_write,
      .read_input = symax_read_input,
      .write_record = nullptr,
      .last_register = SYMAX_LAST_REGISTER,
      .max_read = SYMAX_MAX_COUNT,
      .max_write = SYMAX_MAX_COUNT,
      .max_record = SYMAX_MAX_COUNT,
  };
}

// Gateway, Modbus RTU, Modbus ASCII and Modbus TCP add their entries here.
// Modbus limits: 125 registers a read, 123 a write.
constexpr LinkKindEntry link_kinds[] = {
    symax_entry(LINK_SYMAX, open_point_to_point),
    symax_entry(LINK_NET_TO_NET, open_net_to_net),
};

}  // namespace

const LinkKindEntry *link_kind_entry(uint16_t setup_kind) {
  for (const LinkKindEntry &e : link_kinds)
    if (e.setup_kind == setup_kind) return &e;
  return nullptr;
}

const LinkKindEntry *link_transport_entry(int32_t transport) {
  for (const LinkKindEntry &e : link_kinds)
    if (e.transport == transport) return &e;
  return nullptr;
}
