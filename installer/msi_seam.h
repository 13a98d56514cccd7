/*
** The MSI actions' platform seam: one table of the Windows Installer, Win32
** and toolhelp entry points qv_msi_actions.dll calls.  g_Msi starts as a copy
** of g_MsiReal, the real functions; unit tests point entries at recording
** fakes and copy g_MsiReal back when they are done.  The table holds no logic.
**
** Each entry has the exact type of the function it stands for, so a call
** through the table reads like the direct call: g_Msi.OpenServiceW(...).
*/
#ifndef QUELVARON_MSI_SEAM_H
#define QUELVARON_MSI_SEAM_H

#include <windows.h>

#include <msi.h>
#include <msiquery.h>
#include <aclapi.h>
#include <oleauto.h>
#include <tlhelp32.h>

struct MsiSeam {
    /* Windows Installer */
    decltype(&::MsiGetPropertyW) MsiGetPropertyW;
    decltype(&::MsiCreateRecord) MsiCreateRecord;
    decltype(&::MsiRecordSetStringW) MsiRecordSetStringW;
    decltype(&::MsiProcessMessage) MsiProcessMessage;
    decltype(&::MsiCloseHandle) MsiCloseHandle;
    decltype(&::MsiEnumRelatedProductsW) MsiEnumRelatedProductsW;
    decltype(&::MsiGetMode) MsiGetMode;
    decltype(&::MsiSetPropertyW) MsiSetPropertyW;

    /* Service Control Manager */
    decltype(&::OpenSCManagerW) OpenSCManagerW;
    decltype(&::OpenServiceW) OpenServiceW;
    decltype(&::QueryServiceStatusEx) QueryServiceStatusEx;
    decltype(&::QueryServiceConfigW) QueryServiceConfigW;
    decltype(&::QueryServiceConfig2W) QueryServiceConfig2W;
    decltype(&::QueryServiceObjectSecurity) QueryServiceObjectSecurity;
    decltype(&::CreateServiceW) CreateServiceW;
    decltype(&::ChangeServiceConfigW) ChangeServiceConfigW;
    decltype(&::SetServiceObjectSecurity) SetServiceObjectSecurity;
    decltype(&::StartServiceW) StartServiceW;
    decltype(&::ControlService) ControlService;
    decltype(&::ChangeServiceConfig2W) ChangeServiceConfig2W;
    decltype(&::DeleteService) DeleteService;
    decltype(&::CloseServiceHandle) CloseServiceHandle;

    /* Processes, pipes, waits, time */
    decltype(&::CreateProcessW) CreateProcessW;
    decltype(&::CreatePipe) CreatePipe;
    decltype(&::SetHandleInformation) SetHandleInformation;
    decltype(&::PeekNamedPipe) PeekNamedPipe;
    decltype(&::ReadFile) ReadFile;
    decltype(&::GetExitCodeProcess) GetExitCodeProcess;
    decltype(&::WaitForSingleObject) WaitForSingleObject;
    decltype(&::TerminateProcess) TerminateProcess;
    decltype(&::OpenProcess) OpenProcess;
    decltype(&::QueryFullProcessImageNameW) QueryFullProcessImageNameW;
    decltype(&::GetCurrentProcessId) GetCurrentProcessId;
    decltype(&::CreateToolhelp32Snapshot) CreateToolhelp32Snapshot;
    decltype(&::Process32FirstW) Process32FirstW;
    decltype(&::Process32NextW) Process32NextW;
    decltype(&::CloseHandle) CloseHandle;
    decltype(&::GetTickCount) GetTickCount;
    decltype(&::Sleep) Sleep;

    /* Files and folders */
    decltype(&::FindFirstFileW) FindFirstFileW;
    decltype(&::FindNextFileW) FindNextFileW;
    decltype(&::FindClose) FindClose;
    decltype(&::GetFileAttributesW) GetFileAttributesW;
    decltype(&::SetFileAttributesW) SetFileAttributesW;
    decltype(&::DeleteFileW) DeleteFileW;
    decltype(&::RemoveDirectoryW) RemoveDirectoryW;
    decltype(&::GetFullPathNameW) GetFullPathNameW;
    decltype(&::GetWindowsDirectoryW) GetWindowsDirectoryW;
    decltype(&::GetEnvironmentVariableW) GetEnvironmentVariableW;
    decltype(&::ExpandEnvironmentStringsW) ExpandEnvironmentStringsW;
    decltype(&::CreateFileW) CreateFileW;
    decltype(&::GetFileInformationByHandle) GetFileInformationByHandle;

    /* Security: file owners and permissions, the actions' own privileges */
    decltype(&::GetNamedSecurityInfoW) GetNamedSecurityInfoW;
    decltype(&::SetNamedSecurityInfoW) SetNamedSecurityInfoW;
    decltype(&::LocalFree) LocalFree;
    decltype(&::OpenProcessToken) OpenProcessToken;
    decltype(&::GetTokenInformation) GetTokenInformation;
    decltype(&::LookupPrivilegeValueW) LookupPrivilegeValueW;
    decltype(&::AdjustTokenPrivileges) AdjustTokenPrivileges;

    /* COM: Windows Firewall's interface */
    decltype(&::CoInitializeEx) CoInitializeEx;
    decltype(&::CoUninitialize) CoUninitialize;
    decltype(&::CoCreateInstance) CoCreateInstance;
    decltype(&::SysAllocString) SysAllocString;
    decltype(&::SysFreeString) SysFreeString;
    decltype(&::VariantInit) VariantInit;
    decltype(&::VariantClear) VariantClear;

    /* Registry: the setup state kept between the actions of one installation */
    decltype(&::RegCreateKeyExW) RegCreateKeyExW;
    decltype(&::RegOpenKeyExW) RegOpenKeyExW;
    decltype(&::RegQueryValueExW) RegQueryValueExW;
    decltype(&::RegSetValueExW) RegSetValueExW;
    decltype(&::RegDeleteValueW) RegDeleteValueW;
    decltype(&::RegQueryInfoKeyW) RegQueryInfoKeyW;
    decltype(&::RegDeleteKeyExW) RegDeleteKeyExW;
    decltype(&::RegCloseKey) RegCloseKey;

    /* Errors and text */
    decltype(&::GetLastError) GetLastError;
    decltype(&::SetLastError) SetLastError;
    decltype(&::GetACP) GetACP;
    decltype(&::WideCharToMultiByte) WideCharToMultiByte;
    decltype(&::MultiByteToWideChar) MultiByteToWideChar;
    decltype(&::CompareStringOrdinal) CompareStringOrdinal;
};

/* The real functions; never changed. */
extern const MsiSeam g_MsiReal;

/* What the actions call; equal to g_MsiReal in the shipped DLL. */
extern MsiSeam g_Msi;

#endif /* QUELVARON_MSI_SEAM_H */
