// The register viewer left running over each serial link kind against a
// simulator on a 9600-baud line that injects one fault after another and
// goes away between them. Keys are typed while the link waits. Afterwards
// the packet pool holds what it held, the heap has not grown, the link has
// one reader thread (none once closed), every failure showed its own text
// and no wrong value was ever shown.
//
// ZL27T_SOAK_SECONDS sets the length (default a short run for every test
// pass); bench/soak.sh runs it for minutes.
#include <dirent.h>
#include <gtest/gtest.h>
#include <malloc.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "link/link.h"
#include "link/link_setup.h"
#include "link_fixture.h"
#include "platform/console.h"
#include "platform/keyboard.h"
#include "proto/link_handle.h"
#include "proto/packet.h"
#include "proto/serial.h"
#include "regview/regview.h"
#include "ui/keys.h"
#include "thread_count.h"

namespace {

using Clock = std::chrono::steady_clock;
using Ms = std::chrono::milliseconds;

constexpr uint16_t NO = 1;
constexpr int FIRST = 100;
constexpr int ROWS = 20;
// Reply time-out in 10-ms steps.
constexpr uint16_t TIMEOUT_STEPS = 50;
// Between keys typed into a wait: longer than a time-out, so that time-outs
// still run their course between keys.
constexpr Ms KEY_EVERY{700};
// A key typed while the link waits is acted on at the next idle step; far
// less than the reply time-out.
constexpr Ms KEY_BOUND{250};
// Passes of a phase that surely meet its fault (every third request).
constexpr int MIN_PASSES = 9;
// Heap growth allowed over the run: allocator slack, not a leak per refresh.
constexpr size_t HEAP_SLACK = 64 * 1024;

double soak_seconds() {
  const char *s = getenv("ZL27T_SOAK_SECONDS");
  double v = s ? atof(s) : 0;
  return v > 0 ? v : 10;
}

// The pool, and the replies that came after their request had ended: the
// next exchange gives those back first.
int packets_home() {
  std::lock_guard<std::mutex> g(link_handle->lock);
  int n = pool_count();
  for (Packet *p = serial_channel(link_handle)->rx_queue.head; p; p = p->next) n++;
  return n;
}

uint16_t preset_value(int reg) { return static_cast<uint16_t>(0x1000 + reg * 7); }

struct Phase {
  const char *name;
  std::vector<std::string> options;   // faults of the simulator
  std::set<std::string> texts;        // what its failures may show
  bool must_fail;                     // at least one of them must show
};

struct SoakLink {
  const char *name;
  uint16_t kind;
  const char *proto;                  // the simulator's
  std::set<std::string> no_reply;     // while the far end is gone, or coming back
  std::vector<Phase> phases;          // every fault the simulator injects there
};

const std::string SYMAX_NO_REPLY = "Read reply timeout";
const std::string MODBUS_NO_REPLY = "No reply to read command";
const std::string GATEWAY_NO_REPLY = "No reply to R command";

const std::vector<SoakLink> soak_links = {
    {"Sy/Max", LINK_SYMAX, "symax", {SYMAX_NO_REPLY},
     {
         {"no reply", {"--no-reply-every", "3"}, {SYMAX_NO_REPLY}, true},
         {"bad check", {"--bad-check-every", "3"}, {}, false},
         {"refused frames", {"--nak-every", "3"}, {}, false},
         {"busy", {"--busy-every", "3"}, {}, false},
         {"foreign transaction", {"--foreign-transaction-every", "3"}, {SYMAX_NO_REPLY}, true},
         {"stale replies", {"--stale-reply-every", "2"}, {}, false},
         {"error reply", {"--exception", "3@110-110"}, {"(3) Illegal Address"}, true},
         {"too slow", {"--delay", "700"}, {SYMAX_NO_REPLY}, true},
         {"clean", {}, {}, false},
     }},
    {"Modbus RTU", LINK_MODBUS_RTU, "rtu", {MODBUS_NO_REPLY},
     {
         {"no reply", {"--no-reply-every", "3"}, {MODBUS_NO_REPLY}, true},
         {"bad check", {"--bad-check-every", "3"}, {MODBUS_NO_REPLY}, true},
         {"foreign slave", {"--foreign-transaction-every", "3"}, {"Read reply had wrong drop"}, true},
         {"wrong unit", {"--wrong-unit-every", "3"}, {MODBUS_NO_REPLY, "Read reply had wrong drop"}, true},
         {"wrong function", {"--wrong-function-every", "3"}, {"Read reply had wrong opcode"}, true},
         {"cut reply", {"--reset-every", "3"}, {MODBUS_NO_REPLY}, true},
         {"exception", {"--exception", "2@110-110"}, {"Modbus error reply 2 ILLEGAL DATA ADDRESS"}, true},
         {"too slow", {"--delay", "700"}, {MODBUS_NO_REPLY}, true},
         {"clean", {}, {}, false},
     }},
    // The same faults as RTU. A late reply is taken for the next request's
    // (serial Modbus carries no transaction number), so on this slower
    // framing a fault is not sure to show in a run of a few minutes.
    {"Modbus ASCII", LINK_MODBUS_ASCII, "ascii", {MODBUS_NO_REPLY},
     {
         {"no reply", {"--no-reply-every", "3"}, {MODBUS_NO_REPLY}, false},
         {"bad check", {"--bad-check-every", "3"}, {MODBUS_NO_REPLY}, false},
         {"wrong unit", {"--wrong-unit-every", "3"}, {MODBUS_NO_REPLY, "Read reply had wrong drop"}, false},
         {"wrong function", {"--wrong-function-every", "3"}, {MODBUS_NO_REPLY, "Read reply had wrong opcode"}, false},
         {"cut reply", {"--reset-every", "3"}, {MODBUS_NO_REPLY}, false},
         {"too slow", {"--delay", "700"}, {MODBUS_NO_REPLY}, false},
         {"clean", {}, {}, false},
     }},
    // The route goes out again ("A") after the gateway came back.
    {"Gateway", LINK_GATEWAY, "gateway", {GATEWAY_NO_REPLY, "No valid reply to A command"},
     {
         {"no reply", {"--no-reply-every", "3"}, {GATEWAY_NO_REPLY}, true},
         {"wrong answer", {"--wrong-function-every", "3"}, {"Read reply too short", GATEWAY_NO_REPLY}, true},
         {"restarts", {"--reset-every", "3"}, {"No valid reply to A command", "Read reply too short"}, false},
         // A late answer is read as the next command's.
         {"too slow", {"--delay", "700"}, {GATEWAY_NO_REPLY, "Read reply too short"}, true},
         {"clean", {}, {}, false},
     }},
};

// Keys typed while the link waits: the test's own idle step in front of the
// viewer's, on the main thread as a typed key would be read there.
IdleCallback viewer_idle_callback = nullptr;
Clock::time_point next_key_at, key_typed_at;
bool key_in_flight = false;
bool key_down = true;

int typing_idle(int user) {
  auto now = Clock::now();
  if (!key_in_flight && now >= next_key_at) {
    pkbd_feed(key_down ? "\x1b[B" : "\x1b[A");   // Down, then Up: the table stays put
    key_down = !key_down;
    key_typed_at = now;
    key_in_flight = true;
  }
  return viewer_idle_callback(user);
}

class Soak : public SimLinkTest {
 protected:
  static std::vector<std::string> sim_options(const SoakLink &l, const Phase &p) {
    std::vector<std::string> o = {"--proto", l.proto, "--baud", "9600"};
    for (int r = FIRST; r < FIRST + ROWS; r++) {
      o.push_back("--set");
      o.push_back(std::to_string(r) + "=" + std::to_string(preset_value(r)));
    }
    o.insert(o.end(), p.options.begin(), p.options.end());
    return o;
  }
};

}  // namespace

