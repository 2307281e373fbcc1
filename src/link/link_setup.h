// LinkSetup: how this computer reaches the modem and how the tools behave.
// The in-memory record is the 150-byte setup file image (little-endian u16s).
// Also the code tables the dialogs show, the serial port list the port fields
// index, and the program's one current link.
#pragma once
#include <cstddef>
#include <cstdint>

enum LinkKind : uint16_t {
  LINK_NONE = 0,
  LINK_SYMAX = 1,
  LINK_NET_TO_NET = 2,
  LINK_GATEWAY = 3,
  LINK_MODBUS_RTU = 4,
  LINK_MODBUS_ASCII = 5,
  LINK_MODBUS_TCP = 6,
};
constexpr int LINK_KIND_COUNT = 7;

struct LinkSetup {
  uint16_t kind;
  uint16_t port;
  uint16_t reserved4;
  uint16_t baud;
  uint16_t data_bits;
  uint16_t stop_bits;
  uint16_t parity;
  uint16_t error_check;
  uint16_t route_count;
  uint16_t route[8];
  uint16_t reserved34;
  uint16_t term_charset;   // TermCharset; a word once reserved
  uint16_t term_port;
  uint16_t term_baud;
  uint16_t term_data_bits;
  uint16_t term_stop_bits;
  uint16_t term_parity;
  char reserved_text[42];
  uint16_t rv_priority;
  uint16_t rv_status_registers;
  uint16_t rv_screen_size;
  uint16_t rv_start_register;
  uint16_t rv_identify_module;
  uint16_t trap_errors;
  uint16_t timeout;
  uint16_t tcp_port;
  char host[42];
  uint16_t rv_register_set;
};
static_assert(sizeof(LinkSetup) == 150);
static_assert(offsetof(LinkSetup, baud) == 6);
static_assert(offsetof(LinkSetup, route_count) == 16);
static_assert(offsetof(LinkSetup, route) == 18);
static_assert(offsetof(LinkSetup, term_charset) == 36);
static_assert(offsetof(LinkSetup, term_port) == 38);
static_assert(offsetof(LinkSetup, reserved_text) == 48);
static_assert(offsetof(LinkSetup, rv_priority) == 90);
static_assert(offsetof(LinkSetup, trap_errors) == 100);
static_assert(offsetof(LinkSetup, timeout) == 102);
static_assert(offsetof(LinkSetup, tcp_port) == 104);
static_assert(offsetof(LinkSetup, host) == 106);
static_assert(offsetof(LinkSetup, rv_register_set) == 148);

extern LinkSetup link_setup;

// How the BBS terminal reads the device's bytes 0x80-0xFF. Files from before
// the setting hold 0 in its word: code page 437, as then.
enum TermCharset : uint16_t { TERM_CHARSET_CP437 = 0, TERM_CHARSET_UTF8 = 1 };
extern const char *const term_charset_text[2];

// Code tables (index -> text). The baud-rate index is shared with the modem
// configuration; its texts are padded to 5 characters. The kinds' names are
// in their entries (link_kind_name, link_kinds.h).
constexpr int BAUD_COUNT = 16;
constexpr int BAUD_9600 = 13;   // the index of 9600 baud, the default
extern const char *const baud_texts[BAUD_COUNT];
extern const unsigned baud_rate[BAUD_COUNT];
extern const char *const data_bits_text[2];
extern const char *const stop_bits_text[2];
extern const char *const link_parity_texts[3];
extern const char *const error_check_text[2];
extern const char *const yes_no_text[2];
extern const char *const priority_text[2];
extern const char *const register_set_text[2];

void default_link_setup(LinkSetup *setup);
// Reply time-out in 10-ms wait steps: 5 s by default, at most a minute.
constexpr uint16_t LINK_TIMEOUT_DEFAULT = 500;
constexpr uint16_t LINK_TIMEOUT_MAX = 6000;
// A drop is one byte on every wire (Sy/Max route, Modbus address, unit).
constexpr uint16_t ROUTE_DROP_MAX = 255;

// Brings values that came from outside back inside their tables so no table
// is indexed out of range: kind above 6 -> 1 (Sy/Max COM:, as the dialogs show
// it), baud indexes above 15 -> 13 (9600), route_count above 8 -> 8, other
// two- and three-way choices (trap_errors and term_charset included) -> their default, texts
// without their terminator are cut. Numbers into their ranges: drops the
// route counts above 255 -> 255, a time-out above LINK_TIMEOUT_MAX -> that
// maximum and 0 -> the default, register viewer start 0 -> 1. Returns true
// when it changed anything.
bool clamp_link_setup(LinkSetup *setup);

// The serial port list: up to 40 names, then a null.
constexpr int MAX_SERIAL_PORTS = 40;
extern char *serial_port_list[MAX_SERIAL_PORTS + 1];
void refresh_serial_ports();
int serial_port_count();
// Width of the longest port name (at least 1, at most PORT_FIELD_MAX): the
// port fields.
constexpr int PORT_FIELD_MAX = 30;
int serial_port_field_width();
// What a port field of the given width shows for each of count names: a name
// that fits stays as it is; a longer one keeps its end behind "..." (the end
// of a path is what tells ports apart), with as much of its start in front as
// it takes to tell it from every other long name ("/home/a...demo/modem.pty").
// Two different names never show alike: the few that would still do so show
// their place in the list ("#3...") instead of their start.
void port_field_texts(const char *const *names, int count, int width,
                      char (*texts)[PORT_FIELD_MAX + 1]);

struct LinkHandle;
extern LinkHandle *link_handle;
