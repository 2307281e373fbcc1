#include "proto/serial_framers.h"

#include <array>
#include <cstring>

#include "proto/modbus_msg.h"

namespace {

constexpr std::array<uint16_t, 256> make_crc_table() {
  std::array<uint16_t, 256> t{};
  for (unsigned i = 0; i < 256; i++) {
    uint16_t v = static_cast<uint16_t>(i);
    for (int b = 0; b < 8; b++) v = (v & 1) ? static_cast<uint16_t>((v >> 1) ^ 0xA001) : static_cast<uint16_t>(v >> 1);
    t[i] = v;
  }
  return t;
}
constexpr std::array<uint16_t, 256> crc_table = make_crc_table();

constexpr uint8_t LINE_END_BELOW = 0x20;   // a byte below this ends a line
constexpr uint8_t CR = 0x0D, LF = 0x0A;
constexpr uint16_t ASCII_ROOM = 2 * PACKET_DATA_SIZE;
constexpr char hex_digits[] = "0123456789ABCDEF";

enum LineRx : uint8_t { LINE_IDLE, LINE_COLLECT, LINE_SKIP };
enum RtuRx : uint8_t { RTU_IDLE, RTU_COLLECT, RTU_SKIP };
enum RtuTx : uint8_t { RTU_ADDRESS, RTU_DATA, RTU_CRC_HIGH, RTU_END };
enum AsciiRx : uint8_t { ASCII_IDLE, ASCII_COLLECT };
enum AsciiTx : uint8_t { ASCII_COLON, ASCII_HIGH, ASCII_LOW, ASCII_LRC_LOW, ASCII_CR, ASCII_LF, ASCII_END };

uint16_t crc_step(uint16_t crc, uint8_t byte) { return check_update(crc, byte, true); }

uint16_t data_length(const Packet *p) { return p->length > PACKET_DATA_SIZE ? PACKET_DATA_SIZE : p->length; }

// Not a digit of the frame: the value 0, as the far end's junk would be.
constexpr uint8_t hex_value(uint8_t c) {
  if (c >= '0' && c <= '9') return static_cast<uint8_t>(c - '0');
  if (c >= 'A' && c <= 'F') return static_cast<uint8_t>(c - 'A' + 10);
  return 0;
}

// For the receive run: each character's digit value (top bit cleared), or
// ASCII_STOP for one that ends or restarts a frame (a control character, a
// colon), which the run leaves to the machine.
constexpr uint8_t ASCII_STOP = 0x10;
constexpr std::array<uint8_t, 128> make_ascii_digits() {
  std::array<uint8_t, 128> t{};
  for (unsigned c = 0; c < 128; c++)
    t[c] = c < LINE_END_BELOW || c == ':' ? ASCII_STOP : hex_value(static_cast<uint8_t>(c));
  return t;
}
constexpr std::array<uint8_t, 128> ascii_digits = make_ascii_digits();

// Address first, then the message proper (the LRC last); a frame of at least
// two bytes becomes address + data.
RxResult ascii_end(AsciiReceiver &rx, Packet *packet, bool on_control) {
  int n = PACKET_DATA_SIZE - rx.room / 2;
  if (rx.half) packet->data[n - 1] = static_cast<uint8_t>(rx.high << 4);   // not in the sum
  rx.state = ASCII_IDLE;
  if (!on_control || n <= 1) return RX_ABORT;
  if (rx.lrc != 0) return RX_DROPPED;
  packet->address[0] = packet->data[0];
  memmove(packet->data, packet->data + 1, static_cast<size_t>(n - 2));
  packet->length = static_cast<uint16_t>(n - 2);
  return RX_FRAME;
}

// Data bytes (function code to CRC) of a reply whose first bytes tell its
// length; 0 while they do not (yet).
constexpr uint16_t EXCEPTION_DATA = 4;     // function, code, CRC
constexpr uint16_t ECHO_DATA = 7;          // function, address, value or count, CRC
constexpr uint16_t COUNTED_OVERHEAD = 4;   // function, byte count, CRC
uint16_t rtu_reply_data_length(const uint8_t *data, uint16_t stored) {
  if (stored < 1) return 0;
  uint8_t function = data[0];
  if (function & MODBUS_EXCEPTION_BIT) return EXCEPTION_DATA;
  switch (function) {
    case 5: case 6: case 15: case 16:
      return ECHO_DATA;
    case 1: case 2: case 3: case 4: case 20: case 21:
      return stored < 2 ? 0 : static_cast<uint16_t>(COUNTED_OVERHEAD + data[1]);
    default:
      return 0;   // the silence tells
  }
}

}  // namespace

