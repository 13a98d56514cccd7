/*
** qv_msi_actions.dll: the MSI's custom actions for the service and the
** product's folders. The MSI carries it in its Binary table; it is never
** installed.
**
** An installation (first install, repair, upgrade) runs, in this order:
**   QvStopService    before any file is replaced: the registration found is
**                    captured, the service stopped and every program running
**                    from the product's folders ended (no file in use, so no
**                    reboot); rollback QvRollbackStop puts the captured
**                    registration back and starts it if it ran
**   QvSecureFolders  after the files: owners and permissions of what the
**                    product installs
**   QvInstallService a registration of this host is kept as it is; none, or
**                    another program's, is made by the host's -install;
**                    rollback QvRollbackInstall removes what it made
**   QvSetAccount     SERVICE_ACCOUNT, when given, switches the logon account
**                    (msi_account.cpp); QvRollbackStop puts the old one back
**   QvFirewallRules  Windows Firewall's rules (msi_firewall.cpp)
**   (RemoveExistingProducts: an older version's files go)
**   QvStartService   only now, so that the PBX never loads what the older
**                    version alone shipped: started if it ran before (or, on
**                    a first install, unless START_SERVICE=0), and watched;
**                    its recovery put back; rollback QvRollbackStart stops it
**                    before any file is restored
**   QvCommitInstall  once it all succeeded: the setup state goes
** An uninstall runs QvRemoveService (rollback QvRollbackStop too) and at its
** end QvFinishRemoval (PURGE=1, or the list of what stays).
**
** Their CustomActionData, '|'-separated (set by the MSI's type-51 actions):
**   QvStopService, QvRemoveService  RollbackDisabled|origin|again|host|INSTALLDIR|top-level names...
**   QvSecureFolders                 origin|INSTALLDIR|top-level names...
**   QvInstallService, QvStartService  START_SERVICE|host|SERVICE_ACCOUNT
**   QvSetAccount                      SERVICE_ACCOUNT
**   QvFinishRemoval                 PURGE|origin|INSTALLDIR|top-level names...
** where origin is "created" when the first install made INSTALLDIR (or found
** it holding only what an earlier installation kept) and "shared" when it
** held other things already (empty on a first install),
** again is empty only on a first install ("[Installed][WIX_UPGRADE_DETECTED]"),
** and the top-level names are the payload's own entries of INSTALLDIR.
*/
#include "msi_actions.h"

#include <string.h>
#include <wchar.h>

#define ORIGIN_CREATED L"created"
#define LOCAL_DUMPS L"HKLM\\SOFTWARE\\Microsoft\\Windows\\Windows Error Reporting\\LocalDumps\\"
#define ORIGIN_SHARED L"shared"

/*
** Immediate, before InstallInitialize: the settings given (or remembered)
** checked before anything changes, and the crash dumps' keys that belong to
** someone else named in the log (they are left as they are).
*/
extern "C" UINT __stdcall QvCheckSettings(MSIHANDLE install)
{
    static const wchar_t *const programs[][3] = {{L"asterisk.exe", L"QvDumpsFolderAsterisk", L"QvDumpsOursAsterisk"},
                                                 {L"quelvaron-service.exe", L"QvDumpsFolderHost", L"QvDumpsOursHost"}};
    g_Install = install;
    UINT result = CheckFirewallValues(install);
    if (result == ERROR_SUCCESS) {
        result = ReadAccount(install);
    }
    if (result != ERROR_SUCCESS) {
        return result;
    }
    const wchar_t *dumps = Property(install, L"CRASH_DUMPS");
    if (dumps == NULL) {
        return ERROR_INSTALL_FAILURE;
    }
    if (wcscmp(dumps, L"0") != 0 && wcscmp(dumps, L"1") != 0) {
        return FailF(L"CRASH_DUMPS=%ls nao e valido: use 1 (despejos de memoria em var\\crash) ou 0. Nada foi alterado.",
                     dumps);
    }
    if (wcscmp(dumps, L"0") == 0) {
        LogF(L"CRASH_DUMPS=0: nenhum despejo de memoria configurado para o PBX e o host");
        return ERROR_SUCCESS;
    }
    for (size_t i = 0; i < 2; i++) {
        const wchar_t *value = Property(install, programs[i][1]);
        int folder = value != NULL && value[0] != L'\0';
        value = value != NULL ? Property(install, programs[i][2]) : NULL;
        if (value == NULL) {
            return ERROR_INSTALL_FAILURE;
        }
        if (folder && value[0] == L'\0') {
            LogF(L"%ls%ls ja existe e nao foi escrito por este produto: fica como esta (os despejos de %ls vao para "
                 L"onde ele diz)",
                 LOCAL_DUMPS, programs[i][0], programs[i][0]);
        }
    }
    return ERROR_SUCCESS;
}

