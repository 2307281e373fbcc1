// The register viewer: table arithmetic, cell texts, and the refresh and
// key loop over the program's link.
#include "regview/regview.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "link/link.h"
#include "link/link_dialogs.h"
#include "link/link_kinds.h"
#include "link/link_setup.h"
#include "ui/boxes.h"
#include "ui/screen.h"
#include "ui/window.h"

namespace {

// LinkSetup's YES / NO choices.
constexpr uint16_t SETTING_YES = 0;
constexpr uint16_t SETTING_NO = 1;

constexpr int SCROLL_ROWS = 3;
constexpr int ERROR_ROW = 25;
constexpr int ERROR_COL = 40;
constexpr int ERROR_WIDTH = 40;
constexpr int TABLE_WIDTH = 58;   // register number to STAT

// A pass starts no sooner than the live screens' pace allows (ui/pace.h).
// After two failed reads in a row (no port, a dead line, a device that
// refuses every read at once) the next try waits this long from the last
// one's start, so a table that cannot be read does not keep the line busy;
// a single failure among good reads is tried again at the usual pace.
constexpr auto RETRY_PAUSE = std::chrono::milliseconds(100);
constexpr int FAILURES_BEFORE_PAUSE = 2;

// Keys that end an edit: register number, value columns, BINARY (where Left
// and Right move between the bits).
constexpr char ENDS_NUMBER_EDIT[] = {KEY_ENTER, KEY_ESC, static_cast<char>(KEY_DOWN), static_cast<char>(KEY_UP),
                                     static_cast<char>(KEY_LEFT), static_cast<char>(KEY_RIGHT),
                                     static_cast<char>(KEY_F1), static_cast<char>(KEY_PGDN),
                                     static_cast<char>(KEY_PGUP), static_cast<char>(KEY_HOME),
                                     static_cast<char>(KEY_F8), static_cast<char>(KEY_F9), 0};
constexpr char ENDS_VALUE_EDIT[] = {KEY_ENTER, KEY_ESC, static_cast<char>(KEY_DOWN), static_cast<char>(KEY_UP),
                                    static_cast<char>(KEY_LEFT), static_cast<char>(KEY_RIGHT),
                                    static_cast<char>(KEY_PGDN), static_cast<char>(KEY_PGUP),
                                    static_cast<char>(KEY_HOME), static_cast<char>(KEY_F8),
                                    static_cast<char>(KEY_F9), 0};
constexpr char ENDS_BINARY_EDIT[] = {KEY_ENTER, KEY_ESC, static_cast<char>(KEY_DOWN), static_cast<char>(KEY_UP),
                                     static_cast<char>(KEY_PGDN), static_cast<char>(KEY_PGUP),
                                     static_cast<char>(KEY_F8), static_cast<char>(KEY_F9), 0};

// Where each column is shown and edited, indexed by ViewerColumn - 1.
struct ColumnSpec {
  int shown_col, shown_width;
  int edit_col, edit_width;
  const char *allowed;
  const char *terminators;
  FieldFlags flags;
};
constexpr ColumnSpec columns[] = {
    {.shown_col = 1, .shown_width = 7, .edit_col = 1, .edit_width = 7, .allowed = "0-9",
     .terminators = ENDS_NUMBER_EDIT, .flags = FF_KEEP | FF_REPLACE | ATTR_FIELD},
    {.shown_col = 9, .shown_width = 6, .edit_col = 10, .edit_width = 6, .allowed = "0-9A-F",
     .terminators = ENDS_VALUE_EDIT, .flags = FF_UPPER | FF_KEEP | FF_REPLACE | ATTR_FIELD},
    {.shown_col = 15, .shown_width = 8, .edit_col = 16, .edit_width = 6, .allowed = "0-9",
     .terminators = ENDS_VALUE_EDIT, .flags = FF_UPPER | FF_KEEP | FF_REPLACE | ATTR_FIELD},
    {.shown_col = 23, .shown_width = 8, .edit_col = 24, .edit_width = 6, .allowed = "-0-9",
     .terminators = ENDS_VALUE_EDIT, .flags = FF_UPPER | FF_KEEP | FF_REPLACE | ATTR_FIELD},
    // Edited by edit_bits, not field_edit: its cursor passes the blanks.
    {.shown_col = 31, .shown_width = 21, .edit_col = 32, .edit_width = 19, .allowed = " 01",
     .terminators = ENDS_BINARY_EDIT, .flags = FF_OVERWRITE | FF_KEEP | ATTR_FIELD},
};
constexpr int STATUS_COL = 55;
constexpr int STATUS_WIDTH = 4;
constexpr int ERROR_TEXT_COL = 10;
constexpr int ERROR_TEXT_WIDTH = 20;
constexpr int ERROR_BLANK_COL = 31;
constexpr int ERROR_BLANK_WIDTH = 20;

const ColumnSpec &spec_of(int column) { return columns[column - 1]; }

// --- the link waits ---

// While the table is being read, a key ends the wait at the next idle step:
// the read is given up and the key acted on. Writes and the value an edit
// starts from are waited for (only Esc ends those, as everywhere).
bool reads_yield_to_keys = false;
bool read_ended_by_key = false;

int viewer_idle(int user) {
  if (!wait_spinner(user)) return 0;
  if (reads_yield_to_keys && wait_key_seen) {
    read_ended_by_key = true;
    return 0;
  }
  return 1;
}

// Whether a key waits. Queued keys (typed during a link wait, or from a
// script) count at once; the terminal itself is asked at most once per
// KEY_LOOK_INTERVAL, as asking it before every row of a pass cost more than
// the read. A look that found a key is not rate limited: the key waits
// until it is read, and saying "none" meanwhile would send the viewer back
// to the link instead of to the key.
constexpr auto KEY_LOOK_INTERVAL = std::chrono::milliseconds(1);
std::chrono::steady_clock::time_point last_key_look;
bool key_seen = false;

bool key_arrived() {
  if (key_queue_count() > 0) return true;
  auto now = std::chrono::steady_clock::now();
  if (!key_seen && now - last_key_look < KEY_LOOK_INTERVAL) return false;
  last_key_look = now;
  key_seen = key_waiting();
  return key_seen;
}

bool key_pending() { return wait_key_seen != 0 || key_arrived(); }

// How many values a successful read stored: every kind answers the count
// it stored (a short Sy/Max reply stores fewer).
int values_stored(int result, int count) {
  if (result <= 0) return 0;
  return result < count ? result : count;
}

int read_table(bool input_set, int first, int count, uint16_t *out) {
  reads_yield_to_keys = true;
  read_ended_by_key = false;
  int r = input_set ? link_read_input_registers(link_handle, 0, first, count, out)
                    : link_read_registers(link_handle, first, count, out);
  reads_yield_to_keys = false;
  return values_stored(r, count);
}

void install_idle() {
  if (link_handle) link_set_idle_callback(link_handle, viewer_idle, 0);
}

// --- settings ---

int viewer_rows() {
  if (link_setup.rv_screen_size < 1 || link_setup.rv_screen_size > VIEWER_MAX_ROWS)
    link_setup.rv_screen_size = VIEWER_MAX_ROWS;
  return link_setup.rv_screen_size;
}

bool input_set() { return link_setup.rv_register_set != 0; }
bool status_shown() { return link_setup.rv_status_registers == SETTING_YES; }
bool identify_wanted() { return link_setup.rv_identify_module == SETTING_YES; }

// --- drawing ---

void draw_fixed_texts() {
  put_field("REGSTR   HEX   UNSIGN  SIGNED         BINARY          STAT", 4, 1, 0, ' ', ATTR_HIGHLIGHT);
  put_field("KTWL Sy/Max - Modbus", 6, 60, 0, ' ', ATTR_NORMAL);
  put_field(" Register Viewer", 7, 62, 0, ' ', ATTR_NORMAL);
  put_field("Press F2 for Help", 9, 62, 0, ' ', ATTR_NORMAL);
  put_field("F2", 9, 68, 0, ' ', ATTR_FIELD);
  put_field("F8 for Register Config", 10, 59, 0, ' ', ATTR_NORMAL);
  put_field("F8", 10, 59, 0, ' ', ATTR_FIELD);
  put_field("F9 for Serial Config", 11, 60, 0, ' ', ATTR_NORMAL);
  put_field("F9", 11, 60, 0, ' ', ATTR_FIELD);
}

int register_on(const RegisterViewer *v, int row) { return v->pos.first + row - VIEWER_FIRST_ROW; }

bool value_known(const RegisterViewer *v, int reg, uint16_t *value) {
  int i = reg - v->values_first;
  if (v->failed || v->values_set != link_setup.rv_register_set || i < 0 || i >= v->values_count) return false;
  *value = v->values[i];
  return true;
}

// Whether the cells at row, col .. col + width - 1 still show what `d`
// recorded from the same inputs.
bool still_drawn(const ViewerDrawn &d, const uint32_t (&inputs)[3], int row, int col, int width) {
  int at = (row - 1) * SCR_COLS + col - 1;
  return d.valid && memcmp(d.inputs, inputs, sizeof inputs) == 0 &&
         memcmp(d.chars, shadow_chars + at, static_cast<size_t>(width)) == 0 &&
         memcmp(d.attrs, shadow_attrs + at, static_cast<size_t>(width)) == 0;
}

void record_drawn(ViewerDrawn &d, const uint32_t (&inputs)[3], int row, int col, int width) {
  int at = (row - 1) * SCR_COLS + col - 1;
  memcpy(d.inputs, inputs, sizeof inputs);
  memcpy(d.chars, shadow_chars + at, static_cast<size_t>(width));
  memcpy(d.attrs, shadow_attrs + at, static_cast<size_t>(width));
  d.valid = true;
}

void draw_status(RegisterViewer *v, int row) {
  int reg = register_on(v, row);
  int i = reg - v->values_first;
  bool value_shown = status_shown() && !input_set() && i >= 0 && i < v->status_count;
  // What the cell shows: the value, "----" or blanks (selected or not).
  uint32_t inputs[3] = {value_shown ? 0u : status_shown() ? 1u : 2u, value_shown ? v->status[i] : 0u,
                        row == v->pos.row ? 1u : 0u};
  ViewerDrawn &drawn = v->drawn_status[row - VIEWER_FIRST_ROW];
  if (still_drawn(drawn, inputs, row, STATUS_COL, STATUS_WIDTH)) return;
  if (value_shown) {
    char text[8];
    snprintf(text, sizeof text, "%04X", v->status[i]);
    put_field(text, row, STATUS_COL, STATUS_WIDTH, ' ', ATTR_NORMAL);
  } else {
    put_field(status_shown() ? "----" : "", row, STATUS_COL, STATUS_WIDTH, ' ',
              row == v->pos.row ? ATTR_FIELD : ATTR_NORMAL);
  }
  record_drawn(drawn, inputs, row, STATUS_COL, STATUS_WIDTH);
}

// A table row's number and values (blank while not known), or ERROR after
// a failed read.
void draw_values(RegisterViewer *v, int row) {
  int reg = register_on(v, row);
  bool selected_row = row == v->pos.row;
  uint16_t value = 0;
  bool known = !v->failed && value_known(v, reg, &value);
  uint32_t inputs[3] = {static_cast<uint32_t>(reg),
                        (input_set() ? 1u : 0u) | (v->failed ? 2u : 0u) | (known ? 4u : 0u) |
                            (selected_row ? static_cast<uint32_t>(v->column) << 3 : 0u),
                        value};
  ViewerDrawn &drawn = v->drawn_values[row - VIEWER_FIRST_ROW];
  if (still_drawn(drawn, inputs, row, 1, VIEWER_DRAWN_WIDTH)) return;
  char text[24];
  snprintf(text, sizeof text, "%cx%d", input_set() ? '3' : '4', reg);
  const ColumnSpec &number = spec_of(VCOL_REGISTER);
  // The selected number stands left, where its edit starts.
  put_field(text, row, number.shown_col, number.shown_width, ' ',
            selected_row && v->column == VCOL_REGISTER ? ATTR_FIELD : FF_RIGHT | ATTR_NORMAL);
  if (v->failed) {
    put_field("ERROR", row, ERROR_TEXT_COL, ERROR_TEXT_WIDTH, ' ', selected_row ? ATTR_FIELD : ATTR_ERROR);
    put_field("", row, ERROR_BLANK_COL, ERROR_BLANK_WIDTH, ' ', ATTR_NORMAL);
  } else {
    for (int c = VCOL_HEX; c <= VCOL_BINARY; c++) {
      text[0] = 0;
      if (known) viewer_cell_text(c, value, text, sizeof text);
      const ColumnSpec &s = spec_of(c);
      put_field(text, row, s.shown_col, s.shown_width, ' ',
                selected_row && v->column == c ? ATTR_FIELD : ATTR_NORMAL);
    }
  }
  record_drawn(drawn, inputs, row, 1, VIEWER_DRAWN_WIDTH);
}

void draw_row(RegisterViewer *v, int row) {
  draw_values(v, row);
  draw_status(v, row);
}

// Rows of a larger table drawn before are wiped, so none stays behind
// unrefreshed.
void clear_extra_rows(RegisterViewer *v, int rows) {
  for (int r = rows; r < v->drawn_rows; r++) put_field("", VIEWER_FIRST_ROW + r, 1, TABLE_WIDTH, ' ', ATTR_NORMAL);
  v->drawn_rows = rows;
}

void draw_table(RegisterViewer *v, int rows) {
  clear_extra_rows(v, rows);
  for (int r = 0; r < rows; r++) draw_row(v, VIEWER_FIRST_ROW + r);
}

// --- editing ---

bool starts_edit(KeyCode key) {
  return (key >= '0' && key <= '9') || (key >= 'A' && key <= 'Z') || (key >= 'a' && key <= 'z') || key == '-';
}

// The value an edit starts from: from the table when the table shows it,
// else read afresh.
bool current_value(const RegisterViewer *v, int reg, uint16_t *value) {
  if (value_known(v, reg, value)) return true;
  return (input_set() ? link_read_input_registers(link_handle, 0, reg, 1, value)
                      : link_read_registers(link_handle, reg, 1, value)) > 0;
}

// Set while BINARY is edited: the help must not end that edit (see
// register_viewer_help).
bool editing_bits = false;

void binary_groups(uint16_t value, char *out, size_t size, bool trailing_space);

// BINARY is edited bit by bit: the cursor stands only on the 16 digits and
// passes the group blanks, so the bits can be typed in a row or just as the
// column shows them. A blank typed where a group starts is the one the
// cursor has just passed; elsewhere it goes on to the next group. Returns
// the key that ended the edit; *value takes the bits unless that was Esc.
KeyCode edit_bits(uint16_t *value, int row, KeyCode first) {
  constexpr int BITS = 16, GROUP = 4;
  const ColumnSpec &s = spec_of(VCOL_BINARY);
  CharSet ends;
  charset_build(s.terminators, &ends);
  uint16_t bits = *value;
  int at = 0;   // 0 is the highest bit; BITS is just past the last one
  push_key_front(first);
  editing_bits = true;
  KeyCode key;
  for (;;) {
    char text[24];
    binary_groups(bits, text, sizeof text, false);
    put_field(text, row, s.edit_col, s.edit_width, ' ', ATTR_FIELD);
    // Past the last bit the cursor stands just after the field, as at the
    // end of any field.
    int pos = at < BITS ? at + at / GROUP : s.edit_width;
    con_goto(row - 1, s.edit_col + pos - 1);
    cursor_show();
    key = get_key();
    cursor_hide();
    if (key == KEY_ESC || charset_has(key, &ends)) break;
    switch (key) {
      case '0':
      case '1':
        if (at == BITS) {
          beep();
          break;
        }
        bits = static_cast<uint16_t>(key == '1' ? bits | 1u << (BITS - 1 - at) : bits & ~(1u << (BITS - 1 - at)));
        at++;
        break;
      case ' ':
        if (at % GROUP != 0) at = (at / GROUP + 1) * GROUP;
        break;
      case KEY_LEFT:
      case KEY_BACKSPACE:
        if (at > 0) at--;
        break;
      case KEY_RIGHT:
        if (at < BITS) at++;
        break;
      case KEY_HOME: at = 0; break;
      case KEY_END: at = BITS; break;
      default: beep(); break;
    }
  }
  editing_bits = false;
  if (key != KEY_ESC) *value = bits;
  return key;
}

// Edits the selected cell, the typed key first; returns the key that ended
// the edit, or 0 when no edit could start.
KeyCode edit_cell(RegisterViewer *v, KeyCode typed, int rows) {
  const ColumnSpec &s = spec_of(v->column);
  int row = v->pos.row;
  int reg = register_on(v, row);
  char text[32];
  if (v->column == VCOL_REGISTER) {
    snprintf(text, sizeof text, "%d", reg);
    push_key_front(typed);
    KeyCode end = field_edit(text, row, s.edit_col, s.edit_width, ' ', s.allowed, s.terminators, s.flags);
    if (end != KEY_ESC && text[0]) viewer_goto(v->pos, atol(text), rows);
    return end;
  }
  uint16_t old;
  if (!current_value(v, reg, &old)) {
    beep();
    return 0;
  }
  uint16_t value = old;
  KeyCode end;
  if (v->column == VCOL_BINARY) {
    end = edit_bits(&value, row, typed);
    if (end == KEY_ESC) return end;
  } else {
    viewer_edit_text(v->column, old, text, sizeof text);
    // The typed key goes in front of any keys typed after it.
    push_key_front(typed);
    end = field_edit(text, row, s.edit_col, s.edit_width, ' ', s.allowed, s.terminators, s.flags);
    // Esc gives the edit up: nothing is written.
    if (end == KEY_ESC) return end;
    if (!viewer_parse_edit(v->column, text, &value)) {
      beep();
      return end;
    }
  }
  int written = input_set() ? link_write_file_record(link_handle, reg, 1, &value)
                            : link_write_registers(link_handle, reg, 1, &value);
  if (!written) {
    // A refused write leaves the register as it was, and the next refresh
    // would show the old value without a word: say why here. Esc in the
    // error window leaves the viewer, as after a failed read.
    v->write_failed = true;
    if (!error_box(link_error_text(link_handle))) return KEY_ESC;
    return end;
  }
  int i = reg - v->values_first;
  if (i >= 0 && i < v->values_count) v->values[i] = value;
  return end;
}

// Waits, sleeping, until the next pass may start; true as soon as a key
// waits instead.
bool wait_for_pass(RegisterViewer *v) {
  if (v->failures >= FAILURES_BEFORE_PAUSE && v->pacer.started &&
      wait_key_until(v->pacer.last_start + RETRY_PAUSE))
    return true;
  return pace_pass(v->pacer);
}

}  // namespace

