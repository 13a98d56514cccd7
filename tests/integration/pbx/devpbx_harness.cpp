#include "devpbx_harness.h"

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <stdlib.h>

#ifndef _WIN32
#include <signal.h>
#include <sys/types.h>
#endif

namespace fs = std::filesystem;

namespace {

using clock_type = std::chrono::steady_clock;

// An orphaned PBX (the test process killed by ctest's time-out) ends itself
// after this long: the harness puts it into every devpbx.ini.
const int kSafetyExitMs = 150000;

void sleep_ms(int ms)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

long long ms_left(clock_type::time_point deadline)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock_type::now()).count();
}

std::string read_file(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

unsigned long current_pid()
{
#ifdef _WIN32
    return (unsigned long)GetCurrentProcessId();
#else
    return (unsigned long)getpid();
#endif
}

void forget_env(const char *name)
{
#ifdef _WIN32
    std::string s = std::string(name) + "=";
    _putenv(s.c_str());
#else
    unsetenv(name);
#endif
}

} // namespace

int free_loopback_port()
{
    net_startup();
    net_socket s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == NET_INVALID_SOCKET) return 0;
    struct sockaddr_in a;
    net_loopback_address(&a, 0);
    int port = 0;
    if (bind(s, (struct sockaddr *)&a, sizeof a) == 0) {
        socklen_t len = sizeof a;
        if (getsockname(s, (struct sockaddr *)&a, &len) == 0) port = ntohs(a.sin_port);
    }
    net_close(s);
    return port;
}

/* ---- DevPbx ----------------------------------------------------------------- */

DevPbx::~DevPbx()
{
    kill();
    if (!dir_.empty()) {
        std::error_code ec;
        // Windows may hold the files a moment after the process is gone.
        for (int i = 0; i < 50 && fs::exists(dir_, ec); i++) {
            fs::remove_all(dir_, ec);
            if (ec) sleep_ms(20);
        }
    }
}

std::string DevPbx::exe() const
{
#ifdef _WIN32
    return (fs::path(dir_) / "devpbx.exe").string();
#else
    return (fs::path(dir_) / "devpbx").string();
#endif
}

bool DevPbx::start(const std::vector<std::string> &ini_lines)
{
    static std::atomic<int> serial{0};
    forget_env("QUELVARON_DEVPBX_PORT");
    forget_env("QUELVARON_DEVPBX_ENDPOINTS");

    fs::path dir = fs::temp_directory_path() /
                   ("devpbx-test-" + std::to_string(current_pid()) + "-" + std::to_string(serial++));
    std::error_code ec;
    fs::remove_all(dir, ec);
    fs::create_directories(dir, ec);
    if (ec) {
        why_ = "cannot create " + dir.string();
        return false;
    }
    dir_ = dir.string();
    fs::copy_file(exe_path("devpbx"), exe(), ec);
#ifdef _WIN32
    if (!ec) fs::copy_file(exe_dir() + "chan_quelvaron.dll", dir / "chan_quelvaron.dll", ec);
#endif
    if (ec) {
        why_ = "cannot copy the development PBX: " + ec.message();
        return false;
    }

    port_ = free_loopback_port();
    {
        std::ofstream ini(dir / "devpbx.ini", std::ios::binary);
        ini << "port=" << port_ << "\n";
        ini << "exit_after_ms=" << kSafetyExitMs << "\n";
        for (const std::string &line : ini_lines) ini << line << "\n";
    }

    started_ = true;
    done_ = false;
    std::string exe_copy = exe();
    runner_ = std::thread([this, exe_copy] {
        result_ = run_child(exe_copy, {"-f", "-vvv"}, "", kSafetyExitMs + 30000);
        done_ = true;
    });

    // The pid file appears once the port listens.
    std::string pid_path = (dir / "devpbx.pid").string();
    auto deadline = clock_type::now() + std::chrono::seconds(30);
    while (ms_left(deadline) > 0) {
        std::string text = read_file(pid_path);
        if (!text.empty() && text.back() == '\n') {
            pid_ = strtoul(text.c_str(), nullptr, 10);
            return true;
        }
        if (done_) {
            runner_.join();
            why_ = "the PBX ended at once (exit " + std::to_string(result_.exit_code) + "): " + result_.err;
            return false;
        }
        sleep_ms(10);
    }
    why_ = "the PBX did not start listening within 30 s";
    return false;
}

