#include "proto/modbus_tcp.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <new>
#include <thread>

#include "proto/frame_trace.h"
#include "proto/modbus_msg.h"

namespace {

constexpr size_t STALE_CHUNK = 256;

struct ErrorEntry {
  int error;
  const char *text;
  bool reconnect;
};

// The failures a connection can meet, in the program's words.
constexpr ErrorEntry socket_errors[] = {
    {EFAULT, "Buffer overflow or protection fault", false},
    {ENOTSOCK, "Handle corruption S", false},
    {EMSGSIZE, "Reply message too large", false},
    {ENETDOWN, "The network subsystem has failed", false},
    {ENETRESET, "Connection broken by keep-alive failure", true},
    {ECONNABORTED, "Circuit terminated by time-out or failure", true},
    {ECONNRESET, "Circuit reset by peer", true},
    {EPIPE, "Circuit reset by peer", true},
    {ENOTCONN, "The socket is not connected", true},
    {ETIMEDOUT, "Connection dropped by network or peer failure", true},
};

unsigned connect_steps(unsigned timeout) { return timeout < TCP_CONNECT_MAX_STEPS ? timeout : TCP_CONNECT_MAX_STEPS; }

// A new connection to the same peer, bounded like the first one. Until one
// is made the channel stays marked, and the next exchange tries again.
bool reconnect(LinkHandle *link, TcpChannel *ch) {
  tcp_disconnect(ch->fd);
  ch->input_length = 0;
  ch->in_step = false;
  IdleCallback idle;
  int user;
  {
    std::lock_guard<std::mutex> g(link->lock);
    idle = link->idle;
    user = link->idle_user;
  }
  TcpConnectResult result;
  ch->fd = tcp_connect(ch->peer, connect_steps(link->reply_timeout), idle, user, &result);
  ch->reconnect_due = ch->fd < 0;
  if (result == TCP_ABORTED) {
    link->idle_aborted = true;
    link_set_error(link, "Application idle abort");
  }
  return ch->fd >= 0;
}

// The exchange has failed with its text set; the next one is to find a new
// connection, whatever this attempt at one meets.
void reconnect_after(LinkHandle *link, TcpChannel *ch) {
  char kept[LINK_ERROR_TEXT_SIZE];
  snprintf(kept, sizeof kept, "%s", link->error_text);
  reconnect(link, ch);
  link->idle_aborted = false;
  link_set_error(link, "%s", kept);
}

void socket_failure(LinkHandle *link, TcpChannel *ch, int error, const char *prefix) {
  if (tcp_error_text(error, prefix, link->error_text, sizeof link->error_text)) reconnect_after(link, ch);
}

// Input left over from earlier exchanges goes (when the stream is not known
// to be in step); a stream found ended or reset is made anew before the
// request is sent.
bool ready_to_send(LinkHandle *link, TcpChannel *ch) {
  if (ch->fd >= 0 && !ch->reconnect_due) {
    if (ch->in_step) return true;
    if (ch->input_length > 0 && frame_trace_on())
      frame_trace(TRACE_RX, TRACE_TCP, ch->input, static_cast<size_t>(ch->input_length));
    ch->input_length = 0;
    uint8_t junk[STALE_CHUNK];
    long n;
    while ((n = tcp_recv(ch->fd, junk, sizeof junk)) > 0) {
      if (frame_trace_on()) frame_trace(TRACE_RX, TRACE_TCP, junk, static_cast<size_t>(n));
    }
    if (n == -EAGAIN) return true;
  }
  if (reconnect(link, ch)) return true;
  if (!link->idle_aborted) tcp_error_text(ENOTCONN, "Send ", link->error_text, sizeof link->error_text);
  return false;
}

struct ReplyReader {
  TcpChannel *ch = nullptr;
  uint8_t buffer[MBAP_REPLY_BUFFER] = {};
  int got = 0;
  bool ended = false;    // the peer closed: nothing more can come
  bool ended_unanswered = false;   // ... before any byte of the reply
  int error = 0;         // a receive failed with this errno
  bool too_long = false;
};

// The length of the frame at the start of the channel's input once it is
// all there, else 0; -1 for a frame that would overrun the reply buffer.
int whole_frame(const TcpChannel *ch) {
  if (ch->input_length < MBAP_HEADER) return 0;
  int wanted = mbap_reply_length(ch->input);
  if (wanted == 0) return -1;
  return ch->input_length >= wanted ? wanted : 0;
}

// The frame at the start of the input into the reader's buffer.
void take_frame(ReplyReader &r, int length) {
  TcpChannel *ch = r.ch;
  memcpy(r.buffer, ch->input, static_cast<size_t>(length));
  r.got = length;
  ch->input_length -= length;
  if (ch->input_length > 0) memmove(ch->input, ch->input + length, static_cast<size_t>(ch->input_length));
}

// One step of the shared reply wait: whatever the socket has, up to the
// room in the input. A reply usually comes in one piece: it is taken in the
// step that sees it, so a prompt reply costs no second wait (nor an idle
// call between its halves). Bytes after it stay for the next frame.
WaitStep read_step(LinkHandle *, void *context, int max_ms) {
  ReplyReader &r = *static_cast<ReplyReader *>(context);
  TcpChannel *ch = r.ch;
  int frame = whole_frame(ch);
  if (frame != 0) {
    if (frame < 0)
      r.too_long = true;
    else
      take_frame(r, frame);
    return WAIT_STEP_DONE;
  }
  if (r.ended) {
    // The time-out still runs out, a step at a time, without spinning.
    if (max_ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(max_ms));
    return WAIT_STEP_NOTHING;
  }
  // The wait's first look comes right after the send: a reply cannot be
  // there yet, and the next step's poll sees it the moment it is.
  if (max_ms == 0 && ch->input_length == 0) return WAIT_STEP_NOTHING;
  if (max_ms > 0 && !tcp_wait_readable(ch->fd, max_ms)) return WAIT_STEP_NOTHING;
  bool came = false;
  for (;;) {
    int room = static_cast<int>(sizeof ch->input) - ch->input_length;
    long n = tcp_recv(ch->fd, ch->input + ch->input_length, static_cast<size_t>(room));
    if (n == -EAGAIN) break;
    if (n < 0) {
      r.error = static_cast<int>(-n);
      return WAIT_STEP_DONE;
    }
    if (n == 0) {
      r.ended = true;
      r.ch->reconnect_due = true;
      if (!came && ch->input_length == 0) {
        r.ended_unanswered = true;
        return WAIT_STEP_DONE;
      }
      break;
    }
    came = true;
    ch->input_length += static_cast<int>(n);
    frame = whole_frame(ch);
    if (frame < 0) {
      r.too_long = true;
      return WAIT_STEP_DONE;
    }
    if (frame > 0) {
      take_frame(r, frame);
      return WAIT_STEP_DONE;
    }
    // A short read took all there was; a full one may have left more.
    if (n < room) break;
  }
  return came ? WAIT_STEP_PROGRESS : WAIT_STEP_NOTHING;
}

// One whole reply frame into r.buffer; false with the reason set (or, for
// a stream that ended before any byte came, r.ended_unanswered).
bool receive_reply(LinkHandle *link, TcpChannel *ch, ReplyReader &r) {
  r = ReplyReader{};
  r.ch = ch;
  WaitResult waited = link_reply_wait(link, link->reply_timeout, read_step, &r);
  if (r.got > 0 && frame_trace_on()) frame_trace(TRACE_RX, TRACE_TCP, r.buffer, static_cast<size_t>(r.got));
  switch (waited) {
    case WAIT_TIMED_OUT:
      link_set_error(link, "Reply timeout");
      return false;
    case WAIT_ABORTED:
      return false;
    case WAIT_DONE:
      break;
  }
  if (r.ended_unanswered) return false;
  if (r.error) {
    socket_failure(link, ch, r.error, "Recv ");
    return false;
  }
  if (r.too_long) {
    // Reading on would overrun the buffer, and skipping the rest would
    // leave the stream out of step: refuse it and connect anew.
    link_set_error(link, "Recv Reply message too large");
    reconnect_after(link, ch);
    return false;
  }
  return true;
}

// Sends the framed request; false with the reason set.
bool send_request(LinkHandle *link, TcpChannel *ch, const uint8_t *frame, int length) {
  if (!ready_to_send(link, ch)) return false;
  if (frame_trace_on()) frame_trace(TRACE_TX, TRACE_TCP, frame, static_cast<size_t>(length));
  if (int error = tcp_send(ch->fd, frame, static_cast<size_t>(length))) {
    socket_failure(link, ch, error, "Send ");
    return false;
  }
  return true;
}

int exchange(LinkHandle *link, const uint8_t *pdu, int pdu_length, int count, uint16_t *values) {
  TcpChannel *ch = tcp_channel(link);
  if (!link_valid(link) || !ch || count == 0) return 0;
  link->idle_aborted = false;
  uint8_t unit = static_cast<uint8_t>(link->route[0]);
  uint8_t frame[MBAP_FRAME_MAX];
  uint16_t transaction = ++ch->transaction_counter;
  int length = mbap_frame(frame, transaction, unit, pdu, pdu_length);
  // Only an exchange that takes its whole reply leaves the stream in step.
  bool reused = ch->fd >= 0 && !ch->reconnect_due;
  if (!send_request(link, ch, frame, length)) return 0;
  ch->in_step = false;
  // Late replies use up the time-out as silence would: a peer repeating an
  // old answer without a pause would otherwise hold the wait for good (with
  // input always there, not even the idle callback would run).
  auto give_up = std::chrono::steady_clock::now() + std::chrono::milliseconds(LINK_WAIT_STEP_MS * link->reply_timeout);
  ReplyReader r;
  for (;;) {
    if (!receive_reply(link, ch, r)) {
      if (!r.ended_unanswered) return 0;
      // The peer had ended a connection kept from before: the request went
      // nowhere. Once more on a new connection.
      if (!reused) {
        // The time-out runs out as it does for an ended stream.
        link_reply_wait(link, link->reply_timeout, read_step, &r);
        if (!link->idle_aborted) link_set_error(link, "Reply timeout");
        return 0;
      }
      reused = false;
      if (!send_request(link, ch, frame, length)) return 0;
      continue;
    }
    if (!mbap_reply_is_late(r.buffer, transaction)) break;
    if (std::chrono::steady_clock::now() >= give_up) {
      link_set_error(link, "Reply timeout");
      return 0;
    }
  }
  ch->in_step = ch->input_length == 0;
  return modbus_check_tcp_reply(r.buffer, r.got, unit, pdu[0], count, values, link->error_text,
                                sizeof link->error_text);
}

}  // namespace

