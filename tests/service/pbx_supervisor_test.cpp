// Starting, stopping and console-running the PBX, and the event-log writer.
#include "win32_fakes.h"

#include <algorithm>

using ::testing::ElementsAre;
using ::testing::internal::CaptureStdout;
using ::testing::internal::GetCapturedStdout;

namespace {

const char kAsteriskBin[] = "C:\\Asterisk\\bin\\asterisk.exe";

using PbxEventLog = ServiceHostTest;

TEST_F(PbxEventLog, OneEntryRegistersReportsAndReleasesTheSource)
{
    ReportServiceEvent(EVENTLOG_WARNING_TYPE, "texto 100% livre");
    EXPECT_THAT(fake.log, ElementsAre("RegisterEventSourceA", "ReportEventA 0xe50 2 texto 100% livre",
                                      "DeregisterEventSource 0xe50"));
    EXPECT_TRUE(fake.eventServerNull);
    EXPECT_THAT(fake.eventSourceNames, ElementsAre("QuelvaronAsterisk"));
    ASSERT_EQ(fake.events.size(), 1u);
    const EventCall &e = fake.events[0];
    EXPECT_EQ(e.category, 0);
    EXPECT_EQ(e.eventId, 0u);
    EXPECT_TRUE(e.sidNull);
    EXPECT_EQ(e.stringCount, 1);
    EXPECT_EQ(e.dataSize, 0u);
    EXPECT_TRUE(e.rawDataNull);
}

TEST_F(PbxEventLog, AnUnregisteredSourceDropsTheEntrySilently)
{
    fake.eventSourceFails = true;
    ReportServiceEvent(EVENTLOG_ERROR_TYPE, "perdido");
    EXPECT_THAT(fake.log, ElementsAre("RegisterEventSourceA"));
}

class PbxStart : public ServiceHostTest {};

TEST_F(PbxStart, StartsTheFoundPbxHiddenAndKeepsOnlyItsProcessHandle)
{
    fake.existingFiles = {kAsteriskBin};
    ASSERT_EQ(StartServiceProcess(), 1);

    ASSERT_EQ(fake.processes.size(), 1u);
    const ProcessCall &p = fake.processes[0];
    EXPECT_EQ(p.commandLine, "\"C:\\Asterisk\\bin\\asterisk.exe\" -f -vvv");
    EXPECT_TRUE(p.applicationNameNull);
    EXPECT_TRUE(p.processAttributesNull);
    EXPECT_TRUE(p.threadAttributesNull);
    EXPECT_EQ(p.inheritHandles, FALSE);
    EXPECT_EQ(p.creationFlags, 0x8000020u);
    EXPECT_TRUE(p.environmentNull);
    EXPECT_TRUE(p.currentDirectoryNull);

    STARTUPINFOA expected = {};
    expected.cb = 104;
    expected.dwFlags = STARTF_USESHOWWINDOW;
    expected.wShowWindow = SW_HIDE;
    EXPECT_EQ(p.startup.cb, 104u);
    EXPECT_EQ(memcmp(&p.startup, &expected, sizeof(expected)), 0) << "all fields but three are zero";

    EXPECT_EQ(g_ProcessHandle, FAKE_PROCESS(0));
    EXPECT_THAT(LogLines("CloseHandle"), ElementsAre("CloseHandle " + Hex(FAKE_THREAD(0))));

    // Straight after its creation the child goes into a kill-on-close job,
    // whose handle is kept open for the service's run.
    auto created = std::find(fake.log.begin(), fake.log.end(), "CreateProcessA " + p.commandLine);
    ASSERT_LE(created + 4, fake.log.end());
    EXPECT_THAT(std::vector<std::string>(created + 1, created + 4),
                ElementsAre("CreateJobObjectA", "SetInformationJobObject " + Hex(FAKE_JOB),
                            "AssignProcessToJobObject " + Hex(FAKE_JOB) + " " + Hex(FAKE_PROCESS(0))));
    EXPECT_TRUE(fake.jobNamesNull);
    EXPECT_EQ(fake.jobInfoClass, JobObjectExtendedLimitInformation);
    EXPECT_EQ(fake.jobInfoSize, sizeof(JOBOBJECT_EXTENDED_LIMIT_INFORMATION));
    EXPECT_EQ(fake.jobLimits.BasicLimitInformation.LimitFlags, (DWORD)JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE);
    EXPECT_EQ(g_JobHandle, FAKE_JOB);
    EXPECT_THAT(LogLines("WaitFor"), ElementsAre());
    ASSERT_EQ(fake.events.size(), 1u);
    EXPECT_EQ(fake.events[0].type, EVENTLOG_INFORMATION_TYPE);
    EXPECT_EQ(fake.events[0].text, "Disparando processo Asterisk PBX: \"C:\\Asterisk\\bin\\asterisk.exe\" -f -vvv");
}

TEST_F(PbxStart, TheAnnouncementComesBeforeTheProcess)
{
    StartServiceProcess();
    std::vector<std::string> order;
    for (const std::string &line : fake.log) {
        if (line.rfind("ReportEventA", 0) == 0 || line.rfind("CreateProcessA", 0) == 0) {
            order.push_back(line.substr(0, line.find(' ')));
        }
    }
    EXPECT_THAT(order, ElementsAre("ReportEventA", "CreateProcessA"));
}

TEST_F(PbxStart, AJobThatCannotBeSetUpIsIgnored)
{
    struct Case {
        DWORD FakeWin32::*step;
        bool jobClosed; // a job that was created but holds no process
    };
    const Case cases[] = {{&FakeWin32::createJobError, false},
                          {&FakeWin32::setJobError, true},
                          {&FakeWin32::assignJobError, true}};
    for (const Case &c : cases) {
        fake = FakeWin32();
        g_ProcessHandle = NULL;
        fake.*c.step = ERROR_ACCESS_DENIED;
        EXPECT_EQ(StartServiceProcess(), 1);
        EXPECT_EQ(g_ProcessHandle, FAKE_PROCESS(0));
        EXPECT_EQ(g_JobHandle, nullptr);
        std::vector<std::string> closed = {"CloseHandle " + Hex(FAKE_THREAD(0))};
        if (c.jobClosed) {
            closed.insert(closed.begin(), "CloseHandle " + Hex(FAKE_JOB));
        }
        EXPECT_EQ(LogLines("CloseHandle"), closed) << c.jobClosed;
        EXPECT_EQ(fake.events.size(), 1u) << "no event about the job";

        fake.log.clear();
        StopServiceProcess();
        EXPECT_THAT(LogLines("CloseHandle"), ::testing::Not(::testing::Contains("CloseHandle 0x0")));
    }
}

TEST_F(PbxStart, NothingFoundStartsTheBareNameQuoted)
{
    ASSERT_EQ(StartServiceProcess(), 1);
    EXPECT_EQ(fake.processes[0].commandLine, "\"asterisk.exe\" -f -vvv");
}

TEST_F(PbxStart, AFailedStartWritesTheErrorCodeAndThePathNotTheCommandLine)
{
    fake.createProcessErrors = {ERROR_FILE_NOT_FOUND};
    EXPECT_EQ(StartServiceProcess(), 0);
    EXPECT_EQ(g_ProcessHandle, nullptr);
    EXPECT_THAT(LogLines("CloseHandle"), ElementsAre());
    ASSERT_EQ(fake.events.size(), 2u);
    EXPECT_EQ(fake.events[0].type, EVENTLOG_INFORMATION_TYPE);
    EXPECT_EQ(fake.events[0].text, "Disparando processo Asterisk PBX: \"asterisk.exe\" -f -vvv");
    EXPECT_EQ(fake.events[1].type, EVENTLOG_ERROR_TYPE);
    EXPECT_EQ(fake.events[1].text, "Falha ao iniciar processo Asterisk (Erro: 2). Caminho: asterisk.exe");
}

TEST_F(PbxStart, AFullLengthPathIsCarriedWholeIntoCommandLineAndEvents)
{
    // A 246-character folder and a short program name: the candidate beside
    // it is 259 characters, the most a 260-byte path holds.
    std::string folder = "C:\\" + std::string(243, 'x');
    fake.modulePath = folder + "\\q.exe";
    std::string longest = folder + "\\asterisk.exe";
    ASSERT_EQ(longest.size(), 259u);
    fake.existingFiles = {longest};
    fake.createProcessErrors = {ERROR_PATH_NOT_FOUND};
    StartServiceProcess();
    EXPECT_EQ(fake.processes[0].commandLine, "\"" + longest + "\" -f -vvv");
    EXPECT_EQ(fake.events[0].text, "Disparando processo Asterisk PBX: \"" + longest + "\" -f -vvv");
    EXPECT_EQ(fake.events[1].text, "Falha ao iniciar processo Asterisk (Erro: 3). Caminho: " + longest);
}

class PbxStop : public ServiceHostTest {
  protected:
    void SetUp() override
    {
        ServiceHostTest::SetUp();
        g_ProcessHandle = kPbx;
        fake.existingFiles = {kAsteriskBin};
    }
    const HANDLE kPbx = (HANDLE)(ULONG_PTR)0x7770;
};

TEST_F(PbxStop, WithoutAPbxDoesNothing)
{
    g_ProcessHandle = NULL;
    StopServiceProcess();
    EXPECT_THAT(fake.log, ElementsAre());
}

TEST_F(PbxStop, AsksThePbxToStopThenWaitsAndClosesWithoutForce)
{
    StopServiceProcess();

    ASSERT_EQ(fake.processes.size(), 1u);
    const ProcessCall &p = fake.processes[0];
    EXPECT_EQ(p.commandLine, "\"C:\\Asterisk\\bin\\asterisk.exe\" -rx \"core stop gracefully\"");
    EXPECT_TRUE(p.applicationNameNull);
    EXPECT_EQ(p.inheritHandles, FALSE);
    EXPECT_EQ(p.creationFlags, (DWORD)(CREATE_NO_WINDOW | CREATE_SUSPENDED));
    STARTUPINFOA expected = {};
    expected.cb = 104;
    EXPECT_EQ(memcmp(&p.startup, &expected, sizeof(expected)), 0) << "cb alone, no show-window flag";

    EXPECT_THAT(LogLines("WaitForSingleObject"),
                ElementsAre("WaitForSingleObject " + Hex(FAKE_PROCESS(0)) + " 5000", "WaitForSingleObject 0x7770 8000"));
    EXPECT_THAT(LogLines("CloseHandle"),
                ElementsAre("CloseHandle " + Hex(FAKE_PROCESS(0)), "CloseHandle " + Hex(FAKE_THREAD(0)),
                            "CloseHandle 0x7770"));
    EXPECT_THAT(LogLines("TerminateProcess"), ElementsAre());
    EXPECT_THAT(EventTexts(), ElementsAre("Encerrando processo Asterisk PBX de forma limpa..."));
    EXPECT_EQ(fake.events[0].type, EVENTLOG_INFORMATION_TYPE);
    EXPECT_EQ(g_ProcessHandle, nullptr);
}

TEST_F(PbxStop, APbxThatDoesNotEndIn8000MsIsTerminatedWithExitCode0)
{
    fake.onWaitSingle = [this](HANDLE h, DWORD) -> DWORD { return h == kPbx ? WAIT_TIMEOUT : WAIT_OBJECT_0; };
    StopServiceProcess();

    EXPECT_THAT(EventTexts(), ElementsAre("Encerrando processo Asterisk PBX de forma limpa...",
                                          "Processo Asterisk nao respondeu a tempo. Forcando finalizacao..."));
    EXPECT_EQ(fake.events[1].type, EVENTLOG_WARNING_TYPE);
    // Warned and terminated after the wait, closed after the termination,
    // and nothing waited on after it.
    std::vector<std::string> tail(fake.log.end() - 6, fake.log.end());
    EXPECT_THAT(tail, ElementsAre("WaitForSingleObject 0x7770 8000", "RegisterEventSourceA",
                                  "ReportEventA 0xe50 2 Processo Asterisk nao respondeu a tempo. Forcando finalizacao...",
                                  "DeregisterEventSource 0xe50", "TerminateProcess 0x7770 0", "CloseHandle 0x7770"));
    EXPECT_EQ(g_ProcessHandle, nullptr);
}

TEST_F(PbxStop, OnlyATimeOutLeadsToTermination)
{
    // A failed wait is no reason to terminate the PBX, but it is said; a
    // stop request that hung, or whose wait failed, is ended.
    for (DWORD request : {(DWORD)WAIT_TIMEOUT, (DWORD)WAIT_FAILED}) {
        SetUp();
        fake.onWaitSingle = [&](HANDLE h, DWORD) -> DWORD {
            return fake.lastError = ERROR_INVALID_HANDLE, h == kPbx ? WAIT_FAILED : request;
        };
        StopServiceProcess();
        EXPECT_THAT(LogLines("TerminateProcess"), ElementsAre("TerminateProcess " + Hex(FAKE_PROCESS(0)) + " 0"));
        EXPECT_THAT(EventTexts(), ElementsAre("Encerrando processo Asterisk PBX de forma limpa...",
                                              "Falha ao aguardar o fim do processo Asterisk (Erro: 6)."));
        EXPECT_EQ(fake.events[1].type, EVENTLOG_ERROR_TYPE);
        EXPECT_EQ(g_ProcessHandle, nullptr);
    }
}

TEST_F(PbxStop, TheJobIsClosedOnlyOnceThePbxHasEndedOrBeenTerminated)
{
    for (DWORD outcome : {(DWORD)WAIT_OBJECT_0, (DWORD)WAIT_TIMEOUT}) {
        fake = FakeWin32();
        g_ProcessHandle = kPbx;
        g_JobHandle = FAKE_JOB;
        fake.onWaitSingle = [&](HANDLE h, DWORD) -> DWORD { return h == kPbx ? outcome : WAIT_OBJECT_0; };
        StopServiceProcess();
        std::vector<std::string> tail(fake.log.end() - 3, fake.log.end());
        EXPECT_THAT(tail, ElementsAre(outcome == WAIT_TIMEOUT ? "TerminateProcess 0x7770 0" : "WaitForSingleObject 0x7770 8000",
                                      "CloseHandle 0x7770", "CloseHandle " + Hex(FAKE_JOB)));
        EXPECT_EQ(g_JobHandle, nullptr);
    }
}

TEST_F(PbxStop, TheStopRequestJoinsThePbxsJobSuspendedAndNeverOutlivesItsWait)
{
    const std::string helper = Hex(FAKE_PROCESS(0)), assign = "AssignProcessToJobObject " + Hex(FAKE_JOB) + " " + helper,
                      resume = "ResumeThread " + Hex(FAKE_THREAD(0)), wait = "WaitForSingleObject " + helper + " 5000",
                      end = "TerminateProcess " + helper + " 0";
    const struct {
        HANDLE job;
        DWORD assignError, waited;
        bool resumeFails;
        std::vector<std::string> calls; // between its creation and its handles' closing
    } cases[] = {{FAKE_JOB, 0, WAIT_TIMEOUT, false, {assign, resume, wait, end}},
                 {FAKE_JOB, ERROR_ACCESS_DENIED, WAIT_OBJECT_0, false, {assign, resume, wait}}, // runs outside it
                 {NULL, 0, WAIT_OBJECT_0, true, {resume, end}}}; // never resumed: ended at once
    for (const auto &c : cases) {
        SetUp();
        g_JobHandle = c.job;
        fake.assignJobError = c.assignError;
        fake.resumeFails = c.resumeFails;
        fake.onWaitSingle = [&](HANDLE h, DWORD) { return h == kPbx ? (DWORD)WAIT_OBJECT_0 : c.waited; };
        StopServiceProcess();
        auto from = std::find(fake.log.begin(), fake.log.end(), "CreateProcessA " + fake.processes[0].commandLine) + 1;
        EXPECT_EQ(std::vector<std::string>(from, std::find(from, fake.log.end(), "CloseHandle " + helper)), c.calls);
        EXPECT_THAT(LogLines("WaitForSingleObject 0x7770"), ElementsAre("WaitForSingleObject 0x7770 8000"));
    }
}

TEST_F(PbxStop, AStopRequestThatCannotStartIsSkippedSilently)
{
    fake.createProcessErrors = {ERROR_FILE_NOT_FOUND};
    StopServiceProcess();
    EXPECT_THAT(LogLines("WaitForSingleObject"), ElementsAre("WaitForSingleObject 0x7770 8000"));
    EXPECT_THAT(LogLines("CloseHandle"), ElementsAre("CloseHandle 0x7770"));
    EXPECT_THAT(EventTexts(), ElementsAre("Encerrando processo Asterisk PBX de forma limpa..."));
}

TEST_F(PbxStop, SearchesTheExecutableAgain)
{
    fake.existingFiles = {"C:\\QV\\bin\\asterisk.exe"};
    StopServiceProcess();
    EXPECT_EQ(fake.processes[0].commandLine, "\"C:\\QV\\bin\\asterisk.exe\" -rx \"core stop gracefully\"");
}

using ConsoleMode = ServiceHostTest;

TEST_F(ConsoleMode, PrintsTheBannerAndCommandLineThenRunsThePbxInTheForeground)
{
    fake.existingFiles = {kAsteriskBin};
    CaptureStdout();
    RunInConsole();
    std::string out = GetCapturedStdout();

    std::string rule(70, '=');
    EXPECT_EQ(out, rule + "\n"
                       " Quelvaron Asterisk PBX \xE2\x80\x94 Modo Console / Depuracao\n"
                       " Pressione Ctrl+C para encerrar o processo.\n" +
                       rule + "\n\n" +
                       "[Console] Executando: \"C:\\Asterisk\\bin\\asterisk.exe\" -f -vvvvv -c\n");
    EXPECT_EQ(fake.systemCalls, 1);
    // cmd.exe /c drops the outer pair and runs the command line as printed.
    EXPECT_EQ(fake.systemCommand, "\"\"C:\\Asterisk\\bin\\asterisk.exe\" -f -vvvvv -c\"");
    EXPECT_THAT(LogLines("CreateProcessA"), ElementsAre());
    EXPECT_TRUE(fake.events.empty());
    EXPECT_EQ(g_ProcessHandle, nullptr);
}

} // namespace
