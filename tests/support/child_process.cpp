// See child_process.h. One implementation per platform; both poll the child's
// output pipes from the calling thread so that a child that fills one pipe
// while we wait on the other cannot deadlock us.
#include "child_process.h"

#include <chrono>
#include <cstring>

namespace {

using clock_type = std::chrono::steady_clock;

// Output still in the pipes after the child ended is collected for at most
// this long: a grandchild may hold the write ends open indefinitely.
const int drain_grace_ms = 500;

long long ms_since(clock_type::time_point t)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(clock_type::now() - t).count();
}

} // namespace

#ifdef _WIN32

#include <windows.h>

#include <memory>
#include <mutex>
#include <thread>
#include <atomic>

namespace {

// Creating pipes and the process under one lock keeps a child started by
// another thread from inheriting this child's pipe ends (it would hold them
// open and we would never see end of output).
std::mutex spawn_lock;

// Quotes one argument so that the C runtime's argv parser in the child gives
// it back unchanged.
void append_quoted(std::string &cmd, const std::string &arg)
{
    if (!arg.empty() && arg.find_first_of(" \t\n\v\"") == std::string::npos) {
        cmd += arg;
        return;
    }
    cmd += '"';
    size_t backslashes = 0;
    for (char c : arg) {
        if (c == '\\') {
            backslashes++;
            continue;
        }
        if (c == '"')
            cmd.append(backslashes * 2 + 1, '\\');
        else
            cmd.append(backslashes, '\\');
        backslashes = 0;
        cmd += c;
    }
    cmd.append(backslashes * 2, '\\');
    cmd += '"';
}

struct Feeder {
    HANDLE pipe;
    std::string data;
    std::atomic<bool> done{false};
};

// Returns false once the pipe is at its end (all write ends closed).
bool read_available(HANDLE h, std::string &sink, bool *got)
{
    DWORD avail = 0;
    if (!PeekNamedPipe(h, nullptr, 0, nullptr, &avail, nullptr))
        return false;
    while (avail > 0) {
        char buf[4096];
        DWORD want = avail < sizeof buf ? avail : (DWORD)sizeof buf;
        DWORD n = 0;
        if (!ReadFile(h, buf, want, &n, nullptr) || n == 0)
            return false;
        sink.append(buf, n);
        avail -= n;
        *got = true;
    }
    return true;
}

} // namespace

