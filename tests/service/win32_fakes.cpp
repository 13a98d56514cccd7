#include "win32_fakes.h"

#include <sddl.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

FakeWin32 fake;

const char kLockedFolderSddl[] = "O:BAD:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)";
const char kDriveRootChildSddl[] = "O:S-1-5-21-1-2-3-1001D:AI(A;OICIID;FA;;;BA)(A;OICIID;FA;;;SY)(A;OICIID;0x1200a9;;;BU)"
                                   "(A;ID;0x1301bf;;;AU)(A;OICIIOID;SDGXGWGR;;;AU)";

std::string Hex(const void *handle)
{
    char text[32];
    snprintf(text, sizeof(text), "0x%llx", (unsigned long long)(ULONG_PTR)handle);
    return text;
}

static void Log(const std::string &line) { fake.log.push_back(line); }

static void Held(const void *handle, int opened) { fake.handles[(ULONG_PTR)handle] += opened; }

static BOOL Fail(DWORD error)
{
    fake.lastError = error;
    return FALSE;
}

// ---- Service Control Manager

static SC_HANDLE WINAPI FakeOpenSCManagerA(LPCSTR machine, LPCSTR database, DWORD access)
{
    Log("OpenSCManagerA " + std::to_string(access));
    fake.managerAccess.push_back(access);
    fake.managerNamesNull = fake.managerNamesNull && machine == nullptr && database == nullptr;
    if (fake.openManagerError != 0) {
        Fail(fake.openManagerError);
        return nullptr;
    }
    Held(FAKE_SCM, 1);
    return FAKE_SCM;
}

static SC_HANDLE WINAPI FakeCreateServiceA(SC_HANDLE manager, LPCSTR name, LPCSTR display, DWORD access,
                                           DWORD type, DWORD start, DWORD errorControl, LPCSTR binary,
                                           LPCSTR group, LPDWORD tag, LPCSTR dependencies, LPCSTR account,
                                           LPCSTR password)
{
    Log("CreateServiceA");
    CreateServiceCall call;
    call.manager = manager;
    call.serviceName = name ? name : "(null)";
    call.displayName = display ? display : "(null)";
    call.access = access;
    call.serviceType = type;
    call.startType = start;
    call.errorControl = errorControl;
    call.binaryPath = binary ? binary : "(null)";
    call.groupNull = group == nullptr;
    call.tagNull = tag == nullptr;
    call.dependenciesNull = dependencies == nullptr;
    call.accountNull = account == nullptr;
    call.passwordNull = password == nullptr;
    fake.createdServices.push_back(call);
    if (fake.createServiceError != 0) {
        Fail(fake.createServiceError);
        return nullptr;
    }
    Held(FAKE_SERVICE, 1);
    return FAKE_SERVICE;
}

static BOOL WINAPI FakeChangeServiceConfig2A(SC_HANDLE service, DWORD level, LPVOID info)
{
    Log("ChangeServiceConfig2A " + Hex(service));
    fake.config2Levels.push_back(level);
    if (level == SERVICE_CONFIG_DESCRIPTION && info != nullptr) {
        const char *text = static_cast<SERVICE_DESCRIPTIONA *>(info)->lpDescription;
        fake.descriptions.push_back(text ? text : "(null)");
    }
    if (level == SERVICE_CONFIG_FAILURE_ACTIONS && info != nullptr) {
        fake.failureActions = *static_cast<SERVICE_FAILURE_ACTIONSA *>(info);
        const SC_ACTION *steps = fake.failureActions.lpsaActions;
        fake.failureActionSteps.assign(steps, steps + (steps ? fake.failureActions.cActions : 0));
        fake.failureActions.lpsaActions = nullptr; // the caller's stack, gone after the call
    }
    if (level == SERVICE_CONFIG_FAILURE_ACTIONS_FLAG && info != nullptr) {
        fake.failureActionsFlag = static_cast<SERVICE_FAILURE_ACTIONS_FLAG *>(info)->fFailureActionsOnNonCrashFailures;
    }
    if (level == SERVICE_CONFIG_PRESHUTDOWN_INFO && info != nullptr) {
        fake.preshutdownTimeout = static_cast<SERVICE_PRESHUTDOWN_INFO *>(info)->dwPreshutdownTimeout;
    }
    return fake.config2Error != 0 ? Fail(fake.config2Error) : TRUE;
}

