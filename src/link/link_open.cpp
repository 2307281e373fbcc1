// Link open and close, module identification, and the idle callback every
// link gets at open (spinner at row 1, column 80; Esc aborts the wait).
#include <cstdio>
#include <cstring>

#include "link/link.h"
#include "link/link_handle.h"
#include "link/link_setup.h"
#include "proto/serial.h"
#include "ui/boxes.h"
#include "ui/keys.h"
#include "ui/window.h"

int wait_key_seen = 0;
int wait_spinner_phase = 0;

namespace {

constexpr int IDENT_FIRST = 8176;
constexpr int IDENT_COUNT = 13;
constexpr uint16_t IDENT_SIGNATURE = 0x9990;
constexpr int NAME_LENGTH = 20;
constexpr FieldFlags NAME_FIELD = FF_CENTER | 2;

// How each link kind is opened. Kinds whose transport is not built in have
// no opener and fail as an unknown kind does.
struct LinkOpener {
  const char *status;   // shown while connecting, with the port or host
  LinkHandle *(*open)(const LinkSetup &setup, const char *port);
};

LinkHandle *open_symax(const LinkSetup &setup, const char *port) {
  uint16_t block[1 + LINK_MAX_DROPS] = {setup.route_count};   // count, then the drops
  for (int i = 0; i < LINK_MAX_DROPS; i++) block[1 + i] = setup.route[i];
  return open_symax_serial(port, setup.kind == LINK_NET_TO_NET, block);
}

constexpr LinkOpener openers[LINK_KIND_COUNT] = {
    {nullptr, nullptr},
    {"Via Sy/Max to %s", open_symax},
    {"Via Sy/Max to %s", open_symax},
    {"Via Gateway to %s", nullptr},
    {"Via Modbus RTU to %s", nullptr},
    {"Via Modbus ASCII to %s", nullptr},
    {"Via Modbus TCP to %s", nullptr},
};

const char *setup_port_name() {
  if (link_setup.port >= serial_port_count()) return "";
  const char *name = serial_port_list[link_setup.port];
  return name ? name : "";
}

}  // namespace

LinkHandle *link_open() {
  WindowHandle win = win_open(4, 1, 6, 40, "ATTEMPTING TO CONNECT");
  if (serial_port_count() == 0) refresh_serial_ports();
  if (!link_handle) {
    uint16_t kind = link_setup.kind;
    const LinkOpener *opener = kind < LINK_KIND_COUNT && openers[kind].status ? &openers[kind] : nullptr;
    if (!opener) {
      error_box("Unable to establish link.");
      win_close(&win);
      return nullptr;
    }
    const char *shown = kind == LINK_MODBUS_TCP ? link_setup.host : setup_port_name();
    char host[sizeof link_setup.host + 1] = {};
    if (kind == LINK_MODBUS_TCP) {
      memcpy(host, link_setup.host, sizeof link_setup.host);
      shown = host;   // the record's text need not be terminated
    }
    // Cut inside the window: a long port path must not spill past its frame,
    // where closing the window would leave it on the screen.
    status_printf(opener->status, 5, 3, 37, ' ', 0, shown);
    if (kind == LINK_SYMAX || kind == LINK_NET_TO_NET || kind == LINK_MODBUS_RTU) link_setup.data_bits = 1;
    if (kind == LINK_MODBUS_RTU || kind == LINK_MODBUS_ASCII || kind == LINK_MODBUS_TCP) link_setup.route_count = 1;
    LinkHandle *link = opener->open ? opener->open(link_setup, setup_port_name()) : nullptr;
    if (!link) {
      error_box("Unable to establish link.");
      win_close(&win);
      return nullptr;
    }
    link_handle = link;
    link_set_idle_callback(link, wait_spinner, 0);
  }
  unsigned baud = baud_rate[link_setup.baud < BAUD_COUNT ? link_setup.baud : 13];
  if (!link_set_port(link_handle, baud, link_setup.parity, link_setup.stop_bits + 1, link_setup.timeout,
                     link_setup.data_bits + 7))
    error_box(link_error_text(link_handle));
  win_close(&win);
  return link_handle;
}

int link_close(LinkHandle *link) {
  if (!link || link->tag != LINK_TAG) return 0;
  if (link->serial) serial_close(link);
  link->tag = 0;
  delete link;
  return 1;
}

int identify_module(const char *expected_tag) {
  bool check_name = expected_tag && expected_tag[0];
  uint16_t r[IDENT_COUNT] = {};
  if (!link_read_registers(link_handle, IDENT_FIRST, IDENT_COUNT, r)) {
    if (!check_name) return 1;
    return error_box(link_error_text(link_handle)) ? 1 : 0;
  }
  if (r[12] != IDENT_SIGNATURE) {
    put_field("", 2, 15, 50, ' ', 2);
    return 1;
  }
  // 20 name characters, " Port n" and the terminator.
  char name[NAME_LENGTH + 8] = {};
  for (int i = 0; i < NAME_LENGTH / 2; i++) {
    name[2 * i] = static_cast<char>(r[1 + i] >> 8);
    name[2 * i + 1] = static_cast<char>(r[1 + i] & 0xFF);
  }
  if (expected_tag) {
    static const char *const siblings[] = {"AKVD", "BKVD", "CKVD"};
    bool match = strncmp(name, expected_tag, strlen(expected_tag)) == 0;
    for (const char *s : siblings) match = match || strncmp(name, s, 4) == 0;
    if (!match) return error_printf("Connected module is not an %s", expected_tag) ? 1 : 0;
  }
  size_t n = strlen(name);
  while (n > 0 && (name[n - 1] == ' ' || name[n - 1] == 'E' || name[n - 1] == 'O')) name[--n] = '\0';
  if (r[0] & 0x8000) {
    snprintf(name + n, sizeof name - n, " Port %c", static_cast<char>('0' + (r[0] & 0xFF)));
  }
  put_field(name, 2, 15, 50, ' ', NAME_FIELD);
  return 1;
}

int wait_spinner(int) {
  // Scripted keys are left alone: they reach the waiting screen in order.
  if (key_queue_count() == 0) {
    KeyCode key = key_read(0);
    if (key) {
      const char back[2] = {static_cast<char>(key), 0};
      push_keys(back);
      switch (key) {
        case KEY_RIGHT:
        case KEY_LEFT:
        case KEY_UP:
        case KEY_DOWN:
        case KEY_PGUP:
        case KEY_PGDN:
          wait_key_seen = 2;
          break;
        case KEY_ESC:
          wait_key_seen = 2;
          return 0;
        default:
          wait_key_seen = 1;
          break;
      }
    }
  }
  static const char phases[] = "|\\-/";
  wait_spinner_phase = (wait_spinner_phase + 1) % 4;
  const char ch[2] = {phases[wait_spinner_phase], 0};
  put_field(ch, 1, 80, 1, ' ', 0);
  return 1;
}
