#include "proto/symax.h"

#include <cstdio>

#include "proto/bytes.h"
#include "proto/link_handle.h"
#include "proto/modbus_msg.h"
#include "proto/serial.h"

namespace {

constexpr const char *symax_errors[] = {
    "No Error",  // 0
    "Illegal Opcode",  // 1
    "Illegal Intermediate Code",  // 2
    "Illegal Address",  // 3
    "Illegal Rack Address",  // 4
    "Instruction Not Allowed",  // 5
    "Item Not Found",  // 6
    "Protected Register",  // 7
    "Protected Memory",  // 8
    "Read-only Register",  // 9
    "Memory Limitation",  // 10
    "Communications Overflow",  // 11
    "Illegal CPU Rack Addressing",  // 12
    "Communications Error",  // 13
    "Not Allowed In RUN",  // 14
    "Communications Overflow",  // 15
    "Register Count Too Large",  // 16
    "Remote Device Inactive",  // 17
    "Rung Number Not Allowed",  // 18
    "Illegal Read Parameter",  // 19
    "Illegal Channel Number",  // 20
    "Changing Forced Bit",  // 21
    "Forcing Inhibited",  // 22
    "Fenced Register",  // 23
    "Forcing Non-forcible Register",  // 24
    "CPU Error",  // 25
    "Rack Addressing Overlaps User Memory",  // 26
    "Memory Error",  // 27
    "Illegal Baud Rate",  // 28
    "Illegal Route",  // 29
    "Inhibit Coil In Protected Memory",  // 30
    "Protected Memory",  // 31
    "Data Error",  // 32
    "UVPROM Memory Error",  // 33
    "Write Protected",  // 34
    "Replace Not Allowed",  // 35
    "Past Last File",  // 36
    "View Protected",  // 37
    "Alarm Already Set",  // 38
    "Hardware Memory Security In Effect",  // 39
    "Illegal Register Write",  // 40
    "Illegal File Number",  // 41
    "Illegal Operation",  // 42
    "File Not Found",  // 43
    "Not Allowed During DLOG Tape",  // 44
    "Protected File",  // 45
    "Not Allowed Due To Keyswitch Position",  // 46
    "Programming MCR In Subroutine Area Not Allowed",  // 47
    "I/O, Register Or Channel Safeguarded",  // 48
    "Rack Address Not Alterable While Forcing Active",  // 49
    "Missing Module",  // 50
    "Illegal File Type",  // 51
    "Illegal Media Format",  // 52
    "Illegal Mark Number",  // 53
    "File Operation Aborted",  // 54
    "COMMS Queue Buffer Forced Emptied",  // 55
    "Battery Low",  // 56
    "Illegal Mark Number For GOTO Or GOSUB",  // 57
    "Mark St.Sub Cannot Be Inserted",  // 58
    "Return Rungs Not Allowed In Ladder Area",  // 59
    "Mark Number Previously Used",  // 60
    "Cannot Delete Mark St.Sub",  // 61
    "Cannot Delete Mark Having Return",  // 62
    "Return Must Have Mark",  // 63
    "Only One Return Per Mark",  // 64
    "GOSUB Without Return",  // 65
    "GOTO Mark Without Return",  // 66
    "Cannot Delete Mark",  // 67
    "Unused Mark Number",  // 68
    "Not Allowed In RUN With Programmable Interrupt",  // 69
    "Insufficient Data",  // 70
    "Unrecognized Command",  // 71
    "Illegal Parameter",  // 72
    "Illegal Source Parameter",  // 73
    "Illegal Destination Parameter",  // 74
    "Invalid Filespec",  // 75
    "Invalid Input Channel",  // 76
    "Invalid Output Channel",  // 77
    "Device Not Available",  // 78
    "Serial Link Not Established",  // 79
    "Hardware Read Fault",  // 80
    "Hardware Write Fault",  // 81
    "Read Error",  // 82
    "Write Error",  // 83
    "Directory Read Error",  // 84
    "Directory Write Error",  // 85
    "Directory Space Full",  // 86
    "Device Space Full",  // 87
    "File Not Found",  // 88
    "File Access Denied",  // 89
    "File Already Exists",  // 90
    "File Already Open",  // 91
    "File Format Error",  // 92
    "File Wrong Type",  // 93
    "Open Attempt To Open File",  // 94
    "I/O Attempt To Open File",  // 95
    "Write Attempt To Read-only File",  // 96
    "Record Out Of Range",  // 97
    "Too Many Open Files",  // 98
    "Operation Aborted By User",  // 99
    "Source Filespec Required",  // 100
    "Destination Filespec Required",  // 101
    "Maximum Open Count For File",  // 102
    "Incompatible Source Device/File Type",  // 103
    "Incompatible Destination Device/File Type",  // 104
    "Device Timeout",  // 105
    "Protected File",  // 106
    "Illegal File Type",  // 107
    "Illegal Device",  // 108
    "File Type Required",  // 109
    "Device Required",  // 110
    "Channel Required",  // 111
    "Route Required",  // 112
    "Filename Required",  // 113
    "Illegal Offset",  // 114
    "Illegal Count",  // 115
    "Source/Destination Cannot Be Same",  // 116
    "Duplicate Symbol",  // 117
    "File Mismatch",  // 118
    "Invalid Register Address",  // 119
    "Invalid File Name",  // 120
    "Write Data Error",  // 121
    "Insufficient Data For Write",  // 122
    "Invalid Read Parameter",  // 123
    "Communication Parity Error",  // 124
    "Busy Data Transfer Or Weld In Progress",  // 125
    "Communication Overrun Error",  // 126
    "Communication Framing Error",  // 127
    "Dropped Unexpected Reply",  // 128
    "Job Space Full",  // 129
    "Write Sequence Not Initiated",  // 130
    "Memory Full",  // 131
    "No Data Found",  // 132
    "Cannot Stop Attached Batch Job",  // 133
    "Illegal Communication To COMM Port",  // 134
    "Error Noted During A Transfer",  // 135
    nullptr,  // 136
    "Bad send or status buffer size",  // 137
    "SA85 error 2",  // 138
    "Invalid NetBIOS command",  // 139
    "SA85 error 4",  // 140
    "Timeout expired",  // 141
    "SA85 error 7",  // 142
    "Bad SA85 data path",  // 143
    "SA85 out of internal memory",  // 144
    "Session closed",  // 145
    "Command has been closed",  // 146
    "SA85 error 12",  // 147
    "Name already exists for this PC",  // 148
    "Local name table full",  // 149
    "Can't delete name",  // 150
    "SA85 error 16",  // 151
    "Local session table full",  // 152
    "Remote unit not listening for call",  // 153
    "Bad NCB_NUM",  // 154
    "Remote node not replying",  // 155
    "No such local name",  // 156
    "Name in use elsewhere",  // 157
    "Name incorrectly deleted",  // 158
    "Session aborted abnormally",  // 159
    "Two or more identical names in use",  // 160
    "Bad NetBIOS packet",  // 161
    "SA85 error 27",  // 162
    "SA85 error 28",  // 163
    "SA85 error 29",  // 164
    "SA85 error 30",  // 165
    "SA85 error 31",  // 166
    "SA85 error 32",  // 167
    "Network card is busy",  // 168
    "Too many NetBIOS commands queued",  // 169
    "Bad NCB_LANA_NUM",  // 170
    "Command finished while cancelling",  // 171
    "Command can't be cancelled",  // 172
};
constexpr unsigned SYMAX_ERROR_COUNT = sizeof symax_errors / sizeof symax_errors[0];
static_assert(SYMAX_ERROR_COUNT == 173);

constexpr uint8_t OP_READ = 0x00, OP_WRITE = 0x02, OP_PRIORITY_WRITE = 0x1E, OP_PRIORITY_READ = 0x20,
                  OP_CARRIED = 0x22;
constexpr uint8_t REPLY_WRITE = 0x80, REPLY_READ = 0x86, REPLY_PRIORITY_READ = 0x90, REPLY_PRIORITY = 0x92,
                  REPLY_ERROR = 0xA2;
constexpr uint8_t INPUT_TRANSACTION = 0xBA;
constexpr int MAX_COUNT = 128;

// The byte helpers over a reply packet's data.
uint8_t byte_at(const Packet *r, int i) { return ::byte_at(r->data, r->length, i); }
int copy_values(const Packet *r, int from, int wanted, uint16_t *values) {
  return ::copy_values(r->data + from, r->length - from, wanted, values);
}
int clamp_count(int count) { return ::clamp_count(count, MAX_COUNT); }

void set_symax_error(LinkHandle *link, unsigned code) {
  link_set_error(link, "(%u) %s", code, symax_error_text(code));
}

// Steps common to every exchange up to the queued request. Returns the
// packet to fill, or null with the reason set.
Packet *begin_exchange(LinkHandle *link) {
  drop_stale_replies(link);
  return request_packet(link);
}

void send_request(LinkHandle *link, Packet *p, uint8_t transaction) {
  SerialChannel *ch = serial_channel(link);
  if (ch->net_to_net && link->route_count >= 2) link->route[1] |= 0x8000;
  symax_encode_route(link->route, link->route_count, p->address);
  {
    std::lock_guard<std::mutex> g(link->lock);
    ch->framing_mode = FRAMING_SYMAX;
    ch->awaiting_reply = 1;
    ch->expected_transaction = transaction;
  }
  queue_transmit(link, p);
}

void end_exchange(LinkHandle *link, Packet *reply) {
  if (reply) packet_put(link, &free_packets, reply);
  std::lock_guard<std::mutex> g(link->lock);
  serial_channel(link)->awaiting_reply = 0;
}

bool symax_link(LinkHandle *link) { return link_valid(link) && serial_channel(link); }

}  // namespace

