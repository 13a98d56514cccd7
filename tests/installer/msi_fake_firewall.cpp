// Windows Firewall behind the actions' seam: CoCreateInstance hands out a
// policy whose rule collection is fake.firewall. Like Windows, a rule checks
// each value as it is set (local ports only once a protocol allows them),
// Remove takes every rule of that name, and each object counts its references
// so a test can see that all were released.
#include "msi_fakes.h"

#include <netfw.h>

#include <algorithm>

int g_LiveComObjects;

namespace {

#define NOT_USED(...) HRESULT STDMETHODCALLTYPE __VA_ARGS__ override { return E_NOTIMPL; }

template <class Interface> struct Unknown : Interface {
    ULONG refs = 1;
    Unknown() { g_LiveComObjects++; }
    virtual ~Unknown() { g_LiveComObjects--; }
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void **out) override
    {
        if (iid == __uuidof(Interface) || iid == __uuidof(IUnknown)) {
            *out = this;
            AddRef();
            return S_OK;
        }
        *out = NULL;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs; }
    ULONG STDMETHODCALLTYPE Release() override
    {
        ULONG left = --refs;
        if (left == 0) {
            delete this;
        }
        return left;
    }
};

template <class Interface> struct Dispatch : Unknown<Interface> {
    NOT_USED(GetTypeInfoCount(UINT *))
    NOT_USED(GetTypeInfo(UINT, LCID, ITypeInfo **))
    NOT_USED(GetIDsOfNames(REFIID, LPOLESTR *, UINT, LCID, DISPID *))
    NOT_USED(Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS *, VARIANT *, EXCEPINFO *, UINT *))
};

HRESULT Out(BSTR *out, const std::wstring &text)
{
    *out = SysAllocString(text.c_str());
    return S_OK;
}

