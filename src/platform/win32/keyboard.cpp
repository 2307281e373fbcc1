// The Win32 console keyboard: key events from ReadConsoleInput become the
// key stream the decoder gives on a terminal (platform/keyboard.h), so the
// key layer above sees the same bytes on both systems. The memory backend
// is the same as there: fed terminal bytes through the decoder.
#include "platform/win32/windows_api.h"

#include <chrono>
#include <cstdlib>

#include "platform/console.h"
#include "platform/keyboard.h"
#include "platform/signals.h"
#include "platform/terminal.h"
#include "platform/win32/handles.h"
#include "platform/win32/win32_console.h"

namespace {

KeyDecoder kbd;
uint64_t fed_clock = 0;   // the memory backend's own time

// A held key repeats; more than this at once is a key stuck, not typing.
constexpr int MAX_REPEAT = 16;
// How often a wait on keys and a port looks at the port.
constexpr DWORD PORT_LOOK_MS = 5;

uint64_t monotonic_ms() {
  using namespace std::chrono;
  return static_cast<uint64_t>(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

bool console_keyboard() { return pcon_is_open() && pcon_kind() == CONSOLE_VT && win_console_input(); }

struct ScanKey {
  WORD vk;
  uint8_t scan;
};
constexpr ScanKey SCAN_KEYS[] = {
    {VK_F1, SC_F1},     {VK_F2, SC_F2},     {VK_F3, SC_F3},    {VK_F4, SC_F4},       {VK_F5, SC_F5},
    {VK_F6, SC_F6},     {VK_F7, SC_F7},     {VK_F8, SC_F8},    {VK_F9, SC_F9},       {VK_F10, SC_F10},
    {VK_HOME, SC_HOME}, {VK_UP, SC_UP},     {VK_PRIOR, SC_PGUP}, {VK_LEFT, SC_LEFT}, {VK_RIGHT, SC_RIGHT},
    {VK_END, SC_END},   {VK_DOWN, SC_DOWN}, {VK_NEXT, SC_PGDN}, {VK_INSERT, SC_INS}, {VK_DELETE, SC_DEL},
};

constexpr DWORD CTRL = LEFT_CTRL_PRESSED | RIGHT_CTRL_PRESSED;
constexpr DWORD ALT = LEFT_ALT_PRESSED | RIGHT_ALT_PRESSED;

// One key press as the decoder would give it from a terminal: the scan code
// after the prefix for function, cursor and editing keys (Shift with a
// cursor or editing key is the key itself; Ctrl-Home and Ctrl-End have
// codes of their own; other modified ones are dropped), ASCII as itself
// (Alt-x as Esc, x), anything else dropped.
void take_key(const KEY_EVENT_RECORD &k) {
  if (!k.bKeyDown) return;
  const DWORD mods = k.dwControlKeyState;
  int repeat = k.wRepeatCount < 1 ? 1 : k.wRepeatCount > MAX_REPEAT ? MAX_REPEAT : k.wRepeatCount;
  for (const ScanKey &s : SCAN_KEYS) {
    if (s.vk != k.wVirtualKeyCode) continue;
    uint8_t scan = s.scan;
    bool function_key = scan >= SC_F1 && scan <= SC_F10;
    if ((mods & CTRL) && !(mods & ALT) && scan == SC_HOME) {
      scan = SC_CTRL_HOME;
    } else if ((mods & CTRL) && !(mods & ALT) && scan == SC_END) {
      scan = SC_CTRL_END;
    } else if ((mods & (CTRL | ALT)) || (function_key && (mods & SHIFT_PRESSED))) {
      return;
    }
    for (int i = 0; i < repeat; i++) {
      kbd.out.push_back(KBD_EXTENDED_PREFIX);
      kbd.out.push_back(scan);
    }
    return;
  }
  uint8_t ch = static_cast<uint8_t>(k.uChar.AsciiChar);
  if (ch == 0 && k.wVirtualKeyCode == VK_ESCAPE) ch = 27;   // wine gives Esc without its character
  if (ch == 0 || ch >= 0x80) return;   // shift keys alone, keys of no ASCII character
  for (int i = 0; i < repeat; i++) {
    if ((mods & ALT) && !(mods & CTRL)) kbd.out.push_back(27);
    kbd.out.push_back(ch);
  }
}

// Takes what the console has waiting into the key stream.
void take_events() {
  HANDLE in = win_console_input();
  DWORD count = 0;
  while (in && GetNumberOfConsoleInputEvents(in, &count) && count > 0) {
    INPUT_RECORD events[32];
    DWORD got = 0;
    if (!ReadConsoleInputA(in, events, 32, &got) || got == 0) break;
    for (DWORD i = 0; i < got; i++) {
      if (events[i].EventType == KEY_EVENT)
        take_key(events[i].Event.KeyEvent);
      else if (events[i].EventType == WINDOW_BUFFER_SIZE_EVENT)
        win_console_resized();
    }
  }
}

// Waits up to timeout_ms (-1: no limit) for console input or the wake event
// and takes the keys in. A control event that wants the program ended ends
// it here, on the main thread.
void read_console(DWORD timeout_ms) {
  HANDLE handles[2] = {win_console_input(), win_console_wake()};
  DWORD n = handles[1] ? 2 : 1;
  DWORD r = WaitForMultipleObjects(n, handles, FALSE, timeout_ms);
  plat_finish_exit();
  if (r == WAIT_OBJECT_0) take_events();
  if (r == WAIT_FAILED) {
    // No console to read any more: end as a hang-up would.
    pcon_close();
    exit(1);
  }
}

DWORD wait_of(int ms) { return ms < 0 ? INFINITE : static_cast<DWORD>(ms); }

}  // namespace

void pkbd_reset() {
  kbd = KeyDecoder{};
  fed_clock = 0;
}

bool pkbd_hit() {
  if (console_keyboard() && kbd.out.empty()) {
    pcon_flush();
    read_console(0);
  }
  return !kbd.out.empty();
}

bool pkbd_wait(int timeout_ms) {
  if (console_keyboard() && kbd.out.empty()) {
    pcon_flush();
    uint64_t deadline = monotonic_ms() + static_cast<uint64_t>(timeout_ms < 0 ? 0 : timeout_ms);
    for (;;) {
      uint64_t now = monotonic_ms();
      read_console(now >= deadline ? 0 : static_cast<DWORD>(deadline - now));
      if (!kbd.out.empty() || monotonic_ms() >= deadline) break;
    }
  }
  return !kbd.out.empty();
}

int pkbd_wait_fd(int fd, int timeout_ms) {
  auto port_ready = [fd](int wait_ms) { return fd >= 0 && win_token_wait_readable(fd, wait_ms); };
  if (!console_keyboard() || !kbd.out.empty()) {
    bool key = !kbd.out.empty();
    return (key ? KBD_KEY : 0) | (port_ready(key ? 0 : timeout_ms) ? KBD_FD : 0);
  }
  pcon_flush();
  uint64_t deadline = monotonic_ms() + static_cast<uint64_t>(timeout_ms < 0 ? 0 : timeout_ms);
  for (;;) {
    // The port's event and the console's input in one wait where the port
    // has one; else the console in short waits with the port looked at
    // between them.
    HANDLE port_event = fd >= 0 ? win_token_arm_readable(fd) : nullptr;
    uint64_t now = monotonic_ms();
    int left = timeout_ms < 0 ? -1 : now >= deadline ? 0 : static_cast<int>(deadline - now);
    bool port = false;
    if (port_event) {
      HANDLE handles[3] = {win_console_input(), port_event, win_console_wake()};
      DWORD n = handles[2] ? 3 : 2;
      DWORD r = WaitForMultipleObjects(n, handles, FALSE, wait_of(left));
      plat_finish_exit();
      if (r == WAIT_OBJECT_0) take_events();
      if (r == WAIT_FAILED) {
        pcon_close();
        exit(1);
      }
      port = win_token_wait_readable(fd, 0);
    } else {
      DWORD slice = fd >= 0 && (left < 0 || left > static_cast<int>(PORT_LOOK_MS)) ? PORT_LOOK_MS : wait_of(left);
      read_console(slice);
      port = fd >= 0 && win_token_wait_readable(fd, 0);
    }
    int ready = (kbd.out.empty() ? 0 : KBD_KEY) | (port ? KBD_FD : 0);
    if (ready || (timeout_ms >= 0 && monotonic_ms() >= deadline)) return ready;
    pcon_flush();
  }
}

int pkbd_getch() {
  if (console_keyboard()) {
    pcon_flush();
    while (kbd.out.empty()) {
      read_console(INFINITE);
      pcon_flush();   // repaints at once after a resize
    }
  }
  if (kbd.out.empty()) return 27;
  uint8_t b = kbd.out.front();
  kbd.out.pop_front();
  return b;
}

void pkbd_feed(const std::string &bytes) {
  for (char c : bytes) kd_feed(kbd, static_cast<uint8_t>(c), fed_clock);
  // The fed bytes are all there is: a trailing Esc is a key.
  fed_clock += ESC_SETTLE_MS;
  kd_tick(kbd, fed_clock);
}
