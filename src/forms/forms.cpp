#include "forms/forms.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "ui/boxes.h"
#include "ui/screen.h"

namespace {

constexpr int MAX_WIDTH = 132;
constexpr int NUMBER_LIST_WIDTH = 31;

[[noreturn]] void exit_program(int status) { std::exit(status); }

int clamp_width(int width) {
  if (width < 1) return 1;
  if (width > MAX_WIDTH) return MAX_WIDTH;
  return width;
}

const char *charset_for(int kind) {
  switch (kind) {
  case DT_TEXT: return " -~";
  case DT_UNSIGNED: return "0-9";
  default: return nullptr;
  }
}

bool has_key(const char *keys, KeyCode key) {
  for (const char *p = keys; p && *p; p++)
    if (static_cast<KeyCode>(*p) == key) return true;
  return false;
}

NumberList load_list(const void *list) {
  NumberList l;
  std::memcpy(&l, list, sizeof l);
  return l;
}

void store_list(void *list, const NumberList &l) { std::memcpy(list, &l, sizeof l); }

// Whether the digits starting at p read past 16 bits.
bool past_16_bits(const char *p) {
  unsigned long v = 0;
  for (; *p >= '0' && *p <= '9'; p++)
    if ((v = v * 10 + static_cast<unsigned>(*p - '0')) > 0xFFFF) return true;
  return false;
}

// Whether any run of digits in the text does.
bool any_past_16_bits(const char *text) {
  for (const char *p = text; *p;) {
    if (*p < '0' || *p > '9') {
      p++;
      continue;
    }
    if (past_16_bits(p)) return true;
    while (*p >= '0' && *p <= '9') p++;
  }
  return false;
}

}  // namespace

void (*form_exit_hook)(int status) = exit_program;

bool format_value(char *out, size_t size, const void *value, int data_type, int width) {
  if (!out || size == 0) return false;
  out[0] = 0;
  if (!value) return false;
  switch (std::abs(data_type)) {
  case DT_TEXT: {
    // The variable holds at most width characters; never read past them.
    size_t n = strnlen(static_cast<const char *>(value), clamp_width(width));
    if (n >= size) n = size - 1;
    std::memcpy(out, value, n);
    out[n] = 0;
    return true;
  }
  case DT_UNSIGNED: {
    uint16_t v;
    std::memcpy(&v, value, sizeof v);
    snprintf(out, size, "%hu", v);
    return true;
  }
  case DT_NUMBER_LIST: {
    NumberList l = load_list(value);
    int count = l.count > NUMBER_LIST_MAX ? NUMBER_LIST_MAX : l.count;
    size_t used = 0;
    for (int i = 0; i < count && used + 1 < size; i++) {
      int n = snprintf(out + used, size - used, i ? ",%u" : "%u", l.numbers[i]);
      if (n < 0) break;
      used += static_cast<size_t>(n);
    }
    return true;
  }
  default:
    return false;
  }
}

void number_list_parse(const char *text, NumberList *list) {
  list->count = 0;
  const char *p = text;
  while (*p) {
    if (*p < '0' || *p > '9') {
      p++;
      continue;
    }
    unsigned v = 0;
    while (*p >= '0' && *p <= '9') v = (v * 10 + (*p++ - '0')) & 0xFFFF;
    if (list->count < NUMBER_LIST_MAX) list->numbers[list->count++] = static_cast<uint16_t>(v);
  }
}

bool parse_value(void *value, const char *text, int data_type, int width) {
  if (!value || !text) return false;
  switch (std::abs(data_type)) {
  case DT_TEXT: {
    size_t n = strnlen(text, clamp_width(width));
    std::memcpy(value, text, n);
    static_cast<char *>(value)[n] = 0;
    return n > 0;
  }
  case DT_UNSIGNED: {
    // Decimal, only the low 16 bits kept (70000 -> 4464); an empty text stores 0.
    const char *p = text;
    bool negative = *p == '-';
    bool valid = negative || (*p >= '0' && *p <= '9');
    if (negative) p++;
    unsigned v = 0;
    while (*p >= '0' && *p <= '9') v = (v * 10 + (*p++ - '0')) & 0xFFFF;
    if (negative) v = (0x10000 - v) & 0xFFFF;
    uint16_t out = static_cast<uint16_t>(v);
    std::memcpy(value, &out, sizeof out);
    return valid;
  }
  case DT_NUMBER_LIST: {
    NumberList l = load_list(value);
    number_list_parse(text, &l);
    store_list(value, l);
    return true;
  }
  default:
    return false;
  }
}

