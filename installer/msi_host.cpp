/*
** The installed host's own commands (-install, -start, -uninstall), whose
** output goes to the installer's log, and the programs still running from
** the product's folders, which are ended before files are replaced or
** removed: a file in use would need a reboot. Windows Installer's Restart
** Manager is off (MSIRESTARTMANAGERCONTROL=Disable): it would shut the
** service and the PBX down behind the service's back.
*/
#define _CRT_SECURE_NO_WARNINGS
#include "msi_actions.h"

#include <tlhelp32.h>

#include <stdio.h>
#include <string.h>
#include <wchar.h>

/* The host's own path must fit its MAX_PATH buffer of ANSI bytes. */
#define HOST_PATH_MAX (MAX_PATH - 1)
/* One deadline for a host command: its output read and its end awaited. */
#define HOST_TIMEOUT_MS 60000
#define PIPE_POLL_MS 20
#define OUTPUT_SIZE 2048
/* A program ended by force gets this long to go. */
#define END_WAIT_MS 5000

static wchar_t g_CommandLine[PATH_CHARS];
/* The last host command's output, one line, or why it did not run. */
static wchar_t g_Output[OUTPUT_SIZE];
/* HOST_LOST: what could not be read, and the error. */
static const wchar_t *g_Lost;
static DWORD g_LostError;

/* Whatever the pipe holds now, without waiting: one line into `output`. A
** pipe that cannot be read loses only output for the log: the command's
** result is its exit code. */
static void DrainPipe(HANDLE readEnd, char *output, size_t outputSize, size_t *used)
{
    char chunk[512];
    DWORD available = 0, got = 0;
    while (g_Msi.PeekNamedPipe(readEnd, NULL, 0, NULL, &available, NULL) && available > 0) {
        DWORD want = available < sizeof(chunk) ? available : (DWORD)sizeof(chunk);
        if (!g_Msi.ReadFile(readEnd, chunk, want, &got, NULL) || got == 0) {
            return;
        }
        for (DWORD i = 0; i < got && *used + 1 < outputSize; i++) {
            /* One line for the log: line ends become blanks. */
            char c = chunk[i];
            output[(*used)++] = (c == '\r' || c == '\n') ? ' ' : c;
        }
    }
}

