// The online editor and the diagnostic screens against a modem held in
// memory: its register operations run a hook "inside the wait", where a real
// link would call the idle callback, so a test places a key exactly in the
// middle of a given fetch or write.
#include <gtest/gtest.h>

#include "ui_fixture.h"

#include <chrono>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "config/modem_config.h"
#include "editor/online.h"
#include "editor/param_editor.h"
#include "link/link.h"
#include "link/link_setup.h"
#include "platform/console.h"
#include "ui/keys.h"
#include "ui/pace.h"

namespace {

// One exchange as the fake modem saw it.
struct Exchange {
  char op;   // 'f' fetch item, 's' send item, 'r' read, 'w' write
  int what;  // item or first register
  uint16_t value;
};

struct FakeModem {
  ModemConfig config;        // what the modem holds
  uint16_t status = 0;       // register 2 beyond the flags
  uint16_t errors = 0;       // register 6
  bool dead = false;         // every operation fails at once, without a wait
  bool aborted = false;      // the idle callback ended the wait in progress
  int depth = 0, max_depth = 0;
  std::vector<Exchange> log;
  IdleCallback idle = nullptr;
  // Runs inside the wait of each exchange; the second argument is how many
  // exchanges of that kind and item came before.
  std::function<void(const Exchange &, int)> during;

