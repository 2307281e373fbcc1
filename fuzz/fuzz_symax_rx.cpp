// Sy/Max receive framer, with the transmit side answering as the reader
// thread would.
// Input: a flags byte, the transaction byte the link expects, then either
//   - raw line bytes (flags bit 2 clear): fed one by one, the transmit
//     framer run after each (bit 3: a request is in flight, so
//     acknowledgements, refusals and enquiries meet a frame waiting for
//     its acknowledgement; bit 4: the pool is empty, so frames are refused
//     for want of a packet);
//   - a frame description (bit 2 set): a route length byte, the route, and
//     the data; the frame is built here the long way, fed, and must arrive
//     whole and be acknowledged.
// Bit 0 picks CRC instead of the one-byte checksum.
// Properties: no packet is lost or duplicated (the pool, the queues and the
// framer's hands always hold them all); a queued packet holds a terminated
// route and at most the data a packet can; a well-formed frame arrives
// exactly as sent.
#include <vector>

#include "fuzz_common.h"
#include "proto/link_handle.h"
#include "proto/framing.h"
#include "proto/serial.h"
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

// What the transmit framer sends now; the clock moves a character per byte,
// so fill bytes and enquiries come out too.
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

void check_queued(SerialChannel *ch) {
  for (Packet *p = ch->rx_queue.head; p; p = p->next) {
    FUZZ_CHECK(p->length >= 2 && p->length <= PACKET_DATA_SIZE);
    FUZZ_CHECK(p->data[1] == ch->expected_transaction);
    // Route bytes are kept as received (0xFF among them), then 0xFF 0xFF.
    bool ended = false;
    for (int end = 0; end + 1 < PACKET_ADDRESS_SIZE; end++)
      ended = ended || (p->address[end] == 0xFF && p->address[end + 1] == 0xFF);
    FUZZ_CHECK(ended);
  }
}

void wellformed_frame(LinkHandle *link, FuzzInput in, bool crc) {
  SerialChannel *ch = serial_channel(link);
  // Route characters are printable (never DLE); at most 16.
  Bytes route;
  size_t route_length = in.take() % 17;
  for (size_t i = 0; i < route_length && !in.empty(); i++) route.push_back(0x20 | (in.take() & 0x5F));
  Bytes data(in.data, in.data + in.size);
  if (data.size() > PACKET_DATA_SIZE) data.resize(PACKET_DATA_SIZE);
  if (data.size() >= 2) data[1] = ch->expected_transaction;
  uint8_t seq = (route_length & 1) ? SEQ2 : SEQ1;
  feed(link, ref_frame(seq, route, data, crc));   // the long way, as the far end writes it
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
  FUZZ_CHECK(run_transmit(link) == (Bytes{DLE, seq}));
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
  if (crc) symax_set_crc(ch->symax_tx, true);
  ch->expected_transaction = in.take();
  {
    std::lock_guard<std::mutex> g(link->lock);
    if (flags & 4) {
      wellformed_frame(link, in, crc);
    } else {
      if (flags & 8) {
        Packet *p = queue_take(&free_packets);
        p->length = 4;
        p->address[0] = p->address[1] = 0xFF;
        queue_put(&ch->tx_queue, p);
        run_transmit(link);
      }
      PacketQueue held = {};
      if (flags & 16)
        while (Packet *p = queue_take(&free_packets)) queue_put(&held, p);
      while (!in.empty()) {
        receive_framer(link, in.take());
        run_transmit(link);
        FUZZ_CHECK(packets_held(ch) + queue_length(held) == POOL);
        check_queued(ch);
      }
      while (Packet *p = queue_take(&held)) queue_put(&free_packets, p);
    }
  }
  serial_link_free(link);
  FUZZ_CHECK(pool_count() == POOL);
  return 0;
}