/*
** Runs the host with one option, its output into the log (and, cut, into
** g_Output; the host writes ANSI). One deadline bounds the whole run:
** the pipe is only read when it holds something, so a host that hangs with
** its output open is ended at the deadline like any other. HOST_RAN with
** its exit code in *exitCode, HOST_NOT_RUN, HOST_TIMED_OUT or HOST_LOST.
*/
int RunHost(const wchar_t *hostPath, const wchar_t *option, DWORD *exitCode)
{
    static char output[OUTPUT_SIZE];
    g_Output[0] = L'\0';
    *exitCode = (DWORD)-1;
    int length = _snwprintf(g_CommandLine, PATH_CHARS - 1, L"\"%ls\" %ls", hostPath, option);
    if (length < 0 || length >= PATH_CHARS - 1) {
        _snwprintf(g_Output, OUTPUT_SIZE - 1, L"linha de comando longa demais");
        LogF(L"quelvaron-service %ls: nao executado (%ls)", option, g_Output);
        return HOST_NOT_RUN;
    }

    SECURITY_ATTRIBUTES inherit;
    memset(&inherit, 0, sizeof(inherit));
    inherit.nLength = sizeof(inherit);
    inherit.bInheritHandle = TRUE;
    HANDLE readEnd = NULL, writeEnd = NULL;
    /* The host must not inherit the read end: a child of it would hold the pipe. */
    if (!g_Msi.CreatePipe(&readEnd, &writeEnd, &inherit, 0) ||
        !g_Msi.SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0)) {
        _snwprintf(g_Output, OUTPUT_SIZE - 1, L"pipe: Erro %lu", (unsigned long)g_Msi.GetLastError());
        if (readEnd != NULL) {
            g_Msi.CloseHandle(readEnd);
            g_Msi.CloseHandle(writeEnd);
        }
        LogF(L"%ls: nao executado (%ls)", g_CommandLine, g_Output);
        return HOST_NOT_RUN;
    }

    STARTUPINFOW si;
    memset(&si, 0, sizeof(si));
    si.cb = sizeof(si);
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = NULL;
    si.hStdOutput = writeEnd;
    si.hStdError = writeEnd;
    PROCESS_INFORMATION pi;
    memset(&pi, 0, sizeof(pi));
    BOOL started =
        g_Msi.CreateProcessW(hostPath, g_CommandLine, NULL, NULL, TRUE, CREATE_NO_WINDOW, NULL, NULL, &si, &pi);
    DWORD startError = g_Msi.GetLastError();
    g_Msi.CloseHandle(writeEnd);
    if (!started) {
        g_Msi.CloseHandle(readEnd);
        _snwprintf(g_Output, OUTPUT_SIZE - 1, L"Erro %lu", (unsigned long)startError);
        LogF(L"%ls: nao executado (%ls)", g_CommandLine, g_Output);
        return HOST_NOT_RUN;
    }

    /* Once the host has ended, all it wrote is in the pipe: one last drain,
    ** whoever else (a child) still holds the write end. */
    size_t used = 0;
    DWORD start = g_Msi.GetTickCount();
    DWORD waited = WAIT_TIMEOUT, waitError = NO_ERROR;
    for (;;) {
        DrainPipe(readEnd, output, sizeof(output), &used);
        /* A failed wait returns at once: waiting again would only spin. */
        if (waited != WAIT_TIMEOUT || Elapsed(start) >= HOST_TIMEOUT_MS) {
            break;
        }
        DWORD left = HOST_TIMEOUT_MS - Elapsed(start);
        waited = g_Msi.WaitForSingleObject(pi.hProcess, left < PIPE_POLL_MS ? left : PIPE_POLL_MS);
        waitError = waited == WAIT_FAILED ? g_Msi.GetLastError() : NO_ERROR;
    }
    output[used] = '\0';
    g_Msi.CloseHandle(readEnd);

    int result = HOST_RAN;
    g_Lost = NULL;
    if (waited == WAIT_OBJECT_0 && !g_Msi.GetExitCodeProcess(pi.hProcess, exitCode)) {
        g_Lost = L"o seu codigo de saida nao pode ser lido";
        g_LostError = g_Msi.GetLastError();
        result = HOST_LOST;
    } else if (waited != WAIT_OBJECT_0) {
        /* Past the deadline, or not seen to end: ended by force. */
        if (waited == WAIT_FAILED) {
            g_Lost = L"o seu fim nao pode ser aguardado";
            g_LostError = waitError;
        }
        if (!g_Msi.TerminateProcess(pi.hProcess, 1)) {
            LogF(L"%ls: TerminateProcess falhou (Erro %lu)", g_CommandLine, (unsigned long)g_Msi.GetLastError());
        }
        g_Msi.WaitForSingleObject(pi.hProcess, KILL_WAIT_MS);
        result = waited == WAIT_FAILED ? HOST_LOST : HOST_TIMED_OUT;
    }
    g_Msi.CloseHandle(pi.hProcess);
    g_Msi.CloseHandle(pi.hThread);

    if (g_Msi.MultiByteToWideChar(CP_ACP, 0, output, -1, g_Output, OUTPUT_SIZE) == 0) {
        _snwprintf(g_Output, OUTPUT_SIZE - 1, L"(saida nao convertida: Erro %lu)", (unsigned long)g_Msi.GetLastError());
    }
    if (result == HOST_TIMED_OUT) {
        LogF(L"%ls: sem terminar em %d s; processo encerrado. Saida: %ls", g_CommandLine, HOST_TIMEOUT_MS / 1000,
             g_Output);
    } else if (result == HOST_LOST) {
        LogF(L"%ls: executado, mas %ls (Erro %lu). Saida: %ls", g_CommandLine, g_Lost, (unsigned long)g_LostError,
             g_Output);
    } else {
        LogF(L"%ls -> %ld: %ls", g_CommandLine, (long)(int)*exitCode, g_Output);
    }
    return result;
}

