// Key codes, scripted keys, hot keys, character sets and the field editor.
#include "ui/keys.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/keyboard.h"
#include "ui/screen.h"

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

// Console extended key (after 0 or 0xE0) -> KeyCode; 0xFF means "toggle
// insert mode", 0 "no key".
KeyCode translate_extended(uint8_t scan) {
  if (scan >= 0x3B && scan <= 0x44) return static_cast<KeyCode>(KEY_F1 + (scan - 0x3B));
  switch (scan) {
    case 0x47: return KEY_HOME;
    case 0x48: return KEY_UP;
    case 0x49: return KEY_PGUP;
    case 0x4B: return KEY_LEFT;
    case 0x4D: return KEY_RIGHT;
    case 0x4F: return KEY_END;
    case 0x50: return KEY_DOWN;
    case 0x51: return KEY_PGDN;
    case 0x52: return 0xFF;
    case 0x53: return KEY_DEL;
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
    if (b == 0 || b == 0xE0) key = translate_extended(static_cast<uint8_t>(pkbd_getch()));
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

KeyCode field_edit(char *buffer, int row, int col, int width, int fill, const char *allowed,
                   const char *terminators, FieldFlags flags) {
  screen_honour_redraw();
  CharSet allow, term;
  charset_build(allowed, &allow);
  charset_build(terminators, &term);
  clamp_pos(row, col);
  if (width < 1) width = 1;
  if (width > SCR_COLS) width = SCR_COLS;
  if (col + width > SCR_COLS) width = SCR_COLS - col;
  if (flags & FF_BEEP) beep();

  const bool quiet = flags & FF_QUIET;
  const int index = flags & FF_ATTR_MASK;
  char pad_line[SCR_COLS];
  memset(pad_line, fill & 0xff, sizeof pad_line);
  const char *shown = (flags & FF_MASK) ? pad_line : buffer;
  con_set_attr(index);

  int length = 0, cursor = 0;
  if (flags & FF_KEEP) {
    buffer[width] = 0;
    length = static_cast<int>(strlen(buffer));
    cursor = (flags & FF_REPLACE) ? 0 : length;
  }
  bool saved_insert = insert_mode;
  if (flags & FF_OVERWRITE) insert_mode = false;

  auto write_at = [&](int pos, const char *text, int n) {
    if (n <= 0) return;
    con_goto(row, col + pos);
    con_write(text, n);
  };
  write_at(0, shown, length);
  write_at(length, pad_line, width - length);
  con_goto(row, col + cursor);
  bool first_key = true;

  KeyCode key;
  for (;;) {
    cursor_show();
    if (!take_queued(&key)) key = kbd_read(-1);
    if (HotKey *h = find_hotkey(key)) {
      con_reset_attr();
      cursor_hide();
      h->busy = true;
      h->callback(key, cursor);
      h->busy = false;
      // A hot key's window may have covered the field, and closing it put
      // back what was under it before the typing: show the text as it is.
      con_set_attr(index);
      write_at(0, shown, length);
      write_at(length, pad_line, width - length);
      con_goto(row, col + cursor);
      continue;
    }
    if ((flags & FF_UPPER) && key >= 'a' && key <= 'z') key = static_cast<KeyCode>(key - 'a' + 'A');

    bool dropped = false;
    if (charset_has(key, &allow)) {
      if (first_key && (flags & FF_REPLACE)) {
        length = 0;
        cursor_hide();
        write_at(0, pad_line, width);
        con_goto(row, col + cursor);
      }
      if (cursor < length) {
        if (insert_mode) {
          if (length < width) {
            memmove(buffer + cursor + 1, buffer + cursor, length - cursor);
            buffer[cursor] = static_cast<char>(key);
            length++;
            cursor_hide();
            write_at(cursor, shown + cursor, length - cursor);
            cursor++;
          } else {
            beep();
          }
        } else {
          buffer[cursor] = static_cast<char>(key);
          write_at(cursor, shown + cursor, 1);
          cursor++;
        }
      } else if (length == width || cursor >= width) {
        if (!quiet) beep();
      } else {
        int old_end = length;
        for (int k = length; k < cursor; k++) buffer[k] = ' ';
        buffer[cursor] = static_cast<char>(key);
        length = cursor + 1;
        write_at(old_end, shown + old_end, length - old_end);
        cursor++;
      }
      if ((flags & FF_AUTOENTER) && length >= width) key = KEY_ENTER;
    }
    if (charset_has(key, &term)) {
      con_goto(row, col + cursor);
      break;
    }
    if (!charset_has(key, &allow)) {
      switch (key) {
        case KEY_ESC:
        case KEY_CLEAR:
        case KEY_CUT_END:
          if (key != KEY_CUT_END && length > 0) cursor = 0;
          if (cursor < length) {
            write_at(cursor, pad_line, length - cursor);
            length = cursor;
          }
          break;
        case KEY_CUT_START:
          if (cursor > 0) {
            int removed = cursor < length ? cursor : length;
            memmove(buffer, buffer + removed, length - removed);
            length -= removed;
            write_at(0, shown, length);
            write_at(length, pad_line, removed);
            cursor = 0;
          }
          break;
        case KEY_HOME: cursor = 0; break;
        case KEY_END: cursor = length; break;
        case KEY_LEFT:
          if (cursor > 0) cursor--;
          break;
        case KEY_RIGHT:
          if (cursor < length) {
            cursor++;
          } else if (charset_has(' ', &allow) && cursor < width) {
            write_at(cursor, pad_line, 1);
            cursor++;
          }
          break;
        case KEY_DEL:
          if (cursor < length) {
            memmove(buffer + cursor, buffer + cursor + 1, length - cursor - 1);
            length--;
            write_at(cursor, shown + cursor, length - cursor);
            write_at(length, pad_line, 1);
          }
          break;
        case KEY_BACKSPACE:
          if (cursor > length) {
            cursor--;
          } else if (cursor > 0) {
            memmove(buffer + cursor - 1, buffer + cursor, length - cursor);
            length--;
            cursor--;
            write_at(cursor, shown + cursor, length - cursor);
            write_at(length, pad_line, 1);
          }
          break;
        case KEY_WORD_LEFT:
          if (cursor > 0) {
            do cursor--;
            while (cursor > 0 && cursor < length && is_word_char(buffer[cursor]));
            while (cursor > 0 && !(cursor - 1 < length && is_word_char(buffer[cursor - 1]))) cursor--;
          }
          break;
        case KEY_WORD_RIGHT:
          while (cursor < length && is_word_char(buffer[cursor])) cursor++;
          while (cursor < length && !is_word_char(buffer[cursor])) cursor++;
          break;
        default:
          if (!quiet) beep();
          dropped = true;
          break;
      }
      if (key == KEY_ESC) {
        con_goto(row, col + cursor);
        break;
      }
    }
    if (!dropped) first_key = false;
    con_goto(row, col + cursor);
  }

  // Hand the text back: padded and justified to the width, or cut at its end.
  int n;
  if (flags & FF_PAD) {
    char text[SCR_COLS + 1];
    memcpy(text, buffer, length);
    int lead = (flags & FF_CENTER) ? (width - length) / 2 : (flags & FF_RIGHT) ? width - length : 0;
    memset(buffer, ' ', width);
    memcpy(buffer + lead, text, length);
    n = width;
  } else {
    memset(buffer + length, 0, width - length + 1);
    n = length;
  }
  int base = row * SCR_COLS + col;
  for (int k = 0; k < width; k++) {
    shadow_chars[base + k] = k < n ? static_cast<uint8_t>(buffer[k]) : ' ';
    shadow_attrs[base + k] = static_cast<uint8_t>(index);
  }
  if ((fill & 0xff) != ' ' && n < width) {
    char spaces[SCR_COLS];
    memset(spaces, ' ', sizeof spaces);
    write_at(n, spaces, width - n);
  }
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
