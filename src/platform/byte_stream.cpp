#include "platform/byte_stream.h"

#include <cstdlib>
#include <cstring>

#include "platform/stream_impl.h"

namespace {

// Both remote kinds share the stream code; the Telnet layer is the
// stream's own business once it is open.
constexpr StreamKindEntry remote_entry(StreamKind kind, const char *prefix, const char *label, unsigned caps) {
  return {
      .kind = kind,
      .prefix = prefix,
      .label = label,
      .caps = caps,
      .open = remote_open,
      .close = remote_close,
      .read = remote_read,
      .write = remote_write,
      .apply = remote_apply,
      .output_queued = remote_output_queued,
      .input_queued = remote_input_queued,
      .settle = remote_settle,
  };
}

constexpr StreamKindEntry stream_kinds[] = {
    // Bytes only: no line settings, no modem lines, and the network keeps
    // no silences.
    remote_entry(STREAM_RAW_TCP, "socket://", "raw TCP", STREAM_NETWORK),
    // RTS on send is the far port's own business: it cannot be timed from
    // here across a network.
    remote_entry(STREAM_RFC2217, "rfc2217://", "RFC 2217", STREAM_NETWORK | STREAM_LINE_SETTINGS | STREAM_MODEM_LINES),
    {
        .kind = STREAM_TTY,
        .prefix = "",
        .label = "serial port",
        .caps = STREAM_LINE_TIMING | STREAM_LINE_SETTINGS | STREAM_RTS_TOGGLE | STREAM_MODEM_LINES,
        .open = tty_open,
        .close = tty_close,
        .read = tty_read,
        .write = tty_write,
        .apply = tty_apply,
        .output_queued = tty_output_queued,
        .input_queued = tty_input_queued,
        .settle = tty_settle,
    },
};

bool starts_with(const char *s, const char *prefix) { return strncmp(s, prefix, strlen(prefix)) == 0; }

const StreamKindEntry &entry_of(const SerialPort *port) { return stream_kind_entry(port->kind); }

}  // namespace

const StreamKindEntry &stream_kind_of_name(const char *list_name) {
  for (const StreamKindEntry &e : stream_kinds)
    if (list_name && *e.prefix && starts_with(list_name, e.prefix)) return e;
  return stream_kind_entry(STREAM_TTY);
}

const StreamKindEntry &stream_kind_entry(StreamKind kind) {
  for (const StreamKindEntry &e : stream_kinds)
    if (e.kind == kind) return e;
  return stream_kinds[sizeof stream_kinds / sizeof stream_kinds[0] - 1];
}

bool stream_name_remote(const char *list_name) { return stream_kind_of_name(list_name).kind != STREAM_TTY; }

size_t stream_name_length_in_list(const char *text) {
  const StreamKindEntry &e = stream_kind_of_name(text);
  if (e.kind == STREAM_TTY) return 0;
  size_t i = strlen(e.prefix);
  if (text[i] == '[') {
    const char *close = strchr(text + i, ']');
    i = close ? static_cast<size_t>(close - text) + 1 : strlen(text);
  } else {
    while (text[i] && text[i] != ':') i++;
  }
  if (text[i] == ':') {   // the port number
    i++;
    while (text[i] && text[i] != ':') i++;
  }
  return i;
}

bool stream_split_address(const char *list_name, std::string *host, uint16_t *port) {
  const StreamKindEntry &e = stream_kind_of_name(list_name);
  if (e.kind == STREAM_TTY) return false;
  const char *p = list_name + strlen(e.prefix);
  const char *colon;
  if (*p == '[') {
    const char *close = strchr(p, ']');
    if (!close || close[1] != ':') return false;
    host->assign(p + 1, static_cast<size_t>(close - p - 1));
    colon = close + 1;
  } else {
    colon = strrchr(p, ':');
    if (!colon) return false;
    host->assign(p, static_cast<size_t>(colon - p));
    if (host->find(':') != std::string::npos) return false;   // an IPv6 address wants its brackets
  }
  const char *digits = colon + 1;
  if (host->empty() || !*digits || strlen(digits) > 5) return false;
  for (const char *d = digits; *d; d++)
    if (*d < '0' || *d > '9') return false;
  long n = strtol(digits, nullptr, 10);
  if (n < 1 || n > 65535) return false;
  *port = static_cast<uint16_t>(n);
  return true;
}

