// Serial port discovery: the names the port list shows, in order.
// First the entries of ZL27T_PORTS (colon separated, a path or a name under
// /dev), then every /sys/class/tty entry backed by a real device, sorted.
#pragma once
#include <string>
#include <vector>

std::vector<std::string> plat_serial_ports(size_t max_ports);
// The path to open for a list name: a name starting with "/" is the path,
// anything else is /dev/NAME.
std::string plat_port_path(const std::string &name);
