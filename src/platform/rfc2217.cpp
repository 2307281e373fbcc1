#include "platform/rfc2217.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

using namespace telnet;

namespace {

enum TelnetRx : uint8_t { TN_DATA, TN_IAC, TN_WILL, TN_WONT, TN_DO, TN_DONT, TN_SB, TN_SB_DATA, TN_SB_IAC };

// The options we speak, as indexes of the codec's us[] and him[].
enum : int { IX_BINARY, IX_SGA, IX_COM_PORT, IX_NONE = -1 };

int option_index(uint8_t option) {
  switch (option) {
    case OPT_BINARY: return IX_BINARY;
    case OPT_SGA: return IX_SGA;
    case OPT_COM_PORT: return IX_COM_PORT;
    default: return IX_NONE;
  }
}

void put(Rfc2217Codec &c, const uint8_t *bytes, size_t n) {
  if (c.out_length + n > Rfc2217Codec::OUT_SIZE) {
    c.out_overflow = true;
    return;
  }
  memcpy(c.out + c.out_length, bytes, n);
  c.out_length = static_cast<uint16_t>(c.out_length + n);
}

void put_option(Rfc2217Codec &c, uint8_t verb, uint8_t option) {
  const uint8_t b[3] = {IAC, verb, option};
  put(c, b, sizeof b);
}

// IAC SB COM-PORT-OPTION command value... IAC SE, a 0xFF in the value doubled.
void put_command(Rfc2217Codec &c, uint8_t command, const uint8_t *value, size_t n) {
  uint8_t b[4 + 2 * 4 + 2];
  size_t k = 0;
  b[k++] = IAC;
  b[k++] = SB;
  b[k++] = OPT_COM_PORT;
  b[k++] = command;
  for (size_t i = 0; i < n && i < 4; i++) {
    b[k++] = value[i];
    if (value[i] == IAC) b[k++] = IAC;
  }
  b[k++] = IAC;
  b[k++] = SE;
  put(c, b, k);
}

void put_byte_command(Rfc2217Codec &c, uint8_t command, uint8_t value) { put_command(c, command, &value, 1); }

void send_line(Rfc2217Codec &c) {
  const Rfc2217Line &l = c.asked;
  const uint8_t baud[4] = {static_cast<uint8_t>(l.baud >> 24), static_cast<uint8_t>(l.baud >> 16),
                           static_cast<uint8_t>(l.baud >> 8), static_cast<uint8_t>(l.baud)};
  put_command(c, CPC_SET_BAUDRATE, baud, sizeof baud);
  put_byte_command(c, CPC_SET_DATASIZE, l.data_size);
  put_byte_command(c, CPC_SET_PARITY, l.parity);
  put_byte_command(c, CPC_SET_STOPSIZE, l.stop_size);
  put_byte_command(c, CPC_SET_CONTROL, l.flow);
  if (l.raise_dtr_rts) {
    put_byte_command(c, CPC_SET_CONTROL, CPF_DTR_ON);
    if (l.flow != CPF_HARDWARE) put_byte_command(c, CPC_SET_CONTROL, CPF_RTS_ON);
  }
  c.expected = ANSWER_BAUD | ANSWER_DATASIZE | ANSWER_PARITY | ANSWER_STOPSIZE | ANSWER_CONTROL;
  c.answered = 0;
  c.control_refused = false;
  c.line_pending = false;
}

void option_agreed(Rfc2217Codec &c, int ix) {
  if (ix == IX_COM_PORT && c.line_pending) send_line(c);
}

// The server will (or will not) do an option on its side.
void on_will(Rfc2217Codec &c, uint8_t option) {
  int ix = option_index(option);
  // The far end acting as a com-port client makes no sense: refused too.
  if (ix == IX_NONE || ix == IX_COM_PORT) {
    put_option(c, DONT, option);
    return;
  }
  if (c.him[ix] == SIDE_NO) put_option(c, DO, option);   // its own offer: taken
  c.him[ix] = SIDE_YES;
}

void on_wont(Rfc2217Codec &c, uint8_t option) {
  int ix = option_index(option);
  if (ix == IX_NONE) return;   // already off: no answer, or we would loop
  if (c.him[ix] == SIDE_YES) put_option(c, DONT, option);
  c.him[ix] = SIDE_NO;
}

void on_do(Rfc2217Codec &c, uint8_t option) {
  int ix = option_index(option);
  if (ix == IX_NONE) {
    put_option(c, WONT, option);
    return;
  }
  if (c.us[ix] == SIDE_NO) put_option(c, WILL, option);
  bool newly = c.us[ix] != SIDE_YES;
  c.us[ix] = SIDE_YES;
  if (ix == IX_COM_PORT) c.com_refused = false;
  if (newly) option_agreed(c, ix);
}

void on_dont(Rfc2217Codec &c, uint8_t option) {
  int ix = option_index(option);
  if (ix == IX_NONE) return;
  if (c.us[ix] == SIDE_YES) put_option(c, WONT, option);
  c.us[ix] = SIDE_NO;
  if (ix == IX_COM_PORT) {
    c.com_refused = true;
    c.line_pending = false;
    c.expected = 0;
  }
}

// An answer of the server to one of our SET-* commands.
void on_subnegotiation(Rfc2217Codec &c) {
  if (c.sb_overflow || c.sb_option != OPT_COM_PORT || c.sb_length < 2) return;
  if (c.sb[0] < CPC_SERVER_OFFSET) return;   // a request of the server's: not for a client
  uint8_t command = static_cast<uint8_t>(c.sb[0] - CPC_SERVER_OFFSET);
  const uint8_t *v = c.sb + 1;
  size_t n = c.sb_length - 1u;
  uint16_t bit = 0;
  switch (command) {
    case CPC_SET_BAUDRATE:
      if (n < 4) return;
      c.got.baud = uint32_t(v[0]) << 24 | uint32_t(v[1]) << 16 | uint32_t(v[2]) << 8 | v[3];
      bit = ANSWER_BAUD;
      break;
    case CPC_SET_DATASIZE: c.got.data_size = v[0]; bit = ANSWER_DATASIZE; break;
    case CPC_SET_PARITY: c.got.parity = v[0]; bit = ANSWER_PARITY; break;
    case CPC_SET_STOPSIZE: c.got.stop_size = v[0]; bit = ANSWER_STOPSIZE; break;
    case CPC_SET_CONTROL:
      // The answers to DTR and RTS say nothing about the flow asked.
      if (v[0] < CPF_NONE || v[0] > CPF_HARDWARE) return;
      c.got.flow = v[0];
      bit = ANSWER_CONTROL;
      break;
    default:
      return;   // line and modem state notices, the signature
  }
  c.answered |= bit;
  c.expected &= static_cast<uint16_t>(~bit);
}

const char *parity_name(uint8_t p) {
  switch (p) {
    case CPP_NONE: return "none";
    case CPP_ODD: return "odd";
    case CPP_EVEN: return "even";
    case CPP_MARK: return "mark";
    case CPP_SPACE: return "space";
    default: return "?";
  }
}

const char *flow_name(uint8_t f) {
  switch (f) {
    case CPF_NONE: return "no flow control";
    case CPF_XON_XOFF: return "XON/XOFF";
    case CPF_HARDWARE: return "RTS/CTS";
    default: return "?";
  }
}

struct NoteBuilder {
  char *text;
  size_t size;
  size_t used = 0;
  void add(const char *format, ...) __attribute__((format(printf, 2, 3)));
};

void NoteBuilder::add(const char *format, ...) {
  if (used >= size) return;
  if (used > 0) {
    int n = snprintf(text + used, size - used, ", ");
    used += n > 0 ? static_cast<size_t>(n) : 0;
    if (used >= size) return;
  }
  va_list ap;
  va_start(ap, format);
  int n = vsnprintf(text + used, size - used, format, ap);
  va_end(ap);
  used += n > 0 ? static_cast<size_t>(n) : 0;
}

}  // namespace

