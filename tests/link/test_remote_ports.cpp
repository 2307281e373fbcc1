// Remote serial ports: every serial link kind and the terminal's port over
// ser2net (raw TCP and RFC 2217) in front of zl27t-sim on a pty; the line
// settings as they reach the far port; and the faults of a network between:
// a server gone in the middle of a fetch and back, a reply one byte at a
// time with pauses, a server that refuses the COM-PORT-OPTION, Esc.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "link/link.h"
#include "link/link_core.h"
#include "link/link_setup.h"
#include "platform/console.h"
#include "platform/term_port.h"
#include "proto/packet.h"
#include "proto/serial.h"
#include "ser2net_process.h"
#include "sim_process.h"
#include "ui/screen.h"
#include "ui/ui.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int IDENT_NAME = 8177;   // "ZL27T" padded, high byte first
constexpr int SCRATCH = 100;

struct Kind {
  const char *name;
  uint16_t setup_kind;
  const char *proto;
};
constexpr Kind kinds[] = {
    {"Sy/Max", LINK_SYMAX, "symax"},
    {"net-to-net", LINK_NET_TO_NET, "symax"},
    {"gateway", LINK_GATEWAY, "gateway"},
    {"RTU", LINK_MODBUS_RTU, "rtu"},
    {"ASCII", LINK_MODBUS_ASCII, "ascii"},
};

class RemotePorts : public ::testing::Test {
 protected:
  SimProcess sim;
  Ser2netProcess server;

  void SetUp() override {
    if (!Ser2netProcess::available()) GTEST_SKIP() << "ser2net is not installed";
    ASSERT_TRUE(ui_init(CONSOLE_MEMORY));
    link_handle = nullptr;
  }
  void TearDown() override {
    close_link();
    ui_shutdown();
    unsetenv("ZL27T_PORTS");
  }

  void start(const char *proto, const std::vector<std::string> &more = {}) {
    std::vector<std::string> options = {"--proto", proto, "--baud", "9600"};
    options.insert(options.end(), more.begin(), more.end());
    ASSERT_TRUE(sim.start(options));
    ASSERT_TRUE(server.start(sim.path()));
  }

  // The setup's link on the named port, opened as the program opens it.
  LinkResult open(uint16_t setup_kind, const std::string &port, unsigned timeout_steps = 100) {
    setenv("ZL27T_PORTS", port.c_str(), 1);
    refresh_serial_ports();
    default_link_setup(&link_setup);
    link_setup.kind = setup_kind;
    link_setup.port = 0;
    link_setup.timeout = static_cast<uint16_t>(timeout_steps);
    if (setup_kind == LINK_NET_TO_NET) link_setup.route_count = 1;
    return link_connect(&link_setup, &link_handle, nullptr);
  }
  void close_link() {
    if (link_handle) link_close(link_handle);
    link_handle = nullptr;
  }

  static std::string read_name() {
    uint16_t r[3] = {};
    if (!link_read_registers(link_handle, IDENT_NAME, 3, r)) return std::string("failed: ") + link_error_text(link_handle);
    std::string s;
    for (uint16_t w : r) s += {static_cast<char>(w >> 8), static_cast<char>(w & 0xFF)};
    return s;
  }
};

TEST_F(RemotePorts, EveryLinkKindReadsAndWritesThroughBothStreamKinds) {
  for (const Kind &k : kinds) {
    SCOPED_TRACE(k.name);
    SimProcess kind_sim;
    Ser2netProcess kind_server;
    ASSERT_TRUE(kind_sim.start({"--proto", k.proto, "--baud", "9600"}));
    ASSERT_TRUE(kind_server.start(kind_sim.path()));
    for (const std::string &port : {kind_server.raw_name(), kind_server.telnet_name()}) {
      SCOPED_TRACE(port);
      int pool = pool_count();
      LinkResult r = open(k.setup_kind, port);
      ASSERT_TRUE(r.ok) << r.reason;
      EXPECT_EQ(read_name(), "ZL27T ");
      const uint16_t value = static_cast<uint16_t>(0x1200 + k.setup_kind);
      EXPECT_TRUE(link_write_registers(link_handle, SCRATCH, 1, &value)) << link_error_text(link_handle);
      uint16_t back = 0;
      EXPECT_TRUE(link_read_registers(link_handle, SCRATCH, 1, &back)) << link_error_text(link_handle);
      EXPECT_EQ(back, value);
      close_link();
      EXPECT_TRUE(kind_server.await_idle());
      EXPECT_GE(pool_count(), pool) << "no packet lost";
    }
  }
}

