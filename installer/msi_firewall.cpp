/*
** Windows Firewall's inbound rules for the PBX: the phones' SIP and RTP
** reach bin\asterisk.exe, and nothing else (never the manager port, which
** the console reaches on 127.0.0.1). A service in session 0 gets no prompt
** to allow it, so without them every registration is dropped in silence.
**
** One rule per protocol, through the firewall's COM interface
** (INetFwPolicy2): inbound, allow, for the PBX's full path, on the ports and
** profiles asked for, from the remote addresses asked for, grouped under the
** product's name. Rule names need not be unique: our rules are those of our
** grouping and program, and one is removed by giving it a name of its own
** first.
**
**   CheckFirewallValues    (QvCheckSettings, immediate, before
**                          InstallInitialize) the values against their
**                          grammar; a bad one stops the installation
**                          before anything changes
**   QvFirewallRules        install, repair, upgrade: our rules replaced by
**                          the ones asked for (none with FIREWALL=0); the old
**                          ones kept in the setup state for the rollback
**   QvFirewallRemove       uninstall (not the older version's removal in an
**                          upgrade): our rules gone, kept for the rollback
**   QvRollbackFirewall     both rollbacks: our rules as they were
** CustomActionData: FIREWALL|asterisk.exe|UDP ports|TCP ports|profiles|remote.
**
** A firewall that is not there (its service stopped, or an interface that
** does nothing, as Wine's) gets no rules and a warning: the installation
** goes on. Any other failing call fails it with a message.
*/
#define _CRT_SECURE_NO_WARNINGS
#include "msi_actions.h"

#include <netfw.h>
#include <oleauto.h>

#include <string.h>
#include <wchar.h>

#define GROUPING L"Quelvaron Asterisk PBX"
#define DESCRIPTION L"Permite a entrada de SIP e RTP em asterisk.exe (Quelvaron Asterisk PBX)"
/* Rules kept in the state: ten texts each, '=' before each (empty ones too). */
#define RULE_FIELDS 10
#define KEPT_CHARS 16384
#define TEXT_MAX 2048

static const GUID kPolicyClass = {0xE2B3C97F, 0x6AE1, 0x41AC, {0x81, 0x7A, 0xF6, 0xF9, 0x21, 0x66, 0xD7, 0xDD}};
static const GUID kRuleClass = {0x2C5BC43E, 0x3369, 0x4C33, {0xAB, 0x0C, 0xBE, 0x94, 0x69, 0x67, 0x7A, 0xF4}};

/* ---------------------------------------------------------------------- */
/* The values' grammar (stated in the administrator's guide)               */

static int Digits(const wchar_t **at, unsigned long max, unsigned long *value)
{
    const wchar_t *start = *at;
    *value = 0;
    while (**at >= L'0' && **at <= L'9' && *at - start < 6) {
        *value = *value * 10 + (unsigned long)(**at - L'0');
        (*at)++;
    }
    return *at > start && *value <= max;
}

/* "5060", "10000-20000", "5060,5061": ports 1-65535, ranges low to high. */
int ValidPorts(const wchar_t *text)
{
    const wchar_t *at = text;
    for (;;) {
        unsigned long low, high;
        if (!Digits(&at, 65535, &low) || low == 0) {
            return 0;
        }
        high = low;
        if (*at == L'-' && (at++, !Digits(&at, 65535, &high) || high < low)) {
            return 0;
        }
        if (*at != L',') {
            return *at == L'\0';
        }
        at++;
    }
}

/* "domain,private": the bitmask Windows Firewall takes, 0 when invalid. */
LONG ProfilesMask(const wchar_t *text)
{
    static const struct {
        const wchar_t *name;
        LONG bit;
    } names[] = {{L"domain", NET_FW_PROFILE2_DOMAIN}, {L"private", NET_FW_PROFILE2_PRIVATE},
                 {L"public", NET_FW_PROFILE2_PUBLIC}};
    LONG mask = 0;
    const wchar_t *at = text;
    for (;;) {
        size_t length = wcscspn(at, L",");
        LONG bit = 0;
        for (size_t i = 0; i < sizeof(names) / sizeof(names[0]); i++) {
            if (wcslen(names[i].name) == length && _wcsnicmp(at, names[i].name, length) == 0) {
                bit = names[i].bit;
            }
        }
        if (bit == 0) {
            return 0;
        }
        mask |= bit;
        at += length;
        if (*at == L'\0') {
            return mask;
        }
        at++;
    }
}

