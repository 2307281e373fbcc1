// Key codes, scripted keys, hot keys, character sets and the field editor.
#include "ui/keys.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/keyboard.h"
#include "ui/screen.h"
#include "ui/window.h"

bool insert_mode = true;

namespace {
// The scripted-key ring: indexes advance before use, so the first key goes
// into slot 1.
uint8_t queue[KEY_QUEUE_SIZE];
int queue_write = 0, queue_read = 0, queue_count = 0;

HotKey *hot_first = nullptr;
HotKey *hot_last = nullptr;

bool take_queued(KeyCode *key) {
  if (queue_count == 0) return false;
  queue_count--;
  queue_read = (queue_read + 1) % KEY_QUEUE_SIZE;
  *key = queue[queue_read];
  return true;
}

HotKey *find_hotkey(KeyCode key) {
  for (HotKey *h = hot_first; h; h = h->next)
    if (h->key == key && !h->busy) return h;
  return nullptr;
}

// Console extended key (after either prefix) -> KeyCode; 0xFF means "toggle
// insert mode", 0 "no key".
KeyCode translate_extended(uint8_t scan) {
  if (scan >= SC_F1 && scan <= SC_F10) return static_cast<KeyCode>(KEY_F1 + (scan - SC_F1));
  switch (scan) {
    case SC_HOME: return KEY_HOME;
    case SC_UP: return KEY_UP;
    case SC_PGUP: return KEY_PGUP;
    case SC_LEFT: return KEY_LEFT;
    case SC_RIGHT: return KEY_RIGHT;
    case SC_END: return KEY_END;
    case SC_DOWN: return KEY_DOWN;
    case SC_PGDN: return KEY_PGDN;
    case SC_INS: return 0xFF;
    case SC_DEL: return KEY_DEL;
    case 0x08: return 127;
    default: return 0;
  }
}

KeyCode translate_plain(uint8_t b) {
  switch (b) {
    case 1: return KEY_HOME;
    case 4: return KEY_CUT_END;
    case 6: return KEY_WORD_RIGHT;
    case 7: return KEY_END;
    case 8: return KEY_BACKSPACE;
    case 18: return KEY_WORD_LEFT;
    case 21: return KEY_CUT_START;
    case 22: return KEY_DEL;
    case 25: return KEY_CLEAR;
    default: return b;
  }
}

bool is_word_char(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}
}  // namespace

// --- keyboard ---

KeyCode kbd_read(int mode) {
  if (cursor_is_visible()) pcon_cursor_to(con_row() < CON_ROWS ? con_row() : CON_ROWS - 1,
                                          con_col() < CON_COLS ? con_col() : CON_COLS - 1);
  for (;;) {
    if (mode >= 0 && !pkbd_hit()) return 0;
    int b = pkbd_getch();
    KeyCode key;
    if (b == KBD_OLD_EXTENDED_PREFIX || b == KBD_EXTENDED_PREFIX) key = translate_extended(static_cast<uint8_t>(pkbd_getch()));
    else key = translate_plain(static_cast<uint8_t>(b));
    if (key == 0xFF) {
      // A polling read stays a poll: waiting here would stop a link wait's
      // spinner and its Esc until some other key came.
      insert_mode = !insert_mode;
      continue;
    }
    if (key == 0) continue;
    return key;
  }
}

KeyCode key_read(int mode) {
  for (;;) {
    screen_honour_redraw();
    KeyCode key;
    if (!take_queued(&key)) {
      key = kbd_read(mode);
      if (key == 0) return 0;
    }
    HotKey *h = find_hotkey(key);
    if (!h) return key;
    h->busy = true;
    h->callback(key, -1);
    h->busy = false;
  }
}

KeyCode get_key() { return key_read(-1); }

int push_keys(const char *text) {
  int n = 0;
  for (const char *p = text; *p && queue_count < KEY_QUEUE_SIZE; p++, n++) {
    queue_write = (queue_write + 1) % KEY_QUEUE_SIZE;
    queue[queue_write] = static_cast<uint8_t>(*p);
    queue_count++;
  }
  return n;
}

int key_queue_count() { return queue_count; }

void key_queue_reset() { queue_write = queue_read = queue_count = 0; }

