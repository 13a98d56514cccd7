/*
** The product's folder trees under INSTALLDIR, walked children before their
** folder with no recursion and no heap: g_Walk holds the path being visited
** (long-path form), and each level keeps its search handle and its folder's
** length. Three walks:
**   - what a default uninstall keeps (configuration under etc\, data
**     anywhere else), for the log;
**   - PURGE=1: everything of the product removed. When INSTALLDIR already
**     held other things before the first install, only the payload's own
**     top-level entries go, and INSTALLDIR only if it is then empty;
**   - the owners and permissions of what the product installs, fixed before
**     the service runs: a folder or file a user made in advance (a bin\ with
**     a planted DLL) keeps its owner, who could open it again and replace
**     what runs as local system.
** A link to a folder is never followed.
*/
#define _CRT_SECURE_NO_WARNINGS
#include "msi_actions.h"

#include <aclapi.h>
#include <stdio.h>
#include <string.h>
#include <wchar.h>

/* Every level of a tree adds at least two characters to its paths. */
#define WALK_DEPTH (PATH_CHARS / 2)

enum { WALK_LIST, WALK_PURGE, WALK_SECURE };

typedef struct Tree {
    int mode;
    size_t rootLength;     /* g_Walk's length for INSTALLDIR itself */
    const wchar_t *shown;  /* INSTALLDIR as the administrator wrote it */
    unsigned long files;   /* removed, kept or fixed */
    unsigned long folders; /* removed */
    unsigned long failed;  /* not removed, or not fixed */
    DWORD firstError;
} Tree;

static wchar_t g_Walk[PATH_CHARS + 2];
static wchar_t g_Full[PATH_CHARS];
static wchar_t g_FirstFailed[PATH_CHARS];
static HANDLE g_Finds[WALK_DEPTH];
static size_t g_Lengths[WALK_DEPTH];
static WIN32_FIND_DATAW g_Found;

/* The path being visited, relative to INSTALLDIR (INSTALLDIR for itself). */
static const wchar_t *Relative(const Tree *tree)
{
    return g_Walk[tree->rootLength] == L'\0' ? tree->shown : g_Walk + tree->rootLength + 1;
}

static void NotDone(Tree *tree, DWORD error)
{
    tree->failed++;
    if (tree->failed == 1) {
        const wchar_t *relative = Relative(tree);
        tree->firstError = error;
        int shownLength = (int)wcslen(tree->shown);
        while (shownLength > 0 && tree->shown[shownLength - 1] == L'\\') {
            shownLength--;
        }
        if (relative == tree->shown) {
            FormatInto(g_FirstFailed, PATH_CHARS, L"%ls", tree->shown);
        } else {
            FormatInto(g_FirstFailed, PATH_CHARS, L"%.*ls\\%ls", shownLength, tree->shown, relative);
        }
    }
    if (tree->failed <= LIST_MAX) {
        LogF(tree->mode == WALK_SECURE  ? L"  dono ou permissoes nao corrigidos (Erro %lu): %ls"
             : tree->mode == WALK_PURGE ? L"  nao removido (Erro %lu): %ls"
                                        : L"  nao lido (Erro %lu): %ls",
             (unsigned long)error, Relative(tree));
    }
}

/* ---------------------------------------------------------------------- */
/* Owners and permissions                                                  */

typedef struct {
    BYTE Revision;
    BYTE SubAuthorityCount;
    SID_IDENTIFIER_AUTHORITY IdentifierAuthority;
    DWORD SubAuthority[6];
} Sid6;

/* NT SERVICE\TrustedInstaller, and the service's own NT SERVICE\QuelvaronAsterisk,
** which owns what its PBX writes when it runs as that account. */
static const Sid6 g_TrustedInstaller = {SID_REVISION, 6, {SECURITY_NT_AUTHORITY},
                                        {80, 956008885u, 3418522649u, 1831038044u, 1851688439u, 2271478464u}};
static const Sid6 g_ServiceSid = {SID_REVISION, 6, {SECURITY_NT_AUTHORITY},
                                  {80, 289087610u, 2499335610u, 2398303505u, 1647022971u, 1143863078u}};
