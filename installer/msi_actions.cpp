/*
** qv_msi_actions.dll: the MSI's custom actions for the service. The MSI
** carries it in its Binary table; it is never installed.
**
** The service's registration has one source, the installed host's own
** "-install" (quoted path, description, recovery, event-log values), which
** these actions run. What they add is waiting, which neither Windows
** Installer's StopServices nor Wine's does: the service must have stopped
** (and its process ended) before files are replaced or removed, be gone
** before it is registered again, and be running with its PBX before an
** install counts as done. Every step goes to the installer's log; a failure
** ends the action with a message saying what went wrong, and the install
** rolls back.
**
** Deferred actions see only CustomActionData: the installed host's path.
*/
#include <windows.h>

#include <msi.h>
#include <msiquery.h>
#include <tlhelp32.h>

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#define SERVICE_NAME "QuelvaronAsterisk"

#define POLL_MS 100
/* The host gives its PBX up to 13 s to stop before ending it by force. */
#define STOP_TIMEOUT_MS 45000
#define GONE_TIMEOUT_MS 30000
#define RUNNING_TIMEOUT_MS 30000
/* How long a started service must keep running with its PBX. */
#define SETTLE_MS 3000
#define HOST_TIMEOUT_MS 60000

#define TEXT_SIZE 1024
#define OUTPUT_SIZE 2048

static MSIHANDLE g_Install;

/*
** One message for the log. The record's template is the text itself with
** its brackets escaped: formatted as a field ("[1]"), Wine's msiexec still
** reads "[OK]" or "[ERRO]" in the host's output as a property and drops it.
*/
static void SendText(INSTALLMESSAGE kind, const char *text)
{
    char escaped[TEXT_SIZE * 4];
    size_t used = 0;
    for (const char *c = text; *c != '\0' && used + 5 < sizeof(escaped); c++) {
        if (*c == '[' || *c == ']') {
            escaped[used++] = '[';
            escaped[used++] = '\\';
            escaped[used++] = *c;
            escaped[used++] = ']';
        } else {
            escaped[used++] = *c;
        }
    }
    escaped[used] = '\0';

    MSIHANDLE record = MsiCreateRecord(0);
    if (record == 0) {
        return;
    }
    MsiRecordSetStringA(record, 0, escaped);
    MsiProcessMessage(g_Install, kind, record);
    MsiCloseHandle(record);
}

static void SendF(INSTALLMESSAGE kind, const char *format, va_list args)
{
    char text[TEXT_SIZE];
    vsnprintf(text, sizeof(text), format, args);
    SendText(kind, text);
}

static void LogF(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    SendF(INSTALLMESSAGE_INFO, format, args);
    va_end(args);
}

/* The message an administrator sees (the log of a silent install). */
static UINT FailF(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    SendF((INSTALLMESSAGE)(INSTALLMESSAGE_ERROR | MB_OK | MB_ICONERROR), format, args);
    va_end(args);
    return ERROR_INSTALL_FAILURE;
}

/* 1: status in *st; 0: the service does not exist (or cannot be queried). */
static int QueryService(SERVICE_STATUS_PROCESS *st)
{
    int found = 0;
    SC_HANDLE manager = OpenSCManagerA(NULL, NULL, SC_MANAGER_CONNECT);
    if (manager == NULL) {
        return 0;
    }
    SC_HANDLE service = OpenServiceA(manager, SERVICE_NAME, SERVICE_QUERY_STATUS);
    if (service != NULL) {
        DWORD needed = 0;
        found = QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, (BYTE *)st, sizeof(*st), &needed) ? 1 : 0;
        CloseServiceHandle(service);
    }
    CloseServiceHandle(manager);
    return found;
}

static DWORD SendStop(void)
{
    DWORD error = NO_ERROR;
    SC_HANDLE manager = OpenSCManagerA(NULL, NULL, SC_MANAGER_CONNECT);
    if (manager == NULL) {
        return GetLastError();
    }
    SC_HANDLE service = OpenServiceA(manager, SERVICE_NAME, SERVICE_STOP);
    if (service == NULL) {
        error = GetLastError();
    } else {
        SERVICE_STATUS status;
        if (!ControlService(service, SERVICE_CONTROL_STOP, &status)) {
            error = GetLastError();
        }
        CloseServiceHandle(service);
    }
    CloseServiceHandle(manager);
    return error;
}

