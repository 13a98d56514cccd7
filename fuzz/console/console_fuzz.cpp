// The whole console program, one-shot or interactive, against a PBX made of
// fuzz bytes: a fake socket layer (net.h) hands them out in chunks of the
// input's choosing, with time-outs, errors and closes, and standard input is
// read from the input too.
//
// Input layout:
//   byte 0       bit 0: one-shot (-x) mode; bits 1-7 equal to 1, 2 or 3:
//                start-up, socket creation or connection fails
//   u16 LE  n    then n bytes: the -x command, or standard input
//   the rest     the PBX's script, one op at a time, taken as the console
//                waits, receives and sends (op & 15):
//                  0 time-out   1 wait error   2 close   3 receive error
//                  4 run: byte b, u16 LE count -> count copies of b
//                  5 the next send fails   6 the next send is cut short
//                  7..15 data: byte n -> the next n + 1 bytes
//                an exhausted script closes the connection.
//
// Checked besides the sanitizers: every request sent is whole (ends in its
// empty line, fits the request buffer; interactively, one request per send)
// and no input line is sent as more than one;
// the fake is called a bounded number of times (no loop without progress);
// standard output holds no more than the bytes received plus the console's
// own texts; the socket and the socket library are released once each.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#define main quelvaron_console_main
#include "../../console/quelvaron_console.cpp"
#undef main

namespace {

struct FakePeer {
    const uint8_t *script;
    size_t left;
    // The data op being delivered.
    const uint8_t *chunk;
    size_t chunk_left;
    int run_byte;
    size_t run_left;
    bool closed;
    bool recv_fails; // the next receive fails
    bool one_shot;
    int fail_at; // 1 startup, 2 socket, 3 connect
    long calls, call_limit;
    size_t sends;
    size_t received;
    int startups, cleanups, sockets, closes;
};

FakePeer g_peer;

FILE *g_report; // the real standard error: the console's own goes nowhere

[[noreturn]] void fail(const char *what)
{
    fprintf(g_report, "console_fuzz: %s\n", what);
    fflush(g_report);
    abort();
}

void count_call()
{
    if (++g_peer.calls > g_peer.call_limit)
        fail("the console keeps calling the socket layer without progress");
}

int take_byte()
{
    if (g_peer.left == 0)
        return -1;
    g_peer.left--;
    return *g_peer.script++;
}

int take_u16()
{
    int lo = take_byte(), hi = take_byte();
    return (lo < 0 ? 0 : lo) | (hi < 0 ? 0 : hi << 8);
}

bool has_pending_data()
{
    return g_peer.chunk_left > 0 || g_peer.run_left > 0;
}

// The next op that concerns a receiver (a send op met here is skipped).
// Returns -1 once the script is exhausted.
int next_op()
{
    for (;;) {
        int op = take_byte();
        if (op < 0)
            return -1;
        op &= 15;
        if (op == 4) {
            g_peer.run_byte = take_byte();
            g_peer.run_left = (size_t)take_u16();
        } else if (op >= 7) {
            size_t n = (size_t)take_byte() + 1;
            if (n > g_peer.left)
                n = g_peer.left;
            g_peer.chunk = g_peer.script;
            g_peer.chunk_left = n;
            g_peer.script += n;
            g_peer.left -= n;
        }
        if (op != 5 && op != 6)
            return op;
    }
}

} // namespace

int net_startup(void)
{
    g_peer.startups++;
    return g_peer.fail_at == 1 ? 10091 : 0;
}

void net_cleanup(void)
{
    g_peer.cleanups++;
}

int net_last_error(void)
{
    return 10024;
}

net_socket net_tcp_socket(void)
{
    if (g_peer.fail_at == 2)
        return NET_INVALID_SOCKET;
    g_peer.sockets++;
    return (net_socket)7;
}

int net_connect_loopback(net_socket, int)
{
    return g_peer.fail_at == 3 ? -1 : 0;
}

int net_send(net_socket, const char *buf, int len)
{
    count_call();
    if (len <= 0 || len > REQUEST_SIZE - 1)
        fail("request length out of range");
    std::string request(buf, (size_t)len);
    if (request.compare(request.size() - (len >= 4 ? 4 : len), 4, "\r\n\r\n") != 0)
        fail("request sent without its closing empty line");
    if (!g_peer.one_shot && request.find("\r\n\r\n") != request.size() - 4)
        fail("an input line went out as more than one request");
    g_peer.sends++;
    if (g_peer.closed)
        return -1;
    if (g_peer.left > 0 && (g_peer.script[0] & 15) == 5) {
        take_byte();
        return -1;
    }
    if (g_peer.left > 0 && (g_peer.script[0] & 15) == 6) {
        take_byte();
        return len / 2;
    }
    return len;
}

