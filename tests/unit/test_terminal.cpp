// The terminal emulator's byte rules (display, BBS filter, hex lines), its
// serial module on a pty pair, and the direct output of the memory console.
#include <gtest/gtest.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "platform/console.h"
#include "pty_pair.h"
#include "term/nt_sio.h"
#include "term/term_display.h"

using namespace nt_sio;

namespace {

// Received bytes one after another; the byte after a CR is whatever comes
// next in the list ("nothing within 100 ms" at its end).
struct Received {
  std::string bytes;
  size_t at = 0;
  static int next(void *self) {
    auto *r = static_cast<Received *>(self);
    return r->at < r->bytes.size() ? static_cast<uint8_t>(r->bytes[r->at++]) : -1;
  }
};

struct Shown {
  std::string capture, screen;
};

Shown show(TermDisplay display, const std::string &bytes) {
  Received in{bytes};
  BbsFilter filter;
  Shown out;
  while (in.at < in.bytes.size())
    term_receive(display, filter, static_cast<uint8_t>(in.bytes[in.at++]), Received::next, &in, out.capture,
                 out.screen);
  return out;
}

std::string repeat(const std::string &s, int n) {
  std::string out;
  for (int i = 0; i < n; i++) out += s;
  return out;
}

TEST(TerminalDisplay, ReceivedBytesAsScreenAndCaptureShowThem) {
  const TermDisplay debug{}, bbs{.bbs_mode = true}, hex{.hex_only = true}, bbs_hex{.bbs_mode = true, .hex_only = true};
  struct Case {
    const char *what;
    TermDisplay display;
    std::string received;
    std::string capture;
    std::string screen;   // empty: as the capture
  } cases[] = {
      {"CR LF joined on one line", debug, "AB\r\nC", "AB<0D><0A>\r\nC", ""},
      {"a lone CR", debug, "\r", "<0D>\r\n", ""},
      {"CR then text", debug, "\rX", "<0D>\r\nX", ""},
      {"CR then a control byte", debug, "\r\x01", "<0D>\r\n<01>", ""},
      {"CR then DEL stays visible", debug, "\r\x7f", "<0D>\r\n<7F>", ""},
      {"non-ASCII and DEL bracketed", debug, "\x80\x7f", "<80><7F>", ""},
      {"a bracket past column 77 starts a line", debug, std::string(77, 'a') + "\x01",
       std::string(77, 'a') + "\r\n<01>", ""},
      {"a bracket that fills the line ends it", debug, std::string(76, 'a') + "\x01" + "b",
       std::string(76, 'a') + "<01>b", ""},
      {"BBS: BEL never shown, CR LF as they are", bbs, "a\x07" "b\r\n", "ab\r\n", ""},
      {"BBS: sequences kept in the capture, filtered on screen", bbs, "\x1b]0;t\x1b\\x\x1b[31m\x1b[?25l",
       "\x1b]0;t\x1b\\x\x1b[31m\x1b[?25l", "x\x1b[31m"},
      {"BBS: a BEL that ends a title is dropped, the text after it shown", bbs, "\x1b]0;t\x07x",
       "\x1b]0;tx", "x"},
      {"hex-only: a line break once past column 77", hex, std::string(27, 'A'), repeat(" 41", 26) + "\r\n 41", ""},
      {"hex-only: CR is a byte like any other", hex, "\r\n", " 0D 0A", ""},
      {"hex-only in BBS mode: the dump, not the bytes", bbs_hex, "\x1b]", " 1B 5D", ""},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    Shown got = show(c.display, c.received);
    EXPECT_EQ(got.capture, c.capture);
    EXPECT_EQ(got.screen, c.screen.empty() ? c.capture : c.screen);
  }
}

std::string filtered(const std::vector<std::string> &reads) {
  BbsFilter f;
  std::string out;
  for (const std::string &r : reads) bbs_filter(f, reinterpret_cast<const uint8_t *>(r.data()), r.size(), out);
  return out;
}

TEST(TerminalDisplay, BbsFilterPassesTextColoursAndMovesOnly) {
  struct Case {
    const char *what;
    std::vector<std::string> reads;
    std::string screen;
  } cases[] = {
      {"OSC title ended by BEL", {"a\x1b]0;owned\x07" "b"}, "ab"},
      {"OSC title ended by ST", {"a\x1b]2;owned\x1b\\b"}, "ab"},
      {"OSC split across reads", {"x\x1b]0;ow", "ned\x07y"}, "xy"},
      {"OSC cut short by a new sequence", {"\x1b]0;t\x1b[31mx"}, "\x1b[31mx"},
      {"DCS", {"\x1bP$q\"p\x1b\\z"}, "z"},
      {"APC and PM", {"\x1b_Gf=1;AAAA\x1b\\\x1b^pm\x1b\\k"}, "k"},
      {"mouse reporting", {"\x1b[?1000h"}, ""},
      {"alternate screen off", {"\x1b[?1049l"}, ""},
      {"status report and window size", {"\x1b[6n\x1b[8;50;200t\x1b[c"}, ""},
      {"cursor style and soft reset", {"\x1b[2 q\x1b[!p"}, ""},
      {"scroll-back wipe", {"\x1b[3J"}, ""},
      {"reset, charset, keypad mode", {"\x1b" "c\x1b(0q\x1b=\x1b#8"}, "q"},
      {"SGR kept", {"\x1b[1;31mred\x1b[0m"}, "\x1b[1;31mred\x1b[0m"},
      {"SGR split across reads", {"\x1b[3", "8;5;208mo"}, "\x1b[38;5;208mo"},
      {"erasing and cursor moves kept", {"\x1b[2J\x1b[H\x1b[10;5H\x1b[3A\x1b[K\x1b[s\x1b[u"},
       "\x1b[2J\x1b[H\x1b[10;5H\x1b[3A\x1b[K\x1b[s\x1b[u"},
      {"over-long CSI dropped", {"\x1b[" + std::string(40, '1') + "m."}, "."},
      {"CAN aborts a sequence", {"\x1b[31\x18m"}, "m"},
      {"other controls and DEL dropped", {"\x05\x0e\x0f" "a\x7f\x1b"}, "a"},
      {"TAB, BS, CR, LF kept", {"\t\b\r\n"}, "\t\b\r\n"},
      {"8-bit bytes are characters", {"\x9b\x9d\xb0"}, "\x9b\x9d\xb0"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(filtered(c.reads), c.screen);
  }
}

TEST(TerminalDisplay, HexLinesSendTheirBytes) {
  struct Case {
    const char *line;
    std::string bytes;
    int invalid;
  } cases[] = {
      {"  0a 1B", std::string("\x0a\x1b"), -1},       // leading blanks skipped
      {"A  B", std::string("\x0a\x00\x0b", 3), -1},   // two blanks: a 0 between
      {"123", "\x23", -1},                            // the last two digits count
      {"1G", "", 0x47},
      {"41 4G 42", "A", 0x47},                        // sent before the fault stays sent
      {"1B 5B 41 ", "\x1b[A", -1},                    // a trailing blank adds nothing
      {"   ", "", -1},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.line);
    HexSend h = hex_parse(c.line);
    EXPECT_EQ(h.bytes, c.bytes);
    EXPECT_EQ(h.invalid, c.invalid);
  }
}

TEST(NtSio, OpenReportsWhyAPortCannotBeHad) {
  PtyPair pty;
  ASSERT_FALSE(pty.path.empty());
  SioPort *a = nullptr, *b = nullptr;
  ASSERT_EQ(sio_open(pty.path.c_str(), SIO_MODE_READ_WRITE, &a), SIO_OK);
  EXPECT_EQ(sio_open(pty.path.c_str(), SIO_MODE_READ_WRITE, &b), SIO_IN_USE);
  EXPECT_EQ(b, nullptr);
  EXPECT_EQ(sio_close(a), SIO_OK);
  EXPECT_EQ(sio_open(pty.path.c_str(), SIO_MODE_READ_WRITE, &b), SIO_OK);
  EXPECT_EQ(sio_close(b), SIO_OK);
  EXPECT_EQ(sio_open("/nonexistent/ttyZZ", SIO_MODE_READ_WRITE, &b), SIO_NO_PORT);
  EXPECT_EQ(sio_open("", SIO_MODE_READ_WRITE, &b), SIO_NO_PORT);
  EXPECT_EQ(sio_open("/dev/null", SIO_MODE_READ_WRITE, &b), SIO_FAILED);   // no line to set
  EXPECT_EQ(sio_close(nullptr), SIO_BAD_HANDLE);
}

TEST(NtSio, MovesBytesAndTimesOutShort) {
  using Clock = std::chrono::steady_clock;
  PtyPair pty;
  SioPort *port = nullptr;
  ASSERT_EQ(sio_open(pty.path.c_str(), SIO_MODE_READ_WRITE, &port), SIO_OK);
  _setuart(port, 19200, 8, 1, UART_NONE, 0);

  uint8_t b = 0;
  int n = -1;
  auto start = Clock::now();
  EXPECT_EQ(sio_read(port, 10, &b, 1, &n), SIO_SHORT);   // nothing within 100 ms
  EXPECT_EQ(n, 0);
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(90));
  // The shortest wait (the terminal's poll between keys) waits too: cut to
  // 0 it would spin the processor while nothing comes.
  start = Clock::now();
  EXPECT_EQ(sio_read(port, 0, &b, 1, &n), SIO_SHORT);
  EXPECT_GE(Clock::now() - start, std::chrono::microseconds(900));

