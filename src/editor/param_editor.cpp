#include "editor/param_editor.h"

#include <cstddef>
#include <cstdio>
#include <cstring>

#include "config/transfer.h"
#include "ui/boxes.h"
#include "ui/screen.h"
#include "ui/window.h"

bool online_mode = false;
bool exit_request = false;
bool connect_request = false;
bool hangup_request = false;
bool setup_request = false;
uint32_t changed_items = 0;
uint16_t last_key = 0;
int (*editor_send_item)(int item) = nullptr;
const char *(*editor_link_error)() = nullptr;

const FormLabel editor_labels[EDITOR_FIELDS + 1] = {
    {5, 1, "Communication Mode", 0},
    {5, 40, "Connection", 0},
    {6, 1, "Auto Answer", 0},
    {6, 40, "Answer on ring", 0},
    {7, 1, "Wait for Dial Tone", 0},
    {7, 40, "Wait for Carrier", 0},
    {9, 1, "Port BPS", 0},
    {9, 40, "Parity", 0},
    {9, 60, "Error check", 0},
    {10, 1, "Line BPS", 0},
    {10, 40, "Parity", 0},
    {10, 60, "Error check", 0},
    {12, 1, "Watchdog mode", 0},
    {13, 1, "Number pointer", 0},
    {13, 28, "Dial string", 0},
    {14, 1, "Comma pause time", 0},
    {14, 40, "DTMF digit length", 0},
    {16, 1, "Hayes Escape char", 0},
    {16, 40, "Guard time", 0},
    {17, 1, "Hayes CR char", 0},
    {17, 30, "Hayes LF char", 0},
    {17, 60, "Hayes BS char", 0},
    {19, 1, "CTS On delay", 0},
    {19, 30, "CTS Off delay", 0},
    {19, 60, "Carrier detect", 0},
    {21, 1, "Answer password", 0},
    {0, 0, nullptr, 0},
};

