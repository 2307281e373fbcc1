// The kept remote ports and their file.
#include "link/remote_ports.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/byte_stream.h"
#include "platform/files.h"
#include "platform/ports.h"

namespace {

// A line longer than this is no name anyone typed here.
constexpr size_t MAX_LINE = 255;

std::string file_path;
std::string local_dir = "/sys/class/tty";
std::vector<std::string> kept;    // as the file holds them
std::vector<std::string> typed;   // this run's, not in the file yet

bool has(const std::vector<std::string> &list, const std::string &name) {
  return std::find(list.begin(), list.end(), name) != list.end();
}

std::string trimmed(const char *text) {
  std::string s = text ? text : "";
  size_t start = s.find_first_not_of(" \t\r\n");
  if (start == std::string::npos) return "";
  size_t end = s.find_last_not_of(" \t\r\n");
  return s.substr(start, end - start + 1);
}

// "SOCKET://h:1" -> "socket://h:1": the kinds are told apart by prefix.
std::string prefix_lowered(std::string name) {
  size_t mark = name.find("://");
  if (mark == std::string::npos) return name;
  std::string prefix = name.substr(0, mark);
  for (char &c : prefix) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  return prefix + name.substr(mark);
}

std::vector<std::string> current_list() {
  std::vector<std::string> list;
  for (int i = 0; i < serial_port_count(); i++) list.push_back(serial_port_list[i]);
  return list;
}

void install_list(const std::vector<std::string> &names) {
  for (char *&name : serial_port_list) {
    free(name);
    name = nullptr;
  }
  int n = 0;
  for (const std::string &name : names) {
    if (n == MAX_SERIAL_PORTS) break;
    serial_port_list[n] = strdup(name.c_str());
    if (serial_port_list[n]) n++;
  }
}

// An index of `from` as the same port's index in `to`; one past every list
// when `to` does not have it. An index already past `from` stays as it is.
uint16_t follow(uint16_t index, const std::vector<std::string> &from, const std::vector<std::string> &to) {
  if (index >= from.size()) return index;
  auto at = std::find(to.begin(), to.end(), from[index]);
  return at == to.end() ? REMOTE_PORT_UNKEPT : static_cast<uint16_t>(at - to.begin());
}

void follow_record(LinkSetup *s, const std::vector<std::string> &from, const std::vector<std::string> &to) {
  s->port = follow(s->port, from, to);
  s->term_port = follow(s->term_port, from, to);
}

// ZL27T_PORTS's entries lead the system's list; the rest are the local ports.
void system_parts(std::vector<std::string> *env, std::vector<std::string> *local) {
  *env = plat_serial_ports_in(nullptr, MAX_SERIAL_PORTS);
  std::vector<std::string> all = plat_serial_ports_in(local_dir.c_str(), MAX_SERIAL_PORTS);
  local->assign(all.begin() + static_cast<long>(std::min(env->size(), all.size())), all.end());
}

}  // namespace

std::string remote_ports_path_for(const char *setup_path) {
  std::string path = setup_path ? setup_path : "";
  size_t slash = path.rfind('/');
  size_t dot = path.rfind('.');
  if (dot != std::string::npos && (slash == std::string::npos || dot > slash)) path.resize(dot);
  return path + ".PORTS";
}

void set_local_ports_dir(const char *sys_tty_dir) { local_dir = sys_tty_dir ? sys_tty_dir : "/sys/class/tty"; }

void set_remote_ports_file(const std::string &path) {
  file_path = path;
  kept.clear();
  typed.clear();
}

const std::string &remote_ports_file() { return file_path; }

std::vector<std::string> remote_ports_read(const std::string &path) {
  std::vector<std::string> names;
  if (path.empty()) return names;
  FILE *f = plat_open_regular(path.c_str());
  if (!f) return names;
  char line[MAX_LINE + 2];
  while (names.size() < MAX_SERIAL_PORTS && fgets(line, sizeof line, f)) {
    bool whole = strchr(line, '\n') || feof(f);
    if (!whole) {   // an overlong line: the rest of it is skipped too
      int c;
      while ((c = fgetc(f)) != EOF && c != '\n') {
      }
      continue;
    }
    std::string name = trimmed(line);
    if (name.empty() || name[0] == '#' || stream_name_problem(name.c_str()) || has(names, name)) continue;
    names.push_back(name);
  }
  fclose(f);
  return names;
}

std::vector<std::string> compose_port_list(const std::vector<std::string> &env, const std::vector<std::string> &kept_names,
                                           const std::vector<std::string> &local,
                                           const std::vector<std::string> &typed_names, size_t max_ports) {
  std::vector<std::string> list;
  for (const std::vector<std::string> *part : {&env, &kept_names, &local, &typed_names})
    for (const std::string &name : *part)
      if (list.size() < max_ports && !name.empty() && !has(list, name)) list.push_back(name);
  return list;
}

std::vector<std::string> remote_ports_compose_list() {
  std::vector<std::string> env, local;
  system_parts(&env, &local);
  kept = remote_ports_read(file_path);
  // A typed port the file has now (another run kept it) is kept.
  std::erase_if(typed, [](const std::string &name) { return has(kept, name); });
  return compose_port_list(env, kept, local, typed, MAX_SERIAL_PORTS);
}

void refresh_serial_ports() { install_list(remote_ports_compose_list()); }

RemoteAddResult remote_port_add(const char *text, uint16_t *index, const char **why) {
  std::string name = prefix_lowered(trimmed(text));
  if (const char *problem = stream_name_problem(name.c_str())) {
    *why = problem;
    return REMOTE_REFUSED;
  }
  int n = serial_port_count();
  for (int i = 0; i < n; i++)
    if (name == serial_port_list[i]) {
      *index = static_cast<uint16_t>(i);
      return REMOTE_LISTED;
    }
  if (n >= MAX_SERIAL_PORTS) {
    *why = "The port list is full";
    return REMOTE_REFUSED;
  }
  serial_port_list[n] = strdup(name.c_str());
  if (!serial_port_list[n]) {
    *why = "Out of memory";
    return REMOTE_REFUSED;
  }
  typed.push_back(name);
  *index = static_cast<uint16_t>(n);
  return REMOTE_ADDED;
}

bool remote_ports_pending() { return !typed.empty(); }

RemoteKeepResult remote_ports_keep(LinkSetup *record) {
  const std::vector<std::string> now = current_list();
  std::vector<std::string> names = kept;
  for (const std::string &name : typed)
    if (!has(names, name)) names.push_back(name);
  // The local ports as this run lists them, not as a scan might find them
  // now: the record's indexes are into this run's list.
  const std::vector<std::string> env = plat_serial_ports_in(nullptr, MAX_SERIAL_PORTS);
  std::vector<std::string> local;
  for (const std::string &name : now)
    if (!has(env, name) && !has(names, name)) local.push_back(name);
  std::string text;
  for (const std::string &name : names) text += name + "\n";
  if (file_path.empty() || plat_replace_file(file_path.c_str(), text.data(), text.size()) != REPLACE_OK) {
    // The next start lists what the file still says: the typed ports are
    // not there, and an index naming one must not name another port then.
    follow_record(record, now, compose_port_list(env, kept, local, {}, MAX_SERIAL_PORTS));
    return REMOTE_KEEP_FAILED;
  }
  kept = names;
  typed.clear();
  std::vector<std::string> next = compose_port_list(env, kept, local, {}, MAX_SERIAL_PORTS);
  if (record != &link_setup) follow_record(record, now, next);
  follow_record(&link_setup, now, next);
  install_list(next);
  return REMOTE_KEPT;
}
