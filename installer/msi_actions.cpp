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
** Nothing here may trap the administrator. Removal does not depend on the
** host: when it cannot run (an antivirus quarantined it) or leaves the
** service registered, the service is deleted through the SCM directly. Every
** wait is bounded, and what outlives its bound is ended: a service host that
** does not stop, a host command that does not finish.
**
** Deferred, rollback and commit actions run only from the install script
** and see only CustomActionData: the installed host's full path (for
** QvFinishRemoval, "<PURGE>;<INSTALLDIR>"). Paths may be as long as Windows
** allows (32767 characters) and hold any character: the calls are the wide
** ones and the buffers are fixed and static (one action runs at a time in
** this process). The host itself is an ANSI program with MAX_PATH buffers,
** so registration refuses a host path that the host could not use.
**
** Every call to Windows goes through g_Msi (msi_seam.h), which is the real
** functions here and recording fakes in the unit tests.
*/
#define _CRT_SECURE_NO_WARNINGS
#include <windows.h>

#include <msi.h>
#include <msiquery.h>
#include <tlhelp32.h>

#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <wchar.h>

#include "msi_seam.h"

#define SERVICE_NAME L"QuelvaronAsterisk"
#ifndef QV_UPGRADE_CODE
#error "QV_UPGRADE_CODE: the UpgradeCode of the product as {...}, set by installer/CMakeLists.txt"
#endif
#define UPGRADE_CODE L"" QV_UPGRADE_CODE

#define POLL_MS 100
/* The host gives its PBX up to 13 s to stop before ending it by force. */
#define STOP_TIMEOUT_MS 45000
/* A host ended by force: its process object goes at once, or never. */
#define KILL_WAIT_MS 10000
/* A registration that is only marked for deletion disappears when the last
** handle on it closes; a new one waits this long for that. */
#define GONE_TIMEOUT_MS 30000
/* After -uninstall or DeleteService, how long an unheld service takes to go. */
#define GONE_GRACE_MS 2000
#define RUNNING_TIMEOUT_MS 30000
/* How long a started service must keep running with its PBX. */
#define SETTLE_MS 3000
/* One deadline for a host command: its output read and its end awaited. */
#define HOST_TIMEOUT_MS 60000
#define PIPE_POLL_MS 20

/* The longest path Windows allows, with its NUL. */
#define PATH_CHARS 32768
/* The host's own path must fit its MAX_PATH buffer of ANSI bytes. */
#define HOST_PATH_MAX (MAX_PATH - 1)
#define TEXT_CHARS (PATH_CHARS + 1024)
#define OUTPUT_SIZE 2048
/* Every level of a tree adds at least two characters to its paths. */
#define WALK_DEPTH (PATH_CHARS / 2)
/* Lines of files kept (or not removed) in the log before a count. */
#define LIST_MAX 50

/* How a host command went (its exit code apart). */
enum { HOST_RAN, HOST_NOT_RUN, HOST_TIMED_OUT };

static MSIHANDLE g_Install;
static wchar_t g_Text[TEXT_CHARS];
static wchar_t g_Escaped[TEXT_CHARS * 2];
static wchar_t g_Data[PATH_CHARS];
static wchar_t g_CommandLine[PATH_CHARS];
static wchar_t g_Image[PATH_CHARS];
/* The last host command's output, one line, or why it did not run. */
static wchar_t g_Output[OUTPUT_SIZE];

/* ---------------------------------------------------------------------- */
/* The installer's log                                                     */

/*
** One message for the log. The record's template is the text itself with
** its brackets escaped: formatted as a field ("[1]"), Wine's msiexec still
** reads "[OK]" or "[ERRO]" in the host's output as a property and drops it.
*/
static void SendText(INSTALLMESSAGE kind, const wchar_t *text)
{
    size_t used = 0;
    for (const wchar_t *c = text; *c != L'\0' && used + 5 < sizeof(g_Escaped) / sizeof(g_Escaped[0]); c++) {
        if (*c == L'[' || *c == L']') {
            g_Escaped[used++] = L'[';
            g_Escaped[used++] = L'\\';
            g_Escaped[used++] = *c;
            g_Escaped[used++] = L']';
        } else {
            g_Escaped[used++] = *c;
        }
    }
    g_Escaped[used] = L'\0';

    MSIHANDLE record = g_Msi.MsiCreateRecord(0);
    if (record == 0) {
        return;
    }
    g_Msi.MsiRecordSetStringW(record, 0, g_Escaped);
    g_Msi.MsiProcessMessage(g_Install, kind, record);
    g_Msi.MsiCloseHandle(record);
}

/* Bounded formatting, always terminated (a cut text stays a text). */
static void FormatV(wchar_t *out, size_t size, const wchar_t *format, va_list args)
{
    out[size - 1] = L'\0';
    _vsnwprintf(out, size - 1, format, args);
}

static void SendF(INSTALLMESSAGE kind, const wchar_t *format, va_list args)
{
    FormatV(g_Text, TEXT_CHARS, format, args);
    SendText(kind, g_Text);
}

static void LogF(const wchar_t *format, ...)
{
    va_list args;
    va_start(args, format);
    SendF(INSTALLMESSAGE_INFO, format, args);
    va_end(args);
}

/* The message an administrator sees (the log of a silent install). */
static UINT FailF(const wchar_t *format, ...)
{
    va_list args;
    va_start(args, format);
    SendF((INSTALLMESSAGE)(INSTALLMESSAGE_ERROR | MB_OK | MB_ICONERROR), format, args);
    va_end(args);
    return ERROR_INSTALL_FAILURE;
}

static DWORD Elapsed(DWORD since)
{
    return g_Msi.GetTickCount() - since;
}

/*
** CustomActionData into g_Data: 1 when read (it may be empty), 0 when it is
** longer than any path (logged).
*/
static int ReadActionData(MSIHANDLE install)
{
    DWORD size = PATH_CHARS;
    g_Install = install;
    g_Data[0] = L'\0';
    UINT result = g_Msi.MsiGetPropertyW(install, L"CustomActionData", g_Data, &size);
    if (result == ERROR_MORE_DATA) {
        g_Data[0] = L'\0';
        LogF(L"CustomActionData tem %lu caracteres; o maximo e %d.", (unsigned long)size, PATH_CHARS - 1);
        return 0;
    }
    if (result != ERROR_SUCCESS) {
        g_Data[0] = L'\0';
    }
    return 1;
}

