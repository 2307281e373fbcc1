// The link reader's wait on Windows: one WaitForMultipleObjects on the wake
// event, the COM port's pending read ahead and, when asked, its write on its
// way; a remote port's socket through a Winsock event.
#include "platform/port_wait.h"

#include <new>

#include "platform/win32/handles.h"
#include "platform/win32/win_port.h"
#include "platform/win32/windows_api.h"

struct PortWake {
  HANDLE event = nullptr;   // auto-reset: wake-ups before the wait count as one
  // The socket of a remote port and its event, made at its first wait.
  int socket_token = -1;
  WSAEVENT socket_event = WSA_INVALID_EVENT;
};

namespace {

DWORD wait_ms(int64_t timeout_us) {
  if (timeout_us < 0) return INFINITE;
  // Rounded up: a wait cut to 0 would spin until the time comes.
  int64_t ms = (timeout_us + 999) / 1000;
  return ms >= static_cast<int64_t>(INFINITE) ? INFINITE - 1 : static_cast<DWORD>(ms);
}

bool consume_wake(PortWake *wake) { return wake && WaitForSingleObject(wake->event, 0) == WAIT_OBJECT_0; }

unsigned wait_com(WinPort *p, bool want_write, PortWake *wake, int64_t timeout_us) {
  unsigned flags = 0;
  if (!win_port_collect(p) || !win_port_read_ahead(p)) return PORT_WAIT_HANGUP;
  if (p->read_have > p->read_taken) flags |= PORT_WAIT_READABLE;
  bool write_done = !p->writing || HasOverlappedIoCompleted(&p->write_ov);
  if (want_write && write_done) flags |= PORT_WAIT_WRITABLE;
  if (flags) return flags | (consume_wake(wake) ? unsigned(PORT_WAIT_WOKEN) : 0u);
  HANDLE handles[3];
  DWORD n = 0;
  int wake_at = -1, read_at = -1, write_at = -1;
  if (wake) {
    wake_at = static_cast<int>(n);
    handles[n++] = wake->event;
  }
  if (p->read_pending) {
    read_at = static_cast<int>(n);
    handles[n++] = p->read_ov.hEvent;
  }
  if (want_write && p->writing) {
    write_at = static_cast<int>(n);
    handles[n++] = p->write_ov.hEvent;
  }
  DWORD r = n ? WaitForMultipleObjects(n, handles, FALSE, wait_ms(timeout_us)) : (Sleep(wait_ms(timeout_us)), WAIT_TIMEOUT);
  if (r == WAIT_FAILED) return PORT_WAIT_FAILED;
  if (r == WAIT_TIMEOUT) return 0;
  int at = static_cast<int>(r - WAIT_OBJECT_0);
  if (at == wake_at) flags |= PORT_WAIT_WOKEN;
  // The others are looked at whichever woke the wait.
  if (!win_port_collect(p)) return flags | PORT_WAIT_HANGUP;
  if (read_at >= 0 && p->read_have > p->read_taken) flags |= PORT_WAIT_READABLE;
  if (write_at >= 0 && HasOverlappedIoCompleted(&p->write_ov)) flags |= PORT_WAIT_WRITABLE;
  return flags;
}

unsigned wait_socket(int token, bool want_write, PortWake *wake, int64_t timeout_us) {
  if (!wake) return 0;
  if (wake->socket_event == WSA_INVALID_EVENT) wake->socket_event = WSACreateEvent();
  if (wake->socket_event == WSA_INVALID_EVENT) return PORT_WAIT_FAILED;
  SOCKET s = static_cast<SOCKET>(static_cast<unsigned>(token));
  wake->socket_token = token;
  // Recorded again on each call: data already waiting sets the event at once.
  WSAResetEvent(wake->socket_event);
  long events = FD_READ | FD_CLOSE | (want_write ? FD_WRITE : 0);
  if (WSAEventSelect(s, wake->socket_event, events) != 0) return PORT_WAIT_FAILED;
  HANDLE handles[2] = {wake->event, wake->socket_event};
  DWORD r = WaitForMultipleObjects(2, handles, FALSE, wait_ms(timeout_us));
  if (r == WAIT_FAILED) return PORT_WAIT_FAILED;
  unsigned flags = r == WAIT_OBJECT_0 ? unsigned(PORT_WAIT_WOKEN) : 0u;
  WSANETWORKEVENTS what{};
  if (WSAEnumNetworkEvents(s, wake->socket_event, &what) == 0) {
    if (what.lNetworkEvents & FD_READ) flags |= PORT_WAIT_READABLE;
    if (what.lNetworkEvents & FD_WRITE) flags |= PORT_WAIT_WRITABLE;
    if (what.lNetworkEvents & FD_CLOSE) flags |= PORT_WAIT_HANGUP | PORT_WAIT_READABLE;
  }
  // FD_WRITE is told once after connecting and after a full buffer only:
  // a socket that took the last write whole takes more.
  if (want_write) {
    fd_set w;
    FD_ZERO(&w);
    FD_SET(s, &w);
    timeval now{0, 0};
    if (select(0, nullptr, &w, nullptr, &now) > 0) flags |= PORT_WAIT_WRITABLE;
  }
  return flags;
}

}  // namespace

PortWake *port_wake_create() {
  PortWake *wake = new (std::nothrow) PortWake;
  if (!wake) return nullptr;
  wake->event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  if (!wake->event) {
    delete wake;
    return nullptr;
  }
  return wake;
}

void port_wake_destroy(PortWake *wake) {
  if (!wake) return;
  CloseHandle(wake->event);
  if (wake->socket_event != WSA_INVALID_EVENT) WSACloseEvent(wake->socket_event);
  delete wake;
}

void port_wake_signal(PortWake *wake) {
  if (wake) SetEvent(wake->event);
}

unsigned port_wait(SerialPort *port, unsigned watch, PortWake *wake, int64_t timeout_us) {
  bool want_write = (watch & PORT_WATCH_WRITE) != 0;
  if (port && port->fd >= 0) {
    if (WinPort *p = win_token_state(port->fd)) return wait_com(p, want_write, wake, timeout_us);
    return wait_socket(port->fd, want_write, wake, timeout_us);
  }
  if (!wake) {
    Sleep(wait_ms(timeout_us));
    return 0;
  }
  DWORD r = WaitForSingleObject(wake->event, wait_ms(timeout_us));
  if (r == WAIT_FAILED) return PORT_WAIT_FAILED;
  return r == WAIT_OBJECT_0 ? unsigned(PORT_WAIT_WOKEN) : 0u;
}

// Never asked for where the input is not lent (port_wait_lends_input), but
// answers as a wait for the port's input alone would.
unsigned port_wait_input(SerialPort *port, int64_t timeout_us) {
  return port_wait(port, PORT_WATCH_READ, nullptr, timeout_us);
}
