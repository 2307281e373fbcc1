// put_field and the window stack.
#include "ui/window.h"

#include <cstdlib>
#include <cstring>

#include "ui/screen.h"

namespace {
WindowRecord *oldest = nullptr;
WindowRecord *newest = nullptr;

// An unchanged gap of up to this many cells is written again as part of the
// next run rather than paying for another cursor move.
constexpr int MAX_REWRITTEN_GAP = 5;
}  // namespace

void beep() { pcon_bell(); }

void put_field(const char *text, int row, int col, int width, int fill, FieldFlags flags) {
  screen_honour_redraw();
  clamp_pos(row, col);

  char work[SCR_COLS + 1];
  size_t len = strnlen(text, SCR_COLS);
  memcpy(work, text, len);
  work[len] = 0;
  if (flags & FF_BEEP) beep();
  if (flags & FF_UPPER)
    for (size_t i = 0; i < len; i++)
      if (work[i] >= 'a' && work[i] <= 'z') work[i] = static_cast<char>(work[i] - 'a' + 'A');

  // Lay the field out: text cut to the width, or padded left, centred or right.
  if (width < 0) width = 0;
  if (width > SCR_COLS) width = SCR_COLS;
  char field[SCR_COLS];
  int L = static_cast<int>(len);
  int W = width == 0 ? L : width;
  int left_pad = 0;
  if (L > W) {
    L = W;
  } else if (flags & FF_CENTER) {
    left_pad = (W - L) / 2;
  } else if (flags & FF_RIGHT) {
    left_pad = W - L;
  }
  memset(field, fill & 0xff, W);
  memcpy(field + left_pad, work, L);
  if (col + W > SCR_COLS) W = SCR_COLS - col;

  uint8_t index = flags & FF_ATTR_MASK;
  int base = row * SCR_COLS + col;
  auto equal = [&](int i) {
    return shadow_chars[base + i] == static_cast<uint8_t>(field[i]) && shadow_attrs[base + i] == index;
  };

  bool wrote = false;
  int gap_start = 0;
  int i = 0;
  while (i < W) {
    if (equal(i)) {
      i++;
      continue;
    }
    int start = i - gap_start <= MAX_REWRITTEN_GAP ? gap_start : i;
    int end = i;
    while (end < W && !equal(end)) end++;
    con_goto(row, col + start);
    if (!wrote) con_set_attr(index);
    wrote = true;
    for (int k = start; k < end; k++) {
      shadow_chars[base + k] = static_cast<uint8_t>(field[k]);
      shadow_attrs[base + k] = index;
    }
    con_write(field + start, end - start);
    gap_start = end;
    i = end;
  }
  if (wrote) con_reset_attr();
}

WindowHandle win_open(int top, int left, int bottom, int right, const char *title) {
  clamp_pos(top, left);
  clamp_pos(bottom, right);
  if (bottom < top) bottom = top;
  if (right < left) right = left;
  int rows = bottom - top + 1, cols = right - left + 1;
  auto *w = static_cast<WindowRecord *>(malloc(sizeof(WindowRecord)));
  if (!w) return nullptr;
  w->saved = static_cast<uint8_t *>(malloc(2 * rows * cols));
  if (!w->saved) {
    free(w);
    return nullptr;
  }
  w->top = static_cast<int16_t>(top);
  w->left = static_cast<int16_t>(left);
  w->bottom = static_cast<int16_t>(bottom);
  w->right = static_cast<int16_t>(right);
  w->newer = nullptr;
  w->older = newest;
  if (newest) newest->newer = w;
  newest = w;
  if (!oldest) oldest = w;

  for (int r = 0; r < rows; r++) {
    memcpy(w->saved + r * cols, shadow_chars + (top + r) * SCR_COLS + left, cols);
    memcpy(w->saved + rows * cols + r * cols, shadow_attrs + (top + r) * SCR_COLS + left, cols);
  }

  int T = top + 1, L = left + 1, B = bottom + 1, R = right + 1;
  const char tl[2] = {static_cast<char>(BOX_TL), 0}, tr[2] = {static_cast<char>(BOX_TR), 0};
  const char bl[2] = {static_cast<char>(BOX_BL), 0}, br[2] = {static_cast<char>(BOX_BR), 0};
  const char v[2] = {static_cast<char>(BOX_V), 0};
  put_field(tl, T, L, R - L, BOX_H, ATTR_NORMAL);
  put_field(tr, T, R, 0, ' ', ATTR_NORMAL);
  for (int r = T + 1; r < B; r++) {
    put_field(v, r, L, R - L, ' ', ATTR_NORMAL);
    put_field(v, r, R, 0, ' ', ATTR_NORMAL);
  }
  put_field(bl, B, L, R - L, BOX_H, ATTR_NORMAL);
  put_field(br, B, R, 0, ' ', ATTR_NORMAL);
  if (title && *title) {
    int tlen = static_cast<int>(strnlen(title, SCR_COLS));
    put_field(title, T, (L + R + 1 - tlen) / 2, 0, ' ', ATTR_HIGHLIGHT);
  }
  return w;
}

void win_close(WindowHandle *handle) {
  if (!handle || !*handle) return;
  WindowRecord *w = *handle;
  *handle = nullptr;
  if (w->older) w->older->newer = w->newer;
  else oldest = w->newer;
  if (w->newer) w->newer->older = w->older;
  else newest = w->older;

  int rows = w->bottom - w->top + 1, cols = w->right - w->left + 1;
  const uint8_t *chars = w->saved, *attrs = w->saved + rows * cols;
  for (int r = 0; r < rows; r++) {
    int row = w->top + r;
    int base = row * SCR_COLS + w->left;
    int c = 0;
    while (c < cols) {
      int s = r * cols + c;
      if (shadow_chars[base + c] == chars[s] && shadow_attrs[base + c] == attrs[s]) {
        c++;
        continue;
      }
      // Everything of the same saved index from here goes back in one run,
      // cells that happen to match included.
      int start = c;
      uint8_t index = attrs[s];
      while (c < cols && attrs[r * cols + c] == index) {
        shadow_chars[base + c] = chars[r * cols + c];
        shadow_attrs[base + c] = index;
        c++;
      }
      con_goto(row, w->left + start);
      con_set_attr(index);
      con_write(reinterpret_cast<const char *>(shadow_chars + base + start), c - start);
      con_reset_attr();
    }
  }
  free(w->saved);
  free(w);
}

void win_stack_reset() {
  while (oldest) {
    WindowRecord *next = oldest->newer;
    free(oldest->saved);
    free(oldest);
    oldest = next;
  }
  newest = nullptr;
}

int win_stack_depth() {
  int n = 0;
  for (WindowRecord *w = oldest; w; w = w->newer) n++;
  return n;
}
