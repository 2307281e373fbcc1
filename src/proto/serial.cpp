#include "proto/serial.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <new>

#include "platform/port_wait.h"
#include "platform/signals.h"
#include "proto/framing.h"

namespace {

// How long a reader whose poll fails rests before it looks at its stop flag
// again: it must neither spin nor miss a close.
constexpr auto FAILED_POLL_REST = std::chrono::milliseconds(10);
// Reads per wake-up, so that a far end that never pauses cannot hold back
// the acknowledgements the pump has to send.
constexpr int READS_PER_WAKE = 64;
// Over a network the bytes of one frame may come with gaps between them (a
// terminal server sends what it has after a few character times, the
// network adds its own): only a gap this long is taken for the line's
// silence.
constexpr uint32_t NETWORK_SILENCE_US = 300000;
// What the answer to a frame may take beyond the line's time when a
// network lies between: the round trip and a terminal server's wait for
// more bytes before it sends (ser2net waits up to 20 ms).
constexpr uint32_t NETWORK_ALLOWANCE_US = 25000;
// How often a reader that lends its port's input looks for a hang-up.
constexpr int64_t LENT_HANGUP_LOOK_US = 250000;

thread_local char open_failure[PORT_NOTE_SIZE] = "";

// The link whose reader thread this is: a kick from inside the reader needs
// no wake-up, the loop pumps after every pass.
thread_local LinkHandle *reader_link = nullptr;

void give_back(PacketQueue *queue) {
  while (Packet *p = queue_take(queue)) queue_put(&free_packets, p);
}

// Lock held. Everything the link still holds goes back to the pool.
void release_packets(SerialChannel *ch) {
  give_back(&ch->rx_queue);
  give_back(&ch->tx_queue);
  queue_put(&free_packets, ch->rx_packet);
  ch->rx_packet = nullptr;
  queue_put(&free_packets, ch->tx_packet);
  ch->tx_packet = nullptr;
  framing_release(ch);
  ch->tx_length = 0;
  ch->rx_active = false;
}

// Lock held. The far end is gone: close the port (a vanished device must not
// be held open) and stop reading and writing it; the waiting side learns it
// at once instead of after its time-out.
void mark_dead(LinkHandle *link) {
  SerialChannel *ch = serial_channel(link);
  if (ch->dead) return;
  ch->dead = true;
  release_packets(ch);
  {
    std::lock_guard<std::mutex> pg(ch->port_lock);
    sport_close(&ch->port);
  }
  link->reply_arrived.notify_all();
}

void consume(SerialChannel *ch, unsigned done) {
  if (done >= ch->tx_length) {
    ch->tx_length = 0;
  } else if (done > 0) {
    memmove(ch->tx_buffer, ch->tx_buffer + done, ch->tx_length - done);
    ch->tx_length = static_cast<uint16_t>(ch->tx_length - done);
  }
}

// Fills the transmit buffer from the framer under the link's lock and writes
// it under the port lock alone: a write that drains the line with RTS raised
// by hand may take a while, and the main thread must not wait for it.
// One thread pumps at a time: the reader thread, a caller sending its
// request itself (queue_transmit), or a test without a reader. Whoever
// finds another pumping leaves it to that one, which takes up what was
// queued meanwhile before it stops. Only the reader closes a failed port: a
// caller's failed write leaves that to it (port_failed).
// A caller writes with the link's lock held (`hold`): the reply may be in
// before the write returns, and the reader must not take it for the answer
// to an earlier request while this one still counts as unsent.
// Called and returning with `lk` (the link's lock) held.
void pump_locked(LinkHandle *link, std::unique_lock<std::mutex> &lk, unsigned bytes_done, bool hold) {
  SerialChannel *ch = serial_channel(link);
  bool may_close = reader_link == link || !ch->reader_running;
  if (ch->writing) return;
  consume(ch, bytes_done);
  for (;;) {
    if (ch->dead) {
      ch->tx_length = 0;
      return;
    }
    int64_t now = monotonic_us();
    ch->now_us = now;
    int64_t written_free = ch->line_free_us;
    uint16_t limit = ch->chunk_size < SERIAL_BUFFER_SIZE ? ch->chunk_size : SERIAL_BUFFER_SIZE;
    transmit_framer_fill(link, written_free, limit);
    if (ch->tx_length == 0 || !sport_is_open(&ch->port) || ch->port_failed) {
      ch->line_free_us = written_free;
      return;
    }
    ch->writing = true;
    uint16_t length = ch->tx_length;
    if (!hold) lk.unlock();
    int n, queued = 0;
    {
      // With the link's lock held the port is this pump's alone: whoever
      // else uses it holds that lock too, or is a pump writing with it let
      // go (`writing`), and no pump starts while one writes.
      std::unique_lock<std::mutex> pg(ch->port_lock, std::defer_lock);
      if (!hold) pg.lock();
      n = sport_write(&ch->port, ch->tx_buffer, length);
      if (n >= 0 && !ch->port.no_output_queue) queued = sport_output_queued(&ch->port);
    }
    if (!hold) lk.lock();
    ch->writing = false;
    if (n < 0) {
      if (may_close)
        mark_dead(link);
      else
        ch->port_failed = true;
      return;
    }
    // A pty or a USB adapter takes the bytes at once and reports none
    // queued: the line is still busy with them for their character times.
    int64_t sent_free = (written_free > now ? written_free : now) + int64_t(n) * ch->char_us;
    int64_t queued_free = now + int64_t(queued) * ch->char_us;
    ch->line_free_us = sent_free > queued_free ? sent_free : queued_free;
    if (n == 0) return;   // the port is full: the reader waits until it takes more
    consume(ch, static_cast<unsigned>(n));
    // All written and nothing more to frame: no second fill.
    if (ch->tx_length == 0 && !ch->tx_packet && !ch->tx_queue.head) return;
  }
}

void pump(LinkHandle *link, unsigned bytes_done) {
  std::unique_lock<std::mutex> lk(link->lock);
  pump_locked(link, lk, bytes_done, false);
}

// Lock held. The caller may use the port itself, without the reader
// thread: the reader runs and this is not it, the port works, and its
// writes return at once (port_for_callers: a remote stream's reading and
// writing share its codec, so only the reader uses it; a write that raises
// RTS by hand drains the line, too long to hold the lock). Every framing
// lets the caller write its request; a Modbus caller also reads its reply
// as it waits for it (wait_step, where the system lets the reader leave
// the port's input alone: port_wait_lends_input), so a request and its
// reply cost no thread switch. Its framer's only timing is the line's
// silence, which whoever reads keeps (last_rx_us). Sy/Max and gateway
// replies are read by the reader; what the Sy/Max framer times after a
// request (the fill bytes of its acknowledgement wait) the reader learns in
// time (pump_due_unseen).
bool port_usable(const SerialChannel *ch) { return !ch->dead && !ch->port_failed && ch->port_for_callers; }
bool not_the_reader(LinkHandle *link, const SerialChannel *ch) {
  return ch->reader_running && reader_link != link;
}
bool modbus_framing(const SerialChannel *ch) {
  return ch->framing_mode == FRAMING_MODBUS_RTU || ch->framing_mode == FRAMING_MODBUS_ASCII;
}

// Lock held. Nothing on its way out: the caller may write its request now.
bool nothing_going_out(const SerialChannel *ch) { return !ch->writing && ch->tx_length == 0 && !ch->tx_packet; }

bool caller_may_send(LinkHandle *link, const SerialChannel *ch) {
  return not_the_reader(link, ch) && port_usable(ch) && nothing_going_out(ch);
}

// Lock held. Whether the port's input is free for a waiting caller to read:
// every request is out. While the reader sends one (a request held back,
// written with the lock let go) the reader reads: a reply that came before
// the write returned would otherwise be taken for an earlier request's.
bool input_free_for_callers(const SerialChannel *ch) {
  return port_wait_lends_input() && modbus_framing(ch) && port_usable(ch) && nothing_going_out(ch) &&
         !ch->tx_queue.head;
}

bool caller_reads(LinkHandle *link, const SerialChannel *ch) {
  return not_the_reader(link, ch) && input_free_for_callers(ch);
}

// Lock held. Whether the reader leaves the port's input to the callers and
// only looks for a hang-up: nothing for it to wait out either (a reply
// still owed), so nothing but a caller's wait wants the input. A request it
// is handed wakes it, and it reads again.
bool reader_lends_input(const SerialChannel *ch) { return input_free_for_callers(ch) && ch->reply_owed_until_us == 0; }

// Lock held. When the framer wants a pump although nothing happens on the
// port (monotonic_us time), -1 for never.
int64_t framer_pump_due(LinkHandle *link, const SerialChannel *ch) {
  const FramerSlot *slot = framer_slot(ch->framing_mode);
  return slot && slot->pump_due_us ? slot->pump_due_us(link) : -1;
}

// Lock held. What the caller's pump left for the reader thread: bytes the
// port did not take, a request held back, a failed read or write. A frame
// that waits with a timed byte due later (a Sy/Max frame awaiting its
// acknowledgement) is not: the reader learns when (pump_due_unseen).
bool left_for_reader(LinkHandle *link, SerialChannel *ch) {
  if (ch->port_failed || ch->tx_length > 0 || ch->tx_queue.head) return true;
  if (!ch->tx_packet) return false;
  if (framer_pump_due(link, ch) < 0) return true;
  ch->pump_due_unseen = true;
  return false;
}

// Lock held. A pump still due that the reader does not know of is its own
// from now on: it is woken to time its wait by it.
void hand_due_to_reader(SerialChannel *ch) {
  if (!ch->pump_due_unseen) return;
  ch->pump_due_unseen = false;
  port_wake_signal(ch->wake);
}

// Lock held. The waiting caller's look at a due the reader does not know
// of: handed over once it has come, forgotten once nothing is due.
void tell_reader_of_due(LinkHandle *link, SerialChannel *ch) {
  if (!ch->pump_due_unseen) return;
  int64_t due = framer_pump_due(link, ch);
  if (due < 0)
    ch->pump_due_unseen = false;
  else if (due <= monotonic_us())
    hand_due_to_reader(ch);
}

// Lock held. Reads what the port has into the receive framer (a bounded
// number of reads, so that a far end that never pauses cannot hold up the
// pump). `hung_up`: the wait told of a hang-up or error. False when the
// far end is gone: end of file, EIO, a hang-up with nothing left to read.
bool read_input(LinkHandle *link, SerialChannel *ch, bool hung_up) {
  for (int reads = 0; reads < READS_PER_WAKE; reads++) {
    int n = sport_read(&ch->port, ch->read_buffer, SERIAL_BUFFER_SIZE);
    if (n > 0) {
      receive_framer_bytes(link, ch->read_buffer, static_cast<size_t>(n));
      ch->rx_active = true;
      ch->last_rx_us = monotonic_us();
      // A short read took all there was: the next wait says when more
      // comes (or that the port hung up), without an empty read.
      if (n < SERIAL_BUFFER_SIZE) return true;
      continue;
    }
    return n == 0 && !hung_up;
  }
  return true;
}

// Lock held. Whether the line fell silent after some bytes: none for the
// silence's time, and none waiting in the port either (a wait that ended
// late is no silence: bytes that came meanwhile belong to the frame).
bool line_fell_silent(SerialChannel *ch) {
  return ch->rx_active && monotonic_us() >= ch->last_rx_us + ch->silence_us &&
         (ch->dead || sport_input_queued(&ch->port) == 0);
}

// Lock held. The line fell silent after some bytes: the receiver learns it.
void take_silence(LinkHandle *link, SerialChannel *ch) {
  ch->rx_active = false;
  line_silent(link);
}

// Lock held. Before a caller's request goes out: what came in since the
// last exchange (a late reply, noise) goes through the receiver now, before
// the request counts as sent, so it is not taken for the request's reply.
// A look that finds the port empty stands for the look at its queue.
// False when the port failed.
bool take_waiting_input(LinkHandle *link, SerialChannel *ch) {
  int64_t before = ch->last_rx_us;
  unsigned got = port_wait_input(&ch->port, 0);
  if ((got & (PORT_WAIT_READABLE | PORT_WAIT_HANGUP | PORT_WAIT_FAILED)) &&
      !read_input(link, ch, got & PORT_WAIT_HANGUP))
    return false;
  if (ch->rx_active && ch->last_rx_us == before && monotonic_us() >= before + ch->silence_us) take_silence(link, ch);
  return true;
}

void reader_main(LinkHandle *link) {
  plat_block_exit_signals();   // the main thread takes them and gives the terminal back
  reader_link = link;
  SerialChannel *ch = serial_channel(link);
  bool lent = false;
  while (!ch->stop.load()) {
    int64_t due = -1;
    unsigned watch = 0;
    bool watch_port;
    {
      std::unique_lock<std::mutex> lk(link->lock);
      if (ch->port_failed) {
        ch->port_failed = false;
        mark_dead(link);
      }
      ch->reader_awake = false;
      ch->pump_due_unseen = false;   // the wait below is timed by the framer's due
      if (ch->kick_owed) {
        ch->kick_owed = false;
        pump_locked(link, lk, 0, false);
      }
      // A caller waiting while this thread sent its request reads from now on.
      if (!lent && input_free_for_callers(ch)) link->reply_arrived.notify_all();
      lent = reader_lends_input(ch);
      if (!lent) watch |= PORT_WATCH_READ;
      if (ch->tx_length > 0 && !ch->writing) watch |= PORT_WATCH_WRITE;
      watch_port = !ch->dead;
      const FramerSlot *slot = framer_slot(ch->framing_mode);
      if (!ch->dead) due = framer_pump_due(link, ch);
      // Wake when the line falls silent: it ends an RTU frame, and a request
      // held back while a frame came in goes out then. Input lent to the
      // callers is timed by them.
      if (!lent && ch->rx_active && slot && (slot->line_silent || ch->tx_queue.head)) {
        int64_t silent_at = ch->last_rx_us + ch->silence_us;
        if (due < 0 || silent_at < due) due = silent_at;
      }
    }
    int64_t wait = -1;
    if (due >= 0) {
      wait = due - monotonic_us();
      if (wait < 0) wait = 0;
    }
    // Only this thread marks the port dead, and nobody else replaces it while
    // it is alive: it may be waited on outside the lock. Input lent to the
    // callers is not waited on: a second waiter on the port's queues slows
    // every exchange of theirs (a tenth of a Modbus RTU exchange over a
    // pty). The port is looked at for a hang-up between waits instead, so a
    // device unplugged while nothing is asked of it is let go within that
    // time and comes back under its own name.
    unsigned got;
    if (watch_port && lent) {
      got = port_wait(nullptr, 0, ch->wake, LENT_HANGUP_LOOK_US);
      if (!(got & (PORT_WAIT_WOKEN | PORT_WAIT_FAILED))) got |= port_wait(&ch->port, 0, nullptr, 0);
    } else {
      got = port_wait(watch_port ? &ch->port : nullptr, watch, ch->wake, wait);
    }
    if (got & PORT_WAIT_FAILED) {
      // Without a working wait nothing more is read: the port counts as
      // gone, so operations fail at once instead of waiting out their
      // time-out, and a later reopen starts afresh.
      {
        std::lock_guard<std::mutex> g(link->lock);
        mark_dead(link);
      }
      std::this_thread::sleep_for(FAILED_POLL_REST);
      continue;
    }
    if (ch->stop.load()) break;

    bool wake_waiter;
    {
      std::lock_guard<std::mutex> g(link->lock);
      ch->reader_holds_lock = true;
      ch->reader_awake = true;
      // A hang-up with bytes still there: they are read (a lent port's
      // too: its caller may not be waiting), then the port is closed.
      if (watch_port && !ch->dead && (got & (PORT_WAIT_READABLE | PORT_WAIT_HANGUP)) &&
          !read_input(link, ch, got & PORT_WAIT_HANGUP))
        mark_dead(link);
      serial_trace_settle(ch);
      if (!lent && line_fell_silent(ch)) take_silence(link, ch);
      ch->reader_holds_lock = false;
      wake_waiter = ch->waiter_due;
      ch->waiter_due = false;
    }
    if (wake_waiter) link->reply_arrived.notify_all();
    pump(link, 0);
  }
  reader_link = nullptr;
}

void init_channel(LinkHandle *link, SerialChannel *ch, int wide) {
  link->tag = LINK_TAG;
  link->kind = TRANSPORT_SYMAX;
  link->reply_timeout = LINK_DEFAULT_TIMEOUT;
  link->idle = idle_continue;
  link->channel_kind = CHANNEL_SERIAL;
  link->channel = ch;
  ch->framing_mode = FRAMING_SYMAX;
  ch->chunk_size = wide ? SERIAL_BUFFER_SIZE : SYMAX_IO_SIZE;
  ch->port.settings.rts_toggle = wide != 0;
  ch->char_us = sport_char_us(ch->port.settings);
}

// The line's timing as the stream keeps it, and whether a Modbus caller
// may exchange on it alone (lock held, or no reader yet).
void set_timing(SerialChannel *ch) {
  const PortSettings &s = ch->port.settings;
  ch->char_us = sport_char_us(s);
  ch->silence_us = static_cast<uint32_t>((4u * s.baud + 153996u) / s.baud) * 1000u;
  unsigned caps = sport_caps(&ch->port);
  if (!(caps & STREAM_LINE_TIMING) && ch->silence_us < NETWORK_SILENCE_US) ch->silence_us = NETWORK_SILENCE_US;
  ch->network_allowance_us = caps & STREAM_NETWORK ? NETWORK_ALLOWANCE_US : 0;
  ch->port_for_callers = !sport_write_drains(&ch->port) && !(caps & STREAM_NETWORK);
}

// Lock held. What ends a reply wait: a reply queued, the port gone, a
// framer ending the wait.
bool reply_wait_over(const LinkHandle *link, const SerialChannel *ch) {
  return ch->rx_queue.head || ch->dead || link->wait_ended;
}

// Lock held (in `lk`). The caller reads the port until its step ends
// (`end_us`) or the wait is over, timing the line's silence itself. A port
// that fails is left to the reader to close.
void read_for_reply(LinkHandle *link, SerialChannel *ch, std::unique_lock<std::mutex> &lk, int64_t end_us,
                    int64_t now_us = -1) {
  const FramerSlot *slot = framer_slot(ch->framing_mode);
  while (!reply_wait_over(link, ch) && caller_reads(link, ch)) {
    int64_t now = now_us >= 0 ? now_us : monotonic_us();
    now_us = -1;
    if (now >= end_us) return;
    bool timing = ch->rx_active && slot && slot->line_silent;
    int64_t until = end_us;
    if (timing && ch->last_rx_us + ch->silence_us < until) until = ch->last_rx_us + ch->silence_us;
    // Only the reader closes the port, and it says so in `dead` under the
    // lock: this waits on the descriptor the port had when the lock was
    // let go, and a close meanwhile ends the wait (or the step) early.
    SerialPort port;
    port.fd = ch->port.fd;
    port.input_watch = ch->port.input_watch;
    lk.unlock();
    unsigned got = port_wait_input(&port, until > now ? until - now : 0);
    lk.lock();
    if (!caller_reads(link, ch)) return;   // gone meanwhile, or the reader's again
    int64_t last_rx_us = ch->last_rx_us;
    bool failed = (got & PORT_WAIT_FAILED) != 0;
    if (!failed && (got & (PORT_WAIT_READABLE | PORT_WAIT_HANGUP)))
      failed = !read_input(link, ch, got & PORT_WAIT_HANGUP);
    if (failed) {
      ch->port_failed = true;
      port_wake_signal(ch->wake);
      return;
    }
    serial_trace_settle(ch);
    // Bytes just read are no silence; a wait that brought none may end one.
    if (timing && ch->last_rx_us == last_rx_us && line_fell_silent(ch)) take_silence(link, ch);
  }
}

// One step of the shared reply wait. The caller reads the reply itself
// while it may (caller_reads), else the reader thread tells it, or tells
// it when the input is the caller's again.
WaitStep wait_step(LinkHandle *link, void *, int max_ms) {
  // The wait's first look, of no time: wait_reply has just looked.
  if (max_ms <= 0) return WAIT_STEP_NOTHING;
  SerialChannel *ch = serial_channel(link);
  std::unique_lock<std::mutex> lk(link->lock);
  int64_t end_us = monotonic_us() + int64_t{max_ms} * 1000;
  while (!reply_wait_over(link, ch)) {
    int64_t left = end_us - monotonic_us();
    if (left <= 0) break;
    if (caller_reads(link, ch)) {
      read_for_reply(link, ch, lk, end_us);
      continue;
    }
    // A pump the reader does not know is due: the caller wakes for it and
    // tells the reader (the far end's acknowledgement usually comes first).
    if (ch->pump_due_unseen) {
      int64_t due = framer_pump_due(link, ch);
      if (due >= 0 && due < end_us) left = due - monotonic_us();
    }
    link->reply_arrived.wait_for(lk, std::chrono::microseconds(left > 0 ? left : 0),
                                 [&] { return reply_wait_over(link, ch) || caller_reads(link, ch); });
    tell_reader_of_due(link, ch);
  }
  return reply_wait_over(link, ch) ? WAIT_STEP_DONE : WAIT_STEP_NOTHING;
}

}  // namespace

