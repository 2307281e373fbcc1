// Form engine on the memory console, driven by scripted keys.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "forms/forms.h"
#include "ui_fixture.h"
#include "platform/console.h"
#include "ui/keys.h"
#include "ui/screen.h"
#include "ui/ui.h"

namespace {

std::string row_text(int row) { return mem_console_row_text(row - 1); }


int exit_status = -1;
void record_exit(int status) { exit_status = status; }

// Refuses values above 20 and clamps them, as the register viewer's checks do.
int at_most_20(void *value, int, FormField *) {
  auto *v = static_cast<uint16_t *>(value);
  if (*v <= 20) return 1;
  *v = 20;
  return 0;
}

class Forms : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(ui_init(CONSOLE_MEMORY));
    mem_console_log().clear();
  }
  void TearDown() override { ui_shutdown(); }
};

const char TERMINATORS[] = {KEY_ENTER, KEY_ESC, char(KEY_DOWN), char(KEY_UP), 0};

struct AcceptCase {
  const char *name;
  int16_t type;
  std::string keys;
  FormValidator validator;
  KeyCode key;            // returned
  const char *value;      // the stored value as format_value shows it
  bool alert;             // "Unacceptable format of data" shown
};

TEST_F(Forms, AcceptFieldByDataType) {
  const std::string F10 = keys({KEY_F10});
  const AcceptCase cases[] = {
      {"unsigned past 16 bits refused, the field stays as typed", 2, "70000\r" + keys({KEY_BACKSPACE}) + "\r",
       nullptr, KEY_ENTER, "7000", false},
      {"past 16 bits left with Down is refused too", 2, keys({'9', '9', '9', '9', '9', '9', KEY_DOWN, KEY_CLEAR}) + "5\r",
       nullptr, KEY_ENTER, "5", false},
      {"past 16 bits ended with Esc stores nothing", 2, "70000\x1b", nullptr, KEY_ESC, "0", false},
      {"unsigned empty refused, then typed", 2, "\r" + F10 + "5\r", nullptr, KEY_ENTER, "5", true},
      {"negative type accepts empty", -2, "\r", nullptr, KEY_ENTER, "0", false},
      {"empty left with Down is refused but left", 2, keys({KEY_DOWN}) + F10, nullptr, KEY_DOWN,
       "0", true},
      {"Esc still stores the typed value", 2, "12\x1b", nullptr, KEY_ESC, "12", false},
      {"validator refuses and clamps, Enter edits again", 2, "25\r" "7\r", at_most_20, KEY_ENTER,
       "7", false},
      {"validator refusal left with Up keeps the clamp", 2, keys({'2', '5', KEY_UP}), at_most_20,
       KEY_UP, "20", false},
      {"text", 1, "Ab c\r", nullptr, KEY_ENTER, "Ab c", false},
      {"text empty refused", 1, "\r" + F10 + "x\r", nullptr, KEY_ENTER, "x", true},
      {"negative text accepts empty", -1, "\r", nullptr, KEY_ENTER, "", false},
      {"number list", 28, "1, 2,,3\r", nullptr, KEY_ENTER, "1,2,3", false},
  };
  for (const AcceptCase &c : cases) {
    SCOPED_TRACE(c.name);
    mem_console_log().clear();
    alignas(8) char storage[64] = {};
    FormField field{5, 10, 6, c.type, storage, nullptr, c.validator, 2};
    push_keys(c.keys.c_str());
    EXPECT_EQ(AcceptField(&field, TERMINATORS, 0), c.key);
    char shown[64];
    ASSERT_TRUE(format_value(shown, sizeof shown, storage, c.type, 6));
    EXPECT_STREQ(shown, c.value);
    EXPECT_EQ(log_has("Unacceptable format of data"), c.alert);
    EXPECT_EQ(key_queue_count(), 0);
  }
}

TEST_F(Forms, AcceptFieldRedisplaysWithZeroPad) {
  uint16_t v = 7;
  FormField field{3, 1, 4, 2, &v, nullptr, nullptr, FF_ZERO_PAD};
  push_keys("42\r");
  AcceptField(&field, TERMINATORS, 0);
  EXPECT_EQ(v, 42);
  EXPECT_EQ(row_text(3).substr(0, 5), "4200 ");
}

// A number too wide for its field (from the setup file) shows cut; passing
// through it leaves it exactly as it was, and an edit takes what was typed.
TEST_F(Forms, ValueWiderThanItsFieldPassesThroughUnchanged) {
  struct Case {
    const char *name;
    uint16_t start;
    std::string keys;
    FieldFlags flags;
    uint16_t after;
  } cases[] = {
      {"Enter", 40000, "\r", FF_KEEP, 40000},
      {"Down with replace", 15702, keys({KEY_DOWN}), FF_KEEP | FF_REPLACE, 15702},
      {"edited", 40000, keys({KEY_BACKSPACE}) + "\r", FF_KEEP, 400},
      {"typed over", 40000, "5\r", FF_KEEP | FF_REPLACE, 5},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    uint16_t v = c.start;
    FormField field{3, 1, 4, DT_UNSIGNED, &v, nullptr, nullptr, 2};
    push_keys(c.keys.c_str());
    AcceptField(&field, TERMINATORS, c.flags);
    EXPECT_EQ(v, c.after);
    EXPECT_EQ(key_queue_count(), 0);
  }
}

