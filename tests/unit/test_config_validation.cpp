#include <gtest/gtest.h>

#include <cstring>

#include "config/modem_config.h"
#include "config_fixtures.h"

class Validation : public ConfigUiTest {};

TEST_F(Validation, FirstFailureShowsItsMessageAndMovesTheField) {
  struct Case {
    const char *what;
    void (*change)(ModemConfig &);
    const char *message;   // nullptr: valid
    uint16_t field;        // current_field afterwards (starts at 1)
  } cases[] = {
      {"default", [](ModemConfig &) {}, nullptr, 1},
      {"port rate 3", [](ModemConfig &c) { c.port_rate = 3; }, "Invalid port rate 3", 7},
      {"port rate 16", [](ModemConfig &c) { c.port_rate = 16; }, "Invalid port rate 16", 7},
      {"port rate 5", [](ModemConfig &c) { c.port_rate = 5; }, nullptr, 1},
      {"line rate 0", [](ModemConfig &c) { c.line_rate = 0; }, nullptr, 1},
      {"line rate 6", [](ModemConfig &c) { c.line_rate = 6; }, "Invalid line rate 6", 10},
      {"line rate 15", [](ModemConfig &c) { c.line_rate = 15; }, "Invalid line rate 15", 10},
      {"line rate 65535", [](ModemConfig &c) { c.line_rate = 65535; }, "Invalid line rate 65535", 10},
      {"threshold 4", [](ModemConfig &c) { c.carrier_threshold = 4; }, "Invalid threshold 4", 25},
      {"multidrop Sy/Max on PSTN", [](ModemConfig &c) { c.flags = CFG_MULTIDROP; },
       "Multidtrop not allowed with Sy/Max", 1},
      {"multidrop transparent on PSTN", [](ModemConfig &c) { c.flags = CFG_MULTIDROP | CFG_TRANSPARENT; },
       "Multidrop not allowed with PSTN", 1},
      {"multidrop transparent private line",
       [](ModemConfig &c) { c.flags = CFG_MULTIDROP | CFG_TRANSPARENT | CFG_PRIVATE_LINE; }, nullptr, 1},
      {"pointer 9", [](ModemConfig &c) { c.number_pointer = 9; }, "Number pointer 9 out of range", 14},
      {"pointer 10", [](ModemConfig &c) { c.number_pointer = 10; }, nullptr, 1},
      {"pointer 2048", [](ModemConfig &c) { c.number_pointer = 2048; }, nullptr, 1},
      {"pointer 2049", [](ModemConfig &c) { c.number_pointer = 2049; }, "Number pointer 2049 out of range", 14},
      {"dial 9 space 1", [](ModemConfig &c) { std::strcpy(c.dial_string, "9 1"); }, "Invalid dialing digit", 15},
      {"dial byte 200", [](ModemConfig &c) { c.dial_string[0] = static_cast<char>(200); },
       "Invalid dialing digit", 15},
      {"port and line both bad", [](ModemConfig &c) { c.port_rate = 0, c.line_rate = 6; },
       "Invalid port rate 0", 7},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    build_default_config();
    ModemConfig record = working_config;
    c.change(record);
    current_field = 1;
    pictures.clear();
    key_queue_reset();
    push_keys(K_SEE_BOX);
    bool ok = validate_config(record);
    EXPECT_EQ(ok, c.message == nullptr);
    EXPECT_EQ(current_field, c.field);
    if (c.message) {
      ASSERT_EQ(pictures.size(), 1u);
      EXPECT_NE(pic_row(0, 23).find(c.message), std::string::npos) << pic_row(0, 23);
      EXPECT_EQ(key_queue_count(), 0);
    } else {
      EXPECT_EQ(key_queue_count(), 2);   // no box took the keys
    }
  }
}

TEST_F(Validation, DialStringLettersAreUpperCasedInPlace) {
  build_default_config();
  ModemConfig record = working_config;
  std::strcpy(record.dial_string, "9,t123w");
  EXPECT_TRUE(validate_config(record));
  EXPECT_STREQ(record.dial_string, "9,T123W");

  std::strcpy(record.dial_string, "!#*,;[]0123456789ABCDPRTWabcdprtw");
  EXPECT_TRUE(check_dial_string(record));
  EXPECT_STREQ(record.dial_string, "!#*,;[]0123456789ABCDPRTWABCDPRTW");

  // A field filled to the end without a terminator is checked within it.
  std::memset(record.dial_string, 'w', sizeof record.dial_string);
  EXPECT_TRUE(check_dial_string(record));
  EXPECT_EQ(record.dial_string[39], 'W');
  EXPECT_EQ(record.password, 0);
}
