// Pull-down menu bar engine.
#include "ui/menu.h"

#include <cstring>

#include "ui/keys.h"
#include "ui/window.h"

namespace {
constexpr int MAX_MENUS = 16;

char hot_letter(const char *text) {
  for (const char *p = text; *p; p++)
    if (*p >= 'A' && *p <= 'Z') return *p;
  return 0;
}

int text_len(const char *text) { return static_cast<int>(strlen(text)); }

// Draws text at (row, col) in one index, then its capital letters in another.
void draw_caps(const char *text, int row, int col, int caps_index) {
  for (int i = 0; text[i]; i++)
    if (text[i] >= 'A' && text[i] <= 'Z') {
      char c[2] = {text[i], 0};
      put_field(c, row, col + i, 1, ' ', static_cast<FieldFlags>(caps_index));
    }
}

void draw_entry(const char *text, int row, int col, int width, int index, int caps_index) {
  put_field(text, row, col, width, ' ', static_cast<FieldFlags>(index));
  draw_caps(text, row, col, caps_index);
}

int count(const char *const *list) {
  int n = 0;
  while (list[n]) n++;
  return n;
}

KeyCode upper(KeyCode k) { return (k >= 'a' && k <= 'z') ? static_cast<KeyCode>(k - 'a' + 'A') : k; }
}  // namespace

void menu_bar_columns(const char *const *titles, int n, int *bar_cols) {
  int S = 0;
  for (int k = 0; k < n; k++) S += text_len(titles[k]);
  int G = n > 1 ? (80 - S) / (n - 1) : 0;
  bar_cols[0] = 1;
  for (int k = 1; k < n; k++) bar_cols[k] = bar_cols[k - 1] + text_len(titles[k - 1]) + G;
}

void menu_pulldown_columns(const char *const *titles, int n, int *pull_cols) {
  int S = 0;
  for (int k = 0; k < n; k++) S += text_len(titles[k]);
  int step = n > 0 ? (80 - S) / n : 0;
  pull_cols[0] = 1;
  for (int k = 1; k < n; k++) pull_cols[k] = pull_cols[k - 1] + text_len(titles[k - 1]) + step;
}

int menu_bar_select(const char *const *titles, int row, int menu) {
  int n = count(titles);
  if (n == 0) return 0;
  if (n > MAX_MENUS) n = MAX_MENUS;
  int cols[MAX_MENUS];
  menu_bar_columns(titles, n, cols);
  int s = menu < 1 ? 1 : menu > n ? n : menu;

  if (s != 1) put_field(titles[0], row, 1, 80, ' ', ATTR_HIGHLIGHT);
  else put_field("", row, 1 + text_len(titles[0]), 80 - text_len(titles[0]), ' ', ATTR_HIGHLIGHT);
  for (int k = 1; k < n; k++)
    if (k + 1 != s) put_field(titles[k], row, cols[k], 0, ' ', ATTR_HIGHLIGHT);
  for (int k = 0; k < n; k++)
    if (k == 0 || k + 1 != s) draw_caps(titles[k], row, cols[k], ATTR_HIGHLIGHT_HOT);

  int drawn = 0;
  for (;;) {
    if (drawn != s) {
      draw_entry(titles[s - 1], row, cols[s - 1], 0, ATTR_NORMAL, ATTR_FIELD);
      drawn = s;
    }
    KeyCode key = get_key();
    int was = s;
    if (key == KEY_LEFT) {
      if (s > 1) s--;
    } else if (key == KEY_RIGHT) {
      if (s < n) s++;
    } else if (key == KEY_F1 || key == KEY_ESC) {
      return 0;
    } else if (key == KEY_LF || key == KEY_ENTER) {
      put_field(titles[s - 1], row, cols[s - 1], 0, ' ', ATTR_FIELD);
      return key == KEY_LF ? -s : s;
    } else {
      KeyCode k = upper(key);
      int t = 0;
      for (int i = 0; i < n && !t; i++)
        if (hot_letter(titles[i]) == static_cast<char>(k)) t = i + 1;
      if (!t) {
        beep();
        continue;
      }
      if (t != s) put_field(titles[s - 1], row, cols[s - 1], 0, ' ', ATTR_HIGHLIGHT);
      put_field(titles[t - 1], row, cols[t - 1], 0, ' ', ATTR_FIELD);
      return t;
    }
    if (s != was) draw_entry(titles[was - 1], row, cols[was - 1], 0, ATTR_HIGHLIGHT, ATTR_HIGHLIGHT_HOT);
  }
}

int menu_pulldown(const char *const *items, int top, int left, int initial, bool navigate) {
  int m = count(items);
  if (m == 0) return 0;
  int M = 0;
  for (int i = 0; i < m; i++)
    if (text_len(items[i]) > M) M = text_len(items[i]);
  int s = initial < 1 ? 1 : initial > m ? m : initial;
  if (left + M + 2 > 80) left = 78 - M;

  WindowHandle w = win_open(top, left, top + m + 1, left + M + 2, "");
  for (int i = 1; i <= m; i++)
    draw_entry(items[i - 1], top + i, left + 1, M + 1, i == s ? ATTR_HIGHLIGHT : ATTR_NORMAL,
               i == s ? ATTR_HIGHLIGHT_HOT : ATTR_FIELD);

  int drawn = s;
  for (;;) {
    if (drawn != s) {
      draw_entry(items[s - 1], top + s, left + 1, M + 1, ATTR_HIGHLIGHT, ATTR_HIGHLIGHT_HOT);
      drawn = s;
    }
    KeyCode key = get_key();
    int was = s;
    if (key == KEY_DOWN) {
      if (s < m) s++;
    } else if (key == KEY_UP) {
      if (s > 1) s--;
    } else if (key == KEY_LEFT || key == KEY_RIGHT) {
      // Moving to the neighbouring pull-down is left to the bar: close this
      // list, move the bar's selection, and reopen there.
      if (navigate) {
        const char keys[4] = {KEY_ESC, static_cast<char>(key), KEY_LF, 0};
        push_keys(keys);
      }
    } else if (key == KEY_F1 || key == KEY_ESC) {
      win_close(&w);
      return 0;
    } else if (key == KEY_ENTER) {
      win_close(&w);
      return s;
    } else {
      KeyCode k = upper(key);
      for (int j = 0; j < m; j++)
        if (hot_letter(items[j]) == static_cast<char>(k)) {
          win_close(&w);
          return j + 1;
        }
      beep();
    }
    if (s != was) draw_entry(items[was - 1], top + was, left + 1, M + 1, ATTR_NORMAL, ATTR_FIELD);
  }
}

int menu_bar_run(const char *const *table, int row, int initial) {
  const char *titles[MAX_MENUS + 1];
  const char *const *items[MAX_MENUS];
  int n = 0;
  const char *const *p = table;
  while (*p && n < MAX_MENUS) {
    titles[n] = *p;
    items[n] = p + 1;
    while (*p) p++;   // to the null after this menu's items
    p++;
    n++;
  }
  titles[n] = nullptr;
  if (n == 0) return 0;
  int pull[MAX_MENUS];
  menu_pulldown_columns(titles, n, pull);

  int menu = initial / 100, item = initial % 100;
  for (;;) {
    int r = menu_bar_select(titles, row, menu);
    if (r == 0) return 0;
    int k = r > 0 ? r : -r;
    menu = k;
    if (!*items[k - 1]) {
      if (r > 0) return k * 100;
      continue;   // a title without items keeps the bar waiting on it
    }
    int i = menu_pulldown(items[k - 1], row + 1, pull[k - 1], item, true);
    if (i != 0) return k * 100 + i;
  }
}
