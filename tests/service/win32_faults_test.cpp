// Every call through the host's Win32 seam fails in turn, once and from there
// on, in each command and in a service run. A command reports the failure
// with exit code 1 and "[ERRO] ... (Erro N)" (or goes on, saying so in an
// "[AVISO]" line); a service run with an event or its exit code. Handles are
// closed exactly once, and no wait but the service thread's is unbounded.
#include "win32_fakes.h"

namespace {

using ::testing::internal::CaptureStdout;
using ::testing::internal::GetCapturedStdout;

const HANDLE kPbx = FAKE_PROCESS(0);

// The command line's long-standing texts, which name what failed but carry no code.
bool FixedText(const std::string &line)
{
    for (const char *text : {"[ERRO] Nao foi possivel abrir o Gerenciador de Servicos (execute como Administrador).\n",
                             "[ERRO] Nao foi possivel obter o caminho do binario.\n",
                             "[ERRO] Nao foi possivel conectar ao Gerenciador de Servicos.\n"})
        if (line == text)
            return true;
    return false;
}

DWORD StopRequest()
{
    ServiceHandlerEx(SERVICE_CONTROL_STOP, 0, nullptr, nullptr);
    return WAIT_OBJECT_0;
}

const struct {
    const char *option; // null: a service run, the SCM played by `scm`
    DWORD (*scm)() = nullptr;
    bool pbxIgnoresStop = false;
} kRuns[] = {{"-install"}, {"-uninstall"}, {"-start"}, {"-stop"}, {"-status"}, {"-console"},
             {nullptr, StopRequest}, {nullptr, [] { return (DWORD)WAIT_OBJECT_0 + 1; }}, {nullptr, StopRequest, true}};

TEST(FaultInjection, Win32)
{
    std::string baseOut;
    int baseExit = 0;
    Inject("win32", sizeof(kRuns) / sizeof(kRuns[0]), [&](int s, int k, bool persistent) {
        fake = FakeWin32();
        InstallWin32Fakes();
        g_ProcessHandle = g_JobHandle = g_StopEvent = NULL;
        memset(&g_ServiceStatus, 0, sizeof(g_ServiceStatus));
        fake.existingFiles = {"C:\\QV\\bin\\asterisk.exe"};
        fake.folderSddl = {{"C:\\QV\\bin", kLockedFolderSddl}};
        fake.queryStatus.dwCurrentState = SERVICE_RUNNING;
        fake.onWaitMultiple = [s](DWORD, const HANDLE *, BOOL, DWORD) { return kRuns[s].scm(); };
        fake.onWaitSingle = [s](HANDLE h, DWORD) -> DWORD {
            return kRuns[s].pbxIgnoresStop && h == kPbx ? WAIT_TIMEOUT : WAIT_OBJECT_0;
        };
        fake.fault.at = k, fake.fault.persistent = persistent;
        char program[] = "quelvaron-service.exe", option[16] = "";
        char *argv[] = {program, option, nullptr};
        std::string out; // the command's output, or the service's events and its last status
        int exit;
        if (kRuns[s].option != nullptr) {
            snprintf(option, sizeof(option), "%s", kRuns[s].option);
            CaptureStdout();
            exit = ServiceCommandMain(2, argv);
            out = GetCapturedStdout();
        } else {
            ServiceMain(1, argv);
            for (const EventCall &e : fake.events)
                out += (e.type == EVENTLOG_INFORMATION_TYPE ? "" : "[ERRO] ") + e.text + "\n";
            exit = g_ServiceStatus.dwCurrentState == SERVICE_STOPPED ? (int)g_ServiceStatus.dwWin32ExitCode : -1;
        }
        if (k == 0)
            baseOut = out, baseExit = exit;
        Outcome r;
        r.calls = fake.fault.calls;
        r.failed = fake.fault.failed;
        std::string added; // lines the run without failures does not have
        bool error = false, warned = false; // an [ERRO] or [AVISO] line among them that names the code
        for (size_t at = 0, end; (end = out.find('\n', at)) != std::string::npos; at = end + 1) {
            std::string line = out.substr(at, end - at + 1);
            if (baseOut.find(line) == std::string::npos) {
                added += line;
                error |= line.rfind("[ERRO] ", 0) == 0 && (NamesCode(line, fake.fault.codes) || FixedText(line));
                warned |= line.rfind("[AVISO] ", 0) == 0 && NamesCode(line, fake.fault.codes);
            }
        }
        // A service run reports with an event or its exit code; from there on
        // its event log fails too, so it counts as reported when its status
        // is an error, or when the same call failing once was reported.
        static bool once;
        r.reported = kRuns[s].option != nullptr
                         ? (exit == 1 && error) || (exit == baseExit && warned)
                         : error || fake.fault.codes.count(exit) ||
                               (persistent && ((exit != 0 && exit != baseExit) || once));
        once = persistent ? once : r.reported;
        r.sane = exit == baseExit && added.find("[ERRO] ") == std::string::npos;
        for (const auto &h : fake.handles)
            r.leaked |= h.second != 0;
        r.leaked |= g_ProcessHandle != NULL || g_JobHandle != NULL || g_StopEvent != NULL || fake.longestWait > 8000;
        r.what = r.failed + " failed; exit " + std::to_string(exit) + ", new [" + added + "]";
        return r;
    });
    g_Win32 = g_Win32Real;
}

} // namespace