void keys_reset() {
  key_queue_reset();
  hotkey_reset();
  insert_mode = true;
}

bool push_key_front(KeyCode key) {
  if (queue_count == KEY_QUEUE_SIZE) return false;
  // The read index names the slot read last; the next read takes the one after.
  queue[queue_read] = key;
  queue_read = (queue_read + KEY_QUEUE_SIZE - 1) % KEY_QUEUE_SIZE;
  queue_count++;
  return true;
}

bool key_waiting() { return queue_count > 0 || pkbd_hit(); }

bool key_wait(int ms) { return queue_count > 0 || pkbd_wait(ms); }

// --- hot keys ---

HotKey *hotkey_add(KeyCode key, HotKeyCallback callback) {
  auto *h = static_cast<HotKey *>(malloc(sizeof(HotKey)));
  if (!h) return nullptr;
  h->key = key;
  h->callback = callback;
  h->busy = false;
  h->next = nullptr;
  h->prev = hot_last;
  if (hot_last) hot_last->next = h;
  else hot_first = h;
  hot_last = h;
  return h;
}

int hotkey_remove(KeyCode key) {
  for (HotKey *h = hot_last; h; h = h->prev) {
    if (h->key != key) continue;
    if (h->prev) h->prev->next = h->next;
    else hot_first = h->next;
    if (h->next) h->next->prev = h->prev;
    else hot_last = h->prev;
    free(h);
    return 1;
  }
  return 0;
}

void hotkey_reset() {
  while (hot_first) {
    HotKey *next = hot_first->next;
    free(hot_first);
    hot_first = next;
  }
  hot_last = nullptr;
}

// --- character sets ---

void charset_build(const char *spec, CharSet *set) {
  memset(set, 0, sizeof *set);
  auto add = [set](uint8_t b) { set->bits[b / 16] |= static_cast<uint16_t>(1u << (b % 16)); };
  const auto *s = reinterpret_cast<const uint8_t *>(spec);
  if (!*s) return;
  uint8_t prev = *s++;
  add(prev);
  while (*s) {
    if (*s == '-' && s[1]) {
      uint8_t y = s[1];
      if (prev <= y) {
        for (int b = prev; b <= y; b++) add(static_cast<uint8_t>(b));
      } else {
        add(prev);
        add(y);
      }
      prev = y;
      s += 2;
    } else {
      prev = *s++;
      add(prev);
    }
  }
}

bool charset_has(uint8_t byte, const CharSet *set) { return set->bits[byte / 16] & (1u << (byte % 16)); }

// --- field editor ---

