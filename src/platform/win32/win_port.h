// The read ahead of a COM port (serial_port.cpp), for the wait on it
// (port_wait.cpp):
//   win_port_collect    takes in the read ahead once it has finished
//   win_port_read_ahead starts one when nothing is pending or left over
// Both false when the port failed.
#pragma once
#include "platform/win32/handles.h"

bool win_port_collect(WinPort *p);
bool win_port_read_ahead(WinPort *p);
