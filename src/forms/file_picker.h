// File picker and the delete-file command.
//   file_pick            grid of the current directory's matching files and
//                        its subdirectories, 8 columns x 12 rows a page, with
//                        a name field that follows the highlighted entry
//   wildcard_match       the picker's pattern language (see below)
//   pick_build_list      the sorted list file_pick shows
//   find_existing_file   the name to open for a chosen name: exact match
//                        first, else the entry equal to it ignoring case
//   delete_file_command  the "Delete configuration file" command
//
// Names are shown upper-cased, files without their extension. The list keeps
// each entry's whole name: the grid shows its first 8 characters, and an entry
// accepted from the list is returned whole, so long names still open. Typed
// names are at most 8 characters of A-Z and 0-9.
//
// Pattern language (pattern against name, both advancing, case-sensitive):
//   =  any one character      #  one digit      ?  one letter A-Z or a-z
//   *  any run, also none     [..]  one listed character or range a-b
//   (..)  a decimal number in the name within one of the comma-separated
//         items n, n-m, n-
//   anything else matches itself; the pattern and the name must end together.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

constexpr size_t PICK_NAME_SIZE = 256;   // a whole file name and its terminator

enum : uint8_t { PICK_FILE = 0, PICK_DIRECTORY = 1 };

struct PickItem {
  std::string name;   // upper-cased; files without extension; ".." for parent
  std::string real;   // the entry's name in the directory
  uint8_t kind;       // PICK_FILE or PICK_DIRECTORY
};

constexpr int PICK_ROWS = 12;
constexpr int PICK_COLS = 8;
constexpr int PICK_PAGE = PICK_ROWS * PICK_COLS;
constexpr int PICK_TOP_ROW = 14;

bool wildcard_match(const char *pattern, const char *name);

// Lists the current directory into list. False when it cannot be listed (the
// list then holds only the parent entry, so the user can still leave).
bool pick_build_list(std::vector<PickItem> &list, const char *pattern, bool include_directories);

// 1 with the chosen name (without extension) in name_out, 0 on Esc. The
// directory changes made while picking stay in effect.
int file_pick(int row, int col, const char *pattern, char *name_out, size_t name_size,
              bool include_directories);

bool find_existing_file(const char *name, char *out, size_t out_size);

// A name safe to show: control bytes and bytes above 126 become '?'.
void printable_name(const char *name, char *out, size_t out_size);

void delete_file_command(const char *extension, const char *title);
