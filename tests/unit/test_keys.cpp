#include <cstring>
#include <string>

#include "platform/keyboard.h"
#include "ui/keys.h"
#include "ui_fixture.h"

using Keys = UiTest;

TEST_F(Keys, ScriptedKeysComeBeforeTheKeyboard) {
  const char keys[] = {KEY_ESC, static_cast<char>(KEY_LEFT), KEY_LF, 0};
  push_keys(keys);
  pkbd_feed("k");
  EXPECT_EQ(get_key(), KEY_ESC);
  EXPECT_EQ(get_key(), KEY_LEFT);
  EXPECT_EQ(get_key(), KEY_LF);
  EXPECT_EQ(get_key(), 'k');
  EXPECT_EQ(key_read(0), 0);
}

TEST_F(Keys, QueueHoldsAHundredKeysAndDropsTheRest) {
  std::string many(150, 'a');
  EXPECT_EQ(push_keys(many.c_str()), KEY_QUEUE_SIZE);
  EXPECT_EQ(push_keys("b"), 0);
  for (int i = 0; i < KEY_QUEUE_SIZE; i++) ASSERT_EQ(get_key(), 'a');
  EXPECT_EQ(push_keys("bc"), 2);
  EXPECT_EQ(get_key(), 'b');
  EXPECT_EQ(get_key(), 'c');
}

TEST_F(Keys, KeyPutBackInFrontIsReadBeforeTheKeysQueuedAfterIt) {
  // Round the ring once so the front slot wraps below slot 0.
  std::string many(KEY_QUEUE_SIZE - 1, 'a');
  push_keys(many.c_str());
  for (int i = 0; i < KEY_QUEUE_SIZE - 1; i++) ASSERT_EQ(get_key(), 'a');
  push_keys("7\r");
  KeyCode k = get_key();
  ASSERT_TRUE(push_key_front(k));
  ASSERT_TRUE(push_key_front(KEY_HOME));
  EXPECT_EQ(get_key(), KEY_HOME);
  EXPECT_EQ(get_key(), '7');
  EXPECT_EQ(get_key(), KEY_ENTER);
  EXPECT_FALSE(key_waiting());
  pkbd_feed("k");
  EXPECT_TRUE(key_waiting());   // seen, not read
  EXPECT_EQ(get_key(), 'k');
  std::string full(KEY_QUEUE_SIZE, 'b');
  push_keys(full.c_str());
  EXPECT_FALSE(push_key_front('c'));
}

TEST_F(Keys, TerminalSequencesBecomeKeyCodes) {
  struct { const char *bytes; KeyCode key; } cases[] = {
      {"\x1bOP", KEY_F1}, {"\x1b[21~", KEY_F10}, {"\x1b[A", KEY_UP}, {"\x1b[B", KEY_DOWN},
      {"\x1b[D", KEY_LEFT}, {"\x1b[C", KEY_RIGHT}, {"\x1b[H", KEY_HOME}, {"\x1b[F", KEY_END},
      {"\x1b[3~", KEY_DEL}, {"\x7f", KEY_BACKSPACE}, {"\x19", KEY_CLEAR}, {"\x1b[6~", KEY_PGDN},
      {"\x01", KEY_HOME}, {"\x03", 3},
  };
  for (auto t : cases) {
    pkbd_feed(t.bytes);
    EXPECT_EQ(kbd_read(-1), t.key) << t.bytes + 1;
  }
}

TEST_F(Keys, InsTogglesInsertModeWithoutDeliveringAKey) {
  ASSERT_TRUE(insert_mode);
  pkbd_feed("\x1b[2~x");
  EXPECT_EQ(kbd_read(-1), 'x');
  EXPECT_FALSE(insert_mode);
  // A poll that finds only Ins does not turn into a wait.
  pkbd_feed("\x1b[2~");
  EXPECT_EQ(key_read(0), 0);
  EXPECT_TRUE(insert_mode);
}

namespace {
int hot_calls = 0;
KeyCode inner_key = 0;
int hot_callback(KeyCode, int) {
  hot_calls++;
  inner_key = get_key();   // while it runs, its own key is an ordinary key
  return 0;
}
}  // namespace

TEST_F(Keys, HotKeysRunFromQueueAndAreOrdinaryInsideTheirCallback) {
  hot_calls = 0;
  hotkey_add(KEY_F1, hot_callback);
  const char keys[] = {static_cast<char>(KEY_F1), static_cast<char>(KEY_F1), 'z', 0};
  push_keys(keys);
  EXPECT_EQ(get_key(), 'z');
  EXPECT_EQ(hot_calls, 1);
  EXPECT_EQ(inner_key, KEY_F1);
  EXPECT_EQ(hotkey_remove(KEY_F1), 1);
  EXPECT_EQ(hotkey_remove(KEY_F1), 0);
}

