#include "config/modem_config.h"

#include <bit>
#include <cstring>

#include "ui/boxes.h"

ModemConfig memory_config;
ModemConfig working_config;
uint16_t config_dirty = 0;
uint16_t current_field = 1;

const char *const parity_texts[4] = {"EVEN", "NONE", "ODD", "INVALID"};
const char *const error_check_texts[2] = {"BCC", "CRC"};
const char *const mode_texts[2] = {"Sy/Max", "Transparent"};
const char *const enabled_texts[2] = {"Enabled", "Disabled"};
const char INVALID_TEXT[] = "INVALID";
const char DIAL_SYMBOLS[] = "0123456789*#ABCD,!TPRW][;abcdtprw";
const char PASSWORD_SYMBOLS[] = "0123456789*#ABCD";

const char *baud_text(unsigned index) {
  return index < BAUD_COUNT ? baud_texts[index] : INVALID_TEXT;
}

const char *parity_text(unsigned code) {
  return code < 4 ? parity_texts[code] : INVALID_TEXT;
}

// Offsets of the 16-bit words of the image; everything else is bytes.
static constexpr uint8_t word_offsets[] = {0,  2,  4,  6,  48, 50, 52, 54, 56, 60,
                                           62, 64, 66, 68, 70, 72, 78, 80};

void config_to_bytes(const ModemConfig &config, uint8_t out[MODEM_CONFIG_SIZE]) {
  std::memcpy(out, &config, MODEM_CONFIG_SIZE);
  if constexpr (std::endian::native == std::endian::big) {
    for (uint8_t off : word_offsets) std::swap(out[off], out[off + 1]);
  }
}

void config_from_bytes(const uint8_t in[MODEM_CONFIG_SIZE], ModemConfig &config) {
  std::memcpy(&config, in, MODEM_CONFIG_SIZE);
  if constexpr (std::endian::native == std::endian::big) {
    auto *bytes = reinterpret_cast<uint8_t *>(&config);
    for (uint8_t off : word_offsets) std::swap(bytes[off], bytes[off + 1]);
  }
}

void build_default_config() {
  ModemConfig &c = working_config;
  std::memset(&c, 0, sizeof c);
  c.port_rate = 13;          // 9600
  c.line_rate = 14;          // 14400
  c.carrier_threshold = 2;
  c.cts_on_delay = 100;
  c.cts_off_delay = 100;
  c.answer_rings = 3;
  c.escape_char = '+';
  c.cr_char = 13;
  c.lf_char = 10;
  c.bs_char = 8;
  c.dial_tone_wait = 2;
  c.carrier_wait = 30;
  c.comma_pause = 2;
  c.dtmf_duration = 95;
  c.guard_time = 50;         // 1000 ms
}

bool check_dial_string(ModemConfig &config) {
  // The field may come from a file without its terminator: never walk past it.
  for (size_t i = 0; i < sizeof config.dial_string && config.dial_string[i] != 0; ++i) {
    char &ch = config.dial_string[i];
    switch (ch) {
      case 'a': case 'b': case 'c': case 'd':
      case 'p': case 'r': case 't': case 'w':
        ch = static_cast<char>(ch - 'a' + 'A');
        break;
      case '!': case '#': case '*': case ',': case ';': case '[': case ']':
      case 'A': case 'B': case 'C': case 'D': case 'P': case 'R': case 'T': case 'W':
        break;
      default:
        if (ch >= '0' && ch <= '9') break;
        alert_box("Invalid dialing digit");
        current_field = FIELD_DIAL_STRING;
        return false;
    }
  }
  return true;
}

namespace {

bool port_rate_valid(unsigned rate) { return rate >= 5 && rate <= 15; }

bool line_rate_valid(unsigned rate) {
  switch (rate) {
    case 0: case 5: case 7: case 9: case 11: case 12: case 13: case 14:
      return true;
    default:
      return false;
  }
}

// Shows the message of a failed check and moves the editor to its field.
bool refuse(const char *format, unsigned value, uint16_t field) {
  alert_printf(format, value);
  current_field = field;
  return false;
}

}  // namespace

bool check_table_values(const ModemConfig &c) {
  if (!port_rate_valid(c.port_rate)) return refuse("Invalid port rate %d", c.port_rate, FIELD_PORT_RATE);
  if (!line_rate_valid(c.line_rate)) return refuse("Invalid line rate %d", c.line_rate, FIELD_LINE_RATE);
  if (port_parity_code(c) > PARITY_LAST_CODE)
    return refuse("Invalid port parity %d", port_parity_code(c), FIELD_PORT_PARITY);
  if (line_parity_code(c) > PARITY_LAST_CODE)
    return refuse("Invalid line parity %d", line_parity_code(c), FIELD_LINE_PARITY);
  return true;
}

bool validate_config(ModemConfig &config) {
  const ModemConfig &c = config;
  if (!port_rate_valid(c.port_rate)) return refuse("Invalid port rate %d", c.port_rate, FIELD_PORT_RATE);
  if (!line_rate_valid(c.line_rate)) return refuse("Invalid line rate %d", c.line_rate, FIELD_LINE_RATE);
  if (c.carrier_threshold > 3) return refuse("Invalid threshold %d", c.carrier_threshold, FIELD_CARRIER_THRESHOLD);
  if (c.flags & CFG_MULTIDROP) {
    if (!(c.flags & CFG_TRANSPARENT)) {
      alert_box("Multidtrop not allowed with Sy/Max");
      return false;
    }
    if (!(c.flags & CFG_PRIVATE_LINE)) {
      alert_box("Multidrop not allowed with PSTN");
      return false;
    }
  }
  if (c.number_pointer != 0 && (c.number_pointer < 10 || c.number_pointer > 2048))
    return refuse("Number pointer %d out of range", c.number_pointer, FIELD_NUMBER_POINTER);
  return check_dial_string(config);
}

const char *password_text(uint16_t value) {
  static char text[16];
  for (int i = 0; i < 4; ++i) text[i] = PASSWORD_SYMBOLS[(value >> (12 - 4 * i)) & 0xF];
  text[4] = 0;
  // Leading 15s are unused symbol slots.
  for (int i = 0; i < 4 && text[i] == 'D'; ++i) text[i] = ' ';
  if (std::strcmp(text, "    ") == 0 || std::strcmp(text, "0000") == 0) {
    std::snprintf(text, sizeof text, "%s", "Not Required");
  }
  return text;
}