  int seen(char op, int what) const {
    int n = 0;
    for (const Exchange &e : log) n += e.op == op && e.what == what;
    return n;
  }
  // Enters an exchange: logs it and runs the hook as a waiting link would.
  // A dead modem fails at once, with no wait and so no hook.
  bool exchange(Exchange e) {
    int before = seen(e.op, e.what);
    log.push_back(e);
    // A test whose keys never get through ends here rather than hanging.
    if (log.size() > 400) {
      ADD_FAILURE() << "the screen never ended";
      exit_request = true;
      last_key = 'x';
      during = nullptr;
    }
    if (dead) return false;
    aborted = false;
    max_depth = std::max(max_depth, ++depth);
    if (during) during(e, before);
    depth--;
    return !aborted;
  }
  bool wrote() const {
    for (const Exchange &e : log)
      if (e.op == 's' || e.op == 'w') return true;
    return false;
  }
};
FakeModem modem;

// The value an item write carried, for the items the tests look at.
uint16_t item_value(const ModemConfig &c, int item) {
  switch (item) {
    case 1: return c.flags;
    case 2: return c.port_rate;
    default: return 0;
  }
}

bool fake_fetch(int item) {
  if (!modem.exchange({'f', item, 0})) return false;
  copy_item(working_config, modem.config, item);   // the reply lands after the wait
  return true;
}
bool fake_send(int item) {
  ModemConfig sent = working_config;                // taken before the wait, as sent
  if (!modem.exchange({'s', item, item_value(sent, item)})) return false;
  copy_item(modem.config, sent, item);
  return true;
}
int fake_read(int first, int count, uint16_t *values) {
  if (!modem.exchange({'r', first, 0})) return 0;
  for (int i = 0; i < count; i++) {
    switch (first + i) {
      case 1: values[i] = modem.config.flags; break;
      case 2: values[i] = static_cast<uint16_t>(modem.config.flags | modem.status); break;
      case 6: values[i] = modem.errors; break;
      default: values[i] = 0; break;
    }
  }
  return count;
}
int fake_write(int first, int, const uint16_t *values) {
  return modem.exchange({'w', first, values[0]}) ? 1 : 0;
}
const char *fake_text() { return modem.aborted ? "Application idle abort" : "Read reply timeout"; }
void fake_idle(IdleCallback callback) { modem.idle = callback; }

constexpr ModemAccess fake_access = {
    .fetch_item = fake_fetch,
    .send_item = fake_send,
    .read = fake_read,
    .write = fake_write,
    .error_text = fake_text,
    .set_idle = fake_idle,
};

// A key typed while the link waits: queued, then taken by the idle callback.
void type_in_wait(const std::string &keys) {
  push_keys(keys.c_str());
  for (size_t i = 0; i < keys.size(); i++)
    if (!modem.idle(0)) modem.aborted = true;
}

class Online : public UiTest {
 protected:
  void SetUp() override {
    UiTest::SetUp();
    default_link_setup(&link_setup);
    link_screens_init();          // the trap setting reaches the error box
    link_setup.trap_errors = 1;   // failures on the bottom line, no boxes
    build_default_config();
    modem = FakeModem{};
    modem.config = working_config;
    modem_access = fake_access;
    current_field = 1;
    key_queue_reset();
  }
  void TearDown() override {
    modem_access = link_access;
    modem.during = nullptr;
    key_queue_reset();
    UiTest::TearDown();
  }
  // Item writes in order: item and value.
  static std::vector<std::pair<int, uint16_t>> sends() {
    std::vector<std::pair<int, uint16_t>> out;
    for (const Exchange &e : modem.log)
      if (e.op == 's') out.push_back({e.what, e.value});
    return out;
  }
};

constexpr int PORT_RATE_FIELD = 7;
constexpr int PORT_RATE_ITEM = 2;

TEST(TrackChanges, EachFieldMarksItsOwnItemOnly) {
  const struct {
    int item;
    void (*change)(ModemConfig &);
  } cases[] = {
      {1, [](ModemConfig &c) { c.flags ^= CFG_WATCHDOG; }},
      {2, [](ModemConfig &c) { c.port_rate++; }},
      {3, [](ModemConfig &c) { c.line_rate++; }},
      {4, [](ModemConfig &c) { c.number_pointer++; }},
      {5, [](ModemConfig &c) { c.dial_string[0] = '9'; }},
      {6, [](ModemConfig &c) { c.password++; }},
      {7, [](ModemConfig &c) { c.carrier_threshold++; }},
      {8, [](ModemConfig &c) { c.cts_on_delay++; }},
      {9, [](ModemConfig &c) { c.cts_off_delay++; }},
      {10, [](ModemConfig &c) { c.answer_rings++; }},
      {11, [](ModemConfig &c) { c.escape_char++; }},
      {12, [](ModemConfig &c) { c.cr_char++; }},
      {13, [](ModemConfig &c) { c.lf_char++; }},
      {14, [](ModemConfig &c) { c.bs_char++; }},
      {15, [](ModemConfig &c) { c.dial_tone_wait++; }},
      {16, [](ModemConfig &c) { c.carrier_wait++; }},
      {17, [](ModemConfig &c) { c.comma_pause++; }},
      {18, [](ModemConfig &c) { c.dtmf_duration++; }},
      {19, [](ModemConfig &c) { c.guard_time++; }},
      // Not items: the reserved bytes, and bytes after the dial string's end.
      {0, [](ModemConfig &c) { c.reserved_s1[0]++; }},
      {0, [](ModemConfig &c) { c.reserved[3]++; }},
      {0, [](ModemConfig &c) { c.dial_string[20] = 'x'; }},
  };
  build_default_config();
  const ModemConfig snapshot = working_config;
  for (const auto &c : cases) {
    SCOPED_TRACE(c.item);
    working_config = snapshot;
    c.change(working_config);
    changed_items = 0;
    track_changes(snapshot);
    EXPECT_EQ(changed_items, c.item ? 1u << (c.item - 1) : 0u);
  }
  // Marks add up; nothing is ever unmarked here.
  changed_items = 1u << 18;
  working_config = snapshot;
  working_config.port_rate++;
  track_changes(snapshot);
  EXPECT_EQ(changed_items, (1u << 18) | 2u);
}

// A change typed while its own item is on the wire, fetched or written, or
// just before Esc, reaches the modem and stays on the screen.
TEST_F(Online, ChangeTypedDuringItsFetchOrWriteWins) {
  const struct {
    const char *when;
    std::string in_fetch;   // typed during the item's first refresh after the initial read
    std::string in_write;   // typed during the write that follows
    uint16_t expected;      // port rate index the modem ends with (it starts at 13, 9600)
    const char *shown;
  } cases[] = {
      {"during the fetch", "+", "", 14, "14400"},
      {"during its write", "+", "+", 15, "19200"},
      {"and Esc at once", "+\x1b", "", 14, "14400"},
      {"and Esc during its write", "+", "\x1b", 14, "14400"},   // the write is not cut short
  };
  const uint32_t port_bit = 1u << (PORT_RATE_ITEM - 1);
  for (const auto &c : cases) {
    SCOPED_TRACE(c.when);
    build_default_config();
    modem = FakeModem{};
    modem.config = working_config;
    current_field = PORT_RATE_FIELD;
    int step = 0;
    modem.during = [&](const Exchange &e, int before) {
      if (step == 0 && e.op == 'f' && e.what == PORT_RATE_ITEM && before == 1) {
        step = 1;
        type_in_wait(c.in_fetch);
      } else if (step == 1 && e.op == 's' && e.what == PORT_RATE_ITEM && !c.in_write.empty()) {
        step = 2;
        type_in_wait(c.in_write);
      } else if (step > 0 && !exit_request && modem.config.port_rate == c.expected && !(changed_items & port_bit)) {
        type_in_wait("\x1b");
      }
    };
    online_editor();
    EXPECT_EQ(modem.config.port_rate, c.expected);
    EXPECT_EQ(working_config.port_rate, c.expected);
    EXPECT_EQ(row(9).substr(19, 5), c.shown);
    EXPECT_EQ(modem.max_depth, 1);   // nothing written inside another exchange
    EXPECT_EQ(modem.seen('s', PORT_RATE_ITEM), c.expected == 15 ? 2 : 1);
    EXPECT_FALSE(log_has("Application idle abort"));
  }

  // A fast reply gives no turn inside its wait: a key waiting then is taken
  // right after the reply lands, and must see the change still to be written
  // (typed during the first read), not the value just fetched.
  SCOPED_TRACE("again as the reply lands");
  build_default_config();
  modem = FakeModem{};
  modem.config = working_config;
  current_field = PORT_RATE_FIELD;
  modem.during = [&](const Exchange &e, int before) {
    if (e.op == 'r' && e.what == 1 && before == 0) type_in_wait("+");   // 14, not yet written
    if (e.op == 'f' && e.what == PORT_RATE_ITEM && before == 0) push_keys("+");
    if (e.op == 'f' && e.what == 9) push_keys("\x1b");
  };
  online_editor();
  EXPECT_EQ(modem.config.port_rate, 15);
  EXPECT_EQ(row(9).substr(19, 5), "19200");
}

TEST_F(Online, ConnectAndHangUpAsEdgesOfTheConnectBit) {
  const struct {
    const char *keys;
    bool connected;                  // carrier up at the start
    std::vector<uint16_t> connect;   // bit 0 of each write of item 1
  } cases[] = {
      {"\x97", false, {0, 1}},          // F7: the bit rises
      {"\x98", true, {1, 0}},           // F8 while connected: it falls
      {"\x98", false, {0}},             // F8 on hook: only the cleared bit
      {"\x97\x98", false, {0}},         // F8 after F7: only the hang-up
      {"\x98\x97", false, {0, 1, 1, 0}},  // F7 after F8: connect, then hang up
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(testing::PrintToString(std::string(c.keys)));
    build_default_config();
    modem = FakeModem{};
    modem.config = working_config;
    modem.config.flags |= c.connected ? CFG_CONNECT : 0;
    modem.during = [&](const Exchange &e, int before) {
      if (e.op == 'f' && e.what == 3 && before == 1) type_in_wait(c.keys);
      if (e.op == 'f' && e.what == 7 && before == 1) type_in_wait("\x1b");
    };
    online_editor();
    std::vector<uint16_t> got;
    for (auto [item, value] : sends())
      if (item == 1) got.push_back(value & CFG_CONNECT);
    EXPECT_EQ(got, c.connect);
  }
}

TEST_F(Online, SwitchToTransparentWritesItemOneAfterTheExchangeAndLeaves) {
  current_field = 1;
  modem.during = [&](const Exchange &e, int before) {
    if (e.op == 'f' && e.what == 4 && before == 1) type_in_wait("+y");   // "y" answers the question
  };
  online_editor();
  ASSERT_FALSE(sends().empty());
  EXPECT_EQ(sends().back().first, 1);
  EXPECT_TRUE(sends().back().second & CFG_TRANSPARENT);
  EXPECT_TRUE(modem.config.flags & CFG_TRANSPARENT);
  EXPECT_EQ(modem.max_depth, 1);
  EXPECT_FALSE(online_mode);
}

TEST_F(Online, StatusLineErrorSlotsAndRinging) {
  modem.errors = 0x02 | 0x10;
  modem.status = 0x8000;   // ringing; flags never hold it
  modem.during = [&](const Exchange &e, int before) {
    if (e.op == 'r' && e.what == 6 && before == 2) type_in_wait("\x1b");
  };
  online_editor();
  EXPECT_EQ(row(3).substr(0, 11), " RINGING   ");
  EXPECT_EQ(row(22).substr(19, 19), "Illegal line parity");
  EXPECT_EQ(row(23).substr(0, 20), "Illegal transp port ");
  EXPECT_EQ(shadow_index(23, 1), 4);
  EXPECT_EQ(row(22).substr(0, 19), std::string(19, ' '));
  EXPECT_EQ(working_config.flags & CFG_RINGING, 0);
  // Esc ended the read it came in; that is no failure to show.
  EXPECT_EQ(modem.log.back().op, 'r');
  EXPECT_TRUE(modem.aborted);
  EXPECT_EQ(row(25).find_first_not_of(' '), std::string::npos);
}

// A key that ends a diagnostic screen ends the wait it came in, so a modem
// that does not answer cannot hold the screen; the cut read is no error.
TEST_F(Online, KeyThatEndsAScreenEndsTheWaitWithoutAnError) {
  const struct {
    const char *name;
    void (*screen)();
    const char *key;
    bool cut;    // the key ends the read it came in
    int reads;   // register reads until a key ends the screen
  } cases[] = {
      {"signal", signal_screen, "x", true, 1},
      {"lead monitor", lead_monitor, "x", true, 1},
      {"connect", connect_hangup, "x", true, 1},
      {"connect, C goes on", connect_hangup, "C", false, 3},
  };
  link_setup.trap_errors = 0;   // an error would show a box
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    modem = FakeModem{};
    mem_console_log().clear();
    int reads = 0;
    bool cut = false;
    modem.during = [&](const Exchange &e, int) {
      if (e.op != 'r') return;
      if (++reads == 1) {
        type_in_wait(c.key);
        cut = modem.aborted;
      }
      if (reads == 3) type_in_wait("x");   // after C: the writes, the number, the next read
    };
    c.screen();
    EXPECT_EQ(cut, c.cut);
    EXPECT_EQ(reads, c.reads);
    EXPECT_FALSE(log_has("Application idle abort"));
    EXPECT_FALSE(log_has("ERROR"));
  }
}

