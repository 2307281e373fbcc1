#include <gtest/gtest.h>

#include <cstdio>
#include <sys/wait.h>
#include <unistd.h>
#include <filesystem>
#include <string>

#include "config_fixtures.h"
#include "forms/file_picker.h"

namespace fs = std::filesystem;

namespace {

class FilePicker : public ConfigUiTest {
 protected:
  int pick(const char *keys) {
    push_keys(keys);
    name[0] = 0;
    return file_pick(12, 22, "*.ZLE", name, sizeof name, true);
  }
  static void touch(const std::string &path) { write_bytes(path, {0}); }
  char name[PICK_NAME_SIZE];
};

}  // namespace

TEST_F(FilePicker, GridShowsMatchingFilesAndDirectoriesAndReturnsTheBaseName) {
  touch("plant1.zle");
  touch("alpha.zle");
  touch("notes.txt");
  fs::create_directory("sub");
  // "..", ALPHA, PLANT1, SUB in one column; the field follows the cursor.
  ASSERT_EQ(pick(K_F9 K_DOWN K_DOWN K_F9 K_ENTER), 1);
  EXPECT_STREQ(name, "PLANT1");

  ASSERT_EQ(pictures.size(), 2u);
  EXPECT_EQ(pic_row(0, 14).substr(0, 11), "[ parent ] ");
  EXPECT_EQ(pic_row(0, 15).substr(0, 10), " ALPHA    ");
  EXPECT_EQ(pic_row(0, 16).substr(0, 10), " PLANT1   ");
  EXPECT_EQ(pic_row(0, 17).substr(0, 10), "[SUB     ]");
  EXPECT_EQ(pic_row(0, 18).substr(0, 10), std::string(10, ' '));
  EXPECT_EQ(pic_row(0, 12).substr(21, 8), "........");   // a directory leaves the field empty
  EXPECT_EQ(pic_row(1, 12).substr(21, 8), "PLANT1..");
  // Nothing of the grid stays behind.
  EXPECT_EQ(row(14), std::string(80, ' '));
}

TEST_F(FilePicker, HighlightAndDirectoryColours) {
  touch("alpha.zle");
  fs::create_directory("sub");
  // "..", ALPHA, SUB; pictures with ALPHA, then SUB highlighted.
  ASSERT_EQ(pick(K_DOWN K_F9 K_DOWN K_F9 K_ESC), 0);
  ASSERT_EQ(picture_attrs.size(), 2u);
  EXPECT_EQ(picture_attrs[0][13].substr(0, 10), "0222222220");   // "[ parent ]"
  EXPECT_EQ(picture_attrs[0][14].substr(1, 8), "33333333");      // ALPHA highlighted
  EXPECT_EQ(picture_attrs[1][14].substr(1, 8), "00000000");
  EXPECT_EQ(picture_attrs[1][15].substr(0, 10), "3555555553");   // SUB highlighted
}

TEST_F(FilePicker, TypedNamesAndEsc) {
  touch("plant1.zle");
  ASSERT_EQ(pick("newcfg" K_ENTER), 1);
  EXPECT_STREQ(name, "NEWCFG");
  ASSERT_EQ(pick("ab-c.d9" K_ENTER), 1);   // only A-Z and 0-9 are taken
  EXPECT_STREQ(name, "ABCD9");
  ASSERT_EQ(pick(K_DOWN "X" K_ESC), 0);
}

TEST_F(FilePicker, EnterOnADirectoryChangesIntoIt) {
  fs::create_directory("Configs");
  touch("Configs/Inner.zle");
  touch("top.zle");
  // "..", CONFIGS, TOP: enter CONFIGS, then pick INNER ("..", INNER).
  ASSERT_EQ(pick(K_DOWN K_ENTER K_DOWN K_ENTER), 1);
  EXPECT_STREQ(name, "INNER");
  EXPECT_EQ(fs::current_path().filename(), "Configs");
  // ".." leads back.
  ASSERT_EQ(pick(K_ENTER K_DOWN K_DOWN K_ENTER), 1);
  EXPECT_STREQ(name, "TOP");
}

TEST_F(FilePicker, PagesOf96) {
  for (int i = 0; i < 100; ++i) {
    char n[16];
    std::snprintf(n, sizeof n, "f%03d.zle", i);
    touch(n);
  }
  // 101 entries with "..": page 0 holds "..", F000..F094; page 1 F095..F099.
  ASSERT_EQ(pick(K_F9 K_PGDN K_F9 K_ENTER), 1);
  EXPECT_STREQ(name, "F095");
  EXPECT_NE(pic_row(0, 13).find("Page 1 of 2"), std::string::npos);
  EXPECT_EQ(pic_row(0, 25).substr(71, 4), "F094");   // column 7, row 11
  EXPECT_NE(pic_row(1, 13).find("Page 2 of 2"), std::string::npos);
  EXPECT_EQ(pic_row(1, 18).substr(1, 4), "F099");
  EXPECT_EQ(pic_row(1, 19).substr(0, 10), std::string(10, ' '));

  // Right from column 7 turns the page, keeping column and row, clamped to
  // the last entry.
  ASSERT_EQ(pick(K_END K_RIGHT K_ENTER), 1);
  EXPECT_STREQ(name, "F099");
  // Left from column 0 of page 1 comes back to column 0 of page 0.
  ASSERT_EQ(pick(K_PGDN K_DOWN K_LEFT K_ENTER), 1);
  EXPECT_STREQ(name, "F000");
  // PgUp on page 1 goes to the end of page 0; PgDn on the last page to its end.
  ASSERT_EQ(pick(K_PGDN K_PGUP K_ENTER), 1);
  EXPECT_STREQ(name, "F094");
  ASSERT_EQ(pick(K_PGDN K_PGDN K_ENTER), 1);
  EXPECT_STREQ(name, "F099");
}

