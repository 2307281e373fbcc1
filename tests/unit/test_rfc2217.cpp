// The RFC 2217 client codec byte for byte: the opening negotiation, the
// line settings and their answers, refusals both ways, IAC doubling and
// subnegotiations cut, split or overlong.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/rfc2217.h"

namespace {

using Bytes = std::vector<uint8_t>;
using namespace telnet;

Bytes take(Rfc2217Codec &c) {
  Bytes out(c.out, c.out + c.out_length);
  c.out_length = 0;
  return out;
}

// Fed one byte at a time when `split`, so every state boundary is crossed.
Bytes feed(Rfc2217Codec &c, const Bytes &in, bool split = false) {
  Bytes data(in.size() + 1);
  size_t k = 0;
  if (split) {
    for (uint8_t b : in) k += rfc2217_receive(c, &b, 1, data.data() + k);
  } else {
    k = rfc2217_receive(c, in.data(), in.size(), data.data());
  }
  data.resize(k);
  return data;
}

std::string note(const Rfc2217Codec &c) {
  char text[160];
  rfc2217_note(c, text, sizeof text);
  return text;
}

Bytes sb(uint8_t command, const Bytes &value) {
  Bytes b;
  b.reserve(value.size() + 6);
  for (uint8_t x : {uint8_t(IAC), uint8_t(SB), uint8_t(OPT_COM_PORT), command}) b.push_back(x);
  for (uint8_t x : value) b.push_back(x);
  b.push_back(IAC);
  b.push_back(SE);
  return b;
}

Bytes cat(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes &p : parts)
    for (uint8_t x : p) all.push_back(x);
  return all;
}

Rfc2217Line line_19200_e71() {
  Rfc2217Line l;
  l.baud = 19200;
  l.data_size = 7;
  l.parity = CPP_EVEN;
  l.stop_size = 1;
  l.flow = CPF_NONE;
  return l;
}

// The server's answers to every SET-* of a line.
Bytes answers(const Rfc2217Line &l) {
  return cat({sb(101, {uint8_t(l.baud >> 24), uint8_t(l.baud >> 16), uint8_t(l.baud >> 8), uint8_t(l.baud)}),
              sb(102, {l.data_size}), sb(103, {l.parity}), sb(104, {l.stop_size}), sb(105, {l.flow})});
}

TEST(Rfc2217Codec, OpensAndSendsTheLineOnceTheServerAgrees) {
  for (bool split : {false, true}) {
    SCOPED_TRACE(split ? "byte by byte" : "at once");
    Rfc2217Codec c;
    rfc2217_start(c);
    EXPECT_EQ(take(c), (Bytes{IAC, WILL, 0, IAC, DO, 0, IAC, WILL, 3, IAC, DO, 3, IAC, WILL, 44}));
    ASSERT_TRUE(rfc2217_set_line(c, line_19200_e71()));
    EXPECT_TRUE(take(c).empty()) << "held until the option is agreed";
    EXPECT_FALSE(rfc2217_settled(c));

    // The server agrees to all; only the COM-PORT-OPTION sets anything off.
    Bytes got = feed(c, {IAC, DO, 0, IAC, WILL, 0, IAC, DO, 3, IAC, WILL, 3, IAC, DO, 44}, split);
    EXPECT_TRUE(got.empty());
    Bytes expected = cat({sb(CPC_SET_BAUDRATE, {0x00, 0x00, 0x4B, 0x00}), sb(CPC_SET_DATASIZE, {7}),
                          sb(CPC_SET_PARITY, {CPP_EVEN}), sb(CPC_SET_STOPSIZE, {1}), sb(CPC_SET_CONTROL, {CPF_NONE}),
                          sb(CPC_SET_CONTROL, {CPF_DTR_ON}), sb(CPC_SET_CONTROL, {CPF_RTS_ON})});
    EXPECT_EQ(take(c), expected);
    EXPECT_FALSE(rfc2217_settled(c));
    EXPECT_EQ(note(c), "server did not confirm the line settings");

    // The answers to DTR and RTS on are no answer to the flow asked.
    feed(c, cat({sb(105, {CPF_DTR_ON}), sb(105, {CPF_RTS_ON})}), split);
    EXPECT_FALSE(rfc2217_settled(c));
    feed(c, answers(line_19200_e71()), split);
    EXPECT_TRUE(rfc2217_settled(c));
    EXPECT_EQ(note(c), "");
    EXPECT_TRUE(take(c).empty()) << "answers are not answered";

    // A change later goes out at once; a purge too.
    Rfc2217Line l = line_19200_e71();
    l.baud = 1200;
    l.flow = CPF_HARDWARE;
    rfc2217_set_line(c, l);
    Bytes later = take(c);
    EXPECT_EQ(Bytes(later.begin(), later.begin() + 10), sb(CPC_SET_BAUDRATE, {0, 0, 0x04, 0xB0}));
    EXPECT_EQ(Bytes(later.end() - 7, later.end()), sb(CPC_SET_CONTROL, {CPF_DTR_ON})) << "no RTS on under RTS/CTS";
    rfc2217_purge(c, PURGE_BOTH);
    EXPECT_EQ(take(c), sb(CPC_PURGE_DATA, {PURGE_BOTH}));
  }
}

