/*
** The real entry points behind the MSI actions' platform seam.
*/
#include "msi_seam.h"

const MsiSeam g_MsiReal = {
    ::MsiGetPropertyW,
    ::MsiCreateRecord,
    ::MsiRecordSetStringW,
    ::MsiProcessMessage,
    ::MsiCloseHandle,
    ::MsiEnumRelatedProductsW,
    ::OpenSCManagerW,
    ::OpenServiceW,
    ::QueryServiceStatusEx,
    ::QueryServiceConfigW,
    ::ControlService,
    ::ChangeServiceConfig2W,
    ::DeleteService,
    ::CloseServiceHandle,
    ::CreateProcessW,
    ::CreatePipe,
    ::SetHandleInformation,
    ::PeekNamedPipe,
    ::ReadFile,
    ::GetExitCodeProcess,
    ::WaitForSingleObject,
    ::TerminateProcess,
    ::OpenProcess,
    ::QueryFullProcessImageNameW,
    ::GetCurrentProcessId,
    ::CreateToolhelp32Snapshot,
    ::Process32FirstW,
    ::Process32NextW,
    ::CloseHandle,
    ::GetTickCount,
    ::Sleep,
    ::FindFirstFileW,
    ::FindNextFileW,
    ::FindClose,
    ::GetFileAttributesW,
    ::SetFileAttributesW,
    ::DeleteFileW,
    ::RemoveDirectoryW,
    ::GetFullPathNameW,
    ::GetWindowsDirectoryW,
    ::GetEnvironmentVariableW,
    ::GetLastError,
    ::SetLastError,
    ::GetACP,
    ::WideCharToMultiByte,
    ::MultiByteToWideChar,
    ::CompareStringOrdinal,
};

/*
** A second copy rather than a pointer to g_MsiReal: a test replaces single
** entries and puts the real table back with one assignment.
*/
MsiSeam g_Msi = g_MsiReal;
