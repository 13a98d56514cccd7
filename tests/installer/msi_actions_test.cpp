// The MSI's service actions (installer/msi_actions.cpp) against the scripted
// machine of msi_fakes.h.  Each row sets a scene, runs one exported action
// and checks its result, the installer's log as the administrator reads it,
// the calls that change something, and how long it took on the fake clock.
// QV_DUMP=1 prints a row's actual outcome in the table's own notation.
#include "msi_fakes.h"

#include <cstdio>
#include <cstdlib>

using ::testing::ElementsAre;

namespace {

typedef UINT(__stdcall *Action)(MSIHANDLE);

struct Case {
    const char *name;
    Action action;
    std::function<void()> scene;
    UINT result;
    std::vector<std::wstring> log;
    std::vector<std::wstring> calls;
    DWORD took;
};

std::string Quote(const std::wstring &w)
{
    std::string out = "L\"";
    for (wchar_t c : w) {
        if (c == L'\\' || c == L'"') {
            out += '\\';
        }
        if (c < 128) {
            out += (char)c;
        } else {
            char hex[16];
            snprintf(hex, sizeof(hex), "\\x%04x\" L\"", (unsigned)c);
            out += hex;
        }
    }
    return out + "\"";
}

// Runs of one character (long paths) as "{c*N}", runs of one call as "call (xN)".
std::wstring Squeeze(const std::wstring &text)
{
    std::wstring out;
    for (size_t i = 0; i < text.size();) {
        size_t j = i;
        while (j < text.size() && text[j] == text[i]) {
            j++;
        }
        out += j - i >= 16 ? L"{" + std::wstring(1, text[i]) + L"*" + std::to_wstring(j - i) + L"}"
                           : text.substr(i, j - i);
        i = j;
    }
    return out;
}

std::vector<std::wstring> Squeeze(const std::vector<std::wstring> &lines, bool runs)
{
    std::vector<std::wstring> out;
    for (size_t i = 0; i < lines.size();) {
        size_t j = i;
        while (runs && j < lines.size() && lines[j] == lines[i]) {
            j++;
        }
        out.push_back(Squeeze(lines[i]) + (j - i > 1 ? L" (x" + std::to_wstring(j - i) + L")" : L""));
        i = j > i ? j : i + 1;
    }
    return out;
}

void Dump(UINT result, DWORD took)
{
    const ::testing::TestInfo *t = ::testing::UnitTest::GetInstance()->current_test_info();
    printf("---- %s %s\n        %s, {", t->test_suite_name(), t->name(), result == 0 ? "OK" : "FAILED");
    for (const std::wstring &l : Squeeze(Log(), false)) {
        printf("\n            %s,", Quote(l).c_str());
    }
    printf("},\n        {");
    for (const std::wstring &c : Squeeze(fake.calls, true)) {
        printf("\n            %s,", Quote(c).c_str());
    }
    printf("},\n        %lu},\n", (unsigned long)took);
}

class Scenes : public MsiActionsTest, public ::testing::WithParamInterface<Case> {};

TEST_P(Scenes, LogCallsAndTime)
{
    const Case &c = GetParam();
    c.scene();
    DWORD began = fake.now;
    UINT result = c.action(FAKE_INSTALL);
    if (getenv("QV_DUMP")) {
        Dump(result, fake.now - began);
        for (const std::wstring &l : c.log) printf("EXPECTED %s\n", Quote(l).c_str());
        for (const std::wstring &l : c.calls) printf("ECALL %s\n", Quote(l).c_str());
        printf("ETOOK %lu %s\n", (unsigned long)c.took, c.result == 0 ? "OK" : "FAILED");
        return;
    }
    EXPECT_EQ(result, c.result);
    EXPECT_EQ(Squeeze(Log(), false), c.log);
    EXPECT_EQ(Squeeze(fake.calls, true), c.calls);
    EXPECT_EQ(fake.now - began, c.took);
}

void PrintTo(const Case &c, std::ostream *os) { *os << c.name; }

const UINT OK = ERROR_SUCCESS, FAILED = ERROR_INSTALL_FAILURE;

typedef std::vector<std::wstring> Lines;

Lines operator+(Lines a, const Lines &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// What most scenes share: the recovery cleared, a running service stopped, host commands that succeed.
const Lines kCleared = {L"QuelvaronAsterisk: acoes de recuperacao removidas (resultado 0)"};
const Lines kStopped = kCleared + Lines{L"QuelvaronAsterisk: pedido de parada (estado 4, resultado 0)",
                                        L"QuelvaronAsterisk: parado (300 ms)"};
// -install's and -start's usual lines: the host registers the service and the actions set its preshutdown timeout.
const Lines kRegistered = {L"\"C:\\QV\\bin\\quelvaron-service.exe\" -install -> 0: [OK] feito  ",
                           L"QuelvaronAsterisk: tempo de parada no desligamento do Windows 20000 ms (resultado 0)"};
const Lines kStart = {L"\"C:\\QV\\bin\\quelvaron-service.exe\" -start -> 0: [OK] feito  "};
const Lines kUninstalled = {L"\"C:\\QV\\bin\\quelvaron-service.exe\" -uninstall -> 0: [OK] feito  "};
const Lines kClearCall = {L"ChangeServiceConfig2W 2 actions 0 array"};
const Lines kStopCalls = kClearCall + Lines{L"ControlService 1"};
const Lines kRegisterCalls = {L"run -install", L"ChangeServiceConfig2W 7 timeout 20000"};
const Lines kStartCall = {L"run -start"};
// Pbx()'s whole tree removed, in the walk's order (a failed removal is still tried).
const Lines kPurgedPbx = {
    L"DeleteFileW C:\\PBX\\..x",
    L"DeleteFileW C:\\PBX\\.x",
    L"DeleteFileW C:\\PBX\\ETC\\b.conf",
    L"RemoveDirectoryW C:\\PBX\\ETC",
    L"RemoveDirectoryW C:\\PBX\\bin",
    L"DeleteFileW C:\\PBX\\etc\\a",
    L"DeleteFileW C:\\PBX\\etc\\asterisk.ini",
    L"SetFileAttributesW C:\\PBX\\etc\\extensions.conf 0",
    L"DeleteFileW C:\\PBX\\etc\\extensions.conf",
    L"RemoveDirectoryW C:\\PBX\\etc",
    L"DeleteFileW C:\\PBX\\etcx\\a",
    L"RemoveDirectoryW C:\\PBX\\etcx",
    L"DeleteFileW C:\\PBX\\notes [old].txt",
    L"DeleteFileW C:\\PBX\\var\\log\\asterisk.log",
    L"RemoveDirectoryW C:\\PBX\\var\\log",
    L"RemoveDirectoryW C:\\PBX\\var",
    L"RemoveDirectoryW C:\\PBX"};

// What QvStopService and QvRemoveService find first: the scripted service's registration.
Lines Seen(bool ours = false, int state = 4)
{
    return {L"QuelvaronAsterisk: registrado para \"C:\\QV\\bin\\quelvaron-service.exe\" -service (" +
            std::wstring(ours ? L"este host" : L"outro programa") + L"), estado " + std::to_wstring(state) + L", inicio 2"};
}

// A service process that is not the service's program (`image` is what the
// service's configuration names): left alone, the service counts as stopped.
Lines Ignored(const std::wstring &image)
{
    return kCleared + Lines{L"QuelvaronAsterisk: o processo 1280 nao e " + image + L", o programa do servico; ignorado",
                            L"QuelvaronAsterisk: parado (0 ms)"};
}

// A stop asked for (with that result) that never came: the host ended by force.
Lines ForcedEnd(int result)
{
    return kCleared + Lines{L"QuelvaronAsterisk: pedido de parada (estado 4, resultado " + std::to_wstring(result) + L")",
                            L"QuelvaronAsterisk nao parou em 45 s: encerrando o processo do servico (1280) e seu PBX",
                            L"QuelvaronAsterisk: processo 1280 encerrado", L"QuelvaronAsterisk: parado (45000 ms)"};
}

void Data(const std::wstring &text) { fake.properties[L"CustomActionData"] = text; }

// ---- QvStopService: before files are replaced

void Stale(const std::wstring &image) { RunningService(); fake.procs[0x500].image = image; }

const Case kStop[] = {
    {"Absent", QvStopService, [] {}, OK,
        {}, {}, 0},
    {"Marked", QvStopService, [] { fake.svc.present = fake.svc.marked = true; }, OK,
        Lines{L"QuelvaronAsterisk: registro nao lido (Erro 1072); tratado como ausente"} + Lines{L"QuelvaronAsterisk: marcado para remocao, sem acesso ao seu estado"}, {}, 0},
    {"QueryDenied", QvStopService, [] { RunningService(); fake.queryError = ERROR_ACCESS_DENIED; }, FAILED,
        Lines{L"QuelvaronAsterisk: estado nao lido (Erro 5); tratado como parado"} + Seen(false, 1) +
            Lines{L"QuelvaronAsterisk: estado nao lido (Erro 5)", L"ERRO: O servico QuelvaronAsterisk nao pode ser parado: o seu estado ou o seu processo nao pode ser lido nem encerrado (Erro 5); os arquivos do produto nao podem ser substituidos."},
        {}, 0},
    {"QueryMarked", QvStopService, [] { RunningService(); fake.queryError = ERROR_SERVICE_MARKED_FOR_DELETE; }, OK,
        Seen(false, 1) + Lines{L"QuelvaronAsterisk: marcado para remocao, sem acesso ao seu estado"}, {}, 0},
    {"ManagerDenied", QvStopService, [] { RunningService(); fake.openManagerError = ERROR_ACCESS_DENIED; }, FAILED,
        Lines{L"QuelvaronAsterisk: registro nao lido (Erro 5); tratado como ausente",
              L"QuelvaronAsterisk: estado nao lido (Erro 5)",
              L"ERRO: O servico QuelvaronAsterisk nao pode ser parado: o seu estado ou o seu processo nao pode ser lido nem encerrado (Erro 5); os arquivos do produto nao podem ser substituidos."},
        {}, 0},
    {"Running", QvStopService, [] { RunningService(); }, OK,
        Seen() + kStopped, kStopCalls, 300},
    {"AlreadyStopped", QvStopService, [] { RunningService(); fake.svc.state = SERVICE_STOPPED; fake.svc.pid = 0; }, OK,
        Seen(false, 1) + kCleared + Lines{L"QuelvaronAsterisk: parado (0 ms)"}, kClearCall, 0},
    {"StoppedButHostLingers", QvStopService, [] { RunningService(); fake.svc.state = SERVICE_STOPPED; At(700, [] { fake.procs[0x500].endsAt = fake.now; }); }, OK,
        Seen(false, 1) + kCleared + Lines{L"QuelvaronAsterisk: parado (700 ms)"}, kClearCall, 700},
    {"RefusedOnceWith1061", QvStopService, [] { RunningService(); fake.svc.controlErrors = {1061, 0}; }, OK,
        Seen() + kCleared + Lines{
            L"QuelvaronAsterisk: pedido de parada (estado 4, resultado 1061)",
            L"QuelvaronAsterisk: pedido de parada (estado 4, resultado 0)",
            L"QuelvaronAsterisk: parada recusada 1 vez(es) com o erro 1061 e pedida de novo",
            L"QuelvaronAsterisk: parado (400 ms)"},
        kClearCall + Lines{L"ControlService 1 (x2)"},
        400},
    {"RefusedTwiceWith1061", QvStopService, [] { RunningService(); fake.svc.controlErrors = {1061, 1061, 0}; }, OK,
        Seen() + kCleared + Lines{
            L"QuelvaronAsterisk: pedido de parada (estado 4, resultado 1061)",
            L"QuelvaronAsterisk: pedido de parada (estado 4, resultado 0)",
            L"QuelvaronAsterisk: parada recusada 2 vez(es) com o erro 1061 e pedida de novo",
            L"QuelvaronAsterisk: parado (500 ms)"},
        kClearCall + Lines{L"ControlService 1 (x3)"},
        500},
    {"RefusedThenDenied", QvStopService, [] { RunningService(); fake.svc.controlErrors = {1061, 5, 1061, 0}; }, OK,
        Seen() + kCleared + Lines{
            L"QuelvaronAsterisk: pedido de parada (estado 4, resultado 1061)",
            L"QuelvaronAsterisk: pedido de parada (estado 4, resultado 5)",
            L"QuelvaronAsterisk: pedido de parada (estado 4, resultado 1061)",
            L"QuelvaronAsterisk: pedido de parada (estado 4, resultado 0)",
            L"QuelvaronAsterisk: parada recusada 2 vez(es) com o erro 1061 e pedida de novo",
            L"QuelvaronAsterisk: parado (600 ms)"},
        kClearCall + Lines{L"ControlService 1 (x4)"},
        600},
    {"StopPendingForeverHostEnded", QvStopService, [] { RunningService(); fake.svc.stopAfter = fake.svc.hostEndsAfter = NEVER; }, OK,
        Seen() + ForcedEnd(0),
        kStopCalls + Lines{L"TerminateProcess 1280 1"},
        45000},
    {"DeniedHostEnded", QvStopService, [] { RunningService(); fake.svc.controlErrors.assign(1000, 5); }, OK,
        Seen() + ForcedEnd(5),
        kClearCall + Lines{L"ControlService 1 (x451)", L"TerminateProcess 1280 1"},
        45000},
    {"HostUnkillable", QvStopService, [] { RunningService(); fake.svc.stopAfter = fake.svc.hostEndsAfter = NEVER; fake.procs[0x500].unkillable = true; }, FAILED,
        Seen() + kCleared + Lines{
            L"QuelvaronAsterisk: pedido de parada (estado 4, resultado 0)",
            L"QuelvaronAsterisk nao parou em 45 s: encerrando o processo do servico (1280) e seu PBX",
            L"QuelvaronAsterisk: TerminateProcess falhou (Erro 5)",
            L"ERRO: O servico QuelvaronAsterisk nao pode ser parado: o seu estado ou o seu processo nao pode ser lido nem encerrado (Erro 5); os arquivos do produto nao podem ser substituidos."},
        kStopCalls + Lines{L"TerminateProcess 1280 1"},
        55000},
    {"HostLingersAfterKill", QvStopService, [] { RunningService(); fake.svc.stopAfter = fake.svc.hostEndsAfter = NEVER; fake.procs[0x500].lingers = true; }, FAILED,
        Seen() + kCleared + Lines{
            L"QuelvaronAsterisk: pedido de parada (estado 4, resultado 0)",
            L"QuelvaronAsterisk nao parou em 45 s: encerrando o processo do servico (1280) e seu PBX",
            L"ERRO: O servico QuelvaronAsterisk nao parou em 45 s, nem apos o seu processo ser encerrado; os arquivos do produto nao podem ser substituidos."},
        kStopCalls + Lines{L"TerminateProcess 1280 1"},
        55000},
    {"HostEndsJustInTime", QvStopService, [] { RunningService(); fake.svc.stopAfter = NEVER; fake.svc.hostEndsAfter = 44950; }, OK,
        Seen() + kCleared + Lines{
            L"QuelvaronAsterisk: pedido de parada (estado 4, resultado 0)",
            L"QuelvaronAsterisk: parado (45000 ms)"},
        kStopCalls,
        45000},
    {"NoProcessToEnd", QvStopService, [] { RunningService(); fake.svc.pid = 0; fake.svc.stopAfter = NEVER; }, OK,
        Seen() + kCleared + Lines{
            L"QuelvaronAsterisk: pedido de parada (estado 4, resultado 0)",
            L"QuelvaronAsterisk nao parou em 45 s (estado 3), mas nao tem processo a encerrar",
            L"QuelvaronAsterisk: parado (45000 ms)"},
        kStopCalls,
        45000},
    {"ProcessAlreadyGone", QvStopService, [] { RunningService(); fake.svc.staleStatus = true; fake.procs.erase(0x500); }, OK,
        Seen() + kCleared + Lines{
            L"QuelvaronAsterisk: o processo 1280 do servico ja terminou",
            L"QuelvaronAsterisk: parado (0 ms)"},
        kClearCall,
        0},
    {"ProcessEndedStillListed", QvStopService, [] { RunningService(); fake.svc.staleStatus = true; fake.procs[0x500].endsAt = 0; }, OK,
        Seen() + kCleared + Lines{
            L"QuelvaronAsterisk: o processo 1280 do servico ja terminou",
            L"QuelvaronAsterisk: parado (0 ms)"},
        kClearCall,
        0},
    {"PidIsAnotherProgram", QvStopService, [] { Stale(L"C:\\Tools\\editor.exe"); }, OK,
        Seen() + Ignored(L"C:\\QV\\bin\\quelvaron-service.exe"), kClearCall, 0},
    {"ImageNameUnreadable", QvStopService, [] { Stale(L""); }, OK,
        Seen() + kCleared + Lines{L"QuelvaronAsterisk: o programa do processo 1280 nao pode ser lido (Erro 5)"} +
            Lines(kStopped.begin() + 1, kStopped.end()),
        kStopCalls, 300},
    {"ImageOtherCase", QvStopService, [] { Stale(L"c:\\qv\\BIN\\Quelvaron-Service.EXE"); }, OK,
        Seen() + kStopped, kStopCalls, 300},
    {"ImageLongerName", QvStopService, [] { Stale(kHost + L"x"); }, OK,
        Seen() + Ignored(L"C:\\QV\\bin\\quelvaron-service.exe"), kClearCall, 0},
    {"BinaryUnquoted", QvStopService, [] { Stale(L"C:\\Tools\\editor.exe"); fake.svc.binaryPath = L"C:\\Tools\\editor.exe -service"; }, OK,
        Lines{L"QuelvaronAsterisk: registrado para C:\\Tools\\editor.exe -service (outro programa), estado 4, inicio 2"} + kStopped, kStopCalls, 300},
    {"BinaryUnquotedBare", QvStopService, [] { Stale(L"C:\\Tools\\editor.exe"); fake.svc.binaryPath = L"C:\\Tools\\editor.exe"; }, OK,
        Lines{L"QuelvaronAsterisk: registrado para C:\\Tools\\editor.exe (outro programa), estado 4, inicio 2"} + kStopped, kStopCalls, 300},
    {"BinaryQuotedUnclosed", QvStopService, [] { Stale(L"C:\\Tools\\editor.exe"); fake.svc.binaryPath = L"\"C:\\Tools\\editor.exe"; }, OK,
        Lines{L"QuelvaronAsterisk: registrado para \"C:\\Tools\\editor.exe (outro programa), estado 4, inicio 2"} + kStopped, kStopCalls, 300},
    {"BinaryEmptyQuotes", QvStopService, [] { Stale(L"C:\\Tools\\binaryemptyquotes.exe"); fake.svc.binaryPath = L"\"\" x"; }, OK,
        Lines{L"QuelvaronAsterisk: registrado para \"\" x (outro programa), estado 4, inicio 2"} + kStopped, kStopCalls, 300},
    {"BinaryOneCharacter", QvStopService, [] { Stale(L"C:\\Tools\\one.exe"); fake.svc.binaryPath = L"\"x\""; }, OK,
        Lines{L"QuelvaronAsterisk: registrado para \"x\" (outro programa), estado 4, inicio 2"} + Ignored(L"x"), kClearCall, 0},
    {"BinaryUnknown", QvStopService, [] { Stale(L"C:\\Tools\\binaryunknown.exe"); fake.binaryNull = true; }, OK,
        Lines{L"QuelvaronAsterisk: registrado sem programa, estado 4"} + kStopped, kStopCalls, 300},
    {"BinaryUnreadable", QvStopService, [] { Stale(L"C:\\Tools\\binaryunreadable.exe"); fake.configError = ERROR_ACCESS_DENIED; }, OK,
        Lines{L"QuelvaronAsterisk: configuracao nao lida (Erro 5)"} + kCleared +
            Lines{L"QuelvaronAsterisk: programa do servico nao lido (Erro 5)"} + Lines(kStopped.begin() + 1, kStopped.end()),
        kStopCalls, 300},
    {"BinaryConfigClosed", QvStopService, [] { Stale(L"C:\\Tools\\binaryconfigclosed.exe"); fake.openErrors[SERVICE_QUERY_CONFIG] = ERROR_ACCESS_DENIED; }, OK,
        Seen() + kCleared + Lines{L"QuelvaronAsterisk: programa do servico nao lido (Erro 5)"} +
            Lines(kStopped.begin() + 1, kStopped.end()),
        kStopCalls, 300},
    {"BinaryTooLong", QvStopService, [] { Stale(L"C:\\Tools\\editor.exe"); fake.svc.binaryPath = L"\"C:\\" + std::wstring(32765, L'a') + L"\""; }, OK,
        Lines{L"QuelvaronAsterisk: registrado para \"C:\\{a*32765}\" (outro programa), estado 4, inicio 2"} + kStopped, kStopCalls, 300},
    {"BinaryLongest", QvStopService, [] { Stale(L"C:\\Tools\\editor.exe"); fake.svc.binaryPath = L"\"C:\\" + std::wstring(32764, L'a') + L"\""; }, OK,
        Lines{L"QuelvaronAsterisk: registrado para \"C:\\{a*32764}\" (outro programa), estado 4, inicio 2"} + Ignored(L"C:\\{a*32764}"), kClearCall, 0},
    {"RecoveryNotCleared", QvStopService, [] { RunningService(); fake.config2Error = ERROR_ACCESS_DENIED; }, OK,
        Seen() + Lines{
            L"QuelvaronAsterisk: acoes de recuperacao removidas (resultado 5)",
            L"QuelvaronAsterisk: pedido de parada (estado 4, resultado 0)",
            L"QuelvaronAsterisk: parado (300 ms)"},
        kStopCalls,
        300},
    {"RecoveryClosed", QvStopService, [] { RunningService(); fake.openErrors[SERVICE_CHANGE_CONFIG] = ERROR_ACCESS_DENIED; }, OK,
        Seen() + Lines{
            L"QuelvaronAsterisk: acoes de recuperacao removidas (resultado 5)",
            L"QuelvaronAsterisk: pedido de parada (estado 4, resultado 0)",
            L"QuelvaronAsterisk: parado (300 ms)"},
        {L"ControlService 1"},
        300},
    {"StopClosed", QvStopService, [] { RunningService(); fake.openErrors[SERVICE_STOP] = ERROR_ACCESS_DENIED; fake.svc.stopAfter = NEVER; }, OK,
        Seen() + ForcedEnd(5),
        kClearCall + Lines{L"TerminateProcess 1280 1"},
        45000},
    {"GoneWhileStopping", QvStopService, [] { RunningService(); fake.svc.stopAfter = NEVER; fake.svc.hostEndsAfter = NEVER; At(250, [] { fake.svc.present = false; }); }, OK,
        Seen() + ForcedEnd(0),
        kStopCalls + Lines{L"TerminateProcess 1280 1"},
        45000},
    {"GoneWhileStoppingNoProcess", QvStopService, [] { RunningService(); fake.svc.pid = 0; fake.svc.stopAfter = NEVER; At(250, [] { fake.svc.present = false; }); }, OK,
        Seen() + kStopped, kStopCalls, 300},
    {"RestartedWithAnotherHost", QvStopService, [] { RunningService(); fake.svc.controlErrors = {1061, 1061, 1061, 1061, 0}; At(150, [] { fake.svc.pid = AddProcess(kHost); }); }, OK,
        Seen() + kCleared + Lines{
            L"QuelvaronAsterisk: pedido de parada (estado 4, resultado 1061)",
            L"QuelvaronAsterisk: pedido de parada (estado 4, resultado 0)",
            L"QuelvaronAsterisk: parada recusada 4 vez(es) com o erro 1061 e pedida de novo",
            L"QuelvaronAsterisk: parado (700 ms)"},
        kClearCall + Lines{L"ControlService 1 (x5)"},
        700},
    {"RefusedAsInvalid", QvStopService, [] { RunningService(); fake.svc.controlErrors = {ERROR_INVALID_FUNCTION, 0}; }, OK,
        Seen() + kCleared + Lines{
            L"QuelvaronAsterisk: pedido de parada (estado 4, resultado 1)",
            L"QuelvaronAsterisk: pedido de parada (estado 4, resultado 0)",
            L"QuelvaronAsterisk: parado (400 ms)"},
        kClearCall + Lines{L"ControlService 1 (x2)"},
        400},
    {"Paused", QvStopService, [] { RunningService(); fake.svc.state = SERVICE_PAUSED; }, OK,
        Seen(false, 7) + kCleared + Lines{
            L"QuelvaronAsterisk: pedido de parada (estado 7, resultado 0)",
            L"QuelvaronAsterisk: parado (300 ms)"},
        kStopCalls,
        300},
};

// ---- QvInstallService: after the files

void Upgrade() { RunningService(); }
// CustomActionData of each action: START_SERVICE|host; RollbackDisabled|origin|again|host|INSTALLDIR|top-level names.
void HostData(const std::wstring &host) { Data(L"1|" + host + L"|"); }
void RemoveData(const std::wstring &host) { Data(L"|||" + host + L"||"); }
// A service registered by hand to another copy of the host (the ZIP route), running: taken over.
void Handmade()
{
    RunningService();
    HostData(kHost);
    fake.svc.binaryPath = L"\"C:\\handmade\\quelvaron-service.exe\"";
    fake.procs[0x500].image = L"C:\\handmade\\quelvaron-service.exe";
}
// A service QvInstallService has just registered with -install, stopped.
void Registered()
{
    HostData(kHost);
    fake.svc.present = true;
    fake.svc.binaryPath = L"\"" + kHost + L"\"";
    State()[L"Disposition"] = RegValue{REG_DWORD, std::string("\0\0\0\0", 4)};
    State()[L"Registered"] = RegValue{REG_DWORD, std::string("\1\0\0\0", 4)};
}

const Case kInstall[] = {
    {"NoData", QvInstallService, [] {}, FAILED,
        {L"ERRO: Caminho de quelvaron-service.exe ausente (CustomActionData)."}, {}, 0},
    {"DataUnreadable", QvInstallService, [] { fake.propertyError = ERROR_INVALID_HANDLE; }, FAILED,
        {L"ERRO: CustomActionData nao pode ser lido (Erro 6)."}, {}, 0},
    {"DataLongerThanAnyPath", QvInstallService, [] { HostData(std::wstring(65536, L'a')); }, FAILED,
        {
            L"CustomActionData tem 65539 caracteres; o maximo e 65535.",
            L"ERRO: Caminho de quelvaron-service.exe ausente (CustomActionData)."},
        {},
        0},
    {"DataLongestPath", QvInstallService, [] { HostData(L"C:\\" + std::wstring(32762, L'a')); }, FAILED,
        {L"ERRO: A pasta de instalacao e longa demais: o caminho de quelvaron-service.exe tem 32765 caracteres (pagina de codigo 1252), e o host do servico aceita no maximo 259. Escolha uma pasta mais curta. Caminho: C:\\{a*32762}"},
        {},
        0},
    {"FirstInstall", QvInstallService, [] { HostData(kHost); }, OK,
        kRegistered,
        kRegisterCalls,
        400},
    {"Upgrade", QvInstallService, [] { Upgrade(); HostData(kHost); }, OK,
        {
            L"QuelvaronAsterisk: registrado para \"C:\\QV\\bin\\quelvaron-service.exe\" -service (este host), estado 4, inicio 2",
            L"QuelvaronAsterisk: registro deste host mantido (conta, inicio, recuperacao, dependencias, permissoes e descricao ficam como estao)",
            L"QuelvaronAsterisk: tempo de parada no desligamento do Windows 20000 ms (resultado 0)"},
        {L"ChangeServiceConfig2W 7 timeout 20000"},
        0},
    {"HostPath259", QvInstallService, [] { HostData(L"C:\\" + std::wstring(234, L'p') + L"\\quelvaron-service.exe"); }, OK,
        {
            L"\"C:\\{p*234}\\quelvaron-service.exe\" -install -> 0: [OK] feito  ",
            L"QuelvaronAsterisk: tempo de parada no desligamento do Windows 20000 ms (resultado 0)"},
        kRegisterCalls,
        400},
    {"HostPath260", QvInstallService, [] { HostData(L"C:\\" + std::wstring(235, L'p') + L"\\quelvaron-service.exe"); }, FAILED,
        {
            L"ERRO: A pasta de instalacao e longa demais: o caminho de quelvaron-service.exe tem 260 caracteres (pagina de codigo 1252), e o host do servico aceita no maximo 259. Escolha uma pasta mais curta. Caminho: C:\\{p*235}\\quelvaron-service.exe"},
        {},
        0},
    {"HostPathOutsideCodePage", QvInstallService, [] { HostData(L"C:\\\x3a9mega\\quelvaron-service.exe"); }, FAILED,
        {
            L"ERRO: A pasta de instalacao tem caracteres que o host do servico (quelvaron-service.exe) nao pode usar: ele so aceita caracteres da pagina de codigo ANSI do sistema (1252). Escolha uma pasta sem eles. Caminho: C:\\\x03a9" L"mega\\quelvaron-service.exe"},
        {},
        0},
    {"HostPathInCodePage", QvInstallService, [] { HostData(L"C:\\Programas\\Servi\xe7o\\quelvaron-service.exe"); }, OK,
        {
            L"\"C:\\Programas\\Servi\x00e7" L"o\\quelvaron-service.exe\" -install -> 0: [OK] feito  ",
            L"QuelvaronAsterisk: tempo de parada no desligamento do Windows 20000 ms (resultado 0)"},
        kRegisterCalls,
        400},
    {"HostPathUtf8", QvInstallService, [] { fake.acp = CP_UTF8; HostData(L"C:\\\x3a9mega\\quelvaron-service.exe"); }, OK,
        {
            L"\"C:\\\x03a9" L"mega\\quelvaron-service.exe\" -install -> 0: [OK] feito  ",
            L"QuelvaronAsterisk: tempo de parada no desligamento do Windows 20000 ms (resultado 0)"},
        kRegisterCalls,
        400},
    {"HostPathUtf8Longest", QvInstallService, [] { fake.acp = CP_UTF8; HostData(L"C:\\" + std::wstring(117, L'\x3a9') + L"\\quelvaron-service.exe"); }, OK,
        {
            L"\"C:\\{\x03a9" L"*117}\\quelvaron-service.exe\" -install -> 0: [OK] feito  ",
            L"QuelvaronAsterisk: tempo de parada no desligamento do Windows 20000 ms (resultado 0)"},
        kRegisterCalls,
        400},
    {"HostPathUtf8TooLong", QvInstallService, [] { fake.acp = CP_UTF8; HostData(L"C:\\" + std::wstring(118, L'\x3a9') + L"\\quelvaron-service.exe"); }, FAILED,
        {
            L"ERRO: A pasta de instalacao e longa demais: o caminho de quelvaron-service.exe tem 261 caracteres (pagina de codigo 65001), e o host do servico aceita no maximo 259. Escolha uma pasta mais curta. Caminho: C:\\{\x03a9" L"*118}\\quelvaron-service.exe"},
        {},
        0},
    {"HostPathUtf8Broken", QvInstallService, [] { fake.acp = CP_UTF8; HostData(L"C:\\\xd800\\quelvaron-service.exe"); }, FAILED,
        {
            L"ERRO: A pasta de instalacao tem caracteres que o host do servico (quelvaron-service.exe) nao pode usar: ele so aceita caracteres da pagina de codigo ANSI do sistema (65001). Escolha uma pasta sem eles. Caminho: C:\\\xd800" L"\\quelvaron-service.exe"},
        {},
        0},
    {"InstallFails", QvInstallService, [] { HostData(kHost); fake.commands[L"-install"].exitCode = 5; fake.commands[L"-install"].output = "[ERRO] Acesso negado [5]\r\n"; }, FAILED,
        {
            L"\"C:\\QV\\bin\\quelvaron-service.exe\" -install -> 5: [ERRO] Acesso negado [5]  ",
            L"ERRO: quelvaron-service -install falhou (codigo de saida 5): [ERRO] Acesso negado [5]  "},
        {L"run -install"},
        400},
    {"InstallNotRun", QvInstallService, [] { HostData(kHost); fake.commands[L"-install"].startError = ERROR_FILE_NOT_FOUND; }, FAILED,
        {
            L"\"C:\\QV\\bin\\quelvaron-service.exe\" -install: nao executado (Erro 2)",
            L"ERRO: quelvaron-service -install nao pode ser executado (Erro 2): \"C:\\QV\\bin\\quelvaron-service.exe\" -install"},
        {L"run -install"},
        0},
    {"InstallHangs", QvInstallService, [] { HostData(kHost); fake.commands[L"-install"].runsFor = NEVER; }, FAILED,
        {
            L"\"C:\\QV\\bin\\quelvaron-service.exe\" -install: sem terminar em 60 s; processo encerrado. Saida: [OK] feito  ",
            L"ERRO: quelvaron-service -install nao terminou em 60 s e foi encerrado: [OK] feito  "},
        {L"run -install", L"TerminateProcess 1792 1"},
        60000},
    {"InstallHangsUnkillable", QvInstallService, [] { HostData(kHost); fake.commands[L"-install"].runsFor = NEVER; fake.commands[L"-install"].lingers = true; }, FAILED,
        {
            L"\"C:\\QV\\bin\\quelvaron-service.exe\" -install: sem terminar em 60 s; processo encerrado. Saida: [OK] feito  ",
            L"ERRO: quelvaron-service -install nao terminou em 60 s e foi encerrado: [OK] feito  "},
        {L"run -install", L"TerminateProcess 1792 1"},
        70000},
    {"OneCharacterHost", QvInstallService, [] { HostData(L"q"); fake.commands[L"-install"].startError = ERROR_FILE_NOT_FOUND; }, FAILED,
        {
            L"\"q\" -install: nao executado (Erro 2)",
            L"ERRO: quelvaron-service -install nao pode ser executado (Erro 2): \"q\" -install"},
        {L"run -install"},
        0},
    {"InstallOutputLate", QvInstallService, [] { HostData(kHost); fake.commands[L"-install"].output = "a\r\n"; fake.commands[L"-install"].lateOutput = "b\nc"; }, OK,
        {
            L"\"C:\\QV\\bin\\quelvaron-service.exe\" -install -> 0: a  b c",
            L"QuelvaronAsterisk: tempo de parada no desligamento do Windows 20000 ms (resultado 0)"},
        kRegisterCalls,
        400},
    {"InstallOutputLong", QvInstallService, [] { HostData(kHost); fake.commands[L"-install"].output = std::string(1500, 'x') + std::string(1500, 'y'); }, OK,
        {
            L"\"C:\\QV\\bin\\quelvaron-service.exe\" -install -> 0: {x*1500}{y*547}",
            L"QuelvaronAsterisk: tempo de parada no desligamento do Windows 20000 ms (resultado 0)"},
        kRegisterCalls,
        400},
    {"InstallOutputOneByte", QvInstallService, [] { HostData(kHost); fake.commands[L"-install"].output = ""; fake.commands[L"-install"].lateOutput = "!"; }, OK,
        {
            L"\"C:\\QV\\bin\\quelvaron-service.exe\" -install -> 0: !",
            L"QuelvaronAsterisk: tempo de parada no desligamento do Windows 20000 ms (resultado 0)"},
        kRegisterCalls,
        400},
    {"InstallOutputReadFailsMidway", QvInstallService, [] { HostData(kHost); fake.readable = 512; fake.commands[L"-install"].output = std::string(512, 'a') + std::string(88, 'b'); }, OK,
        {
            L"\"C:\\QV\\bin\\quelvaron-service.exe\" -install -> 0: {a*512}",
            L"QuelvaronAsterisk: tempo de parada no desligamento do Windows 20000 ms (resultado 0)"},
        kRegisterCalls,
        400},
    {"InstallOutputUnread", QvInstallService, [] { HostData(kHost); fake.readable = 0; }, OK,
        {
            L"\"C:\\QV\\bin\\quelvaron-service.exe\" -install -> 0: ",
            L"QuelvaronAsterisk: tempo de parada no desligamento do Windows 20000 ms (resultado 0)"},
        kRegisterCalls,
        400},
    {"InstallNegativeExit", QvInstallService, [] { HostData(kHost); fake.commands[L"-install"].exitCode = (DWORD)-1; fake.commands[L"-install"].output = ""; }, FAILED,
        {
            L"\"C:\\QV\\bin\\quelvaron-service.exe\" -install -> -1: ",
            L"ERRO: quelvaron-service -install falhou (codigo de saida -1): "},
        {L"run -install"},
        400},
    {"NoPipe", QvInstallService, [] { HostData(kHost); fake.pipeError = ERROR_NOT_ENOUGH_MEMORY; }, FAILED,
        {
            L"\"C:\\QV\\bin\\quelvaron-service.exe\" -install: nao executado (pipe: Erro 8)",
            L"ERRO: quelvaron-service -install nao pode ser executado (pipe: Erro 8): \"C:\\QV\\bin\\quelvaron-service.exe\" -install"},
        {},
        0},
    {"OldRegistrationHeld", QvInstallService, [] { Handmade(); fake.svc.heldOnDelete = true; At(10000, [] { fake.svc.present = fake.svc.marked = false; fake.svc.heldOnDelete = false; }); }, OK,
        Lines{
            L"QuelvaronAsterisk: registrado para \"C:\\handmade\\quelvaron-service.exe\" (outro programa), estado 4, inicio 2"} + kStopped + kUninstalled + Lines{
            L"QuelvaronAsterisk: marcado para remocao, mas um console de Servicos (services.msc) ou uma ferramenta de monitoracao ainda o mantem aberto; o Windows o remove quando esse programa o fechar",
            L"QuelvaronAsterisk: aguardando a remocao do registro anterior (ate 30 s)"} + kRegistered,
        kStopCalls + Lines{
            L"run -uninstall"} + kRegisterCalls,
        10400},
    {"OldRegistrationHeldTooLong", QvInstallService, [] { Handmade(); fake.svc.heldOnDelete = true; }, FAILED,
        Lines{
            L"QuelvaronAsterisk: registrado para \"C:\\handmade\\quelvaron-service.exe\" (outro programa), estado 4, inicio 2"} + kStopped + kUninstalled + Lines{
            L"QuelvaronAsterisk: marcado para remocao, mas um console de Servicos (services.msc) ou uma ferramenta de monitoracao ainda o mantem aberto; o Windows o remove quando esse programa o fechar",
            L"QuelvaronAsterisk: aguardando a remocao do registro anterior (ate 30 s)",
            L"ERRO: O registro anterior do servico QuelvaronAsterisk esta marcado para remocao, mas um console de Servicos (services.msc) ou uma ferramenta de monitoracao ainda o mantem aberto ha 30 s; o servico nao pode ser registrado de novo. Feche esse programa e repita a instalacao."},
        kStopCalls + Lines{
            L"run -uninstall"},
        32700},
    {"OldServiceDoesNotStop", QvInstallService, [] { Handmade(); fake.svc.stopAfter = fake.svc.hostEndsAfter = NEVER; fake.procs[0x500].unkillable = true; }, FAILED,
        Lines{
            L"QuelvaronAsterisk: registrado para \"C:\\handmade\\quelvaron-service.exe\" (outro programa), estado 4, inicio 2"} + kCleared + Lines{
            L"QuelvaronAsterisk: pedido de parada (estado 4, resultado 0)",
            L"QuelvaronAsterisk nao parou em 45 s: encerrando o processo do servico (1280) e seu PBX",
            L"QuelvaronAsterisk: TerminateProcess falhou (Erro 5)",
            L"ERRO: O servico QuelvaronAsterisk nao pode ser parado: o seu estado ou o seu processo nao pode ser lido nem encerrado (Erro 5); os arquivos do produto nao podem ser substituidos nem removidos."},
        kStopCalls + Lines{
            L"TerminateProcess 1280 1"},
        55000},
    {"OldMarked", QvInstallService, [] { HostData(kHost); fake.svc.present = fake.svc.marked = true; At(500, [] { fake.svc.present = fake.svc.marked = false; }); }, OK,
        Lines{
            L"QuelvaronAsterisk: registro nao lido (Erro 1072); tratado como ausente",
            L"QuelvaronAsterisk: marcado para remocao, sem acesso ao seu estado"} + kUninstalled + kRegistered,
        Lines{
            L"run -uninstall"} + kRegisterCalls,
        800},
};

// ---- QvStartService: once the older version is gone

const Case kStarts[] = {
    {"StartFails", QvStartService, [] { Registered(); fake.commands[L"-start"].exitCode = 1; fake.commands[L"-start"].effect = [] {}; }, FAILED,
        Lines{
            L"\"C:\\QV\\bin\\quelvaron-service.exe\" -start -> 1: [OK] feito  ",
            L"ERRO: quelvaron-service -start falhou (codigo de saida 1): [OK] feito  "} + kCleared + Lines{
            L"QuelvaronAsterisk: parado (0 ms)"},
        kStartCall + kClearCall,
        400},
    {"StartHangs", QvStartService, [] { Registered(); fake.commands[L"-start"].runsFor = NEVER; }, FAILED,
        Lines{
            L"\"C:\\QV\\bin\\quelvaron-service.exe\" -start: sem terminar em 60 s; processo encerrado. Saida: [OK] feito  ",
            L"ERRO: quelvaron-service -start nao terminou em 60 s e foi encerrado: [OK] feito  "} + kCleared + Lines{
            L"QuelvaronAsterisk: parado (0 ms)"},
        kStartCall + Lines{
            L"TerminateProcess 1792 1"} + kClearCall,
        60000},
    {"PbxEndsAtOnce", QvStartService, [] { Registered(); fake.commands[L"-start"].effect = [] { fake.svc.state = SERVICE_RUNNING; fake.svc.pid = AddProcess(kHost); fake.procs[fake.svc.pid].parent = fake.svc.pid; }; }, FAILED,
        kStart + Lines{
            L"QuelvaronAsterisk: em execucao (0 ms), processo 1793",
            L"ERRO: O servico QuelvaronAsterisk esta em execucao sem o PBX: asterisk.exe terminou. Verifique asterisk.exe ao lado de C:\\QV\\bin\\quelvaron-service.exe."} + kStopped,
        kStartCall + kStopCalls,
        700},
    {"PbxEndsWithinSettle", QvStartService, [] { Registered(); fake.commands[L"-start"].lateOutput = ""; At(3000, [] { for (auto &p : fake.procs) if (p.second.parent != 0) p.second.endsAt = fake.now; }); }, FAILED,
        kStart + Lines{
            L"QuelvaronAsterisk: em execucao (200 ms), processo 1793",
            L"ERRO: O servico QuelvaronAsterisk esta em execucao sem o PBX: asterisk.exe terminou. Verifique asterisk.exe ao lado de C:\\QV\\bin\\quelvaron-service.exe."} + kStopped,
        kStartCall + kStopCalls,
        3300},
    {"StoppedAtOnce", QvStartService, [] { Registered(); fake.commands[L"-start"].effect = [] { fake.svc.state = SERVICE_STOPPED; fake.svc.exitCode = 1067; }; }, FAILED,
        kStart + kCleared + Lines{
            L"QuelvaronAsterisk: parado (0 ms)",
            L"ERRO: O servico QuelvaronAsterisk parou logo apos iniciar (codigo de saida 1067): o PBX nao permaneceu em execucao. Verifique asterisk.exe ao lado de C:\\QV\\bin\\quelvaron-service.exe."},
        kStartCall + kClearCall,
        400},
    {"StopPendingAtOnce", QvStartService, [] { Registered(); fake.commands[L"-start"].effect = [] { fake.svc.state = SERVICE_STOP_PENDING; fake.svc.pid = AddProcess(kHost); At(200, [] { fake.svc.exitCode = 1067; fake.procs[fake.svc.pid].endsAt = fake.now; }); }; }, FAILED,
        kStart + kCleared + Lines{
            L"QuelvaronAsterisk: pedido de parada (estado 3, resultado 0)",
            L"QuelvaronAsterisk: parado (200 ms)",
            L"ERRO: O servico QuelvaronAsterisk parou logo apos iniciar (codigo de saida 1067): o PBX nao permaneceu em execucao. Verifique asterisk.exe ao lado de C:\\QV\\bin\\quelvaron-service.exe."},
        kStartCall + kStopCalls,
        600},
    {"NeverRunning", QvStartService, [] { Registered(); fake.svc.startedAfter = NEVER; }, FAILED,
        kStart + Lines{
            L"ERRO: O servico QuelvaronAsterisk nao entrou em execucao em 30 s (estado 2)."} + kCleared + Lines{
            L"QuelvaronAsterisk: pedido de parada (estado 2, resultado 0)",
            L"QuelvaronAsterisk: parado (300 ms)"},
        kStartCall + kStopCalls,
        30800},
    {"RunningJustInTime", QvStartService, [] { Registered(); fake.svc.startedAfter = 30050; }, OK,
        kStart + Lines{
            L"QuelvaronAsterisk: em execucao (30100 ms), processo 1793",
            L"QuelvaronAsterisk: em execucao com o PBX por 3000 ms"},
        kStartCall,
        33500},
    {"GoneWhileStarting", QvStartService, [] { Registered(); fake.commands[L"-start"].effect = [] { fake.svc.present = false; }; }, FAILED,
        kStart + Lines{
            L"ERRO: O servico QuelvaronAsterisk desapareceu durante a instalacao."},
        kStartCall,
        400},
    {"NoSnapshot", QvStartService, [] { Registered(); fake.snapshotFails = true; }, FAILED,
        kStart + Lines{
            L"QuelvaronAsterisk: em execucao (200 ms), processo 1793",
            L"ERRO: Os processos em execucao nao podem ser listados (Erro 5): o PBX do servico QuelvaronAsterisk nao pode ser verificado."} + kStopped,
        kStartCall + kStopCalls,
        900},
};

// ---- QvRemoveService: uninstall, and a first install's rollback

const std::wstring kSelf = L"{AAAAAAAA-2222-3333-4444-555555555555}";
const std::wstring kOther = L"{99999999-2222-3333-4444-555555555555}";

const Case kRemove[] = {
    {"Absent", QvRemoveService, [] { RemoveData(kHost); }, OK,
        {}, {}, 0},
    {"Running", QvRemoveService, [] { Upgrade(); RemoveData(kHost); }, OK,
        Seen(true) + kStopped + kUninstalled, kStopCalls + Lines{L"run -uninstall"}, 700},
    {"NoDataSCMRemoves", QvRemoveService, [] { RunningService(); }, OK,
        Lines{
            L"Caminho de quelvaron-service.exe ausente (CustomActionData): o servico sera removido pelo Gerenciador de Servicos",
            L"QuelvaronAsterisk: registrado para \"C:\\QV\\bin\\quelvaron-service.exe\" -service (outro programa), estado 4, inicio 2"} + kStopped + Lines{
            L"QuelvaronAsterisk removido diretamente pelo Gerenciador de Servicos: quelvaron-service.exe nao pode ser executado"},
        kStopCalls + Lines{
            L"DeleteService"},
        300},
    {"DataTooLongSCMRemoves", QvRemoveService, [] { RunningService(); RemoveData(std::wstring(65536, L'a')); }, OK,
        Lines{
            L"CustomActionData tem 65541 caracteres; o maximo e 65535.",
            L"Caminho de quelvaron-service.exe ausente (CustomActionData): o servico sera removido pelo Gerenciador de Servicos",
            L"QuelvaronAsterisk: registrado para \"C:\\QV\\bin\\quelvaron-service.exe\" -service (outro programa), estado 4, inicio 2"} + kStopped + Lines{
            L"QuelvaronAsterisk removido diretamente pelo Gerenciador de Servicos: quelvaron-service.exe nao pode ser executado"},
        kStopCalls + Lines{
            L"DeleteService"},
        300},
    {"CommandLineLongest", QvRemoveService, [] { RunningService(); RemoveData(L"C:\\" + std::wstring(32750, L'a')); fake.commands[L"-uninstall"].startError = ERROR_FILENAME_EXCED_RANGE; }, OK,
        Seen() + kStopped + Lines{
            L"\"C:\\{a*32750}\" -uninstall: nao executado (Erro 206)",
            L"QuelvaronAsterisk removido diretamente pelo Gerenciador de Servicos: quelvaron-service.exe nao pode ser executado"},
        kStopCalls + Lines{L"run -uninstall", L"DeleteService"},
        300},
    {"CommandLineTooLong", QvRemoveService, [] { RunningService(); RemoveData(L"C:\\" + std::wstring(32751, L'a')); }, OK,
        Seen() + kStopped + Lines{
            L"quelvaron-service -uninstall: nao executado (linha de comando longa demais)",
            L"QuelvaronAsterisk removido diretamente pelo Gerenciador de Servicos: quelvaron-service.exe nao pode ser executado"},
        kStopCalls + Lines{L"DeleteService"},
        300},
    {"OneCharacterHost", QvRemoveService, [] { RunningService(); RemoveData(L"q"); fake.commands[L"-uninstall"].startError = ERROR_FILE_NOT_FOUND; }, OK,
        Seen() + kStopped + Lines{
            L"\"q\" -uninstall: nao executado (Erro 2)",
            L"QuelvaronAsterisk removido diretamente pelo Gerenciador de Servicos: quelvaron-service.exe nao pode ser executado"},
        kStopCalls + Lines{L"run -uninstall", L"DeleteService"},
        300},
    {"HostMissing", QvRemoveService, [] { Upgrade(); RemoveData(kHost); fake.commands[L"-uninstall"].startError = ERROR_FILE_NOT_FOUND; }, OK,
        Seen(true) + kStopped + Lines{
            L"\"C:\\QV\\bin\\quelvaron-service.exe\" -uninstall: nao executado (Erro 2)",
            L"QuelvaronAsterisk removido diretamente pelo Gerenciador de Servicos: quelvaron-service.exe nao pode ser executado"},
        kStopCalls + Lines{L"run -uninstall", L"DeleteService"},
        300},
    {"UninstallLeavesIt", QvRemoveService, [] { Upgrade(); RemoveData(kHost); fake.commands[L"-uninstall"].effect = [] {}; fake.commands[L"-uninstall"].exitCode = 1; }, OK,
        Seen(true) + kStopped + Lines{
            L"\"C:\\QV\\bin\\quelvaron-service.exe\" -uninstall -> 1: [OK] feito  ",
            L"QuelvaronAsterisk removido diretamente pelo Gerenciador de Servicos: continuava registrado apos -uninstall"},
        kStopCalls + Lines{L"run -uninstall", L"DeleteService"},
        2700},
    {"UninstallHangs", QvRemoveService, [] { Upgrade(); RemoveData(kHost); fake.commands[L"-uninstall"].runsFor = NEVER; }, OK,
        Seen(true) + kStopped + Lines{
            L"\"C:\\QV\\bin\\quelvaron-service.exe\" -uninstall: sem terminar em 60 s; processo encerrado. Saida: [OK] feito  ",
            L"QuelvaronAsterisk removido diretamente pelo Gerenciador de Servicos: quelvaron-service.exe nao pode ser executado"},
        kStopCalls + Lines{L"run -uninstall", L"TerminateProcess 1792 1", L"DeleteService"},
        60300},
    {"UninstallMarksIt", QvRemoveService, [] { Upgrade(); RemoveData(kHost); fake.svc.heldOnDelete = true; }, OK,
        Seen(true) + kStopped + kUninstalled + Lines{
            L"QuelvaronAsterisk: marcado para remocao, mas um console de Servicos (services.msc) ou uma ferramenta de monitoracao ainda o mantem aberto; o Windows o remove quando esse programa o fechar"},
        kStopCalls + Lines{L"run -uninstall"},
        2700},
    {"UninstallMarksItLate", QvRemoveService, [] { Upgrade(); RemoveData(kHost); fake.commands[L"-uninstall"].effect = [] { At(1900, [] { fake.svc.present = false; }); }; }, OK,
        Seen(true) + kStopped + kUninstalled, kStopCalls + Lines{L"run -uninstall"}, 2600},
    {"DeleteDenied", QvRemoveService, [] { Upgrade(); RemoveData(kHost); fake.commands[L"-uninstall"].effect = [] {}; fake.deleteError = ERROR_ACCESS_DENIED; }, FAILED,
        Seen(true) + kStopped + kUninstalled + Lines{
            L"ERRO: O servico QuelvaronAsterisk nao pode ser removido pelo Gerenciador de Servicos (Erro 5)."},
        kStopCalls + Lines{L"run -uninstall", L"DeleteService"},
        2700},
    {"DeleteFindsItGone", QvRemoveService, [] { Upgrade(); RemoveData(kHost); fake.commands[L"-uninstall"].effect = [] {}; fake.openErrors[DELETE] = ERROR_SERVICE_DOES_NOT_EXIST; }, OK,
        Seen(true) + kStopped + kUninstalled, kStopCalls + Lines{L"run -uninstall"}, 2700},
    {"DeleteLeavesItHeld", QvRemoveService, [] { Upgrade(); RemoveData(kHost); fake.commands[L"-uninstall"].effect = [] {}; fake.svc.heldOnDelete = true; }, OK,
        Seen(true) + kStopped + kUninstalled + Lines{
            L"QuelvaronAsterisk removido diretamente pelo Gerenciador de Servicos: continuava registrado apos -uninstall",
            L"QuelvaronAsterisk: marcado para remocao, mas um console de Servicos (services.msc) ou uma ferramenta de monitoracao ainda o mantem aberto; o Windows o remove quando esse programa o fechar"},
        kStopCalls + Lines{L"run -uninstall", L"DeleteService"},
        4700},
    {"DeleteGoesLate", QvRemoveService, [] { Upgrade(); RemoveData(kHost); fake.commands[L"-uninstall"].effect = [] {}; fake.svc.heldOnDelete = true; At(3000, [] { fake.svc.present = false; }); }, OK,
        Seen(true) + kStopped + kUninstalled + Lines{
            L"QuelvaronAsterisk removido diretamente pelo Gerenciador de Servicos: continuava registrado apos -uninstall"},
        kStopCalls + Lines{L"run -uninstall", L"DeleteService"},
        3000},
    {"DoesNotStop", QvRemoveService, [] { Upgrade(); RemoveData(kHost); AddProcess(L"C:\\QV\\bin\\quelvaron-console.exe"); fake.svc.stopAfter = fake.svc.hostEndsAfter = NEVER; fake.procs[0x500].unkillable = true; }, FAILED,
        Seen(true) + kCleared + Lines{
            L"QuelvaronAsterisk: pedido de parada (estado 4, resultado 0)",
            L"QuelvaronAsterisk nao parou em 45 s: encerrando o processo do servico (1280) e seu PBX",
            L"QuelvaronAsterisk: TerminateProcess falhou (Erro 5)",
            L"ERRO: O servico QuelvaronAsterisk nao pode ser parado: o seu estado ou o seu processo nao pode ser lido nem encerrado (Erro 5); os arquivos do produto nao podem ser substituidos nem removidos."},
        kStopCalls + Lines{L"TerminateProcess 1280 1"},
        55000},
    {"NewerVersionInstalled", QvRemoveService, [] { Upgrade(); RemoveData(kHost); fake.properties[L"ProductCode"] = kSelf; fake.related = {kSelf, kOther}; }, OK,
        {
            L"{99999999-2222-3333-4444-555555555555} continua instalado: esta e a remocao da versao anterior numa atualizacao; o servico, os arquivos em comum e a pasta ficam"},
        {},
        0},
    {"OnlyThisVersion", QvRemoveService, [] { Upgrade(); RemoveData(kHost); fake.properties[L"ProductCode"] = kSelf; fake.related = {L"{aaaaaaaa-2222-3333-4444-555555555555}"}; }, OK,
        Seen(true) + kStopped + kUninstalled, kStopCalls + Lines{L"run -uninstall"}, 700},
    {"NewerVersionListedFirst", QvRemoveService, [] { Upgrade(); RemoveData(kHost); fake.properties[L"ProductCode"] = kSelf; fake.related = {kOther, kSelf}; }, OK,
        {
            L"{99999999-2222-3333-4444-555555555555} continua instalado: esta e a remocao da versao anterior numa atualizacao; o servico, os arquivos em comum e a pasta ficam"},
        {},
        0},
    {"NoProductCode", QvRemoveService, [] { Upgrade(); RemoveData(kHost); fake.related = {kOther}; }, OK,
        Seen(true) + kStopped + kUninstalled, kStopCalls + Lines{L"run -uninstall"}, 700},
    {"ProgramsBeside", QvRemoveService, [] {
         RemoveData(kHost);
         AddProcess(L"C:\\QV\\bin\\quelvaron-console.exe");
         AddProcess(L"c:\\qv\\BIN\\Other.exe");
         AddProcess(L"C:\\QV\\bin\\tools\\x.exe");
         AddProcess(L"C:\\QV\\binx\\y.exe");
         AddProcess(L"C:\\QV\\bin\\");
         AddProcess(L"");
         fake.procs[AddProcess(L"C:\\QV\\bin\\hung.exe")].lingers = true;
         fake.procs[kSelfPid].image = L"C:\\QV\\bin\\msiexec.exe";
     }, OK,
        {
            L"Encerrando C:\\QV\\bin\\hung.exe (processo 1798), ainda em execucao na pasta do produto",
            L"Encerrando c:\\qv\\BIN\\Other.exe (processo 1793), ainda em execucao na pasta do produto",
            L"Encerrando C:\\QV\\bin\\quelvaron-console.exe (processo 1792), ainda em execucao na pasta do produto"},
        {L"TerminateProcess 1798 1", L"TerminateProcess 1793 1", L"TerminateProcess 1792 1"},
        5000},
    {"ProgramsBesideNoSnapshot", QvRemoveService, [] { RemoveData(kHost); fake.snapshotFails = true; AddProcess(L"C:\\QV\\bin\\quelvaron-console.exe"); }, OK,
        {L"Os processos em execucao nao podem ser listados (Erro 5): programas ainda abertos na pasta do produto nao sao encerrados"},
        {}, 0},
    {"ProgramsBesideBareName", QvRemoveService, [] { RemoveData(L"quelvaron-service.exe"); AddProcess(L"C:\\QV\\bin\\quelvaron-console.exe"); }, OK,
        {}, {}, 0},
};

// ---- QvFinishRemoval: what an uninstall leaves in INSTALLDIR

void Purge(const std::wstring &flag, const std::wstring &dir = L"C:\\PBX") { Data(flag + L"|created|" + dir); }
void Pbx()
{
    Tree(L"C:\\PBX", {{L"bin\\", 0}, {L"etc\\", 0}, {L"etc\\asterisk.ini", 0}, {L"etc\\extensions.conf", FILE_ATTRIBUTE_READONLY},
                      {L"var\\", 0}, {L"var\\log\\", 0}, {L"var\\log\\asterisk.log", 0}, {L"notes [old].txt", 0}, {L"etc\\a", 0}, {L"etcx\\", 0},
                      {L"etcx\\a", 0}, {L"ETC\\", 0}, {L"ETC\\b.conf", 0}, {L".x", 0}, {L"..x", 0}});
}
void Env()
{
    fake.env[L"ProgramFiles"] = L"C:\\Program Files";
    fake.env[L"ProgramData"] = L"C:\\ProgramData\\";
    fake.env[L"USERPROFILE"] = L"C:\\Users\\adm";
    fake.env[L"SystemRoot"] = L"C:\\windows";
    fake.env[L"PUBLIC"] = L"";
}

// INSTALLDIR held another program's files before the first install.
void Shared()
{
    Tree(L"C:\\Apps", {{L"bin\\", 0}, {L"bin\\a.exe", 0}, {L"etc\\", 0}, {L"etc\\x.ini", 0}, {L"Other App\\", 0},
                       {L"Other App\\keep.txt", 0}, {L"readme-other.txt", 0}});
}

const Case kFinish[] = {
    {"NoData", QvFinishRemoval, [] {}, OK,
        {L"QvFinishRemoval: CustomActionData sem \"<PURGE>|<origem>|<INSTALLDIR>|<nomes>\"; nada foi removido"},
        {},
        0},
    {"NoSeparator", QvFinishRemoval, [] { Data(L"1"); }, OK,
        {L"QvFinishRemoval: CustomActionData sem \"<PURGE>|<origem>|<INSTALLDIR>|<nomes>\"; nada foi removido"},
        {},
        0},
    {"NoFolder", QvFinishRemoval, [] { Data(L"1;"); }, OK,
        {L"QvFinishRemoval: CustomActionData sem \"<PURGE>|<origem>|<INSTALLDIR>|<nomes>\"; nada foi removido"},
        {},
        0},
    {"DataTooLong", QvFinishRemoval, [] { Data(std::wstring(65536, L'a')); }, OK,
        {L"CustomActionData tem 65536 caracteres; o maximo e 65535."},
        {},
        0},
    {"NewerVersionInstalled", QvFinishRemoval, [] { Pbx(); Purge(L"1"); fake.properties[L"ProductCode"] = kSelf; fake.related = {kOther}; }, OK,
        {
            L"{99999999-2222-3333-4444-555555555555} continua instalado: esta e a remocao da versao anterior numa atualizacao; o servico, os arquivos em comum e a pasta ficam"},
        {},
        0},
    {"Kept", QvFinishRemoval, [] { Pbx(); Purge(L"0"); Env(); }, OK,
        {
            L"Mantidos (configuracao e dados do administrador) em C:\\PBX:",
            L"  dados: ..x",
            L"  dados: .x",
            L"  configuracao: ETC\\b.conf",
            L"  configuracao: etc\\a",
            L"  configuracao: etc\\asterisk.ini",
            L"  configuracao: etc\\extensions.conf",
            L"  dados: etcx\\a",
            L"  dados: notes [old].txt",
            L"  dados: var\\log\\asterisk.log"},
        {},
        0},
    {"KeptNothing", QvFinishRemoval, [] { Tree(L"C:\\PBX", {{L"bin\\", 0}, {L"var\\", 0}, {L"var\\log\\", 0}}); Purge(L""); }, OK,
        {L"Nada foi mantido em C:\\PBX (nenhuma configuracao nem dado do administrador)"}, {}, 0},
    {"Purged", QvFinishRemoval, [] { Pbx(); Purge(L"1"); Env(); }, OK,
        {L"PURGE=1: removidos 9 arquivo(s) e 7 pasta(s) de C:\\PBX"},
        kPurgedPbx, 0},
    {"PurgedReadOnlyFolder", QvFinishRemoval, [] { Tree(L"C:\\PBX", {{L"var\\", FILE_ATTRIBUTE_READONLY}, {L"var\\a", FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE}}); fake.files[L"\\\\?\\C:\\PBX"].attributes |= FILE_ATTRIBUTE_READONLY; Purge(L"1"); }, OK,
        {L"PURGE=1: removidos 1 arquivo(s) e 2 pasta(s) de C:\\PBX"},
        {
            L"SetFileAttributesW C:\\PBX\\var\\a 32",
            L"DeleteFileW C:\\PBX\\var\\a",
            L"SetFileAttributesW C:\\PBX\\var 16",
            L"RemoveDirectoryW C:\\PBX\\var",
            L"SetFileAttributesW C:\\PBX 16",
            L"RemoveDirectoryW C:\\PBX"},
        0},
    {"PurgeFailsOnOneFile", QvFinishRemoval, [] { Pbx(); fake.files[L"\\\\?\\C:\\PBX\\var\\log\\asterisk.log"].deleteError = ERROR_SHARING_VIOLATION; Purge(L"1"); }, OK,
        {
            L"  nao removido (Erro 32): var\\log\\asterisk.log",
            L"PURGE=1: removidos 8 arquivo(s) e 4 pasta(s) de C:\\PBX",
            L"PURGE=1: 1 item(ns) nao removido(s) de C:\\PBX"},
        kPurgedPbx, 0},
    {"PurgeFailsOnAFolder", QvFinishRemoval, [] { Pbx(); fake.files[L"\\\\?\\C:\\PBX\\bin"].deleteError = ERROR_ACCESS_DENIED; Purge(L"1"); }, OK,
        {
            L"  nao removido (Erro 5): bin",
            L"PURGE=1: removidos 9 arquivo(s) e 5 pasta(s) de C:\\PBX",
            L"PURGE=1: 1 item(ns) nao removido(s) de C:\\PBX"},
        kPurgedPbx, 0},
    {"PurgeUnreadableFolder", QvFinishRemoval, [] { Pbx(); fake.findErrors[L"\\\\?\\C:\\PBX\\var"] = ERROR_ACCESS_DENIED; Purge(L"1"); }, OK,
        {
            L"  nao removido (Erro 5): var",
            L"PURGE=1: removidos 8 arquivo(s) e 4 pasta(s) de C:\\PBX",
            L"PURGE=1: 1 item(ns) nao removido(s) de C:\\PBX"},
        {
            L"DeleteFileW C:\\PBX\\..x",
            L"DeleteFileW C:\\PBX\\.x",
            L"DeleteFileW C:\\PBX\\ETC\\b.conf",
            L"RemoveDirectoryW C:\\PBX\\ETC",
            L"RemoveDirectoryW C:\\PBX\\bin",
            L"DeleteFileW C:\\PBX\\etc\\a",
            L"DeleteFileW C:\\PBX\\etc\\asterisk.ini",
            L"SetFileAttributesW C:\\PBX\\etc\\extensions.conf 0",
            L"DeleteFileW C:\\PBX\\etc\\extensions.conf",
            L"RemoveDirectoryW C:\\PBX\\etc",
            L"DeleteFileW C:\\PBX\\etcx\\a",
            L"RemoveDirectoryW C:\\PBX\\etcx",
            L"DeleteFileW C:\\PBX\\notes [old].txt",
            L"RemoveDirectoryW C:\\PBX\\var",
            L"RemoveDirectoryW C:\\PBX"},
        0},
    {"PurgeFollowsNoLink", QvFinishRemoval, [] { Tree(L"C:\\PBX", {{L"link\\", FILE_ATTRIBUTE_REPARSE_POINT}, {L"link\\theirs", 0}, {L"sub\\", 0}, {L"sub\\deeper\\", 0}, {L"sub\\deeper\\f", 0}, {L"sub\\g", 0}}); fake.files[L"\\\\?\\C:\\PBX\\link"].deleteError = 0; Purge(L"1"); }, OK,
        {L"PURGE=1: removidos 2 arquivo(s) e 4 pasta(s) de C:\\PBX"},
        {
            L"RemoveDirectoryW C:\\PBX\\link",
            L"DeleteFileW C:\\PBX\\sub\\deeper\\f",
            L"RemoveDirectoryW C:\\PBX\\sub\\deeper",
            L"DeleteFileW C:\\PBX\\sub\\g",
            L"RemoveDirectoryW C:\\PBX\\sub",
            L"RemoveDirectoryW C:\\PBX"},
        0},
    {"KeptFollowsNoLink", QvFinishRemoval, [] { Tree(L"C:\\PBX", {{L"link\\", FILE_ATTRIBUTE_REPARSE_POINT}, {L"link\\theirs", 0}, {L"sub\\", 0}, {L"sub\\deeper\\", 0}, {L"sub\\deeper\\f", 0}}); Purge(L"0"); }, OK,
        {L"Mantidos (configuracao e dados do administrador) em C:\\PBX:", L"  dados: sub\\deeper\\f"}, {}, 0},
    {"Gone", QvFinishRemoval, [] { Purge(L"0"); }, OK,
        {L"Nada foi mantido: C:\\PBX nao existe mais"}, {}, 0},
    {"GoneFileNotFound", QvFinishRemoval, [] { Purge(L"1"); fake.findErrors[L"\\\\?\\C:\\PBX"] = ERROR_FILE_NOT_FOUND; }, OK,
        {L"Nada foi mantido: C:\\PBX nao existe mais"}, {}, 0},
    {"Unreadable", QvFinishRemoval, [] { Purge(L"1"); fake.findErrors[L"\\\\?\\C:\\PBX"] = ERROR_ACCESS_DENIED; }, OK,
        {L"C:\\PBX nao pode ser lido (Erro 5)"}, {}, 0},
    {"RelativeMadeFull", QvFinishRemoval, [] { Tree(L"D:\\PBX", {{L"a", 0}}); Purge(L"0", L"PBX"); fake.fullPaths[L"PBX"] = L"D:\\PBX\\\\"; }, OK,
        {L"Mantidos (configuracao e dados do administrador) em PBX:", L"  dados: a"}, {}, 0},
    {"NotAPath", QvFinishRemoval, [] { Purge(L"1", L"::"); fake.fullPaths[L"::"] = L""; }, OK,
        {L"INSTALLDIR invalido (Erro 123): ::; nada foi removido"}, {}, 0},
    {"AlreadyLongForm", QvFinishRemoval, [] { Tree(L"C:\\PBX", {{L"a", 0}}); Purge(L"1", L"\\\\?\\C:\\PBX"); }, OK,
        {L"PURGE=1: removidos 1 arquivo(s) e 1 pasta(s) de \\\\?\\C:\\PBX"},
        {L"DeleteFileW C:\\PBX\\a", L"RemoveDirectoryW C:\\PBX"},
        0},
    {"Unc", QvFinishRemoval, [] { Tree(L"UNC\\srv\\share\\pbx", {{L"a", 0}}); Purge(L"1", L"\\\\srv\\share\\pbx"); }, OK,
        {L"PURGE=1: removidos 1 arquivo(s) e 1 pasta(s) de \\\\srv\\share\\pbx"},
        {L"DeleteFileW UNC\\srv\\share\\pbx\\a", L"RemoveDirectoryW UNC\\srv\\share\\pbx"},
        0},
    {"UncShareRoot", QvFinishRemoval, [] { Purge(L"1", L"\\\\srv\\share"); }, OK,
        {L"\\\\srv\\share e (ou contem) uma pasta do sistema: PURGE=1 ignorado, nada foi removido"}, {}, 0},
    {"UncShareRootSlash", QvFinishRemoval, [] { Purge(L"1", L"\\\\srv\\share\\"); }, OK,
        {L"\\\\srv\\share\\ e (ou contem) uma pasta do sistema: PURGE=1 ignorado, nada foi removido"}, {}, 0},
    {"UncNoServer", QvFinishRemoval, [] { Purge(L"1", L"\\\\\\share"); }, OK,
        {L"\\\\\\share e (ou contem) uma pasta do sistema: PURGE=1 ignorado, nada foi removido"}, {}, 0},
    {"UncShortShareRoot", QvFinishRemoval, [] { Purge(L"1", L"\\\\s\\h"); }, OK,
        {L"\\\\s\\h e (ou contem) uma pasta do sistema: PURGE=1 ignorado, nada foi removido"}, {}, 0},
    {"PurgeRootInUse", QvFinishRemoval, [] { Tree(L"C:\\PBX", {{L"a", 0}}); fake.files[L"\\\\?\\C:\\PBX"].deleteError = ERROR_SHARING_VIOLATION; Purge(L"1"); }, OK,
        {
            L"  nao removido (Erro 32): C:\\PBX",
            L"PURGE=1: removidos 1 arquivo(s) e 0 pasta(s) de C:\\PBX",
            L"PURGE=1: 1 item(ns) nao removido(s) de C:\\PBX"},
        {L"DeleteFileW C:\\PBX\\a", L"RemoveDirectoryW C:\\PBX"},
        0},
    {"DriveRoot", QvFinishRemoval, [] { Purge(L"1", L"C:\\"); }, OK,
        {L"C:\\ e (ou contem) uma pasta do sistema: PURGE=1 ignorado, nada foi removido"}, {}, 0},
    {"DriveRootKept", QvFinishRemoval, [] { Purge(L"0", L"D:\\\\"); }, OK,
        {L"D:\\\\ e (ou contem) uma pasta do sistema: o que restou nela nao foi listado"}, {}, 0},
    {"FourCharacters", QvFinishRemoval, [] { Tree(L"D:\\a", {{L"x", 0}}); Purge(L"1", L"D:\\a"); }, OK,
        {L"PURGE=1: removidos 1 arquivo(s) e 1 pasta(s) de D:\\a"},
        {L"DeleteFileW D:\\a\\x", L"RemoveDirectoryW D:\\a"},
        0},
    {"WindowsFolderInside", QvFinishRemoval, [] { Env(); Purge(L"1", L"C:\\WINDOWS\\pbx"); }, OK,
        {L"C:\\WINDOWS\\pbx e (ou contem) uma pasta do sistema: PURGE=1 ignorado, nada foi removido"}, {}, 0},
    {"WindowsFolderItself", QvFinishRemoval, [] { Env(); Purge(L"1", L"C:\\windows"); }, OK,
        {L"C:\\windows e (ou contem) uma pasta do sistema: PURGE=1 ignorado, nada foi removido"}, {}, 0},
    {"HoldsWindows", QvFinishRemoval, [] { fake.windowsDir = L"D:\\os\\windows"; Purge(L"1", L"D:\\os"); }, OK,
        {L"D:\\os e (ou contem) uma pasta do sistema: PURGE=1 ignorado, nada foi removido"}, {}, 0},
    {"WindowsPrefixOnly", QvFinishRemoval, [] { Env(); Tree(L"C:\\win", {{L"a", 0}}); Purge(L"1", L"C:\\win"); }, OK,
        {L"PURGE=1: removidos 1 arquivo(s) e 1 pasta(s) de C:\\win"},
        {L"DeleteFileW C:\\win\\a", L"RemoveDirectoryW C:\\win"},
        0},
    {"WindowsNamePrefix", QvFinishRemoval, [] { Env(); Tree(L"C:\\windows2", {{L"a", 0}}); Purge(L"1", L"C:\\windows2"); }, OK,
        {L"PURGE=1: removidos 1 arquivo(s) e 1 pasta(s) de C:\\windows2"},
        {L"DeleteFileW C:\\windows2\\a", L"RemoveDirectoryW C:\\windows2"},
        0},
    {"NoWindowsFolder", QvFinishRemoval, [] { fake.windowsDirFails = true; Tree(L"C:\\windows", {{L"a", 0}}); Purge(L"1", L"C:\\windows"); }, OK,
        {L"C:\\windows nao pode ser comparado com as pastas do sistema (Erro 5): PURGE=1 ignorado, nada foi removido"},
        {}, 0},
    {"ProgramFiles", QvFinishRemoval, [] { Env(); Purge(L"1", L"C:\\Program Files"); }, OK,
        {L"C:\\Program Files e (ou contem) uma pasta do sistema: PURGE=1 ignorado, nada foi removido"}, {}, 0},
    {"ProgramData", QvFinishRemoval, [] { Env(); Purge(L"1", L"C:\\ProgramData"); }, OK,
        {L"C:\\ProgramData e (ou contem) uma pasta do sistema: PURGE=1 ignorado, nada foi removido"}, {}, 0},
    {"HoldsAProfile", QvFinishRemoval, [] { Env(); Purge(L"0", L"C:\\Users"); }, OK,
        {L"C:\\Users e (ou contem) uma pasta do sistema: o que restou nela nao foi listado"}, {}, 0},
    {"InProgramFiles", QvFinishRemoval, [] { Env(); Tree(L"C:\\Program Files\\QV", {{L"a", 0}}); Purge(L"1", L"C:\\Program Files\\QV"); }, OK,
        {L"PURGE=1: removidos 1 arquivo(s) e 1 pasta(s) de C:\\Program Files\\QV"},
        {L"DeleteFileW C:\\Program Files\\QV\\a", L"RemoveDirectoryW C:\\Program Files\\QV"},
        0},
    {"LongestPath", QvFinishRemoval, [] { std::wstring d = L"C:\\" + std::wstring(32757, L'd'); Tree(d, {{L"a", 0}}); Purge(L"1", d); }, OK,
        {L"PURGE=1: removidos 1 arquivo(s) e 1 pasta(s) de C:\\{d*32757}"},
        {L"DeleteFileW C:\\{d*32757}\\a", L"RemoveDirectoryW C:\\{d*32757}"},
        0},
    {"PathTooLong", QvFinishRemoval, [] { Purge(L"1", L"C:\\" + std::wstring(32758, L'd')); }, OK,
        {L"INSTALLDIR invalido: C:\\{d*32758}; nada foi removido"}, {}, 0},
    {"LongestLongForm", QvFinishRemoval, [] { std::wstring d = L"C:\\" + std::wstring(32757, L'd'); Tree(d, {{L"a", 0}}); Purge(L"1", L"\\\\?\\" + d); }, OK,
        {L"PURGE=1: removidos 1 arquivo(s) e 1 pasta(s) de \\\\?\\C:\\{d*32757}"},
        {L"DeleteFileW C:\\{d*32757}\\a", L"RemoveDirectoryW C:\\{d*32757}"},
        0},
    {"LongFormTooLong", QvFinishRemoval, [] { Purge(L"1", L"\\\\?\\C:\\" + std::wstring(32758, L'd')); }, OK,
        {L"INSTALLDIR invalido: \\\\?\\C:\\{d*32758}; nada foi removido"},
        {},
        0},
    {"FullPathTooLong", QvFinishRemoval, [] { Purge(L"1", L"x"); fake.fullPaths[L"x"] = L"C:\\" + std::wstring(32765, L'd'); }, OK,
        {L"INSTALLDIR invalido: x; nada foi removido"}, {}, 0},
    {"PurgedShared", QvFinishRemoval, [] { Shared(); Data(L"1|shared|C:\\Apps|bin|etc|var"); }, OK,
        {
            L"PURGE=1: removidos 2 arquivo(s) e 2 pasta(s) de C:\\Apps",
            L"C:\\Apps ja existia com outros arquivos antes da instalacao: so o que e do produto foi removido",
            L"  mantido (nao e do produto): Other App",
            L"  mantido (nao e do produto): readme-other.txt"},
        {
            L"DeleteFileW C:\\Apps\\bin\\a.exe",
            L"RemoveDirectoryW C:\\Apps\\bin",
            L"DeleteFileW C:\\Apps\\etc\\x.ini",
            L"RemoveDirectoryW C:\\Apps\\etc",
            L"RemoveDirectoryW C:\\Apps"},
        0},
    {"KeptShared", QvFinishRemoval, [] { Shared(); Data(L"0|shared|C:\\Apps|bin|etc|var"); }, OK,
        {
            L"Mantidos (configuracao e dados do administrador) em C:\\Apps:",
            L"  dados: bin\\a.exe",
            L"  configuracao: etc\\x.ini"},
        {},
        0},
    {"SharedWithoutItsList", QvFinishRemoval, [] { Shared(); Data(L"1|shared|C:\\Apps"); }, OK,
        {L"C:\\Apps ja existia com outros arquivos antes da instalacao, e o pacote nao diz o que e do produto: PURGE=1 ignorado, nada foi removido"},
        {},
        0},
    {"NamesAtTheLimit", QvFinishRemoval, [] {
         std::wstring d = L"C:\\" + std::wstring(32504, L'd');
         Tree(d, {{std::wstring(255, L'n'), 0}, {std::wstring(256, L'm'), 0}, {std::wstring(253, L's') + L"\\", 0}, {std::wstring(253, L's') + L"\\f", 0}, {std::wstring(254, L't') + L"\\", 0}, {std::wstring(254, L't') + L"\\g", 0}});
         Purge(L"1", d);
     }, OK,
        {
            L"  nao removido (Erro 206): C:\\{d*32504}",
            L"  nao removido (Erro 206): {t*254}",
            L"PURGE=1: removidos 2 arquivo(s) e 1 pasta(s) de C:\\{d*32504}",
            L"PURGE=1: 2 item(ns) nao removido(s) de C:\\{d*32504}"},
        {
            L"DeleteFileW C:\\{d*32504}\\{n*255}",
            L"DeleteFileW C:\\{d*32504}\\{s*253}\\f",
            L"RemoveDirectoryW C:\\{d*32504}\\{s*253}",
            L"RemoveDirectoryW C:\\{d*32504}\\{t*254}",
            L"RemoveDirectoryW C:\\{d*32504}"},
        0},
};

// ---- QvSecureFolders: owners and permissions of what the product installs

void Planted()
{
    Tree(L"C:\\PBX", {{L"bin\\", 0}, {L"bin\\evil.dll", 0}, {L"var\\", 0}, {L"var\\x", 0}, {L"share\\", 0}, {L"share\\s", 0},
                      {L"etc\\", 0}, {L"mine\\", 0}, {L"mine\\y", 0}});
    fake.security[L"\\\\?\\C:\\PBX\\bin\\evil.dll"] = 1;
    fake.security[L"\\\\?\\C:\\PBX\\var\\x"] = 2;
    fake.security[L"\\\\?\\C:\\PBX\\share"] = 3;
    fake.security[L"\\\\?\\C:\\PBX\\mine\\y"] = 1;
    Data(L"|C:\\PBX\\|bin|etc|share|var");
}

// What Planted() needs fixed, in the walk's order.
const Lines kSecured = {L"EnablePrivilege SeRestorePrivilege", L"EnablePrivilege SeTakeOwnershipPrivilege",
                        L"SetNamedSecurityInfoW C:\\PBX\\bin\\evil.dll owner", L"SetNamedSecurityInfoW C:\\PBX\\share owner",
                        L"SetNamedSecurityInfoW C:\\PBX\\var\\x dacl"};

const Case kSecure[] = {
    {"NoData", QvSecureFolders, [] {}, FAILED,
        {L"ERRO: INSTALLDIR ausente (CustomActionData)."},
        {},
        0},
    {"FixesWhatOthersOwnOrMayWrite", QvSecureFolders, [] { Planted(); }, OK,
        {
            L"  dono corrigido (Administradores): bin\\evil.dll",
            L"  dono corrigido (Administradores): share",
            L"  permissoes corrigidas: var\\x",
            L"3 item(ns) de C:\\PBX\\ passaram a pertencer aos Administradores ou perderam permissoes de escrita de outros usuarios"},
        kSecured,
        0},
    {"AnOpenLockedFolderFails", QvSecureFolders, [] { Planted(); fake.security[L"\\\\?\\C:\\PBX\\etc"] = 2; }, FAILED,
        {
            L"  dono corrigido (Administradores): bin\\evil.dll",
            L"  dono ou permissoes nao corrigidos (Erro 5): etc",
            L"  dono corrigido (Administradores): share",
            L"  permissoes corrigidas: var\\x",
            L"3 item(ns) de C:\\PBX\\ passaram a pertencer aos Administradores ou perderam permissoes de escrita de outros usuarios",
            L"ERRO: O dono ou as permissoes de C:\\PBX\\etc nao puderam ser corrigidos (Erro 5): um usuario que nao e administrador poderia trocar o que roda como LocalSystem. Corrija-os (icacls) ou escolha outra pasta."},
        kSecured,
        0},
    {"MadeByTheFirstInstall", QvSecureFolders, [] { Planted(); Data(L"created|C:\\PBX\\|bin|etc|share|var"); }, OK,
        {L"C:\\PBX\\ foi criado pela primeira instalacao: nada nele e de outro dono"},
        {},
        0},
    {"OwnerOfInstallDir", QvSecureFolders, [] { Planted(); fake.security[L"\\\\?\\C:\\PBX"] = 1; }, OK,
        {
            L"  dono corrigido (Administradores): C:\\PBX\\",
            L"  dono corrigido (Administradores): bin\\evil.dll",
            L"  dono corrigido (Administradores): share",
            L"  permissoes corrigidas: var\\x",
            L"4 item(ns) de C:\\PBX\\ passaram a pertencer aos Administradores ou perderam permissoes de escrita de outros usuarios"},
        {
            L"EnablePrivilege SeRestorePrivilege",
            L"EnablePrivilege SeTakeOwnershipPrivilege",
            L"SetNamedSecurityInfoW C:\\PBX owner",
            L"SetNamedSecurityInfoW C:\\PBX\\bin\\evil.dll owner",
            L"SetNamedSecurityInfoW C:\\PBX\\share owner",
            L"SetNamedSecurityInfoW C:\\PBX\\var\\x dacl"},
        0},
};

// The log's template escapes brackets (Wine's msiexec would read "[OK]" as a
// property) and stays within its buffer; with no record, nothing is sent.
TEST_F(MsiActionsTest, LogTemplateEscapesBracketsWithinItsBuffer)
{
    Purge(L"0", L"C:\\[x]");
    EXPECT_EQ(QvFinishRemoval(FAKE_INSTALL), OK);
    ASSERT_EQ(fake.messages.size(), 1u);
    EXPECT_EQ(fake.messages[0].text, L"Nada foi mantido: C:\\[\\[]x[\\]] nao existe mais");
    EXPECT_EQ(fake.messages[0].kind, (DWORD)INSTALLMESSAGE_INFO);

    // 21 plain characters, 16889 brackets (4 each), then plain ones: cut 5 short of the buffer's end.
    fake = FakeMsi();
    InstallMsiFakes();
    Purge(L"0", L"C:\\" + std::wstring(16889, L'[') + L"abcdefgh");
    QvFinishRemoval(FAKE_INSTALL);
    ASSERT_EQ(fake.messages.size(), 1u);
    EXPECT_EQ(fake.messages[0].text.size(), 67579u);
    EXPECT_EQ(fake.messages[0].text.substr(67569), L"[\\[][\\[]ab");

    fake = FakeMsi();
    InstallMsiFakes();
    fake.createRecordFails = true;
    Purge(L"0");
    EXPECT_EQ(QvFinishRemoval(FAKE_INSTALL), OK);
    EXPECT_TRUE(fake.messages.empty());
}

// Fifty files are listed (kept, or not removed), then only counted.
TEST_F(MsiActionsTest, ListsFiftyFilesThenCounts)
{
    for (int files : {50, 52}) {
        for (bool purge : {false, true}) {
            fake = FakeMsi();
            InstallMsiFakes();
            std::vector<std::pair<std::wstring, DWORD>> tree = {{L"var\\", 0}};
            for (int i = 0; i < files; i++) {
                tree.push_back({L"var\\f" + std::to_wstring(100 + i), 0});
            }
            Tree(L"C:\\PBX", tree);
            for (auto &f : fake.files) {
                f.second.deleteError = ERROR_ACCESS_DENIED;
            }
            Purge(purge ? L"1" : L"0");
            EXPECT_EQ(QvFinishRemoval(FAKE_INSTALL), OK);
            std::vector<std::wstring> want;
            if (!purge) {
                want.push_back(L"Mantidos (configuracao e dados do administrador) em C:\\PBX:");
            }
            for (int i = 0; i < 50; i++) {
                want.push_back((purge ? L"  nao removido (Erro 5): var\\f" : L"  dados: var\\f") + std::to_wstring(100 + i));
            }
            if (purge) {
                want.push_back(L"PURGE=1: removidos 0 arquivo(s) e 0 pasta(s) de C:\\PBX");
                want.push_back(L"PURGE=1: " + std::to_wstring(files) + L" item(ns) nao removido(s) de C:\\PBX");
            } else if (files > 50) {
                want.push_back(L"  ... e mais 2 arquivo(s); 52 ao todo em C:\\PBX");
            }
            EXPECT_EQ(Log(), want) << files << " files, purge " << purge;
        }
    }
}

// Each variable naming a system folder protects it.
TEST_F(MsiActionsTest, EverySystemFolderVariable)
{
    const wchar_t *names[] = {L"ProgramFiles",       L"ProgramFiles(x86)", L"ProgramW6432",
                              L"CommonProgramFiles", L"ProgramData",       L"ALLUSERSPROFILE",
                              L"USERPROFILE",        L"PUBLIC",            L"SystemRoot"};
    for (const wchar_t *name : names) {
        fake = FakeMsi();
        InstallMsiFakes();
        fake.env[name] = L"E:\\sys";
        Purge(L"1", L"E:\\sys");
        EXPECT_EQ(QvFinishRemoval(FAKE_INSTALL), OK);
        EXPECT_THAT(Log(), ElementsAre(L"E:\\sys e (ou contem) uma pasta do sistema: PURGE=1 ignorado, nada foi removido"))
            << name;
    }
}

std::string Name(const ::testing::TestParamInfo<Case> &i) { return i.param.name; }

INSTANTIATE_TEST_SUITE_P(Stop, Scenes, ::testing::ValuesIn(kStop), Name);
INSTANTIATE_TEST_SUITE_P(Install, Scenes, ::testing::ValuesIn(kInstall), Name);
INSTANTIATE_TEST_SUITE_P(Start, Scenes, ::testing::ValuesIn(kStarts), Name);
INSTANTIATE_TEST_SUITE_P(Remove, Scenes, ::testing::ValuesIn(kRemove), Name);
INSTANTIATE_TEST_SUITE_P(Finish, Scenes, ::testing::ValuesIn(kFinish), Name);
INSTANTIATE_TEST_SUITE_P(Secure, Scenes, ::testing::ValuesIn(kSecure), Name);

} // namespace
