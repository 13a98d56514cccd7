// Windows Firewall's rules for the PBX (installer/msi_firewall.cpp) against
// the fake policy of msi_fake_firewall.cpp: the values' grammar, the rules as
// made, replaced, removed and put back, and the failures.
#include "msi_fakes.h"


extern "C" UINT __stdcall QvFirewallRules(MSIHANDLE install);
extern "C" UINT __stdcall QvFirewallRemove(MSIHANDLE install);
extern "C" UINT __stdcall QvRollbackFirewall(MSIHANDLE install);

namespace {

using ::testing::Contains;
using ::testing::HasSubstr;

const std::wstring kPbx = L"C:\\QV\\bin\\asterisk.exe";
const std::wstring kGroup = L"Quelvaron Asterisk PBX";

void Settings(const std::wstring &udp, const std::wstring &tcp, const std::wstring &profiles, const std::wstring &remote)
{
    fake.properties = {{L"FIREWALL", L"1"}, {L"FIREWALL_UDP_PORTS", udp}, {L"FIREWALL_TCP_PORTS", tcp},
                       {L"FIREWALL_PROFILES", profiles}, {L"FIREWALL_REMOTE", remote}, {L"CRASH_DUMPS", L"1"}};
}

void Rules(const std::wstring &on, const std::wstring &profiles = L"domain,private", const std::wstring &remote = L"*")
{
    fake.properties[L"CustomActionData"] = on + L"|" + kPbx + L"|5060,10000-20000|5060-5061|" + profiles + L"|" + remote;
}

FakeFwRule Ours(const std::wstring &name, const std::wstring &ports)
{
    FakeFwRule r;
    r.name = name;
    r.program = kPbx;
    r.grouping = kGroup;
    r.protocol = NET_FW_IP_PROTOCOL_UDP;
    r.ports = ports;
    r.remote = L"LocalSubnet";
    r.enabled = VARIANT_TRUE;
    return r;
}

TEST_F(MsiActionsTest, FirewallValuesFollowTheirGrammar)
{
    const struct {
        const wchar_t *udp, *tcp, *profiles, *remote;
        bool valid;
    } rows[] = {
        {L"5060,10000-20000", L"5060-5061", L"domain,private", L"*", true},
        {L"1,65535", L"1-1", L"PUBLIC", L"LocalSubnet,dns,192.168.0.0/16,10.0.0.1-10.0.0.9", true},
        {L"5060", L"5061", L"domain,private,public", L"10.1.2.0/255.255.255.0,fe80::/10,::1,2001:db8:0:0:0:0:0:1", true},
        {L"0", L"5060", L"domain", L"*", false},
        {L"5060", L"65536", L"domain", L"*", false},
        {L"20000-10000", L"5060", L"domain", L"*", false},
        {L"5060,", L"5060", L"domain", L"*", false},
        {L"RPC", L"5060", L"domain", L"*", false},
        {L"5060 ,5061", L"5060", L"domain", L"*", false},
        {L"5060", L"5060", L"domain,work", L"*", false},
        {L"5060", L"5060", L"", L"*", false},
        {L"5060", L"5060", L"domain", L"*,LocalSubnet", false},
        {L"5060", L"5060", L"domain", L"10.0.0.256", false},
        {L"5060", L"5060", L"domain", L"10.0.0.0/33", false},
        {L"5060", L"5060", L"domain", L"1::2::3", false},
        {L"5060", L"5060", L"domain", L"", false},
    };
    for (const auto &row : rows) {
        fake.messages.clear();
        Settings(row.udp, row.tcp, row.profiles, row.remote);
        EXPECT_EQ(QvCheckSettings(FAKE_INSTALL) == ERROR_SUCCESS, row.valid)
            << row.udp << " " << row.tcp << " " << row.profiles << " " << row.remote;
        if (!row.valid) {
            EXPECT_THAT(Log(), Contains(HasSubstr(L"nao e valido"))) << row.remote;
        }
    }
    Settings(L"5060", L"5060", L"domain", L"*");
    fake.properties[L"FIREWALL"] = L"yes";
    EXPECT_EQ(QvCheckSettings(FAKE_INSTALL), (UINT)ERROR_INSTALL_FAILURE);
    EXPECT_THAT(Log(), Contains(L"ERRO: FIREWALL=yes nao e valido: use 1 (regras criadas) ou 0 (nenhuma regra)."));
}

// Made with the values asked for; ours replaced, another program's rule of
// the same name untouched; a rollback puts ours back as they were.
TEST_F(MsiActionsTest, FirewallRulesAreOursAloneAndComeBack)
{
    FakeFwRule theirs = Ours(L"Quelvaron Asterisk PBX (SIP e RTP, UDP)", L"9");
    theirs.program = L"C:\\Other\\pbx.exe";
    fake.firewall = {Ours(L"Quelvaron Asterisk PBX (SIP e RTP, UDP)", L"5060"), theirs};
    Rules(L"1", L"domain,public", L"LocalSubnet");
    ASSERT_EQ(QvFirewallRules(FAKE_INSTALL), (UINT)ERROR_SUCCESS);
    ASSERT_EQ(fake.firewall.size(), 3u);
    EXPECT_EQ(fake.firewall[0].program, L"C:\\Other\\pbx.exe");
    const FakeFwRule &udp = fake.firewall[1], &tcp = fake.firewall[2];
    EXPECT_EQ(udp.protocol, NET_FW_IP_PROTOCOL_UDP);
    EXPECT_EQ(udp.ports, L"5060,10000-20000");
    EXPECT_EQ(tcp.protocol, NET_FW_IP_PROTOCOL_TCP);
    EXPECT_EQ(tcp.ports, L"5060-5061");
    for (const FakeFwRule *r : {&udp, &tcp}) {
        EXPECT_EQ(r->program, kPbx);
        EXPECT_EQ(r->grouping, kGroup);
        EXPECT_EQ(r->profiles, NET_FW_PROFILE2_DOMAIN | NET_FW_PROFILE2_PUBLIC);
        EXPECT_EQ(r->remote, L"LocalSubnet");
        EXPECT_EQ(r->direction, NET_FW_RULE_DIR_IN);
        EXPECT_EQ(r->action, NET_FW_ACTION_ALLOW);
        EXPECT_EQ(r->enabled, VARIANT_TRUE);
    }
    fake.rollback = true;
    fake.properties[L"CustomActionData"] = L"|" + kPbx;
    QvRollbackFirewall(FAKE_INSTALL);
    ASSERT_EQ(fake.firewall.size(), 2u);
    EXPECT_EQ(fake.firewall[0].program, L"C:\\Other\\pbx.exe");
    EXPECT_EQ(fake.firewall[1].ports, L"5060");
    EXPECT_EQ(fake.firewall[1].remote, L"LocalSubnet");
}

TEST_F(MsiActionsTest, FirewallRulesGoAtUninstallAndComeBackOnItsRollback)
{
    fake.firewall = {Ours(L"a", L"5060"), Ours(L"b", L"5061")};
    fake.properties[L"CustomActionData"] = L"|" + kPbx;
    EXPECT_EQ(QvFirewallRemove(FAKE_INSTALL), (UINT)ERROR_SUCCESS);
    EXPECT_TRUE(fake.firewall.empty());
    fake.rollback = true;
    QvRollbackFirewall(FAKE_INSTALL);
    ASSERT_EQ(fake.firewall.size(), 2u);
    EXPECT_EQ(fake.firewall[1].name, L"b");
    // FIREWALL=0 on a repair: ours go, none is made.
    fake.rollback = false;
    Rules(L"0");
    EXPECT_EQ(QvFirewallRules(FAKE_INSTALL), (UINT)ERROR_SUCCESS);
    EXPECT_TRUE(fake.firewall.empty());
}

// A failing call fails the installation with a message; a firewall that is
// not there (stopped, or an interface that does nothing) only warns.
TEST_F(MsiActionsTest, FirewallFailuresAreSaid)
{
    Rules(L"1");
    fake.firewallAddError = E_ACCESSDENIED;
    EXPECT_EQ(QvFirewallRules(FAKE_INSTALL), (UINT)ERROR_INSTALL_FAILURE);
    EXPECT_THAT(Log(), Contains(HasSubstr(L"ERRO: Regras do Windows Firewall para o PBX: INetFwRules::Add falhou (0x80070005)")));
    fake.messages.clear();
    fake.firewallAddError = 0;
    fake.firewallRulesError = HRESULT_FROM_WIN32(EPT_S_NOT_REGISTERED);
    EXPECT_EQ(QvFirewallRules(FAKE_INSTALL), (UINT)ERROR_SUCCESS);
    EXPECT_THAT(Log(), Contains(HasSubstr(L"Windows Firewall indisponivel (INetFwPolicy2::get_Rules: 0x800706D9)")));
}

} // namespace
