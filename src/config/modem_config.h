// ModemConfig: the modem's configuration record, its choice tables, the
// default record, validation and the password text.
//
//   ModemConfig           122 bytes; the layout is also the body of a .ZLE file
//   config_to_bytes       record -> 122-byte little-endian image
//   config_from_bytes     122-byte image -> record
//   build_default_config  clears working_config and sets the defaults
//   validate_config       checks a record; the first failure is shown with
//                         alert_printf, may move current_field, returns false.
//                         Upper-cases the dial string's letters in place.
//   check_dial_string     the dial-string part of validate_config
//   check_table_values    codes outside their tables (port and line rate,
//                         port and line parity), shown as validate_config
//                         shows a failure; what a modem must never be sent
//   config_problem / table_values_problem   the same checks, the message
//                         given back instead of shown
//   password_text         four-symbol form of the answer password
//   baud_text, parity_text  table texts; out-of-table codes give "INVALID"
//
// Program-wide state owned here: memory_config, working_config, config_dirty,
// current_field.
#pragma once
#include "link/link_setup.h"   // the baud-rate table is shared
#include <cstddef>
#include <cstdint>

struct ModemConfig {
  uint16_t flags;                 // CFG_* bits below
  uint16_t port_rate;             // baud index, valid 5..15
  uint16_t line_rate;             // baud index, valid 0,5,7,9,11,12,13,14
  uint16_t number_pointer;        // register of the dial string: 0 or 10..2048
  char dial_string[40];           // zero-terminated, at most 39 characters
  uint16_t password;              // four 4-bit symbols, most significant first
  uint16_t carrier_threshold;     // 0..3
  uint16_t cts_on_delay;
  uint16_t cts_off_delay;
  uint16_t answer_rings;          // S0
  uint8_t reserved_s1[2];         // ring-count slot; never edited or transferred
  uint16_t escape_char;           // S2
  uint16_t cr_char;               // S3
  uint16_t lf_char;               // S4
  uint16_t bs_char;               // S5
  uint16_t dial_tone_wait;        // S6, seconds
  uint16_t carrier_wait;          // S7, seconds
  uint16_t comma_pause;           // S8, seconds
  uint8_t reserved_s9_s10[4];     // unused register slots
  uint16_t dtmf_duration;         // S11, milliseconds
  uint16_t guard_time;            // S12, units of 20 ms
  uint8_t reserved[40];           // kept as loaded, copied with the record
};

constexpr size_t MODEM_CONFIG_SIZE = 122;

static_assert(sizeof(ModemConfig) == MODEM_CONFIG_SIZE);
static_assert(offsetof(ModemConfig, flags) == 0);
static_assert(offsetof(ModemConfig, port_rate) == 2);
static_assert(offsetof(ModemConfig, line_rate) == 4);
static_assert(offsetof(ModemConfig, number_pointer) == 6);
static_assert(offsetof(ModemConfig, dial_string) == 8);
static_assert(offsetof(ModemConfig, password) == 48);
static_assert(offsetof(ModemConfig, carrier_threshold) == 50);
static_assert(offsetof(ModemConfig, cts_on_delay) == 52);
static_assert(offsetof(ModemConfig, cts_off_delay) == 54);
static_assert(offsetof(ModemConfig, answer_rings) == 56);
static_assert(offsetof(ModemConfig, reserved_s1) == 58);
static_assert(offsetof(ModemConfig, escape_char) == 60);
static_assert(offsetof(ModemConfig, cr_char) == 62);
static_assert(offsetof(ModemConfig, lf_char) == 64);
static_assert(offsetof(ModemConfig, bs_char) == 66);
static_assert(offsetof(ModemConfig, dial_tone_wait) == 68);
static_assert(offsetof(ModemConfig, carrier_wait) == 70);
static_assert(offsetof(ModemConfig, comma_pause) == 72);
static_assert(offsetof(ModemConfig, reserved_s9_s10) == 74);
static_assert(offsetof(ModemConfig, dtmf_duration) == 78);
static_assert(offsetof(ModemConfig, guard_time) == 80);
static_assert(offsetof(ModemConfig, reserved) == 82);

