// Parameter editor on the memory console: keys scripted with push_keys.
#include <gtest/gtest.h>

#include "ui_fixture.h"

#include <cstring>
#include <string>

#include "config/modem_config.h"
#include "editor/param_editor.h"
#include "platform/console.h"
#include "ui/keys.h"
#include "ui/screen.h"
#include "ui/ui.h"
#include "ui/window.h"

namespace {

std::string row_text(int row) { return mem_console_row_text(row - 1); }
std::string cells(int row, int col, int n) { return row_text(row).substr(col - 1, n); }


class Editor : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(ui_init(CONSOLE_MEMORY));
    build_default_config();
    memory_config = working_config;
    defaults = working_config;
    config_dirty = 0;
    current_field = 1;
    online_mode = false;
    exit_request = false;
    changed_items = 0;
    mem_console_log().clear();
  }
  void TearDown() override { ui_shutdown(); }
  ModemConfig defaults;
};

TEST_F(Editor, TypedEditPathCopiesBackAndMarksDirty) {
  push_keys(keys({KEY_DOWN, KEY_DOWN, KEY_DOWN, '+',              // Port BPS 9600 -> 14400
                  KEY_DOWN, KEY_DOWN, KEY_DOWN, KEY_RIGHT,        // to the dial string
                  '9', ',', 't', '1', KEY_ENTER,
                  KEY_HOME, KEY_DOWN, KEY_RIGHT, '7', KEY_DOWN,   // answer rings, then Down
                  KEY_ESC})
                 .c_str());
  offline_editor();

  ModemConfig expected = defaults;
  expected.port_rate = 14;
  std::strcpy(expected.dial_string, "9,T1");
  expected.answer_rings = 7;
  EXPECT_EQ(std::memcmp(&memory_config, &expected, sizeof expected), 0);
  EXPECT_EQ(std::memcmp(&working_config, &memory_config, sizeof expected), 0);
  EXPECT_EQ(config_dirty, 1);
  EXPECT_EQ(current_field, 6);   // Down from answer rings
  EXPECT_EQ(key_queue_count(), 0);

  EXPECT_EQ(cells(5, 1, 18), "Communication Mode");
  EXPECT_EQ(cells(6, 60, 5), "7    ");
  EXPECT_EQ(cells(9, 20, 5), "14400");
  EXPECT_EQ(cells(3, 62, 18), "Press F2 for help.");
  EXPECT_EQ(hotkey_remove(KEY_F2), 0);   // removed on the way out
}

TEST_F(Editor, NoNetChangeLeavesDirtyFlagAlone) {
  push_keys(keys({KEY_DOWN, KEY_UP, '+', '-', KEY_ESC}).c_str());
  offline_editor();
  EXPECT_EQ(config_dirty, 0);
  EXPECT_EQ(std::memcmp(&memory_config, &defaults, sizeof defaults), 0);

  // Reserved bytes loaded from a file go through the editor untouched.
  memory_config.reserved[39] = 1;
  push_keys(keys({KEY_ESC}).c_str());
  offline_editor();
  EXPECT_EQ(config_dirty, 0);
  EXPECT_EQ(memory_config.reserved[39], 1);
}

TEST_F(Editor, InvalidValueShowsMessageOnEveryKeyAndStillExits) {
  push_keys(keys({KEY_END, KEY_UP, KEY_RIGHT, KEY_RIGHT,   // carrier detect
                  '9', KEY_ENTER, KEY_F10,                   // entry ends: message
                  KEY_F10,                                   // Enter as a command: again
                  KEY_ESC, KEY_F10})
                 .c_str());
  offline_editor();
  EXPECT_TRUE(log_has("Invalid threshold 9"));
  EXPECT_EQ(current_field, 25);
  EXPECT_EQ(memory_config.carrier_threshold, 9);
  EXPECT_EQ(config_dirty, 1);
  EXPECT_EQ(key_queue_count(), 0);
}