/* "START_SERVICE|host|SERVICE_ACCOUNT": the host's path, or a failure when
** it is missing. */
static const wchar_t *ReadHostData(MSIHANDLE install, UINT *result)
{
    if (ReadActionData(install) < 0) {
        *result = ERROR_INSTALL_FAILURE;
        return L"";
    }
    SplitData(2);
    *result = ERROR_SUCCESS;
    if (Field(1)[0] == L'\0') {
        *result = FailF(L"Caminho de quelvaron-service.exe ausente (CustomActionData).");
    }
    return Field(1);
}

/*
** Before files are replaced (every installation, a first one too: a service
** registered by hand may run from elsewhere, or from this very folder).
*/
extern "C" UINT __stdcall QvStopService(MSIHANDLE install)
{
    if (ReadActionData(install) < 0) {
        return ERROR_INSTALL_FAILURE;
    }
    SplitData(5);
    NoteRollbackDisabled(Field(0));
    const wchar_t *hostPath = Field(3), *installDir = Field(4), *topLevel = Field(5);
    CaptureService(hostPath);
    /* Only a first install sees INSTALLDIR as it was before the product: none,
    ** empty, or holding only what an earlier installation kept is the
    ** product's; anything else makes it shared. */
    if (Field(1)[0] == L'\0' && Field(2)[0] == L'\0' && installDir[0] != L'\0') {
        const wchar_t *origin = FolderHoldsOnly(installDir, topLevel) ? ORIGIN_CREATED : ORIGIN_SHARED;
        StateSetText(L"InstallDirOrigin", REG_SZ, origin, wcslen(origin) + 1);
    }
    if (!StopAndWait()) {
        return StopFailed(L"substituidos");
    }
    EndProductPrograms(hostPath, installDir, topLevel);
    return ERROR_SUCCESS;
}

/* Rollback of QvStopService and of QvRemoveService: the captured state back. */
extern "C" UINT __stdcall QvRollbackStop(MSIHANDLE install)
{
    g_Install = install;
    if (!InRollback(L"QvRollbackStop")) {
        return ERROR_SUCCESS;
    }
    RestoreService();
    /* The first install's note of how it found INSTALLDIR goes with it. */
    if (StateText(L"InstallDirOrigin", g_Image, 16)) {
        ProductForget(L"InstallDirOrigin");
    }
    StateClear();
    return ERROR_SUCCESS;
}

/*
** What a user made in INSTALLDIR before the product came. A folder the first
** install made holds nothing of that kind (Windows Installer makes its
** folders, and locks them owned by Administrators), so only one that was
** there already, or of unknown origin, is walked.
*/
extern "C" UINT __stdcall QvSecureFolders(MSIHANDLE install)
{
    static wchar_t origin[16];
    if (ReadActionData(install) < 0) {
        return ERROR_INSTALL_FAILURE;
    }
    SplitData(2);
    if (Field(1)[0] == L'\0') {
        return FailF(L"INSTALLDIR ausente (CustomActionData).");
    }
    if (Field(0)[0] != L'\0') {
        FormatInto(origin, 16, L"%ls", Field(0));
    } else if (!StateText(L"InstallDirOrigin", origin, 16)) {
        origin[0] = L'\0';
    }
    if (wcscmp(origin, ORIGIN_CREATED) == 0) {
        LogF(L"%ls foi criado pela primeira instalacao: nada nele e de outro dono", Field(1));
        return ERROR_SUCCESS;
    }
    return SecureFolders(Field(1), Field(2));
}

