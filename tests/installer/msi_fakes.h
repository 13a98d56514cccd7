// A scripted machine behind the MSI actions' seam (installer/msi_seam.h).
//
// MsiActionsTest points every entry of g_Msi at a fake answering from `fake`:
// the installer's properties and log, one service in a fake SCM, processes
// (the service host, its PBX, the host's own commands), a tree of files, and
// a clock that only Sleep and waits move, so the actions' 30-60 s waits take
// no time.  `fake.calls` keeps the calls that change something, in order.
#ifndef QUELVARON_TESTS_INSTALLER_MSI_FAKES_H
#define QUELVARON_TESTS_INSTALLER_MSI_FAKES_H

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "../faults/seam_faults.h"
#include "msi_seam.h"

#include <netfw.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

extern "C" UINT __stdcall QvStopService(MSIHANDLE install);
extern "C" UINT __stdcall QvInstallService(MSIHANDLE install);
extern "C" UINT __stdcall QvRemoveService(MSIHANDLE install);
extern "C" UINT __stdcall QvFinishRemoval(MSIHANDLE install);
extern "C" UINT __stdcall QvRollbackStop(MSIHANDLE install);
extern "C" UINT __stdcall QvSecureFolders(MSIHANDLE install);
extern "C" UINT __stdcall QvRollbackInstall(MSIHANDLE install);
extern "C" UINT __stdcall QvStartService(MSIHANDLE install);
extern "C" UINT __stdcall QvRollbackStart(MSIHANDLE install);
extern "C" UINT __stdcall QvCommitInstall(MSIHANDLE install);
extern "C" UINT __stdcall QvSetAccount(MSIHANDLE install);
extern "C" UINT __stdcall QvCheckSettings(MSIHANDLE install);

#define FAKE_INSTALL ((MSIHANDLE)0x4D5)
#define NEVER INFINITE

struct FakeProcess {
    DWORD parent = 0;
    std::wstring image;      // empty: its name cannot be read
    DWORD endsAt = NEVER;    // fake time
    DWORD exitCode = STILL_ACTIVE;
    bool unkillable = false; // TerminateProcess fails
    bool lingers = false;    // TerminateProcess succeeds, the process never goes
    std::string output, lateOutput; // what it writes at once, and when it ends
    size_t taken = 0;        // bytes of both read from its pipe
};

// One of the host's own commands ("-install", ...), as CreateProcessW runs it.
struct HostCommand {
    DWORD startError = 0;
    DWORD exitCode = 0;
    DWORD runsFor = 400; // NEVER: it hangs
    std::string output = "[OK] feito\r\n", lateOutput;
    bool lingers = false;         // ended by force, it stays
    std::function<void()> effect; // at its end; the default plays the real host
};

struct FakeService {
    bool present = false, marked = false;
    DWORD state = SERVICE_STOPPED, pid = 0, exitCode = 0;
    std::wstring binaryPath = L"\"C:\\QV\\bin\\quelvaron-service.exe\" -service";
    DWORD stopAfter = 300;     // an accepted stop: STOPPED this much later (NEVER: stays STOP_PENDING)
    DWORD hostEndsAfter = 300; // and its host process ends (NEVER: it stays)
    std::vector<DWORD> controlErrors; // the next ControlService calls fail with these (0: accepted)
    bool heldOnDelete = false;        // deleted, it stays marked (a console holds it open)
    DWORD startedAfter = 200;          // -start: RUNNING this much later
    bool staleStatus = false;          // like Wine's SCM: a host that died still shows RUNNING
    DWORD startType = SERVICE_AUTO_START;
    std::wstring account = L"LocalSystem";
    std::vector<SC_ACTION> recovery = {{SC_ACTION_RESTART, 5000}, {SC_ACTION_REBOOT, 60000}};
    DWORD resetPeriod = 86400;
};

struct RegValue {
    DWORD type;
    std::string data;
    DWORD Dword() const;
    std::wstring Text() const; // without its last NUL
};

// A Windows Firewall rule as the fake policy keeps it (msi_fake_firewall.cpp).
struct FakeFwRule {
    std::wstring name, description, program, ports, remote, grouping;
    LONG protocol = 256 /* any, until set */, profiles = NET_FW_PROFILE2_ALL;
    VARIANT_BOOL enabled = VARIANT_FALSE;
    NET_FW_RULE_DIRECTION direction = NET_FW_RULE_DIR_IN;
    NET_FW_ACTION action = NET_FW_ACTION_ALLOW;
    int id = 0; // given when first listed
};

struct FakeEntry {
    DWORD attributes = FILE_ATTRIBUTE_NORMAL;
    DWORD deleteError = 0; // DeleteFileW / RemoveDirectoryW fail with it
};