const char *stream_name_problem(const char *name) {
  const StreamKindEntry &e = stream_kind_of_name(name);
  if (e.kind == STREAM_TTY) return "A remote port starts with socket:// or rfc2217://";
  const char *p = name + strlen(e.prefix);
  for (const char *c = p; *c; c++)
    if (*c == ' ') return "A remote port name holds no blanks";
  const bool bracketed = *p == '[';
  const char *end = bracketed ? strchr(p, ']') : strrchr(p, ':');
  if (bracketed && !end) return "An IPv6 address is written [ADDRESS]:PORT";
  if (!end) return "A remote port ends in :PORT, a TCP port of 1 to 65535";
  if (end == p + (bracketed ? 1 : 0)) return "A remote port is socket://HOST:PORT or rfc2217://HOST:PORT";
  bool zone = false;   // after the '%' of an IPv6 address: an interface's name
  for (const char *c = p + (bracketed ? 1 : 0); c < end; c++) {
    bool digit = *c >= '0' && *c <= '9';
    bool letter = (*c >= 'a' && *c <= 'z') || (*c >= 'A' && *c <= 'Z');
    bool hex = digit || (*c >= 'a' && *c <= 'f') || (*c >= 'A' && *c <= 'F');
    bool fits = bracketed ? (zone ? digit || letter || *c == '.' || *c == '-' || *c == '_'
                                  : hex || *c == ':' || *c == '.' || *c == '%')
                          : digit || letter || *c == '.' || *c == '-' || *c == '_';
    zone = zone || (bracketed && *c == '%');
    if (!bracketed && *c == ':') return "An IPv6 address is written [ADDRESS]:PORT";
    if (!fits) return bracketed ? "An IPv6 address holds hex digits, ':' and '.'"
                                : "A host name holds letters, digits, '.', '-' and '_'";
  }
  const char *colon = bracketed ? end + 1 : end;
  if (*colon != ':' || !colon[1]) return "A remote port ends in :PORT, a TCP port of 1 to 65535";
  std::string host;
  uint16_t port = 0;
  if (!stream_split_address(name, &host, &port)) return "The TCP port must be a number from 1 to 65535";
  return nullptr;
}

bool sport_open(SerialPort *port, const char *list_name, const PortSettings &settings, const StreamWait &wait) {
  const StreamKindEntry &e = stream_kind_of_name(list_name ? list_name : "");
  port->kind = e.kind;
  port->note[0] = 0;
  return e.open(port, list_name ? list_name : "", settings, wait);
}

void sport_close(SerialPort *port) { entry_of(port).close(port); }

bool sport_is_open(const SerialPort *port) { return port && port->fd >= 0; }
bool sport_apply(SerialPort *port, const PortSettings &settings) { return entry_of(port).apply(port, settings); }
int sport_read(SerialPort *port, uint8_t *buffer, int size) { return entry_of(port).read(port, buffer, size); }
int sport_write(SerialPort *port, const uint8_t *data, int length) {
  return entry_of(port).write(port, data, length);
}
int sport_output_queued(const SerialPort *port) { return entry_of(port).output_queued(port); }
int sport_input_queued(const SerialPort *port) { return entry_of(port).input_queued(port); }
unsigned sport_caps(const SerialPort *port) { return entry_of(port).caps; }
bool sport_settle(SerialPort *port, const StreamWait &wait) { return entry_of(port).settle(port, wait); }
