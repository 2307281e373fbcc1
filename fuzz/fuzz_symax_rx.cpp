// Sy/Max receive framing, on the bare machines (proto/symax_framer.h) and on
// a link's channel beside them, with the transmit side answering as the
// reader thread would.
// Input: a flags byte, the transaction byte the link expects, then either
//   - raw line bytes (flags bit 2 clear): fed one by one to both, the
//     transmit side run after each (bit 3: a request is in flight, so
//     acknowledgements, refusals and enquiries meet a frame waiting for
//     its acknowledgement; bit 4: the pools are empty, so frames are
//     refused for want of a packet);
//   - a frame description (bit 2 set): a route length byte, the route, and
//     the data; the frame is built here the long way, fed, and must arrive
//     whole and be acknowledged; sent by the bare transmitter it must be
//     that same frame.
// Bit 0 picks CRC instead of the one-byte checksum.
// Properties: the machines keep their contract (a packet is asked for only
// while none is held, a frame ends only in a packet); no packet is lost or
// duplicated (the pools, the queues and the framers' hands always hold them
// all); a queued packet holds a terminated route and at most the data a
// packet can; a well-formed frame arrives exactly as sent; and the link's
// channel answers byte for byte as the bare machines do, keeping the
// frames whose transaction it expects.
#include <vector>

#include "fuzz_common.h"
#include "proto/framing.h"
#include "proto/link_handle.h"
#include "proto/serial.h"
#include "proto/symax_framer.h"
#include "symax_test_util.h"

