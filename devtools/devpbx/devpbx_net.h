/*
 * devpbx_net.h - the few socket calls the development PBX makes, over
 * Winsock on Windows and BSD sockets elsewhere.  Only loopback is used.
 *
 * Include this before anything that pulls in winsock2.h or windows.h: on
 * Windows it widens FD_SETSIZE so that select() serves more than 64 clients.
 */
#ifndef DEVPBX_NET_H
#define DEVPBX_NET_H

#include <stddef.h>
#include <string.h>

#ifdef _WIN32
#ifndef FD_SETSIZE
#define FD_SETSIZE 1024
#endif
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
typedef SOCKET net_socket;
#define NET_INVALID_SOCKET INVALID_SOCKET
#else
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>
typedef int net_socket;
#define NET_INVALID_SOCKET (-1)
#endif

static inline int net_startup(void)
{
#ifdef _WIN32
    WSADATA wsa;
    return WSAStartup(MAKEWORD(2, 2), &wsa) == 0;
#else
    /* A client that hangs up mid-reply must not kill the PBX. */
    signal(SIGPIPE, SIG_IGN);
    return 1;
#endif
}

static inline void net_cleanup(void)
{
#ifdef _WIN32
    WSACleanup();
#endif
}

static inline void net_close(net_socket s)
{
#ifdef _WIN32
    closesocket(s);
#else
    close(s);
#endif
}

static inline void net_set_nonblocking(net_socket s)
{
#ifdef _WIN32
    u_long on = 1;
    ioctlsocket(s, FIONBIO, &on);
#else
    fcntl(s, F_SETFL, fcntl(s, F_GETFL, 0) | O_NONBLOCK);
#endif
}

/* The last call failed only because it would have blocked. */
static inline int net_would_block(void)
{
#ifdef _WIN32
    return WSAGetLastError() == WSAEWOULDBLOCK;
#else
    return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
#endif
}

/* select() can watch this socket (POSIX limits the descriptor's value,
 * Windows the number of sockets, which the caller counts). */
static inline int net_fits_select(net_socket s)
{
#ifdef _WIN32
    (void)s;
    return 1;
#else
    return s >= 0 && s < FD_SETSIZE;
#endif
}

static inline void net_loopback_address(struct sockaddr_in *a, int port)
{
    memset(a, 0, sizeof *a);
    a->sin_family = AF_INET;
    a->sin_port = htons((unsigned short)port);
    a->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
}

/* A listening socket on 127.0.0.1:port, or NET_INVALID_SOCKET. */
static inline net_socket net_listen_loopback(int port)
{
    net_socket s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == NET_INVALID_SOCKET) return s;
    int on = 1;
#ifdef _WIN32
    /* Windows' SO_REUSEADDR would let a second PBX steal the port. */
    setsockopt(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, (const char *)&on, sizeof on);
#else
    setsockopt(s, SOL_SOCKET, SO_REUSEADDR, (const char *)&on, sizeof on);
#endif
    struct sockaddr_in a;
    net_loopback_address(&a, port);
    if (bind(s, (struct sockaddr *)&a, sizeof a) != 0 || listen(s, 64) != 0) {
        net_close(s);
        return NET_INVALID_SOCKET;
    }
    net_set_nonblocking(s);
    return s;
}

/* A blocking connection to 127.0.0.1:port, or NET_INVALID_SOCKET. */
static inline net_socket net_connect_loopback(int port)
{
    net_socket s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == NET_INVALID_SOCKET) return s;
    struct sockaddr_in a;
    net_loopback_address(&a, port);
    if (connect(s, (struct sockaddr *)&a, sizeof a) != 0) {
        net_close(s);
        return NET_INVALID_SOCKET;
    }
    return s;
}

static inline void net_set_nodelay(net_socket s)
{
    int on = 1;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, (const char *)&on, sizeof on);
}

static inline long net_send(net_socket s, const char *data, size_t len)
{
#ifdef _WIN32
    return send(s, data, (int)(len > 0x7fffffff ? 0x7fffffff : len), 0);
#else
    return (long)send(s, data, len, 0);
#endif
}

static inline long net_recv(net_socket s, char *buf, size_t len)
{
#ifdef _WIN32
    return recv(s, buf, (int)len, 0);
#else
    return (long)recv(s, buf, len, 0);
#endif
}

/* Waits up to timeout_ms for the socket to become readable: 1 readable,
 * 0 time-out, -1 error. */
static inline int net_wait_readable(net_socket s, int timeout_ms)
{
    fd_set rd;
    FD_ZERO(&rd);
    FD_SET(s, &rd);
    struct timeval tv;
    tv.tv_sec = timeout_ms / 1000;
    tv.tv_usec = (timeout_ms % 1000) * 1000;
    int n = select((int)(s + 1), &rd, NULL, NULL, &tv);
    return n > 0 ? 1 : n;
}

#endif /* DEVPBX_NET_H */
