// The port list's order, the same on every system: names with their numbers
// compared by value (ttyS2 before ttyS10, COM2 before COM10).
#include "platform/ports.h"

bool plat_port_name_less(const std::string &a, const std::string &b) {
  size_t i = 0, j = 0;
  while (i < a.size() && j < b.size()) {
    bool da = a[i] >= '0' && a[i] <= '9', db = b[j] >= '0' && b[j] <= '9';
    if (da && db) {
      size_t ei = i, ej = j;
      while (ei < a.size() && a[ei] == '0') ei++;
      while (ej < b.size() && b[ej] == '0') ej++;
      size_t si = ei, sj = ej;
      while (ei < a.size() && a[ei] >= '0' && a[ei] <= '9') ei++;
      while (ej < b.size() && b[ej] >= '0' && b[ej] <= '9') ej++;
      if (ei - si != ej - sj) return ei - si < ej - sj;
      int c = a.compare(si, ei - si, b, sj, ej - sj);
      if (c != 0) return c < 0;
      i = ei;
      j = ej;
    } else {
      if (a[i] != b[j]) return static_cast<unsigned char>(a[i]) < static_cast<unsigned char>(b[j]);
      i++;
      j++;
    }
  }
  if ((a.size() - i) != (b.size() - j)) return a.size() - i < b.size() - j;
  return a < b;
}
