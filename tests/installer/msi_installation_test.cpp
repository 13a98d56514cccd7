// Whole installations on the scripted machine of msi_fakes.h: the service
// actions in the MSI's order, and, when one fails or an action after it does,
// the rollback script (the rollback actions scheduled before that point, in
// the reverse order). Each row checks the service the administrator is left
// with: registered to which program, running or not, its start type and its
// recovery, and whether a registration was deleted on the way.
#include "msi_fakes.h"

namespace {

#define HOST L"C:\\QV\\bin\\quelvaron-service.exe"
#define HANDMADE_HOST L"C:\\handmade\\quelvaron-service.exe"

enum Scene { ABSENT, OURS, HANDMADE };

struct Installing {
    const char *name;
    Scene scene;
    DWORD state, startType; // the service before the installation
    const wchar_t *startService;
    int failAfter; // 0: none; 5: QvStartService fails; 10 + n: an action right after the n-th fails
    bool present;
    DWORD endState, endStart;
    const wchar_t *endProgram;
    size_t endRecovery;
    bool deleted; // a registration was deleted on the way
    const wchar_t *account = L""; // SERVICE_ACCOUNT
};

struct Step {
    UINT(__stdcall *action)(MSIHANDLE);
    UINT(__stdcall *rollback)(MSIHANDLE);
    std::wstring data;
};

void PrintTo(const Installing &r, std::ostream *os) { *os << r.name; }

class Installation : public MsiActionsTest, public ::testing::WithParamInterface<Installing> {};

TEST_P(Installation, LeavesTheServiceAsTheAdministratorHadIt)
{
    const Installing &r = GetParam();
    fake.ids[L"c:\\handmade\\quelvaron-service.exe"] = 2;
    if (r.scene != ABSENT) {
        RunningService();
        const std::wstring program = r.scene == OURS ? HOST : HANDMADE_HOST;
        fake.svc.binaryPath = L"\"" + program + L"\"";
        fake.procs[0x500].image = program;
        fake.svc.state = r.state;
        fake.svc.startType = r.startType;
        fake.svc.account = L"LocalSystem";
        if (r.state == SERVICE_STOPPED) {
            fake.svc.pid = 0;
            fake.procs.clear();
        }
    }
    if (r.failAfter == 5) {
        fake.commands[L"-start"].exitCode = 1;
        fake.commands[L"-start"].effect = [] {};
    }
    const std::wstring tail = L"|" + kHost;
    const Step steps[] = {
        {QvStopService, QvRollbackStop, L"|||" + kHost + L"|C:\\QV\\|bin|etc|var"},
        {QvSecureFolders, NULL, L"|C:\\QV\\|bin|etc|var"},
        {QvInstallService, QvRollbackInstall, r.startService + tail + L"|" + r.account},
        {QvSetAccount, NULL, r.account},
        {QvStartService, QvRollbackStart, r.startService + tail + L"|" + r.account},
    };
    int done = 0;
    for (const Step &step : steps) {
        fake.properties[L"CustomActionData"] = step.data;
        done++;
        if (step.action(FAKE_INSTALL) != ERROR_SUCCESS || done + 10 == r.failAfter) {
            break;
        }
    }
    if (r.failAfter == 0) {
        QvCommitInstall(FAKE_INSTALL);
    } else {
        fake.rollback = true;
        for (int i = done - 1; i >= 0; i--) {
            if (steps[i].rollback != NULL) {
                steps[i].rollback(FAKE_INSTALL);
            }
        }
    }
    g_Msi.Sleep(60000);
    EXPECT_EQ(fake.svc.present && !fake.svc.marked, r.present);
    if (r.present) {
        EXPECT_EQ(fake.svc.state, r.endState);
        EXPECT_EQ(fake.svc.startType, r.endStart);
        EXPECT_EQ(fake.svc.binaryPath, L"\"" + std::wstring(r.endProgram) + L"\"");
        EXPECT_EQ(fake.svc.recovery.size(), r.endRecovery);
        EXPECT_EQ(fake.svc.account, std::wstring(r.account) == L"virtual" && r.failAfter == 0
                                        ? L"NT SERVICE\\QuelvaronAsterisk" : L"LocalSystem");
    }
    EXPECT_EQ(!Calls(L"DeleteService").empty() || !Calls(L"run -uninstall").empty(), r.deleted);
    EXPECT_TRUE(State().empty()) << "the setup state is left behind";
}

const DWORD AUTO = SERVICE_AUTO_START, MANUAL = SERVICE_DEMAND_START, OFF = SERVICE_DISABLED;
const DWORD RUNNING = SERVICE_RUNNING, STOPPED = SERVICE_STOPPED, PAUSED = SERVICE_PAUSED;

const Installing kRuns[] = {
    {"FirstInstall", ABSENT, 0, 0, L"1", 0, true, RUNNING, AUTO, HOST, 3, false},
    {"FirstInstallNotStarted", ABSENT, 0, 0, L"0", 0, true, STOPPED, AUTO, HOST, 3, false},
    {"RepairOfARunningManualService", OURS, RUNNING, MANUAL, L"0", 0, true, RUNNING, MANUAL, HOST, 2, false},
    {"RepairOfAStoppedService", OURS, STOPPED, MANUAL, L"1", 0, true, STOPPED, MANUAL, HOST, 2, false},
    {"UpgradeOfAPausedService", OURS, PAUSED, AUTO, L"1", 0, true, RUNNING, AUTO, HOST, 2, false},
    {"UpgradeOfADisabledService", OURS, STOPPED, OFF, L"1", 0, true, STOPPED, OFF, HOST, 2, false},
    {"UpgradeOfADisabledRunningService", OURS, RUNNING, OFF, L"1", 0, true, STOPPED, OFF, HOST, 2, false},
    {"TakeOverOfAHandmadeService", HANDMADE, RUNNING, MANUAL, L"1", 0, true, RUNNING, AUTO, HOST, 3, true},
    {"FirstInstallFailsAfterRegistering", ABSENT, 0, 0, L"1", 13, false, 0, 0, L"", 0, true},
    {"FirstInstallFailsToStart", ABSENT, 0, 0, L"1", 5, false, 0, 0, L"", 0, true},
    {"SwitchToTheVirtualAccount", OURS, RUNNING, MANUAL, L"1", 0, true, RUNNING, MANUAL, HOST, 2, false, L"virtual"},
    {"TheVirtualAccountDoesNotRun", OURS, RUNNING, MANUAL, L"1", 5, true, RUNNING, MANUAL, HOST, 2, false, L"virtual"},
    {"UpgradeFailsAfterTheStop", OURS, RUNNING, MANUAL, L"1", 11, true, RUNNING, MANUAL, HOST, 2, false},
    {"UpgradeFailsAfterTheStart", OURS, RUNNING, MANUAL, L"1", 15, true, RUNNING, MANUAL, HOST, 2, false},
    {"UpgradeOfAStoppedServiceFailsLate", OURS, STOPPED, MANUAL, L"1", 15, true, STOPPED, MANUAL, HOST, 2, false},
    {"TakeOverFailsLate", HANDMADE, RUNNING, MANUAL, L"1", 15, true, RUNNING, MANUAL, HANDMADE_HOST, 2, true},
};

std::string Name(const ::testing::TestParamInfo<Installing> &i) { return i.param.name; }
INSTANTIATE_TEST_SUITE_P(Runs, Installation, ::testing::ValuesIn(kRuns), Name);

} // namespace

