// Application shell: the main menu table, the keystroke script and the
// dispatch loop. main() is a thin wrapper so tests can drive the pieces.
#pragma once
#include <string>

extern const char *const main_menu[];
extern int menu_code;

// Turns one command-line argument into keys: "/D" DEL, "/E" Esc, "/R" Enter
// (either case); any other "/" stays as typed. At most 131 characters.
std::string script_keys(const char *arg);
// Queues the script of every argument; the queue holds 100 keys and the
// rest of a longer script is dropped. Returns the number of keys dropped.
int queue_script(int argc, char **argv);
void draw_banner();
// Makes sure of a link before a command that talks to the modem: runs the
// link dialog when none is open; false when there is still none.
bool ensure_link();
// One pass of the main loop for a menu code; returns the next menu_code.
int dispatch(int code);
// The full-screen program; argv holds the program name and the keystroke
// script, setup_path the setup file to read (and to save into).
int app_main(int argc, char **argv, const char *setup_path = "ZL27TSW.STP");
