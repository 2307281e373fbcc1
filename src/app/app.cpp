// Start-up, the main menu and its dispatch, and the quit rule.
#include "app/app.h"

#include <cstring>

#include "app/link_startup.h"
#include "app/trace_file.h"
#include "config/config_file.h"
#include "config/modem_config.h"
#include "config/printout.h"
#include "config/transfer.h"
#include "editor/online.h"
#include "editor/param_editor.h"
#include "forms/file_picker.h"
#include "link/link.h"
#include "link/link_core.h"
#include "link/link_dialogs.h"
#include "link/link_setup.h"
#include "platform/signals.h"
#include "regview/regview.h"
#include "term/terminal.h"
#include "ui/boxes.h"
#include "ui/menu.h"
#include "ui/screen.h"
#include "ui/ui.h"

int menu_code = MENU_ONLINE;

const char *const main_menu[] = {
    "oNline", nullptr,
    "oFfline",
    "Read from disk to memory",
    "Write from memory to disk",
    "Edit configuration in memory",
    "Send memory to modem",
    "Fetch memory from modem",
    "Print configuration in memory",
    "Delete configuration file",
    "Quit offline functions",
    nullptr,
    "Utility",
    "View registers",
    "Signal strength and quality",
    "debugging Terminal emulator",
    "Lead monitor",
    "Connect or Hangup",
    "BBS terminal emulator",
    nullptr,
    "Setup",
    "Sy/Max communications",
    "Terminal emulator",
    nullptr,
    "Quit", nullptr,
    nullptr,
};

std::string script_keys(const char *arg) {
  char buf[132];
  snprintf(buf, sizeof buf, "%s", arg);
  std::string out;
  for (size_t i = 0; buf[i]; i++) {
    char c = buf[i];
    if (c == '/' && buf[i + 1]) {
      switch (buf[i + 1]) {
        case 'D': case 'd': out += '\x7f'; i++; continue;
        case 'E': case 'e': out += '\x1b'; i++; continue;
        case 'R': case 'r': out += '\r'; i++; continue;
        default: break;
      }
    }
    out += c;
  }
  return out;
}

int queue_script(int argc, char **argv) {
  int dropped = 0;
  for (int i = 1; i < argc; i++) {
    std::string keys = script_keys(argv[i]);
    dropped += static_cast<int>(keys.size()) - push_keys(keys.c_str());
  }
  return dropped;
}

void draw_banner() {
  put_field("Z L 2 7 T     I N D U S T R I A L     M O D E M", 1, 1, 79, ' ', FF_CENTER | ATTR_FIELD);
  put_field("Tarnwell R&D", 2, 1, 0, ' ', ATTR_NORMAL);
  put_field("08May2008", 2, 70, 9, ' ', FF_RIGHT);
  put_field("CONFIGURATION AND UTILITY SOFTWARE", 3, 1, 79, ' ', FF_CENTER);
  put_field("Use arrows or initial capital letter to make menu selections", 16, 1, 0, ' ', ATTR_NORMAL);
  put_field("Use Esc to abort functions", 17, 1, 0, ' ', ATTR_NORMAL);
  put_field("Use F1 at any time to print the screen", 18, 1, 0, ' ', ATTR_NORMAL);
  put_field("Use F10 to clear error window (lower right screen corner)", 19, 1, 0, ' ', ATTR_NORMAL);
  put_field("Support: Tarnwell R&D field service, support@tarnwell.example", 20, 1, 0, ' ', ATTR_NORMAL);
  put_field("Keep a written copy of every configuration you send to a modem", 24, 1, 79, ' ', FF_CENTER);
}

bool ensure_link() {
  if (!link_handle) link_handle = configure_link();
  return link_handle != nullptr;
}

// The checks before a command that talks to the modem; false skips it (the
// dialog or the identification has said why).
static bool modem_ready(const char *tag) { return ensure_link() && identify_module(tag); }

