// Waiting on a serial port (platform/serial_port.h) together with a wake
// object another thread can signal: how a link's reader thread sleeps until
// bytes come in, the port takes more, or it is handed work.
//   port_wake_create / port_wake_destroy   the wake object (null on failure)
//   port_wake_signal   wakes the thread in port_wait (or its next port_wait);
//                      any thread, any number of times: signals before the
//                      wait count as one
//   port_wait          until the wake object is signalled, the port has
//                      bytes to read or takes bytes (each when asked), the
//                      port hangs up or fails (always), or the time-out
//                      passes. A port that is not open (or null) is not
//                      waited on; nor is a null wake object. A wake-up is
//                      consumed by the wait that reports it.
//   port_wait_input    until the port has bytes to read, hangs up or fails,
//                      or the time-out passes (0: only looks), for the
//                      caller that reads its own reply: the cheapest wait
//                      the system has for one port's input (on POSIX its
//                      epoll set, registered once)
//   port_wait_lends_input  whether a port's input may be left to another
//                      thread while its reader looks for a hang-up alone:
//                      true where a wait that does not ask for input takes
//                      none (poll); false where the reader keeps a read of
//                      its own pending on the port (Windows)
// The flags tell what happened; 0 is the time-out or an interrupted wait.
// PORT_WAIT_FAILED: the wait itself failed and waiting again would fail too.
#pragma once
#include <cstdint>

#include "platform/serial_port.h"

struct PortWake;

enum PortWaitFlags : unsigned {
  PORT_WAIT_WOKEN = 1,
  PORT_WAIT_READABLE = 2,
  PORT_WAIT_WRITABLE = 4,
  PORT_WAIT_HANGUP = 8,     // the far end hung up, or the port reports an error
  PORT_WAIT_FAILED = 16,
};

// What a wait watches the port for besides its hang-up or failure.
enum PortWatch : unsigned {
  PORT_WATCH_READ = 1,
  PORT_WATCH_WRITE = 2,
};

PortWake *port_wake_create();
void port_wake_destroy(PortWake *wake);
void port_wake_signal(PortWake *wake);

// timeout_us < 0: no time-out.
unsigned port_wait(SerialPort *port, unsigned watch, PortWake *wake, int64_t timeout_us);
unsigned port_wait_input(SerialPort *port, int64_t timeout_us);
#ifdef _WIN32
// The reader's overlapped read stays pending on the port whatever it waits
// for: its input is never another thread's to take.
constexpr bool port_wait_lends_input() { return false; }
#else
constexpr bool port_wait_lends_input() { return true; }
#endif