namespace {
// One edit in progress. The place is 0-based and the width fits the model
// row. The cursor may stand beyond the text (Right past its end when a space
// is allowed), at most on the width.
struct FieldEditor {
  char *buffer;
  int row, col, width;
  char fill;
  FieldFlags flags;
  CharSet allow, term;
  int length, cursor;
};

int field_index(const FieldEditor &e) { return static_cast<int>(e.flags & FF_ATTR_MASK); }

// Draws the field as the typing stands: the text (fill characters in its
// place when masked), fill characters to the width; the cursor goes to its
// place. Through put_field, so only changed cells are written and the shadow
// holds what the console shows: a window opened over the field by a hot key
// gives the typed text back when it closes.
void show_editing(const FieldEditor &e) {
  char line[SCR_COLS + 1];
  const bool masked = e.flags & FF_MASK;
  for (int k = 0; k < e.width; k++) line[k] = k < e.length && !masked ? e.buffer[k] : e.fill;
  line[e.width] = 0;
  put_field(line, e.row + 1, e.col + 1, e.width, e.fill, field_index(e));
  con_goto(e.row, e.col + e.cursor);
}

// The next key of the edit. Hot keys run here as in key_read, told where the
// cursor stands; their key is not the edit's.
KeyCode next_edit_key(const FieldEditor &e) {
  for (;;) {
    cursor_show();
    KeyCode key;
    if (!take_queued(&key)) key = kbd_read(-1);
    HotKey *h = find_hotkey(key);
    if (!h) return key;
    con_reset_attr();
    cursor_hide();
    h->busy = true;
    h->callback(key, e.cursor);
    h->busy = false;
    show_editing(e);
  }
}

// A key of the allowed set, typed at the cursor: inserted or put over the
// character there, or appended (a gap before the cursor becomes spaces).
// Refused with the bell when the field has no room for it.
void type_key(FieldEditor &e, KeyCode key, bool first_key) {
  if (first_key && (e.flags & FF_REPLACE)) {
    e.length = 0;
    cursor_hide();
  }
  const char c = static_cast<char>(key);
  if (e.cursor < e.length) {
    if (!insert_mode) {
      e.buffer[e.cursor++] = c;
    } else if (e.length < e.width) {
      memmove(e.buffer + e.cursor + 1, e.buffer + e.cursor, e.length - e.cursor);
      e.buffer[e.cursor++] = c;
      e.length++;
      cursor_hide();
    } else {
      beep();   // a full field refuses an insert even when quiet
    }
  } else if (e.length == e.width || e.cursor >= e.width) {
    if (!(e.flags & FF_QUIET)) beep();
  } else {
    for (int k = e.length; k < e.cursor; k++) e.buffer[k] = ' ';
    e.buffer[e.cursor++] = c;
    e.length = e.cursor;
  }
}

void word_left(FieldEditor &e) {
  if (e.cursor == 0) return;
  do e.cursor--;
  while (e.cursor > 0 && e.cursor < e.length && is_word_char(e.buffer[e.cursor]));
  while (e.cursor > 0 && !(e.cursor - 1 < e.length && is_word_char(e.buffer[e.cursor - 1]))) e.cursor--;
}

void word_right(FieldEditor &e) {
  while (e.cursor < e.length && is_word_char(e.buffer[e.cursor])) e.cursor++;
  while (e.cursor < e.length && !is_word_char(e.buffer[e.cursor])) e.cursor++;
}

// A key outside the allowed set. False when the field has no use for it: the
// key is dropped, with the bell unless quiet.
bool edit_key(FieldEditor &e, KeyCode key) {
  switch (key) {
    case KEY_ESC:
    case KEY_CLEAR:
      if (e.length > 0) e.cursor = 0;
      [[fallthrough]];
    case KEY_CUT_END:
      if (e.cursor < e.length) e.length = e.cursor;
      return true;
    case KEY_CUT_START:
      if (e.cursor > 0) {
        int removed = e.cursor < e.length ? e.cursor : e.length;
        memmove(e.buffer, e.buffer + removed, e.length - removed);
        e.length -= removed;
        e.cursor = 0;
      }
      return true;
    case KEY_HOME: e.cursor = 0; return true;
    case KEY_END: e.cursor = e.length; return true;
    case KEY_LEFT:
      if (e.cursor > 0) e.cursor--;
      return true;
    case KEY_RIGHT:
      if (e.cursor < e.length || (charset_has(' ', &e.allow) && e.cursor < e.width)) e.cursor++;
      return true;
    case KEY_DEL:
      if (e.cursor < e.length) {
        memmove(e.buffer + e.cursor, e.buffer + e.cursor + 1, e.length - e.cursor - 1);
        e.length--;
      }
      return true;
    case KEY_BACKSPACE:
      if (e.cursor > e.length) {
        e.cursor--;
      } else if (e.cursor > 0) {
        memmove(e.buffer + e.cursor - 1, e.buffer + e.cursor, e.length - e.cursor);
        e.length--;
        e.cursor--;
      }
      return true;
    case KEY_WORD_LEFT: word_left(e); return true;
    case KEY_WORD_RIGHT: word_right(e); return true;
    default:
      if (!(e.flags & FF_QUIET)) beep();
      return false;
  }
}

// Hands the text back: padded with blanks to exactly the width and placed as
// put_field places it (FF_PAD; the byte after the width is left alone), or
// cut at its end with every byte up to the width cleared. Returns how many
// characters the field keeps.
int hand_back(FieldEditor &e) {
  if (!(e.flags & FF_PAD)) {
    memset(e.buffer + e.length, 0, e.width - e.length + 1);
    return e.length;
  }
  char text[SCR_COLS];
  memcpy(text, e.buffer, e.length);
  int lead = (e.flags & FF_CENTER) ? (e.width - e.length) / 2 : (e.flags & FF_RIGHT) ? e.width - e.length : 0;
  memset(e.buffer, ' ', e.width);
  memcpy(e.buffer + lead, text, e.length);
  return e.width;
}

// The field once the edit is over, drawn as any field: the kept text, blanks
// to the width (the fill characters go). A masked field keeps its fill
// characters over the text, on the console and in the shadow alike, so that
// neither a redraw nor a screen print shows what was typed.
void show_result(const FieldEditor &e, int kept) {
  char line[SCR_COLS + 1];
  const bool masked = e.flags & FF_MASK;
  for (int k = 0; k < e.width; k++) {
    if (masked) line[k] = k < e.length ? e.fill : ' ';
    else line[k] = k < kept ? e.buffer[k] : ' ';
  }
  line[e.width] = 0;
  put_field(line, e.row + 1, e.col + 1, e.width, ' ', field_index(e));
}
}  // namespace

