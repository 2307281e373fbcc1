// "CONFIGURE THIS COMPUTER", "CONFIGURE TERMINAL EMULATOR" and
// "CONFIGURE REGISTER VIEWER".
#include "link/link_dialogs.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <span>

#include "link/link.h"
#include "link/link_core.h"
#include "link/link_kinds.h"
#include "link/remote_ports.h"
#include "link/setup_file.h"
#include "ui/boxes.h"
#include "ui/keys.h"
#include "ui/window.h"

namespace {

constexpr const char ABORTED[] = "Edit aborted by ESC. Modifications lost.";
constexpr int LABEL_COLUMN = 30;
constexpr int FIELD_COLUMN = 46;
constexpr int LABEL_WIDTH = 15;
// A drawn label row covers this much, wiping what another layout left.
constexpr int ROW_WIDTH = 48;
constexpr int FIRST_ROW = 8;
constexpr int LAST_ROW = 17;
constexpr FieldFlags EDITED = ATTR_FIELD | FF_REPLACE;
// The drop a kind of one drop gets when its route is empty.
constexpr uint16_t DEFAULT_DROP = 255;

// The code tables as the null-ended lists choice fields take.
template <size_t N>
struct Choices {
  const char *list[N + 1];
};
template <size_t N>
Choices<N> null_ended(const char *const (&table)[N]) {
  Choices<N> c{};
  for (size_t i = 0; i < N; i++) c.list[i] = table[i];
  return c;
}
const Choices<BAUD_COUNT> baud_choices = null_ended(baud_texts);
const Choices<2> data_bits_choices = null_ended(data_bits_text);
const Choices<2> stop_bits_choices = null_ended(stop_bits_text);
const Choices<3> parity_choices = null_ended(link_parity_texts);
const Choices<2> error_check_choices = null_ended(error_check_text);
const Choices<2> yes_no_choices = null_ended(yes_no_text);
const Choices<2> priority_choices = null_ended(priority_text);
const Choices<2> register_set_choices = null_ended(register_set_text);
const Choices<2> term_charset_choices = null_ended(term_charset_text);

// The port fields' last choice: a remote port typed in (choose_remote_port).
constexpr char REMOTE_ENTRY[] = "Remote...";
constexpr int REMOTE_ENTRY_WIDTH = sizeof REMOTE_ENTRY - 1;

// The port list as the fields show it: names too long for the field keep
// their end; then the entry that types a remote port in. Rebuilt on every
// call, as the list may have been refreshed or grown.
// The widest a port field may grow in the dialog open now: a port typed in
// must not draw past its window's frame.
int port_field_room = PORT_FIELD_MAX;

int port_field_width() {
  return std::min(std::max(serial_port_field_width(), REMOTE_ENTRY_WIDTH), std::max(port_field_room, REMOTE_ENTRY_WIDTH));
}

const char *const *port_choices() {
  static char texts[MAX_SERIAL_PORTS][PORT_FIELD_MAX + 1];
  static const char *list[MAX_SERIAL_PORTS + 2];
  int n = serial_port_count();
  port_field_texts(serial_port_list, n, std::min(serial_port_field_width(), port_field_width()), texts);
  for (int i = 0; i < n; i++) list[i] = texts[i];
  list[n] = REMOTE_ENTRY;
  list[n + 1] = nullptr;
  return list;
}

// The small form for a remote port's name, below the dialogs: checked as
// typed, refused with the reason and edited again; Esc or an empty name
// gives up. The port joins the list (or is found there) and the field shows it.
constexpr int REMOTE_TOP = 19, REMOTE_LEFT = 4, REMOTE_BOTTOM = 22, REMOTE_RIGHT = 77;
constexpr int REMOTE_NAME_WIDTH = REMOTE_RIGHT - REMOTE_LEFT - 3;

int choose_remote_port(void *value, int, FormField *field) {
  WindowHandle window = win_open(REMOTE_TOP, REMOTE_LEFT, REMOTE_BOTTOM, REMOTE_RIGHT, "REMOTE PORT");
  put_field("socket://HOST:PORT (raw TCP) or rfc2217://HOST:PORT (RFC 2217)", REMOTE_TOP + 1, REMOTE_LEFT + 2, 0,
            ' ', ATTR_NORMAL);
  static const char terminators[] = {KEY_ENTER, KEY_ESC, 0};
  char name[REMOTE_NAME_WIDTH + 1] = "";
  FieldFlags flags = ATTR_FIELD | FF_REPLACE;
  int chosen = 0;
  for (;;) {
    KeyCode key = field_edit(name, REMOTE_TOP + 2, REMOTE_LEFT + 2, REMOTE_NAME_WIDTH, ' ', " -~", terminators, flags);
    if (key == KEY_ESC || name[strspn(name, " ")] == 0) break;
    uint16_t index = 0;
    const char *why = nullptr;
    if (remote_port_add(name, &index, &why) != REMOTE_REFUSED) {
      memcpy(value, &index, sizeof index);
      field->choices = port_choices();
      field->width = static_cast<int16_t>(port_field_width());
      chosen = 1;
      break;
    }
    alert_box(why);
    flags = (flags & ~FF_REPLACE) | FF_KEEP;   // the name as typed, to be corrected
  }
  win_close(&window);
  return chosen;
}

FormField port_field(int row, uint16_t *value) {
  return {static_cast<int16_t>(row), static_cast<int16_t>(FIELD_COLUMN), static_cast<int16_t>(port_field_width()),
          DT_CHOICE, value, port_choices(), choose_remote_port, ATTR_FIELD | FF_CHOICE_ACTION};
}

FormField choice(int row, int column, int width, uint16_t *value, const char *const *choices) {
  return {static_cast<int16_t>(row), static_cast<int16_t>(column), static_cast<int16_t>(width), DT_CHOICE,
          value, choices, nullptr, ATTR_FIELD};
}
FormField typed(int row, int column, int width, int16_t type, void *value, FormValidator check = nullptr,
                FieldFlags flags = EDITED) {
  return {static_cast<int16_t>(row), static_cast<int16_t>(column), static_cast<int16_t>(width), type,
          value, nullptr, check, flags};
}

constexpr int LAYOUT_ROWS = SETUP_LAYOUT_ROWS;   // rows 9..17; row 8 is the type
static_assert(FIRST_ROW + LAYOUT_ROWS == LAST_ROW);

// "None" has no entry: no fields, every row blank.
constexpr SetupLayout NO_LAYOUT = {};

const SetupLayout &layout_of(uint16_t kind) {
  const LinkKindEntry *e = link_kind_entry(kind);
  return e ? e->layout : NO_LAYOUT;
}

// The editable fields of a kind's layout, top to bottom.
int layout_fields(uint16_t kind, FormField out[LAYOUT_ROWS]) {
  LinkSetup &s = link_setup;
  int n = 0;
  const SetupLayout &layout = layout_of(kind);
  for (int i = 0; i < LAYOUT_ROWS; i++) {
    int row = FIRST_ROW + 1 + i;
    switch (layout[i].slot) {
      case SLOT_PORT: out[n++] = port_field(row, &s.port); break;
      case SLOT_BAUD: out[n++] = choice(row, FIELD_COLUMN, 5, &s.baud, baud_choices.list); break;
      case SLOT_DATA_BITS: out[n++] = choice(row, FIELD_COLUMN, 1, &s.data_bits, data_bits_choices.list); break;
      case SLOT_STOP_BITS: out[n++] = choice(row, FIELD_COLUMN, 1, &s.stop_bits, stop_bits_choices.list); break;
      case SLOT_PARITY: out[n++] = choice(row, FIELD_COLUMN, 4, &s.parity, parity_choices.list); break;
      case SLOT_ERROR_CHECK: out[n++] = choice(row, FIELD_COLUMN, 3, &s.error_check, error_check_choices.list); break;
      case SLOT_TIMEOUT: out[n++] = typed(row, FIELD_COLUMN, 6, DT_UNSIGNED, &s.timeout, check_timeout); break;
      case SLOT_TRAP: out[n++] = choice(row, FIELD_COLUMN, 3, &s.trap_errors, yes_no_choices.list); break;
      // route_count and route[] have the number list's layout.
      case SLOT_ROUTE: out[n++] = typed(row, FIELD_COLUMN, 31, DT_NUMBER_LIST, &s.route_count); break;
      case SLOT_DROP: out[n++] = typed(row, FIELD_COLUMN, 3, DT_NUMBER_LIST, &s.route_count); break;
      case SLOT_HOST: out[n++] = typed(row, FIELD_COLUMN, 30, DT_TEXT, s.host); break;
      // Five digits: a TCP port is 16 bits.
      case SLOT_TCP_PORT: out[n++] = typed(row, FIELD_COLUMN, 5, DT_UNSIGNED, &s.tcp_port); break;
      case SLOT_NOTHING:
      case SLOT_FIXED_8: break;
    }
  }
  return n;
}

// A label right-aligned in 15 columns, blank up to the row's width.
void draw_label(int row, const char *label, const char *fixed = nullptr) {
  char text[ROW_WIDTH + 1];
  snprintf(text, sizeof text, "%*s%*s", LABEL_WIDTH, label ? label : "", -(ROW_WIDTH - LABEL_WIDTH), "");
  if (fixed) memcpy(text + (FIELD_COLUMN - LABEL_COLUMN), fixed, strlen(fixed));
  put_field(text, row, LABEL_COLUMN, 0, ' ', ATTR_NORMAL);
}

void draw_layout(uint16_t kind, FieldFlags name_attr) {
  put_field(link_kind_name(kind), FIRST_ROW, FIELD_COLUMN, 21, ' ', name_attr);
  char type_label[32];
  snprintf(type_label, sizeof type_label, "%*s%s", LABEL_WIDTH, "Connection type",
           link_kind_entry(kind) ? "" : " NONE");
  put_field(type_label, FIRST_ROW, LABEL_COLUMN, 0, ' ', ATTR_NORMAL);
  const SetupLayout &layout = layout_of(kind);
  for (int i = 0; i < LAYOUT_ROWS; i++)
    draw_label(FIRST_ROW + 1 + i, layout[i].label, layout[i].slot == SLOT_FIXED_8 ? "8" : nullptr);
  FormField fields[LAYOUT_ROWS];
  int n = layout_fields(kind, fields);
  if (n) form_show_fields(fields, 0, n - 1, ATTR_FIELD);
}

// What the message calls a route holding a drop no wire carries (the
// layout's own label), or null when every drop fits a byte.
const char *route_refusal(const LinkSetup &s) {
  int n = std::min<int>(s.route_count, NUMBER_LIST_MAX);
  bool too_big = false;
  for (int i = 0; i < n; i++) too_big = too_big || s.route[i] > ROUTE_DROP_MAX;
  if (!too_big) return nullptr;
  for (const SetupRow &r : layout_of(s.kind)) {
    if (r.slot == SLOT_ROUTE) return "Route drops";
    if (r.slot == SLOT_DROP) return r.label;
  }
  return "Drop";
}

enum class Outcome { ACCEPTED, CANCELLED };

Outcome select_type_and_edit() {
  LinkSetup &s = link_setup;
  if (s.kind >= LINK_KIND_COUNT) s.kind = LINK_SYMAX;
  static const char terminators[] = {KEY_ENTER, KEY_ESC, char(KEY_UP), char(KEY_DOWN), char(KEY_F1), 0};
  for (;;) {
    draw_layout(s.kind, 1);
    KeyCode key = get_key();
    int start;
    switch (key) {
      case KEY_ESC: return Outcome::CANCELLED;
      case ' ': case '+': case KEY_RIGHT:
        s.kind = next_link_kind(s.kind);
        apply_route_rule(&s);
        continue;
      case '-': case KEY_LEFT:
        s.kind = previous_link_kind(s.kind);
        apply_route_rule(&s);
        continue;
      case KEY_ENTER: case KEY_DOWN: start = 0; break;
      case KEY_UP: start = -1; break;
      default:
        beep();
        continue;
    }
    if (s.kind == LINK_NONE) continue;
    draw_layout(s.kind, ATTR_FIELD);
    FormField fields[LAYOUT_ROWS];
    int n = layout_fields(s.kind, fields);
    int current = start < 0 ? n - 1 : 0;
    KeyCode end;
    for (;;) {
      end = form_run(fields, 0, n - 1, current, terminators, FF_KEEP);
      if (end != KEY_ENTER && end != KEY_F1) break;
      // A drop cut to a byte would address another device: refused, and
      // the route (the last field) is edited again as typed.
      const char *refusal = route_refusal(s);
      if (!refusal) break;
      alert_printf("%s must be <= %u", refusal, unsigned{ROUTE_DROP_MAX});
      current = n - 1;
    }
    if (end == KEY_ENTER || end == KEY_F1) {
      // A Modbus drop typed empty: the link would take the stale number
      // left in the list for its one drop.
      apply_route_rule(&s);
      // Numbers the setup file would not keep (a drop no wire carries, a
      // time-out of 0) are settled now, as a load would settle them, rather
      // than used cut to 8 bits now and changed at the next start.
      clamp_link_setup(&s);
      return Outcome::ACCEPTED;
    }
    if (end == KEY_ESC) return Outcome::CANCELLED;
    // Up on the first field or Down on the last: back to the type.
  }
}

void restore_if_changed(const LinkSetup &backup) {
  if (memcmp(&backup, &link_setup, sizeof backup) != 0) {
    error_box(ABORTED);
    link_setup = backup;
  }
}

bool differs(const LinkSetup &a, const LinkSetup &b) { return memcmp(&a, &b, sizeof a) != 0; }

}  // namespace