namespace {

enum : int {
  F_MODE = 1, F_CONNECTION = 2, F_AUTO_ANSWER = 3, F_PORT_RATE = 7, F_PORT_PARITY = 8,
  F_PORT_CRC = 9, F_LINE_RATE = 10, F_LINE_PARITY = 11, F_LINE_CRC = 12, F_WATCHDOG = 13,
  F_DIAL_STRING = 15, F_GUARD_TIME = 19, F_PASSWORD = 26,
};

constexpr FieldFlags ENTRY_FLAGS = ATTR_HIGHLIGHT_HOT | FF_KEEP | FF_REPLACE;

const char ENTRY_TERMINATORS[] = {KEY_ESC, KEY_ENTER, char(KEY_UP), char(KEY_DOWN),
                                  char(KEY_LEFT), char(KEY_RIGHT), 0};
// Keys that start a typed entry.
const char ENTRY_SYMBOLS[] = "!#*,0123456789;ABCDPRTW[";

// Plain numeric fields: value, display (row, col, width, format), entry digits.
struct NumberField {
  int field;
  uint16_t ModemConfig::*member;
  int row, col, width;
  const char *format;
  int digits;
};
constexpr NumberField number_fields[] = {
    {4, &ModemConfig::answer_rings, 6, 60, 5, "%u", 3},
    {5, &ModemConfig::dial_tone_wait, 7, 20, 10, "%u S", 5},
    {6, &ModemConfig::carrier_wait, 7, 60, 10, "%u S", 5},
    {14, &ModemConfig::number_pointer, 13, 20, 5, "%u", 5},
    {16, &ModemConfig::comma_pause, 14, 20, 10, "%u S", 3},
    {17, &ModemConfig::dtmf_duration, 14, 60, 10, "%u mS", 3},
    {18, &ModemConfig::escape_char, 16, 20, 5, "%u", 3},
    {20, &ModemConfig::cr_char, 17, 20, 5, "%u", 3},
    {21, &ModemConfig::lf_char, 17, 45, 5, "%u", 3},
    {22, &ModemConfig::bs_char, 17, 75, 5, "%u", 3},
    {23, &ModemConfig::cts_on_delay, 19, 20, 5, "%u", 3},
    {24, &ModemConfig::cts_off_delay, 19, 45, 5, "%u", 3},
    {25, &ModemConfig::carrier_threshold, 19, 75, 5, "%u", 3},
};

const NumberField *number_field(int field) {
  for (const NumberField &f : number_fields)
    if (f.field == field) return &f;
  return nullptr;
}

// Field reached from each field by Left, Right, Up, Down; 0 stays.
constexpr uint8_t moves[EDITOR_FIELDS + 1][4] = {
    {0, 0, 0, 0},
    {0, 2, 0, 3},    {1, 0, 0, 4},    {0, 4, 1, 5},    {3, 0, 2, 6},    {0, 6, 3, 7},
    {5, 0, 4, 8},    {0, 8, 5, 10},   {7, 9, 6, 11},   {8, 0, 6, 12},   {0, 11, 7, 13},
    {10, 12, 8, 13}, {11, 0, 9, 13},  {0, 0, 10, 14},  {0, 15, 13, 16}, {14, 0, 13, 17},
    {0, 17, 14, 18}, {16, 0, 15, 19}, {0, 19, 16, 20}, {18, 0, 17, 21}, {0, 21, 18, 23},
    {20, 22, 19, 24}, {21, 0, 19, 25}, {0, 24, 20, 26}, {23, 25, 21, 26}, {24, 0, 22, 26},
    {0, 0, 23, 0},
};

FieldFlags attr_of(int field) { return field == current_field ? ATTR_HIGHLIGHT_HOT : ATTR_FIELD; }

void show(int row, int col, int width, const char *text, FieldFlags flags) {
  put_field(text, row, col, width, ' ', flags);
}

const char *connection_text(uint16_t flags) {
  if (!(flags & CFG_PRIVATE_LINE)) return "PSTN";
  return (flags & CFG_TWO_WIRE) ? "Two Wire" : "Four Wire";
}

void show_rate(int row, uint16_t rate, FieldFlags attr) {
  if (rate > 15)
    show(row, 20, 10, INVALID_TEXT, ATTR_ERROR);
  else
    show(row, 20, 10, baud_text(rate), attr);
}

// --- choice rules ---

void step_connection(bool next) {
  // State bits: private line 4, two wire 2, multidrop 1. The cycle is
  // PSTN -> Four Wire -> Two Wire -> Four Wire + Multidrop -> Two Wire +
  // Multidrop -> PSTN; PSTN with stray bits steps back into it.
  static constexpr uint8_t next_state[8] = {4, 0, 6, 7, 6, 7, 5, 0};
  static constexpr uint8_t prev_state[8] = {7, 0, 0, 6, 0, 6, 4, 5};
  uint16_t &f = working_config.flags;
  int s = ((f & CFG_PRIVATE_LINE) ? 4 : 0) | ((f & CFG_TWO_WIRE) ? 2 : 0) |
          ((f & CFG_MULTIDROP) ? 1 : 0);
  s = next ? next_state[s] : prev_state[s];
  f &= ~(CFG_PRIVATE_LINE | CFG_TWO_WIRE | CFG_MULTIDROP);
  if (s & 4) f |= CFG_PRIVATE_LINE;
  if (s & 2) f |= CFG_TWO_WIRE;
  if (s & 1) f |= CFG_MULTIDROP;
}

void step_port_rate(bool next) {
  uint16_t &r = working_config.port_rate;
  if (next)
    r = r + 1 > 15 ? 5 : r + 1;
  else
    r = (r > 15 || r - 1 < 5) ? 15 : r - 1;   // a value beyond the table wraps too
}

void step_line_rate(bool next) {
  static constexpr uint16_t rates[] = {5, 7, 9, 11, 12, 13, 14};
  uint16_t &r = working_config.line_rate;
  uint16_t to = next ? 5 : 14;
  if (next) {
    for (uint16_t v : rates)
      if (v > r) { to = v; break; }
  } else {
    for (uint16_t v : rates)
      if (v < r) to = v;
  }
  r = to;
}

void step_parity(uint16_t mask, int shift, bool next) {
  uint16_t &f = working_config.flags;
  unsigned code = (f & mask) >> shift;
  if (next)
    code = code >= 2 ? 0 : code + 1;      // EVEN -> NONE -> ODD -> EVEN
  else
    code = (code == 0 || code > 2) ? 2 : code - 1;
  f = static_cast<uint16_t>((f & ~mask) | (code << shift));
}

// Returns false when the key has no choice to step on this field. An online
// switch to Transparent ends the editor at once and sets *leave.
bool step_choice(bool next, bool *leave) {
  uint16_t &f = working_config.flags;
  switch (current_field) {
  case F_MODE:
    if (f & CFG_TRANSPARENT) {
      f &= ~CFG_TRANSPARENT;
    } else if (!online_mode) {
      f |= CFG_TRANSPARENT;
    } else if (confirm_box("Changing to Transparent will disconnect session. Proceed? ")) {
      f |= CFG_TRANSPARENT;
      if (editor_send_item && !editor_send_item(1))
        error_printf("%s", editor_link_error ? editor_link_error() : "");
      exit_request = true;
      *leave = true;
    }
    return true;
  case F_CONNECTION: step_connection(next); return true;
  case F_AUTO_ANSWER: f ^= CFG_AUTO_ANSWER_OFF; return true;
  case F_PORT_RATE: step_port_rate(next); return true;
  case F_PORT_PARITY: step_parity(CFG_PORT_PARITY, CFG_PORT_PARITY_SHIFT, next); return true;
  case F_PORT_CRC: f ^= CFG_PORT_CRC; return true;
  case F_LINE_RATE: step_line_rate(next); return true;
  case F_LINE_PARITY: step_parity(CFG_LINE_PARITY, CFG_LINE_PARITY_SHIFT, next); return true;
  case F_LINE_CRC: f ^= CFG_LINE_CRC; return true;
  case F_WATCHDOG: f ^= CFG_WATCHDOG; return true;
  default: return false;
  }
}

// --- typed entries ---

// Runs field_edit with the typed key as the entry's first keystroke. The key
// is put into the text here rather than queued, so that it comes before any
// keys still waiting in the scripted-key queue. A key the field does not
// allow is refused as the field editor would refuse it.
KeyCode run_entry(char *text, KeyCode first, int row, int col, int width, const char *allowed,
                  FieldFlags extra) {
  CharSet set;
  charset_build(allowed, &set);
  FieldFlags flags = ENTRY_FLAGS | extra;
  if (charset_has(first, &set)) {
    text[0] = static_cast<char>(first);
    text[1] = 0;
    flags &= ~FF_REPLACE;
  } else {
    beep();
  }
  return field_edit(text, row, col, width, ' ', allowed, ENTRY_TERMINATORS, flags);
}

uint16_t leading_number(const char *text) {
  unsigned v = 0;
  for (const char *p = text; *p >= '0' && *p <= '9'; p++) v = (v * 10 + (*p - '0')) & 0xFFFF;
  return static_cast<uint16_t>(v);
}

KeyCode number_entry(uint16_t *value, KeyCode first, int row, int col, int digits) {
  char text[24];
  snprintf(text, sizeof text, "%u", *value);
  // A value wider than the entry is shown cut to its digits when a refused
  // key opens the entry on the old text; left as shown, it keeps its value.
  char shown[24];
  snprintf(shown, sizeof shown, "%.*s", digits, text);
  const bool cut = std::strcmp(shown, text) != 0 && !(first >= '0' && first <= '9');
  KeyCode key = run_entry(text, first, row, col, digits, "0-9", 0);
  // Otherwise the field takes the text whatever key ended the entry.
  if (!cut || std::strcmp(text, shown) != 0) *value = leading_number(text);
  return key;
}

int password_symbol(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c == '*') return 10;
  if (c == '#') return 11;
  if (c >= 'A' && c <= 'D') return 12 + c - 'A';
  if (c >= 'a' && c <= 'd') return 12 + c - 'a';
  return -1;
}

