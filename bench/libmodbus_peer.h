// libmodbus as the outside yardstick of the Modbus TCP benchmarks: its server
// in a child process on loopback, and its own client timed against it.
//   start_libmodbus_server   forks the server (all 65,536 holding and input
//                            registers, each holding its own address) on a
//                            free port; false when it cannot listen
//   stop_libmodbus_server    ends it by PID
//   libmodbus_tcp_reads      libmodbus's client reading `count` holding
//                            registers from `first` (1-based) for `seconds`
// The server takes one client at a time: a benchmark closes its link before
// the other client's round.
#pragma once
#include <sys/types.h>

#include "rate.h"

struct LibmodbusServer {
  pid_t pid = -1;
  int port = -1;
};

// `reply_delay_ms` holds every reply back that long (a slow device).
bool start_libmodbus_server(LibmodbusServer *server, unsigned reply_delay_ms = 0);
void stop_libmodbus_server(LibmodbusServer *server);

// False when the client cannot connect.
bool libmodbus_tcp_reads(int port, int first, int count, double seconds, Rate &rate);
