/*
** The setup state: what the first action of an installation found (the
** service's registration, whether it ran, whether INSTALLDIR was there),
** for the actions after it and for their rollback, which run as separate
** calls. It lives in a key of its own, never one a component writes (the
** installer's own registry rollback would take it along), and is cleared
** when the installation ends either way. Left by a machine that lost power,
** it is what the interrupted installation's rollback needs.
*/
#define _CRT_SECURE_NO_WARNINGS
#include "msi_actions.h"

#include <string.h>
#include <wchar.h>

#define STATE_PARENT L"Software\\Quelvaron"
#define STATE_KEY STATE_PARENT L"\\Quelvaron Asterisk PBX Setup"
#define PRODUCT_KEY STATE_PARENT L"\\Quelvaron Asterisk PBX"

/* The last key that could not be opened for reading, absent apart. */
static LONG g_ReadError;

static HKEY OpenKey(const wchar_t *path, int create)
{
    HKEY key = NULL;
    LONG result;
    g_ReadError = ERROR_SUCCESS;
    if (create) {
        result = g_Msi.RegCreateKeyExW(HKEY_LOCAL_MACHINE, path, 0, NULL, REG_OPTION_NON_VOLATILE,
                                       KEY_READ | KEY_WRITE | KEY_WOW64_64KEY, NULL, &key, NULL);
        if (result != ERROR_SUCCESS) {
            LogF(L"HKLM\\%ls nao pode ser aberta (Erro %ld)", path, (long)result);
        }
    } else {
        /* One that cannot be read is said: what it holds is then taken as absent. */
        result = g_Msi.RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_READ | KEY_WOW64_64KEY, &key);
        if (result != ERROR_SUCCESS && result != ERROR_FILE_NOT_FOUND) {
            g_ReadError = result;
            LogF(L"HKLM\\%ls nao pode ser lida (Erro %ld)", path, (long)result);
        }
    }
    return result == ERROR_SUCCESS ? key : NULL;
}

static void SetValue(const wchar_t *path, const wchar_t *name, DWORD type, const void *data, DWORD size)
{
    HKEY key = OpenKey(path, 1);
    if (key == NULL) {
        return;
    }
    LONG result = g_Msi.RegSetValueExW(key, name, 0, type, (const BYTE *)data, size);
    if (result != ERROR_SUCCESS) {
        LogF(L"HKLM\\%ls\\%ls nao pode ser gravado (Erro %ld)", path, name, (long)result);
    }
    g_Msi.RegCloseKey(key);
}

/* The value's size in bytes when it has `type` (any type for 0) and fits. */
static DWORD GetValue(const wchar_t *name, DWORD type, void *data, DWORD size)
{
    HKEY key = OpenKey(STATE_KEY, 0);
    if (key == NULL) {
        return 0;
    }
    DWORD found = 0, got = size;
    LONG result = g_Msi.RegQueryValueExW(key, name, NULL, &found, (BYTE *)data, &got);
    if (result != ERROR_SUCCESS && result != ERROR_FILE_NOT_FOUND && result != ERROR_MORE_DATA) {
        LogF(L"HKLM\\%ls\\%ls nao pode ser lido (Erro %ld)", STATE_KEY, name, (long)result);
    }
    g_Msi.RegCloseKey(key);
    return result == ERROR_SUCCESS && (type == 0 || found == type) && got <= size ? got : 0;
}

DWORD StateDword(const wchar_t *name, DWORD otherwise)
{
    DWORD value = 0;
    return GetValue(name, REG_DWORD, &value, sizeof(value)) == sizeof(value) ? value : otherwise;
}

void StateSetDword(const wchar_t *name, DWORD value)
{
    SetValue(STATE_KEY, name, REG_DWORD, &value, sizeof(value));
}

void StateSetText(const wchar_t *name, DWORD type, const wchar_t *text, size_t chars)
{
    SetValue(STATE_KEY, name, type, text, (DWORD)(chars * sizeof(wchar_t)));
}

int StateText(const wchar_t *name, wchar_t *text, size_t chars)
{
    DWORD size = (DWORD)((chars - 2) * sizeof(wchar_t));
    DWORD got = GetValue(name, 0, text, size);
    if (got == 0) {
        text[0] = L'\0';
        text[1] = L'\0';
        return 0;
    }
    /* Stored texts may lack their NULs: two make any text whole. */
    text[got / sizeof(wchar_t)] = L'\0';
    text[got / sizeof(wchar_t) + 1] = L'\0';
    return 1;
}

