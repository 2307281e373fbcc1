// Gateway, Modbus RTU, Modbus ASCII and Modbus TCP links, opened from a setup
// record as the program opens them, against zl27t-sim and its faults.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pty.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "link/link.h"
#include "link/link_core.h"
#include "link/link_kinds.h"
#include "link/link_setup.h"
#include "proto/gateway.h"
#include "proto/modbus_serial.h"
#include "proto/modbus_tcp.h"
#include "proto/serial.h"
#include "proto/serial_framers.h"
#include "sim_process.h"

namespace {

using Clock = std::chrono::steady_clock;

// Reply time-out in 10-ms steps: small, so that a missing reply costs little.
constexpr uint16_t TIMEOUT_STEPS = 25;

struct Peer {
  SimProcess sim;
  LinkHandle *link = nullptr;

  // The simulator speaking the kind's protocol, and a link of that kind to it.
  bool open(LinkKind kind, std::vector<std::string> options) {
    const char *proto = kind == LINK_GATEWAY ? "--gateway" : kind == LINK_MODBUS_ASCII ? "--ascii" : "--rtu";
    options.push_back(proto);
    if (kind == LINK_MODBUS_TCP) options.insert(options.end(), {"--tcp", "0"});
    if (!sim.start(options)) return false;
    LinkSetup s;
    default_link_setup(&s);
    s.kind = kind;
    s.timeout = TIMEOUT_STEPS;
    s.parity = 0;
    s.route_count = kind == LINK_GATEWAY ? 2 : 1;
    s.route[0] = kind == LINK_GATEWAY ? 201 : 7;
    s.route[1] = 1;
    if (kind == LINK_MODBUS_TCP) {
      snprintf(s.host, sizeof s.host, "127.0.0.1");
      s.tcp_port = static_cast<uint16_t>(sim.tcp_port());
    } else {
      setenv("ZL27T_PORTS", sim.path().c_str(), 1);
      refresh_serial_ports();
      s.port = 0;
    }
    return link_connect(&s, &link).ok != 0;
  }
  ~Peer() {
    if (link) link_close(link);
    unsetenv("ZL27T_PORTS");
  }
  std::string read_text(int first, int count = 1) {
    std::vector<uint16_t> v(static_cast<size_t>(count));
    return link_read_registers(link, first, count, v.data()) ? "ok" : link_error_text(link);
  }
  std::string write_text(int first, std::vector<uint16_t> v) {
    return link_write_registers(link, first, static_cast<int>(v.size()), v.data()) ? "ok" : link_error_text(link);
  }
};

const char *name_of(LinkKind kind) { return link_kind_name(kind); }

TEST(ModbusLinks, EveryKindReadsAndWritesBlocks) {
  for (LinkKind kind : {LINK_GATEWAY, LINK_MODBUS_RTU, LINK_MODBUS_ASCII, LINK_MODBUS_TCP}) {
    SCOPED_TRACE(name_of(kind));
    Peer p;
    ASSERT_TRUE(p.open(kind, {}));
    // 100 registers take several gateway commands each way; values from
    // 0x8000 up go to the gateway widened as signed numbers.
    for (int count : {1, 100}) {
      std::vector<uint16_t> out(static_cast<size_t>(count)), in(static_cast<size_t>(count));
      for (int i = 0; i < count; i++) out[static_cast<size_t>(i)] = static_cast<uint16_t>(0xFFFF - 977 * i);
      ASSERT_NE(link_write_registers(p.link, 3001, count, out.data()), 0) << link_error_text(p.link);
      ASSERT_NE(link_read_registers(p.link, 3001, count, in.data()), 0) << link_error_text(p.link);
      EXPECT_EQ(in, out);
    }
    uint16_t id[13] = {};
    ASSERT_NE(link_read_registers(p.link, 8176, 13, id), 0) << link_error_text(p.link);
    EXPECT_EQ(id[1], ('Z' << 8) | 'L');
    EXPECT_EQ(id[12], 0x9990);
    if (kind == LINK_GATEWAY) {
      // Input registers and file records are not the gateway's.
      EXPECT_EQ(link_read_input_registers(p.link, 0, 3001, 1, id), 0);
      EXPECT_STREQ(link_error_text(p.link), "Input registers not reachable on this link");
      EXPECT_EQ(link_write_file_record(p.link, 3001, 1, id), 0);
      EXPECT_STREQ(link_error_text(p.link), "File records not writable on this link");
      EXPECT_EQ(p.read_text(8190, 4), "Gateway can't read status portion");
      EXPECT_EQ(p.write_text(8192, {1, 2}), "Gateway can't write status portion");
      continue;
    }
    const uint16_t record[3] = {0x1234, 0x8000, 7};
    ASSERT_NE(link_write_file_record(p.link, 4001, 3, record), 0) << link_error_text(p.link);
    uint16_t back[3] = {};
    ASSERT_NE(link_read_input_registers(p.link, 0, 4001, 3, back), 0) << link_error_text(p.link);
    EXPECT_EQ(std::vector<uint16_t>(back, back + 3), std::vector<uint16_t>(record, record + 3));
    // The largest blocks a Modbus byte count can describe, and one more.
    std::vector<uint16_t> block(126, 0x5A5A);
    EXPECT_EQ(p.read_text(1, 125), "ok");
    EXPECT_EQ(p.read_text(1, 126), "Illegal read count");
    EXPECT_EQ(link_read_input_registers(p.link, 0, 1, 126, block.data()), 0);
    EXPECT_STREQ(link_error_text(p.link), "Illegal read count");
    EXPECT_EQ(p.write_text(3001, std::vector<uint16_t>(123, 1)), "ok");
    EXPECT_EQ(p.write_text(3001, std::vector<uint16_t>(124, 1)), "Illegal write count");
    EXPECT_EQ(link_write_file_record(p.link, 3001, 124, block.data()), 0);
    EXPECT_STREQ(link_error_text(p.link), "Illegal write count");
  }
}

// A fault on every second exchange: the one before it and the one after it
// succeed, so a fault leaves nothing behind that spoils the next exchange.
struct FaultCase {
  const char *option;
  const char *read_text;
};

void expect_fault_between_successes(LinkKind kind, const FaultCase &c, const char *every = "2") {
  SCOPED_TRACE(std::string(name_of(kind)) + " " + c.option);
  Peer p;
  ASSERT_TRUE(p.open(kind, {c.option, every}));
  EXPECT_EQ(p.read_text(100, 3), "ok");
  EXPECT_EQ(p.read_text(100, 3), c.read_text);
  EXPECT_EQ(p.read_text(100, 3), "ok");
}

TEST(ModbusLinks, SerialFaultsKeepTheirTexts) {
  const FaultCase faults[] = {
      {"--no-reply-every", "No reply to read command"},
      {"--bad-check-every", "No reply to read command"},
      {"--wrong-unit-every", "Read reply had wrong drop"},
      {"--wrong-function-every", "Read reply had wrong opcode"},
      // Half a frame from a device that restarted: an ASCII reply after it
      // is still read.
      {"--reset-every", "No reply to read command"},
  };
  for (LinkKind kind : {LINK_MODBUS_RTU, LINK_MODBUS_ASCII})
    for (const FaultCase &c : faults) expect_fault_between_successes(kind, c);

  for (LinkKind kind : {LINK_MODBUS_RTU, LINK_MODBUS_ASCII}) {
    SCOPED_TRACE(name_of(kind));
    Peer p;
    ASSERT_TRUE(p.open(kind, {"--exception", "2@100", "--exception", "20@200"}));
    EXPECT_EQ(p.read_text(100), "Modbus error reply 2 ILLEGAL DATA ADDRESS");
    EXPECT_EQ(p.read_text(200), "Modbus error reply 20 ");
    EXPECT_EQ(p.write_text(300, {1}), "ok");
  }
  {
    Peer p;
    ASSERT_TRUE(p.open(LINK_MODBUS_RTU, {"--no-reply-every", "1"}));
    EXPECT_EQ(p.write_text(100, {1}), "No reply to write command");
  }
  {
    Peer p;
    ASSERT_TRUE(p.open(LINK_MODBUS_ASCII, {"--wrong-unit-every", "1"}));
    EXPECT_EQ(p.write_text(100, {1}), "Write reply had wrong drop");
  }
}

// A device that refuses a write says why, as it does for a read: the
// exception's code and text, over every Modbus link and for both writes.
TEST(ModbusLinks, WriteExceptionsShowTheirTexts) {
  const struct {
    LinkKind kind;
    const char *known;     // code 4
    const char *unknown;   // code 20
  } kinds[] = {
      {LINK_MODBUS_RTU, "Modbus error reply 4 SLAVE DEVICE FAILURE", "Modbus error reply 20 "},
      {LINK_MODBUS_ASCII, "Modbus error reply 4 SLAVE DEVICE FAILURE", "Modbus error reply 20 "},
      {LINK_MODBUS_TCP, "SLAVE DEVICE FAILURE", "Modbus error reply 20"},
  };
  for (const auto &c : kinds) {
    SCOPED_TRACE(name_of(c.kind));
    Peer p;
    ASSERT_TRUE(p.open(c.kind, {"--exception", "4@8005", "--exception", "20@200-201"}));
    EXPECT_EQ(p.write_text(8005, {1}), c.known);
    EXPECT_EQ(p.write_text(199, {1, 2, 3}), c.unknown);
    const uint16_t record[2] = {1, 2};
    EXPECT_EQ(link_write_file_record(p.link, 8004, 2, record), 0);
    EXPECT_STREQ(link_error_text(p.link), c.known);
    // The refusal left nothing behind on the line.
    EXPECT_EQ(p.write_text(8006, {1}), "ok");
  }
}

TEST(ModbusLinks, GatewayFaultsAndTheRememberedRoute) {
  // Command lines are counted from the route's "A": with a fault on every
  // third line, the second read meets it, and the third read works only if
  // the route was selected again after the failure.
  const FaultCase faults[] = {
      {"--no-reply-every", "No reply to R command"},
      // A lone CR where values were due.
      {"--wrong-function-every", "Read reply too short"},
  };
  for (const FaultCase &c : faults) expect_fault_between_successes(LINK_GATEWAY, c, "3");
  {
    // The gateway restarts after answering the second read and forgets the
    // route: the third read meets its refusal, the fourth selects it again.
    Peer p;
    ASSERT_TRUE(p.open(LINK_GATEWAY, {"--reset-every", "3"}));
    EXPECT_EQ(p.read_text(100), "ok");
    EXPECT_EQ(p.read_text(100), "ok");
    EXPECT_EQ(p.read_text(100), "Read reply too short");
    EXPECT_EQ(p.read_text(100), "ok");
  }

  {
    Peer p;
    ASSERT_TRUE(p.open(LINK_GATEWAY, {"--exception", "3@100"}));
    EXPECT_EQ(p.read_text(100), "Read reply too short");   // the gateway's "ERROR 3"
    EXPECT_EQ(p.read_text(101), "ok");
  }
  Peer p;
  ASSERT_TRUE(p.open(LINK_GATEWAY, {"--wrong-function-every", "3"}));
  EXPECT_EQ(p.write_text(101, {5}), "ok");
  // "0" where a lone CR was due: the line is put aside, the route forgotten
  // and the wait goes on; the next write selects the route again.
  EXPECT_EQ(p.write_text(101, {5}), "No valid reply to W command");
  EXPECT_EQ(p.write_text(101, {5}), "ok");
}

TEST(ModbusLinks, TcpFaultsKeepTheirTexts) {
  const FaultCase faults[] = {
      {"--no-reply-every", "Reply timeout"},
      {"--wrong-unit-every", "Reply drop doesn't match query"},
      {"--wrong-function-every", "Reply opcode doesn't match query"},
      // Both make a new connection, which the next exchange uses.
      {"--reset-every", "Recv Circuit reset by peer"},
      {"--bad-length-every", "Recv Reply message too large"},
  };
  for (const FaultCase &c : faults) expect_fault_between_successes(LINK_MODBUS_TCP, c);

  Peer p;
  ASSERT_TRUE(p.open(LINK_MODBUS_TCP, {"--exception", "2@100", "--exception", "20@200", "--stale-reply-every", "1",
                                       "--set", "300=4660"}));
  EXPECT_EQ(p.read_text(100), "ILLEGAL DATA ADDRESS");
  EXPECT_EQ(p.read_text(200), "Modbus error reply 20");
  EXPECT_EQ(p.write_text(100, {1}), "ILLEGAL DATA ADDRESS");
  // Every reply comes after a late one with inverted values: those are skipped.
  uint16_t v = 0;
  ASSERT_NE(link_read_registers(p.link, 300, 1, &v), 0) << link_error_text(p.link);
  EXPECT_EQ(v, 4660);
}

// A listening socket that never answers; with backlog 0 and one connection
// waiting, a further connect is left hanging.
struct SilentServer {
  int fd = -1, filler = -1;
  uint16_t port = 0;
  SilentServer() {
    fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a);
    listen(fd, 0);
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
    port = ntohs(a.sin_port);
  }
  // The next connection waiting to be accepted, or -1 within a second.
  int take_connection() {
    pollfd p = {fd, POLLIN, 0};
    return poll(&p, 1, 1000) == 1 ? accept(fd, nullptr, nullptr) : -1;
  }
  void fill_backlog() {
    filler = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    connect(filler, reinterpret_cast<sockaddr *>(&a), sizeof a);
  }
  ~SilentServer() {
    if (filler >= 0) close(filler);
    close(fd);
  }
};

