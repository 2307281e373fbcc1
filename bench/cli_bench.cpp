// The command line's cost, from exec to exit, against the yardsticks:
//   --read 1-10000 over Modbus TCP against a libmodbus server, beside a
//       program of libmodbus's client reading the same registers in the
//       same chunks of 125 and printing the same lines (this benchmark run
//       again with --libmodbus-client PORT), both from exec to exit, in
//       alternating rounds; the goal is at most 1.1 times the libmodbus time
//   --fetch over Modbus TCP against zl27t-sim; the goal is at most 100 ms
// Prints the median of each and exits 1 when a goal is missed.
//   cli_bench [--rounds N]
#include <fcntl.h>
#include <modbus/modbus.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "libmodbus_peer.h"
#include "sim_process.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int FIRST = 1, LAST = 10000, CHUNK = 125;

double ms_since(Clock::time_point t) { return std::chrono::duration<double, std::milli>(Clock::now() - t).count(); }

// The program run as a script runs it: stdin and stdout /dev/null, stderr
// kept. Milliseconds from fork to its exit, or -1 when it failed.
double run_program(const std::vector<std::string> &args, const char *dir, const char *binary = ZL27T_BIN) {
  auto start = Clock::now();
  pid_t pid = fork();
  if (pid == 0) {
    if (dir && chdir(dir) != 0) _exit(126);
    int null = open("/dev/null", O_RDWR);
    dup2(null, 0);
    dup2(null, 1);
    std::vector<std::string> all{binary};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (auto &a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  double ms = ms_since(start);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? ms : -1;
}

// libmodbus's client as a program of its own doing what the command does:
// connect, the reads, one line per register on standard output, close.
int libmodbus_client(int port) {
  modbus_t *ctx = modbus_new_tcp("127.0.0.1", port);
  if (!ctx || modbus_connect(ctx) < 0) return 1;
  modbus_set_slave(ctx, 1);
  static uint16_t v[LAST];
  bool ok = true;
  for (int r = FIRST; r <= LAST && ok; r += CHUNK) {
    int n = std::min(CHUNK, LAST - r + 1);
    ok = modbus_read_registers(ctx, r - 1, n, v + (r - FIRST)) == n;
  }
  modbus_close(ctx);
  modbus_free(ctx);
  for (int i = 0; ok && i < LAST - FIRST + 1; i++)
    printf("%d 0x%04X %u %d\n", FIRST + i, v[i], v[i], static_cast<int16_t>(v[i]));
  return ok && fflush(stdout) == 0 ? 0 : 1;
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? -1 : v[v.size() / 2];
}

}  // namespace

int main(int argc, char **argv) {
  int rounds = 9;
  if (argc == 3 && strcmp(argv[1], "--libmodbus-client") == 0) return libmodbus_client(atoi(argv[2]));
  if (argc == 3 && strcmp(argv[1], "--rounds") == 0) rounds = std::max(1, atoi(argv[2]));
  int status = 0;

  char self[4096];
  ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return 1;
  self[n] = 0;
  LibmodbusServer server;
  if (!start_libmodbus_server(&server)) {
    fprintf(stderr, "cli_bench: no libmodbus server\n");
    return 1;
  }
  std::vector<double> ours, theirs, ratios;
  const std::string port = std::to_string(server.port);
  for (int i = 0; i < rounds; i++) {
    double a = run_program({"--read", "1-10000", "-m", "tcp", "--host", "127.0.0.1", "-p", port, "-a", "1"}, nullptr);
    double b = run_program({"--libmodbus-client", port}, nullptr, self);
    if (a < 0 || b < 0) {
      fprintf(stderr, "cli_bench: a read round failed\n");
      status = 1;
      continue;
    }
    ours.push_back(a);
    theirs.push_back(b);
    ratios.push_back(a / b);
  }
  stop_libmodbus_server(&server);
  // Round by round: the machine's load drifts less within a round.
  double ratio = median(ratios);
  printf("%-44s %8.1f ms\n", "zl27t --read 1-10000, Modbus TCP (exec..exit)", median(ours));
  printf("%-44s %8.1f ms\n", "libmodbus client program, same reads and lines", median(theirs));
  printf("%-44s %8.2f   (goal <= 1.10)\n", "ratio (median of the rounds)", ratio);
  if (!(ratio <= 1.10)) status = 1;

  SimProcess sim;
  if (!sim.start({"--tcp", "0"}) || sim.tcp_port() < 0) {
    fprintf(stderr, "cli_bench: no simulator\n");
    return 1;
  }
  char dir[] = "/tmp/zl27t-cli-bench-XXXXXX";
  if (!mkdtemp(dir)) return 1;
  std::vector<double> fetches;
  for (int i = 0; i < rounds; i++) {
    double ms = run_program({"--fetch", "f.zle", "-m", "tcp", "--host", "127.0.0.1", "-p",
                             std::to_string(sim.tcp_port())}, dir);
    if (ms < 0) {
      fprintf(stderr, "cli_bench: a fetch failed\n");
      status = 1;
      continue;
    }
    fetches.push_back(ms);
  }
  sim.stop();
  std::string f = std::string(dir) + "/f.zle";
  unlink(f.c_str());
  rmdir(dir);
  printf("%-44s %8.1f ms   (goal <= 100)\n", "zl27t --fetch, Modbus TCP, simulator (exec..exit)", median(fetches));
  if (!(median(fetches) <= 100)) status = 1;
  return status;
}