KeyCode field_edit(char *buffer, int row, int col, int width, int fill, const char *allowed,
                   const char *terminators, FieldFlags flags) {
  screen_honour_redraw();
  FieldEditor e{};
  e.buffer = buffer;
  e.flags = flags;
  e.fill = static_cast<char>(fill & 0xff);
  charset_build(allowed, &e.allow);
  charset_build(terminators, &e.term);
  clamp_pos(row, col);
  if (width < 1) width = 1;
  if (width > SCR_COLS) width = SCR_COLS;
  if (col + width > SCR_COLS) width = SCR_COLS - col;
  e.row = row;
  e.col = col;
  e.width = width;
  if (flags & FF_BEEP) beep();
  // Without FF_KEEP the old text is not shown, and is overwritten at the end.
  if (flags & FF_KEEP) {
    buffer[width] = 0;
    e.length = static_cast<int>(strlen(buffer));
    e.cursor = (flags & FF_REPLACE) ? 0 : e.length;
  }
  const bool saved_insert = insert_mode;
  if (flags & FF_OVERWRITE) insert_mode = false;
  show_editing(e);

  bool first_key = true;
  KeyCode key;
  for (;;) {
    key = next_edit_key(e);
    if ((flags & FF_UPPER) && key >= 'a' && key <= 'z') key = static_cast<KeyCode>(key - 'a' + 'A');
    if (charset_has(key, &e.allow)) {
      type_key(e, key, first_key);
      if ((flags & FF_AUTOENTER) && e.length >= e.width) key = KEY_ENTER;
    }
    // A terminator ends the edit, also one just typed. Esc, when it is not
    // one, empties the text first.
    bool ends = charset_has(key, &e.term);
    bool used = true;
    if (!ends && !charset_has(key, &e.allow)) {
      used = edit_key(e, key);
      ends = key == KEY_ESC;
    }
    show_editing(e);
    if (ends) break;
    if (used) first_key = false;
  }

  show_result(e, hand_back(e));
  cursor_hide();
  con_reset_attr();
  if (flags & FF_OVERWRITE) insert_mode = saved_insert;
  return key;
}

KeyCode edit_number(uint16_t *value, int row, int col, int width, int fill, const char *terminators,
                    FieldFlags flags) {
  char text[20] = "";
  if (width > 19) width = 19;
  if (flags & FF_KEEP) snprintf(text, sizeof text, "%d", static_cast<int16_t>(*value));
  // The number at the start of the text, as atoi reads it (a padded field
  // may start with blanks).
  auto read_number = [&text](bool *negative) {
    const char *p = text;
    while (*p == ' ') p++;
    *negative = *p == '-';
    if (*p == '-' || *p == '+') p++;
    unsigned long v = 0;
    for (; *p >= '0' && *p <= '9' && v <= 0xFFFFu; p++) v = v * 10 + static_cast<unsigned>(*p - '0');
    return v;
  };
  KeyCode key;
  bool negative;
  unsigned long v;
  for (;;) {
    key = field_edit(text, row, col, width, fill, "0-9", terminators, flags);
    v = read_number(&negative);
    if (v <= 0xFFFFu) break;
    // A number past 16 bits is refused, not cut to another value: the
    // field stays, holding what was typed.
    beep();
    flags |= FF_KEEP;
  }
  *value = static_cast<uint16_t>(negative ? 0x10000u - v : v);
  return key;
}
