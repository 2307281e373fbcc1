// A COM port as the local byte-stream kind on Windows: opened by name
// (\\.\COMn) for overlapped I/O and not shared (a port in use fails to
// open), set with SetCommState and SetCommTimeouts. RTS while sending
// (RS-485) is asked of the driver in a call of its own: a driver that
// refuses it loses only that, and the port's note says so.
#include "platform/serial_port.h"

#include "platform/win32/windows_api.h"

#include <chrono>
#include <cstdio>
#include <string>

#include "platform/ports.h"
#include "platform/stream_impl.h"
#include "platform/win32/handles.h"

namespace {

constexpr char RTS_REFUSED[] = "the port cannot raise RTS only while sending (RS-485)";

HANDLE handle_of(const SerialPort *port) { return port->fd >= 0 ? win_token_port(port->fd) : nullptr; }

// Waits for an overlapped operation up to ms; bytes moved, or -1 when the
// port failed.
int finish(HANDLE h, OVERLAPPED &ov, BOOL started, DWORD ms) {
  DWORD moved = 0;
  if (!started) {
    if (GetLastError() != ERROR_IO_PENDING) return -1;
    if (WaitForSingleObject(ov.hEvent, ms) != WAIT_OBJECT_0) CancelIo(h);
  }
  if (!GetOverlappedResult(h, &ov, &moved, TRUE)) return GetLastError() == ERROR_OPERATION_ABORTED ? 0 : -1;
  return static_cast<int>(moved);
}

bool queues(const SerialPort *port, COMSTAT *st) {
  HANDLE h = handle_of(port);
  DWORD errors = 0;
  return h && ClearCommError(h, &errors, st);
}

}  // namespace

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
  // Reads end with what has come: the reader waits for bytes itself.
  COMMTIMEOUTS t{};
  t.ReadIntervalTimeout = MAXDWORD;
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
  HANDLE h = handle_of(port);
  COMSTAT st{};
  if (!h || !queues(port, &st)) return -1;
  if (st.cbInQue == 0 || size <= 0) return 0;
  DWORD want = st.cbInQue < static_cast<DWORD>(size) ? st.cbInQue : static_cast<DWORD>(size);
  OVERLAPPED ov{};
  ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (!ov.hEvent) return 0;
  int n = finish(h, ov, ReadFile(h, buffer, want, nullptr, &ov), 1000);
  CloseHandle(ov.hEvent);
  return n;
}

int tty_write(SerialPort *port, const uint8_t *data, int length) {
  HANDLE h = handle_of(port);
  if (!h) return -1;
  if (length <= 0) return 0;
  OVERLAPPED ov{};
  ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (!ov.hEvent) return 0;
  // The driver takes what it has room for; a port held up by flow control
  // gives way after a while, with what it took.
  DWORD ms = 1000 + static_cast<DWORD>(static_cast<uint64_t>(sport_char_us(port->settings)) * length / 1000);
  int n = finish(h, ov, WriteFile(h, data, static_cast<DWORD>(length), nullptr, &ov), ms);
  CloseHandle(ov.hEvent);
  return n;
}

int tty_output_queued(const SerialPort *port) {
  COMSTAT st{};
  return queues(port, &st) ? static_cast<int>(st.cbOutQue) : 0;
}

int tty_input_queued(const SerialPort *port) {
  COMSTAT st{};
  return queues(port, &st) ? static_cast<int>(st.cbInQue) : 0;
}

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
