// Serial port discovery from ZL27T_PORTS and /sys/class/tty.
#include "platform/ports.h"

#include "platform/byte_stream.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

// Longer names are no port anyone would type or read in a dialog.
constexpr size_t MAX_NAME = 255;

struct DirCloser {
  void operator()(DIR *d) const { closedir(d); }
};
struct FileCloser {
  void operator()(FILE *f) const { fclose(f); }
};

// A ttyS whose UART type reads 0 is a slot the 8250 driver reserves with no
// chip behind it.
bool uart_unknown(const std::string &dir) {
  std::unique_ptr<FILE, FileCloser> f(fopen((dir + "/type").c_str(), "r"));
  if (!f) return false;
  int type = -1;
  return fscanf(f.get(), "%d", &type) == 1 && type == 0;
}

// The kernel's own ttys, which never have a device behind them: the
// controlling terminal, the console, the pty multiplexer and the virtual
// terminals. Known by name, they cost no look-up at every start.
bool virtual_tty(const std::string &name) {
  if (name == "tty" || name == "console" || name == "ptmx") return true;
  if (name.size() <= 3 || name.compare(0, 3, "tty") != 0) return false;
  return std::all_of(name.begin() + 3, name.end(), [](char c) { return c >= '0' && c <= '9'; });
}

void add_unique(std::vector<std::string> &list, const std::string &name, size_t max_ports) {
  if (list.size() >= max_ports || name.empty() || name.size() > MAX_NAME) return;
  std::string path = plat_port_path(name);
  for (const std::string &have : list)
    if (plat_port_path(have) == path) return;
  list.push_back(name);
}

}  // namespace

std::string plat_port_path(const std::string &name) {
  if (!name.empty() && name[0] == '/') return name;
  if (stream_name_remote(name.c_str())) return name;   // an address, not a file
  return "/dev/" + name;
}

bool plat_port_exists(const std::string &name) {
  // Whether a server answers is for the open to find out and say.
  if (stream_name_remote(name.c_str())) return true;
  struct stat st;
  return stat(plat_port_path(name).c_str(), &st) == 0;
}

std::vector<std::string> plat_serial_ports_in(const char *sys_tty_dir, size_t max_ports) {
  std::vector<std::string> list;
  if (const char *env = getenv("ZL27T_PORTS")) {
    std::string all(env);
    size_t start = 0;
    while (start <= all.size()) {
      // A remote name has colons of its own (HOST:PORT, an IPv6 address).
      size_t remote = stream_name_length_in_list(all.c_str() + start);
      size_t colon = remote ? start + remote : all.find(':', start);
      if (colon == std::string::npos || colon > all.size()) colon = all.size();
      add_unique(list, all.substr(start, colon - start), max_ports);
      start = colon + 1;
    }
  }

  if (list.size() >= max_ports) return list;   // the named ports fill it
  std::vector<std::string> found;
  std::unique_ptr<DIR, DirCloser> dir(sys_tty_dir ? opendir(sys_tty_dir) : nullptr);
  if (dir) {
    while (struct dirent *e = readdir(dir.get())) {
      std::string name = e->d_name;
      if (name == "." || name == ".." || virtual_tty(name)) continue;
      std::string entry = std::string(sys_tty_dir) + "/" + name;
      struct stat st {};
      // Virtual terminals and ptys have no device behind them.
      if (stat((entry + "/device").c_str(), &st) != 0) continue;
      if (name.compare(0, 4, "ttyS") == 0 && uart_unknown(entry)) continue;
      found.push_back(name);
    }
  }
  std::sort(found.begin(), found.end(), plat_port_name_less);
  for (const std::string &name : found) add_unique(list, name, max_ports);
  return list;
}

std::vector<std::string> plat_serial_ports(size_t max_ports) {
  return plat_serial_ports_in("/sys/class/tty", max_ports);
}