KeyCode choice_select(int row, int column, const char *const *choices, uint16_t *index,
                      const char *terminators, FieldFlags flags) {
  int n = 0;
  int w = 0;
  for (; choices && choices[n]; n++) {
    int len = static_cast<int>(strlen(choices[n]));
    if (len > w) w = len;
  }
  if (n == 0) {
    // Nothing to choose from (an empty port list): show the bad value and
    // leave it untouched.
    for (;;) {
      put_field("INVALID", row, column, 7, ' ', ATTR_HIGHLIGHT);
      KeyCode key = get_key();
      if (has_key(terminators, key)) {
        put_field("INVALID", row, column, 7, ' ', flags);
        return key;
      }
    }
  }
  // An index past the values wraps among them, never onto the action.
  int values = (flags & FF_CHOICE_ACTION) && n > 1 ? n - 1 : n;
  int i = *index < values ? *index : *index % values;
  for (;;) {
    put_field(choices[i], row, column, w, ' ', ATTR_HIGHLIGHT);
    KeyCode key = get_key();
    switch (key) {
    case ' ':
    case KEY_RIGHT: i = (i + 1) % n; continue;
    case KEY_LEFT: i = (i + n - 1) % n; continue;
    case '+': case 'S': case 's': case 'Y': case 'y':
      if (i < n - 1) i++;
      continue;
    case '-': case 'N': case 'n':
      if (i > 0) i--;
      continue;
    default:
      break;
    }
    if (has_key(terminators, key)) {
      put_field(choices[i], row, column, w, ' ', flags);
      *index = static_cast<uint16_t>(i);
      return key;
    }
  }
}

void choice_show(int row, int column, const char *const *choices, int index, int width,
                 FieldFlags flags) {
  const char *text = "INVALID";
  if (choices && index >= 0) {
    // Walk to the index so that a value past the list's end is never used.
    int i = 0;
    while (choices[i] && i < index) i++;
    // The action entry is no value.
    bool action = (flags & FF_CHOICE_ACTION) && choices[i] && !choices[i + 1];
    if (i == index && choices[i] && !action) text = choices[i];
  }
  put_field(text, row, column, width, ' ', flags);
}

void number_list_show(int row, int column, const void *list, FieldFlags flags) {
  char text[64];
  NumberList l = load_list(list);
  if (l.count == 0)
    snprintf(text, sizeof text, "NONE");
  else
    format_value(text, sizeof text, list, DT_NUMBER_LIST, NUMBER_LIST_WIDTH);
  put_field(text, row, column, NUMBER_LIST_WIDTH, ' ', flags);
}

KeyCode number_list_edit(int row, int column, void *list, FieldFlags flags) {
  NumberList l = load_list(list);
  if (l.count > NUMBER_LIST_MAX) {
    l.count = NUMBER_LIST_MAX;
    store_list(list, l);
  }
  char text[64] = {};
  format_value(text, sizeof text, list, DT_NUMBER_LIST, NUMBER_LIST_WIDTH);
  static const char terminators[] = {KEY_ENTER, KEY_ESC, char(KEY_DOWN), char(KEY_UP), 0};
  // Large numbers (from a damaged setup file) can make the text longer than
  // the field, which shows it cut; left as shown, the list keeps them all.
  char cut[NUMBER_LIST_WIDTH + 1];
  std::memcpy(cut, text, NUMBER_LIST_WIDTH);
  cut[NUMBER_LIST_WIDTH] = 0;
  bool longer = std::strlen(text) > NUMBER_LIST_WIDTH;
  KeyCode key;
  for (;;) {
    key = field_edit(text, row, column, NUMBER_LIST_WIDTH, ' ', "0-9, ", terminators, flags);
    if (key == KEY_ESC || !any_past_16_bits(text)) break;
    // A number past 16 bits is refused, not cut to another: the field
    // stays with the text as typed.
    beep();
    flags |= FF_KEEP;
  }
  if (key != KEY_ESC && !(longer && (flags & FF_KEEP) && std::strcmp(text, cut) == 0)) {
    number_list_parse(text, &l);
    store_list(list, l);
  }
  number_list_show(row, column, list, flags);
  return key;
}

