#include "proto/modbus_tcp.h"

#include <poll.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <ctime>

#include "proto/modbus_msg.h"

namespace {

constexpr int STEP_MS = 10;
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

int64_t now_ms() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

unsigned connect_steps(unsigned timeout) { return timeout < TCP_CONNECT_MAX_STEPS ? timeout : TCP_CONNECT_MAX_STEPS; }

void fail(TcpWait &wait, const char *text) { snprintf(wait.text, wait.size, "%s", text); }

bool go_on(TcpWait &wait) {
  if (!wait.idle || wait.idle(wait.user)) return true;
  wait.aborted = true;
  fail(wait, "Application idle abort");
  return false;
}

// A new connection to the same peer, bounded like the first one. Until it
// succeeds the channel stays marked, and the next exchange tries again.
bool reconnect(TcpChannel &ch, TcpWait &wait) {
  tcp_disconnect(ch.fd);
  TcpConnectResult result;
  ch.fd = tcp_connect(ch.peer, connect_steps(wait.timeout), wait.idle, wait.user, &result);
  ch.reconnect_due = ch.fd < 0;
  if (result == TCP_ABORTED) {
    wait.aborted = true;
    fail(wait, "Application idle abort");
  }
  return ch.fd >= 0;
}

// The exchange has failed with the text already set; the next one is to
// find a new connection, whatever this attempt at one meets.
void reconnect_after(TcpChannel &ch, TcpWait &wait) {
  char kept[128];
  snprintf(kept, sizeof kept, "%s", wait.text);
  reconnect(ch, wait);
  wait.aborted = false;
  snprintf(wait.text, wait.size, "%s", kept);
}

// A failed socket call: the text, and a new connection where it calls for one.
void socket_failure(TcpChannel &ch, TcpWait &wait, int error, const char *prefix) {
  if (tcp_error_text(error, prefix, wait.text, wait.size)) reconnect_after(ch, wait);
}

// Input left over from earlier exchanges goes; a stream found ended or reset
// is made anew before the request is sent.
bool ready_to_send(TcpChannel &ch, TcpWait &wait) {
  if (ch.fd >= 0 && !ch.reconnect_due) {
    uint8_t junk[STALE_CHUNK];
    for (;;) {
      long n = tcp_recv(ch.fd, junk, sizeof junk);
      if (n > 0) continue;
      if (n == -EAGAIN) return true;
      break;
    }
  }
  if (reconnect(ch, wait)) return true;
  if (!wait.aborted) tcp_error_text(ENOTCONN, "Send ", wait.text, wait.size);
  return false;
}

// One whole reply frame into buffer; its length, or 0 with the reason set.
int receive_reply(TcpChannel &ch, TcpWait &wait, uint8_t *buffer) {
  int wanted = MBAP_HEADER, got = 0;
  unsigned empty_left = wait.timeout;
  bool ended = false;
  int64_t last_idle = now_ms();
  while (got < wanted) {
    bool progress = false;
    if (ended) {
      poll(nullptr, 0, STEP_MS);   // nothing more can come; the time-out still runs out
    } else if (tcp_wait_readable(ch.fd, STEP_MS)) {
      long n = tcp_recv(ch.fd, buffer + got, static_cast<size_t>(wanted - got));
      if (n > 0) {
        got += static_cast<int>(n);
        progress = true;
      } else if (n == 0) {
        ended = true;
        ch.reconnect_due = true;
      } else if (n != -EAGAIN) {
        socket_failure(ch, wait, static_cast<int>(-n), "Recv ");
        return 0;
      }
    }
    if (!progress) {
      if (empty_left == 0) {
        fail(wait, "Reply timeout");
        return 0;
      }
      empty_left--;
    }
    int64_t now = now_ms();
    if (!progress || now - last_idle >= STEP_MS) {
      last_idle = now;
      if (!go_on(wait)) return 0;
    }
    if (wanted == MBAP_HEADER && got >= MBAP_HEADER) {
      wanted = mbap_reply_length(buffer);
      if (wanted == 0) {
        // Reading on would overrun the buffer, and skipping it would leave
        // the stream out of step: refuse it and start a new connection.
        fail(wait, "Recv Reply message too large");
        reconnect_after(ch, wait);
        return 0;
      }
    }
  }
  return got;
}

}  // namespace

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

bool tcp_channel_open(TcpChannel &ch, const char *host, uint16_t port, unsigned steps, int (*idle)(int), int user) {
  ch.transaction_counter = static_cast<uint16_t>(time(nullptr) & 0xFFFF);
  if (!tcp_resolve(host, port, &ch.peer)) return false;
  TcpConnectResult result;
  ch.fd = tcp_connect(ch.peer, connect_steps(steps), idle, user, &result);
  ch.reconnect_due = false;
  return ch.fd >= 0;
}

void tcp_channel_close(TcpChannel &ch) {
  tcp_disconnect(ch.fd);
  ch.fd = -1;
}

int modbus_tcp_exchange(TcpChannel &ch, TcpWait &wait, uint8_t unit, const uint8_t *pdu, int pdu_length, int count,
                        uint16_t *values) {
  wait.aborted = false;
  uint8_t frame[MBAP_FRAME_MAX];
  uint16_t transaction = ++ch.transaction_counter;
  int length = mbap_frame(frame, transaction, unit, pdu, pdu_length);
  if (!ready_to_send(ch, wait)) return 0;
  if (int error = tcp_send(ch.fd, frame, static_cast<size_t>(length))) {
    socket_failure(ch, wait, error, "Send ");
    return 0;
  }
  uint8_t reply[MBAP_REPLY_BUFFER];
  for (;;) {
    int got = receive_reply(ch, wait, reply);
    if (got == 0) return 0;
    if (mbap_reply_is_late(reply, transaction)) continue;
    return modbus_check_tcp_reply(reply, got, unit, pdu[0], count, values, wait.text, wait.size);
  }
}
