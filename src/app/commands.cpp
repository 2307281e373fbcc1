#include "app/commands.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <span>
#include <string>
#include <string_view>

#include "config/config_file.h"
#include "config/modem_config.h"
#include "config/printout.h"
#include "config/transfer.h"
#include "link/link.h"
#include "link/link_core.h"
#include "link/link_kinds.h"
#include "link/link_setup.h"
#include "link/remote_ports.h"
#include "link/setup_file.h"
#include "proto/serial.h"

namespace {

constexpr const char DEFAULT_SETUP[] = "ZL27TSW.STP";
constexpr long LAST_REGISTER = 65536;
// The expected module of fetch and send, as the menu commands check it.
constexpr const char MODEM_TAG[] = "ZL27T";

// ---- parsing ----

enum OptionId {
  OPT_FETCH, OPT_SEND, OPT_IDENTIFY, OPT_READ, OPT_WRITE, OPT_PRINT, OPT_PORTS,
  OPT_SETUP, OPT_TRACE, OPT_FORMAT, OPT_INPUT, OPT_TYPE, OPT_FORCE,
  OPT_LINK, OPT_DEVICE, OPT_BAUD, OPT_PARITY, OPT_DATA_BITS, OPT_STOP_BITS, OPT_DROP, OPT_HOST, OPT_TCP_PORT,
  OPT_TIMEOUT,
};

struct OptionSpec {
  OptionId id;
  const char *name;     // long form, "--" included
  char short_name;      // 0: none
  bool takes_value;
  CliCommand command;   // the command it names, CMD_NONE for the others
};

constexpr OptionSpec options[] = {
    {OPT_FETCH, "--fetch", 0, true, CMD_FETCH},
    {OPT_SEND, "--send", 0, true, CMD_SEND},
    {OPT_IDENTIFY, "--identify", 0, false, CMD_IDENTIFY},
    {OPT_READ, "--read", 0, true, CMD_READ},
    {OPT_WRITE, "--write", 0, true, CMD_WRITE},
    {OPT_PRINT, "--print", 0, true, CMD_PRINT},
    {OPT_PORTS, "--ports", 0, false, CMD_PORTS},
    {OPT_SETUP, "--setup", 0, true, CMD_NONE},
    {OPT_TRACE, "--trace", 0, true, CMD_NONE},
    {OPT_FORMAT, "--format", 0, true, CMD_NONE},
    {OPT_INPUT, "--input", 0, false, CMD_NONE},
    {OPT_TYPE, "--type", 't', true, CMD_NONE},
    {OPT_FORCE, "--force", 0, false, CMD_NONE},
    {OPT_LINK, "--link", 'm', true, CMD_NONE},
    {OPT_DEVICE, "--device", 0, true, CMD_NONE},
    {OPT_BAUD, "--baud", 'b', true, CMD_NONE},
    {OPT_PARITY, "--parity", 'P', true, CMD_NONE},
    {OPT_DATA_BITS, "--data-bits", 'd', true, CMD_NONE},
    {OPT_STOP_BITS, "--stop-bits", 's', true, CMD_NONE},
    {OPT_DROP, "--drop", 'a', true, CMD_NONE},
    {OPT_DROP, "--route", 0, true, CMD_NONE},
    {OPT_HOST, "--host", 0, true, CMD_NONE},
    {OPT_TCP_PORT, "--tcp-port", 'p', true, CMD_NONE},
    {OPT_TIMEOUT, "--timeout", 'o', true, CMD_NONE},
};

// "symax, net-to-net, ... and tcp": the kinds' command-line names.
std::string kind_option_names() {
  std::span<const LinkKindEntry> kinds = link_kind_table();
  std::string names;
  for (size_t i = 0; i < kinds.size(); i++) {
    if (i) names += i + 1 == kinds.size() ? " and " : ", ";
    names += kinds[i].option_name;
  }
  return names;
}

// The option an argument names, with the value written into it ("--x=v",
// "-av"); null for an argument that is not an option.
const OptionSpec *match_option(const char *arg, const char **attached) {
  *attached = nullptr;
  if (arg[0] != '-') return nullptr;
  for (const OptionSpec &o : options) {
    size_t n = strlen(o.name);
    if (strncmp(arg, o.name, n) == 0) {
      if (arg[n] == '\0') return &o;
      if (arg[n] == '=' && o.takes_value) {
        *attached = arg + n + 1;
        return &o;
      }
    }
    if (o.short_name && arg[1] == o.short_name) {
      if (arg[2] == '\0') return &o;
      if (o.takes_value) {
        *attached = arg + 2;
        return &o;
      }
    }
  }
  return nullptr;
}

// A whole number in [low, high]: decimal, or hexadecimal after 0x.
bool parse_number(std::string_view text, long low, long high, long *out) {
  if (text.empty() || text.size() > 20) return false;
  std::string s(text);
  char *end = nullptr;
  errno = 0;
  bool hex = s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X');
  long v = strtol(hex ? s.c_str() + 2 : s.c_str(), &end, hex ? 16 : 10);
  if (errno || end == s.c_str() || *end != '\0' || (hex && s.size() == 2)) return false;
  if (!hex && !(isdigit(static_cast<unsigned char>(s[0])) || s[0] == '-')) return false;
  if (v < low || v > high) return false;
  *out = v;
  return true;
}

std::string quoted(const char *name, const char *value) { return std::string(name) + " \"" + value + "\""; }

bool set_value(const OptionSpec &spec, const char *typed, const char *v, ProgramArgs *a, std::string *error) {
  // Messages name the option as it was typed.
  struct {
    OptionId id;
    std::string name;
  } o{spec.id, std::string(typed, strcspn(typed, "=")).substr(0, typed[1] == '-' ? std::string::npos : 2)};
  long n;
  LinkOverrides &l = a->link;
  switch (o.id) {
    case OPT_SETUP: a->setup_path = v; break;
    case OPT_TRACE: a->trace_path = v; break;
    case OPT_FORMAT:
      if (strcmp(v, "text") == 0) a->format = FORMAT_TEXT;
      else if (strcmp(v, "csv") == 0) a->format = FORMAT_CSV;
      else if (strcmp(v, "json") == 0) a->format = FORMAT_JSON;
      else return *error = quoted(o.name.c_str(), v) + ": the formats are text, csv and json", false;
      break;
    case OPT_TYPE:
      if (strcmp(v, "3") == 0) a->input_registers = true;
      else if (strcmp(v, "4") == 0) a->input_registers = false;
      else return *error = quoted(o.name.c_str(), v) + ": 4 (holding registers) or 3 (input registers)", false;
      break;
    case OPT_LINK: {
      l.kind = -1;
      for (const LinkKindEntry &k : link_kind_table())
        if (strcmp(v, k.option_name) == 0) l.kind = k.setup_kind;
      if (l.kind < 0) return *error = quoted(o.name.c_str(), v) + ": the kinds are " + kind_option_names(), false;
      break;
    }
    case OPT_DEVICE:
      if (!*v) return *error = o.name + " needs a port name", false;
      l.device = v;
      break;
    case OPT_BAUD: {
      l.baud = -1;
      long rate = 0;
      bool number = strcmp(v, "134.5") == 0 ? (rate = 135, true) : parse_number(v, 1, 1000000, &rate);
      for (int i = 0; number && i < BAUD_COUNT; i++)
        if (baud_rate[i] == static_cast<unsigned long>(rate)) l.baud = i;
      if (l.baud < 0) return *error = quoted(o.name.c_str(), v) + ": one of 50 75 110 134.5 150 300 600 1200 1800 2400 3600 4800 7200 9600 14400 19200", false;
      break;
    }
    case OPT_PARITY:
      if (strcmp(v, "none") == 0) l.parity = 0;
      else if (strcmp(v, "even") == 0) l.parity = 1;
      else if (strcmp(v, "odd") == 0) l.parity = 2;
      else return *error = quoted(o.name.c_str(), v) + ": none, even or odd", false;
      break;
    case OPT_DATA_BITS:
      if (!parse_number(v, 7, 8, &n)) return *error = quoted(o.name.c_str(), v) + ": 7 or 8", false;
      l.data_bits = static_cast<int>(n - 7);
      break;
    case OPT_STOP_BITS:
      if (!parse_number(v, 1, 2, &n)) return *error = quoted(o.name.c_str(), v) + ": 1 or 2", false;
      l.stop_bits = static_cast<int>(n - 1);
      break;
    case OPT_DROP: {
      l.route.clear();
      std::string_view rest(v);
      for (;;) {
        size_t comma = rest.find(',');
        std::string_view one = rest.substr(0, comma);
        if (l.route.size() == LINK_MAX_DROPS || !parse_number(one, 0, ROUTE_DROP_MAX, &n))
          return *error = quoted(o.name.c_str(), v) + ": up to 8 drops of 0 to 255, separated by commas", false;
        l.route.push_back(static_cast<unsigned>(n));
        if (comma == std::string_view::npos) break;
        rest.remove_prefix(comma + 1);
      }
      break;
    }
    case OPT_HOST:
      if (!*v || strlen(v) >= sizeof link_setup.host)
        return *error = quoted(o.name.c_str(), v) + ": a host name or address of 1 to 41 characters", false;
      l.host = v;
      break;
    case OPT_TCP_PORT:
      if (!parse_number(v, 1, 65535, &n)) return *error = quoted(o.name.c_str(), v) + ": a TCP port, 1 to 65535", false;
      l.tcp_port = static_cast<int>(n);
      break;
    case OPT_TIMEOUT: {
      // Seconds, as mbpoll and modpoll take it; the link counts 10-ms steps.
      char *end = nullptr;
      double s = strtod(v, &end);
      long steps = static_cast<long>(s * 100.0 + 0.5);
      if (!*v || *end || !(s > 0) || steps < 1 || steps > LINK_TIMEOUT_MAX)
        return *error = quoted(o.name.c_str(), v) + ": seconds, 0.01 to 60", false;
      l.timeout = static_cast<int>(steps);
      break;
    }
    default:
      a->command_arg = v;
      break;
  }
  return true;
}

// ---- output ----

std::string json_string(const char *s) {
  std::string out = "\"";
  for (const unsigned char *p = reinterpret_cast<const unsigned char *>(s); *p; p++) {
    if (*p == '"' || *p == '\\') {
      out += '\\';
      out += static_cast<char>(*p);
    } else if (*p < 0x20 || *p >= 0x7F) {
      char buf[8];
      snprintf(buf, sizeof buf, "\\u%04x", *p);
      out += buf;
    } else {
      out += static_cast<char>(*p);
    }
  }
  return out + "\"";
}

// A CSV field: quoted when it holds a comma, a quote or a line end.
std::string csv_field(const char *s) {
  if (!strpbrk(s, ",\"\r\n")) return s;
  std::string out = "\"";
  for (const char *p = s; *p; p++) {
    if (*p == '"') out += '"';
    out += *p;
  }
  return out + "\"";
}

void message(const char *text) { fprintf(stderr, "zl27t: %s\n", text); }

// Values written: the status says whether they all arrived.
int finish(const std::string &out) {
  if (!out.empty()) fwrite(out.data(), 1, out.size(), stdout);
  if (fflush(stdout) == 0 && !ferror(stdout)) return CLI_OK;
  message("cannot write to standard output");
  return CLI_FAILED;
}

int failed(const char *text) {
  message(text);
  return CLI_FAILED;
}

// ---- files ----

const char *config_read_text(ConfigReadResult r) {
  switch (r) {
    case CONFIG_READ_SHORT: return "Can't read disk file.";
    case CONFIG_READ_VERSION: return "Setup file not compatible. Obtain recent software.";
    default: return nullptr;
  }
}

// Loads a configuration file as "Read from disk to memory" does: the
// validation's message, if any, is shown (here on standard error) and the
// record is used all the same.
bool load_config(const std::string &path, ModemConfig &config) {
  ConfigReadResult r = read_config_image(path.c_str(), config);
  if (r == CONFIG_READ_OPEN_FAILED) {
    fprintf(stderr, "zl27t: Can't open file \"%s\" for read.\n", path.c_str());
    return false;
  }
  if (r != CONFIG_READ_OK) {
    fprintf(stderr, "zl27t: %s: %s\n", path.c_str(), config_read_text(r));
    return false;
  }
  ConfigProblem p;
  if (config_problem(config, &p)) fprintf(stderr, "zl27t: %s: %s\n", path.c_str(), p.text);
  return true;
}

// ---- the link ----

int connect_idle(int) { return 1; }   // nothing to draw, nothing to abort

// The port named on the command line, taken into the port list when the
// list does not have it (a path, a pty, a port the system does not list).
bool port_index(const std::string &name, uint16_t *index) {
  int n = serial_port_count();
  for (int i = 0; i < n; i++)
    if (name == serial_port_list[i]) return *index = static_cast<uint16_t>(i), true;
  if (n >= MAX_SERIAL_PORTS) return false;
  serial_port_list[n] = strdup(name.c_str());
  if (!serial_port_list[n]) return false;
  *index = static_cast<uint16_t>(n);
  return true;
}

// The setup file's link with this run's overrides, opened into link_handle.
// The setup file is only read.
int open_link(const ProgramArgs &a) {
  const std::string path = a.setup_path.empty() ? DEFAULT_SETUP : a.setup_path;
  LinkSetup setup;
  SetupReadResult r = load_setup_record(path.c_str(), &setup);
  // Without the file a link kind given here makes the link from the
  // default record; without either there is no link to speak of.
  if (r != SETUP_READ_OK && a.link.kind < 0) {
    fprintf(stderr, "zl27t: %s: %s\n", path.c_str(), setup_read_text(r));
    return CLI_FAILED;
  }
  const LinkOverrides &l = a.link;
  if (l.kind >= 0) setup.kind = static_cast<uint16_t>(l.kind);
  if (l.baud >= 0) setup.baud = static_cast<uint16_t>(l.baud);
  if (l.parity >= 0) setup.parity = static_cast<uint16_t>(l.parity);
  if (l.data_bits >= 0) setup.data_bits = static_cast<uint16_t>(l.data_bits);
  if (l.stop_bits >= 0) setup.stop_bits = static_cast<uint16_t>(l.stop_bits);
  if (!l.route.empty()) {
    setup.route_count = static_cast<uint16_t>(l.route.size());
    for (int i = 0; i < LINK_MAX_DROPS; i++)
      setup.route[i] = static_cast<uint16_t>(i < static_cast<int>(l.route.size()) ? l.route[i] : 0);
  }
  if (!l.host.empty()) {
    memset(setup.host, 0, sizeof setup.host);
    memcpy(setup.host, l.host.data(), l.host.size());
  }
  if (l.tcp_port >= 0) setup.tcp_port = static_cast<uint16_t>(l.tcp_port);
  if (l.timeout >= 0) setup.timeout = static_cast<uint16_t>(l.timeout);
  // Only a serial kind looks at the port list (a TCP run need not scan it).
  const LinkKindEntry *kind = link_kind_entry(setup.kind);
  if (kind && kind->serial_port) {
    // The remote ports the program keeps beside this setup file count too.
    set_remote_ports_file(remote_ports_path_for(path.c_str()));
    refresh_serial_ports();
    if (!l.device.empty() && !port_index(l.device, &setup.port)) return failed("Too many serial ports");
  }
  if (link_setup_port_missing(setup)) return failed("The saved link is not in current choices.");
  link_setup = setup;
  LinkResult opened = link_connect(&link_setup, &link_handle, connect_idle);
  if (!opened.ok) return failed(opened.reason);   // with why, where it is known
  return CLI_OK;
}

void close_link() {
  if (link_handle) {
    // What a remote port could not do or its far port did not take, once.
    char note[PORT_NOTE_SIZE];
    serial_port_note(link_handle, note, sizeof note);
    if (*note) fprintf(stderr, "zl27t: note: %s\n", note);
    LinkHandle *link = link_handle;
    link_handle = nullptr;
    link_close(link);
  }
}

// Identification before fetch and send, as the menu commands make it.
int check_module(const ProgramArgs &a) {
  ModuleIdentity id = link_identify(link_handle, MODEM_TAG);
  if (id.outcome == IDENTIFY_READ_FAILED) return failed(id.reason);
  if (id.outcome == IDENTIFY_OTHER_MODULE && !a.force) {
    fprintf(stderr, "zl27t: %s (--force goes on all the same)\n", id.reason);
    return CLI_FAILED;
  }
  return CLI_OK;
}

// ---- the commands ----

bool force_given = false;

void report_failure(const char *text) { message(text); }
void report_refusal(const ConfigProblem &p) { fprintf(stderr, "zl27t: %s: not sent\n", p.text); }
bool answer(const char *question) {
  if (force_given) return true;
  fprintf(stderr, "zl27t: %s Not without --force.\n", question);
  return false;
}
constexpr TransferFace cli_face = {
    .item = nullptr, .writing = nullptr, .confirm = answer, .failed = report_failure, .refused = report_refusal,
};

int fetch_command(const ProgramArgs &a) {
  if (int s = check_module(a)) return s;
  build_default_config();
  if (!transfer_fetch(cli_face)) return CLI_FAILED;   // no file from half a configuration
  ConfigProblem p;
  if (config_problem(working_config, &p)) message(p.text);
  switch (write_config_image(a.command_arg.c_str(), working_config)) {
    case CONFIG_WRITE_OK: return CLI_OK;
    case CONFIG_WRITE_OPEN_FAILED:
      fprintf(stderr, "zl27t: Can't open file \"%s\" for write.\n", a.command_arg.c_str());
      return CLI_FAILED;
    default:
      fprintf(stderr, "zl27t: %s: Can't write to disk file.\n", a.command_arg.c_str());
      return CLI_FAILED;
  }
}

int send_command(const ProgramArgs &a) {
  if (int s = check_module(a)) return s;
  force_given = a.force;
  return transfer_send(cli_face) ? CLI_OK : CLI_FAILED;
}

int identify_command(const ProgramArgs &a) {
  ModuleIdentity id = link_identify(link_handle, "");
  if (id.outcome == IDENTIFY_READ_FAILED) return failed(id.reason);
  bool block = id.outcome != IDENTIFY_NO_BLOCK;
  if (!block) message("The module carries no identification block");
  std::string base(id.name, static_cast<size_t>(block ? id.name_length : 0));
  std::string port = id.port >= 0 ? std::to_string(id.port) : "";
  std::string out;
  switch (a.format) {
    case FORMAT_TEXT: out = std::string(id.name) + "\n"; break;
    case FORMAT_CSV: out = "name,port\n" + csv_field(base.c_str()) + "," + port + "\n"; break;
    case FORMAT_JSON:
      out = std::string("{\"name\":") + (block ? json_string(base.c_str()) : "null") +
            ",\"port\":" + (port.empty() ? "null" : port) + "}\n";
      break;
  }
  return finish(out);
}

bool parse_range(const std::string &text, long *first, long *last) {
  size_t dash = text.find('-', 1);
  std::string_view v(text);
  if (!parse_number(v.substr(0, dash), 1, LAST_REGISTER, first)) return false;
  if (dash == std::string::npos) {
    *last = *first;
    return true;
  }
  return parse_number(v.substr(dash + 1), *first, LAST_REGISTER, last);
}

int read_command(const ProgramArgs &a, long first, long last) {
  const LinkKindEntry *e = link_transport_entry(link_handle->kind);
  int chunk = e ? e->max_read : 1;
  std::vector<uint16_t> values(static_cast<size_t>(last - first + 1));
  for (long r = first; r <= last; r += chunk) {
    int n = static_cast<int>(last - r + 1 < chunk ? last - r + 1 : chunk);
    uint16_t *into = values.data() + (r - first);
    int got = a.input_registers ? link_read_input_registers(link_handle, 0, static_cast<int>(r), n, into)
                                : link_read_whole(link_handle, static_cast<int>(r), n, into);
    if (a.input_registers && got > 0 && got < n) {
      link_set_error(link_handle, "Read reply too short");
      got = 0;
    }
    if (got <= 0) return failed(link_error_text(link_handle));
  }
  std::string out;
  out.reserve(values.size() * 32 + 64);
  char line[96];
  if (a.format == FORMAT_CSV) out += "register,hex,unsigned,signed\n";
  if (a.format == FORMAT_JSON) out += "[";
  for (size_t i = 0; i < values.size(); i++) {
    unsigned reg = static_cast<unsigned>(first + static_cast<long>(i));
    unsigned v = values[i];
    int sv = static_cast<int16_t>(values[i]);
    switch (a.format) {
      case FORMAT_TEXT: snprintf(line, sizeof line, "%u 0x%04X %u %d\n", reg, v, v, sv); break;
      case FORMAT_CSV: snprintf(line, sizeof line, "%u,0x%04X,%u,%d\n", reg, v, v, sv); break;
      case FORMAT_JSON:
        snprintf(line, sizeof line, "%s{\"register\":%u,\"hex\":\"0x%04X\",\"unsigned\":%u,\"signed\":%d}",
                 i ? "," : "", reg, v, v, sv);
        break;
    }
    out += line;
  }
  if (a.format == FORMAT_JSON) out += "]\n";
  return finish(out);
}

// "REG=VALUE[,VALUE...]": values decimal (-32768 to 65535) or 0x hex.
bool parse_writes(const std::string &text, long *first, std::vector<uint16_t> *values) {
  size_t eq = text.find('=');
  if (eq == std::string::npos || !parse_number(std::string_view(text).substr(0, eq), 1, LAST_REGISTER, first))
    return false;
  std::string_view rest = std::string_view(text).substr(eq + 1);
  for (;;) {
    size_t comma = rest.find(',');
    long v;
    if (!parse_number(rest.substr(0, comma), -32768, 65535, &v)) return false;
    values->push_back(static_cast<uint16_t>(v & 0xFFFF));
    if (comma == std::string_view::npos) break;
    rest.remove_prefix(comma + 1);
  }
  return *first + static_cast<long>(values->size()) - 1 <= LAST_REGISTER;
}

int write_command(long first, const std::vector<uint16_t> &values) {
  const LinkKindEntry *e = link_transport_entry(link_handle->kind);
  int chunk = e ? e->max_write : 1;
  for (size_t i = 0; i < values.size(); i += static_cast<size_t>(chunk)) {
    int n = static_cast<int>(values.size() - i < static_cast<size_t>(chunk) ? values.size() - i : chunk);
    if (!link_write_registers(link_handle, static_cast<int>(first + static_cast<long>(i)), n, values.data() + i))
      return failed(link_error_text(link_handle));
  }
  return CLI_OK;
}

int print_command(const ProgramArgs &a) {
  ModemConfig config{};
  if (!load_config(a.command_arg, config)) return CLI_FAILED;
  char date[48];
  report_date(date, sizeof date, time(nullptr));
  write_config_report(stdout, config, date);
  return finish("");
}

int ports_command(const ProgramArgs &a) {
  set_remote_ports_file(remote_ports_path_for((a.setup_path.empty() ? DEFAULT_SETUP : a.setup_path).c_str()));
  refresh_serial_ports();
  std::string out;
  if (a.format == FORMAT_CSV) out += "index,name\n";
  if (a.format == FORMAT_JSON) out += "[";
  for (int i = 0; i < serial_port_count(); i++) {
    const char *name = serial_port_list[i];
    switch (a.format) {
      case FORMAT_TEXT: out += std::string(name) + "\n"; break;
      case FORMAT_CSV: out += std::to_string(i) + "," + csv_field(name) + "\n"; break;
      case FORMAT_JSON:
        out += std::string(i ? "," : "") + "{\"index\":" + std::to_string(i) + ",\"name\":" + json_string(name) + "}";
        break;
    }
  }
  if (a.format == FORMAT_JSON) out += "]\n";
  return finish(out);
}

}  // namespace

