// The setup file: its 150-byte image, the three ways start-up falls back to
// the link dialog, and the record brought inside its tables.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>

#include "app/link_startup.h"
#include "config_fixtures.h"
#include "link/link.h"
#include "link/setup_file.h"

namespace {

std::vector<uint8_t> image_of(const LinkSetup &s) {
  const auto *p = reinterpret_cast<const uint8_t *>(&s);
  return std::vector<uint8_t>(p, p + sizeof s);
}

LinkSetup unusual_record() {
  LinkSetup s;
  default_link_setup(&s);
  s.kind = LINK_NONE;   // opens nothing
  s.reserved4 = 0x1234;
  s.reserved34 = 0xBEEF;
  s.term_charset = TERM_CHARSET_UTF8;
  memset(s.reserved_text, 0, sizeof s.reserved_text);
  strcpy(s.reserved_text, "NOTEPAD.EXE");
  s.reserved_text[30] = 'x';   // after the terminator, kept all the same
  strcpy(s.host, "plc.example");
  return s;
}

class SetupFile : public ConfigUiTest {
 protected:
  void SetUp() override {
    ConfigUiTest::SetUp();
    setenv("ZL27T_PORTS", "/dev/null", 1);   // port 0 exists
    link_handle = nullptr;
  }
  void TearDown() override {
    if (link_handle) link_close(link_handle);
    link_handle = nullptr;
    unsetenv("ZL27T_PORTS");
    ConfigUiTest::TearDown();
  }
};

}  // namespace

TEST_F(SetupFile, ImageRoundTripKeepsEveryByte) {
  LinkSetup s = unusual_record();
  ASSERT_EQ(write_setup_image("ZL27TSW.STP", s), SETUP_WRITE_OK);
  EXPECT_EQ(read_bytes("ZL27TSW.STP"), image_of(s));
  LinkSetup back{};
  ASSERT_EQ(read_setup_image("ZL27TSW.STP", &back), SETUP_READ_OK);
  EXPECT_EQ(image_of(back), image_of(s));
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator("."), {}), 1);   // no temporary left
}

TEST_F(SetupFile, ShortFilesAreUnreadableLongOnesReadTheirFirst150Bytes) {
  LinkSetup s = unusual_record();
  std::vector<uint8_t> whole = image_of(s);
  std::vector<uint8_t> short_file(whole.begin(), whole.end() - 1);
  std::vector<uint8_t> long_file = whole;
  long_file.push_back(0x77);
  write_bytes("short.stp", short_file);
  write_bytes("long.stp", long_file);

  LinkSetup r;
  memset(&r, 0xAB, sizeof r);
  const LinkSetup untouched = r;
  EXPECT_EQ(read_setup_image("missing.stp", &r), SETUP_READ_OPEN_FAILED);
  EXPECT_EQ(read_setup_image("short.stp", &r), SETUP_READ_SHORT);
  EXPECT_EQ(image_of(r), image_of(untouched));
  EXPECT_EQ(read_setup_image("long.stp", &r), SETUP_READ_OK);
  EXPECT_EQ(image_of(r), whole);
}