TEST_F(Forms, IllegalDataTypeAlertsThenExitsWithZero) {
  auto saved = form_exit_hook;
  form_exit_hook = record_exit;
  exit_status = -1;
  uint16_t v = 0;
  for (int16_t type : {3, 23, 27, 29, -40}) {
    SCOPED_TRACE(type);
    exit_status = -1;
    mem_console_log().clear();
    FormField field{5, 10, 4, type, &v, nullptr, nullptr, 0};
    push_keys(keys({KEY_F10}).c_str());
    AcceptField(&field, TERMINATORS, 0);
    EXPECT_TRUE(log_has("Illegal DataType code passed to AcceptField"));
    EXPECT_EQ(exit_status, 0);
  }
  form_exit_hook = saved;
}

TEST_F(Forms, ChoiceSelectKeyRules) {
  const char *const three[] = {"ONE", "TWO", "THREE", nullptr};
  struct Case {
    std::string keys;
    uint16_t start;
    uint16_t index;
  } cases[] = {
      {"Y\r", 0, 1},                                  // Y is next
      {"N\r", 1, 0},                                  // N is previous
      {"+++\r", 0, 2},                                // + stops at the last
      {"--\r", 1, 0},                                 // - stops at the first
      {"  \r", 1, 0},                                 // space wraps
      {keys({KEY_LEFT, KEY_ENTER}), 0, 2},            // Left wraps backwards
      {keys({KEY_RIGHT, 'x', KEY_ENTER}), 2, 0},      // other keys ignored
      {"\r", 7, 1},                                   // a stored index beyond the list wraps
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.keys);
    uint16_t index = c.start;
    push_keys(c.keys.c_str());
    EXPECT_EQ(choice_select(8, 5, three, &index, "\r", 2), KEY_ENTER);
    EXPECT_EQ(index, c.index);
  }
  EXPECT_EQ(row_text(8).substr(4, 5), "TWO  ");
}

TEST_F(Forms, ChoicesOutsideTheListShowInvalid) {
  const char *const ports[] = {"ttyS0", "ttyUSB0", nullptr};
  choice_show(9, 46, ports, 1, 7, 2);
  EXPECT_EQ(row_text(9).substr(45, 7), "ttyUSB0");
  choice_show(9, 46, ports, 2, 7, 2);
  EXPECT_EQ(row_text(9).substr(45, 7), "INVALID");
  choice_show(9, 46, ports, -1, 7, 2);
  EXPECT_EQ(row_text(9).substr(45, 7), "INVALID");

  // An empty port list: nothing to choose, the stored index is left alone.
  const char *const none[] = {nullptr};
  uint16_t port = 3;
  FormField field{10, 46, 7, 0, &port, none, nullptr, 2};
  form_show_field(&field, 0);
  EXPECT_EQ(row_text(10).substr(45, 7), "INVALID");
  push_keys(keys({' ', KEY_DOWN}).c_str());
  EXPECT_EQ(AcceptField(&field, TERMINATORS, 0), KEY_DOWN);
  EXPECT_EQ(port, 3);
}

// A choice list ending in an action ("Remote..."): never shown as a value,
// chosen it runs the field's check, which may store a new value; given up,
// the earlier value stays and the choice runs again.
int action_answer = 0;
int action_runs = 0;
int run_action(void *value, int, FormField *) {
  action_runs++;
  if (action_answer) memcpy(value, &action_answer, sizeof(uint16_t));
  return action_answer != 0;
}

TEST_F(Forms, AChoiceListsLastActionRunsTheCheckInsteadOfBeingStored) {
  const char *const ports[] = {"ttyS0", "ttyUSB0", "ttyUSB1", "Remote...", nullptr};
  uint16_t port = 3;   // as stale as an index can be: the action's place
  FormField field{10, 46, 9, DT_CHOICE, &port, ports, run_action, ATTR_FIELD | FF_CHOICE_ACTION};
  form_show_field(&field, 0);
  EXPECT_EQ(row_text(10).substr(45, 9), "INVALID  ");
  struct Case {
    std::string keys;
    int answer;
    uint16_t start, want;
    int runs;
  } cases[] = {
      {keys({KEY_RIGHT, KEY_ENTER}), 2, 0, 1, 0},                        // an ordinary choice
      {keys({KEY_LEFT, KEY_ENTER}), 2, 0, 2, 1},                         // the action stores 2
      {keys({KEY_LEFT, KEY_DOWN}), 1, 0, 1, 1},                          // any key but Esc runs it
      {keys({KEY_LEFT, KEY_LEFT, KEY_ENTER, KEY_RIGHT, KEY_ENTER}), 0, 1, 2, 1},   // given up: choose again
      {keys({KEY_LEFT, KEY_ESC}), 2, 0, 0, 0},                           // Esc on it: nothing runs
      {keys({KEY_ENTER}), 0, 3, 0, 0},                                   // a stale index starts on a value
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.keys);
    port = c.start;
    action_answer = c.answer;
    action_runs = 0;
    push_keys(c.keys.c_str());
    AcceptField(&field, TERMINATORS, 0);
    EXPECT_EQ(port, c.want);
    EXPECT_EQ(action_runs, c.runs);
    EXPECT_EQ(row_text(10).substr(45, 9), std::string(ports[c.want]) + std::string(9 - strlen(ports[c.want]), ' '));
  }
}

