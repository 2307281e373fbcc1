// nt_sio over the platform's plain port calls.
#include "term/nt_sio.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <new>

#include "platform/console.h"
#include "platform/serial_port.h"
#include "platform/term_port.h"

namespace nt_sio {

namespace {

constexpr int WAIT_UNIT_MS = 10;
constexpr int SHORTEST_WAIT_MS = 1;

// Ends the program as a port that will not take its settings must: the
// user's terminal is given back first, or the message would vanish with the
// program's screen.
[[noreturn]] void state_failure(const char *call, int error) {
  pcon_close();
  printf("%s (in _setuart (in nt_sio)) returned failure: %ld\n", call, static_cast<long>(error));
  fflush(stdout);
  exit(1);
}

}  // namespace

int sio_wait_ms(int wait) {
  if (wait < 0) return -1;
  if (wait == 0) return SHORTEST_WAIT_MS;
  return wait * WAIT_UNIT_MS;
}

int sio_open_status(int error) {
  switch (error) {
    case 0: return SIO_OK;
    case ENOENT:
    case ENOTDIR:
    case ENXIO:   // a device node with no device behind it
    case ENODEV: return SIO_NO_PORT;
    case EACCES:
    case EPERM:
    case EBUSY: return SIO_IN_USE;
    default: return SIO_FAILED;
  }
}

int sio_transfer_status(int error) {
  switch (error) {
    case 0: return SIO_OK;
    case EBADF: return SIO_BAD_HANDLE;
    case TPORT_EOF: return SIO_EOF;
    default: return SIO_FAILED;
  }
}

int sio_open(const char *name, int mode, SioPort **port) {
  *port = nullptr;
  auto *p = new (std::nothrow) SioPort{};
  if (!p) return SIO_NO_MEMORY;
  int fd;
  int error = tport_open(name, mode & SIO_MODE_READ, mode & SIO_MODE_WRITE, &fd);
  if (error) {
    delete p;
    return sio_open_status(error);
  }
  p->fd = fd;
  *port = p;
  return SIO_OK;
}

int sio_read(SioPort *port, int wait, uint8_t *buffer, int count, int *got) {
  *got = 0;
  if (!port || port->fd < 0) return SIO_BAD_HANDLE;
  int error = tport_read(port->fd, sio_wait_ms(wait), buffer, count, got);
  if (error) return sio_transfer_status(error);
  return *got < count ? SIO_SHORT : SIO_OK;
}

int sio_read_ready(SioPort *port, uint8_t *buffer, int count, int *got) {
  *got = 0;
  if (!port || port->fd < 0) return SIO_BAD_HANDLE;
  constexpr int NOW = 0;
  int error = tport_read(port->fd, NOW, buffer, count, got);
  if (error) return sio_transfer_status(error);
  return *got == 0 ? SIO_SHORT : SIO_OK;
}

int sio_write(SioPort *port, int wait, const uint8_t *buffer, int count, int *done) {
  *done = 0;
  if (!port || port->fd < 0) return SIO_BAD_HANDLE;
  int error = tport_write(port->fd, sio_wait_ms(wait), buffer, count, done);
  if (error) return sio_transfer_status(error);
  return *done < count ? SIO_SHORT : SIO_OK;
}

int sio_close(SioPort *port) {
  if (!port || port->fd < 0 || tport_close(port->fd) != 0) return SIO_BAD_HANDLE;
  delete port;
  return SIO_OK;
}

void _setuart(SioPort *port, unsigned baud, int data_bits, int stop_bits, int parity, int flow) {
  int fd = port ? port->fd : -1;
  TermPortState state;
  int error = tport_get_state(fd, &state);
  if (error) state_failure("GetCommState", error);
  state.baud = baud;
  state.data_bits = data_bits;
  state.stop_bits = stop_bits == 2 ? 2 : 1;
  switch (parity) {
    case UART_NONE: state.parity = PARITY_NONE; break;
    case UART_EVEN: state.parity = PARITY_EVEN; break;
    case UART_ODD: state.parity = PARITY_ODD; break;
    case UART_SPACE: state.parity = PARITY_SPACE; break;
    case UART_MARK: state.parity = PARITY_MARK; break;
    default: break;   // any other code leaves parity as the port had it
  }
  if (parity == UART_NONE) state.parity_check = false;
  else if (parity == UART_EVEN || parity == UART_ODD || parity == UART_SPACE || parity == UART_MARK)
    state.parity_check = true;
  state.xon_xoff = (flow & UART_FLOW_XON_XOFF) != 0;
  state.rts_cts = (flow & UART_FLOW_RTS_CTS) != 0;
  error = tport_set_state(fd, state);
  if (error) state_failure("SetCommState", error);
}

}  // namespace nt_sio
