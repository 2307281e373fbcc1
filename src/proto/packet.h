// Message buffers shared by the serial protocols and the link reader threads.
//   Packet         one fixed buffer: route or drop, then the message proper
//   PacketQueue    first-in first-out list of packets (head and tail)
//   free_packets   the program-wide pool every request draws from and every
//                  consumer gives back to; packets are never freed
//   packet_take/packet_put   queue operations under the link's lock (the
//                            pool's own lock alone for the pool)
//   queue_take/queue_put     the same without locking, for code that already
//                            holds the lock (the framers on the reader thread)
// The pool has a lock of its own besides the link's, so that it stays sound
// when a test holds two links at once; it needs no link's lock besides.
#pragma once
#include <cstdint>

constexpr int PACKET_ADDRESS_SIZE = 18;
constexpr int PACKET_DATA_SIZE = 263;

struct Packet {
  Packet *next;
  uint16_t length;
  uint8_t address[PACKET_ADDRESS_SIZE];
  uint8_t data[PACKET_DATA_SIZE];
};

struct PacketQueue {
  Packet *head;
  Packet *tail;
};

struct LinkHandle;

extern PacketQueue free_packets;

Packet *packet_take(LinkHandle *link, PacketQueue *queue);
void packet_put(LinkHandle *link, PacketQueue *queue, Packet *packet);

Packet *queue_take(PacketQueue *queue);
void queue_put(PacketQueue *queue, Packet *packet);

// Adds newly allocated, zero-filled packets to the pool; returns how many.
int pool_grow(int count);
// Packets in the pool now (tests).
int pool_count();
