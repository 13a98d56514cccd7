// The management command line: option selection, each command's platform
// calls, its printed lines and its exit code.
#include "win32_fakes.h"

#include <initializer_list>

using ::testing::Each;
using ::testing::ElementsAre;
using ::testing::internal::CaptureStdout;
using ::testing::internal::GetCapturedStdout;

namespace {

const char kOpenManagerFailed[] =
    "[ERRO] Nao foi possivel abrir o Gerenciador de Servicos (execute como Administrador).\n";
const char kProgram[] = "C:\\QV\\bin\\quelvaron-service.exe";

// Restart after 5, 10 and 30 s, failure count reset after a day, and a stop
// with an exit code counted as a failure; and 20 s to stop on a preshutdown.
void ExpectRecovery()
{
    const SERVICE_FAILURE_ACTIONSA &a = fake.failureActions;
    EXPECT_EQ(a.dwResetPeriod, 86400u);
    EXPECT_EQ(a.lpRebootMsg, nullptr);
    EXPECT_EQ(a.lpCommand, nullptr);
    EXPECT_EQ(a.cActions, 3u);
    std::vector<std::pair<int, DWORD>> steps;
    for (const SC_ACTION &step : fake.failureActionSteps) {
        steps.push_back({step.Type, step.Delay});
    }
    EXPECT_THAT(steps, ElementsAre(std::make_pair((int)SC_ACTION_RESTART, 5000u),
                                   std::make_pair((int)SC_ACTION_RESTART, 10000u),
                                   std::make_pair((int)SC_ACTION_RESTART, 30000u)));
    EXPECT_EQ(fake.failureActionsFlag, TRUE);
    EXPECT_EQ(fake.preshutdownTimeout, 20000u);
}

class CommandLine : public ServiceHostTest {
  protected:
    // Runs the program's command line; returns the exit code, output in `out`.
    int Run(std::initializer_list<const char *> args)
    {
        std::vector<std::string> storage(args.begin(), args.end());
        std::vector<char *> argv;
        for (std::string &s : storage) {
            argv.push_back(&s[0]);
        }
        argv.push_back(nullptr);
        CaptureStdout();
        int code = ServiceCommandMain((int)storage.size(), argv.data());
        out = GetCapturedStdout();
        return code;
    }
    std::string out;
};

// ---- option table

TEST_F(CommandLine, OptionsMatchWholeInAnyLetterCaseWithDashOrSlash)
{
    struct Case {
        const char *arg;
        const char *firstCall;
    };
    const Case cases[] = {
        {"-install", "GetModuleFileNameA NULL 260"}, {"/install", "GetModuleFileNameA NULL 260"},
        {"-INSTALL", "GetModuleFileNameA NULL 260"}, {"/Install", "GetModuleFileNameA NULL 260"},
        {"-uninstall", "OpenSCManagerA 983103"},     {"/UnInstall", "OpenSCManagerA 983103"},
        {"-start", "OpenSCManagerA 1"},              {"/START", "OpenSCManagerA 1"},
        {"-stop", "OpenSCManagerA 1"},               {"/Stop", "OpenSCManagerA 1"},
        {"-status", "OpenSCManagerA 1"},             {"/sTaTuS", "OpenSCManagerA 1"},
    };
    for (const Case &c : cases) {
        fake = FakeWin32();
        fake.openManagerError = ERROR_ACCESS_DENIED;
        Run({"svc.exe", c.arg});
        ASSERT_FALSE(fake.log.empty()) << c.arg;
        EXPECT_EQ(fake.log[0], c.firstCall) << c.arg;
        EXPECT_EQ(out.find("Uso:"), std::string::npos) << c.arg;
    }
}

TEST_F(CommandLine, ConsoleAndDebugRunThePbxInTheForegroundAndExitWith0)
{
    for (const char *arg : {"-console", "-debug", "-CONSOLE", "-Debug"}) {
        fake = FakeWin32();
        EXPECT_EQ(Run({"svc.exe", arg}), 0) << arg;
        EXPECT_EQ(fake.systemCalls, 1) << arg;
        EXPECT_EQ(fake.systemCommand, "\"\"asterisk.exe\" -f -vvvvv -c\"") << "one more pair for cmd to drop";
        EXPECT_NE(out.find("[Console] Executando: \"asterisk.exe\" -f -vvvvv -c\n"), std::string::npos);
    }
}

TEST_F(CommandLine, AnythingElsePrintsTheUsageLineWithTheProgramName)
{
    const char *notOptions[] = {"/console", "/debug", "install", "-install2", "-ins", "", "--install", "-h", "/?"};
    for (const char *arg : notOptions) {
        fake = FakeWin32();
        EXPECT_EQ(Run({"C:\\x\\svc.exe", arg}), 1) << arg;
        EXPECT_EQ(out, "Uso: C:\\x\\svc.exe [-install | -uninstall | -start | -stop | -status | -console]\n") << arg;
        EXPECT_THAT(fake.log, ElementsAre()) << arg;
    }
}

TEST_F(CommandLine, OnlyTheFirstArgumentCounts)
{
    fake.queryStatus.dwCurrentState = SERVICE_STOPPED;
    EXPECT_EQ(Run({"svc.exe", "-status", "-install", "whatever"}), 0);
    EXPECT_EQ(out.substr(0, 8), "Servico:");
    EXPECT_THAT(LogLines("CreateServiceA"), ElementsAre());

    fake = FakeWin32();
    EXPECT_EQ(Run({"svc.exe", "bogus", "-status"}), 1);
    EXPECT_EQ(out.substr(0, 4), "Uso:");
}

// ---- dispatcher

TEST_F(CommandLine, NoArgumentHandsTheThreadToTheDispatcher)
{
    EXPECT_EQ(Run({"svc.exe"}), 0);
    EXPECT_EQ(out, "");
    EXPECT_EQ(fake.dispatchName, "QuelvaronAsterisk");
    EXPECT_EQ(fake.dispatchProc, &ServiceMain);
    EXPECT_TRUE(fake.dispatchTableEndsWithNull);

    fake = FakeWin32();
    EXPECT_EQ(Run({}), 0) << "an empty argument vector also means the dispatcher";
    EXPECT_EQ(fake.dispatchName, "QuelvaronAsterisk");
}

TEST_F(CommandLine, StartedFromAConsoleTheDispatcherFailsAndTheHelpTextIsShown)
{
    fake.dispatcherError = ERROR_FAILED_SERVICE_CONTROLLER_CONNECT;
    EXPECT_EQ(Run({"qs.exe"}), 1);
    EXPECT_EQ(out, "Quelvaron Asterisk PBX Service\n"
                   "Este executavel foi projetado para rodar como Servico do Windows.\n"
                   "Para executar em modo interativo de teste, use:\n"
                   "  qs.exe -console\n"
                   "\n"
                   "Para gerenciar o servico:\n"
                   "  qs.exe -install    (Registra o servico no Windows)\n"
                   "  qs.exe -uninstall  (Remove o servico do Windows)\n"
                   "  qs.exe -start      (Inicia o servico)\n"
                   "  qs.exe -stop       (Para o servico)\n"
                   "  qs.exe -status     (Verifica o status atual)\n");
}

TEST_F(CommandLine, AnyOtherDispatcherFailureExitsWith1Silently)
{
    fake.dispatcherError = ERROR_SERVICE_ALREADY_RUNNING;
    EXPECT_EQ(Run({"qs.exe"}), 1);
    EXPECT_EQ(out, "");
}

// ---- install

TEST_F(CommandLine, InstallCreatesTheServiceDescribesItAndRegistersTheEventSource)
{
    fake.modulePath = kProgram;
    EXPECT_EQ(Run({"svc.exe", "-install"}), 0);
    EXPECT_EQ(out, "[OK] Servico 'Quelvaron Asterisk PBX Service' instalado com sucesso!\n");

    EXPECT_THAT(fake.managerAccess, ElementsAre(0xF003Fu));
    EXPECT_TRUE(fake.managerNamesNull);
    ASSERT_EQ(fake.createdServices.size(), 1u);
    const CreateServiceCall &c = fake.createdServices[0];
    EXPECT_EQ(c.manager, FAKE_SCM);
    EXPECT_EQ(c.serviceName, "QuelvaronAsterisk");
    EXPECT_EQ(c.displayName, "Quelvaron Asterisk PBX Service");
    EXPECT_EQ(c.access, 0xF01FFu);
    EXPECT_EQ(c.serviceType, 0x10u);
    EXPECT_EQ(c.startType, 2u);
    EXPECT_EQ(c.errorControl, 1u);
    EXPECT_EQ(c.binaryPath, "\"" + std::string(kProgram) + "\"") << "quoted, no arguments";
    EXPECT_TRUE(c.groupNull && c.tagNull && c.dependenciesNull && c.accountNull && c.passwordNull);

    EXPECT_THAT(fake.config2Levels, ElementsAre(1u, 2u, 4u, 7u));
    EXPECT_THAT(LogLines("ChangeServiceConfig2A"), Each("ChangeServiceConfig2A " + Hex(FAKE_SERVICE)));
    EXPECT_THAT(fake.descriptions,
                ElementsAre("Motor Asterisk PBX com chan_quelvaron e Quelvaron VoIP Core (WhatsApp & Telegram)"));
    ExpectRecovery();

    EXPECT_EQ(fake.regRoot, HKEY_LOCAL_MACHINE);
    EXPECT_EQ(fake.regSubKey, "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\QuelvaronAsterisk");
    EXPECT_EQ(fake.regReserved, 0u);
    EXPECT_TRUE(fake.regClassNull);
    EXPECT_EQ(fake.regOptions, 0u);
    EXPECT_EQ(fake.regAccess, (REGSAM)KEY_SET_VALUE);
    EXPECT_TRUE(fake.regSecurityNull);
    EXPECT_TRUE(fake.regDispositionNull);

    ASSERT_EQ(fake.regValues.size(), 2u);
    EXPECT_EQ(fake.regValues[0].key, FAKE_KEY);
    EXPECT_EQ(fake.regValues[0].name, "TypesSupported");
    EXPECT_EQ(fake.regValues[0].type, (DWORD)REG_DWORD);
    EXPECT_EQ(fake.regValues[0].data, std::string("\x07\x00\x00\x00", 4));
    EXPECT_EQ(fake.regValues[0].reserved, 0u);
    EXPECT_EQ(fake.regValues[1].name, "EventMessageFile");
    EXPECT_EQ(fake.regValues[1].type, (DWORD)REG_EXPAND_SZ);
    EXPECT_EQ(fake.regValues[1].data, std::string(kProgram) + '\0') << "the length counts the NUL";
    EXPECT_EQ(fake.regValues[1].reserved, 0u);

    EXPECT_THAT(LogLines("Close"), ElementsAre("CloseServiceHandle " + Hex(FAKE_SERVICE),
                                               "CloseServiceHandle " + Hex(FAKE_SCM)));
    EXPECT_THAT(LogLines("RegCloseKey"), ElementsAre("RegCloseKey " + Hex(FAKE_KEY)));
    // The service handle is closed before the event source is registered, the manager last.
    EXPECT_EQ(fake.log.back(), "CloseServiceHandle " + Hex(FAKE_SCM));
}

TEST_F(CommandLine, InstallQuotesEvenAFullLengthPathButRegistersTheEventSourcePlain)
{
    std::string longest = "C:\\" + std::string(234, 'p') + "\\quelvaron-service.exe";
    ASSERT_EQ(longest.size(), 259u);
    fake.modulePath = longest;
    EXPECT_EQ(Run({"svc.exe", "-install"}), 0);
    ASSERT_EQ(fake.createdServices.size(), 1u);
    EXPECT_EQ(fake.createdServices[0].binaryPath, "\"" + longest + "\"");
    ASSERT_EQ(fake.regValues.size(), 2u);
    EXPECT_EQ(fake.regValues[1].data, longest + '\0');
}

TEST_F(CommandLine, InstallIgnoresFailedConfigurationCalls)
{
    // Wine's SCM, for one, takes the failure actions without storing them
    // and refuses the flag.
    fake.config2Error = ERROR_INVALID_PARAMETER;
    EXPECT_EQ(Run({"svc.exe", "-install"}), 0);
    EXPECT_EQ(out, "[OK] Servico 'Quelvaron Asterisk PBX Service' instalado com sucesso!\n");
    EXPECT_THAT(fake.config2Levels, ElementsAre(1u, 2u, 4u, 7u));
    ExpectRecovery();
    EXPECT_EQ(fake.regValues.size(), 2u);
    EXPECT_THAT(LogLines("CloseServiceHandle"), ElementsAre("CloseServiceHandle " + Hex(FAKE_SERVICE),
                                                            "CloseServiceHandle " + Hex(FAKE_SCM)));
}

TEST_F(CommandLine, InstallingAgainLeavesTheServiceButRefreshesTheEventSource)
{
    fake.createServiceError = ERROR_SERVICE_EXISTS;
    EXPECT_EQ(Run({"svc.exe", "/install"}), 0);
    EXPECT_EQ(out, "[INFO] O servico 'QuelvaronAsterisk' ja esta instalado.\n");
    EXPECT_TRUE(fake.config2Levels.empty());
    ASSERT_EQ(fake.regValues.size(), 2u);
    EXPECT_THAT(LogLines("CloseServiceHandle"), ElementsAre("CloseServiceHandle " + Hex(FAKE_SCM)));
}

TEST_F(CommandLine, InstallSucceedsEvenWhenTheEventSourceKeyCannotBeOpened)
{
    fake.regCreateResult = ERROR_ACCESS_DENIED;
    EXPECT_EQ(Run({"svc.exe", "-install"}), 0);
    EXPECT_EQ(out, "[OK] Servico 'Quelvaron Asterisk PBX Service' instalado com sucesso!\n"
                   "[AVISO] A origem de eventos 'QuelvaronAsterisk' nao pode ser registrada (Erro 5): o Visualizador "
                   "de Eventos mostra as entradas do servico sem o seu texto.\n");
    EXPECT_TRUE(fake.regValues.empty());
    EXPECT_THAT(LogLines("RegCloseKey"), ElementsAre());
}

TEST_F(CommandLine, InstallFailures)
{
    fake.moduleFileFails = true;
    EXPECT_EQ(Run({"svc.exe", "-install"}), 1);
    EXPECT_EQ(out, "[ERRO] Nao foi possivel obter o caminho do binario.\n");
    EXPECT_THAT(LogLines("OpenSCManagerA"), ElementsAre());

    fake = FakeWin32();
    fake.openManagerError = ERROR_ACCESS_DENIED;
    EXPECT_EQ(Run({"svc.exe", "-install"}), 1);
    EXPECT_EQ(out, kOpenManagerFailed);
    EXPECT_TRUE(fake.createdServices.empty());

    fake = FakeWin32();
    fake.createServiceError = ERROR_INVALID_NAME;
    EXPECT_EQ(Run({"svc.exe", "-install"}), 1);
    EXPECT_EQ(out, "[ERRO] Falha ao criar servico (Erro 123).\n");
    EXPECT_THAT(LogLines("RegCreateKeyExA"), ElementsAre());
    EXPECT_THAT(LogLines("CloseServiceHandle"), ElementsAre("CloseServiceHandle " + Hex(FAKE_SCM)));
}

TEST_F(CommandLine, InstallRefusesAnOwnPathCutByThePlatform)
{
    // Registering a cut path would register some other program as the service.
    fake.modulePath = "C:\\" + std::string(300, 'p') + "\\quelvaron-service.exe";
    EXPECT_EQ(Run({"svc.exe", "-install"}), 1);
    EXPECT_EQ(out, "[ERRO] Nao foi possivel obter o caminho do binario.\n");
    EXPECT_TRUE(fake.createdServices.empty());
}

// ---- uninstall

TEST_F(CommandLine, UninstallStopsWithoutWaitingAndMarksForDeletion)
{
    EXPECT_EQ(Run({"svc.exe", "-uninstall"}), 0);
    EXPECT_EQ(out, "[OK] Servico 'QuelvaronAsterisk' removido com sucesso.\n");
    EXPECT_THAT(fake.managerAccess, ElementsAre(0xF003Fu));
    EXPECT_THAT(fake.openedServiceNames, ElementsAre("QuelvaronAsterisk"));
    EXPECT_THAT(fake.serviceAccess, ElementsAre(0x10020u));
    EXPECT_THAT(fake.log, ElementsAre("OpenSCManagerA 983103", "OpenServiceA " + Hex(FAKE_SCM) + " 65568",
                                      "ControlService " + Hex(FAKE_SERVICE) + " 1",
                                      "DeleteService " + Hex(FAKE_SERVICE), "CloseServiceHandle " + Hex(FAKE_SERVICE),
                                      "CloseServiceHandle " + Hex(FAKE_SCM)));
    EXPECT_FALSE(fake.controlStatusNull);
}

TEST_F(CommandLine, UninstallGoesOnWhenTheStopRequestFails)
{
    fake.controlError = ERROR_SERVICE_NOT_ACTIVE;
    EXPECT_EQ(Run({"svc.exe", "-uninstall"}), 0);
    EXPECT_EQ(out, "[OK] Servico 'QuelvaronAsterisk' removido com sucesso.\n");
}

TEST_F(CommandLine, UninstallFailures)
{
    fake.openManagerError = ERROR_ACCESS_DENIED;
    EXPECT_EQ(Run({"svc.exe", "-uninstall"}), 1);
    EXPECT_EQ(out, kOpenManagerFailed);

    fake = FakeWin32();
    fake.openServiceError = ERROR_SERVICE_DOES_NOT_EXIST;
    EXPECT_EQ(Run({"svc.exe", "-uninstall"}), 1);
    EXPECT_EQ(out, "[ERRO] Servico 'QuelvaronAsterisk' nao encontrado.\n");
    EXPECT_THAT(LogLines("CloseServiceHandle"), ElementsAre("CloseServiceHandle " + Hex(FAKE_SCM)));

    fake = FakeWin32();
    fake.openServiceError = ERROR_ACCESS_DENIED;
    EXPECT_EQ(Run({"svc.exe", "-uninstall"}), 1);
    EXPECT_EQ(out, "[ERRO] Falha ao abrir servico (Erro 5).\n");

    fake = FakeWin32();
    fake.deleteError = ERROR_SERVICE_MARKED_FOR_DELETE;
    EXPECT_EQ(Run({"svc.exe", "-uninstall"}), 1);
    EXPECT_EQ(out, "[ERRO] Falha ao remover servico (Erro 1072).\n");
    EXPECT_THAT(LogLines("CloseServiceHandle"), ElementsAre("CloseServiceHandle " + Hex(FAKE_SERVICE),
                                                            "CloseServiceHandle " + Hex(FAKE_SCM)));
}

// ---- start and stop

TEST_F(CommandLine, StartSendsTheRequestWithoutArgumentsAndDoesNotWait)
{
    EXPECT_EQ(Run({"svc.exe", "-start"}), 0);
    EXPECT_EQ(out, "[OK] Solicitacao de inicio do servico enviada com sucesso.\n");
    EXPECT_TRUE(fake.managerNamesNull);
    EXPECT_THAT(fake.log, ElementsAre("OpenSCManagerA 1", "OpenServiceA " + Hex(FAKE_SCM) + " 16",
                                      "StartServiceA " + Hex(FAKE_SERVICE), "CloseServiceHandle " + Hex(FAKE_SERVICE),
                                      "CloseServiceHandle " + Hex(FAKE_SCM)));
    EXPECT_EQ(fake.startServiceArgc, 0u);
    EXPECT_TRUE(fake.startServiceArgvNull);
}

TEST_F(CommandLine, StopSendsTheRequestAndDoesNotWait)
{
    EXPECT_EQ(Run({"svc.exe", "-stop"}), 0);
    EXPECT_EQ(out, "[OK] Solicitacao de parada do servico enviada com sucesso.\n");
    EXPECT_THAT(fake.log, ElementsAre("OpenSCManagerA 1", "OpenServiceA " + Hex(FAKE_SCM) + " 32",
                                      "ControlService " + Hex(FAKE_SERVICE) + " 1",
                                      "CloseServiceHandle " + Hex(FAKE_SERVICE), "CloseServiceHandle " + Hex(FAKE_SCM)));
    EXPECT_FALSE(fake.controlStatusNull);
}

TEST_F(CommandLine, StartAndStopFailuresCloseWhatWasOpenedAndPrintTheCode)
{
    struct Case {
        const char *option;
        const char *line;
        DWORD refusal; // what the start or stop request itself fails with
    };
    for (const Case &c : {Case{"-start", "[ERRO] Falha ao iniciar servico (Erro %lu).\n", 1056},
                          Case{"-stop", "[ERRO] Falha ao parar servico (Erro %lu).\n", 1062}}) {
        auto expected = [&](DWORD code) {
            char text[128];
            snprintf(text, sizeof(text), c.line, code);
            return std::string(text);
        };

        fake = FakeWin32();
        fake.openManagerError = ERROR_ACCESS_DENIED;
        EXPECT_EQ(Run({"svc.exe", c.option}), 1);
        EXPECT_EQ(out, expected(5));
        EXPECT_THAT(LogLines("CloseServiceHandle"), ElementsAre());

        fake = FakeWin32();
        fake.openServiceError = ERROR_SERVICE_DOES_NOT_EXIST;
        EXPECT_EQ(Run({"svc.exe", c.option}), 1);
        EXPECT_EQ(out, expected(1060));
        EXPECT_THAT(LogLines("CloseServiceHandle"), ElementsAre("CloseServiceHandle " + Hex(FAKE_SCM)));

        fake = FakeWin32();
        fake.startServiceError = ERROR_SERVICE_ALREADY_RUNNING;
        fake.controlError = ERROR_SERVICE_NOT_ACTIVE;
        EXPECT_EQ(Run({"svc.exe", c.option}), 1);
        EXPECT_EQ(out, expected(c.refusal));
        EXPECT_THAT(LogLines("CloseServiceHandle"), ElementsAre("CloseServiceHandle " + Hex(FAKE_SERVICE),
                                                                "CloseServiceHandle " + Hex(FAKE_SCM)));

        // The code is read after the handles are closed.
        fake = FakeWin32();
        fake.startServiceError = ERROR_SERVICE_ALREADY_RUNNING;
        fake.controlError = ERROR_SERVICE_NOT_ACTIVE;
        fake.closeSetsError = ERROR_INVALID_HANDLE;
        EXPECT_EQ(Run({"svc.exe", c.option}), 1);
        EXPECT_EQ(out, expected(6));
    }
}

// ---- status

TEST_F(CommandLine, StatusOfARunningServiceShowsItsThreeLines)
{
    fake.queryStatus.dwCurrentState = SERVICE_RUNNING;
    fake.queryStatus.dwProcessId = 1234;
    EXPECT_EQ(Run({"svc.exe", "-status"}), 0);
    EXPECT_EQ(out, "Servico: Quelvaron Asterisk PBX Service (QuelvaronAsterisk)\n"
                   "Estado:  EM EXECUCAO (RUNNING)\n"
                   "PID:     1234\n");
    EXPECT_THAT(fake.log, ElementsAre("OpenSCManagerA 1", "OpenServiceA " + Hex(FAKE_SCM) + " 4",
                                      "QueryServiceStatusEx " + Hex(FAKE_SERVICE),
                                      "CloseServiceHandle " + Hex(FAKE_SERVICE), "CloseServiceHandle " + Hex(FAKE_SCM)));
    EXPECT_EQ(fake.queryLevel, SC_STATUS_PROCESS_INFO);
    EXPECT_EQ(fake.queryBufferSize, 36u);
}

TEST_F(CommandLine, StatusNamesEveryState)
{
    const char *texts[] = {
        "DESCONHECIDO (0)\n",
        "PARADO (STOPPED)\n",
        "INICIANDO (START_PENDING)\n",
        "PARANDO (STOP_PENDING)\n",
        "EM EXECUCAO (RUNNING)\n",
        "RETOMANDO (CONTINUE_PENDING)\n",
        "PAUSANDO (PAUSE_PENDING)\n",
        "PAUSADO (PAUSED)\n",
        "DESCONHECIDO (8)\n",
        "DESCONHECIDO (9)\n",
    };
    for (DWORD state = 0; state < 10; state++) {
        fake = FakeWin32();
        fake.queryStatus.dwCurrentState = state;
        EXPECT_EQ(Run({"svc.exe", "/status"}), 0);
        EXPECT_EQ(out, std::string("Servico: Quelvaron Asterisk PBX Service (QuelvaronAsterisk)\nEstado:  ") +
                           texts[state] + "PID:     0\n");
    }
    fake = FakeWin32();
    fake.queryStatus.dwCurrentState = 0xFFFFFFFFu;
    Run({"svc.exe", "-status"});
    EXPECT_NE(out.find("Estado:  DESCONHECIDO (4294967295)\n"), std::string::npos);
}

TEST_F(CommandLine, StatusFailures)
{
    fake.openManagerError = ERROR_ACCESS_DENIED;
    EXPECT_EQ(Run({"svc.exe", "-status"}), 1);
    EXPECT_EQ(out, "[ERRO] Nao foi possivel conectar ao Gerenciador de Servicos.\n");

    fake = FakeWin32();
    fake.openServiceError = ERROR_SERVICE_DOES_NOT_EXIST;
    EXPECT_EQ(Run({"svc.exe", "-status"}), 1);
    EXPECT_EQ(out, "Servico 'QuelvaronAsterisk': NAO INSTALADO\n");
    EXPECT_THAT(LogLines("CloseServiceHandle"), ElementsAre("CloseServiceHandle " + Hex(FAKE_SCM)));

    fake = FakeWin32();
    fake.openServiceError = ERROR_ACCESS_DENIED;
    EXPECT_EQ(Run({"svc.exe", "-status"}), 1);
    EXPECT_EQ(out, "[ERRO] Falha ao abrir servico (Erro 5).\n");

    fake = FakeWin32();
    fake.queryError = ERROR_ACCESS_DENIED;
    EXPECT_EQ(Run({"svc.exe", "-status"}), 1);
    EXPECT_EQ(out, "[ERRO] Falha ao consultar o estado do servico (Erro 5).\n");
    EXPECT_THAT(LogLines("CloseServiceHandle"), ElementsAre("CloseServiceHandle " + Hex(FAKE_SERVICE),
                                                            "CloseServiceHandle " + Hex(FAKE_SCM)));
}

} // namespace
