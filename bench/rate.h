// Exchanges per second of whatever a benchmark times.
//   Rate       exchanges, failures and the seconds they took; the process's
//              CPU time (all its threads) and the times its threads went to
//              sleep meanwhile (voluntary context switches); the rate of
//              the best run_for of them
//   run_for    runs an exchange again and again for a while; adds to a Rate
#pragma once
#include <sys/resource.h>

#include <chrono>
#include <functional>

struct Rate {
  long exchanges = 0;
  long failures = 0;
  double seconds = 0;
  double cpu_seconds = 0;
  long sleeps = 0;
  double best = 0;   // exchanges per second of the best run_for

  double per_second() const { return seconds > 0 ? exchanges / seconds : 0; }
  double cpu_us_each() const { return exchanges > 0 ? cpu_seconds * 1e6 / exchanges : 0; }
  double sleeps_each() const { return exchanges > 0 ? double(sleeps) / exchanges : 0; }
};

struct ProcessUse {
  double cpu_seconds;
  long sleeps;
  static ProcessUse now() {
    struct rusage u {};
    getrusage(RUSAGE_SELF, &u);
    auto secs = [](const timeval &t) { return double(t.tv_sec) + t.tv_usec / 1e6; };
    return {secs(u.ru_utime) + secs(u.ru_stime), u.ru_nvcsw};
  }
};

inline void run_for(double seconds, Rate &rate, const std::function<bool()> &exchange) {
  using Clock = std::chrono::steady_clock;
  ProcessUse before = ProcessUse::now();
  long before_count = rate.exchanges;
  auto start = Clock::now();
  auto end = start + std::chrono::duration<double>(seconds);
  while (Clock::now() < end) {
    if (exchange())
      rate.exchanges++;
    else
      rate.failures++;
  }
  double took = std::chrono::duration<double>(Clock::now() - start).count();
  double per_second = took > 0 ? double(rate.exchanges - before_count) / took : 0;
  if (per_second > rate.best) rate.best = per_second;
  rate.seconds += took;
  ProcessUse after = ProcessUse::now();
  rate.cpu_seconds += after.cpu_seconds - before.cpu_seconds;
  rate.sleeps += after.sleeps - before.sleeps;
}