const char *symax_error_text(unsigned code) {
  if (code < SYMAX_ERROR_COUNT && symax_errors[code]) return symax_errors[code];
  return "Unknown Error";
}

uint8_t symax_next_transaction(LinkHandle *link) {
  SerialChannel *ch = serial_channel(link);
  uint8_t t = static_cast<uint8_t>(ch->transaction_counter);
  ch->transaction_counter = static_cast<uint16_t>(ch->transaction_counter + 1);
  if (link->priority) t &= 0x3F;
  return t;
}

void symax_encode_route(const uint16_t *drops, int count, uint8_t address[PACKET_ADDRESS_SIZE]) {
  static const char hex[] = "0123456789ABCDEF";
  if (count < 0) count = 0;
  if (count > 8) count = 8;
  int at = 0;
  for (int i = 0; i < count; i++) {
    uint16_t d = drops[i];
    uint8_t high = static_cast<uint8_t>(hex[(d >> 4) & 0xF]);
    if (d & 0x8000) high |= 0x80;   // net-to-net mark
    address[at++] = high;
    address[at++] = static_cast<uint8_t>(hex[d & 0xF]);
  }
  address[at++] = 0xFF;
  address[at] = 0xFF;
}

bool symax_route_ok(const uint8_t address[PACKET_ADDRESS_SIZE]) {
  auto is_hex = [](uint8_t c) {
    c &= 0x7F;
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
  };
  int i = 0;
  while (i < PACKET_ADDRESS_SIZE && address[i] != 0xFF) {
    if (i + 1 >= PACKET_ADDRESS_SIZE || !is_hex(address[i]) || !is_hex(address[i + 1])) return false;
    i += 2;
  }
  return i < PACKET_ADDRESS_SIZE && address[i] == 0xFF;
}