static const struct {
    BYTE Revision;
    BYTE SubAuthorityCount;
    SID_IDENTIFIER_AUTHORITY IdentifierAuthority;
    DWORD SubAuthority[2];
} g_Administrators = {SID_REVISION, 2, {SECURITY_NT_AUTHORITY}, {SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS}};
/* The account these actions run as (local system; under Wine, its user). */
static union {
    TOKEN_USER user;
    BYTE bytes[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
} g_Self;
static int g_SelfKnown;

/* Unknown, it is trusted no more than any other: what it owns goes to Administrators. */
static void ReadSelf(void)
{
    HANDLE token = NULL;
    DWORD size = 0;
    g_SelfKnown = g_Msi.OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token) &&
                  g_Msi.GetTokenInformation(token, TokenUser, &g_Self, sizeof(g_Self), &size);
    if (!g_SelfKnown) {
        LogF(L"A conta destas acoes nao pode ser lida (Erro %lu): o que ela possui passa aos Administradores",
             (unsigned long)g_Msi.GetLastError());
    }
    if (token != NULL) {
        g_Msi.CloseHandle(token);
    }
}

static int TrustedSid(PSID sid)
{
    return IsWellKnownSid(sid, WinLocalSystemSid) || IsWellKnownSid(sid, WinBuiltinAdministratorsSid) ||
           IsWellKnownSid(sid, WinCreatorOwnerSid) || EqualSid(sid, (PSID)&g_TrustedInstaller) ||
           EqualSid(sid, (PSID)&g_ServiceSid) || (g_SelfKnown && EqualSid(sid, g_Self.user.User.Sid)) ||
           IsWellKnownSid(sid, WinCreatorOwnerRightsSid); /* OWNER RIGHTS: the owner, made trusted here */
}

/* An entry of the object's own (not inherited) letting an untrusted account
** write, delete or change permissions or owner. */
static int GrantsOthersWrite(PACL dacl)
{
    const DWORD write = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_DELETE_CHILD | DELETE | WRITE_DAC | WRITE_OWNER;
    GENERIC_MAPPING mapping = {FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE, FILE_ALL_ACCESS};
    for (DWORD i = 0; i < dacl->AceCount; i++) {
        ACCESS_ALLOWED_ACE *ace;
        if (!GetAce(dacl, i, (void **)&ace) || ace->Header.AceType != ACCESS_ALLOWED_ACE_TYPE ||
            (ace->Header.AceFlags & INHERITED_ACE)) {
            continue;
        }
        DWORD mask = ace->Mask;
        MapGenericMask(&mask, &mapping);
        if ((mask & write) && !TrustedSid((PSID)&ace->SidStart)) {
            return 1;
        }
    }
    return 0;
}

/* What the object at g_Walk needs: its owner changed, its own entries gone. */
static DWORD ReadSecurity(int *fixOwner, int *fixDacl)
{
    PSID owner = NULL;
    PACL dacl = NULL;
    PSECURITY_DESCRIPTOR descriptor = NULL;
    DWORD error = g_Msi.GetNamedSecurityInfoW(g_Walk, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                              &owner, NULL, &dacl, NULL, &descriptor);
    if (error == ERROR_SUCCESS) {
        *fixOwner = owner == NULL || !TrustedSid(owner);
        *fixDacl = dacl == NULL || GrantsOthersWrite(dacl);
    }
    if (descriptor != NULL) {
        g_Msi.LocalFree(descriptor);
    }
    return error;
}

static DWORD SetSecurity(int fixOwner, int fixDacl)
{
    ACL empty;
    InitializeAcl(&empty, sizeof(empty), ACL_REVISION);
    SECURITY_INFORMATION what = (fixOwner ? OWNER_SECURITY_INFORMATION : 0) |
                                (fixDacl ? DACL_SECURITY_INFORMATION | UNPROTECTED_DACL_SECURITY_INFORMATION : 0);
    return g_Msi.SetNamedSecurityInfoW(g_Walk, SE_FILE_OBJECT, what, fixOwner ? (PSID)&g_Administrators : NULL, NULL,
                                       fixDacl ? &empty : NULL, NULL);
}