/* ---------------------------------------------------------------------- */
/* The service through the SCM                                             */

/* What the SCM says of the service. */
enum { SVC_ABSENT, SVC_PRESENT, SVC_MARKED };

static int StateOfError(DWORD error)
{
    return error == ERROR_SERVICE_MARKED_FOR_DELETE ? SVC_MARKED : SVC_ABSENT;
}

/*
** The service opened with `access`, or NULL with *error set. The handle is
** always closed by the caller before it waits: a handle of ours would keep a
** service marked for deletion alive.
*/
static SC_HANDLE OpenQv(DWORD access, SC_HANDLE *manager, DWORD *error)
{
    *error = NO_ERROR;
    *manager = g_Msi.OpenSCManagerW(NULL, NULL, SC_MANAGER_CONNECT);
    if (*manager == NULL) {
        *error = g_Msi.GetLastError();
        return NULL;
    }
    SC_HANDLE service = g_Msi.OpenServiceW(*manager, SERVICE_NAME, access);
    if (service == NULL) {
        *error = g_Msi.GetLastError();
        g_Msi.CloseServiceHandle(*manager);
        *manager = NULL;
    }
    return service;
}

static void CloseQv(SC_HANDLE manager, SC_HANDLE service)
{
    g_Msi.CloseServiceHandle(service);
    g_Msi.CloseServiceHandle(manager);
}

/* SVC_PRESENT with the status in *st, SVC_MARKED or SVC_ABSENT. */
static int QueryService(SERVICE_STATUS_PROCESS *st)
{
    SC_HANDLE manager;
    DWORD error;
    SC_HANDLE service = OpenQv(SERVICE_QUERY_STATUS, &manager, &error);
    if (service == NULL) {
        return StateOfError(error);
    }
    DWORD needed = 0;
    int state = SVC_PRESENT;
    if (!g_Msi.QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, (BYTE *)st, sizeof(*st), &needed)) {
        state = StateOfError(g_Msi.GetLastError());
    }
    CloseQv(manager, service);
    return state;
}

static DWORD SendStop(void)
{
    SC_HANDLE manager;
    DWORD error;
    SC_HANDLE service = OpenQv(SERVICE_STOP, &manager, &error);
    if (service == NULL) {
        return error;
    }
    SERVICE_STATUS status;
    if (!g_Msi.ControlService(service, SERVICE_CONTROL_STOP, &status)) {
        error = g_Msi.GetLastError();
    }
    CloseQv(manager, service);
    return error;
}

/*
** No recovery while the product's files are replaced or removed: the SCM
** would restart a host that was ended (or whose PBX failed) with half of its
** files. The host's -install sets the recovery again. Logged, not required.
*/
static void ClearRecovery(void)
{
    SC_HANDLE manager;
    DWORD error;
    SC_HANDLE service = OpenQv(SERVICE_CHANGE_CONFIG, &manager, &error);
    if (service != NULL) {
        /* No actions, but a non-null array: a null one would leave them. */
        SC_ACTION none;
        memset(&none, 0, sizeof(none));
        SERVICE_FAILURE_ACTIONSW actions;
        memset(&actions, 0, sizeof(actions));
        actions.cActions = 0;
        actions.lpsaActions = &none;
        if (!g_Msi.ChangeServiceConfig2W(service, SERVICE_CONFIG_FAILURE_ACTIONS, &actions)) {
            error = g_Msi.GetLastError();
        }
        CloseQv(manager, service);
    }
    LogF(L"QuelvaronAsterisk: acoes de recuperacao removidas (resultado %lu)", (unsigned long)error);
}

/* Through the SCM, without the host: NO_ERROR or the SCM's error. */
static DWORD DeleteDirectly(void)
{
    SC_HANDLE manager;
    DWORD error;
    SC_HANDLE service = OpenQv(DELETE, &manager, &error);
    if (service == NULL) {
        return error;
    }
    if (!g_Msi.DeleteService(service)) {
        error = g_Msi.GetLastError();
    }
    CloseQv(manager, service);
    return error;
}

/* 1 when the service is gone within timeoutMs; one only marked is not. */
static int WaitGone(DWORD timeoutMs)
{
    SERVICE_STATUS_PROCESS st;
    DWORD start = g_Msi.GetTickCount();
    while (QueryService(&st) != SVC_ABSENT) {
        if (Elapsed(start) >= timeoutMs) {
            return 0;
        }
        g_Msi.Sleep(POLL_MS);
    }
    return 1;
}

/*
** The service's registered program, unquoted and without arguments, into
** `binary`; 0 when the SCM does not say.
*/
static int ServiceBinary(wchar_t *binary, size_t size)
{
    static union {
        QUERY_SERVICE_CONFIGW config;
        BYTE bytes[sizeof(QUERY_SERVICE_CONFIGW) + 4 * PATH_CHARS * sizeof(wchar_t)];
    } answer;
    SC_HANDLE manager;
    DWORD error, needed = 0;
    SC_HANDLE service = OpenQv(SERVICE_QUERY_CONFIG, &manager, &error);
    if (service == NULL) {
        return 0;
    }
    BOOL known = g_Msi.QueryServiceConfigW(service, &answer.config, sizeof(answer), &needed) &&
                 answer.config.lpBinaryPathName != NULL;
    CloseQv(manager, service);
    if (!known) {
        return 0;
    }
    const wchar_t *start = answer.config.lpBinaryPathName;
    const wchar_t *end;
    if (*start == L'"') {
        start++;
        end = wcschr(start, L'"');
    } else {
        end = wcschr(start, L' ');
    }
    size_t length = end != NULL ? (size_t)(end - start) : wcslen(start);
    if (length == 0 || length >= size) {
        return 0;
    }
    wmemcpy(binary, start, length);
    binary[length] = L'\0';
    return 1;
}

