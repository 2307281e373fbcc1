// Whole-configuration transfers against the physical limit of the line:
// zl27t-sim paced like a real line at 9600 baud with even parity (11 bits a
// character, both directions), the program fetching and then sending the
// whole configuration over each serial link kind. Each row divides the time
// taken by the time the bytes counted by the simulator (both directions,
// acknowledgements included) need on the wire. The rows "via ser2net" reach
// the simulator through ser2net's RFC 2217 port on loopback, set to forward
// at once (no chardelay, as the README's example): the network should add
// little, the pacing being the far line's.
//   wire_bench [--rounds N] [--baud N]
// Prints one table; exits 1 when a transfer failed or a goal was missed.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "config/modem_config.h"
#include "config/transfer.h"
#include "link/link.h"
#include "link/link_core.h"
#include "link/link_kinds.h"
#include "link/link_setup.h"
#include "platform/console.h"
#include "ser2net_process.h"
#include "sim_process.h"
#include "ui/keys.h"
#include "ui/screen.h"
#include "ui/ui.h"

namespace {

constexpr int BITS_PER_CHARACTER = 11;   // start, 8 data, parity, stop
constexpr uint16_t EVEN_PARITY = 1;

struct Transport {
  const char *name;
  uint16_t kind;
  const char *sim_proto;
  double goal;   // at most this many times the wire time
  bool via_ser2net = false;   // fetched only, through ser2net's RFC 2217 port
};

// RTU's frame end waits for line silence, so its goal is looser; through
// ser2net frames end by length and CRC, so ser2net need not wait for the
// line to fall silent before it forwards what came (SER2NET_FORWARD_AT_ONCE).
const Transport transports[] = {
    {"Sy/Max", LINK_SYMAX, "symax", 1.1},
    {"Gateway", LINK_GATEWAY, "gateway", 1.1},
    {"Modbus RTU", LINK_MODBUS_RTU, "rtu", 1.5},
    {"Modbus ASCII", LINK_MODBUS_ASCII, "ascii", 1.1},
    {"Sy/Max ser2net", LINK_SYMAX, "symax", 1.15, true},
    {"RTU ser2net", LINK_MODBUS_RTU, "rtu", 1.15, true},
};

// ser2net's accepter options for these rows. By default ser2net holds what
// the serial line brings until two characters' time (at least 1 ms) have
// passed without another, to send it in fewer packets. Our side ends a frame
// by its length and check, not by a silence, so the wait only delays every
// reply. The frame trace of an RTU fetch at 9600 baud shows each exchange
// taking 3.9 ms more than its bytes' line time with the wait and 0.5 ms
// without: the many short exchanges of Modbus RTU lost 1.23 times the wire
// time here with it, 1.04 without.
constexpr const char SER2NET_FORWARD_AT_ONCE[] = "    chardelay: false\n";

enum Phase { FETCH, SEND };
const char *const phase_names[] = {"fetch", "send"};

struct Result {
  bool ok = false;
  long bytes = 0;
  double took_s = 0;
  std::string why;
};

unsigned baud_index_of(unsigned baud) {
  for (unsigned i = 0; i < BAUD_COUNT; i++)
    if (baud_rate[i] == baud) return i;
  return 13;
}

bool read_stats(const std::string &path, long *rx, long *tx) {
  std::ifstream f(path);
  std::string a, b;
  return static_cast<bool>(f >> a >> *rx >> b >> *tx) && a == "rx" && b == "tx";
}

// One transfer against a simulator of its own, so its counts are the
// transfer's alone (opening a serial link sends nothing).
Result run_once(const Transport &t, Phase phase, unsigned baud) {
  Result r;
  auto sim = std::make_unique<SimProcess>();
  char stats[] = "/tmp/zl27t-wire-XXXXXX";
  int fd = mkstemp(stats);
  if (fd < 0) return r.why = "mkstemp", r;
  close(fd);
  std::string baud_text = std::to_string(baud);
  if (!sim->start({"--proto", t.sim_proto, "--baud", baud_text, "--parity", "even", "--stats", stats})) {
    unlink(stats);
    return r.why = "simulator did not start", r;
  }
  auto server = std::make_unique<Ser2netProcess>();
  if (t.via_ser2net && !server->start(sim->path(), SER2NET_FORWARD_AT_ONCE)) {
    unlink(stats);
    return r.why = "ser2net did not start", r;
  }
  setenv("ZL27T_PORTS", t.via_ser2net ? server->telnet_name().c_str() : sim->path().c_str(), 1);
  refresh_serial_ports();
  default_link_setup(&link_setup);
  link_setup.kind = t.kind;
  link_setup.port = 0;
  link_setup.baud = static_cast<uint16_t>(baud_index_of(baud));
  link_setup.parity = EVEN_PARITY;
  link_setup.route_count = 1;
  link_setup.route[0] = 1;
  link_handle = nullptr;
  key_queue_reset();
  if (!link_open()) {
    unlink(stats);
    return r.why = "link did not open", r;
  }
  build_default_config();   // what the simulator holds: sending it asks nothing
  auto t0 = std::chrono::steady_clock::now();
  if (phase == FETCH) {
    r.ok = fetch_config();
  } else {
    push_keys("\x9a");   // F10 on an error box, so a failure cannot hang here
    send_config();
    r.ok = key_queue_count() == 1;   // no box took the key
  }
  r.took_s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  if (!r.ok) r.why = link_error_text(link_handle);
  key_queue_reset();
  link_close(link_handle);
  link_handle = nullptr;
  server.reset();
  sim.reset();   // ends it, which writes its counts
  long rx = 0, tx = 0;
  if (!read_stats(stats, &rx, &tx)) {
    r.ok = false;
    r.why = "no byte counts from the simulator";
  }
  unlink(stats);
  r.bytes = rx + tx;
  return r;
}

}  // namespace