/*
** One object: an untrusted owner becomes Administrators, and entries of its
** own that let others write go (it then inherits its folder's locked
** permissions). INSTALLDIR, etc\ and var\ keep their own locked permissions:
** inheriting would open them to their parent's entries.
*/
static void SecureEntry(Tree *tree, int keepsOwnDacl)
{
    int fixOwner = 0, fixDacl = 0, tookOwner = 0;
    DWORD error = ReadSecurity(&fixOwner, &fixDacl);
    if (error != ERROR_SUCCESS) {
        /* Shut to local system by its owner's entries: owned first, then read. */
        error = SetSecurity(1, 0);
        tookOwner = error == ERROR_SUCCESS;
        if (tookOwner) {
            error = ReadSecurity(&fixOwner, &fixDacl);
        }
    }
    int openOwnDacl = error == ERROR_SUCCESS && fixDacl && keepsOwnDacl;
    fixDacl = fixDacl && !openOwnDacl;
    if (error == ERROR_SUCCESS && (fixOwner || fixDacl)) {
        error = SetSecurity(fixOwner, fixDacl);
    }
    if (error == ERROR_SUCCESS && openOwnDacl) {
        error = ERROR_ACCESS_DENIED; /* its lock was not applied */
    }
    if (error != ERROR_SUCCESS) {
        NotDone(tree, error);
        return;
    }
    fixOwner |= tookOwner;
    if (!fixOwner && !fixDacl) {
        return;
    }
    tree->files++;
    if (tree->files <= LIST_MAX) {
        LogF(L"  %ls: %ls", fixDacl ? (fixOwner ? L"dono e permissoes corrigidos" : L"permissoes corrigidas")
                                    : L"dono corrigido (Administradores)",
             Relative(tree));
    }
}

/* etc\ and var\ directly under INSTALLDIR. */
static int IsLockedTop(const Tree *tree, size_t length)
{
    const wchar_t *name = g_Walk + tree->rootLength + 1;
    return length == tree->rootLength + 4 && (_wcsnicmp(name, L"etc", 3) == 0 || _wcsnicmp(name, L"var", 3) == 0);
}

/* ---------------------------------------------------------------------- */
/* The walk                                                                */

/* A read-only file or folder cannot be removed: the attribute goes first.
** Attributes that could not be read leave it as it is: its removal says. */
static void ClearReadOnly(DWORD attributes)
{
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY)) {
        g_Msi.SetFileAttributesW(g_Walk, attributes & ~(DWORD)FILE_ATTRIBUTE_READONLY);
    }
}

static void VisitFile(Tree *tree, DWORD attributes)
{
    if (tree->mode == WALK_SECURE) {
        SecureEntry(tree, 0);
        return;
    }
    if (tree->mode == WALK_PURGE) {
        ClearReadOnly(attributes);
        if (g_Msi.DeleteFileW(g_Walk)) {
            tree->files++;
        } else {
            NotDone(tree, g_Msi.GetLastError());
        }
        return;
    }
    const wchar_t *relative = Relative(tree);
    tree->files++;
    if (tree->files == 1) {
        LogF(L"Mantidos (configuracao e dados do administrador) em %ls:", tree->shown);
    }
    if (tree->files <= LIST_MAX) {
        int configuration = wcslen(relative) > 4 && g_Msi.CompareStringOrdinal(relative, 4, L"etc\\", 4, TRUE) == CSTR_EQUAL;
        LogF(L"  %ls: %ls", configuration ? L"configuracao" : L"dados", relative);
    }
}

/* After its contents. A folder left non-empty by a failure below is not
** reported again. */
static void VisitFolder(Tree *tree, DWORD attributes, size_t length)
{
    if (tree->mode == WALK_SECURE) {
        SecureEntry(tree, length == tree->rootLength || IsLockedTop(tree, length));
        return;
    }
    if (tree->mode != WALK_PURGE) {
        return;
    }
    ClearReadOnly(attributes);
    if (g_Msi.RemoveDirectoryW(g_Walk)) {
        tree->folders++;
        return;
    }
    DWORD error = g_Msi.GetLastError();
    if (error != ERROR_DIR_NOT_EMPTY || tree->failed == 0) {
        NotDone(tree, error);
    }
}

/* A search of the folder g_Walk[0, length): its first entry in g_Found. */
static HANDLE OpenFolder(size_t length)
{
    if (length + 2 >= PATH_CHARS) {
        g_Msi.SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return INVALID_HANDLE_VALUE;
    }
    g_Walk[length] = L'\\';
    g_Walk[length + 1] = L'*';
    g_Walk[length + 2] = L'\0';
    HANDLE find = g_Msi.FindFirstFileW(g_Walk, &g_Found);
    g_Walk[length] = L'\0';
    return find;
}

static int IsDots(const wchar_t *name)
{
    return name[0] == L'.' && (name[1] == L'\0' || (name[1] == L'.' && name[2] == L'\0'));
}

