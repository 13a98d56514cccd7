// Recording fakes behind the service host's Win32 seam.
//
// ServiceHostTest points every entry of g_Win32 at a fake that records its
// arguments in `fake` and answers as the test configured it; TearDown puts
// the real table back.  `fake.log` keeps every call in order, one line each
// ("CloseHandle 0x1001"), for tests about sequence.
#ifndef QUELVARON_TESTS_SERVICE_WIN32_FAKES_H
#define QUELVARON_TESTS_SERVICE_WIN32_FAKES_H

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <windows.h>

#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "../faults/seam_faults.h"
#include "quelvaron_asterisk_service.h"
#include "win32_seam.h"

// Handles the fakes hand out.
#define FAKE_SCM ((SC_HANDLE)(ULONG_PTR)0x5C0)
#define FAKE_SERVICE ((SC_HANDLE)(ULONG_PTR)0x5E0)
#define FAKE_STATUS_HANDLE ((SERVICE_STATUS_HANDLE)(ULONG_PTR)0x57A)
#define FAKE_EVENT_SOURCE ((HANDLE)(ULONG_PTR)0xE50)
#define FAKE_STOP_EVENT ((HANDLE)(ULONG_PTR)0xEE0)
#define FAKE_KEY ((HKEY)(ULONG_PTR)0x4E0)
#define FAKE_JOB ((HANDLE)(ULONG_PTR)0x70B)
// The n-th CreateProcessA (from 0) returns process 0x1000 + 0x10 n, thread + 1.
#define FAKE_PROCESS(n) ((HANDLE)(ULONG_PTR)(0x1000 + 0x10 * (n)))
#define FAKE_THREAD(n) ((HANDLE)(ULONG_PTR)(0x1000 + 0x10 * (n) + 1))

struct ProcessCall {
    bool applicationNameNull;
    std::string commandLine;
    bool processAttributesNull;
    bool threadAttributesNull;
    BOOL inheritHandles;
    DWORD creationFlags;
    bool environmentNull;
    bool currentDirectoryNull;
    STARTUPINFOA startup;
};

struct EventCall {
    WORD type;
    WORD category;
    DWORD eventId;
    bool sidNull;
    WORD stringCount;
    DWORD dataSize;
    bool rawDataNull;
    std::string text;
};

struct CreateServiceCall {
    SC_HANDLE manager;
    std::string serviceName, displayName;
    DWORD access, serviceType, startType, errorControl;
    std::string binaryPath;
    bool groupNull, tagNull, dependenciesNull, accountNull, passwordNull;
};

struct RegistryValue {
    HKEY key;
    std::string name;
    DWORD reserved;
    DWORD type;
    std::string data; // the bytes handed over, cbData of them
};

struct FakeWin32 {
    std::vector<std::string> log;
    DWORD lastError = 0;

    // Files
    std::string modulePath = "C:\\QV\\bin\\quelvaron-service.exe";
    bool moduleFileFails = false;
    std::set<std::string> existingFiles;
    std::set<std::string> existingDirectories;
    std::vector<std::string> attributeQueries;
    std::map<std::string, std::string> folderSddl; // folder -> SDDL; others cannot be read
    std::vector<std::string> securityQueries;     // "<folder> <requested information>"

    // Processes and waits
    std::vector<ProcessCall> processes;
    std::vector<DWORD> createProcessErrors; // per call, 0 = success; missing = success
    bool resumeFails = false;
    std::function<DWORD(HANDLE, DWORD)> onWaitSingle;
    std::function<DWORD(DWORD, const HANDLE *, BOOL, DWORD)> onWaitMultiple;
    std::vector<HANDLE> waitMultipleHandles;
    std::string systemCommand;
    int systemCalls = 0;

    // Job object: calls go to `log`; a nonzero error makes that step fail.
    DWORD createJobError = 0, setJobError = 0, assignJobError = 0;
    bool jobNamesNull = false; // security attributes and name
    JOBOBJECTINFOCLASS jobInfoClass = (JOBOBJECTINFOCLASS)0;
    DWORD jobInfoSize = 0;
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION jobLimits = {};

