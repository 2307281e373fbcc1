// nt_sio: the terminal emulator's own small serial module, apart from the
// link's driver. Every operation answers a status code (SioStatus).
//   sio_open    opens a port by its list name (mode 1 read, 2 write, 3 both)
//               and gives the port record
//   sio_read    reads count bytes waiting wait x 10 ms (0: about 1 ms, -1: no
//               limit); fewer than asked is SIO_SHORT
//   sio_read_ready  what has arrived, up to count bytes, without waiting (the
//               caller waits on the port's fd with the keyboard); none is
//               SIO_SHORT
//   sio_write   the same for writing; the terminal writes with -1
//   sio_close   closes the port and frees the record (kept when closing fails)
//   _setuart    applies rate, data and stop bits, parity and flow; a port
//               whose state cannot be read or set ends the program with
//               status 1 after a message on standard output
// The module is a namespace so that its routine keeps its own name,
// _setuart, without taking a name reserved in the global namespace.
#pragma once
#include <cstdint>

namespace nt_sio {

enum SioStatus : int {
  SIO_OK = 0,
  SIO_NO_MEMORY = 7,
  SIO_SHORT = 128,        // fewer bytes moved than asked (a read that timed out)
  SIO_BAD_HANDLE = 132,
  SIO_NO_PORT = 133,      // no such port
  SIO_EOF = 140,          // the device reported the end
  SIO_IN_USE = 142,       // access denied: the port is in use
  SIO_FAILED = 147,
};

enum SioMode : int { SIO_MODE_READ = 1, SIO_MODE_WRITE = 2, SIO_MODE_READ_WRITE = 3 };

// _setuart's parity codes and flow bits.
enum UartParity : int { UART_NONE = 0, UART_EVEN = 1, UART_ODD = 2, UART_SPACE = 5, UART_MARK = 6 };
constexpr int UART_FLOW_XON_XOFF = 1;
constexpr int UART_FLOW_RTS_CTS = 2;

struct SioPort {
  int fd = -1;
};

int sio_open(const char *name, int mode, SioPort **port);
int sio_read(SioPort *port, int wait, uint8_t *buffer, int count, int *got);
int sio_read_ready(SioPort *port, uint8_t *buffer, int count, int *got);
int sio_write(SioPort *port, int wait, const uint8_t *buffer, int count, int *done);
int sio_close(SioPort *port);
void _setuart(SioPort *port, unsigned baud, int data_bits, int stop_bits, int parity, int flow);

// The pieces above the system calls, for tests: a wait in 10-ms units as
// milliseconds, and a system error number as the status of an open or of a
// transfer.
int sio_wait_ms(int wait);
int sio_open_status(int error);
int sio_transfer_status(int error);

}  // namespace nt_sio