int main(int argc, char **argv) {
  int rounds = 3;
  unsigned baud = 9600;
  for (int i = 1; i < argc; i++) {
    if (!strcmp(argv[i], "--rounds") && i + 1 < argc)
      rounds = std::max(1, atoi(argv[++i]));
    else if (!strcmp(argv[i], "--baud") && i + 1 < argc)
      baud = static_cast<unsigned>(atoi(argv[++i]));
    else {
      fprintf(stderr, "usage: wire_bench [--rounds N] [--baud N]\n");
      return 2;
    }
  }
  if (!ui_init(CONSOLE_MEMORY)) return 1;
  link_screens_init();
  bool all_met = true;
  printf("Whole configuration at %u baud, %d bits a character (median of %d)\n", baud, BITS_PER_CHARACTER, rounds);
  printf("%-15s %-5s %7s %9s %9s %6s %5s  %s\n", "transport", "phase", "bytes", "wire ms", "took ms", "ratio", "goal",
         "");
  for (const Transport &t : transports) {
    for (Phase phase : {FETCH, SEND}) {
      if (t.via_ser2net && phase == SEND) continue;
      if (!link_kind_entry(t.kind)) {
        printf("%-15s %-5s %7s %9s %9s %6s %5.2f  not built\n", t.name, phase_names[phase], "-", "-", "-", "-", t.goal);
        continue;
      }
      std::vector<Result> results;
      std::string failure;
      for (int i = 0; i < rounds; i++) {
        Result r = run_once(t, phase, baud);
        if (!r.ok) failure = r.why;
        results.push_back(r);
      }
      std::sort(results.begin(), results.end(), [](const Result &a, const Result &b) { return a.took_s < b.took_s; });
      const Result &m = results[results.size() / 2];
      double wire_s = static_cast<double>(m.bytes) * BITS_PER_CHARACTER / baud;
      double ratio = wire_s > 0 ? m.took_s / wire_s : 0;
      bool met = failure.empty() && ratio <= t.goal;
      all_met = all_met && met;
      printf("%-15s %-5s %7ld %9.0f %9.0f %6.2f %5.2f  %s\n", t.name, phase_names[phase], m.bytes, wire_s * 1000,
             m.took_s * 1000, ratio, t.goal, !failure.empty() ? ("FAILED: " + failure).c_str() : met ? "met" : "MISSED");
    }
  }
  ui_shutdown();
  return all_met ? 0 : 1;
}
