// The online tools over link_handle: the online parameter editor and the three
// diagnostic screens. None has a keyboard loop of its own: keys are taken by
// the screen's idle callback while the link waits for a reply, and also after
// an exchange that gave the callback no turn (a reply faster than one idle
// step, or a failure without any wait), so no key is ever stuck behind the
// link and a dead link still answers Esc.
//   online_editor      menu oNline: the modem's configuration edited live, its
//                      status line, configuration errors and last password
//   editor_idle        the editor's idle callback: one key to edit_key, shown
//                      at once
//   signal_screen      menu 302: received signal level and quality
//   lead_monitor       menu 304: carrier, dial, CTS, PTT, ring, ring count,
//                      last password, off hook
//   connect_hangup     menu 305: C (F7) connects, H (F8) hangs up
//   key_catcher_idle   the diagnostic screens' idle callback: a key to last_key
//   pace_screen        the wait before each pass: none starts sooner than
//                      LIVE_PASS_MIN_MS after the last began; a key ends it
//   ModemAccess        the register operations these screens use: the link's
//                      (link_access) unless a test puts its own in
//                      modem_access
// Every screen installs its idle callback at start and wait_spinner at the end.
#pragma once
#include <cstdint>

#include "link/link.h"
#include "ui/pace.h"

// The modem's registers the online screens read and write.
enum ModemRegister : int {
  REG_CONTROL = 1,          // bit 0 rising dials, falling hangs up
  REG_STATUS = 2,
  REG_CONFIG_ERRORS = 6,    // the modem's verdict on its configuration
  REG_LAST_PASSWORD = 8,
  REG_SIGNAL_LEVEL = 2060,  // tenths of a dBm, signed
  REG_SIGNAL_QUALITY = 2075,
  REG_RING_COUNT = 8001,
  REG_CTS = 8187,
};

struct ModemAccess {
  bool (*fetch_item)(int item);
  bool (*send_item)(int item);
  int (*read)(int first, int count, uint16_t *values);
  int (*write)(int first, int count, const uint16_t *values);
  const char *(*error_text)();
  void (*set_idle)(IdleCallback callback);
};
extern const ModemAccess link_access;
extern ModemAccess modem_access;

// The activity indicator at row 1, column 80 that both idle callbacks turn.
extern uint16_t spinner_index;

int editor_idle(int user);
int key_catcher_idle(int user);

void online_editor();
void signal_screen();
void lead_monitor();
void connect_hangup();

// Shared by the screens: the operations of modem_access, each followed by a
// turn of the installed idle callback when the exchange gave it none (after
// a failure without waiting, one idle step later, so nothing spins).
void use_idle(IdleCallback callback);
bool modem_read(int first, int count, uint16_t *values);
bool modem_write(int first, int count, const uint16_t *values);
// landed, when given, runs as soon as the item is in working_config, before
// the idle callback's turn, so that no key ever sees the value in between.
bool modem_fetch(int item, void (*landed)(int item) = nullptr);
bool modem_send(int item);
void spinner_step();
// Waits until the screen's next pass may start (pace_pass). A key ends the
// wait at once and goes to the installed idle callback; the pass then starts
// unless wake is given and says there is nothing for it to do yet (a
// key that only moved the cursor).
void pace_screen(PassPacer &pacer, bool (*wake)() = nullptr);
