// ami_roundtrip: raw AMI request/reply timing against a running PBX, the
// yardstick for bench/console_bench.sh (built by that script, POSIX only).
//
//   ami_roundtrip <port> <requests> version|list [connections]
//   ami_roundtrip --free-port      prints a port on 127.0.0.1 that is free now
//
// Sends the console's own request bytes ("core show version" as a Command
// request, or the QuelvaronShowEndpoints request), one at a time per
// connection, and reads each whole reply before the next. Prints
// "<requests> <seconds> <us per request> <replies per second>".
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

const char kVersionRequest[] = "Action: Command\r\nCommand: core show version\r\nActionID: cli-rast\r\n\r\n";
const char kListRequest[] = "Action: QuelvaronShowEndpoints\r\nActionID: cli-rast\r\n\r\n";

int connect_loopback(int port)
{
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons((unsigned short)port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (s < 0 || connect(s, (sockaddr *)&a, sizeof a) != 0) return -1;
    int on = 1;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    return s;
}

// Reads until `buf` holds the end of one reply; keeps any bytes after it.
bool read_reply(int s, std::string &buf, bool list)
{
    for (;;) {
        size_t end = std::string::npos;
        if (list) {
            size_t done = buf.find("Event: QuelvaronEndpointListComplete\r\n");
            if (done != std::string::npos) end = buf.find("\r\n\r\n", done);
            if (end != std::string::npos) end += 4;
        } else {
            end = buf.find("--END COMMAND--\r\n\r\n");
            if (end != std::string::npos) end += 19;
        }
        if (end != std::string::npos) {
            buf.erase(0, end);
            return true;
        }
        char chunk[65536];
        ssize_t n = recv(s, chunk, sizeof chunk, 0);
        if (n <= 0) return false;
        buf.append(chunk, (size_t)n);
    }
}

bool run_connection(int port, long requests, bool list)
{
    int s = connect_loopback(port);
    if (s < 0) return false;
    std::string buf;
    // The greeting is one line.
    while (buf.find("\r\n") == std::string::npos) {
        char chunk[512];
        ssize_t n = recv(s, chunk, sizeof chunk, 0);
        if (n <= 0) {
            close(s);
            return false;
        }
        buf.append(chunk, (size_t)n);
    }
    buf.erase(0, buf.find("\r\n") + 2);
    const char *req = list ? kListRequest : kVersionRequest;
    size_t len = strlen(req);
    for (long i = 0; i < requests; i++) {
        if (send(s, req, len, 0) != (ssize_t)len || !read_reply(s, buf, list)) {
            close(s);
            return false;
        }
    }
    close(s);
    return true;
}

int print_free_port()
{
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (s < 0 || bind(s, (sockaddr *)&a, sizeof a) != 0 || getsockname(s, (sockaddr *)&a, &len) != 0) return 1;
    printf("%d\n", ntohs(a.sin_port));
    close(s);
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc == 2 && strcmp(argv[1], "--free-port") == 0) return print_free_port();
    if (argc < 4) {
        fprintf(stderr, "usage: ami_roundtrip <port> <requests> version|list [connections]\n");
        return 2;
    }
    int port = atoi(argv[1]);
    long requests = atol(argv[2]);
    bool list = strcmp(argv[3], "list") == 0;
    int connections = argc > 4 ? atoi(argv[4]) : 1;
    if (connections < 1) connections = 1;

    std::atomic<bool> ok{true};
    auto t0 = std::chrono::steady_clock::now();
    std::vector<std::thread> threads;
    for (int c = 0; c < connections; c++)
        threads.emplace_back([&] {
            if (!run_connection(port, requests / connections, list)) ok = false;
        });
    for (std::thread &t : threads) t.join();
    double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    if (!ok) {
        fprintf(stderr, "ami_roundtrip: connection failed\n");
        return 1;
    }
    long done = requests / connections * connections;
    printf("%ld %.6f %.2f %.0f\n", done, secs, secs * 1e6 / (double)done, (double)done / secs);
    return 0;
}
