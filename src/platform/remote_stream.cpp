// The remote byte-stream kinds: a TCP connection to a terminal server, raw
// (socket://) or Telnet with the COM-PORT-OPTION (rfc2217://). The host is
// looked up on a thread of its own and the connect made without blocking,
// both in steps of 10 ms with the caller's step after each, so an open
// never holds up a key for longer than a step.
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "platform/byte_stream.h"
#include "platform/net.h"
#include "platform/rfc2217.h"
#include "platform/signals.h"
#include "platform/stream_impl.h"

struct RemoteStream {
  bool telnet = false;
  Rfc2217Codec codec;
  // Data that came in while only the Telnet layer was looked for (the
  // answers to the line settings), handed out by the next read.
  uint8_t held[512] = {};
  int held_length = 0;
  char line_note[PORT_NOTE_SIZE] = {};   // what the far port did not take
};

namespace {

constexpr int STEP_MS = 10;
// A server that accepts the connection but never answers the negotiation
// does not hold the open longer than this.
constexpr unsigned NEGOTIATION_STEPS = 100;
// A frame this small waits only on a far end that stopped reading.
constexpr int SEND_WAIT_MS = 1000;
constexpr int ESCAPED_CHUNK = 256;   // data bytes escaped per send

// The caller's step, or none: true while the wait goes on.
bool step_on(const StreamWait &wait) { return !wait.step || wait.step(wait.user); }

// ---- the host lookup, on a thread of its own ----

struct Lookup {
  std::mutex lock;
  std::condition_variable finished;
  bool done = false;
  std::vector<NetAddress> found;
};

void look_up(const std::shared_ptr<Lookup> &l, const std::string &host, uint16_t port) {
  plat_block_exit_signals();
  std::vector<NetAddress> found = net_lookup(host, port);
  std::lock_guard<std::mutex> g(l->lock);
  l->found = std::move(found);
  l->done = true;
  l->finished.notify_all();
}

enum OpenOutcome { OPEN_DONE, OPEN_NOT_FOUND, OPEN_REFUSED, OPEN_TIMED_OUT, OPEN_ABORTED, OPEN_FAILED };

// A lookup given up finishes on its thread by itself, its result unused.
OpenOutcome resolve(const std::string &host, uint16_t port, const StreamWait &wait, unsigned *steps_left,
                    std::vector<NetAddress> *found) {
  auto l = std::make_shared<Lookup>();
  try {
    std::thread(look_up, l, host, port).detach();
  } catch (const std::system_error &) {
    return OPEN_FAILED;
  }
  for (;;) {
    {
      std::unique_lock<std::mutex> g(l->lock);
      if (l->finished.wait_for(g, std::chrono::milliseconds(STEP_MS), [&] { return l->done; })) {
        *found = l->found;
        return found->empty() ? OPEN_NOT_FOUND : OPEN_DONE;
      }
    }
    if (*steps_left == 0) return OPEN_TIMED_OUT;
    --*steps_left;
    if (!step_on(wait)) return OPEN_ABORTED;
  }
}

OpenOutcome connect_one(const NetAddress &address, const StreamWait &wait, unsigned *steps_left, int *fd_out) {
  int fd = -1;
  NetResult r = net_connect_start(address, &fd);
  for (;;) {
    if (r == NET_DONE) {
      *fd_out = fd;
      return OPEN_DONE;
    }
    if (r != NET_PENDING) break;
    r = net_wait_connected(fd, STEP_MS);
    if (r != NET_PENDING) continue;
    if (*steps_left == 0) {
      net_close(fd);
      return OPEN_TIMED_OUT;
    }
    --*steps_left;
    if (!step_on(wait)) {
      net_close(fd);
      return OPEN_ABORTED;
    }
  }
  net_close(fd);
  return r == NET_REFUSED ? OPEN_REFUSED : OPEN_FAILED;
}

int send_all(int fd, const uint8_t *data, size_t length) {
  size_t done = 0;
  while (done < length) {
    long n = net_send(fd, data + done, length - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 || !net_wait(fd, true, SEND_WAIT_MS)) return -1;
  }
  net_quick_ack(fd);
  return 0;
}

// What the codec queued (answers to the server, our commands) goes out.
int flush_codec(SerialPort *port) {
  Rfc2217Codec &c = port->remote->codec;
  if (c.out_length == 0) return 0;
  int rc = send_all(port->fd, c.out, c.out_length);
  c.out_length = 0;
  return rc;
}

Rfc2217Line line_of(const PortSettings &s) {
  Rfc2217Line l;
  l.baud = s.baud;
  l.data_size = static_cast<uint8_t>(s.data_bits);
  switch (s.parity) {
    case PARITY_EVEN: l.parity = CPP_EVEN; break;
    case PARITY_ODD: l.parity = CPP_ODD; break;
    case PARITY_SPACE: l.parity = CPP_SPACE; break;
    case PARITY_MARK: l.parity = CPP_MARK; break;
    default: l.parity = CPP_NONE; break;
  }
  l.stop_size = s.stop_bits == 2 ? 2 : 1;
  l.flow = s.cts_flow ? CPF_HARDWARE : s.xon_xoff ? CPF_XON_XOFF : CPF_NONE;
  return l;
}

// The port's note: what the kind cannot do, then what the far port did not
// take. `final`: the wait for the answers is over, silence counts too.
void refresh_note(SerialPort *port, bool final) {
  RemoteStream *r = port->remote;
  if (r->telnet && (final || rfc2217_settled(r->codec))) rfc2217_note(r->codec, r->line_note, sizeof r->line_note);
  const char *cannot = "";
  if (!r->telnet)
    cannot = "raw TCP carries no line settings: the far port keeps its own";
  else if (port->settings.rts_toggle)
    cannot = "RTS on send (RS-485) is left to the far port";
  const char *sep = *cannot && r->line_note[0] ? "; " : "";
  size_t used = 0;
  for (const char *part : {cannot, sep, static_cast<const char *>(r->line_note)}) {
    size_t n = strnlen(part, sizeof port->note - 1 - used);
    memcpy(port->note + used, part, n);
    used += n;
  }
  port->note[used] = 0;
}

// Reads what the socket has into the codec; data goes to `data` (room for
// `size`). Returns data bytes, 0 when nothing more is there, -1 when gone.
int read_socket(SerialPort *port, uint8_t *data, int size) {
  RemoteStream *r = port->remote;
  uint8_t raw[sizeof r->held];
  for (;;) {
    size_t want = static_cast<size_t>(size) < sizeof raw ? static_cast<size_t>(size) : sizeof raw;
    long n = net_recv(port->fd, r->telnet ? raw : data, want);
    if (n <= 0) return static_cast<int>(n);   // 0 nothing there, -1 the server closed the connection
    net_quick_ack(port->fd);
    if (!r->telnet) return static_cast<int>(n);
    uint16_t answered = r->codec.answered;
    bool settled = rfc2217_settled(r->codec);
    size_t k = rfc2217_receive(r->codec, raw, static_cast<size_t>(n), data);
    if (flush_codec(port) != 0) return -1;
    if (r->codec.answered != answered || rfc2217_settled(r->codec) != settled) refresh_note(port, false);
    if (k > 0) return static_cast<int>(k);
    // Only Telnet commands came: look again.
  }
}

// Waits, in steps, until the codec has its answers or the steps run out;
// data that comes meanwhile is held for the next read. 1 settled, 0 not
// in time, -1 the connection was lost, SETTLE_ABORTED given up by the step.
constexpr int SETTLE_ABORTED = -2;
int settle_codec(SerialPort *port, const StreamWait &wait, unsigned steps) {
  RemoteStream *r = port->remote;
  for (unsigned left = steps; !rfc2217_settled(r->codec); left--) {
    if (net_wait(port->fd, false, STEP_MS)) {
      int room = static_cast<int>(sizeof r->held) - r->held_length;
      uint8_t scratch[64];
      // Past the room, data is dropped as an overfull port drops it.
      int got = read_socket(port, room > 0 ? r->held + r->held_length : scratch,
                            room > 0 ? room : static_cast<int>(sizeof scratch));
      if (got < 0) return -1;
      if (room > 0) r->held_length += got;
      continue;
    }
    if (left == 0) break;
    if (!step_on(wait)) return SETTLE_ABORTED;
  }
  refresh_note(port, true);
  return rfc2217_settled(r->codec) ? 1 : 0;
}

const char *outcome_text(OpenOutcome o) {
  switch (o) {
    case OPEN_NOT_FOUND: return "host not found";
    case OPEN_REFUSED: return "connection refused";
    case OPEN_TIMED_OUT: return "no answer from the host";
    case OPEN_ABORTED: return "connecting given up";
    default: return "cannot connect";
  }
}

}  // namespace