TEST_F(Editor, ChoiceRules) {
  struct Case {
    int field;
    uint16_t ModemConfig::*member;
    uint16_t start;
    KeyCode key;
    uint16_t expected;
  } cases[] = {
      {10, &ModemConfig::line_rate, 14, '+', 5},
      {10, &ModemConfig::line_rate, 5, '-', 14},
      {10, &ModemConfig::line_rate, 7, '-', 5},
      {10, &ModemConfig::line_rate, 9, ' ', 11},
      {10, &ModemConfig::line_rate, 0, '+', 5},
      {7, &ModemConfig::port_rate, 15, '+', 5},
      {7, &ModemConfig::port_rate, 5, '-', 15},
      {7, &ModemConfig::port_rate, 300, '-', 15},
      {8, &ModemConfig::flags, 0x0000, '+', 0x0080},   // EVEN -> NONE
      {8, &ModemConfig::flags, 0x0000, '-', 0x0100},   // EVEN -> ODD
      {11, &ModemConfig::flags, 0x0400, '+', 0x0000},  // ODD -> EVEN
      {3, &ModemConfig::flags, 0x0000, '+', 0x0010},
      {13, &ModemConfig::flags, 0x0040, '-', 0x0000},
      {1, &ModemConfig::flags, 0x0008, '-', 0x0000},
      {1, &ModemConfig::flags, 0x0000, '-', 0x0008},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(testing::Message() << "field " << c.field << " from " << c.start);
    working_config = defaults;
    working_config.*c.member = c.start;
    current_field = static_cast<uint16_t>(c.field);
    push_keys(keys({KEY_F10}).c_str());   // closes a validation message, if any
    edit_key(c.key);
    key_queue_reset();
    EXPECT_EQ(working_config.*c.member, c.expected);
  }
}

TEST_F(Editor, ConnectionCycle) {
  working_config.flags = CFG_TRANSPARENT;   // multidrop needs Transparent
  current_field = 2;
  const struct {
    uint16_t bits;
    const char *text;
    const char *multidrop;
  } steps[] = {
      {CFG_PRIVATE_LINE, "Four Wire", "         "},
      {CFG_PRIVATE_LINE | CFG_TWO_WIRE, "Two Wire ", "         "},
      {CFG_PRIVATE_LINE | CFG_MULTIDROP, "Four Wire", "Multidrop"},
      {CFG_PRIVATE_LINE | CFG_TWO_WIRE | CFG_MULTIDROP, "Two Wire ", "Multidrop"},
      {0, "PSTN     ", "         "},
  };
  const uint16_t mask = CFG_PRIVATE_LINE | CFG_TWO_WIRE | CFG_MULTIDROP;
  for (const auto &s : steps) {
    edit_key('+');
    draw_values();
    EXPECT_EQ(working_config.flags & mask, s.bits);
    EXPECT_EQ(cells(5, 51, 9), s.text);
    EXPECT_EQ(cells(5, 61, 9), s.multidrop);
  }
  edit_key('-');
  EXPECT_EQ(working_config.flags & mask, CFG_PRIVATE_LINE | CFG_TWO_WIRE | CFG_MULTIDROP);

  // PSTN with the off-hook bit steps into the cycle.
  working_config.flags = CFG_TRANSPARENT | CFG_TWO_WIRE;
  edit_key('+');
  EXPECT_EQ(working_config.flags & mask, CFG_PRIVATE_LINE | CFG_TWO_WIRE);
  EXPECT_EQ(key_queue_count(), 0);
}

TEST_F(Editor, KeysWithoutMeaningOnTheFieldBeep) {
  int bells = mem_console_bells();
  current_field = 7;
  edit_key('5');   // a digit on a choice field
  current_field = 4;
  edit_key('+');   // + on a number field
  EXPECT_EQ(mem_console_bells(), bells + 2);
  EXPECT_EQ(std::memcmp(&working_config, &defaults, sizeof defaults), 0);
}

