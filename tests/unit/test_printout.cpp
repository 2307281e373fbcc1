#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "config/printout.h"
#include "config_fixtures.h"

namespace {

std::string report(const ModemConfig &c) {
  char *data = nullptr;
  size_t size = 0;
  FILE *f = open_memstream(&data, &size);
  write_config_report(f, c, "09/Dec/26 23:30");
  std::fclose(f);
  std::string text(data, size);
  std::free(data);
  return text;
}

ModemConfig defaults() {
  build_default_config();
  return working_config;
}

bool has_line(const std::string &text, const std::string &line) {
  return text.find("\n" + line + "\n") != std::string::npos;
}

}  // namespace

TEST(Printout, DefaultConfigurationMatchesGolden) {
  std::string golden = read_text(std::string(ZL27T_SOURCE_DIR) + "/tests/unit/golden/default_printout.txt");
  ASSERT_FALSE(golden.empty());
  EXPECT_EQ(report(defaults()), golden);
}

TEST(Printout, Variants) {
  ModemConfig c = defaults();
  c.answer_rings = 1;
  EXPECT_TRUE(has_line(report(c), "        Auto Answer            after 1 ring "));

  c = defaults();
  c.password = 0xFFFF;   // not 0, so printed, though it reads as no password
  std::string text = report(c);
  EXPECT_TRUE(text.ends_with("\n        Answer Password        Not Required"));
  EXPECT_EQ(text.find("Password access"), std::string::npos);

  c = defaults();
  c.flags = CFG_PRIVATE_LINE | CFG_TWO_WIRE | CFG_MULTIDROP | CFG_TRANSPARENT | CFG_PORT_CRC | (1 << 7);
  c.password = 0xF123;
  c.escape_char = 200;
  c.cr_char = 10;
  text = report(c);
  EXPECT_TRUE(has_line(text, "        Line Type              Two Wire Multidrop"));
  EXPECT_TRUE(has_line(text, "        Port and Line Settings 9600  baud, NONE parity, CRC error check"));
  EXPECT_TRUE(has_line(text, "        Hayes operations are disabled in private line mode."));
  EXPECT_TRUE(has_line(text, "        Hayes Escape character 200"));
  EXPECT_TRUE(has_line(text, "        Hayes Carriage Return  10"));
  EXPECT_TRUE(has_line(text, "        Dialing parameters are not operational in private line mode."));
  EXPECT_EQ(text.find("Timing parameters"), std::string::npos);
  EXPECT_TRUE(has_line(text, "        Password only functional PSTN Auto Answer"));
  EXPECT_TRUE(text.ends_with("\n        Answer Password         123"));

  c = defaults();
  c.flags = CFG_AUTO_ANSWER_OFF;
  EXPECT_TRUE(has_line(report(c), "        Auto Answer            Disabled"));
}

TEST(Printout, OutOfTableValuesPrintInvalid) {
  ModemConfig c = defaults();
  c.port_rate = 16;
  c.line_rate = 65535;
  c.flags = CFG_PORT_PARITY | CFG_LINE_PARITY;   // parity code 3 on both sides
  std::string text = report(c);
  EXPECT_TRUE(has_line(text, "        Port Settings          INVALID baud, INVALID parity, BCC error check"));
  EXPECT_TRUE(has_line(text, "        Line Settings          INVALID baud, INVALID parity, BCC error check"));
}

TEST(Printout, ReportDateFormat) {
  struct tm t = {};
  t.tm_year = 126;
  t.tm_mon = 11;
  t.tm_mday = 9;
  t.tm_hour = 7;
  t.tm_min = 5;
  t.tm_isdst = -1;
  char text[48];
  report_date(text, sizeof text, mktime(&t));
  EXPECT_STREQ(text, "09/Dec/26 07:05");
}