/*
** After the files: one registration, of the installed host. Its own is
** kept (only the preshutdown timeout is set, as on every installation);
** none, or another program's, is registered by the host's -install.
*/
extern "C" UINT __stdcall QvInstallService(MSIHANDLE install)
{
    UINT result;
    int held = 0;
    const wchar_t *hostPath = ReadHostData(install, &result);
    if (result != ERROR_SUCCESS) {
        return result;
    }
    /* QvStopService's capture is the rollback's: one that cannot be read is
    ** not taken again over it. */
    LONG stateError;
    if (!StatePresent(&stateError)) {
        if (stateError != ERROR_SUCCESS) {
            return FailF(L"O estado desta instalacao nao pode ser lido (Erro %ld).", (long)stateError);
        }
        CaptureService(hostPath);
    }
    if (StateDword(L"Disposition", REG_ABSENT) == REG_OURS) {
        LogF(L"QuelvaronAsterisk: registro deste host mantido (conta, inicio, recuperacao, dependencias, "
             L"permissoes e descricao ficam como estao)");
        SetPreshutdownTimeout();
        return ERROR_SUCCESS;
    }
    result = CheckHostPath(hostPath);
    if (result == ERROR_SUCCESS) {
        result = RemoveService(hostPath, &held);
    }
    if (result != ERROR_SUCCESS) {
        return result;
    }
    /* -install fails with 1072 while the old registration is only marked. */
    if (held) {
        LogF(L"QuelvaronAsterisk: aguardando a remocao do registro anterior (ate %d s)", GONE_TIMEOUT_MS / 1000);
    }
    if (!WaitGone(GONE_TIMEOUT_MS)) {
        if (g_QueryError != NO_ERROR) {
            return FailF(L"O estado do servico QuelvaronAsterisk nao pode ser lido (Erro %lu).",
                         (unsigned long)g_QueryError);
        }
        return FailF(L"O registro anterior do servico QuelvaronAsterisk esta marcado para remocao, mas um console "
                     L"de Servicos (services.msc) ou uma ferramenta de monitoracao ainda o mantem aberto ha %d s; "
                     L"o servico nao pode ser registrado de novo. Feche esse programa e repita a instalacao.",
                     GONE_TIMEOUT_MS / 1000);
    }
    DWORD exitCode;
    int ran = RunHost(hostPath, L"-install", &exitCode);
    if (ran != HOST_RAN || exitCode != 0) {
        return HostFailed(L"-install", ran, exitCode);
    }
    StateSetDword(L"Registered", 1);
    SetPreshutdownTimeout();
    return ERROR_SUCCESS;
}

/* Rollback of QvInstallService: a registration it made goes. */
extern "C" UINT __stdcall QvRollbackInstall(MSIHANDLE install)
{
    g_Install = install;
    if (!InRollback(L"QvRollbackInstall") || StateDword(L"Registered", 0) == 0) {
        return ERROR_SUCCESS;
    }
    StopAndWait();
    DWORD error = DeleteDirectly();
    WaitGone(GONE_GRACE_MS);
    LogF(L"QuelvaronAsterisk: registro feito por esta instalacao removido (resultado %lu)", (unsigned long)error);
    return ERROR_SUCCESS;
}