/* The next entry of the folder at g_Walk; a search that fails before its
** end leaves the rest of the folder not done. */
static BOOL NextEntry(Tree *tree, HANDLE find)
{
    if (g_Msi.FindNextFileW(find, &g_Found)) {
        return TRUE;
    }
    if (g_Msi.GetLastError() != ERROR_NO_MORE_FILES) {
        NotDone(tree, g_Msi.GetLastError());
    }
    return FALSE;
}

/* The folder g_Walk[0, start) and all below it; 0 when it cannot be read
** (GetLastError). */
static int WalkTree(Tree *tree, size_t start)
{
    int depth = 0;
    g_Lengths[0] = start;
    g_Finds[0] = OpenFolder(start);
    if (g_Finds[0] == INVALID_HANDLE_VALUE) {
        return 0;
    }
    DWORD rootAttributes = g_Msi.GetFileAttributesW(g_Walk);
    int have = 1;
    for (;;) {
        if (!have) {
            /* This folder is done: the folder itself, then back up. */
            g_Msi.FindClose(g_Finds[depth]);
            g_Walk[g_Lengths[depth]] = L'\0';
            if (depth == 0) {
                VisitFolder(tree, rootAttributes, start);
                return 1;
            }
            VisitFolder(tree, g_Msi.GetFileAttributesW(g_Walk), g_Lengths[depth]);
            depth--;
            g_Walk[g_Lengths[depth]] = L'\0';
            have = NextEntry(tree, g_Finds[depth]);
            continue;
        }
        if (!IsDots(g_Found.cFileName)) {
            size_t length = g_Lengths[depth];
            size_t nameLength = wcslen(g_Found.cFileName);
            DWORD attributes = g_Found.dwFileAttributes;
            if (length + 1 + nameLength >= PATH_CHARS) {
                NotDone(tree, ERROR_FILENAME_EXCED_RANGE);
            } else {
                g_Walk[length] = L'\\';
                wmemcpy(g_Walk + length + 1, g_Found.cFileName, nameLength + 1);
                size_t childLength = length + 1 + nameLength;
                /* A link to a folder is removed, never followed. */
                if ((attributes & FILE_ATTRIBUTE_DIRECTORY) && !(attributes & FILE_ATTRIBUTE_REPARSE_POINT) &&
                    depth + 1 < WALK_DEPTH) {
                    HANDLE find = OpenFolder(childLength);
                    if (find == INVALID_HANDLE_VALUE && tree->mode == WALK_SECURE) {
                        /* Shut to local system by its owner: taken first. */
                        SecureEntry(tree, IsLockedTop(tree, childLength));
                        find = OpenFolder(childLength);
                    }
                    if (find != INVALID_HANDLE_VALUE) {
                        depth++;
                        g_Finds[depth] = find;
                        g_Lengths[depth] = childLength;
                        continue;
                    }
                    /* What it holds is not known: not done, unless (PURGE=1) it
                    ** goes all the same, being empty. */
                    DWORD error = g_Msi.GetLastError();
                    if (tree->mode == WALK_PURGE) {
                        ClearReadOnly(attributes);
                    }
                    if (tree->mode == WALK_PURGE && g_Msi.RemoveDirectoryW(g_Walk)) {
                        tree->folders++;
                    } else {
                        NotDone(tree, error);
                    }
                } else if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
                    if (tree->mode != WALK_SECURE) {
                        VisitFolder(tree, attributes, childLength);
                    }
                } else {
                    VisitFile(tree, attributes);
                }
                g_Walk[length] = L'\0';
            }
        }
        have = NextEntry(tree, g_Finds[depth]);
    }
}

