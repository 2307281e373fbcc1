// The BBS display's emulator where the comparison with pyte cannot reach:
// its answers to the far end, hostile and oversized strings, colours pyte
// keeps as flags, UTF-8 stand-ins, and the terminal's own texts in the middle
// of a device's sequence.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "term/vt_emulator.h"

namespace {

std::unique_ptr<VtEmulator> fed(const std::string &bytes, bool utf8 = false) {
  auto vt = std::make_unique<VtEmulator>();
  vte_reset(*vt, utf8);
  vte_feed(*vt, reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size());
  return vt;
}

std::unique_ptr<VtEmulator> fed_byte_by_byte(const std::string &bytes, bool utf8 = false) {
  auto vt = std::make_unique<VtEmulator>();
  vte_reset(*vt, utf8);
  for (char c : bytes) vte_feed(*vt, reinterpret_cast<const uint8_t *>(&c), 1);
  return vt;
}

std::string row(const VtEmulator &vt, int r) {
  std::string text;
  for (const VteCell &c : vt.cells[r]) text += static_cast<char>(c.ch);
  return text.substr(0, text.find_last_not_of(' ') + 1);
}

bool same_screen(const VtEmulator &a, const VtEmulator &b) {
  return memcmp(a.cells, b.cells, sizeof a.cells) == 0 && a.cursor.row == b.cursor.row &&
         a.cursor.col == b.cursor.col && a.cursor.attr == b.cursor.attr;
}

std::string repeat(const std::string &s, size_t n) {
  std::string out;
  out.reserve(s.size() * n);
  for (size_t i = 0; i < n; i++) out += s;
  return out;
}

TEST(TerminalEmulator, AnswersQueriesAsAVt220AndNothingElse) {
  struct Case {
    const char *what;
    std::string bytes;
    std::string answer;
  } cases[] = {
      {"cursor position", "\x1b[5;10H\x1b[6n", "\x1b[5;10R"},
      {"cursor position after the last column", std::string(80, 'x') + "\x1b[6n", "\x1b[1;80R"},
      {"cursor position in origin mode counts from the margin", "\x1b[5;20r\x1b[?6h\x1b[3;2H\x1b[6n", "\x1b[3;2R"},
      {"status", "\x1b[5n", "\x1b[0n"},
      {"primary device attributes", "\x1b[c\x1b[0c", "\x1b[?62;1;6c\x1b[?62;1;6c"},
      {"secondary device attributes", "\x1b[>c\x1b[>0c", "\x1b[>1;10;0c\x1b[>1;10;0c"},
      {"identify", "\x1bZ", "\x1b[?62;1;6c"},
      {"DECRQSS", "\x1bP$qm\x1b\\\x1bP$q\"p\x1b\\", ""},
      {"colour and clipboard queries", "\x1b]10;?\x07\x1b]52;c;?\x07\x1b]4;1;?\x1b\\", ""},
      {"window reports, version, modes, tertiary attributes", "\x1b[18t\x1b[14t\x1b[>q\x1b[?25$p\x1b[=c\x1b[?6n", ""},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(fed(c.bytes)->answers, c.answer);
    EXPECT_EQ(fed_byte_by_byte(c.bytes)->answers, c.answer);
  }
  // A device that asks without end gets as much as a port takes at once.
  EXPECT_LE(fed(repeat("\x1b[6n", 100000))->answers.size(), VTE_MAX_ANSWERS);
}

// Wrapped in text, each string leaves the screen as the text alone would,
// fed whole or byte by byte: nothing of it shows, nothing is answered.
TEST(TerminalEmulator, HostileStringsLeaveOnlyTheTextAroundThem) {
  struct Case {
    const char *what;
    std::string bytes;
  } cases[] = {
      {"title", "\x1b]0;owned\x07\x1b]2;owned\x1b\\"},
      {"clipboard", "\x1b]52;c;b3duZWQ=\x07"},
      {"DECRQSS and other DCS", "\x1bP$qm\x1b\\\x1bP1;1|17/ab\x1b\\"},
      {"APC, PM and SOS", "\x1b_Gf=1;AAAA\x1b\\\x1b^pm\x1b\\\x1bXsos\x1b\\"},
      {"modes of the user's terminal", "\x1b[?1000h\x1b[?2004h\x1b[?1l\x1b=\x1b>\x1b[?3h\x1b[?5h\x1b[?12h"},
      {"an OSC longer than 4 KB", "\x1b]0;" + std::string(5000, 'x') + "\x07"},
      {"an OSC of 1 MB", "\x1b]2;" + std::string(1 << 20, 'y') + "\x1b\\"},
      {"a DCS of 1 MB with 8-bit bytes", "\x1bP" + repeat("q#0;\xe9\x9c\x9b", 1 << 18) + "\x1b\\"},
      {"1 MB of CSI parameters", "\x1b[" + repeat("0;", 1 << 19) + "m"},
      {"a CSI parameter of many digits", "\x1b[" + std::string(1 << 16, '9') + "X"},
      {"a CSI with 1 MB of intermediates", "\x1b[1" + std::string(1 << 20, '$') + "p"},
  };
  const auto plain = fed("ab");
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    const std::string bytes = "a" + c.bytes + "b";
    for (bool utf8 : {false, true}) {
      auto whole = fed(bytes, utf8);
      EXPECT_TRUE(same_screen(*whole, *plain)) << "row 1: " << row(*whole, 0);
      EXPECT_EQ(whole->answers, "");
      if (bytes.size() < 100000) {
        EXPECT_TRUE(same_screen(*fed_byte_by_byte(bytes, utf8), *plain));
      }
    }
  }
}

