#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <sys/resource.h>

#include "config/config_file.h"
#include "config_fixtures.h"
#include "config_file_bytes.h"

namespace {

class ConfigImage : public ScratchDir {};

ModemConfig sample_config() {
  build_default_config();
  ModemConfig c = working_config;
  c.flags = 0x2C48;
  std::strcpy(c.dial_string, "9,T123W");
  c.password = 0x1234;
  c.reserved_s1[1] = 0x5A;
  c.reserved_s9_s10[0] = 0xC3;
  for (size_t i = 0; i < sizeof c.reserved; ++i) c.reserved[i] = static_cast<uint8_t>(255 - i);
  return c;
}

}  // namespace

TEST_F(ConfigImage, SaveWrites124BytesAndLoadsAllOfThemBack) {
  ModemConfig c = sample_config();
  ASSERT_EQ(write_config_image("PLANT1.ZLE", c), CONFIG_WRITE_OK);
  std::vector<uint8_t> bytes = read_bytes("PLANT1.ZLE");
  ASSERT_EQ(bytes.size(), 124u);
  EXPECT_EQ(bytes[0], 0xE9);
  EXPECT_EQ(bytes[1], 0x03);
  EXPECT_EQ(bytes, config_file_image(1001, c));

  ModemConfig back;
  std::memset(&back, 0, sizeof back);
  ASSERT_EQ(read_config_image("PLANT1.ZLE", back), CONFIG_READ_OK);
  EXPECT_EQ(std::memcmp(&back, &c, sizeof c), 0);
  // Nothing but the file is left behind.
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator("."), {}), 1);
}

TEST_F(ConfigImage, DamagedFilesLeaveTheRecordAlone) {
  ModemConfig good = sample_config();
  std::vector<uint8_t> whole = config_file_image(1001, good);
  struct Case {
    const char *what;
    std::vector<uint8_t> bytes;
    ConfigReadResult result;
  } cases[] = {
      {"empty", {}, CONFIG_READ_SHORT},
      {"one byte", {0xE9}, CONFIG_READ_SHORT},
      {"version only", {0xE9, 0x03}, CONFIG_READ_SHORT},
      {"short body", std::vector<uint8_t>(whole.begin(), whole.begin() + 100), CONFIG_READ_SHORT},
      {"version 1000", config_file_image(1000, good), CONFIG_READ_VERSION},
      {"byte-swapped version", config_file_image(0xE903, good), CONFIG_READ_VERSION},
  };
  for (const Case &c : cases) {
    write_bytes("X.ZLE", c.bytes);
    build_default_config();
    ModemConfig record = working_config;
    EXPECT_EQ(read_config_image("X.ZLE", record), c.result) << c.what;
    EXPECT_EQ(std::memcmp(&record, &working_config, sizeof record), 0) << c.what;
  }
  ModemConfig record;
  EXPECT_EQ(read_config_image("MISSING.ZLE", record), CONFIG_READ_OPEN_FAILED);
}

TEST_F(ConfigImage, DialStringAlwaysEndsInsideItsField) {
  ModemConfig c = sample_config();
  std::memset(c.dial_string, 'W', sizeof c.dial_string);
  write_bytes("FULL.ZLE", config_file_image(1001, c));
  ModemConfig record{};
  ASSERT_EQ(read_config_image("FULL.ZLE", record), CONFIG_READ_OK);
  EXPECT_EQ(std::strlen(record.dial_string), 39u);
  EXPECT_EQ(record.password, c.password);
}

TEST_F(ConfigImage, TrailingBytesAreIgnored) {
  ModemConfig good = sample_config();
  std::vector<uint8_t> bytes = config_file_image(1001, good);
  bytes.insert(bytes.end(), 500, 0x77);
  write_bytes("LONG.ZLE", bytes);
  ModemConfig record{};
  ASSERT_EQ(read_config_image("LONG.ZLE", record), CONFIG_READ_OK);
  EXPECT_EQ(std::memcmp(&record, &good, sizeof good), 0);
}

TEST_F(ConfigImage, FailedWriteKeepsTheOldFile) {
  ModemConfig old_config = sample_config();
  ASSERT_EQ(write_config_image("KEEP.ZLE", old_config), CONFIG_WRITE_OK);
  std::vector<uint8_t> before = read_bytes("KEEP.ZLE");

  // A file-size limit below 124 bytes makes the write itself fail.
  struct rlimit saved;
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
  auto old_handler = std::signal(SIGXFSZ, SIG_IGN);
  struct rlimit tight = saved;
  tight.rlim_cur = 50;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &tight), 0);
  build_default_config();
  ConfigWriteResult result = write_config_image("KEEP.ZLE", working_config);
  setrlimit(RLIMIT_FSIZE, &saved);
  std::signal(SIGXFSZ, old_handler);

  EXPECT_EQ(result, CONFIG_WRITE_FAILED);
  EXPECT_EQ(read_bytes("KEEP.ZLE"), before);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator("."), {}), 1);   // no temporary left
}

TEST_F(ConfigImage, UnwritablePlacesFailToOpen) {
  build_default_config();
  EXPECT_EQ(write_config_image("NO/SUCH/DIR.ZLE", working_config), CONFIG_WRITE_OPEN_FAILED);
  std::filesystem::create_directory("DIR.ZLE");
  EXPECT_EQ(write_config_image("DIR.ZLE", working_config), CONFIG_WRITE_OPEN_FAILED);
  EXPECT_TRUE(std::filesystem::is_directory("DIR.ZLE"));
}

TEST_F(ConfigImage, OverwriteKeepsModeAndSymbolicLinks) {
  ModemConfig c = sample_config();
  ASSERT_EQ(write_config_image("REAL.ZLE", c), CONFIG_WRITE_OK);
  std::filesystem::permissions("REAL.ZLE", std::filesystem::perms(0640));
  std::filesystem::create_symlink("REAL.ZLE", "LINK.ZLE");
  c.guard_time = 99;
  ASSERT_EQ(write_config_image("LINK.ZLE", c), CONFIG_WRITE_OK);
  EXPECT_TRUE(std::filesystem::is_symlink("LINK.ZLE"));
  EXPECT_EQ(read_bytes("REAL.ZLE"), config_file_image(1001, c));
  EXPECT_EQ(std::filesystem::status("REAL.ZLE").permissions(), std::filesystem::perms(0640));
}
