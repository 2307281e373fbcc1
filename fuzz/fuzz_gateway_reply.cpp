// Gateway answers: the acknowledgement of a command and the values of a
// read answer.
// Input: the register count asked (byte 0: 1-36), then the answer line.
// Properties: only a lone CR acknowledges; the values stored are at most
// the count, one per leading run of digits, each the run's value modulo
// 65536, and none past the count (values is a heap block of its exact
// size, the line too).
#include <cstring>
#include <memory>

#include "fuzz_common.h"
#include "proto/gateway_msg.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  FuzzInput in{data, size};
  int count = 1 + in.take() % GATEWAY_READ_CHUNK;
  int length = static_cast<int>(in.size);
  auto line = std::make_unique<uint8_t[]>(in.size);
  memcpy(line.get(), in.data, in.size);

  FUZZ_CHECK(gateway_is_ack(line.get(), length) == (length == 1 && line[0] == '\r'));

  auto values = std::make_unique<uint16_t[]>(count);
  int stored = gateway_parse_values(line.get(), length, count, values.get());
  FUZZ_CHECK(stored >= 0 && stored <= count);
  // The runs of digits, the slow way: a run, then anything up to the next
  // run that is neither a digit nor CR.
  int i = 0, runs = 0;
  while (runs < stored) {
    FUZZ_CHECK(i < length && line[i] >= '0' && line[i] <= '9');
    unsigned v = 0;
    for (; i < length && line[i] >= '0' && line[i] <= '9'; i++) v = (v * 10 + (line[i] - '0')) % 65536;
    FUZZ_CHECK(values[runs] == v);
    runs++;
    while (i < length && !(line[i] >= '0' && line[i] <= '9') && line[i] != '\r') i++;
  }
  // Stopped for a reason: the count, the end, a CR, nothing numeric, or a
  // number without anything after it (a line cut short).
  int digits_end = i;
  while (digits_end < length && line[digits_end] >= '0' && line[digits_end] <= '9') digits_end++;
  FUZZ_CHECK(stored == count || i >= length || line[i] < '0' || line[i] > '9' || digits_end == length);
  return 0;
}