/*
** The service's process, to wait for and, past the deadline, to end: NULL
** when it has ended or is some other program. The SCM's process id can be
** stale (Wine's SCM keeps the id of a host that died) and ids are reused, so
** a process is only taken when its program is the service's own.
*/
static HANDLE OpenHost(DWORD pid)
{
    static wchar_t binary[PATH_CHARS];
    HANDLE process = g_Msi.OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    if (process == NULL || g_Msi.WaitForSingleObject(process, 0) == WAIT_OBJECT_0) {
        LogF(L"QuelvaronAsterisk: o processo %lu do servico ja terminou", (unsigned long)pid);
    } else if (ServiceBinary(binary, PATH_CHARS)) {
        DWORD size = PATH_CHARS;
        if (g_Msi.QueryFullProcessImageNameW(process, 0, g_Image, &size) &&
            g_Msi.CompareStringOrdinal(g_Image, -1, binary, -1, TRUE) == CSTR_EQUAL) {
            return process;
        }
        LogF(L"QuelvaronAsterisk: o processo %lu nao e %ls, o programa do servico; ignorado", (unsigned long)pid,
             binary);
    } else {
        return process;
    }
    if (process != NULL) {
        g_Msi.CloseHandle(process);
    }
    return NULL;
}

/*
** Past the stop's deadline: the host process ended by force. It runs as
** local system, as this action does, and its PBX lives in a job that ends
** with it. 1 when it has ended.
*/
static int EndHost(HANDLE host, DWORD pid)
{
    LogF(L"QuelvaronAsterisk nao parou em %d s: encerrando o processo do servico (%lu) e seu PBX",
         STOP_TIMEOUT_MS / 1000, (unsigned long)pid);
    if (!g_Msi.TerminateProcess(host, 1)) {
        LogF(L"QuelvaronAsterisk: TerminateProcess falhou (Erro %lu)", (unsigned long)g_Msi.GetLastError());
    }
    if (g_Msi.WaitForSingleObject(host, KILL_WAIT_MS) != WAIT_OBJECT_0) {
        return 0;
    }
    LogF(L"QuelvaronAsterisk: processo %lu encerrado", (unsigned long)pid);
    return 1;
}

/*
** Stops the service if it runs (a paused one too) and waits until it has
** stopped and its host process has ended: only then are its files free.
** The stop is sent again at every poll while the service refuses it (1061:
** a start, stop or pause under way). Past STOP_TIMEOUT_MS the host process
** is ended. A service whose process has ended holds no file, whatever state
** the SCM still shows. 1 when stopped, absent or ended; 0 when the host is
** still there.
*/
static int StopAndWait(void)
{
    SERVICE_STATUS_PROCESS st;
    DWORD start = g_Msi.GetTickCount();
    HANDLE host = NULL;
    DWORD hostPid = 0;
    DWORD lastResult = (DWORD)-1;
    unsigned long refusals = 0;
    int accepted = 0, stopped = 0;

    int state = QueryService(&st);
    if (state == SVC_MARKED) {
        LogF(L"QuelvaronAsterisk: marcado para remocao, sem acesso ao seu estado");
    }
    if (state != SVC_PRESENT) {
        return 1;
    }
    ClearRecovery();
    for (;;) {
        /* The process handle is taken at once: its id may be reused later. */
        if (st.dwProcessId != 0 && st.dwProcessId != hostPid) {
            if (host != NULL) {
                g_Msi.CloseHandle(host);
            }
            hostPid = st.dwProcessId;
            host = OpenHost(hostPid);
        }
        if (st.dwCurrentState == SERVICE_STOPPED || (hostPid != 0 && host == NULL) ||
            (host != NULL && g_Msi.WaitForSingleObject(host, 0) == WAIT_OBJECT_0)) {
            stopped = 1;
            break;
        }
        if (!accepted) {
            DWORD result = SendStop();
            accepted = result == NO_ERROR;
            refusals += result == ERROR_SERVICE_CANNOT_ACCEPT_CTRL;
            if (result != lastResult) {
                LogF(L"QuelvaronAsterisk: pedido de parada (estado %lu, resultado %lu)",
                     (unsigned long)st.dwCurrentState, (unsigned long)result);
                lastResult = result;
            }
        }
        if (Elapsed(start) >= STOP_TIMEOUT_MS) {
            break;
        }
        g_Msi.Sleep(POLL_MS);
        if (QueryService(&st) != SVC_PRESENT) {
            stopped = 1;
            break;
        }
    }
    if (refusals > 0) {
        LogF(L"QuelvaronAsterisk: parada recusada %lu vez(es) com o erro 1061 e pedida de novo", refusals);
    }

    int ended = 1;
    if (host != NULL) {
        DWORD left = Elapsed(start) < STOP_TIMEOUT_MS ? STOP_TIMEOUT_MS - Elapsed(start) : 0;
        if (g_Msi.WaitForSingleObject(host, left) != WAIT_OBJECT_0) {
            ended = EndHost(host, hostPid);
        }
        g_Msi.CloseHandle(host);
    } else if (!stopped) {
        LogF(L"QuelvaronAsterisk nao parou em %d s (estado %lu), mas nao tem processo a encerrar",
             STOP_TIMEOUT_MS / 1000, (unsigned long)st.dwCurrentState);
    }
    if (ended) {
        LogF(L"QuelvaronAsterisk: parado (%lu ms)", (unsigned long)Elapsed(start));
    }
    return ended;
}

/* 1 when some live process has `parent` as its parent. */
static int HasChild(DWORD parent)
{
    int found = 0;
    HANDLE snapshot = g_Msi.CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) {
        return 0;
    }
    PROCESSENTRY32W entry;
    entry.dwSize = sizeof(entry);
    for (BOOL more = g_Msi.Process32FirstW(snapshot, &entry); more && !found; more = g_Msi.Process32NextW(snapshot, &entry)) {
        found = entry.th32ParentProcessID == parent && entry.th32ProcessID != parent;
    }
    g_Msi.CloseHandle(snapshot);
    return found;
}