// The colours pyte cannot tell apart: the console attribute of a character
// written after the SGR.
TEST(TerminalEmulator, RenditionsAsConsoleAttributes) {
  struct Case {
    const char *sgr;
    uint8_t attr;
  } cases[] = {
      {"", 0x17},            // light grey on blue
      {"31", 0x14},          // red: Windows bit order
      {"1;31", 0x1C},        // bold is intensity
      {"7", 0x71},           // reverse
      {"1;7", 0xF1},         // the intensity goes with the foreground it came with
      {"5", 0x97},           // blink is the background's intensity
      {"91", 0x1C},          // bright colours
      {"101;30", 0xC0},
      {"91;31", 0x14},       // a plain colour after a bright one is plain again
      {"38;5;196", 0x1C},    // 256 colours to the nearest of 16
      {"48;5;232;37", 0x07},
      {"38;2;255;255;255", 0x1F},
      {"38;2;0;0;0;48;2;0;0;238", 0x10},
      {"38;5;300", 0x17},    // no such colour: nothing changes
      {"38;5", 0x17},        // cut short
      {"38;2;1;2", 0x17},
      {"31;0", 0x17},
      {"31;39;41;49", 0x17},
      {"4;3;9", 0x17},       // underline, italics, crossed out: no look here
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.sgr);
    auto vt = fed(std::string("\x1b[") + c.sgr + "mX");
    EXPECT_EQ(vt->cells[0][0].attr, c.attr);
  }
}