TEST(CharSet, RangesAndLiterals) {
  struct { const char *spec; const char *in; const char *out; } cases[] = {
      {"-0-9", "-0123456789", "a/:"},
      {"0-9A-F", "09AF", "Ga-"},
      {"A-Z0-9$.\\_~:", "AZ09$.\\_~:", "a-/"},
      {"z-a", "za", "bm"},
      {"ab-", "ab-", "c"},
  };
  for (auto t : cases) {
    CharSet set;
    charset_build(t.spec, &set);
    for (const char *p = t.in; *p; p++) EXPECT_TRUE(charset_has(static_cast<uint8_t>(*p), &set)) << t.spec << " " << *p;
    for (const char *p = t.out; *p; p++) EXPECT_FALSE(charset_has(static_cast<uint8_t>(*p), &set)) << t.spec << " " << *p;
  }
}

using FieldEdit = UiTest;

TEST_F(FieldEdit, EditingKeys) {
  const std::string L(1, static_cast<char>(KEY_LEFT)), R(1, static_cast<char>(KEY_RIGHT));
  const std::string HOME(1, static_cast<char>(KEY_HOME)), DEL(1, static_cast<char>(KEY_DEL));
  const std::string BS(1, static_cast<char>(KEY_BACKSPACE)), WL(1, static_cast<char>(KEY_WORD_LEFT));
  const std::string WR(1, static_cast<char>(KEY_WORD_RIGHT)), CE(1, static_cast<char>(KEY_CUT_END));
  const std::string CS(1, static_cast<char>(KEY_CUT_START)), CLR(1, static_cast<char>(KEY_CLEAR));
  struct Case {
    const char *name, *start;
    int width;
    FieldFlags flags;
    const char *allowed, *terms;
    std::string keys;
    const char *result;
    KeyCode ended;
    int bells;
  } cases[] = {
      {"insert at start", "ABC", 4, FF_KEEP, "A-Z", "\r", HOME + "X\r", "XABC", 13, 0},
      {"insert in full field", "ABC", 3, FF_KEEP, "A-Z", "\r", HOME + "X\r", "ABC", 13, 1},
      {"replace on first key", "123", 5, FF_KEEP | FF_REPLACE, "0-9", "\r", "4\r", "4", 13, 0},
      {"no replace after a move", "123", 5, FF_KEEP | FF_REPLACE, "0-9", "\r", R + "4\r", "1423", 13, 0},
      {"esc clears when not a terminator", "ABC", 5, FF_KEEP, "A-Z", "\r", "\x1b", "", 27, 0},
      {"esc keeps when a terminator", "ABC", 5, FF_KEEP, "A-Z", "\r\x1b", "\x1b", "ABC", 27, 0},
      {"auto enter on the last cell", "", 3, FF_AUTOENTER, "0-9", "\r", "123", "123", 13, 0},
      {"right past the end fills spaces", "0", 5, FF_KEEP, " 01", "\r", R + R + "1\r", "0  1", 13, 0},
      {"typed after the last cell refused", "AB", 3, FF_KEEP, "A-Z ", "\r", R + R + "C\r", "AB", 13, 1},
      {"word right stops before next word", "ab, cd", 8, FF_KEEP, "a-z ,", "\r", HOME + WR + "x\r", "ab, xcd", 13, 0},
      {"word left twice", "ab cd", 8, FF_KEEP, "a-z ", "\r", WL + "x" + WL + WL + "y\r", "yabx cd", 13, 0},
      {"del and backspace", "ABCD", 6, FF_KEEP, "A-Z", "\r", HOME + DEL + R + BS + "\r", "CD", 13, 0},
      {"cut to end", "ABCD", 6, FF_KEEP, "A-Z", "\r", HOME + R + CE + "\r", "A", 13, 0},
      {"cut to start", "ABCD", 6, FF_KEEP, "A-Z", "\r", L + CS + "\r", "D", 13, 0},
      {"clear", "ABCD", 6, FF_KEEP, "A-Z", "\r", CLR + "Z\r", "Z", 13, 0},
      {"unknown key beeps", "AB", 6, FF_KEEP, "A-Z", "\r", "1\r", "AB", 13, 1},
      {"quiet silences unknown keys", "AB", 6, FF_KEEP | FF_QUIET, "A-Z", "\r", "1\r", "AB", 13, 0},
      {"upper", "", 6, FF_UPPER, "A-Z", "\r", "ab\r", "AB", 13, 0},
      {"without keep the old text is gone", "OLD", 6, 0, "A-Z", "\r", "N\r", "N", 13, 0},
      {"overwrite flag", "ABC", 6, FF_KEEP | FF_OVERWRITE, "A-Z", "\r", HOME + "X\r", "XBC", 13, 0},
      {"pad right", "AB", 5, FF_KEEP | FF_PAD | FF_RIGHT, "A-Z", "\r", "\r", "   AB", 13, 0},
      {"pad centre", "AB", 6, FF_KEEP | FF_PAD | FF_CENTER, "A-Z", "\r", "\r", "  AB  ", 13, 0},
  };
  for (const Case &t : cases) {
    char buf[40];
    memset(buf, 'q', sizeof buf);
    strcpy(buf, t.start);
    key_queue_reset();
    push_keys(t.keys.c_str());
    int bells = mem_console_bells();
    KeyCode k = field_edit(buf, 5, 10, t.width, '_', t.allowed, t.terms, t.flags);
    EXPECT_STREQ(buf, t.result) << t.name;
    EXPECT_EQ(k, t.ended) << t.name;
    EXPECT_EQ(mem_console_bells() - bells, t.bells) << t.name;
    EXPECT_TRUE(insert_mode) << t.name;
  }
}

