// Parameter editor: one full-screen form of 26 fields over working_config.
// The screen, the field table and the key handling serve the offline editor
// here and the online editor, which feeds keys to edit_key from its idle
// callback and acts on the requests.
//   editor_labels      the 26 labels (form_show_labels)
//   draw_values        the 26 values; the current field highlighted
//   edit_key           applies one key to working_config and the editor state
//   editor_help        the help window (hot key F2 while an editor runs)
//   track_changes      online: marks transfer items that differ from a snapshot
//   item_differs, copy_item   one transfer item's field(s) compared or copied
//   offline_editor     menu code 203: edits memory_config through working_config
#pragma once
#include <cstdint>
#include "config/modem_config.h"
#include "forms/forms.h"
#include "ui/keys.h"

constexpr int EDITOR_FIELDS = 26;

// Editor state, program-wide.
extern bool online_mode;
extern bool exit_request;
extern bool connect_request;
extern bool hangup_request;
extern bool setup_request;
// Bit k-1: transfer item k differs from what the modem holds (items 1..19).
extern uint32_t changed_items;
// The last key the diagnostic screens' idle callback saw; the help clears it.
extern uint16_t last_key;

// Online: writes transfer item 1 at once when the mode is switched to
// Transparent; returns 0 on failure (the link's text is then shown). Set by
// the online editor; unset, the switch only changes the record.
extern int (*editor_send_item)(int item);
// Online: the text shown after a failed editor_send_item.
extern const char *(*editor_link_error)();

extern const FormLabel editor_labels[EDITOR_FIELDS + 1];

void draw_values();
void edit_key(KeyCode key);
void editor_help();
int editor_help_hotkey(KeyCode key, int position);
void track_changes(const ModemConfig &snapshot);
// Transfer items 1..19 as fields of the record (item 5, the dial string, is
// compared as text); other item numbers differ in nothing and copy nothing.
bool item_differs(const ModemConfig &a, const ModemConfig &b, int item);
void copy_item(ModemConfig &to, const ModemConfig &from, int item);
void offline_editor();
