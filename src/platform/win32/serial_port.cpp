// A COM port as the local byte-stream kind on Windows: opened by name
// (\\.\COMn) for overlapped I/O and not shared (a port in use fails to
// open), set with SetCommState and SetCommTimeouts. RTS while sending
// (RS-485) is asked of the driver in a call of its own: a driver that
// refuses it loses only that, and the port's note says so.
#include "platform/serial_port.h"

#include "platform/win32/windows_api.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/ports.h"
#include "platform/stream_impl.h"
#include "platform/win32/handles.h"
#include "platform/win32/win_port.h"

namespace {

// The shortest gap the driver can time; the reader keeps the line's own
// silences from when its reads end.
constexpr DWORD READ_GAP_MS = 1;
constexpr char RTS_REFUSED[] = "the port cannot raise RTS only while sending (RS-485)";

WinPort *state_of(const SerialPort *port) { return port->fd >= 0 ? win_token_state(port->fd) : nullptr; }
HANDLE handle_of(const SerialPort *port) {
  WinPort *p = state_of(port);
  return p ? p->handle : nullptr;
}

bool queues(const SerialPort *port, COMSTAT *st) {
  HANDLE h = handle_of(port);
  DWORD errors = 0;
  return h && ClearCommError(h, &errors, st);
}

}  // namespace

// The read ahead, when it has finished (false: the port failed).
bool win_port_collect(WinPort *p) {
  if (!p->read_pending) return !p->read_failed;
  DWORD n = 0;
  if (GetOverlappedResult(p->handle, &p->read_ov, &n, FALSE)) {
    p->read_pending = false;
    p->read_have = n;
    p->read_taken = 0;
  } else if (GetLastError() != ERROR_IO_INCOMPLETE) {
    p->read_pending = false;
    p->read_failed = GetLastError() != ERROR_OPERATION_ABORTED;
  }
  return !p->read_failed;
}

// Starts a read ahead when none is pending and none is left to hand out.
// With the port's time-outs it ends at once with the bytes there are, or
// waits for the first; false when the port failed.
bool win_port_read_ahead(WinPort *p) {
  if (p->read_pending || p->read_failed || p->read_taken < p->read_have) return !p->read_failed;
  p->read_have = p->read_taken = 0;
  DWORD n = 0;
  if (ReadFile(p->handle, p->read_buffer, sizeof p->read_buffer, &n, &p->read_ov)) {
    // Done at once; the event is set too, and the count comes from the record.
    if (GetOverlappedResult(p->handle, &p->read_ov, &n, FALSE)) p->read_have = n;
    return true;
  }
  if (GetLastError() == ERROR_IO_PENDING) {
    p->read_pending = true;
    return true;
  }
  p->read_failed = true;
  return false;
}


uint32_t sport_char_us(const PortSettings &s) {
  unsigned bits = 1 + (s.data_bits == 7 ? 7 : 8) + (s.parity == PARITY_NONE ? 0 : 1) + (s.stop_bits == 2 ? 2 : 1);
  unsigned baud = s.baud ? s.baud : 9600;
  return static_cast<uint32_t>((bits * 1000000ull + baud - 1) / baud);
}

bool tty_open(SerialPort *port, const char *list_name, const PortSettings &settings, const StreamWait &) {
  std::string path = plat_port_path(list_name);
  HANDLE h = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED,
                         nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    DWORD e = GetLastError();
    snprintf(port->note, sizeof port->note, "%s", e == ERROR_ACCESS_DENIED ? "the port is in use" : "cannot open the port");
    return false;
  }
  int token = win_token_add_port(h);
  if (token < 0) {
    CloseHandle(h);
    return false;
  }
  port->fd = token;
  port->manual_rts = false;
  // A read waits for the first byte, then ends when the line falls quiet
  // for a moment: the read kept pending is the reader's wait for bytes.
  COMMTIMEOUTS t{};
  t.ReadIntervalTimeout = READ_GAP_MS;
  SetCommTimeouts(h, &t);
  SetupComm(h, 4096, 4096);
  if (!tty_apply(port, settings)) {
    tty_close(port);
    snprintf(port->note, sizeof port->note, "the port refused its settings");
    return false;
  }
  PurgeComm(h, PURGE_RXCLEAR | PURGE_TXCLEAR | PURGE_RXABORT | PURGE_TXABORT);
  return true;
}

void tty_close(SerialPort *port) {
  if (HANDLE h = handle_of(port)) {
    win_token_remove(port->fd);
    CloseHandle(h);
  }
  port->fd = -1;
}

