// Start and end of the user interface: each module resets itself.
#include "ui/ui.h"

#include "ui/keys.h"
#include "ui/screen.h"
#include "ui/window.h"

bool ui_init(ConsoleKind kind) {
  if (!screen_open(kind)) return false;
  win_stack_reset();
  keys_reset();
  return true;
}

void ui_shutdown() {
  screen_close();
  win_stack_reset();
  hotkey_reset();
}