/*
** Waits for RUNNING, then watches the service for SETTLE_MS: it must stay
** RUNNING and its host must keep a child (the PBX). A PBX that ends at once
** takes the service down within that time.
*/
static UINT WaitRunningWithPbx(const wchar_t *hostPath)
{
    SERVICE_STATUS_PROCESS st;
    DWORD start = g_Msi.GetTickCount();
    DWORD runningSince = 0;
    int running = 0;

    for (;;) {
        if (QueryService(&st) != SVC_PRESENT) {
            return FailF(L"O servico QuelvaronAsterisk desapareceu durante a instalacao.");
        }
        if (st.dwCurrentState == SERVICE_STOP_PENDING || st.dwCurrentState == SERVICE_STOPPED) {
            /* The PBX has ended: the exit code is final once STOPPED. */
            StopAndWait();
            QueryService(&st);
            return FailF(L"O servico QuelvaronAsterisk parou logo apos iniciar (codigo de saida %lu): o PBX "
                         L"nao permaneceu em execucao. Verifique asterisk.exe ao lado de %ls.",
                         (unsigned long)st.dwWin32ExitCode, hostPath);
        }
        if (st.dwCurrentState == SERVICE_RUNNING) {
            if (!running) {
                running = 1;
                runningSince = g_Msi.GetTickCount();
                LogF(L"QuelvaronAsterisk: em execucao (%lu ms), processo %lu",
                     (unsigned long)(runningSince - start), (unsigned long)st.dwProcessId);
            }
            if (!HasChild(st.dwProcessId)) {
                return FailF(L"O servico QuelvaronAsterisk esta em execucao sem o PBX: asterisk.exe terminou. "
                             L"Verifique asterisk.exe ao lado de %ls.",
                             hostPath);
            }
            if (Elapsed(runningSince) >= SETTLE_MS) {
                LogF(L"QuelvaronAsterisk: em execucao com o PBX por %d ms", SETTLE_MS);
                return ERROR_SUCCESS;
            }
        }
        if (!running && Elapsed(start) > RUNNING_TIMEOUT_MS) {
            return FailF(L"O servico QuelvaronAsterisk nao entrou em execucao em %d s (estado %lu).",
                         RUNNING_TIMEOUT_MS / 1000, (unsigned long)st.dwCurrentState);
        }
        g_Msi.Sleep(POLL_MS);
    }
}

/* ---------------------------------------------------------------------- */
/* The host's own commands                                                 */

/* Whatever the pipe holds now, without waiting: one line into `output`. */
static void DrainPipe(HANDLE readEnd, char *output, size_t outputSize, size_t *used)
{
    char chunk[512];
    DWORD available = 0, got = 0;
    while (g_Msi.PeekNamedPipe(readEnd, NULL, 0, NULL, &available, NULL) && available > 0) {
        DWORD want = available < sizeof(chunk) ? available : (DWORD)sizeof(chunk);
        if (!g_Msi.ReadFile(readEnd, chunk, want, &got, NULL) || got == 0) {
            return;
        }
        for (DWORD i = 0; i < got && *used + 1 < outputSize; i++) {
            /* One line for the log: line ends become blanks. */
            char c = chunk[i];
            output[(*used)++] = (c == '\r' || c == '\n') ? ' ' : c;
        }
    }
}

/*
** Runs the host with one option, its output into the log (and, cut, into
** g_Output; the host writes ANSI). One deadline bounds the whole run:
** the pipe is only read when it holds something, so a host that hangs with
** its output open is ended at the deadline like any other. HOST_RAN with
** its exit code in *exitCode, HOST_NOT_RUN or HOST_TIMED_OUT.
*/
static int RunHost(const wchar_t *hostPath, const wchar_t *option, DWORD *exitCode)
{
    static char output[OUTPUT_SIZE];
    g_Output[0] = L'\0';
    *exitCode = (DWORD)-1;
    int length = _snwprintf(g_CommandLine, PATH_CHARS - 1, L"\"%ls\" %ls", hostPath, option);
    if (length < 0 || length >= PATH_CHARS - 1) {
        _snwprintf(g_Output, OUTPUT_SIZE - 1, L"linha de comando longa demais");
        LogF(L"quelvaron-service %ls: nao executado (%ls)", option, g_Output);
        return HOST_NOT_RUN;
    }

    SECURITY_ATTRIBUTES inherit;
    memset(&inherit, 0, sizeof(inherit));
    inherit.nLength = sizeof(inherit);
    inherit.bInheritHandle = TRUE;
    HANDLE readEnd = NULL, writeEnd = NULL;
    if (!g_Msi.CreatePipe(&readEnd, &writeEnd, &inherit, 0)) {
        _snwprintf(g_Output, OUTPUT_SIZE - 1, L"pipe: Erro %lu", (unsigned long)g_Msi.GetLastError());
        LogF(L"%ls: nao executado (%ls)", g_CommandLine, g_Output);
        return HOST_NOT_RUN;
    }
    g_Msi.SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);

    STARTUPINFOW si;
    memset(&si, 0, sizeof(si));
    si.cb = sizeof(si);
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = NULL;
    si.hStdOutput = writeEnd;
    si.hStdError = writeEnd;
    PROCESS_INFORMATION pi;
    memset(&pi, 0, sizeof(pi));
    BOOL started =
        g_Msi.CreateProcessW(hostPath, g_CommandLine, NULL, NULL, TRUE, CREATE_NO_WINDOW, NULL, NULL, &si, &pi);
    DWORD startError = g_Msi.GetLastError();
    g_Msi.CloseHandle(writeEnd);
    if (!started) {
        g_Msi.CloseHandle(readEnd);
        _snwprintf(g_Output, OUTPUT_SIZE - 1, L"Erro %lu", (unsigned long)startError);
        LogF(L"%ls: nao executado (%ls)", g_CommandLine, g_Output);
        return HOST_NOT_RUN;
    }

    /* Once the host has ended, all it wrote is in the pipe: one last drain,
    ** whoever else (a child) still holds the write end. */
    size_t used = 0;
    DWORD start = g_Msi.GetTickCount();
    int ended = 0;
    for (;;) {
        DrainPipe(readEnd, output, sizeof(output), &used);
        if (ended || Elapsed(start) >= HOST_TIMEOUT_MS) {
            break;
        }
        DWORD left = HOST_TIMEOUT_MS - Elapsed(start);
        ended = g_Msi.WaitForSingleObject(pi.hProcess, left < PIPE_POLL_MS ? left : PIPE_POLL_MS) == WAIT_OBJECT_0;
    }
    output[used] = '\0';
    g_Msi.CloseHandle(readEnd);

    int result = HOST_TIMED_OUT;
    if (ended) {
        g_Msi.GetExitCodeProcess(pi.hProcess, exitCode);
        result = HOST_RAN;
    } else {
        g_Msi.TerminateProcess(pi.hProcess, 1);
        g_Msi.WaitForSingleObject(pi.hProcess, KILL_WAIT_MS);
    }
    g_Msi.CloseHandle(pi.hProcess);
    g_Msi.CloseHandle(pi.hThread);

    if (g_Msi.MultiByteToWideChar(CP_ACP, 0, output, -1, g_Output, OUTPUT_SIZE) == 0) {
        g_Output[0] = L'\0';
    }
    if (result == HOST_TIMED_OUT) {
        LogF(L"%ls: sem terminar em %d s; processo encerrado. Saida: %ls", g_CommandLine, HOST_TIMEOUT_MS / 1000,
             g_Output);
    } else {
        LogF(L"%ls -> %ld: %ls", g_CommandLine, (long)(int)*exitCode, g_Output);
    }
    return result;
}

