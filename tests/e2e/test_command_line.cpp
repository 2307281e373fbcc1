// The command line's own options and what the program shows for the ports it
// is given, run as a user would.
#include <sys/wait.h>

#include <cstdio>
#include <string>

#include "harness.h"

using namespace e2e;

namespace {

// The program under test (the sanitizer build when scripts/test.sh asks).
std::string program() {
  const char *other = getenv("ZL27T_E2E_PROGRAM");
  return other && *other ? other : ZL27T_BIN;
}

struct Piped {
  int status = -1;
  std::string out;
};

// Runs the program through the shell with redirections, no terminal attached;
// what it writes to standard output.
Piped run_piped(const std::string &args_and_redirections) {
  Piped r;
  std::string command = "'";   // appended: GCC 12 -O3 takes "x" + string for an overlap
  command.append(program()).append("' ").append(args_and_redirections);
  FILE *p = popen(command.c_str(), "r");
  if (!p) return r;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) r.out.append(buf, n);
  int st = pclose(p);
  r.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
  return r;
}

struct Option {
  const char *arg;
  std::vector<std::string> texts;   // all in what it prints
};

const Option kOptions[] = {
    {"--help", {"usage: zl27t [SCRIPT]...", "ZL27T industrial modem", "/R is Enter", "/E Esc and /D Del",
                "ZL27T_PORTS", "ZL27TSW.STP", "man zl27t"}},
    {"--version", {std::string("zl27t ") + ZL27T_VERSION}},
};

}  // namespace

TEST(CommandLine, HelpAndVersionPrintAndEndWithoutTakingTheTerminal) {
  for (const Option &o : kOptions) {
    SCOPED_TRACE(o.arg);
    // In a pipe, with no terminal at all.
    Piped piped = run_piped(std::string(o.arg) + " </dev/null 2>&1");
    EXPECT_EQ(piped.status, 0);
    for (const std::string &t : o.texts) EXPECT_NE(piped.out.find(t), std::string::npos) << t << "\n" << piped.out;
    EXPECT_EQ(piped.out.find('\x1b'), std::string::npos);

    // On a terminal: the same text, and the terminal left alone.
    ZlSession s;
    ASSERT_TRUE(s.start({o.arg}));
    EXPECT_EQ(s.wait_exit(), 0);
    EXPECT_EQ(s.raw_output().find('\x1b'), std::string::npos) << s.raw_output();
    EXPECT_NE(s.raw_output().find(o.texts[0]), std::string::npos) << s.raw_output();
    EXPECT_FALSE(s.alt_screen());

    // A text that cannot be written is an error.
    Piped full = run_piped(std::string(o.arg) + " </dev/null >/dev/full 2>/dev/null");
    EXPECT_EQ(full.status, 1);
  }
}

TEST(CommandLine, LongPortNamesShowTheEndThatTellsThemApart) {
  const std::string alice = "/srv/alice/projects/zl27t/build/demo/modem.pty";
  const std::string bob = "/srv/bob/projects/zl27t/build/demo/modem.pty";
  ZlSession s;
  s.set_env("ZL27T_PORTS", alice + ":" + bob);
  ASSERT_TRUE(s.start_at_menu());
  s.keys("s{Enter}");   // Setup, Sy/Max communications
  ASSERT_TRUE(s.wait_for_text("CONFIGURE THIS COMPUTER"));
  s.type("+");          // None -> Sy/Max COM:, which has a port
  ASSERT_TRUE(s.wait_until([&] { return s.text_at(9, 46, 31) == "/srv/a.../build/demo/modem.pty "; },
                           "the first port, cut at its start"));
  s.keys("{Enter}+");   // into the port field, next port
  ASSERT_TRUE(s.wait_until([&] { return s.text_at(9, 46, 31) == "/srv/b.../build/demo/modem.pty "; },
                           "the second port, cut at its start"));
  EXPECT_FALSE(s.contains("/srv/alice/projects"));
  s.press(Key::Esc);
  ASSERT_TRUE(s.wait_for_text("Edit aborted by ESC. Modifications lost."));
  s.press(Key::F10);
  ASSERT_TRUE(s.wait_for_text_gone("CONFIGURE THIS COMPUTER"));
  EXPECT_TRUE(quit_program(s));
}
