// What each system's TCP layer (tcp_socket.cpp, win32/tcp_socket.cpp)
// gives the host look-up both share (tcp_resolve.cpp):
//   tcp_sockets_ready   the system's sockets can be used (Winsock started)
#pragma once

bool tcp_sockets_ready();