static int Ipv4(const wchar_t **at)
{
    for (int part = 0; part < 4; part++) {
        unsigned long value;
        if ((part > 0 && *(*at)++ != L'.') || !Digits(at, 255, &value)) {
            return 0;
        }
    }
    return 1;
}

/* Eight groups of hex digits, or fewer around one "::". */
static int Ipv6(const wchar_t **at)
{
    int groups = 0, gap = 0;
    if ((*at)[0] == L':' && (*at)[1] == L':') {
        gap = 1;
        *at += 2;
    }
    for (;;) {
        int digits = 0;
        while (digits < 5 && iswxdigit((*at)[digits])) {
            digits++;
        }
        if (digits == 0 || digits > 4) {
            if (digits > 4) {
                return 0;
            }
            break;
        }
        *at += digits;
        groups++;
        if ((*at)[0] == L':' && (*at)[1] == L':') {
            if (gap) {
                return 0;
            }
            gap = 1;
            *at += 2;
        } else if ((*at)[0] == L':') {
            (*at)++;
            if (!iswxdigit(**at)) {
                return 0;
            }
        } else {
            break;
        }
    }
    return gap ? groups <= 7 : groups == 8;
}

/* One address, range or subnet of either family. */
static int Address(const wchar_t **at)
{
    const wchar_t *start = *at;
    int v4 = Ipv4(at);
    if (!v4) {
        *at = start;
        if (!Ipv6(at)) {
            return 0;
        }
    }
    unsigned long bits;
    if (**at == L'-') {
        (*at)++;
        return v4 ? Ipv4(at) : Ipv6(at);
    }
    if (**at == L'/') {
        (*at)++;
        const wchar_t *mask = *at;
        return Digits(at, v4 ? 32 : 128, &bits) || (v4 && (*at = mask, Ipv4(at)));
    }
    return 1;
}

/* "*" alone, or a list of Windows Firewall's keywords and addresses. */
int ValidRemote(const wchar_t *text)
{
    static const wchar_t *const keywords[] = {L"LocalSubnet", L"DNS", L"DHCP", L"WINS", L"DefaultGateway"};
    if (wcscmp(text, L"*") == 0) {
        return 1;
    }
    const wchar_t *at = text;
    for (;;) {
        size_t length = wcscspn(at, L",");
        int known = 0;
        for (size_t i = 0; i < sizeof(keywords) / sizeof(keywords[0]); i++) {
            known |= wcslen(keywords[i]) == length && _wcsnicmp(at, keywords[i], length) == 0;
        }
        const wchar_t *end = at;
        if (!known && (!Address(&end) || end != at + length)) {
            return 0;
        }
        at += length;
        if (*at == L'\0') {
            return 1;
        }
        at++;
    }
}

/* ---------------------------------------------------------------------- */
/* The firewall through COM                                                */

typedef struct {
    wchar_t text[RULE_FIELDS][TEXT_MAX];
} KeptRule;

static wchar_t g_Kept[KEPT_CHARS];
static size_t g_KeptUsed;
static KeptRule g_Rule;
static unsigned g_Renamed;

static int Unavailable(HRESULT hr)
{
    return hr == E_NOTIMPL || hr == REGDB_E_CLASSNOTREG || hr == HRESULT_FROM_WIN32(EPT_S_NOT_REGISTERED) ||
           hr == HRESULT_FROM_WIN32(RPC_S_SERVER_UNAVAILABLE) || hr == HRESULT_FROM_WIN32(ERROR_SERVICE_NOT_ACTIVE);
}

/* The result of a failed step: a warning for a firewall that is not there. */
static UINT FirewallFailed(const wchar_t *step, HRESULT hr)
{
    if (Unavailable(hr)) {
        LogF(L"Windows Firewall indisponivel (%ls: 0x%08lX): nenhuma regra do PBX foi criada nem removida; abra as "
             L"portas no firewall em uso",
             step, (unsigned long)hr);
        return ERROR_SUCCESS;
    }
    return FailF(L"Regras do Windows Firewall para o PBX: %ls falhou (0x%08lX). Verifique se uma politica de grupo "
                 L"bloqueia regras locais, ou instale com FIREWALL=0.",
                 step, (unsigned long)hr);
}

