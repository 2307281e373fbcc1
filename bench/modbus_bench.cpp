// Modbus exchange rates of the program's register interface, side by side
// with outside clients against the same server in the same run.
//   modbus_bench tcp   [--seconds N]   reads of 20 holding registers against a
//                      libmodbus server on loopback: the program, then
//                      libmodbus's own client, in alternating rounds
//   modbus_bench rtu   [--seconds N] [--baud N]   against zl27t-sim on a pty:
//                      the program, then a libmodbus RTU client
//   modbus_bench ascii [--seconds N] [--baud N]   against zl27t-sim on a pty:
//                      the program, then a pymodbus ASCII client
//   modbus_bench symax [--seconds N]   Sy/Max point-to-point against zl27t-sim
//                      on a pty: the program (there is no outside client)
//   modbus_bench table [--seconds N]   all four, unpaced, as one table
// --rounds N: the clients take turns N times (3, or 6 for the table).
// Each kind also times its ceiling: the same request bytes written and the
// reply read back by the plainest blocking client (a socket, or the pty in
// raw mode) against the same server, in the same rounds (Sy/Max: the
// acknowledgement and the reply read, the reply acknowledged). Modbus RTU
// and ASCII also time the same bare client waiting as the program must:
// a look for stray input before the request, then the reply awaited in
// 10-ms steps (the program answers keys between them), each step a wait on
// an epoll set and the read it allows: what the waits alone cost.
// Beside each rate: the process's CPU time and its threads' sleeps per
// exchange (the pymodbus client runs in a process of its own: not counted).
// --baud makes the simulator pace its replies at that line speed (the pty
// itself has none). Prints exchanges per second of each and their ratios,
// over all rounds and of each one's best round.
#include <arpa/inet.h>
#include <fcntl.h>
#include <modbus/modbus.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
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
// Rounds the clients alternate in: more and shorter ones spread a busy
// machine's load over all of them alike.
int ROUNDS = 3;

// The figures of one link kind: the program, its peer and the ceiling.
struct Figures {
  const char *kind;
  const char *peer_name;
  Rate ours, peer, ceiling;
  Rate stepped;   // the ceiling's client waiting in steps, where it applies
};

void print_rate(const char *name, const Rate &r) {
  printf("%-28s %8.0f exchanges/s (%ld in %.1f s, %ld failed)", name, r.per_second(), r.exchanges, r.seconds,
         r.failures);
  if (r.cpu_seconds > 0) printf(", %.1f us CPU and %.2f sleeps each", r.cpu_us_each(), r.sleeps_each());
  printf("\n");
}

void report(const Figures &f) {
  print_rate("program (register interface)", f.ours);
  print_rate(f.peer_name, f.peer);
  print_rate("ceiling (bare ping-pong)", f.ceiling);
  if (f.stepped.exchanges > 0) print_rate("ceiling in 10-ms steps", f.stepped);
  if (f.peer.per_second() > 0) printf("ratio (program / other)      %8.2f\n", f.ours.per_second() / f.peer.per_second());
  if (f.ceiling.per_second() > 0)
    printf("ratio (program / ceiling)    %8.2f\n", f.ours.per_second() / f.ceiling.per_second());
  if (f.stepped.per_second() > 0 && f.ceiling.per_second() > 0)
    printf("ratio (steps / ceiling)      %8.2f\n", f.stepped.per_second() / f.ceiling.per_second());
  if (f.ceiling.best > 0)
    printf("best rounds (program / ceiling) %5.2f  (%.0f/s, %.0f/s)\n", f.ours.best / f.ceiling.best, f.ours.best,
           f.ceiling.best);
}

double ratio(const Rate &a, const Rate &b) { return b.per_second() > 0 ? a.per_second() / b.per_second() : 0; }

