// The service when its PBX misbehaves: killed from outside, ending by itself,
// ignoring the stop request (with and without a slow stop request), missing.
// Timings are printed and checked only against wide bounds.
#include "scm_harness.h"

namespace {

class ServicePbxFaults : public ScmTest {};

// Opens the PBX so that its exit code can be read after it has ended.
HANDLE open_pbx(DWORD pid)
{
    return OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
}

TEST_F(ServicePbxFaults, PbxKilledFromOutsideStopsTheService)
{
    ASSERT_TRUE(Prepare(true));
    SERVICE_STATUS_PROCESS st = {};
    DWORD pbx_pid = 0;
    ASSERT_TRUE(StartWithPbx(&st, &pbx_pid));
    DWORD host_pid = st.dwProcessId;

    HANDLE pbx = OpenProcess(PROCESS_TERMINATE, FALSE, pbx_pid);
    ASSERT_NE(pbx, nullptr);
    long long t0 = now_ms();
    EXPECT_TRUE(TerminateProcess(pbx, 9));
    CloseHandle(pbx);

    long long waited = 0;
    ASSERT_TRUE(wait_for_state(SERVICE_STOPPED, 45000, &st, &waited)) << "state " << st.dwCurrentState;
    printf("[ timing   ] STOPPED %lld ms after the PBX was killed\n", now_ms() - t0);
    EXPECT_EQ(st.dwWin32ExitCode, 1067u);
    EXPECT_TRUE(wait_process_gone(host_pid, 10000));

    // The normal stop path ran all the same: a stop request was started
    // (it finds no PBX to talk to).
    std::vector<PbxLogLine> starts = log_lines_of(read_pbx_log(folder_), "start");
    ASSERT_EQ(starts.size(), 2u);
    EXPECT_EQ(starts[1].rest, "\"" + folder_.pbx_exe + "\" -rx \"core stop gracefully\"");

    ChildResult r = run_system_tool("sc.exe", {"query", kServiceName});
    EXPECT_EQ(sc_field(r.out, "STATE").substr(0, 1), "1") << r.out;
    EXPECT_EQ(sc_field(r.out, "WIN32_EXIT_CODE").substr(0, 4), "1067") << r.out;
}

// A PBX that ends by itself is a failure (1067, ERROR_PROCESS_ABORTED),
// whatever its own exit code.
TEST_F(ServicePbxFaults, PbxEndingByItselfStopsTheServiceWith1067)
{
    ASSERT_TRUE(Prepare(true, "exit_after_ms=3000\r\nexit_code=7\r\n"));
    SERVICE_STATUS_PROCESS st = {};
    DWORD pbx_pid = 0;
    ASSERT_TRUE(StartWithPbx(&st, &pbx_pid));

    long long waited = 0;
    ASSERT_TRUE(wait_for_state(SERVICE_STOPPED, 45000, &st, &waited)) << "state " << st.dwCurrentState;
    printf("[ timing   ] STOPPED %lld ms after RUNNING (the PBX ends itself after 3000 ms)\n", waited);
    EXPECT_EQ(st.dwWin32ExitCode, 1067u);
    EXPECT_EQ(st.dwServiceSpecificExitCode, 0u);
    bool exited7 = false;
    for (const PbxLogLine &l : log_lines_of(read_pbx_log(folder_), "exit"))
        exited7 = exited7 || (l.pid == pbx_pid && l.rest == "7");
    EXPECT_TRUE(exited7) << "the PBX did not end by itself with 7";
}

// The PBX lives in a kill-on-close job of its host: a host that is killed
// takes its PBX with it, so no orphan keeps the PBX's ports.
TEST_F(ServicePbxFaults, HostKilledFromOutsideTakesItsPbxAlong)
{
    ASSERT_TRUE(Prepare(true));
    SERVICE_STATUS_PROCESS st = {};
    DWORD pbx_pid = 0;
    ASSERT_TRUE(StartWithPbx(&st, &pbx_pid));
    HANDLE host = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, st.dwProcessId);
    ASSERT_NE(host, nullptr);

    long long t0 = now_ms();
    EXPECT_TRUE(TerminateProcess(host, 9));
    EXPECT_EQ(WaitForSingleObject(host, 10000), WAIT_OBJECT_0);
    CloseHandle(host);
    EXPECT_TRUE(wait_process_gone(pbx_pid, 10000)) << "the PBX outlived its host";
    printf("[ timing   ] PBX gone %lld ms after its host was killed\n", now_ms() - t0);
    EXPECT_TRUE(log_lines_of(read_pbx_log(folder_), "stop-request").empty()) << "ended by a stop request, not with its job";

    // Wine's SCM does not notice a killed host: it goes on reporting RUNNING
    // and refuses a stop (232). Deleting the service drops it at once.
    EXPECT_TRUE(delete_service(30000));
}