bool tty_apply(SerialPort *port, const PortSettings &s) {
  HANDLE h = handle_of(port);
  if (!h) return false;
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  if (!GetCommState(h, &dcb)) return false;
  dcb.BaudRate = s.baud == 134 ? 135 : s.baud;   // 134.5 is asked for as 135 either way
  dcb.fBinary = TRUE;
  dcb.ByteSize = static_cast<BYTE>(s.data_bits == 7 ? 7 : 8);
  dcb.StopBits = s.stop_bits == 2 ? TWOSTOPBITS : ONESTOPBIT;
  switch (s.parity) {
    case PARITY_EVEN: dcb.Parity = EVENPARITY; break;
    case PARITY_ODD: dcb.Parity = ODDPARITY; break;
    case PARITY_MARK: dcb.Parity = MARKPARITY; break;
    case PARITY_SPACE: dcb.Parity = SPACEPARITY; break;
    default: dcb.Parity = NOPARITY; break;
  }
  dcb.fParity = FALSE;
  dcb.fOutxCtsFlow = s.cts_flow;
  dcb.fOutxDsrFlow = FALSE;
  dcb.fDsrSensitivity = FALSE;
  dcb.fOutX = dcb.fInX = s.xon_xoff;
  dcb.fNull = FALSE;
  dcb.fAbortOnError = FALSE;
  dcb.fDtrControl = DTR_CONTROL_ENABLE;
  dcb.fRtsControl = RTS_CONTROL_ENABLE;
  if (!SetCommState(h, &dcb)) return false;
  port->settings = s;
  port->note[0] = 0;
  if (s.rts_toggle) {
    // Some drivers (and wine) refuse the toggle and with it the whole
    // state: it goes in a call of its own.
    dcb.fRtsControl = RTS_CONTROL_TOGGLE;
    if (!SetCommState(h, &dcb)) snprintf(port->note, sizeof port->note, "%s", RTS_REFUSED);
  }
  return true;
}

int tty_read(SerialPort *port, uint8_t *buffer, int size) {
  WinPort *p = state_of(port);
  if (!p || !win_port_collect(p)) return -1;
  if (size <= 0) return 0;
  if (p->read_taken >= p->read_have && !win_port_read_ahead(p)) return -1;
  if (p->read_pending) return 0;
  DWORD left = p->read_have - p->read_taken;
  DWORD n = left < static_cast<DWORD>(size) ? left : static_cast<DWORD>(size);
  memcpy(buffer, p->read_buffer + p->read_taken, n);
  p->read_taken += n;
  return static_cast<int>(n);
}

// Started and left to the driver: the bytes are copied, so the caller's
// buffer is free again. While one write is on its way the port takes none.
int tty_write(SerialPort *port, const uint8_t *data, int length) {
  WinPort *p = state_of(port);
  if (!p) return -1;
  if (p->writing) {
    DWORD n = 0;
    if (!GetOverlappedResult(p->handle, &p->write_ov, &n, FALSE)) {
      if (GetLastError() == ERROR_IO_INCOMPLETE) return 0;
      p->writing = false;
      return -1;
    }
    p->writing = false;
  }
  if (length <= 0) return 0;
  DWORD n = length < static_cast<int>(sizeof p->write_buffer) ? static_cast<DWORD>(length) : sizeof p->write_buffer;
  memcpy(p->write_buffer, data, n);
  p->write_length = n;
  DWORD done = 0;
  if (!WriteFile(p->handle, p->write_buffer, n, &done, &p->write_ov)) {
    if (GetLastError() != ERROR_IO_PENDING) return -1;
    p->writing = true;
  }
  return static_cast<int>(n);
}

int tty_output_queued(const SerialPort *port) {
  WinPort *p = state_of(port);
  COMSTAT st{};
  if (!p || !queues(port, &st)) return 0;
  // A write on its way counts whole: the driver says only what it holds.
  int pending = p->writing && !HasOverlappedIoCompleted(&p->write_ov) ? static_cast<int>(p->write_length) : 0;
  return pending > static_cast<int>(st.cbOutQue) ? pending : static_cast<int>(st.cbOutQue);
}

int tty_input_queued(const SerialPort *port) {
  WinPort *p = state_of(port);
  COMSTAT st{};
  if (!p || !queues(port, &st)) return 0;
  return static_cast<int>(st.cbInQue + (p->read_have - p->read_taken));
}

bool sport_write_drains(const SerialPort *) { return false; }   // the driver toggles RTS, or nobody does

bool tty_settle(SerialPort *, const StreamWait &) { return true; }

// COM names are not handed out again to another program the way pty
// numbers are: a port that came back under its name is the port again.
PortOrigin sport_origin(const char *) { return PortOrigin{}; }
bool sport_may_reopen(const char *list_name, const PortOrigin &) { return plat_port_exists(list_name); }

// Every rate goes through SetCommState; nothing is left over.
bool sport_set_baud_other(int, unsigned) { return false; }
unsigned sport_read_baud(int fd) {
  HANDLE h = win_token_port(fd);
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  return h && GetCommState(h, &dcb) ? dcb.BaudRate : 0;
}
