// The kinds of byte stream a serial port can be, one table entry each, in
// the way the link kinds are: the port (platform/serial_port.h) looks its
// entry up and calls it, and nothing above asks which kind it has.
//   tty        a local serial port or pty, by path or name under /dev
//   raw TCP    socket://HOST:PORT, bytes in and bytes out; the far port
//              keeps its own line settings
//   RFC 2217   rfc2217://HOST:PORT, Telnet with the COM-PORT-OPTION: the
//              line settings travel to the far port and are answered
// HOST is a name, an IPv4 address or an [IPv6] address in brackets.
//
// Adding a kind: write its functions (each as the sport_ function of the
// same name promises) and add one entry to stream_kinds[] in byte_stream.cpp,
// with its name prefix and what it can do.
#pragma once
#include <cstdint>
#include <string>

#include "platform/serial_port.h"

struct StreamKindEntry {
  StreamKind kind;
  const char *prefix;   // list names starting with it are this kind; "" any other name
  const char *label;    // the kind in words
  unsigned caps;        // StreamCaps
  bool (*open)(SerialPort *port, const char *list_name, const PortSettings &settings, const StreamWait &wait);
  void (*close)(SerialPort *port);
  int (*read)(SerialPort *port, uint8_t *buffer, int size);
  int (*write)(SerialPort *port, const uint8_t *data, int length);
  bool (*apply)(SerialPort *port, const PortSettings &settings);
  int (*output_queued)(const SerialPort *port);
  int (*input_queued)(const SerialPort *port);
  bool (*settle)(SerialPort *port, const StreamWait &wait);
};

// The entry for a list name (the tty's for any name without a known prefix).
const StreamKindEntry &stream_kind_of_name(const char *list_name);
const StreamKindEntry &stream_kind_entry(StreamKind kind);
// A list name of a remote kind.
bool stream_name_remote(const char *list_name);

// HOST and PORT of a remote list name (after its prefix); the brackets of an
// IPv6 address are taken off. False when the name is not HOST:PORT with a
// port of 1 to 65535.
bool stream_split_address(const char *list_name, std::string *host, uint16_t *port);
// Why a name typed as a remote port is none, in words for the user; null
// when it is socket://HOST:PORT or rfc2217://HOST:PORT with a host of
// letters, digits, '.', '-' and '_' (or an [IPv6] address) and a port of
// 1 to 65535.
const char *stream_name_problem(const char *name);
// Where a remote list name ends in a colon-separated list that starts at
// `text` (its HOST may hold colons in brackets); 0 when `text` does not
// start with a remote prefix.
size_t stream_name_length_in_list(const char *text);