int idle_calls = 0;
int abort_at = 0;
Clock::time_point aborted_at;
int count_then_abort(int) {
  if (++idle_calls < abort_at) return 1;
  aborted_at = Clock::now();
  return 0;
}

double ms_since(Clock::time_point t) { return std::chrono::duration<double, std::milli>(Clock::now() - t).count(); }

TEST(ModbusLinks, TcpWaitsAreBoundedAndEscEndsThemAtOnce) {
  SilentServer server;
  LinkHandle *link = open_modbus_tcp("127.0.0.1", server.port, 1, 100, nullptr, 0);
  ASSERT_NE(link, nullptr);
  link_set_port(link, 0, 0, 1, 20, 8);
  uint16_t v;
  auto start = Clock::now();
  EXPECT_EQ(link_read_registers(link, 1, 1, &v), 0);
  EXPECT_STREQ(link_error_text(link), "Reply timeout");
  EXPECT_GE(ms_since(start), 180);
  EXPECT_LT(ms_since(start), 2000);

  // The idle callback runs at every step; its zero ends the wait there.
  idle_calls = 0;
  abort_at = 5;
  link_set_port(link, 0, 0, 1, 1000, 8);
  link_set_idle_callback(link, count_then_abort, 0);
  EXPECT_EQ(link_read_registers(link, 1, 1, &v), 0);
  EXPECT_STREQ(link_error_text(link), "Application idle abort");
  EXPECT_EQ(idle_calls, 5);
  EXPECT_LT(ms_since(aborted_at), 30);
  link_close(link);
  close(server.take_connection());

  // A peer that closes the connection: the wait runs out as a time-out, and
  // the next exchange goes out on a new connection.
  link = open_modbus_tcp("127.0.0.1", server.port, 1, 100, nullptr, 0);
  ASSERT_NE(link, nullptr);
  link_set_port(link, 0, 0, 1, 20, 8);
  close(server.take_connection());
  EXPECT_EQ(link_read_registers(link, 1, 1, &v), 0);
  EXPECT_STREQ(link_error_text(link), "Reply timeout");
  EXPECT_EQ(link_read_registers(link, 1, 1, &v), 0);
  int again = server.take_connection();
  EXPECT_GE(again, 0);
  close(again);
  link_close(link);

  // A connect that hangs gives up after its own time-out, or at once when
  // the callback says so.
  server.fill_backlog();
  start = Clock::now();
  EXPECT_EQ(open_modbus_tcp("127.0.0.1", server.port, 1, 20, nullptr, 0), nullptr);
  EXPECT_GE(ms_since(start), 180);
  EXPECT_LT(ms_since(start), 2000);
  idle_calls = 0;
  abort_at = 3;
  EXPECT_EQ(open_modbus_tcp("127.0.0.1", server.port, 1, 1000, count_then_abort, 0), nullptr);
  EXPECT_EQ(idle_calls, 3);
  EXPECT_LT(ms_since(aborted_at), 30);
}