// The cycle runs through the kinds table in its order; a kind without an
// entry ("None") goes on to the first or back to the last.
uint16_t next_link_kind(uint16_t kind) {
  std::span<const LinkKindEntry> kinds = link_kind_table();
  for (size_t i = 0; i + 1 < kinds.size(); i++)
    if (kinds[i].setup_kind == kind) return kinds[i + 1].setup_kind;
  return kinds.front().setup_kind;
}

uint16_t previous_link_kind(uint16_t kind) {
  std::span<const LinkKindEntry> kinds = link_kind_table();
  for (size_t i = 1; i < kinds.size(); i++)
    if (kinds[i].setup_kind == kind) return kinds[i - 1].setup_kind;
  return kinds.back().setup_kind;
}

void apply_route_rule(LinkSetup *s) {
  const LinkKindEntry *e = link_kind_entry(s->kind);
  if (!e) return;
  if (e->single_drop && s->route_count == 0) {
    s->route_count = 1;
    s->route[0] = DEFAULT_DROP;
  } else if (!e->single_drop && s->route[0] == DEFAULT_DROP) {
    s->route_count = 0;
  }
}

bool connection_changed(const LinkSetup &a, const LinkSetup &b) {
  if (a.kind != b.kind || a.port != b.port || a.tcp_port != b.tcp_port) return true;
  if (strncmp(a.host, b.host, sizeof a.host) != 0) return true;
  if (a.route_count != b.route_count) return true;
  int n = std::min<int>(a.route_count, NUMBER_LIST_MAX);
  return memcmp(a.route, b.route, n * sizeof a.route[0]) != 0;
}

