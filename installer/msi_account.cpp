/*
** The service's logon account, for those who ask: SERVICE_ACCOUNT=virtual
** runs the host and its PBX as the service's own virtual account,
** NT SERVICE\QuelvaronAsterisk, instead of local system. It needs no
** password and reaches the network as the computer account; the folders'
** locks let it read etc\ and change only var\ (MsiLockPermissionsEx rows
** in pairs, conditioned on QvAccountVirtual).
**
**   ReadAccount        (QvCheckSettings, immediate) the account the service
**                      will have: SERVICE_ACCOUNT when given, else the one
**                      this host's registration has now (local system for
**                      a new one); QvAccountVirtual is "1" for the virtual
**                      account, which the lock rows' conditions read
**   QvSetAccount       deferred, once the registration is there: only when
**                      SERVICE_ACCOUNT is given, the account switched (both
**                      ways) with its privileges and SID type; the previous
**                      one is in the setup state, and QvRollbackStop puts it
**                      back
** CustomActionData of QvSetAccount: SERVICE_ACCOUNT.
*/
#define _CRT_SECURE_NO_WARNINGS
#include "msi_actions.h"

#include <string.h>
#include <wchar.h>

#define VIRTUAL_ACCOUNT L"NT SERVICE\\" SERVICE_NAME

/* What the host and its PBX need: starting the PBX, its job and the event
** log's entries take no privilege; SeChangeNotifyPrivilege (walking folders
** it may not list) is every process's and always kept. */
static wchar_t g_Privileges[] = L"SeChangeNotifyPrivilege\0";

static int IsVirtual(const wchar_t *account)
{
    return _wcsicmp(account, VIRTUAL_ACCOUNT) == 0;
}

/* SERVICE_ACCOUNT's two values, any letter case; 0 for anything else. */
static int Wanted(const wchar_t *value, int *virtualAccount)
{
    *virtualAccount = _wcsicmp(value, L"virtual") == 0;
    return *virtualAccount || _wcsicmp(value, L"LocalSystem") == 0;
}

UINT ReadAccount(MSIHANDLE install)
{
    static union {
        QUERY_SERVICE_CONFIGW config;
        BYTE bytes[8192 + 4 * MAX_PATH * sizeof(wchar_t)];
    } answer;
    static wchar_t host[MAX_PATH * 4], given[64];
    int virtualAccount = 0;
    const wchar_t *value = Property(install, L"SERVICE_ACCOUNT");
    if (value == NULL) {
        return ERROR_INSTALL_FAILURE;
    }
    FormatInto(given, 64, L"%ls", value);
    if (given[0] != L'\0' && !Wanted(given, &virtualAccount)) {
        return FailF(L"SERVICE_ACCOUNT=%ls nao e valido: use LocalSystem ou virtual (a conta virtual %ls). Nada foi "
                     L"alterado.",
                     given, VIRTUAL_ACCOUNT);
    }
    if (given[0] == L'\0') {
        /* This host's registration keeps its account; any other is made anew as local system. */
        if ((value = Property(install, L"QvHostPath")) == NULL) {
            return ERROR_INSTALL_FAILURE;
        }
        FormatInto(host, MAX_PATH * 4, L"\"%ls\"", value);
        SC_HANDLE manager = g_Msi.OpenSCManagerW(NULL, NULL, SC_MANAGER_CONNECT);
        SC_HANDLE service = manager != NULL ? g_Msi.OpenServiceW(manager, SERVICE_NAME, SERVICE_QUERY_CONFIG) : NULL;
        DWORD needed = 0;
        int read = service != NULL && g_Msi.QueryServiceConfigW(service, &answer.config, sizeof(answer), &needed);
        /* None registered is a new one: local system. One not read is said. */
        if (!read && g_Msi.GetLastError() != ERROR_SERVICE_DOES_NOT_EXIST) {
            LogF(L"QuelvaronAsterisk: registro nao lido (Erro %lu); a conta considerada e LocalSystem",
                 (unsigned long)g_Msi.GetLastError());
        }
        if (read && answer.config.lpServiceStartName != NULL && answer.config.lpBinaryPathName != NULL) {
            const wchar_t *image = answer.config.lpBinaryPathName;
            size_t length = wcslen(host);
            virtualAccount = IsVirtual(answer.config.lpServiceStartName) &&
                             (_wcsicmp(image, host) == 0 ||
                              (_wcsnicmp(image, host + 1, length - 2) == 0 && image[length - 2] == L'\0'));
        }
        if (service != NULL) {
            g_Msi.CloseServiceHandle(service);
        }
        if (manager != NULL) {
            g_Msi.CloseServiceHandle(manager);
        }
    }
    /* The folders' lock rows read it: without it the account would not reach var\. */
    UINT set = g_Msi.MsiSetPropertyW(install, L"QvAccountVirtual", virtualAccount ? L"1" : L"");
    if (set != ERROR_SUCCESS) {
        return FailF(L"A propriedade QvAccountVirtual nao pode ser definida (Erro %u).", set);
    }
    LogF(L"Conta do servico: %ls%ls", virtualAccount ? VIRTUAL_ACCOUNT : L"LocalSystem",
         given[0] != L'\0' ? L" (SERVICE_ACCOUNT)" : L" (a que o servico tem)");
    return ERROR_SUCCESS;
}