bool DevPbx::wait_exit(int timeout_ms)
{
    if (!started_) return true;
    auto deadline = clock_type::now() + std::chrono::milliseconds(timeout_ms);
    while (!done_ && ms_left(deadline) > 0) sleep_ms(10);
    if (!done_) return false;
    if (runner_.joinable()) runner_.join();
    return true;
}

void DevPbx::kill()
{
    if (!started_) return;
    if (!done_ && pid_ != 0) {
#ifdef _WIN32
        HANDLE h = OpenProcess(PROCESS_TERMINATE, FALSE, (DWORD)pid_);
        if (h) {
            TerminateProcess(h, 9);
            CloseHandle(h);
        }
#else
        ::kill((pid_t)pid_, SIGKILL);
#endif
    }
    // Without a pid the runner's own time-out ends the child.
    if (runner_.joinable()) runner_.join();
    done_ = true;
}

ChildResult DevPbx::run(const std::vector<std::string> &args, int timeout_ms) const
{
    return run_child(exe(), args, "", timeout_ms);
}

std::string DevPbx::log() const
{
    return read_file((fs::path(dir_) / "devpbx.log").string());
}

bool DevPbx::pid_file_exists() const
{
    std::error_code ec;
    return fs::exists(fs::path(dir_) / "devpbx.pid", ec);
}

/* ---- AmiClient ---------------------------------------------------------------- */

AmiClient::~AmiClient()
{
    close();
}

bool AmiClient::connect(int port)
{
    close();
    net_startup();
    sock_ = net_connect_loopback(port);
    return sock_ != NET_INVALID_SOCKET;
}

void AmiClient::close()
{
    if (sock_ != NET_INVALID_SOCKET) net_close(sock_);
    sock_ = NET_INVALID_SOCKET;
    buffered_.clear();
}

bool AmiClient::send(const std::string &bytes)
{
    size_t off = 0;
    while (off < bytes.size()) {
        long n = net_send(sock_, bytes.data() + off, bytes.size() - off);
        if (n <= 0) return false;
        off += (size_t)n;
    }
    return true;
}

std::string AmiClient::read_until(const std::string &terminator, int timeout_ms)
{
    auto deadline = clock_type::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        size_t at = buffered_.find(terminator);
        if (at != std::string::npos) {
            std::string head = buffered_.substr(0, at + terminator.size());
            buffered_.erase(0, at + terminator.size());
            return head;
        }
        long long left = ms_left(deadline);
        if (left <= 0 || net_wait_readable(sock_, (int)left) <= 0) return std::string();
        char buf[16384];
        long n = net_recv(sock_, buf, sizeof buf);
        if (n <= 0) return std::string();
        buffered_.append(buf, (size_t)n);
    }
}

std::string AmiClient::read_endpoint_list()
{
    std::string head = read_until("Event: QuelvaronEndpointListComplete\r\n");
    if (head.empty()) return head;
    std::string tail = read_until("\r\n\r\n");
    return tail.empty() ? std::string() : head + tail;
}

bool AmiClient::wait_closed(int timeout_ms)
{
    auto deadline = clock_type::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        long long left = ms_left(deadline);
        if (left <= 0 || net_wait_readable(sock_, (int)left) <= 0) return false;
        char buf[4096];
        long n = net_recv(sock_, buf, sizeof buf);
        if (n <= 0) return true;
        buffered_.append(buf, (size_t)n);
    }
}

/* ---- helpers ------------------------------------------------------------------ */

std::string ami_exchange(int port, const std::string &request, const std::string &terminator)
{
    AmiClient c;
    if (!c.connect(port)) return "(no connection)";
    if (c.read_until("\r\n").empty()) return "(no greeting)";
    if (!c.send(request)) return "(send failed)";
    return c.read_until(terminator);
}

size_t count_of(const std::string &hay, const std::string &needle)
{
    size_t n = 0;
    for (size_t at = hay.find(needle); at != std::string::npos; at = hay.find(needle, at + needle.size())) n++;
    return n;
}

std::vector<std::string> lines_of(const std::string &text)
{
    std::vector<std::string> out;
    size_t start = 0, nl;
    while ((nl = text.find('\n', start)) != std::string::npos) {
        out.push_back(text.substr(start, nl - start));
        start = nl + 1;
    }
    if (start < text.size()) out.push_back(text.substr(start));
    return out;
}
