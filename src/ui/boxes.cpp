// Error, alert and confirmation boxes, status text and the screen print.
#include "ui/boxes.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "platform/print.h"
#include "ui/screen.h"

namespace {
constexpr int MESSAGE_SIZE = 136;

// The box both error_box and alert_box show; returns the key that closed it.
// The longest message the window holds with its frame inside the screen.
constexpr int MAX_SHOWN = 74;
constexpr int UNTRAPPED_ROW = 25, UNTRAPPED_COLUMN = 40, UNTRAPPED_WIDTH = 40;
constexpr FieldFlags ERROR_TEXT = 4;

bool (*errors_trapped)() = nullptr;
const char *(*untrapped_text)() = nullptr;

KeyCode message_window(const char *message, bool lf_closes) {
  int L = static_cast<int>(strnlen(message, MAX_SHOWN));
  WindowHandle w = win_open(22, 75 - L, 24, 79, "ERROR");
  put_field(message, 23, 77 - L, L, ' ', ATTR_ERROR);
  KeyCode key;
  do {
    beep();
    key = get_key();
  } while (key != KEY_F10 && key != KEY_ESC && !(lf_closes && key == KEY_LF));
  win_close(&w);
  return key;
}
}  // namespace

void error_box_set_trap(bool (*trapped)(), const char *(*text)()) {
  errors_trapped = trapped;
  untrapped_text = text;
}

bool error_box(const char *message) {
  if (errors_trapped && !errors_trapped()) {
    const char *text = untrapped_text ? untrapped_text() : message;
    put_field(text ? text : "", UNTRAPPED_ROW, UNTRAPPED_COLUMN, UNTRAPPED_WIDTH, ' ', ERROR_TEXT);
    return true;
  }
  return message_window(message, false) == KEY_F10;
}

bool error_printf(const char *format, ...) {
  char text[MESSAGE_SIZE];
  va_list ap;
  va_start(ap, format);
  vsnprintf(text, sizeof text, format, ap);
  va_end(ap);
  return error_box(text);
}

bool alert_box(const char *message) { return message_window(message, true) == KEY_F10; }

bool alert_printf(const char *format, ...) {
  char text[MESSAGE_SIZE];
  va_list ap;
  va_start(ap, format);
  vsnprintf(text, sizeof text, format, ap);
  va_end(ap);
  return alert_box(text);
}

bool confirm_box(const char *question) {
  int L = static_cast<int>(strnlen(question, MESSAGE_SIZE - 1));
  WindowHandle w = win_open(22, 1, 24, L + 5, "CONFIRM");
  put_field(question, 23, 3, L + 2, ' ', FF_CENTER);
  bool yes;
  for (;;) {
    KeyCode key = get_key();
    if (key == KEY_ENTER || key == 'Y' || key == 'y' || key == 'S' || key == 's') {
      yes = true;
      break;
    }
    if (key == KEY_ESC || key == 'N' || key == 'n') {
      yes = false;
      break;
    }
    beep();
  }
  win_close(&w);
  return yes;
}

void status_printf(const char *format, int row, int col, int width, int fill, FieldFlags flags, ...) {
  char text[MESSAGE_SIZE];
  va_list ap;
  va_start(ap, flags);
  vsnprintf(text, sizeof text, format, ap);
  va_end(ap);
  put_field(text, row, col, width, fill, flags);
}

void print_screen_to(FILE *f) {
  for (int row = 0; row < SCR_ROWS; row++) {
    char line[80 + 1 + 80 + 1];
    for (int c = 0; c < 80; c++) {
      uint8_t ch = shadow_chars[row * SCR_COLS + c];
      char out;
      switch (ch) {
        case BOX_V: out = '|'; break;
        case BOX_TR: case BOX_BR: case BOX_BL: case BOX_TL: out = '+'; break;
        case BOX_H: out = '-'; break;
        default: out = (ch < 32 || ch >= 128) ? '.' : static_cast<char>(ch); break;
      }
      line[c] = out;
      uint8_t index = shadow_attrs[row * SCR_COLS + c];
      line[81 + c] = (index != 0 && index != 2) ? '_' : ' ';
    }
    line[80] = '\r';
    line[161] = '\n';
    fwrite(line, 1, sizeof line, f);
  }
  fputc('\f', f);
}

int print_screen(KeyCode, int) {
  WindowHandle w = win_open(10, 20, 13, 58, "PRINT SCREEN");
  put_field("Output file:", 11, 22, 0, ' ', ATTR_NORMAL);
  char name[40] = "LPT1:";
  for (;;) {
    KeyCode key = field_edit(name, 12, 22, 34, '_', "A-Z0-9$.\\_~:", "\r\x1b",
                             FF_UPPER | FF_REPLACE | FF_KEEP | ATTR_FIELD);
    if (key == KEY_ESC) {
      win_close(&w);
      return 0;
    }
    FILE *f = plat_print_open(name);
    if (!f) {
      error_printf("Can't open file \"%s\" for write.", name);
      continue;   // the name stays in the field to be corrected
    }
    win_close(&w);
    print_screen_to(f);
    // A full disk or a spooler that quit must not pass for a printout.
    bool failed = fflush(f) != 0 || ferror(f);
    if (!plat_print_close(f)) failed = true;
    if (failed) error_printf("Can't write to \"%s\".", name);
    return 1;
  }
}
