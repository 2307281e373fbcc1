// Configuration files from the Offline menu, typed as a user would: write to
// disk, read back in a fresh run, print to a file, delete.
#include <sys/stat.h>

#include <cstring>
#include <filesystem>
#include <string>

#include "config/config_file.h"
#include "config/modem_config.h"
#include "harness.h"
#include "config_file_bytes.h"

using namespace e2e;

namespace {

// Opens an Offline item by its hot letter and waits for its window.
testing::AssertionResult offline(Session &s, const char *letter, const char *title) {
  s.type("f");
  s.type(letter);
  return s.wait_for_text(title);
}

}  // namespace

TEST(OfflineFiles, WriteReadPrintDelete) {
  std::string saved;
  {
    Session s;
    ASSERT_TRUE(s.start_at_menu());
    ASSERT_TRUE(offline(s, "w", "SAVE OFFLINE TO DISK"));
    ASSERT_TRUE(s.wait_for_text("File to write:"));
    s.keys("newcfg{Enter}");
    ASSERT_TRUE(s.wait_for_text_gone("SAVE OFFLINE TO DISK"));
    saved = s.read_file("NEWCFG.ZLE");
    ASSERT_EQ(saved.size(), 124u);
    EXPECT_EQ(static_cast<uint8_t>(saved[0]), 0xE9);
    EXPECT_EQ(static_cast<uint8_t>(saved[1]), 0x03);
    build_default_config();
    EXPECT_EQ(saved, config_file_bytes(working_config));
  }

  Session s;
  ASSERT_TRUE(s.write_file("NEWCFG.ZLE", saved));
  build_default_config();
  ModemConfig other = working_config;
  other.answer_rings = 5;
  ASSERT_TRUE(s.write_file("other.zle", config_file_bytes(other)));
  ASSERT_TRUE(s.start_at_menu());

  // Read OTHER ("..", NEWCFG, OTHER) and print it.
  ASSERT_TRUE(offline(s, "r", "LOAD OFFLINE FROM DISK"));
  ASSERT_TRUE(s.wait_for_text("NEWCFG"));
  EXPECT_EQ(s.text_at(14, 1, 10), "[ parent ]");
  s.keys("{Down}{Down}");
  ASSERT_TRUE(s.wait_until([&] { return s.text_at(12, 22, 8) == "OTHER..."; }, "OTHER in the name field"));
  s.keys("{Enter}");
  ASSERT_TRUE(s.wait_for_text_gone("LOAD OFFLINE FROM DISK"));
  ASSERT_TRUE(offline(s, "p", "PRINT OFFLINE"));
  ASSERT_TRUE(s.wait_for_text("SYS$PRINT"));
  s.keys("out1.txt{Enter}");
  ASSERT_TRUE(s.wait_for_text_gone("PRINT OFFLINE"));
  EXPECT_NE(s.read_file("OUT1.TXT").find("\n        Auto Answer            after 5 rings\n"), std::string::npos);

  // Read the file the first run wrote, typing its name.
  ASSERT_TRUE(offline(s, "r", "LOAD OFFLINE FROM DISK"));
  s.keys("newcfg{Enter}");
  ASSERT_TRUE(s.wait_for_text_gone("LOAD OFFLINE FROM DISK"));
  ASSERT_TRUE(offline(s, "p", "PRINT OFFLINE"));
  s.keys("out2.txt{Enter}");
  ASSERT_TRUE(s.wait_for_text_gone("PRINT OFFLINE"));
  EXPECT_NE(s.read_file("OUT2.TXT").find("\n        Auto Answer            after 3 rings\n"), std::string::npos);

  // Delete NEWCFG from the list; the list comes back without it.
  ASSERT_TRUE(offline(s, "d", "DELETE CONFIGURATION FILE"));
  ASSERT_TRUE(s.wait_for_text("NEWCFG"));
  s.keys("{Down}{Enter}");
  ASSERT_TRUE(s.wait_for_text_gone("NEWCFG"));
  EXPECT_FALSE(s.file_exists("NEWCFG.ZLE"));
  EXPECT_TRUE(s.file_exists("other.zle"));
  s.press(Key::Esc);
  ASSERT_TRUE(s.wait_for_text_gone("DELETE CONFIGURATION FILE"));

  // Nothing was edited since the last read: Quit ends at once.
  EXPECT_TRUE(quit_program(s));
}

// Names that are FIFOs: every command says it cannot use them and goes on;
// none waits for a writer or a reader that never comes.
TEST(OfflineFiles, FifosAreRefusedNotWaitedFor) {
  Session s;
  ASSERT_EQ(mkfifo(s.path("F.ZLE").c_str(), 0600), 0);
  ASSERT_EQ(mkfifo(s.path("PIPE.PRN").c_str(), 0600), 0);
  ASSERT_TRUE(s.start_at_menu());
  struct Step {
    const char *letter, *title, *keys, *message;
  } steps[] = {
      {"r", "LOAD OFFLINE FROM DISK", "f{Enter}", "Can't open file \"F.ZLE\" for read."},
      {"d", "DELETE CONFIGURATION FILE", "f{Enter}", "Can't find file \"F.ZLE\""},
      {"w", "SAVE OFFLINE TO DISK", "f{Enter}y", "Can't open file \"F.ZLE\" for write."},
      {"p", "PRINT OFFLINE", "pipe.prn{Enter}", "Can't open file \"PIPE.PRN\" for write."},
  };
  for (const Step &step : steps) {
    SCOPED_TRACE(step.title);
    ASSERT_TRUE(offline(s, step.letter, step.title));
    s.keys(step.keys);
    ASSERT_TRUE(s.wait_for_text(step.message));
    s.press(Key::F10);
    ASSERT_TRUE(s.wait_for_text_gone(step.message));
    s.press(Key::Esc);   // back out of the picker or the name field
    ASSERT_TRUE(s.wait_for_text_gone(step.title));
  }
  EXPECT_TRUE(std::filesystem::is_fifo(s.path("F.ZLE")));
  EXPECT_TRUE(std::filesystem::is_fifo(s.path("PIPE.PRN")));
  EXPECT_TRUE(quit_program(s));
}

// A setup file that is a FIFO is a setup file that cannot be read.
TEST(OfflineFiles, SetupFileThatIsAFifoIsNotThere) {
  Session s;
  ASSERT_EQ(mkfifo(s.path(SETUP_FILE).c_str(), 0600), 0);
  s.set_env("ZL27T_PORTS", "/dev/null");
  ASSERT_TRUE(s.start());
  ASSERT_TRUE(s.wait_for_text("Can't locate setup file."));
  s.press(Key::F10);
  ASSERT_TRUE(s.wait_for_text("CONFIGURE THIS COMPUTER"));
  s.press(Key::Esc);
  ASSERT_TRUE(s.wait_for_text_gone("CONFIGURE THIS COMPUTER"));
  EXPECT_TRUE(quit_program(s));
  EXPECT_TRUE(std::filesystem::is_fifo(s.path(SETUP_FILE)));
}