/*
** Once the older version's files are gone: the running state the service
** had, or, for a registration just made, START_SERVICE (default 1). A
** disabled service stays disabled and stopped.
*/
extern "C" UINT __stdcall QvStartService(MSIHANDLE install)
{
    UINT result;
    static wchar_t origin[16];
    const wchar_t *hostPath = ReadHostData(install, &result);
    if (result != ERROR_SUCCESS) {
        return result;
    }
    int registered = StateDword(L"Registered", 0) != 0;
    DWORD state = StateDword(L"State", SERVICE_STOPPED);
    DWORD startType = StateDword(L"Start", SERVICE_AUTO_START);
    int start;
    if (registered) {
        start = wcscmp(Field(0), L"0") != 0;
        if (!start) {
            LogF(L"QuelvaronAsterisk registrado e nao iniciado (START_SERVICE=0): inicia no proximo boot do Windows");
        }
    } else if (startType == SERVICE_DISABLED) {
        start = 0;
        LogF(L"QuelvaronAsterisk esta desativado: continua desativado e nao foi iniciado");
    } else {
        start = state != SERVICE_STOPPED && state != SERVICE_STOP_PENDING;
        if (!start) {
            LogF(L"QuelvaronAsterisk estava parado antes da instalacao: continua parado");
        }
    }
    if (start) {
        result = StartAndWatch(hostPath);
        if (result != ERROR_SUCCESS && _wcsicmp(Field(2), L"virtual") == 0) {
            FailF(L"O servico QuelvaronAsterisk nao ficou em execucao com a conta virtual NT SERVICE\\QuelvaronAsterisk "
                  L"(SERVICE_ACCOUNT=virtual): a instalacao volta a conta anterior.");
        }
    }
    /* The administrator's recovery, whatever happened: with rollback off
    ** nothing else would put it back. */
    if (!registered) {
        RestoreRecovery();
    }
    if (result != ERROR_SUCCESS) {
        return result;
    }
    if (StateText(L"InstallDirOrigin", origin, 16)) {
        ProductSetText(L"InstallDirOrigin", origin);
    }
    return ERROR_SUCCESS;
}

/*
** Once the whole installation has succeeded (commit): the setup state is
** no longer needed. (With rollback off, commit actions never run: the state
** stays until the next installation or removal captures its own.)
*/
extern "C" UINT __stdcall QvCommitInstall(MSIHANDLE install)
{
    g_Install = install;
    StateClear();
    return ERROR_SUCCESS;
}

/* Rollback of QvStartService: the new PBX stops before any file is restored. */
extern "C" UINT __stdcall QvRollbackStart(MSIHANDLE install)
{
    g_Install = install;
    if (InRollback(L"QvRollbackStart")) {
        StopAndWait();
    }
    return ERROR_SUCCESS;
}

/*
** Uninstall: captured (for its rollback), stopped, removed (by the SCM
** directly if the host cannot do it), and nothing left running from the
** product's folders. The host's path may be missing on disk, or empty: then
** only the SCM removes the service.
*/
extern "C" UINT __stdcall QvRemoveService(MSIHANDLE install)
{
    int held = 0;
    g_Install = install;
    if (NewerVersionInstalled(install)) {
        return ERROR_SUCCESS;
    }
    if (ReadActionData(install) < 0) {
        return ERROR_INSTALL_FAILURE;
    }
    SplitData(5);
    NoteRollbackDisabled(Field(0));
    const wchar_t *hostPath = Field(3);
    if (hostPath[0] == L'\0') {
        LogF(L"Caminho de quelvaron-service.exe ausente (CustomActionData): o servico sera removido pelo "
             L"Gerenciador de Servicos");
    }
    CaptureService(hostPath);
    UINT result = RemoveService(hostPath, &held);
    if (result == ERROR_SUCCESS && (hostPath[0] != L'\0' || Field(4)[0] != L'\0')) {
        EndProductPrograms(hostPath, Field(4), Field(5));
    }
    return result;
}

/*
** The end of a whole uninstall (a commit action; the last deferred one when
** rollback is off, since commit actions then never run): with PURGE=1
** nothing of the product is left; otherwise what is left stays and the log
** says what and where. Nothing can be undone here: failures are logged, and
** the action succeeds.
*/
extern "C" UINT __stdcall QvFinishRemoval(MSIHANDLE install)
{
    g_Install = install;
    if (NewerVersionInstalled(install)) {
        return ERROR_SUCCESS;
    }
    StateClear();
    if (ReadActionData(install) <= 0) {
        return ERROR_SUCCESS;
    }
    SplitData(3);
    if (Field(2)[0] == L'\0') {
        LogF(L"QvFinishRemoval: CustomActionData sem \"<PURGE>|<origem>|<INSTALLDIR>|<nomes>\"; nada foi removido");
        return ERROR_SUCCESS;
    }
    /* Not known to be ours whole (no note of the first install): only what is ours. */
    FinishRemoval(wcscmp(Field(0), L"1") == 0, wcscmp(Field(1), ORIGIN_CREATED) != 0, Field(2), Field(3));
    return ERROR_SUCCESS;
}