UINT HostFailed(const wchar_t *option, int result, DWORD exitCode)
{
    if (result == HOST_NOT_RUN) {
        return FailF(L"quelvaron-service %ls nao pode ser executado (%ls): %ls", option, g_Output, g_CommandLine);
    }
    if (result == HOST_TIMED_OUT) {
        return FailF(L"quelvaron-service %ls nao terminou em %d s e foi encerrado: %ls", option,
                     HOST_TIMEOUT_MS / 1000, g_Output);
    }
    if (result == HOST_LOST) {
        return FailF(L"quelvaron-service %ls foi executado, mas %ls (Erro %lu): %ls", option, g_Lost,
                     (unsigned long)g_LostError, g_Output);
    }
    return FailF(L"quelvaron-service %ls falhou (codigo de saida %ld): %ls", option, (long)(int)exitCode, g_Output);
}

/*
** The host is an ANSI program with MAX_PATH buffers: its own path must fit
** 259 bytes in the system's ANSI code page and hold only characters that
** page has. Otherwise GetModuleFileNameA hands it a cut path, or one whose
** missing characters became others, which names no file: it would register
** a service that cannot start. Checked with no best fit, for that reason.
*/
UINT CheckHostPath(const wchar_t *hostPath)
{
    static char ansi[PATH_CHARS * 2];
    UINT codePage = g_Msi.GetACP();
    BOOL usedDefault = FALSE;
    int bytes;
    if (codePage == CP_UTF8) {
        bytes = g_Msi.WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, hostPath, -1, ansi, (int)sizeof(ansi), NULL, NULL);
    } else {
        bytes = g_Msi.WideCharToMultiByte(codePage, WC_NO_BEST_FIT_CHARS, hostPath, -1, ansi, (int)sizeof(ansi), NULL,
                                    &usedDefault);
    }
    DWORD error = bytes == 0 ? g_Msi.GetLastError() : NO_ERROR;
    if (error != NO_ERROR && error != ERROR_NO_UNICODE_TRANSLATION) {
        return FailF(L"O caminho de quelvaron-service.exe nao pode ser convertido para a pagina de codigo ANSI do "
                     L"sistema (%u) (Erro %lu): %ls",
                     codePage, (unsigned long)error, hostPath);
    }
    if (bytes == 0 || usedDefault) {
        return FailF(L"A pasta de instalacao tem caracteres que o host do servico (quelvaron-service.exe) nao pode "
                     L"usar: ele so aceita caracteres da pagina de codigo ANSI do sistema (%u). Escolha uma pasta "
                     L"sem eles. Caminho: %ls",
                     codePage, hostPath);
    }
    if (bytes - 1 > HOST_PATH_MAX) {
        return FailF(L"A pasta de instalacao e longa demais: o caminho de quelvaron-service.exe tem %d caracteres "
                     L"(pagina de codigo %u), e o host do servico aceita no maximo %d. Escolha uma pasta mais "
                     L"curta. Caminho: %ls",
                     bytes - 1, codePage, HOST_PATH_MAX, hostPath);
    }
    return ERROR_SUCCESS;
}

/* 1 when `image` lies in `folder` (its first `folderLength` characters), at
** any depth. */
static int ImageUnder(const wchar_t *image, const wchar_t *folder, size_t folderLength)
{
    return folderLength > 0 && wcslen(image) > folderLength + 1 &&
           g_Msi.CompareStringOrdinal(image, (int)folderLength, folder, (int)folderLength, TRUE) == CSTR_EQUAL &&
           image[folderLength] == L'\\';
}