/*
** The payload's top-level entries ('|'-joined), each walked (a folder) or
** visited (a file); entries that are not there are passed over.
*/
static void WalkTopLevel(Tree *tree, const wchar_t *topLevel)
{
    static wchar_t name[MAX_PATH + 1];
    const wchar_t *cursor = topLevel;
    while (NextListName(&cursor, name, MAX_PATH + 1)) {
        size_t nameLength = wcslen(name);
        if (tree->rootLength + 1 + nameLength >= PATH_CHARS - 3 || wcschr(name, L'\\') != NULL || IsDots(name)) {
            continue;
        }
        g_Walk[tree->rootLength] = L'\\';
        wmemcpy(g_Walk + tree->rootLength + 1, name, nameLength + 1);
        size_t length = tree->rootLength + 1 + nameLength;
        DWORD attributes = g_Msi.GetFileAttributesW(g_Walk);
        DWORD error = attributes == INVALID_FILE_ATTRIBUTES ? g_Msi.GetLastError() : NO_ERROR;
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
            /* Gone already. */
        } else if (error != NO_ERROR) {
            NotDone(tree, error);
        } else if ((attributes & FILE_ATTRIBUTE_DIRECTORY) && !(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
            int walked = WalkTree(tree, length);
            if (!walked && tree->mode == WALK_SECURE) {
                /* Shut to local system by its owner: taken first. */
                SecureEntry(tree, IsLockedTop(tree, length));
                walked = WalkTree(tree, length);
            }
            if (!walked) {
                VisitFolder(tree, attributes, length);
            }
        } else if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
            if (tree->mode != WALK_SECURE) {
                VisitFolder(tree, attributes, length);
            }
        } else {
            VisitFile(tree, attributes);
        }
        g_Walk[tree->rootLength] = L'\0';
    }
}

/* 1 when `folder` (full, no trailing backslash) is `other` or holds it. */
static int Contains(const wchar_t *folder, const wchar_t *other)
{
    int length = (int)wcslen(folder);
    int otherLength = (int)wcslen(other);
    while (otherLength > 0 && other[otherLength - 1] == L'\\') {
        otherLength--;
    }
    if (otherLength == 0 || otherLength < length ||
        g_Msi.CompareStringOrdinal(folder, length, other, length, TRUE) != CSTR_EQUAL) {
        return 0;
    }
    return otherLength == length || other[length] == L'\\';
}

/*
** A folder that no product owns: a volume's root, the Windows folder or one
** inside it, the program, data and user folders, or one that holds any of
** them. PURGE=1 on such an INSTALLDIR would remove what is not ours. -1
** when one of them cannot be read (GetLastError): that cannot be told.
*/
static int IsSystemFolder(const wchar_t *folder)
{
    static const wchar_t *const variables[] = {L"ProgramFiles",   L"ProgramFiles(x86)", L"ProgramW6432",
                                               L"CommonProgramFiles", L"ProgramData",   L"ALLUSERSPROFILE",
                                               L"USERPROFILE",    L"PUBLIC",            L"SystemRoot"};
    static wchar_t other[PATH_CHARS];
    size_t length = wcslen(folder);
    if (length <= 3 || (length > 4 && wcsncmp(folder, L"\\\\", 2) == 0 && wcschr(folder + 2, L'\\') != NULL &&
                        wcschr(wcschr(folder + 2, L'\\') + 1, L'\\') == NULL)) {
        return 1;
    }
    UINT windowsLength = g_Msi.GetWindowsDirectoryW(other, PATH_CHARS);
    if (windowsLength == 0) {
        return -1;
    }
    if (windowsLength < PATH_CHARS && (Contains(folder, other) || Contains(other, folder))) {
        return 1;
    }
    for (size_t i = 0; i < sizeof(variables) / sizeof(variables[0]); i++) {
        DWORD got = g_Msi.GetEnvironmentVariableW(variables[i], other, PATH_CHARS);
        if (got == 0 && g_Msi.GetLastError() != ERROR_ENVVAR_NOT_FOUND) {
            return -1;
        }
        if (got > 0 && got < PATH_CHARS && Contains(folder, other)) {
            return 1;
        }
    }
    return 0;
}

/* Why LongForm failed: GetFullPathNameW's error, or 0 for a path too long. */
static DWORD g_FormError;

/*
** INSTALLDIR in its long-path form into g_Walk, without a trailing
** backslash; g_Full keeps the plain full form. 0 when it is no full path.
*/
static int LongForm(const wchar_t *installDir, size_t *length)
{
    DWORD full = g_Msi.GetFullPathNameW(installDir, PATH_CHARS, g_Full, NULL);
    g_FormError = full == 0 ? g_Msi.GetLastError() : NO_ERROR;
    if (full == 0 || full >= PATH_CHARS) {
        return 0;
    }
    while (full > 3 && g_Full[full - 1] == L'\\') {
        g_Full[--full] = L'\0';
    }
    const wchar_t *prefix = L"\\\\?\\";
    const wchar_t *rest = g_Full;
    if (wcsncmp(g_Full, L"\\\\?\\", 4) == 0) {
        prefix = L"";
    } else if (wcsncmp(g_Full, L"\\\\", 2) == 0) {
        prefix = L"\\\\?\\UNC\\";
        rest = g_Full + 2;
    }
    int written = _snwprintf(g_Walk, PATH_CHARS - 1, L"%ls%ls", prefix, rest);
    if (written < 0 || written >= PATH_CHARS - 3) {
        return 0;
    }
    g_Walk[written] = L'\0';
    *length = (size_t)written;
    return 1;
}

