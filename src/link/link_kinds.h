// One entry per link kind, holding everything that differs between kinds:
// its names, how it is opened and closed, its port settings and options,
// its register operations and their limits, what the connecting window says,
// the rows of its "CONFIGURE THIS COMPUTER" layout, and what the register
// viewer may show on it. Everything above proto that differs by kind reads
// it from here: the register interface, link open and close, the dialogs,
// the register viewer and the command line.
//
// Adding a kind: give it the next LinkKind code (link_setup.h: the setup
// file's value, with LINK_KIND_COUNT one past it), write its open function
// (setup record and port name -> an open LinkHandle) and its protocol
// operations beneath, in proto/, then add one entry to link_kinds[] in
// link_kinds.cpp. Its place in the table is its place in the dialog's cycle.
//   - A serial kind opens through serial_open (proto/serial.h), takes
//     serial_close, serial_set_port, serial_port_lost and serial_reopen for
//     its channel, and gives its framing mode (named after its transport
//     kind) a slot in proto/framing.cpp.
//   - A socket kind brings the same four functions for its own channel (or
//     null for those it has no use for: no port settings, a channel that
//     reconnects by itself), and waits for replies through link_reply_wait
//     (proto/link_handle.h), as the serial kinds do.
#pragma once
#include <array>
#include <cstdint>
#include <span>

#include "link/link_setup.h"
#include "proto/link_handle.h"

// What a row of the link dialog's layout shows: a field of the setup
// record, the fixed "8" of the data bits, or nothing (a blank row).
enum SetupSlot : uint8_t {
  SLOT_NOTHING, SLOT_PORT, SLOT_BAUD, SLOT_DATA_BITS, SLOT_FIXED_8, SLOT_STOP_BITS, SLOT_PARITY,
  SLOT_ERROR_CHECK, SLOT_TIMEOUT, SLOT_TRAP, SLOT_ROUTE, SLOT_DROP, SLOT_HOST, SLOT_TCP_PORT,
};
struct SetupRow {
  const char *label;   // null: a blank row
  SetupSlot slot;
};
// The rows under the connection type, top to bottom; the fields are edited
// in this order.
constexpr int SETUP_LAYOUT_ROWS = 9;
using SetupLayout = std::array<SetupRow, SETUP_LAYOUT_ROWS>;

struct LinkKindEntry {
  uint16_t setup_kind;       // LinkKind of the setup record
  int32_t transport;         // TransportKind of the handles it opens
  const char *name;          // as the dialogs show the kind
  const char *option_name;   // as the command line names it (--link)
  const char *connecting;    // the connecting window's line, with the port or host
  bool serial_port;          // the setup's port index names the port it opens
  bool eight_data_bits;      // opening sets the setup's data bits to 8
  // Opening keeps one drop (Modbus slave or unit). A kind of one drop
  // that is given an empty route in the dialog gets the drop 255; a routed
  // kind drops a route that is just that 255.
  bool single_drop;
  bool status_registers;     // the register viewer may show status registers
  SetupLayout layout;        // "CONFIGURE THIS COMPUTER" under the type

  // The channel. open gets the port's list name ("" for kinds without one)
  // and the callback to call while a connection is being made (null: none).
  LinkHandle *(*open)(const LinkSetup &setup, const char *port_name, IdleCallback idle);
  void (*close)(LinkHandle *link);   // ends the channel and frees the record
  // Port settings (parity code 0-4, stop bits 1-2, data bits 7-8); null: none.
  void (*set_port)(LinkHandle *link, unsigned baud, int parity, int stop_bits, int data_bits);
  void (*set_check)(LinkHandle *link, int crc);   // null: no frame check option
  bool (*lost)(LinkHandle *link);                 // the far end went away; null: never
  bool (*reopen)(LinkHandle *link);               // run before every operation; null: none

  // Register operations, called after the interface's checks; null: not
  // offered by the protocol (the operation fails, the error text stays).
  int (*read)(LinkHandle *link, int first, int count, uint16_t *values);
  int (*write)(LinkHandle *link, int first, int count, const uint16_t *values);
  int (*read_input)(LinkHandle *link, int first, int count, uint16_t *values);
  int (*write_record)(LinkHandle *link, int first, int count, const uint16_t *values);

  // Limits. A block must lie within 1..last_register (0: no range check, any
  // 16-bit register number goes out as it is). Counts run from 1 to the max.
  long last_register;
  int max_read;     // read and input read
  int max_write;    // write
  int max_record;   // file-record write
};

// Every entry, in the order the dialog cycles through them.
std::span<const LinkKindEntry> link_kind_table();
// The entry of a setup kind, or null when that kind is not built in.
const LinkKindEntry *link_kind_entry(uint16_t setup_kind);
// The dialogs' name of a setup kind; "None" for a kind without an entry.
const char *link_kind_name(uint16_t setup_kind);
// The entry that opened a handle of this transport kind, or null.
const LinkKindEntry *link_transport_entry(int32_t transport);