LinkHandle *configure_link() {
  WindowHandle window = win_open(7, 20, 18, 79, "CONFIGURE THIS COMPUTER");
  port_field_room = PORT_FIELD_MAX;
  if (serial_port_count() == 0) refresh_serial_ports();
  const LinkSetup backup = link_setup;
  if (select_type_and_edit() == Outcome::ACCEPTED) {
    // A link whose port went away is opened afresh too, even with the same
    // settings: the device may be back under its name.
    if (link_handle && (connection_changed(backup, link_setup) || link_port_lost(link_handle))) {
      link_close(link_handle);
      link_handle = nullptr;
    }
    // With the link still open this only applies the port settings again.
    link_handle = link_open_asked();
    if (link_handle) save_link_setup();
  } else {
    restore_if_changed(backup);
  }
  win_close(&window);
  return link_handle;
}

void configure_terminal(int save_allowed) {
  port_field_room = PORT_FIELD_MAX;
  int port_width = port_field_width();
  const int right = std::max(54, FIELD_COLUMN + port_width + 1);
  port_field_room = right - FIELD_COLUMN - 1;
  WindowHandle window = win_open(6, 28, 13, right, "CONFIGURE TERMINAL EMULATOR");
  LinkSetup &s = link_setup;
  // The last row: how the BBS terminal reads the device's bytes 0x80-0xFF.
  static const char *const labels[] = {"Port", "Baud rate", "Data bits", "Stop bits", "Parity", "Character set"};
  for (int i = 0; i < 6; i++)
    put_field(labels[i], 7 + i, LABEL_COLUMN, LABEL_WIDTH, ' ', FF_RIGHT);
  put_field("8", 9, FIELD_COLUMN, 0, ' ', ATTR_NORMAL);
  FormField fields[] = {
      port_field(7, &s.term_port),
      choice(8, FIELD_COLUMN, 5, &s.term_baud, baud_choices.list),
      choice(9, FIELD_COLUMN, 1, &s.term_data_bits, data_bits_choices.list),
      choice(10, FIELD_COLUMN, 1, &s.term_stop_bits, stop_bits_choices.list),
      choice(11, FIELD_COLUMN, 4, &s.term_parity, parity_choices.list),
      choice(12, FIELD_COLUMN, 5, &s.term_charset, term_charset_choices.list),
  };
  constexpr int last = 5;
  form_show_fields(fields, 0, last, ATTR_FIELD);
  const LinkSetup backup = s;
  static const char terminators[] = {KEY_ENTER, KEY_ESC, char(KEY_F1), 0};
  int current = 0;
  KeyCode key;
  for (;;) {
    key = form_run(fields, 0, last, current, terminators, FF_KEEP);
    if (key == KEY_DOWN) current = 0;          // past the last field: the first again
    else if (key == KEY_UP) current = last;    // before the first: the last
    else if (key == KEY_F1) current = 0;
    else break;
  }
  if (key == KEY_ESC) restore_if_changed(backup);
  else if (save_allowed && differs(backup, s)) save_link_setup();
  win_close(&window);
}