/* Why a host command failed, for the administrator's message. */
static UINT HostFailed(const wchar_t *option, int result, DWORD exitCode)
{
    if (result == HOST_NOT_RUN) {
        return FailF(L"quelvaron-service %ls nao pode ser executado (%ls): %ls", option, g_Output, g_CommandLine);
    }
    if (result == HOST_TIMED_OUT) {
        return FailF(L"quelvaron-service %ls nao terminou em %d s e foi encerrado: %ls", option,
                     HOST_TIMEOUT_MS / 1000, g_Output);
    }
    return FailF(L"quelvaron-service %ls falhou (codigo de saida %ld): %ls", option, (long)(int)exitCode, g_Output);
}

/*
** The host is an ANSI program with MAX_PATH buffers: its own path must fit
** 259 bytes in the system's ANSI code page and hold only characters that
** page has. Otherwise GetModuleFileNameA hands it a cut path, or one whose
** missing characters became others, which names no file: it would register
** a service that cannot start. Checked with no best fit, for that reason.
*/
static UINT CheckHostPath(const wchar_t *hostPath)
{
    static char ansi[PATH_CHARS * 2];
    UINT codePage = g_Msi.GetACP();
    BOOL usedDefault = FALSE;
    int bytes;
    if (codePage == CP_UTF8) {
        bytes = g_Msi.WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, hostPath, -1, ansi, (int)sizeof(ansi), NULL, NULL);
    } else {
        bytes = g_Msi.WideCharToMultiByte(codePage, WC_NO_BEST_FIT_CHARS, hostPath, -1, ansi, (int)sizeof(ansi), NULL,
                                    &usedDefault);
    }
    if (bytes == 0 || usedDefault) {
        return FailF(L"A pasta de instalacao tem caracteres que o host do servico (quelvaron-service.exe) nao pode "
                     L"usar: ele so aceita caracteres da pagina de codigo ANSI do sistema (%u). Escolha uma pasta "
                     L"sem eles. Caminho: %ls",
                     codePage, hostPath);
    }
    if (bytes - 1 > HOST_PATH_MAX) {
        return FailF(L"A pasta de instalacao e longa demais: o caminho de quelvaron-service.exe tem %d caracteres "
                     L"(pagina de codigo %u), e o host do servico aceita no maximo %d. Escolha uma pasta mais "
                     L"curta. Caminho: %ls",
                     bytes - 1, codePage, HOST_PATH_MAX, hostPath);
    }
    return ERROR_SUCCESS;
}

/*
** Any registration of the service, ours or made by hand from elsewhere,
** stopped and removed: by the installed host's own -uninstall, and through
** the SCM directly when the host cannot run (missing: an antivirus
** quarantine) or leaves the service registered. A service only marked for
** deletion counts as removed: a Services console or a monitoring tool holds
** it open, and Windows deletes it when that handle closes; *held says so.
** hostPath may be empty.
*/
static UINT RemoveService(const wchar_t *hostPath, int *held)
{
    SERVICE_STATUS_PROCESS st;
    *held = 0;
    if (QueryService(&st) == SVC_ABSENT) {
        return ERROR_SUCCESS;
    }
    if (!StopAndWait()) {
        return FailF(L"O servico QuelvaronAsterisk nao parou em %d s, nem apos o seu processo ser encerrado; os "
                     L"arquivos do produto nao podem ser substituidos nem removidos.",
                     STOP_TIMEOUT_MS / 1000);
    }
    int ran = 0;
    if (hostPath[0] != L'\0') {
        DWORD exitCode;
        ran = RunHost(hostPath, L"-uninstall", &exitCode) == HOST_RAN;
    }
    if (WaitGone(ran ? GONE_GRACE_MS : 0)) {
        return ERROR_SUCCESS;
    }

    DWORD error = DeleteDirectly();
    if (error == ERROR_SERVICE_DOES_NOT_EXIST) {
        return ERROR_SUCCESS;
    }
    if (error == NO_ERROR) {
        LogF(L"QuelvaronAsterisk removido diretamente pelo Gerenciador de Servicos: %ls",
             ran ? L"continuava registrado apos -uninstall" : L"quelvaron-service.exe nao pode ser executado");
    } else if (error != ERROR_SERVICE_MARKED_FOR_DELETE) {
        return FailF(L"O servico QuelvaronAsterisk nao pode ser removido pelo Gerenciador de Servicos (Erro %lu).",
                     (unsigned long)error);
    }
    /* Marked already (by -uninstall, say): waiting would change nothing. */
    if (error == ERROR_SERVICE_MARKED_FOR_DELETE || !WaitGone(GONE_GRACE_MS)) {
        *held = 1;
        LogF(L"QuelvaronAsterisk: marcado para remocao, mas um console de Servicos (services.msc) ou uma "
             L"ferramenta de monitoracao ainda o mantem aberto; o Windows o remove quando esse programa o fechar");
    }
    return ERROR_SUCCESS;
}