// A peer that answers each request (reads of one register, value 0x1234):
// once on its first connection, which it then closes, and on the next with
// the reply sent twice in one piece.
bool answer(int fd, bool twice) {
  uint8_t request[64];
  if (recv(fd, request, sizeof request, 0) < 12) return false;
  const uint8_t reply[] = {request[0], request[1], 0, 0, 0, 5, request[6], 3, 2, 0x12, 0x34};
  uint8_t both[2 * sizeof reply];
  memcpy(both, reply, sizeof reply);
  memcpy(both + sizeof reply, reply, sizeof reply);
  size_t length = twice ? sizeof both : sizeof reply;
  return send(fd, both, length, MSG_NOSIGNAL) == static_cast<ssize_t>(length);
}
void answer_close_answer(int listener, int exchanges) {
  int fd = accept(listener, nullptr, nullptr);
  if (fd < 0) return;
  answer(fd, false);
  close(fd);
  fd = accept(listener, nullptr, nullptr);
  for (int i = 1; fd >= 0 && i < exchanges; i++)
    if (!answer(fd, true)) break;
  if (fd >= 0) close(fd);
}

TEST(ModbusLinks, TcpResendsOnANewConnectionAndSkipsRepeatedReplies) {
  SilentServer server;
  LinkHandle *link = open_modbus_tcp("127.0.0.1", server.port, 1, 100, nullptr, 0);
  ASSERT_NE(link, nullptr);
  std::thread peer(answer_close_answer, server.fd, 4);
  link_set_port(link, 0, 0, 1, 100, 8);
  for (int i = 0; i < 4; i++) {
    SCOPED_TRACE(i);
    uint16_t v = 0;
    ASSERT_NE(link_read_registers(link, 1, 1, &v), 0) << link_error_text(link);
    EXPECT_EQ(v, 0x1234);
    // The peer's close (after the first) is in before the next request.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  link_close(link);
  peer.join();
}

// A peer that answers every request with an old reply, over and over
// without a pause (for three seconds at most, so a hang shows as a failure).
void repeat_old_reply(int listener, std::atomic<bool> *stop) {
  int fd = accept(listener, nullptr, nullptr);
  uint8_t request[64];
  if (fd < 0 || recv(fd, request, sizeof request, 0) < 12) {
    if (fd >= 0) close(fd);
    return;
  }
  uint16_t old = static_cast<uint16_t>((request[0] << 8 | request[1]) - 1);
  const uint8_t reply[] = {static_cast<uint8_t>(old >> 8), static_cast<uint8_t>(old), 0, 0, 0, 5,
                           request[6], 3, 2, 0x12, 0x34};
  auto until = Clock::now() + std::chrono::seconds(3);
  while (!*stop && Clock::now() < until)
    if (send(fd, reply, sizeof reply, MSG_NOSIGNAL) < 0) break;
  close(fd);
}

TEST(ModbusLinks, OldRepliesWithoutEndStillTimeOut) {
  SilentServer server;
  LinkHandle *link = open_modbus_tcp("127.0.0.1", server.port, 1, 100, nullptr, 0);
  ASSERT_NE(link, nullptr);
  std::atomic<bool> stop{false};
  std::thread peer(repeat_old_reply, server.fd, &stop);
  link_set_port(link, 0, 0, 1, 20, 8);
  uint16_t v = 0;
  auto start = Clock::now();
  EXPECT_EQ(link_read_registers(link, 1, 1, &v), 0);
  EXPECT_STREQ(link_error_text(link), "Reply timeout");
  EXPECT_LT(ms_since(start), 1500);
  // Closed first: the peer may be blocked sending into a full socket.
  stop = true;
  link_close(link);
  peer.join();
}

// A device on the gateway's port that prints a line every 20 ms, whatever it
// is sent (for three seconds at most, so a hang shows as a failure): none of
// its lines is the answer, and they must not hold the wait beyond its time.
TEST(ModbusLinks, GatewayWaitEndsThoughOtherLinesKeepComing) {
  int master = -1, slave = -1;
  char path[128];
  ASSERT_EQ(openpty(&master, &slave, path, nullptr, nullptr), 0);
  const uint16_t block[1 + LINK_MAX_DROPS] = {2, 201, 1};
  LinkHandle *link = open_gateway_serial(path, block);
  ASSERT_NE(link, nullptr);
  link_set_port(link, 9600, 0, 1, 20, 8);
  fcntl(master, F_SETFL, O_NONBLOCK);
  std::atomic<bool> stop{false};
  std::thread chatter([&] {
    auto until = Clock::now() + std::chrono::seconds(3);
    char junk[64];
    while (!stop && Clock::now() < until) {
      if (write(master, "ERROR\r", 6) < 0) break;
      while (read(master, junk, sizeof junk) > 0) {
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  });
  uint16_t v[2] = {};
  auto start = Clock::now();
  EXPECT_EQ(link_read_registers(link, 1, 2, v), 0);
  EXPECT_STREQ(link_error_text(link), "No valid reply to A command");
  EXPECT_EQ(link_write_registers(link, 1, 2, v), 0);
  EXPECT_LT(ms_since(start), 1500);
  stop = true;
  chatter.join();
  link_close(link);
  close(slave);
  close(master);
}

}  // namespace

// A key that ends a wait while the reply is still coming in, and the next
// requests at once: each takes its own reply, never the rest of the one
// given up (serial Modbus replies carry no transaction number), and none is
// lost behind it.
TEST(ModbusLinks, ReplyOfAGivenUpRequestIsNeverTakenForTheNext) {
  for (LinkKind kind : {LINK_MODBUS_RTU, LINK_MODBUS_ASCII, LINK_GATEWAY}) {
    SCOPED_TRACE(name_of(kind));
    Peer p;
    ASSERT_TRUE(p.open(kind, {"--baud", "9600", "--set", "1=4369", "--set", "101=8738"}));
    std::vector<uint16_t> v(20);
    int given_up = 0;
    for (int round = 0; round < 5; round++) {
      SCOPED_TRACE(round);
      idle_calls = 0;
      abort_at = 2 + round;   // somewhere in a reply of 50-100 ms
      link_set_idle_callback(p.link, count_then_abort, 0);
      given_up += link_read_registers(p.link, 1, 20, v.data()) == 0;
      link_set_idle_callback(p.link, nullptr, 0);
      for (int first : {101, 1}) {
        ASSERT_NE(link_read_registers(p.link, first, 20, v.data()), 0) << first << ": " << link_error_text(p.link);
        EXPECT_EQ(v[0], first == 1 ? 4369 : 8738) << first;
      }
    }
    EXPECT_GT(given_up, 0);
  }
}

namespace {

// A Modbus RTU link (drop 1) on a pty whose other end the test plays the
// device on, with a reply time-out in 10-ms steps.
struct RtuOnPty {
  int master = -1, slave = -1;
  LinkHandle *link = nullptr;
  bool open(uint16_t timeout_steps) {
    char path[128];
    if (openpty(&master, &slave, path, nullptr, nullptr) != 0) return false;
    struct termios raw;
    tcgetattr(slave, &raw);
    cfmakeraw(&raw);
    tcsetattr(slave, TCSANOW, &raw);
    link = open_modbus_rtu_serial(path, 1);
    if (link) link_set_port(link, 9600, 0, 1, timeout_steps, 8);
    return link != nullptr;
  }
  ~RtuOnPty() {
    if (link) link_close(link);
    if (slave >= 0) close(slave);
    if (master >= 0) close(master);
  }
};

std::vector<uint8_t> rtu_frame(std::vector<uint8_t> bytes) {
  uint16_t crc = 0xFFFF;
  for (uint8_t b : bytes) crc = check_update(crc, b, true);
  bytes.push_back(static_cast<uint8_t>(crc));
  bytes.push_back(static_cast<uint8_t>(crc >> 8));
  return bytes;
}

}  // namespace

// Bytes that came while no request was out (a reply nobody waits for any
// more, half a frame of noise) are never the next request's reply, though
// nobody reads the port between exchanges: the device's own answer is.
TEST(ModbusLinks, BytesThatCameBetweenExchangesAreNoReply) {
  const std::vector<uint8_t> answer = rtu_frame({1, 3, 2, 0x22, 0x22});
  const struct {
    const char *name;
    std::vector<uint8_t> before;
  } cases[] = {
      {"a whole reply", rtu_frame({1, 3, 2, 0x11, 0x11})},
      {"half a frame", {1, 3, 2, 0x11}},
      {"a reply and a half", [] {
         std::vector<uint8_t> b = rtu_frame({1, 3, 2, 0x11, 0x11});
         b.insert(b.end(), {1, 3, 2});
         return b;
       }()},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    RtuOnPty pty;
    ASSERT_TRUE(pty.open(50));
    int master = pty.master;
    LinkHandle *link = pty.link;
    // The link's first exchange, then the bytes nobody asked for.
    std::thread device([&] {
      uint8_t request[64];
      for (int exchange = 0; exchange < 2; exchange++) {
        struct pollfd p = {master, POLLIN, 0};
        if (poll(&p, 1, 2000) != 1 || read(master, request, sizeof request) <= 0) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        if (write(master, answer.data(), answer.size()) < 0) return;
        if (exchange == 0) {
          std::this_thread::sleep_for(std::chrono::milliseconds(30));
          if (write(master, c.before.data(), c.before.size()) < 0) return;
        }
      }
    });
    uint16_t v = 0;
    EXPECT_NE(link_read_registers(link, 1, 1, &v), 0) << link_error_text(link);
    EXPECT_EQ(v, 0x2222);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));   // the stray bytes are in, and old
    v = 0;
    EXPECT_NE(link_read_registers(link, 1, 1, &v), 0) << link_error_text(link);
    EXPECT_EQ(v, 0x2222);
    device.join();
  }
}

