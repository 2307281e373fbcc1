// The modem's register image of a ModemConfig and the send and fetch commands.
#include "config/transfer.h"

#include <cstring>

#include "link/link.h"
#include "link/link_setup.h"
#include "ui/boxes.h"
#include "ui/window.h"

namespace {

// Items held in one register each; item 1 (flags) and 5 (dial string) are
// handled apart.
struct ItemRegister {
  int reg;
  uint16_t ModemConfig::*field;
};
constexpr ItemRegister item_registers[TRANSFER_ITEMS + 1] = {
    {0, nullptr},                                 // no item 0
    {1, &ModemConfig::flags},                     // written alone, read with 2
    {3, &ModemConfig::port_rate},
    {4, &ModemConfig::line_rate},
    {5, &ModemConfig::number_pointer},
    {0, nullptr},                                 // dial string
    {7, &ModemConfig::password},
    {2049, &ModemConfig::carrier_threshold},
    {2050, &ModemConfig::cts_on_delay},
    {2051, &ModemConfig::cts_off_delay},
    {8000, &ModemConfig::answer_rings},
    {8002, &ModemConfig::escape_char},
    {8003, &ModemConfig::cr_char},
    {8004, &ModemConfig::lf_char},
    {8005, &ModemConfig::bs_char},
    {8006, &ModemConfig::dial_tone_wait},
    {8007, &ModemConfig::carrier_wait},
    {8008, &ModemConfig::comma_pause},
    {8011, &ModemConfig::dtmf_duration},
    {8012, &ModemConfig::guard_time},
};

constexpr uint16_t FLAGS_FROM_REG1 = 0x6042;
constexpr uint16_t FLAGS_FROM_REG2 = 0x1FBD;
// Mode, port parity and port error check: changing them cuts the link.
constexpr uint16_t LINK_FLAGS = CFG_TRANSPARENT | CFG_PORT_PARITY | CFG_PORT_CRC;

bool write_one(int reg, uint16_t value) { return link_write_registers(link_handle, reg, 1, &value) != 0; }

bool read_one(int reg, uint16_t *value) { return link_read_registers(link_handle, reg, 1, value) != 0; }

bool fetch_dial_string() {
  ModemConfig &c = working_config;
  memset(c.dial_string, 0, sizeof c.dial_string);
  if (c.number_pointer < DIAL_FIRST_REGISTER) return true;
  // The field keeps its terminating zero: 39 characters at most.
  const size_t room = sizeof c.dial_string - 1;
  size_t n = 0;
  for (int reg = c.number_pointer; n < room; reg++) {
    uint16_t word;
    if (!read_one(reg, &word)) return false;
    c.dial_string[n++] = static_cast<char>(word >> 8);
    if (n < room) c.dial_string[n++] = static_cast<char>(word & 0xFF);
    if (word == 0 || (word & 0xFF) == 0) break;
  }
  return true;
}

}  // namespace

int pack_dial_string(const ModemConfig &config, RegisterWrite out[DIAL_MAX_WRITES]) {
  const auto *text = reinterpret_cast<const uint8_t *>(config.dial_string);
  size_t length = strnlen(config.dial_string, sizeof config.dial_string);
  int p = config.number_pointer;
  int n = 0;
  uint16_t last = 0xFFFF;
  size_t i = 0;
  if (p >= DIAL_FIRST_REGISTER && length > 0 && p <= DIAL_LAST_REGISTER) {
    do {
      uint16_t word = static_cast<uint16_t>(text[i++] << 8);
      if (i < length) word |= text[i++];
      out[n++] = {static_cast<uint16_t>(p), word};
      last = word;
      p++;
    } while (i < length && p <= DIAL_LAST_REGISTER && n < DIAL_MAX_WRITES);
  }
  // A pointer below 10 names a configuration register (1 flags, 3 port rate,
  // 5 the pointer itself): the terminator would overwrite it, so it is only
  // written inside the dial-string area.
  if (p >= DIAL_FIRST_REGISTER && (last & 0xFF) != 0 && p <= DIAL_LAST_REGISTER && n < DIAL_MAX_WRITES)
    out[n++] = {static_cast<uint16_t>(p), 0};
  return n;
}

