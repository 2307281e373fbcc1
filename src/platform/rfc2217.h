// The client side of Telnet with the COM-PORT-OPTION (RFC 2217) as a byte-fed
// codec with no I/O: the stream that owns the socket feeds it what arrived
// and sends what it queues, so a test drives it byte for byte.
//   rfc2217_start      the opening requests: WILL/DO BINARY, WILL/DO
//                      SUPPRESS-GO-AHEAD, WILL COM-PORT-OPTION
//   rfc2217_set_line   rate, data bits, parity, stop bits, flow (and DTR/RTS
//                      raised) as SET-* commands; held until the server has
//                      agreed to the option, dropped when it refused it
//   rfc2217_purge      PURGE-DATA (1 receive, 2 transmit, 3 both)
//   rfc2217_receive    strips the Telnet layer from received bytes: data
//                      bytes out (IAC IAC is one 0xFF), requests answered
//                      (an option we do not speak is refused with DONT or
//                      WONT; one we asked for is not answered again, so no
//                      loop), the server's answers to SET-* kept
//   rfc2217_escape     data to send with every 0xFF doubled
//   rfc2217_settled    every SET-* sent has its answer, or the option was
//                      refused (nothing more will come)
//   rfc2217_note       what the far port did not take, in words ("" when all
//                      was taken as asked)
// Queued output collects in out[] until the owner sends it and sets
// out_length to 0. A subnegotiation longer than its buffer is dropped whole.
#pragma once
#include <cstddef>
#include <cstdint>

namespace telnet {
enum : uint8_t {
  SE = 240, SB = 250, WILL = 251, WONT = 252, DO = 253, DONT = 254, IAC = 255,
  OPT_BINARY = 0, OPT_SGA = 3, OPT_COM_PORT = 44,
};
}  // namespace telnet

// COM-PORT-OPTION commands, client to server; the server answers with the
// same code + 100.
enum ComPortCommand : uint8_t {
  CPC_SIGNATURE = 0, CPC_SET_BAUDRATE = 1, CPC_SET_DATASIZE = 2, CPC_SET_PARITY = 3, CPC_SET_STOPSIZE = 4,
  CPC_SET_CONTROL = 5, CPC_NOTIFY_LINESTATE = 6, CPC_NOTIFY_MODEMSTATE = 7, CPC_FLOWCONTROL_SUSPEND = 8,
  CPC_FLOWCONTROL_RESUME = 9, CPC_SET_LINESTATE_MASK = 10, CPC_SET_MODEMSTATE_MASK = 11, CPC_PURGE_DATA = 12,
  CPC_SERVER_OFFSET = 100,
};
// Values of SET-PARITY, SET-STOPSIZE and SET-CONTROL on the wire.
enum ComPortParity : uint8_t { CPP_NONE = 1, CPP_ODD = 2, CPP_EVEN = 3, CPP_MARK = 4, CPP_SPACE = 5 };
enum ComPortControl : uint8_t {
  CPF_NONE = 1, CPF_XON_XOFF = 2, CPF_HARDWARE = 3, CPF_DTR_ON = 8, CPF_DTR_OFF = 9, CPF_RTS_ON = 11, CPF_RTS_OFF = 12,
};
enum ComPortPurge : uint8_t { PURGE_RECEIVE = 1, PURGE_TRANSMIT = 2, PURGE_BOTH = 3 };

// A line as the COM-PORT-OPTION carries it (wire values above).
struct Rfc2217Line {
  uint32_t baud = 9600;
  uint8_t data_size = 8;
  uint8_t parity = CPP_NONE;
  uint8_t stop_size = 1;
  uint8_t flow = CPF_NONE;
  bool raise_dtr_rts = true;   // DTR on, and RTS on unless the flow is hardware
};

// The answers kept, by command: bit (1 << command) of `answered`.
enum : uint16_t {
  ANSWER_BAUD = 1u << CPC_SET_BAUDRATE, ANSWER_DATASIZE = 1u << CPC_SET_DATASIZE,
  ANSWER_PARITY = 1u << CPC_SET_PARITY, ANSWER_STOPSIZE = 1u << CPC_SET_STOPSIZE,
  ANSWER_CONTROL = 1u << CPC_SET_CONTROL,
};

// Q-method state of one side of an option (RFC 1143, without the queue bit).
enum OptionSide : uint8_t { SIDE_NO, SIDE_YES, SIDE_WANT_YES, SIDE_WANT_NO };

struct Rfc2217Codec {
  static constexpr size_t OUT_SIZE = 256;
  static constexpr size_t SB_SIZE = 32;

  uint8_t state = 0;
  // Ours (WILL/WONT) and the server's (DO/DONT answers to our WILL, WILL to
  // our DO) for BINARY, SGA and COM-PORT-OPTION, in that order.
  uint8_t us[3] = {SIDE_NO, SIDE_NO, SIDE_NO};
  uint8_t him[3] = {SIDE_NO, SIDE_NO, SIDE_NO};
  bool com_refused = false;

  uint8_t sb_option = 0;
  uint8_t sb[SB_SIZE] = {};
  uint8_t sb_length = 0;
  bool sb_overflow = false;

  bool line_pending = false;   // asked before the option was agreed
  Rfc2217Line asked;
  uint16_t expected = 0;       // ANSWER_* bits of the SET-* sent and not answered
  uint16_t answered = 0;
  Rfc2217Line got;             // the server's answers
  bool control_refused = false;  // flow asked, a different one answered

  uint8_t out[OUT_SIZE] = {};
  uint16_t out_length = 0;
  bool out_overflow = false;   // more queued than out[] holds (dropped)
};

void rfc2217_start(Rfc2217Codec &c);
// False when the server refused the option (nothing is sent).
bool rfc2217_set_line(Rfc2217Codec &c, const Rfc2217Line &line);
void rfc2217_purge(Rfc2217Codec &c, uint8_t which);
// Data bytes written to data (room for n is enough); returns their count.
size_t rfc2217_receive(Rfc2217Codec &c, const uint8_t *in, size_t n, uint8_t *data);
// Escapes in[0..n) into out (room for 2 * n is enough); returns its length.
size_t rfc2217_escape(const uint8_t *in, size_t n, uint8_t *out);
bool rfc2217_settled(const Rfc2217Codec &c);
bool rfc2217_agreed(const Rfc2217Codec &c);
void rfc2217_note(const Rfc2217Codec &c, char *text, size_t size);
