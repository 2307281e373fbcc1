// The diagnostic screens (signal, lead monitor, connect/hang-up), their idle
// callback, and the register operations all online screens share.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "config/modem_config.h"
#include "config/transfer.h"
#include "editor/online.h"
#include "editor/param_editor.h"
#include "platform/keyboard.h"
#include "ui/boxes.h"
#include "ui/keys.h"
#include "ui/pace.h"
#include "ui/window.h"

uint16_t spinner_index = 0;

namespace {

int link_read(int first, int count, uint16_t *values) {
  return link_read_whole(link_handle, first, count, values);
}
int link_write(int first, int count, const uint16_t *values) {
  return link_write_registers(link_handle, first, count, values);
}
const char *link_text() { return link_error_text(link_handle); }
void link_idle(IdleCallback callback) { link_set_idle_callback(link_handle, callback, 0); }

}  // namespace

const ModemAccess link_access = {
    .fetch_item = fetch_item,
    .send_item = send_item,
    .read = link_read,
    .write = link_write,
    .error_text = link_text,
    .set_idle = link_idle,
};
ModemAccess modem_access = link_access;

// --- shared by the online screens ---

namespace {

// The link calls the idle callback after every 10 ms without a reply.
constexpr auto IDLE_STEP = std::chrono::milliseconds(10);

using Clock = std::chrono::steady_clock;

IdleCallback screen_idle = nullptr;
unsigned idle_turns = 0;        // counted by spinner_step, which every idle turn runs
Clock::time_point last_turn;

bool key_waiting() { return key_queue_count() > 0 || pkbd_hit(); }

// A fast reply, or a failure that did not wait, gives the idle callback no
// turn: give it one here, so keys are seen whatever the link does. After a
// success that is at once when a key waits, else once per idle step as the
// link would (the spinner need not turn with every exchange). A failure waits
// that step first on the keyboard, so a dead link is polled, not spun on, and
// a key typed meanwhile is taken at once.
bool after_exchange(bool ok, unsigned turns_before) {
  if (!screen_idle || idle_turns != turns_before) return ok;
  if (!ok)
    wait_key_until(Clock::now() + IDLE_STEP);
  else if (Clock::now() - last_turn < IDLE_STEP && !key_waiting())
    return ok;
  screen_idle(0);
  return ok;
}

}  // namespace

void use_idle(IdleCallback callback) {
  screen_idle = callback == wait_spinner ? nullptr : callback;
  modem_access.set_idle(callback);
}

bool modem_read(int first, int count, uint16_t *values) {
  unsigned turns = idle_turns;
  return after_exchange(modem_access.read(first, count, values) != 0, turns);
}

bool modem_write(int first, int count, const uint16_t *values) {
  unsigned turns = idle_turns;
  return after_exchange(modem_access.write(first, count, values) != 0, turns);
}

bool modem_fetch(int item, void (*landed)(int item)) {
  unsigned turns = idle_turns;
  bool ok = modem_access.fetch_item(item);
  if (landed) landed(item);
  return after_exchange(ok, turns);
}

bool modem_send(int item) {
  unsigned turns = idle_turns;
  return after_exchange(modem_access.send_item(item), turns);
}

void pace_screen(PassPacer &pacer, bool (*wake)()) {
  while (pace_pass(pacer)) {
    if (!screen_idle) return;
    screen_idle(0);
    if (!wake || wake()) return;
  }
}

void spinner_step() {
  // Code page 437: a horizontal line, backslash, a vertical line, slash.
  static const char glyphs[4][2] = {"\xC4", "\\", "\xB3", "/"};
  idle_turns++;
  last_turn = Clock::now();
  spinner_index = static_cast<uint16_t>((spinner_index + 1) % 4);
  put_field(glyphs[spinner_index], 1, 80, 1, ' ', ATTR_NORMAL);
}

namespace {
// Whether a key ends the screen that runs (the connect screen goes on after
// C and H); null: every key does.
bool (*keeps_screen)(KeyCode key) = nullptr;
// A write of a connect or hang-up edge is on the link: its wait is never cut
// short, so that the modem sees the whole edge.
bool edge_on_line = false;

// Whether a key that ends the screen has come (and may have cut the
// exchange in progress short: that is no failure to show).
bool ending_key_seen() {
  return last_key != 0 && !(keeps_screen && keeps_screen(static_cast<KeyCode>(last_key)));
}
}  // namespace

