// The program's live screens left running against a simulator on a 9600-baud
// line that injects one fault after another and goes away between them, with
// keys typed now and then. Errors are not trapped, so each failure shows its
// text on the bottom line and the screen goes on. Afterwards the program has
// the threads it had, its memory has not grown, it never ran short of message
// buffers, only the faults' own texts were shown, and Esc and Quit still act
// at once.
//
// ZL27T_SOAK_SECONDS sets the length (default a short run for every test
// pass); bench/soak.sh runs it for minutes.
#include <dirent.h>

#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "harness.h"

using namespace e2e;

namespace {

constexpr uint16_t NO = 1;

double soak_seconds() {
  const char *s = getenv("ZL27T_SOAK_SECONDS");
  double v = s ? atof(s) : 0;
  return v > 0 ? v : 6;
}

int threads_of(int pid) {
  int n = 0;
  std::string dir = "/proc/" + std::to_string(pid) + "/task";
  if (DIR *d = opendir(dir.c_str())) {
    while (dirent *e = readdir(d))
      if (e->d_name[0] != '.') n++;
    closedir(d);
  }
  return n;
}

// Resident memory in KiB.
long rss_of(int pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);)
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  return -1;
}

// Growth of resident memory allowed over a run: page-sized noise, not a leak.
constexpr long RSS_SLACK_KIB = 1024;

struct Fault {
  const char *name;
  std::vector<std::string> options;
  const char *text;   // what its failures show (null: all recovered)
};

const std::vector<Fault> faults = {
    {"no reply", {"--no-reply-every", "3"}, "Read reply timeout"},
    {"bad check", {"--bad-check-every", "3"}, nullptr},
    {"refused frames", {"--nak-every", "3"}, nullptr},
    {"busy", {"--busy-every", "3"}, nullptr},
    {"foreign transaction", {"--foreign-transaction-every", "3"}, nullptr},
    {"stale replies", {"--stale-reply-every", "2"}, nullptr},
    {"too slow", {"--delay", "700"}, "Read reply timeout"},
    {"clean", {}, nullptr},
};

// Texts a failure of these screens may show on the bottom line.
const std::set<std::string> fault_texts = {"Read reply timeout", "Write reply timeout"};

struct LiveScreen {
  const char *name;
  const char *keys;    // from the menu bar
  const char *shows;   // once it is up
  const char *moves;   // keys typed now and then (nothing that writes)
  // How a failed read shows when not by its text on the bottom line.
  const char *failure_mark = nullptr;
};

const LiveScreen live_screens[] = {
    {"register viewer", "uv", "REGSTR", "{Down}{Up}"},
    {"online editor", "n", "Communication Mode", "{Down}{Up}"},
    {"signal strength", "us", "SIGNAL STRENGTH", "", "ERROR"},   // in place of the value
    {"lead monitor", "ul", "LEAD MONITOR", ""},
};

std::string trimmed(std::string s) {
  size_t end = s.find_last_not_of(' ');
  return end == std::string::npos ? "" : s.substr(0, end + 1);
}

}  // namespace

TEST(Soak, LiveScreensThroughEveryFaultAndTheFarEndComingBack) {
  for (const LiveScreen &screen : live_screens) {
    SCOPED_TRACE(screen.name);
    ZlSession s;
    SimProcess sim;
    auto sim_args = [&](const Fault &f) {
      std::vector<std::string> a = {"--pty", s.path("modem"), "--baud", "9600"};
      a.insert(a.end(), f.options.begin(), f.options.end());
      return a;
    };
    ASSERT_TRUE(sim.start(sim_args(faults.back())));
    LinkSetup setup = setup_record();
    setup.trap_errors = NO;
    setup.timeout = 50;
    setup.rv_identify_module = NO;
    s.set_env("ZL27T_PORTS", s.path("modem"));
    ASSERT_TRUE(s.write_setup(setup));
    ASSERT_TRUE(s.start_at_menu());
    s.keys(screen.keys);
    ASSERT_TRUE(s.wait_for_text(screen.shows));
    s.pump_for(Session::Ms(500));
    const int threads = threads_of(s.pid());
    const long rss = rss_of(s.pid());
    ASSERT_GE(threads, 2) << "the link's reader thread";

    std::set<std::string> shown;          // bottom-line texts
    std::set<std::string> faults_shown;   // faults whose text came
    auto watch = [&](const Fault *f, Session::Ms how_long) {
      for (auto end = Session::Clock::now() + how_long; Session::Clock::now() < end;) {
        s.pump_for(Session::Ms(5));
        std::string bottom = trimmed(s.row(25));
        for (const std::string &t : fault_texts)
          if (bottom.find(t) != std::string::npos) {
            shown.insert(t);
            if (f && f->text && t == f->text) faults_shown.insert(f->name);
          }
        if (bottom.find("Buffer shortage") != std::string::npos) shown.insert(bottom);
        if (f && f->text && screen.failure_mark && s.contains(screen.failure_mark)) faults_shown.insert(f->name);
      }
    };
    const auto per_fault = Session::Ms(static_cast<long>(soak_seconds() * 1000 / faults.size() / std::size(live_screens)));
    for (auto end = Session::Clock::now() + std::chrono::duration<double>(soak_seconds() / std::size(live_screens));
         Session::Clock::now() < end;) {
      for (const Fault &f : faults) {
        sim.stop();   // the far end goes away ...
        watch(nullptr, Session::Ms(300));
        ASSERT_TRUE(sim.start(sim_args(f)));   // ... and comes back with the fault
        s.keys(screen.moves);
        watch(&f, per_fault);
        s.keys(screen.moves);
      }
    }

    for (const std::string &t : shown) EXPECT_TRUE(fault_texts.count(t)) << "showed " << t;
    for (const Fault &f : faults) {
      if (f.text) {
        EXPECT_TRUE(faults_shown.count(f.name)) << f.name << " never showed " << f.text;
      }
    }
    EXPECT_EQ(threads_of(s.pid()), threads);
    long rss_after = rss_of(s.pid());
    EXPECT_LE(rss_after, rss + RSS_SLACK_KIB) << "resident KiB " << rss << " -> " << rss_after;
    // Still answering: Esc leaves the screen, Quit ends the program.
    s.press(Key::Esc);
    ASSERT_TRUE(s.wait_until([&] { return s.row(4).rfind("oNline", 0) == 0; }, "the menu bar",
                             Session::Ms(1000)));
    s.type("q");
    EXPECT_EQ(s.wait_exit(Session::Ms(2000)), 0);
  }
}