TEST_F(Forms, NumberListEditor) {
  struct Case {
    const char *typed;
    uint16_t count;
    uint16_t first, last;
    const char *shown;
  } cases[] = {
      {"1, 2,,3", 3, 1, 3, "1,2,3"},
      {"1,2,3,4,5,6,7,8,9", 8, 1, 8, "1,2,3,4,5,6,7,8"},
      {"", 0, 0, 0, "NONE"},
      {"70000\r\xb9", 1, 7000, 7000, "7000"},   // past 16 bits refused, then corrected
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.typed);
    NumberList list{2, {9, 9}};
    push_keys((std::string(c.typed) + "\r").c_str());
    EXPECT_EQ(number_list_edit(17, 46, &list, 0), KEY_ENTER);
    ASSERT_EQ(list.count, c.count);
    if (c.count) {
      EXPECT_EQ(list.numbers[0], c.first);
      EXPECT_EQ(list.numbers[c.count - 1], c.last);
    }
    std::string shown = row_text(17).substr(45, 31);
    EXPECT_EQ(shown, (c.shown + std::string(31, ' ')).substr(0, 31));
  }
}

TEST_F(Forms, NumberListKeepsOnEscAndClampsCount) {
  NumberList list{2, {201, 5}};
  push_keys(keys({'7', KEY_ESC}).c_str());
  EXPECT_EQ(number_list_edit(17, 46, &list, FF_KEEP), KEY_ESC);
  EXPECT_EQ(list.count, 2);
  EXPECT_EQ(list.numbers[0], 201);

  // A count from a damaged setup file never reads past the eight slots.
  NumberList bad{300, {1, 2, 3, 4, 5, 6, 7, 8}};
  number_list_show(18, 1, &bad, 0);
  EXPECT_EQ(row_text(18).substr(0, 16), "1,2,3,4,5,6,7,8 ");
  push_keys("\r");
  number_list_edit(18, 1, &bad, FF_KEEP);
  EXPECT_EQ(bad.count, 8);

  // Too long for the field: Enter on the text as shown loses no number.
  NumberList big{8, {10000, 10001, 10002, 10003, 10004, 10005, 10006, 10007}};
  push_keys("\r");
  number_list_edit(18, 1, &big, FF_KEEP);
  EXPECT_EQ(big.count, 8);
  EXPECT_EQ(big.numbers[7], 10007);
}

TEST_F(Forms, FormRunLeavesAtTheEnds) {
  uint16_t a = 1, b = 2, c = 3;
  FormField fields[] = {
      {5, 10, 4, 2, &a, nullptr, nullptr, 0},
      {6, 10, 4, 2, &b, nullptr, nullptr, 0},
      {7, 10, 4, 2, &c, nullptr, nullptr, 0},
  };
  const char terms[] = {KEY_ENTER, KEY_ESC, 0};
  push_keys(keys({KEY_UP}).c_str());
  EXPECT_EQ(form_run(fields, 0, 2, 0, terms, FF_KEEP), KEY_UP);
  push_keys(keys({KEY_DOWN, KEY_DOWN, KEY_DOWN}).c_str());
  EXPECT_EQ(form_run(fields, 0, 2, 0, terms, FF_KEEP), KEY_DOWN);
  push_keys(keys({'8', KEY_ENTER, KEY_ENTER, KEY_ENTER}).c_str());
  EXPECT_EQ(form_run(fields, 0, 2, 0, terms, FF_KEEP | FF_REPLACE), KEY_ENTER);
  EXPECT_EQ(a, 8);
  EXPECT_EQ(b, 2);
  EXPECT_EQ(c, 3);
  EXPECT_EQ(key_queue_count(), 0);
}

TEST_F(Forms, ShowLabelsClearsFromFirstRow) {
  put_field("keep", 2, 1, 0, ' ', 0);
  put_field("gone", 12, 1, 0, ' ', 0);
  const FormLabel labels[] = {{8, 30, "Connection type", 0}, {9, 41, "Port", 0}, {0, 0, nullptr, 0}};
  form_show_labels(labels);
  EXPECT_EQ(row_text(2).substr(0, 4), "keep");
  EXPECT_EQ(row_text(12).substr(0, 4), "    ");
  EXPECT_EQ(row_text(8).substr(29, 15), "Connection type");
  EXPECT_EQ(row_text(9).substr(40, 4), "Port");
}

}  // namespace
