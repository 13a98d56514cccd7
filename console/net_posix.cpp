// BSD sockets for the console (Linux and other POSIX systems).
#include "net.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

// A send on a connection the PBX closed must fail, not kill the console.
#ifdef MSG_NOSIGNAL
#define NET_SEND_FLAGS MSG_NOSIGNAL
#else
#define NET_SEND_FLAGS 0
#endif

int net_startup(void)
{
    return 0;
}

void net_cleanup(void)
{
}

int net_last_error(void)
{
    return errno;
}

net_socket net_tcp_socket(void)
{
    int fd = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (fd < 0)
        return NET_INVALID_SOCKET;
#ifdef SO_NOSIGPIPE
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_NOSIGPIPE, &on, sizeof on);
#endif
    return (net_socket)fd;
}

int net_connect_loopback(net_socket s, int port)
{
    struct sockaddr_in addr;
    memset(&addr, 0, sizeof addr);
    addr.sin_family = AF_INET;
    addr.sin_port = htons((unsigned short)port);
    inet_pton(AF_INET, "127.0.0.1", &addr.sin_addr);
    int rc;
    do
        rc = connect((int)s, (struct sockaddr *)&addr, sizeof addr);
    while (rc < 0 && errno == EINTR);
    return rc == 0 ? 0 : -1;
}

int net_send(net_socket s, const char *buf, int len)
{
    int sent = 0;
    while (sent < len) {
        ssize_t n = send((int)s, buf + sent, (size_t)(len - sent), NET_SEND_FLAGS);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return sent > 0 ? sent : (int)n;
        sent += (int)n;
    }
    return sent;
}

int net_recv(net_socket s, char *buf, int len)
{
    ssize_t n;
    do
        n = recv((int)s, buf, (size_t)len, 0);
    while (n < 0 && errno == EINTR);
    return (int)n;
}

int net_wait_readable(net_socket s, int timeout_ms)
{
    struct pollfd p;
    p.fd = (int)s;
    p.events = POLLIN;
    p.revents = 0;
    int rc;
    do
        rc = poll(&p, 1, timeout_ms);
    while (rc < 0 && errno == EINTR);
    if (rc < 0)
        return -1;
    return rc > 0 ? 1 : 0;
}

void net_close(net_socket s)
{
    close((int)s);
}
