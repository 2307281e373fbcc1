// The LinkSetup record, its tables and the serial port list.
#include "link/link_setup.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>


LinkSetup link_setup;
LinkHandle *link_handle = nullptr;
char *serial_port_list[MAX_SERIAL_PORTS + 1];

const char *const baud_texts[BAUD_COUNT] = {
    "50   ", "75   ", "110  ", "134.5", "150  ", "300  ", "600  ", "1200 ",
    "1800 ", "2400 ", "3600 ", "4800 ", "7200 ", "9600 ", "14400", "19200",
};
// 134.5 baud is set as 135: the nearest rate a port takes as a whole number.
const unsigned baud_rate[BAUD_COUNT] = {
    50, 75, 110, 135, 150, 300, 600, 1200, 1800, 2400, 3600, 4800, 7200, 9600, 14400, 19200,
};
const char *const data_bits_text[2] = {"7", "8"};
const char *const stop_bits_text[2] = {"1", "2"};
const char *const link_parity_texts[3] = {"NONE", "EVEN", "ODD"};
const char *const error_check_text[2] = {"BCC", "CRC"};
const char *const yes_no_text[2] = {"YES", "NO"};
const char *const priority_text[2] = {"Non-Priority", "Priority"};
const char *const register_set_text[2] = {"4x", "3x"};
const char *const term_charset_text[2] = {"CP437", "UTF-8"};

void default_link_setup(LinkSetup *s) {
  memset(s, 0, sizeof *s);
  s->kind = LINK_SYMAX;
  s->port = 0;
  s->baud = BAUD_9600;
  s->data_bits = 1;
  s->stop_bits = 0;
  s->parity = 1;
  s->error_check = 0;
  s->route_count = 1;
  s->route[0] = 201;
  s->term_port = 0;
  s->term_baud = BAUD_9600;
  s->term_data_bits = 1;
  s->term_stop_bits = 0;
  s->term_parity = 0;
  snprintf(s->reserved_text, sizeof s->reserved_text, "%s", "EDIT.COM");
  s->rv_priority = 0;
  s->rv_status_registers = 1;
  s->rv_screen_size = 20;
  s->rv_start_register = 1;
  s->rv_identify_module = 1;
  s->trap_errors = 0;
  s->timeout = LINK_TIMEOUT_DEFAULT;
  s->tcp_port = 504;
  s->rv_register_set = 0;
}

bool clamp_link_setup(LinkSetup *s) {
  bool changed = false;
  auto clamp = [&changed](uint16_t &v, uint16_t limit, uint16_t fallback) {
    if (v >= limit) {
      v = fallback;
      changed = true;
    }
  };
  clamp(s->kind, LINK_KIND_COUNT, LINK_SYMAX);
  clamp(s->baud, BAUD_COUNT, BAUD_9600);
  clamp(s->term_baud, BAUD_COUNT, BAUD_9600);
  clamp(s->data_bits, 2, 1);
  clamp(s->term_data_bits, 2, 1);
  clamp(s->stop_bits, 2, 0);
  clamp(s->term_stop_bits, 2, 0);
  clamp(s->parity, 3, 1);
  clamp(s->term_parity, 3, 0);
  clamp(s->term_charset, 2, TERM_CHARSET_CP437);
  clamp(s->error_check, 2, 0);
  if (s->route_count > 8) {
    s->route_count = 8;
    changed = true;
  }
  // Numbers: a reply wait of minutes or a drop no wire can carry is damage,
  // not a setting. A time-out of 0 would never wait: the default instead.
  for (int i = 0; i < s->route_count; i++) {
    if (s->route[i] > ROUTE_DROP_MAX) {
      s->route[i] = ROUTE_DROP_MAX;
      changed = true;
    }
  }
  if (s->timeout == 0 || s->timeout > LINK_TIMEOUT_MAX) {
    s->timeout = s->timeout == 0 ? LINK_TIMEOUT_DEFAULT : LINK_TIMEOUT_MAX;
    changed = true;
  }
  if (s->rv_start_register == 0) {
    s->rv_start_register = 1;
    changed = true;
  }
  clamp(s->rv_priority, 2, 0);
  clamp(s->rv_status_registers, 2, 1);
  if (s->rv_screen_size < 1 || s->rv_screen_size > 20) {
    s->rv_screen_size = 20;
    changed = true;
  }
  clamp(s->rv_identify_module, 2, 1);
  clamp(s->rv_register_set, 2, 0);
  // A trap setting other than YES or NO would silence every message.
  clamp(s->trap_errors, 2, 0);
  // Texts from a file may lack their terminator.
  if (!memchr(s->host, 0, sizeof s->host)) {
    s->host[sizeof s->host - 1] = 0;
    changed = true;
  }
  if (!memchr(s->reserved_text, 0, sizeof s->reserved_text)) {
    s->reserved_text[sizeof s->reserved_text - 1] = 0;
    changed = true;
  }
  return changed;
}

