// Who can write the folders the service runs from: the decision over a
// security descriptor, and the warnings of -install and of the service.
#include "win32_fakes.h"

#include <sddl.h>

using ::testing::ElementsAre;

namespace {

TEST(FolderWritableByOthers, DecidesFromTheOwnerAndTheDacl)
{
    const std::string msi = "D:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)", ti = "S-1-5-80-956008885-3418522649-1831038044-"
                                                                       "1851688439-2271478464", u = "S-1-5-21-1-2-3-1001";
    // 1: another group writes; 2: so can an owner other than SYSTEM, Administrators or TrustedInstaller.
    const std::pair<std::string, int> cases[] = {
        {kDriveRootChildSddl, 3}, {kLockedFolderSddl, 0}, {msi, 0},
        {"D:AI(A;ID;FA;;;" + ti + ")(A;CIIOID;GA;;;" + ti + ")(A;OICIID;FA;;;SY)(A;OICIID;FA;;;BA)(A;ID;0x1200a9;;;BU)"
         "(A;OICIIOID;GXGR;;;BU)(A;OICIIOID;GA;;;CO)", 0},                          // under Program Files
        {msi + "(A;;FW;;;WD)", 1}, {msi + "(A;;DC;;;BU)", 1}, {msi + "(A;OIIO;GW;;;BU)", 1}, // inherit-only: the files
        {"D:P(D;OICI;0xd0046;;;AU)(A;OICI;0x1301bf;;;AU)", 0}, {"D:P(D;OICI;0xd0046;;;WD)(A;OICI;0x1301bf;;;AU)", 0},
        {"D:P(A;OICI;0x1301bf;;;AU)(D;OICI;0xd0046;;;AU)", 1}, {"D:P(D;OICI;0xd0046;;;BU)(A;OICI;0x1301bf;;;AU)", 1},
        {"D:P(D;CI;0xd0046;;;AU)(A;OICI;0x1301bf;;;AU)", 1},                        // the deny misses the files
        {"O:BA", 1}, {"O:BAD:P", 0}, {"O:" + u + "D:P(A;OICI;FA;;;" + u + ")", 3}, {"O:BAD:P(A;OICI;FA;;;" + u + ")", 1},
        {"O:" + ti + msi, 0}, {"O:" + u + msi, 2}, {"O:" + u + msi + "(A;OICIIO;0x1200a9;;;OW)", 2}, // not for the folder
        {"O:" + u + "D:P(A;;0x1200a9;;;OW)(A;OICI;FA;;;SY)", 0}, {"O:" + u + msi + "(A;;FA;;;OW)", 2}, {"O:SY" + msi + "(A;;FA;;;OW)", 0},
        {"O:" + u + msi + "(D;;WD;;;OW)", 0}, // a deny takes the owner's implicit rights away too
    };
    for (const auto &c : cases) {
        PSECURITY_DESCRIPTOR sd = nullptr;
        ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorA(c.first.c_str(), SDDL_REVISION_1, &sd, nullptr));
        EXPECT_EQ(FolderWritableByOthers(sd), c.second) << c.first;
        LocalFree(sd);
    }
    // A NULL DACL (built by hand: Wine parses "D:NO_ACCESS_CONTROL" as an empty one).
    SECURITY_DESCRIPTOR open;
    InitializeSecurityDescriptor(&open, SECURITY_DESCRIPTOR_REVISION);
    SetSecurityDescriptorDacl(&open, TRUE, nullptr, FALSE);
    EXPECT_EQ(FolderWritableByOthers(&open), 1);
    // A descriptor that cannot be read is passed over.
    SECURITY_DESCRIPTOR unreadable = {};
    EXPECT_EQ(FolderWritableByOthers(&unreadable), 0);
    // An entry of a type not read (a callback entry for Everyone) denies nothing.
    BYTE world[SECURITY_MAX_SID_SIZE], users[SECURITY_MAX_SID_SIZE], acl[256];
    DWORD size = sizeof world;
    ASSERT_TRUE(CreateWellKnownSid(WinWorldSid, nullptr, world, &size));
    size = sizeof users;
    ASSERT_TRUE(CreateWellKnownSid(WinAuthenticatedUserSid, nullptr, users, &size));
    ASSERT_TRUE(InitializeAcl((PACL)acl, sizeof acl, ACL_REVISION));
    ASSERT_TRUE(AddAccessDeniedAceEx((PACL)acl, ACL_REVISION, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE, FILE_ALL_ACCESS, world));
    ASSERT_TRUE(AddAccessAllowedAceEx((PACL)acl, ACL_REVISION, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE, 0x1301bf, users));
    void *first = nullptr;
    ASSERT_TRUE(GetAce((PACL)acl, 0, &first));
    ((ACE_HEADER *)first)->AceType = ACCESS_DENIED_CALLBACK_ACE_TYPE;
    ASSERT_TRUE(SetSecurityDescriptorDacl(&open, TRUE, (PACL)acl, FALSE));
    EXPECT_EQ(FolderWritableByOthers(&open), 1);
}