TEST_F(SetupFile, MissingOrShortFileGivesTheDefaultRecordAndTheDialog) {
  struct Case {
    const char *what;
    std::vector<uint8_t> bytes;   // empty: no file
    const char *message;
  } cases[] = {
      {"missing", {}, "Can't locate setup file."},
      {"149 bytes", std::vector<uint8_t>(149, 0x33), "Can't read setup file. Use SETUP to change it"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    std::filesystem::remove("ZL27TSW.STP");
    if (!c.bytes.empty()) write_bytes("ZL27TSW.STP", c.bytes);
    pictures.clear();
    hotkey_remove(KEY_F1);
    // The message, then the dialog (pictured, then left with Esc).
    push_keys(K_SEE_BOX K_F9 K_ESC);
    EXPECT_EQ(load_link_setup("ZL27TSW.STP"), nullptr);
    ASSERT_EQ(pictures.size(), 2u);
    EXPECT_TRUE(pic_has(0, c.message));
    EXPECT_TRUE(pic_has(1, "CONFIGURE THIS COMPUTER"));
    EXPECT_TRUE(pic_has(1, "Sy/Max COM:"));
    LinkSetup def;
    default_link_setup(&def);
    EXPECT_EQ(image_of(link_setup), image_of(def));
    // F1 is the screen print from now on.
    EXPECT_EQ(hotkey_remove(KEY_F1), 1);
  }
}

TEST_F(SetupFile, OutOfTableValuesAreClampedAndAStalePortAsksAgain) {
  write_bytes("ZL27TSW.STP", std::vector<uint8_t>(150, 0xFF));
  push_keys(K_SEE_BOX K_F9 K_ESC);
  EXPECT_EQ(load_link_setup("ZL27TSW.STP"), nullptr);
  ASSERT_EQ(pictures.size(), 2u);
  EXPECT_TRUE(pic_has(0, "The saved link is not in current choices."));
  EXPECT_TRUE(pic_has(1, "Sy/Max COM:"));
  EXPECT_TRUE(pic_has(1, "INVALID"));   // the port field
  EXPECT_EQ(link_setup.kind, LINK_SYMAX);
  EXPECT_EQ(link_setup.baud, 13);
  EXPECT_EQ(link_setup.term_charset, TERM_CHARSET_CP437);
  EXPECT_EQ(link_setup.route_count, 8);
  EXPECT_EQ(link_setup.port, 0xFFFF);   // not a table index: kept, shown as INVALID
  EXPECT_EQ(link_setup.timeout, LINK_TIMEOUT_MAX);
  EXPECT_EQ(link_setup.route[7], ROUTE_DROP_MAX);
  EXPECT_EQ(strnlen(link_setup.host, sizeof link_setup.host), sizeof link_setup.host - 1);
}

TEST_F(SetupFile, DamagedNumbersAreBroughtIntoTheirRanges) {
  LinkSetup s;
  default_link_setup(&s);
  s.port = 0xFFFF;   // stale: the dialog shows what was read
  s.timeout = 25634;
  s.route_count = 2;
  s.route[0] = 47790;
  s.route[1] = 1;
  s.route[2] = 47790;   // beyond the count: never used, kept as read
  write_bytes("ZL27TSW.STP", image_of(s));
  push_keys(K_SEE_BOX K_F9 K_ESC);
  EXPECT_EQ(load_link_setup("ZL27TSW.STP"), nullptr);
  ASSERT_EQ(pictures.size(), 2u);
  EXPECT_EQ(pic_row(1, 15).substr(45, 6), "6000  ");   // Timeout
  EXPECT_EQ(pic_row(1, 17).substr(45, 6), "255,1 ");   // Route
  EXPECT_EQ(link_setup.route[2], 47790);

  struct Case {
    const char *what;
    uint16_t timeout, start_register;
    uint16_t want_timeout, want_start_register;
  } cases[] = {
      {"in range", 1, 9999, 1, 9999},
      {"at the top", LINK_TIMEOUT_MAX, 1, LINK_TIMEOUT_MAX, 1},
      {"never waits, starts nowhere", 0, 0, LINK_TIMEOUT_DEFAULT, 1},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    default_link_setup(&s);
    s.timeout = c.timeout;
    s.rv_start_register = c.start_register;
    clamp_link_setup(&s);
    EXPECT_EQ(s.timeout, c.want_timeout);
    EXPECT_EQ(s.rv_start_register, c.want_start_register);
  }
}

TEST_F(SetupFile, SaveAsksAndRewritesAllBytesAsRead) {
  LinkSetup s = unusual_record();
  write_bytes("ZL27TSW.STP", image_of(s));
  push_keys(K_F10);   // "Unable to establish link." for kind None
  EXPECT_EQ(load_link_setup("ZL27TSW.STP"), nullptr);
  std::filesystem::remove("ZL27TSW.STP");
  // Saved to the start-up directory even after a change of directory.
  std::filesystem::create_directory("elsewhere");
  std::filesystem::current_path("elsewhere");

  push_keys("n");
  save_link_setup();
  EXPECT_FALSE(std::filesystem::exists("../ZL27TSW.STP"));

  push_keys("y");
  save_link_setup();
  EXPECT_EQ(read_bytes("../ZL27TSW.STP"), image_of(s));
  EXPECT_FALSE(std::filesystem::exists("ZL27TSW.STP"));
  std::filesystem::current_path("..");
}

TEST_F(SetupFile, SaveWhereNoFileCanBeMadeSaysSo) {
  push_keys(K_F10 K_ESC);   // "Can't locate setup file.", then leave the dialog
  EXPECT_EQ(load_link_setup("missing-dir/ZL27TSW.STP"), nullptr);
  push_keys("y" K_SEE_BOX);
  save_link_setup();
  ASSERT_EQ(pictures.size(), 1u);
  EXPECT_TRUE(pic_has(0, "Can't open setup file"));
  EXPECT_FALSE(std::filesystem::exists("missing-dir"));
}