TcpChannel *tcp_channel(const LinkHandle *link) {
  if (!link || link->channel_kind != CHANNEL_SOCKET) return nullptr;
  return static_cast<TcpChannel *>(link->channel);
}

bool tcp_error_text(int error, const char *prefix, char *text, size_t size) {
  for (const ErrorEntry &e : socket_errors) {
    if (e.error == error) {
      snprintf(text, size, "%s%s", prefix, e.text);
      return e.reconnect;
    }
  }
  snprintf(text, size, "%s WINSOCK error %d", prefix, error);
  return false;
}

LinkHandle *open_modbus_tcp(const char *host, uint16_t port, uint16_t unit, unsigned steps, IdleCallback idle,
                            int user) {
  TcpChannel *ch = new (std::nothrow) TcpChannel;
  LinkHandle *link = ch ? new (std::nothrow) LinkHandle : nullptr;
  if (!link) {
    delete ch;
    return nullptr;
  }
  ch->transaction_counter = static_cast<uint16_t>(time(nullptr) & 0xFFFF);
  TcpConnectResult result = TCP_REFUSED;
  if (tcp_resolve(host, port, &ch->peer, connect_steps(steps), idle, user))
    ch->fd = tcp_connect(ch->peer, connect_steps(steps), idle, user, &result);
  if (ch->fd < 0) {
    delete ch;
    delete link;
    return nullptr;
  }
  link->kind = TRANSPORT_MODBUS_TCP;
  link->route[0] = unit;
  link->idle = idle_continue;
  link->reply_timeout = LINK_DEFAULT_TIMEOUT;
  link->channel_kind = CHANNEL_SOCKET;
  link->channel = ch;
  link->tag = LINK_TAG;
  return link;
}

void modbus_tcp_close(LinkHandle *link) {
  if (!link) return;
  if (TcpChannel *ch = tcp_channel(link)) {
    tcp_disconnect(ch->fd);
    delete ch;
  }
  link->channel = nullptr;
  link->channel_kind = CHANNEL_NONE;
  link->tag = 0;
  delete link;
}

int modbus_tcp_read(LinkHandle *link, int first, int count, uint16_t *values, uint8_t function) {
  uint8_t pdu[MODBUS_PDU_MAX];
  // A reply is checked to hold every value asked for.
  return exchange(link, pdu, modbus_build_read(pdu, function, first, count), count, values) ? count : 0;
}

int modbus_tcp_write(LinkHandle *link, int first, int count, const uint16_t *values) {
  uint8_t pdu[MODBUS_PDU_MAX];
  return exchange(link, pdu, modbus_build_write(pdu, first, count, values), count, nullptr);
}

int modbus_tcp_write_record(LinkHandle *link, int first, int count, const uint16_t *values) {
  uint8_t pdu[MODBUS_PDU_MAX];
  return exchange(link, pdu, modbus_build_write_record(pdu, first, count, values), count, nullptr);
}