uint16_t merge_fetched_flags(uint16_t reg1, uint16_t reg2) {
  return static_cast<uint16_t>((reg1 & FLAGS_FROM_REG1) | (reg2 & FLAGS_FROM_REG2));
}

bool send_item(int item) {
  if (item < 1 || item > TRANSFER_ITEMS) return false;
  if (item == 5) {
    RegisterWrite writes[DIAL_MAX_WRITES];
    int n = pack_dial_string(working_config, writes);
    for (int i = 0; i < n; i++)
      if (!write_one(writes[i].reg, writes[i].value)) return false;
    return true;
  }
  const ItemRegister &r = item_registers[item];
  return write_one(r.reg, working_config.*r.field);
}

bool fetch_item(int item) {
  if (item < 1 || item > TRANSFER_ITEMS) return false;
  if (item == 5) return fetch_dial_string();
  if (item == 1) {
    uint16_t regs[2];
    if (!link_read_whole(link_handle, 1, 2, regs)) return false;
    working_config.flags = merge_fetched_flags(regs[0], regs[1]);
    return true;
  }
  const ItemRegister &r = item_registers[item];
  return read_one(r.reg, &(working_config.*r.field));
}

bool transfer_send(const TransferFace &face) {
  const ModemConfig &c = working_config;
  // A rate or parity code outside its table could leave the modem's port or
  // line where nothing reaches it again: such a record is not sent at all.
  ConfigProblem problem;
  if (table_values_problem(c, &problem)) {
    face.refused(problem);
    return false;
  }
  uint16_t regs[3];
  if (!link_read_whole(link_handle, 1, 3, regs)) {
    face.failed(link_error_text(link_handle));
    return false;
  }
  if ((regs[2] != c.port_rate || ((regs[1] ^ c.flags) & LINK_FLAGS) != 0) &&
      !face.confirm("Setup change will result in loss of communications. Proceed?"))
    return false;
  bool ok = true;
  if (face.writing) face.writing();
  for (int item = 3; item <= TRANSFER_ITEMS; item++) {
    if (face.item) face.item(item);
    if (!send_item(item)) {
      face.failed(link_error_text(link_handle));
      ok = false;
      break;
    }
  }
  // Flags and port rate together and last: once they take effect the link
  // may be gone.
  if (link_read_whole(link_handle, 1, 3, regs)) {
    const uint16_t last[3] = {c.flags, regs[1], c.port_rate};
    if (!link_write_registers(link_handle, 1, 3, last)) {
      face.failed(link_error_text(link_handle));
      ok = false;
    }
  } else {
    face.failed(link_error_text(link_handle));
    ok = false;
  }
  return ok;
}

bool transfer_fetch(const TransferFace &face) {
  for (int item = 1; item <= TRANSFER_ITEMS; item++) {
    if (face.item) face.item(item);
    if (!fetch_item(item)) {
      face.failed(link_error_text(link_handle));
      return false;
    }
  }
  return true;
}

namespace {

// The menu commands' face: the item number in their window, the link's
// texts in error boxes.
void show_item(int item) { status_printf("%d", 11, 33, 0, ' ', 2, item); }
void show_writing() { put_field("Writing...", 11, 22, 0, ' ', ATTR_NORMAL); }
void show_refusal(const ConfigProblem &p) {
  alert_box(p.text);
  if (p.field) current_field = p.field;
}
void box_failure(const char *text) { error_box(text); }
void line_failure(const char *text) { error_printf("%s", text); }
bool ask(const char *question) { return confirm_box(question); }

}  // namespace

void send_config() {
  WindowHandle window = win_open(10, 20, 12, 58, "SEND OFFLINE TO MODEM");
  transfer_send({.item = show_item, .writing = show_writing, .confirm = ask, .failed = box_failure,
                 .refused = show_refusal});
  win_close(&window);
}

bool fetch_config() {
  WindowHandle window = win_open(10, 20, 12, 58, "FETCH OFFLINE FROM MODEM");
  put_field("Reading...", 11, 22, 0, ' ', ATTR_NORMAL);
  if (!transfer_fetch({.item = show_item, .writing = nullptr, .confirm = ask, .failed = line_failure,
                       .refused = show_refusal})) {
    win_close(&window);
    return false;
  }
  validate_config(working_config);
  win_close(&window);
  return true;
}
