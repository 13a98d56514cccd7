/*
** quelvaron-service: runs the Asterisk PBX (asterisk.exe) as the Windows
** service "QuelvaronAsterisk".
**
** Three layers, top to bottom in this file:
**   - the PBX supervisor: find asterisk.exe, start it hidden as our child,
**     stop it gracefully (then by force), run it in the foreground for
**     debugging, and write event-log entries;
**   - the service thread (ServiceMain) and the control handler
**     (ServiceHandlerEx) that the SCM's dispatcher runs, and the status
**     record they report;
**   - the management command line (install, uninstall, start, stop, status,
**     console) and the dispatcher start.
**
** Every platform call goes through g_Win32 (win32_seam.h) so the unit tests
** can watch and steer it; the shipped program calls the real functions.
*/
#ifndef _CRT_SECURE_NO_WARNINGS
#define _CRT_SECURE_NO_WARNINGS /* strncpy is used bounded, its NUL set by hand */
#endif

#include "quelvaron_asterisk_service.h"
#include "win32_seam.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>

#define SERVICE_NAME "QuelvaronAsterisk"
#define SERVICE_DISPLAY_NAME "Quelvaron Asterisk PBX Service"
#define SERVICE_DESCRIPTION_TEXT \
    "Motor Asterisk PBX com chan_quelvaron e Quelvaron VoIP Core (WhatsApp & Telegram)"
#define EVENTLOG_KEY_FORMAT "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\%s"

#define COMMAND_LINE_SIZE 520
#define EVENT_TEXT_SIZE 512
/* Each part of the folder warning names the folder: with a path of 259
** characters each must fit whole, the icacls commands above all.  The event
** joins them all on one line. */
#define FOLDER_WARNING_SIZE 1024
#define REGISTRY_KEY_SIZE 256

#define STOP_REQUEST_WAIT_MS 5000
#define PBX_EXIT_WAIT_MS 8000

/* Recovery set on a fresh install: restart the PBX service after 5, 10 and
** 30 seconds; the failure count starts over after a day without failures. */
#define RECOVERY_RESET_PERIOD_S 86400
#define RECOVERY_RESTART_1_MS 5000
#define RECOVERY_RESTART_2_MS 10000
#define RECOVERY_RESTART_3_MS 30000

/* How long Windows waits for our stop on a preshutdown notice: the whole
** graceful stop (5 s for the stop request, 8 s for the PBX) with room to
** spare.  The system's default is 10 s. */
#define PRESHUTDOWN_TIMEOUT_MS 20000

/* Every state but START_PENDING accepts stop, pause/continue, shutdown and
** preshutdown.  After a shutdown notice Windows waits only
** WaitToKillServiceTimeout (often 5 s) and our stop may take 13 s; a
** preshutdown notice comes first and waits as long as the service's
** preshutdown timeout (set by -install), and no shutdown notice follows it. */
#define CONTROLS_ACCEPTED                                                            \
    (SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_PAUSE_CONTINUE | SERVICE_ACCEPT_SHUTDOWN | \
     SERVICE_ACCEPT_PRESHUTDOWN)

HANDLE g_ProcessHandle = NULL;
HANDLE g_JobHandle = NULL;
SERVICE_STATUS g_ServiceStatus;
SERVICE_STATUS_HANDLE g_StatusHandle = NULL;
HANDLE g_StopEvent = NULL;

/* A stop or shutdown reached the control handler during this run: the
** service then ends with exit code 0 however the PBX ended, so recovery
** never restarts what the administrator stopped.  Under the status lock. */
static BOOL g_StopRequested = FALSE;

/*
** The status lock.  The dispatcher runs the control handler on the main
** thread while ServiceMain runs on the service thread; both report.  The lock
** is held from the change of the record (the checkpoint counter's increment
** included) through SetServiceStatus, so every report is one consistent
** record, and it orders the stop event's hand-over: the handler signals only
** a non-null g_StopEvent while holding it, and the service thread clears
** g_StopEvent under it before closing the event.  The handler notes a stop
** request (g_StopRequested) in the same hold as its report, and the service
** thread reads it in the hold of its last one.
**
** One-time initialisation on first use: the handler can never meet an
** uninitialised lock, whichever thread gets there first.
*/
static CRITICAL_SECTION g_StatusLock;
static INIT_ONCE g_StatusLockOnce = INIT_ONCE_STATIC_INIT;

static BOOL CALLBACK InitStatusLock(PINIT_ONCE once, PVOID parameter, PVOID *context)
{
    (void)once;
    (void)parameter;
    (void)context;
    InitializeCriticalSection(&g_StatusLock);
    return TRUE;
}

static void LockStatus(void)
{
    InitOnceExecuteOnce(&g_StatusLockOnce, InitStatusLock, NULL, NULL);
    EnterCriticalSection(&g_StatusLock);
}

static void UnlockStatus(void)
{
    LeaveCriticalSection(&g_StatusLock);
}

/* ======================================================================
** PBX supervisor
** ====================================================================== */

/*
** Write one event-log entry.  The source is registered and released around
** every entry so nothing is kept between calls (both threads call this).
** The entry's only text is its insertion string, under event id 0; the
** program's message table turns that id into "%1" for the event viewer.
** An entry that cannot be written is dropped: the service runs its PBX
** without its log rather than not at all.
*/
void ReportServiceEvent(WORD type, const char *message)
{
    HANDLE source = g_Win32.RegisterEventSourceA(NULL, SERVICE_NAME);
    if (source == NULL) {
        return;
    }
    LPCSTR strings[1];
    strings[0] = message;
    g_Win32.ReportEventA(source, type, 0, 0, NULL, 1, 0, strings, NULL);
    g_Win32.DeregisterEventSource(source);
}

/* An error event whose text carries one error code. */
static void ReportErrorEvent(const char *format, DWORD error)
{
    char text[EVENT_TEXT_SIZE];
    snprintf(text, sizeof(text), format, error);
    ReportServiceEvent(EVENTLOG_ERROR_TYPE, text);
}

