// The dial string's register image and the flags as fetched.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "config/transfer.h"

namespace {

std::vector<std::pair<int, int>> packed(uint16_t pointer, const char *dial) {
  ModemConfig c{};
  c.number_pointer = pointer;
  strncpy(c.dial_string, dial, sizeof c.dial_string - 1);
  RegisterWrite w[DIAL_MAX_WRITES];
  int n = pack_dial_string(c, w);
  std::vector<std::pair<int, int>> out;
  for (int i = 0; i < n; i++) out.emplace_back(w[i].reg, w[i].value);
  return out;
}

}  // namespace

TEST(DialString, PackedTwoCharactersPerRegisterWithATerminatorWhenNeeded) {
  using W = std::vector<std::pair<int, int>>;
  struct Case {
    const char *what;
    uint16_t pointer;
    const char *dial;
    W writes;
  } cases[] = {
      {"odd length ends inside its last register", 100, "123", {{100, 0x3132}, {101, 0x3300}}},
      {"even length gets a zero register", 100, "1234", {{100, 0x3132}, {101, 0x3334}, {102, 0}}},
      {"empty string is just the terminator", 100, "", {{100, 0}}},
      {"pointer 0: nothing", 0, "123", {}},
      {"runs past 2048: stops there, no terminator", 2047, "12345", {{2047, 0x3132}, {2048, 0x3334}}},
      {"even length ending at 2048: no terminator", 2047, "1234", {{2047, 0x3132}, {2048, 0x3334}}},
      {"lowest register of the area", 10, "9", {{10, 0x3900}}},
      {"pointer past the area: nothing", 2049, "1", {}},
      // A pointer below 10 names configuration registers (1 flags, 3 port
      // rate, 5 the pointer); not even a terminator goes there.
      {"pointer 3: nothing", 3, "", {}},
      {"pointer 9: nothing", 9, "12", {}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(packed(c.pointer, c.dial), c.writes);
  }
}

TEST(DialString, LongestStringFitsWithItsTerminator) {
  std::string dial(39, '7');
  auto w = packed(100, dial.c_str());
  ASSERT_EQ(w.size(), 20u);   // 19 full registers and "7" + 0
  EXPECT_EQ(w.back(), std::make_pair(119, 0x3700));

  // An unterminated field from a file is read up to its 40 bytes only.
  ModemConfig c{};
  c.number_pointer = 100;
  memset(c.dial_string, '1', sizeof c.dial_string);
  RegisterWrite out[DIAL_MAX_WRITES];
  ASSERT_EQ(pack_dial_string(c, out), 21);
  EXPECT_EQ(out[19].reg, 119);
  EXPECT_EQ(out[20].reg, 120);
  EXPECT_EQ(out[20].value, 0);
}

TEST(FetchedFlags, MergeTakesEachBitFromItsRegisterAndNeverRinging) {
  struct Case {
    uint16_t reg1, reg2, flags;
  } cases[] = {
      {0xFFFF, 0x0000, 0x6042},   // bits 1, 6, 13, 14 from register 1
      {0x0000, 0xFFFF, 0x1FBD},   // the rest but 15 from register 2
      {0xFFFF, 0xFFFF, 0x7FFF},
      {0x8000, 0x8000, 0x0000},   // ring detect never becomes RINGING
      {0x0001, 0x0002, 0x0000},   // connect comes from status, bit 1 from control
      {0x0002, 0x0001, 0x0003},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(testing::Message() << std::hex << c.reg1 << " " << c.reg2);
    EXPECT_EQ(merge_fetched_flags(c.reg1, c.reg2), c.flags);
  }
}

TEST(TransferItems, ItemsOutsideOneToNineteenFailWithoutALink) {
  for (int item : {0, 20, -1}) {
    EXPECT_FALSE(send_item(item)) << item;
    EXPECT_FALSE(fetch_item(item)) << item;
  }
}