// A rule being made (its own fields) or one of the collection (by its id;
// one removed since keeps what it had).
struct Rule : Dispatch<INetFwRule> {
    FakeFwRule own;
    FakeFwRule &r()
    {
        for (FakeFwRule &f : fake.firewall) {
            if (own.id != 0 && f.id == own.id) {
                return f;
            }
        }
        return own;
    }
    HRESULT Put(std::wstring FakeFwRule::*field, BSTR value)
    {
        fake.calls.push_back(L"INetFwRule::put " + std::wstring(value));
        r().*field = value;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_Name(BSTR *v) override { return Out(v, r().name); }
    HRESULT STDMETHODCALLTYPE put_Name(BSTR v) override { return Put(&FakeFwRule::name, v); }
    HRESULT STDMETHODCALLTYPE get_Description(BSTR *v) override { return Out(v, r().description); }
    HRESULT STDMETHODCALLTYPE put_Description(BSTR v) override { return Put(&FakeFwRule::description, v); }
    HRESULT STDMETHODCALLTYPE get_ApplicationName(BSTR *v) override { return Out(v, r().program); }
    HRESULT STDMETHODCALLTYPE put_ApplicationName(BSTR v) override { return Put(&FakeFwRule::program, v); }
    HRESULT STDMETHODCALLTYPE get_Protocol(LONG *v) override { return *v = r().protocol, S_OK; }
    HRESULT STDMETHODCALLTYPE put_Protocol(LONG v) override { return r().protocol = v, S_OK; }
    HRESULT STDMETHODCALLTYPE get_LocalPorts(BSTR *v) override { return Out(v, r().ports); }
    HRESULT STDMETHODCALLTYPE put_LocalPorts(BSTR v) override
    {
        return r().protocol == 256 /* any */ ? E_INVALIDARG : Put(&FakeFwRule::ports, v);
    }
    HRESULT STDMETHODCALLTYPE get_RemoteAddresses(BSTR *v) override { return Out(v, r().remote); }
    HRESULT STDMETHODCALLTYPE put_RemoteAddresses(BSTR v) override { return Put(&FakeFwRule::remote, v); }
    HRESULT STDMETHODCALLTYPE get_Direction(NET_FW_RULE_DIRECTION *v) override { return *v = r().direction, S_OK; }
    HRESULT STDMETHODCALLTYPE put_Direction(NET_FW_RULE_DIRECTION v) override { return r().direction = v, S_OK; }
    HRESULT STDMETHODCALLTYPE get_Enabled(VARIANT_BOOL *v) override { return *v = r().enabled, S_OK; }
    HRESULT STDMETHODCALLTYPE put_Enabled(VARIANT_BOOL v) override { return r().enabled = v, S_OK; }
    HRESULT STDMETHODCALLTYPE get_Grouping(BSTR *v) override { return Out(v, r().grouping); }
    HRESULT STDMETHODCALLTYPE put_Grouping(BSTR v) override { return Put(&FakeFwRule::grouping, v); }
    HRESULT STDMETHODCALLTYPE get_Profiles(LONG *v) override { return *v = r().profiles, S_OK; }
    HRESULT STDMETHODCALLTYPE put_Profiles(LONG v) override { return r().profiles = v, S_OK; }
    HRESULT STDMETHODCALLTYPE get_Action(NET_FW_ACTION *v) override { return *v = r().action, S_OK; }
    HRESULT STDMETHODCALLTYPE put_Action(NET_FW_ACTION v) override { return r().action = v, S_OK; }
    NOT_USED(get_ServiceName(BSTR *))
    NOT_USED(put_ServiceName(BSTR))
    NOT_USED(get_RemotePorts(BSTR *))
    NOT_USED(put_RemotePorts(BSTR))
    NOT_USED(get_LocalAddresses(BSTR *))
    NOT_USED(put_LocalAddresses(BSTR))
    NOT_USED(get_IcmpTypesAndCodes(BSTR *))
    NOT_USED(put_IcmpTypesAndCodes(BSTR))
    NOT_USED(get_Interfaces(VARIANT *))
    NOT_USED(put_Interfaces(VARIANT))
    NOT_USED(get_InterfaceTypes(BSTR *))
    NOT_USED(put_InterfaceTypes(BSTR))
    NOT_USED(get_EdgeTraversal(VARIANT_BOOL *))
    NOT_USED(put_EdgeTraversal(VARIANT_BOOL))
};

struct Enum : Unknown<IEnumVARIANT> {
    size_t next = 0;
    HRESULT STDMETHODCALLTYPE Next(ULONG count, VARIANT *items, ULONG *got) override
    {
        *got = 0;
        if (count != 1 || next >= fake.firewall.size()) {
            return S_FALSE;
        }
        static int ids;
        if (fake.firewall[next].id == 0) {
            fake.firewall[next].id = ++ids;
        }
        Rule *rule = new Rule;
        rule->own = fake.firewall[next++];
        items->vt = VT_DISPATCH;
        items->pdispVal = rule;
        *got = 1;
        return S_OK;
    }
    NOT_USED(Skip(ULONG))
    NOT_USED(Reset())
    NOT_USED(Clone(IEnumVARIANT **))
};

struct Rules : Dispatch<INetFwRules> {
    HRESULT STDMETHODCALLTYPE get_Count(LONG *count) override { return *count = (LONG)fake.firewall.size(), S_OK; }
    HRESULT STDMETHODCALLTYPE Add(INetFwRule *rule) override
    {
        fake.calls.push_back(L"INetFwRules::Add");
        if (fake.firewallAddError != 0) {
            return fake.firewallAddError;
        }
        fake.firewall.push_back(static_cast<Rule *>(rule)->r());
        fake.firewall.back().id = 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Remove(BSTR name) override
    {
        fake.calls.push_back(L"INetFwRules::Remove " + std::wstring(name));
        std::vector<FakeFwRule> &all = fake.firewall;
        all.erase(std::remove_if(all.begin(), all.end(), [name](const FakeFwRule &r) { return r.name == name; }),
                  all.end());
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get__NewEnum(IUnknown **list) override { return *list = new Enum, S_OK; }
    NOT_USED(Item(BSTR, INetFwRule **))
};

struct Policy : Dispatch<INetFwPolicy2> {
    HRESULT STDMETHODCALLTYPE get_Rules(INetFwRules **rules) override
    {
        return fake.firewallRulesError != 0 ? fake.firewallRulesError : (*rules = new Rules, S_OK);
    }
    NOT_USED(get_CurrentProfileTypes(LONG *))
    NOT_USED(get_FirewallEnabled(NET_FW_PROFILE_TYPE2, VARIANT_BOOL *))
    NOT_USED(put_FirewallEnabled(NET_FW_PROFILE_TYPE2, VARIANT_BOOL))
    NOT_USED(get_ExcludedInterfaces(NET_FW_PROFILE_TYPE2, VARIANT *))
    NOT_USED(put_ExcludedInterfaces(NET_FW_PROFILE_TYPE2, VARIANT))
    NOT_USED(get_BlockAllInboundTraffic(NET_FW_PROFILE_TYPE2, VARIANT_BOOL *))
    NOT_USED(put_BlockAllInboundTraffic(NET_FW_PROFILE_TYPE2, VARIANT_BOOL))
    NOT_USED(get_NotificationsDisabled(NET_FW_PROFILE_TYPE2, VARIANT_BOOL *))
    NOT_USED(put_NotificationsDisabled(NET_FW_PROFILE_TYPE2, VARIANT_BOOL))
    NOT_USED(get_UnicastResponsesToMulticastBroadcastDisabled(NET_FW_PROFILE_TYPE2, VARIANT_BOOL *))
    NOT_USED(put_UnicastResponsesToMulticastBroadcastDisabled(NET_FW_PROFILE_TYPE2, VARIANT_BOOL))
    NOT_USED(get_ServiceRestriction(INetFwServiceRestriction **))
    NOT_USED(EnableRuleGroup(LONG, BSTR, VARIANT_BOOL))
    NOT_USED(IsRuleGroupEnabled(LONG, BSTR, VARIANT_BOOL *))
    NOT_USED(RestoreLocalFirewallDefaults())
    NOT_USED(get_DefaultInboundAction(NET_FW_PROFILE_TYPE2, NET_FW_ACTION *))
    NOT_USED(put_DefaultInboundAction(NET_FW_PROFILE_TYPE2, NET_FW_ACTION))
    NOT_USED(get_DefaultOutboundAction(NET_FW_PROFILE_TYPE2, NET_FW_ACTION *))
    NOT_USED(put_DefaultOutboundAction(NET_FW_PROFILE_TYPE2, NET_FW_ACTION))
    NOT_USED(get_IsRuleGroupCurrentlyEnabled(BSTR, VARIANT_BOOL *))
    NOT_USED(get_LocalPolicyModifyState(NET_FW_MODIFY_STATE *))
};

const GUID kPolicyClass = {0xE2B3C97F, 0x6AE1, 0x41AC, {0x81, 0x7A, 0xF6, 0xF9, 0x21, 0x66, 0xD7, 0xDD}};

HRESULT WINAPI FakeCoInitializeEx(LPVOID, DWORD) { return fake.comInits++, S_OK; }
void WINAPI FakeCoUninitialize() { fake.comInits--; }

HRESULT WINAPI FakeCoCreateInstance(REFCLSID cls, LPUNKNOWN, DWORD, REFIID, LPVOID *out)
{
    if (cls == kPolicyClass) {
        return fake.firewallPolicyError != 0 ? fake.firewallPolicyError : (*out = static_cast<INetFwPolicy2 *>(new Policy), S_OK);
    }
    *out = static_cast<INetFwRule *>(new Rule);
    return S_OK;
}

} // namespace

void InstallFirewallFakes()
{
    g_Msi.CoInitializeEx = FakeCoInitializeEx;
    g_Msi.CoUninitialize = FakeCoUninitialize;
    g_Msi.CoCreateInstance = FakeCoCreateInstance;
}
