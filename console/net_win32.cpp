// Windows Sockets 2 for the console.
#include "net.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <string.h>

int net_startup(void)
{
    WSADATA wsa;
    return WSAStartup(MAKEWORD(2, 2), &wsa);
}

void net_cleanup(void)
{
    WSACleanup();
}

int net_last_error(void)
{
    return WSAGetLastError();
}

net_socket net_tcp_socket(void)
{
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    return s == INVALID_SOCKET ? NET_INVALID_SOCKET : (net_socket)s;
}

int net_connect_loopback(net_socket s, int port)
{
    struct sockaddr_in addr;
    memset(&addr, 0, sizeof addr);
    addr.sin_family = AF_INET;
    addr.sin_port = htons((unsigned short)port);
    inet_pton(AF_INET, "127.0.0.1", &addr.sin_addr);
    return connect((SOCKET)s, (struct sockaddr *)&addr, sizeof addr) == SOCKET_ERROR ? -1 : 0;
}

int net_send(net_socket s, const char *buf, int len)
{
    int sent = 0;
    while (sent < len) {
        int n = send((SOCKET)s, buf + sent, len - sent, 0);
        if (n <= 0)
            return sent > 0 ? sent : n;
        sent += n;
    }
    return sent;
}

int net_recv(net_socket s, char *buf, int len)
{
    return recv((SOCKET)s, buf, len, 0);
}

int net_wait_readable(net_socket s, int timeout_ms)
{
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET((SOCKET)s, &readable);
    struct timeval tv;
    tv.tv_sec = timeout_ms / 1000;
    tv.tv_usec = (timeout_ms % 1000) * 1000;
    int rc = select(0, &readable, NULL, NULL, &tv);
    if (rc == SOCKET_ERROR)
        return -1;
    return rc > 0 ? 1 : 0;
}

void net_close(net_socket s)
{
    closesocket((SOCKET)s);
}
