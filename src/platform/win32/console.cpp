// The Win32 console: the screen drawn with the console's cell calls, in
// code page 437, on an 80 x 25 buffer and window; the user's console (size,
// window, colours, cursor, contents, modes, code page) given back on every
// way out: normal exit, exit(), and the console's control events (Ctrl-Break,
// closing the window, logoff, shutdown), which arrive on a thread of their
// own.
#include "platform/win32/windows_api.h"

#include <algorithm>
#include <cstdlib>
#include <mutex>
#include <vector>

#include "platform/console.h"
#include "platform/signals.h"
#include "platform/terminal.h"
#include "platform/win32/win32_console.h"

volatile LONG win_interrupt_token = -1;

namespace {

// What the user had.
struct UserConsole {
  CONSOLE_SCREEN_BUFFER_INFO info{};
  CONSOLE_CURSOR_INFO cursor{};
  DWORD in_mode = 0, out_mode = 0;
  UINT out_cp = 0, in_cp = 0;
  std::vector<CHAR_INFO> cells;   // empty when they could not be read or kept
};

UserConsole user;
HANDLE out_handle = nullptr, in_handle = nullptr;
HANDLE wake_event = nullptr;
// Give-back may come from the control handler's thread while the main
// thread draws: one lock, and the flag read under it.
std::mutex console_lock;
bool active = false;
bool atexit_done = false;
bool handler_installed = false;
volatile LONG resized = 0;

// What the 80 x 25 screen should show, and the rows changed since the last
// flush: one WriteConsoleOutputA of the changed rows per flush.
CHAR_INFO screen[CON_ROWS * CON_COLS];
int dirty_top = CON_ROWS, dirty_bottom = -1;
int want_row = 0, want_col = 0;
bool want_visible = false;
int shown_row = -1, shown_col = -1, shown_visible = -1;
bool bell_pending = false;

// The most the console hands over in one ReadConsoleOutputA: its buffer for
// the call is about 64 KB.
constexpr int READ_CHUNK_CELLS = 8000;

void mark(int row) {
  dirty_top = std::min(dirty_top, row);
  dirty_bottom = std::max(dirty_bottom, row);
}

void read_user_cells() {
  const COORD size = user.info.dwSize;
  user.cells.clear();
  if (size.X <= 0 || size.Y <= 0) return;
  try {
    user.cells.resize(static_cast<size_t>(size.X) * static_cast<size_t>(size.Y));
  } catch (const std::bad_alloc &) {
    user.cells.clear();   // the contents are simply not put back
    return;
  }
  int rows_per_read = std::max(1, READ_CHUNK_CELLS / size.X);
  for (int top = 0; top < size.Y; top += rows_per_read) {
    SHORT bottom = static_cast<SHORT>(std::min<int>(top + rows_per_read, size.Y) - 1);
    SMALL_RECT region{0, static_cast<SHORT>(top), static_cast<SHORT>(size.X - 1), bottom};
    COORD chunk{size.X, static_cast<SHORT>(bottom - top + 1)};
    if (!ReadConsoleOutputA(out_handle, user.cells.data() + static_cast<size_t>(top) * size.X, chunk, COORD{0, 0},
                            &region)) {
      user.cells.clear();
      return;
    }
  }
}

void write_user_cells() {
  const COORD size = user.info.dwSize;
  if (user.cells.empty()) return;
  int rows_per_write = std::max(1, READ_CHUNK_CELLS / size.X);
  for (int top = 0; top < size.Y; top += rows_per_write) {
    SHORT bottom = static_cast<SHORT>(std::min<int>(top + rows_per_write, size.Y) - 1);
    SMALL_RECT region{0, static_cast<SHORT>(top), static_cast<SHORT>(size.X - 1), bottom};
    COORD chunk{size.X, static_cast<SHORT>(bottom - top + 1)};
    WriteConsoleOutputA(out_handle, user.cells.data() + static_cast<size_t>(top) * size.X, chunk, COORD{0, 0},
                        &region);
  }
}

// 80 x 25: the window is made to fit the buffer it shrinks, then the
// buffer, then the window again.
void take_geometry() {
  SMALL_RECT fit{0, 0, static_cast<SHORT>(std::min<int>(CON_COLS, user.info.dwSize.X) - 1),
                 static_cast<SHORT>(std::min<int>(CON_ROWS, user.info.dwSize.Y) - 1)};
  SetConsoleWindowInfo(out_handle, TRUE, &fit);
  SetConsoleScreenBufferSize(out_handle, COORD{CON_COLS, CON_ROWS});
  SMALL_RECT window{0, 0, CON_COLS - 1, CON_ROWS - 1};
  SetConsoleWindowInfo(out_handle, TRUE, &window);
}

void give_back_locked() {
  if (!active) return;
  active = false;
  // The buffer first when it grows back, the window first when it shrinks:
  // either order that fails is put right by doing both twice.
  for (int i = 0; i < 2; i++) {
    SetConsoleScreenBufferSize(out_handle, user.info.dwSize);
    SetConsoleWindowInfo(out_handle, TRUE, &user.info.srWindow);
  }
  SetConsoleTextAttribute(out_handle, user.info.wAttributes);
  SetConsoleCursorInfo(out_handle, &user.cursor);
  SetConsoleCursorPosition(out_handle, user.info.dwCursorPosition);
  write_user_cells();
  SetConsoleMode(in_handle, user.in_mode);
  SetConsoleMode(out_handle, user.out_mode);
  if (user.out_cp) SetConsoleOutputCP(user.out_cp);
  if (user.in_cp) SetConsoleCP(user.in_cp);
}

int signal_of(DWORD event) {
  switch (event) {
    case CTRL_C_EVENT: return 2;        // SIGINT
    case CTRL_BREAK_EVENT: return 21;   // SIGBREAK
    default: return 15;                 // SIGTERM: the window, logoff, shutdown
  }
}

// On its own thread. Ctrl-C typed at the keyboard is a key (processed input
// is off); a Ctrl-C event comes from outside (GenerateConsoleCtrlEvent).
BOOL WINAPI on_control(DWORD event) {
  if (event == CTRL_C_EVENT && win_interrupt_token >= 0) {
    win_send_interrupt(static_cast<int>(win_interrupt_token));
    return TRUE;
  }
  win_console_give_back();
  int sig = signal_of(event);
  if (plat_defer_exit(sig)) {
    // The main thread ends it where it waits for a key; the process ends
    // when this handler returns from a close event, so it waits here.
    if (wake_event) SetEvent(wake_event);
    Sleep(EXIT_GRACE_SECONDS * 1000);
    plat_defer_exit(sig);   // not in time: ends now
    return TRUE;
  }
  ExitProcess(STATUS_CONTROL_C_EXIT);
}

void at_exit() { vt_close(); }

}  // namespace

