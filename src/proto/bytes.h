// Byte helpers of the message builders and reply checks. Every wire of the
// program sends 16-bit numbers high byte first.
//   put16 / get16   one 16-bit number at a byte pointer
//   byte_at         a reply byte, 0 for bytes the reply does not hold
//   copy_values     up to `wanted` 16-bit values from `bytes` reply bytes;
//                   only whole pairs are taken; returns how many
//   clamp_count     a register count into 0..most
#pragma once
#include <cstdint>

inline void put16(uint8_t *at, unsigned v) {
  at[0] = static_cast<uint8_t>(v >> 8);
  at[1] = static_cast<uint8_t>(v);
}

inline unsigned get16(const uint8_t *at) { return static_cast<unsigned>(at[0] << 8 | at[1]); }

inline uint8_t byte_at(const uint8_t *p, int length, int i) { return i >= 0 && i < length ? p[i] : 0; }

inline int copy_values(const uint8_t *from, int bytes, int wanted, uint16_t *values) {
  int available = bytes > 0 ? bytes / 2 : 0;
  int n = available < wanted ? available : wanted;
  for (int i = 0; i < n; i++) values[i] = static_cast<uint16_t>(get16(from + 2 * i));
  return n;
}

inline int clamp_count(int count, int most) { return count < 0 ? 0 : count > most ? most : count; }