uint16_t check_update(uint16_t value, uint8_t byte, bool crc) {
  if (crc) return static_cast<uint16_t>((value >> 8) ^ crc_table[(value ^ byte) & 0xFF]);
  return static_cast<uint16_t>(value - byte);
}

RxResult line_receive(LineReceiver &rx, Packet *packet, uint8_t byte, bool awaiting) {
  byte &= 0x7F;
  bool end = byte < LINE_END_BELOW;
  if (rx.state == LINE_COLLECT && !packet) rx.state = LINE_IDLE;   // its packet was taken back
  switch (rx.state) {
    case LINE_IDLE:
      // The LF of a gateway that ends its lines with CR LF: no line of its
      // own, or it would be taken for the answer to the next command.
      if (byte == LF) return RX_SKIPPED;
      if (!awaiting) {
        if (!end) rx.state = LINE_SKIP;
        return RX_SKIPPED;
      }
      if (!packet) return RX_WANT_PACKET;
      rx.length = 0;
      rx.state = LINE_COLLECT;
      [[fallthrough]];
    case LINE_COLLECT:
      packet->data[rx.length++] = byte;
      if (end) {
        packet->length = rx.length;
        rx.state = LINE_IDLE;
        return RX_FRAME;
      }
      if (rx.length == PACKET_DATA_SIZE) {
        // Cut to what a packet holds; the rest of the line is not wanted.
        packet->length = rx.length;
        rx.state = LINE_SKIP;
        return RX_FRAME;
      }
      return RX_STORED;
    default:
      if (end) rx.state = LINE_IDLE;
      return RX_SKIPPED;
  }
}

uint16_t line_transmit(LineTransmitter &tx, const Packet *packet) {
  if (tx.index < data_length(packet)) return packet->data[tx.index++];
  tx.index = 0;
  return TX_FRAME_END;
}

uint16_t line_frame_length(const Packet *packet) { return data_length(packet); }

void line_write_frame(const Packet *packet, uint8_t *out) { memcpy(out, packet->data, data_length(packet)); }

RxResult rtu_receive(RtuReceiver &rx, Packet *packet, uint8_t byte, bool awaiting) {
  if (rx.state == RTU_COLLECT && !packet) rx.state = RTU_IDLE;   // its packet was taken back
  switch (rx.state) {
    case RTU_IDLE:
      if (!awaiting) {
        // Not ours to take: the whole frame goes, up to the silence.
        rx.state = RTU_SKIP;
        return RX_SKIPPED;
      }
      if (!packet) return RX_WANT_PACKET;
      rx.address = byte;
      rx.crc = crc_step(0xFFFF, byte);
      rx.stored = 0;
      rx.state = RTU_COLLECT;
      return RX_STORED;
    case RTU_COLLECT:
      if (rx.stored == PACKET_DATA_SIZE) {
        rx.state = RTU_SKIP;
        return RX_ABORT;
      }
      packet->data[rx.stored++] = byte;
      rx.crc = crc_step(rx.crc, byte);
      if (rx.crc == 0 && rx.stored == rtu_reply_data_length(packet->data, rx.stored)) {
        packet->length = static_cast<uint16_t>(rx.stored - 2);
        packet->address[0] = rx.address;
        rx.state = RTU_IDLE;
        return RX_FRAME;
      }
      return RX_STORED;
    default:
      return RX_SKIPPED;
  }
}

