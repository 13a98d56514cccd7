// Measuring probe for bench/service_bench.sh, run under Wine beside the
// service. One command per call, figures printed as "name value" lines:
//
//   qv_scm_probe state                    state, pid and exit code of QuelvaronAsterisk
//   qv_scm_probe wait <state> <ms>        polls (10 ms) until the state; wait_ms
//   qv_scm_probe stop-timed <ms>          stop control, then polls until STOPPED; stop_to_stopped_ms
//   qv_scm_probe pause                    pause control (Wine's sc has no pause)
//   qv_scm_probe config <start> [account] start type (2 auto, 3 demand, 4 disabled) and
//                                         account, as an administrator sets them (Wine's sc
//                                         has no config); the password stays
//   qv_scm_probe qc                       "<start type> <account>"
//   qv_scm_probe mem <pid>                peak and current working set of a process, in KiB
//   qv_scm_probe direct-stop <pbx.exe> [no-window|detached]
//                                         starts the PBX with -f -vvv itself, then times
//                                         <pbx.exe> -rx "core stop gracefully" and the PBX's exit;
//                                         both created with CREATE_NO_WINDOW as the service does
//                                         (default), or DETACHED_PROCESS (no console at all)
//   qv_scm_probe idle-mem <idle.exe> <ms> starts the idle program, lets it settle, prints its memory
//
// Exit code 0 on success, 1 when a step failed or timed out (with a reason on
// standard error).
#include <windows.h>
#include <psapi.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

const char kServiceName[] = "QuelvaronAsterisk";

double now_ms()
{
    static LARGE_INTEGER freq;
    if (freq.QuadPart == 0)
        QueryPerformanceFrequency(&freq);
    LARGE_INTEGER t;
    QueryPerformanceCounter(&t);
    return (double)t.QuadPart * 1000.0 / (double)freq.QuadPart;
}

int fail(const char *what)
{
    fprintf(stderr, "qv_scm_probe: %s (error %lu)\n", what, (unsigned long)GetLastError());
    return 1;
}

bool query(SERVICE_STATUS_PROCESS *st)
{
    SC_HANDLE scm = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (!scm)
        return false;
    SC_HANDLE svc = OpenServiceA(scm, kServiceName, SERVICE_QUERY_STATUS);
    DWORD needed = 0;
    bool ok = svc && QueryServiceStatusEx(svc, SC_STATUS_PROCESS_INFO, (LPBYTE)st, sizeof *st, &needed);
    if (svc)
        CloseServiceHandle(svc);
    CloseServiceHandle(scm);
    return ok;
}

// Polls every 10 ms; returns the milliseconds until `state`, or -1.
double wait_state(DWORD state, double t0, double timeout_ms)
{
    SERVICE_STATUS_PROCESS st = {};
    for (;;) {
        if (query(&st) && st.dwCurrentState == state)
            return now_ms() - t0;
        if (now_ms() - t0 > timeout_ms)
            return -1;
        Sleep(10);
    }
}

int print_mem(DWORD pid)
{
    HANDLE h = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, pid);
    if (!h)
        h = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    if (!h)
        return fail("OpenProcess");
    PROCESS_MEMORY_COUNTERS pmc = {};
    pmc.cb = sizeof pmc;
    BOOL ok = GetProcessMemoryInfo(h, &pmc, sizeof pmc);
    CloseHandle(h);
    if (!ok)
        return fail("GetProcessMemoryInfo");
    printf("peak_working_set_kb %llu\n", (unsigned long long)(pmc.PeakWorkingSetSize / 1024));
    printf("working_set_kb %llu\n", (unsigned long long)(pmc.WorkingSetSize / 1024));
    printf("peak_pagefile_kb %llu\n", (unsigned long long)(pmc.PeakPagefileUsage / 1024));
    return 0;
}