uint16_t password_from_text(const char *text) {
  unsigned v = 0;
  bool leading = true;
  for (const char *p = text; *p; p++) {
    v = (v << 4) & 0xFFFF;
    int s = password_symbol(*p);
    // Leading blanks are how the display shows leading D symbols: read them
    // back as D so an unchanged password keeps its value.
    if (s < 0 && leading && *p == ' ') s = 15;
    if (s < 0) break;
    if (*p != ' ') leading = false;
    v += static_cast<unsigned>(s);
  }
  return static_cast<uint16_t>(v);
}

KeyCode password_entry(KeyCode first) {
  char text[16] = "";
  uint16_t &pw = working_config.password;
  if (pw != 0 && pw != 0xFFFF) snprintf(text, sizeof text, "%s", password_text(pw));
  show(21, 24, 10, "", 0);
  KeyCode key = run_entry(text, first, 21, 20, 4, PASSWORD_SYMBOLS, FF_UPPER);
  pw = password_from_text(text);
  return key;
}

// Starts a typed entry on the current field; returns the key that ended it,
// or 0 when the field takes no typing.
KeyCode typed_entry(KeyCode key) {
  ModemConfig &c = working_config;
  if (const NumberField *nf = number_field(current_field))
    return number_entry(&(c.*(nf->member)), key, nf->row, nf->col, nf->digits);
  switch (current_field) {
  case F_DIAL_STRING: {
    c.dial_string[sizeof c.dial_string - 1] = 0;
    return run_entry(c.dial_string, key, 13, 40, 39, DIAL_SYMBOLS, FF_UPPER);
  }
  case F_GUARD_TIME: {
    uint16_t ms = static_cast<uint16_t>(c.guard_time * 20u);
    KeyCode end = number_entry(&ms, key, 16, 60, 3);
    c.guard_time = ms / 20;
    return end;
  }
  case F_PASSWORD:
    return password_entry(key);
  default:
    return 0;
  }
}