size_t rtu_receive_run(RtuReceiver &rx, Packet *packet, const uint8_t *bytes, size_t count) {
  if (rx.state == RTU_SKIP) return count;   // skipped, whatever comes, up to the silence
  if (rx.state != RTU_COLLECT || !packet) return 0;
  uint8_t *data = packet->data;
  size_t stored = rx.stored;
  uint16_t crc = rx.crc;
  size_t room = PACKET_DATA_SIZE - stored;   // the byte after those would be over-long
  size_t n = count < room ? count : room, i = 0;
  while (i < n) {
    // Only a byte that makes the reply as long as its first bytes tell, or
    // one of those first bytes, may end it (see rtu_receive); the bytes
    // before it are stored as they come.
    size_t want = rtu_reply_data_length(data, static_cast<uint16_t>(stored));
    size_t check = want > stored ? want : stored < 2 ? stored + 1 : PACKET_DATA_SIZE + 1;
    size_t plain = check - stored - 1;
    for (size_t end = n - i < plain ? n : i + plain; i < end; i++) {
      data[stored++] = bytes[i];
      crc = crc_step(crc, bytes[i]);
    }
    if (i == n) break;
    uint16_t next = crc_step(crc, bytes[i]);
    data[stored] = bytes[i];   // stored again, the same, if the machine takes it
    if (next == 0 && stored + 1 == rtu_reply_data_length(data, static_cast<uint16_t>(stored + 1))) break;
    crc = next;
    stored++;
    i++;
  }
  rx.stored = static_cast<uint16_t>(stored);
  rx.crc = crc;
  return i;
}

RxResult rtu_silence(RtuReceiver &rx, Packet *packet) {
  uint8_t state = rx.state;
  rx.state = RTU_IDLE;
  if (state != RTU_COLLECT || !packet) return RX_SKIPPED;
  // The CRC run over its own two bytes leaves 0.
  if (rx.stored <= 2 || rx.crc != 0) return RX_DROPPED;
  packet->length = static_cast<uint16_t>(rx.stored - 2);
  packet->address[0] = rx.address;
  return RX_FRAME;
}

bool rtu_mid_frame(const RtuReceiver &rx) { return rx.state != RTU_IDLE; }

uint16_t rtu_transmit(RtuTransmitter &tx, const Packet *packet) {
  switch (tx.state) {
    case RTU_ADDRESS:
      tx.crc = crc_step(0xFFFF, packet->address[0]);
      tx.index = 0;
      tx.state = RTU_DATA;
      return packet->address[0];
    case RTU_DATA:
      if (tx.index < data_length(packet)) {
        uint8_t b = packet->data[tx.index++];
        tx.crc = crc_step(tx.crc, b);
        return b;
      }
      tx.state = RTU_CRC_HIGH;
      return static_cast<uint8_t>(tx.crc & 0xFF);   // low byte first
    case RTU_CRC_HIGH:
      tx.state = RTU_END;
      return static_cast<uint8_t>(tx.crc >> 8);
    default:
      tx = RtuTransmitter{};
      return TX_FRAME_END;
  }
}

uint16_t rtu_frame_length(const Packet *packet) { return static_cast<uint16_t>(1 + data_length(packet) + 2); }

void rtu_write_frame(const Packet *packet, uint8_t *out) {
  uint16_t n = data_length(packet);
  uint16_t crc = crc_step(0xFFFF, packet->address[0]);
  *out++ = packet->address[0];
  for (uint16_t i = 0; i < n; i++) {
    uint8_t b = packet->data[i];
    crc = crc_step(crc, b);
    *out++ = b;
  }
  out[0] = static_cast<uint8_t>(crc & 0xFF);   // low byte first
  out[1] = static_cast<uint8_t>(crc >> 8);
}

bool ascii_mid_frame(const AsciiReceiver &rx) { return rx.state == ASCII_COLLECT; }

RxResult ascii_receive(AsciiReceiver &rx, Packet *packet, uint8_t byte, bool awaiting) {
  byte &= 0x7F;
  if (rx.state == ASCII_COLLECT && !packet) rx.state = ASCII_IDLE;   // its packet was taken back
  if (rx.state == ASCII_IDLE) {
    // Only a colon matters here: the LF after a frame's CR ends up here too.
    if (byte != ':' || !awaiting) return RX_SKIPPED;
    if (!packet) return RX_WANT_PACKET;
  }
  if (byte == ':') {
    // A colon is never a digit: a frame cut short (a far end that restarted)
    // must not swallow the frame that follows it.
    rx.lrc = 0;
    rx.half = false;
    rx.room = ASCII_ROOM;
    rx.state = ASCII_COLLECT;
    return RX_STORED;
  }
  if (byte < LINE_END_BELOW) return ascii_end(rx, packet, true);
  uint8_t digit = hex_value(byte);
  if (!rx.half) {
    rx.high = digit;
    rx.half = true;
  } else {
    uint8_t b = static_cast<uint8_t>(rx.high << 4 | digit);
    packet->data[(ASCII_ROOM - rx.room) / 2] = b;
    rx.lrc = static_cast<uint8_t>(rx.lrc + b);
    rx.half = false;
  }
  if (--rx.room == 0) return ascii_end(rx, packet, false);
  return RX_STORED;
}

