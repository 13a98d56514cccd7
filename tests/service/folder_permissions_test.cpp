// Who can write the folders the service runs from: the decision over a
// security descriptor, and the warnings of -install and of the service.
#include "win32_fakes.h"

#include <sddl.h>

using ::testing::ElementsAre;
using ::testing::internal::CaptureStdout;
using ::testing::internal::GetCapturedStdout;

namespace {

const char kTrustedInstaller[] = "S-1-5-80-956008885-3418522649-1831038044-1851688439-2271478464";
const std::string kWineUser = "S-1-5-21-0-0-0-1000";

// Wine's SDDL parser turns "D:NO_ACCESS_CONTROL" into an empty DACL (Windows
// gives a NULL one): kNullDacl stands for a descriptor built by hand.
const char kNullDacl[] = "NULL DACL";

int Decide(const std::string &sddl)
{
    if (sddl == kNullDacl) {
        SECURITY_DESCRIPTOR absolute;
        InitializeSecurityDescriptor(&absolute, SECURITY_DESCRIPTOR_REVISION);
        SetSecurityDescriptorDacl(&absolute, TRUE, nullptr, FALSE);
        return FolderWritableByOthers(&absolute);
    }
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl.c_str(), SDDL_REVISION_1, &sd, nullptr)) {
        ADD_FAILURE() << "bad SDDL: " << sddl;
        return -1;
    }
    int exposed = FolderWritableByOthers(sd);
    LocalFree(sd);
    return exposed;
}

TEST(FolderWritableByOthers, DecidesFromTheOwnerAndTheDacl)
{
    const std::string ti = kTrustedInstaller;
    const std::string locked = "D:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";
    struct Case {
        const char *what;
        std::string sddl;
        int exposed;
    };
    const Case cases[] = {
        {"a new folder under a default C:\\", kDriveRootChildSddl, 1},
        {"the MSI's program folder", kLockedFolderSddl, 0},
        {"the MSI's etc\\ and var\\", locked, 0},
        {"a folder under Program Files",
         "O:" + ti + "D:AI(A;ID;FA;;;" + ti + ")(A;CIIOID;GA;;;" + ti + ")(A;ID;FA;;;SY)(A;OICIIOID;GA;;;SY)"
         "(A;ID;FA;;;BA)(A;OICIIOID;GA;;;BA)(A;ID;0x1200a9;;;BU)(A;OICIIOID;GXGR;;;BU)(A;OICIIOID;GA;;;CO)"
         "(A;ID;0x1200a9;;;AC)(A;OICIIOID;GXGR;;;AC)", 0},
        {"an explicit Everyone write entry", locked + "(A;;FW;;;WD)", 1},
        {"Users may only delete entries", locked + "(A;;DC;;;BU)", 1},
        {"Users may change the permissions", locked + "(A;;WD;;;BU)", 1},
        {"an inherited modify entry", locked + "(A;OICIID;0x1301bf;;;AU)", 1},
        {"an inherit-only entry reaches the files", locked + "(A;OIIO;GW;;;BU)", 1},
        {"a deny entry first", "D:P(D;OICI;0xd0046;;;AU)" + locked.substr(3) + "(A;OICI;0x1301bf;;;AU)", 0},
        {"Everyone denied first", "D:P(D;OICI;0xd0046;;;WD)(A;OICI;0x1301bf;;;AU)", 0},
        {"a deny entry after the grant", locked + "(A;OICI;0x1301bf;;;AU)(D;OICI;0xd0046;;;AU)", 1},
        {"a deny entry for another group", "D:P(D;OICI;0xd0046;;;BU)(A;OICI;0x1301bf;;;AU)", 1},
        {"a deny entry that misses the files", "D:P(D;CI;0xd0046;;;AU)(A;OICI;0x1301bf;;;AU)", 1},
        {"a NULL DACL", kNullDacl, 1},
        {"no DACL at all", "O:BA", 1},
        {"an empty DACL", "O:BAD:P", 0},
        {"the owner may write", "O:S-1-5-21-1-2-3-1001D:P(A;OICI;FA;;;S-1-5-21-1-2-3-1001)", 0},
        {"a user who is not the owner", "O:BAD:P(A;OICI;FA;;;S-1-5-21-1-2-3-1001)", 1},
        {"Wine, mode 0755", "O:" + kWineUser + "D:(A;;0x1f01ff;;;" + kWineUser + ")(A;;0x1200a9;;;WD)", 0},
        {"Wine, mode 0777", "O:" + kWineUser + "D:(A;;0x1f01ff;;;" + kWineUser + ")(A;;0x1301bf;;;WD)", 1},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(Decide(c.sddl), c.exposed) << c.what << ": " << c.sddl;
    }
}

const char kProgramFolder[] = "C:\\QV\\bin";
const char kAsteriskFolder[] = "C:\\Asterisk\\bin";

std::string Warning(const std::string &folder)
{
    return "[AVISO] A pasta '" + folder +
           "' pode ser alterada por usuarios que nao sao administradores: um programa trocado nela roda como "
           "LocalSystem no proximo inicio do servico.\n"
           "[AVISO] Para proteger a pasta, execute como Administrador:\n"
           "  icacls \"" + folder + "\" /inheritance:r /grant:r *S-1-5-18:(OI)(CI)F *S-1-5-32-544:(OI)(CI)F "
           "*S-1-5-32-545:(OI)(CI)RX\n";
}

