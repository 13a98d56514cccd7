/*
** The service through the SCM.
**
** The service is the administrator's: a registration of this installation's
** host is never deleted and made again, so its account and password, start
** type, recovery, dependencies, permissions and description stay as they
** were. Only its running state is touched, and it is put back: a service
** that ran before an installation runs after it. What an installation must
** change for a while (the recovery actions, which would restart a host ended
** mid-way) is captured first and put back exactly.
**
** A registration of another program (made by hand from elsewhere) is taken
** over with the host's own -install; it is captured whole first, so that a
** failed installation can make it again as it was.
**
** Every wait is bounded, and what outlives its bound is ended.
*/
#define _CRT_SECURE_NO_WARNINGS
#include "msi_actions.h"

#include <tlhelp32.h>

#include <string.h>
#include <wchar.h>

#ifndef QV_UPGRADE_CODE
#error "QV_UPGRADE_CODE: the UpgradeCode of the product as {...}, set by installer/CMakeLists.txt"
#endif
#define UPGRADE_CODE L"" QV_UPGRADE_CODE

/* Recovery actions kept in the state: the reset period, a count, then
** (type, delay) pairs. */
#define MAX_RECOVERY_ACTIONS 64
#define CONFIG_BYTES (sizeof(QUERY_SERVICE_CONFIGW) + 4 * PATH_CHARS * sizeof(wchar_t))

static union {
    QUERY_SERVICE_CONFIGW config;
    SERVICE_DESCRIPTIONW description;
    SERVICE_FAILURE_ACTIONSW failure;
    SERVICE_FAILURE_ACTIONS_FLAG flag;
    SERVICE_DELAYED_AUTO_START_INFO delayed;
    SERVICE_PRESHUTDOWN_INFO preshutdown;
    SERVICE_SID_INFO sid;
    SERVICE_REQUIRED_PRIVILEGES_INFOW privileges;
    BYTE bytes[CONFIG_BYTES];
} g_Answer;
static wchar_t g_Binary[PATH_CHARS];
static wchar_t g_Texts[4][PATH_CHARS];

DWORD g_QueryError;
/* The first error that left StopAndWait unsure the host has ended. */
static DWORD g_StopError;