// A PBX that answers but ignores the stop request is ended by force once the
// 8000-ms wait has run out, and nothing of it is left running.
TEST_F(ServicePbxFaults, PbxIgnoringTheStopRequestIsTerminated)
{
    ASSERT_TRUE(Prepare(true, "ignore_stop=1\r\n"));
    SERVICE_STATUS_PROCESS st = {};
    DWORD pbx_pid = 0;
    ASSERT_TRUE(StartWithPbx(&st, &pbx_pid));
    HANDLE pbx = open_pbx(pbx_pid);
    ASSERT_NE(pbx, nullptr);

    long long t0 = now_ms();
    ASSERT_EQ(send_control(SERVICE_CONTROL_STOP), 0u);
    ASSERT_TRUE(wait_for_log_line(folder_, "stop-request", pbx_pid, 10000)) << "no stop request reached the PBX";
    long long request_ms = now_ms() - t0;
    long long waited = 0;
    ASSERT_TRUE(wait_for_state(SERVICE_STOPPED, 60000, &st, &waited)) << "state " << st.dwCurrentState;
    long long total = now_ms() - t0;
    printf("[ timing   ] stop request seen by the PBX after %lld ms; forced end %lld ms after that; %lld ms in all\n",
           request_ms, total - request_ms, total);
    EXPECT_EQ(st.dwWin32ExitCode, 0u);
    EXPECT_GE(total - request_ms, 6000) << "the PBX was not given its 8000 ms";
    EXPECT_LE(total, 30000);

    EXPECT_EQ(WaitForSingleObject(pbx, 5000), WAIT_OBJECT_0) << "the PBX is still running";
    DWORD code = 1234;
    EXPECT_TRUE(GetExitCodeProcess(pbx, &code));
    EXPECT_EQ(code, 0u) << "terminated with exit code 0";
    CloseHandle(pbx);
    for (const PbxLogLine &l : log_lines_of(read_pbx_log(folder_), "exit"))
        EXPECT_NE(l.pid, pbx_pid) << "the PBX ended by itself instead of being terminated";
    for (const PbxLogLine &l : log_lines_of(read_pbx_log(folder_), "start"))
        EXPECT_TRUE(wait_process_gone(l.pid, 5000)) << "pid " << l.pid << " still runs: " << l.rest;
}

// The stop request itself hangs for 7 s: the service gives it 5000 ms and ends
// it, then gives the PBX 8000 ms, about 13 s in all.
TEST_F(ServicePbxFaults, SlowStopRequestAndIgnoringPbxTakeBothWaits)
{
    ASSERT_TRUE(Prepare(true, "ignore_stop=1\r\nstop_request_hang_ms=7000\r\n"));
    SERVICE_STATUS_PROCESS st = {};
    DWORD pbx_pid = 0;
    ASSERT_TRUE(StartWithPbx(&st, &pbx_pid));
    HANDLE pbx = open_pbx(pbx_pid);
    ASSERT_NE(pbx, nullptr);

    long long t0 = now_ms();
    ASSERT_EQ(send_control(SERVICE_CONTROL_STOP), 0u);
    long long waited = 0;
    ASSERT_TRUE(wait_for_state(SERVICE_STOPPED, 90000, &st, &waited)) << "state " << st.dwCurrentState;
    long long total = now_ms() - t0;
    printf("[ timing   ] STOPPED %lld ms after the stop control (5000 + 8000 expected)\n", total);
    EXPECT_EQ(st.dwWin32ExitCode, 0u);
    EXPECT_GE(total, 11000) << "one of the two waits was cut short";
    EXPECT_LE(total, 60000);
    EXPECT_TRUE(log_lines_of(read_pbx_log(folder_), "stop-request").empty()) << "the stop request outlived its wait";

    EXPECT_EQ(WaitForSingleObject(pbx, 5000), WAIT_OBJECT_0) << "the PBX is still running";
    CloseHandle(pbx);
    for (const PbxLogLine &l : log_lines_of(read_pbx_log(folder_), "start"))
        EXPECT_TRUE(wait_process_gone(l.pid, 10000)) << "pid " << l.pid << " still runs: " << l.rest;
}

// No asterisk.exe beside the service nor in the fixed places: the bare name
// cannot be started, and the service ends with 1067.
TEST_F(ServicePbxFaults, NoPbxAnywhereEndsWithProcessAborted)
{
    for (const char *p : {"C:\\Asterisk\\bin\\asterisk.exe", "C:\\Program Files\\Quelvaron Asterisk\\bin\\asterisk.exe",
                          "C:\\Program Files (x86)\\Quelvaron Asterisk\\bin\\asterisk.exe"})
        ASSERT_EQ(GetFileAttributesA(p), INVALID_FILE_ATTRIBUTES) << p << " exists in this prefix";
    ASSERT_TRUE(Prepare(false));

    ChildResult r = run_service(folder_, {"-install"});
    ASSERT_EQ(r.exit_code, 0) << r.out;
    long long t0 = now_ms();
    r = run_service(folder_, {"-start"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(lf_text(r.out), "[OK] Solicitacao de inicio do servico enviada com sucesso.\n");

    SERVICE_STATUS_PROCESS st = {};
    ASSERT_TRUE(wait_for_state(SERVICE_STOPPED, 30000, &st, nullptr)) << "state " << st.dwCurrentState;
    printf("[ timing   ] STOPPED %lld ms after -start\n", now_ms() - t0);
    EXPECT_EQ(st.dwWin32ExitCode, 1067u);

    r = run_system_tool("sc.exe", {"query", kServiceName});
    EXPECT_EQ(sc_field(r.out, "WIN32_EXIT_CODE").substr(0, 4), "1067") << r.out;
    r = run_service(folder_, {"-status"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(lf_text(r.out), status_text("PARADO (STOPPED)\n", 0));
}

} // namespace
