// Tokens for COM ports and sockets (handles.h).
#include "platform/win32/handles.h"


#include <array>
#include <chrono>
#include <mutex>
#include <new>
#include <thread>

namespace {

// Port tokens lie far above any socket value Winsock hands out in a small
// program, and far below INT_MAX.
constexpr int PORT_TOKEN_BASE = 0x40000000;
constexpr int PORT_SLOTS = 16;
constexpr int LOOK_STEP_MS = 5;

std::mutex table_lock;
std::array<WinPort *, PORT_SLOTS> ports{};

struct SocketEvent {
  int token = -1;
  WSAEVENT event = WSA_INVALID_EVENT;
};
SocketEvent socket_event;   // the one socket a key wait watches at a time

bool port_readable(const WinPort *p) {
  DWORD errors = 0;
  COMSTAT st{};
  // A port that fails (unplugged) counts as readable: the read then says so.
  if (!ClearCommError(p->handle, &errors, &st)) return true;
  return st.cbInQue > 0 || p->read_have > p->read_taken;
}

}  // namespace

int win_token_add_port(HANDLE port) {
  WinPort *p = new (std::nothrow) WinPort;
  if (!p) return -1;
  p->handle = port;
  p->read_ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  p->write_ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  std::lock_guard<std::mutex> g(table_lock);
  for (int i = 0; p->read_ov.hEvent && p->write_ov.hEvent && i < PORT_SLOTS; i++)
    if (!ports[static_cast<size_t>(i)]) {
      ports[static_cast<size_t>(i)] = p;
      return PORT_TOKEN_BASE + i;
    }
  if (p->read_ov.hEvent) CloseHandle(p->read_ov.hEvent);
  if (p->write_ov.hEvent) CloseHandle(p->write_ov.hEvent);
  delete p;
  return -1;
}

WinPort *win_token_state(int token) {
  int i = token - PORT_TOKEN_BASE;
  if (i < 0 || i >= PORT_SLOTS) return nullptr;
  std::lock_guard<std::mutex> g(table_lock);
  return ports[static_cast<size_t>(i)];
}

HANDLE win_token_port(int token) {
  WinPort *p = win_token_state(token);
  return p ? p->handle : nullptr;
}

void win_token_remove(int token) {
  int i = token - PORT_TOKEN_BASE;
  if (i < 0 || i >= PORT_SLOTS) return;
  WinPort *p;
  {
    std::lock_guard<std::mutex> g(table_lock);
    p = ports[static_cast<size_t>(i)];
    ports[static_cast<size_t>(i)] = nullptr;
  }
  if (!p) return;
  // The overlapped records must outlive the I/O that writes into them.
  if (p->read_pending || p->writing) {
    CancelIoEx(p->handle, nullptr);
    DWORD n;
    if (p->read_pending) GetOverlappedResult(p->handle, &p->read_ov, &n, TRUE);
    if (p->writing) GetOverlappedResult(p->handle, &p->write_ov, &n, TRUE);
  }
  CloseHandle(p->read_ov.hEvent);
  CloseHandle(p->write_ov.hEvent);
  delete p;
}

bool win_token_wait_readable(int token, int ms) {
  if (token < 0) return false;
  if (const WinPort *h = win_token_state(token)) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms < 0 ? 0 : ms);
    for (;;) {
      if (port_readable(h)) return true;
      if (std::chrono::steady_clock::now() >= deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(LOOK_STEP_MS));
    }
  }
  SOCKET s = static_cast<SOCKET>(token);
  fd_set r, e;
  FD_ZERO(&r);
  FD_ZERO(&e);
  FD_SET(s, &r);
  FD_SET(s, &e);
  timeval tv{ms / 1000, (ms % 1000) * 1000};
  return select(0, &r, nullptr, &e, &tv) > 0;
}

HANDLE win_token_arm_readable(int token) {
  if (token < 0 || win_token_port(token)) return nullptr;
  if (socket_event.token != token) {
    if (socket_event.event == WSA_INVALID_EVENT) socket_event.event = WSACreateEvent();
    if (socket_event.event == WSA_INVALID_EVENT) return nullptr;
    socket_event.token = token;
  }
  // FD_READ is signalled again after each recv while data is left; the
  // event is reset here, so a wait sees only what is still there.
  WSAResetEvent(socket_event.event);
  if (WSAEventSelect(static_cast<SOCKET>(token), socket_event.event, FD_READ | FD_CLOSE) != 0) return nullptr;
  return socket_event.event;
}

bool win_sockets_ready() {
  static const bool ready = [] {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  return ready;
}
