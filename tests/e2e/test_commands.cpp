// The commands of the command line against the simulated modem, as a script
// runs them: no terminal (its own session, standard input from /dev/null,
// standard output and error into files), the output and files checked
// exactly, every failure by its exit status and message; and the frame
// trace against the simulator's own trace, byte for byte, on every kind.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "config/config_file.h"
#include "config/modem_config.h"
#include "config/printout.h"
#include "harness.h"

using namespace e2e;

namespace {

std::string program() {
  const char *other = getenv("ZL27T_E2E_PROGRAM");
  return other && *other ? other : ZL27T_BIN;
}

struct Outcome {
  int status = -1;
  std::string out, err;
};

// The program with args in dir, as from cron: a session of its own without
// a terminal, stdin /dev/null, stdout and stderr into files.
Outcome run_in(const std::string &dir, const std::vector<std::string> &args,
           const std::vector<std::pair<std::string, std::string>> &env = {}) {
  Outcome r;
  const std::string out = dir + "/.stdout", err = dir + "/.stderr";
  pid_t pid = fork();
  if (pid == 0) {
    setsid();
    if (chdir(dir.c_str()) != 0) _exit(126);
    int in = open("/dev/null", O_RDONLY);
    int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(in, 0);
    dup2(o, 1);
    dup2(e, 2);
    for (auto &[k, v] : env) setenv(k.c_str(), v.c_str(), 1);
    if (env.empty()) setenv("ZL27T_PORTS", "/dev/null", 1);
    std::vector<std::string> argv_s{program()};
    argv_s.insert(argv_s.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (auto &a : argv_s) argv.push_back(a.data());
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  int st = 0;
  waitpid(pid, &st, 0);
  r.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
  auto slurp = [](const std::string &path) {
    std::string s;
    if (FILE *f = fopen(path.c_str(), "rb")) {
      char buf[4096];
      size_t n;
      while ((n = fread(buf, 1, sizeof buf, f)) > 0) s.append(buf, n);
      fclose(f);
    }
    return s;
  };
  r.out = slurp(out);
  r.err = slurp(err);
  return r;
}

// A scratch directory with a simulated modem on TCP.
struct TcpModem {
  Session dir;   // only its working directory
  SimProcess sim;
  std::string port;
  testing::AssertionResult start(std::vector<std::string> extra = {}) {
    std::vector<std::string> args{"--tcp", "0"};
    args.insert(args.end(), extra.begin(), extra.end());
    auto ok = started(sim, sim.start(args));
    port = sim.ready();
    return ok;
  }
  std::vector<std::string> link() const { return {"-m", "tcp", "--host", "127.0.0.1", "-p", port}; }
  Outcome run(std::vector<std::string> args) const {
    std::vector<std::string> all = link();
    all.insert(all.end(), args.begin(), args.end());
    return run_in(dir.workdir(), all);
  }
};

std::string config_file_bytes(const ModemConfig &c, const std::string &dir) {
  std::string path = dir + "/.expected.zle";
  EXPECT_EQ(write_config_image(path.c_str(), c), CONFIG_WRITE_OK);
  FILE *f = fopen(path.c_str(), "rb");
  std::string s;
  char buf[256];
  size_t n;
  while (f && (n = fread(buf, 1, sizeof buf, f)) > 0) s.append(buf, n);
  if (f) fclose(f);
  unlink(path.c_str());
  return s;
}

}  // namespace

TEST(Commands, FetchWritesTheModemsConfigurationAndSendPutsAFileBack) {
  TcpModem m;
  ASSERT_TRUE(m.start({"--set", "8000=5", "--set", "8007=45", "--set", "5=100", "--set-text", "100=5551234"}));
  Outcome fetched = m.run({"--fetch", "plant.zle"});
  ASSERT_EQ(fetched.status, 0) << fetched.err;
  EXPECT_EQ(fetched.out, "");
  EXPECT_EQ(fetched.err, "");
  build_default_config();
  ModemConfig want = working_config;
  want.answer_rings = 5;
  want.carrier_wait = 45;
  want.number_pointer = 100;
  snprintf(want.dial_string, sizeof want.dial_string, "%s", "5551234");
  EXPECT_EQ(m.dir.read_file("plant.zle"), config_file_bytes(want, m.dir.workdir()));

  // Another configuration goes to the modem and comes back the same.
  want.answer_rings = 2;
  want.guard_time = 60;
  snprintf(want.dial_string, sizeof want.dial_string, "%s", "W9,123");
  ASSERT_TRUE(m.dir.write_file("other.zle", config_file_bytes(want, m.dir.workdir())));
  Outcome sent = m.run({"--send", "other.zle"});
  ASSERT_EQ(sent.status, 0) << sent.err;
  EXPECT_EQ(sent.out + sent.err, "");
  ASSERT_EQ(m.run({"--fetch", "back.zle"}).status, 0);
  EXPECT_EQ(m.dir.read_file("back.zle"), m.dir.read_file("other.zle"));
  Outcome regs = m.run({"--read", "8000"});
  EXPECT_EQ(regs.out, "8000 0x0002 2 2\n");
}

TEST(Commands, ReadIdentifyAndPortsPrintTheirValuesInEachFormat) {
  TcpModem m;
  ASSERT_TRUE(m.start({"--port-word", "0x8002", "--set", "300=0x8001", "--set", "301=7"}));
  struct Case {
    std::vector<std::string> args;
    const char *out;
  } cases[] = {
      {{"--read", "300-301"}, "300 0x8001 32769 -32767\n301 0x0007 7 7\n"},
      {{"--read", "301"}, "301 0x0007 7 7\n"},
      {{"--read", "300-301", "--format", "csv"}, "register,hex,unsigned,signed\n300,0x8001,32769,-32767\n301,0x0007,7,7\n"},
      {{"--read", "300-301", "--format=json"},
       "[{\"register\":300,\"hex\":\"0x8001\",\"unsigned\":32769,\"signed\":-32767},"
       "{\"register\":301,\"hex\":\"0x0007\",\"unsigned\":7,\"signed\":7}]\n"},
      {{"--identify"}, "ZL27T Port 2\n"},
      {{"--identify", "--format", "csv"}, "name,port\nZL27T,2\n"},
      {{"--identify", "--format", "json"}, "{\"name\":\"ZL27T\",\"port\":2}\n"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.args[0] + " " + (c.args.size() > 2 ? c.args[2] : ""));
    Outcome r = m.run(c.args);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.err, "");
  }

  // More registers than one request carries come in requests of 125.
  Outcome many = m.run({"--read", "1-300", "--format", "csv"});
  ASSERT_EQ(many.status, 0) << many.err;
  EXPECT_EQ(std::count(many.out.begin(), many.out.end(), '\n'), 301);
  EXPECT_NE(many.out.find("\n300,0x8001,32769,-32767\n"), std::string::npos);

  // Written registers read back.
  Outcome w = m.run({"--write", "400=1,0x10,-1,65535"});
  EXPECT_EQ(w.status, 0) << w.err;
  EXPECT_EQ(w.out + w.err, "");
  EXPECT_EQ(m.run({"--read", "400-403"}).out, "400 0x0001 1 1\n401 0x0010 16 16\n402 0xFFFF 65535 -1\n403 0xFFFF 65535 -1\n");

  const std::string a = m.dir.path("a,pty"), b = m.dir.path("b\"pty");
  for (auto [format, out] : std::vector<std::pair<std::string, std::string>>{
           {"text", a + "\n" + b + "\n"},
           {"csv", "index,name\n0,\"" + a + "\"\n1,\"" + std::string(m.dir.path("b\"\"pty")) + "\"\n"},
           {"json", "[{\"index\":0,\"name\":\"" + a + "\"},{\"index\":1,\"name\":\"" + m.dir.path("b\\\"pty") + "\"}"}}) {
    SCOPED_TRACE(format);
    Outcome r = run_in(m.dir.workdir(), {"--ports", "--format", format}, {{"ZL27T_PORTS", a + ":" + b}});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.substr(0, out.size()), out);   // the machine's own ports may follow
    if (format == "json") {
      EXPECT_EQ(r.out.substr(r.out.size() - 2), "]\n");
    }
  }
}