// `owner`: the folder's owner is the trouble, and the fix names a new one.
std::string Warning(const std::string &folder, const char *between, bool owner = true)
{
    const char *next = *between == ' ' ? " " : "\n  ";
    return "A pasta '" + folder + "' pode ser alterada por usuarios que nao sao administradores: um programa trocado "
           "nela roda como LocalSystem no proximo inicio do servico." + between + "Para proteger a pasta, execute como "
           "Administrador:" + next + "icacls \"" + folder + "\" /inheritance:r /grant:r "
           "*S-1-5-18:(OI)(CI)F *S-1-5-32-544:(OI)(CI)F *S-1-5-32-545:(OI)(CI)RX" +
           (owner ? next + ("icacls \"" + folder + "\" /setowner *S-1-5-32-544 /T /C") : "");
}

class FolderWarning : public ServiceHostTest {
  protected:
    std::string Install(const std::string &module, const std::string &pbx, std::map<std::string, std::string> sddl)
    {
        fake = FakeWin32();
        fake.modulePath = module;
        fake.existingFiles = {pbx};
        fake.folderSddl = sddl;
        char program[] = "svc.exe", option[] = "-install";
        char *argv[] = {program, option, nullptr};
        ::testing::internal::CaptureStdout();
        EXPECT_EQ(ServiceCommandMain(2, argv), 0);
        return ::testing::internal::GetCapturedStdout();
    }
};

TEST_F(FolderWarning, InstallWarnsAboutEachExposedFolderOnceAndStillSucceeds)
{
    const std::string ok = "[OK] Servico 'Quelvaron Asterisk PBX Service' instalado com sucesso!\n";
    EXPECT_EQ(Install("C:\\QV\\bin\\q.exe", "C:\\QV\\bin\\asterisk.exe", {{"C:\\QV\\bin", kDriveRootChildSddl}}),
              ok + "[AVISO] " + Warning("C:\\QV\\bin", "\n[AVISO] ") + "\n");
    EXPECT_THAT(fake.securityQueries, ElementsAre("C:\\QV\\bin 5")) << "one folder, owner and DACL";
    EXPECT_EQ(Install("C:\\QV\\bin\\q.exe", "C:\\Asterisk\\bin\\asterisk.exe",
                      {{"C:\\QV\\bin", kLockedFolderSddl}, {"C:\\Asterisk\\bin", kDriveRootChildSddl}}),
              ok + "[AVISO] " + Warning("C:\\Asterisk\\bin", "\n[AVISO] ") + "\n");
    EXPECT_EQ(Install("C:\\q.exe", "", {{"C:\\", kDriveRootChildSddl}}), ok + "[AVISO] " + Warning("C:\\", "\n[AVISO] ") + "\n");
    EXPECT_EQ(Install("C:\\QV\\bin\\q.exe", "C:\\Asterisk\\bin\\asterisk.exe", {{"C:\\QV\\bin", kLockedFolderSddl}}), ok)
        << "locked, or unreadable: silent";
    EXPECT_EQ(Install("C:\\QV\\bin\\q.exe", "", {{"C:\\QV\\bin", kLockedFolderSddl + std::string("(A;;FW;;;WD)")}}),
              ok + "[AVISO] " + Warning("C:\\QV\\bin", "\n[AVISO] ", false) + "\n") << "an owner trusted: no new one";
}

TEST_F(FolderWarning, TheServiceWritesAWarningEventBeforeItStartsThePbxAnyway)
{
    const std::string longest = "C:\\" + std::string(243, 'd'); // its asterisk.exe: 259 characters
    for (const std::string &folder : {std::string("C:\\Asterisk\\bin"), longest}) {
        fake = FakeWin32();
        g_ProcessHandle = NULL;
        fake.modulePath = folder == longest ? longest + "\\q.exe" : fake.modulePath;
        fake.existingFiles = {folder + "\\asterisk.exe"};
        fake.folderSddl = {{"C:\\QV\\bin", kLockedFolderSddl}, {folder, kDriveRootChildSddl}};
        ASSERT_EQ(StartServiceProcess(), 1);
        ASSERT_EQ(fake.events.size(), 2u);
        EXPECT_EQ(fake.events[0].type, EVENTLOG_WARNING_TYPE);
        EXPECT_EQ(fake.events[0].text, Warning(folder, " ")) << "whole, even for the longest folder";
        EXPECT_EQ(fake.events[1].text, "Disparando processo Asterisk PBX: \"" + folder + "\\asterisk.exe\" -f -vvv");
    }
}

} // namespace