KeyCode AcceptField(FormField *field, const char *terminators, FieldFlags flags) {
  flags |= field->flags;
  int row = field->row;
  int col = field->column;
  int width = clamp_width(field->width);
  if (field->DataType == DT_CHOICE) {
    auto *index = static_cast<uint16_t *>(field->value);
    for (;;) {
      const uint16_t before = *index;
      KeyCode key = choice_select(row, col, field->choices, index, terminators, flags);
      int n = 0;
      while (field->choices && field->choices[n]) n++;
      if (!(flags & FF_CHOICE_ACTION) || n == 0 || *index != n - 1) return key;
      if (key != KEY_ESC && field->validator && field->validator(field->value, width, field)) {
        form_show_field(field, flags);
        return key;
      }
      *index = before;
      if (key == KEY_ESC) {
        form_show_field(field, flags);
        return key;
      }
    }
  }

  char pad = (flags & FF_ZERO_PAD) ? '0' : ' ';
  int kind = std::abs(field->DataType);
  const char *allowed = charset_for(kind);
  if (!allowed && kind != DT_NUMBER_LIST) {
    alert_box("Illegal DataType code passed to AcceptField");
    form_exit_hook(0);
    return KEY_ESC;
  }

  char buffer[MAX_WIDTH + 8] = "";
  KeyCode key;
  bool accepted = false;
  bool retyping = false;   // the buffer holds a refused text, edited again as it is
  do {
    bool valid = true;
    bool empty = false;
    if (kind == DT_NUMBER_LIST) {
      // The list editor parses and stores the list itself.
      key = number_list_edit(row, col, field->value, flags);
    } else {
      FieldFlags edit_flags = flags;
      // A value wider than the field (from the setup file) shows cut; left
      // as shown it is not cut to what the field shows.
      char as_shown[MAX_WIDTH + 8] = "";
      bool cut = false;
      if (retyping) {
        edit_flags |= FF_KEEP;
      } else if (flags & FF_KEEP) {
        if (!format_value(buffer, sizeof buffer, field->value, kind, width)) buffer[0] = 0;
        cut = std::strlen(buffer) > static_cast<size_t>(width);
        snprintf(as_shown, sizeof as_shown, "%.*s", width, buffer);
      }
      retyping = false;
      key = field_edit(buffer, row, col, width, '.', allowed, terminators, edit_flags);
      bool number_too_big = kind == DT_UNSIGNED && past_16_bits(buffer + (buffer[0] == '-'));
      if (cut && std::strcmp(buffer, as_shown) == 0) {
        // Passed through: the value stays exactly as it was.
      } else if (number_too_big && key != KEY_ESC) {
        // Refused, not cut to 16 bits: the field stays with what was typed.
        beep();
        retyping = true;
        continue;
      } else if (number_too_big) {
        // Esc: the callers restore the record; nothing cut is stored meanwhile.
      } else {
        // Parsed whatever ended the entry, Esc included: the callers restore on Esc.
        valid = parse_value(field->value, buffer, kind, width);
        empty = buffer[0] == 0;
      }
    }
    if (field->DataType < 0 && empty) {
      accepted = true;
      continue;
    }
    if (!valid && key != KEY_ESC)
      alert_box("Unacceptable format of data");
    else if (valid && key != KEY_ESC && field->validator)
      valid = field->validator(field->value, width, field) != 0;
    if (key != KEY_ENTER) {
      accepted = true;
      if (!valid) put_field("", row, col, width, pad, flags);
    } else {
      accepted = valid;
    }
  } while (!accepted);

  if (kind == DT_NUMBER_LIST) {
    number_list_show(row, col, field->value, flags);
  } else {
    if (!format_value(buffer, sizeof buffer, field->value, kind, width)) buffer[0] = 0;
    put_field(buffer, row, col, width, pad, flags);
  }
  return key;
}

KeyCode form_run(FormField *fields, int first, int last, int current, const char *terminators,
                 FieldFlags flags) {
  if (!fields || last < first) return 0;
  char keys[40];
  size_t n = terminators ? strnlen(terminators, sizeof keys - 3) : 0;
  if (n) std::memcpy(keys, terminators, n);
  keys[n++] = static_cast<char>(KEY_DOWN);
  keys[n++] = static_cast<char>(KEY_UP);
  keys[n] = 0;

  std::vector<FieldFlags> field_flags(last - first + 1, flags);
  if (current < first) current = first;
  if (current > last) current = last;
  for (;;) {
    FieldFlags &ff = field_flags[current - first];
    KeyCode key = AcceptField(&fields[current], keys, ff);
    if (key != KEY_ESC) ff |= FF_KEEP;
    switch (key) {
    case KEY_DOWN:
      if (current == last) return key;
      current++;
      break;
    case KEY_UP:
      if (current == first) return key;
      current--;
      break;
    case KEY_ENTER:
      if (current == last) return key;
      current++;
      break;
    default:
      return key;
    }
  }
}

void form_show_field(const FormField *field, FieldFlags flags) {
  flags |= field->flags;
  int width = clamp_width(field->width);
  int kind = std::abs(field->DataType);
  if (kind == DT_CHOICE) {
    uint16_t index = 0;
    if (field->value) std::memcpy(&index, field->value, sizeof index);
    choice_show(field->row, field->column, field->choices, index, width, flags);
  } else if (kind == DT_NUMBER_LIST) {
    number_list_show(field->row, field->column, field->value, flags);
  } else {
    char text[MAX_WIDTH + 8];
    if (!format_value(text, sizeof text, field->value, kind, width)) text[0] = 0;
    put_field(text, field->row, field->column, width, (flags & FF_ZERO_PAD) ? '0' : ' ', flags);
  }
}

void form_show_fields(const FormField *fields, int first, int last, FieldFlags flags) {
  for (int i = first; i <= last; i++) form_show_field(&fields[i], flags);
}

void form_draw_labels(const FormLabel *labels) {
  for (const FormLabel *l = labels; l && l->text; l++)
    put_field(l->text, l->row, l->column, 0, ' ', l->flags);
}

void form_show_labels(const FormLabel *labels) {
  if (!labels || !labels->text) return;
  clear_to_end(labels->row, 1);
  form_draw_labels(labels);
}