/* An error other than "not there" or "marked" is logged once, until a query
** succeeds again or a new wait begins (g_QueryError cleared): the polls
** that meet it would repeat it. */
static int StateOfError(DWORD error)
{
    if (error == ERROR_SERVICE_MARKED_FOR_DELETE || error == ERROR_SERVICE_DOES_NOT_EXIST) {
        g_QueryError = NO_ERROR;
        return error == ERROR_SERVICE_MARKED_FOR_DELETE ? SVC_MARKED : SVC_ABSENT;
    }
    if (error != g_QueryError) {
        LogF(L"QuelvaronAsterisk: estado nao lido (Erro %lu)", (unsigned long)error);
    }
    g_QueryError = error;
    return SVC_UNKNOWN;
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

int QueryService(SERVICE_STATUS_PROCESS *st)
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
    } else {
        g_QueryError = NO_ERROR;
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
** files. What was set is in the state (CaptureService) and comes back once
** the service runs again. Logged, not required.
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

DWORD DeleteDirectly(void)
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

int WaitGone(DWORD timeoutMs)
{
    SERVICE_STATUS_PROCESS st;
    DWORD start = g_Msi.GetTickCount();
    g_QueryError = NO_ERROR;
    while (QueryService(&st) != SVC_ABSENT) {
        if (Elapsed(start) >= timeoutMs) {
            return 0;
        }
        g_Msi.Sleep(POLL_MS);
    }
    return 1;
}

/* The service's configuration into g_Answer; 0 when the SCM does not say. */
static int QueryConfig(SC_HANDLE service)
{
    DWORD needed = 0;
    return g_Msi.QueryServiceConfigW(service, &g_Answer.config, sizeof(g_Answer), &needed);
}

/* The program a command line runs, unquoted and without arguments, into
** g_Binary; 0 when there is none. */
static int ProgramOf(const wchar_t *commandLine)
{
    const wchar_t *start = commandLine;
    const wchar_t *end;
    if (*start == L'"') {
        start++;
        end = wcschr(start, L'"');
    } else {
        end = wcschr(start, L' ');
    }
    size_t length = end != NULL ? (size_t)(end - start) : wcslen(start);
    if (length == 0 || length >= PATH_CHARS) {
        return 0;
    }
    wmemcpy(g_Binary, start, length);
    g_Binary[length] = L'\0';
    return 1;
}

/* The service's registered program into g_Binary; 0 when the SCM does not say. */
static int ServiceBinary(void)
{
    SC_HANDLE manager;
    DWORD error;
    SC_HANDLE service = OpenQv(SERVICE_QUERY_CONFIG, &manager, &error);
    if (service == NULL) {
        LogF(L"QuelvaronAsterisk: programa do servico nao lido (Erro %lu)", (unsigned long)error);
        return 0;
    }
    int read = QueryConfig(service);
    if (!read) {
        LogF(L"QuelvaronAsterisk: programa do servico nao lido (Erro %lu)", (unsigned long)g_Msi.GetLastError());
    }
    int known = read && g_Answer.config.lpBinaryPathName != NULL;
    CloseQv(manager, service);
    return known && ProgramOf(g_Answer.config.lpBinaryPathName);
}

/*
** The service's process, to wait for and, past the deadline, to end: NULL
** when it has ended or is some other program. The SCM's process id can be
** stale (Wine's SCM keeps the id of a host that died) and ids are reused, so
** a process is only taken when its program is the service's own. NULL with
** g_StopError set when that cannot be told.
*/
static HANDLE OpenHost(DWORD pid)
{
    HANDLE process = g_Msi.OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    DWORD size = PATH_CHARS;
    if (process == NULL && g_Msi.GetLastError() != ERROR_INVALID_PARAMETER) {
        g_StopError = g_Msi.GetLastError();
        LogF(L"QuelvaronAsterisk: o processo %lu do servico nao pode ser aberto (Erro %lu)", (unsigned long)pid,
             (unsigned long)g_StopError);
    } else if (process == NULL || g_Msi.WaitForSingleObject(process, 0) == WAIT_OBJECT_0) {
        LogF(L"QuelvaronAsterisk: o processo %lu do servico ja terminou", (unsigned long)pid);
    } else if (!ServiceBinary()) {
        return process;
    } else if (!g_Msi.QueryFullProcessImageNameW(process, 0, g_Image, &size)) {
        g_StopError = g_Msi.GetLastError();
        LogF(L"QuelvaronAsterisk: o programa do processo %lu nao pode ser lido (Erro %lu)", (unsigned long)pid,
             (unsigned long)g_StopError);
    } else if (g_Msi.CompareStringOrdinal(g_Image, -1, g_Binary, -1, TRUE) == CSTR_EQUAL) {
        return process;
    } else {
        LogF(L"QuelvaronAsterisk: o processo %lu nao e %ls, o programa do servico; ignorado", (unsigned long)pid,
             g_Binary);
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
        g_StopError = g_Msi.GetLastError();
        LogF(L"QuelvaronAsterisk: TerminateProcess falhou (Erro %lu)", (unsigned long)g_StopError);
    }
    DWORD waited = g_Msi.WaitForSingleObject(host, KILL_WAIT_MS);
    if (waited == WAIT_FAILED && g_StopError == NO_ERROR) {
        g_StopError = g_Msi.GetLastError();
    }
    if (waited != WAIT_OBJECT_0) {
        return 0;
    }
    LogF(L"QuelvaronAsterisk: processo %lu encerrado", (unsigned long)pid);
    return 1;
}

/*
** The stop is sent again at every poll while the service refuses it (1061:
** a start, stop or pause under way). Past STOP_TIMEOUT_MS the host process
** is ended. A service whose process has ended holds no file, whatever state
** the SCM still shows.
*/
int StopAndWait(void)
{
    SERVICE_STATUS_PROCESS st;
    DWORD start = g_Msi.GetTickCount();
    HANDLE host = NULL;
    DWORD hostPid = 0;
    DWORD lastResult = (DWORD)-1;
    unsigned long refusals = 0;
    int accepted = 0, stopped = 0;

    g_StopError = g_QueryError = NO_ERROR;
    int state = QueryService(&st);
    if (state == SVC_MARKED) {
        LogF(L"QuelvaronAsterisk: marcado para remocao, sem acesso ao seu estado");
    }
    if (state == SVC_UNKNOWN) {
        g_StopError = g_QueryError;
        return 0;
    }
    if (state != SVC_PRESENT) {
        return 1;
    }
    ClearRecovery();
    for (;;) {
        /* The process handle is taken at once: its id may be reused later. A
        ** 0 ms check that fails counts as still running: the next poll, or
        ** the bounded wait below, decides. */
        if (st.dwProcessId != 0 && st.dwProcessId != hostPid) {
            if (host != NULL) {
                g_Msi.CloseHandle(host);
            }
            hostPid = st.dwProcessId;
            host = OpenHost(hostPid);
        }
        if (st.dwCurrentState == SERVICE_STOPPED || (hostPid != 0 && host == NULL && g_StopError == NO_ERROR) ||
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
        /* Not known now: the next poll, or the deadline, decides. */
        state = QueryService(&st);
        if (state != SVC_PRESENT && state != SVC_UNKNOWN) {
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
        DWORD waited = g_Msi.WaitForSingleObject(host, left);
        if (waited == WAIT_FAILED) {
            LogF(L"QuelvaronAsterisk: espera pelo processo %lu do servico falhou (Erro %lu)", (unsigned long)hostPid,
                 (unsigned long)g_Msi.GetLastError());
        }
        if (waited != WAIT_OBJECT_0) {
            ended = EndHost(host, hostPid);
        }
        g_Msi.CloseHandle(host);
    } else if (!stopped && g_StopError != NO_ERROR) {
        ended = 0; /* a process that could not be told apart may still run */
    } else if (!stopped) {
        LogF(L"QuelvaronAsterisk nao parou em %d s (estado %lu), mas nao tem processo a encerrar",
             STOP_TIMEOUT_MS / 1000, (unsigned long)st.dwCurrentState);
    }
    if (ended) {
        LogF(L"QuelvaronAsterisk: parado (%lu ms)", (unsigned long)Elapsed(start));
    }
    return ended;
}

UINT StopFailed(const wchar_t *what)
{
    if (g_StopError != NO_ERROR) {
        return FailF(L"O servico QuelvaronAsterisk nao pode ser parado: o seu estado ou o seu processo nao pode ser "
                     L"lido nem encerrado (Erro %lu); os arquivos do produto nao podem ser %ls.",
                     (unsigned long)g_StopError, what);
    }
    return FailF(L"O servico QuelvaronAsterisk nao parou em %d s, nem apos o seu processo ser encerrado; os "
                 L"arquivos do produto nao podem ser %ls.",
                 STOP_TIMEOUT_MS / 1000, what);
}

UINT RemoveService(const wchar_t *hostPath, int *held)
{
    SERVICE_STATUS_PROCESS st;
    *held = 0;
    g_QueryError = NO_ERROR;
    if (QueryService(&st) == SVC_ABSENT) {
        return ERROR_SUCCESS;
    }
    if (!StopAndWait()) {
        return StopFailed(L"substituidos nem removidos");
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

/* ---------------------------------------------------------------------- */
/* Whose registration it is                                                */

/* The file's volume and index: 1 when `path` names a file that opens. */
static int FileIdentity(const wchar_t *path, BY_HANDLE_FILE_INFORMATION *info)
{
    HANDLE file = g_Msi.CreateFileW(path, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    NULL, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, NULL);
    if (file == INVALID_HANDLE_VALUE) {
        return 0;
    }
    int known = g_Msi.GetFileInformationByHandle(file, info) && !(info->dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
    g_Msi.CloseHandle(file);
    return known;
}

static int SamePathText(const wchar_t *a, const wchar_t *b)
{
    wchar_t *fullA = g_Texts[2], *fullB = g_Texts[3];
    DWORD lengthA = g_Msi.GetFullPathNameW(a, PATH_CHARS, fullA, NULL);
    DWORD lengthB = g_Msi.GetFullPathNameW(b, PATH_CHARS, fullB, NULL);
    return lengthA > 0 && lengthA < PATH_CHARS && lengthB > 0 && lengthB < PATH_CHARS &&
           g_Msi.CompareStringOrdinal(fullA, -1, fullB, -1, TRUE) == CSTR_EQUAL;
}

/* For one candidate program: 1 it is the host, 0 it is another file, -1 it
** does not open. */
static int CandidateIsHost(const wchar_t *candidate, const wchar_t *hostPath, int hostKnown,
                           const BY_HANDLE_FILE_INFORMATION *host)
{
    BY_HANDLE_FILE_INFORMATION info;
    if (!FileIdentity(candidate, &info)) {
        return -1;
    }
    if (!hostKnown) {
        return SamePathText(candidate, hostPath);
    }
    return info.dwVolumeSerialNumber == host->dwVolumeSerialNumber && info.nFileIndexHigh == host->nFileIndexHigh &&
           info.nFileIndexLow == host->nFileIndexLow;
}

/*
** 1 when a registered command line runs the file `hostPath` names. Files are
** compared by identity (volume and file index), so a junction or an 8.3 name
** still matches. An unquoted line is read as the SCM runs it: each prefix
** ending at a blank (with ".exe" when it has no extension), the first that
** opens being the program. When no candidate opens, the texts are compared.
*/
static int RunsHost(const wchar_t *commandLine, const wchar_t *hostPath)
{
    wchar_t *line = g_Texts[0], *candidate = g_Texts[1];
    BY_HANDLE_FILE_INFORMATION host;
    int hostKnown = FileIdentity(hostPath, &host);
    /* Not expanded, the line is read as it is registered. */
    DWORD expanded = g_Msi.ExpandEnvironmentStringsW(commandLine, line, PATH_CHARS);
    if (expanded == 0 || expanded > PATH_CHARS) {
        if (FormatInto(line, PATH_CHARS, L"%ls", commandLine) < 0) {
            return 0;
        }
    }
    if (line[0] == L'"') {
        if (!ProgramOf(line)) {
            return 0;
        }
        int is = CandidateIsHost(g_Binary, hostPath, hostKnown, &host);
        return is < 0 ? SamePathText(g_Binary, hostPath) : is;
    }
    int textual = 0;
    size_t length = wcslen(line);
    for (size_t end = 1; end <= length; end++) {
        if (end < length && line[end] != L' ') {
            continue;
        }
        const wchar_t *lastSlash = line;
        for (size_t i = 0; i < end; i++) {
            lastSlash = line[i] == L'\\' ? line + i : lastSlash;
        }
        int hasExtension = wmemchr(lastSlash, L'.', (size_t)(line + end - lastSlash)) != NULL;
        if (FormatInto(candidate, PATH_CHARS, L"%.*ls%ls", (int)end, line, hasExtension ? L"" : L".exe") < 0) {
            break;
        }
        int is = CandidateIsHost(candidate, hostPath, hostKnown, &host);
        if (is >= 0) {
            return is;
        }
        textual = textual || SamePathText(candidate, hostPath);
    }
    return textual;
}

/* ---------------------------------------------------------------------- */
/* The registration captured, and put back                                 */

static size_t MultiLength(const wchar_t *list)
{
    size_t length = 0;
    if (list == NULL) {
        return 0;
    }
    while (list[length] != L'\0') {
        length += wcslen(list + length) + 1;
    }
    return length + 1;
}

static void KeepText(const wchar_t *name, const wchar_t *text)
{
    if (text != NULL) {
        StateSetText(name, REG_SZ, text, wcslen(text) + 1);
    }
}

/* A level this SCM does not know (Wine's) is passed over in silence; any
** other failure is said: the rollback cannot put that part back. */
static int QueryConfig2(SC_HANDLE service, DWORD level, const wchar_t *what)
{
    DWORD needed = 0;
    if (g_Msi.QueryServiceConfig2W(service, level, g_Answer.bytes, sizeof(g_Answer), &needed)) {
        return 1;
    }
    if (g_Msi.GetLastError() != ERROR_INVALID_LEVEL) {
        LogF(L"QuelvaronAsterisk: %ls nao lido (Erro %lu); a reversao nao o restaura", what,
             (unsigned long)g_Msi.GetLastError());
    }
    return 0;
}

static void KeepFailureActions(const SERVICE_FAILURE_ACTIONSW *failure)
{
    static DWORD packed[2 + 2 * MAX_RECOVERY_ACTIONS];
    DWORD count = failure->lpsaActions != NULL ? failure->cActions : 0;
    if (count > MAX_RECOVERY_ACTIONS) {
        LogF(L"QuelvaronAsterisk: %lu acoes de recuperacao; so as %d primeiras sao guardadas", (unsigned long)count,
             MAX_RECOVERY_ACTIONS);
        count = MAX_RECOVERY_ACTIONS;
    }
    packed[0] = failure->dwResetPeriod;
    packed[1] = count;
    for (DWORD i = 0; i < count; i++) {
        packed[2 + 2 * i] = (DWORD)failure->lpsaActions[i].Type;
        packed[3 + 2 * i] = failure->lpsaActions[i].Delay;
    }
    StateSetBinary(L"FailureActions", packed, (DWORD)((2 + 2 * count) * sizeof(DWORD)));
    KeepText(L"RebootMessage", failure->lpRebootMsg);
    KeepText(L"FailureCommand", failure->lpCommand);
}

/* Everything of a registration that can be read back (not its password). */
static void KeepRegistration(SC_HANDLE service)
{
    static BYTE security[65536];
    const QUERY_SERVICE_CONFIGW *config = &g_Answer.config;
    StateSetDword(L"Type", config->dwServiceType);
    StateSetDword(L"Start", config->dwStartType);
    StateSetDword(L"ErrorControl", config->dwErrorControl);
    KeepText(L"ImagePath", config->lpBinaryPathName);
    KeepText(L"Group", config->lpLoadOrderGroup);
    if (config->lpDependencies != NULL) {
        StateSetText(L"Dependencies", REG_MULTI_SZ, config->lpDependencies, MultiLength(config->lpDependencies));
    }
    KeepText(L"ObjectName", config->lpServiceStartName);
    KeepText(L"DisplayName", config->lpDisplayName);

    if (QueryConfig2(service, SERVICE_CONFIG_DESCRIPTION, L"descricao")) {
        KeepText(L"Description", g_Answer.description.lpDescription != NULL ? g_Answer.description.lpDescription : L"");
    }
    if (QueryConfig2(service, SERVICE_CONFIG_FAILURE_ACTIONS, L"acoes de recuperacao")) {
        KeepFailureActions(&g_Answer.failure);
    }
    if (QueryConfig2(service, SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, L"recuperacao em paradas com erro")) {
        StateSetDword(L"FailureActionsOnNonCrashFailures", (DWORD)g_Answer.flag.fFailureActionsOnNonCrashFailures);
    }
    if (QueryConfig2(service, SERVICE_CONFIG_DELAYED_AUTO_START_INFO, L"inicio atrasado")) {
        StateSetDword(L"DelayedAutostart", (DWORD)g_Answer.delayed.fDelayedAutostart);
    }
    if (QueryConfig2(service, SERVICE_CONFIG_PRESHUTDOWN_INFO, L"tempo de parada no desligamento")) {
        StateSetDword(L"PreshutdownTimeout", g_Answer.preshutdown.dwPreshutdownTimeout);
    }
    if (QueryConfig2(service, SERVICE_CONFIG_SERVICE_SID_INFO, L"tipo de SID")) {
        StateSetDword(L"ServiceSidType", g_Answer.sid.dwServiceSidType);
    }
    if (QueryConfig2(service, SERVICE_CONFIG_REQUIRED_PRIVILEGES_INFO, L"privilegios")) {
        const wchar_t *list = g_Answer.privileges.pmszRequiredPrivileges;
        StateSetText(L"RequiredPrivileges", REG_MULTI_SZ, list != NULL ? list : L"\0", list != NULL ? MultiLength(list) : 2);
    }
    DWORD needed = 0;
    if (g_Msi.QueryServiceObjectSecurity(service, DACL_SECURITY_INFORMATION, security, sizeof(security), &needed)) {
        StateSetBinary(L"Security", security, (DWORD)GetSecurityDescriptorLength(security));
    } else {
        LogF(L"QuelvaronAsterisk: permissoes nao lidas (Erro %lu); a reversao nao as restaura",
             (unsigned long)g_Msi.GetLastError());
    }
}

int CaptureService(const wchar_t *hostPath)
{
    SC_HANDLE manager;
    DWORD error;
    StateClear();
    SC_HANDLE service = OpenQv(SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS | READ_CONTROL, &manager, &error);
    if (service == NULL) {
        StateSetDword(L"Disposition", REG_ABSENT);
        if (error != ERROR_SERVICE_DOES_NOT_EXIST) {
            LogF(L"QuelvaronAsterisk: registro nao lido (Erro %lu); tratado como ausente", (unsigned long)error);
        }
        return REG_ABSENT;
    }
    SERVICE_STATUS_PROCESS st;
    DWORD needed = 0;
    DWORD state = SERVICE_STOPPED;
    if (g_Msi.QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, (BYTE *)&st, sizeof(st), &needed)) {
        state = st.dwCurrentState;
    } else if (g_Msi.GetLastError() != ERROR_SERVICE_MARKED_FOR_DELETE) {
        LogF(L"QuelvaronAsterisk: estado nao lido (Erro %lu); tratado como parado", (unsigned long)g_Msi.GetLastError());
    }
    int disposition = REG_OTHER;
    if (!QueryConfig(service)) {
        LogF(L"QuelvaronAsterisk: configuracao nao lida (Erro %lu)", (unsigned long)g_Msi.GetLastError());
    } else if (g_Answer.config.lpBinaryPathName == NULL) {
        LogF(L"QuelvaronAsterisk: registrado sem programa, estado %lu", (unsigned long)state);
    } else {
        disposition = RunsHost(g_Answer.config.lpBinaryPathName, hostPath) ? REG_OURS : REG_OTHER;
        LogF(L"QuelvaronAsterisk: registrado para %ls (%ls), estado %lu, inicio %lu",
             g_Answer.config.lpBinaryPathName,
             disposition == REG_OURS ? L"este host" : L"outro programa",
             (unsigned long)state, (unsigned long)g_Answer.config.dwStartType);
        KeepRegistration(service);
    }
    CloseQv(manager, service);
    StateSetDword(L"Disposition", (DWORD)disposition);
    StateSetDword(L"State", state);
    return disposition;
}

static BOOL Change2(SC_HANDLE service, DWORD level, void *info, const wchar_t *what)
{
    if (g_Msi.ChangeServiceConfig2W(service, level, info)) {
        return TRUE;
    }
    LogF(L"QuelvaronAsterisk: %ls nao restaurado (Erro %lu)", what, (unsigned long)g_Msi.GetLastError());
    return FALSE;
}

/* The captured recovery actions (reboot message and command too when
** `whole`) onto `service`, opened with SERVICE_CHANGE_CONFIG | SERVICE_START. */
static void PutRecovery(SC_HANDLE service, int whole)
{
    static DWORD packed[2 + 2 * MAX_RECOVERY_ACTIONS];
    static SC_ACTION actions[MAX_RECOVERY_ACTIONS];
    DWORD size = StateBinary(L"FailureActions", packed, sizeof(packed));
    if (size < 2 * sizeof(DWORD) || packed[1] > MAX_RECOVERY_ACTIONS || size < (2 + 2 * packed[1]) * sizeof(DWORD)) {
        return;
    }
    SERVICE_FAILURE_ACTIONSW failure;
    memset(&failure, 0, sizeof(failure));
    /* No actions take no reset period (as ClearRecovery clears them). */
    failure.dwResetPeriod = packed[1] > 0 ? packed[0] : 0;
    failure.cActions = packed[1];
    failure.lpsaActions = actions;
    int reboots = 0;
    for (DWORD i = 0; i < packed[1]; i++) {
        actions[i].Type = (SC_ACTION_TYPE)packed[2 + 2 * i];
        actions[i].Delay = packed[3 + 2 * i];
        reboots |= actions[i].Type == SC_ACTION_REBOOT;
    }
    if (whole) {
        StateText(L"RebootMessage", g_Texts[0], PATH_CHARS);
        StateText(L"FailureCommand", g_Texts[1], PATH_CHARS);
        failure.lpRebootMsg = g_Texts[0];
        failure.lpCommand = g_Texts[1];
    }
    /* A reboot action is accepted only from a caller holding this. */
    if (reboots) {
        EnablePrivilege(L"SeShutdownPrivilege");
    }
    if (Change2(service, SERVICE_CONFIG_FAILURE_ACTIONS, &failure, L"acoes de recuperacao")) {
        LogF(L"QuelvaronAsterisk: acoes de recuperacao restauradas (%lu)", (unsigned long)packed[1]);
    }
}

void RestoreRecovery(void)
{
    SC_HANDLE manager;
    DWORD error;
    SC_HANDLE service = OpenQv(SERVICE_CHANGE_CONFIG | SERVICE_START, &manager, &error);
    if (service == NULL) {
        LogF(L"QuelvaronAsterisk: acoes de recuperacao nao restauradas (Erro %lu)", (unsigned long)error);
        return;
    }
    PutRecovery(service, 0);
    CloseQv(manager, service);
}

void SetPreshutdownTimeout(void)
{
    SC_HANDLE manager;
    DWORD error;
    SC_HANDLE service = OpenQv(SERVICE_CHANGE_CONFIG, &manager, &error);
    if (service != NULL) {
        SERVICE_PRESHUTDOWN_INFO info;
        info.dwPreshutdownTimeout = PRESHUTDOWN_TIMEOUT_MS;
        if (!g_Msi.ChangeServiceConfig2W(service, SERVICE_CONFIG_PRESHUTDOWN_INFO, &info)) {
            error = g_Msi.GetLastError();
        }
        CloseQv(manager, service);
    }
    LogF(L"QuelvaronAsterisk: tempo de parada no desligamento do Windows %d ms (resultado %lu)",
         PRESHUTDOWN_TIMEOUT_MS, (unsigned long)error);
}

/* Local system and the NT AUTHORITY accounts take an empty password. */
static int BuiltInAccount(const wchar_t *account)
{
    return _wcsicmp(account, L"LocalSystem") == 0 || _wcsicmp(account, L".\\LocalSystem") == 0 ||
           _wcsnicmp(account, L"NT AUTHORITY\\", 13) == 0;
}

/* A start name whose password the SCM never gives back; virtual accounts
** (NT SERVICE\...) and managed ones (...$) have none. */
static int NeedsPassword(const wchar_t *account)
{
    size_t length = wcslen(account);
    return length > 0 && !BuiltInAccount(account) && _wcsnicmp(account, L"NT SERVICE\\", 11) != 0 &&
           account[length - 1] != L'$';
}

static void PutConfig2(SC_HANDLE service)
{
    static wchar_t list[PATH_CHARS];
    DWORD value;
    if (StateText(L"Description", list, PATH_CHARS)) {
        SERVICE_DESCRIPTIONW description = {list};
        Change2(service, SERVICE_CONFIG_DESCRIPTION, &description, L"descricao");
    }
    PutRecovery(service, 1);
    if ((value = StateDword(L"FailureActionsOnNonCrashFailures", (DWORD)-1)) != (DWORD)-1) {
        SERVICE_FAILURE_ACTIONS_FLAG flag = {(BOOL)value};
        Change2(service, SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, &flag, L"recuperacao em paradas com erro");
    }
    if ((value = StateDword(L"DelayedAutostart", (DWORD)-1)) != (DWORD)-1) {
        SERVICE_DELAYED_AUTO_START_INFO delayed = {(BOOL)value};
        Change2(service, SERVICE_CONFIG_DELAYED_AUTO_START_INFO, &delayed, L"inicio atrasado");
    }
    if ((value = StateDword(L"PreshutdownTimeout", (DWORD)-1)) != (DWORD)-1) {
        SERVICE_PRESHUTDOWN_INFO preshutdown = {value};
        Change2(service, SERVICE_CONFIG_PRESHUTDOWN_INFO, &preshutdown, L"tempo de parada no desligamento");
    }
    if ((value = StateDword(L"ServiceSidType", (DWORD)-1)) != (DWORD)-1) {
        SERVICE_SID_INFO sid = {value};
        Change2(service, SERVICE_CONFIG_SERVICE_SID_INFO, &sid, L"tipo de SID");
    }
    if (StateText(L"RequiredPrivileges", list, PATH_CHARS)) {
        SERVICE_REQUIRED_PRIVILEGES_INFOW privileges = {list};
        Change2(service, SERVICE_CONFIG_REQUIRED_PRIVILEGES_INFO, &privileges, L"privilegios");
    }
    static BYTE security[65536];
    if (StateBinary(L"Security", security, sizeof(security)) > 0 &&
        !g_Msi.SetServiceObjectSecurity(service, DACL_SECURITY_INFORMATION, security)) {
        LogF(L"QuelvaronAsterisk: permissoes nao restauradas (Erro %lu)", (unsigned long)g_Msi.GetLastError());
    }
}

/* The captured basic configuration: made again when the service is gone. */
static SC_HANDLE PutRegistration(SC_HANDLE manager, SC_HANDLE service)
{
    static wchar_t image[PATH_CHARS], group[1024], dependencies[PATH_CHARS], account[1024], display[1024];
    StateText(L"ImagePath", image, PATH_CHARS);
    StateText(L"Group", group, 1024);
    int haveDependencies = StateText(L"Dependencies", dependencies, PATH_CHARS);
    StateText(L"ObjectName", account, 1024);
    StateText(L"DisplayName", display, 1024);
    DWORD type = StateDword(L"Type", SERVICE_WIN32_OWN_PROCESS);
    DWORD start = StateDword(L"Start", SERVICE_AUTO_START);
    DWORD errorControl = StateDword(L"ErrorControl", SERVICE_ERROR_NORMAL);
    const wchar_t *deps = haveDependencies ? dependencies : L"\0";

    if (service == NULL) {
        service = g_Msi.CreateServiceW(manager, SERVICE_NAME, display, SERVICE_ALL_ACCESS, type, start, errorControl,
                                       image, group[0] != L'\0' ? group : NULL, NULL, deps,
                                       account[0] != L'\0' ? account : NULL, NULL);
        if (service == NULL) {
            LogF(L"QuelvaronAsterisk: o registro anterior nao pode ser recriado (Erro %lu): %ls",
                 (unsigned long)g_Msi.GetLastError(), image);
            return NULL;
        }
        LogF(L"QuelvaronAsterisk: registro anterior recriado: %ls", image);
        if (NeedsPassword(account)) {
            LogF(L"QuelvaronAsterisk: a senha da conta %ls nao pode ser restaurada; informe-a de novo em Servicos",
                 account);
        }
        return service;
    }
    /* The account is named only when it changed: the password stays. */
    const wchar_t *newAccount = account;
    if (!QueryConfig(service)) {
        LogF(L"QuelvaronAsterisk: conta atual nao lida (Erro %lu); a anterior e dada de novo",
             (unsigned long)g_Msi.GetLastError());
    } else if (g_Answer.config.lpServiceStartName != NULL && _wcsicmp(g_Answer.config.lpServiceStartName, account) == 0) {
        newAccount = NULL;
    }
    if (!g_Msi.ChangeServiceConfigW(service, type, start, errorControl, image, group, NULL, deps,
                                    newAccount != NULL && newAccount[0] != L'\0' ? newAccount : NULL,
                                    newAccount != NULL && BuiltInAccount(newAccount) ? L"" : NULL, display)) {
        LogF(L"QuelvaronAsterisk: configuracao nao restaurada (Erro %lu)", (unsigned long)g_Msi.GetLastError());
    }
    return service;
}

/* A service that ran before: started through the SCM, its RUNNING awaited. */
static void StartAgain(void)
{
    SC_HANDLE manager;
    DWORD error;
    SERVICE_STATUS_PROCESS st;
    memset(&st, 0, sizeof(st));
    SC_HANDLE service = OpenQv(SERVICE_START, &manager, &error);
    if (service != NULL) {
        if (!g_Msi.StartServiceW(service, 0, NULL)) {
            error = g_Msi.GetLastError();
        }
        CloseQv(manager, service);
    }
    if (error != NO_ERROR && error != ERROR_SERVICE_ALREADY_RUNNING) {
        LogF(L"QuelvaronAsterisk nao pode ser iniciado de novo (Erro %lu)", (unsigned long)error);
        return;
    }
    DWORD start = g_Msi.GetTickCount();
    g_QueryError = NO_ERROR;
    while (QueryService(&st) == SVC_PRESENT && st.dwCurrentState == SERVICE_START_PENDING &&
           Elapsed(start) < RUNNING_TIMEOUT_MS) {
        g_Msi.Sleep(POLL_MS);
    }
    LogF(L"QuelvaronAsterisk iniciado de novo (estado %lu)", (unsigned long)st.dwCurrentState);
}

void RestoreService(void)
{
    SERVICE_STATUS_PROCESS st;
    DWORD disposition = StateDword(L"Disposition", (DWORD)-1);
    if (disposition == (DWORD)-1) {
        LogF(L"QuelvaronAsterisk: nada a restaurar (o servico nao foi alterado)");
        return;
    }
    if (disposition == REG_ABSENT) {
        /* Whatever this installation registered goes. */
        g_QueryError = NO_ERROR;
        if (QueryService(&st) != SVC_ABSENT) {
            StopAndWait();
            DWORD error = DeleteDirectly();
            WaitGone(GONE_GRACE_MS);
            LogF(L"QuelvaronAsterisk: registro desta instalacao removido (resultado %lu)", (unsigned long)error);
        }
        return;
    }
    SC_HANDLE manager = g_Msi.OpenSCManagerW(NULL, NULL, SC_MANAGER_CONNECT | SC_MANAGER_CREATE_SERVICE);
    if (manager == NULL) {
        LogF(L"QuelvaronAsterisk nao restaurado: Gerenciador de Servicos (Erro %lu)", (unsigned long)g_Msi.GetLastError());
        return;
    }
    SC_HANDLE service = g_Msi.OpenServiceW(manager, SERVICE_NAME,
                                           SERVICE_CHANGE_CONFIG | SERVICE_START | SERVICE_QUERY_CONFIG | WRITE_DAC);
    DWORD error = service == NULL ? g_Msi.GetLastError() : NO_ERROR;
    if (error != NO_ERROR && error != ERROR_SERVICE_MARKED_FOR_DELETE && error != ERROR_SERVICE_DOES_NOT_EXIST) {
        LogF(L"QuelvaronAsterisk nao restaurado: o servico nao abre (Erro %lu)", (unsigned long)error);
        g_Msi.CloseServiceHandle(manager);
        return;
    }
    if (error == ERROR_SERVICE_MARKED_FOR_DELETE) {
        g_Msi.CloseServiceHandle(manager);
        WaitGone(GONE_TIMEOUT_MS);
        manager = g_Msi.OpenSCManagerW(NULL, NULL, SC_MANAGER_CONNECT | SC_MANAGER_CREATE_SERVICE);
        if (manager == NULL) {
            LogF(L"QuelvaronAsterisk nao restaurado: Gerenciador de Servicos (Erro %lu)",
                 (unsigned long)g_Msi.GetLastError());
            return;
        }
    }
    service = PutRegistration(manager, service);
    if (service != NULL) {
        PutConfig2(service);
        g_Msi.CloseServiceHandle(service);
    }
    g_Msi.CloseServiceHandle(manager);
    DWORD state = StateDword(L"State", SERVICE_STOPPED);
    if (service != NULL && state != SERVICE_STOPPED && state != SERVICE_STOP_PENDING) {
        StartAgain();
    }
}

/* ---------------------------------------------------------------------- */
/* Started, and watched                                                    */

/* 1 when some live process has `parent` as its parent; -1 when the
** processes cannot be listed (GetLastError). */
static int HasChild(DWORD parent)
{
    int found = 0;
    HANDLE snapshot = g_Msi.CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) {
        return -1;
    }
    PROCESSENTRY32W entry;
    entry.dwSize = sizeof(entry);
    for (BOOL more = g_Msi.Process32FirstW(snapshot, &entry); more && !found;) {
        found = entry.th32ParentProcessID == parent && entry.th32ProcessID != parent;
        more = !found && g_Msi.Process32NextW(snapshot, &entry);
    }
    if (!found && g_Msi.GetLastError() != ERROR_NO_MORE_FILES) {
        found = -1;
    }
    DWORD error = g_Msi.GetLastError();
    g_Msi.CloseHandle(snapshot);
    g_Msi.SetLastError(error);
    return found;
}

/*
** Waits for RUNNING, then watches the service for SETTLE_MS: it must stay
** RUNNING and its host must keep a child (the PBX). A PBX that ends at once
** takes the service down within that time.
*/
static UINT WaitRunningWithPbx(const wchar_t *hostPath, int *stopped)
{
    SERVICE_STATUS_PROCESS st;
    DWORD start = g_Msi.GetTickCount();
    DWORD runningSince = 0;
    int running = 0;
    g_QueryError = NO_ERROR;

    for (;;) {
        int known = QueryService(&st);
        if (known == SVC_UNKNOWN) {
            return FailF(L"O estado do servico QuelvaronAsterisk nao pode ser lido (Erro %lu).",
                         (unsigned long)g_QueryError);
        }
        if (known != SVC_PRESENT) {
            return FailF(L"O servico QuelvaronAsterisk desapareceu durante a instalacao.");
        }
        if (st.dwCurrentState == SERVICE_STOP_PENDING || st.dwCurrentState == SERVICE_STOPPED) {
            /* The PBX has ended: the exit code is final once STOPPED. */
            *stopped = StopAndWait();
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
            int child = HasChild(st.dwProcessId);
            if (child < 0) {
                return FailF(L"Os processos em execucao nao podem ser listados (Erro %lu): o PBX do servico "
                             L"QuelvaronAsterisk nao pode ser verificado.",
                             (unsigned long)g_Msi.GetLastError());
            }
            if (!child) {
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

UINT StartAndWatch(const wchar_t *hostPath)
{
    DWORD exitCode;
    UINT result;
    int stopped = 0;
    int ran = RunHost(hostPath, L"-start", &exitCode);
    if (ran != HOST_RAN || exitCode != 0) {
        result = HostFailed(L"-start", ran, exitCode);
    } else {
        result = WaitRunningWithPbx(hostPath, &stopped);
    }
    /* A service that does not run with its PBX is not left running, whether
    ** or not a rollback follows. */
    if (result != ERROR_SUCCESS && !stopped) {
        StopAndWait();
    }
    return result;
}

/*
** Another version of the product installed beside the one whose script
** runs: its removal is then an upgrade's removal of the old version, and
** the service, the files the two share and the folder are the newer
** version's. Windows Installer says so with UPGRADINGPRODUCTCODE (the
** sequence's conditions); Wine's RemoveExistingProducts runs the removal as
** a plain uninstall without it, so the actions ask as well.
*/
int NewerVersionInstalled(MSIHANDLE install)
{
    wchar_t self[40], other[40];
    DWORD size = 40;
    UINT result = g_Msi.MsiGetPropertyW(install, L"ProductCode", self, &size);
    if (result != ERROR_SUCCESS) {
        LogF(L"ProductCode nao lido (Erro %u): tratado como a remocao deste produto", result);
    }
    if (result != ERROR_SUCCESS || self[0] == L'\0') {
        return 0;
    }
    DWORD i = 0;
    for (; (result = g_Msi.MsiEnumRelatedProductsW(UPGRADE_CODE, 0, i, other)) == ERROR_SUCCESS; i++) {
        if (_wcsicmp(other, self) != 0) {
            LogF(L"%ls continua instalado: esta e a remocao da versao anterior numa atualizacao; o servico, os "
                 L"arquivos em comum e a pasta ficam",
                 other);
            return 1;
        }
    }
    if (result != ERROR_NO_MORE_ITEMS) {
        LogF(L"Os produtos relacionados nao podem ser lidos (Erro %u): tratado como a remocao deste produto", result);
    }
    return 0;
}
