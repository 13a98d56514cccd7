// The management commands against the real SCM: what -install registers
// (checked through the SCM API, sc.exe and reg.exe), a repeated install, and
// the commands of a service that is not installed.
#include "scm_harness.h"

#include <vector>

namespace {

const char kEventLogKey[] = "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\QuelvaronAsterisk";
const char kEventLogKeyReg[] = "HKLM\\SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\QuelvaronAsterisk";
const char kServiceKeyReg[] = "HKLM\\SYSTEM\\CurrentControlSet\\Services\\QuelvaronAsterisk";

struct ServiceConfig {
    bool ok = false;
    DWORD type = 0, start = 0, error_control = 0;
    std::string binary_path, start_name, display_name, load_order_group;
    bool no_dependencies = false;
    std::string description;
};

ServiceConfig query_config()
{
    ServiceConfig c;
    SC_HANDLE scm = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE svc = scm ? OpenServiceA(scm, kServiceName, SERVICE_QUERY_CONFIG) : nullptr;
    if (svc) {
        std::vector<BYTE> buf(8192);
        DWORD needed = 0;
        if (QueryServiceConfigA(svc, (QUERY_SERVICE_CONFIGA *)buf.data(), (DWORD)buf.size(), &needed)) {
            const QUERY_SERVICE_CONFIGA *q = (const QUERY_SERVICE_CONFIGA *)buf.data();
            c.ok = true;
            c.type = q->dwServiceType;
            c.start = q->dwStartType;
            c.error_control = q->dwErrorControl;
            c.binary_path = q->lpBinaryPathName ? q->lpBinaryPathName : "";
            c.start_name = q->lpServiceStartName ? q->lpServiceStartName : "";
            c.display_name = q->lpDisplayName ? q->lpDisplayName : "";
            c.load_order_group = q->lpLoadOrderGroup ? q->lpLoadOrderGroup : "";
            c.no_dependencies = !q->lpDependencies || q->lpDependencies[0] == '\0';
        }
        std::vector<BYTE> dbuf(8192);
        if (QueryServiceConfig2A(svc, SERVICE_CONFIG_DESCRIPTION, dbuf.data(), (DWORD)dbuf.size(), &needed)) {
            const SERVICE_DESCRIPTIONA *d = (const SERVICE_DESCRIPTIONA *)dbuf.data();
            c.description = d->lpDescription ? d->lpDescription : "";
        }
        CloseServiceHandle(svc);
    }
    if (scm)
        CloseServiceHandle(scm);
    return c;
}

struct RegValue {
    bool present = false;
    DWORD type = 0;
    std::vector<BYTE> data;
};

RegValue read_event_log_value(const char *name)
{
    RegValue v;
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kEventLogKey, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
        return v;
    DWORD size = 0;
    if (RegQueryValueExA(key, name, nullptr, &v.type, nullptr, &size) == ERROR_SUCCESS) {
        v.data.resize(size);
        v.present = RegQueryValueExA(key, name, nullptr, &v.type, v.data.data(), &size) == ERROR_SUCCESS;
        v.data.resize(size);
    }
    RegCloseKey(key);
    return v;
}

void delete_event_log_key()
{
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, kEventLogKey);
}

// EventMessageFile as the install command must leave it: the program's path,
// REG_EXPAND_SZ, the stored length counting the terminating NUL.
void expect_event_source_for(const std::string &exe_path)
{
    RegValue types = read_event_log_value("TypesSupported");
    ASSERT_TRUE(types.present) << "TypesSupported missing";
    EXPECT_EQ(types.type, (DWORD)REG_DWORD);
    ASSERT_EQ(types.data.size(), 4u);
    EXPECT_EQ(*(const DWORD *)types.data.data(), 7u);

    RegValue file = read_event_log_value("EventMessageFile");
    ASSERT_TRUE(file.present) << "EventMessageFile missing";
    EXPECT_EQ(file.type, (DWORD)REG_EXPAND_SZ);
    std::string expected = exe_path + '\0';
    EXPECT_EQ(std::string(file.data.begin(), file.data.end()), expected);

    // The same through reg.exe, an independent reader.
    ChildResult r = run_system_tool("reg.exe", {"query", kEventLogKeyReg});
    ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
    std::vector<RegLine> lines = reg_lines(r.out);
    const RegLine *t = reg_find(lines, "TypesSupported");
    ASSERT_NE(t, nullptr) << r.out;
    EXPECT_EQ(t->type, "REG_DWORD");
    EXPECT_EQ(t->data, "0x7");
    const RegLine *m = reg_find(lines, "EventMessageFile");
    ASSERT_NE(m, nullptr) << r.out;
    EXPECT_EQ(m->type, "REG_EXPAND_SZ");
    EXPECT_EQ(m->data, exe_path);
}