void print_table(const std::vector<Figures> &rows) {
  printf("%-12s %10s %-22s %10s %10s %8s %8s\n", "link", "program/s", "peer", "peer/s", "ceiling/s", "/peer",
         "/ceiling");
  for (const Figures &f : rows)
    printf("%-12s %10.0f %-22s %10.0f %10.0f %8.2f %8.2f%s\n", f.kind, f.ours.per_second(), f.peer_name,
           f.peer.per_second(), f.ceiling.per_second(), ratio(f.ours, f.peer), ratio(f.ours, f.ceiling),
           f.ours.failures || f.peer.failures || f.ceiling.failures ? "  (failures)" : "");
  for (const Figures &f : rows)
    if (f.stepped.per_second() > 0 && f.ceiling.per_second() > 0)
      printf("%-12s the ceiling's client waiting in 10-ms steps, as the program does: %.0f/s, %.2f of the ceiling\n",
             f.kind, f.stepped.per_second(), ratio(f.stepped, f.ceiling));
  // Where the scheduler puts the two ends of a ping-pong (one core or two)
  // changes its rate by half on a small machine, and it may change from one
  // round to the next: each one's best round stands beside the others'.
  for (const Figures &f : rows)
    if (f.ceiling.best > 0)
      printf("%-12s best rounds: program %.0f/s, peer %.0f/s, ceiling %.0f/s: %.2f of the peer, %.2f of the ceiling\n",
             f.kind, f.ours.best, f.peer.best, f.ceiling.best, f.peer.best > 0 ? f.ours.best / f.peer.best : 0,
             f.ours.best / f.ceiling.best);
}

// The plainest client: writes the request, reads until the reply is whole
// (`reply_length` bytes, or up to a LF when 0). A blocking descriptor; or,
// given an epoll set holding a non-blocking one, waiting as the program
// must: a look for stray input before the request, then 10-ms waits on the
// set, each followed by a read.
bool ping_pong(int fd, const uint8_t *request, size_t length, size_t reply_length, int set = -1) {
  struct epoll_event e;
  uint8_t reply[600];
  if (set >= 0 && epoll_wait(set, &e, 1, 0) > 0 && read(fd, reply, sizeof reply) > 0) return false;
  if (write(fd, request, length) != static_cast<ssize_t>(length)) return false;
  size_t got = 0;
  for (;;) {
    if (set >= 0 && epoll_wait(set, &e, 1, 10) < 0) return false;
    ssize_t n = read(fd, reply + got, sizeof reply - got);
    if (n < 0 && errno == EAGAIN && set >= 0) continue;
    if (n <= 0) return false;
    got += static_cast<size_t>(n);
    if (reply_length ? got >= reply_length : reply[got - 1] == '\n') return got == reply_length || !reply_length;
    if (got == sizeof reply) return false;
  }
}

// Read 20 holding registers from 0 of unit 1, as each kind frames it.
constexpr uint8_t TCP_REQUEST[] = {0, 1, 0, 0, 0, 6, 1, 3, 0, 0, 0, COUNT};
constexpr uint8_t RTU_REQUEST[] = {1, 3, 0, 0, 0, COUNT, 0x45, 0xC5};
constexpr char ASCII_REQUEST[] = ":010300000014E8\r\n";
constexpr size_t TCP_REPLY = 9 + 2 * COUNT, RTU_REPLY = 5 + 2 * COUNT;
// Sy/Max, route 1, BCC: the frame, then the far end's acknowledgement and
// its reply frame (sequence byte, route, data, DLE ETX, check), which is
// acknowledged with DLE and the reply's sequence byte.
constexpr uint8_t SYMAX_REQUEST[] = {0x10, 0x01, 0x11, 0x30, 0x31, 0x10, 0x02, 0x00,
                                     0x00, 0x00, 0x00, 0x00, 0x13, 0x10, 0x03, 0x56};
constexpr size_t SYMAX_ACK = 2, SYMAX_REPLY = 8 + 2 * COUNT + 3;

