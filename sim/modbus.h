// Modbus slave side: the request handler shared by RTU, ASCII and TCP, the RTU
// and ASCII serial framers, and a Modbus TCP server on 127.0.0.1.
//
// Functions: 3 and 4 (read holding / input registers, the same register map,
// 1-125), 6 (write single), 16 (write multiple, 1-123), 21 (write file record:
// reference type 6 or 3, record number = register - 1, any file number).
// Exceptions: 1 unknown function, 2 registers outside the device, 3 bad count or
// length, or the code injected with --exception.
//
//   modbus_pdu(req, n)          reply PDU for a request PDU (function code first)
//   rtu_receive / ascii_receive feed bytes from the port
//   tcp_open(port, err)         listen; returns the bound port or -1
//   tcp_poll_fds(fds)           appends the listener and the clients
//   tcp_service(fds, first)     handles what poll reported from index first on
//   tcp_close()
//   modbus_reset()              forget partial frames and fault counts (tests)
//
// Faults (sim.h): no reply, bad CRC/LRC, wrong slave or unit, wrong function
// code (bit 0 flipped), injected exceptions, reset (TCP: the connection is
// reset instead of answering; RTU/ASCII: only the first half of the reply goes
// out), and on TCP a length field of 300 followed by that many bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <poll.h>
#include <string>
#include <vector>

std::vector<uint8_t> modbus_pdu(const uint8_t* req, size_t n);

void rtu_receive(const uint8_t* bytes, size_t n);
void ascii_receive(const uint8_t* bytes, size_t n);

int tcp_open(int port, std::string& err);
void tcp_poll_fds(std::vector<pollfd>& fds);
void tcp_service(const std::vector<pollfd>& fds, size_t first);
void tcp_close();
void modbus_reset();
