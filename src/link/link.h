// Register access interface over the program's one link (LinkHandle).
// Every operation checks the handle's validity tag first and reports success
// as nonzero; the reason of a failure stays as text in the handle, one text
// per link (each serial link has its own reader thread).
//   link_read_registers / link_write_registers     holding registers
//   link_read_whole        holding registers, nonzero only when every value
//                          asked for came (a Sy/Max reply may hold fewer)
//   link_read_input_registers                      input registers (Modbus
//                                                  function 4; carried on Sy/Max)
//   link_write_file_record                         Modbus function 21
//   link_error_text        the last failure's text; "Handle not valid" for a
//                          closed or foreign handle; for a null one, why no
//                          link is open (link_no_link_text, link_core.h)
//   link_set_idle_callback called about every 10 ms while a reply is awaited;
//                          a zero from it aborts the wait
//   link_set_options       frame check (Sy/Max CRC) and priority opcodes
//   link_set_port          port settings and reply time-out
// Link open and close without screens (link_core.h); with them
// (link_screens.cpp):
//   link_open              the connecting window: opens link_setup's link
//                          into link_handle, or applies its settings again
//   link_open_asked        the same for a link the user has just asked for:
//                          a failure is shown in a box, trapped or not
//   link_close             ends a link (its reader thread first)
//   identify_module        reads the identification block, checks the name,
//                          shows it or says what is wrong
//   wait_spinner           the idle callback link_open installs
//   link_screens_init      start-up: hands the error box the trap setting
// Registers are 1-based; values are host-order 16-bit, one per register.
#pragma once
#include <cstdint>

#include "proto/link_handle.h"

int link_read_registers(LinkHandle *link, int first, int count, uint16_t *values);
int link_read_whole(LinkHandle *link, int first, int count, uint16_t *values);
int link_write_registers(LinkHandle *link, int first, int count, const uint16_t *values);
int link_read_input_registers(LinkHandle *link, int unused, int first, int count, uint16_t *values);
int link_write_file_record(LinkHandle *link, int first, int count, const uint16_t *values);
const char *link_error_text(LinkHandle *link);
int link_set_idle_callback(LinkHandle *link, IdleCallback callback, int user);
int link_set_options(LinkHandle *link, int crc, int priority);
int link_set_port(LinkHandle *link, unsigned baud, int parity, int stop_bits, unsigned timeout, int data_bits);

LinkHandle *link_open();
LinkHandle *link_open_asked();
int link_close(LinkHandle *link);
int identify_module(const char *expected_tag);
int wait_spinner(int user);
void link_screens_init();

// 2 after an arrow key, PgUp, PgDn or Esc arrived during a wait, 1 after any
// other key; the register viewer reads and resets it.
extern int wait_key_seen;
extern int wait_spinner_phase;