size_t ascii_receive_run(AsciiReceiver &rx, Packet *packet, const uint8_t *bytes, size_t count) {
  if (rx.state != ASCII_COLLECT || !packet) return 0;
  // The character that uses up the frame's room cuts it: the machine's.
  auto digit = [bytes](size_t i) { return ascii_digits[bytes[i] & 0x7F]; };
  size_t i = 0, room = rx.room;
  uint8_t lrc = rx.lrc, high = rx.high;
  bool half = rx.half;
  uint8_t *out = packet->data + (ASCII_ROOM - room) / 2;   // the pair under way, or the next
  if (half && count > 0 && room > 1 && digit(0) != ASCII_STOP) {
    uint8_t b = static_cast<uint8_t>(high << 4 | digit(0));
    *out++ = b;
    lrc = static_cast<uint8_t>(lrc + b);
    half = false;
    room--;
    i = 1;
  }
  for (; !half && count - i >= 2 && room > 2; i += 2) {
    uint8_t first = digit(i), second = digit(i + 1);
    if ((first | second) & ASCII_STOP) break;
    high = first;   // as the machine leaves it
    uint8_t b = static_cast<uint8_t>(first << 4 | second);
    *out++ = b;
    lrc = static_cast<uint8_t>(lrc + b);
    room -= 2;
  }
  if (!half && i < count && room > 1 && digit(i) != ASCII_STOP) {   // a pair's first digit
    high = digit(i);
    half = true;
    room--;
    i++;
  }
  rx.room = static_cast<uint16_t>(room);
  rx.lrc = lrc;
  rx.high = high;
  rx.half = half;
  return i;
}

uint16_t ascii_transmit(AsciiTransmitter &tx, const Packet *packet) {
  auto byte = [packet](uint16_t i) { return i == 0 ? packet->address[0] : packet->data[i - 1]; };
  switch (tx.state) {
    case ASCII_COLON:
      tx.lrc = 0;
      tx.index = 0;
      tx.state = ASCII_HIGH;
      return ':';
    case ASCII_HIGH:
      if (tx.index <= data_length(packet)) {
        tx.state = ASCII_LOW;
        return static_cast<uint8_t>(hex_digits[byte(tx.index) >> 4]);
      }
      tx.state = ASCII_LRC_LOW;
      return static_cast<uint8_t>(hex_digits[tx.lrc >> 4]);
    case ASCII_LOW: {
      uint8_t b = byte(tx.index++);
      tx.lrc = static_cast<uint8_t>(tx.lrc - b);
      tx.state = ASCII_HIGH;
      return static_cast<uint8_t>(hex_digits[b & 0xF]);
    }
    case ASCII_LRC_LOW:
      tx.state = ASCII_CR;
      return static_cast<uint8_t>(hex_digits[tx.lrc & 0xF]);
    case ASCII_CR:
      tx.state = ASCII_LF;
      return CR;
    case ASCII_LF:
      tx.state = ASCII_END;
      return LF;
    default:
      tx = AsciiTransmitter{};
      return TX_FRAME_END;
  }
}

uint16_t ascii_frame_length(const Packet *packet) {
  return static_cast<uint16_t>(1 + 2 * (1 + data_length(packet)) + 2 + 2);   // ':', pairs, LRC, CR LF
}

void ascii_write_frame(const Packet *packet, uint8_t *out) {
  uint16_t n = data_length(packet);
  uint8_t lrc = 0;
  auto pair = [&out](uint8_t b) {
    *out++ = static_cast<uint8_t>(hex_digits[b >> 4]);
    *out++ = static_cast<uint8_t>(hex_digits[b & 0xF]);
  };
  *out++ = ':';
  pair(packet->address[0]);
  lrc = static_cast<uint8_t>(lrc - packet->address[0]);
  for (uint16_t i = 0; i < n; i++) {
    pair(packet->data[i]);
    lrc = static_cast<uint8_t>(lrc - packet->data[i]);
  }
  pair(lrc);
  out[0] = CR;
  out[1] = LF;
}
