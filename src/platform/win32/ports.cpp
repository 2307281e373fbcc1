// Serial port discovery on Windows: the ZL27T_PORTS entries (separated by
// ';' or ':'), then the ports the registry lists under
// HKLM\HARDWARE\DEVICEMAP\SERIALCOMM, numbers by value (COM2 before COM10).
#include "platform/ports.h"

#include "platform/win32/windows_api.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "platform/byte_stream.h"

namespace {

constexpr size_t MAX_NAME = 255;
constexpr char DEVICE_PREFIX[] = "\\\\.\\";

std::string upper(std::string s) {
  for (char &c : s)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return s;
}

void add_unique(std::vector<std::string> &list, const std::string &name, size_t max_ports) {
  if (list.size() >= max_ports || name.empty() || name.size() > MAX_NAME) return;
  std::string path = upper(plat_port_path(name));
  for (const std::string &have : list)
    if (upper(plat_port_path(have)) == path) return;
  list.push_back(name);
}

std::vector<std::string> registry_ports() {
  std::vector<std::string> found;
  HKEY key;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) != ERROR_SUCCESS)
    return found;
  for (DWORD i = 0;; i++) {
    char value_name[256];
    BYTE data[256];
    DWORD name_size = sizeof value_name, data_size = sizeof data - 1, type = 0;
    LONG rc = RegEnumValueA(key, i, value_name, &name_size, nullptr, &type, data, &data_size);
    if (rc == ERROR_NO_MORE_ITEMS) break;
    if (rc != ERROR_SUCCESS || type != REG_SZ) continue;
    data[data_size] = 0;
    std::string port(reinterpret_cast<const char *>(data));
    while (!port.empty() && port.back() == 0) port.pop_back();
    if (!port.empty()) found.push_back(port);
  }
  RegCloseKey(key);
  return found;
}

}  // namespace

std::string plat_port_path(const std::string &name) {
  if (stream_name_remote(name.c_str())) return name;
  // COM10 and up open only by their device path; the path works for all.
  if (name.compare(0, 4, DEVICE_PREFIX) == 0) return name;
  std::string bare = name;
  if (!bare.empty() && bare.back() == ':') bare.pop_back();   // COM1: as DOS wrote it
  return DEVICE_PREFIX + bare;
}

bool plat_port_exists(const std::string &name) {
  if (stream_name_remote(name.c_str())) return true;
  std::string bare = plat_port_path(name).substr(strlen(DEVICE_PREFIX));
  char target[512];
  return QueryDosDeviceA(bare.c_str(), target, sizeof target) != 0;
}

// sys_tty_dir has no meaning here: the registry is the one list.
std::vector<std::string> plat_serial_ports_in(const char *, size_t max_ports) {
  std::vector<std::string> list;
  if (const char *env = getenv("ZL27T_PORTS")) {
    std::string all(env);
    size_t start = 0;
    while (start <= all.size()) {
      size_t remote = stream_name_length_in_list(all.c_str() + start);
      size_t end = remote ? start + remote : all.find_first_of(";:", start);
      if (end == std::string::npos || end > all.size()) end = all.size();
      add_unique(list, all.substr(start, end - start), max_ports);
      start = end + 1;
    }
  }
  std::vector<std::string> found = registry_ports();
  std::sort(found.begin(), found.end(), [](const std::string &a, const std::string &b) {
    return plat_port_name_less(upper(a), upper(b));
  });
  for (const std::string &name : found) add_unique(list, name, max_ports);
  return list;
}

std::vector<std::string> plat_serial_ports(size_t max_ports) { return plat_serial_ports_in(nullptr, max_ports); }
