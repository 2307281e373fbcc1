// Exchanges per second of whatever a benchmark times.
//   Rate       exchanges, failures and the seconds they took
//   run_for    runs an exchange again and again for a while; adds to a Rate
#pragma once
#include <chrono>
#include <functional>

struct Rate {
  long exchanges = 0;
  long failures = 0;
  double seconds = 0;
  double per_second() const { return seconds > 0 ? exchanges / seconds : 0; }
};

inline void run_for(double seconds, Rate &rate, const std::function<bool()> &exchange) {
  using Clock = std::chrono::steady_clock;
  auto start = Clock::now();
  auto end = start + std::chrono::duration<double>(seconds);
  while (Clock::now() < end) {
    if (exchange())
      rate.exchanges++;
    else
      rate.failures++;
  }
  rate.seconds += std::chrono::duration<double>(Clock::now() - start).count();
}