/* 1 when `name` is one of the '|'-joined `list`, any letter case. */
static int Listed(const wchar_t *name, const wchar_t *list)
{
    static wchar_t entry[MAX_PATH + 1];
    const wchar_t *cursor = list;
    while (NextListName(&cursor, entry, MAX_PATH + 1)) {
        if (g_Msi.CompareStringOrdinal(name, -1, entry, -1, TRUE) == CSTR_EQUAL) {
            return 1;
        }
    }
    return 0;
}

/* A folder that cannot be read counts as holding other things: PURGE=1 then
** removes only what is the product's. */
int FolderHoldsOnly(const wchar_t *installDir, const wchar_t *topLevel)
{
    size_t length;
    if (!LongForm(installDir, &length) && g_FormError == NO_ERROR) {
        return 1;
    }
    HANDLE find = g_FormError == NO_ERROR ? OpenFolder(length) : INVALID_HANDLE_VALUE;
    DWORD error = g_FormError != NO_ERROR ? g_FormError : find == INVALID_HANDLE_VALUE ? g_Msi.GetLastError() : NO_ERROR;
    int only = 1;
    for (BOOL more = find != INVALID_HANDLE_VALUE; more && only;) {
        only = IsDots(g_Found.cFileName) || Listed(g_Found.cFileName, topLevel);
        more = only && g_Msi.FindNextFileW(find, &g_Found);
    }
    if (find != INVALID_HANDLE_VALUE) {
        error = only && g_Msi.GetLastError() != ERROR_NO_MORE_FILES ? g_Msi.GetLastError() : NO_ERROR;
        g_Msi.FindClose(find);
    }
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND || error == NO_ERROR) {
        return only;
    }
    LogF(L"%ls nao pode ser lido (Erro %lu): tratado como pasta que ja tinha outros arquivos", installDir,
         (unsigned long)error);
    return 0;
}

/* What is left directly in INSTALLDIR (a shared one): named in the log. */
static void ListLeft(Tree *tree)
{
    HANDLE find = OpenFolder(tree->rootLength);
    if (find == INVALID_HANDLE_VALUE) {
        return;
    }
    unsigned long left = 0;
    for (BOOL more = TRUE; more; more = g_Msi.FindNextFileW(find, &g_Found)) {
        if (!IsDots(g_Found.cFileName) && ++left <= LIST_MAX) {
            LogF(L"  mantido (nao e do produto): %ls", g_Found.cFileName);
        }
    }
    if (g_Msi.GetLastError() != ERROR_NO_MORE_FILES) {
        LogF(L"  ... lista interrompida (Erro %lu)", (unsigned long)g_Msi.GetLastError());
    }
    g_Msi.FindClose(find);
    if (left > LIST_MAX) {
        LogF(L"  ... e mais %lu item(ns)", left - LIST_MAX);
    }
}

/* INSTALLDIR could not be read at the removal's end: gone already, or not ours to list. */
static void NotRead(const wchar_t *installDir, DWORD error)
{
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
        LogF(L"Nada foi mantido: %ls nao existe mais", installDir);
    } else {
        LogF(L"%ls nao pode ser lido (Erro %lu)", installDir, (unsigned long)error);
    }
}

