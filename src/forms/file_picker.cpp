#include "forms/file_picker.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "platform/files.h"
#include "ui/boxes.h"   // alert_*: file messages show whatever the link's Trap Errors says
#include "ui/keys.h"
#include "ui/screen.h"
#include "ui/window.h"

namespace fs = std::filesystem;

// ---------------------------------------------------------------- patterns

static bool is_digit(unsigned char c) { return c >= '0' && c <= '9'; }
static bool is_letter(unsigned char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

// Digits to a value that saturates instead of overflowing.
static unsigned long long take_number(const char *&s) {
  unsigned long long v = 0;
  for (; is_digit(static_cast<unsigned char>(*s)); ++s) {
    v = v > 100000000000000000ULL ? 1000000000000000000ULL : v * 10 + (*s - '0');
  }
  return v;
}

// "[...]" at p (just past "["): true when c is listed; p ends past "]".
static bool match_set(const char *&p, unsigned char c) {
  bool hit = false;
  while (*p && *p != ']') {
    unsigned char lo = static_cast<unsigned char>(*p);
    if (p[1] == '-' && p[2] && p[2] != ']') {
      unsigned char hi = static_cast<unsigned char>(p[2]);
      if (c >= lo && c <= hi) hit = true;
      p += 3;
    } else {
      if (c == lo) hit = true;
      ++p;
    }
  }
  if (*p == ']') ++p;
  return hit;
}

// "(...)" at p (just past "("): true when value lies in one of the items.
static bool match_numbers(const char *&p, unsigned long long value) {
  bool hit = false;
  while (*p && *p != ')') {
    if (!is_digit(static_cast<unsigned char>(*p))) {   // not an item: skip it
      while (*p && *p != ',' && *p != ')') ++p;
      if (*p == ',') ++p;
      continue;
    }
    unsigned long long low = take_number(p);
    if (*p == '-') {
      ++p;
      if (is_digit(static_cast<unsigned char>(*p))) {
        unsigned long long high = take_number(p);
        if (value >= low && value <= high) hit = true;
      } else if (value >= low) {
        hit = true;
      }
    } else if (value == low) {
      hit = true;
    }
    while (*p && *p != ',' && *p != ')') ++p;
    if (*p == ',') ++p;
  }
  if (*p == ')') ++p;
  return hit;
}

// One item of the pattern other than '*' against the name at n; on success
// both advance past what it took. No item takes the name's terminator.
static bool match_item(const char *&p, const char *&n) {
  unsigned char c = static_cast<unsigned char>(*n);
  switch (*p) {
    case '=':
      if (!c) return false;
      break;
    case '#':
      if (!is_digit(c)) return false;
      break;
    case '?':
      if (!is_letter(c)) return false;
      break;
    case '[':
      ++p;
      if (!c || !match_set(p, c)) return false;
      ++n;
      return true;
    case '(': {
      ++p;
      if (!is_digit(c)) return false;
      unsigned long long value = take_number(n);
      return match_numbers(p, value);
    }
    default:
      if (*p != *n) return false;
      break;
  }
  ++p, ++n;
  return true;
}

// Only the last '*' is ever taken back: every item ends no earlier when it
// starts later (a number takes the whole digit run), so the earliest place
// the items after a '*' fit is the best one. Trying every place for every
// '*' took time exponential in the number of stars.
bool wildcard_match(const char *p, const char *n) {
  const char *star_p = nullptr;   // pattern just past the last '*'
  const char *star_n = nullptr;   // where that '*' stopped taking the name
  for (;;) {
    if (*p == '*') {
      star_p = ++p;
      star_n = n;
      continue;
    }
    if (!*p) {
      if (!*n) return true;
    } else if (match_item(p, n)) {
      continue;
    }
    if (!star_p || !*star_n) return false;
    p = star_p;
    n = ++star_n;
  }
}

// ---------------------------------------------------------------- listing

static std::string upper(std::string s) {
  for (char &ch : s) {
    if (ch >= 'a' && ch <= 'z') ch = static_cast<char>(ch - 'a' + 'A');
  }
  return s;
}

bool pick_build_list(std::vector<PickItem> &list, const char *pattern, bool include_directories) {
  list.clear();
  std::error_code ec;
  fs::directory_iterator it(".", ec);
  bool listed = !ec;
  if (include_directories) list.push_back({"..", "..", PICK_DIRECTORY});
  for (; !ec && it != fs::directory_iterator(); it.increment(ec)) {
    std::string real = it->path().filename().string();
    std::string name = upper(real);
    std::error_code ec2;
    if (it->is_directory(ec2)) {   // follows links, as the open would
      if (include_directories) list.push_back({name, real, PICK_DIRECTORY});
    } else if (wildcard_match(pattern, name.c_str())) {
      size_t dot = name.rfind('.');
      if (dot != std::string::npos) name.erase(dot);
      list.push_back({name, real, PICK_FILE});
    }
  }
  if (ec) listed = false;
  std::sort(list.begin(), list.end(), [](const PickItem &a, const PickItem &b) {
    int d = std::strcmp(a.name.c_str(), b.name.c_str());
    return d != 0 ? d < 0 : a.real < b.real;
  });
  // The drives after the sorted entries, in letter order (none where the
  // system has no drive letters).
  if (include_directories) {
    for (char letter : plat_drive_names()) {
      std::string drive = std::string(1, letter) + ":";
      list.push_back({drive, drive + "\\", PICK_DIRECTORY});
    }
  }
  return listed;
}

void printable_name(const char *name, char *out, size_t out_size) {
  if (out_size == 0) return;
  size_t i = 0;
  for (; name[i] && i + 1 < out_size; ++i) {
    unsigned char c = static_cast<unsigned char>(name[i]);
    out[i] = c < 32 || c > 126 ? '?' : static_cast<char>(c);
  }
  out[i] = 0;
}

static bool equal_nocase(const std::string &a, const char *b) {
  size_t n = std::strlen(b);
  if (a.size() != n) return false;
  for (size_t i = 0; i < n; ++i) {
    char x = a[i], y = b[i];
    if (x >= 'a' && x <= 'z') x = static_cast<char>(x - 'a' + 'A');
    if (y >= 'a' && y <= 'z') y = static_cast<char>(y - 'a' + 'A');
    if (x != y) return false;
  }
  return true;
}

bool find_existing_file(const char *name, char *out, size_t out_size) {
  if (out_size == 0 || !*name) return false;
  std::error_code ec;
  fs::file_status st = fs::status(name, ec);
  if (!ec && fs::exists(st) && !fs::is_directory(st)) {
    std::snprintf(out, out_size, "%s", name);
    return true;
  }
  if (std::strchr(name, '/')) return false;
  // Several entries may differ in case only: take the first in byte order.
  std::string best;
  fs::directory_iterator it(".", ec);
  for (; !ec && it != fs::directory_iterator(); it.increment(ec)) {
    std::string real = it->path().filename().string();
    std::error_code ec2;
    if (equal_nocase(real, name) && !it->is_directory(ec2) && (best.empty() || real < best)) {
      best = real;
    }
  }
  if (best.empty() || best.size() >= out_size) return false;
  std::snprintf(out, out_size, "%s", best.c_str());
  return true;
}

// ---------------------------------------------------------------- picker

namespace {

struct Picker {
  std::vector<PickItem> list;
  int page = 0, col = 0, row = 0;

  int pages() const { return list.empty() ? 1 : (static_cast<int>(list.size()) + PICK_PAGE - 1) / PICK_PAGE; }
  // The entry at the cursor, or the last entry when the cursor lies beyond.
  int current() const {
    if (list.empty()) return -1;
    int index = page * PICK_PAGE + col * PICK_ROWS + row;
    return std::min(index, static_cast<int>(list.size()) - 1);
  }
};

}  // namespace

// Row 13, left of the caller's window: the page, when there is more than one.
constexpr int INFO_ROW = PICK_TOP_ROW - 1;
// Row 13, right of the caller's window: the whole name of a long entry.
constexpr int LONG_NAME_COL = 61;
constexpr int LONG_NAME_WIDTH = 20;

static void draw_item(const Picker &pk, int index, bool highlighted) {
  const PickItem &item = pk.list[static_cast<size_t>(index)];
  int slot = index % PICK_PAGE;
  int row = PICK_TOP_ROW + slot % PICK_ROWS;
  int col = 2 + 10 * (slot / PICK_ROWS);
  FieldFlags attr = highlighted ? ATTR_HIGHLIGHT_HOT : ATTR_NORMAL;
  FieldFlags dir_attr = highlighted ? ATTR_HIGHLIGHT_ERROR : ATTR_FIELD;
  char shown[9];
  printable_name(item.name.c_str(), shown, sizeof shown);
  if (item.kind == PICK_DIRECTORY) {
    put_field("[", row, col - 1, 1, ' ', attr);
    put_field(item.name == ".." ? " parent " : shown, row, col, 8, ' ', dir_attr);
    put_field("]", row, col + 8, 1, ' ', attr);
  } else {
    put_field(shown, row, col, 8, ' ', attr);
  }
}

static void draw_page(const Picker &pk) {
  clear_to_end(PICK_TOP_ROW, 1);
  int first = pk.page * PICK_PAGE;
  int last = std::min(first + PICK_PAGE, static_cast<int>(pk.list.size()));
  for (int i = first; i < last; ++i) draw_item(pk, i, false);
  char text[32] = "";
  if (pk.pages() > 1) std::snprintf(text, sizeof text, "Page %d of %d", pk.page + 1, pk.pages());
  put_field(text, INFO_ROW, 1, 18, ' ', ATTR_NORMAL);
}

static void show_long_name(const Picker &pk, int index) {
  char text[LONG_NAME_WIDTH + 1] = "";
  if (index >= 0) {
    const PickItem &item = pk.list[static_cast<size_t>(index)];
    if (item.name.size() > 8) printable_name(item.name.c_str(), text, sizeof text);
  }
  put_field(text, INFO_ROW, LONG_NAME_COL, LONG_NAME_WIDTH, ' ', ATTR_NORMAL);
}

static void clear_picker_area() {
  clear_to_end(PICK_TOP_ROW, 1);
  put_field("", INFO_ROW, 1, 18, ' ', ATTR_NORMAL);
  put_field("", INFO_ROW, LONG_NAME_COL, LONG_NAME_WIDTH, ' ', ATTR_NORMAL);
}

// Messages name at most the last 48 characters of a path, so the box fits
// the screen.
static void path_message(const char *format, const std::string &path) {
  char shown[49];
  const char *tail = path.c_str() + (path.size() > 48 ? path.size() - 48 : 0);
  printable_name(tail, shown, sizeof shown);
  alert_printf(format, shown);
}

static void change_directory(const PickItem &item) {
  std::error_code ec;
  fs::current_path(item.real, ec);
  if (ec) path_message("Can't change to directory \"%s\"", item.real);
}

static void list_directory(Picker &pk, const char *pattern, bool include_directories) {
  if (!pick_build_list(pk.list, pattern, include_directories)) {
    std::error_code ec;
    path_message("Can't list directory \"%s\"", fs::current_path(ec).string());
  }
  pk.page = pk.col = pk.row = 0;
}

int file_pick(int row, int col, const char *pattern, char *name_out, size_t name_size,
              bool include_directories) {
  static const char terminators[] = {
      static_cast<char>(KEY_ENTER), static_cast<char>(KEY_ESC),  static_cast<char>(KEY_RIGHT),
      static_cast<char>(KEY_LEFT),  static_cast<char>(KEY_UP),   static_cast<char>(KEY_DOWN),
      static_cast<char>(KEY_PGDN),  static_cast<char>(KEY_PGUP), static_cast<char>(KEY_HOME),
      static_cast<char>(KEY_END),   0};
  Picker pk;
  list_directory(pk, pattern, include_directories);
  draw_page(pk);
  for (;;) {
    int index = pk.current();
    const PickItem *item = index >= 0 ? &pk.list[static_cast<size_t>(index)] : nullptr;
    if (item) draw_item(pk, index, true);
    show_long_name(pk, index);

    // The field holds what the grid shows; accepting it unchanged means the
    // entry itself, whose whole name is returned.
    char field[PICK_NAME_SIZE] = "";
    if (item && item->kind == PICK_FILE) printable_name(item->name.c_str(), field, 9);
    char offered[sizeof field];
    std::memcpy(offered, field, sizeof field);
    KeyCode key = field_edit(field, row, col, 8, '.', "A-Z0-9", terminators,
                             FF_KEEP | FF_REPLACE | FF_UPPER);

    bool redrawn = false;
    int last_page = pk.pages() - 1;
    switch (key) {
      case KEY_DOWN:
        if (pk.row < PICK_ROWS - 1) ++pk.row;
        break;
      case KEY_UP:
        if (pk.row > 0) --pk.row;
        break;
      case KEY_RIGHT:
        if (static_cast<int>(pk.list.size()) > pk.page * PICK_PAGE + (pk.col + 1) * PICK_ROWS) {
          if (pk.col < PICK_COLS - 1) {
            ++pk.col;
          } else if (pk.page < last_page) {
            ++pk.page;
            redrawn = true;
          }
        }
        break;
      case KEY_LEFT:
        if (pk.col > 0) {
          --pk.col;
        } else if (pk.page > 0) {
          --pk.page;
          redrawn = true;
        }
        break;
      case KEY_HOME:
        pk.row = pk.col = 0;
        break;
      case KEY_END:
        pk.row = PICK_ROWS - 1, pk.col = PICK_COLS - 1;
        break;
      case KEY_PGDN:
        if (pk.page < last_page) {
          ++pk.page;
          pk.row = pk.col = 0;
          redrawn = true;
        } else {
          pk.row = PICK_ROWS - 1, pk.col = PICK_COLS - 1;
        }
        break;
      case KEY_PGUP:
        if (pk.page == 0) {
          pk.row = pk.col = 0;
        } else {
          --pk.page;
          pk.row = PICK_ROWS - 1, pk.col = PICK_COLS - 1;
          redrawn = true;
        }
        break;
      case KEY_ENTER: {
        const char *chosen = nullptr;
        if (field[0] && !(item && item->kind == PICK_FILE && std::strcmp(field, offered) == 0)) {
          chosen = field;
        } else if (item && item->kind == PICK_FILE) {
          chosen = item->name.c_str();
        } else if (item && !field[0]) {
          change_directory(*item);
          list_directory(pk, pattern, include_directories);
          draw_page(pk);
          continue;
        }
        if (!chosen) {
          beep();
          break;
        }
        std::snprintf(name_out, name_size, "%s", chosen);
        clear_picker_area();
        return 1;
      }
      case KEY_ESC:
        clear_picker_area();
        return 0;
      default:
        break;
    }
    if (redrawn) {
      draw_page(pk);
    } else if (item) {
      draw_item(pk, index, false);
    }
  }
}

// ---------------------------------------------------------------- delete

void delete_file_command(const char *extension, const char *title) {
  char pattern[32];
  std::snprintf(pattern, sizeof pattern, "*%s", extension);
  WindowHandle window = win_open(10, 20, 12, 60, title);
  put_field("File to delete:", 11, 22, 0, ' ', ATTR_NORMAL);
  char name[PICK_NAME_SIZE];
  while (file_pick(11, 38, pattern, name, sizeof name, true)) {
    char full[PICK_NAME_SIZE + 32];
    std::snprintf(full, sizeof full, "%s%s", name, extension);
    char existing[PICK_NAME_SIZE + 32];
    // Only a regular file that can be read is removed; a FIFO or a device of
    // that name is not one the picker meant.
    FILE *f = find_existing_file(full, existing, sizeof existing) ? plat_open_regular(existing) : nullptr;
    if (f) {
      std::fclose(f);
      // A failed removal is said, not passed over as done.
      if (std::remove(existing) != 0) path_message("Can't delete file \"%s\"", existing);
    } else {
      path_message("Can't find file \"%s\"", full);
    }
  }
  win_close(&window);
}
