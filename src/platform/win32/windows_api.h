// The Windows headers, as every Win32 file of the platform takes them:
// Winsock first (windows.h would bring the old winsock.h), and the COMMPROP
// parity macros taken away again, since they share their names with the
// PortParity constants of platform/serial_port.h (and would quietly change
// their values).
#pragma once
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#undef PARITY_NONE
#undef PARITY_ODD
#undef PARITY_EVEN
#undef PARITY_MARK
#undef PARITY_SPACE