TEST(Rfc2217Codec, RequestsAreAnsweredOnceAndUnknownOptionsRefused) {
  struct Case {
    const char *name;
    bool started;
    Bytes from_server;
    Bytes answer;
  } cases[] = {
      {"terminal type asked of us", true, {IAC, DO, 24}, {IAC, WONT, 24}},
      {"server offers echo", true, {IAC, WILL, 1}, {IAC, DONT, 1}},
      {"server offers to be a com-port client", true, {IAC, WILL, 44}, {IAC, DONT, 44}},
      {"agreement to what we asked", true, {IAC, WILL, 0, IAC, DO, 3}, {}},
      {"the same request again", true, {IAC, DO, 44, IAC, DO, 44}, {}},
      {"server asks first", false, {IAC, DO, 0, IAC, WILL, 3}, {IAC, WILL, 0, IAC, DO, 3}},
      {"refusals of what is off", false, {IAC, WONT, 1, IAC, DONT, 24, IAC, WONT, 0}, {}},
      {"an option turned off", false, {IAC, DO, 0, IAC, DONT, 0}, {IAC, WILL, 0, IAC, WONT, 0}},
  };
  for (const Case &k : cases) {
    SCOPED_TRACE(k.name);
    Rfc2217Codec c;
    if (k.started) rfc2217_start(c);
    take(c);
    EXPECT_TRUE(feed(c, k.from_server).empty());
    EXPECT_EQ(take(c), k.answer);
  }
}

TEST(Rfc2217Codec, ARefusedOptionLeavesATextAndSendsNothingMore) {
  Rfc2217Codec c;
  rfc2217_start(c);
  rfc2217_set_line(c, line_19200_e71());
  take(c);
  EXPECT_FALSE(rfc2217_settled(c));
  EXPECT_EQ(note(c), "server did not answer the COM-PORT-OPTION: line settings unconfirmed");
  feed(c, {IAC, DONT, 44});
  EXPECT_TRUE(take(c).empty()) << "a refusal of what was never on needs no answer";
  EXPECT_TRUE(rfc2217_settled(c)) << "nothing more will come";
  EXPECT_FALSE(rfc2217_set_line(c, line_19200_e71()));
  rfc2217_purge(c, PURGE_BOTH);
  EXPECT_TRUE(take(c).empty());
  EXPECT_EQ(note(c), "server refused the COM-PORT-OPTION: the far port keeps its own settings");
}