/*
** The program's own full path into a MAX_PATH buffer.  A path that fills the
** buffer was cut by the platform (and older systems leave it unterminated):
** it names some other file, so it counts as no path at all, as one that
** cannot be read does: the PBX's search and the folder check do without it.
*/
static int GetOwnPath(char *ownPath)
{
    DWORD length = g_Win32.GetModuleFileNameA(NULL, ownPath, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        ownPath[0] = '\0';
        return 0;
    }
    return 1;
}

/* Anything that exists passes, a directory too; what cannot be seen is
** passed over like what is absent. */
static int PathExists(const char *path)
{
    return g_Win32.GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES;
}

/*
** Choose the asterisk.exe to run: beside this program first, then the fixed
** install places, else the bare name for the platform's own search.  Not
** cached: every caller searches again.
*/
void FindAsteriskExecutable(char *path)
{
    static const char *const fixedCandidates[] = {
        "C:\\Asterisk\\bin\\asterisk.exe",
        "C:\\Program Files\\Quelvaron Asterisk\\bin\\asterisk.exe",
        "C:\\Program Files (x86)\\Quelvaron Asterisk\\bin\\asterisk.exe",
        "asterisk.exe", /* taken untested */
    };
    const size_t fixedCount = sizeof(fixedCandidates) / sizeof(fixedCandidates[0]);
    char ownPath[MAX_PATH];

    if (GetOwnPath(ownPath)) {
        char *lastSlash = strrchr(ownPath, '\\');
        if (lastSlash != NULL) {
            *lastSlash = '\0';
            /* A cut name is some other file, which we would run as local
            ** system: a candidate that does not fit is skipped untested. */
            int length = snprintf(path, MAX_PATH, "%s\\asterisk.exe", ownPath);
            if (length >= 0 && length < MAX_PATH && PathExists(path)) {
                return;
            }
        }
    }

    for (size_t i = 0; i < fixedCount; i++) {
        if (i == fixedCount - 1 || PathExists(fixedCandidates[i])) {
            strncpy(path, fixedCandidates[i], MAX_PATH - 1);
            path[MAX_PATH - 1] = '\0';
            return;
        }
    }
}

/* ======================================================================
** Who can write the folders the service runs from
** ====================================================================== */

/*
** Rights that let their holder replace what runs from a folder: create,
** change or delete its files, delete or rename it, change its permissions or
** its owner.  Generic rights are mapped to these first.
*/
#define FOLDER_WRITE_RIGHTS \
    (FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_DELETE_CHILD | DELETE | WRITE_DAC | WRITE_OWNER)

/* What an entry reaches: the folder itself, its files, its subfolders. */
#define REACHES_FOLDER 0x100
#define REACHES_MASK (REACHES_FOLDER | OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE)

/* The fix the warnings name: the MSI's own permissions for its program
** folder, by SID so that it works in every language of Windows. */
#define FOLDER_FIX_FORMAT                                                                     \
    "icacls \"%s\" /inheritance:r /grant:r *S-1-5-18:(OI)(CI)F *S-1-5-32-544:(OI)(CI)F " \
    "*S-1-5-32-545:(OI)(CI)RX"
#define FOLDER_EXPOSED_FORMAT                                                             \
    "A pasta '%s' pode ser alterada por usuarios que nao sao administradores: um programa " \
    "trocado nela roda como LocalSystem no proximo inicio do servico."
#define FOLDER_FIX_INTRO "Para proteger a pasta, execute como Administrador:"
/* Added when the owner is the trouble: the permissions alone would not bind
** an owner, who can always change them. */
#define FOLDER_OWNER_FIX_FORMAT "icacls \"%s\" /setowner *S-1-5-32-544 /T /C"

/* NT SERVICE\TrustedInstaller, which owns the system's own program folders. */
static const struct {
    BYTE Revision;
    BYTE SubAuthorityCount;
    SID_IDENTIFIER_AUTHORITY IdentifierAuthority;
    DWORD SubAuthority[6];
} g_TrustedInstallerSid = {SID_REVISION, 6, {SECURITY_NT_AUTHORITY},
                           {80, 956008885u, 3418522649u, 1831038044u, 1851688439u, 2271478464u}};

/* A security descriptor as GetFileSecurityA returns it: the largest holds an
** owner and a DACL of 64 KiB.  Used by one thread at a time (the command
** line, or the service thread at start), never by the control handler. */
static DWORD g_FolderSecurity[(sizeof(SECURITY_DESCRIPTOR_RELATIVE) + SECURITY_MAX_SID_SIZE +
                               65536 + sizeof(DWORD) - 1) / sizeof(DWORD)];

/* SYSTEM, Administrators and TrustedInstaller: trusted to write, and to own. */
static int IsTrustedAccount(PSID sid)
{
    return IsWellKnownSid(sid, WinLocalSystemSid) || IsWellKnownSid(sid, WinBuiltinAdministratorsSid) ||
           EqualSid(sid, (PSID)&g_TrustedInstallerSid);
}

/* CREATOR OWNER stands for whoever creates a file there, who already could. */
static int IsTrustedWriter(PSID sid)
{
    return IsTrustedAccount(sid) || IsWellKnownSid(sid, WinCreatorOwnerSid);
}

static DWORD FileRights(DWORD mask)
{
    GENERIC_MAPPING mapping = {FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE, FILE_ALL_ACCESS};
    MapGenericMask(&mask, &mapping);
    return mask;
}

static DWORD Reaches(const ACE_HEADER *header)
{
    DWORD reaches = header->AceFlags & (OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE);
    return (header->AceFlags & INHERIT_ONLY_ACE) ? reaches : reaches | REACHES_FOLDER;
}

/*
** The rights that deny entries before entry `index` take from `sid` (theirs
** or Everyone's), counting only entries that reach all that `reaches` names.
*/
static DWORD DeniedBefore(PACL dacl, DWORD index, PSID sid, DWORD reaches)
{
    DWORD denied = 0;
    for (DWORD i = 0; i < index; i++) {
        void *ace;
        if (!GetAce(dacl, i, &ace) || ((ACE_HEADER *)ace)->AceType != ACCESS_DENIED_ACE_TYPE) {
            continue;
        }
        ACCESS_DENIED_ACE *deny = (ACCESS_DENIED_ACE *)ace;
        PSID denySid = (PSID)&deny->SidStart;
        if ((reaches & ~Reaches(&deny->Header) & REACHES_MASK) == 0 &&
            (EqualSid(denySid, sid) || IsWellKnownSid(denySid, WinWorldSid))) {
            denied |= FileRights(deny->Mask);
        }
    }
    return denied;
}