ChildResult run_child(const std::string &exe_path, const std::vector<std::string> &args,
                      const std::string &stdin_data, int timeout_ms)
{
    ChildResult r;
    std::string cmd;
    append_quoted(cmd, exe_path);
    for (const std::string &a : args) {
        cmd += ' ';
        append_quoted(cmd, a);
    }

    SECURITY_ATTRIBUTES sa = {};
    sa.nLength = sizeof sa;
    sa.bInheritHandle = TRUE;
    HANDLE in_r = nullptr, in_w = nullptr, out_r = nullptr, out_w = nullptr, err_r = nullptr, err_w = nullptr;
    PROCESS_INFORMATION pi = {};
    {
        std::lock_guard<std::mutex> lock(spawn_lock);
        if (!CreatePipe(&in_r, &in_w, &sa, 0) || !CreatePipe(&out_r, &out_w, &sa, 0) ||
            !CreatePipe(&err_r, &err_w, &sa, 0)) {
            r.err = "run_child: CreatePipe failed";
            for (HANDLE h : {in_r, in_w, out_r, out_w, err_r, err_w})
                if (h)
                    CloseHandle(h);
            return r;
        }
        SetHandleInformation(in_w, HANDLE_FLAG_INHERIT, 0);
        SetHandleInformation(out_r, HANDLE_FLAG_INHERIT, 0);
        SetHandleInformation(err_r, HANDLE_FLAG_INHERIT, 0);

        STARTUPINFOA si = {};
        si.cb = sizeof si;
        si.dwFlags = STARTF_USESTDHANDLES;
        si.hStdInput = in_r;
        si.hStdOutput = out_w;
        si.hStdError = err_w;
        std::vector<char> cmdline(cmd.begin(), cmd.end());
        cmdline.push_back('\0');
        BOOL ok = CreateProcessA(exe_path.c_str(), cmdline.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW,
                                 nullptr, nullptr, &si, &pi);
        DWORD e = GetLastError();
        CloseHandle(in_r);
        CloseHandle(out_w);
        CloseHandle(err_w);
        if (!ok) {
            CloseHandle(in_w);
            CloseHandle(out_r);
            CloseHandle(err_r);
            r.err = "run_child: cannot start " + exe_path + " (error " + std::to_string(e) + ")";
            return r;
        }
    }
    CloseHandle(pi.hThread);

    // Standard input is written by a thread of its own: a child that does not
    // read it must not stop us reading its output.
    auto feeder = std::make_shared<Feeder>();
    feeder->pipe = in_w;
    feeder->data = stdin_data;
    std::thread writer([feeder] {
        size_t off = 0;
        while (off < feeder->data.size()) {
            DWORD n = 0;
            DWORD chunk = (DWORD)(feeder->data.size() - off > 65536 ? 65536 : feeder->data.size() - off);
            if (!WriteFile(feeder->pipe, feeder->data.data() + off, chunk, &n, nullptr) || n == 0)
                break;
            off += n;
        }
        CloseHandle(feeder->pipe);
        feeder->done = true;
    });

    auto start = clock_type::now();
    bool out_open = true, err_open = true, exited = false;
    clock_type::time_point exited_at;
    for (;;) {
        bool got = false;
        if (out_open && !read_available(out_r, r.out, &got))
            out_open = false;
        if (err_open && !read_available(err_r, r.err, &got))
            err_open = false;
        if (!exited && WaitForSingleObject(pi.hProcess, 0) == WAIT_OBJECT_0) {
            exited = true;
            exited_at = clock_type::now();
            continue; // one more pass picks up what it wrote last
        }
        if (exited && ((!out_open && !err_open) || ms_since(exited_at) > drain_grace_ms))
            break;
        if (!exited && ms_since(start) > timeout_ms) {
            TerminateProcess(pi.hProcess, 1);
            WaitForSingleObject(pi.hProcess, INFINITE);
            r.timed_out = true;
            exited = true;
            exited_at = clock_type::now();
            continue;
        }
        if (!got)
            Sleep(2);
    }
    DWORD code = 0;
    if (!r.timed_out && GetExitCodeProcess(pi.hProcess, &code))
        r.exit_code = (int)code;
    CloseHandle(pi.hProcess);
    CloseHandle(out_r);
    CloseHandle(err_r);

    // The writer ends when the child's end of the pipe is gone; if a
    // grandchild still holds it, let the thread finish on its own.
    for (int i = 0; i < 100 && !feeder->done; i++)
        Sleep(5);
    if (feeder->done)
        writer.join();
    else
        writer.detach();
    return r;
}

std::string exe_dir()
{
    char path[MAX_PATH * 4];
    DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
    if (n == 0 || n >= sizeof path)
        return ".\\";
    std::string s(path, n);
    size_t cut = s.find_last_of("\\/");
    return cut == std::string::npos ? ".\\" : s.substr(0, cut + 1);
}

std::string exe_path(const std::string &name)
{
    return exe_dir() + name + ".exe";
}

#else // POSIX

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

bool make_pipe(int fds[2])
{
    if (pipe(fds) != 0)
        return false;
    fcntl(fds[0], F_SETFD, FD_CLOEXEC);
    fcntl(fds[1], F_SETFD, FD_CLOEXEC);
    return true;
}

void close_fd(int &fd)
{
    if (fd >= 0)
        close(fd);
    fd = -1;
}

// Reads what is there; false once the pipe is at its end.
bool read_some(int fd, std::string &sink)
{
    char buf[4096];
    ssize_t n = read(fd, buf, sizeof buf);
    if (n > 0) {
        sink.append(buf, (size_t)n);
        return true;
    }
    return n < 0 && (errno == EAGAIN || errno == EINTR);
}

} // namespace