class FolderWarning : public ServiceHostTest {
  protected:
    std::string Install()
    {
        char program[] = "svc.exe", option[] = "-install";
        char *argv[] = {program, option, nullptr};
        CaptureStdout();
        EXPECT_EQ(ServiceCommandMain(2, argv), 0);
        return GetCapturedStdout();
    }
    std::vector<EventCall> Warnings()
    {
        std::vector<EventCall> warnings;
        for (const EventCall &e : fake.events) {
            if (e.type == EVENTLOG_WARNING_TYPE) {
                warnings.push_back(e);
            }
        }
        return warnings;
    }
};

const char kInstalled[] = "[OK] Servico 'Quelvaron Asterisk PBX Service' instalado com sucesso!\n";

TEST_F(FolderWarning, InstallWarnsAboutEachExposedFolderOnceAndStillSucceeds)
{
    // The PBX beside the program: one folder, read once.
    fake.existingFiles = {"C:\\QV\\bin\\asterisk.exe"};
    fake.folderSddl = {{kProgramFolder, kDriveRootChildSddl}};
    EXPECT_EQ(Install(), kInstalled + Warning(kProgramFolder));
    EXPECT_THAT(fake.securityQueries, ElementsAre("C:\\QV\\bin 5")) << "owner and DACL";
    EXPECT_EQ(fake.regValues.size(), 2u);

    // A PBX installed by hand elsewhere: both folders, each on its own merits.
    fake = FakeWin32();
    fake.existingFiles = {"C:\\Asterisk\\bin\\asterisk.exe"};
    fake.folderSddl = {{kProgramFolder, kLockedFolderSddl}, {kAsteriskFolder, kDriveRootChildSddl}};
    EXPECT_EQ(Install(), kInstalled + Warning(kAsteriskFolder));
    EXPECT_THAT(fake.securityQueries, ElementsAre("C:\\QV\\bin 5", "C:\\Asterisk\\bin 5"));

    // A program at a drive's root lives in "C:\", not in "C:".
    fake = FakeWin32();
    fake.modulePath = "C:\\quelvaron-service.exe";
    fake.folderSddl = {{"C:\\", kDriveRootChildSddl}};
    EXPECT_EQ(Install(), kInstalled + Warning("C:\\"));
}

TEST_F(FolderWarning, InstallStaysSilentForLockedOrUnreadableFolders)
{
    fake.existingFiles = {"C:\\Asterisk\\bin\\asterisk.exe"};
    fake.folderSddl = {{kProgramFolder, kLockedFolderSddl}};
    fake.createServiceError = ERROR_SERVICE_EXISTS;
    EXPECT_EQ(Install(), "[INFO] O servico 'QuelvaronAsterisk' ja esta instalado.\n");
    EXPECT_THAT(fake.securityQueries, ElementsAre("C:\\QV\\bin 5", "C:\\Asterisk\\bin 5"));
    EXPECT_EQ(fake.log.back(), "CloseServiceHandle " + Hex(FAKE_SCM));
}

TEST_F(FolderWarning, TheServiceWritesAWarningEventAndStartsThePbxAnyway)
{
    fake.existingFiles = {"C:\\Asterisk\\bin\\asterisk.exe"};
    fake.folderSddl = {{kProgramFolder, kLockedFolderSddl}, {kAsteriskFolder, kDriveRootChildSddl}};
    ASSERT_EQ(StartServiceProcess(), 1);
    std::vector<EventCall> warnings = Warnings();
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_EQ(warnings[0].text,
              "A pasta 'C:\\Asterisk\\bin' pode ser alterada por usuarios que nao sao administradores: um programa "
              "trocado nela roda como LocalSystem no proximo inicio do servico. Para proteger a pasta, execute "
              "como Administrador: icacls \"C:\\Asterisk\\bin\" /inheritance:r /grant:r *S-1-5-18:(OI)(CI)F "
              "*S-1-5-32-544:(OI)(CI)F *S-1-5-32-545:(OI)(CI)RX");
    EXPECT_EQ(fake.events.back().text, "Disparando processo Asterisk PBX: \"C:\\Asterisk\\bin\\asterisk.exe\" -f -vvv")
        << "the warning comes before the PBX starts";

    // The longest folder: the whole command still fits the event.
    fake = FakeWin32();
    g_ProcessHandle = NULL;
    std::string folder = "C:\\" + std::string(259 - 3 - 13, 'd');
    fake.modulePath = folder + "\\asterisk.exe";
    fake.existingFiles = {fake.modulePath};
    fake.folderSddl = {{folder, kDriveRootChildSddl}};
    ASSERT_EQ(StartServiceProcess(), 1);
    ASSERT_EQ(Warnings().size(), 1u);
    EXPECT_NE(Warnings()[0].text.find(folder + "\" /inheritance:r /grant:r *S-1-5-18:(OI)(CI)F *S-1-5-32-544:"
                                               "(OI)(CI)F *S-1-5-32-545:(OI)(CI)RX"),
              std::string::npos);

    // Locked: the events of a start, nothing more.
    fake = FakeWin32();
    g_ProcessHandle = NULL;
    fake.folderSddl = {{kProgramFolder, kLockedFolderSddl}};
    ASSERT_EQ(StartServiceProcess(), 1);
    EXPECT_THAT(EventTexts(), ElementsAre("Disparando processo Asterisk PBX: \"asterisk.exe\" -f -vvv"));
    EXPECT_THAT(fake.securityQueries, ElementsAre("C:\\QV\\bin 5")) << "the bare name has no folder";
}

} // namespace
