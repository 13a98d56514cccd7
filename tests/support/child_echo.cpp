// A child with known behaviour for child_process_test. argv[1] picks it:
//   args        prints every further argument as "<length>:<text>\n", exits 0
//   cat <code>  copies standard input to standard output, "done\n" to
//               standard error, exits with <code>
//   big         writes 1 MiB to each of standard output and standard error,
//               interleaved, without reading its input
//   hang        never ends
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif

int main(int argc, char **argv)
{
#ifdef _WIN32
    _setmode(0, _O_BINARY);
    _setmode(1, _O_BINARY);
    _setmode(2, _O_BINARY);
#endif
    const char *mode = argc > 1 ? argv[1] : "";
    if (std::strcmp(mode, "args") == 0) {
        for (int i = 2; i < argc; i++)
            std::printf("%zu:%s\n", std::strlen(argv[i]), argv[i]);
        return 0;
    }
    if (std::strcmp(mode, "cat") == 0) {
        char buf[4096];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, stdin)) > 0)
            std::fwrite(buf, 1, n, stdout);
        std::fputs("done\n", stderr);
        return argc > 2 ? std::atoi(argv[2]) : 0;
    }
    if (std::strcmp(mode, "big") == 0) {
        static char block[1024];
        for (int i = 0; i < 1024; i++) {
            std::memset(block, 'a' + i % 26, sizeof block);
            std::fwrite(block, 1, sizeof block, stdout);
            std::fwrite(block, 1, sizeof block, stderr);
        }
        return 0;
    }
    if (std::strcmp(mode, "hang") == 0) {
        for (;;)
            std::this_thread::sleep_for(std::chrono::seconds(1));
    }
    return 2;
}