HANDLE win_console_input() { return active ? in_handle : nullptr; }
HANDLE win_console_wake() { return wake_event; }

void win_console_resized() {
  InterlockedExchange(&resized, 1);
}

void win_console_give_back() {
  std::lock_guard<std::mutex> g(console_lock);
  give_back_locked();
}

uint8_t vt_erase_byte() { return 8; }   // Backspace arrives as itself
int vt_wake_fd() { return -1; }
void vt_drain_wake() {}

bool vt_open() {
  std::lock_guard<std::mutex> g(console_lock);
  if (active) return true;
  out_handle = GetStdHandle(STD_OUTPUT_HANDLE);
  in_handle = GetStdHandle(STD_INPUT_HANDLE);
  if (!out_handle || out_handle == INVALID_HANDLE_VALUE || !in_handle || in_handle == INVALID_HANDLE_VALUE ||
      !GetConsoleMode(out_handle, &user.out_mode) || !GetConsoleMode(in_handle, &user.in_mode) ||
      !GetConsoleScreenBufferInfo(out_handle, &user.info))
    return false;
  GetConsoleCursorInfo(out_handle, &user.cursor);
  user.out_cp = GetConsoleOutputCP();
  user.in_cp = GetConsoleCP();
  read_user_cells();
  if (!wake_event) wake_event = CreateEventA(nullptr, TRUE, FALSE, nullptr);

  // Active before anything changes, so a control event in between gives
  // the console back.
  active = true;
  if (!handler_installed) handler_installed = SetConsoleCtrlHandler(on_control, TRUE);
  if (!atexit_done) {
    atexit(at_exit);
    atexit_done = true;
  }
  SetConsoleOutputCP(437);
  SetConsoleCP(437);
  // Keys as they are typed, Ctrl-C among them; window size changes as
  // events; no mouse selection in the window (it would stop the output).
  SetConsoleMode(in_handle, ENABLE_WINDOW_INPUT | ENABLE_EXTENDED_FLAGS);
  SetConsoleMode(out_handle, user.out_mode & ~static_cast<DWORD>(ENABLE_WRAP_AT_EOL_OUTPUT));
  take_geometry();
  for (CHAR_INFO &c : screen) {
    c.Char.AsciiChar = ' ';
    c.Attributes = 0x07;
  }
  dirty_top = 0;
  dirty_bottom = CON_ROWS - 1;
  want_visible = false;
  want_row = want_col = 0;
  shown_row = shown_col = shown_visible = -1;
  bell_pending = false;
  InterlockedExchange(&resized, 0);
  FlushConsoleInputBuffer(in_handle);
  return true;
}