bool spawn(const std::string &cmdline, PROCESS_INFORMATION *pi, DWORD flags = CREATE_NO_WINDOW)
{
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    std::string buf = cmdline;
    return CreateProcessA(nullptr, &buf[0], nullptr, nullptr, FALSE, flags, nullptr, nullptr, &si,
                          pi) != 0;
}

// Under Wine a CREATE_NO_WINDOW console child gets a hidden console host of
// its own, which costs time at start and exit; DETACHED_PROCESS shows the
// PBX's own stop time without it.
int direct_stop(const std::string &pbx, DWORD flags)
{
    std::string pid_file = pbx.substr(0, pbx.size() - 4) + ".pid"; // <dir>\<base>.pid
    DeleteFileA(pid_file.c_str());
    PROCESS_INFORMATION running = {};
    if (!spawn("\"" + pbx + "\" -f -vvv", &running, flags))
        return fail("cannot start the PBX");
    CloseHandle(running.hThread);
    // Ready once it has written its pid (after opening its port).
    double t0 = now_ms();
    while (GetFileAttributesA(pid_file.c_str()) == INVALID_FILE_ATTRIBUTES) {
        if (now_ms() - t0 > 15000 || WaitForSingleObject(running.hProcess, 0) == WAIT_OBJECT_0) {
            TerminateProcess(running.hProcess, 1);
            CloseHandle(running.hProcess);
            return fail("the PBX did not come up");
        }
        Sleep(10);
    }
    Sleep(300);

    PROCESS_INFORMATION rx = {};
    t0 = now_ms();
    if (!spawn("\"" + pbx + "\" -rx \"core stop gracefully\"", &rx, flags)) {
        TerminateProcess(running.hProcess, 1);
        CloseHandle(running.hProcess);
        return fail("cannot start the stop request");
    }
    WaitForSingleObject(rx.hProcess, 30000);
    double rx_ms = now_ms() - t0;
    DWORD rx_code = 1;
    GetExitCodeProcess(rx.hProcess, &rx_code);
    CloseHandle(rx.hProcess);
    CloseHandle(rx.hThread);
    DWORD w = WaitForSingleObject(running.hProcess, 30000);
    double exit_ms = now_ms() - t0;
    if (w != WAIT_OBJECT_0)
        TerminateProcess(running.hProcess, 1);
    CloseHandle(running.hProcess);
    if (w != WAIT_OBJECT_0 || rx_code != 0) {
        fprintf(stderr, "qv_scm_probe: the PBX did not stop on request (rx exit %lu)\n", (unsigned long)rx_code);
        return 1;
    }
    printf("direct_rx_ms %.1f\n", rx_ms);
    printf("direct_pbx_exit_ms %.1f\n", exit_ms);
    return 0;
}

int idle_mem(const std::string &exe, int settle_ms)
{
    PROCESS_INFORMATION pi = {};
    if (!spawn("\"" + exe + "\"", &pi))
        return fail("cannot start the idle program");
    CloseHandle(pi.hThread);
    Sleep(settle_ms);
    int rc = print_mem(pi.dwProcessId);
    TerminateProcess(pi.hProcess, 0);
    WaitForSingleObject(pi.hProcess, 5000);
    CloseHandle(pi.hProcess);
    return rc;
}

} // namespace

