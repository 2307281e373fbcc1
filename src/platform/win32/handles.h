// What the headers above the platform pass as an int descriptor is, on
// Windows, a token: a socket's value as it is (Winsock's socket values fit
// in 32 bits), or a COM port's entry here.
//   win_token_add_port     a COM port's HANDLE gets a token (-1: table full)
//   win_token_port         the HANDLE of a port token (null: no such token)
//   win_token_remove       forgets a port token (the caller closes the handle)
//   win_token_wait_readable  up to ms for input, or for the far end gone:
//                          a port token or a socket
//   win_token_arm_readable an event set while the token has input, for one
//                          wait beside others; null when the token has none
//                          (the caller then looks in short steps)
#pragma once
#include "platform/win32/windows_api.h"

int win_token_add_port(HANDLE port);
HANDLE win_token_port(int token);
void win_token_remove(int token);
bool win_token_wait_readable(int token, int ms);
HANDLE win_token_arm_readable(int token);

// Winsock is started once, before the first socket (true when it runs).
bool win_sockets_ready();