// The modem acts on the edge of register 1 bit 0: once the first write of a
// connect or hang-up is on the line, the second follows, whatever key comes
// meanwhile; a key that ends the screen ends it after the edge.
TEST_F(Online, ConnectScreenEdgeIsWholeWhateverKeyComes) {
  const struct {
    const char *name;
    const char *command;
    bool carrier;
    char op;      // the exchange the key comes in: 'w' a write of register 1, 'f' a fetch
    int nth;      // of those, counted from 0
    std::vector<uint16_t> writes;   // register 1 as written
  } cases[] = {
      {"connect, key in the first write", "C", false, 'w', 0, {0, 1}},
      {"connect, key between the writes", "C", false, 'f', 2, {0, 1}},
      {"connect, key in the second write", "C", false, 'w', 1, {0, 1}},
      {"hang up, key in the first write", "H", true, 'w', 0, {1, 0}},
  };
  link_setup.trap_errors = 0;   // a failure would show a box
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    modem = FakeModem{};
    modem.status = c.carrier ? 0x0001 : 0;
    mem_console_log().clear();
    modem.during = [&](const Exchange &e, int) {
      if (e.op == 'r' && modem.seen('r', 1) == 1) type_in_wait(c.command);
      int nth = -1;
      for (const Exchange &x : modem.log) nth += x.op == c.op && (c.op != 'w' || x.what == 1);
      if (e.op == c.op && nth == c.nth) type_in_wait("x");
    };
    connect_hangup();
    std::vector<uint16_t> writes;
    for (const Exchange &e : modem.log)
      if (e.op == 'w' && e.what == 1) writes.push_back(e.value & 1);
    EXPECT_EQ(writes, c.writes);
    EXPECT_EQ(modem.log.back().op, 'w');   // nothing read after the edge: the key ended the screen
    EXPECT_FALSE(log_has("Application idle abort"));
  }
}