static HRESULT PutText(HRESULT (STDMETHODCALLTYPE INetFwRule::*put)(BSTR), INetFwRule *rule, const wchar_t *text)
{
    BSTR value = g_Msi.SysAllocString(text);
    if (value == NULL) {
        return E_OUTOFMEMORY;
    }
    HRESULT hr = (rule->*put)(value);
    g_Msi.SysFreeString(value);
    return hr;
}

static void GetText(HRESULT (STDMETHODCALLTYPE INetFwRule::*get)(BSTR *), INetFwRule *rule, wchar_t *out)
{
    BSTR value = NULL;
    out[0] = L'\0';
    if (SUCCEEDED((rule->*get)(&value)) && value != NULL) {
        FormatInto(out, TEXT_MAX, L"%ls", value);
    }
    g_Msi.SysFreeString(value);
}

/* A rule of ours is of our grouping and our program. */
static int IsOurs(INetFwRule *rule, const wchar_t *program)
{
    GetText(&INetFwRule::get_Grouping, rule, g_Rule.text[0]);
    GetText(&INetFwRule::get_ApplicationName, rule, g_Rule.text[1]);
    return _wcsicmp(g_Rule.text[0], GROUPING) == 0 && _wcsicmp(g_Rule.text[1], program) == 0;
}

static void Keep(INetFwRule *rule)
{
    LONG number = 0;
    VARIANT_BOOL enabled = VARIANT_FALSE;
    NET_FW_RULE_DIRECTION direction = NET_FW_RULE_DIR_IN;
    NET_FW_ACTION action = NET_FW_ACTION_ALLOW;
    GetText(&INetFwRule::get_Name, rule, g_Rule.text[2]);
    GetText(&INetFwRule::get_Description, rule, g_Rule.text[3]);
    GetText(&INetFwRule::get_LocalPorts, rule, g_Rule.text[4]);
    GetText(&INetFwRule::get_RemoteAddresses, rule, g_Rule.text[5]);
    rule->get_Protocol(&number);
    FormatInto(g_Rule.text[6], TEXT_MAX, L"%ld", (long)number);
    rule->get_Profiles(&number);
    FormatInto(g_Rule.text[7], TEXT_MAX, L"%ld", (long)number);
    rule->get_Enabled(&enabled);
    rule->get_Direction(&direction);
    rule->get_Action(&action);
    FormatInto(g_Rule.text[8], TEXT_MAX, L"%d", enabled != VARIANT_FALSE);
    FormatInto(g_Rule.text[9], TEXT_MAX, L"%d %d", (int)direction, (int)action);
    for (int i = 0; i < RULE_FIELDS; i++) {
        int written = FormatInto(g_Kept + g_KeptUsed, KEPT_CHARS - g_KeptUsed - 1, L"=%ls", g_Rule.text[i]);
        if (written < 0) {
            LogF(L"Regras do firewall demais para guardar; a reversao pode nao restaura-las");
            return;
        }
        g_KeptUsed += (size_t)written + 1;
    }
    g_Kept[g_KeptUsed] = L'\0';
}

/*
** Our rules removed (kept first when `keep`): each is given a name of its
** own, then removed by it, since Remove takes a name and names repeat.
*/
static HRESULT RemoveOurs(INetFwRules *rules, const wchar_t *program, int keep, unsigned *removed)
{
    static wchar_t name[64];
    IUnknown *unknown = NULL;
    IEnumVARIANT *list = NULL;
    *removed = 0;
    HRESULT hr = rules->get__NewEnum(&unknown);
    if (SUCCEEDED(hr)) {
        hr = unknown->QueryInterface(__uuidof(IEnumVARIANT), (void **)&list);
        unknown->Release();
    }
    if (FAILED(hr)) {
        return hr;
    }
    /* Collected first: removing while enumerating would skip rules. */
    static INetFwRule *ours[64];
    unsigned count = 0;
    VARIANT item;
    g_Msi.VariantInit(&item);
    for (ULONG got = 0; count < 64 && list->Next(1, &item, &got) == S_OK && got == 1; g_Msi.VariantClear(&item)) {
        INetFwRule *rule = NULL;
        if (item.vt == VT_DISPATCH && item.pdispVal != NULL &&
            SUCCEEDED(item.pdispVal->QueryInterface(__uuidof(INetFwRule), (void **)&rule))) {
            if (IsOurs(rule, program)) {
                ours[count++] = rule;
            } else {
                rule->Release();
            }
        }
    }
    g_Msi.VariantClear(&item);
    list->Release();
    for (unsigned i = 0; i < count; i++) {
        if (SUCCEEDED(hr)) {
            if (keep) {
                Keep(ours[i]);
            }
            FormatInto(name, 64, L"Quelvaron Asterisk PBX (removendo %u-%lu)", ++g_Renamed,
                       (unsigned long)g_Msi.GetTickCount());
            hr = PutText(&INetFwRule::put_Name, ours[i], name);
            if (SUCCEEDED(hr)) {
                BSTR value = g_Msi.SysAllocString(name);
                hr = value != NULL ? rules->Remove(value) : E_OUTOFMEMORY;
                g_Msi.SysFreeString(value);
            }
            *removed += SUCCEEDED(hr);
        }
        ours[i]->Release();
    }
    return hr;
}

