// The service's life under the real SCM with the development PBX as
// asterisk.exe: start, status, the PBX's command lines, stop, pause and
// continue, and removal while it runs.
#include "scm_harness.h"

namespace {

const char kRunningLine[] = "EM EXECUCAO (RUNNING)\n";
const char kStoppedLine[] = "PARADO (STOPPED)\n";

class ServiceLifecycle : public ScmTest {
protected:
    std::string Quoted(const char *tail) const
    {
        return "\"" + folder_.pbx_exe + "\"" + tail;
    }
};

TEST_F(ServiceLifecycle, StartRunsThePbxAndStopEndsItGracefully)
{
    ASSERT_TRUE(Prepare(true));
    SERVICE_STATUS_PROCESS st = {};
    ASSERT_TRUE(InstallAndStart(&st));
    DWORD host_pid = st.dwProcessId;
    EXPECT_NE(host_pid, 0u);
    EXPECT_EQ(st.dwWin32ExitCode, 0u);
    EXPECT_EQ(st.dwControlsAccepted, 0x107u) << "stop + pause/continue + shutdown + preshutdown";
    EXPECT_EQ(st.dwCheckPoint, 0u);

    DWORD pbx_pid = wait_for_pid_file(folder_, 15000);
    ASSERT_NE(pbx_pid, 0u) << "the PBX never wrote asterisk.pid";
    EXPECT_NE(pbx_pid, host_pid);
    EXPECT_TRUE(process_alive(pbx_pid));

    // The PBX got the quoted path and exactly " -f -vvv".
    std::vector<PbxLogLine> starts = log_lines_of(read_pbx_log(folder_), "start");
    ASSERT_EQ(starts.size(), 1u);
    EXPECT_EQ(starts[0].pid, pbx_pid);
    EXPECT_EQ(starts[0].rest, Quoted(" -f -vvv"));

    // -status shows the host's pid, not the PBX's.
    ChildResult r = run_service(folder_, {"-status"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(lf_text(r.out), status_text(kRunningLine, host_pid));
    r = run_service(folder_, {"/STATUS", "ignored"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(lf_text(r.out), status_text(kRunningLine, host_pid));

    r = run_system_tool("sc.exe", {"query", kServiceName});
    EXPECT_EQ(sc_field(r.out, "STATE").substr(0, 1), "4") << r.out;

    // Starting it again is refused by the SCM: 1056, already running.
    r = run_service(folder_, {"-start"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(lf_text(r.out), "[ERRO] Falha ao iniciar servico (Erro 1056).\n");

    long long t0 = now_ms();
    r = run_service(folder_, {"-stop"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(lf_text(r.out), "[OK] Solicitacao de parada do servico enviada com sucesso.\n");
    long long waited = 0;
    ASSERT_TRUE(wait_for_state(SERVICE_STOPPED, 45000, &st, &waited)) << "state " << st.dwCurrentState;
    printf("[ timing   ] STOPPED %lld ms after -stop was started\n", now_ms() - t0);
    EXPECT_EQ(st.dwWin32ExitCode, 0u);
    EXPECT_EQ(st.dwProcessId, 0u);

    // The PBX was asked with the stop request and ended by itself.
    std::vector<PbxLogLine> log = read_pbx_log(folder_);
    starts = log_lines_of(log, "start");
    ASSERT_EQ(starts.size(), 2u);
    EXPECT_EQ(starts[1].rest, Quoted(" -rx \"core stop gracefully\""));
    std::vector<PbxLogLine> requests = log_lines_of(log, "stop-request");
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].pid, pbx_pid);
    bool exited = false;
    for (const PbxLogLine &l : log_lines_of(log, "exit"))
        exited = exited || (l.pid == pbx_pid && l.rest == "0");
    EXPECT_TRUE(exited) << "no \"exit " << pbx_pid << " 0\" line";
    EXPECT_TRUE(wait_process_gone(pbx_pid, 5000));
    EXPECT_TRUE(wait_process_gone(host_pid, 10000)) << "the service host is still running";

    r = run_service(folder_, {"-status"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(lf_text(r.out), status_text(kStoppedLine, 0));
    r = run_system_tool("sc.exe", {"query", kServiceName});
    EXPECT_EQ(sc_field(r.out, "STATE").substr(0, 1), "1") << r.out;
    EXPECT_EQ(sc_field(r.out, "WIN32_EXIT_CODE").substr(0, 1), "0") << r.out;

    // Stopping a stopped service is the SCM's 1062 (not started).
    r = run_service(folder_, {"-stop"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(lf_text(r.out), "[ERRO] Falha ao parar servico (Erro 1062).\n");
}

// Registered unquoted, the path below would make the SCM run <bin>\scm-Blanks.exe
// first. A decoy lies there (a program that ends at once, so the service
// would never run) and must stay unused.
TEST_F(ServiceLifecycle, StartsFromAFolderWithBlanksAndParentheses)
{
    ASSERT_TRUE(Prepare(true, "", "Blanks (x86) Folder"));
    char sys[MAX_PATH];
    UINT n = GetSystemDirectoryA(sys, sizeof sys);
    ASSERT_TRUE(n > 0 && n < sizeof sys);
    std::string decoy = folder_.dir.substr(0, folder_.dir.find(' ')) + ".exe";
    ASSERT_TRUE(CopyFileA((std::string(sys) + "\\hostname.exe").c_str(), decoy.c_str(), FALSE)) << decoy;

    SERVICE_STATUS_PROCESS st = {};
    DWORD pbx_pid = 0;
    ::testing::AssertionResult started = StartWithPbx(&st, &pbx_pid);
    DeleteFileA(decoy.c_str());
    ASSERT_TRUE(started);
    std::vector<PbxLogLine> starts = log_lines_of(read_pbx_log(folder_), "start");
    ASSERT_EQ(starts.size(), 1u);
    EXPECT_EQ(starts[0].rest, Quoted(" -f -vvv"));
}

// Pause and continue change only the reported state; the PBX keeps running,
// and a stop while paused takes the normal path.
TEST_F(ServiceLifecycle, PauseAndContinueLeaveThePbxRunning)
{
    ASSERT_TRUE(Prepare(true));
    SERVICE_STATUS_PROCESS st = {};
    DWORD pbx_pid = 0;
    ASSERT_TRUE(StartWithPbx(&st, &pbx_pid));
    DWORD host_pid = st.dwProcessId;

    ASSERT_EQ(send_control(SERVICE_CONTROL_PAUSE), 0u);
    ASSERT_TRUE(wait_for_state(SERVICE_PAUSED, 10000, &st, nullptr)) << "state " << st.dwCurrentState;
    ChildResult r = run_service(folder_, {"-status"});
    EXPECT_EQ(lf_text(r.out), status_text("PAUSADO (PAUSED)\n", host_pid));
    EXPECT_TRUE(process_alive(pbx_pid));

    ASSERT_EQ(send_control(SERVICE_CONTROL_CONTINUE), 0u);
    ASSERT_TRUE(wait_for_state(SERVICE_RUNNING, 10000, &st, nullptr)) << "state " << st.dwCurrentState;
    EXPECT_TRUE(process_alive(pbx_pid));

    ASSERT_EQ(send_control(SERVICE_CONTROL_PAUSE), 0u);
    ASSERT_TRUE(wait_for_state(SERVICE_PAUSED, 10000, &st, nullptr));
    r = run_service(folder_, {"-stop"});
    EXPECT_EQ(r.exit_code, 0) << r.out;
    ASSERT_TRUE(wait_for_state(SERVICE_STOPPED, 45000, &st, nullptr)) << "state " << st.dwCurrentState;
    EXPECT_EQ(st.dwWin32ExitCode, 0u);
    EXPECT_TRUE(wait_for_log_line(folder_, "stop-request", pbx_pid, 1000));
    EXPECT_TRUE(wait_process_gone(pbx_pid, 5000));
}

// Uninstall asks a running service to stop and marks it for deletion without
// waiting; the SCM drops it once it has stopped. The event-log key stays.
TEST_F(ServiceLifecycle, UninstallOfARunningServiceStopsAndRemovesIt)
{
    ASSERT_TRUE(Prepare(true));
    SERVICE_STATUS_PROCESS st = {};
    DWORD pbx_pid = 0;
    ASSERT_TRUE(StartWithPbx(&st, &pbx_pid));
    DWORD host_pid = st.dwProcessId;

    long long t0 = now_ms();
    ChildResult r = run_service(folder_, {"-uninstall"});
    long long returned = now_ms() - t0;
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(lf_text(r.out), "[OK] Servico 'QuelvaronAsterisk' removido com sucesso.\n");

    long long gone_ms = 0;
    EXPECT_TRUE(wait_until_gone(45000, &gone_ms)) << "still registered";
    printf("[ timing   ] -uninstall returned after %lld ms; service gone %lld ms after that\n", returned, gone_ms);
    EXPECT_TRUE(wait_for_log_line(folder_, "stop-request", pbx_pid, 1000)) << "the PBX was not asked to stop";
    EXPECT_TRUE(wait_process_gone(pbx_pid, 10000));
    EXPECT_TRUE(wait_process_gone(host_pid, 10000));

    r = run_service(folder_, {"-status"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(lf_text(r.out), "Servico 'QuelvaronAsterisk': NAO INSTALADO\n");

    HKEY key;
    LONG rc = RegOpenKeyExA(HKEY_LOCAL_MACHINE,
                            "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\QuelvaronAsterisk", 0,
                            KEY_QUERY_VALUE, &key);
    EXPECT_EQ(rc, ERROR_SUCCESS) << "uninstall removed the event-log registration";
    if (rc == ERROR_SUCCESS)
        RegCloseKey(key);
}

} // namespace