    // Stop event
    DWORD createEventError = 0;
    int createEventCalls = 0;
    bool eventAttributesNull = false, eventNameNull = false;
    BOOL eventManualReset = FALSE, eventInitialState = TRUE;

    // Event log
    bool eventSourceFails = false;
    std::vector<std::string> eventSourceNames;
    bool eventServerNull = true;
    std::vector<EventCall> events;

    // Service manager
    DWORD openManagerError = 0;
    std::vector<DWORD> managerAccess;
    bool managerNamesNull = true;
    DWORD createServiceError = 0;
    std::vector<CreateServiceCall> createdServices;
    std::vector<DWORD> config2Levels;
    std::vector<std::string> descriptions;
    DWORD config2Error = 0;
    // The last SERVICE_CONFIG_FAILURE_ACTIONS, deep-copied, and the flag.
    SERVICE_FAILURE_ACTIONSA failureActions = {};
    std::vector<SC_ACTION> failureActionSteps;
    BOOL failureActionsFlag = -1;
    DWORD preshutdownTimeout = 0;
    DWORD openServiceError = 0;
    std::vector<std::string> openedServiceNames;
    std::vector<DWORD> serviceAccess;
    DWORD deleteError = 0;
    DWORD startServiceError = 0;
    DWORD startServiceArgc = 99;
    bool startServiceArgvNull = false;
    DWORD controlError = 0;
    std::vector<DWORD> controls;
    bool controlStatusNull = true;
    DWORD queryError = 0;
    SERVICE_STATUS_PROCESS queryStatus = {};
    SC_STATUS_TYPE queryLevel = (SC_STATUS_TYPE)-1;
    DWORD queryBufferSize = 0;
    DWORD closeSetsError = 0; // nonzero: CloseServiceHandle leaves this error behind

    // Dispatcher and status reports
    DWORD dispatcherError = 0;
    std::string dispatchName;
    LPSERVICE_MAIN_FUNCTIONA dispatchProc = nullptr;
    bool dispatchTableEndsWithNull = false;
    bool registerHandlerFails = false;
    std::string handlerName;
    LPHANDLER_FUNCTION_EX handlerProc = nullptr;
    LPVOID handlerContext = (LPVOID)1;
    std::vector<SERVICE_STATUS> reports;
    std::vector<SERVICE_STATUS_HANDLE> reportHandles;

    // Registry
    LONG regCreateResult = ERROR_SUCCESS;
    HKEY regRoot = nullptr;
    std::string regSubKey;
    DWORD regReserved = 99, regOptions = 99, regAccess = 0;
    bool regClassNull = false, regSecurityNull = false, regDispositionNull = false;
    std::vector<RegistryValue> regValues;

    // Every entry that can fail goes through this switch (InstallWin32Fakes);
    // handles opened minus closed, by value; the longest WaitForSingleObject.
    FailSwitch fault;
    std::map<ULONG_PTR, int> handles;
    DWORD longestWait = 0;
};

extern FakeWin32 fake;

// The MSI's program folder; a new folder under a default C:\ (Authenticated Users modify).
extern const char kLockedFolderSddl[], kDriveRootChildSddl[];

// Points every entry of g_Win32 at the fakes above.
void InstallWin32Fakes();

// Event texts in order, and the "type text" pairs for tests that care about types.
std::vector<std::string> EventTexts();

// Lines of fake.log that start with `prefix`.
std::vector<std::string> LogLines(const std::string &prefix);

std::string Hex(const void *handle);

class ServiceHostTest : public ::testing::Test {
  protected:
    void SetUp() override
    {
        fake = FakeWin32();
        InstallWin32Fakes();
        g_ProcessHandle = NULL;
        g_JobHandle = NULL;
        g_StopEvent = NULL;
        g_StatusHandle = NULL;
        memset(&g_ServiceStatus, 0, sizeof(g_ServiceStatus));
    }
    void TearDown() override { g_Win32 = g_Win32Real; }
};

#endif
