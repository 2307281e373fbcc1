#include <gtest/gtest.h>

#include <cstring>

#include "config/modem_config.h"

TEST(ConfigRecord, ImageIsLittleEndianAndKeepsReservedBytes) {
  build_default_config();
  ModemConfig c = working_config;
  c.flags = 0x1234;
  c.guard_time = 0xBEEF;
  std::strcpy(c.dial_string, "9,T1");
  c.reserved_s1[0] = 0x11;
  c.reserved_s9_s10[3] = 0x22;
  for (size_t i = 0; i < sizeof c.reserved; ++i) c.reserved[i] = static_cast<uint8_t>(0xA0 + i);

  uint8_t image[MODEM_CONFIG_SIZE];
  config_to_bytes(c, image);
  EXPECT_EQ(image[0], 0x34);
  EXPECT_EQ(image[1], 0x12);
  EXPECT_EQ(image[2], 13);   // port_rate 9600
  EXPECT_EQ(image[8], '9');
  EXPECT_EQ(image[58], 0x11);
  EXPECT_EQ(image[60], '+');
  EXPECT_EQ(image[77], 0x22);
  EXPECT_EQ(image[80], 0xEF);
  EXPECT_EQ(image[81], 0xBE);
  EXPECT_EQ(image[82], 0xA0);
  EXPECT_EQ(image[121], 0xA0 + 39);

  ModemConfig back{};
  config_from_bytes(image, back);
  EXPECT_EQ(std::memcmp(&back, &c, sizeof c), 0);
}

TEST(ConfigRecord, DefaultRecord) {
  std::memset(&working_config, 0xFF, sizeof working_config);
  build_default_config();
  uint8_t image[MODEM_CONFIG_SIZE];
  config_to_bytes(working_config, image);
  const uint8_t expected_words[][2] = {
      {0, 0}, {2, 13}, {4, 14}, {6, 0}, {48, 0}, {50, 2}, {52, 100}, {54, 100}, {56, 3},
      {60, 43}, {62, 13}, {64, 10}, {66, 8}, {68, 2}, {70, 30}, {72, 2}, {78, 95}, {80, 50},
  };
  for (auto [offset, value] : expected_words) {
    EXPECT_EQ(image[offset] | image[offset + 1] << 8, value) << "offset " << int(offset);
  }
  for (int i = 8; i < 48; ++i) EXPECT_EQ(image[i], 0) << i;
  for (int i : {58, 59, 74, 75, 76, 77}) EXPECT_EQ(image[i], 0) << i;
  for (int i = 82; i < 122; ++i) EXPECT_EQ(image[i], 0) << i;
}

TEST(ConfigRecord, PasswordText) {
  struct Case {
    uint16_t value;
    const char *text;
  } cases[] = {
      {0x0000, "Not Required"},
      {0xFFFF, "Not Required"},
      {0x1234, "1234"},
      {0xFF12, "  12"},
      {0xF1F2, " 1D2"},    // only leading 15s become spaces
      {0x1F00, "1D00"},
      {0xABCD, "*#AB"},
      {0x0090, "0090"},
      {0xFFF0, "   0"},
  };
  for (const Case &c : cases) EXPECT_STREQ(password_text(c.value), c.text) << std::hex << c.value;
}

TEST(ConfigRecord, TableTextsNeverIndexOutOfRange) {
  EXPECT_STREQ(baud_text(0), "50   ");
  EXPECT_STREQ(baud_text(3), "134.5");
  EXPECT_STREQ(baud_text(15), "19200");
  EXPECT_STREQ(baud_text(16), "INVALID");
  EXPECT_STREQ(baud_text(65535), "INVALID");
  EXPECT_STREQ(parity_text(3), "INVALID");
  EXPECT_STREQ(parity_text(4), "INVALID");
}