// --- table arithmetic ---

void viewer_limit(ViewerPos &p, int rows) {
  if (p.first < 1) p.first = 1;
  int last_row = VIEWER_FIRST_ROW + rows - 1;
  int last_first = VIEWER_LAST_REGISTER + 1 - rows;
  if (p.first > last_first) {
    p.row += p.first - last_first;
    p.first = last_first;
  }
  if (p.row > last_row) p.row = last_row;
  if (p.row < VIEWER_FIRST_ROW) p.row = VIEWER_FIRST_ROW;
}

void viewer_move(ViewerPos &p, KeyCode key, int rows, int start_register) {
  int last_row = VIEWER_FIRST_ROW + rows - 1;
  // From the table's edge the table scrolls by three rows and the next
  // register is selected, a row in from the edge; a table of three rows or
  // fewer has no room for that and scrolls by one.
  bool scroll_three = rows > SCROLL_ROWS;
  switch (key) {
    case KEY_DOWN:
      if (p.row < last_row) {
        p.row++;
      } else if (scroll_three) {
        p.row -= SCROLL_ROWS - 1;
        p.first += SCROLL_ROWS;
      } else {
        p.first++;
      }
      break;
    case KEY_UP:
      if (p.row > VIEWER_FIRST_ROW) {
        p.row--;
      } else if (scroll_three) {
        int target = p.first - 1;   // the register above the table
        p.row += SCROLL_ROWS - 1;
        p.first -= SCROLL_ROWS;
        if (p.first < 1) {
          p.first = 1;
          p.row = VIEWER_FIRST_ROW + (target > 1 ? target : 1) - 1;
        }
      } else {
        p.first--;
      }
      break;
    case KEY_PGDN: p.first += (rows + 1) / 2; break;
    case KEY_PGUP: p.first -= (rows + 1) / 2; break;
    case KEY_HOME:
      p.first = start_register;
      p.row = VIEWER_FIRST_ROW;
      break;
    default: break;
  }
  viewer_limit(p, rows);
}