/*
** Whether a program image lies in the product's folders: under INSTALLDIR,
** in one of the payload's top-level entries (all of it for a folder, exactly
** it for a file); without that list, in the host's own folder only.
*/
static int IsProductImage(const wchar_t *image, const wchar_t *hostPath, const wchar_t *installDir,
                          const wchar_t *topLevel)
{
    static wchar_t entry[PATH_CHARS];
    static wchar_t name[MAX_PATH + 1];
    size_t dirLength = wcslen(installDir);
    while (dirLength > 0 && installDir[dirLength - 1] == L'\\') {
        dirLength--;
    }
    if (topLevel[0] == L'\0' || dirLength == 0) {
        const wchar_t *slash = wcsrchr(hostPath, L'\\');
        size_t folderLength = slash != NULL ? (size_t)(slash - hostPath) : 0;
        return ImageUnder(image, hostPath, folderLength) && wcschr(image + folderLength + 1, L'\\') == NULL;
    }
    if (!ImageUnder(image, installDir, dirLength)) {
        return 0;
    }
    const wchar_t *cursor = topLevel;
    while (NextListName(&cursor, name, MAX_PATH + 1)) {
        int length = FormatInto(entry, PATH_CHARS, L"%.*ls\\%ls", (int)dirLength, installDir, name);
        if (length > 0 && (ImageUnder(image, entry, (size_t)length) ||
                           g_Msi.CompareStringOrdinal(image, -1, entry, length, TRUE) == CSTR_EQUAL)) {
            return 1;
        }
    }
    return 0;
}

/*
** A process that cannot be opened, or whose program cannot be read, is
** another account's or a protected one, not a program of the product's:
** it is passed over. A program of ours that stays keeps its files in use,
** which Windows then replaces at the next boot: that is said.
*/
void EndProductPrograms(const wchar_t *hostPath, const wchar_t *installDir, const wchar_t *topLevel)
{
    HANDLE snapshot = g_Msi.CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) {
        LogF(L"Os processos em execucao nao podem ser listados (Erro %lu): programas ainda abertos na pasta do "
             L"produto nao sao encerrados",
             (unsigned long)g_Msi.GetLastError());
        return;
    }
    PROCESSENTRY32W entry;
    entry.dwSize = sizeof(entry);
    BOOL more = g_Msi.Process32FirstW(snapshot, &entry);
    for (; more; more = g_Msi.Process32NextW(snapshot, &entry)) {
        if (entry.th32ProcessID == g_Msi.GetCurrentProcessId()) {
            continue;
        }
        HANDLE process = g_Msi.OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_TERMINATE | SYNCHRONIZE, FALSE,
                                     entry.th32ProcessID);
        if (process == NULL) {
            continue;
        }
        DWORD size = PATH_CHARS;
        if (g_Msi.QueryFullProcessImageNameW(process, 0, g_Image, &size) &&
            IsProductImage(g_Image, hostPath, installDir, topLevel)) {
            LogF(L"Encerrando %ls (processo %lu), ainda em execucao na pasta do produto", g_Image,
                 (unsigned long)entry.th32ProcessID);
            if (!g_Msi.TerminateProcess(process, 1)) {
                LogF(L"  %ls nao pode ser encerrado (Erro %lu)", g_Image, (unsigned long)g_Msi.GetLastError());
            }
            g_Msi.WaitForSingleObject(process, END_WAIT_MS); /* only time to go */
        }
        g_Msi.CloseHandle(process);
    }
    if (g_Msi.GetLastError() != ERROR_NO_MORE_FILES) {
        LogF(L"A lista de processos em execucao foi interrompida (Erro %lu): programas ainda abertos na pasta do "
             L"produto podem ter ficado",
             (unsigned long)g_Msi.GetLastError());
    }
    g_Msi.CloseHandle(snapshot);
}