/*
** Ends the programs still running from the host's folder (a connected
** console, say): their files could not be removed. In a silent uninstall
** Windows Installer's Restart Manager closes such applications; Wine has no
** Restart Manager.
*/
static void EndProgramsBeside(const wchar_t *hostPath)
{
    const wchar_t *slash = wcsrchr(hostPath, L'\\');
    if (slash == NULL) {
        return;
    }
    int folderLength = (int)(slash - hostPath) + 1; /* with the backslash */
    HANDLE snapshot = g_Msi.CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) {
        return;
    }
    PROCESSENTRY32W entry;
    entry.dwSize = sizeof(entry);
    for (BOOL more = g_Msi.Process32FirstW(snapshot, &entry); more; more = g_Msi.Process32NextW(snapshot, &entry)) {
        if (entry.th32ProcessID == g_Msi.GetCurrentProcessId()) {
            continue;
        }
        HANDLE process = g_Msi.OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_TERMINATE | SYNCHRONIZE, FALSE,
                                     entry.th32ProcessID);
        if (process == NULL) {
            continue;
        }
        DWORD size = PATH_CHARS;
        if (g_Msi.QueryFullProcessImageNameW(process, 0, g_Image, &size) && size > (DWORD)folderLength &&
            g_Msi.CompareStringOrdinal(g_Image, folderLength, hostPath, folderLength, TRUE) == CSTR_EQUAL &&
            wcschr(g_Image + folderLength, L'\\') == NULL) {
            LogF(L"Encerrando %ls (processo %lu), ainda em execucao na pasta do produto", g_Image,
                 (unsigned long)entry.th32ProcessID);
            g_Msi.TerminateProcess(process, 1);
            g_Msi.WaitForSingleObject(process, 5000);
        }
        g_Msi.CloseHandle(process);
    }
    g_Msi.CloseHandle(snapshot);
}

/* ---------------------------------------------------------------------- */
/* What an uninstall leaves in INSTALLDIR                                  */

/*
** A walk of one folder tree, children before their folder, with no
** recursion and no heap: g_Walk holds the path being visited (long-path
** form), and each level keeps its search handle and its folder's length.
*/
typedef struct Tree {
    int purge;             /* 1: remove everything; 0: list the files */
    size_t rootLength;     /* g_Walk's length for INSTALLDIR itself */
    const wchar_t *shown;  /* INSTALLDIR as the administrator wrote it */
    unsigned long files;   /* removed, or kept */
    unsigned long folders; /* removed */
    unsigned long failed;  /* not removed */
} Tree;

static wchar_t g_Walk[PATH_CHARS + 2];
static wchar_t g_Full[PATH_CHARS];
static HANDLE g_Finds[WALK_DEPTH];
static size_t g_Lengths[WALK_DEPTH];
static WIN32_FIND_DATAW g_Found;

/* The path being visited, relative to INSTALLDIR (INSTALLDIR for itself). */
static const wchar_t *Relative(const Tree *tree)
{
    return g_Walk[tree->rootLength] == L'\0' ? tree->shown : g_Walk + tree->rootLength + 1;
}

static void NotRemoved(Tree *tree, DWORD error)
{
    tree->failed++;
    if (tree->failed <= LIST_MAX) {
        LogF(L"  nao removido (Erro %lu): %ls", (unsigned long)error, Relative(tree));
    }
}

/* A read-only file or folder cannot be removed: the attribute goes first. */
static void ClearReadOnly(DWORD attributes)
{
    if (attributes & FILE_ATTRIBUTE_READONLY) {
        g_Msi.SetFileAttributesW(g_Walk, attributes & ~(DWORD)FILE_ATTRIBUTE_READONLY);
    }
}

static void VisitFile(Tree *tree, DWORD attributes)
{
    if (tree->purge) {
        ClearReadOnly(attributes);
        if (g_Msi.DeleteFileW(g_Walk)) {
            tree->files++;
        } else {
            NotRemoved(tree, g_Msi.GetLastError());
        }
        return;
    }
    const wchar_t *relative = Relative(tree);
    tree->files++;
    if (tree->files == 1) {
        LogF(L"Mantidos (configuracao e dados do administrador) em %ls:", tree->shown);
    }
    if (tree->files <= LIST_MAX) {
        int configuration = wcslen(relative) > 4 && g_Msi.CompareStringOrdinal(relative, 4, L"etc\\", 4, TRUE) == CSTR_EQUAL;
        LogF(L"  %ls: %ls", configuration ? L"configuracao" : L"dados", relative);
    }
}

/* After its contents. A folder left non-empty by a failure below is not
** reported again. */
static void VisitFolder(Tree *tree, DWORD attributes)
{
    if (!tree->purge) {
        return;
    }
    ClearReadOnly(attributes);
    if (g_Msi.RemoveDirectoryW(g_Walk)) {
        tree->folders++;
        return;
    }
    DWORD error = g_Msi.GetLastError();
    if (error != ERROR_DIR_NOT_EMPTY || tree->failed == 0) {
        NotRemoved(tree, error);
    }
}

/* A search of the folder g_Walk[0, length): its first entry in g_Found. */
static HANDLE OpenFolder(size_t length)
{
    if (length + 2 >= PATH_CHARS) {
        g_Msi.SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return INVALID_HANDLE_VALUE;
    }
    g_Walk[length] = L'\\';
    g_Walk[length + 1] = L'*';
    g_Walk[length + 2] = L'\0';
    HANDLE find = g_Msi.FindFirstFileW(g_Walk, &g_Found);
    g_Walk[length] = L'\0';
    return find;
}

static int IsDots(const wchar_t *name)
{
    return name[0] == L'.' && (name[1] == L'\0' || (name[1] == L'.' && name[2] == L'\0'));
}

