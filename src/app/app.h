// Application shell: the main menu table, the keystroke script and the
// dispatch loop. main() is a thin wrapper so tests can drive the pieces.
#pragma once
#include <string>

extern const char *const main_menu[];
extern int menu_code;

// The main menu's codes as menu_bar_run gives them (menu * 100 + item), and
// the code that ends the main loop.
enum : int {
  MENU_ONLINE = 100,
  MENU_READ_CONFIG = 201,
  MENU_WRITE_CONFIG = 202,
  MENU_EDIT_CONFIG = 203,
  MENU_SEND_CONFIG = 204,
  MENU_FETCH_CONFIG = 205,
  MENU_PRINT_CONFIG = 206,
  MENU_DELETE_CONFIG = 207,
  MENU_VIEW_REGISTERS = 301,
  MENU_SIGNAL = 302,
  MENU_DEBUG_TERMINAL = 303,
  MENU_LEAD_MONITOR = 304,
  MENU_CONNECT_HANGUP = 305,
  MENU_BBS_TERMINAL = 306,
  MENU_SETUP_LINK = 401,
  MENU_SETUP_TERMINAL = 402,
  MENU_QUIT = 500,
  MENU_END = 999,
};

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
