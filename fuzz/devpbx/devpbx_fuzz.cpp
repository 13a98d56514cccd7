// The development PBX's request handling: bytes a client sends, split into
// header lines and served request by request (take_input), fed in chunks of
// the input's choosing. Besides the sanitizers it checks that the chunking
// changes nothing: the replies equal those to the same bytes fed at once.
//
// Input layout: byte 0 bounds the chunk sizes (1 .. byte 0 + 1, drawn from
// a generator it seeds); the rest is what the client sends.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include <string>

#define main devpbx_main
#include "../../devtools/devpbx/devpbx.cpp"
#undef main

namespace {

struct Fed {
    std::string out;
    bool dead;
    bool closing;
};

[[noreturn]] void fail(const char *what)
{
    fprintf(stderr, "devpbx_fuzz: %s\n", what);
    abort();
}

// Feeds bytes as the server's receive loop does, in chunks of 1 to max_chunk
// bytes.
Fed feed(const char *bytes, size_t size, size_t max_chunk, uint32_t seed)
{
    chanq_reset(); // both feeds meet the same driver state
    Server srv;
    srv.started = std::chrono::steady_clock::now();
    Client c;
    size_t at = 0;
    while (at < size && !c.dead) {
        seed ^= seed << 13;
        seed ^= seed >> 17;
        seed ^= seed << 5;
        size_t n = max_chunk > size ? size : 1 + seed % max_chunk;
        if (n > size - at)
            n = size - at;
        c.in.append(bytes + at, n);
        at += n;
        take_input(srv, c);
        if (c.lines.size() > kMaxRequestLines)
            fail("more header lines kept than allowed");
        if (!c.dead && c.in.size() > kMaxPendingInput)
            fail("pending input over its limit");
        if (c.in.find('\n') != std::string::npos)
            fail("a complete line left unparsed");
    }
    return Fed{c.out, c.dead, c.close_after_flush};
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    g_log_path = "/nonexistent/devpbx.log"; // log lines go nowhere
    ast_load_module();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    const char *bytes = (const char *)data + 1;
    size_t len = size - 1;
    Fed chunked = feed(bytes, len, (size_t)data[0] + 1, 0x9e3779b9u ^ data[0]);
    Fed whole = feed(bytes, len, len + 1, 0);
    // Cutting off a client that sends too much without a line end depends on
    // where the reads fall; everything else must not.
    if (!chunked.dead && !whole.dead &&
        (chunked.out != whole.out || chunked.closing != whole.closing))
        fail("replies depend on how the bytes were split");
    return 0;
}
