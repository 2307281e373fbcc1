#include "proto/gateway.h"

#include <chrono>

#include "proto/gateway_msg.h"
#include "proto/serial.h"

namespace {

bool gateway_link(const LinkHandle *link) { return link_valid(link) && serial_channel(link); }

GatewayRoute &remembered(LinkHandle *link) { return serial_channel(link)->remembered_route; }

void set_awaiting(LinkHandle *link, uint16_t value) {
  std::lock_guard<std::mutex> g(link->lock);
  serial_channel(link)->awaiting_reply = value;
}

// A packet for the next command, lines left from earlier commands dropped.
Packet *take_packet(LinkHandle *link) {
  drop_stale_replies(link);
  return request_packet(link);
}

void send_line(LinkHandle *link, Packet *p, int length) {
  p->length = static_cast<uint16_t>(length);
  set_awaiting(link, 1);
  queue_transmit(link, p);
}

// Waits for a lone CR, giving back every other line; each such line forgets
// the route when `forget_on_other` is set. The packet that carried the CR,
// or null with `timeout_text` (or the idle abort's). Other lines use up the
// time-out as silence would: a device that keeps talking must not hold the
// wait for good.
Packet *await_ack(LinkHandle *link, const char *timeout_text, bool forget_on_other) {
  link_set_error(link, "%s", timeout_text);
  auto give_up = std::chrono::steady_clock::now() + std::chrono::milliseconds(LINK_WAIT_STEP_MS * link->reply_timeout);
  for (;;) {
    Packet *r = wait_reply(link, link->reply_timeout);
    if (!r) break;
    if (gateway_is_ack(r->data, r->length)) {
      set_awaiting(link, 0);
      return r;
    }
    packet_put(link, &free_packets, r);
    if (forget_on_other) gateway_forget(remembered(link));
    if (std::chrono::steady_clock::now() >= give_up) break;
  }
  set_awaiting(link, 0);
  if (!link->idle_aborted) link_set_error(link, "%s", timeout_text);
  return nullptr;
}

// One "R" for up to a line's worth of registers; false with the reason set.
bool read_chunk(LinkHandle *link, Packet *p, int first, int count, uint16_t *values) {
  send_line(link, p, gateway_read_line(reinterpret_cast<char *>(p->data), PACKET_DATA_SIZE, first, count));
  link_set_error(link, "No reply to R command");
  Packet *r = wait_reply(link, link->reply_timeout);
  set_awaiting(link, 0);
  if (!r) {
    if (!link->idle_aborted) link_set_error(link, "No reply to R command");
    gateway_forget(remembered(link));
    return false;
  }
  int stored = gateway_parse_values(r->data, r->length, count, values);
  packet_put(link, &free_packets, r);
  if (stored < count) {
    // Most often the gateway's own refusal ("ERROR 112" after it lost the
    // route): select it again with the next command.
    link_set_error(link, "Read reply too short");
    gateway_forget(remembered(link));
    return false;
  }
  return true;
}

}  // namespace

LinkHandle *open_gateway_serial(const char *port_name, const uint16_t *address_block, IdleCallback idle,
                                int idle_user) {
  LinkHandle *link = serial_open(port_name, 0, address_block, 1, idle, idle_user);
  if (!link) return nullptr;
  std::lock_guard<std::mutex> g(link->lock);   // the reader runs already
  link->kind = TRANSPORT_GATEWAY;
  SerialChannel *ch = serial_channel(link);
  ch->framing_mode = FRAMING_GATEWAY;
  gateway_forget(ch->remembered_route);
  return link;
}

bool gateway_reopen(LinkHandle *link) {
  bool was_lost = serial_port_lost(link);
  bool open = serial_reopen(link);
  if (was_lost && open) gateway_forget(remembered(link));
  return open;
}

bool gateway_select_route(LinkHandle *link, Packet **packet) {
  {
    std::lock_guard<std::mutex> g(link->lock);
    serial_channel(link)->framing_mode = FRAMING_GATEWAY;
  }
  if (gateway_same_route(remembered(link), link->route_count, link->route)) return true;
  gateway_remember(remembered(link), link->route_count, link->route);
  Packet *p = *packet;
  send_line(link, p, gateway_route_line(reinterpret_cast<char *>(p->data), PACKET_DATA_SIZE, link->route,
                                        link->route_count));
  *packet = await_ack(link, "No valid reply to A command", false);
  if (*packet) return true;
  // Unanswered, the route is not known to be in use.
  gateway_forget(remembered(link));
  return false;
}

int gateway_read(LinkHandle *link, int first, int count, uint16_t *values) {
  if (count == 0 || !gateway_link(link)) return 0;
  if (static_cast<long>(first) + count - 1 > GATEWAY_LAST_REGISTER) {
    link_set_error(link, "Gateway can't read status portion");
    return 0;
  }
  Packet *p = take_packet(link);
  if (!p || !gateway_select_route(link, &p)) return 0;
  for (int done = 0; done < count;) {
    int n = count - done < GATEWAY_READ_CHUNK ? count - done : GATEWAY_READ_CHUNK;
    if (!p && !(p = take_packet(link))) return 0;
    bool ok = read_chunk(link, p, first + done, n, values + done);
    p = nullptr;   // sent: it went back to the pool
    if (!ok) return 0;
    done += n;
  }
  return count;
}

int gateway_write(LinkHandle *link, int first, int count, const uint16_t *values) {
  if (!gateway_link(link)) return 0;
  if (static_cast<long>(first) + count - 1 > GATEWAY_LAST_REGISTER) {
    link_set_error(link, "Gateway can't write status portion");
    return 0;
  }
  Packet *p = take_packet(link);
  if (!p || !gateway_select_route(link, &p)) return 0;
  for (int done = 0; done < count;) {
    if (!p && !(p = take_packet(link))) return 0;
    int taken = 0;
    int length = gateway_write_line(reinterpret_cast<char *>(p->data), PACKET_DATA_SIZE, first + done, count - done,
                                    values + done, &taken);
    send_line(link, p, length);
    p = await_ack(link, "No valid reply to W command", true);
    if (!p) {
      gateway_forget(remembered(link));
      return 0;
    }
    packet_put(link, &free_packets, p);
    p = nullptr;
    done += taken;
  }
  return count;
}
