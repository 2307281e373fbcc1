#include "proto/modbus_msg.h"

#include <cstdio>

#include "proto/bytes.h"

namespace {

constexpr const char *modbus_exceptions[] = {
    "ILLEGAL FUNCTION",
    "ILLEGAL DATA ADDRESS",
    "ILLEGAL DATA VALUE",
    "SLAVE DEVICE FAILURE",
    "ACKNOWLEDGE",
    "SLAVE DEVICE BUSY",
    "NEGATIVE ACKNOWLEDGE",
    "MEMORY PARITY ERROR",
    "Modbus error 9",
    "Modbus error 10",
    "DOWNSTREAM DEVICE DIDN'T RESPOND",
    "NO FREE MASTER PATH",
};
static_assert(sizeof modbus_exceptions / sizeof modbus_exceptions[0] == 12);

// Register r goes out as r - 1; register 0 becomes 0xFFFF.
unsigned wire_address(int first) { return static_cast<unsigned>(first - 1) & 0xFFFF; }

}  // namespace

const char *modbus_exception_text(unsigned code) {
  if (code >= 1 && code <= 12) return modbus_exceptions[code - 1];
  return nullptr;
}

void modbus_exception_reply(unsigned code, char *text, size_t size) {
  const char *known = modbus_exception_text(code);
  snprintf(text, size, "Modbus error reply %u %s", code, known ? known : "");
}

int modbus_build_read(uint8_t *pdu, uint8_t function, int first, int count) {
  pdu[0] = function;
  put16(pdu + 1, wire_address(first));
  put16(pdu + 3, static_cast<unsigned>(clamp_count(count, MODBUS_MAX_COUNT)));
  return 5;
}

int modbus_build_write(uint8_t *pdu, int first, int count, const uint16_t *values) {
  count = clamp_count(count, MODBUS_MAX_COUNT);
  pdu[0] = MODBUS_WRITE_MULTIPLE;
  put16(pdu + 1, wire_address(first));
  put16(pdu + 3, static_cast<unsigned>(count));
  pdu[5] = static_cast<uint8_t>(2 * count);
  for (int i = 0; i < count; i++) put16(pdu + 6 + 2 * i, values[i]);
  return 6 + 2 * count;
}

int modbus_build_write_record(uint8_t *pdu, int first, int count, const uint16_t *values) {
  count = clamp_count(count, MODBUS_MAX_COUNT);
  pdu[0] = MODBUS_WRITE_FILE_RECORD;
  pdu[1] = static_cast<uint8_t>(2 * count + 7);
  pdu[2] = 0x03;   // reference type
  pdu[3] = pdu[4] = 0;   // file number 0
  put16(pdu + 5, wire_address(first));
  put16(pdu + 7, static_cast<unsigned>(count));
  for (int i = 0; i < count; i++) put16(pdu + 9 + 2 * i, values[i]);
  return 9 + 2 * count;
}

int modbus_check_serial_read(uint8_t address, const uint8_t *pdu, int length, uint8_t drop, uint8_t function,
                             int count, uint16_t *values, char *text, size_t size) {
  uint8_t got = byte_at(pdu, length, 0);
  uint8_t bytes = byte_at(pdu, length, 1);
  if (address != drop) {
    snprintf(text, size, "Read reply had wrong drop");
  } else if (got & MODBUS_EXCEPTION_BIT) {
    modbus_exception_reply(bytes, text, size);
  } else if (got != function) {
    snprintf(text, size, "Read reply had wrong opcode");
  } else if (bytes != 2 * count) {
    snprintf(text, size, "Reply length %u doesn't match query %u", bytes, static_cast<unsigned>(count));
  } else if (length != bytes + 2) {
    snprintf(text, size, "Read reply was wrong size");
  } else {
    copy_values(pdu + 2, length - 2, count, values);
    return count;
  }
  return 0;
}

int modbus_check_serial_write(uint8_t address, const uint8_t *pdu, int length, uint8_t drop, uint8_t function,
                              int count, char *text, size_t size) {
  int expected = function == MODBUS_WRITE_FILE_RECORD ? 2 * count + 9 : 5;
  uint8_t got = byte_at(pdu, length, 0);
  // An exception is shorter than any write reply: the refusal is told as the
  // device gave it, as for a read, not as a reply of the wrong size.
  bool exception = (got & MODBUS_EXCEPTION_BIT) && length == 2;
  if (length != expected && !exception) {
    snprintf(text, size, "Write reply was wrong size");
  } else if (address != drop) {
    snprintf(text, size, "Write reply had wrong drop");
  } else if (got & MODBUS_EXCEPTION_BIT) {
    modbus_exception_reply(byte_at(pdu, length, 1), text, size);
  } else if (got != function) {
    snprintf(text, size, "Write reply had wrong opcode");
  } else {
    return count;
  }
  return 0;
}

int mbap_frame(uint8_t *out, uint16_t transaction, uint8_t unit, const uint8_t *pdu, int pdu_length) {
  put16(out, transaction);
  put16(out + 2, 0);
  put16(out + 4, static_cast<unsigned>(pdu_length + 1));
  out[6] = unit;
  for (int i = 0; i < pdu_length; i++) out[7 + i] = pdu[i];
  return 7 + pdu_length;
}

int mbap_reply_length(const uint8_t *header) {
  int length = MBAP_HEADER + static_cast<int>(get16(header + 4));
  return length <= MBAP_REPLY_BUFFER ? length : 0;
}

bool mbap_reply_is_late(const uint8_t *reply, uint16_t current) {
  // Earlier by the 16-bit distance, so that the answer to 0xFFFF still
  // counts as late once the counter has wrapped to 0.
  return static_cast<int16_t>(static_cast<uint16_t>(get16(reply) - current)) < 0;
}

int modbus_check_tcp_reply(const uint8_t *reply, int length, uint8_t unit, uint8_t function, int count,
                           uint16_t *values, char *text, size_t size) {
  uint8_t got = byte_at(reply, length, 7);
  uint8_t code = byte_at(reply, length, 8);
  if (byte_at(reply, length, 6) != unit) {
    snprintf(text, size, "Reply drop doesn't match query");
  } else if (got == (function | MODBUS_EXCEPTION_BIT)) {
    // Over TCP a known exception shows its text alone.
    if (const char *known = modbus_exception_text(code))
      snprintf(text, size, "%s", known);
    else
      snprintf(text, size, "Modbus error reply %u", code);
  } else if (got != function) {
    snprintf(text, size, "Reply opcode doesn't match query");
  } else if (function != MODBUS_READ_HOLDING && function != MODBUS_READ_INPUT) {
    return 1;
  } else if (code != 2 * count) {
    snprintf(text, size, "Reply length %u doesn't match query %u", code, static_cast<unsigned>(count));
  } else if (length < 9 + 2 * count) {
    // The byte count promises values the frame does not hold.
    snprintf(text, size, "Read reply was wrong size");
  } else {
    copy_values(reply + 9, length - 9, count, values);
    return 1;
  }
  return 0;
}