void symax_build_read(Packet *p, uint8_t transaction, int first, int count, bool priority) {
  count = clamp_count(count);
  unsigned address = 2u * static_cast<unsigned>(first - 1) & 0xFFFF;
  uint8_t *d = p->data;
  if (priority) {
    d[0] = OP_PRIORITY_READ;
    d[1] = transaction;
    d[2] = d[3] = d[4] = 0;
    put16(d + 5, address);
    d[7] = 0;
    d[8] = static_cast<uint8_t>(count - 1);
    p->length = 9;
  } else {
    d[0] = OP_READ;
    d[1] = transaction;
    put16(d + 2, address);
    d[4] = 0;
    d[5] = static_cast<uint8_t>(count - 1);
    p->length = 6;
  }
}

void symax_build_write(Packet *p, uint8_t transaction, int first, int count, const uint16_t *values, bool priority) {
  count = clamp_count(count);
  unsigned address = 2u * static_cast<unsigned>(first - 1) & 0xFFFF;
  uint8_t *d = p->data;
  int at;
  if (priority) {
    d[0] = OP_PRIORITY_WRITE;
    d[1] = transaction;
    d[2] = 0;
    put16(d + 3, address);
    at = 5;
  } else {
    d[0] = OP_WRITE;
    d[1] = transaction;
    put16(d + 2, address);
    at = 4;
  }
  for (int i = 0; i < count; i++, at += 2) put16(d + at, values[i]);
  if (!priority) {
    d[at++] = 0xFF;
    d[at++] = 0xFF;
  }
  p->length = static_cast<uint16_t>(at);
}

void symax_build_read_input(Packet *p, int first, int count) {
  count = clamp_count(count);
  uint8_t *d = p->data;
  d[0] = OP_CARRIED;
  d[1] = INPUT_TRANSACTION;
  d[2] = 0xD5;
  d[3] = 0x00;
  d[4] = 0x04;
  put16(d + 5, static_cast<unsigned>(first - 1) & 0xFFFF);
  put16(d + 7, static_cast<unsigned>(count));
  p->length = 9;
}

