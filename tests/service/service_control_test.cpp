// The service thread (ServiceMain), the control handler and the status reports.
//
// The checkpoint counter lives for the whole test program, as it lives for
// the whole service process, so checkpoints are checked relative to the
// first pending report of each test.
#include "win32_fakes.h"

#include <atomic>
#include <thread>

using ::testing::ElementsAre;

namespace {

struct Report {
    DWORD state, exitCode, waitHint, checkPoint, accepted;
};

bool operator==(const Report &a, const Report &b)
{
    return a.state == b.state && a.exitCode == b.exitCode && a.waitHint == b.waitHint &&
           a.checkPoint == b.checkPoint && a.accepted == b.accepted;
}

std::ostream &operator<<(std::ostream &os, const Report &r)
{
    return os << "{state " << r.state << ", exit " << r.exitCode << ", hint " << r.waitHint << ", checkpoint "
              << r.checkPoint << ", accepted " << r.accepted << "}";
}

// Every state but START_PENDING accepts stop, pause/continue, shutdown and preshutdown.
const DWORD A = 0x107;

std::vector<Report> Reports()
{
    std::vector<Report> out;
    for (const SERVICE_STATUS &s : fake.reports) {
        out.push_back({s.dwCurrentState, s.dwWin32ExitCode, s.dwWaitHint, s.dwCheckPoint, s.dwControlsAccepted});
    }
    return out;
}

const char kStarted[] = "Servico Quelvaron Asterisk inicializado. Carregando motor PBX...";
const char kLaunching[] = "Disparando processo Asterisk PBX: \"asterisk.exe\" -f -vvv";
const char kRunning[] = "Servico Quelvaron Asterisk em execucao continua.";
const char kStopRequested[] = "Comando de parada recebido do SCM.";
const char kStopping[] = "Encerrando processo Asterisk PBX de forma limpa...";
const char kEndedAlone[] = "Processo Asterisk terminou inesperadamente.";
const char kStopped[] = "Servico Quelvaron Asterisk parado com sucesso.";
const char kPaused[] = "Comando de pausa recebido. Novas conexoes VoIP pausadas.";
const char kContinued[] = "Comando de continuacao recebido. Retomando servico.";

class ServiceThread : public ServiceHostTest {
  protected:
    // Runs ServiceMain; `duringWait` plays the SCM while the thread waits.
    void Run(std::function<DWORD()> duringWait)
    {
        fake.onWaitMultiple = [duringWait](DWORD, const HANDLE *, BOOL, DWORD) { return duringWait(); };
        char name[] = "QuelvaronAsterisk";
        LPSTR argv[] = {name, nullptr};
        ServiceMain(1, argv);
    }
    static DWORD Control(DWORD code) { return ServiceHandlerEx(code, 0, nullptr, nullptr); }
    DWORD First() const { return fake.reports.empty() ? 0 : fake.reports[0].dwCheckPoint; }
};

TEST_F(ServiceThread, NormalRunStoppedByRequest)
{
    DWORD handlerResult = 99;
    Run([&] {
        handlerResult = Control(SERVICE_CONTROL_STOP);
        return WAIT_OBJECT_0;
    });
    DWORD c = First();
    ASSERT_GE(c, 1u);

    EXPECT_THAT(Reports(), ElementsAre(Report{SERVICE_START_PENDING, 0, 5000, c, 0},
                                       Report{SERVICE_RUNNING, 0, 0, 0, A}, Report{SERVICE_STOP_PENDING, 0, 10000, c + 1, A},
                                       Report{SERVICE_STOP_PENDING, 0, 5000, c + 2, A}, Report{SERVICE_STOP_PENDING, 0, 8000, c + 3, A},
                                       Report{SERVICE_STOPPED, 0, 0, 0, A}));
    for (size_t i = 0; i < fake.reports.size(); i++) {
        EXPECT_EQ(fake.reports[i].dwServiceType, (DWORD)SERVICE_WIN32_OWN_PROCESS) << i;
        EXPECT_EQ(fake.reports[i].dwServiceSpecificExitCode, 0u) << i;
        EXPECT_EQ(fake.reportHandles[i], FAKE_STATUS_HANDLE) << i;
    }
    EXPECT_EQ(handlerResult, (DWORD)NO_ERROR);
    EXPECT_THAT(EventTexts(), ElementsAre(kStarted, kLaunching, kRunning, kStopRequested, kStopping, kStopped));
    for (const EventCall &e : fake.events) {
        EXPECT_EQ(e.type, EVENTLOG_INFORMATION_TYPE) << e.text;
    }

    EXPECT_EQ(fake.handlerName, "QuelvaronAsterisk");
    EXPECT_EQ(fake.handlerProc, &ServiceHandlerEx);
    EXPECT_EQ(fake.handlerContext, nullptr);
    EXPECT_TRUE(fake.eventAttributesNull);
    EXPECT_EQ(fake.eventManualReset, TRUE);
    EXPECT_EQ(fake.eventInitialState, FALSE);
    EXPECT_TRUE(fake.eventNameNull);
    EXPECT_THAT(LogLines("WaitForMultipleObjects"), ElementsAre("WaitForMultipleObjects 2 0 4294967295"));
    EXPECT_THAT(fake.waitMultipleHandles, ElementsAre(FAKE_STOP_EVENT, FAKE_PROCESS(0)));
    EXPECT_THAT(LogLines("SetEvent"), ElementsAre("SetEvent " + Hex(FAKE_STOP_EVENT)));

    // The PBX and the stop request were started, and the stop went its whole way.
    ASSERT_EQ(fake.processes.size(), 2u);
    EXPECT_EQ(fake.processes[1].commandLine, "\"asterisk.exe\" -rx \"core stop gracefully\"");
    EXPECT_THAT(LogLines("CloseHandle"),
                ElementsAre("CloseHandle " + Hex(FAKE_THREAD(0)), "CloseHandle " + Hex(FAKE_PROCESS(1)),
                            "CloseHandle " + Hex(FAKE_THREAD(1)), "CloseHandle " + Hex(FAKE_PROCESS(0)),
                            "CloseHandle " + Hex(FAKE_JOB), "CloseHandle " + Hex(FAKE_STOP_EVENT)));
    EXPECT_EQ(g_ProcessHandle, nullptr);
    EXPECT_EQ(g_JobHandle, nullptr);
    EXPECT_EQ(g_StopEvent, nullptr);
}

TEST_F(ServiceThread, HandlerReportsBeforeItSignalsAndTheThreadReportsAfterItsWait)
{
    Run([&] {
        Control(SERVICE_CONTROL_STOP);
        return WAIT_OBJECT_0;
    });
    std::vector<std::string> order;
    for (const std::string &line : fake.log) {
        if (line.rfind("SetServiceStatus", 0) == 0 || line.rfind("SetEvent", 0) == 0 ||
            line.rfind("WaitForMultipleObjects", 0) == 0 || line.rfind("CreateProcessA", 0) == 0 ||
            line.rfind("WaitForSingleObject", 0) == 0) {
            order.push_back(line.substr(0, line.find(' ')) +
                            (line.rfind("SetServiceStatus", 0) == 0 ? line.substr(line.find(' ')) : ""));
        }
    }
    EXPECT_THAT(order, ElementsAre("SetServiceStatus 2", "CreateProcessA", "SetServiceStatus 4",
                                   "WaitForMultipleObjects", "SetServiceStatus 3", "SetEvent",
                                   "SetServiceStatus 3", "CreateProcessA", "WaitForSingleObject",
                                   "SetServiceStatus 3", "WaitForSingleObject", "SetServiceStatus 1"));
}

TEST_F(ServiceThread, ShutdownAndPreshutdownStopLikeStop)
{
    for (DWORD control : {SERVICE_CONTROL_SHUTDOWN, SERVICE_CONTROL_PRESHUTDOWN}) {
        SetUp();
        Run([&] {
            Control(control);
            return WAIT_OBJECT_0;
        });
        DWORD c = First();
        EXPECT_THAT(Reports(), ElementsAre(Report{SERVICE_START_PENDING, 0, 5000, c, 0}, Report{SERVICE_RUNNING, 0, 0, 0, A},
                                           Report{SERVICE_STOP_PENDING, 0, 10000, c + 1, A}, Report{SERVICE_STOP_PENDING, 0, 5000, c + 2, A},
                                           Report{SERVICE_STOP_PENDING, 0, 8000, c + 3, A}, Report{SERVICE_STOPPED, 0, 0, 0, A}))
            << control;
        EXPECT_THAT(EventTexts(), ElementsAre(kStarted, kLaunching, kRunning, kStopRequested, kStopping, kStopped));
    }
}

TEST_F(ServiceThread, APbxThatEndsByItselfIsStoppedAndTheServiceStopsWith1067)
{
    Run([] { return WAIT_OBJECT_0 + 1; });
    DWORD c = First();
    EXPECT_THAT(Reports(), ElementsAre(Report{SERVICE_START_PENDING, 0, 5000, c, 0},
                                       Report{SERVICE_RUNNING, 0, 0, 0, A}, Report{SERVICE_STOP_PENDING, 0, 5000, c + 1, A},
                                       Report{SERVICE_STOP_PENDING, 0, 8000, c + 2, A},
                                       Report{SERVICE_STOPPED, ERROR_PROCESS_ABORTED, 0, 0, A}));
    EXPECT_EQ(fake.reports.back().dwServiceSpecificExitCode, 0u);
    EXPECT_THAT(EventTexts(), ElementsAre(kStarted, kLaunching, kRunning, kEndedAlone, kStopping, kStopped));
    EXPECT_EQ(fake.events[3].type, EVENTLOG_WARNING_TYPE);
    ASSERT_EQ(fake.processes.size(), 2u) << "the stop request is still sent";
    EXPECT_THAT(LogLines("SetEvent"), ElementsAre());
}

TEST_F(ServiceThread, AFailedWaitStopsWithAnErrorNotTheWarningAsAFailure)
{
    Run([] { return fake.lastError = ERROR_INVALID_HANDLE, WAIT_FAILED; });
    EXPECT_THAT(EventTexts(), ElementsAre(kStarted, kLaunching, kRunning,
                                          "Falha ao aguardar o processo Asterisk (Erro: 6); o PBX sera encerrado.",
                                          kStopping, kStopped));
    EXPECT_EQ(fake.events[3].type, EVENTLOG_ERROR_TYPE);
    EXPECT_EQ(fake.reports.back().dwCurrentState, (DWORD)SERVICE_STOPPED);
    EXPECT_EQ(fake.reports.back().dwWin32ExitCode, (DWORD)ERROR_PROCESS_ABORTED);
}

// Records the event as the fakes do, then plays the SCM's stop request right
// after the service thread writes the event with the text g_stopAfter.
std::string g_stopAfter;
decltype(Win32Seam::ReportEventA) g_recordEvent = nullptr;

BOOL WINAPI ReportEventThenStop(HANDLE source, WORD type, WORD category, DWORD id, PSID sid, WORD count,
                                DWORD dataSize, LPCSTR *strings, LPVOID raw)
{
    BOOL result = g_recordEvent(source, type, category, id, sid, count, dataSize, strings, raw);
    if (count > 0 && g_stopAfter == strings[0]) {
        ServiceHandlerEx(SERVICE_CONTROL_STOP, 0, nullptr, nullptr);
    }
    return result;
}

TEST_F(ServiceThread, AStopThatMeetsThePbxsOwnEndWinsButNoOtherControlDoes)
{
    // The PBX ends by itself.  A stop reaching the handler before the
    // thread's report (right after its warning) or while the thread stops the
    // PBX ends the service with 0; a pause does not, nor a stop of an earlier
    // run in this process.
    const struct {
        const char *stopAfter;
        DWORD controlDuringWait;
        DWORD exitCode;
    } cases[] = {
        {kEndedAlone, 0, NO_ERROR},
        {kStopping, 0, NO_ERROR},
        {"", SERVICE_CONTROL_PAUSE, ERROR_PROCESS_ABORTED},
    };
    for (const auto &c : cases) {
        SetUp();
        g_stopAfter = c.stopAfter;
        g_recordEvent = g_Win32.ReportEventA;
        g_Win32.ReportEventA = ReportEventThenStop;
        Run([&] {
            if (c.controlDuringWait != 0) {
                Control(c.controlDuringWait);
            }
            return (DWORD)(WAIT_OBJECT_0 + 1);
        });
        EXPECT_EQ(fake.reports.back().dwCurrentState, (DWORD)SERVICE_STOPPED) << c.stopAfter;
        EXPECT_EQ(fake.reports.back().dwWin32ExitCode, c.exitCode) << c.stopAfter;
        EXPECT_EQ(LogLines("SetServiceStatus 3").size(), c.stopAfter[0] != '\0' ? 3u : 2u) << c.stopAfter;
    }
}

TEST_F(ServiceThread, APbxThatCannotStartStopsTheServiceWith1067)
{
    fake.createProcessErrors = {ERROR_FILE_NOT_FOUND};
    Run([] { return WAIT_OBJECT_0; });
    DWORD c = First();
    EXPECT_THAT(Reports(), ElementsAre(Report{SERVICE_START_PENDING, 0, 5000, c, 0},
                                       Report{SERVICE_STOPPED, 1067, 0, 0, A}));
    EXPECT_THAT(EventTexts(), ElementsAre(kStarted, kLaunching,
                                          "Falha ao iniciar processo Asterisk (Erro: 2). Caminho: asterisk.exe"));
    EXPECT_THAT(LogLines("WaitFor"), ElementsAre());
    EXPECT_THAT(LogLines("CloseHandle"), ElementsAre("CloseHandle " + Hex(FAKE_STOP_EVENT)));
    EXPECT_EQ(g_StopEvent, nullptr);
    EXPECT_EQ(g_ProcessHandle, nullptr);
}

TEST_F(ServiceThread, AStopEventThatCannotBeCreatedStopsWithItsErrorAndNoEvent)
{
    fake.createEventError = ERROR_NOT_ENOUGH_MEMORY;
    Run([] { return WAIT_OBJECT_0; });
    DWORD c = First();
    EXPECT_THAT(Reports(), ElementsAre(Report{SERVICE_START_PENDING, 0, 5000, c, 0},
                                       Report{SERVICE_STOPPED, ERROR_NOT_ENOUGH_MEMORY, 0, 0, A}));
    EXPECT_THAT(LogLines("RegisterEventSourceA"), ElementsAre());
    EXPECT_THAT(LogLines("CreateProcessA"), ElementsAre());
    EXPECT_THAT(LogLines("CloseHandle"), ElementsAre());
}

TEST_F(ServiceThread, AHandlerThatCannotBeRegisteredEndsTheThreadWithAnErrorEventOnly)
{
    fake.registerHandlerFails = true;
    Run([] { return WAIT_OBJECT_0; });
    EXPECT_THAT(fake.log, ElementsAre("RegisterServiceCtrlHandlerExA", "RegisterEventSourceA",
                                      "ReportEventA 0xe50 1 Falha ao registrar o controle do servico junto ao SCM "
                                      "(Erro: 1060).",
                                      "DeregisterEventSource 0xe50"));
}

TEST_F(ServiceThread, PauseAndContinueChangeOnlyTheReportedState)
{
    Run([&] {
        EXPECT_EQ(Control(SERVICE_CONTROL_PAUSE), (DWORD)NO_ERROR);
        EXPECT_EQ(Control(SERVICE_CONTROL_CONTINUE), (DWORD)NO_ERROR);
        EXPECT_EQ(fake.processes.size(), 1u);
        EXPECT_THAT(LogLines("TerminateProcess"), ElementsAre());
        Control(SERVICE_CONTROL_STOP);
        return WAIT_OBJECT_0;
    });
    DWORD c = First();
    EXPECT_THAT(Reports(), ElementsAre(Report{SERVICE_START_PENDING, 0, 5000, c, 0},
                                       Report{SERVICE_RUNNING, 0, 0, 0, A}, Report{SERVICE_PAUSED, 0, 0, 0, A},
                                       Report{SERVICE_RUNNING, 0, 0, 0, A}, Report{SERVICE_STOP_PENDING, 0, 10000, c + 1, A},
                                       Report{SERVICE_STOP_PENDING, 0, 5000, c + 2, A}, Report{SERVICE_STOP_PENDING, 0, 8000, c + 3, A},
                                       Report{SERVICE_STOPPED, 0, 0, 0, A}));
    EXPECT_THAT(EventTexts(), ElementsAre(kStarted, kLaunching, kRunning, kPaused, kContinued, kStopRequested,
                                          kStopping, kStopped));
}

TEST_F(ServiceThread, AStopWhilePausedTakesTheSamePathAsFromRunning)
{
    Run([&] {
        Control(SERVICE_CONTROL_PAUSE);
        Control(SERVICE_CONTROL_STOP);
        return WAIT_OBJECT_0;
    });
    DWORD c = First();
    EXPECT_THAT(Reports(), ElementsAre(Report{SERVICE_START_PENDING, 0, 5000, c, 0},
                                       Report{SERVICE_RUNNING, 0, 0, 0, A}, Report{SERVICE_PAUSED, 0, 0, 0, A},
                                       Report{SERVICE_STOP_PENDING, 0, 10000, c + 1, A}, Report{SERVICE_STOP_PENDING, 0, 5000, c + 2, A},
                                       Report{SERVICE_STOP_PENDING, 0, 8000, c + 3, A}, Report{SERVICE_STOPPED, 0, 0, 0, A}));
    EXPECT_THAT(EventTexts(), ElementsAre(kStarted, kLaunching, kRunning, kPaused, kStopRequested, kStopping,
                                          kStopped));
}

HANDLE g_stopEventAtClose = (HANDLE)(ULONG_PTR)1;

BOOL WINAPI CloseHandleNotingStopEvent(HANDLE handle)
{
    if (handle == FAKE_STOP_EVENT) {
        g_stopEventAtClose = g_StopEvent;
    }
    return TRUE;
}

TEST_F(ServiceThread, TheStopEventIsClearedBeforeItIsClosed)
{
    g_Win32.CloseHandle = CloseHandleNotingStopEvent;
    g_stopEventAtClose = (HANDLE)(ULONG_PTR)1;
    Run([] { return WAIT_OBJECT_0 + 1; });
    EXPECT_EQ(g_stopEventAtClose, nullptr);

    // A stop arriving afterwards reports but signals nothing.
    fake.log.clear();
    EXPECT_EQ(Control(SERVICE_CONTROL_STOP), (DWORD)NO_ERROR);
    EXPECT_THAT(LogLines("SetEvent"), ElementsAre());
    EXPECT_THAT(LogLines("SetServiceStatus"), ElementsAre("SetServiceStatus 3"));
}

class ControlHandler : public ServiceHostTest {
  protected:
    void SetUp() override
    {
        ServiceHostTest::SetUp();
        g_StatusHandle = FAKE_STATUS_HANDLE;
        g_ServiceStatus.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
        ReportServiceStatus(SERVICE_RUNNING, NO_ERROR, 0);
        fake = FakeWin32();
    }
};

TEST_F(ControlHandler, UnknownCodesAreNotImplementedAndChangeNothing)
{
    SERVICE_STATUS before = g_ServiceStatus;
    for (DWORD code : {0u, 6u, 7u, 8u, 9u, 10u, 11u, 16u, 32u, 64u, 128u, 255u, 0xFFFFFFFFu}) {
        EXPECT_EQ(ServiceHandlerEx(code, 0, nullptr, nullptr), (DWORD)ERROR_CALL_NOT_IMPLEMENTED) << code;
    }
    EXPECT_THAT(fake.log, ElementsAre());
    EXPECT_EQ(memcmp(&before, &g_ServiceStatus, sizeof(before)), 0);

    // Nor does the counter move.
    ReportServiceStatus(SERVICE_STOP_PENDING, NO_ERROR, 1);
    DWORD c = g_ServiceStatus.dwCheckPoint;
    ServiceHandlerEx(6, 0, nullptr, nullptr);
    ReportServiceStatus(SERVICE_STOP_PENDING, NO_ERROR, 1);
    EXPECT_EQ(g_ServiceStatus.dwCheckPoint, c + 1);
}

TEST_F(ControlHandler, InterrogateResendsTheRecordAndLeavesTheCounter)
{
    ReportServiceStatus(SERVICE_STOP_PENDING, NO_ERROR, 10000);
    DWORD c = g_ServiceStatus.dwCheckPoint;
    SERVICE_STATUS before = g_ServiceStatus;

    EXPECT_EQ(ServiceHandlerEx(SERVICE_CONTROL_INTERROGATE, 0, nullptr, nullptr), (DWORD)NO_ERROR);
    ASSERT_EQ(fake.reports.size(), 2u);
    EXPECT_EQ(memcmp(&fake.reports[1], &before, sizeof(before)), 0);
    EXPECT_EQ(fake.reportHandles[1], FAKE_STATUS_HANDLE);
    EXPECT_TRUE(fake.events.empty());

    ReportServiceStatus(SERVICE_STOP_PENDING, NO_ERROR, 10000);
    EXPECT_EQ(g_ServiceStatus.dwCheckPoint, c + 1);
}

TEST_F(ControlHandler, StopWritesReportsThenSignalsInThatOrder)
{
    g_StopEvent = FAKE_STOP_EVENT;
    EXPECT_EQ(ServiceHandlerEx(SERVICE_CONTROL_STOP, 0, (LPVOID)0x1234, (LPVOID)0x5678), (DWORD)NO_ERROR);
    ASSERT_EQ(fake.log.size(), 5u);
    EXPECT_EQ(fake.log[1], "ReportEventA 0xe50 4 Comando de parada recebido do SCM.");
    EXPECT_EQ(fake.log[3], "SetServiceStatus 3");
    EXPECT_EQ(fake.log[4], "SetEvent " + Hex(FAKE_STOP_EVENT));
    EXPECT_EQ(fake.reports[0].dwWaitHint, 10000u);
    EXPECT_NE(fake.reports[0].dwCheckPoint, 0u);
    EXPECT_EQ(fake.reports[0].dwControlsAccepted, A);
}

TEST_F(ControlHandler, StopWithoutAStopEventOnlyReports)
{
    EXPECT_EQ(ServiceHandlerEx(SERVICE_CONTROL_STOP, 0, nullptr, nullptr), (DWORD)NO_ERROR);
    EXPECT_THAT(LogLines("SetEvent"), ElementsAre());
    EXPECT_THAT(LogLines("SetServiceStatus"), ElementsAre("SetServiceStatus 3"));
}

TEST_F(ControlHandler, PauseAndContinueNeitherCheckTheStateNorTouchThePbx)
{
    g_ProcessHandle = FAKE_PROCESS(0);
    EXPECT_EQ(ServiceHandlerEx(SERVICE_CONTROL_PAUSE, 0, nullptr, nullptr), (DWORD)NO_ERROR);
    EXPECT_EQ(ServiceHandlerEx(SERVICE_CONTROL_PAUSE, 0, nullptr, nullptr), (DWORD)NO_ERROR);
    EXPECT_EQ(ServiceHandlerEx(SERVICE_CONTROL_CONTINUE, 0, nullptr, nullptr), (DWORD)NO_ERROR);
    EXPECT_THAT(Reports(), ElementsAre(Report{SERVICE_PAUSED, 0, 0, 0, A}, Report{SERVICE_PAUSED, 0, 0, 0, A},
                                       Report{SERVICE_RUNNING, 0, 0, 0, A}));
    EXPECT_THAT(EventTexts(), ElementsAre(kPaused, kPaused, kContinued));
    EXPECT_THAT(LogLines("CreateProcessA"), ElementsAre());
    EXPECT_THAT(LogLines("TerminateProcess"), ElementsAre());
    EXPECT_EQ(g_ProcessHandle, FAKE_PROCESS(0));
}

using StatusReport = ServiceHostTest;

TEST_F(StatusReport, OnlyPendingStatesTakeTheCounterAndOnlyStartPendingAcceptsNothing)
{
    g_StatusHandle = FAKE_STATUS_HANDLE;
    ReportServiceStatus(SERVICE_START_PENDING, 0, 5000);
    DWORD c = g_ServiceStatus.dwCheckPoint;
    ASSERT_GE(c, 1u);
    for (DWORD state = SERVICE_STOPPED; state <= SERVICE_PAUSED; state++) {
        ReportServiceStatus(state, 42, 7);
    }
    ReportServiceStatus(SERVICE_STOP_PENDING, 0, 5000);
    EXPECT_THAT(Reports(), ElementsAre(Report{SERVICE_START_PENDING, 0, 5000, c, 0},
                                       Report{SERVICE_STOPPED, 42, 7, 0, A}, Report{SERVICE_START_PENDING, 42, 7, c + 1, 0},
                                       Report{SERVICE_STOP_PENDING, 42, 7, c + 2, A}, Report{SERVICE_RUNNING, 42, 7, 0, A},
                                       Report{SERVICE_CONTINUE_PENDING, 42, 7, 0, A}, Report{SERVICE_PAUSE_PENDING, 42, 7, 0, A},
                                       Report{SERVICE_PAUSED, 42, 7, 0, A}, Report{SERVICE_STOP_PENDING, 0, 5000, c + 3, A}));
}

// A SetServiceStatus that lingers over the record it was handed and counts
// the records that were torn (fields of two reports) or changed while sent.
std::atomic<int> g_tornRecords{0};
std::atomic<int> g_changedWhileSent{0};
std::atomic<DWORD> g_lastCheckPoint{0};
std::atomic<int> g_checkPointsOutOfStep{0};

BOOL WINAPI LingeringSetServiceStatus(SERVICE_STATUS_HANDLE, LPSERVICE_STATUS status)
{
    SERVICE_STATUS sent = *status;
    bool pending = sent.dwCurrentState == SERVICE_STOP_PENDING;
    if (pending ? (sent.dwWaitHint != 5000 || sent.dwCheckPoint == 0)
                : (sent.dwCurrentState != SERVICE_PAUSED || sent.dwWaitHint != 0 || sent.dwCheckPoint != 0)) {
        g_tornRecords++;
    }
    if (pending) {
        DWORD last = g_lastCheckPoint.exchange(sent.dwCheckPoint);
        if (last != 0 && sent.dwCheckPoint != last + 1) {
            g_checkPointsOutOfStep++;
        }
    }
    for (int i = 0; i < 200; i++) {
        YieldProcessor();
    }
    if (memcmp(&sent, status, sizeof(sent)) != 0) {
        g_changedWhileSent++;
    }
    return TRUE;
}

TEST_F(StatusReport, ReportsFromTwoThreadsAreEachOneConsistentRecord)
{
    // The service thread and the handler report at the same time; each sent
    // record must be whole and stay as it is while it is being sent, and the
    // checkpoints must rise one by one.
    g_tornRecords = 0;
    g_changedWhileSent = 0;
    g_lastCheckPoint = 0;
    g_checkPointsOutOfStep = 0;
    g_Win32.SetServiceStatus = LingeringSetServiceStatus;
    g_StatusHandle = FAKE_STATUS_HANDLE;
    const int rounds = 5000;
    std::atomic<int> ready{0};
    auto reporter = [&](DWORD state, DWORD hint) {
        ready++;
        while (ready.load() < 2) {
        }
        for (int i = 0; i < rounds; i++) {
            ReportServiceStatus(state, 0, hint);
        }
    };
    std::thread pending(reporter, (DWORD)SERVICE_STOP_PENDING, 5000u);
    reporter(SERVICE_PAUSED, 0);
    pending.join();

    EXPECT_EQ(g_tornRecords.load(), 0);
    EXPECT_EQ(g_changedWhileSent.load(), 0);
    EXPECT_EQ(g_checkPointsOutOfStep.load(), 0);
}

} // namespace