void viewer_goto(ViewerPos &p, long typed, int rows) {
  long target = typed < 1 ? 1 : typed > VIEWER_LAST_REGISTER ? VIEWER_LAST_REGISTER : typed;
  long first = target + VIEWER_FIRST_ROW - p.row;
  if (first < 1) {
    // Near register 1 the selection moves up to the typed register.
    p.row -= static_cast<int>(1 - first);
    first = 1;
  }
  p.first = static_cast<int>(first);
  viewer_limit(p, rows);
}

void viewer_fit(ViewerPos &p, int rows) {
  int last_row = VIEWER_FIRST_ROW + rows - 1;
  if (p.row > last_row) {
    p.first += p.row - last_row;
    p.row = last_row;
  }
  viewer_limit(p, rows);
}

// --- cell texts ---

namespace {
void binary_groups(uint16_t value, char *out, size_t size, bool trailing_space) {
  char text[24];
  int at = 0;
  for (int bit = 15; bit >= 0; bit--) {
    text[at++] = (value >> bit) & 1 ? '1' : '0';
    if (bit % 4 == 0 && (bit > 0 || trailing_space)) text[at++] = ' ';
  }
  text[at] = 0;
  snprintf(out, size, "%s", text);
}
}  // namespace

void viewer_cell_text(int column, uint16_t value, char *out, size_t size) {
  switch (column) {
    case VCOL_HEX: snprintf(out, size, " %04X", value); break;
    case VCOL_UNSIGN: snprintf(out, size, " %6u", value); break;
    case VCOL_SIGNED: snprintf(out, size, " %6d", static_cast<int16_t>(value)); break;
    case VCOL_BINARY: {
      char bits[24];
      binary_groups(value, bits, sizeof bits, true);
      snprintf(out, size, " %s", bits);
      break;
    }
    default: snprintf(out, size, "%s", ""); break;
  }
}