TEST_F(FilePicker, EndAndMovesStayOnThePage) {
  for (const char *n : {"a.zle", "b.zle", "c.zle", "d.zle"}) touch(n);
  ASSERT_EQ(pick(K_END K_ENTER), 1);   // five entries with "..": the fifth
  EXPECT_STREQ(name, "D");
  ASSERT_EQ(pick(K_UP K_LEFT K_RIGHT K_DOWN K_ENTER), 1);   // no column 1: Right does nothing
  EXPECT_STREQ(name, "A");
  ASSERT_EQ(pick(K_DOWN K_DOWN K_HOME K_DOWN K_ENTER), 1);
  EXPECT_STREQ(name, "A");
}

TEST_F(FilePicker, LongAndOddNamesOpenByTheirWholeName) {
  touch("averyverylongname.zle");
  touch("x\x01y.zle");
  // "..", AVERYVERYLONGNAME, X?Y
  ASSERT_EQ(pick(K_DOWN K_F9 K_ENTER), 1);
  EXPECT_STREQ(name, "AVERYVERYLONGNAME");
  EXPECT_EQ(pic_row(0, 15).substr(0, 10), " AVERYVER ");
  EXPECT_EQ(pic_row(0, 12).substr(21, 8), "AVERYVER");
  EXPECT_NE(pic_row(0, 13).find("AVERYVERYLONGNAME"), std::string::npos);

  ASSERT_EQ(pick(K_DOWN K_DOWN K_F9 K_ENTER), 1);
  EXPECT_STREQ(name, "X\x01Y");
  EXPECT_EQ(pic_row(0, 16).substr(0, 5), " X?Y ");

  char existing[PICK_NAME_SIZE];
  ASSERT_TRUE(find_existing_file("AVERYVERYLONGNAME.ZLE", existing, sizeof existing));
  EXPECT_STREQ(existing, "averyverylongname.zle");
  ASSERT_TRUE(find_existing_file("X\x01Y.ZLE", existing, sizeof existing));
  EXPECT_STREQ(existing, "x\x01y.zle");
}

TEST_F(FilePicker, FindExistingFilePrefersTheExactName) {
  touch("plant1.zle");
  touch("PLANT1.ZLE");
  touch("Plant2.Zle");
  fs::create_directory("dir.zle");
  char out[PICK_NAME_SIZE];
  ASSERT_TRUE(find_existing_file("PLANT1.ZLE", out, sizeof out));
  EXPECT_STREQ(out, "PLANT1.ZLE");
  ASSERT_TRUE(find_existing_file("plant1.zle", out, sizeof out));
  EXPECT_STREQ(out, "plant1.zle");
  ASSERT_TRUE(find_existing_file("PLANT2.ZLE", out, sizeof out));
  EXPECT_STREQ(out, "Plant2.Zle");
  EXPECT_FALSE(find_existing_file("DIR.ZLE", out, sizeof out));
  EXPECT_FALSE(find_existing_file("NONE.ZLE", out, sizeof out));
}

TEST_F(FilePicker, DeleteCommandRemovesEachChosenFileUntilEsc) {
  touch("a.zle");
  touch("b.zle");
  touch("keep.txt");
  fs::create_directory("sub");
  // "..", A, B, SUB; after deleting A: "..", B, SUB.
  push_keys(K_DOWN K_ENTER K_DOWN K_ENTER "ghost" K_ENTER K_SEE_BOX K_ESC);
  delete_file_command(".ZLE", "DELETE CONFIGURATION FILE");
  EXPECT_FALSE(fs::exists("a.zle"));
  EXPECT_FALSE(fs::exists("b.zle"));
  EXPECT_TRUE(fs::exists("keep.txt"));
  EXPECT_TRUE(fs::is_directory("sub"));
  ASSERT_EQ(pictures.size(), 1u);
  EXPECT_TRUE(pic_has(0, "Can't find file \"GHOST.ZLE\""));
  EXPECT_TRUE(pic_has(0, "DELETE CONFIGURATION FILE"));
  EXPECT_TRUE(pic_has(0, "File to delete:"));
  EXPECT_EQ(key_queue_count(), 0);
}

TEST_F(FilePicker, UnlistableDirectorySaysSoAndKeepsTheWayOut) {
  fs::create_directory("locked");
  touch("locked/a.zle");
  fs::permissions("locked", fs::perms(0311));
  // Run where the directory really cannot be read: root reads anything, so
  // the child gives root up first.
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    if (chdir("locked") != 0) _exit(10);
    if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(11);
    push_keys(K_SEE_BOX K_F9 K_ESC);
    char out[PICK_NAME_SIZE];
    if (file_pick(12, 22, "*.ZLE", out, sizeof out, true) != 0) _exit(12);
    if (pictures.size() != 2) _exit(13);
    if (!pic_has(0, "Can't list directory")) _exit(14);
    if (pic_row(1, 14).substr(0, 10) != "[ parent ]") _exit(15);
    if (pic_row(1, 15).substr(0, 10) != std::string(10, ' ')) _exit(16);
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "failed check " << WEXITSTATUS(status);
  fs::permissions("locked", fs::perms(0755));
}
