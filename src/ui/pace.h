// Pacing of the live screens (register viewer, online editor, diagnostic
// screens). They read the device pass after pass; on a serial line the wire
// paces the passes, but over a pty or a network link nothing does, and an
// unpaced screen would ask the device thousands of times a second for
// changes nobody can see. A pass starts no sooner than LIVE_PASS_MIN_MS
// after the last one began; a key ends the wait at once.
//   pace_pass   waits (sleeping, never spinning) until the next pass may
//               start or a key waits; true when a key waits
//   wait_key_until  waits on the keyboard until a time or a key; true when a
//               key waits
#pragma once
#include <chrono>

constexpr int LIVE_PASS_MIN_MS = 20;

struct PassPacer {
  std::chrono::steady_clock::time_point last_start{};
  bool started = false;
};

// Returns true as soon as a key waits (the pass is not marked begun then);
// otherwise waits out the rest of the interval, marks a new pass begun now
// and returns false.
bool pace_pass(PassPacer &pacer);

// Waits on the keyboard until due; true as soon as a key waits. The memory
// console answers at once: the rest is slept there.
bool wait_key_until(std::chrono::steady_clock::time_point due);