/*
** An OWNER RIGHTS entry for the folder itself (allow or deny) replaces the
** owner's implicit rights over it; an inherit-only one is only for what it
** holds.
*/
static int HasOwnerRightsEntry(PACL dacl)
{
    for (DWORD i = 0; i < dacl->AceCount; i++) {
        void *ace;
        if (!GetAce(dacl, i, &ace)) {
            continue;
        }
        const ACE_HEADER *header = (const ACE_HEADER *)ace;
        if ((header->AceType == ACCESS_ALLOWED_ACE_TYPE || header->AceType == ACCESS_DENIED_ACE_TYPE) &&
            (header->AceFlags & INHERIT_ONLY_ACE) == 0 &&
            IsWellKnownSid((PSID)&((ACCESS_ALLOWED_ACE *)ace)->SidStart, WinCreatorOwnerRightsSid)) {
            return 1;
        }
    }
    return 0;
}

/*
** Who besides SYSTEM, Administrators and TrustedInstaller can write the
** folder or what it holds.  No DACL grants everyone everything.  An owner
** may always read and change the permissions, so an owner other than those
** three can give itself write, unless an OWNER RIGHTS entry takes those
** rights away; OWNER RIGHTS entries then grant that owner (and trusted ones
** are trusted).  Allow entries count wherever they reach (an inherit-only
** entry reaches the files inside); a deny entry counts only before the allow
** entry it meets and only where it reaches as far.  Entries of other types
** (object, callback) are not read.
*/
int FolderWritableByOthers(PSECURITY_DESCRIPTOR descriptor)
{
    BOOL present = FALSE, defaulted = FALSE;
    PACL dacl = NULL;
    PSID owner = NULL;
    if (!GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted)) {
        return 0;
    }
    if (!GetSecurityDescriptorOwner(descriptor, &owner, &defaulted)) {
        owner = NULL;
    }
    /* Without an owner no one holds an owner's rights. */
    int ownerTrusted = owner == NULL || IsTrustedAccount(owner);
    if (!present || dacl == NULL) {
        return FOLDER_OTHERS_WRITE | (ownerTrusted ? 0 : FOLDER_OWNER_WRITES);
    }
    int found = ownerTrusted || HasOwnerRightsEntry(dacl) ? 0 : FOLDER_OWNER_WRITES;
    for (DWORD i = 0; i < dacl->AceCount; i++) {
        void *ace;
        if (!GetAce(dacl, i, &ace) || ((ACE_HEADER *)ace)->AceType != ACCESS_ALLOWED_ACE_TYPE) {
            continue;
        }
        ACCESS_ALLOWED_ACE *allow = (ACCESS_ALLOWED_ACE *)ace;
        PSID sid = (PSID)&allow->SidStart;
        DWORD rights = FileRights(allow->Mask) & FOLDER_WRITE_RIGHTS;
        int ownerEntry = IsWellKnownSid(sid, WinCreatorOwnerRightsSid);
        if (rights == 0 || (ownerEntry ? ownerTrusted : IsTrustedWriter(sid))) {
            continue;
        }
        if (rights & ~DeniedBefore(dacl, i, sid, Reaches(&allow->Header))) {
            found |= ownerEntry ? FOLDER_OWNER_WRITES : FOLDER_OTHERS_WRITE;
        }
    }
    return found;
}

/*
** Warn when the folder holding `path` is open to other writers: on standard
** output for the command line, as a warning event for the service.  A path
** without a folder, or a folder whose permissions cannot be read, is
** passed over in silence.
*/
static void WarnIfFolderExposed(const char *path, int asEvent)
{
    char folder[MAX_PATH];
    char explanation[FOLDER_WARNING_SIZE];
    char fix[FOLDER_WARNING_SIZE];
    char ownerFix[FOLDER_WARNING_SIZE];
    DWORD needed = 0;

    snprintf(folder, sizeof(folder), "%s", path);
    char *lastSlash = strrchr(folder, '\\');
    if (lastSlash == NULL) {
        return;
    }
    /* "C:\x.exe" lives in "C:\", not in "C:" (the drive's current folder). */
    lastSlash[lastSlash == folder + 2 && folder[1] == ':' ? 1 : 0] = '\0';

    if (!g_Win32.GetFileSecurityA(folder, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                  g_FolderSecurity, sizeof(g_FolderSecurity), &needed)) {
        return;
    }
    int found = FolderWritableByOthers(g_FolderSecurity);
    if (found == 0) {
        return;
    }
    snprintf(explanation, sizeof(explanation), FOLDER_EXPOSED_FORMAT, folder);
    snprintf(fix, sizeof(fix), FOLDER_FIX_FORMAT, folder);
    ownerFix[0] = '\0';
    if (found & FOLDER_OWNER_WRITES) {
        snprintf(ownerFix, sizeof(ownerFix), FOLDER_OWNER_FIX_FORMAT, folder);
    }
    if (asEvent) {
        char text[2 * FOLDER_WARNING_SIZE];
        snprintf(text, sizeof(text), "%s %s %s%s%s", explanation, FOLDER_FIX_INTRO, fix,
                 ownerFix[0] != '\0' ? " " : "", ownerFix);
        ReportServiceEvent(EVENTLOG_WARNING_TYPE, text);
    } else {
        printf("[AVISO] %s\n[AVISO] %s\n  %s\n", explanation, FOLDER_FIX_INTRO, fix);
        if (ownerFix[0] != '\0') {
            printf("  %s\n", ownerFix);
        }
    }
}