// flags bits.
enum : uint16_t {
  CFG_CONNECT = 0x0001,           // written: connect command; fetched: connected
  CFG_REG1_BIT1 = 0x0002,         // carried from register 1, no meaning here
  CFG_MULTIDROP = 0x0004,
  CFG_TRANSPARENT = 0x0008,       // 1 "Transparent", 0 "Sy/Max"
  CFG_AUTO_ANSWER_OFF = 0x0010,   // 1 auto answer "Disabled"
  CFG_REG2_BIT5 = 0x0020,         // carried from register 2, no meaning here
  CFG_WATCHDOG = 0x0040,          // 1 "Enabled"
  CFG_PORT_PARITY = 0x0180,       // parity code 0..3
  CFG_LINE_PARITY = 0x0600,       // parity code 0..3
  CFG_PORT_CRC = 0x0800,          // 1 "CRC", 0 "BCC"
  CFG_LINE_CRC = 0x1000,
  CFG_PRIVATE_LINE = 0x2000,      // 1 private line, 0 "PSTN"
  CFG_TWO_WIRE = 0x4000,          // with PRIVATE_LINE: "Two Wire"; else off hook
  CFG_RINGING = 0x8000,
};
constexpr int CFG_PORT_PARITY_SHIFT = 7;
constexpr int CFG_LINE_PARITY_SHIFT = 9;
// Parity codes 0..2 are EVEN, NONE, ODD; 3 only shows a bad value.
constexpr unsigned PARITY_LAST_CODE = 2;

inline unsigned port_parity_code(const ModemConfig &c) {
  return (c.flags & CFG_PORT_PARITY) >> CFG_PORT_PARITY_SHIFT;
}
inline unsigned line_parity_code(const ModemConfig &c) {
  return (c.flags & CFG_LINE_PARITY) >> CFG_LINE_PARITY_SHIFT;
}

// Choice tables. Baud texts are padded to five characters.
extern const char *const parity_texts[4];          // "EVEN","NONE","ODD","INVALID"
extern const char *const error_check_texts[2];     // "BCC","CRC"
extern const char *const mode_texts[2];            // "Sy/Max","Transparent"
extern const char *const enabled_texts[2];         // "Enabled","Disabled"
extern const char INVALID_TEXT[];                  // "INVALID"
// Dial symbols the editor accepts, and the password symbols for 0..15.
extern const char DIAL_SYMBOLS[];                  // "0123456789*#ABCD,!TPRW][;abcdtprw"
extern const char PASSWORD_SYMBOLS[];              // "0123456789*#ABCD"

// Table lookups that never index out of range: "INVALID" outside the table.
const char *baud_text(unsigned index);
const char *parity_text(unsigned code);

// Editor field numbers that validation moves current_field to.
enum : uint16_t {
  FIELD_PORT_RATE = 7,
  FIELD_PORT_PARITY = 8,
  FIELD_LINE_RATE = 10,
  FIELD_LINE_PARITY = 11,
  FIELD_NUMBER_POINTER = 14,
  FIELD_DIAL_STRING = 15,
  FIELD_CARRIER_THRESHOLD = 25,
};

// Program-wide state.
extern ModemConfig memory_config;    // "memory": files, printout, send
extern ModemConfig working_config;   // editors, validation, transfers
extern uint16_t config_dirty;        // edited or fetched, not yet written
extern uint16_t current_field;       // the parameter editor's current field

void config_to_bytes(const ModemConfig &config, uint8_t out[MODEM_CONFIG_SIZE]);
void config_from_bytes(const uint8_t in[MODEM_CONFIG_SIZE], ModemConfig &config);

void build_default_config();
bool validate_config(ModemConfig &config);
bool check_dial_string(ModemConfig &config);
bool check_table_values(const ModemConfig &config);
// The checks of validate_config and check_table_values without a screen:
// true when the record has a problem, with its message (the texts those
// show) and its editor field (0: none). config_problem upper-cases the dial
// string's letters in place, as validate_config does.
struct ConfigProblem {
  char text[48];
  uint16_t field;
};
bool config_problem(ModemConfig &config, ConfigProblem *out);
bool table_values_problem(const ModemConfig &config, ConfigProblem *out);
// Valid until the next call.
const char *password_text(uint16_t value);
