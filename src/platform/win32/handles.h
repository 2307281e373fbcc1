// What the headers above the platform pass as an int descriptor is, on
// Windows, a token: a socket's value as it is (Winsock's socket values fit
// in 32 bits), or a COM port's entry here.
//   win_token_add_port     a COM port's HANDLE gets a token and its record
//                          (-1: table full, or no events could be made)
//   win_token_port         the HANDLE of a port token (null: no such token)
//   win_token_state        the record of a port token (null: none)
//   win_token_remove       ends the record's I/O and forgets it (the caller
//                          closes the handle afterwards)
//   win_token_wait_readable  up to ms for input, or for the far end gone:
//                          a port token or a socket
//   win_token_arm_readable an event set while the token has input, for one
//                          wait beside others; null when the token has none
//                          (the caller then looks in short steps)
//   win_sockets_ready      Winsock is started once, before the first socket
#pragma once
#include <cstdint>

#include "platform/win32/windows_api.h"

// A COM port's overlapped I/O, kept between calls: the link's reader keeps
// a read pending as its wait for bytes, and a write returns once started,
// so neither waits on the line.
struct WinPort {
  HANDLE handle = nullptr;
  OVERLAPPED read_ov{};
  bool read_pending = false;
  uint8_t read_buffer[512] = {};
  DWORD read_have = 0, read_taken = 0;   // bytes read ahead, and those handed out
  bool read_failed = false;
  OVERLAPPED write_ov{};
  bool writing = false;
  DWORD write_length = 0;
  uint8_t write_buffer[512] = {};
};

int win_token_add_port(HANDLE port);
HANDLE win_token_port(int token);
WinPort *win_token_state(int token);
void win_token_remove(int token);
bool win_token_wait_readable(int token, int ms);
HANDLE win_token_arm_readable(int token);

bool win_sockets_ready();
