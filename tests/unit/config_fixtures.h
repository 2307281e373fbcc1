// Shared by the configuration and file-picker tests: a scratch directory that
// is the current directory for one test, small file helpers, and a memory
// console whose F9 key takes a picture of the screen (so a test can see a box
// while it waits for its key).
#pragma once
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "ui/keys.h"
#include "ui_fixture.h"

struct ScratchDirectory {
  std::filesystem::path dir, old;
  ScratchDirectory() {
    old = std::filesystem::current_path();
    // A new directory of our own (mkdtemp's promise, on every system).
    std::random_device random;
    for (int attempt = 0;; attempt++) {
      if (attempt == 100) std::abort();
      dir = std::filesystem::temp_directory_path() / ("zl27t-cfg-" + std::to_string(random()));
      std::error_code ec;
      if (std::filesystem::create_directory(dir, ec)) break;
    }
    std::filesystem::current_path(dir);
  }
  ~ScratchDirectory() {
    std::filesystem::current_path(old);
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
  }
};

class ScratchDir : public ::testing::Test {
 protected:
  ScratchDirectory scratch_;
};

inline void write_bytes(const std::string &path, const std::vector<uint8_t> &bytes) {
  std::ofstream f(path, std::ios::binary);
  f.write(reinterpret_cast<const char *>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

inline std::vector<uint8_t> read_bytes(const std::string &path) {
  std::ifstream f(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(f), {});
}

inline std::string read_text(const std::string &path) {
  std::ifstream f(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(f), {});
}

// Key codes as text for push_keys.
#define K_F9 "\x99"
#define K_F10 "\x9a"
#define K_ESC "\x1b"
#define K_ENTER "\r"
#define K_DOWN "\x8a"
#define K_UP "\x8b"
#define K_LEFT "\x8c"
#define K_RIGHT "\x8d"
#define K_HOME "\xb1"
#define K_END "\xb2"
#define K_PGDN "\xba"
#define K_PGUP "\xbb"
#define K_DEL "\xb8"
// F9 then F10: picture the box, then close it.
#define K_SEE_BOX K_F9 K_F10

class ConfigUiTest : public UiTest {
 protected:
  static inline std::vector<std::vector<std::string>> pictures;
  // Per picture, per row: the attribute index of each cell as a digit.
  static inline std::vector<std::vector<std::string>> picture_attrs;
  static int take_picture(KeyCode, int) {
    std::vector<std::string> rows, attrs;
    for (int r = 0; r < CON_ROWS; ++r) {
      rows.push_back(mem_console_row_text(r));
      std::string a;
      for (int c = 0; c < CON_COLS; ++c) a += static_cast<char>('0' + shadow_attrs[r * SCR_COLS + c]);
      attrs.push_back(a);
    }
    pictures.push_back(rows);
    picture_attrs.push_back(attrs);
    return 0;
  }
  void SetUp() override {
    UiTest::SetUp();
    pictures.clear();
    picture_attrs.clear();
    key_queue_reset();
    hotkey_add(KEY_F9, take_picture);
  }
  void TearDown() override {
    key_queue_reset();
    UiTest::TearDown();
  }
  // Row r (1-based) of picture n.
  static std::string pic_row(size_t n, int r) {
    return n < pictures.size() ? pictures[n][static_cast<size_t>(r - 1)] : std::string();
  }
  // Whether picture n shows text anywhere.
  static bool pic_has(size_t n, const std::string &text) {
    if (n >= pictures.size()) return false;
    for (const std::string &row : pictures[n])
      if (row.find(text) != std::string::npos) return true;
    return false;
  }
  ScratchDirectory scratch_;
};
