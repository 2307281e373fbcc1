// zl27t_probe: the program's register interface from the command line, for
// the interop scripts. It opens the link as the program does (the setup
// record, then link_open, on a memory console) and runs the operations in
// order, one output line each.
//
//   zl27t_probe KIND WHERE [--drop N]... [--timeout N] OP...
//     KIND   symax | gateway | rtu | ascii | tcp
//     WHERE  the serial port's path, or HOST:PORT for tcp
//     OP     r FIRST COUNT       holding registers   -> "r FIRST: v v ..."
//            i FIRST COUNT       input registers     -> "i FIRST: v v ..."
//            w FIRST V[,V...]    write registers     -> "w FIRST: ok"
//            f FIRST V[,V...]    write file record   -> "f FIRST: ok"
//     a failure prints "OP FIRST: fail TEXT" and the probe goes on.
// Exit status 0 when the link opened, else 1.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "link/link.h"
#include "link/link_setup.h"
#include "ui/screen.h"
#include "ui/ui.h"

namespace {

[[noreturn]] void usage() {
  fprintf(stderr, "usage: zl27t_probe symax|gateway|rtu|ascii|tcp WHERE [--drop N]... [--timeout N] OP...\n");
  exit(2);
}

std::vector<uint16_t> values_of(const char *text) {
  std::vector<uint16_t> v;
  for (const char *p = text; *p;) {
    char *end;
    v.push_back(static_cast<uint16_t>(strtoul(p, &end, 0)));
    p = *end == ',' ? end + 1 : end;
    if (end == p && *p) usage();
  }
  return v;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc < 3) usage();
  std::string kind = argv[1], where = argv[2];
  default_link_setup(&link_setup);
  link_setup.trap_errors = 1;   // NO: messages go to the bottom line, nothing waits for a key
  link_setup.baud = 13;         // 9600
  link_setup.parity = 0;        // ptys carry no parity
  link_setup.route_count = 0;
  if (kind == "symax") link_setup.kind = LINK_SYMAX;
  else if (kind == "gateway") link_setup.kind = LINK_GATEWAY;
  else if (kind == "rtu") link_setup.kind = LINK_MODBUS_RTU;
  else if (kind == "ascii") link_setup.kind = LINK_MODBUS_ASCII;
  else if (kind == "tcp") link_setup.kind = LINK_MODBUS_TCP;
  else usage();

  if (link_setup.kind == LINK_MODBUS_TCP) {
    size_t colon = where.rfind(':');
    if (colon == std::string::npos) usage();
    snprintf(link_setup.host, sizeof link_setup.host, "%s", where.substr(0, colon).c_str());
    link_setup.tcp_port = static_cast<uint16_t>(atoi(where.c_str() + colon + 1));
  } else {
    setenv("ZL27T_PORTS", where.c_str(), 1);
  }

  int i = 3;
  for (; i < argc && !strncmp(argv[i], "--", 2); i++) {
    if (i + 1 >= argc) usage();
    if (!strcmp(argv[i], "--drop") && link_setup.route_count < 8)
      link_setup.route[link_setup.route_count++] = static_cast<uint16_t>(atoi(argv[++i]));
    else if (!strcmp(argv[i], "--timeout"))
      link_setup.timeout = static_cast<uint16_t>(atoi(argv[++i]));
    else
      usage();
  }
  if (link_setup.route_count == 0) {
    link_setup.route_count = 1;
    link_setup.route[0] = link_setup.kind == LINK_SYMAX || link_setup.kind == LINK_GATEWAY ? 201 : 1;
  }

  if (!ui_init(CONSOLE_MEMORY)) return 1;
  refresh_serial_ports();
  LinkHandle *link = link_open();
  if (!link) {
    printf("open: fail\n");
    ui_shutdown();
    return 1;
  }
  if ((argc - i) % 3 != 0) usage();
  for (; i + 2 < argc; i += 3) {
    const char *op = argv[i];
    int first = atoi(argv[i + 1]);
    printf("%s %d:", op, first);
    int ok = 0;
    std::vector<uint16_t> v;
    if (!strcmp(op, "r") || !strcmp(op, "i")) {
      v.assign(static_cast<size_t>(atoi(argv[i + 2]) > 0 ? atoi(argv[i + 2]) : 1), 0);
      ok = op[0] == 'r' ? link_read_registers(link, first, atoi(argv[i + 2]), v.data())
                        : link_read_input_registers(link, 0, first, atoi(argv[i + 2]), v.data());
      if (ok)
        for (uint16_t x : v) printf(" %u", x);
    } else if (!strcmp(op, "w") || !strcmp(op, "f")) {
      v = values_of(argv[i + 2]);
      int n = static_cast<int>(v.size());
      ok = op[0] == 'w' ? link_write_registers(link, first, n, v.data()) : link_write_file_record(link, first, n, v.data());
      if (ok) printf(" ok");
    } else {
      usage();
    }
    if (!ok) printf(" fail %s", link_error_text(link));
    printf("\n");
    fflush(stdout);
  }
  link_close(link);
  link_handle = nullptr;
  ui_shutdown();
  return 0;
}