int key_catcher_idle(int) {
  // Once a key has ended the screen, further keys are left for the menu.
  KeyCode key = ending_key_seen() ? 0 : key_read(0);
  if (key) last_key = key;
  spinner_step();
  // A key that ends the screen ends the wait with it: the reply would not be
  // shown, and a modem that does not answer would hold the screen until the
  // link's time-out.
  return key && !edge_on_line && !(keeps_screen && keeps_screen(key)) ? 0 : 1;
}

// --- the screens ---

namespace {


constexpr uint16_t ST_CARRIER = 0x0001;
constexpr uint16_t ST_PTT = 0x0020;
constexpr uint16_t ST_DIAL = 0x0040;
constexpr uint16_t ST_PRIVATE_LINE = 0x2000;
constexpr uint16_t ST_OFF_HOOK = 0x4000;
constexpr uint16_t ST_RING = 0x8000;
constexpr uint16_t CONNECT_BIT = 0x0001;
constexpr uint16_t CTS_BIT = 0x0001;
constexpr uint16_t NO_PASSWORD = 0xFFFF;

// Bit 14 means off hook only on a switched line (bit 13 clear).
bool off_hook(uint16_t status) { return (status & ST_OFF_HOOK) && !(status & ST_PRIVATE_LINE); }

void label(const char *text, int row, int col) { put_field(text, row, col, 0, ' ', ATTR_NORMAL); }
void value(const char *text, int row, int col, int width) { put_field(text, row, col, width, ' ', ATTR_FIELD); }
const char *yes_no(bool on) { return on ? "YES" : "NO"; }
const char *on_off(bool on) { return on ? "ON" : "OFF"; }

// The link's failure in the error box; false when the screen is to end: the
// user gave up (Esc), which on a dead link, where every read fails and shows
// the box, is the only key still reached; or a key that ends the screen cut
// the exchange short.
bool report_failure() { return !ending_key_seen() && error_box(modem_access.error_text()); }

void begin_screen(bool (*keeps)(KeyCode key) = nullptr) {
  last_key = 0;
  keeps_screen = keeps;
  use_idle(key_catcher_idle);
}

void end_screen(WindowHandle *window) {
  win_close(window);
  use_idle(wait_spinner);
  keeps_screen = nullptr;
}

void show_level(uint16_t raw) {
  int v = static_cast<int16_t>(raw);
  unsigned magnitude = static_cast<unsigned>(std::abs(v));
  char text[16];
  // The sign is written apart so that -0.5 keeps it.
  snprintf(text, sizeof text, "%s%u.%u", v < 0 ? "-" : "", magnitude / 10, magnitude % 10);
  value(text, 11, 56, 5);
}

}  // namespace

void signal_screen() {
  WindowHandle window = win_open(10, 38, 15, 79, "SIGNAL STRENGTH");
  label("Any key to exit", 14, 40);
  label("Received signal", 11, 40);
  label("dBm", 11, 62);
  label("Signal quality", 12, 40);
  label("lower is better", 12, 62);
  begin_screen();
  PassPacer pacer;
  for (;;) {
    pace_screen(pacer);
    if (last_key) break;
    uint16_t v;
    if (modem_read(REG_SIGNAL_LEVEL, 1, &v))
      show_level(v);
    else if (!ending_key_seen())   // not a read the key cut short
      put_field("ERROR", 11, 56, 5, ' ', ATTR_ERROR);
    if (last_key) break;
    if (modem_read(REG_SIGNAL_QUALITY, 1, &v))
      status_printf("%u", 12, 56, 5, ' ', ATTR_FIELD, unsigned{v});
    else if (!ending_key_seen())
      put_field("ERROR", 12, 56, 5, ' ', ATTR_ERROR);
  }
  end_screen(&window);
}

void lead_monitor() {
  WindowHandle window = win_open(7, 38, 19, 65, "LEAD MONITOR");
  label("Carrier detect", 9, 40);
  label("Dial input", 11, 40);
  label("CTS input", 12, 40);
  label("PTT output", 13, 40);
  label("Ring detect", 14, 40);
  label("Ring count", 15, 40);
  label("Last password", 16, 40);
  label("Any key to exit", 18, 40);

  // One register per pass, in this cycle.
  enum { STATUS, RING_COUNT, PASSWORD, CTS, WATCHED };
  static constexpr int watched[WATCHED] = {REG_STATUS, REG_RING_COUNT, REG_LAST_PASSWORD, REG_CTS};
  uint16_t held[WATCHED] = {};
  bool off_hook_shown = false;
  begin_screen();
  PassPacer pacer;
  for (int next = 0;; next = (next + 1) % WATCHED) {
    pace_screen(pacer);
    if (last_key) break;
    uint16_t v;
    if (modem_read(watched[next], 1, &v))
      held[next] = v;
    else if (!report_failure())
      break;

    const uint16_t status = held[STATUS];
    if (off_hook(status) && !off_hook_shown) {
      label("Off hook", 10, 40);
      off_hook_shown = true;
    }
    value(yes_no(status & ST_CARRIER), 9, 56, 3);
    if (off_hook_shown) value(yes_no(status & ST_OFF_HOOK), 10, 56, 3);
    value(on_off(status & ST_DIAL), 11, 56, 3);
    value(on_off(held[CTS] & CTS_BIT), 12, 56, 3);
    value(on_off(status & ST_PTT), 13, 56, 3);
    value(yes_no(status & ST_RING), 14, 56, 3);
    status_printf("%u", 15, 56, 3, ' ', ATTR_FIELD, unsigned{held[RING_COUNT]});
    const uint16_t pw = held[PASSWORD];
    value(pw == NO_PASSWORD ? "----" : pw == 0 ? "0000" : password_text(pw), 16, 56, 4);
  }
  end_screen(&window);
}