int dispatch(int code) {
  switch (code) {
    case MENU_ONLINE:
      if (modem_ready("ZL27T")) online_editor();   // works on working_config only
      break;
    case MENU_READ_CONFIG: read_config_command(); break;
    case MENU_WRITE_CONFIG: write_config_command(); break;
    case MENU_EDIT_CONFIG: offline_editor(); break;   // copies memory_config in and back
    case MENU_SEND_CONFIG:
      if (modem_ready("ZL27T")) {
        working_config = memory_config;
        send_config();
      }
      break;
    case MENU_FETCH_CONFIG:
      if (modem_ready("ZL27T")) {
        // From the configuration in memory, so items a failed fetch never
        // reached keep their values there, not those of a stale copy.
        working_config = memory_config;
        fetch_config();
        // Kept even when the fetch stopped early: what was read is in it.
        memory_config = working_config;
        config_dirty = 1;
      }
      break;
    case MENU_PRINT_CONFIG: print_config_command(); break;
    case MENU_DELETE_CONFIG: delete_file_command(".ZLE", "DELETE CONFIGURATION FILE"); break;
    case MENU_VIEW_REGISTERS:
      if (modem_ready("")) link_handle = register_viewer(VIEWER_STATUS_OFFSET);
      break;
    // The screens follow their checks.
    case MENU_SIGNAL:
      if (modem_ready("ZL27T")) signal_screen();
      break;
    case MENU_LEAD_MONITOR:
      if (modem_ready("ZL27T")) lead_monitor();
      break;
    case MENU_CONNECT_HANGUP:
      if (modem_ready("ZL27T")) connect_hangup();
      break;
    case MENU_DEBUG_TERMINAL: link_handle = terminal_run(0); break;   // debugging view
    case MENU_BBS_TERMINAL: link_handle = terminal_run(1); break;   // BBS view
    case MENU_SETUP_LINK: link_handle = configure_link(); break;   // also when it gives none
    case MENU_SETUP_TERMINAL: configure_terminal(1); break;
    case MENU_QUIT:
      if (!config_dirty) return MENU_END;
      return confirm_box("Edited or Fetched but not Written. Quit anyway?") ? MENU_END : 0;
    default:
      // 208, Esc on the bar and commands not built yet do nothing.
      break;
  }
  return code;
}

// A signal from outside ends the program here, on the main thread: the link's
// reader thread is stopped and joined, its port closed, before the end.
static void close_link_before_exit() {
  if (link_handle) {
    LinkHandle *link = link_handle;
    link_handle = nullptr;
    link_close(link);
  }
  trace_file_close();   // the last second of the trace too
}

// A trace that ended early says so once, between two commands.
static void show_trace_failure() {
  static bool shown = false;
  if (shown || !trace_file_failure()) return;
  shown = true;
  error_box(trace_file_failure());
}

// What the link's port cannot do (a remote port's note), once, on the
// bottom line of the main screen: it is gone with the next command.
static void show_port_note() {
  constexpr int NOTE_ROW = 25;
  char note[160];
  if (link_note_to_show(link_handle, note, sizeof note)) status_printf("Note: %s", NOTE_ROW, 1, 80, ' ', ATTR_NORMAL, note);
}

int app_main(int argc, char **argv, const char *setup_path) {
  plat_set_exit_hook(close_link_before_exit);
  if (!ui_init(CONSOLE_VT)) {
    fprintf(stderr, "zl27t: standard input and output must be a terminal\n");
    return 1;
  }
  draw_banner();
  current_field = 1;
  queue_script(argc, argv);
  link_screens_init();
  // The terminal emulator's port is not open before its first run.
  terminal_port = nullptr;
  // Reads the setup file, opens the link (or asks how), then installs F1.
  link_handle = load_link_setup(setup_path);
  build_default_config();
  memory_config = working_config;
  screen_save();
  menu_code = MENU_ONLINE;
  config_dirty = 0;
  current_field = 1;
  show_port_note();
  while (menu_code != MENU_END) {
    menu_code = menu_bar_run(main_menu, 4, menu_code);
    menu_code = dispatch(menu_code);
    screen_restore();
    show_trace_failure();
    show_port_note();
  }
  ui_shutdown();
  if (link_handle) {
    link_close(link_handle);
    link_handle = nullptr;
  }
  return 0;
}