/*
** The folders of this program and of the PBX it runs (`pbxPath`, as the
** search found it): a user who can write either can put their own program in
** the place of ours, and the service runs it as local system.  A warning
** only: a PBX installed by hand usually sits in such a folder.
*/
static void WarnAboutExposedFolders(const char *pbxPath, int asEvent)
{
    char ownPath[MAX_PATH];
    int ownFolderLength = -1;
    if (GetOwnPath(ownPath)) {
        WarnIfFolderExposed(ownPath, asEvent);
        const char *lastSlash = strrchr(ownPath, '\\');
        ownFolderLength = lastSlash != NULL ? (int)(lastSlash - ownPath) : -1;
    }
    const char *pbxSlash = strrchr(pbxPath, '\\');
    if (ownFolderLength >= 0 && pbxSlash != NULL && pbxSlash - pbxPath == ownFolderLength &&
        _strnicmp(pbxPath, ownPath, (size_t)ownFolderLength) == 0) {
        return; /* the same folder: checked once */
    }
    WarnIfFolderExposed(pbxPath, asEvent);
}

/* Run the PBX in the foreground of this console until it ends: 0, or 1 when
** the command interpreter cannot run it (the PBX's own exit code is its own). */
int RunInConsole(void)
{
    char exePath[MAX_PATH];
    char commandLine[COMMAND_LINE_SIZE];
    char shellCommand[COMMAND_LINE_SIZE + 2];

    printf("======================================================================\n");
    printf(" Quelvaron Asterisk PBX \xE2\x80\x94 Modo Console / Depuracao\n");
    printf(" Pressione Ctrl+C para encerrar o processo.\n");
    printf("======================================================================\n\n");

    FindAsteriskExecutable(exePath);
    snprintf(commandLine, sizeof(commandLine), "\"%s\" -f -vvvvv -c", exePath);
    printf("[Console] Executando: %s\n", commandLine);

    /*
    ** system() runs "cmd.exe /c <text>", and cmd keeps the quotes of a line
    ** only when it is one quoted program name holding a blank and none of
    ** &<>()@^|; otherwise it drops the line's first and last quote.  A path
    ** such as C:\Program Files (x86)\... would lose its quotes and split at
    ** its first blank.  One more pair around the whole line is the pair cmd
    ** drops, so the command line runs exactly as composed.
    */
    snprintf(shellCommand, sizeof(shellCommand), "\"%s\"", commandLine);

    /* The PBX writes to the same console: our lines must come first. */
    fflush(stdout);
    if (g_Win32.system(shellCommand) == -1) {
        printf("[ERRO] Falha ao executar o PBX pelo interpretador de comandos (Erro %d).\n", errno);
        return 1;
    }
    return 0;
}

/*
** A kill-on-close job holding the PBX: when the host ends, however it ends,
** Windows closes the job's last handle and ends the PBX with it, so a
** recovery restart never meets an orphaned PBX holding its ports.  Returns
** null when the job cannot be set up; the PBX then runs outside any job.
*/
static HANDLE PutPbxInJob(HANDLE process)
{
    HANDLE job = g_Win32.CreateJobObjectA(NULL, NULL);
    if (job == NULL) {
        return NULL;
    }
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits;
    memset(&limits, 0, sizeof(limits));
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (!g_Win32.SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits,
                                         sizeof(limits)) ||
        !g_Win32.AssignProcessToJobObject(job, process)) {
        g_Win32.CloseHandle(job); /* holds no process: ends nothing */
        return NULL;
    }
    return job;
}

/*
** Start the PBX hidden, as the service's child.  Returns 1 with the process
** handle in g_ProcessHandle (and its job in g_JobHandle), or 0 after an
** error event.
*/
int StartServiceProcess(void)
{
    char exePath[MAX_PATH];
    char commandLine[COMMAND_LINE_SIZE];
    char text[EVENT_TEXT_SIZE];
    STARTUPINFOA startup;
    PROCESS_INFORMATION process;

    FindAsteriskExecutable(exePath);
    WarnAboutExposedFolders(exePath, 1);
    snprintf(commandLine, sizeof(commandLine), "\"%s\" -f -vvv", exePath);

    memset(&startup, 0, sizeof(startup));
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_HIDE;
    memset(&process, 0, sizeof(process));

    snprintf(text, sizeof(text), "Disparando processo Asterisk PBX: %s", commandLine);
    ReportServiceEvent(EVENTLOG_INFORMATION_TYPE, text);

    if (!g_Win32.CreateProcessA(NULL, commandLine, NULL, NULL, FALSE,
                                CREATE_NO_WINDOW | NORMAL_PRIORITY_CLASS, NULL, NULL,
                                &startup, &process)) {
        DWORD error = g_Win32.GetLastError();
        snprintf(text, sizeof(text), "Falha ao iniciar processo Asterisk (Erro: %lu). Caminho: %s",
                 error, exePath);
        ReportServiceEvent(EVENTLOG_ERROR_TYPE, text);
        return 0;
    }

    g_JobHandle = PutPbxInJob(process.hProcess);
    g_ProcessHandle = process.hProcess;
    g_Win32.CloseHandle(process.hThread);
    return 1;
}