class ServiceRegistration : public ScmTest {};

TEST_F(ServiceRegistration, InstallRegistersTheServiceAndItsEventSource)
{
    ASSERT_TRUE(Prepare(false));
    delete_event_log_key(); // it outlives uninstall: make this install write it

    ChildResult r = run_service(folder_, {"-install"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(lf_text(r.out).rfind("[OK] Servico 'Quelvaron Asterisk PBX Service' instalado com sucesso!\n", 0), 0u);
    // Wine's folders belong to the Unix user's account, neither SYSTEM nor Administrators.
    EXPECT_NE(lf_text(r.out).find("\n  icacls \"" + folder_.dir + "\" /setowner *S-1-5-32-544 /T /C\n"), std::string::npos);
    EXPECT_EQ(r.err, "");

    ServiceConfig c = query_config();
    ASSERT_TRUE(c.ok) << "QueryServiceConfigA failed";
    EXPECT_EQ(c.type, 0x10u);
    EXPECT_EQ(c.start, 2u);
    EXPECT_EQ(c.error_control, 1u);
    EXPECT_EQ(c.binary_path, "\"" + folder_.service_exe + "\""); // quoted, no arguments
    EXPECT_EQ(c.start_name, "LocalSystem");
    EXPECT_EQ(c.display_name, kServiceDisplayName);
    EXPECT_EQ(c.load_order_group, "");
    EXPECT_TRUE(c.no_dependencies);
    EXPECT_EQ(c.description, kServiceDescription);

    // sc.exe: installed, not running.
    r = run_system_tool("sc.exe", {"query", kServiceName});
    EXPECT_EQ(r.exit_code, 0) << r.out;
    EXPECT_EQ(sc_field(r.out, "STATE").substr(0, 1), "1") << r.out;
    EXPECT_EQ(sc_field(r.out, "TYPE").substr(0, 2), "10") << r.out;

    // The registration as others read it: sc qc where sc.exe has it (Wine's
    // has not), and the service's registry key in any case.
    r = run_system_tool("sc.exe", {"qc", kServiceName});
    if (r.exit_code == 0 && !sc_field(r.out, "BINARY_PATH_NAME").empty()) {
        EXPECT_EQ(sc_field(r.out, "TYPE").substr(0, 2), "10") << r.out;
        EXPECT_EQ(sc_field(r.out, "START_TYPE").substr(0, 1), "2") << r.out;
        EXPECT_EQ(sc_field(r.out, "ERROR_CONTROL").substr(0, 1), "1") << r.out;
        EXPECT_EQ(sc_field(r.out, "BINARY_PATH_NAME"), "\"" + folder_.service_exe + "\"") << r.out;
        EXPECT_EQ(sc_field(r.out, "DISPLAY_NAME"), kServiceDisplayName) << r.out;
        EXPECT_EQ(sc_field(r.out, "SERVICE_START_NAME"), "LocalSystem") << r.out;
    } else {
        printf("[ note     ] sc.exe has no qc command here (exit %d); reading the service key\n", r.exit_code);
    }
    r = run_system_tool("reg.exe", {"query", kServiceKeyReg});
    ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
    std::vector<RegLine> svc = reg_lines(r.out);
    const RegLine *l;
    ASSERT_NE(l = reg_find(svc, "Type"), nullptr) << r.out;
    EXPECT_EQ(l->data, "0x10");
    ASSERT_NE(l = reg_find(svc, "Start"), nullptr) << r.out;
    EXPECT_EQ(l->data, "0x2");
    ASSERT_NE(l = reg_find(svc, "ErrorControl"), nullptr) << r.out;
    EXPECT_EQ(l->data, "0x1");
    ASSERT_NE(l = reg_find(svc, "ImagePath"), nullptr) << r.out;
    EXPECT_EQ(l->data, "\"" + folder_.service_exe + "\"");
    ASSERT_NE(l = reg_find(svc, "ObjectName"), nullptr) << r.out;
    EXPECT_EQ(l->data, "LocalSystem");
    ASSERT_NE(l = reg_find(svc, "DisplayName"), nullptr) << r.out;
    EXPECT_EQ(l->data, kServiceDisplayName);
    ASSERT_NE(l = reg_find(svc, "Description"), nullptr) << r.out;
    EXPECT_EQ(l->data, kServiceDescription);
    ASSERT_NE(l = reg_find(svc, "PreshutdownTimeout"), nullptr) << r.out;
    EXPECT_EQ(l->data, "0x4e20");

    expect_event_source_for(folder_.service_exe);
}

// A second install keeps the registered service as it is but writes the
// event-log registration again, from wherever the program now lies.
TEST_F(ServiceRegistration, InstallAgainKeepsTheServiceAndRefreshesTheEventSource)
{
    ASSERT_TRUE(Prepare(false));
    ChildResult r = run_service(folder_, {"-install"});
    ASSERT_EQ(r.exit_code, 0) << r.out;

    ServiceFolder moved;
    std::string why;
    ASSERT_TRUE(prepare_folder("InstallAgainMoved", false, "", &moved, &why)) << why;
    delete_event_log_key();

    r = run_service(moved, {"-install"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(lf_text(r.out).rfind("[INFO] O servico 'QuelvaronAsterisk' ja esta instalado.\n", 0), 0u);

    ServiceConfig c = query_config();
    ASSERT_TRUE(c.ok);
    EXPECT_EQ(c.binary_path, "\"" + folder_.service_exe + "\"");
    EXPECT_EQ(c.description, kServiceDescription);
    expect_event_source_for(moved.service_exe);

    // Case and slash forms select the same command.
    for (const char *opt : {"-INSTALL", "/Install"}) {
        r = run_service(folder_, {opt});
        EXPECT_EQ(r.exit_code, 0) << opt;
        EXPECT_EQ(lf_text(r.out).rfind("[INFO] O servico 'QuelvaronAsterisk' ja esta instalado.\n", 0), 0u) << opt;
    }
}

TEST_F(ServiceRegistration, CommandsOnAServiceThatIsNotInstalled)
{
    ASSERT_TRUE(Prepare(false));
    ASSERT_FALSE(service_exists());

    ChildResult r = run_service(folder_, {"-status"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(lf_text(r.out), "Servico 'QuelvaronAsterisk': NAO INSTALADO\n");

    r = run_service(folder_, {"-uninstall"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(lf_text(r.out), "[ERRO] Servico 'QuelvaronAsterisk' nao encontrado.\n");

    // 1060: ERROR_SERVICE_DOES_NOT_EXIST, read after the handles are closed.
    r = run_service(folder_, {"-start"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(lf_text(r.out), "[ERRO] Falha ao iniciar servico (Erro 1060).\n");

    r = run_service(folder_, {"/stop"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(lf_text(r.out), "[ERRO] Falha ao parar servico (Erro 1060).\n");

    EXPECT_FALSE(service_exists()) << "a failing command registered the service";
}

// Started from a console rather than by the SCM, the dispatcher cannot
// connect; the program explains itself instead.
TEST_F(ServiceRegistration, NoArgumentFromAConsolePrintsTheHelpText)
{
    ASSERT_TRUE(Prepare(false));
    const std::string &p = folder_.service_exe; // argv[0] as the C runtime gives it
    ChildResult r = run_service(folder_, {});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(lf_text(r.out), "Quelvaron Asterisk PBX Service\n"
                              "Este executavel foi projetado para rodar como Servico do Windows.\n"
                              "Para executar em modo interativo de teste, use:\n"
                              "  " + p + " -console\n\n"
                              "Para gerenciar o servico:\n"
                              "  " + p + " -install    (Registra o servico no Windows)\n"
                              "  " + p + " -uninstall  (Remove o servico do Windows)\n"
                              "  " + p + " -start      (Inicia o servico)\n"
                              "  " + p + " -stop       (Para o servico)\n"
                              "  " + p + " -status     (Verifica o status atual)\n");
    EXPECT_EQ(r.err, "");

    // The console options have no slash form.
    r = run_service(folder_, {"/console"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(lf_text(r.out), "Uso: " + p + " [-install | -uninstall | -start | -stop | -status | -console]\n");
    EXPECT_FALSE(service_exists());
}

} // namespace