void rfc2217_start(Rfc2217Codec &c) {
  put_option(c, WILL, OPT_BINARY);
  put_option(c, DO, OPT_BINARY);
  put_option(c, WILL, OPT_SGA);
  put_option(c, DO, OPT_SGA);
  put_option(c, WILL, OPT_COM_PORT);
  c.us[IX_BINARY] = c.us[IX_SGA] = c.us[IX_COM_PORT] = SIDE_WANT_YES;
  c.him[IX_BINARY] = c.him[IX_SGA] = SIDE_WANT_YES;
}

bool rfc2217_set_line(Rfc2217Codec &c, const Rfc2217Line &line) {
  if (c.com_refused) return false;
  c.asked = line;
  if (c.us[IX_COM_PORT] != SIDE_YES) {
    c.line_pending = true;
    return true;
  }
  send_line(c);
  return true;
}

void rfc2217_purge(Rfc2217Codec &c, uint8_t which) {
  if (c.us[IX_COM_PORT] == SIDE_YES) put_byte_command(c, CPC_PURGE_DATA, which);
}

size_t rfc2217_receive(Rfc2217Codec &c, const uint8_t *in, size_t n, uint8_t *data) {
  size_t k = 0;
  for (size_t i = 0; i < n; i++) {
    uint8_t b = in[i];
    switch (c.state) {
      case TN_DATA:
        if (b == IAC)
          c.state = TN_IAC;
        else
          data[k++] = b;
        break;
      case TN_IAC:
      command:
        c.state = TN_DATA;
        switch (b) {
          case IAC: data[k++] = IAC; break;
          case WILL: c.state = TN_WILL; break;
          case WONT: c.state = TN_WONT; break;
          case DO: c.state = TN_DO; break;
          case DONT: c.state = TN_DONT; break;
          case SB: c.state = TN_SB; break;
          default: break;   // NOP, GA, a stray SE and the like carry nothing for us
        }
        break;
      case TN_WILL: on_will(c, b); c.state = TN_DATA; break;
      case TN_WONT: on_wont(c, b); c.state = TN_DATA; break;
      case TN_DO: on_do(c, b); c.state = TN_DATA; break;
      case TN_DONT: on_dont(c, b); c.state = TN_DATA; break;
      case TN_SB:
        c.sb_option = b;
        c.sb_length = 0;
        c.sb_overflow = false;
        c.state = TN_SB_DATA;
        break;
      case TN_SB_DATA:
      sb_byte:
        if (b == IAC && c.state == TN_SB_DATA) {
          c.state = TN_SB_IAC;
          break;
        }
        c.state = TN_SB_DATA;
        if (c.sb_length < Rfc2217Codec::SB_SIZE)
          c.sb[c.sb_length++] = b;
        else
          c.sb_overflow = true;
        break;
      case TN_SB_IAC:
        if (b == IAC) goto sb_byte;   // a doubled 0xFF inside the value
        if (b == SE) {
          on_subnegotiation(c);
          c.state = TN_DATA;
          break;
        }
        // IAC and a command inside a subnegotiation: it was cut off. The
        // command is taken as it stands.
        goto command;
      default:
        c.state = TN_DATA;
        break;
    }
  }
  return k;
}