void viewer_edit_text(int column, uint16_t value, char *out, size_t size) {
  switch (column) {
    case VCOL_HEX: snprintf(out, size, "%04X", value); break;
    case VCOL_UNSIGN: snprintf(out, size, "%u", value); break;
    case VCOL_SIGNED: snprintf(out, size, "%d", static_cast<int16_t>(value)); break;
    case VCOL_BINARY: binary_groups(value, out, size, false); break;
    default: snprintf(out, size, "%s", ""); break;
  }
}

bool viewer_parse_edit(int column, const char *text, uint16_t *value) {
  const char *p = text;
  long v = 0;
  switch (column) {
    case VCOL_HEX:
      for (; *p; p++) {
        int d = *p >= '0' && *p <= '9' ? *p - '0' : *p >= 'A' && *p <= 'F' ? *p - 'A' + 10
                : *p >= 'a' && *p <= 'f' ? *p - 'a' + 10 : -1;
        if (d < 0) return false;
        v = v * 16 + d;
        if (v > 0xFFFF) return false;
      }
      break;
    case VCOL_UNSIGN:
    case VCOL_SIGNED: {
      bool negative = column == VCOL_SIGNED && *p == '-';
      if (negative) p++;
      if (negative && !*p) return false;
      long limit = column == VCOL_UNSIGN ? 0xFFFF : negative ? 0x8000 : 0x7FFF;
      for (; *p; p++) {
        if (*p < '0' || *p > '9') return false;
        v = v * 10 + (*p - '0');
        if (v > limit) return false;
      }
      if (negative) v = -v;
      break;
    }
    case VCOL_BINARY: {
      int digits = 0;
      for (; *p; p++) {
        if (*p != '0' && *p != '1') continue;
        if (++digits > 16) return false;
        v = v << 1 | (*p - '0');
      }
      if (digits != 16) return false;
      break;
    }
    default: return false;
  }
  *value = static_cast<uint16_t>(v & 0xFFFF);
  return true;
}

