// Modbus reply checks on a serial line (RTU and ASCII deliver the same
// address byte and PDU).
// Input: which check (bit 0 of byte 0: read, write), the function asked
// (byte 0 bits 1-2: read holding, read input, write multiple, write file
// record), the drop asked, the register count (1-128), the reply's address
// byte, then the reply's PDU.
// Properties: the result is 0 or the count; a read stores values only on
// success, exactly the register bytes of a reply whose byte count and size
// agree with the request (the PDU and the values are heap blocks of their
// exact size, so a read or write past either is caught); a failure leaves a
// terminated, non-empty reason in the link's text.
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
  uint8_t selector = in.take();
  bool read = (selector & 1) == 0;
  uint8_t function = FUNCTIONS[(selector >> 1) & 3];
  uint8_t drop = in.take();
  int count = 1 + in.take() % MODBUS_MAX_COUNT;
  uint8_t address = in.take();
  int length = static_cast<int>(in.size);
  auto pdu = std::make_unique<uint8_t[]>(in.size);
  memcpy(pdu.get(), in.data, in.size);
  auto values = std::make_unique<uint16_t[]>(count);
  for (int i = 0; i < count; i++) values[i] = UNTOUCHED;
  auto text = std::make_unique<char[]>(LINK_ERROR_TEXT_SIZE);
  text[0] = 0;

  int result = read ? modbus_check_serial_read(address, pdu.get(), length, drop, function, count, values.get(),
                                               text.get(), LINK_ERROR_TEXT_SIZE)
                    : modbus_check_serial_write(address, pdu.get(), length, drop, function, count, text.get(),
                                                LINK_ERROR_TEXT_SIZE);
  FUZZ_CHECK(result == 0 || result == count);
  if (result == 0) {
    FUZZ_CHECK(memchr(text.get(), 0, LINK_ERROR_TEXT_SIZE) != nullptr && text[0] != 0);
    for (int i = 0; read && i < count; i++) FUZZ_CHECK(values[i] == UNTOUCHED);
    return 0;
  }
  FUZZ_CHECK(address == drop && pdu[0] == function);
  if (read) {
    FUZZ_CHECK(length == 2 + 2 * count && pdu[1] == 2 * count);
    for (int i = 0; i < count; i++) FUZZ_CHECK(values[i] == (pdu[2 + 2 * i] << 8 | pdu[3 + 2 * i]));
  }
  return 0;
}