  ASSERT_EQ(write(pty.master, "\x03Z", 2), 2);
  uint8_t two[2];
  EXPECT_EQ(sio_read(port, 0, two, 2, &n), SIO_OK);
  EXPECT_EQ(std::string(reinterpret_cast<char *>(two), 2), "\x03Z");

  EXPECT_EQ(sio_write(port, -1, reinterpret_cast<const uint8_t *>("\x1bOP"), 3, &n), SIO_OK);
  char got[8] = {};
  EXPECT_EQ(read(pty.master, got, sizeof got), 3);
  EXPECT_STREQ(got, "\x1bOP");

  // The far end gone: the poll fails without spinning and says so.
  close(pty.master);
  pty.master = -1;
  start = Clock::now();
  EXPECT_NE(sio_read(port, 5, &b, 1, &n), SIO_OK);
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(40));
  EXPECT_EQ(sio_close(port), SIO_OK);
}

TEST(NtSio, SetuartAppliesTheTerminalsLineSettings) {
  PtyPair pty;
  SioPort *port = nullptr;
  ASSERT_EQ(sio_open(pty.path.c_str(), SIO_MODE_READ_WRITE, &port), SIO_OK);
  _setuart(port, 14400, 8, 2, UART_NONE, 0);   // a rate without a B-constant
  struct termios t;
  ASSERT_EQ(tcgetattr(port->fd, &t), 0);
  EXPECT_TRUE(t.c_cflag & CSTOPB);
  EXPECT_FALSE(t.c_iflag & (IXON | IXOFF));
  EXPECT_FALSE(t.c_cflag & CRTSCTS);
  EXPECT_FALSE(t.c_lflag & (ICANON | ECHO));   // raw: every byte as it is
  EXPECT_EQ(sio_close(port), SIO_OK);
}

TEST(NtSio, SetuartFailureEndsTheProgramWithStatus1) {
  SioPort closed;   // fd -1: its state cannot be read
  EXPECT_EXIT(_setuart(&closed, 9600, 8, 1, UART_NONE, 0), testing::ExitedWithCode(1),
              "");
}

TEST(TerminalConsole, DirectOutputTurnsAutowrapOnUntilItEnds) {
  ASSERT_TRUE(pcon_open(CONSOLE_MEMORY));
  EXPECT_FALSE(mem_console_autowrap());
  uint8_t before[] = {'x'};
  pcon_direct_write(before, 1);   // not begun: nothing goes out
  pcon_direct_begin();
  EXPECT_TRUE(mem_console_autowrap());
  uint8_t bytes[] = {'A', 0x80, '\r', '\n'};
  pcon_direct_write(bytes, 4);
  pcon_direct_end();
  EXPECT_FALSE(mem_console_autowrap());
  EXPECT_EQ(mem_console_direct(), "A\x80\r\n");
  pcon_close();
}

}  // namespace