bool remote_open(SerialPort *port, const char *list_name, const PortSettings &settings, const StreamWait &wait) {
  std::string host;
  uint16_t tcp_port = 0;
  if (!stream_split_address(list_name, &host, &tcp_port)) {
    snprintf(port->note, sizeof port->note, "%s is not HOST:PORT", list_name);
    return false;
  }
  unsigned steps = wait.steps;
  std::vector<NetAddress> found;
  OpenOutcome o = resolve(host, tcp_port, wait, &steps, &found);
  int fd = -1;
  // A name may stand for several addresses (localhost: ::1 and 127.0.0.1);
  // the server may listen on only one of them.
  for (size_t i = 0; o == OPEN_DONE && i < found.size(); i++) {
    o = connect_one(found[i], wait, &steps, &fd);
    if (o == OPEN_DONE || o == OPEN_ABORTED || o == OPEN_TIMED_OUT) break;
  }
  if (o != OPEN_DONE) {
    snprintf(port->note, sizeof port->note, "%s: %s", list_name, outcome_text(o));
    return false;
  }
  RemoteStream *r = new (std::nothrow) RemoteStream;
  if (!r) {
    net_close(fd);
    return false;
  }
  r->telnet = port->kind == STREAM_RFC2217;
  port->fd = fd;
  port->remote = r;
  port->settings = settings;
  port->manual_rts = false;
  if (r->telnet) {
    rfc2217_start(r->codec);
    rfc2217_set_line(r->codec, line_of(settings));
    // A server that never answers leaves the line as it is and a note.
    int settled = flush_codec(port) != 0 ? -1 : settle_codec(port, wait, steps < NEGOTIATION_STEPS ? steps : NEGOTIATION_STEPS);
    if (settled < 0) {
      remote_close(port);
      snprintf(port->note, sizeof port->note, "%s: %s", list_name,
               settled == SETTLE_ABORTED ? outcome_text(OPEN_ABORTED) : "connection lost");
      return false;
    }
    // What the far end sent before we came is not ours, as at a local open.
    rfc2217_purge(r->codec, PURGE_BOTH);
    r->held_length = 0;
    if (flush_codec(port) != 0) {
      remote_close(port);
      snprintf(port->note, sizeof port->note, "%s: connection lost", list_name);
      return false;
    }
  }
  refresh_note(port, r->telnet);
  return true;
}