bool LinkOverrides::any() const {
  return kind >= 0 || !device.empty() || baud >= 0 || parity >= 0 || data_bits >= 0 || stop_bits >= 0 ||
         !route.empty() || !host.empty() || tcp_port >= 0 || timeout >= 0;
}

bool parse_program_args(int argc, char **argv, ProgramArgs *a, std::string *error) {
  *a = ProgramArgs{};
  a->script.push_back(argc > 0 ? argv[0] : const_cast<char *>("zl27t"));
  const char *command_name = nullptr;
  bool format_given = false, input_given = false;
  for (int i = 1; i < argc; i++) {
    const char *attached;
    const OptionSpec *o = match_option(argv[i], &attached);
    if (!o) {
      a->script.push_back(argv[i]);
      continue;
    }
    const char *value = attached;
    if (o->takes_value && !value) {
      if (i + 1 >= argc) return *error = std::string(o->name) + " needs a value", false;
      value = argv[++i];
    }
    if (o->command != CMD_NONE) {
      if (command_name) return *error = std::string(command_name) + " and " + o->name + " are two commands: give one", false;
      command_name = o->name;
      a->command = o->command;
    }
    if (o->id == OPT_FORMAT) format_given = true;
    if (o->id == OPT_INPUT || o->id == OPT_TYPE) input_given = true;
    if (o->id == OPT_INPUT) a->input_registers = true;
    if (o->id == OPT_FORCE) a->force = true;
    if (value && !set_value(*o, argv[value == attached ? i : i - 1], value, a, error)) return false;
  }
  if (a->command == CMD_NONE) {
    // The full-screen program takes the trace and another setup file; what
    // it is to reach is edited in its own dialogs.
    if (a->link.any() || format_given || input_given || a->force)
      return *error = "link, format and register options go with a command (--fetch, --send, --identify, --read, --write)", false;
    return true;
  }
  if (a->script.size() > 1)
    return *error = std::string("unexpected argument \"") + a->script[1] + "\" (keystroke scripts are for the full-screen program)", false;
  if (format_given && a->command != CMD_READ && a->command != CMD_IDENTIFY && a->command != CMD_PORTS)
    return *error = "--format goes with --read, --identify and --ports", false;
  if (input_given && a->command != CMD_READ) return *error = "--input and --type go with --read", false;
  if ((a->command == CMD_PRINT || a->command == CMD_PORTS) && a->link.any())
    return *error = std::string(command_name) + " needs no link: link options do not go with it", false;
  long first, last;
  std::vector<uint16_t> values;
  if (a->command == CMD_READ && !parse_range(a->command_arg, &first, &last))
    return *error = quoted("--read", a->command_arg.c_str()) + ": FIRST or FIRST-LAST, registers 1 to 65536", false;
  if (a->command == CMD_WRITE && !parse_writes(a->command_arg, &first, &values))
    return *error = quoted("--write", a->command_arg.c_str()) +
                    ": REG=VALUE[,VALUE...], register 1 to 65536, values -32768 to 65535 or 0x0 to 0xFFFF", false;
  if ((a->command == CMD_FETCH || a->command == CMD_SEND || a->command == CMD_PRINT) && a->command_arg.empty())
    return *error = std::string(command_name) + " needs a file name", false;
  return true;
}

int usage_error(const std::string &text) {
  fprintf(stderr, "zl27t: %s; see zl27t --help\n", text.c_str());
  return CLI_USAGE;
}

int run_command(const ProgramArgs &a) {
  if (a.command == CMD_PRINT) return print_command(a);
  if (a.command == CMD_PORTS) return ports_command(a);
  if (a.command == CMD_SEND) {
    // The file first: nothing goes to the link for a file that is not there.
    if (!load_config(a.command_arg, working_config)) return CLI_FAILED;
  }
  if (int s = open_link(a)) return s;
  int status = CLI_FAILED;
  long first, last;
  std::vector<uint16_t> values;
  switch (a.command) {
    case CMD_FETCH: status = fetch_command(a); break;
    case CMD_SEND: status = send_command(a); break;
    case CMD_IDENTIFY: status = identify_command(a); break;
    case CMD_READ:
      parse_range(a.command_arg, &first, &last);
      status = read_command(a, first, last);
      break;
    case CMD_WRITE:
      parse_writes(a.command_arg, &first, &values);
      status = write_command(first, values);
      break;
    default: break;
  }
  close_link();
  return status;
}
