/*
** The real entry points behind the service host's platform seam.
*/
#include "win32_seam.h"

const Win32Seam g_Win32Real = {
    ::OpenSCManagerA,
    ::CreateServiceA,
    ::ChangeServiceConfig2A,
    ::OpenServiceA,
    ::DeleteService,
    ::StartServiceA,
    ::ControlService,
    ::QueryServiceStatusEx,
    ::CloseServiceHandle,
    ::StartServiceCtrlDispatcherA,
    ::RegisterServiceCtrlHandlerExA,
    ::SetServiceStatus,

    ::RegisterEventSourceA,
    ::ReportEventA,
    ::DeregisterEventSource,
    ::RegCreateKeyExA,
    ::RegSetValueExA,
    ::RegCloseKey,

    ::CreateProcessA,
    ::ResumeThread,
    ::WaitForSingleObject,
    ::WaitForMultipleObjects,
    ::TerminateProcess,
    ::CloseHandle,
    ::CreateJobObjectA,
    ::SetInformationJobObject,
    ::AssignProcessToJobObject,
    ::CreateEventA,
    ::SetEvent,
    ::GetModuleFileNameA,
    ::GetFileAttributesA,
    ::GetFileSecurityA,
    ::GetLastError,

    ::system,
};

/*
** A second copy rather than a pointer to g_Win32Real: a test replaces single
** entries and puts the real table back with one assignment.
*/
Win32Seam g_Win32 = g_Win32Real;