TEST_F(FieldEdit, ShadowGetsTheTextAndFillDisappears) {
  char buf[10] = "";
  push_keys("AB\r");
  field_edit(buf, 3, 5, 6, '_', "A-Z", "\r", 2);
  EXPECT_EQ(row(3).substr(4, 6), "AB    ");
  EXPECT_EQ(shadow_index(3, 5), 2);
  EXPECT_EQ(shadow_index(3, 10), 2);
}

TEST_F(FieldEdit, MaskShowsFillButKeepsText) {
  char buf[10] = "";
  push_keys("SECRET");
  push_keys("\r");
  field_edit(buf, 3, 5, 8, '*', "A-Z", "\r", FF_MASK);
  EXPECT_STREQ(buf, "SECRET");
  EXPECT_EQ(row(3).substr(4, 6), "******");
}

namespace {
std::string shadow_row_text(int r, int c, int n) {
  return std::string(reinterpret_cast<const char *>(shadow_chars) + (r - 1) * SCR_COLS + (c - 1), n);
}
std::string shadow_seen;
int note_shadow(KeyCode, int) {
  shadow_seen = shadow_row_text(3, 5, 6);
  return 0;
}
}  // namespace

// A screen print (F1) taken during an edit shows the field as typed.
TEST_F(FieldEdit, ShadowFollowsTheTyping) {
  hotkey_add(KEY_F1, note_shadow);
  char buf[10] = "";
  push_keys(("AB" + keys({KEY_F1}) + "\r").c_str());
  field_edit(buf, 3, 5, 6, '_', "A-Z", "\r", 2);
  EXPECT_EQ(shadow_seen, "AB____");
  EXPECT_EQ(shadow_row_text(3, 5, 6), "AB    ");
}

// The field left behind is the one the shadow holds: justified without fill
// characters, and a masked text stays masked through a full redraw.
TEST_F(FieldEdit, ResultIsDrawnAsAnyField) {
  char buf[10] = "AB";
  push_keys("\r");
  field_edit(buf, 3, 5, 5, '_', "A-Z", "\r", FF_KEEP | FF_PAD | FF_RIGHT | 2);
  EXPECT_EQ(row(3).substr(4, 5), "   AB");
  char secret[10] = "";
  push_keys("PW\r");
  field_edit(secret, 4, 5, 4, '*', "A-Z", "\r", FF_MASK);
  screen_redraw();
  EXPECT_EQ(row(4).substr(4, 4), "**  ");
  EXPECT_STREQ(secret, "PW");
}

TEST_F(FieldEdit, EditNumber) {
  uint16_t v = 1234;
  push_keys("\r");
  EXPECT_EQ(edit_number(&v, 2, 2, 5, '_', "\r", FF_KEEP), 13);
  EXPECT_EQ(v, 1234);
  // Past 16 bits: refused with the bell, the field stays with the text, and
  // the number typed over it is taken.
  int bells = mem_console_bells();
  push_keys("99999\r" "65535\r");
  EXPECT_EQ(edit_number(&v, 2, 2, 5, '_', "\r", FF_REPLACE), 13);
  EXPECT_EQ(v, 65535);
  EXPECT_EQ(mem_console_bells() - bells, 1);
  EXPECT_EQ(key_queue_count(), 0);
  push_keys("\x1b");
  edit_number(&v, 2, 2, 6, '_', "\r", FF_KEEP);
  EXPECT_EQ(v, 0);
  v = 65535;   // shown signed, and read back to the same 16 bits
  push_keys("\r");
  edit_number(&v, 2, 2, 6, '_', "\r", FF_KEEP);
  EXPECT_EQ(row(2).substr(1, 2), "-1");
  EXPECT_EQ(v, 65535);
  v = 42;      // a right-justified result starts with blanks
  push_keys("\r");
  edit_number(&v, 2, 2, 6, '_', "\r", FF_KEEP | FF_PAD | FF_RIGHT);
  EXPECT_EQ(v, 42);
}
