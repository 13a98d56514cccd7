/*
** What the MSI's custom actions share, one concern a file:
**   msi_log.cpp      the installer's log, CustomActionData and its fields
**   msi_state.cpp    the setup state kept between the actions of one
**                    installation (the registry), the actions' privileges
**   msi_service.cpp  the service through the SCM: stop, capture, restore,
**                    remove, start and watch
**   msi_host.cpp     the installed host's own commands, and the programs
**                    still running from the product's folders
**   msi_files.cpp    the product's folder trees: what an uninstall keeps,
**                    PURGE=1, and who owns what the product installs
**   msi_firewall.cpp Windows Firewall's rules for the PBX
**   msi_account.cpp  the service's logon account (SERVICE_ACCOUNT)
**   msi_actions.cpp  the exported entry points
**
** One action runs at a time in this process, so the buffers are static.
** Every call to Windows goes through g_Msi (msi_seam.h).
*/
#ifndef QUELVARON_MSI_ACTIONS_H
#define QUELVARON_MSI_ACTIONS_H

#include "msi_seam.h"

#include <stddef.h>

#define SERVICE_NAME L"QuelvaronAsterisk"

#define POLL_MS 100
/* The host gives its PBX up to 13 s to stop before ending it by force. */
#define STOP_TIMEOUT_MS 45000
/* A process ended by force: its process object goes at once, or never. */
#define KILL_WAIT_MS 10000
/* A registration that is only marked for deletion disappears when the last
** handle on it closes; a new one waits this long for that. */
#define GONE_TIMEOUT_MS 30000
/* After -uninstall or DeleteService, how long an unheld service takes to go. */
#define GONE_GRACE_MS 2000
#define RUNNING_TIMEOUT_MS 30000
/* How long a started service must keep running with its PBX. */
#define SETTLE_MS 3000
/* The whole graceful stop (13 s) with room to spare: Windows' default
** preshutdown timeout is 10 s. */
#define PRESHUTDOWN_TIMEOUT_MS 20000

/* The longest path Windows allows, with its NUL. */
#define PATH_CHARS 32768
#define TEXT_CHARS (PATH_CHARS + 1024)
/* CustomActionData: a few fields and paths beside the longest one. */
#define DATA_CHARS (2 * PATH_CHARS)
/* Lines of files kept (or not removed) in the log before a count. */
#define LIST_MAX 50

/* ---- msi_log.cpp ------------------------------------------------------ */

extern MSIHANDLE g_Install;
/* CustomActionData, split into fields by SplitData. */
extern wchar_t g_Data[DATA_CHARS];
/* Scratch for a process's image name. */
extern wchar_t g_Image[PATH_CHARS];

void LogF(const wchar_t *format, ...);
/* The message an administrator sees (the log of a silent install); returns
** ERROR_INSTALL_FAILURE. */
UINT FailF(const wchar_t *format, ...);
/* Bounded formatting, always terminated; the length written, or -1 cut. */
int FormatInto(wchar_t *out, size_t size, const wchar_t *format, ...);
DWORD Elapsed(DWORD since);

/*
** CustomActionData into g_Data: 1 when read (it may be empty), 0 when it is
** longer than DATA_CHARS - 1 (logged), -1 when it cannot be read (the
** failure's message given; the action fails). g_Data is empty unless read.
*/
int ReadActionData(MSIHANDLE install);
/*
** CustomActionData is "field|field|...": Windows forbids '|' in paths. The
** first `fixed` separators end fields 0..fixed-1; the rest of the text is the
** last field (for lists that are '|'-joined themselves). Missing fields are
** empty.
*/
void SplitData(int fixed);
const wchar_t *Field(int index);
/* The next name of a '|'-joined list into `name`; 0 at its end. */
int NextListName(const wchar_t **cursor, wchar_t *name, size_t size);

/* 1 in a rollback action run as one; otherwise logged, and 0. */
int InRollback(const wchar_t *action);
/* A RollbackDisabled value from CustomActionData, said in the log. */
void NoteRollbackDisabled(const wchar_t *value);

/* ---- msi_state.cpp ---------------------------------------------------- */

/* What the SCM held when an installation began (the "Disposition"). */
enum { REG_ABSENT = 0, REG_OURS = 1, REG_OTHER = 2 };

