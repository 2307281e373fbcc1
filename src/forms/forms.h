// Data-entry forms: fixed labels, typed fields bound to variables, one-field
// entry with conversion and checking, and a navigation loop over a form.
//   FormLabel, form_draw_labels, form_show_labels   fixed texts (null text ends a list)
//   FormField, AcceptField, form_run                 editing one field / a whole form
//   form_show_field, form_show_fields                redisplay of values
//   choice_select, choice_show                       DataType 0: index into a null-ended list
//   number_list_edit, number_list_show               DataType 28: count + up to 8 numbers
//   format_value, parse_value                        value <-> text by DataType
//   form_exit_hook                                   how an illegal DataType ends the program
//
// DataType codes: 0 choice (uint16_t index), 1 text (char[width + 1]),
// 2 unsigned 16-bit (uint16_t), 28 number list (NumberList layout). A negative
// code is the same kind with an empty entry allowed.
//
// A choice field with FF_CHOICE_ACTION in its flags has an action as the
// last entry of its list: offered while choosing, never shown as a value (an
// index at or past it shows "INVALID"). Chosen with any key but Esc, the
// field's validator runs it; nonzero means it stored the value it chose (the
// list may have grown), zero puts the earlier value back and the choice
// runs again. Esc on it leaves the earlier value.
//
// A number typed past 16 bits (2 and 28) is refused with the bell and the
// field edited again as typed; a number wider than its field, passed
// through without a change, keeps its value.
#pragma once
#include <cstddef>
#include <cstdint>
#include "ui/keys.h"
#include "ui/window.h"

enum : int16_t {
  DT_CHOICE = 0,
  DT_TEXT = 1,
  DT_UNSIGNED = 2,
  DT_NUMBER_LIST = 28,
};

// Redisplay pads with "0" instead of blanks (the same bit asks field_edit for
// overwrite mode).
constexpr FieldFlags FF_ZERO_PAD = FF_OVERWRITE;

struct FormLabel {
  int16_t row;
  int16_t column;
  const char *text;   // null ends a list
  FieldFlags flags;
};

struct FormField;
// Called after a successful parse; nonzero accepts. May correct the value.
typedef int (*FormValidator)(void *value, int width, FormField *field);

struct FormField {
  int16_t row;
  int16_t column;
  int16_t width;
  int16_t DataType;
  void *value;
  const char *const *choices;   // DataType 0: null-ended list of texts
  FormValidator validator;      // other types: optional check
  FieldFlags flags;             // added to the caller's flags
};

// Memory layout of a DataType 28 value (LinkSetup's route_count + route[8]).
constexpr int NUMBER_LIST_MAX = 8;
struct NumberList {
  uint16_t count;
  uint16_t numbers[NUMBER_LIST_MAX];
};
static_assert(sizeof(NumberList) == 18);

KeyCode AcceptField(FormField *field, const char *terminators, FieldFlags flags);
// Edits fields[current] and moves with Up/Down/Enter; returns Enter on the
// last field, Up on the first, Down on the last, or any other terminator.
KeyCode form_run(FormField *fields, int first, int last, int current, const char *terminators,
                 FieldFlags flags);
void form_show_field(const FormField *field, FieldFlags flags);
void form_show_fields(const FormField *fields, int first, int last, FieldFlags flags);
void form_draw_labels(const FormLabel *labels);
// Clears from the first label's row to the end of the screen, then draws.
void form_show_labels(const FormLabel *labels);

KeyCode choice_select(int row, int column, const char *const *choices, uint16_t *index,
                      const char *terminators, FieldFlags flags);
// "INVALID" when the index is negative or at/after the list's end.
void choice_show(int row, int column, const char *const *choices, int index, int width,
                 FieldFlags flags);

// list points at a NumberList-shaped value (it may be a struct's members).
KeyCode number_list_edit(int row, int column, void *list, FieldFlags flags);
void number_list_show(int row, int column, const void *list, FieldFlags flags);
// "1, 2,,3" -> 1, 2, 3; digit runs separated by commas and blanks, at most 8.
void number_list_parse(const char *text, NumberList *list);

// size: bytes available at out. False when the type has no text form here.
bool format_value(char *out, size_t size, const void *value, int data_type, int width);
bool parse_value(void *value, const char *text, int data_type, int width);

// Ends the program after an illegal DataType alert; tests replace it. When it
// returns, AcceptField returns Esc.
extern void (*form_exit_hook)(int status);