ChildResult run_child(const std::string &exe_path, const std::vector<std::string> &args,
                      const std::string &stdin_data, int timeout_ms)
{
    ChildResult r;
    int in[2] = {-1, -1}, out[2] = {-1, -1}, err[2] = {-1, -1}, report[2] = {-1, -1};
    if (!make_pipe(in) || !make_pipe(out) || !make_pipe(err) || !make_pipe(report)) {
        for (int *p : {in, out, err, report}) {
            close_fd(p[0]);
            close_fd(p[1]);
        }
        r.err = "run_child: pipe failed";
        return r;
    }

    // Everything the child needs is prepared before fork: after it, only
    // async-signal-safe calls.
    std::vector<char *> argv;
    argv.push_back(const_cast<char *>(exe_path.c_str()));
    for (const std::string &a : args)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    long max_fd = sysconf(_SC_OPEN_MAX);
    if (max_fd < 0 || max_fd > 65536)
        max_fd = 65536;

    pid_t pid = fork();
    if (pid == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        dup2(err[1], 2);
        for (int fd = 3; fd < max_fd; fd++)
            if (fd != report[1])
                close(fd);
        signal(SIGPIPE, SIG_DFL);
        execv(exe_path.c_str(), argv.data());
        int e = errno;
        ssize_t ignored = write(report[1], &e, sizeof e);
        (void)ignored;
        _exit(127);
    }
    close_fd(in[0]);
    close_fd(out[1]);
    close_fd(err[1]);
    close_fd(report[1]);
    if (pid < 0) {
        close_fd(in[1]);
        close_fd(out[0]);
        close_fd(err[0]);
        close_fd(report[0]);
        r.err = "run_child: fork failed";
        return r;
    }

    // The report pipe closes on a successful exec; an errno arrives otherwise.
    int exec_errno = 0;
    ssize_t rn;
    do
        rn = read(report[0], &exec_errno, sizeof exec_errno);
    while (rn < 0 && errno == EINTR);
    close_fd(report[0]);
    if (rn == (ssize_t)sizeof exec_errno) {
        close_fd(in[1]);
        close_fd(out[0]);
        close_fd(err[0]);
        waitpid(pid, nullptr, 0);
        r.err = "run_child: cannot start " + exe_path + ": " + std::strerror(exec_errno);
        return r;
    }

    // A child that leaves without reading its input must not kill us.
    signal(SIGPIPE, SIG_IGN);
    fcntl(in[1], F_SETFL, O_NONBLOCK);
    fcntl(out[0], F_SETFL, O_NONBLOCK);
    fcntl(err[0], F_SETFL, O_NONBLOCK);
    size_t fed = 0;
    if (stdin_data.empty())
        close_fd(in[1]);

    auto start = clock_type::now();
    bool exited = false;
    int status = 0;
    clock_type::time_point exited_at;
    for (;;) {
        pollfd p[3];
        int np = 0;
        if (in[1] >= 0)
            p[np++] = {in[1], POLLOUT, 0};
        if (out[0] >= 0)
            p[np++] = {out[0], POLLIN, 0};
        if (err[0] >= 0)
            p[np++] = {err[0], POLLIN, 0};
        if (np > 0)
            poll(p, (nfds_t)np, 10);
        for (int i = 0; i < np; i++) {
            if (p[i].revents == 0)
                continue;
            if (p[i].fd == in[1]) {
                ssize_t n = write(in[1], stdin_data.data() + fed, stdin_data.size() - fed);
                if (n > 0)
                    fed += (size_t)n;
                if ((n < 0 && errno != EAGAIN && errno != EINTR) || fed == stdin_data.size())
                    close_fd(in[1]);
            } else if (p[i].fd == out[0]) {
                if (!read_some(out[0], r.out))
                    close_fd(out[0]);
            } else if (!read_some(err[0], r.err)) {
                close_fd(err[0]);
            }
        }
        if (!exited && waitpid(pid, &status, WNOHANG) == pid) {
            exited = true;
            exited_at = clock_type::now();
        }
        if (exited && ((out[0] < 0 && err[0] < 0) || ms_since(exited_at) > drain_grace_ms))
            break;
        if (!exited && ms_since(start) > timeout_ms) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            r.timed_out = true;
            exited = true;
            exited_at = clock_type::now();
        }
    }
    close_fd(in[1]);
    close_fd(out[0]);
    close_fd(err[0]);
    if (!r.timed_out && WIFEXITED(status))
        r.exit_code = WEXITSTATUS(status);
    return r;
}

std::string exe_dir()
{
    char path[4096];
    ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0)
        return "./";
    std::string s(path, (size_t)n);
    size_t cut = s.rfind('/');
    return cut == std::string::npos ? "./" : s.substr(0, cut + 1);
}

std::string exe_path(const std::string &name)
{
    return exe_dir() + name;
}

#endif