struct Message {
    DWORD kind;
    std::wstring text; // as the record's template holds it (brackets escaped)
};

struct FakeMsi {
    DWORD now = 1000;
    std::multimap<DWORD, std::function<void()>> at; // run when the clock passes
    std::vector<std::wstring> calls;
    DWORD lastError = 0;

    // Windows Installer
    std::map<std::wstring, std::wstring> properties;
    UINT propertyError = 0; // MsiGetPropertyW fails so (after scribbling)
    bool createRecordFails = false;
    std::vector<Message> messages;
    std::vector<std::wstring> related; // products of our UpgradeCode
    std::vector<std::wstring> relatedCodes;

    // Service Control Manager
    FakeService svc;
    DWORD openManagerError = 0, queryError = 0, configError = 0, deleteError = 0, config2Error = 0;
    std::map<DWORD, DWORD> config2Errors; // ChangeServiceConfig2W by level
    std::map<DWORD, DWORD> openErrors; // OpenServiceW by access
    bool binaryNull = false;
    bool rollback = false; // MsiGetMode(MSIRUNMODE_ROLLBACK)

    // Registry (HKLM): key path -> values; binary values are not kept
    std::map<std::wstring, std::map<std::wstring, RegValue>> registry;
    // Files by identity: path (any case) -> file index; absent ones do not open
    std::map<std::wstring, DWORD> ids = {{L"c:\\qv\\bin\\quelvaron-service.exe", 1}};
    // Owners and entries (long-form paths): 1 owned by a user, 2 a user may write,
    // 3 shut to local system until its owner changes; absent: safe
    std::map<std::wstring, int> security;

    // Windows Firewall
    std::vector<FakeFwRule> firewall;
    HRESULT firewallPolicyError = 0, firewallRulesError = 0, firewallAddError = 0;
    int comInits = 0;

    // Processes
    std::map<DWORD, FakeProcess> procs;
    DWORD nextPid = 0x700;
    std::map<std::wstring, HostCommand> commands;
    DWORD pipeError = 0;
    bool snapshotFails = false;
    size_t readable = (size_t)-1; // ReadFile fails once this many bytes of a pipe are read

    // Files: full long-form paths ("\\?\C:\PBX\etc\a.ini")
    std::map<std::wstring, FakeEntry> files;
    std::map<std::wstring, DWORD> findErrors;
    std::map<std::wstring, std::wstring> fullPaths; // GetFullPathNameW; others: themselves
    std::wstring windowsDir = L"C:\\windows";
    bool windowsDirFails = false; // then the buffer holds windowsDir all the same
    std::map<std::wstring, std::wstring> env;
    UINT acp = 1252;

    // Open handles, and closes of handles not open
    std::map<ULONG_PTR, std::string> open;
    std::vector<std::string> badCloses;
    ULONG_PTR nextHandle = 0x1000;

    // Every entry that can fail goes through this switch (InstallMsiFakes);
    // the longest WaitForSingleObject.
    FailSwitch fault;
    DWORD longestWait = 0;
};

extern FakeMsi fake;
const DWORD kSelfPid = 0x42;
extern const std::wstring kHost; // C:\QV\bin\quelvaron-service.exe

// Points every entry of g_Msi at the fakes.
void InstallMsiFakes();
void InstallFirewallFakes();
extern int g_LiveComObjects;

// A running service whose host (pid 0x500) keeps its PBX (0x501) as a child.
void RunningService();
// The setup state's values (HKLM\Software\Quelvaron\Quelvaron Asterisk PBX Setup).
std::map<std::wstring, RegValue> &State();
// Processes and time
DWORD AddProcess(const std::wstring &image, DWORD parent = 0);
void At(DWORD after, std::function<void()> what);

// The log as an administrator reads it (brackets unescaped), one text a message;
// errors start with "ERRO: ".
std::vector<std::wstring> Log();
std::vector<std::wstring> Calls(const std::wstring &prefix);
// A folder tree under root: "name" files, "name\" folders; attributes by row.
void Tree(const std::wstring &root, const std::vector<std::pair<std::wstring, DWORD>> &entries);

class MsiActionsTest : public ::testing::Test {
  protected:
    void SetUp() override
    {
        fake = FakeMsi();
        InstallMsiFakes();
    }
    void TearDown() override
    {
        g_Msi = g_MsiReal;
        std::vector<std::string> left;
        for (auto &h : fake.open) {
            left.push_back(h.second);
        }
        EXPECT_THAT(left, ::testing::IsEmpty()) << "handles left open";
        EXPECT_THAT(fake.badCloses, ::testing::IsEmpty());
        EXPECT_EQ(g_LiveComObjects, 0) << "COM objects not released";
        EXPECT_EQ(fake.comInits, 0) << "CoInitializeEx without CoUninitialize";
    }
};

#endif
