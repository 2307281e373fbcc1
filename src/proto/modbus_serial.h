// Modbus RTU and Modbus ASCII links: a Modbus slave on a serial line. The
// same operations serve both framings; the link's framing mode, fixed at
// open, decides the bytes on the wire (proto/wide_framing.cpp).
//   open_modbus_rtu_serial / open_modbus_ascii_serial   a wide serial link
//       whose first address word is the slave address (drop)
//   modbus_serial_read          function 3 (holding) or 4 (input)
//   modbus_serial_write         function 16
//   modbus_serial_write_record  function 21 (file 0, reference type 3)
// Each is one exchange: stale replies dropped, the request queued, the reply
// awaited with the link's time-out and checked (proto/modbus_msg.h). The
// count on success; 0 with the reason in the link.
#pragma once
#include <cstdint>

#include "proto/link_handle.h"

// idle(user) runs while a remote port is being connected (proto/serial.h).
LinkHandle *open_modbus_rtu_serial(const char *port_name, uint16_t drop, IdleCallback idle = nullptr,
                                   int idle_user = 0);
LinkHandle *open_modbus_ascii_serial(const char *port_name, uint16_t drop, IdleCallback idle = nullptr,
                                     int idle_user = 0);

int modbus_serial_read(LinkHandle *link, int first, int count, uint16_t *values, uint8_t function);
int modbus_serial_write(LinkHandle *link, int first, int count, const uint16_t *values);
int modbus_serial_write_record(LinkHandle *link, int first, int count, const uint16_t *values);