void StateSetBinary(const wchar_t *name, const void *data, DWORD size)
{
    SetValue(STATE_KEY, name, REG_BINARY, data, size);
}

DWORD StateBinary(const wchar_t *name, void *data, DWORD size)
{
    return GetValue(name, REG_BINARY, data, size);
}

int StatePresent(LONG *error)
{
    HKEY key = OpenKey(STATE_KEY, 0);
    *error = g_ReadError;
    if (key == NULL) {
        return 0;
    }
    g_Msi.RegCloseKey(key);
    return 1;
}

/* No values and no subkeys; a key that cannot be told empty is kept. */
static int KeyEmpty(HKEY key, const wchar_t *path)
{
    DWORD subkeys = 1, values = 1;
    LONG result = g_Msi.RegQueryInfoKeyW(key, NULL, NULL, NULL, &subkeys, NULL, NULL, &values, NULL, NULL, NULL, NULL);
    if (result != ERROR_SUCCESS) {
        LogF(L"HKLM\\%ls nao pode ser lida (Erro %ld); fica", path, (long)result);
    }
    return result == ERROR_SUCCESS && subkeys == 0 && values == 0;
}

/* A key left behind is said (a later installation clears it again). */
static void DeleteKey(const wchar_t *path)
{
    LONG result = g_Msi.RegDeleteKeyExW(HKEY_LOCAL_MACHINE, path, KEY_WOW64_64KEY, 0);
    if (result != ERROR_SUCCESS && result != ERROR_FILE_NOT_FOUND) {
        LogF(L"HKLM\\%ls nao pode ser removida (Erro %ld)", path, (long)result);
    }
}

/* Software\Quelvaron goes too when the product's key is gone and it holds
** nothing else; it is never deleted while anything is in it. */
void StateClear(void)
{
    DeleteKey(STATE_KEY);
    HKEY parent = OpenKey(STATE_PARENT, 0);
    if (parent == NULL) {
        return;
    }
    int empty = KeyEmpty(parent, STATE_PARENT);
    g_Msi.RegCloseKey(parent);
    if (empty) {
        DeleteKey(STATE_PARENT);
    }
}

void ProductSetText(const wchar_t *name, const wchar_t *text)
{
    SetValue(PRODUCT_KEY, name, REG_SZ, text, (DWORD)((wcslen(text) + 1) * sizeof(wchar_t)));
}

void ProductForget(const wchar_t *name)
{
    HKEY key = NULL;
    LONG result =
        g_Msi.RegOpenKeyExW(HKEY_LOCAL_MACHINE, PRODUCT_KEY, 0, KEY_READ | KEY_SET_VALUE | KEY_WOW64_64KEY, &key);
    if (result != ERROR_SUCCESS) {
        if (result != ERROR_FILE_NOT_FOUND) {
            LogF(L"HKLM\\%ls\\%ls nao pode ser removido (Erro %ld)", PRODUCT_KEY, name, (long)result);
        }
        return;
    }
    result = g_Msi.RegDeleteValueW(key, name);
    if (result != ERROR_SUCCESS && result != ERROR_FILE_NOT_FOUND) {
        LogF(L"HKLM\\%ls\\%ls nao pode ser removido (Erro %ld)", PRODUCT_KEY, name, (long)result);
    }
    int empty = KeyEmpty(key, PRODUCT_KEY);
    g_Msi.RegCloseKey(key);
    if (empty) {
        DeleteKey(PRODUCT_KEY);
    }
}

int EnablePrivilege(const wchar_t *name)
{
    HANDLE token = NULL;
    TOKEN_PRIVILEGES privileges;
    memset(&privileges, 0, sizeof(privileges));
    if (!g_Msi.OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token)) {
        LogF(L"O privilegio %ls nao pode ser ativado (Erro %lu)", name, (unsigned long)g_Msi.GetLastError());
        return 0;
    }
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    /* AdjustTokenPrivileges succeeds for a privilege the token lacks: only
    ** ERROR_SUCCESS afterwards says it is held. */
    int enabled = g_Msi.LookupPrivilegeValueW(NULL, name, &privileges.Privileges[0].Luid) &&
                  g_Msi.AdjustTokenPrivileges(token, FALSE, &privileges, 0, NULL, NULL) &&
                  g_Msi.GetLastError() == ERROR_SUCCESS;
    g_Msi.CloseHandle(token);
    if (!enabled) {
        LogF(L"O privilegio %ls nao pode ser ativado (Erro %lu)", name, (unsigned long)g_Msi.GetLastError());
    }
    return enabled;
}