bool symax_ping_pong(int fd) {
  if (write(fd, SYMAX_REQUEST, sizeof SYMAX_REQUEST) != static_cast<ssize_t>(sizeof SYMAX_REQUEST)) return false;
  uint8_t in[600];
  size_t got = 0;
  while (got < SYMAX_ACK + SYMAX_REPLY) {
    ssize_t n = read(fd, in + got, sizeof in - got);
    if (n <= 0) return false;
    got += static_cast<size_t>(n);
  }
  const uint8_t ack[2] = {0x10, in[SYMAX_ACK + 2]};
  return write(fd, ack, sizeof ack) == 2;
}

bool tcp_ceiling(int port, double seconds, Rate &rate) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  if (connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
    close(fd);
    return false;
  }
  run_for(seconds, rate, [fd] { return ping_pong(fd, TCP_REQUEST, sizeof TCP_REQUEST, TCP_REPLY); });
  close(fd);
  return true;
}

enum class Wire { RTU, ASCII, SYMAX };

// The ceiling over the pty: blocking, or (`stepped`) waiting as the
// program must, on an epoll set.
bool pty_ceiling(const std::string &path, Wire wire, double seconds, Rate &rate, bool stepped = false) {
  int fd = open(path.c_str(), O_RDWR | O_NOCTTY | (stepped ? O_NONBLOCK : 0));
  if (fd < 0) return false;
  struct termios t;
  tcgetattr(fd, &t);
  cfmakeraw(&t);
  t.c_cc[VMIN] = 1;
  t.c_cc[VTIME] = 0;
  tcsetattr(fd, TCSANOW, &t);
  int set = -1;
  if (stepped) {
    set = epoll_create1(0);
    struct epoll_event e {};
    e.events = EPOLLIN;
    epoll_ctl(set, EPOLL_CTL_ADD, fd, &e);
  }
  if (wire == Wire::ASCII)
    run_for(seconds, rate, [fd, set] {
      return ping_pong(fd, reinterpret_cast<const uint8_t *>(ASCII_REQUEST), sizeof ASCII_REQUEST - 1, 0, set);
    });
  else if (wire == Wire::SYMAX)
    run_for(seconds, rate, [fd] { return symax_ping_pong(fd); });
  else
    run_for(seconds, rate, [fd, set] { return ping_pong(fd, RTU_REQUEST, sizeof RTU_REQUEST, RTU_REPLY, set); });
  if (set >= 0) close(set);
  close(fd);
  return true;
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

int bench_tcp(double seconds, Figures &f) {
  LibmodbusServer server;
  if (!start_libmodbus_server(&server)) {
    fprintf(stderr, "modbus_bench: no libmodbus server\n");
    return 1;
  }
  f.kind = "Modbus TCP";
  f.peer_name = "libmodbus client";
  Rate &ours = f.ours, &theirs = f.peer;
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
    if (!tcp_ceiling(server.port, seconds / ROUNDS, f.ceiling)) fprintf(stderr, "modbus_bench: no ceiling client\n");
  }
  stop_libmodbus_server(&server);
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
  if (s > 0 && n / s > rate.best) rate.best = n / s;
  return true;
}

