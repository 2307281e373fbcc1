// The link's screens: the connecting window, the module name on row 2, the
// error boxes of open and identification, and the idle callback every link
// gets at open (spinner at row 1, column 80; Esc aborts the wait). The work
// itself is link_core.h's.
#include <cstdio>

#include "link/link.h"
#include "link/link_core.h"
#include "link/link_setup.h"
#include "ui/boxes.h"
#include "ui/keys.h"
#include "ui/window.h"

int wait_key_seen = 0;
int wait_spinner_phase = 0;

namespace {

constexpr FieldFlags NAME_FIELD = FF_CENTER | ATTR_FIELD;
constexpr int NAME_ROW = 2, NAME_COLUMN = 15, NAME_WIDTH = 50;
constexpr int CONNECTING_TOP = 4, CONNECTING_LEFT = 1, CONNECTING_BOTTOM = 6, CONNECTING_RIGHT = 40;
constexpr int CONNECTING_LINE_ROW = 5, CONNECTING_LINE_COLUMN = 3;
// Cut inside the window: a long port path must not spill past its frame,
// where closing the window would leave it on the screen.
constexpr int CONNECTING_LINE_WIDTH = 37;
constexpr int SPINNER_ROW = 1, SPINNER_COLUMN = 80;

// Wait keys the register viewer reacts to (wait_key_seen 2).
bool moving_key(KeyCode key) {
  switch (key) {
    case KEY_RIGHT:
    case KEY_LEFT:
    case KEY_UP:
    case KEY_DOWN:
    case KEY_PGUP:
    case KEY_PGDN:
      return true;
    default:
      return false;
  }
}

// Errors not trapped (the setup's Trap Errors is NO) leave the link's text
// on the bottom line instead of a box.
bool errors_trapped() { return link_setup.trap_errors == 0; }
const char *untrapped_text() { return link_error_text(link_handle); }

}  // namespace

void link_screens_init() { error_box_set_trap(errors_trapped, untrapped_text); }

namespace {

// told: the user has just asked for this link (a dialog accepted), so a
// failure is shown in a box even when errors are not trapped: the bottom
// line would be gone with the screen the dialog returns to.
LinkHandle *open_link(bool told) {
  WindowHandle win = win_open(CONNECTING_TOP, CONNECTING_LEFT, CONNECTING_BOTTOM, CONNECTING_RIGHT,
                              "ATTEMPTING TO CONNECT");
  if (serial_port_count() == 0) refresh_serial_ports();
  bool opening = link_handle == nullptr;
  if (opening) {
    char line[LINK_REASON_SIZE + 64];
    if (link_connecting_line(link_setup, line, sizeof line))
      put_field(line, CONNECTING_LINE_ROW, CONNECTING_LINE_COLUMN, CONNECTING_LINE_WIDTH, ' ', ATTR_NORMAL);
  }
  LinkResult r = link_connect(&link_setup, &link_handle, wait_spinner);
  if (opening && link_handle) link_set_idle_callback(link_handle, wait_spinner, 0);
  if (!r.ok) {
    if (told) alert_box(r.reason);
    else error_box(r.reason);
  }
  win_close(&win);
  return link_handle;
}

}  // namespace

LinkHandle *link_open() { return open_link(false); }
LinkHandle *link_open_asked() { return open_link(true); }

int identify_module(const char *expected_tag) {
  ModuleIdentity id = link_identify(link_handle, expected_tag);
  switch (id.outcome) {
    case IDENTIFY_READ_FAILED:
      if (!expected_tag || !expected_tag[0]) return 1;
      return error_box(id.reason) ? 1 : 0;
    case IDENTIFY_NO_BLOCK:
      put_field("", NAME_ROW, NAME_COLUMN, NAME_WIDTH, ' ', ATTR_FIELD);
      return 1;
    case IDENTIFY_OTHER_MODULE:
      return error_box(id.reason) ? 1 : 0;
    case IDENTIFY_MATCH:
      break;
  }
  put_field(id.name, NAME_ROW, NAME_COLUMN, NAME_WIDTH, ' ', NAME_FIELD);
  return 1;
}

int wait_spinner(int) {
  // Every key typed since the last step is taken from the keyboard and put
  // behind the keys already queued, so the screen waiting for the reply gets
  // them all in order; an Esc among them ends the wait now, whatever came
  // before it. Reading the keyboard also sends the spinner to the terminal.
  while (KeyCode key = kbd_read(0)) {
    const char back[2] = {static_cast<char>(key), 0};
    push_keys(back);
    if (key == KEY_ESC) {
      wait_key_seen = 2;
      return 0;
    }
    wait_key_seen = moving_key(key) ? 2 : 1;
  }
  static const char phases[] = "|\\-/";
  wait_spinner_phase = (wait_spinner_phase + 1) % 4;
  const char ch[2] = {phases[wait_spinner_phase], 0};
  put_field(ch, SPINNER_ROW, SPINNER_COLUMN, 1, ' ', ATTR_NORMAL);
  return 1;
}