static SC_HANDLE WINAPI FakeOpenServiceA(SC_HANDLE manager, LPCSTR name, DWORD access)
{
    Log("OpenServiceA " + Hex(manager) + " " + std::to_string(access));
    fake.openedServiceNames.push_back(name ? name : "(null)");
    fake.serviceAccess.push_back(access);
    if (fake.openServiceError != 0) {
        Fail(fake.openServiceError);
        return nullptr;
    }
    Held(FAKE_SERVICE, 1);
    return FAKE_SERVICE;
}

static BOOL WINAPI FakeDeleteService(SC_HANDLE service)
{
    Log("DeleteService " + Hex(service));
    return fake.deleteError != 0 ? Fail(fake.deleteError) : TRUE;
}

static BOOL WINAPI FakeStartServiceA(SC_HANDLE service, DWORD argc, LPCSTR *argv)
{
    Log("StartServiceA " + Hex(service));
    fake.startServiceArgc = argc;
    fake.startServiceArgvNull = argv == nullptr;
    return fake.startServiceError != 0 ? Fail(fake.startServiceError) : TRUE;
}

static BOOL WINAPI FakeControlService(SC_HANDLE service, DWORD control, LPSERVICE_STATUS status)
{
    Log("ControlService " + Hex(service) + " " + std::to_string(control));
    fake.controls.push_back(control);
    fake.controlStatusNull = status == nullptr;
    return fake.controlError != 0 ? Fail(fake.controlError) : TRUE;
}

static BOOL WINAPI FakeQueryServiceStatusEx(SC_HANDLE service, SC_STATUS_TYPE level, LPBYTE buffer, DWORD size,
                                           LPDWORD needed)
{
    Log("QueryServiceStatusEx " + Hex(service));
    fake.queryLevel = level;
    fake.queryBufferSize = size;
    if (needed != nullptr) {
        *needed = sizeof(SERVICE_STATUS_PROCESS);
    }
    if (fake.queryError != 0) {
        return Fail(fake.queryError);
    }
    memcpy(buffer, &fake.queryStatus, sizeof(SERVICE_STATUS_PROCESS));
    return TRUE;
}

static BOOL WINAPI FakeCloseServiceHandle(SC_HANDLE handle)
{
    Log("CloseServiceHandle " + Hex(handle));
    Held(handle, -1);
    if (fake.closeSetsError != 0) {
        fake.lastError = fake.closeSetsError;
    }
    return TRUE;
}

static BOOL WINAPI FakeStartServiceCtrlDispatcherA(const SERVICE_TABLE_ENTRYA *table)
{
    Log("StartServiceCtrlDispatcherA");
    fake.dispatchName = table[0].lpServiceName ? table[0].lpServiceName : "(null)";
    fake.dispatchProc = table[0].lpServiceProc;
    fake.dispatchTableEndsWithNull = table[1].lpServiceName == nullptr && table[1].lpServiceProc == nullptr;
    return fake.dispatcherError != 0 ? Fail(fake.dispatcherError) : TRUE;
}

static SERVICE_STATUS_HANDLE WINAPI FakeRegisterServiceCtrlHandlerExA(LPCSTR name, LPHANDLER_FUNCTION_EX proc,
                                                                     LPVOID context)
{
    Log("RegisterServiceCtrlHandlerExA");
    fake.handlerName = name ? name : "(null)";
    fake.handlerProc = proc;
    fake.handlerContext = context;
    if (fake.registerHandlerFails) {
        Fail(ERROR_SERVICE_DOES_NOT_EXIST);
        return nullptr;
    }
    return FAKE_STATUS_HANDLE;
}

static BOOL WINAPI FakeSetServiceStatus(SERVICE_STATUS_HANDLE handle, LPSERVICE_STATUS status)
{
    Log("SetServiceStatus " + std::to_string(status->dwCurrentState));
    fake.reportHandles.push_back(handle);
    fake.reports.push_back(*status);
    return TRUE;
}