TEST_F(RemotePorts, CommandLineFetchOverRfc2217AndTheFarLineAsSet) {
  start("rtu");
  char file[] = "/tmp/zl27t-remote-fetch-XXXXXX";
  int fd = mkstemp(file);
  ASSERT_GE(fd, 0);
  close(fd);
  std::string command = std::string(ZL27T_BIN) + " --fetch " + file + " -m rtu --device " + server.telnet_name() +
                        " 2>/dev/null";
  EXPECT_EQ(system(command.c_str()), 0) << command;
  FILE *f = fopen(file, "rb");
  ASSERT_TRUE(f);
  EXPECT_EQ(fseek(f, 0, SEEK_END), 0);
  EXPECT_EQ(ftell(f), 124) << "version word and the configuration";
  fclose(f);
  unlink(file);
  ASSERT_TRUE(server.await_idle());

  // The pty ser2net opened holds what it was set to while the link is
  // open (a pty takes no parity and only 8 data bits: those are checked in
  // what the client sent, below).
  ASSERT_TRUE(open(LINK_MODBUS_RTU, server.telnet_name()).ok);
  ASSERT_TRUE(link_set_port(link_handle, 19200, 0, 2, 100, 8));
  std::string stty = "stty -F " + sim.path() + " -a 2>&1";
  std::string settings;
  auto give_up = Clock::now() + std::chrono::seconds(2);
  do {
    FILE *p = popen(stty.c_str(), "r");
    ASSERT_TRUE(p);
    char buf[2048] = {};
    settings.assign(buf, fread(buf, 1, sizeof buf - 1, p));
    pclose(p);
  } while (settings.find("speed 19200 baud") == std::string::npos && Clock::now() < give_up);
  EXPECT_NE(settings.find("speed 19200 baud"), std::string::npos) << settings;
  EXPECT_NE(settings.find(" cstopb"), std::string::npos) << settings;
  EXPECT_NE(settings.find(" crtscts"), std::string::npos) << "CTS flow, as a local port opens: " << settings;
  EXPECT_EQ(read_name(), "ZL27T ");
}

// The server killed in the middle of a read, and started again.
TEST_F(RemotePorts, AServerGoneMidFetchFailsAtOnceAndIsReopenedWhenBack) {
  start("rtu", {"--delay", "300"});
  for (const std::string &port : {server.raw_name(), server.telnet_name()}) {
    SCOPED_TRACE(port);
    int pool = pool_count();
    ASSERT_TRUE(open(LINK_MODBUS_RTU, port, 300).ok);
    EXPECT_EQ(read_name(), "ZL27T ");
    std::thread killer([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      server.kill_now();
    });
    auto t0 = Clock::now();
    EXPECT_EQ(read_name(), "failed: No reply to read command");
    EXPECT_LT(Clock::now() - t0, std::chrono::milliseconds(1500)) << "not the whole time-out";
    killer.join();
    EXPECT_TRUE(link_port_lost(link_handle));
    t0 = Clock::now();
    EXPECT_EQ(read_name(), "failed: No reply to read command") << "refused while down";
    EXPECT_LT(Clock::now() - t0, std::chrono::milliseconds(200));
    ASSERT_TRUE(server.restart());
    EXPECT_EQ(read_name(), "ZL27T ") << "reopened by the next operation";
    close_link();
    EXPECT_TRUE(server.await_idle());
    EXPECT_GE(pool_count(), pool);
  }
}

// A listening socket on a free loopback port: its descriptor (-1 on
// failure), the port in *port.
int listen_on_loopback(int *port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&a), len) != 0 || listen(fd, 1) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len) != 0) {
    if (fd >= 0) close(fd);
    return -1;
  }
  *port = ntohs(a.sin_port);
  return fd;
}