TEST(Rfc2217Codec, AnswersThatDifferAreNamed) {
  Rfc2217Codec c;
  rfc2217_start(c);
  feed(c, {IAC, DO, 44});
  rfc2217_set_line(c, line_19200_e71());
  take(c);
  Rfc2217Line far = line_19200_e71();
  far.baud = 9600;
  far.data_size = 8;
  far.parity = CPP_NONE;
  far.flow = CPF_HARDWARE;
  feed(c, answers(far));
  EXPECT_TRUE(rfc2217_settled(c));
  EXPECT_EQ(note(c),
            "far port at 9600 baud (asked 19200), 8 data bits (asked 7), parity none (asked even), "
            "RTS/CTS (asked no flow control)");
}

TEST(Rfc2217Codec, DataKeepsEveryByteAndLosesTheTelnetLayer) {
  struct Case {
    const char *name;
    Bytes in;
    Bytes data;
  } cases[] = {
      {"doubled IAC is one 0xFF", {0x41, IAC, IAC, 0x42, IAC, IAC}, {0x41, 0xFF, 0x42, 0xFF}},
      {"commands between data", {0x41, IAC, 241, 0x42, IAC, 249, 0x43}, {0x41, 0x42, 0x43}},
      {"negotiation between data", {0x10, IAC, WILL, 3, 0x02}, {0x10, 0x02}},
      {"a subnegotiation between data", cat({{0x01}, sb(106, {0x60}), {0x02}}), {0x01, 0x02}},
      {"a stray SE", {IAC, SE, 0x7F}, {0x7F}},
      {"CR and NUL stay as they are (binary)", {0x0D, 0x00, 0x0D, 0x0A}, {0x0D, 0x00, 0x0D, 0x0A}},
  };
  for (const Case &k : cases) {
    SCOPED_TRACE(k.name);
    for (bool split : {false, true}) {
      Rfc2217Codec c;
      EXPECT_EQ(feed(c, k.in, split), k.data);
    }
  }
  const Bytes out_data = {0xFF, 0x00, 0x10, 0xFF, 0xFF};
  uint8_t escaped[2 * 5];
  size_t n = rfc2217_escape(out_data.data(), out_data.size(), escaped);
  EXPECT_EQ(Bytes(escaped, escaped + n), (Bytes{0xFF, 0xFF, 0x00, 0x10, 0xFF, 0xFF, 0xFF, 0xFF}));
}

TEST(Rfc2217Codec, SubnegotiationsDoubledCutOrOverlong) {
  // A rate with 0xFF in it travels doubled both ways.
  Rfc2217Codec c;
  rfc2217_start(c);
  feed(c, {IAC, DO, 44});
  take(c);
  Rfc2217Line l = line_19200_e71();
  l.baud = 0x0000FFFF;
  rfc2217_set_line(c, l);
  Bytes sent = take(c);
  EXPECT_EQ(Bytes(sent.begin(), sent.begin() + 12), (Bytes{IAC, SB, 44, 1, 0, 0, IAC, IAC, IAC, IAC, IAC, SE}));
  feed(c, {IAC, SB, 44, 101, 0, 0, IAC, IAC, IAC, IAC, IAC, SE}, true);
  EXPECT_EQ(c.got.baud, 0x0000FFFFu);
  EXPECT_TRUE(c.answered & ANSWER_BAUD);

  // Cut off by a command: the command counts, the half answer does not.
  Rfc2217Codec cut;
  rfc2217_start(cut);
  take(cut);
  EXPECT_EQ(feed(cut, {IAC, SB, 44, 102, 8, IAC, DO, 24, 0x55}), (Bytes{0x55}));
  EXPECT_EQ(take(cut), (Bytes{IAC, WONT, 24}));
  EXPECT_FALSE(cut.answered & ANSWER_DATASIZE);

  // Longer than its buffer: dropped whole, the data after it kept.
  Rfc2217Codec big;
  Bytes longer = {IAC, SB, 44, 101};
  longer.insert(longer.end(), 40, 0x01);
  longer.insert(longer.end(), {IAC, SE, 0x33});
  EXPECT_EQ(feed(big, longer), (Bytes{0x33}));
  EXPECT_EQ(big.answered, 0);
}

}  // namespace
