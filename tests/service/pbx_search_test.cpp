// Where the host looks for asterisk.exe, and what it does with long paths.
#include "win32_fakes.h"

#include <cstring>

using ::testing::ElementsAre;

namespace {

const char kBeside[] = "C:\\QV\\bin\\asterisk.exe";
const char kAsteriskBin[] = "C:\\Asterisk\\bin\\asterisk.exe";
const char kProgramFiles[] = "C:\\Program Files\\Quelvaron Asterisk\\bin\\asterisk.exe";
const char kProgramFilesX86[] = "C:\\Program Files (x86)\\Quelvaron Asterisk\\bin\\asterisk.exe";

class PbxSearch : public ServiceHostTest {
  protected:
    std::string Find()
    {
        memset(path, 'X', sizeof(path));
        FindAsteriskExecutable(path);
        return path;
    }
    char path[MAX_PATH + 8];
};

TEST_F(PbxSearch, BesideTheProgramWinsOverEveryFixedPlace)
{
    fake.existingFiles = {kBeside, kAsteriskBin, kProgramFiles, kProgramFilesX86};
    EXPECT_EQ(Find(), kBeside);
    EXPECT_THAT(fake.attributeQueries, ElementsAre(kBeside));
    EXPECT_THAT(LogLines("GetModuleFileNameA"), ElementsAre("GetModuleFileNameA NULL 260"));
}

TEST_F(PbxSearch, FixedPlacesAreTriedInOrderAfterTheProgramsOwnFolder)
{
    fake.existingFiles = {kProgramFilesX86};
    EXPECT_EQ(Find(), kProgramFilesX86);
    EXPECT_THAT(fake.attributeQueries, ElementsAre(kBeside, kAsteriskBin, kProgramFiles, kProgramFilesX86));

    fake.attributeQueries.clear();
    fake.existingFiles = {kProgramFiles, kProgramFilesX86};
    EXPECT_EQ(Find(), kProgramFiles);
    EXPECT_THAT(fake.attributeQueries, ElementsAre(kBeside, kAsteriskBin, kProgramFiles));
}

TEST_F(PbxSearch, NothingFoundGivesTheBareNameUntested)
{
    EXPECT_EQ(Find(), "asterisk.exe");
    EXPECT_THAT(fake.attributeQueries, ElementsAre(kBeside, kAsteriskBin, kProgramFiles, kProgramFilesX86));
    // strncpy rules: the rest of the first 259 bytes is NUL, and byte 259 too.
    for (int i = (int)strlen("asterisk.exe"); i < MAX_PATH; i++) {
        ASSERT_EQ(path[i], '\0') << "byte " << i;
    }
    EXPECT_EQ(path[MAX_PATH], 'X') << "wrote past the 260-byte buffer";
}

TEST_F(PbxSearch, AProgramPathWithoutBackslashSkipsTheFirstCandidate)
{
    fake.modulePath = "quelvaron-service.exe";
    fake.existingFiles = {kAsteriskBin, "asterisk.exe"};
    EXPECT_EQ(Find(), kAsteriskBin);
    EXPECT_THAT(fake.attributeQueries, ElementsAre(kAsteriskBin));
}

TEST_F(PbxSearch, NoOwnPathSkipsTheFirstCandidate)
{
    fake.moduleFileFails = true;
    EXPECT_EQ(Find(), "asterisk.exe");
    EXPECT_THAT(fake.attributeQueries, ElementsAre(kAsteriskBin, kProgramFiles, kProgramFilesX86));
}

TEST_F(PbxSearch, ADirectoryPassesTheExistenceTest)
{
    fake.existingDirectories = {kBeside};
    EXPECT_EQ(Find(), kBeside);

    fake.existingDirectories = {kAsteriskBin};
    EXPECT_EQ(Find(), kAsteriskBin);
}

TEST_F(PbxSearch, ProgramAtTheDriveRoot)
{
    fake.modulePath = "C:\\quelvaron-service.exe";
    fake.existingFiles = {"C:\\asterisk.exe"};
    EXPECT_EQ(Find(), "C:\\asterisk.exe");
}

// A folder of 250 characters holding a program with a short name: its own
// path fits in 260 bytes, but "<folder>\asterisk.exe" is 263 characters long.
std::string LongFolder() { return "C:\\" + std::string(247, 'd'); }

TEST_F(PbxSearch, TheFirstCandidateIsTriedOnlyWhenItFits)
{
    // "<folder>\asterisk.exe" of 259 characters fits the 260 bytes; a longer
    // one cut to 259 would name another file, even an existing one: skipped
    // untested, and the search goes on with the fixed places.
    for (size_t composed : {258u, 259u, 260u, 263u}) {
        fake = FakeWin32();
        std::string folder = "C:\\" + std::string(composed - 3 - 13, 'd');
        std::string beside = folder + "\\asterisk.exe";
        fake.modulePath = folder + "\\q.exe";
        fake.existingFiles = {beside, beside.substr(0, 259), kAsteriskBin};
        bool fits = composed <= 259;
        EXPECT_EQ(Find(), fits ? beside : kAsteriskBin) << composed;
        EXPECT_EQ(fake.attributeQueries[0], fits ? beside : kAsteriskBin) << composed;
        EXPECT_EQ(path[MAX_PATH], 'X') << composed;
    }
}

TEST_F(PbxSearch, AnOwnPathCutByThePlatformIsNotSearched)
{
    // GetModuleFileNameA cuts a path longer than the buffer; the folder left
    // in it would be some parent of the program's, so the search skips it.
    fake.modulePath = LongFolder() + "\\quelvaron-service.exe";
    fake.existingFiles = {"C:\\asterisk.exe", LongFolder().substr(0, 200) + "\\asterisk.exe"};
    EXPECT_EQ(Find(), "asterisk.exe");
    EXPECT_THAT(fake.attributeQueries, ElementsAre(kAsteriskBin, kProgramFiles, kProgramFilesX86));
    EXPECT_EQ(path[MAX_PATH], 'X');
}

TEST_F(PbxSearch, EveryCallSearchesAgain)
{
    fake.existingFiles = {kAsteriskBin};
    EXPECT_EQ(Find(), kAsteriskBin);
    fake.existingFiles = {kBeside};
    EXPECT_EQ(Find(), kBeside);
}

} // namespace