/*
** Stop the PBX: ask it to stop itself ("core stop gracefully" through a
** second asterisk.exe), give it 8 seconds, then terminate it.
**
** The stop request is ended when it outlives its 5 seconds: left running it
** would keep the files of bin\ in use.  It runs in the PBX's job, so it ends
** with the host as the PBX does; it starts suspended to be in the job before
** it runs at all.
*/
void StopServiceProcess(void)
{
    char exePath[MAX_PATH];
    char commandLine[COMMAND_LINE_SIZE];
    STARTUPINFOA startup;
    PROCESS_INFORMATION request;

    if (g_ProcessHandle == NULL) {
        return;
    }

    ReportServiceEvent(EVENTLOG_INFORMATION_TYPE,
                       "Encerrando processo Asterisk PBX de forma limpa...");

    FindAsteriskExecutable(exePath);
    snprintf(commandLine, sizeof(commandLine), "\"%s\" -rx \"core stop gracefully\"", exePath);

    memset(&startup, 0, sizeof(startup));
    startup.cb = sizeof(startup);
    memset(&request, 0, sizeof(request));

    /* A stop request that cannot start, cannot join the job or hangs is
    ** not fatal: the wait below and the forced end still follow. */
    if (g_Win32.CreateProcessA(NULL, commandLine, NULL, NULL, FALSE,
                               CREATE_NO_WINDOW | CREATE_SUSPENDED, NULL, NULL, &startup, &request)) {
        if (g_JobHandle != NULL) {
            g_Win32.AssignProcessToJobObject(g_JobHandle, request.hProcess);
        }
        /* Ended at once when it cannot be resumed (suspended, it would
        ** never end), or when it is not seen to end within its wait. A
        ** request that cannot be ended dies with the job. */
        if (g_Win32.ResumeThread(request.hThread) == (DWORD)-1 ||
            g_Win32.WaitForSingleObject(request.hProcess, STOP_REQUEST_WAIT_MS) != WAIT_OBJECT_0) {
            g_Win32.TerminateProcess(request.hProcess, 0);
        }
        g_Win32.CloseHandle(request.hProcess);
        g_Win32.CloseHandle(request.hThread);
    }

    /* The stop request may have taken the whole of the last wait hint: a new
    ** one, so the SCM sees progress before the PBX's wait. */
    ReportServiceStatus(SERVICE_STOP_PENDING, NO_ERROR, PBX_EXIT_WAIT_MS);

    /* A failed wait is no reason to end the PBX by force; it is said, and
    ** closing the job below ends whatever still runs in it. */
    DWORD waited = g_Win32.WaitForSingleObject(g_ProcessHandle, PBX_EXIT_WAIT_MS);
    if (waited == WAIT_TIMEOUT) {
        ReportServiceEvent(EVENTLOG_WARNING_TYPE,
                           "Processo Asterisk nao respondeu a tempo. Forcando finalizacao...");
        if (!g_Win32.TerminateProcess(g_ProcessHandle, 0)) {
            ReportErrorEvent("Falha ao finalizar o processo Asterisk (Erro: %lu).", g_Win32.GetLastError());
        }
    } else if (waited != WAIT_OBJECT_0) {
        ReportErrorEvent("Falha ao aguardar o fim do processo Asterisk (Erro: %lu).", g_Win32.GetLastError());
    }

    g_Win32.CloseHandle(g_ProcessHandle);
    g_ProcessHandle = NULL;
    /* Only now: closing the job ends whatever still runs in it. */
    if (g_JobHandle != NULL) {
        g_Win32.CloseHandle(g_JobHandle);
        g_JobHandle = NULL;
    }
}

/* ======================================================================
** Service control and status
** ====================================================================== */

/*
** Report a state to the SCM.  Pending states carry the next value of a
** counter that only ever grows while the program runs; the others carry 0.
*/
/* A report the SCM refuses is not repeated: the next one carries the whole
** record again, and the service goes on either way. */
void ReportServiceStatus(DWORD currentState, DWORD win32ExitCode, DWORD waitHint)
{
    static DWORD dwCheckPoint = 1;

    LockStatus();
    g_ServiceStatus.dwCurrentState = currentState;
    g_ServiceStatus.dwWin32ExitCode = win32ExitCode;
    g_ServiceStatus.dwWaitHint = waitHint;
    g_ServiceStatus.dwControlsAccepted =
        currentState == SERVICE_START_PENDING ? 0 : CONTROLS_ACCEPTED;
    if (currentState == SERVICE_START_PENDING || currentState == SERVICE_STOP_PENDING) {
        g_ServiceStatus.dwCheckPoint = dwCheckPoint++;
    } else {
        g_ServiceStatus.dwCheckPoint = 0;
    }
    g_Win32.SetServiceStatus(g_StatusHandle, &g_ServiceStatus);
    UnlockStatus();
}

/* Clear g_StopEvent under the lock first, so the handler cannot signal the
** event once it is being closed. */
static void CloseStopEvent(void)
{
    LockStatus();
    HANDLE stopEvent = g_StopEvent;
    g_StopEvent = NULL;
    UnlockStatus();
    g_Win32.CloseHandle(stopEvent);
}

/* The service thread: start the PBX, wait for a stop request or the PBX's
** own end, stop it, report stopped. */
void WINAPI ServiceMain(DWORD argc, LPSTR *argv)
{
    (void)argc;
    (void)argv;

    LockStatus();
    g_StopRequested = FALSE;
    UnlockStatus();

    g_StatusHandle = g_Win32.RegisterServiceCtrlHandlerExA(SERVICE_NAME, ServiceHandlerEx, NULL);
    if (g_StatusHandle == NULL) {
        /* No status can be reported without it: the event log says why. */
        ReportErrorEvent("Falha ao registrar o controle do servico junto ao SCM (Erro: %lu).",
                         g_Win32.GetLastError());
        return;
    }

    LockStatus();
    g_ServiceStatus.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    g_ServiceStatus.dwServiceSpecificExitCode = 0;
    ReportServiceStatus(SERVICE_START_PENDING, NO_ERROR, 5000);
    UnlockStatus();

    HANDLE stopEvent = g_Win32.CreateEventA(NULL, TRUE, FALSE, NULL);
    if (stopEvent == NULL) {
        DWORD error = g_Win32.GetLastError();
        ReportServiceStatus(SERVICE_STOPPED, error, 0);
        return;
    }
    LockStatus();
    g_StopEvent = stopEvent;
    UnlockStatus();

    ReportServiceEvent(EVENTLOG_INFORMATION_TYPE,
                       "Servico Quelvaron Asterisk inicializado. Carregando motor PBX...");

    if (!StartServiceProcess()) {
        ReportServiceStatus(SERVICE_STOPPED, ERROR_PROCESS_ABORTED, 0);
        CloseStopEvent();
        return;
    }

    ReportServiceStatus(SERVICE_RUNNING, NO_ERROR, 0);
    ReportServiceEvent(EVENTLOG_INFORMATION_TYPE, "Servico Quelvaron Asterisk em execucao continua.");

    /* Stop event first: when both are signalled, the stop request wins. */
    HANDLE waitObjects[2];
    waitObjects[0] = stopEvent;
    waitObjects[1] = g_ProcessHandle;
    DWORD exitCode = NO_ERROR;
    DWORD waitResult = g_Win32.WaitForMultipleObjects(2, waitObjects, FALSE, INFINITE);
    if (waitResult == WAIT_OBJECT_0 + 1) {
        ReportServiceEvent(EVENTLOG_WARNING_TYPE, "Processo Asterisk terminou inesperadamente.");
        /* A failure, not a clean stop: the SCM's recovery restarts us. */
        exitCode = ERROR_PROCESS_ABORTED;
    } else if (waitResult != WAIT_OBJECT_0) {
        /* The wait itself failed: the PBX is stopped as on a request, but
        ** the service ends as failed, for recovery and monitoring to see. */
        ReportErrorEvent("Falha ao aguardar o processo Asterisk (Erro: %lu); o PBX sera encerrado.",
                         g_Win32.GetLastError());
        exitCode = ERROR_PROCESS_ABORTED;
    }

    ReportServiceStatus(SERVICE_STOP_PENDING, NO_ERROR, 5000);
    StopServiceProcess();
    CloseStopEvent();
    /* A stop that came after the PBX's end (before or during our own stop)
    ** still wins: the administrator asked for it. */
    LockStatus();
    if (g_StopRequested) {
        exitCode = NO_ERROR;
    }
    ReportServiceStatus(SERVICE_STOPPED, exitCode, 0);
    UnlockStatus();
    ReportServiceEvent(EVENTLOG_INFORMATION_TYPE, "Servico Quelvaron Asterisk parado com sucesso.");
}