// --- the viewer ---

bool viewer_enter(RegisterViewer *v, int status_offset) {
  *v = RegisterViewer{};
  v->status_offset = status_offset;
  clear_to_end(4, 1);
  draw_fixed_texts();
  hotkey_add(KEY_F2, register_viewer_help);
  install_idle();
  if (link_setup.rv_start_register == 0) link_setup.rv_start_register = 1;
  v->pos = {link_setup.rv_start_register, VIEWER_FIRST_ROW};
  viewer_limit(v->pos, viewer_rows());
  // Priority replies carry no status registers, nor do some kinds' replies.
  const LinkKindEntry *kind = link_kind_entry(link_setup.kind);
  if (link_setup.rv_priority || (kind && !kind->status_registers)) link_setup.rv_status_registers = SETTING_NO;
  link_set_options(link_handle, link_setup.error_check, link_setup.rv_priority);
  // An Esc during the menu's check of the module gave its read up and waits
  // in the queue to end the viewer at its first step: a second check now
  // would first wait out the whole reply time-out.
  if (link_handle && link_handle->idle_aborted && key_waiting()) return true;
  return !(identify_wanted() && !identify_module(""));
}

ViewerStep viewer_refresh(RegisterViewer *v) {
  int rows = viewer_rows();
  viewer_fit(v->pos, rows);
  if (key_pending() || wait_for_pass(v)) return VIEWER_KEY;
  uint16_t read[VIEWER_MAX_ROWS];
  int stored = read_table(input_set(), v->pos.first, rows, read);
  if (!stored) {
    if (read_ended_by_key) return VIEWER_KEY;
    if (wait_key_seen) {
      put_field(link_error_text(link_handle), ERROR_ROW, ERROR_COL, ERROR_WIDTH, ' ', ATTR_ERROR);
      return VIEWER_KEY;
    }
    v->failed = true;
    v->failures++;
    draw_table(v, rows);
    if (!error_box(link_error_text(link_handle))) {
      // Esc in the error box leaves the viewer.
      wait_key_seen = 2;
      push_key_front(KEY_ESC);
      return VIEWER_KEY;
    }
    if (identify_wanted() && !identify_module("")) return VIEWER_LEAVE;
    return VIEWER_REFRESHED;
  }
  v->failed = false;
  v->failures = 0;
  if (v->values_first != v->pos.first || v->values_set != link_setup.rv_register_set) v->status_count = 0;
  v->values_first = v->pos.first;
  v->values_set = link_setup.rv_register_set;
  v->values_count = stored;
  memcpy(v->values, read, sizeof read[0] * stored);
  if (!v->write_failed) put_field("", ERROR_ROW, ERROR_COL, ERROR_WIDTH, ' ', ATTR_NORMAL);
  clear_extra_rows(v, rows);
  for (int r = 0; r < rows; r++) {
    // A waiting key goes first; the rows below keep what they show.
    if (key_arrived()) return VIEWER_KEY;
    draw_row(v, VIEWER_FIRST_ROW + r);
  }

  if (status_shown() && !input_set()) {
    if (key_pending()) return VIEWER_KEY;
    // Status registers past 65536 do not exist: those rows show none.
    long status_first = static_cast<long>(v->pos.first) + v->status_offset;
    long fit = VIEWER_LAST_REGISTER - status_first + 1;
    int count = fit < rows ? static_cast<int>(fit < 0 ? 0 : fit) : rows;
    uint16_t status[VIEWER_MAX_ROWS];
    int got = count > 0 ? read_table(false, static_cast<int>(status_first), count, status) : 0;
    if (got) {
      v->status_count = got;
      memcpy(v->status, status, sizeof status[0] * got);
      for (int r = 0; r < rows; r++) draw_status(v, VIEWER_FIRST_ROW + r);
      return VIEWER_REFRESHED;
    }
    if (count > 0 && read_ended_by_key) return VIEWER_KEY;
  }
  if (key_pending()) return VIEWER_KEY;
  v->status_count = 0;
  for (int r = 0; r < rows; r++) draw_status(v, VIEWER_FIRST_ROW + r);
  return VIEWER_REFRESHED;
}