void FinishRemoval(int purge, int shared, const wchar_t *installDir, const wchar_t *topLevel)
{
    Tree tree;
    memset(&tree, 0, sizeof(tree));
    tree.mode = purge ? WALK_PURGE : WALK_LIST;
    tree.shown = installDir;
    if (!LongForm(installDir, &tree.rootLength)) {
        if (g_FormError != NO_ERROR) {
            LogF(L"INSTALLDIR invalido (Erro %lu): %ls; nada foi removido", (unsigned long)g_FormError, installDir);
        } else {
            LogF(L"INSTALLDIR invalido: %ls; nada foi removido", installDir);
        }
        return;
    }
    int system = IsSystemFolder(g_Full);
    if (system < 0) {
        LogF(L"%ls nao pode ser comparado com as pastas do sistema (Erro %lu): %ls", installDir,
             (unsigned long)g_Msi.GetLastError(),
             purge ? L"PURGE=1 ignorado, nada foi removido" : L"o que restou nela nao foi listado");
        return;
    }
    if (system) {
        LogF(L"%ls e (ou contem) uma pasta do sistema: %ls", installDir,
             purge ? L"PURGE=1 ignorado, nada foi removido" : L"o que restou nela nao foi listado");
        return;
    }
    if (shared && topLevel[0] == L'\0') {
        /* Without the payload's list what is ours in it is not known. */
        LogF(L"%ls ja existia com outros arquivos antes da instalacao, e o pacote nao diz o que e do produto: %ls",
             installDir, purge ? L"PURGE=1 ignorado, nada foi removido" : L"o que restou nela nao foi listado");
        return;
    }
    if (shared) {
        if (g_Msi.GetFileAttributesW(g_Walk) == INVALID_FILE_ATTRIBUTES) {
            NotRead(installDir, g_Msi.GetLastError());
            return;
        }
        WalkTopLevel(&tree, topLevel);
        if (purge && g_Msi.RemoveDirectoryW(g_Walk)) {
            tree.folders++;
        }
    } else if (!WalkTree(&tree, tree.rootLength)) {
        NotRead(installDir, g_Msi.GetLastError());
        return;
    }
    if (purge) {
        LogF(L"PURGE=1: removidos %lu arquivo(s) e %lu pasta(s) de %ls", tree.files, tree.folders, installDir);
        if (tree.failed > 0) {
            LogF(L"PURGE=1: %lu item(ns) nao removido(s) de %ls", tree.failed, installDir);
        }
        if (shared && g_Msi.GetFileAttributesW(g_Walk) != INVALID_FILE_ATTRIBUTES) {
            LogF(L"%ls ja existia com outros arquivos antes da instalacao: so o que e do produto foi removido", installDir);
            ListLeft(&tree);
        }
    } else if (tree.failed > 0) {
        LogF(L"%lu item(ns) de %ls nao puderam ser lidos: a lista do que foi mantido esta incompleta", tree.failed,
             installDir);
    } else if (tree.files == 0) {
        LogF(L"Nada foi mantido em %ls (nenhuma configuracao nem dado do administrador)", installDir);
    } else if (tree.files > LIST_MAX) {
        LogF(L"  ... e mais %lu arquivo(s); %lu ao todo em %ls", tree.files - LIST_MAX, tree.files, installDir);
    }
}

UINT SecureFolders(const wchar_t *installDir, const wchar_t *topLevel)
{
    Tree tree;
    memset(&tree, 0, sizeof(tree));
    tree.mode = WALK_SECURE;
    tree.shown = installDir;
    if (!LongForm(installDir, &tree.rootLength)) {
        return g_FormError != NO_ERROR ? FailF(L"INSTALLDIR invalido (Erro %lu): %ls", (unsigned long)g_FormError, installDir)
                                       : FailF(L"INSTALLDIR invalido: %ls", installDir);
    }
    ReadSelf();
    /* Any owner may be set with the first, and the second opens what a
    ** user's entries shut to local system. */
    EnablePrivilege(L"SeRestorePrivilege");
    EnablePrivilege(L"SeTakeOwnershipPrivilege");
    SecureEntry(&tree, 1);
    if (topLevel[0] != L'\0') {
        WalkTopLevel(&tree, topLevel);
    } else if (!WalkTree(&tree, tree.rootLength)) {
        return FailF(L"%ls nao pode ser lido (Erro %lu)", installDir, (unsigned long)g_Msi.GetLastError());
    }
    if (tree.files > LIST_MAX) {
        LogF(L"  ... e mais %lu item(ns)", tree.files - LIST_MAX);
    }
    if (tree.files > 0) {
        LogF(L"%lu item(ns) de %ls passaram a pertencer aos Administradores ou perderam permissoes de escrita de "
             L"outros usuarios",
             tree.files, installDir);
    }
    if (tree.failed > 0) {
        return FailF(L"O dono ou as permissoes de %ls nao puderam ser corrigidos (Erro %lu): um usuario que nao e "
                     L"administrador poderia trocar o que roda como LocalSystem. Corrija-os (icacls) ou escolha "
                     L"outra pasta.",
                     g_FirstFailed, (unsigned long)tree.firstError);
    }
    return ERROR_SUCCESS;
}
