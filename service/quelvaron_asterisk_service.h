/*
** quelvaron-service: the Windows service host of Quelvaron Asterisk PBX.
**
** Declarations of quelvaron_asterisk_service.cpp that its unit tests share.
** The program itself is that one module: the PBX supervisor, the service
** thread and control handler, and the management command line.
*/
#ifndef QUELVARON_ASTERISK_SERVICE_H
#define QUELVARON_ASTERISK_SERVICE_H

#include <windows.h>

/* The PBX child process; null when there is none.  Service thread only. */
extern HANDLE g_ProcessHandle;

/* The kill-on-close job holding the PBX, so it never outlives the host;
** null when there is none (no PBX, or the job could not be set up). */
extern HANDLE g_JobHandle;

/* The one status record, sent whole with every report. */
extern SERVICE_STATUS g_ServiceStatus;
extern SERVICE_STATUS_HANDLE g_StatusHandle;

/* Manual-reset stop event; null before it is created and after it is closed. */
extern HANDLE g_StopEvent;

/* PBX supervisor */
void ReportServiceEvent(WORD type, const char *message);
void FindAsteriskExecutable(char *path); /* path: MAX_PATH bytes */
int RunInConsole(void); /* 0, or 1 when the PBX cannot be run */
int StartServiceProcess(void);
void StopServiceProcess(void);

/* Who other than SYSTEM, Administrators and TrustedInstaller can write the
** folder this descriptor guards (or what it holds): 0 for no one, else
** FOLDER_OTHERS_WRITE (an entry grants someone else) and/or
** FOLDER_OWNER_WRITES (an owner other than those three, through its implicit
** rights or an OWNER RIGHTS entry). */
#define FOLDER_OTHERS_WRITE 1
#define FOLDER_OWNER_WRITES 2
int FolderWritableByOthers(PSECURITY_DESCRIPTOR descriptor);

/* Service control and status */
void ReportServiceStatus(DWORD currentState, DWORD win32ExitCode, DWORD waitHint);
void WINAPI ServiceMain(DWORD argc, LPSTR *argv);
DWORD WINAPI ServiceHandlerEx(DWORD control, DWORD eventType, LPVOID eventData, LPVOID context);

/* Management command line: what main() runs; returns the exit code. */
int ServiceCommandMain(int argc, char **argv);

#endif /* QUELVARON_ASTERISK_SERVICE_H */