bool serial_set_route(LinkHandle *link, int net_to_net, const uint16_t *block) {
  uint16_t count = block ? block[0] : 0;
  if (!net_to_net) {
    link->route_count = count > LINK_MAX_DROPS ? LINK_MAX_DROPS : count;
    for (int i = 0; i < LINK_MAX_DROPS; i++) link->route[i] = block ? block[1 + i] : 0;
    return true;
  }
  // Net-to-net: one more drop in front, derived from the first one given.
  if (count > LINK_MAX_DROPS - 1) return false;
  uint16_t d = block ? block[1] : 0;
  link->route[0] = static_cast<uint16_t>(d < 100 ? d + 100 : d - 100);
  for (int i = 1; i < LINK_MAX_DROPS; i++) link->route[i] = block ? block[i] : 0;
  link->route_count = static_cast<uint16_t>(count + 1);
  return true;
}

int64_t monotonic_us() {
  return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

LinkHandle *serial_link_alloc(int wide) {
  LinkHandle *link = new (std::nothrow) LinkHandle;
  if (!link) return nullptr;
  SerialChannel *ch = new (std::nothrow) SerialChannel;
  if (!ch) {
    delete link;
    return nullptr;
  }
  init_channel(link, ch, wide);
  return link;
}

void serial_link_free(LinkHandle *link) { serial_close(link); }

const char *serial_open_failure() { return open_failure; }

void serial_port_note(LinkHandle *link, char *text, size_t size) {
  if (!size) return;
  text[0] = 0;
  SerialChannel *ch = serial_channel(link);
  if (!ch) return;
  std::lock_guard<std::mutex> g(link->lock);
  snprintf(text, size, "%s", ch->port.note);
}

LinkHandle *serial_open(const char *port_name, int net_to_net, const uint16_t *address_block, int wide,
                        IdleCallback idle, int idle_user) {
  open_failure[0] = 0;
  LinkHandle *link = serial_link_alloc(wide);
  if (!link) return nullptr;
  SerialChannel *ch = serial_channel(link);
  ch->net_to_net = net_to_net ? 1 : 0;
  ch->port_name = port_name ? port_name : "";
  StreamWait wait;
  wait.step = idle;
  wait.user = idle_user;
  if (!serial_set_route(link, net_to_net, address_block) ||
      !sport_open(&ch->port, port_name, ch->port.settings, wait)) {
    snprintf(open_failure, sizeof open_failure, "%s", ch->port.note);
    serial_link_free(link);
    return nullptr;
  }
  set_timing(ch);
  // Small bursts keep an acknowledgement owed from waiting behind a frame on
  // the line. A pty has no line: a frame goes in one write, as the far end
  // would read it whole.
  if (ch->port.no_output_queue) ch->chunk_size = SERIAL_BUFFER_SIZE;
  ch->origin = sport_origin(port_name);
  ch->wake = port_wake_create();
  if (!ch->wake) {
    serial_link_free(link);
    return nullptr;
  }
  pool_grow(3);
  ch->reader_running = true;
  try {
    ch->reader = std::thread(reader_main, link);
  } catch (...) {
    ch->reader_running = false;
    serial_link_free(link);
    return nullptr;
  }
  return link;
}

LinkHandle *open_symax_serial(const char *port_name, int net_to_net, const uint16_t *address_block,
                              IdleCallback idle, int idle_user) {
  LinkHandle *link = serial_open(port_name, net_to_net, address_block, 0, idle, idle_user);
  if (link) {
    std::lock_guard<std::mutex> g(link->lock);   // the reader runs already
    link->kind = TRANSPORT_SYMAX;
    serial_channel(link)->framing_mode = FRAMING_SYMAX;
  }
  return link;
}

void serial_close(LinkHandle *link) {
  if (!link) return;
  if (SerialChannel *ch = serial_channel(link)) {
    if (ch->reader_running) {
      ch->stop = true;
      port_wake_signal(ch->wake);
      if (ch->reader.joinable()) ch->reader.join();
      ch->reader_running = false;
    }
    port_wake_destroy(ch->wake);
    ch->wake = nullptr;
    {
      std::lock_guard<std::mutex> g(link->lock);
      release_packets(ch);
      std::lock_guard<std::mutex> pg(ch->port_lock);
      sport_close(&ch->port);
    }
    delete ch;
  }
  link->channel = nullptr;
  link->channel_kind = CHANNEL_NONE;
  link->tag = 0;
  delete link;
}

void serial_set_port(LinkHandle *link, unsigned baud, int parity, int stop_bits, int data_bits) {
  SerialChannel *ch = serial_channel(link);
  if (!ch) return;
  std::lock_guard<std::mutex> g(link->lock);
  std::lock_guard<std::mutex> pg(ch->port_lock);
  PortSettings s = ch->port.settings;
  if (baud > 0) s.baud = baud;   // a rate of 0 would leave no line at all
  if (parity >= PARITY_NONE && parity <= PARITY_MARK) s.parity = parity;
  s.data_bits = data_bits == 7 ? 7 : 8;
  s.stop_bits = stop_bits == 2 ? 2 : 1;
  if (sport_is_open(&ch->port)) sport_apply(&ch->port, s);   // refusals are not reported
  ch->port.settings = s;
  set_timing(ch);
}

bool serial_port_lost(LinkHandle *link) {
  SerialChannel *ch = serial_channel(link);
  if (!ch) return false;
  std::lock_guard<std::mutex> g(link->lock);
  return ch->dead;
}

bool serial_reopen(LinkHandle *link) {
  SerialChannel *ch = serial_channel(link);
  if (!ch) return false;
  if (!ch->dead.load(std::memory_order_acquire)) return true;   // the common case, before every operation
  PortSettings settings;
  {
    std::lock_guard<std::mutex> g(link->lock);
    if (!ch->dead) return true;
    settings = ch->port.settings;
  }
  // The device may be back under its name (an adapter plugged in again, a
  // peer that made its port anew, a server up again): open it with the
  // settings it had. Connecting to a server turns the link's idle callback.
  if (!sport_may_reopen(ch->port_name.c_str(), ch->origin)) return false;
  SerialPort fresh;
  StreamWait wait;
  wait.step = link->idle;
  wait.user = link->idle_user;
  if (!sport_open(&fresh, ch->port_name.c_str(), settings, wait)) return false;
  ch->origin = sport_origin(ch->port_name.c_str());
  {
    std::lock_guard<std::mutex> g(link->lock);
    std::lock_guard<std::mutex> pg(ch->port_lock);
    ch->port = fresh;
    ch->dead = false;
    set_timing(ch);   // another device may have come under the name
  }
  transmit_kick(link);   // the reader polls the new port from now on
  return true;
}

namespace {

// Lock held (in `lk`). Queues the packet, and writes it at once where the
// caller may (caller_may_send); true when the reader thread needs a kick.
bool queue_locked(LinkHandle *link, std::unique_lock<std::mutex> &lk, Packet *packet, bool *sent = nullptr) {
  SerialChannel *ch = serial_channel(link);
  // Nothing can be sent to a far end that is gone: keep the pool whole.
  queue_put(ch->dead ? &free_packets : &ch->tx_queue, packet);
  bool direct = caller_may_send(link, ch);
  if (direct && port_wait_lends_input() && modbus_framing(ch) && !take_waiting_input(link, ch)) {
    ch->port_failed = true;
    direct = false;
  }
  if (direct) {
    serial_trace_settle(ch);   // a reply's line goes before the next request
    pump_locked(link, lk, 0, true);
    direct = !left_for_reader(link, ch);
    if (sent) *sent = direct;
  }
  // An awake reader pumps again before it sleeps.
  if (!direct && ch->reader_awake && reader_link != link) {
    ch->kick_owed = true;
    direct = true;
  }
  return !direct;
}

}  // namespace

int queue_transmit(LinkHandle *link, Packet *packet) {
  bool kick;
  {
    std::unique_lock<std::mutex> lk(link->lock);
    kick = queue_locked(link, lk, packet);
  }
  if (kick) transmit_kick(link);
  return 1;
}

namespace {

// Lock held. The request request_exchange sent is over, with its reply `r`
// or without: no reply is awaited from now on. A wait given up before its
// reply was in leaves the line the device's until the reply is in or its
// time is up: with no transaction number that answer would pass for the
// next request's.
void end_request(LinkHandle *link, SerialChannel *ch, const Packet *r) {
  ch->awaiting_reply = 0;
  if (!r && link->idle_aborted) ch->reply_owed_until_us = ch->request_sent_us + int64_t{link->reply_timeout} * 10000;
}

// The oldest received message, as wait_reply; `ends_request`: the request
// request_exchange sent is over then. `wait_begun`: its first step was
// taken as the request went out, and a framer may have ended it meanwhile.
Packet *await_message(LinkHandle *link, unsigned tries, bool ends_request, bool wait_begun = false) {
  SerialChannel *ch = serial_channel(link);
  if (!ch) return nullptr;
  link->idle_aborted = false;
  {
    std::lock_guard<std::mutex> g(link->lock);
    Packet *p = queue_take(&ch->rx_queue);
    if (p || tries == 0 || ch->dead || (wait_begun && link->wait_ended)) {
      hand_due_to_reader(ch);
      if (ends_request) end_request(link, ch, p);
      return p;
    }
  }
  // A network's round trip comes on top of the far end's time.
  unsigned allowance = (ch->network_allowance_us + LINK_WAIT_STEP_MS * 1000 - 1) / (LINK_WAIT_STEP_MS * 1000);
  link_reply_wait(link, tries + allowance, wait_step, nullptr);
  // One more look: a reply may have come with the last step. The caller
  // stops waiting: a due the reader does not know of is its own now.
  std::lock_guard<std::mutex> g(link->lock);
  hand_due_to_reader(ch);
  Packet *p = queue_take(&ch->rx_queue);
  if (ends_request) end_request(link, ch, p);
  return p;
}

}  // namespace

Packet *request_exchange(LinkHandle *link, Packet *packet, unsigned tries) {
  SerialChannel *ch = serial_channel(link);
  bool kick, wait_begun = false;
  {
    std::unique_lock<std::mutex> lk(link->lock);
    ch->awaiting_reply = 1;
    give_back(&ch->rx_queue);
    link->wait_ended.store(false, std::memory_order_release);   // this request's wait: a framer may end it now
    bool sent = false;
    kick = queue_locked(link, lk, packet, &sent);
    ch->request_sent_us = sent ? ch->now_us : monotonic_us();   // the pump's clock as it wrote
    // Written by this caller, which reads the reply itself: the first step
    // of its wait follows the write at once. Whatever runs between the two
    // holds the far end's answer up: its read, its reply and its wake-up
    // wait for this thread to sleep.
    if (sent && caller_reads(link, ch)) {
      int64_t end_us = ch->now_us + LINK_WAIT_STEP_MS * 1000;
      read_for_reply(link, ch, lk, end_us, ch->now_us);
      if (ch->rx_queue.head) {   // the reply came with that step: the exchange is over
        link->idle_aborted = false;
        Packet *reply = queue_take(&ch->rx_queue);
        end_request(link, ch, reply);
        return reply;
      }
      wait_begun = true;
      // A step waited out counts as one of the wait's tries.
      if (!reply_wait_over(link, ch) && monotonic_us() >= end_us && tries > 0) tries--;
    }
  }
  if (kick) transmit_kick(link);
  return await_message(link, tries, true, wait_begun);
}

void transmit_kick(LinkHandle *link) {
  SerialChannel *ch = serial_channel(link);
  if (reader_link == link || !ch->reader_running) return;
  port_wake_signal(ch->wake);
}

void transmit_pump(LinkHandle *link, unsigned bytes_done) { pump(link, bytes_done); }

Packet *wait_reply(LinkHandle *link, unsigned tries) { return await_message(link, tries, false); }

void flush_queues(LinkHandle *link) {
  SerialChannel *ch = serial_channel(link);
  std::lock_guard<std::mutex> g(link->lock);
  give_back(&ch->rx_queue);
  give_back(&ch->tx_queue);
}

void drop_stale_replies(LinkHandle *link) {
  while (Packet *stale = wait_reply(link, 0)) packet_put(link, &free_packets, stale);
}

Packet *request_packet(LinkHandle *link) {
  Packet *p = packet_take(link, &free_packets);
  if (!p) {
    link_set_error(link, "Buffer shortage, try again");
    flush_queues(link);
  }
  return p;
}