TEST(TerminalEmulator, ScreensOfSequencesBeyondPyte) {
  struct Case {
    const char *what;
    std::string bytes;
    std::vector<std::string> rows;
    int cursor_row, cursor_col;
  } cases[] = {
      {"the alternate screen hides the main one and gives it back",
       "main\x1b[?1049h\x1b[2;2Halt\x1b[?1049lX", {"mainX"}, 0, 5},
      {"NEL is CR and LF", "ab\x1b" "Ecd", {"ab", "cd"}, 1, 2},
      {"HPA", "abcdef\x1b[3`X", {"abXdef"}, 0, 3},
      {"CSI s and u save and restore", "ab\x1b[s\x1b[3;3Hx\x1b[uY", {"abY", "", "  x"}, 0, 3},
      {"ED 3 wipes only a scroll-back", "keep\x1b[3J", {"keep"}, 0, 4},
      {"soft reset: region and modes, not the screen", "old\x1b[5;6r\x1b[4h\x1b[!p\x1b[Hnew", {"new"}, 0, 3},
      {"DECALN", "\x1b#8", {std::string(80, 'E'), std::string(80, 'E')}, 0, 0},
      {"UK set", "\x1b(A#\x1b(B#", {"\x9c#"}, 0, 2},
      {"scroll up and down", "1\r\n2\r\n3\x1b[S\x1b[2T", {"", "", "2", "3"}, 2, 1},
      {"line feed below the region moves down, does not scroll", "top\x1b[1;3r\x1b[5;1H\n\nx",
       {"top", "", "", "", "", "", "x"}, 6, 1},
      {"cursor up outside the region stops at the first row", "\x1b[10;20r\x1b[5;1H\x1b[9Aup", {"up"}, 0, 2},
      {"a region of one line is refused", "a\r\nb\r\nc\x1b[5;5r\x1b[1;1H\x1b[M", {"b", "c", ""}, 0, 0},
      {"controls inside a sequence act", "ab\x1b[\r2Cx", {"abx"}, 0, 3},
      {"CAN ends a sequence", "\x1b[3\x18" "1m", {"1m"}, 0, 2},
      {"8-bit byte cuts a sequence and shows", "\x1b[3\xb0m", {"\xb0m"}, 0, 2},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    auto vt = fed(c.bytes);
    for (size_t r = 0; r < c.rows.size(); r++) EXPECT_EQ(row(*vt, static_cast<int>(r)), c.rows[r]) << "row " << r + 1;
    EXPECT_EQ(vt->cursor.row, c.cursor_row);
    EXPECT_EQ(vt->cursor.col, c.cursor_col);
  }
}

TEST(TerminalEmulator, Utf8OrCodePage437AsTheSetupSays) {
  struct Case {
    const char *what;
    std::string bytes;
    bool utf8;
    std::string shown;   // code page 437 bytes
  } cases[] = {
      {"code page 437 takes each byte as its glyph", "caf\xc3\xa9 \xe2\x94\x80", false, "caf\xc3\xa9 \xe2\x94\x80"},
      {"UTF-8 to the code page 437 glyph", "caf\xc3\xa9 \xe2\x94\x80\xe2\x95\x91 \xc2\xbd", true, "caf\x82 \xc4\xba \xab"},
      {"a letter without its own glyph loses its accent", "\xc3\xa3\xc3\x95", true, "aO"},
      {"typographic quotes and dashes as ASCII", "\xe2\x80\x98q\xe2\x80\x99 \xe2\x80\x9cq\xe2\x80\x9d \xe2\x80\x94", true,
       "'q' \"q\" -"},
      {"nothing alike: a stand-in", "\xe2\x82\xac\xce\xb2", true, "??"},
      {"a wide character takes two cells", "\xe6\x97\xa5x", true, "? x"},
      {"a combining mark joins the letter before", "e\xcc\x81x", true, "ex"},
      {"C1 controls are not taken from UTF-8", "a\xc2\x9b" "31mb", true, "a31mb"},
      {"a character split across reads", "\xe2\x94", true, ""},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(row(*fed(c.bytes, c.utf8), 0), c.shown);
    EXPECT_EQ(row(*fed_byte_by_byte(c.bytes, c.utf8), 0), c.shown);
  }
}

// The terminal's messages come between the device's bytes: they are text
// whatever the device had begun, and the device's sequence goes on after.
TEST(TerminalEmulator, OwnTextIsTextInTheMiddleOfADeviceSequence) {
  auto vt = fed("\x1b[3");
  const char message[] = "HEX ON\n";
  vte_own_text(*vt, message, strlen(message));
  const std::string rest = "1mX\x1b]0;ti";
  vte_feed(*vt, reinterpret_cast<const uint8_t *>(rest.data()), rest.size());
  vte_own_text(*vt, message, strlen(message));
  vte_feed(*vt, reinterpret_cast<const uint8_t *>("tle\x07Y"), 5);
  EXPECT_EQ(row(*vt, 0), "HEX ON");
  EXPECT_EQ(row(*vt, 1), "XHEX ON");
  EXPECT_EQ(row(*vt, 2), "Y");
  EXPECT_EQ(vt->cells[1][0].attr, 0x14);   // the device's red
  EXPECT_EQ(vt->answers, "");
}

}  // namespace
