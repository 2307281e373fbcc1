// Moving the configuration between working_config and the modem's registers,
// item by item, over link_handle.
//   send_item / fetch_item   one of the 19 transfer items; false on a link
//                            failure (the link's text tells why) or a bad item
//   send_config              "Send memory to modem" (menu 204); the settings
//                            that decide how the modem is reached go last;
//                            a record with a rate or parity code outside its
//                            table is refused before anything is written
//   fetch_config             "Fetch memory from modem" (menu 205)
//   transfer_send / transfer_fetch   the same without a screen: a face
//                            given by the caller reports
//   pack_dial_string         the register writes that carry the dial string
//   merge_fetched_flags      flags from registers 1 and 2 as fetched
#pragma once
#include <cstdint>

#include "config/modem_config.h"

constexpr int TRANSFER_ITEMS = 19;
// The dial string lives in registers 10..2048.
constexpr int DIAL_FIRST_REGISTER = 10;
constexpr int DIAL_LAST_REGISTER = 2048;

struct RegisterWrite {
  uint16_t reg;
  uint16_t value;
};
// 39 characters in 20 registers and a terminator.
constexpr int DIAL_MAX_WRITES = 21;

// Two characters per register, high byte first, from number_pointer on;
// a zero register ends a string whose last register is full. Fills out
// (DIAL_MAX_WRITES entries) and returns how many registers to write.
int pack_dial_string(const ModemConfig &config, RegisterWrite out[DIAL_MAX_WRITES]);
// Bits 1, 6, 13 and 14 come from register 1, the rest but 15 from register 2.
uint16_t merge_fetched_flags(uint16_t reg1, uint16_t reg2);

// What a face of the program does while a whole configuration moves: the
// menu commands show it in a window, the command line on standard error.
//   item      the item about to move (null: nothing)
//   writing   the writes begin (null: nothing)
//   confirm   a question; false stops before anything is written
//   failed    a link failure's text
//   refused   the record has a code outside its tables (nothing is sent)
struct TransferFace {
  void (*item)(int item);
  void (*writing)();
  bool (*confirm)(const char *question);
  void (*failed)(const char *text);
  void (*refused)(const ConfigProblem &problem);
};
// Send: the table check, registers 1-3 read (a change of the settings that
// reach the modem is asked about), items 3-19, then flags, register 2 as
// read and port rate in one write. True when everything was written.
bool transfer_send(const TransferFace &face);
// Fetch: items 1-19 into working_config, stopping at the first failure
// (what was read stays). No validation.
bool transfer_fetch(const TransferFace &face);

bool send_item(int item);
bool fetch_item(int item);
void send_config();
// False when a read failed; working_config then holds what was read so far.
bool fetch_config();
