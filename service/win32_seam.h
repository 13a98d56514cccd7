/*
** The service host's platform seam: one table of the Win32 (and C runtime)
** entry points the host calls.  g_Win32 starts as a copy of g_Win32Real, the
** real functions; unit tests point single entries at recording fakes and
** copy g_Win32Real back when they are done.  The table holds no logic.
**
** Each entry has the exact type of the function it stands for, so a call
** through the table reads like the direct call: g_Win32.CreateProcessA(...).
*/
#ifndef QUELVARON_WIN32_SEAM_H
#define QUELVARON_WIN32_SEAM_H

#include <windows.h>

#include <stdlib.h>

struct Win32Seam {
    /* Service Control Manager */
    decltype(&::OpenSCManagerA) OpenSCManagerA;
    decltype(&::CreateServiceA) CreateServiceA;
    decltype(&::ChangeServiceConfig2A) ChangeServiceConfig2A;
    decltype(&::OpenServiceA) OpenServiceA;
    decltype(&::DeleteService) DeleteService;
    decltype(&::StartServiceA) StartServiceA;
    decltype(&::ControlService) ControlService;
    decltype(&::QueryServiceStatusEx) QueryServiceStatusEx;
    decltype(&::CloseServiceHandle) CloseServiceHandle;
    decltype(&::StartServiceCtrlDispatcherA) StartServiceCtrlDispatcherA;
    decltype(&::RegisterServiceCtrlHandlerExA) RegisterServiceCtrlHandlerExA;
    decltype(&::SetServiceStatus) SetServiceStatus;

    /* Event log and registry */
    decltype(&::RegisterEventSourceA) RegisterEventSourceA;
    decltype(&::ReportEventA) ReportEventA;
    decltype(&::DeregisterEventSource) DeregisterEventSource;
    decltype(&::RegCreateKeyExA) RegCreateKeyExA;
    decltype(&::RegSetValueExA) RegSetValueExA;
    decltype(&::RegCloseKey) RegCloseKey;

    /* Processes, events, files */
    decltype(&::CreateProcessA) CreateProcessA;
    decltype(&::ResumeThread) ResumeThread;
    decltype(&::WaitForSingleObject) WaitForSingleObject;
    decltype(&::WaitForMultipleObjects) WaitForMultipleObjects;
    decltype(&::TerminateProcess) TerminateProcess;
    decltype(&::CloseHandle) CloseHandle;
    decltype(&::CreateJobObjectA) CreateJobObjectA;
    decltype(&::SetInformationJobObject) SetInformationJobObject;
    decltype(&::AssignProcessToJobObject) AssignProcessToJobObject;
    decltype(&::CreateEventA) CreateEventA;
    decltype(&::SetEvent) SetEvent;
    decltype(&::GetModuleFileNameA) GetModuleFileNameA;
    decltype(&::GetFileAttributesA) GetFileAttributesA;
    decltype(&::GetFileSecurityA) GetFileSecurityA;
    decltype(&::GetLastError) GetLastError;

    /* C runtime: the console mode's command interpreter */
    decltype(&::system) system;
};

/* The real functions; never changed. */
extern const Win32Seam g_Win32Real;

/* What the host calls; equal to g_Win32Real in the shipped program. */
extern Win32Seam g_Win32;

#endif /* QUELVARON_WIN32_SEAM_H */