/* g_Walk holds the root; 0 when the root cannot be read (GetLastError). */
static int WalkTree(Tree *tree)
{
    int depth = 0;
    g_Lengths[0] = tree->rootLength;
    g_Finds[0] = OpenFolder(tree->rootLength);
    if (g_Finds[0] == INVALID_HANDLE_VALUE) {
        return 0;
    }
    DWORD rootAttributes = g_Msi.GetFileAttributesW(g_Walk);
    int have = 1;
    for (;;) {
        if (!have) {
            /* This folder is done: the folder itself, then back up. */
            g_Msi.FindClose(g_Finds[depth]);
            g_Walk[g_Lengths[depth]] = L'\0';
            if (depth == 0) {
                VisitFolder(tree, rootAttributes);
                return 1;
            }
            VisitFolder(tree, g_Msi.GetFileAttributesW(g_Walk));
            depth--;
            g_Walk[g_Lengths[depth]] = L'\0';
            have = g_Msi.FindNextFileW(g_Finds[depth], &g_Found);
            continue;
        }
        if (!IsDots(g_Found.cFileName)) {
            size_t length = g_Lengths[depth];
            size_t nameLength = wcslen(g_Found.cFileName);
            DWORD attributes = g_Found.dwFileAttributes;
            if (length + 1 + nameLength >= PATH_CHARS) {
                NotRemoved(tree, ERROR_FILENAME_EXCED_RANGE);
            } else {
                g_Walk[length] = L'\\';
                wmemcpy(g_Walk + length + 1, g_Found.cFileName, nameLength + 1);
                size_t childLength = length + 1 + nameLength;
                /* A link to a folder is removed, never followed. */
                if ((attributes & FILE_ATTRIBUTE_DIRECTORY) && !(attributes & FILE_ATTRIBUTE_REPARSE_POINT) &&
                    depth + 1 < WALK_DEPTH) {
                    HANDLE find = OpenFolder(childLength);
                    if (find != INVALID_HANDLE_VALUE) {
                        depth++;
                        g_Finds[depth] = find;
                        g_Lengths[depth] = childLength;
                        continue;
                    }
                    VisitFolder(tree, attributes);
                } else if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
                    VisitFolder(tree, attributes);
                } else {
                    VisitFile(tree, attributes);
                }
                g_Walk[length] = L'\0';
            }
        }
        have = g_Msi.FindNextFileW(g_Finds[depth], &g_Found);
    }
}

/* 1 when `folder` (full, no trailing backslash) is `other` or holds it. */
static int Contains(const wchar_t *folder, const wchar_t *other)
{
    int length = (int)wcslen(folder);
    int otherLength = (int)wcslen(other);
    while (otherLength > 0 && other[otherLength - 1] == L'\\') {
        otherLength--;
    }
    if (otherLength == 0 || otherLength < length ||
        g_Msi.CompareStringOrdinal(folder, length, other, length, TRUE) != CSTR_EQUAL) {
        return 0;
    }
    return otherLength == length || other[length] == L'\\';
}

/*
** A folder that no product owns: a volume's root, the Windows folder or one
** inside it, the program, data and user folders, or one that holds any of
** them. PURGE=1
** on such an INSTALLDIR would remove what is not ours.
*/
static int IsSystemFolder(const wchar_t *folder)
{
    static const wchar_t *const variables[] = {L"ProgramFiles",   L"ProgramFiles(x86)", L"ProgramW6432",
                                               L"CommonProgramFiles", L"ProgramData",   L"ALLUSERSPROFILE",
                                               L"USERPROFILE",    L"PUBLIC",            L"SystemRoot"};
    static wchar_t other[PATH_CHARS];
    size_t length = wcslen(folder);
    if (length <= 3 || (length > 4 && wcsncmp(folder, L"\\\\", 2) == 0 && wcschr(folder + 2, L'\\') != NULL &&
                        wcschr(wcschr(folder + 2, L'\\') + 1, L'\\') == NULL)) {
        return 1;
    }
    UINT windowsLength = g_Msi.GetWindowsDirectoryW(other, PATH_CHARS);
    if (windowsLength > 0 && windowsLength < PATH_CHARS && (Contains(folder, other) || Contains(other, folder))) {
        return 1;
    }
    for (size_t i = 0; i < sizeof(variables) / sizeof(variables[0]); i++) {
        DWORD got = g_Msi.GetEnvironmentVariableW(variables[i], other, PATH_CHARS);
        if (got > 0 && got < PATH_CHARS && Contains(folder, other)) {
            return 1;
        }
    }
    return 0;
}

/*
** INSTALLDIR in its long-path form into g_Walk, without a trailing
** backslash; g_Full keeps the plain full form. 0 when it is no full path.
*/
static int LongForm(const wchar_t *installDir, size_t *length)
{
    DWORD full = g_Msi.GetFullPathNameW(installDir, PATH_CHARS, g_Full, NULL);
    if (full == 0 || full >= PATH_CHARS) {
        return 0;
    }
    while (full > 3 && g_Full[full - 1] == L'\\') {
        g_Full[--full] = L'\0';
    }
    const wchar_t *prefix = L"\\\\?\\";
    const wchar_t *rest = g_Full;
    if (wcsncmp(g_Full, L"\\\\?\\", 4) == 0) {
        prefix = L"";
    } else if (wcsncmp(g_Full, L"\\\\", 2) == 0) {
        prefix = L"\\\\?\\UNC\\";
        rest = g_Full + 2;
    }
    int written = _snwprintf(g_Walk, PATH_CHARS - 1, L"%ls%ls", prefix, rest);
    if (written < 0 || written >= PATH_CHARS - 3) {
        return 0;
    }
    g_Walk[written] = L'\0';
    *length = (size_t)written;
    return 1;
}

/* ---------------------------------------------------------------------- */
/* Entry points                                                            */

/*
** Before files are replaced (upgrade, repair): whatever service runs is
** stopped and its process has ended, and the SCM's recovery cannot bring it
** back meanwhile. Needs only the service's name; CustomActionData (the
** host's path) may be empty and the host may be missing.
*/
extern "C" UINT __stdcall QvStopService(MSIHANDLE install)
{
    g_Install = install;
    if (!StopAndWait()) {
        return FailF(L"O servico QuelvaronAsterisk nao parou em %d s, nem apos o seu processo ser encerrado; os "
                     L"arquivos do produto nao podem ser substituidos.",
                     STOP_TIMEOUT_MS / 1000);
    }
    return ERROR_SUCCESS;
}