// Over a link that answers at once, no live screen starts a pass sooner than
// LIVE_PASS_MIN_MS after the last one began: the k-th pass begins no sooner
// than k - 1 intervals after the screen did.
TEST_F(Online, LiveScreensPaceTheirPasses) {
  const struct {
    const char *name;
    void (*screen)();
    int reg;   // the register read once a pass; 0: every read is a pass
    const char *leave;
  } cases[] = {
      {"online editor", online_editor, REG_CONFIG_ERRORS, "\x1b"},
      {"signal", signal_screen, REG_SIGNAL_LEVEL, "x"},
      {"lead monitor", lead_monitor, 0, "x"},
      {"connect", connect_hangup, REG_CONTROL, "x"},
  };
  constexpr int PASSES = 6;
  using Clock = std::chrono::steady_clock;
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    modem = FakeModem{};
    modem.config = working_config;
    std::vector<Clock::time_point> starts;
    modem.during = [&](const Exchange &e, int) {
      if (e.op != 'r' || (c.reg && e.what != c.reg)) return;
      starts.push_back(Clock::now());
      if (starts.size() == PASSES) type_in_wait(c.leave);
    };
    const Clock::time_point begun = Clock::now();
    c.screen();
    ASSERT_EQ(starts.size(), size_t{PASSES});
    for (size_t k = 0; k < starts.size(); k++)
      EXPECT_GE(starts[k] - begun, std::chrono::milliseconds(LIVE_PASS_MIN_MS) * static_cast<int>(k)) << "pass " << k;
  }
}

// A dead link fails every operation at once, with no wait in which the idle
// callback could see a key: the key must still end each screen.
TEST_F(Online, DeadLinkStillAnswersTheKeys) {
  const struct {
    const char *name;
    void (*screen)();
    bool trap;        // failures in error boxes, which then take the key
    const char *keys;
  } cases[] = {
      {"signal", signal_screen, false, "x"},
      {"lead monitor", lead_monitor, false, "x"},
      // The box takes the key: Esc there gives up (the memory keyboard
      // answers Esc once no key is left).
      {"lead monitor, boxes", lead_monitor, true, ""},
      {"connect", connect_hangup, false, "x"},
      {"connect, C first", connect_hangup, false, "cx"},
      {"online editor", online_editor, false, "\x1b"},
      {"online editor, boxes", online_editor, true, ""},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    modem = FakeModem{};
    modem.dead = true;
    link_setup.trap_errors = c.trap ? 0 : 1;
    key_queue_reset();
    push_keys(c.keys);
    c.screen();   // returns: the keys got through
    EXPECT_EQ(key_queue_count(), 0);
    EXPECT_FALSE(modem.wrote());
  }
}

}  // namespace