void vt_close() {
  std::lock_guard<std::mutex> g(console_lock);
  give_back_locked();
}

void vt_write(int row, int col, const uint8_t *cp437, int n, uint8_t attr) {
  if (!active || !cp437 || row < 0 || row >= CON_ROWS || col < 0 || col >= CON_COLS || n <= 0) return;
  int k = std::min(n, CON_COLS - col);
  CHAR_INFO *cell = screen + row * CON_COLS + col;
  for (int i = 0; i < k; i++) {
    cell[i].Char.AsciiChar = static_cast<CHAR>(cp437[i]);
    cell[i].Attributes = attr;
  }
  mark(row);
}

void vt_fill(int row, int col, int n, uint8_t ch, uint8_t attr) {
  if (!active || row < 0 || row >= CON_ROWS || col < 0 || col >= CON_COLS || n <= 0) return;
  int first = row * CON_COLS + col;
  int end = first + std::min(n, CON_ROWS * CON_COLS - first);
  for (int i = first; i < end; i++) {
    screen[i].Char.AsciiChar = static_cast<CHAR>(ch);
    screen[i].Attributes = attr;
  }
  mark(row);
  mark((end - 1) / CON_COLS);
}

void vt_cursor_to(int row, int col) {
  want_row = std::clamp(row, 0, CON_ROWS - 1);
  want_col = std::clamp(col, 0, CON_COLS - 1);
}

void vt_cursor_visible(bool visible) { want_visible = visible; }

void vt_bell() {
  if (active) bell_pending = true;
}

void vt_flush() {
  std::lock_guard<std::mutex> g(console_lock);
  if (!active) return;
  if (dirty_top <= dirty_bottom) {
    SMALL_RECT region{0, static_cast<SHORT>(dirty_top), CON_COLS - 1, static_cast<SHORT>(dirty_bottom)};
    WriteConsoleOutputA(out_handle, screen + dirty_top * CON_COLS,
                        COORD{CON_COLS, static_cast<SHORT>(dirty_bottom - dirty_top + 1)}, COORD{0, 0}, &region);
    dirty_top = CON_ROWS;
    dirty_bottom = -1;
  }
  if (want_visible && (want_row != shown_row || want_col != shown_col)) {
    SetConsoleCursorPosition(out_handle, COORD{static_cast<SHORT>(want_col), static_cast<SHORT>(want_row)});
    shown_row = want_row;
    shown_col = want_col;
  }
  if (shown_visible != static_cast<int>(want_visible)) {
    CONSOLE_CURSOR_INFO ci{};
    GetConsoleCursorInfo(out_handle, &ci);
    if (ci.dwSize == 0) ci.dwSize = 25;
    ci.bVisible = want_visible;
    SetConsoleCursorInfo(out_handle, &ci);
    shown_visible = want_visible;
  }
  if (bell_pending) {
    bell_pending = false;
    MessageBeep(0xFFFFFFFF);   // the simple beep, without holding the program up
  }
}

bool vt_take_resized() {
  if (!InterlockedExchange(&resized, 0)) return false;
  std::lock_guard<std::mutex> g(console_lock);
  if (!active) return true;
  // A console window dragged bigger grows the buffer: ours is 80 x 25.
  take_geometry();
  dirty_top = 0;
  dirty_bottom = CON_ROWS - 1;
  shown_row = shown_col = shown_visible = -1;
  return true;
}