TEST(Commands, PrintWritesTheReportOfAFile) {
  Session dir;
  build_default_config();
  ModemConfig c = working_config;
  c.answer_rings = 1;
  c.password = 0x1234;
  ASSERT_TRUE(dir.write_file("p.zle", config_file_bytes(c, dir.workdir())));
  Outcome r = run_in(dir.workdir(), {"--print", "p.zle"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  // The report as the menu writes it, with the date the run printed.
  std::smatch date;
  ASSERT_TRUE(std::regex_search(r.out, date, std::regex(R"(=      (\d\d/[A-Z][a-z][a-z]/\d\d \d\d:\d\d)\n)")));
  char *text = nullptr;
  size_t size = 0;
  FILE *mem = open_memstream(&text, &size);
  write_config_report(mem, c, date[1].str().c_str());
  fclose(mem);
  EXPECT_EQ(r.out, std::string(text, size));
  free(text);
}

TEST(Commands, EachFailureHasItsStatusAndMessage) {
  TcpModem m;
  ASSERT_TRUE(m.start({"--exception", "2@500"}));
  build_default_config();
  ModemConfig bad = working_config;
  bad.port_rate = 3;
  ASSERT_TRUE(m.dir.write_file("bad.zle", config_file_bytes(bad, m.dir.workdir())));
  ModemConfig faster = working_config;
  faster.port_rate = 15;
  ASSERT_TRUE(m.dir.write_file("fast.zle", config_file_bytes(faster, m.dir.workdir())));
  ASSERT_TRUE(m.dir.write_file("short.zle", "\xE9\x03"));
  const std::string hint = "; see zl27t --help\n";
  struct Case {
    std::vector<std::string> args;
    bool with_link;
    int status;
    std::string err;
  } cases[] = {
      // Usage: one line, a pointer to --help, nothing tried.
      {{"--read"}, false, 2, "zl27t: --read needs a value" + hint},
      {{"--read", "0"}, true, 2, "zl27t: --read \"0\": FIRST or FIRST-LAST, registers 1 to 65536" + hint},
      {{"--read", "5-4"}, true, 2, "zl27t: --read \"5-4\": FIRST or FIRST-LAST, registers 1 to 65536" + hint},
      {{"--write", "5=70000"}, true, 2,
       "zl27t: --write \"5=70000\": REG=VALUE[,VALUE...], register 1 to 65536, values -32768 to 65535 or 0x0 to 0xFFFF" + hint},
      {{"--fetch", "a.zle", "--identify"}, true, 2, "zl27t: --fetch and --identify are two commands: give one" + hint},
      {{"--identify", "F/R"}, true, 2,
       "zl27t: unexpected argument \"F/R\" (keystroke scripts are for the full-screen program)" + hint},
      {{"--fetch", "a.zle", "--format", "csv"}, true, 2, "zl27t: --format goes with --read, --identify and --ports" + hint},
      {{"--read", "1", "--format", "xml"}, true, 2, "zl27t: --format \"xml\": the formats are text, csv and json" + hint},
      {{"--identify", "-m", "modbus"}, false, 2,
       "zl27t: -m \"modbus\": the kinds are symax, net-to-net, gateway, rtu, ascii and tcp" + hint},
      {{"--identify", "-b", "9601"}, true, 2,
       "zl27t: -b \"9601\": one of 50 75 110 134.5 150 300 600 1200 1800 2400 3600 4800 7200 9600 14400 19200" + hint},
      {{"--identify", "-o", "0"}, true, 2, "zl27t: -o \"0\": seconds, 0.01 to 60" + hint},
      {{"--identify", "-a", "256"}, true, 2,
       "zl27t: -a \"256\": up to 8 drops of 0 to 255, separated by commas" + hint},
      {{"-m", "tcp"}, false, 2,
       "zl27t: link, format and register options go with a command (--fetch, --send, --identify, --read, --write)" + hint},
      {{"--print", "p.zle", "-m", "tcp"}, false, 2, "zl27t: --print needs no link: link options do not go with it" + hint},
      // The link and the device.
      {{"--identify"}, false, 1, "zl27t: ZL27TSW.STP: Can't locate setup file.\n"},
      {{"--identify", "--setup", "elsewhere.stp"}, false, 1, "zl27t: elsewhere.stp: Can't locate setup file.\n"},
      {{"--read", "1", "-m", "tcp", "--host", "127.0.0.1", "-p", "1"}, false, 1, "zl27t: Unable to establish link.\n"},
      {{"--read", "499-501"}, true, 1, "zl27t: ILLEGAL DATA ADDRESS\n"},
      {{"--write", "500=1"}, true, 1, "zl27t: ILLEGAL DATA ADDRESS\n"},
      // Files.
      {{"--print", "none.zle"}, false, 1, "zl27t: Can't open file \"none.zle\" for read.\n"},
      {{"--print", "short.zle"}, false, 1, "zl27t: short.zle: Can't read disk file.\n"},
      {{"--send", "none.zle"}, true, 1, "zl27t: Can't open file \"none.zle\" for read.\n"},
      {{"--send", "bad.zle"}, true, 1, "zl27t: bad.zle: Invalid port rate 3\nzl27t: Invalid port rate 3: not sent\n"},
      {{"--send", "fast.zle"}, true, 1,
       "zl27t: Setup change will result in loss of communications. Proceed? Not without --force.\n"},
      {{"--fetch", "no/such/dir.zle"}, true, 1, "zl27t: Can't open file \"no/such/dir.zle\" for write.\n"},
  };
  for (const Case &c : cases) {
    std::string all;
    for (auto &a : c.args) all += a + " ";
    SCOPED_TRACE(all);
    Outcome r = c.with_link ? m.run(c.args) : run_in(m.dir.workdir(), c.args);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(r.out, "");
  }
  EXPECT_FALSE(m.dir.file_exists("a.zle"));
  // Nothing reached the modem from the refused sends.
  EXPECT_EQ(m.run({"--read", "3"}).out, "3 0x000D 13 13\n");
}

TEST(Commands, TheLinkComesFromTheSetupFileWhichIsNeverWritten) {
  TcpModem m;
  ASSERT_TRUE(m.start({"--drop", "9", "--no-reply-every", "1"}));
  LinkSetup s = setup_record();
  s.kind = LINK_MODBUS_TCP;
  s.route[0] = 9;
  s.tcp_port = static_cast<uint16_t>(std::stoi(m.port));
  s.timeout = 20;
  snprintf(s.host, sizeof s.host, "%s", "127.0.0.1");
  ASSERT_TRUE(m.dir.write_setup(s));
  ASSERT_TRUE(m.dir.write_file("site.stp", m.dir.read_file(SETUP_FILE)));
  const std::string before = m.dir.read_file(SETUP_FILE);
  struct stat st0;
  ASSERT_EQ(stat(m.dir.path(SETUP_FILE).c_str(), &st0), 0);

  // Every request goes unanswered: the setup's short time-out ends each.
  Outcome r = run_in(m.dir.workdir(), {"--read", "1"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "zl27t: Reply timeout\n");
  r = run_in(m.dir.workdir(), {"--read", "1", "--setup", "site.stp", "-o", "0.05"});
  EXPECT_EQ(r.err, "zl27t: Reply timeout\n");
  // Another unit than the one the modem answers as: no reply either.
  r = run_in(m.dir.workdir(), {"--identify", "-a", "3"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(m.dir.read_file(SETUP_FILE), before);
  struct stat st1;
  ASSERT_EQ(stat(m.dir.path(SETUP_FILE).c_str(), &st1), 0);
  EXPECT_EQ(st1.st_mtim.tv_nsec, st0.st_mtim.tv_nsec);
  EXPECT_EQ(st1.st_mtim.tv_sec, st0.st_mtim.tv_sec);
}

TEST(Commands, ASerialPortInUseIsRefused) {
  Session dir;
  SimProcess sim;
  const std::string port = dir.path("modem");
  ASSERT_TRUE(sim.start({"--pty", port}));
  int held = open(port.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  ASSERT_GE(held, 0);
  ASSERT_EQ(flock(held, LOCK_EX | LOCK_NB), 0);
  Outcome r = run_in(dir.workdir(), {"--identify", "-m", "symax", "--device", port});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "zl27t: Unable to establish link.\n");
  close(held);
  r = run_in(dir.workdir(), {"--identify", "-m", "symax", "--device", port, "-a", "201"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "ZL27T\n");
}

// ---- the trace ----

namespace {

struct Frame {
  std::string dir;   // tx or rx, as the program sees it
  std::vector<uint8_t> bytes;
  bool operator==(const Frame &) const = default;
};
std::ostream &operator<<(std::ostream &os, const Frame &f) {
  os << f.dir;
  for (uint8_t b : f.bytes) os << ' ' << std::hex << int(b) << std::dec;
  return os;
}

std::vector<uint8_t> hex_bytes(const std::string &text) {
  std::vector<uint8_t> out;
  std::istringstream in(text);
  std::string word;
  while (in >> word) out.push_back(static_cast<uint8_t>(std::stoul(word, nullptr, 16)));
  return out;
}

std::vector<uint8_t> escaped_bytes(const std::string &text) {
  std::vector<uint8_t> out;
  for (size_t i = 0; i < text.size(); i++) {
    if (text[i] == '\\' && i + 1 < text.size()) {
      char c = text[++i];
      if (c == 'r') out.push_back('\r');
      else if (c == 'n') out.push_back('\n');
      else if (c == 'x') out.push_back(static_cast<uint8_t>(std::stoul(text.substr(i + 1, 2), nullptr, 16))), i += 2;
      else out.push_back(static_cast<uint8_t>(c));
    } else {
      out.push_back(static_cast<uint8_t>(text[i]));
    }
  }
  return out;
}

// The program's trace: every line well formed; the frames in order.
std::vector<Frame> program_frames(const std::string &trace, const std::string &kind, std::vector<std::string> *decodings) {
  std::vector<Frame> out;
  std::istringstream in(trace);
  std::string line;
  const std::regex form(R"(^ *\d+\.\d (tx|rx) (\S+) +((?:[0-9A-F]{2} )+)\| (.+)$)");
  while (std::getline(in, line)) {
    std::smatch m;
    EXPECT_TRUE(std::regex_match(line, m, form)) << line;
    if (m.empty()) continue;
    EXPECT_EQ(m[2].str(), kind) << line;
    out.push_back({m[1].str(), hex_bytes(m[3].str())});
    decodings->push_back(m[4].str());
  }
  return out;
}

// The simulator's trace, seen from the program's side (its rx is our tx):
// the bytes of each frame or control pair, whatever form the line has.
std::vector<Frame> sim_frames(const std::string &trace, const std::string &kind) {
  std::vector<Frame> out;
  std::istringstream in(trace);
  std::string line;
  const std::regex form(R"(^sim (tx|rx) (\S+) +(.*)$)");
  while (std::getline(in, line)) {
    std::smatch m;
    if (!std::regex_match(line, m, form)) continue;
    std::string ours = m[1].str() == "tx" ? "rx" : "tx", what = m[2].str(), body = m[3].str();
    std::vector<uint8_t> bytes;
    if (kind == "gateway") {
      bytes = escaped_bytes(body);
      if (ours == "tx") bytes.push_back('\r');   // the simulator shows a command without its end
    } else if (kind == "ascii" && ours == "tx") {
      bytes = escaped_bytes(":" + body + "\\r\\n");
    } else {
      bytes = hex_bytes(body);
      if (kind == "symax" && ours == "tx" && bytes.size() == 1) bytes.insert(bytes.begin(), 0x10);   // ack byte alone
    }
    out.push_back({ours, bytes});
  }
  return out;
}

}  // namespace

TEST(Trace, EveryFrameOfEveryKindAsTheSimulatorSawIt) {
  struct Kind {
    const char *link;        // -m
    const char *sim_proto;   // --proto, null: TCP
    const char *request;     // the decoding of the request the read sends
  } kinds[] = {
      {"symax", "symax", "message seq 11 route 201, trans 0x00 read reg 8176 count 3"},
      {"gateway", "gateway", "line \"R 8176 3\\r\""},
      {"rtu", "rtu", "slave 201 fn 3 read holding addr 8175 (reg 8176) count 3"},
      {"ascii", "ascii", "slave 201 fn 3 read holding addr 8175 (reg 8176) count 3"},
      {"tcp", nullptr, "unit 201 fn 3 read holding addr 8175 (reg 8176) count 3"},
  };
  for (const Kind &k : kinds) {
    SCOPED_TRACE(k.link);
    Session dir;
    SimProcess sim;
    const std::string modem = dir.path("modem"), sim_trace = dir.path("sim.trace");
    std::string command = "exec '" + std::string(ZL27T_SIM_BIN) + "' --trace " +
                          (k.sim_proto ? "--pty '" + modem + "' --proto " + k.sim_proto : std::string("--tcp 0")) +
                          " 2>'" + sim_trace + "'";
    ASSERT_TRUE(sim.start({"-c", command}, "/bin/sh"));
    std::vector<std::string> args{"--read", "8176-8178", "--trace", "t.trace", "-m", k.link, "-a", "201"};
    if (k.sim_proto) {
      args.insert(args.end(), {"--device", modem});
    } else {
      args.insert(args.end(), {"--host", "127.0.0.1", "-p", sim.ready()});
    }
    Outcome r = run_in(dir.workdir(), args);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "8176 0x0000 0 0\n8177 0x5A4C 23116 23116\n8178 0x3237 12855 12855\n");
    sim.stop();
    std::vector<std::string> decodings;
    std::vector<Frame> ours = program_frames(dir.read_file("t.trace"), k.link, &decodings);
    std::vector<Frame> theirs = sim_frames(dir.read_file("sim.trace"), k.link);
    EXPECT_EQ(ours, theirs) << dir.read_file("t.trace") << dir.read_file("sim.trace");
    bool request_seen = false;
    for (const std::string &d : decodings) request_seen |= d.find(k.request) != std::string::npos;
    EXPECT_TRUE(request_seen) << dir.read_file("t.trace");
  }
}

TEST(Trace, AFileThatCannotBeWrittenEndsTheTraceNotTheCommand) {
  TcpModem m;
  ASSERT_TRUE(m.start());
  Outcome r = m.run({"--read", "3", "--trace", "/dev/full"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "3 0x000D 13 13\n");
  EXPECT_EQ(r.err, "zl27t: trace file /dev/full cannot be written (No space left on device); the trace has ended\n");
  r = m.run({"--read", "3", "--trace", "no/such/dir/t.trace"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "3 0x000D 13 13\n");
  EXPECT_EQ(r.err, "zl27t: trace file no/such/dir/t.trace cannot be opened (No such file or directory); no trace is written\n");
  // "-" is standard error.
  r = m.run({"--read", "3", "--trace", "-"});
  EXPECT_EQ(r.out, "3 0x000D 13 13\n");
  EXPECT_NE(r.err.find(" tx tcp "), std::string::npos) << r.err;
  EXPECT_NE(r.err.find(" rx tcp "), std::string::npos) << r.err;
}

TEST(Trace, TheFullScreenProgramTracesItsLinkToo) {
  ZlSession s;
  SimProcess sim;
  ASSERT_TRUE(sim.start({"--tcp", "0"}));
  LinkSetup setup = setup_record();
  setup.kind = LINK_MODBUS_TCP;
  setup.tcp_port = static_cast<uint16_t>(std::stoi(sim.ready()));
  snprintf(setup.host, sizeof setup.host, "%s", "127.0.0.1");
  ASSERT_TRUE(s.write_setup(setup));
  ASSERT_TRUE(s.start({"--trace", "screen.trace"}));
  ASSERT_TRUE(s.wait_for_text("oNline"));
  s.keys("f");
  ASSERT_TRUE(s.wait_for_text("Fetch memory from modem"));
  s.keys("F");
  ASSERT_TRUE(s.wait_for_text_gone("FETCH OFFLINE FROM MODEM"));
  EXPECT_TRUE(quit_program(s, QuitQuestion::ANSWER_YES));
  std::string trace = s.read_file("screen.trace");
  // Identification, then the 19 items, each a request and its reply.
  EXPECT_NE(trace.find("fn 3 read holding addr 8175 (reg 8176) count 13"), std::string::npos) << trace;
  EXPECT_NE(trace.find("fn 3 read holding addr 8011 (reg 8012) count 1"), std::string::npos) << trace;
  EXPECT_EQ(std::count(trace.begin(), trace.end(), '\n') % 2, 0) << trace;
}