/* Control requests from the SCM, on the dispatcher's (main) thread.  Shutdown
** and preshutdown stop as a stop does.  Pause and continue change only the
** reported state: the PBX keeps running. */
DWORD WINAPI ServiceHandlerEx(DWORD control, DWORD eventType, LPVOID eventData, LPVOID context)
{
    (void)eventType;
    (void)eventData;
    (void)context;

    switch (control) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN:
    case SERVICE_CONTROL_PRESHUTDOWN: {
        ReportServiceEvent(EVENTLOG_INFORMATION_TYPE, "Comando de parada recebido do SCM.");
        LockStatus();
        g_StopRequested = TRUE;
        ReportServiceStatus(SERVICE_STOP_PENDING, NO_ERROR, 10000);
        DWORD signalError = NO_ERROR;
        if (g_StopEvent != NULL && !g_Win32.SetEvent(g_StopEvent)) {
            signalError = g_Win32.GetLastError();
        }
        UnlockStatus();
        if (signalError != NO_ERROR) {
            ReportErrorEvent("Falha ao sinalizar a parada ao servico (Erro: %lu).", signalError);
        }
        return NO_ERROR;
    }

    case SERVICE_CONTROL_PAUSE:
        ReportServiceEvent(EVENTLOG_INFORMATION_TYPE,
                           "Comando de pausa recebido. Novas conexoes VoIP pausadas.");
        ReportServiceStatus(SERVICE_PAUSED, NO_ERROR, 0);
        return NO_ERROR;

    case SERVICE_CONTROL_CONTINUE:
        ReportServiceEvent(EVENTLOG_INFORMATION_TYPE,
                           "Comando de continuacao recebido. Retomando servico.");
        ReportServiceStatus(SERVICE_RUNNING, NO_ERROR, 0);
        return NO_ERROR;

    case SERVICE_CONTROL_INTERROGATE:
        LockStatus();
        g_Win32.SetServiceStatus(g_StatusHandle, &g_ServiceStatus);
        UnlockStatus();
        return NO_ERROR;

    default:
        return ERROR_CALL_NOT_IMPLEMENTED;
    }
}

/* ======================================================================
** Management command line
** ====================================================================== */

/* The command line's own texts, kept as administrators and scripts know them
** (they carry no error code). */
static void PrintManagerFailed(void)
{
    printf("[ERRO] Nao foi possivel abrir o Gerenciador de Servicos (execute como Administrador).\n");
}

/* The service is not there (1060), or could not be opened. */
static void PrintOpenFailed(void)
{
    DWORD error = g_Win32.GetLastError();
    if (error == ERROR_SERVICE_DOES_NOT_EXIST) {
        printf("[ERRO] Servico '%s' nao encontrado.\n", SERVICE_NAME);
    } else {
        printf("[ERRO] Falha ao abrir servico (Erro %lu).\n", error);
    }
}

/*
** Recovery of a freshly created service: restart after 5, 10, then 30
** seconds, and count a stop with a nonzero exit code (a PBX that ended by
** itself) as a failure too, not only a crash of the host.  Results are
** ignored, as the description's: the service works without them.
*/
static void SetServiceRecovery(SC_HANDLE service)
{
    SC_ACTION actions[3];
    actions[0].Type = SC_ACTION_RESTART;
    actions[0].Delay = RECOVERY_RESTART_1_MS;
    actions[1].Type = SC_ACTION_RESTART;
    actions[1].Delay = RECOVERY_RESTART_2_MS;
    actions[2].Type = SC_ACTION_RESTART;
    actions[2].Delay = RECOVERY_RESTART_3_MS;

    SERVICE_FAILURE_ACTIONSA failureActions;
    failureActions.dwResetPeriod = RECOVERY_RESET_PERIOD_S;
    failureActions.lpRebootMsg = NULL;
    failureActions.lpCommand = NULL;
    failureActions.cActions = sizeof(actions) / sizeof(actions[0]);
    failureActions.lpsaActions = actions;
    g_Win32.ChangeServiceConfig2A(service, SERVICE_CONFIG_FAILURE_ACTIONS, &failureActions);

    SERVICE_FAILURE_ACTIONS_FLAG failureActionsFlag;
    failureActionsFlag.fFailureActionsOnNonCrashFailures = TRUE;
    g_Win32.ChangeServiceConfig2A(service, SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, &failureActionsFlag);
}

