// LinkHandle: the record of one open link, shared by the register access
// interface, the transports and link open/close. The transports' channels
// hang off it; only the owning transport touches its channel.
#pragma once
#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "proto/serial.h"

constexpr uint32_t LINK_TAG = 0x10babeee;

enum TransportKind : int32_t {
  TRANSPORT_SYMAX = 1,
  TRANSPORT_GATEWAY = 2,
  TRANSPORT_MODBUS_RTU = 5,
  TRANSPORT_MODBUS_ASCII = 6,
  TRANSPORT_MODBUS_TCP = 8,
};

#include "link/link.h"

constexpr int LINK_ERROR_TEXT_SIZE = 84;
constexpr int LINK_MAX_DROPS = 8;

struct LinkHandle {
  uint32_t tag = 0;
  int32_t kind = 0;
  uint16_t route_count = 0;
  uint16_t route[LINK_MAX_DROPS] = {};
  uint16_t reply_timeout = 500;
  IdleCallback idle = nullptr;
  int idle_user = 0;
  uint8_t priority = 0;
  char error_text[LINK_ERROR_TEXT_SIZE] = {};
  bool idle_aborted = false;   // the last reply wait was ended by its idle callback
  std::mutex lock;
  std::condition_variable reply_arrived;   // signalled when a reply is queued
  SerialChannel *serial = nullptr;
};

// The callback every link has until another is installed.
int idle_continue(int user);
// Writes the link's error text (printf-style, cut to its size).
void link_set_error(LinkHandle *link, const char *format, ...) __attribute__((format(printf, 2, 3)));