bool viewer_key(RegisterViewer *v) {
  KeyCode key = get_key();
  v->write_failed = false;
  int rows = viewer_rows();
  if (starts_edit(key)) key = edit_cell(v, key, rows);
  switch (key) {
    case KEY_DOWN:
    case KEY_UP:
    case KEY_PGDN:
    case KEY_PGUP:
    case KEY_HOME:
      viewer_move(v->pos, key, rows, link_setup.rv_start_register > 0 ? link_setup.rv_start_register : 1);
      break;
    case KEY_LEFT:
      if (v->column > VCOL_REGISTER) v->column--;
      break;
    case KEY_RIGHT:
      if (v->column < VCOL_BINARY) v->column++;
      break;
    case KEY_F8:
      configure_register_viewer(1);
      rows = viewer_rows();
      viewer_fit(v->pos, rows);
      break;
    case KEY_F9:
      link_handle = configure_link();
      // A link opened afresh gets the viewer's wait and its frame check
      // (which the dialog may just have changed).
      install_idle();
      link_set_options(link_handle, link_setup.error_check, link_setup.rv_priority);
      if (identify_wanted() && !identify_module("")) return false;
      break;
    case KEY_ESC: return false;
    default: break;
  }
  // The key shows at once; the values follow with the next read.
  draw_table(v, rows);
  return true;
}