TEST_F(Soak, ViewerThroughEveryFaultAndTheFarEndComingBack) {
  link_screens_init();
  const int threads_before = thread_count();
  const auto link_time = std::chrono::duration<double>(soak_seconds() / soak_links.size());
  for (const SoakLink &l : soak_links) {
    SCOPED_TRACE(l.name);
    SimProcess sim;
    ASSERT_TRUE(sim.start(sim_options(l, l.phases.back())));
    setenv("ZL27T_PORTS", sim.path().c_str(), 1);
    refresh_serial_ports();
    default_link_setup(&link_setup);
    link_setup.kind = l.kind;
    link_setup.port = 0;
    link_setup.route_count = 1;
    link_setup.route[0] = 1;
    link_setup.timeout = TIMEOUT_STEPS;
    link_setup.trap_errors = NO;   // failures on the bottom line, nothing to answer
    link_setup.rv_start_register = FIRST;
    link_setup.rv_screen_size = ROWS;
    link_setup.rv_status_registers = NO;
    link_setup.rv_identify_module = NO;
    ASSERT_NE(link_open(), nullptr);
    RegisterViewer v;
    ASSERT_TRUE(viewer_enter(&v, VIEWER_STATUS_OFFSET));
    next_key_at = Clock::now() + Ms(3600 * 1000);   // no keys before the warm-up pass
    key_in_flight = false;
    key_down = true;
    viewer_idle_callback = link_handle->idle;
    ASSERT_NE(viewer_idle_callback, nullptr);
    link_set_idle_callback(link_handle, typing_idle, link_handle->idle_user);

    // Warm up: a good pass, then the figures to hold to.
    ASSERT_EQ(viewer_refresh(&v), VIEWER_REFRESHED);
    ASSERT_FALSE(v.failed) << link_error_text(link_handle);
    const int pool_before = packets_home();
    const int threads_open = thread_count();
    EXPECT_EQ(threads_open, threads_before + 1);
    const size_t heap_before = mallinfo2().uordblks;

    // A long run goes round the phases again and again.
    const auto phase_time = std::min(Ms(4000), std::chrono::duration_cast<Ms>(link_time / l.phases.size()));
    std::map<std::string, std::set<std::string>> texts;   // phase -> texts shown
    std::map<std::string, int> passes;                    // phase -> reads that ran their course
    Ms slowest_key{0};
    long refreshes = 0, keys = 0, wrong_values = 0, rounds = 0, not_shown = 0, moved = 0, left = 0;
    next_key_at = Clock::now();
    auto end = Clock::now() + link_time;
    // One step of the viewer's loop, with what it showed taken down.
    auto step = [&](const char *phase) {
      mem_console_log().clear();   // the memory console's record of writes is the test's, not the program's
      ViewerStep st = viewer_refresh(&v);
      refreshes++;
      if (st == VIEWER_KEY) {
        if (key_in_flight) {
          slowest_key = std::max(slowest_key, std::chrono::duration_cast<Ms>(Clock::now() - key_typed_at));
          key_in_flight = false;
          next_key_at = Clock::now() + KEY_EVERY;
          keys++;
        }
        if (!viewer_key(&v)) left++;
        wait_key_seen = 0;   // as the viewer's own loop does after each key
        return;
      }
      EXPECT_EQ(st, VIEWER_REFRESHED);
      passes[phase]++;
      if (v.failed) {
        std::string text = link_error_text(link_handle);
        texts[phase].insert(text);
        // As much as the error window's 40 columns hold.
        if (mem_console_row_text(24).find(text.substr(0, 40)) == std::string::npos) not_shown++;
        return;
      }
      if (v.values_first != FIRST) moved++;
      for (int i = 0; i < v.values_count; i++)
        if (v.values[i] != preset_value(FIRST + i)) wrong_values++;
    };
    do {
      rounds++;
      for (const Phase &p : l.phases) {
        SCOPED_TRACE(p.name);
        // The far end goes away for a moment and comes back with the fault.
        sim.kill_now();
        for (auto until = Clock::now() + Ms(300); Clock::now() < until;) step("gone");
        ASSERT_TRUE(sim.restart(sim_options(l, p)));
        for (auto until = Clock::now() + phase_time; Clock::now() < until;) step(p.name);
      }
    } while (Clock::now() < end);

    // A quiet pass last, so no request or late reply is in flight.
    key_in_flight = false;
    next_key_at = Clock::now() + Ms(3600 * 1000);
    while (key_waiting()) viewer_key(&v);
    wait_key_seen = 0;
    ASSERT_EQ(viewer_refresh(&v), VIEWER_REFRESHED);
    ASSERT_FALSE(v.failed) << link_error_text(link_handle);

    size_t heap_after = mallinfo2().uordblks;
    printf("soak %s: %ld rounds, %ld refreshes, %ld keys typed into waits (slowest acted on after %lld ms), "
           "pool %d -> %d, heap in use %zu -> %zu bytes, threads %d -> %d\n",
           l.name, rounds, refreshes, keys, static_cast<long long>(slowest_key.count()), pool_before, packets_home(),
           heap_before, heap_after, threads_open, thread_count());
    EXPECT_EQ(wrong_values, 0);
    EXPECT_EQ(not_shown, 0) << "failures whose text was not on the bottom line";
    EXPECT_EQ(moved, 0) << "passes that read another part of the table";
    EXPECT_EQ(left, 0) << "keys that left the viewer";
    EXPECT_GT(keys, 0);
    EXPECT_LE(slowest_key, KEY_BOUND);
    for (const Phase &p : l.phases) {
      std::set<std::string> allowed = p.texts;
      allowed.insert(l.no_reply.begin(), l.no_reply.end());   // the moment the far end went or came back
      // A short run may give a phase too few passes for its fault to come.
      if (p.must_fail && passes[p.name] >= MIN_PASSES) {
        bool any = false;
        for (const std::string &t : p.texts) any = any || texts[p.name].count(t);
        EXPECT_TRUE(any) << p.name << ": none of its texts showed";
      }
      for (const std::string &t : texts[p.name]) EXPECT_TRUE(allowed.count(t)) << p.name << ": showed " << t;
    }
    for (const std::string &t : texts["gone"]) EXPECT_TRUE(l.no_reply.count(t)) << "gone: showed " << t;
    EXPECT_EQ(packets_home(), pool_before);
    EXPECT_EQ(thread_count(), threads_open);
    EXPECT_LE(heap_after, heap_before + HEAP_SLACK) << "heap " << heap_before << " -> " << heap_after;

    viewer_leave(&v);
    link_close(link_handle);
    link_handle = nullptr;
    EXPECT_EQ(thread_count(), threads_before);
    EXPECT_EQ(pool_count(), pool_before);
  }
}