// The device going away while a Modbus link on a local port stands idle (its
// reader then only looks at the port for a hang-up, four times a second):
// the port is let go within that time, so an adapter plugged in again gets
// its old name, and the next operation fails at once.
TEST(ModbusLinks, DeviceGoneWhileIdleIsLetGoWithinAQuarterSecond) {
  for (const char *kind : {"--rtu", "--ascii"}) {
    SCOPED_TRACE(kind);
    SimProcess sim;
    ASSERT_TRUE(sim.start({kind})) << sim.error();
    LinkHandle *link = kind[2] == 'r' ? open_modbus_rtu_serial(sim.path().c_str(), 1)
                                      : open_modbus_ascii_serial(sim.path().c_str(), 1);
    ASSERT_NE(link, nullptr);
    link_set_port(link, 9600, 0, 1, 100, 8);
    uint16_t v = 0;
    ASSERT_NE(link_read_registers(link, 1, 1, &v), 0) << link_error_text(link);
    sim.kill_now();
    auto start = Clock::now();
    while (!serial_port_lost(link) && ms_since(start) < 1000) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_TRUE(serial_port_lost(link));
    EXPECT_LT(ms_since(start), 500);
    start = Clock::now();
    EXPECT_EQ(link_read_registers(link, 1, 1, &v), 0);
    EXPECT_LT(ms_since(start), 200);   // not after its 1-s time-out
    link_close(link);
  }
}