// The reply to the request just sent, or null with the reason in the link:
// the time-out text, or the idle abort's own.
static Packet *await_reply(LinkHandle *link, const char *timeout_text) {
  Packet *r = wait_reply(link, link->reply_timeout);
  if (!r && !link->idle_aborted) link_set_error(link, "%s", timeout_text);
  return r;
}

int symax_check_read(LinkHandle *link, const Packet *r, uint8_t t, int count, uint16_t *values) {
  int result = 0;
  uint8_t op = byte_at(r, 0);
  if (!symax_route_ok(r->address)) {
    link_set_error(link, "Bad Reply Route");
  } else if (byte_at(r, 1) != t) {
    link_set_error(link, "Bad transnum on reply");
  } else if (op == REPLY_READ || (op == REPLY_PRIORITY_READ && byte_at(r, 4) == 0)) {
    result = copy_values(r, op == REPLY_READ ? 4 : 7, count, values);
    // A reply without a single value fails as no reply would.
    if (result == 0) link_set_error(link, "Read reply timeout");
  } else if (op == REPLY_PRIORITY_READ) {
    set_symax_error(link, byte_at(r, 4));
  } else if (op == REPLY_ERROR) {
    set_symax_error(link, byte_at(r, 2));
  } else {
    link_set_error(link, "Can't deal with Reply Opcode 0x%02X.", op);
  }
  return result;
}

int symax_read(LinkHandle *link, int first, int count, uint16_t *values) {
  if (count == 0 || !symax_link(link)) return 0;
  Packet *p = begin_exchange(link);
  if (!p) return 0;
  uint8_t t = symax_next_transaction(link);
  symax_build_read(p, t, first, count, link->priority != 0);
  send_request(link, p, t);
  Packet *r = await_reply(link, "Read reply timeout");
  int result = r ? symax_check_read(link, r, t, count, values) : 0;
  end_exchange(link, r);
  return result;
}

int symax_check_write(LinkHandle *link, const Packet *r, uint8_t t, int count) {
  int result = 0;
  uint8_t op = byte_at(r, 0);
  if (!symax_route_ok(r->address) || byte_at(r, 1) != t) {
    link_set_error(link, "Write reply invalid");
  } else if (op == REPLY_WRITE || (op == REPLY_PRIORITY && byte_at(r, 4) == 0)) {
    result = count;
  } else if (op == REPLY_PRIORITY) {
    set_symax_error(link, byte_at(r, 4));
  } else if (op == REPLY_ERROR) {
    set_symax_error(link, byte_at(r, 2));
  } else {
    link_set_error(link, "Write reply invalid");
  }
  return result;
}

int symax_write(LinkHandle *link, int first, int count, const uint16_t *values) {
  if (count == 0 || !symax_link(link)) return 0;
  Packet *p = begin_exchange(link);
  if (!p) return 0;
  uint8_t t = symax_next_transaction(link);
  symax_build_write(p, t, first, count, values, link->priority != 0);
  send_request(link, p, t);
  Packet *r = await_reply(link, "Write reply timeout");
  int result = r ? symax_check_write(link, r, t, count) : 0;
  end_exchange(link, r);
  return result;
}

int symax_check_read_input(LinkHandle *link, const Packet *r, int count, uint16_t *values) {
  int result = 0;
  if (!symax_route_ok(r->address) || byte_at(r, 1) != INPUT_TRANSACTION || byte_at(r, 0) != REPLY_PRIORITY) {
    link_set_error(link, "Read reply invalid");
  } else if (r->length >= 8) {
    // At least one whole value. A shorter reply is an exception or an
    // error code: [0x92, 0xBA, ., ., status, code] would otherwise pass as
    // a reply without values.
    result = copy_values(r, 6, count, values);
  } else if (byte_at(r, 4) & 0x80) {
    char text[LINK_ERROR_TEXT_SIZE];
    modbus_exception_reply(byte_at(r, 5), text, sizeof text);
    link_set_error(link, "%s", text);
  } else {
    set_symax_error(link, byte_at(r, 5));
  }
  return result;
}

int symax_read_input(LinkHandle *link, int first, int count, uint16_t *values) {
  if (count == 0 || !symax_link(link)) return 0;
  Packet *p = begin_exchange(link);
  if (!p) return 0;
  symax_build_read_input(p, first, count);
  send_request(link, p, INPUT_TRANSACTION);
  Packet *r = await_reply(link, "Read reply timeout");
  int result = r ? symax_check_read_input(link, r, count, values) : 0;
  end_exchange(link, r);
  return result;
}
