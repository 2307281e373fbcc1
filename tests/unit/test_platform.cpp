// Port list, memory console, and the vt console in a real pseudo-terminal.
#include <fcntl.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/console.h"
#include "platform/files.h"
#include "platform/ports.h"
#include "platform/print.h"
#include "platform/tcp_socket.h"
#include "platform/terminal.h"
#include "printable.h"

namespace fs = std::filesystem;

namespace {

struct TempDir {
  fs::path path;
  TempDir() {
    char tmpl[] = "/tmp/zl27t-platform-XXXXXX";
    path = mkdtemp(tmpl);
  }
  ~TempDir() { fs::remove_all(path); }
};

// A fake /sys/class/tty entry: with a device link and, for UARTs, a type.
void fake_tty(const fs::path &root, const std::string &name, bool device, const char *type) {
  fs::create_directories(root / name);
  if (device) fs::create_directory_symlink(root, root / name / "device");
  if (type) std::ofstream(root / name / "type") << type << "\n";
}

TEST(Ports, EnvironmentFirstThenRealDevicesSortedWithoutDuplicates) {
  TempDir sys;
  fake_tty(sys.path, "ttyS0", true, "4");
  fake_tty(sys.path, "ttyS1", true, "0");    // no UART behind it
  fake_tty(sys.path, "ttyS10", true, "4");
  fake_tty(sys.path, "ttyS2", true, nullptr);
  fake_tty(sys.path, "tty0", false, nullptr);   // virtual terminal
  fake_tty(sys.path, "ttyS", true, nullptr);    // a name like a virtual terminal's, but no number
  fake_tty(sys.path, "ttyUSB0", true, nullptr);
  fake_tty(sys.path, "ttyUSB9", true, nullptr);

  setenv("ZL27T_PORTS", "/dev/pts/3:ttyUSB9::pts/3:/dev/ttyUSB9:pts/4", 1);
  std::vector<std::string> want = {"/dev/pts/3", "ttyUSB9", "pts/4", "ttyS", "ttyS0", "ttyS2", "ttyS10", "ttyUSB0"};
  EXPECT_EQ(plat_serial_ports_in(sys.path.c_str(), 40), want);
  EXPECT_EQ(plat_serial_ports_in(sys.path.c_str(), 4), std::vector<std::string>(want.begin(), want.begin() + 4));

  unsetenv("ZL27T_PORTS");
  EXPECT_EQ(plat_serial_ports_in(sys.path.c_str(), 40),
            (std::vector<std::string>{"ttyS", "ttyS0", "ttyS2", "ttyS10", "ttyUSB0", "ttyUSB9"}));
  EXPECT_TRUE(plat_serial_ports_in((sys.path / "missing").c_str(), 40).empty());
}

TEST(Ports, PathOfAListName) {
  EXPECT_EQ(plat_port_path("ttyUSB0"), "/dev/ttyUSB0");
  EXPECT_EQ(plat_port_path("pts/3"), "/dev/pts/3");
  EXPECT_EQ(plat_port_path("/dev/pts/3"), "/dev/pts/3");
  EXPECT_EQ(plat_port_path("COM1"), "/dev/COM1");   // no case change
}

// A mistyped number must not lead to another host: 300 is not 44.
TEST(Tcp, DottedAddressesAreTakenOnlyWhenEveryNumberIsAByte) {
  struct Case {
    const char *host;
    bool ok;
    uint32_t ip;
  } cases[] = {
      {"192.168.1.10", true, 0xC0A8010A},
      {"192.168.001.010", true, 0xC0A8010A},
      {"192.168.1.300", false, 0},
      {"256.1.1.1", false, 0},
      {"10.0.0.-1", false, 0},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.host);
    TcpAddress a;
    EXPECT_EQ(tcp_resolve(c.host, 502, &a, 100, nullptr, 0), c.ok);
    if (c.ok) {
      EXPECT_EQ(a.ip, c.ip);
    }
  }
}

int stop_at_third_step(int) {
  static int steps = 0;
  return ++steps % 3 != 0;
}