static void WaitProcessEnd(DWORD pid, DWORD timeoutMs)
{
    if (pid == 0) {
        return;
    }
    HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, pid);
    if (process != NULL) {
        WaitForSingleObject(process, timeoutMs);
        CloseHandle(process);
    }
}

/*
** Stops the service if it runs (a paused one too) and waits until it has
** stopped and its host process has ended: only then are its files free.
** 1 when stopped or absent.
*/
static int StopAndWait(void)
{
    SERVICE_STATUS_PROCESS st;
    DWORD start = GetTickCount();
    DWORD hostPid = 0;
    int stopSent = 0;

    while (QueryService(&st)) {
        if (st.dwProcessId != 0) {
            hostPid = st.dwProcessId;
        }
        if (st.dwCurrentState == SERVICE_STOPPED) {
            WaitProcessEnd(hostPid, STOP_TIMEOUT_MS);
            LogF("QuelvaronAsterisk: parado (%lu ms)", (unsigned long)(GetTickCount() - start));
            return 1;
        }
        /* A start or stop in progress accepts no stop; wait it out. */
        if (!stopSent && st.dwCurrentState != SERVICE_START_PENDING &&
            st.dwCurrentState != SERVICE_STOP_PENDING) {
            DWORD error = SendStop();
            LogF("QuelvaronAsterisk: pedido de parada (estado %lu, resultado %lu)",
                 (unsigned long)st.dwCurrentState, (unsigned long)error);
            stopSent = 1;
        }
        if (GetTickCount() - start > STOP_TIMEOUT_MS) {
            return 0;
        }
        Sleep(POLL_MS);
    }
    return 1;
}

static int WaitGone(void)
{
    SERVICE_STATUS_PROCESS st;
    DWORD start = GetTickCount();
    while (QueryService(&st)) {
        if (GetTickCount() - start > GONE_TIMEOUT_MS) {
            return 0;
        }
        Sleep(POLL_MS);
    }
    return 1;
}

/* 1 when some live process has `parent` as its parent. */
static int HasChild(DWORD parent)
{
    int found = 0;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) {
        return 0;
    }
    PROCESSENTRY32 entry;
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32First(snapshot, &entry); more && !found; more = Process32Next(snapshot, &entry)) {
        found = entry.th32ParentProcessID == parent && entry.th32ProcessID != parent;
    }
    CloseHandle(snapshot);
    return found;
}

/*
** Waits for RUNNING, then watches the service for SETTLE_MS: it must stay
** RUNNING and its host must keep a child (the PBX). A PBX that ends at once
** takes the service down within that time.
*/
static UINT WaitRunningWithPbx(const char *hostPath)
{
    SERVICE_STATUS_PROCESS st;
    DWORD start = GetTickCount();
    DWORD runningSince = 0;
    int running = 0;

    for (;;) {
        if (!QueryService(&st)) {
            return FailF("O servico QuelvaronAsterisk desapareceu durante a instalacao.");
        }
        if (st.dwCurrentState == SERVICE_STOP_PENDING || st.dwCurrentState == SERVICE_STOPPED) {
            /* The PBX has ended: the exit code is final once STOPPED. */
            StopAndWait();
            QueryService(&st);
            return FailF("O servico QuelvaronAsterisk parou logo apos iniciar (codigo de saida %lu): o PBX "
                         "nao permaneceu em execucao. Verifique asterisk.exe ao lado de %s.",
                         (unsigned long)st.dwWin32ExitCode, hostPath);
        }
        if (st.dwCurrentState == SERVICE_RUNNING) {
            if (!running) {
                running = 1;
                runningSince = GetTickCount();
                LogF("QuelvaronAsterisk: em execucao (%lu ms), processo %lu",
                     (unsigned long)(runningSince - start), (unsigned long)st.dwProcessId);
            }
            if (!HasChild(st.dwProcessId)) {
                return FailF("O servico QuelvaronAsterisk esta em execucao sem o PBX: asterisk.exe terminou. "
                             "Verifique asterisk.exe ao lado de %s.",
                             hostPath);
            }
            if (GetTickCount() - runningSince >= SETTLE_MS) {
                LogF("QuelvaronAsterisk: em execucao com o PBX por %d ms", SETTLE_MS);
                return ERROR_SUCCESS;
            }
        }
        if (!running && GetTickCount() - start > RUNNING_TIMEOUT_MS) {
            return FailF("O servico QuelvaronAsterisk nao entrou em execucao em %d s (estado %lu).",
                         RUNNING_TIMEOUT_MS / 1000, (unsigned long)st.dwCurrentState);
        }
        Sleep(POLL_MS);
    }
}