// The reply wait's first step is taken as the request goes out. A device
// that answers with a frame longer than any packet: the frame is given up
// and the wait ends with it, whether the frame comes in that step or
// after it. A device that never answers: the wait lasts its time-out (the
// first step counted in it), no less and not much more.
TEST(ModbusLinks, ReplyWaitEndsWithAnOverLongFrameOrItsTimeOut) {
  for (int delay_ms : {0, 40, -1}) {
    SCOPED_TRACE(delay_ms);
    RtuOnPty pty;
    ASSERT_TRUE(pty.open(30));   // 300 ms
    int master = pty.master;
    LinkHandle *link = pty.link;
    std::thread device([&] {
      uint8_t request[64];
      struct pollfd p = {master, POLLIN, 0};
      if (poll(&p, 1, 2000) != 1 || read(master, request, sizeof request) <= 0 || delay_ms < 0) return;
      std::this_thread::sleep_for(std::chrono::milliseconds(delay_ms));
      std::vector<uint8_t> frame(PACKET_DATA_SIZE + 40, 0x55);
      frame[0] = 1;
      if (write(master, frame.data(), frame.size()) < 0) return;
    });
    uint16_t v = 0;
    auto start = Clock::now();
    EXPECT_EQ(link_read_registers(link, 1, 1, &v), 0);
    EXPECT_STREQ(link_error_text(link), "No reply to read command");
    if (delay_ms < 0) {
      EXPECT_GE(ms_since(start), 300);
      EXPECT_LT(ms_since(start), 800);
    } else {
      EXPECT_LT(ms_since(start), 200);
    }
    device.join();
  }
}
