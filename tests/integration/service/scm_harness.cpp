// See scm_harness.h.
#include "scm_harness.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

const char kServiceName[] = "QuelvaronAsterisk";
const char kServiceDisplayName[] = "Quelvaron Asterisk PBX Service";
const char kServiceDescription[] =
    "Motor Asterisk PBX com chan_quelvaron e Quelvaron VoIP Core (WhatsApp & Telegram)";

namespace {

// A forced stop of the PBX takes about 13 s; anything beyond this is a hang.
const int stop_timeout_ms = 45000;
const int command_timeout_ms = 30000;

std::string bin_dir()
{
    std::string d = exe_dir();
    while (!d.empty() && (d.back() == '\\' || d.back() == '/'))
        d.pop_back();
    return d;
}

bool file_exists(const std::string &p)
{
    return GetFileAttributesA(p.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// Removes the folder's files (not subfolders: we make none).
void empty_folder(const std::string &dir)
{
    WIN32_FIND_DATAA fd;
    HANDLE h = FindFirstFileA((dir + "\\*").c_str(), &fd);
    if (h == INVALID_HANDLE_VALUE)
        return;
    do {
        if (!(fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
            DeleteFileA((dir + "\\" + fd.cFileName).c_str());
    } while (FindNextFileA(h, &fd));
    FindClose(h);
}

bool copy_into(const std::string &from, const std::string &to, std::string *why)
{
    if (CopyFileA(from.c_str(), to.c_str(), FALSE))
        return true;
    *why = "cannot copy " + from + " to " + to + " (error " + std::to_string(GetLastError()) + ")";
    return false;
}

bool image_ends_with(HANDLE process, const char *suffix)
{
    char path[MAX_PATH * 2];
    DWORD n = sizeof path;
    if (!QueryFullProcessImageNameA(process, 0, path, &n))
        return false;
    size_t len = strlen(suffix);
    return n >= len && _stricmp(path + n - len, suffix) == 0;
}

// Terminates `pid` only if it still runs the program whose path ends with
// `suffix`: a pid of a process that has ended may already be someone else's.
void kill_pid_if(DWORD pid, const char *suffix)
{
    if (pid == 0)
        return;
    HANDLE h = OpenProcess(PROCESS_TERMINATE | PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE, pid);
    if (!h)
        return;
    if (WaitForSingleObject(h, 0) == WAIT_TIMEOUT && image_ends_with(h, suffix)) {
        printf("[ cleanup  ] killing leftover pid %lu (%s)\n", (unsigned long)pid, suffix);
        TerminateProcess(h, 1);
        WaitForSingleObject(h, 5000);
    }
    CloseHandle(h);
}

struct ScmHandles {
    SC_HANDLE scm = nullptr;
    SC_HANDLE svc = nullptr;
    ~ScmHandles()
    {
        if (svc)
            CloseServiceHandle(svc);
        if (scm)
            CloseServiceHandle(scm);
    }
};

bool open_service(ScmHandles *h, DWORD access)
{
    h->scm = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (!h->scm)
        return false;
    h->svc = OpenServiceA(h->scm, kServiceName, access);
    return h->svc != nullptr;
}

} // namespace

long long now_ms()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

bool prepare_folder(const std::string &name, bool with_pbx, const std::string &ini_extra, ServiceFolder *out,
                    std::string *why)
{
    std::string bin = bin_dir();
    ServiceFolder f;
    f.dir = bin + "\\scm-" + name;
    f.service_exe = f.dir + "\\quelvaron-service.exe";
    CreateDirectoryA(f.dir.c_str(), nullptr);
    kill_leftover_pbx(f); // of an interrupted earlier run
    empty_folder(f.dir);
    if (file_exists(f.dir + "\\asterisk.exe")) {
        *why = "a process still holds " + f.dir + "\\asterisk.exe";
        return false;
    }
    std::string service_src = bin + "\\quelvaron-service.exe";
    if (!file_exists(service_src)) {
        *why = service_src + " is not built";
        return false;
    }
    if (!copy_into(service_src, f.service_exe, why))
        return false;
    if (with_pbx) {
        f.pbx_exe = f.dir + "\\asterisk.exe";
        f.port = free_tcp_port();
        if (f.port <= 0) {
            *why = "no free TCP port";
            return false;
        }
        if (!copy_into(bin + "\\devpbx.exe", f.pbx_exe, why) ||
            !copy_into(bin + "\\chan_quelvaron.dll", f.dir + "\\chan_quelvaron.dll", why))
            return false;
        std::ofstream ini(f.dir + "\\asterisk.ini", std::ios::binary);
        ini << "port=" << f.port << "\r\n" << ini_extra;
        if (!ini) {
            *why = "cannot write asterisk.ini";
            return false;
        }
    }
    *out = f;
    return true;
}

ChildResult run_service(const ServiceFolder &f, const std::vector<std::string> &args)
{
    return run_child(f.service_exe, args, "", command_timeout_ms);
}

ChildResult run_system_tool(const std::string &exe_name, const std::vector<std::string> &args)
{
    char sys[MAX_PATH];
    UINT n = GetSystemDirectoryA(sys, sizeof sys);
    std::string path = (n > 0 && n < sizeof sys) ? std::string(sys, n) : std::string("C:\\windows\\system32");
    return run_child(path + "\\" + exe_name, args, "", command_timeout_ms);
}

std::string lf_text(const std::string &out)
{
    std::string s;
    s.reserve(out.size());
    for (size_t i = 0; i < out.size(); i++) {
        if (out[i] == '\r' && i + 1 < out.size() && out[i + 1] == '\n')
            continue;
        s += out[i];
    }
    return s;
}

namespace {

std::string trim(const std::string &s)
{
    size_t a = s.find_first_not_of(" \t\r\n");
    if (a == std::string::npos)
        return "";
    size_t b = s.find_last_not_of(" \t\r\n");
    return s.substr(a, b - a + 1);
}

std::vector<std::string> split_lines(const std::string &text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        lines.push_back(line);
    }
    return lines;
}

} // namespace

std::string sc_field(const std::string &sc_out, const std::string &key)
{
    for (const std::string &line : split_lines(sc_out)) {
        size_t colon = line.find(':');
        if (colon != std::string::npos && trim(line.substr(0, colon)) == key)
            return trim(line.substr(colon + 1));
    }
    return "";
}

std::vector<RegLine> reg_lines(const std::string &reg_out)
{
    std::vector<RegLine> r;
    for (const std::string &line : split_lines(reg_out)) {
        // Values are indented; key names and blank lines are not.
        if (line.compare(0, 4, "    ") != 0)
            continue;
        std::string rest = line.substr(4);
        size_t a = rest.find("    ");
        if (a == std::string::npos)
            continue;
        RegLine l;
        l.name = rest.substr(0, a);
        rest = rest.substr(a + 4);
        size_t b = rest.find("    ");
        l.type = rest.substr(0, b);
        l.data = b == std::string::npos ? "" : rest.substr(b + 4);
        r.push_back(l);
    }
    return r;
}

const RegLine *reg_find(const std::vector<RegLine> &lines, const std::string &name)
{
    for (const RegLine &l : lines)
        if (_stricmp(l.name.c_str(), name.c_str()) == 0)
            return &l;
    return nullptr;
}

bool service_exists()
{
    ScmHandles h;
    return open_service(&h, SERVICE_QUERY_STATUS);
}

bool query_service(SERVICE_STATUS_PROCESS *st)
{
    ScmHandles h;
    if (!open_service(&h, SERVICE_QUERY_STATUS))
        return false;
    DWORD needed = 0;
    return QueryServiceStatusEx(h.svc, SC_STATUS_PROCESS_INFO, (LPBYTE)st, sizeof *st, &needed) != 0;
}

bool wait_for_state(DWORD state, int timeout_ms, SERVICE_STATUS_PROCESS *st, long long *elapsed_ms)
{
    long long t0 = now_ms();
    SERVICE_STATUS_PROCESS local = {};
    if (!st)
        st = &local;
    for (;;) {
        bool ok = query_service(st);
        long long dt = now_ms() - t0;
        if (ok && st->dwCurrentState == state) {
            if (elapsed_ms)
                *elapsed_ms = dt;
            return true;
        }
        if (dt > timeout_ms) {
            if (elapsed_ms)
                *elapsed_ms = dt;
            return false;
        }
        Sleep(100);
    }
}

bool wait_until_gone(int timeout_ms, long long *elapsed_ms)
{
    long long t0 = now_ms();
    for (;;) {
        bool exists = service_exists();
        long long dt = now_ms() - t0;
        if (!exists || dt > timeout_ms) {
            if (elapsed_ms)
                *elapsed_ms = dt;
            return !exists;
        }
        Sleep(100);
    }
}

DWORD send_control(DWORD control)
{
    DWORD access = control == SERVICE_CONTROL_STOP ? SERVICE_STOP : SERVICE_PAUSE_CONTINUE;
    ScmHandles h;
    if (!open_service(&h, access))
        return GetLastError();
    SERVICE_STATUS ss = {};
    return ControlService(h.svc, control, &ss) ? 0 : GetLastError();
}

bool delete_service(int timeout_ms)
{
    {
        ScmHandles h;
        h.scm = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
        if (h.scm)
            h.svc = OpenServiceA(h.scm, kServiceName, DELETE);
        if (h.svc && !DeleteService(h.svc) && GetLastError() != ERROR_SERVICE_MARKED_FOR_DELETE)
            printf("[ cleanup  ] DeleteService failed (error %lu)\n", (unsigned long)GetLastError());
    }
    return wait_until_gone(timeout_ms, nullptr);
}

void remove_service()
{
    SERVICE_STATUS_PROCESS st = {};
    if (!query_service(&st))
        return;
    long long t0 = now_ms();
    bool stop_sent = false;
    DWORD host_pid = 0;
    while (query_service(&st) && st.dwCurrentState != SERVICE_STOPPED && now_ms() - t0 < stop_timeout_ms) {
        if (st.dwProcessId)
            host_pid = st.dwProcessId;
        if (!stop_sent && (st.dwCurrentState == SERVICE_RUNNING || st.dwCurrentState == SERVICE_PAUSED))
            stop_sent = send_control(SERVICE_CONTROL_STOP) == 0;
        Sleep(100);
    }
    if (query_service(&st) && st.dwCurrentState != SERVICE_STOPPED) {
        printf("[ cleanup  ] service does not stop (state %lu); killing its host\n",
               (unsigned long)st.dwCurrentState);
        kill_pid_if(st.dwProcessId ? st.dwProcessId : host_pid, "\\quelvaron-service.exe");
        wait_for_state(SERVICE_STOPPED, 10000, &st, nullptr);
    }
    if (!delete_service(30000))
        printf("[ cleanup  ] the service is still registered after 30 s\n");
    if (host_pid)
        wait_process_gone(host_pid, 10000);
}

std::string status_text(const char *state_line, DWORD pid)
{
    return std::string("Servico: ") + kServiceDisplayName + " (" + kServiceName + ")\n" + "Estado:  " + state_line +
           "PID:     " + std::to_string((unsigned long)pid) + "\n";
}

std::vector<PbxLogLine> read_pbx_log(const ServiceFolder &f)
{
    std::vector<PbxLogLine> lines;
    std::ifstream in(f.dir + "\\asterisk.log", std::ios::binary);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.empty())
            continue;
        PbxLogLine l;
        size_t a = line.find(' ');
        l.kind = line.substr(0, a);
        if (a != std::string::npos) {
            size_t b = line.find(' ', a + 1);
            l.pid = strtoul(line.substr(a + 1, b == std::string::npos ? std::string::npos : b - a - 1).c_str(),
                            nullptr, 10);
            if (b != std::string::npos)
                l.rest = line.substr(b + 1);
        }
        lines.push_back(l);
    }
    return lines;
}

std::vector<PbxLogLine> log_lines_of(const std::vector<PbxLogLine> &log, const std::string &kind)
{
    std::vector<PbxLogLine> r;
    for (const PbxLogLine &l : log)
        if (l.kind == kind)
            r.push_back(l);
    return r;
}

DWORD wait_for_pid_file(const ServiceFolder &f, int timeout_ms)
{
    long long t0 = now_ms();
    do {
        std::ifstream in(f.dir + "\\asterisk.pid", std::ios::binary);
        unsigned long pid = 0;
        if (in >> pid && pid != 0)
            return (DWORD)pid;
        Sleep(100);
    } while (now_ms() - t0 < timeout_ms);
    return 0;
}

bool wait_for_log_line(const ServiceFolder &f, const std::string &kind, DWORD pid, int timeout_ms)
{
    long long t0 = now_ms();
    do {
        for (const PbxLogLine &l : read_pbx_log(f))
            if (l.kind == kind && (pid == 0 || l.pid == pid))
                return true;
        Sleep(100);
    } while (now_ms() - t0 < timeout_ms);
    return false;
}

bool process_alive(DWORD pid)
{
    HANDLE h = OpenProcess(SYNCHRONIZE, FALSE, pid);
    if (!h)
        return false;
    bool alive = WaitForSingleObject(h, 0) == WAIT_TIMEOUT;
    CloseHandle(h);
    return alive;
}

bool wait_process_gone(DWORD pid, int timeout_ms)
{
    long long t0 = now_ms();
    while (process_alive(pid)) {
        if (now_ms() - t0 > timeout_ms)
            return false;
        Sleep(100);
    }
    return true;
}

void kill_leftover_pbx(const ServiceFolder &f)
{
    // Only our folder's copy: other tests run development PBXs of their own.
    std::string image = f.dir + "\\asterisk.exe";
    for (const PbxLogLine &l : log_lines_of(read_pbx_log(f), "start"))
        kill_pid_if(l.pid, image.c_str());
    std::ifstream in(f.dir + "\\asterisk.pid", std::ios::binary);
    unsigned long pid = 0;
    if (in >> pid)
        kill_pid_if((DWORD)pid, image.c_str());
}

int free_tcp_port()
{
    WSADATA wsa;
    if (WSAStartup(MAKEWORD(2, 2), &wsa) != 0)
        return -1;
    int port = -1;
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s != INVALID_SOCKET) {
        sockaddr_in a = {};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = 0;
        int len = sizeof a;
        if (bind(s, (sockaddr *)&a, sizeof a) == 0 && getsockname(s, (sockaddr *)&a, &len) == 0)
            port = ntohs(a.sin_port);
        closesocket(s);
    }
    WSACleanup();
    return port;
}