// Between the client and ser2net's raw port: the server's bytes passed on
// one at a time with a pause after each, longer than an RTU frame's
// silence on the line.
class TricklingRelay {
 public:
  bool start(int target_port, int pause_ms) {
    listen_fd_ = listen_on_loopback(&port_);
    if (listen_fd_ < 0) return false;
    thread_ = std::thread([=, this] { run(target_port, pause_ms); });
    return true;
  }
  std::string name() const { return "socket://127.0.0.1:" + std::to_string(port_); }
  ~TricklingRelay() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    close(listen_fd_);
  }

 private:
  void run(int target_port, int pause_ms) {
    pollfd p = {listen_fd_, POLLIN, 0};
    while (!stop_ && poll(&p, 1, 20) <= 0) {
    }
    if (stop_) return;
    int client = accept(listen_fd_, nullptr, nullptr);
    int far = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(target_port));
    if (client < 0 || connect(far, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) return;
    while (!stop_) {
      pollfd fds[2] = {{client, POLLIN, 0}, {far, POLLIN, 0}};
      if (poll(fds, 2, 20) <= 0) continue;
      uint8_t buf[512];
      if (fds[0].revents & POLLIN) {
        ssize_t n = read(client, buf, sizeof buf);
        if (n <= 0 || write(far, buf, static_cast<size_t>(n)) != n) break;
      }
      if (fds[1].revents & POLLIN) {
        ssize_t n = read(far, buf, sizeof buf);
        if (n <= 0) break;
        for (ssize_t i = 0; i < n && !stop_; i++) {
          if (write(client, buf + i, 1) != 1) break;
          std::this_thread::sleep_for(std::chrono::milliseconds(pause_ms));
        }
      }
    }
    close(client);
    close(far);
  }

  int listen_fd_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

TEST_F(RemotePorts, ARepliesByteByByteWithPausesStillMakesWholeFrames) {
  for (const Kind &k : kinds) {
    if (k.setup_kind == LINK_NET_TO_NET) continue;   // the same framing as Sy/Max
    SCOPED_TRACE(k.name);
    SimProcess kind_sim;
    Ser2netProcess kind_server;
    ASSERT_TRUE(kind_sim.start({"--proto", k.proto, "--baud", "9600"}));
    ASSERT_TRUE(kind_server.start(kind_sim.path()));
    TricklingRelay relay;
    ASSERT_TRUE(relay.start(kind_server.raw_port(), 25));
    LinkResult r = open(k.setup_kind, relay.name(), 300);
    ASSERT_TRUE(r.ok) << r.reason;
    EXPECT_EQ(read_name(), "ZL27T ");
    close_link();
  }
}

int aborting_idle(int) { return 0; }

TEST_F(RemotePorts, EscEndsAWaitAcrossTheNetwork) {
  start("symax", {"--delay", "500"});
  ASSERT_TRUE(open(LINK_SYMAX, server.telnet_name(), 300).ok);
  link_set_idle_callback(link_handle, aborting_idle, 0);
  auto t0 = Clock::now();
  EXPECT_EQ(read_name(), "failed: Application idle abort");
  EXPECT_LT(Clock::now() - t0, std::chrono::milliseconds(200));
}

// An RFC 2217 server of the test's own: agrees and answers every SET-* as
// asked (recording what came), or refuses the option.
class ScriptedServer {
 public:
  enum Mode { ANSWER, REFUSE };
  bool start(Mode mode) {
    mode_ = mode;
    listen_fd_ = listen_on_loopback(&port_);
    if (listen_fd_ < 0) return false;
    thread_ = std::thread([this] { run(); });
    return true;
  }
  std::string name() const { return "rfc2217://127.0.0.1:" + std::to_string(port_); }
  // The value of the last SET-* `command` received (-1: none).
  long last(uint8_t command) {
    std::lock_guard<std::mutex> g(lock_);
    long v = -1;
    for (size_t i = 0; i + 5 < got_.size(); i++) {
      if (got_[i] != 0xFF || got_[i + 1] != 0xFA || got_[i + 2] != 44 || got_[i + 3] != command) continue;
      v = command == 1 ? long(got_[i + 4]) << 24 | long(got_[i + 5]) << 16 | long(got_[i + 6]) << 8 | got_[i + 7]
                       : got_[i + 4];
    }
    return v;
  }
  ~ScriptedServer() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    close(listen_fd_);
  }

 private:
  void run() {
    pollfd p = {listen_fd_, POLLIN, 0};
    while (!stop_ && poll(&p, 1, 20) <= 0) {
    }
    if (stop_) return;
    int c = accept(listen_fd_, nullptr, nullptr);
    size_t answered_to = 0;
    while (!stop_ && c >= 0) {
      pollfd q = {c, POLLIN, 0};
      if (poll(&q, 1, 20) <= 0) continue;
      uint8_t buf[512];
      ssize_t n = read(c, buf, sizeof buf);
      if (n <= 0) break;
      std::lock_guard<std::mutex> g(lock_);
      got_.insert(got_.end(), buf, buf + n);
      std::vector<uint8_t> reply;
      for (size_t i = answered_to; i + 2 < got_.size(); i++) {
        if (got_[i] == 0xFF && got_[i + 1] == 251 && got_[i + 2] == 44) {
          reply.insert(reply.end(), {0xFF, uint8_t(mode_ == ANSWER ? 253 : 254), 44});
          answered_to = i + 3;
        }
        if (mode_ == ANSWER && got_[i] == 0xFF && got_[i + 1] == 0xFA && got_[i + 2] == 44) {
          size_t end = i + 3;
          while (end + 1 < got_.size() && !(got_[end] == 0xFF && got_[end + 1] == 0xF0)) end++;
          if (end + 1 >= got_.size()) break;
          reply.insert(reply.end(), {0xFF, 0xFA, 44, uint8_t(got_[i + 3] + 100)});
          reply.insert(reply.end(), got_.begin() + long(i) + 4, got_.begin() + long(end) + 2);
          answered_to = end + 2;
          i = end + 1;
        }
      }
      if (!reply.empty() && write(c, reply.data(), reply.size()) < 0) break;
    }
    if (c >= 0) close(c);
  }

  Mode mode_ = ANSWER;
  int listen_fd_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread thread_;
  std::mutex lock_;
  std::vector<uint8_t> got_;
};