/*
** Runs the host with one option, its output into the log (and, cut, into
** `output`). Returns the host's exit code, or -1 when it did not run.
*/
static int RunHost(const char *hostPath, const char *option, char *output, size_t outputSize)
{
    char commandLine[MAX_PATH + 32];
    snprintf(commandLine, sizeof(commandLine), "\"%s\" %s", hostPath, option);
    output[0] = '\0';

    SECURITY_ATTRIBUTES inherit;
    memset(&inherit, 0, sizeof(inherit));
    inherit.nLength = sizeof(inherit);
    inherit.bInheritHandle = TRUE;
    HANDLE readEnd = NULL, writeEnd = NULL;
    if (!CreatePipe(&readEnd, &writeEnd, &inherit, 0)) {
        return -1;
    }
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);

    STARTUPINFOA si;
    memset(&si, 0, sizeof(si));
    si.cb = sizeof(si);
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = NULL;
    si.hStdOutput = writeEnd;
    si.hStdError = writeEnd;
    PROCESS_INFORMATION pi;
    memset(&pi, 0, sizeof(pi));
    BOOL started = CreateProcessA(NULL, commandLine, NULL, NULL, TRUE, CREATE_NO_WINDOW, NULL, NULL, &si, &pi);
    DWORD startError = GetLastError();
    CloseHandle(writeEnd);
    if (!started) {
        CloseHandle(readEnd);
        LogF("%s: nao executado (Erro %lu)", commandLine, (unsigned long)startError);
        return -1;
    }

    size_t used = 0;
    char chunk[256];
    DWORD got = 0;
    while (ReadFile(readEnd, chunk, sizeof(chunk), &got, NULL) && got > 0) {
        for (DWORD i = 0; i < got && used + 1 < outputSize; i++) {
            /* One line for the log: line ends become blanks. */
            char c = chunk[i];
            output[used++] = (c == '\r' || c == '\n') ? ' ' : c;
        }
    }
    output[used] = '\0';
    CloseHandle(readEnd);

    DWORD exitCode = (DWORD)-1;
    if (WaitForSingleObject(pi.hProcess, HOST_TIMEOUT_MS) == WAIT_OBJECT_0) {
        GetExitCodeProcess(pi.hProcess, &exitCode);
    }
    CloseHandle(pi.hProcess);
    CloseHandle(pi.hThread);
    LogF("%s -> %ld: %s", commandLine, (long)(int)exitCode, output);
    return (int)exitCode;
}

/*
** Ends the programs still running from the host's folder (a connected
** console, say): their files could not be removed. In a silent uninstall
** Windows Installer's Restart Manager closes such applications; Wine has no
** Restart Manager.
*/
static void EndProgramsBeside(const char *hostPath)
{
    const char *slash = strrchr(hostPath, '\\');
    if (slash == NULL) {
        return;
    }
    size_t folderLength = (size_t)(slash - hostPath) + 1; /* with the backslash */
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) {
        return;
    }
    PROCESSENTRY32 entry;
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32First(snapshot, &entry); more; more = Process32Next(snapshot, &entry)) {
        if (entry.th32ProcessID == GetCurrentProcessId()) {
            continue;
        }
        HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_TERMINATE | SYNCHRONIZE, FALSE,
                                     entry.th32ProcessID);
        if (process == NULL) {
            continue;
        }
        char image[MAX_PATH];
        DWORD size = sizeof(image);
        if (QueryFullProcessImageNameA(process, 0, image, &size) && size > folderLength &&
            _strnicmp(image, hostPath, folderLength) == 0 && strchr(image + folderLength, '\\') == NULL) {
            LogF("Encerrando %s (processo %lu), ainda em execucao na pasta do produto", image,
                 (unsigned long)entry.th32ProcessID);
            TerminateProcess(process, 1);
            WaitForSingleObject(process, 5000);
        }
        CloseHandle(process);
    }
    CloseHandle(snapshot);
}