// --- fixture ----------------------------------------------------------------------

void ScmTest::SetUp()
{
    // A registration left by an interrupted run would start with every boot
    // of the prefix and spoil the "not installed" cases.
    if (service_exists()) {
        printf("[ cleanup  ] removing a registration of %s left from before\n", kServiceName);
        remove_service();
    }
}

void ScmTest::TearDown()
{
    remove_service();
    if (prepared_)
        kill_leftover_pbx(folder_);
    EXPECT_FALSE(service_exists()) << "the service could not be removed";
}

::testing::AssertionResult ScmTest::Prepare(bool with_pbx, const std::string &ini_extra, const std::string &name)
{
    std::string why;
    const ::testing::TestInfo *ti = ::testing::UnitTest::GetInstance()->current_test_info();
    if (!prepare_folder(name.empty() ? ti->name() : name, with_pbx, ini_extra, &folder_, &why))
        return ::testing::AssertionFailure() << why;
    prepared_ = true;
    return ::testing::AssertionSuccess();
}

::testing::AssertionResult ScmTest::InstallAndStart(SERVICE_STATUS_PROCESS *running)
{
    ChildResult r = run_service(folder_, {"-install"});
    if (r.exit_code != 0)
        return ::testing::AssertionFailure() << "-install exit " << r.exit_code << ": " << r.out << r.err;
    long long t0 = now_ms();
    r = run_service(folder_, {"-start"});
    if (r.exit_code != 0 || lf_text(r.out) != "[OK] Solicitacao de inicio do servico enviada com sucesso.\n")
        return ::testing::AssertionFailure() << "-start exit " << r.exit_code << ": " << r.out << r.err;
    long long start_ms = now_ms() - t0, wait_ms = 0;
    if (!wait_for_state(SERVICE_RUNNING, 30000, running, &wait_ms))
        return ::testing::AssertionFailure() << "not RUNNING after 30 s (state " << running->dwCurrentState
                                             << ", exit code " << running->dwWin32ExitCode << ")";
    printf("[ timing   ] -start returned after %lld ms, RUNNING %lld ms after that\n", start_ms, wait_ms);
    return ::testing::AssertionSuccess();
}

::testing::AssertionResult ScmTest::StartWithPbx(SERVICE_STATUS_PROCESS *running, DWORD *pbx_pid)
{
    ::testing::AssertionResult started = InstallAndStart(running);
    if (!started)
        return started;
    *pbx_pid = wait_for_pid_file(folder_, 15000);
    if (*pbx_pid == 0)
        return ::testing::AssertionFailure() << "the PBX wrote no pid file within 15 s";
    return ::testing::AssertionSuccess();
}
