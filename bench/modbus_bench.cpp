// Modbus exchange rates of the program's register interface, side by side
// with outside clients against the same server in the same run.
//   modbus_bench tcp   [--seconds N]   reads of 20 holding registers against a
//                      libmodbus server on loopback: the program, then
//                      libmodbus's own client, in alternating rounds
//   modbus_bench rtu   [--seconds N] [--baud N]   against zl27t-sim on a pty:
//                      the program, then a libmodbus RTU client
//   modbus_bench ascii [--seconds N] [--baud N]   against zl27t-sim on a pty:
//                      the program, then a pymodbus ASCII client
// --baud makes the simulator pace its replies at that line speed (the pty
// itself has none). Prints exchanges per second of each and their ratio.
#include <modbus/modbus.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "libmodbus_peer.h"
#include "link/link.h"
#include "link/link_setup.h"
#include "sim_process.h"
#include "ui/screen.h"
#include "ui/ui.h"

namespace {

constexpr int COUNT = 20;
constexpr int ROUNDS = 3;

void report(const char *ours_name, const Rate &ours, const char *theirs_name, const Rate &theirs) {
  printf("%-28s %8.0f exchanges/s (%ld in %.1f s, %ld failed)\n", ours_name, ours.per_second(), ours.exchanges,
         ours.seconds, ours.failures);
  printf("%-28s %8.0f exchanges/s (%ld in %.1f s, %ld failed)\n", theirs_name, theirs.per_second(), theirs.exchanges,
         theirs.seconds, theirs.failures);
  if (theirs.per_second() > 0) printf("ratio (program / other)      %8.2f\n", ours.per_second() / theirs.per_second());
}

// The program's link, opened as the program opens it.
LinkHandle *open_program_link(LinkKind kind, const std::string &where, uint16_t tcp_port, unsigned baud_index) {
  default_link_setup(&link_setup);
  link_setup.kind = kind;
  link_setup.trap_errors = 1;
  link_setup.timeout = 100;
  link_setup.parity = 0;
  link_setup.baud = static_cast<uint16_t>(baud_index);
  link_setup.route_count = 1;
  link_setup.route[0] = 1;
  if (kind == LINK_MODBUS_TCP) {
    snprintf(link_setup.host, sizeof link_setup.host, "%s", where.c_str());
    link_setup.tcp_port = tcp_port;
  } else {
    setenv("ZL27T_PORTS", where.c_str(), 1);
    refresh_serial_ports();
  }
  return link_open();
}

bool program_read(LinkHandle *link) {
  uint16_t v[COUNT];
  return link_read_registers(link, 1, COUNT, v) != 0;
}

int bench_tcp(double seconds) {
  LibmodbusServer server;
  if (!start_libmodbus_server(&server)) {
    fprintf(stderr, "modbus_bench: no libmodbus server\n");
    return 1;
  }
  Rate ours, theirs;
  for (int round = 0; round < ROUNDS; round++) {
    LinkHandle *link = open_program_link(LINK_MODBUS_TCP, "127.0.0.1", static_cast<uint16_t>(server.port), 13);
    if (!link) {
      fprintf(stderr, "modbus_bench: the program's link did not open\n");
      break;
    }
    run_for(seconds / ROUNDS, ours, [link] { return program_read(link); });
    link_close(link);
    link_handle = nullptr;

    if (!libmodbus_tcp_reads(server.port, 1, COUNT, seconds / ROUNDS, theirs)) {
      fprintf(stderr, "modbus_bench: libmodbus client cannot connect\n");
      break;
    }
  }
  stop_libmodbus_server(&server);
  printf("Modbus TCP, reads of %d registers, libmodbus server on loopback\n", COUNT);
  report("program (register interface)", ours, "libmodbus client", theirs);
  return 0;
}

unsigned baud_index_of(long baud) {
  for (unsigned i = 0; i < BAUD_COUNT; i++)
    if (baud_rate[i] == static_cast<unsigned>(baud)) return i;
  return 13;
}

// The pymodbus ASCII client's own count over `seconds`.
bool pymodbus_ascii(const std::string &port, double seconds, Rate &rate) {
  std::string script =
      "import sys, time\n"
      "from pymodbus.client import ModbusSerialClient\n"
      "from pymodbus.transaction import ModbusAsciiFramer\n"
      "c = ModbusSerialClient(port=sys.argv[1], framer=ModbusAsciiFramer, baudrate=9600, timeout=1)\n"
      "assert c.connect()\n"
      "n = f = 0\n"
      "end = time.monotonic() + float(sys.argv[2]); start = time.monotonic()\n"
      "while time.monotonic() < end:\n"
      "    r = c.read_holding_registers(0, 20, slave=1)\n"
      "    if r.isError(): f += 1\n"
      "    else: n += 1\n"
      "print(n, f, time.monotonic() - start)\n";
  std::string command = "/usr/bin/python3 -c '" + script + "' " + port + " " + std::to_string(seconds);
  FILE *p = popen(command.c_str(), "r");
  if (!p) return false;
  long n = 0, f = 0;
  double s = 0;
  int got = fscanf(p, "%ld %ld %lf", &n, &f, &s);
  pclose(p);
  if (got != 3) return false;
  rate.exchanges += n;
  rate.failures += f;
  rate.seconds += s;
  return true;
}

int bench_serial(bool ascii, double seconds, long baud) {
  SimProcess sim;
  std::vector<std::string> options = {ascii ? "--ascii" : "--rtu"};
  if (baud > 0) options.insert(options.end(), {"--baud", std::to_string(baud)});
  if (!sim.start(options)) {
    fprintf(stderr, "modbus_bench: %s did not get ready\n", ZL27T_SIM_BIN);
    return 1;
  }
  unsigned index = baud_index_of(baud > 0 ? baud : 9600);
  Rate ours, theirs;
  for (int round = 0; round < ROUNDS; round++) {
    LinkHandle *link = open_program_link(ascii ? LINK_MODBUS_ASCII : LINK_MODBUS_RTU, sim.path(), 0, index);
    if (!link) {
      fprintf(stderr, "modbus_bench: the program's link did not open\n");
      return 1;
    }
    run_for(seconds / ROUNDS, ours, [link] { return program_read(link); });
    link_close(link);
    link_handle = nullptr;
    if (ascii) {
      if (!pymodbus_ascii(sim.path(), seconds / ROUNDS, theirs)) fprintf(stderr, "modbus_bench: pymodbus failed\n");
      continue;
    }
    modbus_t *ctx = modbus_new_rtu(sim.path().c_str(), baud > 0 ? static_cast<int>(baud) : 9600, 'N', 8, 1);
    if (!ctx || modbus_connect(ctx) < 0) {
      fprintf(stderr, "modbus_bench: libmodbus RTU client cannot open the port\n");
      return 1;
    }
    modbus_set_slave(ctx, 1);
    uint16_t v[COUNT];
    run_for(seconds / ROUNDS, theirs, [ctx, &v] { return modbus_read_registers(ctx, 0, COUNT, v) == COUNT; });
    modbus_close(ctx);
    modbus_free(ctx);
  }
  printf("Modbus %s over a pty, reads of %d registers, zl27t-sim%s\n", ascii ? "ASCII" : "RTU", COUNT,
         baud > 0 ? (" paced at " + std::to_string(baud) + " baud").c_str() : " unpaced");
  report("program (register interface)", ours, ascii ? "pymodbus ASCII client" : "libmodbus RTU client", theirs);
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: modbus_bench tcp|rtu|ascii [--seconds N] [--baud N]\n");
    return 2;
  }
  std::string what = argv[1];
  double seconds = 6;
  long baud = 0;
  for (int i = 2; i + 1 < argc; i += 2) {
    if (!strcmp(argv[i], "--seconds"))
      seconds = atof(argv[i + 1]);
    else if (!strcmp(argv[i], "--baud"))
      baud = atol(argv[i + 1]);
  }
  signal(SIGPIPE, SIG_IGN);
  // Link open draws its window; a memory console keeps the terminal clean.
  if (!ui_init(CONSOLE_MEMORY)) return 1;
  int rc = 2;
  if (what == "tcp")
    rc = bench_tcp(seconds);
  else if (what == "rtu" || what == "ascii")
    rc = bench_serial(what == "ascii", seconds, baud);
  ui_shutdown();
  return rc;
}
