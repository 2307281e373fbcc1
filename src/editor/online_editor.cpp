// The online parameter editor: the editor screen over the modem's live
// configuration. The loop only talks to the modem and redraws; keys reach
// edit_key through editor_idle inside the link's waits.
#include <cstring>

#include "config/modem_config.h"
#include "config/transfer.h"
#include "editor/online.h"
#include "editor/param_editor.h"
#include "link/link_dialogs.h"
#include "link/link_setup.h"
#include "platform/console.h"
#include "ui/boxes.h"
#include "ui/keys.h"
#include "ui/screen.h"
#include "ui/window.h"

namespace {

constexpr uint16_t ST_RING = 0x8000;
constexpr uint16_t NO_PASSWORD = 0xFFFF;
constexpr int FLAGS_ITEM = 1;
constexpr int POINTER_ITEM = 4;
constexpr int DIAL_ITEM = 5;

// Register 6: the modem's own verdict on the configuration it holds.
struct ErrorSlot {
  uint16_t bit;
  const char *text;
  int row, col;
};
constexpr int SLOT_WIDTH = 20;
constexpr uint16_t ILLEGAL_DIAL_DIGIT = 0x80;
constexpr ErrorSlot error_slots[] = {
    {0x01, "Illegal line rate", 22, 1},
    {0x02, "Illegal line parity", 22, 20},
    {0x04, "Multidrop and PSTN", 22, 40},
    {0x08, "Multidrop and Sy/Max", 22, 60},
    {0x10, "Illegal transp port rate", 23, 1},
    {0x20, "Illegal port rate", 23, 20},
    {0x40, "Illegal port parity", 23, 40},
    {ILLEGAL_DIAL_DIGIT, "Illegal dial digit", 23, 60},
};

// Everything the editor keeps of its own while it runs, set afresh as it
// starts. Beside it, the requests and changed_items are the parameter
// editor's, which edit_key sets from inside the link's waits.
struct OnlineSession {
  int item_cursor = 1;          // the item refreshed next, after advancing
  ModemConfig user_values{};    // the user's latest value of every item he changed
  uint16_t user_flag_bits = 0;  // the flag bits among them: the rest is the modem's
  bool flags_known = false;     // item 1 has been read: its other bits are the modem's
  bool pointer_known = false;   // item 4 has been read or written: where item 5 goes
  bool ringing = false;         // register 2 bit 15, read with item 1
  bool gave_up = false;         // Esc in an error box: leave without writing more
  bool writing = false;         // a write is on the link
  bool cut_short = false;       // the exchange in progress was ended for leaving
};
OnlineSession session;

// The editor is leaving (Esc, the switch to Transparent, Esc in an error
// box, another module after the link setup). A key may say so inside any
// exchange, so a pass asks before each of its steps (run_pass).
bool leaving() { return exit_request; }

// The changed_items mask, one transfer item at a time.
uint32_t item_bit(int item) { return 1u << (item - 1); }
bool marked(int item) { return (changed_items & item_bit(item)) != 0; }
void mark(int item) { changed_items |= item_bit(item); }
void unmark(int item) { changed_items &= ~item_bit(item); }

// A failure shown; false when the user gave up on it (Esc), which ends the
// editor: on a dead link the boxes come every pass and take every key.
void report(bool read_failure) {
  if (session.cut_short) {   // no failure: the editor is leaving
    session.cut_short = false;
    return;
  }
  const char *text = modem_access.error_text();
  bool go_on = read_failure ? error_printf("%s", text) : error_box(text);
  if (!go_on) exit_request = session.gave_up = true;
}

// The quiet form of the dial-string check: the slot lights, no box comes.
bool dial_string_ok(const ModemConfig &c) {
  for (size_t i = 0; i < sizeof c.dial_string && c.dial_string[i]; i++)
    if (!std::strchr(DIAL_SYMBOLS, c.dial_string[i])) return false;
  return true;
}

// An item the user changed and the modem has not had yet keeps the user's
// value over what was fetched, also when the key came while this very item
// was being fetched: it is written at the end of the pass, and shown
// meanwhile.
void keep_user_change(int item) {
  if (!marked(item)) return;
  if (item != FLAGS_ITEM) {
    copy_item(working_config, session.user_values, item);
    return;
  }
  // Only the bits the user changed: the others, and the carrier, which is
  // the modem's to tell, stay as fetched.
  const uint16_t mine = session.user_flag_bits & ~CFG_CONNECT;
  working_config.flags = static_cast<uint16_t>((working_config.flags & ~mine) | (session.user_values.flags & mine));
}

bool fetch_online(int item) {
  if (item != FLAGS_ITEM) {
    bool ok = modem_fetch(item, keep_user_change);
    if (ok && item == POINTER_ITEM) session.pointer_known = true;
    return ok;
  }
  // As fetch_item(1) reads it, keeping the ring bit that flags never holds.
  // The values land after the read's idle turn, so a key in that turn still
  // saw the user's flags.
  uint16_t r[2];
  bool ok = modem_read(REG_CONTROL, 2, r);
  if (ok) {
    working_config.flags = merge_fetched_flags(r[0], r[1]);
    session.ringing = (r[1] & ST_RING) != 0;
    session.flags_known = true;
  }
  keep_user_change(item);
  return ok;
}

// The switch to Transparent comes inside a link wait, where a write of its
// own would cross the exchange in progress: item 1 is marked instead and goes
// out as the editor leaves, right after that exchange.
int defer_transparent_write(int item) {
  if (item == FLAGS_ITEM) mark(FLAGS_ITEM);
  return 1;
}

void draw_config_errors(uint16_t bits) {
  if (bits == 0) {
    // Through the shadow, so that rows already blank are not sent again
    // with every pass.
    put_field("", 22, 1, SCR_COLS - 1, ' ', ATTR_NORMAL);
    put_field("", 23, 1, SCR_COLS - 1, ' ', ATTR_NORMAL);
    return;
  }
  if (!dial_string_ok(working_config)) bits |= ILLEGAL_DIAL_DIGIT;
  for (const ErrorSlot &s : error_slots) {
    if (bits & s.bit)
      put_field(s.text, s.row, s.col, SLOT_WIDTH, ' ', ATTR_ERROR);
    else
      put_field("", s.row, s.col, SLOT_WIDTH, ' ', ATTR_NORMAL);
  }
}

void draw_status() {
  const uint16_t f = working_config.flags;
  if (f & CFG_CONNECT)
    put_field(" Connected", 3, 1, 11, ' ', ATTR_HIGHLIGHT_HOT);
  else if ((f & CFG_TWO_WIRE) && !(f & CFG_PRIVATE_LINE))
    put_field(" Off Hook", 3, 1, 11, ' ', ATTR_HIGHLIGHT_HOT);
  else if (session.ringing)
    put_field(" RINGING", 3, 1, 11, ' ', ATTR_HIGHLIGHT_ERROR);
  else
    put_field("", 3, 1, 11, ' ', ATTR_NORMAL);
}

void blank_last_password() { put_field("", 21, 40, 25, ' ', ATTR_NORMAL); }

void show_last_password() {
  if (working_config.password == 0) {
    blank_last_password();
    return;
  }
  put_field("Last Password", 21, 40, 0, ' ', ATTR_NORMAL);
  uint16_t v;
  const char *text;
  if (modem_read(REG_LAST_PASSWORD, 1, &v)) {
    text = v == NO_PASSWORD ? "----" : v == 0 ? "0000" : password_text(v);
  } else {
    report(true);
    text = "????";
  }
  put_field(text, 21, 60, 4, ' ', ATTR_FIELD);
}

// A write is never cut short by leaving: it carries a change of the user's.
bool send_whole(int item) {
  session.cut_short = false;
  session.writing = true;
  bool ok = modem_send(item);
  session.writing = false;
  return ok;
}

// Item 1 written twice so that the modem sees bit 0 rise (connect) or fall
// (hang up); the first write is left out when there is nothing to fall from.
void send_connect_edge(bool rising, bool write_first) {
  uint16_t &f = working_config.flags;
  // The writes carry the user's pending flags along.
  const bool pending = marked(FLAGS_ITEM);
  unmark(FLAGS_ITEM);
  if (write_first) {
    f = static_cast<uint16_t>(rising ? f & ~CFG_CONNECT : f | CFG_CONNECT);
    if (!send_whole(FLAGS_ITEM)) report(false);
  }
  f = static_cast<uint16_t>(rising ? f | CFG_CONNECT : f & ~CFG_CONNECT);
  if (!send_whole(FLAGS_ITEM)) {
    report(false);
    if (pending) mark(FLAGS_ITEM);
  } else if (!marked(FLAGS_ITEM)) {
    session.user_flag_bits = 0;
  }
}

void write_item(int item) {
  // Item 1 is a whole word: until the modem's has been read, writing it would
  // also write bits nobody read back. It stays marked and waits for the read.
  if (item == FLAGS_ITEM && !session.flags_known) return;
  // The dial string is written from the number pointer on: not at a pointer
  // the modem may not have.
  if (item == DIAL_ITEM && !session.pointer_known) return;
  // Cleared before the write: a key that changes the item again while it is
  // being written marks it again, and the newer value goes next.
  unmark(item);
  if (!send_whole(item)) {
    mark(item);   // tried again next pass
    report(false);
  } else if (item == FLAGS_ITEM && !marked(item)) {
    session.user_flag_bits = 0;
  } else if (item == POINTER_ITEM) {
    session.pointer_known = true;
  }
}

// Reads what a pending write of item depends on (item 1 for itself, item 4
// for the dial string) when it has not been read yet.
void read_before_writing() {
  if (!session.flags_known && marked(FLAGS_ITEM) && !fetch_online(FLAGS_ITEM)) report(true);
  if (!session.pointer_known && marked(DIAL_ITEM) && !marked(POINTER_ITEM) && !fetch_online(POINTER_ITEM))
    report(true);
}

// Changes still marked when the user leaves were accepted and shown: they go
// to the modem before the editor ends. Item 1 goes last, since mode and
// port settings in it can cut the link.
void write_before_leaving() {
  if (!session.gave_up) {
    session.writing = true;   // these reads are for changes of the user's: not cut short
    read_before_writing();
    session.writing = false;
  }
  for (int item = 2; item <= TRANSFER_ITEMS + 1; item++) {
    int which = item > TRANSFER_ITEMS ? FLAGS_ITEM : item;
    if (!session.gave_up && marked(which)) write_item(which);
  }
}

// --- the steps of a pass, in the order run_pass takes them ---

void refresh_next_item() {
  session.item_cursor = session.item_cursor % TRANSFER_ITEMS + 1;
  fetch_online(session.item_cursor);
}

void show_config_errors() {
  uint16_t errors;
  if (modem_read(REG_CONFIG_ERRORS, 1, &errors))
    draw_config_errors(errors);
  else
    report(true);
}

void link_setup_if_asked() {
  if (!setup_request) return;
  use_idle(wait_spinner);
  link_handle = configure_link();
  // Another module on the new link gets none of this modem's changes.
  if (!identify_module("ZL27T")) exit_request = session.gave_up = true;
  use_idle(editor_idle);
  setup_request = false;
}

// The connect and hang-up edges and a changed flag write item 1 whole: it
// is read first when the modem's has not been yet.
void read_flags_for_edge() {
  if ((connect_request || hangup_request) && !session.flags_known && !fetch_online(FLAGS_ITEM)) report(true);
}

void read_for_changes() {
  if (changed_items != 0) read_before_writing();
}

// One of: the connect edge, the hang-up edge, the changed items. An edge
// whose item 1 could not be read waits for the next pass, which reads it
// again.
void carry_out_requests() {
  const uint16_t f = working_config.flags;
  if ((connect_request || hangup_request) && !session.flags_known) return;
  if (connect_request) {
    send_connect_edge(true, true);
    connect_request = false;
  } else if (hangup_request) {
    const bool off_hook = (f & CFG_TWO_WIRE) && !(f & CFG_PRIVATE_LINE);
    send_connect_edge(false, (f & CFG_CONNECT) || off_hook);
    hangup_request = false;
  } else if (changed_items != 0) {
    // Item by item, until a key asks to leave: what is left then goes as
    // the editor ends (write_before_leaving).
    for (int item = 1; item <= TRANSFER_ITEMS && !leaving(); item++)
      if (marked(item)) write_item(item);
  }
}

// What each step does, and what it does instead once the editor is leaving
// (null: nothing). A key can ask to leave inside any exchange of a pass; from
// there on the values are no longer drawn ("Exiting..." stays readable) and
// the modem is asked nothing more: the changes still marked go out as the
// editor ends.
struct PassStep {
  void (*run)();
  void (*when_leaving)();
};
constexpr PassStep pass_steps[] = {
    {refresh_next_item, nullptr},
    {draw_values, nullptr},
    {show_config_errors, nullptr},
    {draw_status, draw_status},
    {show_last_password, blank_last_password},
    {link_setup_if_asked, nullptr},
    {read_flags_for_edge, nullptr},
    {read_for_changes, nullptr},
    {carry_out_requests, nullptr},
};

// The guard: a pass begins only while the editor stays, and each step asks
// again, since the step before may have taken the key that leaves.
void run_pass() {
  if (leaving()) return;
  for (const PassStep &step : pass_steps)
    if (void (*act)() = leaving() ? step.when_leaving : step.run) act();
}

// A key during the wait between passes has been given to edit_key: whether
// the next pass has anything to do for it at once (leave, connect, hang up,
// the link setup, a change to write) or it only moved the cursor.
bool pass_wanted() {
  return leaving() || connect_request || hangup_request || setup_request || changed_items != 0;
}

}  // namespace

