// Sy/Max requests byte for byte, routes, transaction numbers, and the reply
// checks of read, write and input read against an in-process far end.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>

#include "config/transfer.h"
#include "editor/online.h"
#include "link/link.h"
#include "link/link_setup.h"
#include "proto/modbus_msg.h"
#include "proto/symax.h"
#include "symax_test_util.h"

namespace {

Bytes data_of(const Packet &p) { return Bytes(p.data, p.data + p.length); }

TEST(SymaxMessages, RequestsByteForByte) {
  Packet p{};
  symax_build_read(&p, 0x21, 1, 10, false);
  EXPECT_EQ(data_of(p), (Bytes{0x00, 0x21, 0x00, 0x00, 0x00, 0x09}));
  symax_build_read(&p, 0x21, 8176, 13, false);
  EXPECT_EQ(data_of(p), (Bytes{0x00, 0x21, 0x3F, 0xDE, 0x00, 0x0C}));
  symax_build_read(&p, 0x05, 8176, 13, true);
  EXPECT_EQ(data_of(p), (Bytes{0x20, 0x05, 0, 0, 0, 0x3F, 0xDE, 0x00, 0x0C}));
  uint16_t v = 0x1234;
  symax_build_write(&p, 0x33, 2, 1, &v, false);
  EXPECT_EQ(data_of(p), (Bytes{0x02, 0x33, 0x00, 0x02, 0x12, 0x34, 0xFF, 0xFF}));
  symax_build_write(&p, 0x33, 2, 1, &v, true);
  EXPECT_EQ(data_of(p), (Bytes{0x1E, 0x33, 0x00, 0x00, 0x02, 0x12, 0x34}));
  symax_build_read_input(&p, 8176, 13);
  EXPECT_EQ(data_of(p), (Bytes{0x22, 0xBA, 0xD5, 0x00, 0x04, 0x1F, 0xEF, 0x00, 0x0D}));
  uint16_t many[128];
  for (int i = 0; i < 128; i++) many[i] = static_cast<uint16_t>(0x1000 + i);
  symax_build_write(&p, 0, 16257, 128, many, false);
  EXPECT_EQ(p.length, 262);
  EXPECT_EQ(p.data[260], 0xFF);
  EXPECT_EQ(p.data[4], 0x10);
}

TEST(SymaxMessages, RoutesEncodeAndCheck) {
  uint8_t a[PACKET_ADDRESS_SIZE];
  const uint16_t route[] = {201, 1};
  symax_encode_route(route, 2, a);
  EXPECT_EQ(Bytes(a, a + 6), (Bytes{'C', '9', '0', '1', 0xFF, 0xFF}));
  EXPECT_TRUE(symax_route_ok(a));

  // Net-to-net: user route [5] becomes [105, 5]; the user's first drop is
  // marked when a request goes out.
  HandLink h;
  const uint16_t block5[9] = {1, 5};
  ASSERT_TRUE(serial_set_route(h.link, 1, block5));
  EXPECT_EQ(h.link->route_count, 2);
  EXPECT_EQ(h.link->route[0], 105);
  const uint16_t block150[9] = {1, 150};
  ASSERT_TRUE(serial_set_route(h.link, 1, block150));
  EXPECT_EQ(h.link->route[0], 50);
  EXPECT_EQ(h.link->route[1], 150);
  const uint16_t block8[9] = {8, 1, 2, 3, 4, 5, 6, 7, 8};
  EXPECT_FALSE(serial_set_route(h.link, 1, block8));
  const uint16_t marked[] = {105, 5 | 0x8000};
  symax_encode_route(marked, 2, a);
  EXPECT_EQ(Bytes(a, a + 6), (Bytes{'6', '9', 0xB0, '5', 0xFF, 0xFF}));
  EXPECT_TRUE(symax_route_ok(a));

  const uint16_t eight[] = {1, 2, 3, 4, 5, 6, 7, 0xFF};
  symax_encode_route(eight, 8, a);
  EXPECT_EQ(a[14], 'F');
  EXPECT_EQ(a[16], 0xFF);
  EXPECT_EQ(a[17], 0xFF);

  struct {
    Bytes address;
    bool ok;
  } checks[] = {
      {{0xFF}, true},
      {{'c', '9', 0xFF}, true},
      {{'C', 0xFF}, false},
      {{'G', '1', 0xFF}, false},
      {Bytes(18, '1'), false},
  };
  for (auto &c : checks) {
    uint8_t buf[PACKET_ADDRESS_SIZE] = {};
    memcpy(buf, c.address.data(), c.address.size());
    EXPECT_EQ(symax_route_ok(buf), c.ok) << c.address.size();
  }
}

TEST(SymaxMessages, TransactionBytesWrap) {
  HandLink h;
  uint8_t first = symax_next_transaction(h.link);
  for (int i = 1; i < 256; i++) EXPECT_NE(symax_next_transaction(h.link), first);
  EXPECT_EQ(symax_next_transaction(h.link), first);   // the 257th
  h.link->priority = 1;
  uint8_t p0 = symax_next_transaction(h.link);
  EXPECT_LT(p0, 64);
  for (int i = 1; i < 64; i++) EXPECT_NE(symax_next_transaction(h.link), p0);
  EXPECT_EQ(symax_next_transaction(h.link), p0);   // every 64 with priority
}

TEST(SymaxMessages, ErrorTables) {
  EXPECT_STREQ(symax_error_text(0), "No Error");
  EXPECT_STREQ(symax_error_text(16), "Register Count Too Large");
  EXPECT_STREQ(symax_error_text(135), "Error Noted During A Transfer");
  EXPECT_STREQ(symax_error_text(137), "Bad send or status buffer size");
  EXPECT_STREQ(symax_error_text(172), "Command can't be cancelled");
  EXPECT_STREQ(symax_error_text(136), "Unknown Error");
  EXPECT_STREQ(symax_error_text(255), "Unknown Error");
  EXPECT_STREQ(symax_error_text(100000), "Unknown Error");
  EXPECT_STREQ(modbus_exception_text(1), "ILLEGAL FUNCTION");
  EXPECT_STREQ(modbus_exception_text(11), "DOWNSTREAM DEVICE DIDN'T RESPOND");
  EXPECT_STREQ(modbus_exception_text(12), "NO FREE MASTER PATH");
  EXPECT_EQ(modbus_exception_text(0), nullptr);
  EXPECT_EQ(modbus_exception_text(13), nullptr);
}

// ---- Reply checks against a far end played inside the idle callback ----

struct FarEnd {
  LinkHandle *link = nullptr;
  Bytes request;   // data of the request seen
  std::function<Bytes(const Bytes &request)> reply;
  Bytes route = {'C', '9'};
  bool answered = false;
};
FarEnd far_end;

// Pulls the request frame off the transmit side, acknowledges it and feeds
// the reply frame into the receive side, as the reader thread would.
int far_end_idle(int) {
  if (far_end.answered) return 1;
  far_end.answered = true;
  LinkHandle *link = far_end.link;
  std::lock_guard<std::mutex> g(link->lock);
  Bytes wire = drain_tx(link);
  // Unframe: data between DLE STX and DLE ETX, doubled DLEs undone.
  size_t i = 0;
  while (i + 1 < wire.size() && !(wire[i] == 0x10 && wire[i + 1] == 0x02)) i++;
  Bytes data;
  for (i += 2; i + 1 < wire.size(); i++) {
    if (wire[i] == 0x10 && wire[i + 1] == 0x03) break;
    if (wire[i] == 0x10) i++;
    data.push_back(wire[i]);
  }
  far_end.request = data;
  feed(link, {0x10, serial_channel(link)->symax_tx.expected_ack});
  Bytes reply = far_end.reply(data);
  if (!reply.empty()) feed(link, ref_frame(0x11, far_end.route, reply, false));
  drain_tx(link);
  return 1;
}

struct ReplyCase {
  const char *name;
  std::function<Bytes(const Bytes &req)> reply;
  int result;
  const char *text;   // error text after the call
  Bytes route = {'C', '9'};
};

class SymaxReplies : public ::testing::Test {
 protected:
  HandLink h;
  void SetUp() override {
    h.link->route_count = 1;
    h.link->route[0] = 201;
    h.link->reply_timeout = 3;
    link_set_idle_callback(h.link, far_end_idle, 0);
    far_end = FarEnd{};
    far_end.link = h.link;
  }
  void run(const ReplyCase &c, const std::function<int()> &call) {
    SCOPED_TRACE(c.name);
    far_end.answered = false;
    far_end.reply = c.reply;
    far_end.route = c.route;
    link_set_error(h.link, "%s", "");
    int pool_before = pool_count();
    int result = call();
    EXPECT_EQ(result, c.result);
    // A success leaves the text as it was; it is read only after a failure.
    if (result == 0) {
      EXPECT_STREQ(link_error_text(h.link), c.text);
    }
    EXPECT_EQ(pool_count(), pool_before);
    EXPECT_EQ(serial_channel(h.link)->awaiting_reply, 0);
  }
};

Bytes with_values(Bytes head, int n) {
  for (int i = 0; i < n; i++) {
    head.push_back(static_cast<uint8_t>(0xA0 + i));
    head.push_back(static_cast<uint8_t>(i));
  }
  return head;
}

TEST_F(SymaxReplies, Read) {
  auto t = [](const Bytes &r) { return r[1]; };
  const ReplyCase cases[] = {
      {"values", [&](const Bytes &r) { return with_values({0x86, t(r), 0, 0}, 3); }, 3, ""},
      {"fewer values than asked", [&](const Bytes &r) { return with_values({0x86, t(r), 0, 0}, 2); }, 2, ""},
      {"no values", [&](const Bytes &r) { return Bytes{0x86, t(r), 0, 0}; }, 0, "Read reply timeout"},
      {"priority reply", [&](const Bytes &r) { return with_values({0x90, t(r), 0, 0, 0, 0, 0}, 3); }, 3, ""},
      {"priority status", [&](const Bytes &r) { return Bytes{0x90, t(r), 0, 0, 16}; }, 0,
       "(16) Register Count Too Large"},
      {"error reply", [&](const Bytes &r) { return Bytes{0xA2, t(r), 16}; }, 0, "(16) Register Count Too Large"},
      {"error code without a text", [&](const Bytes &r) { return Bytes{0xA2, t(r), 200}; }, 0, "(200) Unknown Error"},
      {"odd opcode", [&](const Bytes &r) { return Bytes{0x99, t(r), 0}; }, 0, "Can't deal with Reply Opcode 0x99."},
      {"bad route", [&](const Bytes &r) { return with_values({0x86, t(r), 0, 0}, 3); }, 0, "Bad Reply Route",
       {'C', 'X'}},
      {"no reply", [&](const Bytes &) { return Bytes{}; }, 0, "Read reply timeout"},
  };
  for (const ReplyCase &c : cases) {
    uint16_t values[3] = {};
    run(c, [&] { return link_read_registers(h.link, 5, 3, values); });
    if (c.result == 3) {
      EXPECT_EQ(values[0], 0xA000);
      EXPECT_EQ(values[2], 0xA202);
    }
  }
  EXPECT_EQ(far_end.request.size(), 6u);
}

TEST_F(SymaxReplies, Write) {
  auto t = [](const Bytes &r) { return r[1]; };
  const ReplyCase cases[] = {
      {"plain", [&](const Bytes &r) { return Bytes{0x80, t(r)}; }, 2, ""},
      {"priority", [&](const Bytes &r) { return Bytes{0x92, t(r), 0, 0, 0}; }, 2, ""},
      {"priority status", [&](const Bytes &r) { return Bytes{0x92, t(r), 0, 0, 7}; }, 0, "(7) Protected Register"},
      {"error reply", [&](const Bytes &r) { return Bytes{0xA2, t(r), 34}; }, 0, "(34) Write Protected"},
      {"odd opcode", [&](const Bytes &r) { return Bytes{0x86, t(r)}; }, 0, "Write reply invalid"},
      {"bad route", [&](const Bytes &r) { return Bytes{0x80, t(r)}; }, 0, "Write reply invalid", {'1'}},
      {"no reply", [&](const Bytes &) { return Bytes{}; }, 0, "Write reply timeout"},
  };
  const uint16_t values[2] = {0x1234, 0x1010};
  for (const ReplyCase &c : cases) run(c, [&] { return link_write_registers(h.link, 2, 2, values); });
  EXPECT_EQ(far_end.request, (Bytes{0x02, far_end.request[1], 0x00, 0x02, 0x12, 0x34, 0x10, 0x10, 0xFF, 0xFF}));
}

TEST_F(SymaxReplies, CarriedInputRead) {
  const ReplyCase cases[] = {
      {"values", [](const Bytes &) { return with_values({0x92, 0xBA, 0xD5, 0x00, 0x04, 6}, 3); }, 3, ""},
      {"modbus exception", [](const Bytes &) { return Bytes{0x92, 0xBA, 0xD5, 0x00, 0x84, 0x02}; }, 0,
       "Modbus error reply 2 ILLEGAL DATA ADDRESS"},
      {"exception without a text", [](const Bytes &) { return Bytes{0x92, 0xBA, 0xD5, 0x00, 0x84, 0x20}; }, 0,
       "Modbus error reply 32 "},
      {"sy/max error", [](const Bytes &) { return Bytes{0x92, 0xBA, 0xD5, 0x00, 0x00, 70}; }, 0,
       "(70) Insufficient Data"},
      {"wrong opcode", [](const Bytes &) { return Bytes{0x86, 0xBA, 0, 0, 1, 2}; }, 0, "Read reply invalid"},
      {"bad route", [](const Bytes &) { return with_values({0x92, 0xBA, 0xD5, 0x00, 0x04, 6}, 3); }, 0,
       "Read reply invalid", {'Z', 'Z'}},
      {"no reply", [](const Bytes &) { return Bytes{}; }, 0, "Read reply timeout"},
  };
  for (const ReplyCase &c : cases) {
    uint16_t values[3] = {};
    run(c, [&] { return link_read_input_registers(h.link, 0, 2060, 3, values); });
    if (c.result == 3) {
      EXPECT_EQ(values[1], 0xA101);
    }
  }
  EXPECT_EQ(far_end.request, (Bytes{0x22, 0xBA, 0xD5, 0x00, 0x04, 0x08, 0x0B, 0x00, 0x03}));
}

// A reply with fewer values than asked is no success for a caller that needs
// them all: the rest would be whatever its buffer held.
TEST_F(SymaxReplies, ShortReplyFailsCallersThatNeedEveryValue) {
  link_handle = h.link;
  far_end.reply = [](const Bytes &r) { return with_values({0x86, r[1], 0, 0}, 1); };
  working_config.flags = 0x5A5A;
  far_end.answered = false;
  EXPECT_FALSE(fetch_item(1));
  EXPECT_EQ(working_config.flags, 0x5A5A);
  EXPECT_STREQ(link_error_text(h.link), "Read reply too short");
  uint16_t v[2] = {};
  far_end.answered = false;
  EXPECT_FALSE(modem_read(1, 2, v));
  link_handle = nullptr;
}

TEST_F(SymaxReplies, IdleAbortEndsTheWait) {
  link_set_idle_callback(h.link, [](int) { return 0; }, 0);
  h.link->reply_timeout = 500;
  uint16_t v[1];
  int64_t start = monotonic_us();
  EXPECT_EQ(link_read_registers(h.link, 1, 1, v), 0);
  EXPECT_STREQ(link_error_text(h.link), "Application idle abort");
  EXPECT_EQ(link_write_registers(h.link, 1, 1, v), 0);
  EXPECT_STREQ(link_error_text(h.link), "Application idle abort");
  EXPECT_LT(monotonic_us() - start, 1000000);
}

// ---- Argument checks of the register interface ----

TEST(LinkAccess, ArgumentChecks) {
  HandLink h;
  h.link->reply_timeout = 0;
  uint16_t v[130] = {};
  struct {
    const char *name;
    std::function<int()> call;
    const char *text;
  } cases[] = {
      {"read register 0", [&] { return link_read_registers(h.link, 0, 1, v); }, "Illegal read register"},
      {"read past 16384", [&] { return link_read_registers(h.link, 16258, 128, v); }, "Illegal read register"},
      {"read 129", [&] { return link_read_registers(h.link, 1, 129, v); }, "Illegal read count"},
      {"read 0", [&] { return link_read_registers(h.link, 1, 0, v); }, "Illegal read count"},
      {"write register 0", [&] { return link_write_registers(h.link, 0, 1, v); }, "Illegal write register"},
      {"write past 16384", [&] { return link_write_registers(h.link, 16384, 2, v); }, "Illegal write register"},
      {"write 129", [&] { return link_write_registers(h.link, 1, 129, v); }, "Illegal write count"},
      {"input 129", [&] { return link_read_input_registers(h.link, 0, 0, 129, v); }, "Illegal read count"},
      {"file record 129", [&] { return link_write_file_record(h.link, 1, 129, v); }, "Illegal write count"},
      // Allowed by the checks; the exchange then finds no reply.
      {"read 128 from 16257", [&] { return link_read_registers(h.link, 16257, 128, v); }, "Read reply timeout"},
      {"input from register 0", [&] { return link_read_input_registers(h.link, 0, 0, 1, v); }, "Read reply timeout"},
      {"file record on Sy/Max", [&] { return link_write_file_record(h.link, 1, 1, v); },
       "File records not writable on this link"},
  };
  for (auto &c : cases) {
    SCOPED_TRACE(c.name);
    link_set_error(h.link, "untouched");
    EXPECT_EQ(c.call(), 0);
    EXPECT_STREQ(link_error_text(h.link), c.text);
    flush_queues(h.link);
  }

  h.link->kind = 3;
  link_set_error(h.link, "x");
  EXPECT_EQ(link_read_registers(h.link, 1, 1, v), 0);
  EXPECT_STREQ(link_error_text(h.link), "Handle corruption 3");
  h.link->kind = TRANSPORT_SYMAX;

  // No link at all says why there is none; a foreign record is a fault.
  EXPECT_EQ(std::string(link_error_text(nullptr)).rfind("Unable to establish link.", 0), 0u);
  LinkHandle foreign;
  EXPECT_STREQ(link_error_text(&foreign), "Handle not valid");
  EXPECT_EQ(link_read_registers(&foreign, 1, 1, v), 0);
  EXPECT_EQ(link_set_options(nullptr, 1, 1), 0);
  EXPECT_EQ(link_set_port(&foreign, 9600, 0, 1, 5, 8), 0);

  // A null callback restores the default and keeps the earlier datum.
  EXPECT_EQ(link_set_idle_callback(h.link, [](int) { return 1; }, 42), 1);
  EXPECT_EQ(link_set_idle_callback(h.link, nullptr, 7), 1);
  EXPECT_EQ(h.link->idle_user, 42);
  EXPECT_EQ(h.link->idle, idle_continue);

  EXPECT_EQ(link_set_options(h.link, 1, 1), 1);
  EXPECT_TRUE(symax_crc(serial_channel(h.link)->symax_tx));
  EXPECT_EQ(h.link->priority, 1);
  EXPECT_EQ(link_set_options(h.link, 0, 0), 1);
  EXPECT_FALSE(symax_crc(serial_channel(h.link)->symax_tx));
}

}  // namespace
