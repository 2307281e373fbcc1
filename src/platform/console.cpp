// Console seam: dispatch to the open backend, and the memory backend.
#include "platform/console.h"

#include <algorithm>
#include <array>

#include "platform/terminal.h"

namespace {

constexpr int CON_CELLS = CON_ROWS * CON_COLS;
constexpr ConCell BLANK{' ', 0x17};

bool con_open = false;
ConsoleKind con_kind = CONSOLE_MEMORY;

// Memory backend state.
std::array<ConCell, CON_CELLS> mem_grid = [] {
  std::array<ConCell, CON_CELLS> g;
  g.fill(BLANK);
  return g;
}();
std::vector<ConRun> mem_log;
int mem_bells = 0;
ConCursor mem_cursor{0, 0, false};

void mem_reset() {
  mem_grid.fill(BLANK);
  mem_log.clear();
  mem_bells = 0;
  mem_cursor = ConCursor{0, 0, false};
}

bool on_screen(int row, int col) { return row >= 0 && row < CON_ROWS && col >= 0 && col < CON_COLS; }

void mem_write(int row, int col, const uint8_t *cp437, int n, uint8_t attr) {
  n = std::max(n, 0);
  if (!cp437) n = 0;
  mem_log.push_back(ConRun{'w', row, col, std::string(reinterpret_cast<const char *>(cp437), n), attr});
  if (!on_screen(row, col)) return;
  int k = std::min(n, CON_COLS - col);
  for (int i = 0; i < k; i++) mem_grid[row * CON_COLS + col + i] = ConCell{cp437[i], attr};
}

void mem_fill(int row, int col, int n, uint8_t ch, uint8_t attr) {
  // A fill never covers more than the whole screen; a larger n is clipped
  // anyway, and this keeps the log bounded.
  n = std::clamp(n, 0, CON_CELLS);
  mem_log.push_back(ConRun{'f', row, col, std::string(static_cast<size_t>(n), static_cast<char>(ch)), attr});
  if (!on_screen(row, col)) return;
  int start = row * CON_COLS + col;
  int end = start + std::min(n, CON_CELLS - start);
  for (int i = start; i < end; i++) mem_grid[i] = ConCell{ch, attr};
}

}  // namespace

bool pcon_open(ConsoleKind kind) {
  if (con_open) pcon_close();
  pkbd_reset();
  if (kind == CONSOLE_VT) {
    if (!vt_open()) return false;
  } else {
    mem_reset();
  }
  con_kind = kind;
  con_open = true;
  return true;
}

void pcon_close() {
  if (!con_open) return;
  if (con_kind == CONSOLE_VT) vt_close();
  con_open = false;
}

bool pcon_is_open() { return con_open; }
ConsoleKind pcon_kind() { return con_kind; }

void pcon_write(int row, int col, const uint8_t *cp437, int n, uint8_t attr) {
  if (!con_open) return;
  if (con_kind == CONSOLE_VT)
    vt_write(row, col, cp437, n, attr);
  else
    mem_write(row, col, cp437, n, attr);
}

void pcon_fill(int row, int col, int n, uint8_t ch, uint8_t attr) {
  if (!con_open) return;
  if (con_kind == CONSOLE_VT)
    vt_fill(row, col, n, ch, attr);
  else
    mem_fill(row, col, n, ch, attr);
}

void pcon_cursor_to(int row, int col) {
  if (!con_open) return;
  if (con_kind == CONSOLE_VT) {
    vt_cursor_to(row, col);
  } else {
    mem_cursor.row = std::clamp(row, 0, CON_ROWS - 1);
    mem_cursor.col = std::clamp(col, 0, CON_COLS - 1);
  }
}

void pcon_cursor_visible(bool visible) {
  if (!con_open) return;
  if (con_kind == CONSOLE_VT)
    vt_cursor_visible(visible);
  else
    mem_cursor.visible = visible;
}

void pcon_bell() {
  if (!con_open) return;
  if (con_kind == CONSOLE_VT)
    vt_bell();
  else
    mem_bells++;
}

void pcon_flush() {
  if (con_open && con_kind == CONSOLE_VT) vt_flush();
}

bool pcon_take_resized() { return con_open && con_kind == CONSOLE_VT && vt_take_resized(); }


const ConCell &mem_console_cell(int row, int col) {
  static const ConCell outside{0, 0};
  if (!on_screen(row, col)) return outside;
  return mem_grid[row * CON_COLS + col];
}

std::string mem_console_row_text(int row) {
  std::string s(CON_COLS, ' ');
  if (row < 0 || row >= CON_ROWS) return s;
  for (int c = 0; c < CON_COLS; c++) s[c] = static_cast<char>(mem_grid[row * CON_COLS + c].ch);
  return s;
}

std::vector<ConRun> &mem_console_log() { return mem_log; }
int mem_console_bells() { return mem_bells; }
ConCursor mem_console_cursor() { return mem_cursor; }