// A name is looked up while the caller's step turns: one that no name server
// answers (an isolated network) is given up as soon as the step says so.
TEST(Tcp, NameLookupIsFoundOrGivenUpByTheStep) {
  TcpAddress a;
  ASSERT_TRUE(tcp_resolve("localhost", 502, &a, 300, nullptr, 0));
  EXPECT_EQ(a.ip, 0x7F000001u);
  auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(tcp_resolve("no-such-modem.invalid", 502, &a, 3000, stop_at_third_step, 0));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
}

TEST(Print, FileTargetAndSpoolerWithoutSpooler) {
  TempDir dir;
  std::string file = (dir.path / "OUT.PRN").string();
  FILE *f = plat_print_open(file.c_str());
  ASSERT_NE(f, nullptr);
  fputs("page\f", f);
  EXPECT_TRUE(plat_print_close(f));
  std::ifstream in(file);
  std::string got((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(got, "page\f");
  EXPECT_EQ(plat_print_open((dir.path / "no/such/dir").c_str()), nullptr);

  // A spooler target with neither lp nor lpr on the PATH cannot be opened.
  std::string old_path = getenv("PATH") ? getenv("PATH") : "";
  setenv("PATH", dir.path.c_str(), 1);
  EXPECT_EQ(plat_print_open("LPT1:"), nullptr);
  EXPECT_EQ(plat_print_open("SYS$PRINT"), nullptr);
  // A stand-in spooler receives what is printed.
  std::string sink = (dir.path / "spooled").string();
  std::ofstream(dir.path / "lp") << "#!/bin/sh\nexec /bin/cat > '" << sink << "'\n";
  fs::permissions(dir.path / "lp", fs::perms::owner_all);
  f = plat_print_open("LPT1:");
  setenv("PATH", old_path.c_str(), 1);
  ASSERT_NE(f, nullptr);
  fputs("to the spooler", f);
  EXPECT_TRUE(plat_print_close(f));
  std::ifstream sp(sink);
  std::string spooled((std::istreambuf_iterator<char>(sp)), std::istreambuf_iterator<char>());
  EXPECT_EQ(spooled, "to the spooler");

  // A spooler that refuses the job (no printer configured) is a failed print.
  std::ofstream(dir.path / "lp", std::ios::trunc) << "#!/bin/sh\ncat >/dev/null; echo 'lp: no default destination' >&2; exit 1\n";
  setenv("PATH", dir.path.c_str(), 1);
  f = plat_print_open("SYS$PRINT");
  setenv("PATH", old_path.c_str(), 1);
  ASSERT_NE(f, nullptr);
  fputs("lost", f);
  EXPECT_FALSE(plat_print_close(f));
}

TEST(Files, OnlyRegularFilesAreReadOrReplacedAndNoOpenBlocks) {
  alarm(10);   // an open that blocks ends this binary instead of hanging it
  TempDir dir;
  const fs::path regular = dir.path / "A.ZLE", fifo = dir.path / "F.ZLE", missing = dir.path / "NEW.ZLE";
  std::ofstream(regular) << "old";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  struct Case {
    fs::path path;
    bool read, replace, print;
  } cases[] = {
      {regular, true, true, true},
      {missing, false, true, true},
      {fifo, false, false, false},
      {dir.path, false, false, false},
      {"/dev/null", false, false, true},   // a character device: a printer port may be one
  };
  const char bytes[] = "new";
  for (const Case &c : cases) {
    SCOPED_TRACE(c.path.string());
    FILE *f = plat_open_regular(c.path.c_str());
    EXPECT_EQ(f != nullptr, c.read);
    if (f) fclose(f);
    f = plat_print_open(c.path.c_str());
    EXPECT_EQ(f != nullptr, c.print);
    EXPECT_TRUE(!f || plat_print_close(f));
    // Never tried on /dev/null: a fault here must not replace it.
    bool replaced = c.path != "/dev/null" && plat_replace_file(c.path.c_str(), bytes, 3) == REPLACE_OK;
    EXPECT_EQ(replaced, c.replace);
  }
  EXPECT_TRUE(fs::is_fifo(fifo));
  EXPECT_EQ(fs::file_size(regular), 3u);
  // A FIFO with a reader would open at once; it is still no print target.
  int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(reader, 0);
  EXPECT_EQ(plat_print_open(fifo.c_str()), nullptr);
  close(reader);
  // A print file is emptied before it is written.
  FILE *f = plat_print_open(regular.c_str());
  ASSERT_NE(f, nullptr);
  EXPECT_TRUE(plat_print_close(f));
  EXPECT_EQ(fs::file_size(regular), 0u);
  alarm(0);
}

TEST(MemoryConsole, WritesClipAtTheRowEndFillsWrapAndClipAtTheScreenEnd) {
  ASSERT_TRUE(pcon_open(CONSOLE_MEMORY));
  EXPECT_EQ(mem_console_cell(12, 40).ch, ' ');
  EXPECT_EQ(mem_console_cell(12, 40).attr, 0x17);

  pcon_write(0, 77, reinterpret_cast<const uint8_t *>("ABCDEF"), 6, 0x1E);
  EXPECT_EQ(mem_console_row_text(0).substr(76), " ABC");
  EXPECT_EQ(mem_console_cell(0, 79).attr, 0x1E);
  EXPECT_EQ(mem_console_row_text(1), std::string(80, ' '));

  pcon_fill(3, 78, 5, 'x', 0x71);
  EXPECT_EQ(mem_console_row_text(3).substr(78), "xx");
  EXPECT_EQ(mem_console_row_text(4).substr(0, 4), "xxx ");
  EXPECT_EQ(mem_console_cell(4, 2).attr, 0x71);

  pcon_fill(24, 78, 100, '#', 0x17);   // stops at the last cell
  EXPECT_EQ(mem_console_row_text(24).substr(77), " ##");
  pcon_write(25, 0, reinterpret_cast<const uint8_t *>("Z"), 1, 0x17);   // off screen
  pcon_fill(0, 80, 3, 'Z', 0x17);
  EXPECT_EQ(mem_console_row_text(1).find('Z'), std::string::npos);

  const std::vector<ConRun> &log = mem_console_log();
  ASSERT_EQ(log.size(), 5u);
  EXPECT_EQ(log[0].op, 'w');
  EXPECT_EQ(log[0].text, "ABCDEF");
  EXPECT_EQ(log[0].col, 77);
  EXPECT_EQ(log[1].op, 'f');
  EXPECT_EQ(log[1].text, "xxxxx");
  EXPECT_EQ(log[1].attr, 0x71);

  pcon_bell();
  pcon_bell();
  EXPECT_EQ(mem_console_bells(), 2);
  pcon_cursor_to(5, 200);
  pcon_cursor_visible(true);
  EXPECT_EQ(mem_console_cursor().col, 79);
  EXPECT_TRUE(mem_console_cursor().visible);

  ASSERT_TRUE(pcon_open(CONSOLE_MEMORY));   // a fresh console
  EXPECT_EQ(mem_console_row_text(0), std::string(80, ' '));
  EXPECT_TRUE(mem_console_log().empty());
  EXPECT_EQ(mem_console_bells(), 0);
  pcon_close();
}

TEST(VtEncoding, AttributeBecomesAnsiColours) {
  struct Case {
    uint8_t attr;
    const char *sgr;
  };
  const Case cases[] = {
      {0x17, "\x1b[37;44m"},    // light grey on blue
      {0x71, "\x1b[34;47m"},    // blue on light grey
      {0x1E, "\x1b[93;44m"},    // yellow on blue
      {0x6C, "\x1b[91;43m"},    // light red on brown
      {0x8F, "\x1b[97;100m"},   // white on dark grey
      {0x41, "\x1b[34;41m"},    // blue on red: the two swapped bits
  };
  for (const Case &c : cases) {
    Sgr s = sgr_for_attr(c.attr);
    EXPECT_EQ(printable(std::string(s.text, s.len)), printable(c.sgr)) << int(c.attr);
  }
}

TEST(VtEncoding, EveryCodePage437ByteBecomesOneVisibleCharacter) {
  for (int ch = 0; ch < 256; ch++) {
    char a = cp437_ascii(static_cast<uint8_t>(ch));
    EXPECT_TRUE(a >= 0x20 && a < 0x7f) << ch;
    char u[4];
    int n = cp437_utf8(static_cast<uint8_t>(ch), u);
    uint32_t cp = cp437_unicode(static_cast<uint8_t>(ch));
    EXPECT_TRUE(cp >= 0x20 && cp != 0x7f && !(cp >= 0x80 && cp < 0xA0)) << ch;
    EXPECT_EQ(n, cp < 0x80 ? 1 : cp < 0x800 ? 2 : 3) << ch;
  }
  struct Case {
    uint8_t ch;
    const char *utf8;
    char ascii;
  };
  const Case cases[] = {
      {0xC9, "\xE2\x95\x94", '+'}, {0xCD, "\xE2\x95\x90", '-'}, {0xBA, "\xE2\x95\x91", '|'},
      {0xB3, "\xE2\x94\x82", '|'}, {0xC4, "\xE2\x94\x80", '-'}, {0xDB, "\xE2\x96\x88", '#'},
      {0x82, "\xC3\xA9", 'e'},     {'A', "A", 'A'},             {0x00, " ", ' '},
  };
  for (const Case &c : cases) {
    char u[4];
    int n = cp437_utf8(c.ch, u);
    EXPECT_EQ(printable(std::string(u, n)), printable(c.utf8)) << int(c.ch);
    EXPECT_EQ(cp437_ascii(c.ch), c.ascii) << int(c.ch);
  }
}

// --- the vt console on a pseudo-terminal ---

constexpr char TAKE_OVER[] = "\x1b[?1049h\x1b[?7l\x1b[?25l\x1b[0m\x1b[H\x1b[2J";
constexpr char GIVE_BACK[] = "\x18\x1b[?7h\x1b[0m\x1b[?25h\x1b[?1049l";

struct PtyRun {
  std::string output;
  int status = 0;
  struct termios before {}, after {};
};

// Runs body in a child whose terminal is a pty of rows x cols, with the
// console taken over; collects what it wrote and the pty's modes after it ended.
template <typename Body>
PtyRun run_on_pty(int rows, int cols, Body body) {
  PtyRun run;
  int master, slave;
  struct winsize ws {};
  ws.ws_row = static_cast<unsigned short>(rows);
  ws.ws_col = static_cast<unsigned short>(cols);
  EXPECT_EQ(openpty(&master, &slave, nullptr, nullptr, &ws), 0);
  tcgetattr(slave, &run.before);
  pid_t pid = fork();
  if (pid == 0) {
    struct rlimit no_core {0, 0};
    setrlimit(RLIMIT_CORE, &no_core);
    setenv("LC_ALL", "C", 1);
    dup2(slave, 0);
    dup2(slave, 1);
    close(master);
    close(slave);
    if (!pcon_open(CONSOLE_VT)) _exit(99);
    body();
    _exit(98);
  }
  int status = 0;
  std::string out;
  char buf[4096];
  fcntl(master, F_SETFL, O_NONBLOCK);
  for (;;) {
    ssize_t n = read(master, buf, sizeof buf);
    if (n > 0) {
      out.append(buf, static_cast<size_t>(n));
      continue;
    }
    pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid) {
      while ((n = read(master, buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
      break;
    }
    usleep(1000);
  }
  run.output = out;
  run.status = status;
  tcgetattr(slave, &run.after);
  close(master);
  close(slave);
  return run;
}

void expect_given_back(const PtyRun &run) {
  EXPECT_EQ(run.output.compare(0, strlen(TAKE_OVER), TAKE_OVER), 0) << printable(run.output);
  ASSERT_GE(run.output.size(), strlen(GIVE_BACK));
  EXPECT_EQ(printable(run.output.substr(run.output.size() - strlen(GIVE_BACK))), printable(GIVE_BACK));
  EXPECT_EQ(run.after.c_lflag, run.before.c_lflag);
  EXPECT_EQ(run.after.c_iflag, run.before.c_iflag);
  EXPECT_EQ(run.after.c_cc[VMIN], run.before.c_cc[VMIN]);
}

TEST(VtConsole, TerminalIsGivenBackOnEveryWayOut) {
  struct Case {
    const char *name;
    int sig;   // 0: exit()
  };
  const Case cases[] = {{"exit", 0},           {"SIGTERM", SIGTERM},     {"SIGINT", SIGINT},
                        {"SIGHUP", SIGHUP},    {"SIGSEGV", SIGSEGV},     {"SIGABRT", SIGABRT},
                        {"SIGUSR1", SIGUSR1},  {"SIGUSR2", SIGUSR2},     {"SIGPIPE", SIGPIPE},
                        {"SIGALRM", SIGALRM},  {"SIGVTALRM", SIGVTALRM}, {"SIGPROF", SIGPROF},
                        {"SIGXCPU", SIGXCPU},  {"SIGXFSZ", SIGXFSZ},     {"SIGBUS", SIGBUS},
                        {"SIGFPE", SIGFPE},    {"SIGILL", SIGILL},       {"SIGTRAP", SIGTRAP},
                        {"SIGSYS", SIGSYS},    {"SIGIO", SIGIO},         {"SIGRTMIN", SIGRTMIN},
                        {"SIGRTMAX", SIGRTMAX}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    PtyRun run = run_on_pty(25, 80, [&] {
      pcon_write(1, 1, reinterpret_cast<const uint8_t *>("hi"), 2, 0x17);
      pcon_flush();
      if (c.sig) raise(c.sig);
      exit(0);
    });
    if (c.sig) {
      EXPECT_TRUE(WIFSIGNALED(run.status));
      EXPECT_EQ(WIFSIGNALED(run.status) ? WTERMSIG(run.status) : 0, c.sig);
    } else {
      EXPECT_TRUE(WIFEXITED(run.status) && WEXITSTATUS(run.status) == 0);
    }
    expect_given_back(run);
  }
}

TEST(VtConsole, DrawsOnlyChangesAndClipsToASmallTerminal) {
  PtyRun run = run_on_pty(20, 40, [] {
    auto text = [](const char *s) { return reinterpret_cast<const uint8_t *>(s); };
    pcon_write(0, 0, text("AB"), 2, 0x17);
    pcon_write(0, 2, text("CD"), 2, 0x17);    // cursor already there, same colours
    pcon_write(0, 38, text("XYZ"), 3, 0x1E);  // the terminal is 40 wide
    pcon_write(22, 0, text("gone"), 4, 0x17); // below its 20 rows
    pcon_fill(19, 39, 3, '#', 0x17);          // wraps onto row 20: not shown
    pcon_cursor_to(5, 6);
    pcon_cursor_visible(true);
    pcon_bell();
    pcon_flush();
    pcon_close();
    pcon_close();
    _exit(0);
  });
  std::string want = std::string(TAKE_OVER) +
                     "\x1b[37;44mABCD\x1b[39G\x1b[93;44mXY\x1b[20;40H\x1b[37;44m#\a\x1b[6;7H\x1b[?25h" +
                     GIVE_BACK;
  EXPECT_EQ(printable(run.output), printable(want));
  EXPECT_TRUE(WIFEXITED(run.status) && WEXITSTATUS(run.status) == 0);
}

TEST(VtConsole, RepaintsWhatFitsAfterAResize) {
  PtyRun run = run_on_pty(25, 80, [] {
    pcon_write(0, 0, reinterpret_cast<const uint8_t *>("AB"), 2, 0x17);
    pcon_write(3, 5, reinterpret_cast<const uint8_t *>("CD"), 2, 0x1E);
    pcon_flush();
    struct winsize ws {};
    ws.ws_row = 25;
    ws.ws_col = 4;
    ioctl(0, TIOCSWINSZ, &ws);
    raise(SIGWINCH);
    pcon_flush();
    bool first = pcon_take_resized(), second = pcon_take_resized();
    pcon_close();
    _exit(first && !second ? 0 : 1);
  });
  std::string want = std::string(TAKE_OVER) + "\x1b[37;44mAB\x1b[4;6H\x1b[93;44mCD" +
                     "\x1b[0m\x1b[2J\x1b[1H\x1b[37;44mAB\x1b[?25l" + GIVE_BACK;
  EXPECT_EQ(printable(run.output), printable(want));
  EXPECT_TRUE(WIFEXITED(run.status) && WEXITSTATUS(run.status) == 0);
}

TEST(VtConsole, RefusesWhenNotATerminal) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  int saved = dup(0);
  dup2(fds[0], 0);
  EXPECT_FALSE(pcon_open(CONSOLE_VT));
  EXPECT_FALSE(pcon_is_open());
  dup2(saved, 0);
  close(saved);
  close(fds[0]);
  close(fds[1]);
}

}  // namespace
