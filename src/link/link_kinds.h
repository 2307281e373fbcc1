// One entry per link kind, holding everything that differs between kinds:
// how the kind is opened and closed, its port settings and options, its
// register operations and their limits, and what the connecting window says.
// The register interface and link open/close look a link's entry up and
// call it; nothing else asks which kind a link is.
//
// Adding a kind: write its open function (setup record and port name -> an
// open LinkHandle) and its protocol operations beneath, in proto/, then add
// one entry to link_kinds[] in link_kinds.cpp.
//   - A serial kind opens through serial_open (proto/serial.h), takes
//     serial_close, serial_set_port, serial_port_lost and serial_reopen for
//     its channel, and gives its framing mode a slot in proto/framing.cpp.
//   - A socket kind brings the same four functions for its own channel (or
//     null for those it has no use for: no port settings, a channel that
//     reconnects by itself), and waits for replies through link_reply_wait
//     (proto/link_handle.h), as the serial kinds do.
#pragma once
#include <cstdint>

#include "link/link_setup.h"
#include "proto/link_handle.h"

struct LinkKindEntry {
  uint16_t setup_kind;       // LinkKind of the setup record
  int32_t transport;         // TransportKind of the handles it opens
  const char *connecting;    // the connecting window's line, with the port or host
  bool serial_port;          // the setup's port index names the port it opens
  bool eight_data_bits;      // opening sets the setup's data bits to 8
  bool single_drop;          // opening keeps one drop (Modbus slave or unit)

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

// The entry of a setup kind, or null when that kind is not built in.
const LinkKindEntry *link_kind_entry(uint16_t setup_kind);
// The entry that opened a handle of this transport kind, or null.
const LinkKindEntry *link_transport_entry(int32_t transport);
