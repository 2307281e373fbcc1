// The terminal emulator's port on Windows: a COM port opened by name for
// overlapped I/O (so a read and the key wait never hold each other up), its
// state through GetCommState/SetCommState; a remote port through its stream
// kind. Errors are given as the errno values the POSIX side gives.
#include "platform/term_port.h"

#include "platform/win32/windows_api.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "platform/byte_stream.h"
#include "platform/ports.h"
#include "platform/serial_port.h"
#include "platform/win32/handles.h"
#include "platform/win32/win32_console.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint8_t INTERRUPT_BYTE = 0x03;
constexpr unsigned SETTLE_STEPS = 50;
constexpr int REMOTE_SLOTS = 4;
SerialPort remote_ports[REMOTE_SLOTS];

SerialPort *remote_port(int fd) {
  if (fd < 0) return nullptr;
  for (SerialPort &p : remote_ports)
    if (p.fd == fd && p.kind != STREAM_TTY) return &p;
  return nullptr;
}

int remote_open_error(const SerialPort &p) {
  const char *note = p.note;
  if (strstr(note, "host not found") || strstr(note, "not HOST:PORT")) return ENOENT;
  if (strstr(note, "refused")) return ECONNREFUSED;
  if (strstr(note, "given up")) return ECANCELED;
  if (strstr(note, "no answer")) return ETIMEDOUT;
  return EIO;
}

int errno_of(DWORD error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND: case ERROR_PATH_NOT_FOUND: case ERROR_INVALID_NAME: return ENOENT;
    case ERROR_ACCESS_DENIED: case ERROR_SHARING_VIOLATION: return EBUSY;
    case ERROR_INVALID_HANDLE: return EBADF;
    case ERROR_NOT_ENOUGH_MEMORY: case ERROR_OUTOFMEMORY: return ENOMEM;
    case ERROR_INVALID_PARAMETER: return EINVAL;
    default: return EIO;
  }
}

int left_ms(bool limited, Clock::time_point deadline) {
  if (!limited) return -1;
  auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline - Clock::now()).count();
  return left > 0 ? static_cast<int>((left + 999) / 1000) : 0;
}

// One overlapped read or write of up to n bytes within ms (-1: no limit);
// bytes moved, or -1 with the error in *error.
int port_io(HANDLE h, bool write, uint8_t *buffer, int n, int ms, int *error) {
  OVERLAPPED ov{};
  ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (!ov.hEvent) {
    *error = ENOMEM;
    return -1;
  }
  DWORD moved = 0;
  BOOL ok = write ? WriteFile(h, buffer, static_cast<DWORD>(n), nullptr, &ov)
                  : ReadFile(h, buffer, static_cast<DWORD>(n), nullptr, &ov);
  if (!ok && GetLastError() == ERROR_IO_PENDING) {
    if (WaitForSingleObject(ov.hEvent, ms < 0 ? INFINITE : static_cast<DWORD>(ms)) != WAIT_OBJECT_0) {
      CancelIo(h);
    }
    ok = GetOverlappedResult(h, &ov, &moved, TRUE);
    if (!ok && GetLastError() == ERROR_OPERATION_ABORTED) ok = TRUE;
  } else if (ok) {
    ok = GetOverlappedResult(h, &ov, &moved, TRUE);
  }
  DWORD last = GetLastError();
  CloseHandle(ov.hEvent);
  if (!ok) {
    *error = errno_of(last);
    return -1;
  }
  return static_cast<int>(moved);
}

// A read ends as soon as bytes have come (or at once with those already
// there); how long it waits for the first is the caller's time-out, kept by
// the overlapped wait.
void set_timeouts(HANDLE h) {
  COMMTIMEOUTS t{};
  t.ReadIntervalTimeout = 1;   // the read ends once the line is quiet for a moment
  SetCommTimeouts(h, &t);
}

}  // namespace

