// The byte-stream kinds by name: which kind a list name is, its HOST and
// PORT, remote names in ZL27T_PORTS kept whole as written, and the opens
// that fail, each with its own text and no wait beyond its bound.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/byte_stream.h"
#include "platform/ports.h"

namespace {

TEST(ByteStream, NamesChooseTheKindAndGiveHostAndPort) {
  struct Case {
    const char *name;
    StreamKind kind;
    bool address_ok;
    const char *host;
    uint16_t port;
  } cases[] = {
      {"ttyUSB0", STREAM_TTY, false, "", 0},
      {"/dev/pts/3", STREAM_TTY, false, "", 0},
      {"socket://127.0.0.1:4001", STREAM_RAW_TCP, true, "127.0.0.1", 4001},
      {"rfc2217://plant-gw.example:2217", STREAM_RFC2217, true, "plant-gw.example", 2217},
      {"rfc2217://[::1]:7000", STREAM_RFC2217, true, "::1", 7000},
      {"socket://[fe80::1%eth0]:65535", STREAM_RAW_TCP, true, "fe80::1%eth0", 65535},
      {"socket://::1:7000", STREAM_RAW_TCP, false, "", 0},   // IPv6 wants brackets
      {"socket://host", STREAM_RAW_TCP, false, "", 0},
      {"socket://host:0", STREAM_RAW_TCP, false, "", 0},
      {"socket://host:65536", STREAM_RAW_TCP, false, "", 0},
      {"socket://host:12a", STREAM_RAW_TCP, false, "", 0},
      {"socket://:4001", STREAM_RAW_TCP, false, "", 0},
      {"SOCKET://host:1", STREAM_TTY, false, "", 0},   // no case change, as for any name
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(stream_kind_of_name(c.name).kind, c.kind);
    std::string host;
    uint16_t port = 0;
    EXPECT_EQ(stream_split_address(c.name, &host, &port), c.address_ok);
    if (c.address_ok) {
      EXPECT_EQ(host, c.host);
      EXPECT_EQ(port, c.port);
    }
  }
  // What each kind can do, where it matters above.
  EXPECT_TRUE(stream_kind_entry(STREAM_TTY).caps & STREAM_LINE_TIMING);
  EXPECT_FALSE(stream_kind_entry(STREAM_RAW_TCP).caps & (STREAM_LINE_TIMING | STREAM_LINE_SETTINGS));
  EXPECT_TRUE(stream_kind_entry(STREAM_RFC2217).caps & STREAM_LINE_SETTINGS);
  EXPECT_FALSE(stream_kind_entry(STREAM_RFC2217).caps & (STREAM_LINE_TIMING | STREAM_RTS_TOGGLE));
}

TEST(ByteStream, RemoteNamesComeFromTheEnvironmentAsWritten) {
  setenv("ZL27T_PORTS",
         "socket://10.0.0.5:4001:rfc2217://[fe80::2]:2217:ttyUSB3:rfc2217://gw:7000:socket://10.0.0.5:4001", 1);
  std::vector<std::string> want = {"socket://10.0.0.5:4001", "rfc2217://[fe80::2]:2217", "ttyUSB3",
                                   "rfc2217://gw:7000"};
  EXPECT_EQ(plat_serial_ports_in(nullptr, 40), want);
  unsetenv("ZL27T_PORTS");
  EXPECT_EQ(plat_port_path("rfc2217://gw:7000"), "rfc2217://gw:7000");
  EXPECT_TRUE(plat_port_exists("socket://10.0.0.5:4001")) << "not a file to look for";
}

TEST(ByteStream, OpensThatFailSayWhyWithinTheirBound) {
  struct Case {
    const char *name;
    const char *text;
  } cases[] = {
      {"socket://127.0.0.1:1", "socket://127.0.0.1:1: connection refused"},
      {"rfc2217://[::1]:1", "rfc2217://[::1]:1: connection refused"},
      {"socket://no-such-host.invalid:4001", "socket://no-such-host.invalid:4001: host not found"},
      {"rfc2217://gw", "rfc2217://gw is not HOST:PORT"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    SerialPort port;
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(sport_open(&port, c.name, PortSettings{}));
    EXPECT_STREQ(port.note, c.text);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(4));
  }
}

// A listener that never accepts: the kernel completes the connection, and
// nothing ever answers the negotiation.
struct SilentServer {
  int fd = -1;
  uint16_t port = 0;
  SilentServer() {
    fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (bind(fd, reinterpret_cast<sockaddr *>(&a), len) == 0 && listen(fd, 4) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len) == 0)
      port = ntohs(a.sin_port);
  }
  ~SilentServer() { close(fd); }
  std::string name() const { return "rfc2217://127.0.0.1:" + std::to_string(port); }
};

TEST(ByteStream, AServerThatNeverAnswersHoldsTheOpenOnlyAsLongAsItsBound) {
  SilentServer server;
  ASSERT_NE(server.port, 0);
  SerialPort port;
  auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(sport_open(&port, server.name().c_str(), PortSettings{}));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
  EXPECT_STREQ(port.note, "server did not answer the COM-PORT-OPTION: line settings unconfirmed");
  uint8_t b[4];
  EXPECT_EQ(sport_read(&port, b, sizeof b), 0) << "nothing came, and the stream is not gone";
  sport_close(&port);

  // A step that gives up (a key during the wait) ends it at once.
  StreamWait wait;
  wait.step = [](int) { return 0; };
  start = std::chrono::steady_clock::now();
  EXPECT_FALSE(sport_open(&port, server.name().c_str(), PortSettings{}, wait));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(200));
  EXPECT_EQ(std::string(port.note), server.name() + ": connecting given up");
}

}  // namespace
