// Modbus TCP replies: the length a header announces, late replies, and the
// check of the reply frame.
// Input: the function asked (byte 0: read holding, read input, write
// multiple, write file record), the unit, the register count (1-128), the
// transaction of the request (two bytes), then the reply frame as received
// (at most the reply buffer).
// Properties: an announced length is 0 or fits the reply buffer and covers
// the header; a reply to the request itself is never late, nor one to a
// later transaction than the request; the check answers 0 or 1, stores
// values only on a read's success and only from a frame that holds them all
// (the frame and the values are heap blocks of their exact size); a failure
// leaves a terminated, non-empty reason.
#include <cstring>
#include <memory>

#include "fuzz_common.h"
#include "proto/link_handle.h"
#include "proto/modbus_msg.h"

namespace {

constexpr uint8_t FUNCTIONS[] = {MODBUS_READ_HOLDING, MODBUS_READ_INPUT, MODBUS_WRITE_MULTIPLE,
                                 MODBUS_WRITE_FILE_RECORD};
constexpr uint16_t UNTOUCHED = 0xDEAD;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  FuzzInput in{data, size};
  uint8_t function = FUNCTIONS[in.take() & 3];
  uint8_t unit = in.take();
  int count = 1 + in.take() % MODBUS_MAX_COUNT;
  uint16_t current = static_cast<uint16_t>(in.take() << 8);
  current = static_cast<uint16_t>(current | in.take());
  if (in.size > MBAP_REPLY_BUFFER) return 0;
  int length = static_cast<int>(in.size);
  auto reply = std::make_unique<uint8_t[]>(in.size);
  memcpy(reply.get(), in.data, in.size);

  if (length >= MBAP_HEADER) {
    int announced = mbap_reply_length(reply.get());
    FUZZ_CHECK(announced == 0 || (announced >= MBAP_HEADER && announced <= MBAP_REPLY_BUFFER));
    uint16_t answered = static_cast<uint16_t>(reply[0] << 8 | reply[1]);
    if (answered == current || answered == static_cast<uint16_t>(current + 1))
      FUZZ_CHECK(!mbap_reply_is_late(reply.get(), current));
    if (answered == static_cast<uint16_t>(current - 1)) FUZZ_CHECK(mbap_reply_is_late(reply.get(), current));
  }

  auto values = std::make_unique<uint16_t[]>(count);
  for (int i = 0; i < count; i++) values[i] = UNTOUCHED;
  auto text = std::make_unique<char[]>(LINK_ERROR_TEXT_SIZE);
  text[0] = 0;
  int result = modbus_check_tcp_reply(reply.get(), length, unit, function, count, values.get(), text.get(),
                                      LINK_ERROR_TEXT_SIZE);
  FUZZ_CHECK(result == 0 || result == 1);
  bool read = function == MODBUS_READ_HOLDING || function == MODBUS_READ_INPUT;
  if (result == 0) {
    FUZZ_CHECK(memchr(text.get(), 0, LINK_ERROR_TEXT_SIZE) != nullptr && text[0] != 0);
    for (int i = 0; i < count; i++) FUZZ_CHECK(values[i] == UNTOUCHED);
    return 0;
  }
  FUZZ_CHECK(length >= 8 && reply[6] == unit && reply[7] == function);
  if (read) {
    FUZZ_CHECK(length >= 9 + 2 * count && reply[8] == 2 * count);
    for (int i = 0; i < count; i++) FUZZ_CHECK(values[i] == (reply[9 + 2 * i] << 8 | reply[10 + 2 * i]));
  } else {
    for (int i = 0; i < count; i++) FUZZ_CHECK(values[i] == UNTOUCHED);
  }
  return 0;
}
