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

constexpr FieldFlags ATTR_NORMAL = 0;
constexpr FieldFlags ATTR_VALUE = 2;
constexpr FieldFlags ATTR_STATUS = 3;
constexpr FieldFlags ATTR_ERROR = 4;
constexpr FieldFlags ATTR_RINGING = 5;

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

int item_cursor = 1;          // the item refreshed next, after advancing
ModemConfig user_values;      // the user's latest value of every item he changed
uint16_t user_flag_bits;      // the flag bits among them: the rest is the modem's
bool flags_known;             // item 1 has been read: its other bits are the modem's
bool pointer_known;           // item 4 has been read or written: where item 5 goes
bool gave_up;                 // Esc in an error box: leave without writing more
bool writing;                 // a write is on the link
bool cut_short;               // the exchange in progress was ended for leaving
bool ringing;                 // register 2 bit 15, read with item 1

uint32_t item_bit(int item) { return 1u << (item - 1); }

// A failure shown; false when the user gave up on it (Esc), which ends the
// editor: on a dead link the boxes come every pass and take every key.
void report(bool read_failure) {
  if (cut_short) {   // no failure: the editor is leaving
    cut_short = false;
    return;
  }
  const char *text = modem_access.error_text();
  bool go_on = read_failure ? error_printf("%s", text) : error_box(text);
  if (!go_on) exit_request = gave_up = true;
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
  if (!(changed_items & item_bit(item))) return;
  if (item != FLAGS_ITEM) {
    copy_item(working_config, user_values, item);
    return;
  }
  // Only the bits the user changed: the others, and the carrier, which is
  // the modem's to tell, stay as fetched.
  const uint16_t mine = user_flag_bits & ~CFG_CONNECT;
  working_config.flags = static_cast<uint16_t>((working_config.flags & ~mine) | (user_values.flags & mine));
}

bool fetch_online(int item) {
  if (item != FLAGS_ITEM) {
    bool ok = modem_fetch(item, keep_user_change);
    if (ok && item == POINTER_ITEM) pointer_known = true;
    return ok;
  }
  // As fetch_item(1) reads it, keeping the ring bit that flags never holds.
  // The values land after the read's idle turn, so a key in that turn still
  // saw the user's flags.
  uint16_t r[2];
  bool ok = modem_read(REG_CONTROL, 2, r);
  if (ok) {
    working_config.flags = merge_fetched_flags(r[0], r[1]);
    ringing = (r[1] & ST_RING) != 0;
    flags_known = true;
  }
  keep_user_change(item);
  return ok;
}

// The switch to Transparent comes inside a link wait, where a write of its
// own would cross the exchange in progress: item 1 is marked instead and goes
// out as the editor leaves, right after that exchange.
int defer_transparent_write(int item) {
  if (item == FLAGS_ITEM) changed_items |= item_bit(FLAGS_ITEM);
  return 1;
}