TEST_F(RemotePorts, LineSettingsReachTheServerAtOnceAndARefusalIsTold) {
  ScriptedServer answering;
  ASSERT_TRUE(answering.start(ScriptedServer::ANSWER));
  LinkResult r = open(LINK_MODBUS_ASCII, answering.name());
  ASSERT_TRUE(r.ok) << r.reason;
  // As Setup or F9 would change them: 7 data bits, odd parity, 2 stop bits.
  ASSERT_TRUE(link_set_port(link_handle, 1200, 2, 2, 100, 7));
  auto give_up = Clock::now() + std::chrono::seconds(2);
  while (answering.last(1) != 1200 && Clock::now() < give_up) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_EQ(answering.last(1), 1200);
  EXPECT_EQ(answering.last(2), 7);
  EXPECT_EQ(answering.last(3), 2) << "odd parity on the wire";
  EXPECT_EQ(answering.last(4), 2);
  char note[PORT_NOTE_SIZE];
  give_up = Clock::now() + std::chrono::seconds(2);
  do serial_port_note(link_handle, note, sizeof note);
  while (strcmp(note, "RTS on send (RS-485) is left to the far port") != 0 && Clock::now() < give_up);
  EXPECT_STREQ(note, "RTS on send (RS-485) is left to the far port") << "all else taken as asked";
  close_link();

  ScriptedServer refusing;
  ASSERT_TRUE(refusing.start(ScriptedServer::REFUSE));
  r = open(LINK_SYMAX, refusing.name());
  ASSERT_TRUE(r.ok) << "the link works with the settings the far port has: " << r.reason;
  serial_port_note(link_handle, note, sizeof note);
  EXPECT_STREQ(note, "server refused the COM-PORT-OPTION: the far port keeps its own settings");
  EXPECT_EQ(refusing.last(1), -1) << "no settings sent to a server that refused them";
}

// The terminal's port over both kinds: an RTU request typed as bytes, the
// reply read back whole.
TEST_F(RemotePorts, TerminalPortTalksThroughBothStreamKinds) {
  start("rtu");
  // Slave 1, read holding register 8177 (0x1FF0), one register.
  const uint8_t request[] = {0x01, 0x03, 0x1F, 0xF0, 0x00, 0x01, 0x83, 0xED};
  for (const std::string &port : {server.raw_name(), server.telnet_name()}) {
    SCOPED_TRACE(port);
    int fd = -1;
    ASSERT_EQ(tport_open(port.c_str(), true, true, &fd), 0);
    TermPortState s;
    ASSERT_EQ(tport_get_state(fd, &s), 0);
    s.baud = 9600;
    s.parity = 0;
    ASSERT_EQ(tport_set_state(fd, s), 0);
    int done = 0;
    ASSERT_EQ(tport_write(fd, -1, request, sizeof request, &done), 0);
    EXPECT_EQ(done, static_cast<int>(sizeof request));
    uint8_t reply[7] = {};
    int got = 0;
    EXPECT_EQ(tport_read(fd, 2000, reply, sizeof reply, &got), 0);
    ASSERT_EQ(got, 7);
    EXPECT_EQ(reply[0], 0x01);
    EXPECT_EQ(reply[1], 0x03);
    EXPECT_EQ(reply[3], 'Z');
    EXPECT_EQ(reply[4], 'L');
    EXPECT_EQ(tport_close(fd), 0);
    EXPECT_TRUE(server.await_idle());
  }
}

}  // namespace