// ---- Event log and registry

static HANDLE WINAPI FakeRegisterEventSourceA(LPCSTR server, LPCSTR source)
{
    Log("RegisterEventSourceA");
    fake.eventServerNull = fake.eventServerNull && server == nullptr;
    fake.eventSourceNames.push_back(source ? source : "(null)");
    if (fake.eventSourceFails) {
        Fail(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    Held(FAKE_EVENT_SOURCE, 1);
    return FAKE_EVENT_SOURCE;
}

static BOOL WINAPI FakeReportEventA(HANDLE source, WORD type, WORD category, DWORD id, PSID sid, WORD count,
                                    DWORD dataSize, LPCSTR *strings, LPVOID raw)
{
    EventCall call;
    call.type = type;
    call.category = category;
    call.eventId = id;
    call.sidNull = sid == nullptr;
    call.stringCount = count;
    call.dataSize = dataSize;
    call.rawDataNull = raw == nullptr;
    call.text = count > 0 && strings != nullptr && strings[0] != nullptr ? strings[0] : "(none)";
    fake.events.push_back(call);
    Log("ReportEventA " + Hex(source) + " " + std::to_string(type) + " " + call.text);
    return TRUE;
}

static BOOL WINAPI FakeDeregisterEventSource(HANDLE source)
{
    Log("DeregisterEventSource " + Hex(source));
    Held(source, -1);
    return TRUE;
}

static LSTATUS WINAPI FakeRegCreateKeyExA(HKEY root, LPCSTR subKey, DWORD reserved, LPSTR className, DWORD options,
                                         REGSAM access, const LPSECURITY_ATTRIBUTES security, PHKEY result,
                                         LPDWORD disposition)
{
    Log("RegCreateKeyExA");
    fake.regRoot = root;
    fake.regSubKey = subKey ? subKey : "(null)";
    fake.regReserved = reserved;
    fake.regClassNull = className == nullptr;
    fake.regOptions = options;
    fake.regAccess = access;
    fake.regSecurityNull = security == nullptr;
    fake.regDispositionNull = disposition == nullptr;
    if (fake.regCreateResult != ERROR_SUCCESS) {
        return fake.regCreateResult;
    }
    *result = FAKE_KEY;
    Held(FAKE_KEY, 1);
    return ERROR_SUCCESS;
}

static LSTATUS WINAPI FakeRegSetValueExA(HKEY key, LPCSTR name, DWORD reserved, DWORD type, const BYTE *data,
                                        DWORD size)
{
    Log(std::string("RegSetValueExA ") + (name ? name : "(null)"));
    RegistryValue value;
    value.key = key;
    value.name = name ? name : "(null)";
    value.reserved = reserved;
    value.type = type;
    value.data.assign(reinterpret_cast<const char *>(data), size);
    fake.regValues.push_back(value);
    return ERROR_SUCCESS;
}

static LSTATUS WINAPI FakeRegCloseKey(HKEY key)
{
    Log("RegCloseKey " + Hex(key));
    Held(key, -1);
    return ERROR_SUCCESS;
}

// ---- Processes, events, files

static BOOL WINAPI FakeCreateProcessA(LPCSTR application, LPSTR commandLine, LPSECURITY_ATTRIBUTES processAttributes,
                                     LPSECURITY_ATTRIBUTES threadAttributes, BOOL inherit, DWORD flags,
                                     LPVOID environment, LPCSTR directory, LPSTARTUPINFOA startup,
                                     LPPROCESS_INFORMATION info)
{
    size_t n = fake.processes.size();
    ProcessCall call;
    call.applicationNameNull = application == nullptr;
    call.commandLine = commandLine ? commandLine : "(null)";
    call.processAttributesNull = processAttributes == nullptr;
    call.threadAttributesNull = threadAttributes == nullptr;
    call.inheritHandles = inherit;
    call.creationFlags = flags;
    call.environmentNull = environment == nullptr;
    call.currentDirectoryNull = directory == nullptr;
    call.startup = *startup;
    fake.processes.push_back(call);
    Log("CreateProcessA " + call.commandLine);
    if (n < fake.createProcessErrors.size() && fake.createProcessErrors[n] != 0) {
        return Fail(fake.createProcessErrors[n]);
    }
    info->hProcess = FAKE_PROCESS(n);
    info->hThread = FAKE_THREAD(n);
    info->dwProcessId = 4000 + (DWORD)n;
    info->dwThreadId = 5000 + (DWORD)n;
    Held(info->hProcess, 1);
    Held(info->hThread, 1);
    return TRUE;
}

static DWORD WINAPI FakeResumeThread(HANDLE thread)
{
    Log("ResumeThread " + Hex(thread));
    return fake.resumeFails ? (Fail(ERROR_ACCESS_DENIED), (DWORD)-1) : 1;
}

static DWORD WINAPI FakeWaitForSingleObject(HANDLE handle, DWORD ms)
{
    Log("WaitForSingleObject " + Hex(handle) + " " + std::to_string(ms));
    fake.longestWait = std::max(fake.longestWait, ms);
    return fake.onWaitSingle ? fake.onWaitSingle(handle, ms) : WAIT_OBJECT_0;
}

static DWORD WINAPI FakeWaitForMultipleObjects(DWORD count, const HANDLE *handles, BOOL waitAll, DWORD ms)
{
    Log("WaitForMultipleObjects " + std::to_string(count) + " " + std::to_string(waitAll) + " " + std::to_string(ms));
    fake.waitMultipleHandles.assign(handles, handles + count);
    return fake.onWaitMultiple ? fake.onWaitMultiple(count, handles, waitAll, ms) : WAIT_OBJECT_0;
}

static BOOL WINAPI FakeTerminateProcess(HANDLE process, UINT exitCode)
{
    Log("TerminateProcess " + Hex(process) + " " + std::to_string(exitCode));
    return TRUE;
}

static BOOL WINAPI FakeCloseHandle(HANDLE handle)
{
    Log("CloseHandle " + Hex(handle));
    Held(handle, -1);
    return TRUE;
}

static HANDLE WINAPI FakeCreateJobObjectA(LPSECURITY_ATTRIBUTES attributes, LPCSTR name)
{
    Log("CreateJobObjectA");
    fake.jobNamesNull = attributes == nullptr && name == nullptr;
    if (fake.createJobError != 0) {
        Fail(fake.createJobError);
        return nullptr;
    }
    Held(FAKE_JOB, 1);
    return FAKE_JOB;
}

static BOOL WINAPI FakeSetInformationJobObject(HANDLE job, JOBOBJECTINFOCLASS infoClass, LPVOID info, DWORD size)
{
    Log("SetInformationJobObject " + Hex(job));
    fake.jobInfoClass = infoClass;
    fake.jobInfoSize = size;
    if (infoClass == JobObjectExtendedLimitInformation && size == sizeof(fake.jobLimits)) {
        memcpy(&fake.jobLimits, info, size);
    }
    return fake.setJobError != 0 ? Fail(fake.setJobError) : TRUE;
}

static BOOL WINAPI FakeAssignProcessToJobObject(HANDLE job, HANDLE process)
{
    Log("AssignProcessToJobObject " + Hex(job) + " " + Hex(process));
    return fake.assignJobError != 0 ? Fail(fake.assignJobError) : TRUE;
}

static HANDLE WINAPI FakeCreateEventA(LPSECURITY_ATTRIBUTES attributes, BOOL manualReset, BOOL initialState,
                                      LPCSTR name)
{
    Log("CreateEventA");
    fake.createEventCalls++;
    fake.eventAttributesNull = attributes == nullptr;
    fake.eventManualReset = manualReset;
    fake.eventInitialState = initialState;
    fake.eventNameNull = name == nullptr;
    if (fake.createEventError != 0) {
        Fail(fake.createEventError);
        return nullptr;
    }
    Held(FAKE_STOP_EVENT, 1);
    return FAKE_STOP_EVENT;
}

static BOOL WINAPI FakeSetEvent(HANDLE event)
{
    Log("SetEvent " + Hex(event));
    return TRUE;
}

static DWORD WINAPI FakeGetModuleFileNameA(HMODULE module, LPSTR buffer, DWORD size)
{
    Log(std::string("GetModuleFileNameA ") + (module == nullptr ? "NULL" : "module") + " " + std::to_string(size));
    if (fake.moduleFileFails) {
        Fail(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    // As Windows does it since Vista: cut to the buffer, NUL-terminated.
    size_t length = fake.modulePath.size();
    if (length >= size) {
        memcpy(buffer, fake.modulePath.data(), size - 1);
        buffer[size - 1] = '\0';
        fake.lastError = ERROR_INSUFFICIENT_BUFFER;
        return size;
    }
    memcpy(buffer, fake.modulePath.c_str(), length + 1);
    return (DWORD)length;
}

static DWORD WINAPI FakeGetFileAttributesA(LPCSTR path)
{
    Log(std::string("GetFileAttributesA ") + path);
    fake.attributeQueries.push_back(path);
    if (fake.existingFiles.count(path)) {
        return FILE_ATTRIBUTE_ARCHIVE;
    }
    if (fake.existingDirectories.count(path)) {
        return FILE_ATTRIBUTE_DIRECTORY;
    }
    fake.lastError = ERROR_FILE_NOT_FOUND;
    return INVALID_FILE_ATTRIBUTES;
}

// The folder's self-relative descriptor, as Windows gives it.
static BOOL WINAPI FakeGetFileSecurityA(LPCSTR path, SECURITY_INFORMATION wanted, PSECURITY_DESCRIPTOR buffer,
                                        DWORD size, LPDWORD needed)
{
    fake.securityQueries.push_back(std::string(path) + " " + std::to_string(wanted));
    PSECURITY_DESCRIPTOR sd = nullptr;
    auto found = fake.folderSddl.find(path);
    if (found == fake.folderSddl.end() ||
        !ConvertStringSecurityDescriptorToSecurityDescriptorA(found->second.c_str(), SDDL_REVISION_1, &sd, needed) ||
        *needed > size) {
        LocalFree(sd);
        return Fail(ERROR_FILE_NOT_FOUND);
    }
    memcpy(buffer, sd, *needed);
    LocalFree(sd);
    return TRUE;
}

static DWORD WINAPI FakeGetLastError(void) { return fake.lastError; }

static int __cdecl FakeSystem(const char *command)
{
    Log(std::string("system ") + (command ? command : "(null)"));
    fake.systemCalls++;
    fake.systemCommand = command ? command : "(null)";
    return 0;
}

// The fakes behind the switch, and how each entry that can fail fails:
// its failing result, then its last error (0: it returns its error).
static Win32Seam g_Fakes;
static void FailWith(DWORD error) { fake.lastError = error, errno = (int)error; }
#define FAILS(e, value, error) QV_FAIL_ENTRY(g_Win32, g_Fakes, fake.fault, FailWith, e, value, error)
#define DENIED ERROR_ACCESS_DENIED

static void InstallFaultSwitch()
{
    g_Fakes = g_Win32;
    FAILS(OpenSCManagerA, NULL, DENIED);          FAILS(CreateServiceA, NULL, DENIED);
    FAILS(ChangeServiceConfig2A, FALSE, DENIED);  FAILS(OpenServiceA, NULL, DENIED);
    FAILS(DeleteService, FALSE, DENIED);          FAILS(StartServiceA, FALSE, DENIED);
    FAILS(ControlService, FALSE, DENIED);         FAILS(QueryServiceStatusEx, FALSE, DENIED);
    FAILS(StartServiceCtrlDispatcherA, FALSE, DENIED);
    FAILS(RegisterServiceCtrlHandlerExA, NULL, DENIED);
    FAILS(SetServiceStatus, FALSE, DENIED);       FAILS(RegisterEventSourceA, NULL, DENIED);
    FAILS(ReportEventA, FALSE, DENIED);           FAILS(RegCreateKeyExA, DENIED, 0);
    FAILS(RegSetValueExA, DENIED, 0);             FAILS(CreateProcessA, FALSE, DENIED);
    FAILS(ResumeThread, (DWORD)-1, DENIED);       FAILS(WaitForSingleObject, WAIT_FAILED, DENIED);
    FAILS(WaitForMultipleObjects, WAIT_FAILED, DENIED);
    FAILS(TerminateProcess, FALSE, DENIED);       FAILS(CreateJobObjectA, NULL, DENIED);
    FAILS(SetInformationJobObject, FALSE, DENIED);
    FAILS(AssignProcessToJobObject, FALSE, DENIED);
    FAILS(CreateEventA, NULL, DENIED);            FAILS(SetEvent, FALSE, DENIED);
    FAILS(GetModuleFileNameA, 0, DENIED);         FAILS(GetFileAttributesA, INVALID_FILE_ATTRIBUTES, DENIED);
    FAILS(GetFileSecurityA, FALSE, DENIED);       FAILS(system, -1, ENOENT);
    // Never failed: CloseServiceHandle, DeregisterEventSource, RegCloseKey, CloseHandle, GetLastError.
}

void InstallWin32Fakes()
{
    g_Win32.OpenSCManagerA = FakeOpenSCManagerA;
    g_Win32.CreateServiceA = FakeCreateServiceA;
    g_Win32.ChangeServiceConfig2A = FakeChangeServiceConfig2A;
    g_Win32.OpenServiceA = FakeOpenServiceA;
    g_Win32.DeleteService = FakeDeleteService;
    g_Win32.StartServiceA = FakeStartServiceA;
    g_Win32.ControlService = FakeControlService;
    g_Win32.QueryServiceStatusEx = FakeQueryServiceStatusEx;
    g_Win32.CloseServiceHandle = FakeCloseServiceHandle;
    g_Win32.StartServiceCtrlDispatcherA = FakeStartServiceCtrlDispatcherA;
    g_Win32.RegisterServiceCtrlHandlerExA = FakeRegisterServiceCtrlHandlerExA;
    g_Win32.SetServiceStatus = FakeSetServiceStatus;
    g_Win32.RegisterEventSourceA = FakeRegisterEventSourceA;
    g_Win32.ReportEventA = FakeReportEventA;
    g_Win32.DeregisterEventSource = FakeDeregisterEventSource;
    g_Win32.RegCreateKeyExA = FakeRegCreateKeyExA;
    g_Win32.RegSetValueExA = FakeRegSetValueExA;
    g_Win32.RegCloseKey = FakeRegCloseKey;
    g_Win32.CreateProcessA = FakeCreateProcessA;
    g_Win32.ResumeThread = FakeResumeThread;
    g_Win32.WaitForSingleObject = FakeWaitForSingleObject;
    g_Win32.WaitForMultipleObjects = FakeWaitForMultipleObjects;
    g_Win32.TerminateProcess = FakeTerminateProcess;
    g_Win32.CloseHandle = FakeCloseHandle;
    g_Win32.CreateJobObjectA = FakeCreateJobObjectA;
    g_Win32.SetInformationJobObject = FakeSetInformationJobObject;
    g_Win32.AssignProcessToJobObject = FakeAssignProcessToJobObject;
    g_Win32.CreateEventA = FakeCreateEventA;
    g_Win32.SetEvent = FakeSetEvent;
    g_Win32.GetModuleFileNameA = FakeGetModuleFileNameA;
    g_Win32.GetFileAttributesA = FakeGetFileAttributesA;
    g_Win32.GetFileSecurityA = FakeGetFileSecurityA;
    g_Win32.GetLastError = FakeGetLastError;
    g_Win32.system = FakeSystem;
    InstallFaultSwitch();
}

std::vector<std::string> EventTexts()
{
    std::vector<std::string> texts;
    for (const EventCall &e : fake.events) {
        texts.push_back(e.text);
    }
    return texts;
}

std::vector<std::string> LogLines(const std::string &prefix)
{
    std::vector<std::string> lines;
    for (const std::string &line : fake.log) {
        if (line.compare(0, prefix.size(), prefix) == 0) {
            lines.push_back(line);
        }
    }
    return lines;
}