void viewer_leave(RegisterViewer *) {
  hotkey_remove(KEY_F2);
  clear_to_end(4, 1);
  link_set_options(link_handle, link_setup.error_check, 0);
  if (link_handle) link_set_idle_callback(link_handle, wait_spinner, 0);
}

// Windows open under the table: more when the help is opened from inside a
// dialog or a question of the viewer's.
namespace {
int table_windows = 0;
}  // namespace

LinkHandle *register_viewer(int status_offset) {
  RegisterViewer v;
  table_windows = win_stack_depth();
  if (viewer_enter(&v, status_offset)) {
    for (;;) {
      wait_key_seen = 0;
      ViewerStep step;
      do step = viewer_refresh(&v);
      while (step == VIEWER_REFRESHED);
      if (step == VIEWER_LEAVE || !viewer_key(&v)) break;
    }
  }
  viewer_leave(&v);
  return link_handle;
}

int register_viewer_help(KeyCode, int position) {
  // Only the table's own key wait gets an Enter after the help: inside an
  // edit (position >= 0, or BINARY's) it would write the value half typed, and inside a
  // dialog it would answer for the user.
  const bool at_table = position < 0 && !editing_bits && win_stack_depth() == table_windows;
  WindowHandle w = win_open(6, 38, 22, 79, "REGISTER VIEWER HELP");
  static const char *const upper[] = {
      "Up and Down arrows to select register,", "Page Up and Page Down to change by 10,",
      "Left and Right arrows to select radix,", "0..9, A..F to enter new value,",
      "ENTER to update without moving,",        "F10 to acknowledge error,",
  };
  static const char *const lower[] = {
      "When on the BINARY field, use left", "and right arrows to select the desired", "bit and enter '0' or '1'.",
      "F9 to change link setup",            "ESC to exit Register Viewer.",
  };
  int row = 8;
  for (const char *line : upper) put_field(line, row++, 40, 0, ' ', ATTR_NORMAL);
  row = 15;
  for (const char *line : lower) put_field(line, row++, 40, 0, ' ', ATTR_NORMAL);
  put_field("Press any key to close help window.", 21, 40, 0, ' ', ATTR_NORMAL);
  get_key();
  wait_key_seen = 0;
  // Lets the table refresh.
  if (at_table) push_keys("\r");
  win_close(&w);
  return 1;
}