namespace {

constexpr int POOL = 3;

int queue_length(const PacketQueue &q) {
  int n = 0;
  for (Packet *p = q.head; p; p = p->next) n++;
  return n;
}

int packets_held(const SerialChannel *ch) {
  return pool_count() + queue_length(ch->rx_queue) + queue_length(ch->tx_queue) + (ch->rx_packet ? 1 : 0) +
         (ch->tx_packet ? 1 : 0);
}

int packets_held(const SymaxEnd &end) {
  return queue_length(*end.pool) + queue_length(end.received) + queue_length(end.to_send) + (end.rx_packet ? 1 : 0) +
         (end.tx_packet ? 1 : 0);
}

// The bare end's own pool: heap packets of their own, so AddressSanitizer
// sees a write past one; made once.
PacketQueue *bare_pool() {
  static PacketQueue pool = {};
  static bool made = false;
  if (!made) {
    for (int i = 0; i < POOL; i++) queue_put(&pool, new Packet{});
    made = true;
  }
  return &pool;
}

// What a transmit side sends now; the clock moves a character per call, so
// fill bytes and enquiries come out too.
Bytes run_transmit(LinkHandle *link) {
  Bytes out;
  SerialChannel *ch = serial_channel(link);
  for (int guard = 0; guard < 64; guard++) {
    ch->now_us += ch->char_us;
    uint16_t b = transmit_framer(link);
    if (b == TX_NONE) break;
    if (b < 256) out.push_back(static_cast<uint8_t>(b));
  }
  return out;
}
Bytes run_transmit(SymaxEnd &end) {
  Bytes out;
  for (int guard = 0; guard < 64; guard++) {
    end.clock.now_us += end.clock.char_us;
    uint16_t b = end.transmit();
    if (b == SYMAX_TX_NONE) break;
    if (b < 256) out.push_back(static_cast<uint8_t>(b));
  }
  return out;
}

void check_frame(const Packet *p) {
  FUZZ_CHECK(p->length <= PACKET_DATA_SIZE);
  // Route bytes are kept as received (0xFF among them), then 0xFF 0xFF.
  bool ended = false;
  for (int end = 0; end + 1 < PACKET_ADDRESS_SIZE; end++)
    ended = ended || (p->address[end] == 0xFF && p->address[end + 1] == 0xFF);
  FUZZ_CHECK(ended);
}

// The link's queued frames against the bare end's: the same frames, those
// of the expected transaction; all go back to their pools.
void compare_received(SerialChannel *ch, SymaxEnd &end) {
  for (Packet *p = ch->rx_queue.head; p; p = p->next) {
    check_frame(p);
    FUZZ_CHECK(p->length >= 2 && p->data[1] == ch->expected_transaction);
  }
  while (Packet *got = queue_take(&end.received)) {
    check_frame(got);
    if (got->length >= 2 && got->data[1] == ch->expected_transaction) {
      Packet *kept = queue_take(&ch->rx_queue);
      FUZZ_CHECK(kept != nullptr);
      FUZZ_CHECK(kept->length == got->length);
      FUZZ_CHECK(Bytes(kept->data, kept->data + kept->length) == Bytes(got->data, got->data + got->length));
      FUZZ_CHECK(Bytes(kept->address, kept->address + PACKET_ADDRESS_SIZE) ==
                 Bytes(got->address, got->address + PACKET_ADDRESS_SIZE));
      queue_put(&free_packets, kept);
    }
    queue_put(end.pool, got);
  }
  FUZZ_CHECK(ch->rx_queue.head == nullptr);
}

void wellformed_frame(LinkHandle *link, SymaxEnd &end, FuzzInput in, bool crc) {
  SerialChannel *ch = serial_channel(link);
  // Route characters are printable (never DLE); at most 16.
  Bytes route;
  size_t route_length = in.take() % 17;
  for (size_t i = 0; i < route_length && !in.empty(); i++) route.push_back(0x20 | (in.take() & 0x5F));
  Bytes data(in.data, in.data + in.size);
  if (data.size() > PACKET_DATA_SIZE) data.resize(PACKET_DATA_SIZE);
  if (data.size() >= 2) data[1] = ch->expected_transaction;
  uint8_t seq = (route_length & 1) ? SEQ2 : SEQ1;
  const Bytes frame = ref_frame(seq, route, data, crc);   // the long way, as the far end writes it
  feed(link, frame);
  end.receive(frame);
  Packet *got = queue_take(&ch->rx_queue);
  if (data.size() < 2) {
    // Too short to carry a transaction: acknowledged and dropped.
    FUZZ_CHECK(got == nullptr);
  } else {
    FUZZ_CHECK(got != nullptr);
    FUZZ_CHECK(got->length == data.size());
    FUZZ_CHECK(Bytes(got->data, got->data + got->length) == data);
    FUZZ_CHECK(Bytes(got->address, got->address + route.size()) == route);
    FUZZ_CHECK(got->address[route.size()] == 0xFF && got->address[route.size() + 1] == 0xFF);
    queue_put(&free_packets, got);
  }
  Packet *bare = queue_take(&end.received);
  FUZZ_CHECK(bare != nullptr && bare->length == data.size());
  FUZZ_CHECK(Bytes(bare->data, bare->data + bare->length) == data);
  FUZZ_CHECK(run_transmit(link) == (Bytes{DLE, seq}));
  FUZZ_CHECK(run_transmit(end) == (Bytes{DLE, seq}));

  // The same frame from the bare transmitter (its first sequence is SEQ1).
  FUZZ_CHECK(bare->address[route.size()] == 0xFF);
  queue_put(&end.to_send, bare);
  Bytes sent;
  for (uint16_t b; (b = end.transmit()) < 256;) sent.push_back(static_cast<uint8_t>(b));
  FUZZ_CHECK(sent == ref_frame(SEQ1, route, data, crc));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static bool pool_ready = false;
  if (!pool_ready) {
    pool_grow(POOL - pool_count());
    pool_ready = true;
  }
  FuzzInput in{data, size};
  uint8_t flags = in.take();
  LinkHandle *link = serial_link_alloc(0);
  FUZZ_CHECK(link != nullptr);
  SerialChannel *ch = serial_channel(link);
  bool crc = flags & 1;
  symax_set_crc(ch->symax_tx, crc);
  ch->expected_transaction = in.take();
  {
    SymaxEnd end(crc);
    end.pool = bare_pool();
    end.clock = {.now_us = ch->now_us, .line_free_us = ch->line_free_us, .char_us = ch->char_us};
    std::lock_guard<std::mutex> g(link->lock);
    if (flags & 4) {
      wellformed_frame(link, end, in, crc);
    } else {
      if (flags & 8) {
        for (auto [queue, pool] : {std::pair{&ch->tx_queue, &free_packets}, std::pair{&end.to_send, end.pool}}) {
          Packet *p = queue_take(pool);
          p->length = 4;
          p->address[0] = p->address[1] = 0xFF;
          for (int i = 0; i < 4; i++) p->data[i] = 0;
          queue_put(queue, p);
        }
        FUZZ_CHECK(run_transmit(link) == run_transmit(end));
      }
      PacketQueue held = {}, bare_held = {};
      if (flags & 16) {
        while (Packet *p = queue_take(&free_packets)) queue_put(&held, p);
        while (Packet *p = queue_take(end.pool)) queue_put(&bare_held, p);
      }
      while (!in.empty()) {
        uint8_t b = in.take();
        receive_framer(link, b);
        end.receive(b);
        FUZZ_CHECK(run_transmit(link) == run_transmit(end));
        FUZZ_CHECK((ch->rx_packet != nullptr) == (end.rx_packet != nullptr));
        FUZZ_CHECK((ch->tx_packet != nullptr) == (end.tx_packet != nullptr));
        compare_received(ch, end);
        FUZZ_CHECK(end.broken == 0);
        FUZZ_CHECK(packets_held(ch) + queue_length(held) == POOL);
        FUZZ_CHECK(packets_held(end) + queue_length(bare_held) == POOL);
      }
      while (Packet *p = queue_take(&held)) queue_put(&free_packets, p);
      while (Packet *p = queue_take(&bare_held)) queue_put(end.pool, p);
    }
  }
  serial_link_free(link);
  FUZZ_CHECK(pool_count() == POOL);
  FUZZ_CHECK(queue_length(*bare_pool()) == POOL);
  return 0;
}
