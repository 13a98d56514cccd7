// Every call through the MSI actions' seam fails in turn, once and from there
// on, in whole installations on the scripted machine: the actions in the
// MSI's order, the rollback script after a failure (one forced at the end in
// the rolled-back scenarios), the commit action after success. An action that
// fails says why in an "ERRO: " line with the error's code; one that goes on
// says what it passed over, with the code, in its log. Handles, COM objects
// and CoInitializeEx are all given back, and every wait is bounded.
#include "msi_fakes.h"

extern "C" UINT __stdcall QvFirewallRules(MSIHANDLE install);
extern "C" UINT __stdcall QvFirewallRemove(MSIHANDLE install);
extern "C" UINT __stdcall QvRollbackFirewall(MSIHANDLE install);

namespace {

typedef UINT(__stdcall *Action)(MSIHANDLE);
struct Act {
    Action action, rollback;
    std::wstring data;
};

const std::wstring kDir = L"|C:\\QV\\|bin|etc|var", kPbx = L"|C:\\QV\\bin\\asterisk.exe";
const std::wstring kHostPath = L"C:\\QV\\bin\\quelvaron-service.exe"; // kHost, ready before kScenarios

std::vector<Act> Installing(const std::wstring &again, const std::wstring &account)
{
    const std::wstring host = L"|" + kHostPath + L"|" + account;
    return {{QvCheckSettings, nullptr, L""},
            {QvStopService, QvRollbackStop, L"||" + again + L"|" + kHostPath + kDir},
            {QvSecureFolders, nullptr, kDir.substr(1)},
            {QvInstallService, QvRollbackInstall, L"1" + host},
            {QvSetAccount, nullptr, account},
            {QvFirewallRules, QvRollbackFirewall, L"1" + kPbx + L"|5060|5060|domain,private|*"},
            {QvStartService, QvRollbackStart, L"1" + host},
            {QvCommitInstall, nullptr, L""}};
}

std::vector<Act> Removing(const wchar_t *purge)
{
    return {{QvRemoveService, QvRollbackStop, L"||1|" + kHostPath + kDir},
            {QvFirewallRemove, QvRollbackFirewall, kPbx},
            {QvFinishRemoval, nullptr, purge + std::wstring(L"|created") + kDir}};
}

void Installed(DWORD state)
{
    RunningService();
    fake.svc.binaryPath = L"\"" + kHost + L"\"";
    fake.svc.state = state;
    fake.svc.pid = state == SERVICE_STOPPED ? 0 : fake.svc.pid;
    FakeFwRule old;
    old.name = L"Quelvaron Asterisk PBX (SIP, TCP)", old.program = L"C:\\QV\\bin\\asterisk.exe";
    old.grouping = L"Quelvaron Asterisk PBX", old.protocol = NET_FW_IP_PROTOCOL_TCP, old.ports = L"5060";
    fake.firewall = {old};
}

const struct {
    const char *name;
    std::vector<Act> acts; // the last one is the commit action
    void (*machine)();
    bool rolledBack; // something after the last action fails
} kScenarios[] = {
    {"FirstInstall", Installing(L"", L""), [] {}, false},
    {"FirstInstallRolledBack", Installing(L"", L""), [] {}, true},
    {"Upgrade", Installing(L"1", L"virtual"), [] { Installed(SERVICE_RUNNING); }, false},
    {"UpgradeRolledBack", Installing(L"1", L"virtual"), [] { Installed(SERVICE_RUNNING); }, true},
    {"RepairOfAStoppedService", Installing(L"1", L""), [] { Installed(SERVICE_STOPPED); }, false},
    {"Uninstall", Removing(L"0"), [] { Installed(SERVICE_RUNNING); }, false},
    {"UninstallRolledBack", Removing(L"0"), [] { Installed(SERVICE_RUNNING); }, true},
    {"Purge", Removing(L"1"), [] { Installed(SERVICE_RUNNING); }, false},
};

// What the installation leaves: the service, the registry, the files, the rules.
std::wstring Machine()
{
    const FakeService &s = fake.svc;
    std::wstring m = L"service " + std::to_wstring(s.present) + std::to_wstring(s.marked) + L" " +
                     std::to_wstring(s.state) + L" " + std::to_wstring(s.startType) + L" " + s.binaryPath + L" " +
                     s.account + L" " + std::to_wstring(s.recovery.size()) + L"\n";
    for (const auto &key : fake.registry)
        for (const auto &value : key.second)
            m += key.first + L"\\" + value.first + L"=" + std::to_wstring(value.second.data.size()) + L"\n";
    for (const auto &file : fake.files)
        m += file.first + L"\n";
    for (const FakeFwRule &rule : fake.firewall)
        m += rule.name + L" " + rule.ports + L"\n";
    return m;
}

TEST(FaultInjection, Msi)
{
    std::vector<UINT> baseResults;
    std::wstring baseMachine;
    std::set<std::wstring> baseLog;
    Inject("msi", sizeof(kScenarios) / sizeof(kScenarios[0]), [&](int s, int k, bool persistent) {
        fake = FakeMsi();
        InstallMsiFakes();
        g_LiveComObjects = 0;
        fake.properties = {{L"FIREWALL", L"1"}, {L"FIREWALL_UDP_PORTS", L"5060"}, {L"FIREWALL_TCP_PORTS", L"5060"},
                           {L"FIREWALL_PROFILES", L"domain"}, {L"FIREWALL_REMOTE", L"*"}, {L"CRASH_DUMPS", L"1"},
                           {L"SERVICE_ACCOUNT", kScenarios[s].acts.size() > 4 ? kScenarios[s].acts[4].data : L""}, {L"QvHostPath", kHost},
                           {L"ProductCode", L"{11111111-2222-3333-4444-555555555555}"}};
        fake.related = {fake.properties[L"ProductCode"]};
        Tree(L"C:\\QV", {{L"bin\\", 0}, {L"bin\\quelvaron-service.exe", 0}, {L"bin\\asterisk.exe", 0},
                         {L"etc\\", 0}, {L"etc\\asterisk.ini", 0}, {L"var\\", 0}, {L"var\\log\\", 0}});
        fake.security[L"\\\\?\\C:\\QV\\bin\\asterisk.exe"] = 1; // a user's: its owner is fixed
        for (const wchar_t *option : {L"-install", L"-start", L"-uninstall"})
            fake.commands[option].runsFor = 40;
        kScenarios[s].machine();
        fake.fault.at = k, fake.fault.persistent = persistent;

        const std::vector<Act> &acts = kScenarios[s].acts;
        std::vector<UINT> results;
        size_t done = 0;
        bool failed = false;
        for (; done + 1 < acts.size() && !failed; done++) {
            fake.properties[L"CustomActionData"] = acts[done].data;
            results.push_back(acts[done].action(FAKE_INSTALL));
            failed = results.back() != ERROR_SUCCESS || (kScenarios[s].rolledBack && done + 2 == acts.size());
        }
        fake.rollback = failed;
        for (size_t i = failed ? done : 0; i-- > 0;)
            if (acts[i].rollback != nullptr) {
                fake.properties[L"CustomActionData"] = acts[i].data;
                acts[i].rollback(FAKE_INSTALL);
            }
        if (!failed) {
            fake.properties[L"CustomActionData"] = acts.back().data;
            results.push_back(acts.back().action(FAKE_INSTALL));
        }
        g_Msi.Sleep(60000);

        std::vector<std::wstring> log = Log();
        if (k == 0)
            baseResults = results, baseMachine = Machine(), baseLog = std::set<std::wstring>(log.begin(), log.end());
        Outcome r;
        r.calls = fake.fault.calls;
        r.failed = fake.fault.failed;
        bool changed = results != baseResults, error = false, said = false;
        for (const std::wstring &line : log)
            if (!baseLog.count(line)) {
                bool named = NamesCode(std::string(line.begin(), line.end()), fake.fault.codes);
                error |= line.rfind(L"ERRO: ", 0) == 0 && named;
                said |= named;
                r.what += "\n    " + std::string(line.begin(), line.end());
            }
        // From there on the log fails too: the run reports with a failed installation,
        // with the report of the same call failing once, or by trying to log after it.
        static bool once;
        bool failedNow = std::count(results.begin(), results.end(), (UINT)ERROR_INSTALL_FAILURE) >
                         std::count(baseResults.begin(), baseResults.end(), (UINT)ERROR_INSTALL_FAILURE);
        bool logged = fake.fault.failures["MsiCreateRecord"] > (r.failed == "MsiCreateRecord");
        r.reported = (changed ? error : said) || (persistent && (failedNow || once || logged));
        once = persistent ? once : r.reported;
        r.sane = !changed && Machine() == baseMachine &&
                 (k > 0 || std::count(results.begin(), results.end(), (UINT)ERROR_SUCCESS) == (long)results.size());
        r.leaked = !fake.open.empty() || !fake.badCloses.empty() || g_LiveComObjects != 0 || fake.comInits != 0 ||
                   fake.longestWait > 60000 || fake.fault.calls > 100000;
        r.what = kScenarios[s].name + std::string(": ") + r.failed + " failed" + (changed ? ", results changed" : "") +
                 (r.sane || changed ? "" : ", machine changed") + (r.leaked ? ", leaked" : "") + r.what;
        return r;
    });
    g_Msi = g_MsiReal;
}

} // namespace