// One key; returns the key that ended a typed entry (to be handled next as a
// command), else 0.
KeyCode apply_key(KeyCode key) {
  if (current_field < 1 || current_field > EDITOR_FIELDS) current_field = 1;
  ModemConfig snapshot = working_config;
  if (key >= 'a' && key <= 'z') key = static_cast<KeyCode>(key - 'a' + 'A');
  KeyCode pending = 0;
  bool leave = false;

  switch (key) {
  case '+':
  case ' ':
    if (!step_choice(true, &leave)) beep();
    break;
  case '-':
    if (!step_choice(false, &leave)) beep();
    break;
  case KEY_LEFT:
  case KEY_RIGHT:
  case KEY_UP:
  case KEY_DOWN: {
    int dir = key == KEY_LEFT ? 0 : key == KEY_RIGHT ? 1 : key == KEY_UP ? 2 : 3;
    if (int to = moves[current_field][dir]) current_field = static_cast<uint16_t>(to);
    if (!online_mode) draw_values();
    break;
  }
  case KEY_HOME: current_field = 1; break;
  case KEY_END: current_field = EDITOR_FIELDS; break;
  case KEY_DEL:
    if (current_field == F_DIAL_STRING)
      std::memset(working_config.dial_string, 0, sizeof working_config.dial_string);
    else if (current_field == F_PASSWORD)
      working_config.password = 0;
    else
      beep();
    if (!online_mode) draw_values();
    break;
  case KEY_ENTER:
    if (!online_mode) draw_values();
    break;
  case KEY_ESC:
    if (!online_mode) draw_values();
    exit_request = true;
    put_field("Exiting...", 13, 1, 80, ' ', FF_CENTER | ATTR_HIGHLIGHT_ERROR);
    break;
  case KEY_F7:
    if (online_mode) connect_request = true;
    else beep();
    break;
  case KEY_F8:
    if (online_mode) {
      connect_request = false;
      hangup_request = true;
    } else {
      beep();
    }
    break;
  case KEY_F9:
    if (!online_mode) draw_values();
    setup_request = true;
    break;
  default:
    if (key && std::strchr(ENTRY_SYMBOLS, key)) {
      pending = typed_entry(key);
      if (!pending) beep();
    } else {
      beep();
    }
    break;
  }
  if (leave) return 0;

  if (validate_config(working_config) && online_mode) track_changes(snapshot);
  return pending;
}

}  // namespace

