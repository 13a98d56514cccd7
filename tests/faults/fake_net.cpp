// net.h over an in-memory PBX, linked into the console for the fault
// injection test. QV_FAKE_NET="<k> <persistent> <report file>": call k that
// can fail (and, persistent, every later one) fails as the real one does.
// Waits never wait: the data is there, or it never comes.
#include "net.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <deque>
#include <string>

namespace {

#ifdef _WIN32
#define RESET 10054 // WSAECONNRESET
#else
#define RESET ECONNRESET
#endif
// How each call fails: its own failing return, then this net_last_error.
enum { STARTUP, SOCKET, CONNECT, SEND, RECV, WAIT };
const struct { const char *name; int error; } kFails[] = {
    {"net_startup", 10091}, {"net_tcp_socket", EMFILE}, {"net_connect_loopback", ECONNREFUSED},
    {"net_send", RESET},    {"net_recv", RESET},       {"net_wait_readable", ENOMEM}};

int fail_at, persistent, calls, started, cleanups, opened, closed, misuse, longest, error, failed_error;
const char *failed = "-";
char report[512];
net_socket open_sock = NET_INVALID_SOCKET, next_sock = 1000;
std::deque<std::string> incoming; // what the PBX sent, by segment

bool fails(int call)
{
    if (++calls < fail_at || fail_at == 0 || (calls > fail_at && !persistent))
        return false;
    error = kFails[call].error;
    if (calls == fail_at)
        failed = kFails[call].name, failed_error = error;
    return true;
}

// A call on anything but the one open socket is the console's fault.
bool usable(net_socket s)
{
    misuse += !started || s != open_sock;
    return started && s == open_sock;
}

void write_report()
{
    FILE *f = fopen(report, "w");
    fprintf(f, "%s %d %d calls, sockets %d/%d, start-ups %d/%d, misuses %d, longest wait %d\n", failed, failed_error, calls,
            opened, closed, started, cleanups, misuse, longest);
    fclose(f);
}

} // namespace

int net_startup(void)
{
    if (sscanf(getenv("QV_FAKE_NET"), "%d %d %511s", &fail_at, &persistent, report) == 3)
        atexit(write_report);
    return fails(STARTUP) ? error : (started = 1, 0);
}

void net_cleanup(void) { cleanups++; }
int net_last_error(void) { return error; }

net_socket net_tcp_socket(void)
{
    misuse += !started || open_sock != NET_INVALID_SOCKET;
    if (fails(SOCKET))
        return NET_INVALID_SOCKET;
    opened++;
    return open_sock = next_sock += 4; // distinct values
}

int net_connect_loopback(net_socket s, int)
{
    if (!usable(s) || fails(CONNECT))
        return -1;
    incoming.push_back("Asterisk Call Manager/5.0.1\r\n");
    return 0;
}

// A command's reply echoes its Command line; any other request gets a list.
int net_send(net_socket s, const char *buf, int len)
{
    if (!usable(s) || fails(SEND))
        return -1;
    std::string request(buf, (size_t)len), reply = "Response: Success\r\nMessage: Endpoint list will follow\r\n\r\n"
                                                   "Event: QuelvaronEndpointListComplete\r\nListItems: 0\r\n\r\n";
    if (size_t at = request.find("Command: "); at != std::string::npos)
        reply = "Response: Follows\r\nPrivilege: Command\r\n" + request.substr(at, request.find('\r', at) - at) +
                "\r\n--END COMMAND--\r\n\r\n";
    incoming.push_back(reply.substr(0, reply.size() / 2)); // two segments: the console reads on
    incoming.push_back(reply.substr(reply.size() / 2));
    return len;
}

int net_recv(net_socket s, char *buf, int len)
{
    if (!usable(s) || fails(RECV))
        return -1;
    if (incoming.empty())
        return misuse++, 0; // a real receive would block for good
    size_t n = std::min((size_t)len, incoming.front().size());
    memcpy(buf, incoming.front().data(), n);
    incoming.front().erase(0, n);
    if (incoming.front().empty())
        incoming.pop_front();
    return (int)n;
}

int net_wait_readable(net_socket s, int timeout_ms)
{
    if (!usable(s) || fails(WAIT))
        return -1;
    longest = timeout_ms < 0 || longest < 0 ? -1 : std::max(longest, timeout_ms); // -1: no bound
    return incoming.empty() ? 0 : 1;
}

void net_close(net_socket s)
{
    if (usable(s))
        closed++, open_sock = NET_INVALID_SOCKET;
}