TEST_F(Editor, TypedEntries) {
  // The first key starts the entry ahead of keys still queued.
  current_field = 4;
  push_keys(keys({'2', KEY_ESC}).c_str());
  edit_key('1');
  EXPECT_EQ(working_config.answer_rings, 12);
  EXPECT_TRUE(exit_request);   // Esc ended the entry, then the editor

  current_field = 19;
  draw_values();
  EXPECT_EQ(cells(16, 60, 7), "1000 mS");
  push_keys(keys({'9', '0', KEY_ENTER}).c_str());
  edit_key('9');
  EXPECT_EQ(working_config.guard_time, 49);
  draw_values();
  EXPECT_EQ(cells(16, 60, 7), "980 mS ");

  current_field = 26;
  push_keys(keys({'2', 'a', 'b', KEY_ENTER}).c_str());
  edit_key('1');
  EXPECT_EQ(working_config.password, 0x12CD);
  draw_values();
  EXPECT_EQ(cells(21, 20, 12), "12AB        ");

  // A password shown with leading blanks survives an entry left unchanged.
  working_config.password = 0xFF12;
  push_keys(keys({KEY_ENTER}).c_str());
  edit_key('P');
  EXPECT_EQ(working_config.password, 0xFF12);

  std::strcpy(working_config.dial_string, "555");
  current_field = 15;
  edit_key(KEY_DEL);
  draw_values();
  EXPECT_EQ(working_config.dial_string[0], 0);
  EXPECT_EQ(cells(13, 40, 5), "NONE ");
  edit_key(KEY_DEL);
  current_field = 26;
  edit_key(KEY_DEL);
  EXPECT_EQ(working_config.password, 0);
  EXPECT_EQ(key_queue_count(), 0);
}

TEST_F(Editor, EntryLeftAsShownKeepsAValueWiderThanItsDigits) {
  // Guard time 1000 ms does not fit the 3-digit entry; a key the field
  // refuses opens the entry on the cut text, and Enter must not store it.
  current_field = 19;
  push_keys(keys({KEY_ENTER}).c_str());
  edit_key('#');
  EXPECT_EQ(working_config.guard_time, 50);
  working_config.answer_rings = 1234;
  current_field = 4;
  push_keys(keys({KEY_ENTER}).c_str());
  edit_key('P');
  EXPECT_EQ(working_config.answer_rings, 1234);
  // Typed digits still replace the value.
  push_keys(keys({'2', KEY_ENTER}).c_str());
  edit_key('1');
  EXPECT_EQ(working_config.answer_rings, 12);
}

TEST_F(Editor, HelpOpensOnF2AndLeavesNoKeyBehind) {
  push_keys(keys({KEY_F2, 'x', KEY_ESC}).c_str());
  last_key = 'q';
  offline_editor();
  EXPECT_TRUE(log_has("PARAMETER EDITOR HELP"));
  EXPECT_TRUE(log_has("Type ESC to exit offline parameter editor."));
  EXPECT_FALSE(log_has("Type F7 to connect or F8 to hangup."));
  EXPECT_EQ(last_key, 0);
  EXPECT_EQ(win_stack_depth(), 0);
  EXPECT_EQ(key_queue_count(), 0);   // a question under the help would take a key as its answer
}

TEST_F(Editor, OnlineTrackingMarksChangedItems) {
  online_mode = true;
  current_field = 7;
  edit_key('+');                     // port_rate: item 2
  current_field = 19;
  push_keys(keys({'0', KEY_ENTER}).c_str());
  edit_key('2');                     // guard_time: item 19
  EXPECT_EQ(changed_items, (1u << 1) | (1u << 18));

  // A change made while the record is invalid is not tracked.
  changed_items = 0;
  working_config.carrier_threshold = 9;
  current_field = 3;
  push_keys(keys({KEY_F10}).c_str());
  edit_key('+');
  EXPECT_EQ(changed_items, 0u);
  online_mode = false;
}

int sent_item = 0;
int record_send(int item) {
  sent_item = item;
  return 1;
}

TEST_F(Editor, OnlineSwitchToTransparentAsksWritesAndLeaves) {
  online_mode = true;
  editor_send_item = record_send;
  current_field = 1;
  push_keys("n");
  edit_key('+');
  EXPECT_EQ(working_config.flags & CFG_TRANSPARENT, 0);
  EXPECT_FALSE(exit_request);
  EXPECT_TRUE(log_has("Changing to Transparent will disconnect session. Proceed?"));

  push_keys("y");
  edit_key('+');
  EXPECT_NE(working_config.flags & CFG_TRANSPARENT, 0);
  EXPECT_EQ(sent_item, 1);
  EXPECT_TRUE(exit_request);
  EXPECT_EQ(changed_items, 0u);   // written already, not left for the loop
  editor_send_item = nullptr;
  online_mode = false;
}

}  // namespace