int tport_open(const char *list_name, bool read, bool write, int *fd, int (*step)(int), int user) {
  *fd = -1;
  if (!list_name || !*list_name) return ENOENT;
  if (stream_name_remote(list_name)) {
    SerialPort *slot = nullptr;
    for (SerialPort &p : remote_ports)
      if (p.fd < 0) slot = &p;
    if (!slot) return EMFILE;
    PortSettings raw;
    raw.parity = PARITY_NONE;
    raw.cts_flow = false;
    StreamWait wait;
    wait.step = step;
    wait.user = user;
    *slot = SerialPort{};
    if (!sport_open(slot, list_name, raw, wait)) {
      int err = remote_open_error(*slot);
      slot->fd = -1;
      slot->kind = STREAM_TTY;
      return err;
    }
    *fd = slot->fd;
    return 0;
  }
  std::string path = plat_port_path(list_name);
  DWORD access = (read ? GENERIC_READ : 0) | (write ? GENERIC_WRITE : 0);
  // No sharing: a port the link or another program holds fails to open.
  HANDLE h = CreateFileA(path.c_str(), access, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
  if (h == INVALID_HANDLE_VALUE) return errno_of(GetLastError());
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  if (GetFileType(h) != FILE_TYPE_CHAR || !GetCommState(h, &dcb)) {
    CloseHandle(h);
    return ENOTTY;   // a file or NUL has no line settings to take
  }
  dcb.fBinary = TRUE;
  dcb.fOutxCtsFlow = dcb.fOutxDsrFlow = FALSE;
  dcb.fDsrSensitivity = FALSE;
  dcb.fOutX = dcb.fInX = FALSE;
  dcb.fNull = FALSE;
  dcb.fAbortOnError = FALSE;
  SetCommState(h, &dcb);
  set_timeouts(h);
  PurgeComm(h, PURGE_RXCLEAR | PURGE_TXCLEAR | PURGE_RXABORT | PURGE_TXABORT);
  int token = win_token_add_port(h);
  if (token < 0) {
    CloseHandle(h);
    return EMFILE;
  }
  *fd = token;
  return 0;
}

int tport_close(int fd) {
  if (SerialPort *p = remote_port(fd)) {
    sport_close(p);
    *p = SerialPort{};
    return 0;
  }
  HANDLE h = win_token_port(fd);
  if (!h) return EBADF;
  win_token_remove(fd);
  return CloseHandle(h) ? 0 : EIO;
}

const char *tport_note(int fd) {
  SerialPort *p = remote_port(fd);
  return p ? p->note : "";
}

int tport_read(int fd, int timeout_ms, uint8_t *buffer, int count, int *got) {
  *got = 0;
  bool limited = timeout_ms >= 0;
  Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(limited ? timeout_ms : 0);
  if (SerialPort *p = remote_port(fd)) {
    while (*got < count) {
      int n = sport_read(p, buffer + *got, count - *got);
      if (n > 0) {
        *got += n;
        continue;
      }
      if (n < 0) {
        if (limited) std::this_thread::sleep_until(deadline);
        return TPORT_EOF;
      }
      int wait = left_ms(limited, deadline);
      if (wait == 0) return 0;
      win_token_wait_readable(fd, wait < 0 ? 100 : wait);
    }
    return 0;
  }
  HANDLE h = win_token_port(fd);
  if (!h) return EBADF;
  while (*got < count) {
    int wait = left_ms(limited, deadline);
    int error = 0;
    int n = port_io(h, false, buffer + *got, count - *got, wait, &error);
    if (n < 0) {
      if (limited) std::this_thread::sleep_until(deadline);
      return error;
    }
    *got += n;
    if (n == 0 && left_ms(limited, deadline) == 0) return 0;
  }
  return 0;
}

int tport_write(int fd, int timeout_ms, const uint8_t *buffer, int count, int *done) {
  *done = 0;
  bool limited = timeout_ms >= 0;
  Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(limited ? timeout_ms : 0);
  if (SerialPort *p = remote_port(fd)) {
    while (*done < count) {
      int n = sport_write(p, buffer + *done, count - *done);
      if (n > 0) {
        *done += n;
        continue;
      }
      if (n < 0) return TPORT_EOF;
      if (left_ms(limited, deadline) == 0) return 0;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return 0;
  }
  HANDLE h = win_token_port(fd);
  if (!h) return EBADF;
  while (*done < count) {
    int wait = left_ms(limited, deadline);
    int error = 0;
    int n = port_io(h, true, const_cast<uint8_t *>(buffer) + *done, count - *done, wait, &error);
    if (n < 0) return error;
    *done += n;
    if (n == 0 || wait == 0) return 0;
  }
  return 0;
}

int tport_get_state(int fd, TermPortState *state) {
  if (SerialPort *p = remote_port(fd)) {
    const PortSettings &s = p->settings;
    TermPortState t;
    t.baud = s.baud;
    t.data_bits = s.data_bits;
    t.stop_bits = s.stop_bits;
    t.parity = s.parity;
    t.parity_check = s.parity != PARITY_NONE;
    t.xon_xoff = s.xon_xoff;
    t.rts_cts = s.cts_flow;
    *state = t;
    return 0;
  }
  HANDLE h = win_token_port(fd);
  if (!h) return EBADF;
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  if (!GetCommState(h, &dcb)) return errno_of(GetLastError());
  TermPortState s;
  s.baud = dcb.BaudRate;
  s.data_bits = dcb.ByteSize >= 5 && dcb.ByteSize <= 8 ? dcb.ByteSize : 8;
  s.stop_bits = dcb.StopBits == TWOSTOPBITS ? 2 : 1;
  switch (dcb.Parity) {
    case EVENPARITY: s.parity = PARITY_EVEN; break;
    case ODDPARITY: s.parity = PARITY_ODD; break;
    case MARKPARITY: s.parity = PARITY_MARK; break;
    case SPACEPARITY: s.parity = PARITY_SPACE; break;
    default: s.parity = PARITY_NONE; break;
  }
  s.parity_check = dcb.fParity != 0;
  s.xon_xoff = dcb.fOutX != 0;
  s.rts_cts = dcb.fOutxCtsFlow != 0;
  *state = s;
  return 0;
}

int tport_set_state(int fd, const TermPortState &s) {
  if (SerialPort *p = remote_port(fd)) {
    PortSettings ps = p->settings;
    ps.baud = s.baud;
    ps.data_bits = s.data_bits;
    ps.stop_bits = s.stop_bits;
    ps.parity = s.parity;
    ps.xon_xoff = s.xon_xoff;
    ps.cts_flow = s.rts_cts;
    if (!sport_apply(p, ps)) return EIO;
    StreamWait wait;
    wait.steps = SETTLE_STEPS;
    sport_settle(p, wait);
    return 0;
  }
  HANDLE h = win_token_port(fd);
  if (!h) return EBADF;
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  if (!GetCommState(h, &dcb)) return errno_of(GetLastError());
  dcb.BaudRate = s.baud;
  dcb.ByteSize = static_cast<BYTE>(s.data_bits >= 5 && s.data_bits <= 8 ? s.data_bits : 8);
  dcb.StopBits = s.stop_bits == 2 ? TWOSTOPBITS : ONESTOPBIT;
  switch (s.parity) {
    case PARITY_EVEN: dcb.Parity = EVENPARITY; break;
    case PARITY_ODD: dcb.Parity = ODDPARITY; break;
    case PARITY_MARK: dcb.Parity = MARKPARITY; break;
    case PARITY_SPACE: dcb.Parity = SPACEPARITY; break;
    default: dcb.Parity = NOPARITY; break;
  }
  dcb.fParity = s.parity_check && s.parity != PARITY_NONE;
  dcb.fOutX = dcb.fInX = s.xon_xoff;
  dcb.fOutxCtsFlow = s.rts_cts;
  dcb.fRtsControl = s.rts_cts ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_ENABLE;
  dcb.fDtrControl = DTR_CONTROL_ENABLE;
  if (!SetCommState(h, &dcb)) return errno_of(GetLastError());
  return 0;
}

void win_send_interrupt(int token) {
  uint8_t b = INTERRUPT_BYTE;
  if (SerialPort *p = remote_port(token)) {
    sport_write(p, &b, 1);
    return;
  }
  if (HANDLE h = win_token_port(token)) {
    int error = 0;
    port_io(h, true, &b, 1, 100, &error);
  }
}

void tport_trap_interrupt(int fd) { InterlockedExchange(&win_interrupt_token, fd); }
void tport_release_interrupt() { InterlockedExchange(&win_interrupt_token, -1); }

FILE *tport_open_capture(const char *path) {
  DWORD attributes = GetFileAttributesA(path);
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) return nullptr;
  return fopen(path, "wb");
}