DWORD StateDword(const wchar_t *name, DWORD otherwise);
void StateSetDword(const wchar_t *name, DWORD value);
/* REG_SZ or REG_MULTI_SZ; `chars` counts every NUL to store. */
void StateSetText(const wchar_t *name, DWORD type, const wchar_t *text, size_t chars);
/* A text value into `text` (its NULs kept); 0 when absent. */
int StateText(const wchar_t *name, wchar_t *text, size_t chars);
void StateSetBinary(const wchar_t *name, const void *data, DWORD size);
/* A binary value into `data`; its size, or 0 when absent or larger. */
DWORD StateBinary(const wchar_t *name, void *data, DWORD size);
/* 1 when there is a setup state; 0 when there is none, or when it cannot be
** read (*error set, logged). */
int StatePresent(LONG *error);
/* Forgets the state (and Software\Quelvaron when nothing else is left). */
void StateClear(void);
/* The product's own key (HKLM\Software\Quelvaron\Quelvaron Asterisk PBX). */
void ProductSetText(const wchar_t *name, const wchar_t *text);
/* A value of it gone, and the key too when nothing is left in it. */
void ProductForget(const wchar_t *name);
/* Enables a privilege the actions' account holds; 1 when enabled. */
int EnablePrivilege(const wchar_t *name);

/* ---- msi_service.cpp -------------------------------------------------- */

/* What the SCM says of the service; SVC_UNKNOWN when it cannot be asked
** (the error logged, and in g_QueryError until a query succeeds). */
enum { SVC_ABSENT, SVC_PRESENT, SVC_MARKED, SVC_UNKNOWN };
extern DWORD g_QueryError;

int QueryService(SERVICE_STATUS_PROCESS *st);
/*
** Stops the service if it runs and waits until it has stopped and its host
** process has ended; past the deadline the host is ended. 1 when stopped,
** absent or ended; 0 when the host is still there, or may be.
*/
int StopAndWait(void);
/* The failure of a StopAndWait that returned 0, for a deferred action: the
** product's files cannot be `what` ("substituidos", ...). */
UINT StopFailed(const wchar_t *what);
/* Any registration stopped and removed (by the host's -uninstall, else the
** SCM); *held when it is only marked for deletion. */
UINT RemoveService(const wchar_t *hostPath, int *held);
int WaitGone(DWORD timeoutMs);
/* Through the SCM, without the host: NO_ERROR or the SCM's error. */
DWORD DeleteDirectly(void);
/* The registration as it is now, into the state: REG_ABSENT, REG_OURS (its
** program is the file `hostPath` names) or REG_OTHER. */
int CaptureService(const wchar_t *hostPath);
/* The captured registration put back, and started if it ran. */
void RestoreService(void);
/* The captured recovery actions put back on the service. */
void RestoreRecovery(void);
void SetPreshutdownTimeout(void);
/* -start, then RUNNING with its PBX for SETTLE_MS; on failure stopped. */
UINT StartAndWatch(const wchar_t *hostPath);
/* 1 when another version of the product is installed beside this one. */
int NewerVersionInstalled(MSIHANDLE install);

/* ---- msi_host.cpp ----------------------------------------------------- */

/* How a host command went (its exit code apart); HOST_LOST: it ran, but
** its end or its exit code could not be read. */
enum { HOST_RAN, HOST_NOT_RUN, HOST_TIMED_OUT, HOST_LOST };

int RunHost(const wchar_t *hostPath, const wchar_t *option, DWORD *exitCode);
UINT HostFailed(const wchar_t *option, int result, DWORD exitCode);
/* The host's path fits its MAX_PATH ANSI buffers: ERROR_SUCCESS, or a
** failure with the administrator's message. */
UINT CheckHostPath(const wchar_t *hostPath);
/*
** Ends every program still running from the product's folders: the
** payload's top-level entries `topLevel` ('|'-joined) under `installDir`,
** or, without them, the host's own folder.
*/
void EndProductPrograms(const wchar_t *hostPath, const wchar_t *installDir, const wchar_t *topLevel);

/* ---- msi_firewall.cpp ------------------------------------------------- */

/* An immediate action's property, read into a buffer of its own (up to 2047
** characters; empty when absent); NULL when it cannot be read (the
** failure's message given; the action fails). */
const wchar_t *Property(MSIHANDLE install, const wchar_t *name);
/* FIREWALL and its values against their grammar: ERROR_SUCCESS, or a
** failure with a message naming the property. */
UINT CheckFirewallValues(MSIHANDLE install);

/* ---- msi_account.cpp -------------------------------------------------- */

/* SERVICE_ACCOUNT checked, and QvAccountVirtual set for the lock rows. */
UINT ReadAccount(MSIHANDLE install);

/* ---- msi_files.cpp ---------------------------------------------------- */

/* The uninstall's end: PURGE=1 or the list of what stays. */
void FinishRemoval(int purge, int shared, const wchar_t *installDir, const wchar_t *topLevel);
/* Owners and permissions of what the product installs: UINT result. */
UINT SecureFolders(const wchar_t *installDir, const wchar_t *topLevel);
/* 1 when `installDir` does not exist or holds nothing but entries named in
** the '|'-joined `topLevel` (what an earlier installation kept). */
int FolderHoldsOnly(const wchar_t *installDir, const wchar_t *topLevel);

#endif /* QUELVARON_MSI_ACTIONS_H */