int check_screen_size(void *value, int, FormField *) {
  uint16_t v;
  memcpy(&v, value, sizeof v);
  if (v >= 1 && v <= 20) return 1;
  error_box(v > 20 ? "Register Viewer size must be <= 20" : "Register Viewer size must be >= 1");
  v = v > 20 ? 20 : 1;
  memcpy(value, &v, sizeof v);
  return 0;
}

int check_timeout(void *value, int, FormField *) {
  uint16_t v;
  memcpy(&v, value, sizeof v);
  if (v <= LINK_TIMEOUT_MAX) return 1;
  alert_printf("Timeout must be <= %u", unsigned{LINK_TIMEOUT_MAX});
  v = LINK_TIMEOUT_MAX;
  memcpy(value, &v, sizeof v);
  return 0;
}

int check_start_register(void *value, int, FormField *) {
  uint16_t v;
  memcpy(&v, value, sizeof v);
  if (v >= 1) return 1;
  error_box("Register Viewer start must be >= 1");
  v = 1;
  memcpy(value, &v, sizeof v);
  return 0;
}

void configure_register_viewer(int save_allowed) {
  WindowHandle window = win_open(6, 28, 13, 61, "CONFIGURE REGISTER VIEWER");
  LinkSetup &s = link_setup;
  static const char *const labels[] = {"Priority", "Status Registers", "Screen Size", "Starting Register",
                                       "Register Set", "Identify Module"};
  for (int i = 0; i < 6; i++) put_field(labels[i], 7 + i, LABEL_COLUMN, 17, ' ', FF_RIGHT);
  constexpr int column = 48;
  FormField fields[] = {
      choice(7, column, 12, &s.rv_priority, priority_choices.list),
      choice(8, column, 3, &s.rv_status_registers, yes_no_choices.list),
      typed(9, column, 2, DT_UNSIGNED, &s.rv_screen_size, check_screen_size, ATTR_FIELD),
      typed(10, column, 4, DT_UNSIGNED, &s.rv_start_register, check_start_register, ATTR_FIELD),
      choice(11, column, 3, &s.rv_register_set, register_set_choices.list),
      choice(12, column, 3, &s.rv_identify_module, yes_no_choices.list),
  };
  constexpr int last = 5;
  form_show_fields(fields, 0, last, ATTR_FIELD);
  const LinkSetup backup = s;
  static const char terminators[] = {KEY_ENTER, KEY_ESC, char(KEY_UP), char(KEY_DOWN), char(KEY_F1), 0};
  int current = 0;
  KeyCode key;
  for (;;) {
    key = form_run(fields, 0, last, current, terminators, FF_KEEP | FF_REPLACE);
    if (key != KEY_UP) break;
    current = last;   // Up on the first field: the last again
  }
  if (key == KEY_ESC) restore_if_changed(backup);
  else if (save_allowed) save_link_setup();
  win_close(&window);
}