/*
** After the files: one service, registered by the installed host, running
** with its PBX. Also the rollback of QvStopService: registered and started
** again. CustomActionData: the installed host's path.
*/
extern "C" UINT __stdcall QvInstallService(MSIHANDLE install)
{
    int held = 0;
    if (!ReadActionData(install) || g_Data[0] == L'\0') {
        return FailF(L"Caminho de quelvaron-service.exe ausente (CustomActionData).");
    }
    const wchar_t *hostPath = g_Data;
    UINT result = CheckHostPath(hostPath);
    if (result == ERROR_SUCCESS) {
        result = RemoveService(hostPath, &held);
    }
    if (result != ERROR_SUCCESS) {
        return result;
    }
    /* -install fails with 1072 while the old registration is only marked. */
    if (held) {
        LogF(L"QuelvaronAsterisk: aguardando a remocao do registro anterior (ate %d s)", GONE_TIMEOUT_MS / 1000);
    }
    if (!WaitGone(GONE_TIMEOUT_MS)) {
        return FailF(L"O registro anterior do servico QuelvaronAsterisk esta marcado para remocao, mas um console "
                     L"de Servicos (services.msc) ou uma ferramenta de monitoracao ainda o mantem aberto ha %d s; "
                     L"o servico nao pode ser registrado de novo. Feche esse programa e repita a instalacao.",
                     GONE_TIMEOUT_MS / 1000);
    }
    DWORD exitCode;
    int ran = RunHost(hostPath, L"-install", &exitCode);
    if (ran != HOST_RAN || exitCode != 0) {
        return HostFailed(L"-install", ran, exitCode);
    }
    ran = RunHost(hostPath, L"-start", &exitCode);
    if (ran != HOST_RAN || exitCode != 0) {
        result = HostFailed(L"-start", ran, exitCode);
    } else {
        result = WaitRunningWithPbx(hostPath);
    }
    /* A registration that does not run is not left behind, whether or not
    ** a rollback follows (this action is itself a rollback action too). */
    if (result != ERROR_SUCCESS) {
        RemoveService(hostPath, &held);
    }
    return result;
}

/*
** 1 when another version of the product is installed beside the one whose
** script runs: its removal is then an upgrade's removal of the old version,
** and the service, the files the two share and the folder are the newer
** version's. Windows Installer says so with UPGRADINGPRODUCTCODE (the
** sequence's conditions); Wine's RemoveExistingProducts runs the removal as
** a plain uninstall without it, so the actions ask as well.
*/
static int NewerVersionInstalled(MSIHANDLE install)
{
    wchar_t self[40], other[40];
    DWORD size = 40;
    if (g_Msi.MsiGetPropertyW(install, L"ProductCode", self, &size) != ERROR_SUCCESS || self[0] == L'\0') {
        return 0;
    }
    for (DWORD i = 0; g_Msi.MsiEnumRelatedProductsW(UPGRADE_CODE, 0, i, other) == ERROR_SUCCESS; i++) {
        if (_wcsicmp(other, self) != 0) {
            LogF(L"%ls continua instalado: esta e a remocao da versao anterior numa atualizacao; o servico, os "
                 L"arquivos em comum e a pasta ficam",
                 other);
            return 1;
        }
    }
    return 0;
}

/*
** Uninstall, and the rollback of a first install: stopped, removed (by the
** SCM directly if the host cannot do it), and nothing left running from the
** product's folder. CustomActionData: the installed host's path, which may
** be missing on disk (or empty: then only the SCM removes the service).
*/
extern "C" UINT __stdcall QvRemoveService(MSIHANDLE install)
{
    int held = 0;
    g_Install = install;
    if (NewerVersionInstalled(install)) {
        return ERROR_SUCCESS;
    }
    if (!ReadActionData(install) || g_Data[0] == L'\0') {
        LogF(L"Caminho de quelvaron-service.exe ausente (CustomActionData): o servico sera removido pelo "
             L"Gerenciador de Servicos");
    }
    const wchar_t *hostPath = g_Data;
    UINT result = RemoveService(hostPath, &held);
    if (result == ERROR_SUCCESS && hostPath[0] != L'\0') {
        EndProgramsBeside(hostPath);
    }
    return result;
}

/*
** The end of a whole uninstall (commit): with PURGE=1 nothing of INSTALLDIR
** is left; otherwise what is left (configuration under etc\, data anywhere
** else) stays, and the log says what and where. CustomActionData:
** "<PURGE>;<INSTALLDIR>". Nothing can be undone at commit: failures are
** logged, and the action succeeds.
*/
extern "C" UINT __stdcall QvFinishRemoval(MSIHANDLE install)
{
    Tree tree;
    memset(&tree, 0, sizeof(tree));
    g_Install = install;
    if (NewerVersionInstalled(install) || !ReadActionData(install)) {
        return ERROR_SUCCESS;
    }
    wchar_t *separator = wcschr(g_Data, L';');
    if (separator == NULL || separator[1] == L'\0') {
        LogF(L"QvFinishRemoval: CustomActionData sem \"<PURGE>;<INSTALLDIR>\" (%ls); nada foi removido", g_Data);
        return ERROR_SUCCESS;
    }
    *separator = L'\0';
    tree.purge = wcscmp(g_Data, L"1") == 0;
    tree.shown = separator + 1;
    if (!LongForm(tree.shown, &tree.rootLength)) {
        LogF(L"INSTALLDIR invalido: %ls; nada foi removido", tree.shown);
        return ERROR_SUCCESS;
    }
    if (IsSystemFolder(g_Full)) {
        LogF(L"%ls e (ou contem) uma pasta do sistema: %ls", tree.shown,
             tree.purge ? L"PURGE=1 ignorado, nada foi removido" : L"o que restou nela nao foi listado");
        return ERROR_SUCCESS;
    }
    if (!WalkTree(&tree)) {
        DWORD error = g_Msi.GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
            LogF(L"Nada foi mantido: %ls nao existe mais", tree.shown);
        } else {
            LogF(L"%ls nao pode ser lido (Erro %lu)", tree.shown, (unsigned long)error);
        }
        return ERROR_SUCCESS;
    }
    if (tree.purge) {
        LogF(L"PURGE=1: removidos %lu arquivo(s) e %lu pasta(s) de %ls", tree.files, tree.folders, tree.shown);
        if (tree.failed > 0) {
            LogF(L"PURGE=1: %lu item(ns) nao removido(s) de %ls", tree.failed, tree.shown);
        }
    } else if (tree.files == 0) {
        LogF(L"Nada foi mantido em %ls (nenhuma configuracao nem dado do administrador)", tree.shown);
    } else if (tree.files > LIST_MAX) {
        LogF(L"  ... e mais %lu arquivo(s); %lu ao todo em %ls", tree.files - LIST_MAX, tree.files, tree.shown);
    }
    return ERROR_SUCCESS;
}