void draw_values() {
  const ModemConfig &c = working_config;
  char text[48];

  show(5, 20, 12, mode_texts[(c.flags & CFG_TRANSPARENT) ? 1 : 0], attr_of(F_MODE));
  show(5, 51, 10, connection_text(c.flags), attr_of(F_CONNECTION));
  if (c.flags & CFG_MULTIDROP)
    show(5, 61, 10, "Multidrop", attr_of(F_CONNECTION));
  else
    show(5, 61, 10, "", 0);
  show(6, 20, 10, enabled_texts[(c.flags & CFG_AUTO_ANSWER_OFF) ? 1 : 0], attr_of(F_AUTO_ANSWER));
  for (const NumberField &nf : number_fields) {
    snprintf(text, sizeof text, nf.format, unsigned{c.*(nf.member)});
    show(nf.row, nf.col, nf.width, text, attr_of(nf.field));
  }
  show_rate(9, c.port_rate, attr_of(F_PORT_RATE));
  show(9, 50, 10, parity_text(port_parity_code(c)), attr_of(F_PORT_PARITY));
  show(9, 72, 8, error_check_texts[(c.flags & CFG_PORT_CRC) ? 1 : 0], attr_of(F_PORT_CRC));
  show_rate(10, c.line_rate, attr_of(F_LINE_RATE));
  show(10, 50, 10, parity_text(line_parity_code(c)), attr_of(F_LINE_PARITY));
  show(10, 72, 8, error_check_texts[(c.flags & CFG_LINE_CRC) ? 1 : 0], attr_of(F_LINE_CRC));
  show(12, 20, 10, enabled_texts[(c.flags & CFG_WATCHDOG) ? 0 : 1], attr_of(F_WATCHDOG));

  // A record read from a file may lack the terminator: show at most 40 bytes.
  size_t n = strnlen(c.dial_string, sizeof c.dial_string);
  if (n == 0) {
    snprintf(text, sizeof text, "NONE");
  } else {
    std::memcpy(text, c.dial_string, n);
    text[n] = 0;
  }
  show(13, 40, 40, text, attr_of(F_DIAL_STRING));

  snprintf(text, sizeof text, "%u mS", c.guard_time * 20u);
  show(16, 60, 7, text, attr_of(F_GUARD_TIME));
  show(21, 20, 12, password_text(c.password), attr_of(F_PASSWORD));
}

void edit_key(KeyCode key) {
  KeyCode pending = apply_key(key);
  // The key that ended an entry is the next command, ahead of queued keys.
  if (pending) apply_key(pending);
}

