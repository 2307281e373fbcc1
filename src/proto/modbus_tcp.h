// Modbus over TCP: one connection per link, driven by the calling thread.
//   tcp_channel_open     resolves the host and connects within `steps` waits
//                        of about 10 ms, calling the idle callback; the
//                        transaction counter starts at the low 16 bits of the
//                        time of day
//   tcp_channel_close    shutdown both ways, close
//   modbus_tcp_exchange  one request (a PDU of modbus_msg.h) and its checked
//                        reply: 1, or 0 with the reason in the wait's text
//   tcp_error_text       a socket failure in the program's words, and
//                        whether the connection is to be made anew
//
// An exchange first drops stale input, sends the framed request, then polls
// the socket in steps of at most 10 ms: a reply is taken the moment it is
// there, `timeout` steps without input end the wait ("Reply timeout"), and
// the idle callback runs about every 10 ms (a zero from it aborts). Replies
// to earlier requests are skipped. A reply whose length would overrun the
// reply buffer is refused and the connection made anew, so the stream is in
// step again. A connection found reset or ended is made anew, bounded by the
// same time-out, before the next request goes out.
#pragma once
#include <cstddef>
#include <cstdint>

#include "platform/tcp_socket.h"

struct TcpChannel {
  int fd = -1;
  TcpAddress peer;
  uint16_t transaction_counter = 0;
  bool reconnect_due = false;
};

// What an exchange needs of its link.
struct TcpWait {
  unsigned timeout = 500;            // empty polls of about 10 ms
  int (*idle)(int) = nullptr;        // null: always go on
  int user = 0;
  char *text = nullptr;              // the link's error text
  size_t size = 0;
  bool aborted = false;              // set when the idle callback ended the wait
};

// The connect bound: the link's time-out, but never above 10 s.
constexpr unsigned TCP_CONNECT_MAX_STEPS = 1000;

bool tcp_channel_open(TcpChannel &ch, const char *host, uint16_t port, unsigned steps, int (*idle)(int), int user);
void tcp_channel_close(TcpChannel &ch);

int modbus_tcp_exchange(TcpChannel &ch, TcpWait &wait, uint8_t unit, const uint8_t *pdu, int pdu_length, int count,
                        uint16_t *values);

// Writes prefix + the text for errno `error` into text; true when the error
// calls for a new connection.
bool tcp_error_text(int error, const char *prefix, char *text, size_t size);