int editor_idle(int) {
  // Once the editor is leaving, keys are left for the menu.
  if (!leaving()) {
    if (KeyCode key = key_read(0)) {
      const ModemConfig before = working_config;
      edit_key(key);
      session.user_flag_bits |= before.flags ^ working_config.flags;
      for (int item = 1; item <= TRANSFER_ITEMS; item++)
        if (item_differs(before, working_config, item)) copy_item(session.user_values, working_config, item);
      // Shown now, not when the reply in progress comes.
      if (!leaving()) draw_values();
    }
  }
  spinner_step();
  pcon_flush();
  // Once leaving, a read in progress is not waited for (nothing of it would
  // be shown, and a modem that does not answer would hold the editor until
  // the link's time-out); a write is: it carries a change of the user's.
  if (leaving() && !session.writing) {
    session.cut_short = true;
    return 0;
  }
  return 1;
}

void online_editor() {
  use_idle(editor_idle);
  form_show_labels(editor_labels);
  online_mode = true;
  hotkey_add(KEY_F2, editor_help_hotkey);
  put_field("Press F2 for help.", 3, 62, 0, ' ', ATTR_NORMAL);
  put_field("F2", 3, 68, 0, ' ', ATTR_FIELD);
  put_field("Last Password", 21, 40, 0, ' ', ATTR_NORMAL);

  // The requests are cleared before the first read, so that a key typed
  // while it runs (Esc on a slow link) is not forgotten.
  setup_request = connect_request = hangup_request = exit_request = false;
  last_key = 0;
  changed_items = 0;
  session = OnlineSession{};
  session.user_values = working_config;
  editor_send_item = defer_transparent_write;

  int item = 1;
  for (; item <= TRANSFER_ITEMS && !leaving(); item++) {
    if (!fetch_online(item)) {
      report(true);
      break;
    }
  }
  if (!leaving()) validate_config(working_config);
  // The loop goes on after the last item tried (item 2 after a full read).
  session.item_cursor = item > TRANSFER_ITEMS ? 1 : item;

  PassPacer pacer;
  while (!leaving()) {
    pace_screen(pacer, pass_wanted);
    run_pass();
  }
  write_before_leaving();
  editor_send_item = nullptr;
  online_mode = false;
  use_idle(wait_spinner);
  hotkey_remove(KEY_F2);
}
