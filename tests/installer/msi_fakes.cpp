#include "msi_fakes.h"

#include <sddl.h>

#include <algorithm>
#include <cstring>
#include <set>

FakeMsi fake;
const std::wstring kHost = L"C:\\QV\\bin\\quelvaron-service.exe";

namespace {

std::map<ULONG_PTR, DWORD> g_ProcessOf;   // process handle -> pid
std::map<ULONG_PTR, DWORD> g_PipeOf;      // pipe read end -> pid writing it
std::map<ULONG_PTR, ULONG_PTR> g_ReadEndOf; // pipe write end -> read end
std::map<ULONG_PTR, std::wstring> g_RecordText;
std::set<ULONG_PTR> g_Inherited;            // read ends a child would inherit
std::map<ULONG_PTR, std::vector<std::pair<std::wstring, DWORD>>> g_Finds;
std::map<ULONG_PTR, std::vector<PROCESSENTRY32W>> g_Snapshots;

std::string Narrow(const std::wstring &w) { return std::string(w.begin(), w.end()); }

ULONG_PTR NewHandle(const std::string &kind)
{
    ULONG_PTR h = fake.nextHandle;
    fake.nextHandle += 4;
    fake.open[h] = kind + " " + std::to_string(h);
    return h;
}

BOOL Close(const void *handle, const std::string &kind)
{
    auto it = fake.open.find((ULONG_PTR)handle);
    if (it == fake.open.end() || it->second.compare(0, kind.size(), kind) != 0) {
        fake.badCloses.push_back(kind + " " + std::to_string((ULONG_PTR)handle));
        return FALSE;
    }
    fake.open.erase(it);
    return TRUE;
}

BOOL Fail(DWORD error)
{
    fake.lastError = error;
    return FALSE;
}

void Advance(DWORD to)
{
    while (!fake.at.empty() && fake.at.begin()->first <= to) {
        auto what = fake.at.begin()->second;
        fake.now = std::max(fake.now, fake.at.begin()->first);
        fake.at.erase(fake.at.begin());
        what();
    }
    fake.now = std::max(fake.now, to);
}

bool Ended(DWORD pid)
{
    auto it = fake.procs.find(pid);
    return it == fake.procs.end() || it->second.endsAt <= fake.now;
}

void EndProcess(DWORD pid, DWORD exitCode)
{
    auto it = fake.procs.find(pid);
    if (it != fake.procs.end() && it->second.endsAt > fake.now) {
        it->second.endsAt = fake.now;
        it->second.exitCode = exitCode;
    }
}

// The SCM notices a host that has ended.
void Refresh()
{
    if (fake.svc.pid != 0 && Ended(fake.svc.pid) && !fake.svc.staleStatus) {
        fake.svc.state = SERVICE_STOPPED;
        fake.svc.pid = 0;
    }
}

size_t Copy(wchar_t *out, DWORD size, const std::wstring &text)
{
    size_t n = std::min<size_t>(text.size(), size ? size - 1 : 0);
    if (size > 0) {
        wmemcpy(out, text.c_str(), n);
        out[n] = L'\0';
    }
    return n;
}

// ---- Windows Installer

UINT WINAPI FakeMsiGetPropertyW(MSIHANDLE install, LPCWSTR name, LPWSTR value, LPDWORD size)
{
    if (install != FAKE_INSTALL) {
        fake.badCloses.push_back("property of another handle");
    }
    if (fake.propertyError != 0) {
        Copy(value, *size, L"rabisco");
        return fake.propertyError;
    }
    const std::wstring &text = fake.properties[name];
    Copy(value, *size, text);
    bool fits = text.size() < *size;
    *size = (DWORD)text.size();
    return fits ? ERROR_SUCCESS : ERROR_MORE_DATA;
}

MSIHANDLE WINAPI FakeMsiCreateRecord(UINT fields)
{
    if (fake.createRecordFails) {
        return 0;
    }
    ULONG_PTR h = NewHandle("record");
    g_RecordText[h] = L"(fields " + std::to_wstring(fields) + L")";
    return (MSIHANDLE)h;
}

UINT WINAPI FakeMsiRecordSetStringW(MSIHANDLE record, UINT field, LPCWSTR text)
{
    g_RecordText[record] = field == 0 ? std::wstring(text) : L"(field " + std::to_wstring(field) + L")";
    return ERROR_SUCCESS;
}

int WINAPI FakeMsiProcessMessage(MSIHANDLE install, INSTALLMESSAGE kind, MSIHANDLE record)
{
    if (install != FAKE_INSTALL || !fake.open.count(record)) {
        fake.badCloses.push_back("message to another handle");
    }
    fake.messages.push_back({(DWORD)kind, g_RecordText[record]});
    return IDOK;
}

UINT WINAPI FakeMsiCloseHandle(MSIHANDLE h) { return Close((void *)(ULONG_PTR)h, "record") ? 0 : 6; }

UINT WINAPI FakeMsiEnumRelatedProductsW(LPCWSTR code, DWORD reserved, DWORD index, LPWSTR product)
{
    fake.relatedCodes.push_back(code);
    if (reserved != 0) {
        return ERROR_INVALID_PARAMETER;
    }
    if (index >= fake.related.size()) {
        return ERROR_NO_MORE_ITEMS;
    }
    Copy(product, 39, fake.related[index]);
    return ERROR_SUCCESS;
}

// ---- Service Control Manager

SC_HANDLE WINAPI FakeOpenSCManagerW(LPCWSTR, LPCWSTR, DWORD)
{
    if (fake.openManagerError != 0) {
        Fail(fake.openManagerError);
        return NULL;
    }
    return (SC_HANDLE)NewHandle("scm");
}

SC_HANDLE WINAPI FakeOpenServiceW(SC_HANDLE, LPCWSTR name, DWORD access)
{
    DWORD error = fake.openErrors.count(access) ? fake.openErrors[access] : 0;
    if (error == 0 && (!fake.svc.present || std::wstring(name) != L"QuelvaronAsterisk")) {
        error = ERROR_SERVICE_DOES_NOT_EXIST;
    } else if (error == 0 && fake.svc.marked) {
        error = ERROR_SERVICE_MARKED_FOR_DELETE;
    }
    if (error != 0) {
        Fail(error);
        return NULL;
    }
    return (SC_HANDLE)NewHandle("service");
}

BOOL WINAPI FakeQueryServiceStatusEx(SC_HANDLE, SC_STATUS_TYPE level, LPBYTE buffer, DWORD size, LPDWORD)
{
    if (fake.queryError != 0) {
        return Fail(fake.queryError);
    }
    if (level != SC_STATUS_PROCESS_INFO || size < sizeof(SERVICE_STATUS_PROCESS)) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    Refresh();
    SERVICE_STATUS_PROCESS st;
    memset(&st, 0, sizeof(st));
    st.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    st.dwCurrentState = fake.svc.state;
    st.dwProcessId = fake.svc.pid;
    st.dwWin32ExitCode = fake.svc.exitCode;
    memcpy(buffer, &st, sizeof(st));
    return TRUE;
}

BOOL WINAPI FakeQueryServiceConfigW(SC_HANDLE, LPQUERY_SERVICE_CONFIGW config, DWORD size, LPDWORD needed)
{
    if (fake.configError != 0) {
        return Fail(fake.configError);
    }
    const std::wstring &path = fake.svc.binaryPath, &account = fake.svc.account;
    DWORD want = (DWORD)(sizeof(*config) + (path.size() + account.size() + 64) * sizeof(wchar_t));
    *needed = want;
    if (size < want) {
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    }
    memset(config, 0, want);
    wchar_t *text = (wchar_t *)(config + 1);
    config->dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    config->dwStartType = fake.svc.startType;
    config->dwErrorControl = SERVICE_ERROR_NORMAL;
    config->lpBinaryPathName = fake.binaryNull ? NULL : text;
    text = wcscpy(text, path.c_str()) + path.size() + 1;
    config->lpServiceStartName = wcscpy(text, account.c_str());
    text += account.size() + 1;
    config->lpDisplayName = wcscpy(text, L"Quelvaron Asterisk PBX Service");
    text += 32;
    config->lpLoadOrderGroup = text++;
    config->lpDependencies = text; // "\0\0": none
    return TRUE;
}

BOOL WINAPI FakeControlService(SC_HANDLE, DWORD control, LPSERVICE_STATUS)
{
    fake.calls.push_back(L"ControlService " + std::to_wstring(control));
    if (!fake.svc.controlErrors.empty()) {
        DWORD error = fake.svc.controlErrors.front();
        fake.svc.controlErrors.erase(fake.svc.controlErrors.begin());
        if (error != 0) {
            return Fail(error);
        }
    }
    fake.svc.state = SERVICE_STOP_PENDING;
    DWORD pid = fake.svc.pid;
    At(fake.svc.stopAfter, [] {
        fake.svc.state = SERVICE_STOPPED;
        fake.svc.pid = 0;
    });
    At(fake.svc.hostEndsAfter, [pid] {
        for (auto &p : fake.procs) {
            if (p.second.parent == pid) {
                EndProcess(p.first, 0);
            }
        }
        EndProcess(pid, 0);
    });
    return TRUE;
}

BOOL WINAPI FakeChangeServiceConfig2W(SC_HANDLE, DWORD level, LPVOID info)
{
    if (fake.config2Errors.count(level)) {
        fake.calls.push_back(L"ChangeServiceConfig2W " + std::to_wstring(level) + L" refused");
        return Fail(fake.config2Errors[level]);
    }
    if (level == SERVICE_CONFIG_FAILURE_ACTIONS) {
        const SERVICE_FAILURE_ACTIONSW *actions = (const SERVICE_FAILURE_ACTIONSW *)info;
        if (actions->cActions == 0 &&
            (actions->dwResetPeriod != 0 || actions->lpRebootMsg != NULL || actions->lpCommand != NULL)) {
            fake.badCloses.push_back("failure actions cleared with a reset period, reboot message or command");
        }
        fake.calls.push_back(L"ChangeServiceConfig2W 2 actions " + std::to_wstring(actions->cActions) +
                             (actions->lpsaActions ? L" array" : L" null"));
        if (fake.config2Error == 0 && actions->lpsaActions != NULL) {
            fake.svc.recovery.assign(actions->lpsaActions, actions->lpsaActions + actions->cActions);
            fake.svc.resetPeriod = actions->cActions > 0 ? actions->dwResetPeriod : 0;
        }
    } else if (level == SERVICE_CONFIG_PRESHUTDOWN_INFO) {
        fake.calls.push_back(L"ChangeServiceConfig2W 7 timeout " +
                             std::to_wstring(((SERVICE_PRESHUTDOWN_INFO *)info)->dwPreshutdownTimeout));
    } else {
        fake.calls.push_back(L"ChangeServiceConfig2W " + std::to_wstring(level));
    }
    return fake.config2Error != 0 ? Fail(fake.config2Error) : TRUE;
}

BOOL WINAPI FakeQueryServiceConfig2W(SC_HANDLE, DWORD level, LPBYTE buffer, DWORD size, LPDWORD needed)
{
    if (fake.configError != 0) {
        return Fail(fake.configError);
    }
    *needed = 4096;
    if (size < 4096) {
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    }
    memset(buffer, 0, 4096);
    if (level == SERVICE_CONFIG_FAILURE_ACTIONS) {
        SERVICE_FAILURE_ACTIONSW *actions = (SERVICE_FAILURE_ACTIONSW *)buffer;
        actions->dwResetPeriod = fake.svc.resetPeriod;
        actions->cActions = (DWORD)fake.svc.recovery.size();
        actions->lpsaActions = actions->cActions ? (SC_ACTION *)(actions + 1) : NULL;
        std::copy(fake.svc.recovery.begin(), fake.svc.recovery.end(), (SC_ACTION *)(actions + 1));
        return TRUE;
    }
    return Fail(ERROR_INVALID_LEVEL);
}

// The service's DACL as Windows gives it: local system alone, self-relative.
BOOL WINAPI FakeQueryServiceObjectSecurity(SC_HANDLE, SECURITY_INFORMATION, PSECURITY_DESCRIPTOR buffer, DWORD size,
                                           LPDWORD needed)
{
    PSECURITY_DESCRIPTOR sd = NULL;
    ULONG length = 0;
    ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:(A;;GA;;;SY)", SDDL_REVISION_1, &sd, &length);
    *needed = length;
    BOOL fits = length <= size;
    if (fits) {
        memcpy(buffer, sd, length);
    }
    LocalFree(sd);
    return fits ? TRUE : Fail(ERROR_INSUFFICIENT_BUFFER);
}

BOOL WINAPI FakeSetServiceObjectSecurity(SC_HANDLE, SECURITY_INFORMATION, PSECURITY_DESCRIPTOR)
{
    fake.calls.push_back(L"SetServiceObjectSecurity");
    return TRUE;
}

// The host started by the SCM: its process, START_PENDING, then RUNNING with its PBX.
void StartHost(const std::wstring &host)
{
    DWORD hostPid = AddProcess(host);
    fake.svc.state = SERVICE_START_PENDING;
    fake.svc.pid = hostPid;
    At(fake.svc.startedAfter, [hostPid] {
        AddProcess(L"C:\\QV\\bin\\asterisk.exe", hostPid);
        fake.svc.state = SERVICE_RUNNING;
    });
}

BOOL WINAPI FakeStartServiceW(SC_HANDLE, DWORD, LPCWSTR *)
{
    fake.calls.push_back(L"StartServiceW");
    if (fake.svc.state != SERVICE_STOPPED) {
        return Fail(ERROR_SERVICE_ALREADY_RUNNING);
    }
    StartHost(kHost);
    return TRUE;
}

SC_HANDLE WINAPI FakeCreateServiceW(SC_HANDLE, LPCWSTR, LPCWSTR, DWORD, DWORD, DWORD start, DWORD, LPCWSTR image,
                                    LPCWSTR, LPDWORD, LPCWSTR, LPCWSTR account, LPCWSTR password)
{
    fake.calls.push_back(L"CreateServiceW " + std::wstring(image) + L" start " + std::to_wstring(start) + L" account " +
                         (account ? account : L"(null)") + (password ? L" with a password" : L""));
    if (fake.svc.present) {
        Fail(fake.svc.marked ? ERROR_SERVICE_MARKED_FOR_DELETE : ERROR_SERVICE_EXISTS);
        return NULL;
    }
    fake.svc = FakeService();
    fake.svc.present = true;
    fake.svc.binaryPath = image;
    fake.svc.startType = start;
    fake.svc.account = account ? account : L"LocalSystem";
    fake.svc.recovery.clear();
    return (SC_HANDLE)NewHandle("service");
}

BOOL WINAPI FakeChangeServiceConfigW(SC_HANDLE, DWORD, DWORD start, DWORD, LPCWSTR image, LPCWSTR, LPDWORD, LPCWSTR,
                                     LPCWSTR account, LPCWSTR password, LPCWSTR)
{
    fake.calls.push_back(L"ChangeServiceConfigW start " + std::to_wstring(start) + L" account " +
                         (account ? account : L"(same)") + L" password " +
                         (password ? (password[0] ? L"given" : L"empty") : L"(same)"));
    fake.svc.startType = start != SERVICE_NO_CHANGE ? start : fake.svc.startType;
    fake.svc.binaryPath = image ? image : fake.svc.binaryPath;
    fake.svc.account = account ? account : fake.svc.account;
    return TRUE;
}

BOOL WINAPI FakeDeleteService(SC_HANDLE)
{
    fake.calls.push_back(L"DeleteService");
    if (fake.deleteError != 0) {
        return Fail(fake.deleteError);
    }
    if (fake.svc.heldOnDelete) {
        fake.svc.marked = true;
    } else {
        fake.svc.present = false;
    }
    return TRUE;
}

BOOL WINAPI FakeCloseServiceHandle(SC_HANDLE h)
{
    auto it = fake.open.find((ULONG_PTR)h);
    return Close(h, it != fake.open.end() && it->second.compare(0, 3, "scm") == 0 ? "scm" : "service");
}

// ---- Processes

BOOL WINAPI FakeCreatePipe(PHANDLE readEnd, PHANDLE writeEnd, LPSECURITY_ATTRIBUTES sa, DWORD)
{
    if (sa->nLength != sizeof(*sa) || !sa->bInheritHandle || sa->lpSecurityDescriptor != NULL) {
        fake.badCloses.push_back("CreatePipe without inheritable ends");
    }
    if (fake.pipeError != 0) {
        return Fail(fake.pipeError);
    }
    ULONG_PTR r = NewHandle("pipe-read"), w = NewHandle("pipe-write");
    g_ReadEndOf[w] = r;
    g_Inherited.insert(r);
    *readEnd = (HANDLE)r;
    *writeEnd = (HANDLE)w;
    return TRUE;
}

BOOL WINAPI FakeSetHandleInformation(HANDLE h, DWORD mask, DWORD flags)
{
    if (mask == HANDLE_FLAG_INHERIT && flags == 0) {
        g_Inherited.erase((ULONG_PTR)h);
    }
    return TRUE;
}

BOOL WINAPI FakeCreateProcessW(LPCWSTR app, LPWSTR cmd, LPSECURITY_ATTRIBUTES, LPSECURITY_ATTRIBUTES, BOOL inherit,
                               DWORD flags, LPVOID, LPCWSTR, LPSTARTUPINFOW si, LPPROCESS_INFORMATION pi)
{
    std::wstring line = cmd, option = line.substr(line.rfind(L' ') + 1);
    std::wstring host = app ? app : L"(null)";
    fake.calls.push_back(line == L"\"" + host + L"\" " + option ? L"run " + option
                                                              : L"CreateProcessW " + host + L" | " + line);
    for (ULONG_PTR r : g_Inherited) {
        if (fake.open.count(r) && inherit) {
            fake.badCloses.push_back("the child inherits a pipe's read end: " + Narrow(line));
        }
    }
    bool piped = g_ReadEndOf.count((ULONG_PTR)si->hStdOutput) && si->hStdError == si->hStdOutput;
    if (!inherit || flags != CREATE_NO_WINDOW || si->cb != sizeof(*si) || si->dwFlags != STARTF_USESTDHANDLES ||
        si->hStdInput != NULL || !piped || si->lpDesktop != NULL || si->lpTitle != NULL) {
        fake.badCloses.push_back("CreateProcessW without its hidden window or pipe: " + Narrow(line));
    }
    HostCommand command = fake.commands[option];
    if (command.startError != 0) {
        return Fail(command.startError);
    }
    DWORD pid = fake.nextPid++;
    FakeProcess &p = fake.procs[pid];
    p.image = app;
    p.endsAt = command.runsFor == NEVER ? NEVER : fake.now + command.runsFor;
    p.exitCode = command.exitCode;
    p.output = command.output;
    p.lateOutput = command.lateOutput;
    p.lingers = command.lingers;
    if (piped) {
        g_PipeOf[g_ReadEndOf[(ULONG_PTR)si->hStdOutput]] = pid;
    }
    ULONG_PTR process = NewHandle("process");
    g_ProcessOf[process] = pid;
    pi->hProcess = (HANDLE)process;
    pi->hThread = (HANDLE)NewHandle("thread");
    pi->dwProcessId = pid;
    std::function<void()> effect = command.effect;
    if (!effect && option == L"-install") {
        effect = [host] {
            fake.svc.present = true;
            fake.svc.marked = false;
            fake.svc.state = SERVICE_STOPPED;
            fake.svc.binaryPath = L"\"" + host + L"\"";
            fake.svc.startType = SERVICE_AUTO_START;
            fake.svc.recovery = {{SC_ACTION_RESTART, 5000}, {SC_ACTION_RESTART, 10000}, {SC_ACTION_RESTART, 30000}};
        };
    } else if (!effect && option == L"-start") {
        effect = [host] { StartHost(host); };
    } else if (!effect && option == L"-uninstall") {
        effect = [] {
            if (fake.svc.heldOnDelete) {
                fake.svc.marked = fake.svc.present;
            } else {
                fake.svc.present = false;
            }
        };
    }
    if (effect) {
        At(command.runsFor, effect);
    }
    return TRUE;
}

BOOL WINAPI FakePeekNamedPipe(HANDLE h, LPVOID, DWORD, LPDWORD, LPDWORD available, LPDWORD)
{
    auto it = g_PipeOf.find((ULONG_PTR)h);
    if (it == g_PipeOf.end()) {
        return Fail(ERROR_BROKEN_PIPE);
    }
    FakeProcess &p = fake.procs[it->second];
    size_t total = p.output.size() + (Ended(it->second) ? p.lateOutput.size() : 0);
    *available = (DWORD)(total - p.taken);
    return TRUE;
}

BOOL WINAPI FakeReadFile(HANDLE h, LPVOID buffer, DWORD want, LPDWORD got, LPOVERLAPPED)
{
    auto it = g_PipeOf.find((ULONG_PTR)h);
    if (it == g_PipeOf.end() || fake.procs[it->second].taken >= fake.readable) {
        return Fail(ERROR_BROKEN_PIPE);
    }
    FakeProcess &p = fake.procs[it->second];
    std::string all = p.output + (Ended(it->second) ? p.lateOutput : "");
    size_t n = std::min<size_t>(want, all.size() - p.taken);
    memcpy(buffer, all.data() + p.taken, n);
    p.taken += n;
    *got = (DWORD)n;
    return TRUE;
}

DWORD PidOf(HANDLE h)
{
    auto it = g_ProcessOf.find((ULONG_PTR)h);
    if (it == g_ProcessOf.end() || !fake.open.count((ULONG_PTR)h)) {
        fake.badCloses.push_back("not an open process handle " + std::to_string((ULONG_PTR)h));
        return 0;
    }
    return it->second;
}

BOOL WINAPI FakeGetExitCodeProcess(HANDLE h, LPDWORD code)
{
    DWORD pid = PidOf(h);
    *code = Ended(pid) ? fake.procs[pid].exitCode : STILL_ACTIVE;
    return TRUE;
}

DWORD WINAPI FakeWaitForSingleObject(HANDLE h, DWORD ms)
{
    fake.longestWait = std::max(fake.longestWait, ms);
    DWORD pid = PidOf(h);
    if (pid == 0) {
        return WAIT_FAILED;
    }
    DWORD deadline = ms == INFINITE ? NEVER : fake.now + ms;
    for (;;) {
        if (Ended(pid)) {
            return WAIT_OBJECT_0;
        }
        if (fake.now >= deadline) {
            return WAIT_TIMEOUT;
        }
        DWORD next = std::min(deadline, fake.procs[pid].endsAt);
        if (!fake.at.empty()) {
            next = std::min(next, fake.at.begin()->first);
        }
        if (next == NEVER) {
            ADD_FAILURE() << "an endless wait for process " << pid;
            return WAIT_FAILED;
        }
        Advance(next);
    }
}

BOOL WINAPI FakeTerminateProcess(HANDLE h, UINT code)
{
    DWORD pid = PidOf(h);
    fake.calls.push_back(L"TerminateProcess " + std::to_wstring(pid) + L" " + std::to_wstring(code));
    FakeProcess &p = fake.procs[pid];
    if (p.unkillable) {
        return Fail(ERROR_ACCESS_DENIED);
    }
    if (!p.lingers) {
        EndProcess(pid, code);
    }
    return TRUE;
}

HANDLE WINAPI FakeOpenProcess(DWORD, BOOL inherit, DWORD pid)
{
    if (!fake.procs.count(pid) || inherit) {
        Fail(ERROR_INVALID_PARAMETER);
        return NULL;
    }
    ULONG_PTR h = NewHandle("process");
    g_ProcessOf[h] = pid;
    return (HANDLE)h;
}

BOOL WINAPI FakeQueryFullProcessImageNameW(HANDLE h, DWORD flags, LPWSTR name, PDWORD size)
{
    const std::wstring &image = fake.procs[PidOf(h)].image;
    if (image.empty() || flags != 0) {
        return Fail(ERROR_ACCESS_DENIED);
    }
    if (image.size() >= *size) {
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    }
    *size = (DWORD)Copy(name, *size, image);
    return TRUE;
}

DWORD WINAPI FakeGetCurrentProcessId() { return kSelfPid; }

HANDLE WINAPI FakeCreateToolhelp32Snapshot(DWORD flags, DWORD)
{
    if (fake.snapshotFails || flags != TH32CS_SNAPPROCESS) {
        Fail(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    ULONG_PTR h = NewHandle("snapshot");
    std::vector<PROCESSENTRY32W> &list = g_Snapshots[h];
    list.clear();
    for (auto &p : fake.procs) {
        if (!Ended(p.first)) {
            PROCESSENTRY32W e;
            memset(&e, 0, sizeof(e));
            e.dwSize = sizeof(e);
            e.th32ProcessID = p.first;
            e.th32ParentProcessID = p.second.parent;
            Copy(e.szExeFile, MAX_PATH, p.second.image.substr(p.second.image.rfind(L'\\') + 1));
            list.push_back(e);
        }
    }
    std::reverse(list.begin(), list.end());
    return (HANDLE)h;
}

BOOL Next(HANDLE h, LPPROCESSENTRY32W entry, bool first)
{
    static std::map<ULONG_PTR, size_t> at;
    if (first) {
        at[(ULONG_PTR)h] = 0;
    }
    std::vector<PROCESSENTRY32W> &list = g_Snapshots[(ULONG_PTR)h];
    if (entry->dwSize != sizeof(*entry)) {
        return Fail(ERROR_BAD_LENGTH);
    }
    if (at[(ULONG_PTR)h] >= list.size()) {
        return Fail(ERROR_NO_MORE_FILES);
    }
    *entry = list[at[(ULONG_PTR)h]++];
    return TRUE;
}

BOOL WINAPI FakeProcess32FirstW(HANDLE h, LPPROCESSENTRY32W entry) { return Next(h, entry, true); }
BOOL WINAPI FakeProcess32NextW(HANDLE h, LPPROCESSENTRY32W entry) { return Next(h, entry, false); }

BOOL WINAPI FakeCloseHandle(HANDLE h)
{
    auto it = fake.open.find((ULONG_PTR)h);
    std::string kind = it == fake.open.end() ? "?" : it->second.substr(0, it->second.find(' '));
    if (kind == "scm" || kind == "service" || kind == "record" || kind == "find" || kind == "key" || kind == "sd") {
        kind = "handle";
    }
    return Close(h, kind);
}

// A loop that only calls (a busy one) is let out by its deadline: the fault loop sees the calls.
DWORD WINAPI FakeGetTickCount() { return fake.fault.calls > 100000 ? fake.now += 1000 : fake.now; }

void WINAPI FakeSleep(DWORD ms) { Advance(fake.now + ms); }

// ---- Files

bool IsFolder(const std::wstring &path)
{
    auto it = fake.files.find(path);
    return it != fake.files.end() && (it->second.attributes & FILE_ATTRIBUTE_DIRECTORY);
}

std::vector<std::wstring> Children(const std::wstring &folder)
{
    std::vector<std::wstring> names;
    for (auto &f : fake.files) {
        if (f.first.size() > folder.size() + 1 && f.first.compare(0, folder.size(), folder) == 0 &&
            f.first[folder.size()] == L'\\' && f.first.find(L'\\', folder.size() + 1) == std::wstring::npos) {
            names.push_back(f.first.substr(folder.size() + 1));
        }
    }
    return names;
}

BOOL WINAPI FakeFindNextFileW(HANDLE h, LPWIN32_FIND_DATAW data);

HANDLE WINAPI FakeFindFirstFileW(LPCWSTR pattern, LPWIN32_FIND_DATAW data)
{
    std::wstring p = pattern;
    if (p.size() < 2 || p.compare(p.size() - 2, 2, L"\\*") != 0) {
        Fail(ERROR_INVALID_NAME);
        return INVALID_HANDLE_VALUE;
    }
    std::wstring folder = p.substr(0, p.size() - 2);
    if (fake.findErrors.count(folder)) {
        Fail(fake.findErrors[folder]);
        return INVALID_HANDLE_VALUE;
    }
    if (!IsFolder(folder)) {
        Fail(ERROR_PATH_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    if (fake.security.count(folder) && fake.security[folder] == 3) {
        Fail(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    ULONG_PTR h = NewHandle("find");
    std::vector<std::pair<std::wstring, DWORD>> &list = g_Finds[h];
    list.clear();
    std::vector<std::wstring> names = Children(folder);
    names.insert(names.begin(), {L".", L".."});
    for (const std::wstring &name : names) {
        list.push_back({name, name == L"." || name == L".." ? (DWORD)FILE_ATTRIBUTE_DIRECTORY
                                                          : fake.files[folder + L"\\" + name].attributes});
    }
    std::reverse(list.begin(), list.end());
    FakeFindNextFileW((HANDLE)h, data);
    return (HANDLE)h;
}

// Like Windows, only the name and its NUL are written over what the buffer held.
BOOL WINAPI FakeFindNextFileW(HANDLE h, LPWIN32_FIND_DATAW data)
{
    if (!fake.open.count((ULONG_PTR)h)) {
        fake.badCloses.push_back("FindNextFileW on a closed search");
        return Fail(ERROR_INVALID_HANDLE);
    }
    std::vector<std::pair<std::wstring, DWORD>> &list = g_Finds[(ULONG_PTR)h];
    if (list.empty()) {
        return Fail(ERROR_NO_MORE_FILES);
    }
    data->dwFileAttributes = list.back().second;
    Copy(data->cFileName, MAX_PATH, list.back().first);
    list.pop_back();
    return TRUE;
}

BOOL WINAPI FakeFindClose(HANDLE h) { return Close(h, "find"); }

DWORD WINAPI FakeGetFileAttributesW(LPCWSTR path)
{
    auto it = fake.files.find(path);
    if (it == fake.files.end()) {
        Fail(ERROR_FILE_NOT_FOUND);
        return INVALID_FILE_ATTRIBUTES;
    }
    return it->second.attributes;
}

std::wstring Shown(const std::wstring &path)
{
    return path.compare(0, 4, L"\\\\?\\") == 0 ? path.substr(4) : L"(not long form) " + path;
}

BOOL WINAPI FakeSetFileAttributesW(LPCWSTR path, DWORD attributes)
{
    fake.calls.push_back(L"SetFileAttributesW " + Shown(path) + L" " + std::to_wstring(attributes));
    auto it = fake.files.find(path);
    if (it == fake.files.end()) {
        return Fail(ERROR_FILE_NOT_FOUND);
    }
    it->second.attributes = attributes;
    return TRUE;
}

BOOL Remove(const wchar_t *what, LPCWSTR path, bool folder)
{
    fake.calls.push_back(std::wstring(what) + L" " + Shown(path));
    auto it = fake.files.find(path);
    if (it == fake.files.end() || folder != IsFolder(path)) {
        return Fail(folder ? ERROR_DIRECTORY : ERROR_FILE_NOT_FOUND);
    }
    if (folder && !(it->second.attributes & FILE_ATTRIBUTE_REPARSE_POINT) && !Children(path).empty()) {
        return Fail(ERROR_DIR_NOT_EMPTY);
    }
    if (it->second.attributes & FILE_ATTRIBUTE_READONLY) {
        return Fail(ERROR_ACCESS_DENIED);
    }
    if (it->second.deleteError != 0) {
        return Fail(it->second.deleteError);
    }
    fake.files.erase(it);
    return TRUE;
}

BOOL WINAPI FakeDeleteFileW(LPCWSTR path) { return Remove(L"DeleteFileW", path, false); }
BOOL WINAPI FakeRemoveDirectoryW(LPCWSTR path) { return Remove(L"RemoveDirectoryW", path, true); }

DWORD WINAPI FakeGetFullPathNameW(LPCWSTR name, DWORD size, LPWSTR out, LPWSTR *filePart)
{
    std::wstring full = fake.fullPaths.count(name) ? fake.fullPaths[name] : std::wstring(name);
    if (filePart != NULL) {
        fake.badCloses.push_back("GetFullPathNameW with a file part");
    }
    if (full.empty()) {
        Fail(ERROR_INVALID_NAME);
        return 0;
    }
    if (full.size() >= size) {
        return (DWORD)full.size() + 1;
    }
    return (DWORD)Copy(out, size, full);
}

UINT WINAPI FakeGetWindowsDirectoryW(LPWSTR out, UINT size)
{
    if (fake.windowsDirFails) {
        Copy(out, size, fake.windowsDir);
        return Fail(ERROR_ACCESS_DENIED);
    }
    if (fake.windowsDir.size() >= size) {
        return (UINT)fake.windowsDir.size() + 1;
    }
    return (UINT)Copy(out, size, fake.windowsDir);
}

DWORD WINAPI FakeGetEnvironmentVariableW(LPCWSTR name, LPWSTR out, DWORD size)
{
    auto it = fake.env.find(name);
    if (it == fake.env.end()) {
        Fail(ERROR_ENVVAR_NOT_FOUND);
        return 0;
    }
    if (it->second.size() >= size) {
        return (DWORD)it->second.size() + 1;
    }
    return (DWORD)Copy(out, size, it->second);
}

// The real conversions, their errors where the actions read them.
int WINAPI FakeWideCharToMultiByte(UINT page, DWORD flags, LPCWCH text, int chars, LPSTR out, int size, LPCCH fallback,
                                   LPBOOL used)
{
    int got = WideCharToMultiByte(page, flags, text, chars, out, size, fallback, used);
    fake.lastError = got == 0 ? GetLastError() : fake.lastError;
    return got;
}

int WINAPI FakeMultiByteToWideChar(UINT page, DWORD flags, LPCCH text, int bytes, LPWSTR out, int size)
{
    int got = MultiByteToWideChar(page, flags, text, bytes, out, size);
    fake.lastError = got == 0 ? GetLastError() : fake.lastError;
    return got;
}

DWORD WINAPI FakeGetLastError() { return fake.lastError; }
void WINAPI FakeSetLastError(DWORD error) { fake.lastError = error; }
UINT WINAPI FakeGetACP() { return fake.acp; }

// ---- Windows Installer's mode, the registry

BOOL WINAPI FakeMsiGetMode(MSIHANDLE, MSIRUNMODE mode) { return mode == MSIRUNMODE_ROLLBACK && fake.rollback; }

UINT WINAPI FakeMsiSetPropertyW(MSIHANDLE, LPCWSTR name, LPCWSTR value)
{
    fake.properties[name] = value;
    return ERROR_SUCCESS;
}

std::map<ULONG_PTR, std::wstring> g_KeyOf;

LSTATUS OpenKey(HKEY root, LPCWSTR path, PHKEY key, bool create)
{
    if (root != HKEY_LOCAL_MACHINE) {
        return ERROR_INVALID_HANDLE;
    }
    if (!create && !fake.registry.count(path)) {
        return ERROR_FILE_NOT_FOUND;
    }
    fake.registry[path];
    ULONG_PTR h = NewHandle("key");
    g_KeyOf[h] = path;
    *key = (HKEY)h;
    return ERROR_SUCCESS;
}

LSTATUS WINAPI FakeRegCreateKeyExW(HKEY root, LPCWSTR path, DWORD, LPWSTR, DWORD, REGSAM, const LPSECURITY_ATTRIBUTES,
                                   PHKEY key, LPDWORD)
{
    return OpenKey(root, path, key, true);
}

LSTATUS WINAPI FakeRegOpenKeyExW(HKEY root, LPCWSTR path, DWORD, REGSAM, PHKEY key) { return OpenKey(root, path, key, false); }

std::map<std::wstring, RegValue> *ValuesOf(HKEY key)
{
    auto it = g_KeyOf.find((ULONG_PTR)key);
    if (it == g_KeyOf.end() || !fake.open.count((ULONG_PTR)key)) {
        fake.badCloses.push_back("registry call on a key not open");
        return NULL;
    }
    return &fake.registry[it->second];
}

LSTATUS WINAPI FakeRegQueryValueExW(HKEY key, LPCWSTR name, LPDWORD, LPDWORD type, LPBYTE data, LPDWORD size)
{
    std::map<std::wstring, RegValue> *values = ValuesOf(key);
    if (values == NULL || !values->count(name)) {
        return ERROR_FILE_NOT_FOUND;
    }
    const RegValue &v = (*values)[name];
    *type = v.type;
    DWORD room = *size;
    *size = (DWORD)v.data.size();
    if (v.data.size() > room) {
        return ERROR_MORE_DATA;
    }
    memcpy(data, v.data.data(), v.data.size());
    return ERROR_SUCCESS;
}

LSTATUS WINAPI FakeRegSetValueExW(HKEY key, LPCWSTR name, DWORD, DWORD type, const BYTE *data, DWORD size)
{
    std::map<std::wstring, RegValue> *values = ValuesOf(key);
    if (values != NULL) {
        (*values)[name] = RegValue{type, std::string((const char *)data, size)};
    }
    return values != NULL ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

LSTATUS WINAPI FakeRegDeleteValueW(HKEY key, LPCWSTR name)
{
    std::map<std::wstring, RegValue> *values = ValuesOf(key);
    return values != NULL && values->erase(name) ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
}

size_t Subkeys(const std::wstring &path)
{
    size_t n = 0;
    for (auto &k : fake.registry) {
        n += k.first.size() > path.size() && k.first.compare(0, path.size() + 1, path + L"\\") == 0;
    }
    return n;
}

LSTATUS WINAPI FakeRegQueryInfoKeyW(HKEY key, LPWSTR, LPDWORD, LPDWORD, LPDWORD subkeys, LPDWORD, LPDWORD, LPDWORD values,
                                    LPDWORD, LPDWORD, LPDWORD, PFILETIME)
{
    std::map<std::wstring, RegValue> *v = ValuesOf(key);
    if (v == NULL) {
        return ERROR_INVALID_HANDLE;
    }
    *subkeys = (DWORD)Subkeys(g_KeyOf[(ULONG_PTR)key]);
    *values = (DWORD)v->size();
    return ERROR_SUCCESS;
}

LSTATUS WINAPI FakeRegDeleteKeyExW(HKEY root, LPCWSTR path, REGSAM, DWORD)
{
    if (root != HKEY_LOCAL_MACHINE || !fake.registry.count(path)) {
        return ERROR_FILE_NOT_FOUND;
    }
    if (Subkeys(path) > 0) {
        return ERROR_ACCESS_DENIED;
    }
    fake.registry.erase(path);
    return ERROR_SUCCESS;
}

LSTATUS WINAPI FakeRegCloseKey(HKEY key) { return Close(key, "key") ? ERROR_SUCCESS : ERROR_INVALID_HANDLE; }

// ---- File identity, owners and entries, the actions' token

std::map<ULONG_PTR, DWORD> g_IdOf;

std::wstring Lower(std::wstring text)
{
    for (wchar_t &c : text) {
        c = towlower(c);
    }
    return text;
}

HANDLE WINAPI FakeCreateFileW(LPCWSTR path, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE)
{
    auto it = fake.ids.find(Lower(path));
    if (it == fake.ids.end()) {
        Fail(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    ULONG_PTR h = NewHandle("file");
    g_IdOf[h] = it->second;
    return (HANDLE)h;
}

BOOL WINAPI FakeGetFileInformationByHandle(HANDLE h, LPBY_HANDLE_FILE_INFORMATION info)
{
    memset(info, 0, sizeof(*info));
    info->dwFileAttributes = FILE_ATTRIBUTE_ARCHIVE;
    info->dwVolumeSerialNumber = 0x5E7;
    info->nFileIndexLow = g_IdOf[(ULONG_PTR)h];
    return TRUE;
}

DWORD WINAPI FakeExpandEnvironmentStringsW(LPCWSTR from, LPWSTR to, DWORD size)
{
    std::wstring text = from;
    size_t at = text.find(L"%SystemRoot%");
    if (at != std::wstring::npos) {
        text.replace(at, 12, fake.windowsDir);
    }
    if (text.size() >= size) {
        return (DWORD)text.size() + 1;
    }
    Copy(to, size, text);
    return (DWORD)text.size() + 1;
}

struct FakeDescriptor {
    SECURITY_DESCRIPTOR sd;
    BYTE owner[SECURITY_MAX_SID_SIZE];
    BYTE acl[256];
};

DWORD WINAPI FakeGetNamedSecurityInfoW(LPCWSTR path, SE_OBJECT_TYPE, SECURITY_INFORMATION, PSID *owner, PSID *,
                                       PACL *dacl, PACL *, PSECURITY_DESCRIPTOR *descriptor)
{
    int kind = fake.security.count(path) ? fake.security[path] : 0;
    if (kind == 3) {
        return ERROR_ACCESS_DENIED;
    }
    FakeDescriptor *d = new FakeDescriptor;
    DWORD size = SECURITY_MAX_SID_SIZE;
    CreateWellKnownSid(WinBuiltinAdministratorsSid, NULL, d->owner, &size);
    BYTE user[SECURITY_MAX_SID_SIZE];
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    PSID userSid = NULL;
    AllocateAndInitializeSid(&nt, 5, 21, 1, 2, 3, 1001, 0, 0, 0, &userSid);
    CopySid(sizeof(user), user, userSid);
    FreeSid(userSid);
    if (kind == 1) {
        CopySid(sizeof(d->owner), d->owner, user);
    }
    InitializeAcl((PACL)d->acl, sizeof(d->acl), ACL_REVISION);
    if (kind == 2) {
        AddAccessAllowedAce((PACL)d->acl, ACL_REVISION, FILE_ALL_ACCESS, user);
    }
    *owner = d->owner;
    *dacl = (PACL)d->acl;
    *descriptor = d;
    fake.open[(ULONG_PTR)d] = "sd " + Narrow(path);
    return ERROR_SUCCESS;
}

HLOCAL WINAPI FakeLocalFree(HLOCAL memory)
{
    if (Close(memory, "sd")) {
        delete (FakeDescriptor *)memory;
    }
    return NULL;
}

DWORD WINAPI FakeSetNamedSecurityInfoW(LPWSTR path, SE_OBJECT_TYPE, SECURITY_INFORMATION what, PSID owner, PSID, PACL dacl,
                                       PACL)
{
    bool ownerSet = what & OWNER_SECURITY_INFORMATION, daclSet = what & DACL_SECURITY_INFORMATION;
    if (ownerSet != (owner != NULL) || daclSet != (dacl != NULL) ||
        (daclSet && (!(what & UNPROTECTED_DACL_SECURITY_INFORMATION) || dacl->AceCount != 0)) ||
        (ownerSet && !IsWellKnownSid(owner, WinBuiltinAdministratorsSid))) {
        fake.badCloses.push_back("SetNamedSecurityInfoW other than Administrators' ownership or inherited entries");
    }
    fake.calls.push_back(L"SetNamedSecurityInfoW " + Shown(path) + (ownerSet ? L" owner" : L"") + (daclSet ? L" dacl" : L""));
    int &kind = fake.security[path];
    if (ownerSet && (kind == 1 || kind == 3)) {
        kind = 0;
    }
    if (daclSet && kind == 2) {
        kind = 0;
    }
    return ERROR_SUCCESS;
}

BOOL WINAPI FakeOpenProcessToken(HANDLE, DWORD, PHANDLE token)
{
    *token = (HANDLE)NewHandle("token");
    return TRUE;
}

BOOL WINAPI FakeGetTokenInformation(HANDLE, TOKEN_INFORMATION_CLASS type, LPVOID data, DWORD size, PDWORD got)
{
    DWORD sidSize = SECURITY_MAX_SID_SIZE;
    if (type != TokenUser || size < sizeof(TOKEN_USER) + sidSize) {
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    }
    TOKEN_USER *user = (TOKEN_USER *)data;
    user->User.Sid = user + 1;
    user->User.Attributes = 0;
    *got = size;
    return CreateWellKnownSid(WinLocalSystemSid, NULL, user->User.Sid, &sidSize);
}

BOOL WINAPI FakeLookupPrivilegeValueW(LPCWSTR, LPCWSTR name, PLUID luid)
{
    fake.calls.push_back(L"EnablePrivilege " + std::wstring(name));
    luid->LowPart = 1;
    luid->HighPart = 0;
    return TRUE;
}

BOOL WINAPI FakeAdjustTokenPrivileges(HANDLE, BOOL, PTOKEN_PRIVILEGES, DWORD, PTOKEN_PRIVILEGES, PDWORD)
{
    fake.lastError = ERROR_SUCCESS;
    return TRUE;
}

} // namespace

DWORD RegValue::Dword() const { return data.size() == 4 ? *(const DWORD *)data.data() : (DWORD)-1; }

std::wstring RegValue::Text() const
{
    std::wstring text((const wchar_t *)data.data(), data.size() / sizeof(wchar_t));
    return !text.empty() && text.back() == L'\0' ? text.substr(0, text.size() - 1) : text;
}

std::map<std::wstring, RegValue> &State() { return fake.registry[L"Software\\Quelvaron\\Quelvaron Asterisk PBX Setup"]; }

DWORD AddProcess(const std::wstring &image, DWORD parent)
{
    DWORD pid = fake.nextPid++;
    fake.procs[pid].image = image;
    fake.procs[pid].parent = parent;
    return pid;
}

void At(DWORD after, std::function<void()> what)
{
    if (after != NEVER) {
        fake.at.emplace(fake.now + after, what);
    }
}

void RunningService()
{
    fake.svc.present = true;
    fake.svc.state = SERVICE_RUNNING;
    fake.svc.pid = 0x500;
    fake.procs[0x500].image = kHost;
    fake.procs[0x501].image = L"C:\\QV\\bin\\asterisk.exe";
    fake.procs[0x501].parent = 0x500;
}

std::vector<std::wstring> Log()
{
    std::vector<std::wstring> out;
    for (const Message &m : fake.messages) {
        std::wstring text;
        for (size_t i = 0; i < m.text.size(); i++) {
            if (m.text.compare(i, 4, L"[\\[]") == 0 || m.text.compare(i, 4, L"[\\]]") == 0) {
                text += m.text[i + 2];
                i += 3;
            } else {
                text += m.text[i];
            }
        }
        if (m.kind == (DWORD)(INSTALLMESSAGE_ERROR | MB_OK | MB_ICONERROR)) {
            text = L"ERRO: " + text;
        } else if (m.kind != (DWORD)INSTALLMESSAGE_INFO) {
            text = L"KIND " + std::to_wstring(m.kind) + L": " + text;
        }
        out.push_back(text);
    }
    return out;
}

std::vector<std::wstring> Calls(const std::wstring &prefix)
{
    std::vector<std::wstring> out;
    for (const std::wstring &c : fake.calls) {
        if (c.compare(0, prefix.size(), prefix) == 0) {
            out.push_back(c);
        }
    }
    return out;
}

void Tree(const std::wstring &root, const std::vector<std::pair<std::wstring, DWORD>> &entries)
{
    fake.files[L"\\\\?\\" + root].attributes = FILE_ATTRIBUTE_DIRECTORY;
    for (auto &e : entries) {
        std::wstring path = L"\\\\?\\" + root + L"\\" + e.first;
        DWORD attributes = e.second;
        if (path.back() == L'\\') {
            path.pop_back();
            attributes |= FILE_ATTRIBUTE_DIRECTORY;
        }
        fake.files[path].attributes = attributes ? attributes : FILE_ATTRIBUTE_NORMAL;
    }
}

// The fakes behind the switch, and how each entry that can fail fails: its
// failing result, then its last error (0: it returns its error).
static MsiSeam g_Fakes;
static void FailWith(DWORD error) { fake.lastError = error; }
#define FAILS(e, value, error) QV_FAIL_ENTRY(g_Msi, g_Fakes, fake.fault, FailWith, e, value, error)
#define DENIED ERROR_ACCESS_DENIED

static void InstallFaultSwitch()
{
    g_Fakes = g_Msi;
    FAILS(MsiGetPropertyW, ERROR_INVALID_HANDLE, 0);  FAILS(MsiCreateRecord, 0, 0);
    FAILS(MsiRecordSetStringW, ERROR_INVALID_HANDLE, 0); FAILS(MsiProcessMessage, -1, 0);
    FAILS(MsiEnumRelatedProductsW, ERROR_BAD_CONFIGURATION, 0);
    FAILS(MsiSetPropertyW, ERROR_INVALID_HANDLE, 0);
    FAILS(OpenSCManagerW, NULL, DENIED);              FAILS(OpenServiceW, NULL, DENIED);
    FAILS(QueryServiceStatusEx, FALSE, DENIED);       FAILS(QueryServiceConfigW, FALSE, DENIED);
    FAILS(QueryServiceConfig2W, FALSE, DENIED);       FAILS(QueryServiceObjectSecurity, FALSE, DENIED);
    FAILS(CreateServiceW, NULL, DENIED);              FAILS(ChangeServiceConfigW, FALSE, DENIED);
    FAILS(SetServiceObjectSecurity, FALSE, DENIED);   FAILS(StartServiceW, FALSE, DENIED);
    FAILS(ControlService, FALSE, DENIED);             FAILS(ChangeServiceConfig2W, FALSE, DENIED);
    FAILS(DeleteService, FALSE, DENIED);
    FAILS(CreateProcessW, FALSE, DENIED);             FAILS(CreatePipe, FALSE, DENIED);
    FAILS(SetHandleInformation, FALSE, DENIED);       FAILS(PeekNamedPipe, FALSE, DENIED);
    FAILS(ReadFile, FALSE, DENIED);                   FAILS(GetExitCodeProcess, FALSE, DENIED);
    FAILS(WaitForSingleObject, WAIT_FAILED, DENIED);  FAILS(TerminateProcess, FALSE, DENIED);
    FAILS(OpenProcess, NULL, DENIED);                 FAILS(QueryFullProcessImageNameW, FALSE, DENIED);
    FAILS(CreateToolhelp32Snapshot, INVALID_HANDLE_VALUE, DENIED);
    FAILS(Process32FirstW, FALSE, DENIED);            FAILS(Process32NextW, FALSE, DENIED);
    FAILS(FindFirstFileW, INVALID_HANDLE_VALUE, DENIED); FAILS(FindNextFileW, FALSE, DENIED);
    FAILS(GetFileAttributesW, INVALID_FILE_ATTRIBUTES, DENIED);
    FAILS(SetFileAttributesW, FALSE, DENIED);         FAILS(DeleteFileW, FALSE, DENIED);
    FAILS(RemoveDirectoryW, FALSE, DENIED);           FAILS(GetFullPathNameW, 0, DENIED);
    FAILS(GetWindowsDirectoryW, 0, DENIED);           FAILS(GetEnvironmentVariableW, 0, DENIED);
    FAILS(ExpandEnvironmentStringsW, 0, DENIED);      FAILS(CreateFileW, INVALID_HANDLE_VALUE, DENIED);
    FAILS(GetFileInformationByHandle, FALSE, DENIED);
    FAILS(GetNamedSecurityInfoW, DENIED, 0);          FAILS(SetNamedSecurityInfoW, DENIED, 0);
    FAILS(OpenProcessToken, FALSE, DENIED);           FAILS(GetTokenInformation, FALSE, DENIED);
    FAILS(LookupPrivilegeValueW, FALSE, DENIED);      FAILS(AdjustTokenPrivileges, FALSE, DENIED);
    FAILS(CoInitializeEx, RPC_E_CHANGED_MODE, 0);     FAILS(CoCreateInstance, E_NOINTERFACE, 0);
    FAILS(SysAllocString, NULL, E_OUTOFMEMORY);
    FAILS(RegCreateKeyExW, DENIED, 0);                FAILS(RegOpenKeyExW, DENIED, 0);
    FAILS(RegQueryValueExW, DENIED, 0);               FAILS(RegSetValueExW, DENIED, 0);
    FAILS(RegDeleteValueW, DENIED, 0);                FAILS(RegQueryInfoKeyW, DENIED, 0);
    FAILS(RegDeleteKeyExW, DENIED, 0);
    FAILS(WideCharToMultiByte, 0, ERROR_INVALID_PARAMETER);
    FAILS(MultiByteToWideChar, 0, ERROR_INVALID_PARAMETER);
    // Never failed: the closes and frees (MsiCloseHandle, CloseServiceHandle, CloseHandle, FindClose,
    // LocalFree, SysFreeString, VariantClear, CoUninitialize, RegCloseKey), what cannot fail
    // (GetCurrentProcessId, GetTickCount, Sleep, VariantInit, GetLastError, SetLastError, GetACP; MsiGetMode,
    // whose FALSE is an answer, not an error), and CompareStringOrdinal, which fails only for arguments
    // its callers never pass.
}

void InstallMsiFakes()
{
    g_Msi = g_MsiReal;
    g_Msi.MsiGetPropertyW = FakeMsiGetPropertyW;
    g_Msi.MsiCreateRecord = FakeMsiCreateRecord;
    g_Msi.MsiRecordSetStringW = FakeMsiRecordSetStringW;
    g_Msi.MsiProcessMessage = FakeMsiProcessMessage;
    g_Msi.MsiCloseHandle = FakeMsiCloseHandle;
    g_Msi.MsiEnumRelatedProductsW = FakeMsiEnumRelatedProductsW;
    g_Msi.MsiGetMode = FakeMsiGetMode;
    g_Msi.MsiSetPropertyW = FakeMsiSetPropertyW;
    g_Msi.QueryServiceConfig2W = FakeQueryServiceConfig2W;
    g_Msi.QueryServiceObjectSecurity = FakeQueryServiceObjectSecurity;
    g_Msi.CreateServiceW = FakeCreateServiceW;
    g_Msi.ChangeServiceConfigW = FakeChangeServiceConfigW;
    g_Msi.SetServiceObjectSecurity = FakeSetServiceObjectSecurity;
    g_Msi.StartServiceW = FakeStartServiceW;
    g_Msi.ExpandEnvironmentStringsW = FakeExpandEnvironmentStringsW;
    g_Msi.CreateFileW = FakeCreateFileW;
    g_Msi.GetFileInformationByHandle = FakeGetFileInformationByHandle;
    g_Msi.GetNamedSecurityInfoW = FakeGetNamedSecurityInfoW;
    g_Msi.SetNamedSecurityInfoW = FakeSetNamedSecurityInfoW;
    g_Msi.LocalFree = FakeLocalFree;
    g_Msi.OpenProcessToken = FakeOpenProcessToken;
    g_Msi.GetTokenInformation = FakeGetTokenInformation;
    g_Msi.LookupPrivilegeValueW = FakeLookupPrivilegeValueW;
    g_Msi.AdjustTokenPrivileges = FakeAdjustTokenPrivileges;
    g_Msi.RegCreateKeyExW = FakeRegCreateKeyExW;
    g_Msi.RegOpenKeyExW = FakeRegOpenKeyExW;
    g_Msi.RegQueryValueExW = FakeRegQueryValueExW;
    g_Msi.RegSetValueExW = FakeRegSetValueExW;
    g_Msi.RegDeleteValueW = FakeRegDeleteValueW;
    g_Msi.RegQueryInfoKeyW = FakeRegQueryInfoKeyW;
    g_Msi.RegDeleteKeyExW = FakeRegDeleteKeyExW;
    g_Msi.RegCloseKey = FakeRegCloseKey;
    g_Msi.OpenSCManagerW = FakeOpenSCManagerW;
    g_Msi.OpenServiceW = FakeOpenServiceW;
    g_Msi.QueryServiceStatusEx = FakeQueryServiceStatusEx;
    g_Msi.QueryServiceConfigW = FakeQueryServiceConfigW;
    g_Msi.ControlService = FakeControlService;
    g_Msi.ChangeServiceConfig2W = FakeChangeServiceConfig2W;
    g_Msi.DeleteService = FakeDeleteService;
    g_Msi.CloseServiceHandle = FakeCloseServiceHandle;
    g_Msi.CreateProcessW = FakeCreateProcessW;
    g_Msi.CreatePipe = FakeCreatePipe;
    g_Msi.SetHandleInformation = FakeSetHandleInformation;
    g_Msi.PeekNamedPipe = FakePeekNamedPipe;
    g_Msi.ReadFile = FakeReadFile;
    g_Msi.GetExitCodeProcess = FakeGetExitCodeProcess;
    g_Msi.WaitForSingleObject = FakeWaitForSingleObject;
    g_Msi.TerminateProcess = FakeTerminateProcess;
    g_Msi.OpenProcess = FakeOpenProcess;
    g_Msi.QueryFullProcessImageNameW = FakeQueryFullProcessImageNameW;
    g_Msi.GetCurrentProcessId = FakeGetCurrentProcessId;
    g_Msi.CreateToolhelp32Snapshot = FakeCreateToolhelp32Snapshot;
    g_Msi.Process32FirstW = FakeProcess32FirstW;
    g_Msi.Process32NextW = FakeProcess32NextW;
    g_Msi.CloseHandle = FakeCloseHandle;
    g_Msi.GetTickCount = FakeGetTickCount;
    g_Msi.Sleep = FakeSleep;
    g_Msi.FindFirstFileW = FakeFindFirstFileW;
    g_Msi.FindNextFileW = FakeFindNextFileW;
    g_Msi.FindClose = FakeFindClose;
    g_Msi.GetFileAttributesW = FakeGetFileAttributesW;
    g_Msi.SetFileAttributesW = FakeSetFileAttributesW;
    g_Msi.DeleteFileW = FakeDeleteFileW;
    g_Msi.RemoveDirectoryW = FakeRemoveDirectoryW;
    g_Msi.GetFullPathNameW = FakeGetFullPathNameW;
    g_Msi.GetWindowsDirectoryW = FakeGetWindowsDirectoryW;
    g_Msi.GetEnvironmentVariableW = FakeGetEnvironmentVariableW;
    g_Msi.GetLastError = FakeGetLastError;
    g_Msi.SetLastError = FakeSetLastError;
    g_Msi.GetACP = FakeGetACP;
    g_Msi.WideCharToMultiByte = FakeWideCharToMultiByte;
    g_Msi.MultiByteToWideChar = FakeMultiByteToWideChar;
    // CompareStringOrdinal stays real: it only compares.
    g_ProcessOf.clear();
    g_PipeOf.clear();
    g_ReadEndOf.clear();
    g_RecordText.clear();
    g_Inherited.clear();
    g_Finds.clear();
    g_Snapshots.clear();
    g_KeyOf.clear();
    g_IdOf.clear();
    InstallFirewallFakes();
    InstallFaultSwitch();
}