static int InstallService(void)
{
    char ownPath[MAX_PATH];
    /* The registered command line: the path in quotes, or a path with blanks
    ** such as C:\Program Files\... lets the SCM try C:\Program.exe first. */
    char quotedPath[MAX_PATH + 2];
    char keyPath[REGISTRY_KEY_SIZE];
    /* SERVICE_DESCRIPTIONA wants a writable pointer. */
    static char description[] = SERVICE_DESCRIPTION_TEXT;

    if (!GetOwnPath(ownPath)) {
        printf("[ERRO] Nao foi possivel obter o caminho do binario.\n");
        return 1;
    }
    snprintf(quotedPath, sizeof(quotedPath), "\"%s\"", ownPath);

    SC_HANDLE manager = g_Win32.OpenSCManagerA(NULL, NULL, SC_MANAGER_ALL_ACCESS);
    if (manager == NULL) {
        PrintManagerFailed();
        return 1;
    }

    SC_HANDLE service = g_Win32.CreateServiceA(
        manager, SERVICE_NAME, SERVICE_DISPLAY_NAME, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
        SERVICE_AUTO_START, SERVICE_ERROR_NORMAL, quotedPath, NULL, NULL, NULL, NULL, NULL);
    if (service != NULL) {
        SERVICE_DESCRIPTIONA serviceDescription;
        serviceDescription.lpDescription = description;
        g_Win32.ChangeServiceConfig2A(service, SERVICE_CONFIG_DESCRIPTION, &serviceDescription);
        SetServiceRecovery(service);
        /* Ignored when refused, as the description and the recovery are. */
        SERVICE_PRESHUTDOWN_INFO preshutdown;
        preshutdown.dwPreshutdownTimeout = PRESHUTDOWN_TIMEOUT_MS;
        g_Win32.ChangeServiceConfig2A(service, SERVICE_CONFIG_PRESHUTDOWN_INFO, &preshutdown);
        g_Win32.CloseServiceHandle(service);
        printf("[OK] Servico '%s' instalado com sucesso!\n", SERVICE_DISPLAY_NAME);
    } else {
        DWORD error = g_Win32.GetLastError();
        if (error != ERROR_SERVICE_EXISTS) {
            printf("[ERRO] Falha ao criar servico (Erro %lu).\n", error);
            g_Win32.CloseServiceHandle(manager);
            return 1;
        }
        /* Already there: leave its configuration alone, but refresh the
        ** event-log registration below (the program may have moved). */
        printf("[INFO] O servico '%s' ja esta instalado.\n", SERVICE_NAME);
    }

    /* The service runs without it: said, not fatal. */
    HKEY key;
    snprintf(keyPath, sizeof(keyPath), EVENTLOG_KEY_FORMAT, SERVICE_NAME);
    LONG result = g_Win32.RegCreateKeyExA(HKEY_LOCAL_MACHINE, keyPath, 0, NULL, REG_OPTION_NON_VOLATILE,
                                          KEY_SET_VALUE, NULL, &key, NULL);
    if (result == ERROR_SUCCESS) {
        DWORD typesSupported =
            EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE;
        result = g_Win32.RegSetValueExA(key, "TypesSupported", 0, REG_DWORD,
                                        (const BYTE *)&typesSupported, sizeof(typesSupported));
        if (result == ERROR_SUCCESS) {
            result = g_Win32.RegSetValueExA(key, "EventMessageFile", 0, REG_EXPAND_SZ, (const BYTE *)ownPath,
                                            (DWORD)strlen(ownPath) + 1);
        }
        g_Win32.RegCloseKey(key);
    }
    if (result != ERROR_SUCCESS) {
        printf("[AVISO] A origem de eventos '%s' nao pode ser registrada (Erro %ld): o Visualizador de Eventos "
               "mostra as entradas do servico sem o seu texto.\n",
               SERVICE_NAME, (long)result);
    }

    /* Registered either way; the warning comes after its result line. */
    char pbxPath[MAX_PATH];
    FindAsteriskExecutable(pbxPath);
    WarnAboutExposedFolders(pbxPath, 0);

    g_Win32.CloseServiceHandle(manager);
    return 0;
}

static int UninstallService(void)
{
    SC_HANDLE manager = g_Win32.OpenSCManagerA(NULL, NULL, SC_MANAGER_ALL_ACCESS);
    if (manager == NULL) {
        PrintManagerFailed();
        return 1;
    }

    SC_HANDLE service = g_Win32.OpenServiceA(manager, SERVICE_NAME, DELETE | SERVICE_STOP);
    if (service == NULL) {
        PrintOpenFailed();
        g_Win32.CloseServiceHandle(manager);
        return 1;
    }

    /* Deletion takes effect once the service has stopped; no waiting here.
    ** A refused stop (a service already stopped) changes nothing: the
    ** deletion is what counts. */
    SERVICE_STATUS status;
    g_Win32.ControlService(service, SERVICE_CONTROL_STOP, &status);

    int exitCode = 0;
    if (g_Win32.DeleteService(service)) {
        printf("[OK] Servico '%s' removido com sucesso.\n", SERVICE_NAME);
    } else {
        printf("[ERRO] Falha ao remover servico (Erro %lu).\n", g_Win32.GetLastError());
        exitCode = 1;
    }

    g_Win32.CloseServiceHandle(service);
    g_Win32.CloseServiceHandle(manager);
    return exitCode;
}

/* Close what a start or stop command opened, service handle first. */
static void CloseCommandHandles(SC_HANDLE service, SC_HANDLE manager)
{
    if (service != NULL) {
        g_Win32.CloseServiceHandle(service);
    }
    if (manager != NULL) {
        g_Win32.CloseServiceHandle(manager);
    }
}

static int StartServiceCommand(void)
{
    SC_HANDLE service = NULL;
    SC_HANDLE manager = g_Win32.OpenSCManagerA(NULL, NULL, SC_MANAGER_CONNECT);
    if (manager != NULL) {
        service = g_Win32.OpenServiceA(manager, SERVICE_NAME, SERVICE_START);
        if (service != NULL && g_Win32.StartServiceA(service, 0, NULL)) {
            printf("[OK] Solicitacao de inicio do servico enviada com sucesso.\n");
            CloseCommandHandles(service, manager);
            return 0;
        }
    }
    CloseCommandHandles(service, manager);
    printf("[ERRO] Falha ao iniciar servico (Erro %lu).\n", g_Win32.GetLastError());
    return 1;
}