typedef struct {
    const wchar_t *name, *description, *program, *ports, *remote, *grouping;
    LONG protocol, profiles;
    VARIANT_BOOL enabled;
    NET_FW_RULE_DIRECTION direction;
    NET_FW_ACTION action;
} RuleFields;

/* The protocol goes before the ports: the firewall checks each value as it is set. */
static HRESULT AddRule(INetFwRules *rules, const RuleFields *want, const wchar_t **step)
{
    INetFwRule *rule = NULL;
    *step = L"CoCreateInstance(NetFwRule)";
    HRESULT hr = g_Msi.CoCreateInstance(kRuleClass, NULL, CLSCTX_INPROC_SERVER, __uuidof(INetFwRule), (void **)&rule);
    if (FAILED(hr)) {
        return hr;
    }
    if (SUCCEEDED(hr = PutText(&INetFwRule::put_Name, rule, want->name)) &&
        SUCCEEDED(hr = PutText(&INetFwRule::put_Description, rule, want->description)) &&
        SUCCEEDED(hr = PutText(&INetFwRule::put_ApplicationName, rule, want->program)) &&
        SUCCEEDED(hr = rule->put_Protocol(want->protocol)) &&
        SUCCEEDED(hr = PutText(&INetFwRule::put_LocalPorts, rule, want->ports)) &&
        SUCCEEDED(hr = PutText(&INetFwRule::put_RemoteAddresses, rule, want->remote)) &&
        SUCCEEDED(hr = rule->put_Direction(want->direction)) && SUCCEEDED(hr = rule->put_Action(want->action)) &&
        SUCCEEDED(hr = rule->put_Profiles(want->profiles)) &&
        SUCCEEDED(hr = PutText(&INetFwRule::put_Grouping, rule, want->grouping)) &&
        SUCCEEDED(hr = rule->put_Enabled(want->enabled))) {
        *step = L"INetFwRules::Add";
        hr = rules->Add(rule);
    } else {
        *step = L"INetFwRule (valores da regra)";
    }
    rule->Release();
    if (SUCCEEDED(hr)) {
        LogF(L"Regra do firewall: %ls (%ls %ls, perfis %ld, origem %ls)", want->name,
             want->protocol == NET_FW_IP_PROTOCOL_UDP ? L"UDP" : L"TCP", want->ports, (long)want->profiles, want->remote);
    }
    return hr;
}

/* The policy's rules, COM started for this call; NULL with *hr set. */
static INetFwRules *OpenRules(HRESULT *hr, int *uninit, const wchar_t **step)
{
    INetFwPolicy2 *policy = NULL;
    INetFwRules *rules = NULL;
    /* Refused (RPC_E_CHANGED_MODE), COM is already up on this thread in the
    ** other model: it serves as it is, and is not ours to end. */
    *hr = g_Msi.CoInitializeEx(NULL, COINIT_APARTMENTTHREADED);
    *uninit = SUCCEEDED(*hr);
    *step = L"CoCreateInstance(NetFwPolicy2)";
    *hr = g_Msi.CoCreateInstance(kPolicyClass, NULL, CLSCTX_INPROC_SERVER, __uuidof(INetFwPolicy2), (void **)&policy);
    if (SUCCEEDED(*hr)) {
        *step = L"INetFwPolicy2::get_Rules";
        *hr = policy->get_Rules(&rules);
        policy->Release();
    }
    if (FAILED(*hr) && *uninit) {
        g_Msi.CoUninitialize();
        *uninit = 0;
    }
    return FAILED(*hr) ? NULL : rules;
}

