// --help and --version.
#include "app/cli.h"

#include <cstdio>
#include <cstring>

namespace {

constexpr const char HELP[] =
    "usage: zl27t [SCRIPT]...\n"
    "       zl27t --help | --version\n"
    "\n"
    "Configuration and utility program for the ZL27T industrial modem: a full-screen\n"
    "80 x 25 text-mode program for a terminal, driven from the keyboard through a\n"
    "pull-down menu bar. It reaches the modem over a serial port or Modbus TCP.\n"
    "\n"
    "Arguments are a keystroke script, typed before the keyboard: /R is Enter,\n"
    "/E Esc and /D Del (either case); every other character stays as typed.\n"
    "\n"
    "Environment:\n"
    "  ZL27T_PORTS        ports listed first in the dialogs, colon separated: a path\n"
    "                     (/dev/ttyUSB0) or a name under /dev (ttyUSB0)\n"
    "Files:\n"
    "  ZL27TSW.STP        the link setup, in the current directory\n"
    "\n"
    "More: man zl27t, and README.md in share/doc/zl27t under the installation\n"
    "prefix (/usr or /usr/local).\n";

// A help text lost to a full disk or a closed pipe is an error, not success.
int finish_output() {
  if (fflush(stdout) == 0 && !ferror(stdout)) return 0;
  fprintf(stderr, "zl27t: cannot write to standard output\n");
  return 1;
}

}  // namespace

int command_line_option(int argc, char **argv, const char *version) {
  if (argc < 2) return -1;
  if (strcmp(argv[1], "--help") == 0) {
    fputs(HELP, stdout);
    return finish_output();
  }
  if (strcmp(argv[1], "--version") == 0) {
    printf("zl27t %s\n", version);
    return finish_output();
  }
  return -1;
}
