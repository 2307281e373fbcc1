// Modbus messages, apart from the link that carries them.
//   modbus_build_read / modbus_build_write / modbus_build_write_record
//       the request PDU (function code first) for registers first..first +
//       count - 1 (1-based; sent as first - 1 in 16 bits); returns its length
//   modbus_check_serial_read / modbus_check_serial_write
//       the checks of a reply on a serial line (its address byte and PDU, as
//       the framer delivered them); the count on success, else 0 with the
//       reason written into `text`
//   mbap_frame           header (transaction, protocol 0, length), unit, PDU
//   mbap_reply_length    a whole reply's length from its first 6 bytes; 0
//                        when it would not fit the reply buffer
//   mbap_reply_is_late   the reply answers an earlier request than `current`
//   modbus_check_tcp_reply   the checks of a reply frame over TCP; 1 on
//                        success, else 0 with the reason in `text`
//   modbus_exception_text    the name of an exception code 1-12, else null
//   modbus_exception_reply   "Modbus error reply N NAME", as a serial line
//                        (and a Modbus read carried by Sy/Max) tells it
// Values are host-order 16-bit, high byte first on every wire.
#pragma once
#include <cstddef>
#include <cstdint>

enum ModbusFunction : uint8_t {
  MODBUS_READ_HOLDING = 0x03,
  MODBUS_READ_INPUT = 0x04,
  MODBUS_WRITE_MULTIPLE = 0x10,
  MODBUS_WRITE_FILE_RECORD = 0x15,
};
constexpr uint8_t MODBUS_EXCEPTION_BIT = 0x80;

// Codes 1-12; null for any other code.
const char *modbus_exception_text(unsigned code);
void modbus_exception_reply(unsigned code, char *text, size_t size);

constexpr int MODBUS_MAX_COUNT = 128;
// The longest request: a file record of 128 registers.
constexpr int MODBUS_PDU_MAX = 9 + 2 * MODBUS_MAX_COUNT;

int modbus_build_read(uint8_t *pdu, uint8_t function, int first, int count);
int modbus_build_write(uint8_t *pdu, int first, int count, const uint16_t *values);
int modbus_build_write_record(uint8_t *pdu, int first, int count, const uint16_t *values);

int modbus_check_serial_read(uint8_t address, const uint8_t *pdu, int length, uint8_t drop, uint8_t function,
                             int count, uint16_t *values, char *text, size_t size);
int modbus_check_serial_write(uint8_t address, const uint8_t *pdu, int length, uint8_t drop, uint8_t function,
                              int count, char *text, size_t size);

constexpr int MBAP_HEADER = 6;          // transaction, protocol, length
// What a reply may fill: the largest Modbus TCP frame (a 125-register read
// reply is 259 bytes).
constexpr int MBAP_REPLY_BUFFER = 260;
constexpr int MBAP_FRAME_MAX = MBAP_HEADER + 1 + MODBUS_PDU_MAX;

int mbap_frame(uint8_t *out, uint16_t transaction, uint8_t unit, const uint8_t *pdu, int pdu_length);
int mbap_reply_length(const uint8_t *header);
bool mbap_reply_is_late(const uint8_t *reply, uint16_t current);
int modbus_check_tcp_reply(const uint8_t *reply, int length, uint8_t unit, uint8_t function, int count,
                           uint16_t *values, char *text, size_t size);
