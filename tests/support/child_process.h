// Runs a program as a child process for tests, on Windows and POSIX alike.
//
//   ChildResult r = run_child(exe_path("quelvaron-console"), {"-p", "5038", "-x", "core show version"},
//                             "", 10000);
//   EXPECT_EQ(r.exit_code, 0);
//   EXPECT_EQ(r.out, "...");
//
// The child gets `stdin_data` on its standard input, which is then closed
// (an empty `stdin_data` means the child sees end of input at once). Its
// standard output and standard error are captured separately, byte for byte
// (no newline translation on our side). The call returns when the child has
// ended, or kills it once `timeout_ms` has passed (timed_out is then true).
// Once the child has ended, output still held by the pipes is collected;
// a grandchild that keeps the pipes open does not hold run_child up for long.
//
// Windows: CreateProcessA with three pipes and no console window; arguments
// are quoted by the usual rules, so each one arrives unchanged in the child's
// argv (an empty argument included). POSIX: fork, execv with the arguments
// as given, three pipes; no other file descriptor of the test reaches the
// child; the calling process ignores SIGPIPE from the first call on (a child
// that leaves without reading its input must not kill the test). Calls may
// be made from several threads at once.
#ifndef QV_TEST_CHILD_PROCESS_H
#define QV_TEST_CHILD_PROCESS_H

#include <string>
#include <vector>

struct ChildResult {
    // The child's exit status (0..255 on POSIX, the 32-bit exit code on
    // Windows). -1 when the program could not be started (err then says why)
    // or was killed (by the time-out, or on POSIX by a signal).
    int exit_code = -1;
    std::string out; // everything the child wrote to standard output
    std::string err; // everything the child wrote to standard error
    bool timed_out = false; // killed because timeout_ms ran out
};

// Runs `exe_path` (a path, not searched in PATH) with `args` (not including
// the program name, which the child gets as argv[0] = exe_path).
ChildResult run_child(const std::string &exe_path, const std::vector<std::string> &args,
                      const std::string &stdin_data, int timeout_ms);

// The folder that holds the running program, with a trailing separator.
std::string exe_dir();

// A program of the build beside the running test: exe_dir() + name, plus
// ".exe" on Windows (name is given without extension).
std::string exe_path(const std::string &name);

#endif
