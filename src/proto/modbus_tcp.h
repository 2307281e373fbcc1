// Modbus over TCP: one connection per link, driven by the calling thread.
//   open_modbus_tcp      resolves the host (four dotted numbers are used as
//                        they are) and connects within `connect_steps` waits
//                        of about 10 ms (at most 10 s), calling `idle` after
//                        each; the link's first address word is the unit
//   modbus_tcp_close     shutdown both ways, close, free the record
//   modbus_tcp_read      function 3 or 4; the count on success
//   modbus_tcp_write     function 16; 1 on success
//   modbus_tcp_write_record   function 21; 1 on success
//   tcp_error_text       a socket failure in the program's words, and
//                        whether the connection is to be made anew
// On failure 0, with the reason in the link.
//
// An exchange drops stale input (unless the stream is known to be in step:
// the last reply was taken whole and nothing more had come), sends the
// framed request (the transaction counter, which starts at the low 16 bits
// of the time of day, advanced first) and reads the reply through the
// shared reply wait, taking whatever the socket has at once: the socket is
// polled in steps of at most 10 ms, a reply is taken the moment it is there,
// `reply_timeout` steps without input end the wait ("Reply timeout") and the
// idle callback runs after each step. Replies to earlier requests are
// skipped. A reply whose length would overrun the reply buffer is refused
// and the connection made anew, so the stream is in step again; so are
// connections after the socket errors that call for it. A connection the
// peer ended is made anew: before the next request goes out when that is
// seen first, or when the reply to a request on a connection used before
// finds the stream ended before any byte, and the request is sent again.
#pragma once
#include <cstddef>
#include <cstdint>

#include "platform/tcp_socket.h"
#include "proto/link_handle.h"
#include "proto/modbus_msg.h"

struct TcpChannel {
  int fd = -1;
  TcpAddress peer;
  uint16_t transaction_counter = 0;
  bool reconnect_due = false;   // ended or out of step: connect before sending
  // The stream is in step: the last exchange took its whole reply and
  // nothing else was waiting. Otherwise what is waiting goes before the
  // next request is sent.
  bool in_step = false;
  // What was read beyond the reply frame taken last (a frame may follow
  // another in one read).
  uint8_t input[2 * MBAP_REPLY_BUFFER] = {};
  int input_length = 0;
};

// The connect bound: the link's time-out, but never above 10 s.
constexpr unsigned TCP_CONNECT_MAX_STEPS = 1000;

// The socket channel of a link, or null when the link has none.
TcpChannel *tcp_channel(const LinkHandle *link);

LinkHandle *open_modbus_tcp(const char *host, uint16_t port, uint16_t unit, unsigned connect_steps,
                            IdleCallback idle, int user);
void modbus_tcp_close(LinkHandle *link);

int modbus_tcp_read(LinkHandle *link, int first, int count, uint16_t *values, uint8_t function);
int modbus_tcp_write(LinkHandle *link, int first, int count, const uint16_t *values);
int modbus_tcp_write_record(LinkHandle *link, int first, int count, const uint16_t *values);

// Writes prefix + the text for errno `error`; true when the error calls for
// a new connection.
bool tcp_error_text(int error, const char *prefix, char *text, size_t size);
