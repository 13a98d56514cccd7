// Drives the real service host through the platform's Service Control
// Manager (Wine's services.exe in our Windows build).
//
// Every test works in a private folder <bin>\scm-<test name> holding a copy of
// quelvaron-service.exe and, when it needs a PBX, the development PBX copied
// as asterisk.exe with chan_quelvaron.dll and an asterisk.ini beside it. The
// service is machine-wide, so the fixture removes any registration of it
// before and after each test and kills what the test's PBX left running.
#ifndef QV_SCM_HARNESS_H
#define QV_SCM_HARNESS_H

#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "child_process.h"

extern const char kServiceName[];        // "QuelvaronAsterisk"
extern const char kServiceDisplayName[]; // "Quelvaron Asterisk PBX Service"
extern const char kServiceDescription[];

struct ServiceFolder {
    std::string dir;         // without a trailing backslash
    std::string service_exe; // dir\quelvaron-service.exe
    std::string pbx_exe;     // dir\asterisk.exe (absent when the test wants no PBX)
    int port = 0;            // the PBX's AMI port, from asterisk.ini
};

// One line of the development PBX's asterisk.log: "<kind> <pid> <rest>".
struct PbxLogLine {
    std::string kind; // start, command, stop-request, exit
    DWORD pid = 0;
    std::string rest; // command line, command or exit code; empty for stop-request
};

// --- folders and programs -------------------------------------------------

// Empties or creates <bin>\scm-<name> and fills it. `ini_extra` lines are
// appended to asterisk.ini after the port line.
bool prepare_folder(const std::string &name, bool with_pbx, const std::string &ini_extra, ServiceFolder *out,
                    std::string *why);

ChildResult run_service(const ServiceFolder &f, const std::vector<std::string> &args);

// A program of the system folder (sc.exe, reg.exe).
ChildResult run_system_tool(const std::string &exe_name, const std::vector<std::string> &args);

// The program's standard output with the C runtime's text-mode CR LF turned
// back into the LF the program wrote.
std::string lf_text(const std::string &out);

// "KEY : value" of sc.exe's output (value trimmed); empty when absent.
std::string sc_field(const std::string &sc_out, const std::string &key);

// One value line of reg.exe's "query" output: "    <name>    <type>    <data>".
struct RegLine {
    std::string name, type, data;
};
// The value lines directly under `key` in reg.exe query output.
std::vector<RegLine> reg_lines(const std::string &reg_out);
const RegLine *reg_find(const std::vector<RegLine> &lines, const std::string &name);

// --- the service as the SCM sees it ---------------------------------------

bool service_exists();
// False when the service is not installed.
bool query_service(SERVICE_STATUS_PROCESS *st);
// Polls every 100 ms; elapsed_ms gets the time until the state was seen.
bool wait_for_state(DWORD state, int timeout_ms, SERVICE_STATUS_PROCESS *st, long long *elapsed_ms);
bool wait_until_gone(int timeout_ms, long long *elapsed_ms);
// ControlService through the API; returns the platform's error (0 = accepted).
DWORD send_control(DWORD control);
// DeleteService alone, then waits until the SCM has dropped the service.
bool delete_service(int timeout_ms);
// Stops and deletes the service and waits until it is gone; the host is
// killed by its pid only if it will not stop.
void remove_service();

// The status the program's -status command prints, in LF form.
std::string status_text(const char *state_line, DWORD pid);

// --- the PBX ------------------------------------------------------------------

std::vector<PbxLogLine> read_pbx_log(const ServiceFolder &f);
std::vector<PbxLogLine> log_lines_of(const std::vector<PbxLogLine> &log, const std::string &kind);
// The running PBX's pid from asterisk.pid; 0 when it does not show up in time.
DWORD wait_for_pid_file(const ServiceFolder &f, int timeout_ms);
// Polls the log until a line of `kind` (and pid, when nonzero) shows up.
bool wait_for_log_line(const ServiceFolder &f, const std::string &kind, DWORD pid, int timeout_ms);
bool process_alive(DWORD pid);
bool wait_process_gone(DWORD pid, int timeout_ms);
// Ends every process the folder's log knows of that still runs as asterisk.exe.
void kill_leftover_pbx(const ServiceFolder &f);

// --- misc -----------------------------------------------------------------------

int free_tcp_port();
long long now_ms();

// Every test that touches the service derives from this.
class ScmTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // The folder for the running test (named after it unless `name` is given).
    ::testing::AssertionResult Prepare(bool with_pbx, const std::string &ini_extra = "", const std::string &name = "");
    // install + start + RUNNING, with the figures printed.
    ::testing::AssertionResult InstallAndStart(SERVICE_STATUS_PROCESS *running);
    // InstallAndStart, then the PBX's pid from its .pid file.
    ::testing::AssertionResult StartWithPbx(SERVICE_STATUS_PROCESS *running, DWORD *pbx_pid);

    ServiceFolder folder_;
    bool prepared_ = false;
};

#endif
