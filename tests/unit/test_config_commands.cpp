#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>

#include "config/config_file.h"
#include "config/printout.h"
#include "config_fixtures.h"
#include "link/link_setup.h"
#include "config_file_bytes.h"

namespace fs = std::filesystem;

namespace {

class ConfigCommands : public ConfigUiTest {
 protected:
  static ModemConfig defaults() {
    build_default_config();
    return working_config;
  }
};

}  // namespace

TEST_F(ConfigCommands, LoadTakesTheFileThenValidatesIt) {
  ModemConfig c = defaults();
  c.port_rate = 3;
  c.reserved[7] = 0x42;
  write_bytes("plant1.zle", config_file_image(1001, c));
  memory_config = defaults();
  config_dirty = 1;
  // "..", PLANT1: the file is opened whatever the case of its name.
  push_keys(K_F9 K_DOWN K_ENTER K_SEE_BOX);
  EXPECT_TRUE(load_config_file());
  EXPECT_EQ(std::memcmp(&memory_config, &c, sizeof c), 0);
  EXPECT_EQ(config_dirty, 0);
  EXPECT_STREQ(config_file_name, "PLANT1.ZLE");
  ASSERT_EQ(pictures.size(), 2u);
  EXPECT_TRUE(pic_has(0, "LOAD OFFLINE FROM DISK"));
  EXPECT_EQ(pic_row(0, 11).substr(21, 13), "File to read:");
  EXPECT_TRUE(pic_has(1, "Invalid port rate 3"));
}

TEST_F(ConfigCommands, LoadFailures) {
  ModemConfig good = defaults();
  good.cts_on_delay = 7;
  std::vector<uint8_t> whole = config_file_image(1001, good);
  write_bytes("SHORT.ZLE", std::vector<uint8_t>(whole.begin(), whole.begin() + 60));
  write_bytes("VERSION.ZLE", {0xE9, 0x03});
  write_bytes("OLD.ZLE", config_file_image(1000, good));
  struct Case {
    const char *keys;
    const char *message;
  } cases[] = {
      {"short" K_ENTER K_SEE_BOX, "Can't read disk file."},
      {"version" K_ENTER K_SEE_BOX, "Can't read disk file."},
      {"old" K_ENTER K_SEE_BOX, "Setup file not compatible. Obtain recent software."},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.message);
    memory_config = defaults();
    memory_config.answer_rings = 9;   // an unsaved edit
    ModemConfig before = memory_config;
    config_dirty = 1;
    pictures.clear();
    push_keys(c.keys);
    EXPECT_TRUE(load_config_file());
    ASSERT_EQ(pictures.size(), 1u);
    EXPECT_TRUE(pic_has(0, c.message));
    // Nothing half-loaded, and the unsaved edit is still guarded.
    EXPECT_EQ(std::memcmp(&memory_config, &before, sizeof before), 0);
    EXPECT_EQ(config_dirty, 1);
    key_queue_reset();
  }

  // A missing name asks again; Esc then leaves with nothing changed. The
  // message shows even when link errors are set not to be trapped.
  pictures.clear();
  link_setup.trap_errors = 1;
  push_keys("nope" K_ENTER K_SEE_BOX K_ESC);
  EXPECT_FALSE(load_config_file());
  link_setup.trap_errors = 0;
  ASSERT_EQ(pictures.size(), 1u);
  EXPECT_TRUE(pic_has(0, "Can't open file \"NOPE.ZLE\" for read."));
  EXPECT_EQ(config_dirty, 1);
}

TEST_F(ConfigCommands, SaveNewFileThenReadItBack) {
  ModemConfig c = defaults();
  std::strcpy(c.dial_string, "9,T123W");
  for (size_t i = 0; i < sizeof c.reserved; ++i) c.reserved[i] = static_cast<uint8_t>(i * 3);
  memory_config = c;
  config_dirty = 1;
  push_keys(K_F9 "newcfg" K_ENTER);
  save_config_file();
  EXPECT_EQ(config_dirty, 0);
  EXPECT_TRUE(pic_has(0, "SAVE OFFLINE TO DISK"));
  EXPECT_EQ(pic_row(0, 11).substr(21, 14), "File to write:");
  EXPECT_EQ(read_bytes("NEWCFG.ZLE"), config_file_image(1001, c));

  memory_config = defaults();
  push_keys(K_DOWN K_ENTER);
  EXPECT_TRUE(load_config_file());
  EXPECT_EQ(std::memcmp(&memory_config, &c, sizeof c), 0);
}

TEST_F(ConfigCommands, OverwriteQuestion) {
  ModemConfig old_config = defaults();
  old_config.guard_time = 77;
  write_bytes("plant1.zle", config_file_image(1001, old_config));
  memory_config = defaults();
  config_dirty = 1;

  // Declined: back to the picker, file untouched; Esc leaves.
  push_keys(K_DOWN K_ENTER K_F9 "n" K_ESC);
  save_config_file();
  ASSERT_EQ(pictures.size(), 1u);
  EXPECT_TRUE(pic_has(0, "File exists, overwrite it?"));
  EXPECT_EQ(read_bytes("plant1.zle"), config_file_image(1001, old_config));
  EXPECT_EQ(config_dirty, 1);

  // Accepted: the existing file is replaced under its own name.
  push_keys("plant1" K_ENTER "y");
  save_config_file();
  EXPECT_EQ(read_bytes("plant1.zle"), config_file_image(1001, memory_config));
  // Under its own name only: no second file beside it (where names differ
  // in case), and no temporary one left.
  std::vector<std::string> names;
  for (const fs::directory_entry &e : fs::directory_iterator(".")) names.push_back(e.path().filename().string());
  EXPECT_EQ(names, std::vector<std::string>{"plant1.zle"});
  EXPECT_EQ(config_dirty, 0);
}

TEST_F(ConfigCommands, PrintToAFile) {
  memory_config = defaults();
  push_keys(K_F9 "out.txt" K_ENTER);
  print_config();
  EXPECT_TRUE(pic_has(0, "PRINT OFFLINE"));
  EXPECT_EQ(pic_row(0, 11).substr(21, 12), "Output file:");
  EXPECT_EQ(pic_row(0, 12).substr(21, 12), "SYS$PRINT___");
  std::string text = read_text("OUT.TXT");
  ASSERT_FALSE(text.empty());
  EXPECT_EQ(text.rfind("                         ZL27T Configuration Printout\n", 0), 0u);
  EXPECT_NE(text.find("\n        Password access        Not required\n"), std::string::npos);

  // Esc writes nothing; a name that cannot be opened asks again.
  fs::create_directory("SUB");
  push_keys("sub" K_ENTER K_SEE_BOX K_ESC);
  print_config();
  ASSERT_EQ(pictures.size(), 2u);
  EXPECT_TRUE(pic_has(1, "Can't open file \"SUB\" for write."));
  EXPECT_EQ(std::distance(fs::directory_iterator("."), {}), 2);
}