void draw_config_errors(uint16_t bits) {
  if (bits == 0) {
    clear_to_eol(22, 1);
    clear_to_eol(23, 1);
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
    put_field(" Connected", 3, 1, 11, ' ', ATTR_STATUS);
  else if ((f & CFG_TWO_WIRE) && !(f & CFG_PRIVATE_LINE))
    put_field(" Off Hook", 3, 1, 11, ' ', ATTR_STATUS);
  else if (ringing)
    put_field(" RINGING", 3, 1, 11, ' ', ATTR_RINGING);
  else
    put_field("", 3, 1, 11, ' ', ATTR_NORMAL);
}

void draw_last_password() {
  if (exit_request || working_config.password == 0) {
    put_field("", 21, 40, 25, ' ', ATTR_NORMAL);
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
  put_field(text, 21, 60, 4, ' ', ATTR_VALUE);
}

void run_link_setup() {
  use_idle(wait_spinner);
  link_handle = configure_link();
  // Another module on the new link gets none of this modem's changes.
  if (!identify_module("ZL27T")) exit_request = gave_up = true;
  use_idle(editor_idle);
  setup_request = false;
}

// A write is never cut short by leaving: it carries a change of the user's.
bool send_whole(int item) {
  cut_short = false;
  writing = true;
  bool ok = modem_send(item);
  writing = false;
  return ok;
}

// Item 1 written twice so that the modem sees bit 0 rise (connect) or fall
// (hang up); the first write is left out when there is nothing to fall from.
void send_connect_edge(bool rising, bool write_first) {
  uint16_t &f = working_config.flags;
  // The writes carry the user's pending flags along.
  const bool pending = changed_items & item_bit(FLAGS_ITEM);
  changed_items &= ~item_bit(FLAGS_ITEM);
  if (write_first) {
    f = static_cast<uint16_t>(rising ? f & ~CFG_CONNECT : f | CFG_CONNECT);
    if (!send_whole(FLAGS_ITEM)) report(false);
  }
  f = static_cast<uint16_t>(rising ? f | CFG_CONNECT : f & ~CFG_CONNECT);
  if (!send_whole(FLAGS_ITEM)) {
    report(false);
    if (pending) changed_items |= item_bit(FLAGS_ITEM);
  } else if (!(changed_items & item_bit(FLAGS_ITEM))) {
    user_flag_bits = 0;
  }
}

void write_item(int item) {
  // Item 1 is a whole word: until the modem's has been read, writing it would
  // also write bits nobody read back. It stays marked and waits for the read.
  if (item == FLAGS_ITEM && !flags_known) return;
  // The dial string is written from the number pointer on: not at a pointer
  // the modem may not have.
  if (item == DIAL_ITEM && !pointer_known) return;
  // Cleared before the write: a key that changes the item again while it is
  // being written marks it again, and the newer value goes next.
  changed_items &= ~item_bit(item);
  if (!send_whole(item)) {
    changed_items |= item_bit(item);   // tried again next pass
    report(false);
  } else if (item == FLAGS_ITEM && !(changed_items & item_bit(item))) {
    user_flag_bits = 0;
  } else if (item == POINTER_ITEM) {
    pointer_known = true;
  }
}

// Reads what a pending write of item depends on (item 1 for itself, item 4
// for the dial string) when it has not been read yet.
void read_before_writing() {
  if (!flags_known && (changed_items & item_bit(FLAGS_ITEM)) && !fetch_online(FLAGS_ITEM)) report(true);
  if (!pointer_known && (changed_items & item_bit(DIAL_ITEM)) && !(changed_items & item_bit(POINTER_ITEM)) &&
      !fetch_online(POINTER_ITEM))
    report(true);
}

void write_changed_items() {
  for (int item = 1; item <= TRANSFER_ITEMS && !exit_request; item++)
    if (changed_items & item_bit(item)) write_item(item);
}

// Changes still marked when the user leaves were accepted and shown: they go
// to the modem before the editor ends. Item 1 goes last, since mode and
// port settings in it can cut the link.
void write_before_leaving() {
  if (!gave_up) {
    writing = true;   // these reads are for changes of the user's: not cut short
    read_before_writing();
    writing = false;
  }
  for (int item = 2; item <= TRANSFER_ITEMS + 1; item++) {
    int which = item > TRANSFER_ITEMS ? FLAGS_ITEM : item;
    if (!gave_up && (changed_items & item_bit(which))) write_item(which);
  }
}

void pass() {
  item_cursor = item_cursor % TRANSFER_ITEMS + 1;
  fetch_online(item_cursor);
  if (!exit_request) draw_values();   // leaves "Exiting..." readable
  if (!exit_request) {
    uint16_t errors;
    if (modem_read(REG_CONFIG_ERRORS, 1, &errors))
      draw_config_errors(errors);
    else
      report(true);
  }
  draw_status();
  draw_last_password();
  if (setup_request && !exit_request) run_link_setup();

  // The connect and hang-up edges and a changed flag write item 1 whole.
  if ((connect_request || hangup_request) && !flags_known && !exit_request && !fetch_online(FLAGS_ITEM))
    report(true);
  if (changed_items != 0 && !exit_request) read_before_writing();

  const uint16_t f = working_config.flags;
  if ((connect_request || hangup_request) && !flags_known) {
    // kept for the next pass, which reads item 1 again
  } else if (connect_request && !exit_request) {
    send_connect_edge(true, true);
    connect_request = false;
  } else if (hangup_request && !exit_request) {
    const bool off_hook = (f & CFG_TWO_WIRE) && !(f & CFG_PRIVATE_LINE);
    send_connect_edge(false, (f & CFG_CONNECT) || off_hook);
    hangup_request = false;
  } else if (changed_items != 0 && !exit_request) {
    write_changed_items();
  }
}

// A key during the wait between passes has been given to edit_key: whether
// the next pass has anything to do for it at once (leave, connect, hang up,
// the link setup, a change to write) or it only moved the cursor.
bool pass_wanted() {
  return exit_request || connect_request || hangup_request || setup_request || changed_items != 0;
}

}  // namespace

int editor_idle(int) {
  // Once the editor is leaving, keys are left for the menu.
  if (!exit_request) {
    if (KeyCode key = key_read(0)) {
      const ModemConfig before = working_config;
      edit_key(key);
      user_flag_bits |= before.flags ^ working_config.flags;
      for (int item = 1; item <= TRANSFER_ITEMS; item++)
        if (item_differs(before, working_config, item)) copy_item(user_values, working_config, item);
      // Shown now, not when the reply in progress comes.
      if (!exit_request) draw_values();
    }
  }
  spinner_step();
  pcon_flush();
  // Once leaving, a read in progress is not waited for (nothing of it would
  // be shown, and a modem that does not answer would hold the editor until
  // the link's time-out); a write is: it carries a change of the user's.
  if (exit_request && !writing) {
    cut_short = true;
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
  put_field("F2", 3, 68, 0, ' ', ATTR_VALUE);
  put_field("Last Password", 21, 40, 0, ' ', ATTR_NORMAL);

  // The requests are cleared before the first read, so that a key typed
  // while it runs (Esc on a slow link) is not forgotten.
  setup_request = connect_request = hangup_request = exit_request = false;
  last_key = 0;
  changed_items = 0;
  gave_up = writing = cut_short = false;
  ringing = false;
  flags_known = pointer_known = false;
  user_flag_bits = 0;
  user_values = working_config;
  editor_send_item = defer_transparent_write;

  int item = 1;
  for (; item <= TRANSFER_ITEMS && !exit_request; item++) {
    if (!fetch_online(item)) {
      report(true);
      break;
    }
  }
  if (!exit_request) validate_config(working_config);
  // The loop goes on after the last item tried (item 2 after a full read).
  item_cursor = item > TRANSFER_ITEMS ? 1 : item;

  PassPacer pacer;
  while (!exit_request) {
    pace_screen(pacer, pass_wanted);
    if (!exit_request) pass();
  }
  write_before_leaving();
  editor_send_item = nullptr;
  online_mode = false;
  use_idle(wait_spinner);
  hotkey_remove(KEY_F2);
}