static void CloseRules(INetFwRules *rules, int uninit)
{
    rules->Release();
    if (uninit) {
        g_Msi.CoUninitialize();
    }
}

/* The rules kept in the state, added again. */
static HRESULT AddKept(INetFwRules *rules, const wchar_t **step)
{
    static wchar_t kept[KEPT_CHARS];
    const wchar_t *field[RULE_FIELDS];
    HRESULT hr = S_OK;
    if (!StateText(L"FirewallRules", kept, KEPT_CHARS)) {
        return S_OK;
    }
    for (const wchar_t *at = kept; *at == L'=' && SUCCEEDED(hr);) {
        int i = 0;
        for (; i < RULE_FIELDS && *at == L'='; i++) {
            field[i] = at + 1;
            at += wcslen(at) + 1;
        }
        if (i < RULE_FIELDS) {
            break;
        }
        int direction = NET_FW_RULE_DIR_IN, action = NET_FW_ACTION_ALLOW;
        swscanf(field[9], L"%d %d", &direction, &action);
        RuleFields kept = {field[2], field[3], field[1], field[4], field[5], field[0], _wtol(field[6]), _wtol(field[7]),
                           _wtoi(field[8]) ? VARIANT_TRUE : VARIANT_FALSE, (NET_FW_RULE_DIRECTION)direction,
                           (NET_FW_ACTION)action};
        hr = AddRule(rules, &kept, step);
    }
    return hr;
}

/* ---------------------------------------------------------------------- */
/* Entry points                                                            */

static wchar_t g_Value[TEXT_MAX];

const wchar_t *Property(MSIHANDLE install, const wchar_t *name)
{
    DWORD size = TEXT_MAX;
    UINT result = g_Msi.MsiGetPropertyW(install, name, g_Value, &size);
    if (result == ERROR_MORE_DATA) {
        g_Value[0] = L'\0';
    } else if (result != ERROR_SUCCESS) {
        FailF(L"A propriedade %ls nao pode ser lida (Erro %u).", name, result);
        return NULL;
    }
    return g_Value;
}

UINT CheckFirewallValues(MSIHANDLE install)
{
    static const struct {
        const wchar_t *name;
        int (*valid)(const wchar_t *);
        const wchar_t *grammar;
    } checks[] = {
        {L"FIREWALL_UDP_PORTS", ValidPorts, L"portas de 1 a 65535 e faixas a-b, separadas por virgulas"},
        {L"FIREWALL_TCP_PORTS", ValidPorts, L"portas de 1 a 65535 e faixas a-b, separadas por virgulas"},
        {L"FIREWALL_REMOTE", ValidRemote,
         L"* ou, separados por virgulas, LocalSubnet, DNS, DHCP, WINS, DefaultGateway, enderecos IPv4 ou IPv6, "
         L"faixas a-b e sub-redes endereco/bits"},
    };
    g_Install = install;
    const wchar_t *on = Property(install, L"FIREWALL");
    if (on == NULL) {
        return ERROR_INSTALL_FAILURE;
    }
    if (wcscmp(on, L"0") != 0 && wcscmp(on, L"1") != 0) {
        return FailF(L"FIREWALL=%ls nao e valido: use 1 (regras criadas) ou 0 (nenhuma regra).", on);
    }
    for (size_t i = 0; i < sizeof(checks) / sizeof(checks[0]); i++) {
        const wchar_t *value = Property(install, checks[i].name);
        if (value == NULL) {
            return ERROR_INSTALL_FAILURE;
        }
        if (!checks[i].valid(value)) {
            return FailF(L"%ls=%ls nao e valido: use %ls. Nada foi alterado.", checks[i].name, value,
                         checks[i].grammar);
        }
    }
    const wchar_t *profiles = Property(install, L"FIREWALL_PROFILES");
    if (profiles == NULL) {
        return ERROR_INSTALL_FAILURE;
    }
    if (ProfilesMask(profiles) == 0) {
        return FailF(L"FIREWALL_PROFILES=%ls nao e valido: use domain, private e public, separados por virgulas. "
                     L"Nada foi alterado.",
                     profiles);
    }
    return ERROR_SUCCESS;
}