// refresh_serial_ports is remote_ports.cpp's: the list's order is kept there.

int serial_port_count() {
  int n = 0;
  while (n < MAX_SERIAL_PORTS && serial_port_list[n]) n++;
  return n;
}

int serial_port_field_width() {
  size_t w = 1;
  for (int i = 0; i < serial_port_count(); i++) w = std::max(w, strlen(serial_port_list[i]));
  return static_cast<int>(std::min<size_t>(w, PORT_FIELD_MAX));
}

namespace {

constexpr std::string_view CUT_MARK = "...";

// head characters of the start, the mark, and the end up to width.
std::string cut_port_name(std::string_view name, std::string_view head, size_t width) {
  std::string out(head);
  out.append(CUT_MARK);
  size_t tail = std::min(name.size(), width - std::min(width, out.size()));
  out.append(name.substr(name.size() - tail));
  return out;
}

// Whether a and b (both longer than width) show the same pieces when cut
// keeping head characters of their start.
bool cut_alike(std::string_view a, std::string_view b, size_t head, size_t width) {
  size_t tail = width - CUT_MARK.size() - head;
  return a.substr(0, head) == b.substr(0, head) && a.substr(a.size() - tail) == b.substr(b.size() - tail);
}

}  // namespace

void port_field_texts(const char *const *names, int count, int width,
                      char (*texts)[PORT_FIELD_MAX + 1]) {
  const size_t cut_width = std::clamp<size_t>(width, CUT_MARK.size() + 1, PORT_FIELD_MAX);
  const size_t fits = static_cast<size_t>(std::max(width, 0));
  auto is_long = [&](int i) { return strlen(names[i]) > fits; };
  for (int i = 0; i < count; i++) {
    std::string_view name = names[i];
    if (!is_long(i)) {
      snprintf(texts[i], PORT_FIELD_MAX + 1, "%.*s", PORT_FIELD_MAX, names[i]);
      continue;
    }
    size_t head = 0;
    for (; head + CUT_MARK.size() < cut_width; head++) {
      bool alike = false;
      for (int j = 0; j < count && !alike; j++)
        alike = j != i && is_long(j) && name != names[j] && cut_alike(name, names[j], head, cut_width);
      if (!alike) break;
    }
    if (head + CUT_MARK.size() == cut_width) head = 0;   // the check below settles it
    std::string text = cut_port_name(name, name.substr(0, head), cut_width);
    snprintf(texts[i], PORT_FIELD_MAX + 1, "%s", text.c_str());
  }
  // Names that share all but the middle of a long path, or that hold the mark
  // themselves, may still show alike: a cut one then shows its list place.
  for (int i = 0; i < count; i++) {
    if (!is_long(i)) continue;
    for (int j = 0; j < count; j++) {
      if (j == i || strcmp(texts[i], texts[j]) != 0 || strcmp(names[i], names[j]) == 0) continue;
      char place[16];
      snprintf(place, sizeof place, "#%d", i + 1);
      std::string text = cut_port_name(names[i], place, cut_width);
      snprintf(texts[i], PORT_FIELD_MAX + 1, "%s", text.c_str());
      break;
    }
  }
}