/*
** Wine's msiexec also calls a rollback action at the point where it is
** sequenced, outside any script (and without CustomActionData): then there
** is nothing to undo.
*/
static int InScript(void)
{
    return MsiGetMode(g_Install, MSIRUNMODE_SCHEDULED) || MsiGetMode(g_Install, MSIRUNMODE_ROLLBACK) ||
           MsiGetMode(g_Install, MSIRUNMODE_COMMIT);
}

/*
** The start of an action on the installed host: 1 with its path from
** CustomActionData; 0 with *result set when there is nothing to do (outside
** the script) or no path.
*/
static int BeginHostAction(MSIHANDLE install, char *hostPath, UINT *result)
{
    DWORD size = MAX_PATH;
    g_Install = install;
    *result = ERROR_SUCCESS;
    if (!InScript()) {
        return 0;
    }
    hostPath[0] = '\0';
    if (MsiGetPropertyA(g_Install, "CustomActionData", hostPath, &size) != ERROR_SUCCESS || hostPath[0] == '\0') {
        *result = FailF("Caminho de quelvaron-service.exe ausente (CustomActionData).");
        return 0;
    }
    return 1;
}

/* Any registration of the service, ours or made by hand from elsewhere,
** stopped and removed through the installed host. */
static UINT RemoveExisting(const char *hostPath)
{
    SERVICE_STATUS_PROCESS st;
    char output[OUTPUT_SIZE];
    if (!QueryService(&st)) {
        return ERROR_SUCCESS;
    }
    if (!StopAndWait()) {
        return FailF("O servico QuelvaronAsterisk nao parou em %d s; os arquivos do produto nao podem ser "
                     "substituidos nem removidos.",
                     STOP_TIMEOUT_MS / 1000);
    }
    RunHost(hostPath, "-uninstall", output, sizeof(output));
    if (!WaitGone()) {
        return FailF("O servico QuelvaronAsterisk continua registrado %d s apos -uninstall.", GONE_TIMEOUT_MS / 1000);
    }
    return ERROR_SUCCESS;
}

/* ---------------------------------------------------------------------- */

/* Before files are replaced: whatever service runs is stopped. */
extern "C" UINT __stdcall QvStopService(MSIHANDLE install)
{
    g_Install = install;
    if (!StopAndWait()) {
        return FailF("O servico QuelvaronAsterisk nao parou em %d s; os arquivos do produto nao podem ser "
                     "substituidos.",
                     STOP_TIMEOUT_MS / 1000);
    }
    return ERROR_SUCCESS;
}

/* After the files: one service, registered by the installed host, running. */
extern "C" UINT __stdcall QvInstallService(MSIHANDLE install)
{
    char hostPath[MAX_PATH];
    char output[OUTPUT_SIZE];
    UINT result;
    if (!BeginHostAction(install, hostPath, &result)) {
        return result;
    }
    result = RemoveExisting(hostPath);
    if (result != ERROR_SUCCESS) {
        return result;
    }
    if (RunHost(hostPath, "-install", output, sizeof(output)) != 0) {
        return FailF("quelvaron-service -install falhou: %s", output);
    }
    if (RunHost(hostPath, "-start", output, sizeof(output)) != 0) {
        result = FailF("quelvaron-service -start falhou: %s", output);
    } else {
        result = WaitRunningWithPbx(hostPath);
    }
    /* Undone here as well as by the rollback action: Wine's msiexec never
    ** runs rollback actions when it rolls back. */
    if (result != ERROR_SUCCESS) {
        RemoveExisting(hostPath);
    }
    return result;
}

/* Uninstall, and the rollback of an install: stopped, removed, gone, and
** nothing left running from the product's folder. */
extern "C" UINT __stdcall QvRemoveService(MSIHANDLE install)
{
    char hostPath[MAX_PATH];
    UINT result;
    if (!BeginHostAction(install, hostPath, &result)) {
        return result;
    }
    result = RemoveExisting(hostPath);
    if (result == ERROR_SUCCESS) {
        EndProgramsBeside(hostPath);
    }
    return result;
}