namespace {

// Where each transfer item lives in the record.
struct ItemField {
  size_t offset;
  size_t size;
};
constexpr ItemField item_fields[TRANSFER_ITEMS + 1] = {
    {0, 0},
    {offsetof(ModemConfig, flags), sizeof(uint16_t)},
    {offsetof(ModemConfig, port_rate), sizeof(uint16_t)},
    {offsetof(ModemConfig, line_rate), sizeof(uint16_t)},
    {offsetof(ModemConfig, number_pointer), sizeof(uint16_t)},
    {offsetof(ModemConfig, dial_string), sizeof(ModemConfig::dial_string)},
    {offsetof(ModemConfig, password), sizeof(uint16_t)},
    {offsetof(ModemConfig, carrier_threshold), sizeof(uint16_t)},
    {offsetof(ModemConfig, cts_on_delay), sizeof(uint16_t)},
    {offsetof(ModemConfig, cts_off_delay), sizeof(uint16_t)},
    {offsetof(ModemConfig, answer_rings), sizeof(uint16_t)},
    {offsetof(ModemConfig, escape_char), sizeof(uint16_t)},
    {offsetof(ModemConfig, cr_char), sizeof(uint16_t)},
    {offsetof(ModemConfig, lf_char), sizeof(uint16_t)},
    {offsetof(ModemConfig, bs_char), sizeof(uint16_t)},
    {offsetof(ModemConfig, dial_tone_wait), sizeof(uint16_t)},
    {offsetof(ModemConfig, carrier_wait), sizeof(uint16_t)},
    {offsetof(ModemConfig, comma_pause), sizeof(uint16_t)},
    {offsetof(ModemConfig, dtmf_duration), sizeof(uint16_t)},
    {offsetof(ModemConfig, guard_time), sizeof(uint16_t)},
};
constexpr int DIAL_STRING_ITEM = 5;

const unsigned char *field_of(const ModemConfig &c, int item) {
  return reinterpret_cast<const unsigned char *>(&c) + item_fields[item].offset;
}

}  // namespace

bool item_differs(const ModemConfig &a, const ModemConfig &b, int item) {
  if (item < 1 || item > TRANSFER_ITEMS) return false;
  if (item == DIAL_STRING_ITEM) return strncmp(a.dial_string, b.dial_string, sizeof a.dial_string) != 0;
  return std::memcmp(field_of(a, item), field_of(b, item), item_fields[item].size) != 0;
}

void copy_item(ModemConfig &to, const ModemConfig &from, int item) {
  if (item < 1 || item > TRANSFER_ITEMS) return;
  std::memcpy(reinterpret_cast<unsigned char *>(&to) + item_fields[item].offset, field_of(from, item),
              item_fields[item].size);
}

void track_changes(const ModemConfig &snapshot) {
  for (int item = 1; item <= TRANSFER_ITEMS; item++)
    if (item_differs(snapshot, working_config, item)) changed_items |= 1u << (item - 1);
}

void editor_help() {
  WindowHandle w = win_open(6, 28, 25, 79, "PARAMETER EDITOR HELP");
  auto line = [](int row, const char *text) { put_field(text, row, 30, 0, ' ', ATTR_NORMAL); };
  line(9, "Use Up, Down, Left, and Right arrows");
  line(10, "to select a field.");
  line(14, "In multiple choice fields, + key increases, -");
  line(15, "decreases, and spacebar increases to the last");
  line(16, "choice and then wraps to the first choice.");
  line(17, "In numeric fields, type new value and ENTER.");
  line(19, online_mode ? "Type ESC to exit online parameter editor."
                       : "Type ESC to exit offline parameter editor.");
  line(20, "Type F10 to clear error window.");
  if (online_mode) {
    line(21, "Type F7 to connect or F8 to hangup.");
    line(22, "Type F9 to change Sy/Max communication setup.");
  }
  line(24, "Press any key to close help window.");
  get_key();
  last_key = 0;
  // No key is left behind to redraw with: the help may have been opened over
  // a question or an entry, which would take it as the user's answer.
  win_close(&w);
}

int editor_help_hotkey(KeyCode, int) {
  editor_help();
  return 1;
}

void offline_editor() {
  working_config = memory_config;
  hotkey_add(KEY_F2, editor_help_hotkey);
  form_show_labels(editor_labels);
  put_field("Press F2 for help.", 3, 62, 0, ' ', ATTR_NORMAL);
  put_field("F2", 3, 68, 0, ' ', ATTR_FIELD);
  online_mode = false;
  draw_values();
  exit_request = false;
  do {
    edit_key(key_read(-1));
    draw_values();
  } while (!exit_request);
  // Reserved bytes count too: the whole record goes back to memory.
  if (std::memcmp(&working_config, &memory_config, sizeof working_config) != 0) config_dirty = 1;
  memory_config = working_config;
  hotkey_remove(KEY_F2);
}
