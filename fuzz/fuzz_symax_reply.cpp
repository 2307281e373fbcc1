// Sy/Max reply checks of read, write and input read.
// Input: which check (byte 0 % 3), the transaction byte of the request, the
// register count asked for (1-128), a route length (0-18) and the route
// bytes, then the reply's data.
// Properties: a check stores at most the values asked for (values is sized
// exactly, so AddressSanitizer sees any write past it) and never more than
// the reply holds; a failure leaves a terminated, non-empty reason.
#include <cstring>
#include <memory>

#include "fuzz_common.h"
#include "proto/link_handle.h"
#include "proto/serial.h"
#include "proto/symax.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static LinkHandle *link = serial_link_alloc(0);
  FuzzInput in{data, size};
  int which = in.take() % 3;
  uint8_t transaction = in.take();
  int count = 1 + in.take() % 128;
  Packet reply{};
  // Route bytes over 0xFF, as the framer leaves an address; 17 or 18 bytes
  // lose the pair that ends every framed route, which the check must survive.
  size_t route_length = in.take() % (PACKET_ADDRESS_SIZE + 1);
  memset(reply.address, 0xFF, sizeof reply.address);
  for (size_t i = 0; i < route_length && !in.empty(); i++) reply.address[i] = in.take();
  size_t length = in.size < PACKET_DATA_SIZE ? in.size : PACKET_DATA_SIZE;
  memcpy(reply.data, in.data, length);
  reply.length = static_cast<uint16_t>(length);

  auto values = std::make_unique<uint16_t[]>(count);
  link_set_error(link, "%s", "");
  int result = 0;
  switch (which) {
    case 0: result = symax_check_read(link, &reply, transaction, count, values.get()); break;
    case 1: result = symax_check_write(link, &reply, transaction, count); break;
    default: result = symax_check_read_input(link, &reply, count, values.get()); break;
  }
  FUZZ_CHECK(result >= 0 && result <= count);
  if (which != 1) FUZZ_CHECK(static_cast<size_t>(result) * 2 <= length);
  const char *text = link->error_text;
  FUZZ_CHECK(memchr(text, 0, LINK_ERROR_TEXT_SIZE) != nullptr);
  if (result == 0) FUZZ_CHECK(text[0] != 0);
  return 0;
}
