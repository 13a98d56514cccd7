#include "scripted_ami.h"

#include <chrono>

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
typedef int socklen_t;
static void close_socket(uintptr_t s) { closesocket((SOCKET)s); }
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
static void close_socket(uintptr_t s) { close((int)s); }
#endif

const char kGreeting[] = "Asterisk Call Manager/5.0.1\r\n";

namespace {

const uintptr_t kNoSocket = ~(uintptr_t)0;
const int kPatienceMs = 20000; // only to end a test that has gone wrong

void socket_library()
{
#ifdef _WIN32
    static bool started = [] {
        WSADATA wsa;
        return WSAStartup(MAKEWORD(2, 2), &wsa) == 0;
    }();
    (void)started;
#endif
}

bool readable(uintptr_t s, int ms)
{
#ifdef _WIN32
    fd_set set;
    FD_ZERO(&set);
    FD_SET((SOCKET)s, &set);
    timeval tv{ms / 1000, (ms % 1000) * 1000};
    return select(0, &set, nullptr, nullptr, &tv) > 0;
#else
    pollfd p{(int)s, POLLIN, 0};
    return poll(&p, 1, ms) > 0;
#endif
}

uintptr_t listen_on(int port, int *bound_port)
{
    socket_library();
    uintptr_t s = (uintptr_t)socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == kNoSocket)
        return kNoSocket;
#ifdef _WIN32
    // The console is started while we listen: it must not inherit the socket.
    SetHandleInformation((HANDLE)s, HANDLE_FLAG_INHERIT, 0);
#endif
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons((unsigned short)port);
    inet_pton(AF_INET, "127.0.0.1", &addr.sin_addr);
    socklen_t len = sizeof addr;
    if (bind(s, (sockaddr *)&addr, sizeof addr) != 0 || listen(s, 4) != 0 ||
        getsockname(s, (sockaddr *)&addr, &len) != 0) {
        close_socket(s);
        return kNoSocket;
    }
    *bound_port = ntohs(addr.sin_port);
    return s;
}

} // namespace

void AmiPeer::send(const std::string &bytes)
{
    size_t off = 0;
    while (off < bytes.size()) {
        int n = ::send(sock_, bytes.data() + off, (int)(bytes.size() - off), 0);
        if (n <= 0)
            return;
        off += (size_t)n;
    }
}

void AmiPeer::pause(int ms)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

bool AmiPeer::fill()
{
    if (sock_ == kNoSocket || !readable(sock_, kPatienceMs))
        return false;
    char buf[4096];
    int n = recv(sock_, buf, sizeof buf, 0);
    if (n <= 0)
        return false;
    pending_.append(buf, (size_t)n);
    received_->append(buf, (size_t)n);
    return true;
}

std::string AmiPeer::read_request()
{
    for (;;) {
        size_t end = pending_.find("\r\n\r\n");
        if (end != std::string::npos) {
            std::string request = pending_.substr(0, end + 4);
            pending_.erase(0, end + 4);
            return request;
        }
        if (!fill())
            return "";
    }
}

void AmiPeer::close()
{
    if (sock_ != kNoSocket)
        close_socket(sock_);
    sock_ = kNoSocket;
}

ScriptedAmi::ScriptedAmi(Script script, int port) : script_(std::move(script))
{
    listen_ = listen_on(port, &port_);
    if (listening())
        thread_ = std::thread([this] { run(); });
}

ScriptedAmi::~ScriptedAmi()
{
    received();
}

void ScriptedAmi::run()
{
    if (readable(listen_, kPatienceMs)) {
        uintptr_t s = (uintptr_t)accept(listen_, nullptr, nullptr);
        if (s != kNoSocket) {
            connected_ = true;
            AmiPeer peer;
            peer.sock_ = s;
            peer.received_ = &received_;
            script_(peer);
            while (peer.fill()) {
            }
            peer.close();
        }
    }
    close_socket(listen_);
}

const std::string &ScriptedAmi::received()
{
    if (thread_.joinable())
        thread_.join();
    return received_;
}

int closed_port()
{
    int port = 0;
    uintptr_t s = listen_on(0, &port);
    if (s != kNoSocket)
        close_socket(s);
    return port;
}
