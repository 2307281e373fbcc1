// Key decoder: terminal bytes with time passing between them.
// Input: first byte picks the erase byte (odd: 8, even: 0x7F); then bytes
// fed at the current time, where 0xFE n lets n milliseconds pass first.
// Properties: the decoded stream holds only keys the key layer knows (plain
// ASCII bytes 1-0x7F, or 0xE0 and a known scan code); a pending sequence
// stays bounded; once the settle time has passed nothing is left pending (no
// sequence, no control string), and a key typed then is read as itself
// whatever came before.
#include "fuzz_common.h"
#include "platform/keyboard.h"

namespace {

bool known_scan(uint8_t s) {
  return (s >= 0x3B && s <= 0x44) || s == 0x47 || s == 0x48 || s == 0x49 || s == 0x4B || s == 0x4D ||
         (s >= 0x4F && s <= 0x53) || s == 0x75 || s == 0x77;
}

constexpr uint8_t TIME_STEP = 0xFE;

struct Probe {
  const char *sequence;
  uint8_t scan;
};
constexpr Probe PROBES[] = {
    {"\x1b[A", 0x48}, {"\x1bOP", 0x3B}, {"\x1b[3~", 0x53}, {"\x1b[1;5F", 0x75}, {"\x1b[[E", 0x3F}, {"\x1b[21~", 0x44},
};
constexpr size_t PENDING_LIMIT = 64;

// Takes the decoded keys out, checking each.
void drain(KeyDecoder &kd) {
  while (!kd.out.empty()) {
    uint8_t b = kd.out.front();
    kd.out.pop_front();
    if (b == 0xE0) {
      FUZZ_CHECK(!kd.out.empty());
      FUZZ_CHECK(known_scan(kd.out.front()));
      kd.out.pop_front();
    } else {
      FUZZ_CHECK(b >= 1 && b <= 0x7F);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  FuzzInput in{data, size};
  KeyDecoder kd;
  kd.erase_byte = (in.take() & 1) ? 8 : 0x7F;
  uint64_t now = 1000;
  while (!in.empty()) {
    uint8_t b = in.take();
    if (b == TIME_STEP && !in.empty()) {
      now += in.take();
      kd_tick(kd, now);
    } else {
      kd_feed(kd, b, now);
    }
    FUZZ_CHECK(kd.pending.size() <= PENDING_LIMIT);
    int wait = kd_wait_ms(kd, now);
    FUZZ_CHECK(wait >= -1 && wait <= ESC_SETTLE_MS);
    FUZZ_CHECK((wait == -1) == kd.pending.empty());
    drain(kd);
  }
  now += ESC_SETTLE_MS;
  kd_tick(kd, now);
  FUZZ_CHECK(kd.pending.empty() && !kd.in_string);
  FUZZ_CHECK(kd_wait_ms(kd, now) == -1);
  drain(kd);
  const Probe &probe = PROBES[size % (sizeof PROBES / sizeof PROBES[0])];
  for (const char *c = probe.sequence; *c; c++) kd_feed(kd, static_cast<uint8_t>(*c), now);
  FUZZ_CHECK(kd.out.size() == 2 && kd.out[0] == 0xE0 && kd.out[1] == probe.scan);
  return 0;
}