void remote_close(SerialPort *port) {
  net_close(port->fd);
  port->fd = -1;
  delete port->remote;
  port->remote = nullptr;
}

int remote_read(SerialPort *port, uint8_t *buffer, int size) {
  RemoteStream *r = port->remote;
  if (port->fd < 0 || !r || size <= 0) return port->fd < 0 || !r ? -1 : 0;
  if (r->held_length > 0) {
    int n = r->held_length < size ? r->held_length : size;
    memcpy(buffer, r->held, static_cast<size_t>(n));
    memmove(r->held, r->held + n, static_cast<size_t>(r->held_length - n));
    r->held_length -= n;
    return n;
  }
  return read_socket(port, buffer, size);
}

int remote_write(SerialPort *port, const uint8_t *data, int length) {
  RemoteStream *r = port->remote;
  if (port->fd < 0 || !r) return -1;
  if (!r->telnet) {
    long n = net_send(port->fd, data, static_cast<size_t>(length));
    if (n > 0) net_quick_ack(port->fd);
    return static_cast<int>(n);
  }
  // Doubled IACs make the bytes on the socket more than the data: a chunk
  // goes out whole, or the stream counts as gone.
  int n = length < ESCAPED_CHUNK ? length : ESCAPED_CHUNK;
  uint8_t escaped[2 * ESCAPED_CHUNK];
  size_t k = rfc2217_escape(data, static_cast<size_t>(n), escaped);
  return send_all(port->fd, escaped, k) == 0 ? n : -1;
}

bool remote_apply(SerialPort *port, const PortSettings &settings) {
  RemoteStream *r = port->remote;
  port->settings = settings;
  if (!r) return true;
  if (r->telnet && rfc2217_set_line(r->codec, line_of(settings)) && flush_codec(port) != 0) return false;
  refresh_note(port, false);
  return true;
}

int remote_output_queued(const SerialPort *) {
  // What the far port still has to send is not known here; the bytes'
  // character times are counted by the writer.
  return 0;
}

int remote_input_queued(const SerialPort *port) {
  return net_pending(port->fd) + (port->remote ? port->remote->held_length : 0);
}

bool remote_settle(SerialPort *port, const StreamWait &wait) {
  if (!port->remote || !port->remote->telnet) return true;
  return settle_codec(port, wait, wait.steps < NEGOTIATION_STEPS ? wait.steps : NEGOTIATION_STEPS) > 0;
}