namespace {

bool keeps_connect_screen(KeyCode key) {
  return key == 'C' || key == 'c' || key == KEY_F7 || key == 'H' || key == 'h' || key == KEY_F8;
}

// Register 1 written twice: the modem acts on the edge of bit 0 (rising
// connects, falling hangs up). Once the first write is on the line the
// second always follows, whatever key comes and also when the user gives up
// on the first one's failure: half an edge would leave the line as it was or,
// for a hang-up, dial. The number is fetched again in between, which also
// refreshes what the screen shows, unless the screen is ending. False when
// the screen is to end.
bool write_edge(uint16_t control, bool first_set, bool write_first, bool second_set) {
  bool go_on = true;
  auto write = [&](bool set) {
    uint16_t v = static_cast<uint16_t>(set ? control | CONNECT_BIT : control & ~CONNECT_BIT);
    edge_on_line = true;
    bool ok = modem_write(REG_CONTROL, 1, &v);
    edge_on_line = false;
    if (!ok && go_on && !report_failure()) go_on = false;
  };
  if (write_first) write(first_set);
  if (go_on && !ending_key_seen()) {
    modem_fetch(4);
    modem_fetch(5);
  }
  write(second_set);
  return go_on && !ending_key_seen();
}

}  // namespace

void connect_hangup() {
  WindowHandle window = win_open(7, 28, 15, 55, "CONNECT/HANGUP");
  label("Type 'C' to connect", 8, 30);
  value("C", 8, 36, 1);
  label("Type 'H' to hangup", 9, 30);
  value("H", 9, 36, 1);
  label("Any other key to exit", 10, 30);
  label("Carrier detect", 12, 30);
  label("Number", 14, 30);
  begin_screen(keeps_connect_screen);
  modem_fetch(4);
  modem_fetch(5);

  uint16_t r[2] = {};   // registers 1 and 2 as last read
  bool have_control = false;
  bool off_hook_shown = false;
  PassPacer pacer;
  for (;;) {
    // C and H wait here too, and are acted on as the pass ends.
    pace_screen(pacer);
    if (ending_key_seen()) break;
    uint16_t v[2];
    if (modem_read(REG_CONTROL, 2, v)) {
      r[0] = v[0];
      r[1] = v[1];
      have_control = true;
    } else if (!report_failure()) {
      break;
    }
    value(yes_no(r[1] & ST_CARRIER), 12, 46, 3);
    if (off_hook(r[1]) && !off_hook_shown) {
      label("Off hook", 13, 30);
      off_hook_shown = true;
    }
    if (off_hook_shown) value(yes_no(r[1] & ST_OFF_HOOK), 13, 46, 3);
    // A record read from a file may lack the terminator.
    char number[sizeof working_config.dial_string + 1] = {};
    memcpy(number, working_config.dial_string, sizeof working_config.dial_string);
    put_field(number[0] ? number : "NONE", 14, 37, 18, ' ', ATTR_FIELD);

    const uint16_t key = last_key;
    if (key == 0) continue;
    if (!keeps_connect_screen(static_cast<KeyCode>(key))) break;
    const bool connect = key == 'C' || key == 'c' || key == KEY_F7;
    last_key = 0;
    if (!have_control) {
      // Both writes carry the rest of the control word back: without a
      // successful read there is none to carry, and writing a guess would
      // change the modem's configuration.
      if (!report_failure()) break;
      continue;
    }
    bool go_on = connect ? write_edge(r[0], false, true, true)
                         : write_edge(r[0], true, (r[1] & ST_CARRIER) || off_hook(r[1]), false);
    if (!go_on) break;
  }
  end_screen(&window);
}
