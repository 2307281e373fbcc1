// The real serial driver and Sy/Max protocol over a pty against zl27t-sim.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "link/link.h"
#include "proto/link_handle.h"
#include "proto/serial.h"
#include "sim_process.h"

namespace {

// Reply time-out in 10-ms steps: small, so that a missing reply costs little.
constexpr unsigned TIMEOUT_STEPS = 25;

struct LinkUnderTest {
  SimProcess sim;
  LinkHandle *link = nullptr;

  bool open(const std::vector<std::string> &sim_options, bool crc = false, bool priority = false) {
    if (!sim.start(sim_options)) return false;
    const uint16_t block[9] = {1, 201};
    link = open_symax_serial(sim.path().c_str(), 0, block);
    if (!link) return false;
    link_set_port(link, 9600, 1, 1, TIMEOUT_STEPS, 8);
    link_set_options(link, crc, priority);
    return true;
  }
  ~LinkUnderTest() {
    if (link) link_close(link);
  }
};

std::vector<uint16_t> pattern(int n, uint16_t seed) {
  std::vector<uint16_t> v(n);
  for (int i = 0; i < n; i++) v[i] = static_cast<uint16_t>(seed + i * 0x0101 + (i % 3 == 0 ? 0x1000 : 0));
  return v;
}

TEST(SymaxLink, ReadsAndWritesBlocks) {
  struct Case {
    const char *name;
    bool crc, priority;
  } cases[] = {{"bcc", false, false}, {"crc", true, false}, {"priority", false, true}, {"crc priority", true, true}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    LinkUnderTest t;
    std::vector<std::string> options;
    if (c.crc) options.push_back("--crc");
    ASSERT_TRUE(t.open(options, c.crc, c.priority));
    for (int count : {1, 128}) {
      // Values with DLE bytes in them, so doubling is exercised both ways.
      std::vector<uint16_t> out = pattern(count, 0x1010), in(count, 0);
      ASSERT_EQ(link_write_registers(t.link, 3001, count, out.data()), count) << link_error_text(t.link);
      ASSERT_EQ(link_read_registers(t.link, 3001, count, in.data()), count) << link_error_text(t.link);
      EXPECT_EQ(in, out);
    }
    // The highest block the interface allows; one register more is refused.
    std::vector<uint16_t> in(128);
    EXPECT_EQ(link_read_registers(t.link, 16257, 128, in.data()), 128) << link_error_text(t.link);
    EXPECT_EQ(link_read_registers(t.link, 16258, 128, in.data()), 0);
    EXPECT_STREQ(link_error_text(t.link), "Illegal read register");
    EXPECT_EQ(link_write_registers(t.link, 0, 1, in.data()), 0);
    EXPECT_STREQ(link_error_text(t.link), "Illegal write register");
    // The identification block, as the module reports it.
    uint16_t id[13] = {};
    ASSERT_EQ(link_read_registers(t.link, 8176, 13, id), 13);
    EXPECT_EQ(id[1], ('Z' << 8) | 'L');
    EXPECT_EQ(id[12], 0x9990);
  }
}

TEST(SymaxLink, LinePacedAtItsRate) {
  // The simulator sends at 9600 baud: replies arrive a few bytes at a time
  // and the acknowledgement of a request takes real line time.
  LinkUnderTest t;
  ASSERT_TRUE(t.open({"--baud", "9600"}));
  link_set_port(t.link, 9600, 1, 1, 100, 8);
  std::vector<uint16_t> out = pattern(128, 0x1010), in(128);
  ASSERT_EQ(link_write_registers(t.link, 6001, 128, out.data()), 128) << link_error_text(t.link);
  ASSERT_EQ(link_read_registers(t.link, 6001, 128, in.data()), 128) << link_error_text(t.link);
  EXPECT_EQ(in, out);
}

// On a pty (as on a USB adapter) the port takes a frame at once; the wait for
// its acknowledgement still begins only when the frame has left the line.
// Begun too early, it sends enquiries and repeats every frame.
TEST(SymaxLink, AcknowledgementWaitStartsWhenTheFrameHasLeft) {
  LinkUnderTest t;
  const std::string stats = "/tmp/zl27t-stats-" + std::to_string(getpid());
  ASSERT_TRUE(t.open({"--baud", "9600", "--parity", "even", "--stats", stats}));
  link_set_port(t.link, 9600, 1, 1, 100, 8);
  constexpr int READS = 10;
  // The stats as the simulator writes them now (SIGUSR1) or at its end.
  auto read_stats = [&](unsigned long *rx, unsigned long *tx, unsigned long *requests) {
    FILE *f = fopen(stats.c_str(), "r");
    int n = f ? fscanf(f, "rx %lu tx %lu requests %lu", rx, tx, requests) : 0;
    if (f) fclose(f);
    return n == 3;
  };
  unsigned long rx = 0, tx = 0, requests = 0;
  for (int i = 0; i < READS; i++) {
    uint16_t v;
    ASSERT_EQ(link_read_registers(t.link, 8176 + i, 1, &v), 1) << link_error_text(t.link);
    if (i == READS / 2 - 1) {
      unlink(stats.c_str());
      ASSERT_EQ(kill(t.sim.pid(), SIGUSR1), 0);
      bool written = false;
      for (int wait = 0; wait < 400 && !(written = read_stats(&rx, &tx, &requests)); wait++) usleep(5000);
      ASSERT_TRUE(written) << "no stats after SIGUSR1";
      EXPECT_EQ(requests, static_cast<unsigned long>(READS / 2));
    }
  }
  link_close(t.link);
  t.link = nullptr;
  t.sim.stop();
  ASSERT_TRUE(read_stats(&rx, &tx, &requests));
  EXPECT_EQ(requests, static_cast<unsigned long>(READS));
  unlink(stats.c_str());
  // Each read, both ways about 18 bytes: a 16-byte frame and an
  // acknowledgement, and from the program a few fill bytes while the
  // acknowledgement of its request is on its way (room for a busy machine).
  EXPECT_LE(rx, READS * 26u);
  EXPECT_LE(tx, READS * 22u);
}

// A far end that never acknowledges: the request the caller wrote is
// followed by fill bytes from the line's character time on and DLE ENQ after
// every ten, until the reply wait is given up.
TEST(SymaxLink, UnacknowledgedRequestIsFollowedByFillsAndEnquiries) {
  int master = -1, slave = -1;
  char path[128];
  ASSERT_EQ(openpty(&master, &slave, path, nullptr, nullptr), 0);
  const uint16_t block[9] = {1, 201};
  LinkHandle *link = open_symax_serial(path, 0, block);
  ASSERT_NE(link, nullptr);
  link_set_port(link, 9600, 1, 1, 25, 8);
  // By then the reader waits on the port with nothing due: only the caller
  // that wrote the request can tell it when the first fill byte is.
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  uint16_t v[2] = {};
  EXPECT_EQ(link_read_registers(link, 8177, 2, v), 0);
  link_close(link);
  fcntl(master, F_SETFL, O_NONBLOCK);
  std::vector<uint8_t> sent;
  uint8_t buf[4096];
  for (ssize_t n; (n = read(master, buf, sizeof buf)) > 0;) sent.insert(sent.end(), buf, buf + n);
  close(slave);
  close(master);
  int fills = 0, enquiries = 0;
  for (size_t i = 0; i < sent.size(); i++) {
    if (sent[i] == 0xFE) fills++;
    if (sent[i] == 0x10 && i + 1 < sent.size() && sent[i + 1] == 0x05) enquiries++;
  }
  // 250 ms of waiting at 1.1 ms a character: about 200 fills and 20
  // enquiries on a quiet machine; a few of each on any.
  EXPECT_GE(fills, 10) << sent.size() << " bytes sent";
  EXPECT_GE(enquiries, 1);
}

TEST(SymaxLink, RefusedAndCorruptedFramesAreResent) {
  const char *faults[][2] = {{"--nak-every", "2"}, {"--bad-check-every", "2"}, {"--nak-every", "3"}};
  for (auto &f : faults) {
    SCOPED_TRACE(f[0]);
    LinkUnderTest t;
    ASSERT_TRUE(t.open({f[0], f[1]}));
    for (int i = 0; i < 6; i++) {
      std::vector<uint16_t> out = pattern(20, static_cast<uint16_t>(i)), in(20);
      ASSERT_EQ(link_write_registers(t.link, 4001, 20, out.data()), 20) << link_error_text(t.link);
      ASSERT_EQ(link_read_registers(t.link, 4001, 20, in.data()), 20) << link_error_text(t.link);
      EXPECT_EQ(in, out);
    }
    // Success leaves no failure text behind.
    EXPECT_STREQ(link_error_text(t.link), "");
  }
}

TEST(SymaxLink, FailuresKeepTheirTexts) {
  {
    LinkUnderTest t;
    ASSERT_TRUE(t.open({"--no-reply-every", "1"}));
    uint16_t v[4] = {1, 2, 3, 4};
    EXPECT_EQ(link_read_registers(t.link, 1, 4, v), 0);
    EXPECT_STREQ(link_error_text(t.link), "Read reply timeout");
    EXPECT_EQ(link_write_registers(t.link, 4001, 4, v), 0);
    EXPECT_STREQ(link_error_text(t.link), "Write reply timeout");
    EXPECT_EQ(link_read_input_registers(t.link, 0, 1, 4, v), 0);
    EXPECT_STREQ(link_error_text(t.link), "Read reply timeout");
  }
  {
    LinkUnderTest t;
    ASSERT_TRUE(t.open({"--exception", "16@100-110"}));
    uint16_t v[20] = {};
    EXPECT_EQ(link_read_registers(t.link, 95, 10, v), 0);
    EXPECT_STREQ(link_error_text(t.link), "(16) Register Count Too Large");
    EXPECT_EQ(link_write_registers(t.link, 110, 1, v), 0);
    EXPECT_STREQ(link_error_text(t.link), "(16) Register Count Too Large");
    EXPECT_EQ(link_read_registers(t.link, 111, 10, v), 10) << link_error_text(t.link);
  }
  {
    LinkUnderTest t;
    ASSERT_TRUE(t.open({"--exception", "2@2060"}));
    uint16_t v[4] = {};
    EXPECT_EQ(link_read_input_registers(t.link, 0, 2059, 2, v), 0);
    EXPECT_STREQ(link_error_text(t.link), "Modbus error reply 2 ILLEGAL DATA ADDRESS");
    EXPECT_EQ(link_read_input_registers(t.link, 0, 8177, 2, v), 2) << link_error_text(t.link);
    EXPECT_EQ(v[0], ('Z' << 8) | 'L');
  }
}

TEST(SymaxLink, ForeignTransactionIsIgnored) {
  LinkUnderTest t;
  ASSERT_TRUE(t.open({"--foreign-transaction-every", "2"}));
  std::vector<uint16_t> out = pattern(8, 0x4242);
  ASSERT_EQ(link_write_registers(t.link, 5001, 8, out.data()), 8) << link_error_text(t.link);
  int good = 0, lost = 0;
  for (int i = 0; i < 6; i++) {
    std::vector<uint16_t> in(8, 0xDEAD);
    if (link_read_registers(t.link, 5001, 8, in.data()) == 8) {
      good++;
      EXPECT_EQ(in, out);
    } else {
      lost++;
      EXPECT_STREQ(link_error_text(t.link), "Read reply timeout");
    }
  }
  EXPECT_GE(good, 2);
  EXPECT_GE(lost, 2);
}

double cpu_seconds() {
  struct rusage ru;
  getrusage(RUSAGE_SELF, &ru);
  return ru.ru_utime.tv_sec + ru.ru_stime.tv_sec + (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

TEST(SymaxLink, FarEndGoingAwayIsNotSpunOn) {
  LinkUnderTest t;
  ASSERT_TRUE(t.open({}));
  uint16_t v[4] = {};
  ASSERT_EQ(link_read_registers(t.link, 1, 4, v), 4);
  t.sim.kill_now();

  // The reader sees the hang-up and stops reading: no busy loop.
  double cpu_before = cpu_seconds();
  auto wall_before = std::chrono::steady_clock::now();
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  double cpu = cpu_seconds() - cpu_before;
  double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wall_before).count();
  EXPECT_LT(cpu, wall / 4);

  // More operations than the link has packets: none is kept back unsent.
  for (int i = 0; i < 5; i++) {
    EXPECT_EQ(link_read_registers(t.link, 1, 4, v), 0);
    EXPECT_STREQ(link_error_text(t.link), "Read reply timeout");
    EXPECT_EQ(link_write_registers(t.link, 4001, 1, v), 0);
    EXPECT_STREQ(link_error_text(t.link), "Write reply timeout");
  }
  EXPECT_EQ(link_close(t.link), 1);
  t.link = nullptr;
}

TEST(SymaxLink, FailingPollMarksThePortGoneUntilItIsOpenedAgain) {
  LinkUnderTest t;
  ASSERT_TRUE(t.open({}));
  link_set_port(t.link, 9600, 1, 1, 300, 8);   // 3 s: a wait that runs out is plain to see
  uint16_t v[2] = {};
  ASSERT_EQ(link_read_registers(t.link, 8177, 2, v), 2) << link_error_text(t.link);

  // Allowed fewer descriptors than it polls, the reader's poll fails. The
  // reader already waiting is woken to poll again (a request its caller
  // writes itself would not wake it, and its reply would be read).
  struct rlimit saved;
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
  struct rlimit one = saved;
  one.rlim_cur = 1;
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &one), 0);
  transmit_kick(t.link);
  auto start = std::chrono::steady_clock::now();
  while (!serial_port_lost(t.link) && std::chrono::steady_clock::now() - start < std::chrono::seconds(1))
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  EXPECT_TRUE(serial_port_lost(t.link));
  int result = link_read_registers(t.link, 8177, 2, v);
  double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  setrlimit(RLIMIT_NOFILE, &saved);
  EXPECT_EQ(result, 0);
  EXPECT_STREQ(link_error_text(t.link), "Read reply timeout");
  EXPECT_LT(took, 1.5);   // failed at once, not after its time-out

  // The port is usable again: the next operation opens it afresh.
  EXPECT_EQ(link_read_registers(t.link, 8177, 2, v), 2) << link_error_text(t.link);
  EXPECT_EQ(v[0], ('Z' << 8) | 'L');
}

}  // namespace
