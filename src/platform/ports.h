// Serial port discovery: the names the port list shows, in order.
// First the entries of ZL27T_PORTS (colon separated, a path, a name under
// /dev, or a remote port socket://HOST:PORT or rfc2217://HOST:PORT as it
// stands), then every /sys/class/tty entry backed by a real device, sorted.
#pragma once
#include <string>
#include <vector>

// /sys/class/tty names are sorted with numbers by value (ttyS2 before
// ttyS10); a name that leads to the same path as an earlier one is left out.
std::vector<std::string> plat_serial_ports(size_t max_ports);
// The same with another directory in place of /sys/class/tty (tests).
std::vector<std::string> plat_serial_ports_in(const char *sys_tty_dir, size_t max_ports);
// The path to open for a list name: a name starting with "/" is the path, a
// remote port's name is itself, anything else is /dev/NAME.
std::string plat_port_path(const std::string &name);
// Whether the port's path names something that exists (a missing device
// tells why an open failed); a remote port's name always does.
bool plat_port_exists(const std::string &name);
// The list's order for names the system lists: numbers compared by value
// (ttyS2 before ttyS10, COM2 before COM10), then byte by byte.
bool plat_port_name_less(const std::string &a, const std::string &b);
