// Modal boxes at the bottom of the screen and the F1 screen print.
//   error_box / error_printf    link and command errors; F10 goes on, Esc gives up
//   error_box_set_trap          how error_box learns, at each call, whether
//                               errors are trapped and the text it leaves on
//                               the bottom line when they are not (installed
//                               at start-up by the owner of that setting;
//                               until then every error shows its box)
//   alert_box / alert_printf    validation messages; LF also closes
//   confirm_box                 yes/no question
//   status_printf               formatted text through put_field
//   print_screen                the F1 hot-key callback
#pragma once
#include <cstdio>
#include "ui/keys.h"

bool error_box(const char *message);
void error_box_set_trap(bool (*trapped)(), const char *(*untrapped_text)());
bool error_printf(const char *format, ...) __attribute__((format(printf, 1, 2)));
bool alert_box(const char *message);
bool alert_printf(const char *format, ...) __attribute__((format(printf, 1, 2)));
bool confirm_box(const char *question);
void status_printf(const char *format, int row, int col, int width, int fill, FieldFlags flags, ...);
int print_screen(KeyCode key, int position);
// Writes the shadow screen as the printout does (25 rows, CR, underline line,
// LF, then a form feed).
void print_screen_to(FILE *f);
