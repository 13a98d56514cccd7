/*
** The installer's log and the actions' CustomActionData.
**
** Deferred, rollback and commit actions run from the install script and see
** only CustomActionData, frozen when the script was written. Paths may be as
** long as Windows allows (32767 characters) and hold any character but '|',
** which therefore separates the fields.
*/
#define _CRT_SECURE_NO_WARNINGS
#include "msi_actions.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <wchar.h>

#define MAX_FIELDS 8

MSIHANDLE g_Install;
wchar_t g_Data[DATA_CHARS];
wchar_t g_Image[PATH_CHARS];

static wchar_t g_Text[TEXT_CHARS];
static wchar_t g_Escaped[TEXT_CHARS * 2];
static const wchar_t *g_Fields[MAX_FIELDS];

/*
** One message for the log. The record's template is the text itself with
** its brackets escaped: formatted as a field ("[1]"), Wine's msiexec still
** reads "[OK]" or "[ERRO]" in the host's output as a property and drops it.
** A message that cannot be written is dropped: the log is the
** administrator's, and an action's result is its return value.
*/
static void SendText(INSTALLMESSAGE kind, const wchar_t *text)
{
    size_t used = 0;
    for (const wchar_t *c = text; *c != L'\0' && used + 5 < sizeof(g_Escaped) / sizeof(g_Escaped[0]); c++) {
        if (*c == L'[' || *c == L']') {
            g_Escaped[used++] = L'[';
            g_Escaped[used++] = L'\\';
            g_Escaped[used++] = *c;
            g_Escaped[used++] = L']';
        } else {
            g_Escaped[used++] = *c;
        }
    }
    g_Escaped[used] = L'\0';

    MSIHANDLE record = g_Msi.MsiCreateRecord(0);
    if (record == 0) {
        return;
    }
    if (g_Msi.MsiRecordSetStringW(record, 0, g_Escaped) == ERROR_SUCCESS) {
        g_Msi.MsiProcessMessage(g_Install, kind, record);
    }
    g_Msi.MsiCloseHandle(record);
}

/* Bounded formatting, always terminated (a cut text stays a text). */
static int FormatV(wchar_t *out, size_t size, const wchar_t *format, va_list args)
{
    out[size - 1] = L'\0';
    int written = _vsnwprintf(out, size - 1, format, args);
    return written >= 0 && (size_t)written < size - 1 ? written : -1;
}

int FormatInto(wchar_t *out, size_t size, const wchar_t *format, ...)
{
    va_list args;
    va_start(args, format);
    int written = FormatV(out, size, format, args);
    va_end(args);
    return written;
}

static void SendF(INSTALLMESSAGE kind, const wchar_t *format, va_list args)
{
    FormatV(g_Text, TEXT_CHARS, format, args);
    SendText(kind, g_Text);
}

void LogF(const wchar_t *format, ...)
{
    va_list args;
    va_start(args, format);
    SendF(INSTALLMESSAGE_INFO, format, args);
    va_end(args);
}

UINT FailF(const wchar_t *format, ...)
{
    va_list args;
    va_start(args, format);
    SendF((INSTALLMESSAGE)(INSTALLMESSAGE_ERROR | MB_OK | MB_ICONERROR), format, args);
    va_end(args);
    return ERROR_INSTALL_FAILURE;
}

DWORD Elapsed(DWORD since)
{
    return g_Msi.GetTickCount() - since;
}

int ReadActionData(MSIHANDLE install)
{
    DWORD size = DATA_CHARS;
    g_Install = install;
    g_Data[0] = L'\0';
    SplitData(0);
    UINT result = g_Msi.MsiGetPropertyW(install, L"CustomActionData", g_Data, &size);
    if (result == ERROR_MORE_DATA) {
        g_Data[0] = L'\0';
        LogF(L"CustomActionData tem %lu caracteres; o maximo e %d.", (unsigned long)size, DATA_CHARS - 1);
        return 0;
    }
    if (result != ERROR_SUCCESS) {
        g_Data[0] = L'\0';
        FailF(L"CustomActionData nao pode ser lido (Erro %u).", result);
        return -1;
    }
    return 1;
}

void SplitData(int fixed)
{
    wchar_t *at = g_Data;
    for (int i = 0; i < MAX_FIELDS; i++) {
        g_Fields[i] = NULL;
    }
    for (int i = 0; i < MAX_FIELDS && at != NULL; i++) {
        g_Fields[i] = at;
        wchar_t *bar = i < fixed ? wcschr(at, L'|') : NULL;
        if (bar == NULL) {
            return; /* the rest is the last field */
        }
        *bar = L'\0';
        at = bar + 1;
    }
}

const wchar_t *Field(int index)
{
    return index >= 0 && index < MAX_FIELDS && g_Fields[index] != NULL ? g_Fields[index] : L"";
}

int NextListName(const wchar_t **cursor, wchar_t *name, size_t size)
{
    while (**cursor == L'|') {
        (*cursor)++;
    }
    if (**cursor == L'\0') {
        return 0;
    }
    const wchar_t *end = wcschr(*cursor, L'|');
    size_t length = end != NULL ? (size_t)(end - *cursor) : wcslen(*cursor);
    size_t kept = length < size ? length : size - 1;
    wmemcpy(name, *cursor, kept);
    name[kept] = L'\0';
    *cursor += length;
    return 1;
}

/*
** A rollback action runs only from the rollback script. Typed as a plain
** deferred action by mistake (as wixl once wrote them), it would undo the
** installation while it is being made: it then does nothing.
*/
int InRollback(const wchar_t *action)
{
    if (g_Msi.MsiGetMode(g_Install, MSIRUNMODE_ROLLBACK)) {
        return 1;
    }
    LogF(L"%ls: nao esta na reversao da instalacao; nada foi feito", action);
    return 0;
}

void NoteRollbackDisabled(const wchar_t *value)
{
    if (value[0] != L'\0') {
        LogF(L"Reversao desativada (RollbackDisabled): se a instalacao falhar daqui em diante, o servico, os "
             L"arquivos e o registro nao voltam ao estado anterior");
    }
}
