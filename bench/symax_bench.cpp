// Sy/Max exchange rate over a pty against zl27t-sim: reads 20 registers
// again and again and prints exchanges per second and the median exchange.
//   symax_bench [--seconds N] [--crc] [--priority]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "link/link.h"
#include "proto/serial.h"
#include "sim_process.h"

int main(int argc, char **argv) {
  double seconds = 3;
  bool crc = false, priority = false;
  for (int i = 1; i < argc; i++) {
    if (!strcmp(argv[i], "--seconds") && i + 1 < argc)
      seconds = atof(argv[++i]);
    else if (!strcmp(argv[i], "--crc"))
      crc = true;
    else if (!strcmp(argv[i], "--priority"))
      priority = true;
    else {
      fprintf(stderr, "usage: symax_bench [--seconds N] [--crc] [--priority]\n");
      return 2;
    }
  }
  SimProcess sim;
  std::vector<std::string> options;
  if (crc) options.push_back("--crc");
  if (!sim.start(options)) {
    fprintf(stderr, "symax_bench: %s did not get ready\n", ZL27T_SIM_BIN);
    return 1;
  }
  const uint16_t block[9] = {1, 201};
  LinkHandle *link = open_symax_serial(sim.path().c_str(), 0, block);
  if (!link) {
    fprintf(stderr, "symax_bench: cannot open %s\n", sim.path().c_str());
    return 1;
  }
  link_set_port(link, 9600, 1, 1, 100, 8);
  link_set_options(link, crc, priority);

  std::vector<double> times;
  uint16_t values[20];
  int failures = 0;
  auto start = std::chrono::steady_clock::now();
  auto end = start + std::chrono::duration<double>(seconds);
  for (;;) {
    auto t0 = std::chrono::steady_clock::now();
    if (t0 >= end) break;
    if (link_read_registers(link, 1, 20, values) != 20) {
      failures++;
      fprintf(stderr, "exchange failed: %s\n", link_error_text(link));
      continue;
    }
    times.push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - t0).count());
  }
  double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  link_close(link);
  if (times.empty()) {
    fprintf(stderr, "symax_bench: no exchange succeeded\n");
    return 1;
  }
  std::sort(times.begin(), times.end());
  printf("exchanges: %zu in %.2f s, %d failed\n", times.size(), elapsed, failures);
  printf("exchanges per second: %.0f\n", times.size() / elapsed);
  printf("median exchange: %.0f us (p10 %.0f us, p90 %.0f us, max %.0f us)\n", times[times.size() / 2],
         times[times.size() / 10], times[times.size() * 9 / 10], times.back());
  return failures ? 1 : 0;
}
