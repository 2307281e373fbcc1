#include "link/link_kinds.h"

#include <cstring>
#include <iterator>

#include "proto/framing.h"
#include "proto/gateway.h"
#include "proto/modbus_msg.h"
#include "proto/modbus_serial.h"
#include "proto/modbus_tcp.h"
#include "proto/serial.h"
#include "proto/symax.h"

namespace {

constexpr long SYMAX_LAST_REGISTER = 16384;
constexpr int SYMAX_MAX_COUNT = 128;

// The setup's route as an address block: count, then the drops.
struct AddressBlock {
  uint16_t words[1 + LINK_MAX_DROPS];
};
AddressBlock address_block(const LinkSetup &setup) {
  AddressBlock b{{setup.route_count}};
  for (int i = 0; i < LINK_MAX_DROPS; i++) b.words[1 + i] = setup.route[i];
  return b;
}

LinkHandle *open_point_to_point(const LinkSetup &setup, const char *port, IdleCallback idle) {
  return open_symax_serial(port, 0, address_block(setup).words, idle, 0);
}
// The open puts a drop derived from the first one in front of the route.
LinkHandle *open_net_to_net(const LinkSetup &setup, const char *port, IdleCallback idle) {
  return open_symax_serial(port, 1, address_block(setup).words, idle, 0);
}

// The rows every serial kind begins with.
constexpr SetupRow PORT_ROW = {"Port", SLOT_PORT};
constexpr SetupRow BAUD_ROW = {"Baud rate", SLOT_BAUD};
constexpr SetupRow STOP_BITS_ROW = {"Stop bits", SLOT_STOP_BITS};
constexpr SetupRow PARITY_ROW = {"Parity", SLOT_PARITY};
constexpr SetupRow TIMEOUT_ROW = {"Timeout", SLOT_TIMEOUT};
constexpr SetupRow TRAP_ROW = {"Trap Errors", SLOT_TRAP};
constexpr SetupRow BLANK_ROW = {nullptr, SLOT_NOTHING};

constexpr LinkKindEntry symax_entry(uint16_t setup_kind, const char *name, const char *option_name,
                                    LinkHandle *(*open)(const LinkSetup &, const char *, IdleCallback)) {
  return {
      .setup_kind = setup_kind,
      .transport = TRANSPORT_SYMAX,
      .name = name,
      .option_name = option_name,
      .connecting = "Via Sy/Max to %s",
      .serial_port = true,
      .eight_data_bits = true,
      .single_drop = false,
      .status_registers = true,
      .layout = {PORT_ROW, BAUD_ROW, {"Data bits", SLOT_FIXED_8}, STOP_BITS_ROW, PARITY_ROW,
                 {"Error Check", SLOT_ERROR_CHECK}, TIMEOUT_ROW, TRAP_ROW, {"Route", SLOT_ROUTE}},
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

LinkHandle *open_gateway(const LinkSetup &setup, const char *port, IdleCallback idle) {
  return open_gateway_serial(port, address_block(setup).words, idle, 0);
}

constexpr LinkKindEntry gateway_entry = {
    .setup_kind = LINK_GATEWAY,
    .transport = TRANSPORT_GATEWAY,
    .name = "Gateway COM:",
    .option_name = "gateway",
    .connecting = "Via Gateway to %s",
    .serial_port = true,
    .eight_data_bits = false,
    .single_drop = false,
    .status_registers = true,
    .layout = {PORT_ROW, BAUD_ROW, {"Data bits", SLOT_DATA_BITS}, STOP_BITS_ROW, PARITY_ROW, {"Route", SLOT_ROUTE},
               BLANK_ROW, BLANK_ROW, BLANK_ROW},
    .open = open_gateway,
    .close = serial_close,
    .set_port = serial_set_port,
    .set_check = nullptr,
    .lost = serial_port_lost,
    .reopen = gateway_reopen,
    .read = gateway_read,
    .write = gateway_write,
    .read_input = nullptr,
    .write_record = nullptr,
    // The interface checks the Sy/Max range; the gateway itself refuses
    // registers above 8192 with its own texts.
    .last_register = SYMAX_LAST_REGISTER,
    .max_read = SYMAX_MAX_COUNT,
    .max_write = SYMAX_MAX_COUNT,
    .max_record = SYMAX_MAX_COUNT,
};

// Modbus answers at most 125 registers to a read and takes at most 123 in a
// write: the one-byte byte count of a reply or request cannot say more, and
// a count of 128 would wrap it to 0. A file-record write is held to the same
// bound (its request length byte counts 7 bytes more).
constexpr int MODBUS_MAX_READ = 125;
constexpr int MODBUS_MAX_WRITE = 123;

int serial_read_holding(LinkHandle *link, int first, int count, uint16_t *values) {
  return modbus_serial_read(link, first, count, values, MODBUS_READ_HOLDING);
}
int serial_read_input(LinkHandle *link, int first, int count, uint16_t *values) {
  return modbus_serial_read(link, first, count, values, MODBUS_READ_INPUT);
}
LinkHandle *open_rtu(const LinkSetup &setup, const char *port, IdleCallback idle) {
  return open_modbus_rtu_serial(port, setup.route[0], idle, 0);
}
LinkHandle *open_ascii(const LinkSetup &setup, const char *port, IdleCallback idle) {
  return open_modbus_ascii_serial(port, setup.route[0], idle, 0);
}

struct ModbusSerialNames {
  const char *name, *option_name, *connecting;
};

// Modbus serial replies carry no status registers beside the values.
constexpr LinkKindEntry modbus_serial_entry(uint16_t setup_kind, int32_t transport, ModbusSerialNames names,
                                            bool eight_data_bits,
                                            LinkHandle *(*open)(const LinkSetup &, const char *, IdleCallback)) {
  return {
      .setup_kind = setup_kind,
      .transport = transport,
      .name = names.name,
      .option_name = names.option_name,
      .connecting = names.connecting,
      .serial_port = true,
      .eight_data_bits = eight_data_bits,
      .single_drop = true,
      .status_registers = false,
      .layout = {PORT_ROW, BAUD_ROW, {"Data bits", SLOT_DATA_BITS}, STOP_BITS_ROW, PARITY_ROW, BLANK_ROW,
                 TIMEOUT_ROW, TRAP_ROW, {"Drop", SLOT_DROP}},
      .open = open,
      .close = serial_close,
      .set_port = serial_set_port,
      .set_check = nullptr,
      .lost = serial_port_lost,
      .reopen = serial_reopen,
      .read = serial_read_holding,
      .write = modbus_serial_write,
      .read_input = serial_read_input,
      .write_record = modbus_serial_write_record,
      .last_register = 0,   // register 0 goes out as 0xFFFF
      .max_read = MODBUS_MAX_READ,
      .max_write = MODBUS_MAX_WRITE,
      .max_record = MODBUS_MAX_WRITE,
  };
}

int tcp_read_holding(LinkHandle *link, int first, int count, uint16_t *values) {
  return modbus_tcp_read(link, first, count, values, MODBUS_READ_HOLDING);
}
int tcp_read_input(LinkHandle *link, int first, int count, uint16_t *values) {
  return modbus_tcp_read(link, first, count, values, MODBUS_READ_INPUT);
}
LinkHandle *open_tcp(const LinkSetup &setup, const char *, IdleCallback idle) {
  char host[sizeof setup.host + 1] = {};   // the record's text need not be terminated
  memcpy(host, setup.host, sizeof setup.host);
  // The connect is bounded by the setup's time-out, as a reply wait is.
  return open_modbus_tcp(host, setup.tcp_port, setup.route[0], setup.timeout, idle, 0);
}

constexpr LinkKindEntry tcp_entry = {
    .setup_kind = LINK_MODBUS_TCP,
    .transport = TRANSPORT_MODBUS_TCP,
    .name = "Modbus TCP",
    .option_name = "tcp",
    .connecting = "Via Modbus TCP to %s",
    .serial_port = false,
    .eight_data_bits = false,
    .single_drop = true,
    .status_registers = true,
    .layout = {{{"Host", SLOT_HOST}, {"Port", SLOT_TCP_PORT}, BLANK_ROW, BLANK_ROW, BLANK_ROW, BLANK_ROW,
                TIMEOUT_ROW, TRAP_ROW, {"Index", SLOT_DROP}}},
    .open = open_tcp,
    .close = modbus_tcp_close,
    .set_port = nullptr,
    .set_check = nullptr,
    .lost = nullptr,
    .reopen = nullptr,   // the channel connects anew by itself
    .read = tcp_read_holding,
    .write = modbus_tcp_write,
    .read_input = tcp_read_input,
    .write_record = modbus_tcp_write_record,
    .last_register = 0,
    .max_read = MODBUS_MAX_READ,
    .max_write = MODBUS_MAX_WRITE,
    .max_record = MODBUS_MAX_WRITE,
};

constexpr LinkKindEntry link_kinds[] = {
    symax_entry(LINK_SYMAX, "Sy/Max COM:", "symax", open_point_to_point),
    symax_entry(LINK_NET_TO_NET, "Net-to-Net COM:", "net-to-net", open_net_to_net),
    gateway_entry,
    modbus_serial_entry(LINK_MODBUS_RTU, TRANSPORT_MODBUS_RTU, {"Modbus RTU", "rtu", "Via Modbus RTU to %s"}, true,
                        open_rtu),
    modbus_serial_entry(LINK_MODBUS_ASCII, TRANSPORT_MODBUS_ASCII,
                        {"Modbus ASCII", "ascii", "Via Modbus ASCII to %s"}, false, open_ascii),
    tcp_entry,
};

// Every code of the setup record but None has one entry.
constexpr bool every_code_has_one_entry() {
  for (uint16_t code = LINK_NONE + 1; code < LINK_KIND_COUNT; code++) {
    int n = 0;
    for (const LinkKindEntry &e : link_kinds) n += e.setup_kind == code;
    if (n != 1) return false;
  }
  return std::size(link_kinds) == LINK_KIND_COUNT - 1;
}
static_assert(every_code_has_one_entry());

}  // namespace

std::span<const LinkKindEntry> link_kind_table() { return link_kinds; }

const char *link_kind_name(uint16_t setup_kind) {
  const LinkKindEntry *e = link_kind_entry(setup_kind);
  return e ? e->name : "None";
}

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
