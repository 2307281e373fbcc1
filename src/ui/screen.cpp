// Shadow screen, save slot and the con_ level.
#include "ui/screen.h"

#include <cstdlib>
#include <cstring>

const uint8_t attr_table[8] = {0x17, 0x71, 0x1E, 0x7E, 0x1C, 0x7C, 0x1C, 0x6C};

uint8_t shadow_chars[SCR_CELLS];
uint8_t shadow_attrs[SCR_CELLS];
uint8_t saved_chars[SCR_CELLS];
uint8_t saved_attrs[SCR_CELLS];
bool redraw_pending = false;

namespace {
int log_row = 0, log_col = 0;   // logical cursor, 0-based
uint8_t cur_attr = 0x17;
bool cursor_visible = false;
bool exit_handler_registered = false;

void show_cursor_at_exit() {
  if (pcon_is_open()) {
    pcon_cursor_visible(true);
    pcon_flush();
  }
}
}  // namespace

// --- console level ---

void con_goto(int row, int col) {
  log_row = row;
  log_col = col;
  if (row < CON_ROWS && col < CON_COLS) pcon_cursor_to(row, col);
}

void con_write(const char *text, int n) {
  if (n <= 0) return;
  // Model columns past the console's 80 are kept in the shadow only.
  int visible = log_col < CON_COLS ? (n < CON_COLS - log_col ? n : CON_COLS - log_col) : 0;
  if (visible > 0 && log_row < CON_ROWS)
    pcon_write(log_row, log_col, reinterpret_cast<const uint8_t *>(text), visible, cur_attr);
  log_col += n;
  if (log_col >= CON_COLS) {
    log_col = 0;
    log_row++;
  }
}

void con_set_attr(int index) { cur_attr = attr_table[index & 7]; }
void con_reset_attr() { cur_attr = 0x17; }

void con_clear_eol() {
  if (log_col < CON_COLS && log_row < CON_ROWS) pcon_fill(log_row, log_col, CON_COLS - log_col, ' ', 0x17);
}

void con_clear() {
  // A cursor in the model's hidden columns clears from the next row on.
  int row = log_row, col = log_col;
  if (col >= CON_COLS) {
    row++;
    col = 0;
  }
  if (row < CON_ROWS) pcon_fill(row, col, CON_ROWS * CON_COLS, ' ', 0x17);
}

void cursor_show() {
  cursor_visible = true;
  pcon_cursor_visible(true);
}

void cursor_hide() {
  cursor_visible = false;
  pcon_cursor_visible(false);
}

bool cursor_is_visible() { return cursor_visible; }
int con_row() { return log_row; }
int con_col() { return log_col; }

// --- screen level ---

bool screen_open(ConsoleKind kind) {
  if (!pcon_open(kind)) return false;
  log_row = log_col = 0;
  cur_attr = 0x17;
  memset(shadow_chars, ' ', sizeof shadow_chars);
  memset(shadow_attrs, 0, sizeof shadow_attrs);
  memset(saved_chars, ' ', sizeof saved_chars);
  memset(saved_attrs, 0, sizeof saved_attrs);
  redraw_pending = false;
  if (!exit_handler_registered) {
    atexit(show_cursor_at_exit);
    exit_handler_registered = true;
  }
  cursor_hide();
  con_goto(0, 0);
  con_clear();
  return true;
}

void screen_close() { pcon_close(); }

void clamp_pos(int &row, int &col) {
  if (row > SCR_ROWS) row = SCR_ROWS;
  if (col > SCR_COLS) col = SCR_COLS;
  row--;
  col--;
  if (row < 0) row = 0;
  if (col < 0) col = 0;
}

void clear_to_eol(int row, int col) {
  clamp_pos(row, col);
  con_goto(row, col);
  con_clear_eol();
  int cell = row * SCR_COLS + col;
  int n = SCR_COLS - col;
  memset(shadow_chars + cell, ' ', n);
  memset(shadow_attrs + cell, 0, n);
}

void clear_to_end(int row, int col) {
  clamp_pos(row, col);
  con_goto(row, col);
  con_clear();
  int cell = row * SCR_COLS + col;
  memset(shadow_chars + cell, ' ', SCR_CELLS - cell);
  memset(shadow_attrs + cell, 0, SCR_CELLS - cell);
}

void screen_save() {
  memcpy(saved_chars, shadow_chars, sizeof saved_chars);
  memcpy(saved_attrs, shadow_attrs, sizeof saved_attrs);
}

namespace {
// Writes the cells [from, to) of one model row as runs of one index, the way
// redraw and restore both do: a new run wherever the index changes.
void write_runs(int row, int from, int to) {
  int start = from;
  con_goto(row, from);
  con_set_attr(shadow_attrs[row * SCR_COLS + from]);
  for (int c = from + 1; c <= to; c++) {
    if (c == to || shadow_attrs[row * SCR_COLS + c] != shadow_attrs[row * SCR_COLS + start]) {
      con_write(reinterpret_cast<const char *>(shadow_chars + row * SCR_COLS + start), c - start);
      con_reset_attr();
      if (c == to) break;
      con_set_attr(shadow_attrs[row * SCR_COLS + c]);
      start = c;
    }
  }
}
}  // namespace

void screen_redraw() {
  con_goto(0, 0);
  con_clear();
  cursor_hide();
  for (int row = 0; row < SCR_ROWS; row++) {
    int c = 0;
    while (c < SCR_COLS) {
      int cell = row * SCR_COLS + c;
      if (shadow_chars[cell] == ' ' && shadow_attrs[cell] == 0) {
        c++;
        continue;
      }
      int end = c;
      while (end < SCR_COLS && !(shadow_chars[row * SCR_COLS + end] == ' ' && shadow_attrs[row * SCR_COLS + end] == 0))
        end++;
      write_runs(row, c, end);
      c = end;
    }
  }
  redraw_pending = false;
}

void screen_restore() {
  if (pcon_take_resized()) redraw_pending = true;
  if (redraw_pending) {
    memcpy(shadow_chars, saved_chars, sizeof shadow_chars);
    memcpy(shadow_attrs, saved_attrs, sizeof shadow_attrs);
    screen_redraw();
    return;
  }
  // A run ends at the first cell that already matches, and at the end of the
  // model row (the console has no cells to wrap into past column 80).
  for (int row = 0; row < SCR_ROWS; row++) {
    int c = 0;
    while (c < SCR_COLS) {
      int cell = row * SCR_COLS + c;
      if (shadow_chars[cell] == saved_chars[cell] && shadow_attrs[cell] == saved_attrs[cell]) {
        c++;
        continue;
      }
      int end = c;
      while (end < SCR_COLS) {
        int e = row * SCR_COLS + end;
        if (shadow_chars[e] == saved_chars[e] && shadow_attrs[e] == saved_attrs[e]) break;
        shadow_chars[e] = saved_chars[e];
        shadow_attrs[e] = saved_attrs[e];
        end++;
      }
      write_runs(row, c, end);
      c = end;
    }
  }
}

void screen_invalidate() { redraw_pending = true; }

void screen_honour_redraw() {
  if (pcon_take_resized()) redraw_pending = true;
  if (redraw_pending) screen_redraw();
}