int main(int argc, char **argv)
{
    std::string cmd = argc > 1 ? argv[1] : "";
    if (cmd == "state" && argc == 2) {
        SERVICE_STATUS_PROCESS st = {};
        if (!query(&st))
            return fail("service not found");
        printf("state %lu\npid %lu\nexit_code %lu\n", (unsigned long)st.dwCurrentState,
               (unsigned long)st.dwProcessId, (unsigned long)st.dwWin32ExitCode);
        return 0;
    }
    if (cmd == "wait" && argc == 4) {
        double ms = wait_state((DWORD)atoi(argv[2]), now_ms(), atof(argv[3]));
        if (ms < 0)
            return fail("state not reached in time");
        printf("wait_ms %.1f\n", ms);
        return 0;
    }
    if (cmd == "stop-timed" && argc == 3) {
        SC_HANDLE scm = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
        SC_HANDLE svc = scm ? OpenServiceA(scm, kServiceName, SERVICE_STOP) : nullptr;
        if (!svc)
            return fail("cannot open the service");
        SERVICE_STATUS ss = {};
        double t0 = now_ms();
        BOOL sent = ControlService(svc, SERVICE_CONTROL_STOP, &ss);
        double control_ms = now_ms() - t0;
        CloseServiceHandle(svc);
        CloseServiceHandle(scm);
        if (!sent)
            return fail("stop control refused");
        double ms = wait_state(SERVICE_STOPPED, t0, atof(argv[2]));
        if (ms < 0)
            return fail("not STOPPED in time");
        printf("stop_control_ms %.1f\n", control_ms);
        printf("stop_to_stopped_ms %.1f\n", ms);
        return 0;
    }
    if (cmd == "pause" && argc == 2) {
        SC_HANDLE scm = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
        SC_HANDLE svc = scm ? OpenServiceA(scm, kServiceName, SERVICE_PAUSE_CONTINUE) : nullptr;
        SERVICE_STATUS ss = {};
        BOOL sent = svc && ControlService(svc, SERVICE_CONTROL_PAUSE, &ss);
        if (svc)
            CloseServiceHandle(svc);
        if (scm)
            CloseServiceHandle(scm);
        return sent ? 0 : fail("pause control refused");
    }
    if ((cmd == "config" && (argc == 3 || argc == 4)) || (cmd == "qc" && argc == 2)) {
        SC_HANDLE scm = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
        SC_HANDLE svc = scm ? OpenServiceA(scm, kServiceName, SERVICE_CHANGE_CONFIG | SERVICE_QUERY_CONFIG) : nullptr;
        static union {
            QUERY_SERVICE_CONFIGA config;
            char bytes[8192];
        } answer;
        DWORD needed = 0;
        BOOL done = svc && (cmd == "qc"
                                ? QueryServiceConfigA(svc, &answer.config, sizeof answer, &needed)
                                : ChangeServiceConfigA(svc, SERVICE_NO_CHANGE, (DWORD)atoi(argv[2]), SERVICE_NO_CHANGE,
                                                       nullptr, nullptr, nullptr, nullptr, argc == 4 ? argv[3] : nullptr,
                                                       argc == 4 && strncmp(argv[3], "NT SERVICE\\", 11) != 0 ? "" : nullptr,
                                                       nullptr));
        if (done && cmd == "qc")
            printf("%lu %s\n", (unsigned long)answer.config.dwStartType,
                   answer.config.lpServiceStartName ? answer.config.lpServiceStartName : "");
        if (svc)
            CloseServiceHandle(svc);
        if (scm)
            CloseServiceHandle(scm);
        return done ? 0 : fail("the configuration cannot be read or changed");
    }
    if (cmd == "mem" && argc == 3)
        return print_mem((DWORD)strtoul(argv[2], nullptr, 10));
    if (cmd == "direct-stop" && (argc == 3 || argc == 4)) {
        std::string how = argc == 4 ? argv[3] : "no-window";
        if (how == "no-window" || how == "detached")
            return direct_stop(argv[2], how == "detached" ? DETACHED_PROCESS : CREATE_NO_WINDOW);
    }
    if (cmd == "idle-mem" && argc == 4)
        return idle_mem(argv[2], atoi(argv[3]));
    fprintf(stderr, "usage: qv_scm_probe state | wait <state> <ms> | stop-timed <ms> | pause | config <start> [account] |\n"
                    "       qc | mem <pid> |\n"
                    "       direct-stop <pbx.exe> [no-window|detached] | idle-mem <idle.exe> <settle ms>\n");
    return 2;
}
