// The few socket calls the console makes, behind one interface for Windows
// Sockets 2 (net_win32.cpp) and BSD sockets (net_posix.cpp). Nothing else in
// the console knows which one it runs on.
#ifndef QUELVARON_CONSOLE_NET_H
#define QUELVARON_CONSOLE_NET_H

#include <stdint.h>

// Wide enough for a Windows SOCKET and a POSIX descriptor alike.
typedef uintptr_t net_socket;
#define NET_INVALID_SOCKET ((net_socket) ~(uintptr_t)0)

// Socket library start-up (WSAStartup 2.2) and clean-up; 0 is success.
int net_startup(void);
void net_cleanup(void);

// The last socket error code (WSAGetLastError / errno).
int net_last_error(void);

// A TCP socket (AF_INET, SOCK_STREAM, IPPROTO_TCP), or NET_INVALID_SOCKET.
net_socket net_tcp_socket(void);

// Connects to 127.0.0.1 on the low 16 bits of port; 0 on success, -1 on failure.
int net_connect_loopback(net_socket s, int port);

// Sends len bytes, all of them unless the connection fails; returns the
// count sent, or 0 or less on failure. Never raises a signal.
int net_send(net_socket s, const char *buf, int len);

// One receive of at most len bytes: the count, 0 when the peer closed, less
// than 0 on error.
int net_recv(net_socket s, char *buf, int len);

// Waits up to timeout_ms for data (or the peer's close) to be readable:
// 1 readable, 0 time-out, -1 error.
int net_wait_readable(net_socket s, int timeout_ms);

void net_close(net_socket s);

#endif
