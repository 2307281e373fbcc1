// Terminal input bytes -> console key stream, with time passed in.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/console.h"
#include "platform/keyboard.h"
#include "printable.h"

namespace {

std::string K(uint8_t scan) { return std::string("\xE0", 1) + static_cast<char>(scan); }

std::string drain(KeyDecoder &kd) {
  std::string s(kd.out.begin(), kd.out.end());
  kd.out.clear();
  return s;
}

// Feeds a whole sequence at one instant, then lets any Esc settle.
std::string decode(const std::string &bytes, uint8_t erase = 0x7f) {
  KeyDecoder kd;
  kd.erase_byte = erase;
  for (char c : bytes) kd_feed(kd, static_cast<uint8_t>(c), 1000);
  kd_tick(kd, 1000 + ESC_SETTLE_MS);
  return drain(kd);
}

TEST(KeyDecoder, EveryKnownSequenceOfEveryTerminal) {
  struct Case {
    const char *seq;
    uint8_t scan;
  };
  const Case cases[] = {
      // F1-F4: xterm/tmux, Linux console, VT220/rxvt
      {"\x1bOP", 0x3B}, {"\x1bOQ", 0x3C}, {"\x1bOR", 0x3D}, {"\x1bOS", 0x3E},
      {"\x1b[[A", 0x3B}, {"\x1b[[B", 0x3C}, {"\x1b[[C", 0x3D}, {"\x1b[[D", 0x3E},
      {"\x1b[11~", 0x3B}, {"\x1b[12~", 0x3C}, {"\x1b[13~", 0x3D}, {"\x1b[14~", 0x3E},
      // F5-F10
      {"\x1b[15~", 0x3F}, {"\x1b[[E", 0x3F}, {"\x1b[17~", 0x40}, {"\x1b[18~", 0x41},
      {"\x1b[19~", 0x42}, {"\x1b[20~", 0x43}, {"\x1b[21~", 0x44},
      // arrows, normal and application mode
      {"\x1b[A", 0x48}, {"\x1b[B", 0x50}, {"\x1b[C", 0x4D}, {"\x1b[D", 0x4B},
      {"\x1bOA", 0x48}, {"\x1bOB", 0x50}, {"\x1bOC", 0x4D}, {"\x1bOD", 0x4B},
      // Home/End in all their forms, the editing keys
      {"\x1b[1~", 0x47}, {"\x1b[H", 0x47}, {"\x1bOH", 0x47}, {"\x1b[7~", 0x47},
      {"\x1b[4~", 0x4F}, {"\x1b[F", 0x4F}, {"\x1bOF", 0x4F}, {"\x1b[8~", 0x4F},
      {"\x1b[2~", 0x52}, {"\x1b[3~", 0x53}, {"\x1b[5~", 0x49}, {"\x1b[6~", 0x51},
      // modifiers: Ctrl-Home/End are keys of their own, Shift with a cursor
      // key is the key itself
      {"\x1b[1;5H", 0x77}, {"\x1b[1;5F", 0x75}, {"\x1b[7^", 0x77}, {"\x1b[8^", 0x75},
      {"\x1b[1;2A", 0x48}, {"\x1b[5;2~", 0x49}, {"\x1b[3;2~", 0x53}, {"\x1b[1;2H", 0x47},
  };
  for (const Case &c : cases)
    EXPECT_EQ(printable(decode(c.seq)), printable(K(c.scan))) << printable(c.seq);
}

TEST(KeyDecoder, OddInputDecodesWithoutLeakingSequenceBytes) {
  struct Case {
    const char *name;
    std::string in;
    std::string out;
  };
  const std::vector<Case> cases = {
      {"unknown CSI", "\x1b[99~a", "a"},
      {"terminal report", "\x1b[?1;2cb", "b"},
      {"unknown SS3", "\x1bOxc", "c"},
      {"unknown Linux-console key", "\x1b[[Zd", "d"},
      {"Ctrl-Right", "\x1b[1;5Ce", "e"},
      {"Shift-F5", "\x1b[15;2~f", "f"},
      {"Shift-F1", "\x1b[1;2Pg", "g"},
      {"overlong sequence", "\x1b[" + std::string(40, '1') + "~h", "h"},
      {"cut by Enter", "\x1b[1\r", "\r"},
      {"cut by another sequence", "\x1b[1\x1b[A", K(0x48)},
      {"UTF-8 letters", "\xC3\xA9j\xE2\x82\xACk", "jk"},
      {"NUL", std::string("\0l", 2), "l"},
      {"Ctrl-C, Ctrl-S, Ctrl-Q and the line editor's keys", "\x03\x13\x11\x01\x16\x19",
       "\x03\x13\x11\x01\x16\x19"},
      {"two keys in one read", "\x1b[A\x1b[Bz", K(0x48) + K(0x50) + "z"},
      {"Esc then a key, or Alt-x", "\x1bx\x1b\x03", "\x1bx\x1b\x03"},
      {"Esc Esc", "\x1b\x1b", "\x1b\x1b"},
      {"Esc Esc then a key", "\x1b\x1b[A", std::string("\x1b").append(K(0x48))},
      // Control strings: answers to queries and pieces of pastes, whole.
      {"title report ended by BEL", "\x1b]2;q\x07" "a", "a"},
      {"colour report ended by ST", "\x1b]11;rgb:0000/0000/0000\x1b\\b", "b"},
      {"status report (DCS)", "\x1bP1$r0;1m\x1b\\c", "c"},
      {"APC, PM and SOS", "\x1b_Gi=1;OK\x1b\\\x1b^q\x07\x1bXq\x1b\\d", "d"},
      {"Enter, Ctrl-C, UTF-8 and key-like bytes inside", "\x1b]2;caf\xC3\xA9\r\x03[A\x07" "e", "e"},
      {"cancelled by CAN", "\x1b]2;q\x18" "f", "f"},
      {"cut by a key sequence", "\x1b]2;q\x1b[Ag", K(0x48) + "g"},
      {"Esc inside, then a key: Esc starts anew", "\x1b]2;q\x1bxh", "\x1bxh"},
      {"Esc inside, then nothing", "\x1b]2;q\x1b", ""},
      {"longest string", "\x1b]" + std::string(MAX_CONTROL_STRING - 1, 'q') + "\x07i", "i"},
      {"too long: the rest are keys", "\x1bP" + std::string(MAX_CONTROL_STRING, 'q') + "jk", "jk"},
  };
  for (const Case &c : cases) EXPECT_EQ(printable(decode(c.in)), printable(c.out)) << c.name;
}

TEST(KeyDecoder, EraseByteIsBackspace) {
  EXPECT_EQ(decode("a\x7f"), "a\x08");
  EXPECT_EQ(decode("\x08", 0x7f), "\x08");
  // A terminal erasing with ^H: DEL is then an ordinary byte.
  EXPECT_EQ(decode("\x7f\x08", 0x08), "\x7f\x08");
}

TEST(KeyDecoder, LoneEscSettlesByTime) {
  KeyDecoder kd;
  EXPECT_EQ(kd_wait_ms(kd, 0), -1);
  kd_feed(kd, 0x1b, 100);
  EXPECT_EQ(kd_wait_ms(kd, 120), ESC_SETTLE_MS - 20);
  kd_tick(kd, 100 + ESC_SETTLE_MS - 1);
  EXPECT_TRUE(kd.out.empty());
  kd_tick(kd, 100 + ESC_SETTLE_MS);
  EXPECT_EQ(drain(kd), "\x1b");
  EXPECT_EQ(kd_wait_ms(kd, 200), -1);
}

TEST(KeyDecoder, SequenceSplitAcrossReadsWithinSettleTime) {
  KeyDecoder kd;
  kd_feed(kd, 0x1b, 0);
  kd_feed(kd, '[', 30);
  kd_tick(kd, 45);
  kd_feed(kd, 'A', 45);
  EXPECT_EQ(printable(drain(kd)), printable(K(0x48)));
}

TEST(KeyDecoder, LateBytesAfterEscAreTypedKeys) {
  KeyDecoder kd;
  kd_feed(kd, 0x1b, 0);
  kd_feed(kd, 'x', ESC_SETTLE_MS + 10);   // no tick in between: feeding settles
  EXPECT_EQ(drain(kd), "\x1bx");
}

TEST(KeyDecoder, ControlStringSplitAcrossReadsStaysWholeUntilItsBytesStop) {
  KeyDecoder kd;
  auto feed = [&kd](const std::string &bytes, uint64_t at) {
    for (char c : bytes) kd_feed(kd, static_cast<uint8_t>(c), at);
  };
  // A colour report arriving in pieces, together longer than the settle time.
  feed("\x1b]", 0);
  feed("11;rgb:ffff/", ESC_SETTLE_MS - 1);
  feed("ffff/ffff\x1b", 2 * ESC_SETTLE_MS - 2);
  kd_tick(kd, 3 * ESC_SETTLE_MS - 3);
  feed("\\q", 3 * ESC_SETTLE_MS - 3);
  EXPECT_EQ(drain(kd), "q");
  // Alt-] typed: the string stays open until its bytes stop, then keys
  // count again.
  feed("\x1b]", 1000);
  feed("x", 1000 + ESC_SETTLE_MS - 1);
  kd_tick(kd, 1000 + 2 * ESC_SETTLE_MS);
  EXPECT_EQ(kd_wait_ms(kd, 1000 + 2 * ESC_SETTLE_MS), -1);
  feed("y", 1000 + 2 * ESC_SETTLE_MS);
  EXPECT_EQ(drain(kd), "y");
}

TEST(KeyDecoder, CutSequenceIsDroppedAfterSettleTime) {
  KeyDecoder kd;
  for (char c : std::string("\x1b[1;")) kd_feed(kd, static_cast<uint8_t>(c), 0);
  EXPECT_EQ(kd_wait_ms(kd, 10), ESC_SETTLE_MS - 10);
  kd_tick(kd, ESC_SETTLE_MS);
  EXPECT_TRUE(kd.out.empty());
  kd_feed(kd, '5', ESC_SETTLE_MS + 1);
  kd_feed(kd, 'H', ESC_SETTLE_MS + 1);
  EXPECT_EQ(drain(kd), "5H");
}

TEST(MemoryKeyboard, FedBytesDecodeAndEmptyMeansEsc) {
  ASSERT_TRUE(pcon_open(CONSOLE_MEMORY));
  pkbd_feed("\x1b");
  pkbd_feed("\x1b[Bq");
  EXPECT_TRUE(pkbd_hit());
  EXPECT_EQ(pkbd_getch(), 27);
  EXPECT_EQ(pkbd_getch(), 0xE0);
  EXPECT_EQ(pkbd_getch(), 0x50);
  EXPECT_EQ(pkbd_getch(), 'q');
  EXPECT_FALSE(pkbd_hit());
  EXPECT_EQ(pkbd_getch(), 27);
  pkbd_feed("left over");
  pcon_open(CONSOLE_MEMORY);
  EXPECT_FALSE(pkbd_hit());
  pcon_close();
}

}  // namespace
