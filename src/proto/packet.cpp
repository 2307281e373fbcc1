#include "proto/packet.h"

#include <atomic>
#include <mutex>
#include <new>
#include <thread>

#include "proto/link_handle.h"

PacketQueue free_packets;

namespace {
// The pool's lock guards a few pointer moves, several times an exchange: a
// flag, which costs no call and lets go with a plain store, where a mutex
// costs both. Whoever finds it held (only for those moves) yields.
class PoolLock {
 public:
  void lock() {
    while (held_.exchange(true, std::memory_order_acquire)) std::this_thread::yield();
  }
  void unlock() { held_.store(false, std::memory_order_release); }

 private:
  std::atomic<bool> held_{false};
};

PoolLock pool_lock;   // a leaf: taken after the link's lock, never before

Packet *raw_take(PacketQueue *queue) {
  Packet *p = queue->head;
  if (p) {
    queue->head = p->next;
    if (!queue->head) queue->tail = nullptr;
    p->next = nullptr;
  }
  return p;
}

void raw_put(PacketQueue *queue, Packet *packet) {
  packet->next = nullptr;
  if (queue->tail)
    queue->tail->next = packet;
  else
    queue->head = packet;
  queue->tail = packet;
}
}  // namespace

Packet *queue_take(PacketQueue *queue) {
  if (queue == &free_packets) {
    std::lock_guard<PoolLock> g(pool_lock);
    return raw_take(queue);
  }
  return raw_take(queue);
}

void queue_put(PacketQueue *queue, Packet *packet) {
  if (!packet) return;
  if (queue == &free_packets) {
    std::lock_guard<PoolLock> g(pool_lock);
    raw_put(queue, packet);
    return;
  }
  raw_put(queue, packet);
}

Packet *packet_take(LinkHandle *link, PacketQueue *queue) {
  if (queue == &free_packets) return queue_take(queue);
  std::lock_guard<std::mutex> g(link->lock);
  return queue_take(queue);
}

void packet_put(LinkHandle *link, PacketQueue *queue, Packet *packet) {
  if (queue == &free_packets) return queue_put(queue, packet);
  std::lock_guard<std::mutex> g(link->lock);
  queue_put(queue, packet);
}

int pool_grow(int count) {
  int added = 0;
  for (int i = 0; i < count; i++) {
    Packet *p = new (std::nothrow) Packet{};
    if (!p) continue;
    queue_put(&free_packets, p);
    added++;
  }
  return added;
}

int pool_count() {
  std::lock_guard<PoolLock> g(pool_lock);
  int n = 0;
  for (Packet *p = free_packets.head; p; p = p->next) n++;
  return n;
}
