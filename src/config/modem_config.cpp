#include "config/modem_config.h"

#include <bit>
#include <cstdio>
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
  c.port_rate = BAUD_9600;
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

namespace {

// The problem found, with the editor field it concerns (0: none).
bool problem(ConfigProblem *out, uint16_t field, const char *format, unsigned value = 0) {
  snprintf(out->text, sizeof out->text, format, value);
  out->field = field;
  return true;
}

bool dial_string_problem(ModemConfig &config, ConfigProblem *out) {
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
        return problem(out, FIELD_DIAL_STRING, "Invalid dialing digit");
    }
  }
  return false;
}

bool port_rate_valid(unsigned rate) { return rate >= 5 && rate <= 15; }

bool line_rate_valid(unsigned rate) {
  switch (rate) {
    case 0: case 5: case 7: case 9: case 11: case 12: case 13: case 14:
      return true;
    default:
      return false;
  }
}

// Shows a problem found and moves the editor to its field.
bool shown(const ConfigProblem &p) {
  alert_box(p.text);
  if (p.field) current_field = p.field;
  return false;
}

}  // namespace

bool table_values_problem(const ModemConfig &c, ConfigProblem *out) {
  if (!port_rate_valid(c.port_rate)) return problem(out, FIELD_PORT_RATE, "Invalid port rate %d", c.port_rate);
  if (!line_rate_valid(c.line_rate)) return problem(out, FIELD_LINE_RATE, "Invalid line rate %d", c.line_rate);
  if (port_parity_code(c) > PARITY_LAST_CODE)
    return problem(out, FIELD_PORT_PARITY, "Invalid port parity %d", port_parity_code(c));
  if (line_parity_code(c) > PARITY_LAST_CODE)
    return problem(out, FIELD_LINE_PARITY, "Invalid line parity %d", line_parity_code(c));
  return false;
}

bool config_problem(ModemConfig &config, ConfigProblem *out) {
  const ModemConfig &c = config;
  if (!port_rate_valid(c.port_rate)) return problem(out, FIELD_PORT_RATE, "Invalid port rate %d", c.port_rate);
  if (!line_rate_valid(c.line_rate)) return problem(out, FIELD_LINE_RATE, "Invalid line rate %d", c.line_rate);
  if (c.carrier_threshold > 3)
    return problem(out, FIELD_CARRIER_THRESHOLD, "Invalid threshold %d", c.carrier_threshold);
  if (c.flags & CFG_MULTIDROP) {
    if (!(c.flags & CFG_TRANSPARENT)) return problem(out, 0, "Multidtrop not allowed with Sy/Max");
    if (!(c.flags & CFG_PRIVATE_LINE)) return problem(out, 0, "Multidrop not allowed with PSTN");
  }
  if (c.number_pointer != 0 && (c.number_pointer < 10 || c.number_pointer > 2048))
    return problem(out, FIELD_NUMBER_POINTER, "Number pointer %d out of range", c.number_pointer);
  return dial_string_problem(config, out);
}

bool check_dial_string(ModemConfig &config) {
  ConfigProblem p;
  return !dial_string_problem(config, &p) || shown(p);
}

bool check_table_values(const ModemConfig &c) {
  ConfigProblem p;
  return !table_values_problem(c, &p) || shown(p);
}

bool validate_config(ModemConfig &config) {
  ConfigProblem p;
  return !config_problem(config, &p) || shown(p);
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
