// Start-up's link: the setup file, its fallbacks to the link dialog, the
// link opened, then F1.
#include "app/link_startup.h"

#include "link/link.h"
#include "link/link_core.h"
#include "link/link_dialogs.h"
#include "link/link_setup.h"
#include "link/setup_file.h"
#include "ui/boxes.h"
#include "ui/keys.h"

namespace {

// Why the record read gives no link to open as it is, or null.
const char *why_ask_for_link() {
  SetupReadResult r = load_setup_record(setup_file_path(), &link_setup);
  if (r != SETUP_READ_OK) return setup_read_text(r);
  // Only a kind that opens a serial port needs its port in the list.
  if (link_setup_port_missing(link_setup)) return "The saved link is not in current choices.";
  return nullptr;
}

}  // namespace

LinkHandle *load_link_setup(const char *file_name) {
  link_handle = nullptr;
  set_setup_file_path(file_name);
  refresh_serial_ports();
  if (const char *why = why_ask_for_link()) {
    error_box(why);
    link_handle = configure_link();
  } else {
    link_handle = link_open();
  }
  // Only now: a dialog run above can still be ended with F1.
  hotkey_add(KEY_F1, print_screen);
  return link_handle;
}
