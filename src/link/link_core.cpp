// Link open, close and module identification, by the link's kind entry.
#include "link/link_core.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "link/link_kinds.h"
#include "platform/ports.h"
#include "proto/serial.h"

namespace {

constexpr const char UNABLE[] = "Unable to establish link.";
constexpr uint16_t EIGHT_DATA_BITS = 1;  // index into data_bits_text

constexpr int IDENT_FIRST = 8176;
constexpr int IDENT_COUNT = 13;
constexpr int IDENT_PORT_WORD = 0;
constexpr int IDENT_NAME_WORD = 1;
constexpr int IDENT_SIGNATURE_WORD = 12;
constexpr uint16_t IDENT_SIGNATURE = 0x9990;
constexpr uint16_t IDENT_HAS_PORT = 0x8000;
constexpr int NAME_LENGTH = 20;
// Family members whose names pass for any expected tag.
constexpr const char *SIBLING_TAGS[] = {"AKVD", "BKVD", "CKVD"};
constexpr size_t SIBLING_TAG_LENGTH = 4;

// Why the last open failed; one for the program, as there is one link.
char no_link_reason[LINK_REASON_SIZE] = "";

LinkResult success() { return LinkResult{1, {}}; }

LinkResult failure(const char *reason) {
  LinkResult r{0, {}};
  snprintf(r.reason, sizeof r.reason, "%s", reason);
  return r;
}

// A failed open, with what is known of why.
LinkResult open_failure(const char *why = nullptr) {
  LinkResult r{0, {}};
  if (why && *why)
    snprintf(r.reason, sizeof r.reason, "%s %s", UNABLE, why);
  else
    snprintf(r.reason, sizeof r.reason, "%s", UNABLE);
  snprintf(no_link_reason, sizeof no_link_reason, "%s", r.reason);
  return r;
}

const char *port_name(const LinkSetup &setup) {
  if (setup.port >= serial_port_count()) return "";
  const char *name = serial_port_list[setup.port];
  return name ? name : "";
}

}  // namespace

bool link_setup_port_missing(const LinkSetup &setup) {
  const LinkKindEntry *e = link_kind_entry(setup.kind);
  return e && e->serial_port && setup.port >= serial_port_count();
}

bool link_connecting_line(const LinkSetup &setup, char *line, size_t size) {
  const LinkKindEntry *e = link_kind_entry(setup.kind);
  if (!e) return false;
  char host[sizeof setup.host + 1] = {};   // the record's text need not be terminated
  memcpy(host, setup.host, sizeof setup.host);
  snprintf(line, size, e->connecting, e->serial_port ? port_name(setup) : host);
  return true;
}

LinkResult link_connect(LinkSetup *setup, LinkHandle **link, IdleCallback idle) {
  if (!*link) {
    const LinkKindEntry *e = link_kind_entry(setup->kind);
    if (!e) return open_failure();
    if (e->eight_data_bits) setup->data_bits = EIGHT_DATA_BITS;
    if (e->single_drop) setup->route_count = 1;
    // A drop past 255 is a typing slip: cut to a byte on the wire it would
    // address another device.
    for (int i = 0; i < setup->route_count && i < LINK_MAX_DROPS; i++)
      if (setup->route[i] > ROUTE_DROP_MAX) return open_failure("Drop must be <= 255");
    const char *port = e->serial_port ? port_name(*setup) : "";
    LinkHandle *opened = e->open(*setup, port, idle);
    if (!opened) {
      // A remote port says why it could not be reached; a local one that is
      // not there is the one cause told apart without the transport's word.
      char why[LINK_REASON_SIZE] = "";
      if (e->serial_port && *serial_open_failure())
        snprintf(why, sizeof why, "%s", serial_open_failure());
      else if (e->serial_port && *port && !plat_port_exists(port))
        snprintf(why, sizeof why, "%s not found", port);
      return open_failure(why);
    }
    *link = opened;
    no_link_reason[0] = 0;
  }
  unsigned baud = baud_rate[setup->baud < BAUD_COUNT ? setup->baud : BAUD_9600];
  if (!link_set_port(*link, baud, setup->parity, setup->stop_bits + 1, setup->timeout, setup->data_bits + 7))
    return failure(link_error_text(*link));
  return success();
}

const char *link_no_link_text() { return no_link_reason[0] ? no_link_reason : UNABLE; }

int link_close(LinkHandle *link) {
  if (!link_valid(link)) return 0;
  const LinkKindEntry *e = link_transport_entry(link->kind);
  if (!e) return 0;
  e->close(link);
  return 1;
}

bool link_note_to_show(LinkHandle *link, char *text, size_t size) {
  static std::vector<std::string> shown;   // "port name\nnote"
  if (!size) return false;
  text[0] = 0;
  if (!link_valid(link)) return false;
  const LinkKindEntry *e = link_transport_entry(link->kind);
  if (!e || !e->serial_port) return false;
  serial_port_note(link, text, size);
  if (!*text) return false;
  std::string key = std::string(port_name(link_setup)) + "\n" + text;
  if (std::find(shown.begin(), shown.end(), key) != shown.end()) return false;
  shown.push_back(key);
  return true;
}

bool link_port_lost(LinkHandle *link) {
  if (!link_valid(link)) return false;
  const LinkKindEntry *e = link_transport_entry(link->kind);
  return e && e->lost && e->lost(link);
}

ModuleIdentity link_identify(LinkHandle *link, const char *expected_tag) {
  ModuleIdentity id{IDENTIFY_MATCH, {}, {}, -1, 0};
  uint16_t r[IDENT_COUNT] = {};
  if (!link_read_whole(link, IDENT_FIRST, IDENT_COUNT, r)) {
    id.outcome = IDENTIFY_READ_FAILED;
    snprintf(id.reason, sizeof id.reason, "%s", link_error_text(link));
    return id;
  }
  if (r[IDENT_SIGNATURE_WORD] != IDENT_SIGNATURE) {
    id.outcome = IDENTIFY_NO_BLOCK;
    return id;
  }
  char *name = id.name;
  for (int i = 0; i < NAME_LENGTH / 2; i++) {
    name[2 * i] = static_cast<char>(r[IDENT_NAME_WORD + i] >> 8);
    name[2 * i + 1] = static_cast<char>(r[IDENT_NAME_WORD + i] & 0xFF);
  }
  if (expected_tag) {
    bool match = strncmp(name, expected_tag, strlen(expected_tag)) == 0;
    for (const char *s : SIBLING_TAGS) match = match || strncmp(name, s, SIBLING_TAG_LENGTH) == 0;
    if (!match) {
      id.outcome = IDENTIFY_OTHER_MODULE;
      snprintf(id.reason, sizeof id.reason, "Connected module is not an %s", expected_tag);
      return id;
    }
  }
  size_t n = strlen(name);
  while (n > 0 && (name[n - 1] == ' ' || name[n - 1] == 'E' || name[n - 1] == 'O')) name[--n] = '\0';
  id.name_length = static_cast<int>(n);
  if (r[IDENT_PORT_WORD] & IDENT_HAS_PORT) id.port = r[IDENT_PORT_WORD] & 0xFF;
  if (r[IDENT_PORT_WORD] & IDENT_HAS_PORT)
    snprintf(name + n, MODULE_NAME_SIZE - n, " Port %c", static_cast<char>('0' + (r[IDENT_PORT_WORD] & 0xFF)));
  return id;
}
