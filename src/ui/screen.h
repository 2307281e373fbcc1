// Screen layer: the shadow screen (25 x 132 cells of character and attribute
// index), its one save slot, the full-redraw mark, and the con_ level that
// writes runs of cells to the console seam (platform/console.h).
//
// Public coordinates are 1-based and clamped by clamp_pos; the con_ level is
// 0-based and does not touch the shadow. Only cells that differ from the
// shadow reach the console.
#pragma once
#include <cstdint>
#include "platform/console.h"

constexpr int SCR_ROWS = 25;
constexpr int SCR_COLS = 132;        // model width; columns 81..132 are never shown
constexpr int SCR_CELLS = SCR_ROWS * SCR_COLS;

// Attribute index -> console attribute.
extern const uint8_t attr_table[8];

// The shadow screen and the save slot (cell = row * 132 + col, 0-based).
extern uint8_t shadow_chars[SCR_CELLS];
extern uint8_t shadow_attrs[SCR_CELLS];
extern uint8_t saved_chars[SCR_CELLS];
extern uint8_t saved_attrs[SCR_CELLS];
extern bool redraw_pending;

// --- console level (0-based, no shadow update) ---
void con_goto(int row, int col);
void con_write(const char *text, int n);
void con_set_attr(int index);
void con_reset_attr();
void con_clear_eol();
void con_clear();
void cursor_show();
void cursor_hide();
bool cursor_is_visible();
// The logical cursor every con_write starts from.
int con_row();
int con_col();

// --- screen level ---
// Takes the console over (kind: the vt terminal, or the memory grid of the
// tests), empties shadow and save slot, clears the console. screen_close
// gives the console back.
bool screen_open(ConsoleKind kind);
void screen_close();
void clamp_pos(int &row, int &col);
void clear_to_eol(int row, int col);
void clear_to_end(int row, int col);
void screen_save();
void screen_restore();
void screen_redraw();
void screen_invalidate();
// Redraws first when a full redraw is pending (or the terminal was resized).
void screen_honour_redraw();
