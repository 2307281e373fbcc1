// The dialogs that edit link_setup in place. Each keeps a copy of the whole
// record and puts it back on Esc ("Edit aborted by ESC. Modifications lost.");
// accepted edits are offered to save_link_setup.
//   configure_link             "CONFIGURE THIS COMPUTER": link kind (cycled
//                              with Space/+/- and the arrows) and its fields;
//                              closes the link when the connection changed,
//                              opens it, returns link_handle
//   configure_terminal         "CONFIGURE TERMINAL EMULATOR": the terminal's port
//   configure_register_viewer  "CONFIGURE REGISTER VIEWER"
//   check_screen_size, check_start_register   the register viewer's field checks
//   check_timeout              the time-out field's: at most LINK_TIMEOUT_MAX
#pragma once
#include "forms/forms.h"
#include "link/link_setup.h"

LinkHandle *configure_link();
void configure_terminal(int save_allowed);
void configure_register_viewer(int save_allowed);

int check_screen_size(void *value, int width, FormField *field);
int check_start_register(void *value, int width, FormField *field);
int check_timeout(void *value, int width, FormField *field);

// The next / previous kind as the type selection cycles: 1..6, never 0.
uint16_t next_link_kind(uint16_t kind);
uint16_t previous_link_kind(uint16_t kind);
// Route rules after a change of kind: Modbus kinds get drop 255 when the
// route is empty; Sy/Max kinds drop a route that is just that 255.
void apply_route_rule(LinkSetup *setup);
// Whether kind, port, host, TCP port or route differ: the link must be
// opened afresh.
bool connection_changed(const LinkSetup &before, const LinkSetup &after);
