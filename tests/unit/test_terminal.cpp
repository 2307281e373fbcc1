// The terminal emulator's byte rules (display, hex lines) and its serial
// module on a pty pair.
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "pty_pair.h"
#include "term/nt_sio.h"
#include "term/term_display.h"
#include "term/vt_emulator.h"

using namespace nt_sio;

namespace {

struct Shown {
  std::string capture;
  VtEmulator screen;
  std::string row(int r) const {
    std::string text;
    for (const VteCell &c : screen.cells[r]) text += static_cast<char>(c.ch);
    return text.substr(0, text.find_last_not_of(' ') + 1);
  }
};

// The received bytes in the reads given; after the last one no byte comes
// within 100 ms.
std::unique_ptr<Shown> show(TermDisplay display, const std::vector<std::string> &reads) {
  auto out = std::make_unique<Shown>();
  vte_reset(out->screen, false);
  for (const std::string &r : reads)
    term_receive(display, out->screen, reinterpret_cast<const uint8_t *>(r.data()), r.size(), out->capture);
  std::string tail;
  term_display_cr_alone(display, tail);
  out->capture += tail;
  vte_feed(out->screen, reinterpret_cast<const uint8_t *>(tail.data()), tail.size());
  return out;
}

std::string repeat(const std::string &s, int n) {
  std::string out;
  for (int i = 0; i < n; i++) out += s;
  return out;
}

TEST(TerminalDisplay, ReceivedBytesAsCaptureAndScreenShowThem) {
  const TermDisplay debug{}, bbs{.bbs_mode = true}, hex{.hex_only = true}, bbs_hex{.bbs_mode = true, .hex_only = true};
  struct Case {
    const char *what;
    TermDisplay display;
    std::vector<std::string> reads;
    std::string capture;
    std::vector<std::string> rows;   // the screen's first rows
  } cases[] = {
      {"CR LF joined on one line", debug, {"AB\r\nC"}, "AB<0D><0A>\r\nC", {"AB<0D><0A>", "C"}},
      {"CR LF joined across two reads", debug, {"AB\r", "\nC"}, "AB<0D><0A>\r\nC", {"AB<0D><0A>", "C"}},
      {"a lone CR", debug, {"\r"}, "<0D>\r\n", {"<0D>"}},
      {"CR then text", debug, {"\rX"}, "<0D>\r\nX", {"<0D>", "X"}},
      {"CR then a control byte", debug, {"\r\x01"}, "<0D>\r\n<01>", {"<0D>", "<01>"}},
      {"CR then DEL stays visible", debug, {"\r\x7f"}, "<0D>\r\n<7F>", {"<0D>", "<7F>"}},
      {"CR CR LF: the second CR is the byte after the first", debug, {"\r\r\n"}, "<0D>\r\n<0D><0A>",
       {"<0D>", "<0D><0A>"}},
      {"non-ASCII and DEL bracketed", debug, {"\x80\x7f"}, "<80><7F>", {"<80><7F>"}},
      {"a bracket past column 77 starts a line", debug, {std::string(77, 'a') + "\x01"},
       std::string(77, 'a') + "\r\n<01>", {std::string(77, 'a'), "<01>"}},
      {"a bracket that fills the line ends it", debug, {std::string(76, 'a') + "\x01" + "b"},
       std::string(76, 'a') + "<01>b", {std::string(76, 'a') + "<01>", "b"}},
      {"an escape sequence is shown, never obeyed", debug, {"\x1b[2J\x1b]0;t\x07"}, "<1B>[2J<1B>]0;t<07>",
       {"<1B>[2J<1B>]0;t<07>"}},
      {"BBS: BEL never shown, sequences obeyed on screen and kept in the capture", bbs,
       {"a\x07" "b\r\n\x1b[31mred\x1b]0;t\x1b\\!"}, "ab\r\n\x1b[31mred\x1b]0;t\x1b\\!", {"ab", "red!"}},
      {"BBS: a BEL that ends a title is left out of the capture, the text after it shown", bbs,
       {"\x1b]0;t\x07x"}, "\x1b]0;tx", {"x"}},
      {"hex-only: a line break once past column 77", hex, {std::string(27, 'A')}, repeat(" 41", 26) + "\r\n 41",
       {repeat(" 41", 26), " 41"}},
      {"hex-only: CR is a byte like any other", hex, {"\r\n"}, " 0D 0A", {" 0D 0A"}},
      {"hex-only in BBS mode: the dump, not the bytes", bbs_hex, {"\x1b[2J"}, " 1B 5B 32 4A", {" 1B 5B 32 4A"}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    auto got = show(c.display, c.reads);
    EXPECT_EQ(got->capture, c.capture);
    for (size_t r = 0; r < c.rows.size(); r++) EXPECT_EQ(got->row(static_cast<int>(r)), c.rows[r]) << "row " << r + 1;
    EXPECT_EQ(got->row(static_cast<int>(c.rows.size())), "");
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
  // What has arrived, at once: nothing is short, else all of it.
  start = Clock::now();
  EXPECT_EQ(sio_read_ready(port, two, 2, &n), SIO_SHORT);
  EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(50));
  ASSERT_EQ(write(pty.master, "xyz", 3), 3);
  struct pollfd ready = {port->fd, POLLIN, 0};
  ASSERT_EQ(poll(&ready, 1, 1000), 1);
  uint8_t block[16];
  EXPECT_EQ(sio_read_ready(port, block, sizeof block, &n), SIO_OK);
  EXPECT_EQ(std::string(reinterpret_cast<char *>(block), static_cast<size_t>(n)), "xyz");

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

}  // namespace