int bench_serial(bool ascii, double seconds, long baud, Figures &f) {
  SimProcess sim;
  std::vector<std::string> options = {ascii ? "--ascii" : "--rtu"};
  if (baud > 0) options.insert(options.end(), {"--baud", std::to_string(baud)});
  if (!sim.start(options)) {
    fprintf(stderr, "modbus_bench: %s did not get ready\n", ZL27T_SIM_BIN);
    return 1;
  }
  unsigned index = baud_index_of(baud > 0 ? baud : 9600);
  f.kind = ascii ? "Modbus ASCII" : "Modbus RTU";
  f.peer_name = ascii ? "pymodbus ASCII client" : "libmodbus RTU client";
  Rate &ours = f.ours, &theirs = f.peer;
  for (int round = 0; round < ROUNDS; round++) {
    LinkHandle *link = open_program_link(ascii ? LINK_MODBUS_ASCII : LINK_MODBUS_RTU, sim.path(), 0, index);
    if (!link) {
      fprintf(stderr, "modbus_bench: the program's link did not open\n");
      return 1;
    }
    run_for(seconds / ROUNDS, ours, [link] { return program_read(link); });
    link_close(link);
    link_handle = nullptr;
    if (!pty_ceiling(sim.path(), ascii ? Wire::ASCII : Wire::RTU, seconds / ROUNDS, f.ceiling) ||
        !pty_ceiling(sim.path(), ascii ? Wire::ASCII : Wire::RTU, seconds / ROUNDS, f.stepped, true))
      fprintf(stderr, "modbus_bench: the ceiling client cannot open the port\n");
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
  return 0;
}

// Sy/Max point-to-point has no outside client to stand beside: the program
// and the ceiling only.
int bench_symax(double seconds, Figures &f) {
  SimProcess sim;
  if (!sim.start({"--symax"})) {
    fprintf(stderr, "modbus_bench: %s did not get ready\n", ZL27T_SIM_BIN);
    return 1;
  }
  f.kind = "Sy/Max";
  f.peer_name = "(no outside client)";
  for (int round = 0; round < ROUNDS; round++) {
    LinkHandle *link = open_program_link(LINK_SYMAX, sim.path(), 0, baud_index_of(9600));
    if (!link) {
      fprintf(stderr, "modbus_bench: the program's link did not open\n");
      return 1;
    }
    run_for(seconds / ROUNDS, f.ours, [link] { return program_read(link); });
    link_close(link);
    link_handle = nullptr;
    if (!pty_ceiling(sim.path(), Wire::SYMAX, seconds / ROUNDS, f.ceiling))
      fprintf(stderr, "modbus_bench: the ceiling client cannot open the port\n");
  }
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: modbus_bench tcp|rtu|ascii|symax|table [--seconds N] [--baud N] [--rounds N]\n");
    return 2;
  }
  std::string what = argv[1];
  double seconds = 6;
  long baud = 0;
  int rounds = 0;
  for (int i = 2; i + 1 < argc; i += 2) {
    if (!strcmp(argv[i], "--seconds"))
      seconds = atof(argv[i + 1]);
    else if (!strcmp(argv[i], "--baud"))
      baud = atol(argv[i + 1]);
    else if (!strcmp(argv[i], "--rounds"))
      rounds = atoi(argv[i + 1]);
  }
  if (rounds > 0) ROUNDS = rounds;
  signal(SIGPIPE, SIG_IGN);
  // Link open draws its window; a memory console keeps the terminal clean.
  if (!ui_init(CONSOLE_MEMORY)) return 1;
  int rc = 2;
  Figures f;
  if (what == "tcp") {
    rc = bench_tcp(seconds, f);
    printf("Modbus TCP, reads of %d registers, libmodbus server on loopback\n", COUNT);
    report(f);
  } else if (what == "rtu" || what == "ascii") {
    rc = bench_serial(what == "ascii", seconds, baud, f);
    printf("Modbus %s over a pty, reads of %d registers, zl27t-sim%s\n", what == "ascii" ? "ASCII" : "RTU", COUNT,
           baud > 0 ? (" paced at " + std::to_string(baud) + " baud").c_str() : " unpaced");
    report(f);
  } else if (what == "symax") {
    rc = bench_symax(seconds, f);
    printf("Sy/Max over a pty, reads of %d registers, zl27t-sim unpaced\n", COUNT);
    report(f);
  } else if (what == "table") {
    if (rounds <= 0) ROUNDS = 6;
    std::vector<Figures> rows(4);
    rc = bench_tcp(seconds, rows[0]) | bench_serial(false, seconds, 0, rows[1]) |
         bench_serial(true, seconds, 0, rows[2]) | bench_symax(seconds, rows[3]);
    printf("Exchange rates, reads of %d registers: the program beside its peer and the ceiling\n", COUNT);
    print_table(rows);
  }
  ui_shutdown();
  return rc;
}