size_t rfc2217_escape(const uint8_t *in, size_t n, uint8_t *out) {
  size_t k = 0;
  for (size_t i = 0; i < n; i++) {
    out[k++] = in[i];
    if (in[i] == IAC) out[k++] = IAC;
  }
  return k;
}

bool rfc2217_agreed(const Rfc2217Codec &c) { return c.us[IX_COM_PORT] == SIDE_YES; }

bool rfc2217_settled(const Rfc2217Codec &c) {
  if (c.com_refused) return true;
  return rfc2217_agreed(c) && !c.line_pending && c.expected == 0;
}

void rfc2217_note(const Rfc2217Codec &c, char *text, size_t size) {
  if (!size) return;
  text[0] = 0;
  if (c.com_refused) {
    snprintf(text, size, "server refused the COM-PORT-OPTION: the far port keeps its own settings");
    return;
  }
  if (!rfc2217_agreed(c)) {
    snprintf(text, size, "server did not answer the COM-PORT-OPTION: line settings unconfirmed");
    return;
  }
  if (c.line_pending || c.expected) {
    snprintf(text, size, "server did not confirm the line settings");
    return;
  }
  char list[160] = "";
  NoteBuilder note{list, sizeof list};
  const Rfc2217Line &a = c.asked, &g = c.got;
  if (g.baud != a.baud) note.add("%lu baud (asked %lu)", static_cast<unsigned long>(g.baud),
                                 static_cast<unsigned long>(a.baud));
  if (g.data_size != a.data_size) note.add("%u data bits (asked %u)", g.data_size, a.data_size);
  if (g.parity != a.parity) note.add("parity %s (asked %s)", parity_name(g.parity), parity_name(a.parity));
  if (g.stop_size != a.stop_size) note.add("%u stop bits (asked %u)", g.stop_size, a.stop_size);
  if (g.flow != a.flow) note.add("%s (asked %s)", flow_name(g.flow), flow_name(a.flow));
  if (list[0]) snprintf(text, size, "far port at %s", list);
}
