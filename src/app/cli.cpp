// --help and --version.
#include "app/cli.h"

#include <cstdio>
#include <cstring>

namespace {

constexpr const char HELP[] =
    "usage: zl27t [SCRIPT]...\n"
    "       zl27t [--setup PATH] [--trace FILE] [SCRIPT]...\n"
    "       zl27t COMMAND [LINK OPTIONS] [--format text|csv|json] [--trace FILE]\n"
    "       zl27t --help | --version\n"
    "\n"
    "Configuration and utility program for the ZL27T industrial modem: a full-screen\n"
    "80 x 25 text-mode program for a terminal, driven from the keyboard through a\n"
    "pull-down menu bar. It reaches the modem over a serial port or Modbus TCP.\n"
    "\n"
    "Arguments are a keystroke script, typed before the keyboard: /R is Enter,\n"
    "/E Esc and /D Del (either case); every other character stays as typed.\n"
    "\n"
    "Commands (no terminal needed; values on standard output, messages on standard\n"
    "error; exit status 0 done, 1 the link, device or a file failed, 2 usage error):\n"
    "  --fetch FILE       fetch the modem's configuration into a configuration file\n"
    "  --send FILE        send a configuration file to the modem (--force: also when\n"
    "                     it changes how the modem is reached, or is another module)\n"
    "  --identify         the module's identification\n"
    "  --read FIRST[-LAST]  registers, one a line: number, hex, unsigned, signed\n"
    "                     (holding registers; --input or -t 3: input registers)\n"
    "  --write REG=VALUE[,VALUE...]  consecutive registers (decimal or 0x hex)\n"
    "  --print FILE       the printout of a configuration file (no link)\n"
    "  --ports            the serial ports, as the dialogs list them, kept remote\n"
    "                     ports included (no link)\n"
    "  --format FMT       text (default), csv or json: --read, --identify, --ports\n"
    "Link options (this run only; the setup file is never written by a command):\n"
    "  --setup PATH       the setup file to read (default ZL27TSW.STP here)\n"
    "  -m, --link KIND    symax, net-to-net, gateway, rtu, ascii or tcp\n"
    "  --device PORT      serial port: a name of --ports, or a path; a remote port\n"
    "                     as socket://HOST:PORT (raw TCP) or rfc2217://HOST:PORT\n"
    "                     (RFC 2217: the line settings reach the far port)\n"
    "  -b, --baud RATE    50 ... 19200      -P, --parity none|even|odd\n"
    "  -d, --data-bits 7|8                  -s, --stop-bits 1|2\n"
    "  -a, --drop N[,N...]  Modbus slave or unit; Sy/Max route (--route, 8 drops)\n"
    "  --host HOST        Modbus TCP host    -p, --tcp-port N   its port\n"
    "  -o, --timeout S    reply time-out in seconds (0.01 to 60)\n"
    "  --trace FILE       every frame both ways, one line each (- standard error)\n"
    "Two commands on one serial port never share it: the second is refused.\n"
    "\n"
    "Environment:\n"
    "  ZL27T_PORTS        ports listed first in the dialogs, colon separated: a path\n"
    "                     (/dev/ttyUSB0), a name under /dev (ttyUSB0), or a\n"
    "                     remote port socket://HOST:PORT or rfc2217://HOST:PORT\n"
    "                     (HOST a name, an IPv4 address or [an IPv6 address])\n"
    "Files:\n"
    "  ZL27TSW.STP        the link setup, in the current directory\n"
    "  ZL27TSW.PORTS      remote ports typed in the port fields (their last choice,\n"
    "                     Remote...), one a line, kept beside the setup so that its\n"
    "                     port indexes name the same ports at the next start\n"
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
