// The local time of a moment, on every system (localtime_r is POSIX,
// localtime_s with its arguments swapped is Windows'). False when the
// moment cannot be put into local time.
#pragma once
#include <ctime>

inline bool plat_local_time(time_t when, struct tm *out) {
#ifdef _WIN32
  return localtime_s(out, &when) == 0;
#else
  return localtime_r(&when, out) != nullptr;
#endif
}