int net_wait_readable(net_socket, int)
{
    count_call();
    if (g_peer.closed || has_pending_data())
        return 1;
    int op = next_op();
    if (op == 0)
        return 0;
    if (op == 1)
        return -1;
    if (op < 0 || op == 2)
        g_peer.closed = true;
    if (op == 3)
        g_peer.recv_fails = true;
    return 1;
}

int net_recv(net_socket, char *buf, int len)
{
    count_call();
    if (len <= 0)
        fail("receive with no room");
    // The whole room must be writable, as a real receive may fill it.
    buf[0] = buf[len - 1] = (char)0xA5;
    if (!has_pending_data()) {
        if (g_peer.recv_fails) {
            g_peer.recv_fails = false;
            return -1;
        }
        if (!g_peer.closed) {
            // Called without a wait: take the next op now.
            int op = next_op();
            if (op == 3)
                return -1;
            if (!has_pending_data())
                g_peer.closed = true;
        }
        if (g_peer.closed)
            return 0;
    }
    size_t n;
    if (g_peer.chunk_left > 0) {
        n = g_peer.chunk_left < (size_t)len ? g_peer.chunk_left : (size_t)len;
        memcpy(buf, g_peer.chunk, n);
        g_peer.chunk += n;
        g_peer.chunk_left -= n;
    } else {
        n = g_peer.run_left < (size_t)len ? g_peer.run_left : (size_t)len;
        memset(buf, g_peer.run_byte < 0 ? 0 : g_peer.run_byte, n);
        g_peer.run_left -= n;
    }
    g_peer.received += n;
    return (int)n;
}

void net_close(net_socket)
{
    g_peer.closes++;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static FILE *devnull = fopen("/dev/null", "w");
    if (size < 1)
        return 0;

    memset(&g_peer, 0, sizeof g_peer);
    g_peer.script = data + 1;
    g_peer.left = size - 1;
    g_peer.one_shot = data[0] & 1;
    g_peer.fail_at = data[0] >> 1;
    size_t text_len = (size_t)take_u16();
    if (text_len > g_peer.left)
        text_len = g_peer.left;
    std::string text((const char *)g_peer.script, text_len);
    g_peer.script += text_len;
    g_peer.left -= text_len;
    // Every call either takes script bytes or follows an input line.
    g_peer.call_limit = (long)(g_peer.left + text_len) + 16;

    // The console's state as a fresh process has it.
    g_sock = NET_INVALID_SOCKET;
    memset(g_window, 0, sizeof g_window);
    g_window_start = g_window_end = 0;
    g_peer_gone = 0;
    g_failed_call = NULL;
    g_failed_error = 0;
    g_reply_len = 0;

    std::string command(text.c_str()); // an argument ends at its first NUL
    std::vector<char *> argv = {(char *)"quelvaron-console"};
    if (g_peer.one_shot) {
        argv.push_back((char *)"-x");
        argv.push_back(&command[0]);
    }
    argv.push_back(nullptr);

    char *out = nullptr;
    size_t out_len = 0;
    FILE *in = fmemopen(text.empty() ? (void *)"" : &text[0], text.size(), "r");
    FILE *saved_in = stdin, *saved_out = stdout, *saved_err = stderr;
    g_report = saved_err;
    stdin = in;
    stdout = open_memstream(&out, &out_len);
    stderr = devnull;
    int status = quelvaron_console_main((int)argv.size() - 1, argv.data());
    fclose(stdout);
    fclose(in);
    stdin = saved_in;
    stdout = saved_out;
    stderr = saved_err;

    size_t lines = !text.empty() && text.back() != '\n';
    for (char c : text)
        lines += c == '\n';
    if (g_peer.sends > (g_peer.one_shot ? 1 : lines))
        fail("more requests than commands");
    // Greeting and replies are printed at most once each; besides them, the
    // banner, a newline per reply and the prompts: one at the start and at
    // most two per line (a line of exactly 511 characters leaves its line end
    // to read as an empty line).
    size_t own = sizeof BANNER + g_peer.sends + (2 * lines + 1) * (sizeof PROMPT - 1);
    if (out_len > g_peer.received + own)
        fail("printed more than was received");
    free(out);

    if (status != 0 && status != 1)
        fail("exit status other than 0 or 1");
    if (g_peer.startups > 0 && g_peer.fail_at != 1 && g_peer.cleanups != 1)
        fail("socket library not cleaned up exactly once");
    if (g_peer.sockets != g_peer.closes)
        fail("socket not closed exactly once");
    return 0;
}