extern "C" UINT __stdcall QvFirewallRules(MSIHANDLE install)
{
    static wchar_t nameUdp[] = L"Quelvaron Asterisk PBX (SIP e RTP, UDP)";
    static wchar_t nameTcp[] = L"Quelvaron Asterisk PBX (SIP, TCP)";
    HRESULT hr;
    int uninit;
    unsigned removed = 0;
    const wchar_t *step;
    if (ReadActionData(install) < 0) {
        return ERROR_INSTALL_FAILURE;
    }
    SplitData(5);
    const wchar_t *program = Field(1);
    INetFwRules *rules = OpenRules(&hr, &uninit, &step);
    if (rules == NULL) {
        return FirewallFailed(step, hr);
    }
    g_KeptUsed = 0;
    g_Kept[0] = L'\0';
    step = L"INetFwRules::Remove";
    hr = RemoveOurs(rules, program, 1, &removed);
    StateSetText(L"FirewallRules", REG_MULTI_SZ, g_Kept[0] != L'\0' ? g_Kept : L"\0", g_KeptUsed + 1);
    if (SUCCEEDED(hr) && removed > 0) {
        LogF(L"Regras anteriores do firewall para %ls removidas: %u", program, removed);
    }
    if (SUCCEEDED(hr) && wcscmp(Field(0), L"0") == 0) {
        LogF(L"FIREWALL=0: nenhuma regra do firewall criada para o PBX");
    } else if (SUCCEEDED(hr)) {
        LONG profiles = ProfilesMask(Field(4));
        RuleFields udp = {nameUdp, DESCRIPTION, program, Field(2), Field(5), GROUPING, NET_FW_IP_PROTOCOL_UDP, profiles,
                          VARIANT_TRUE, NET_FW_RULE_DIR_IN, NET_FW_ACTION_ALLOW};
        RuleFields tcp = udp;
        tcp.name = nameTcp;
        tcp.ports = Field(3);
        tcp.protocol = NET_FW_IP_PROTOCOL_TCP;
        hr = AddRule(rules, &udp, &step);
        if (SUCCEEDED(hr)) {
            hr = AddRule(rules, &tcp, &step);
        }
    }
    CloseRules(rules, uninit);
    return FAILED(hr) ? FirewallFailed(step, hr) : ERROR_SUCCESS;
}

extern "C" UINT __stdcall QvFirewallRemove(MSIHANDLE install)
{
    HRESULT hr;
    int uninit;
    unsigned removed = 0;
    const wchar_t *step;
    g_Install = install;
    if (NewerVersionInstalled(install)) {
        return ERROR_SUCCESS;
    }
    if (ReadActionData(install) < 0) {
        return ERROR_INSTALL_FAILURE;
    }
    SplitData(5);
    INetFwRules *rules = OpenRules(&hr, &uninit, &step);
    if (rules == NULL) {
        return FirewallFailed(step, hr);
    }
    g_KeptUsed = 0;
    g_Kept[0] = L'\0';
    hr = RemoveOurs(rules, Field(1), 1, &removed);
    StateSetText(L"FirewallRules", REG_MULTI_SZ, g_Kept[0] != L'\0' ? g_Kept : L"\0", g_KeptUsed + 1);
    CloseRules(rules, uninit);
    if (SUCCEEDED(hr)) {
        LogF(L"Regras do firewall para %ls removidas: %u", Field(1), removed);
    }
    return FAILED(hr) ? FirewallFailed(L"INetFwRules::Remove", hr) : ERROR_SUCCESS;
}

extern "C" UINT __stdcall QvRollbackFirewall(MSIHANDLE install)
{
    HRESULT hr;
    int uninit;
    unsigned removed = 0;
    const wchar_t *step = L"INetFwRules::Remove";
    if (!ReadActionData(install) || !InRollback(L"QvRollbackFirewall")) {
        return ERROR_SUCCESS;
    }
    SplitData(5);
    INetFwRules *rules = OpenRules(&hr, &uninit, &step);
    if (rules == NULL) {
        LogF(L"Regras do firewall para %ls nao restauradas: %ls falhou (0x%08lX)", Field(1), step, (unsigned long)hr);
        return ERROR_SUCCESS;
    }
    hr = RemoveOurs(rules, Field(1), 0, &removed);
    if (SUCCEEDED(hr)) {
        hr = AddKept(rules, &step);
    }
    CloseRules(rules, uninit);
    LogF(L"Regras do firewall para %ls como estavam antes (resultado 0x%08lX)", Field(1), (unsigned long)hr);
    return ERROR_SUCCESS;
}