/* A configuration level this SCM does not know (Wine's) is said, not fatal. */
static UINT Set2(SC_HANDLE service, DWORD level, void *info, const wchar_t *what)
{
    if (g_Msi.ChangeServiceConfig2W(service, level, info)) {
        return ERROR_SUCCESS;
    }
    DWORD error = g_Msi.GetLastError();
    if (error == ERROR_INVALID_LEVEL) {
        LogF(L"QuelvaronAsterisk: %ls nao suportado por este Gerenciador de Servicos (Erro %lu)", what,
             (unsigned long)error);
        return ERROR_SUCCESS;
    }
    return FailF(L"A conta do servico QuelvaronAsterisk nao pode ser configurada: %ls (Erro %lu). Nada da conta "
                 L"anterior foi perdido: a instalacao volta atras.",
                 what, (unsigned long)error);
}

extern "C" UINT __stdcall QvSetAccount(MSIHANDLE install)
{
    int virtualAccount;
    if (ReadActionData(install) < 0) {
        return ERROR_INSTALL_FAILURE;
    }
    if (g_Data[0] == L'\0') {
        return ERROR_SUCCESS; /* not asked: the account stays */
    }
    if (!Wanted(g_Data, &virtualAccount)) {
        return FailF(L"SERVICE_ACCOUNT=%ls nao e valido: use LocalSystem ou virtual.", g_Data);
    }
    SC_HANDLE manager = g_Msi.OpenSCManagerW(NULL, NULL, SC_MANAGER_CONNECT);
    SC_HANDLE service =
        manager != NULL ? g_Msi.OpenServiceW(manager, SERVICE_NAME, SERVICE_CHANGE_CONFIG | SERVICE_QUERY_CONFIG) : NULL;
    UINT result = ERROR_SUCCESS;
    if (service == NULL) {
        result = FailF(L"A conta do servico QuelvaronAsterisk nao pode ser configurada: o servico nao abre (Erro %lu).",
                       (unsigned long)g_Msi.GetLastError());
    } else if (!g_Msi.ChangeServiceConfigW(service, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, NULL, NULL,
                                           NULL, NULL, virtualAccount ? VIRTUAL_ACCOUNT : L"LocalSystem",
                                           virtualAccount ? NULL : L"", NULL)) {
        /* A virtual account takes no password (NULL); local system an empty one. */
        result = FailF(L"A conta do servico QuelvaronAsterisk nao pode ser trocada para %ls (Erro %lu).",
                       virtualAccount ? VIRTUAL_ACCOUNT : L"LocalSystem", (unsigned long)g_Msi.GetLastError());
    } else {
        /* Back to local system, the list and the SID type go back to their defaults. */
        SERVICE_REQUIRED_PRIVILEGES_INFOW privileges = {virtualAccount ? g_Privileges : (wchar_t *)L"\0"};
        SERVICE_SID_INFO sid = {virtualAccount ? (DWORD)SERVICE_SID_TYPE_UNRESTRICTED : (DWORD)SERVICE_SID_TYPE_NONE};
        result = Set2(service, SERVICE_CONFIG_REQUIRED_PRIVILEGES_INFO, &privileges, L"lista de privilegios");
        if (result == ERROR_SUCCESS) {
            result = Set2(service, SERVICE_CONFIG_SERVICE_SID_INFO, &sid, L"tipo de SID");
        }
        if (result == ERROR_SUCCESS) {
            LogF(L"QuelvaronAsterisk: conta %ls%ls", virtualAccount ? VIRTUAL_ACCOUNT : L"LocalSystem",
                 virtualAccount ? L" (privilegios: SeChangeNotifyPrivilege; SID do servico irrestrito)" : L"");
        }
    }
    if (service != NULL) {
        g_Msi.CloseServiceHandle(service);
    }
    if (manager != NULL) {
        g_Msi.CloseServiceHandle(manager);
    }
    return result;
}