static int StopServiceCommand(void)
{
    SERVICE_STATUS status;
    SC_HANDLE service = NULL;
    SC_HANDLE manager = g_Win32.OpenSCManagerA(NULL, NULL, SC_MANAGER_CONNECT);
    if (manager != NULL) {
        service = g_Win32.OpenServiceA(manager, SERVICE_NAME, SERVICE_STOP);
        if (service != NULL && g_Win32.ControlService(service, SERVICE_CONTROL_STOP, &status)) {
            printf("[OK] Solicitacao de parada do servico enviada com sucesso.\n");
            CloseCommandHandles(service, manager);
            return 0;
        }
    }
    CloseCommandHandles(service, manager);
    printf("[ERRO] Falha ao parar servico (Erro %lu).\n", g_Win32.GetLastError());
    return 1;
}

static const char *ServiceStateText(DWORD state)
{
    switch (state) {
    case SERVICE_STOPPED: return "PARADO (STOPPED)";
    case SERVICE_START_PENDING: return "INICIANDO (START_PENDING)";
    case SERVICE_STOP_PENDING: return "PARANDO (STOP_PENDING)";
    case SERVICE_RUNNING: return "EM EXECUCAO (RUNNING)";
    case SERVICE_CONTINUE_PENDING: return "RETOMANDO (CONTINUE_PENDING)";
    case SERVICE_PAUSE_PENDING: return "PAUSANDO (PAUSE_PENDING)";
    case SERVICE_PAUSED: return "PAUSADO (PAUSED)";
    default: return NULL;
    }
}

static int ShowServiceStatus(void)
{
    SC_HANDLE manager = g_Win32.OpenSCManagerA(NULL, NULL, SC_MANAGER_CONNECT);
    if (manager == NULL) {
        printf("[ERRO] Nao foi possivel conectar ao Gerenciador de Servicos.\n");
        return 1;
    }

    SC_HANDLE service = g_Win32.OpenServiceA(manager, SERVICE_NAME, SERVICE_QUERY_STATUS);
    if (service == NULL) {
        DWORD error = g_Win32.GetLastError();
        if (error == ERROR_SERVICE_DOES_NOT_EXIST) {
            printf("Servico '%s': NAO INSTALADO\n", SERVICE_NAME);
        } else {
            printf("[ERRO] Falha ao abrir servico (Erro %lu).\n", error);
        }
        g_Win32.CloseServiceHandle(manager);
        return 1;
    }

    SERVICE_STATUS_PROCESS status;
    DWORD bytesNeeded = 0;
    memset(&status, 0, sizeof(status));
    if (!g_Win32.QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, (LPBYTE)&status,
                                      sizeof(status), &bytesNeeded)) {
        printf("[ERRO] Falha ao consultar o estado do servico (Erro %lu).\n", g_Win32.GetLastError());
        g_Win32.CloseServiceHandle(service);
        g_Win32.CloseServiceHandle(manager);
        return 1;
    }

    printf("Servico: %s (%s)\n", SERVICE_DISPLAY_NAME, SERVICE_NAME);
    printf("Estado:  ");
    const char *stateText = ServiceStateText(status.dwCurrentState);
    if (stateText != NULL) {
        printf("%s\n", stateText);
    } else {
        printf("DESCONHECIDO (%lu)\n", status.dwCurrentState);
    }
    printf("PID:     %lu\n", status.dwProcessId);

    g_Win32.CloseServiceHandle(service);
    g_Win32.CloseServiceHandle(manager);
    return 0;
}

/* No argument: become the service.  From a console this fails with 1063,
** and the user gets the help text instead. */
static int RunServiceDispatcher(const char *programName)
{
    char serviceName[] = SERVICE_NAME;
    SERVICE_TABLE_ENTRYA dispatchTable[2];
    dispatchTable[0].lpServiceName = serviceName;
    dispatchTable[0].lpServiceProc = ServiceMain;
    dispatchTable[1].lpServiceName = NULL;
    dispatchTable[1].lpServiceProc = NULL;

    if (g_Win32.StartServiceCtrlDispatcherA(dispatchTable)) {
        return 0;
    }
    if (g_Win32.GetLastError() == ERROR_FAILED_SERVICE_CONTROLLER_CONNECT) {
        printf("Quelvaron Asterisk PBX Service\n");
        printf("Este executavel foi projetado para rodar como Servico do Windows.\n");
        printf("Para executar em modo interativo de teste, use:\n");
        printf("  %s -console\n\n", programName);
        printf("Para gerenciar o servico:\n");
        printf("  %s -install    (Registra o servico no Windows)\n", programName);
        printf("  %s -uninstall  (Remove o servico do Windows)\n", programName);
        printf("  %s -start      (Inicia o servico)\n", programName);
        printf("  %s -stop       (Para o servico)\n", programName);
        printf("  %s -status     (Verifica o status atual)\n", programName);
    }
    return 1;
}

/* Whole-string match, any letter case, against either spelling. */
static int IsOption(const char *argument, const char *spelling1, const char *spelling2)
{
    return _stricmp(argument, spelling1) == 0 || _stricmp(argument, spelling2) == 0;
}

int ServiceCommandMain(int argc, char **argv)
{
    const char *programName = argc > 0 && argv[0] != NULL ? argv[0] : "";

    if (argc <= 1) {
        return RunServiceDispatcher(programName);
    }

    /* Only the first argument counts; the rest are ignored. */
    const char *option = argv[1];
    if (IsOption(option, "-install", "/install")) {
        return InstallService();
    }
    if (IsOption(option, "-uninstall", "/uninstall")) {
        return UninstallService();
    }
    if (IsOption(option, "-start", "/start")) {
        return StartServiceCommand();
    }
    if (IsOption(option, "-stop", "/stop")) {
        return StopServiceCommand();
    }
    if (IsOption(option, "-status", "/status")) {
        return ShowServiceStatus();
    }
    if (IsOption(option, "-console", "-debug")) { /* no slash forms */
        return RunInConsole();
    }

    printf("Uso: %s [-install | -uninstall | -start | -stop | -status | -console]\n", programName);
    return 1;
}

#ifndef QUELVARON_SERVICE_NO_MAIN
int main(int argc, char **argv)
{
    return ServiceCommandMain(argc, argv);
}
#endif