namespace {

const DWORD REG_OURS = 1, REG_OTHER = 2; // the setup state's Disposition
void Data(const std::wstring &text) { fake.properties[L"CustomActionData"] = text; }

// Whose registration it is: the registered command line's program, read as
// the SCM runs it, compared by file identity (an 8.3 name or a junction is
// the same file).
TEST_F(MsiActionsTest, TheHostIsKnownByItsFileNotItsName)
{
    const struct {
        const wchar_t *registered;
        DWORD disposition;
    } rows[] = {
        {L"\"C:\\QV\\bin\\quelvaron-service.exe\"", REG_OURS},
        {L"\"C:\\PROGRA~1\\QV\\bin\\QUELVA~1.EXE\" -x", REG_OURS},
        {L"C:\\Program Files\\QV\\bin\\quelvaron-service.exe", REG_OURS},
        {L"C:\\Program Files\\QV\\bin\\quelvaron-service", REG_OURS},
        {L"%SystemRoot%\\qv.exe", REG_OURS},
        {L"C:\\Program Files\\QV\\bin\\quelvaron-service.exe", REG_OTHER}, // C:\Program.exe runs first
        {L"\"C:\\other\\quelvaron-service.exe\"", REG_OTHER},
        {L"\"C:\\qv\\BIN\\gone.exe\"", REG_OTHER},
    };
    for (size_t i = 0; i < sizeof(rows) / sizeof(rows[0]); i++) {
        fake = FakeMsi();
        InstallMsiFakes();
        RunningService();
        fake.svc.binaryPath = rows[i].registered;
        for (const wchar_t *same : {L"c:\\progra~1\\qv\\bin\\quelva~1.exe", L"c:\\program files\\qv\\bin\\quelvaron-service.exe",
                                    L"c:\\windows\\qv.exe"}) {
            fake.ids[same] = 1;
        }
        fake.ids[L"c:\\other\\quelvaron-service.exe"] = 2;
        if (i == 5) {
            fake.ids[L"c:\\program.exe"] = 3;
        }
        Data(L"|||" + kHost + L"||");
        QvStopService(FAKE_INSTALL);
        EXPECT_EQ(State()[L"Disposition"].Dword(), rows[i].disposition) << i;
    }
}

// Before files are replaced, what runs from the payload's own top-level
// entries is ended; another program in a shared INSTALLDIR is not.
TEST_F(MsiActionsTest, EndsOnlyWhatRunsFromTheProductsFolders)
{
    DWORD console = AddProcess(L"C:\\Apps\\bin\\quelvaron-console.exe");
    DWORD deep = AddProcess(L"c:\\APPS\\share\\tools\\x.exe");
    DWORD top = AddProcess(L"C:\\Apps\\readme.exe");
    AddProcess(L"C:\\Apps\\Other App\\other.exe");
    AddProcess(L"C:\\Apps\\binx\\y.exe");
    Data(L"1|shared|1|" + kHost + L"|C:\\Apps\\|bin|share|readme.exe");
    EXPECT_EQ(QvStopService(FAKE_INSTALL), (UINT)ERROR_SUCCESS);
    EXPECT_THAT(Calls(L"TerminateProcess"),
                ::testing::UnorderedElementsAre(L"TerminateProcess " + std::to_wstring(console) + L" 1",
                                                L"TerminateProcess " + std::to_wstring(deep) + L" 1",
                                                L"TerminateProcess " + std::to_wstring(top) + L" 1"));
    EXPECT_THAT(Log(), ::testing::Contains(::testing::HasSubstr(L"Reversao desativada")));
}

// The recovery put back after an upgrade: a reboot action needs the
// shutdown privilege, which the actions' account holds but keeps disabled.
TEST_F(MsiActionsTest, RecoveryComesBackExactly)
{
    RunningService();
    Data(L"|||" + kHost + L"|C:\\QV\\|bin");
    QvStopService(FAKE_INSTALL);
    EXPECT_TRUE(fake.svc.recovery.empty());
    Data(L"1|" + kHost);
    QvInstallService(FAKE_INSTALL);
    QvStartService(FAKE_INSTALL);
    ASSERT_EQ(fake.svc.recovery.size(), 2u);
    EXPECT_EQ(fake.svc.recovery[1].Type, SC_ACTION_REBOOT);
    EXPECT_EQ(fake.svc.recovery[1].Delay, 60000u);
    EXPECT_EQ(fake.svc.resetPeriod, 86400u);
    EXPECT_THAT(fake.calls, ::testing::Contains(L"EnablePrivilege SeShutdownPrivilege"));
}

// A rollback action run outside a rollback (typed wrong) undoes nothing.
TEST_F(MsiActionsTest, RollbackActionsActOnlyInRollback)
{
    RunningService();
    State()[L"Disposition"] = RegValue{REG_DWORD, std::string("\0\0\0\0", 4)};
    State()[L"Registered"] = RegValue{REG_DWORD, std::string("\1\0\0\0", 4)};
    for (auto action : {QvRollbackStop, QvRollbackInstall, QvRollbackStart}) {
        EXPECT_EQ(action(FAKE_INSTALL), (UINT)ERROR_SUCCESS);
    }
    EXPECT_TRUE(fake.calls.empty());
    EXPECT_EQ(fake.svc.state, (DWORD)SERVICE_RUNNING);
    EXPECT_EQ(Log().size(), 3u);
}

// SERVICE_ACCOUNT: checked before anything changes and read for the lock
// rows; the account set with the password Windows wants for it, its
// privileges and SID type; a level the SCM does not know only warns.
TEST_F(MsiActionsTest, TheAccountIsTheOneAskedForOrTheOneItHas)
{
    auto check = [](const wchar_t *given, const wchar_t *account, const wchar_t *program) {
        fake.properties = {{L"FIREWALL", L"1"}, {L"FIREWALL_UDP_PORTS", L"5060"}, {L"FIREWALL_TCP_PORTS", L"5060"},
                           {L"FIREWALL_PROFILES", L"domain"}, {L"FIREWALL_REMOTE", L"*"}, {L"CRASH_DUMPS", L"1"},
                           {L"SERVICE_ACCOUNT", given}, {L"QvHostPath", HOST}};
        fake.svc.account = account;
        fake.svc.binaryPath = program;
        return QvCheckSettings(FAKE_INSTALL) == ERROR_SUCCESS ? fake.properties[L"QvAccountVirtual"] : L"refused";
    };
    RunningService();
    const wchar_t *virtualAccount = L"NT SERVICE\\QuelvaronAsterisk", *ours = L"\"" HOST L"\"";
    EXPECT_EQ(check(L"admin", L"LocalSystem", ours), L"refused");
    EXPECT_EQ(check(L"Virtual", L"LocalSystem", ours), L"1");
    EXPECT_EQ(check(L"LocalSystem", virtualAccount, ours), L"");
    EXPECT_EQ(check(L"", virtualAccount, ours), L"1");
    EXPECT_EQ(check(L"", virtualAccount, L"\"C:\\other\\quelvaron-service.exe\""), L"");
    fake.calls.clear();
    for (const wchar_t *account : {L"virtual", L"LocalSystem"}) {
        Data(account);
        EXPECT_EQ(QvSetAccount(FAKE_INSTALL), (UINT)ERROR_SUCCESS);
    }
    EXPECT_THAT(fake.calls, ::testing::ElementsAre(
        L"ChangeServiceConfigW start 4294967295 account NT SERVICE\\QuelvaronAsterisk password (same)",
        L"ChangeServiceConfig2W 6", L"ChangeServiceConfig2W 5",
        L"ChangeServiceConfigW start 4294967295 account LocalSystem password empty",
        L"ChangeServiceConfig2W 6", L"ChangeServiceConfig2W 5"));
    Data(L"virtual");
    fake.config2Errors[SERVICE_CONFIG_SERVICE_SID_INFO] = ERROR_INVALID_LEVEL;
    EXPECT_EQ(QvSetAccount(FAKE_INSTALL), (UINT)ERROR_SUCCESS);
    fake.config2Errors[SERVICE_CONFIG_SERVICE_SID_INFO] = ERROR_ACCESS_DENIED;
    EXPECT_EQ(QvSetAccount(FAKE_INSTALL), (UINT)ERROR_INSTALL_FAILURE);
    EXPECT_THAT(Log(), ::testing::Contains(::testing::HasSubstr(L"ERRO: A conta do servico QuelvaronAsterisk nao pode ser configurada: tipo de SID (Erro 5)")));
}

// How a first install finds INSTALLDIR: none, or only what an earlier
// installation kept, is the product's; anything else makes it shared. A
// repair or upgrade (the third field set) takes no new note.
TEST_F(MsiActionsTest, AFirstInstallNotesHowItFoundInstallDir)
{
    const struct {
        std::vector<std::pair<std::wstring, DWORD>> tree;
        const wchar_t *again, *origin;
    } rows[] = {
        {{}, L"", L"created"},
        {{{L"etc\\", 0}, {L"etc\\a.ini", 0}, {L"VAR\\", 0}}, L"", L"created"},
        {{{L"etc\\", 0}, {L"Other App\\", 0}}, L"", L"shared"},
        {{{L"readme.txt", 0}}, L"", L"shared"},
        {{{L"readme.txt", 0}}, L"1", L""},
    };
    for (const auto &row : rows) {
        fake = FakeMsi();
        InstallMsiFakes();
        if (!row.tree.empty()) {
            Tree(L"C:\\QV", row.tree);
        }
        Data(L"||" + std::wstring(row.again) + L"|" + kHost + L"|C:\\QV\\|bin|etc|var");
        QvStopService(FAKE_INSTALL);
        EXPECT_EQ(State()[L"InstallDirOrigin"].Text(), row.origin) << row.tree.size() << row.again;
    }
}

} // namespace
