// The quelvaron_voip library as an outside program sees it: loaded at run
// time, its functions looked up by name (and, on Windows, by ordinal).
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>

#ifdef _WIN32
#include <windows.h>
using lib_handle = HMODULE;
static lib_handle open_lib() { return LoadLibraryA("quelvaron_voip.dll"); }
static void *sym(lib_handle h, const char *n) { return reinterpret_cast<void *>(GetProcAddress(h, n)); }
static void *sym_ordinal(lib_handle h, int o) { return reinterpret_cast<void *>(GetProcAddress(h, MAKEINTRESOURCEA(o))); }
static void *alloc_for_free() { return LocalAlloc(LMEM_FIXED, 32); }
#else
#include <dlfcn.h>
#include <cstdlib>
using lib_handle = void *;
static lib_handle open_lib() { return dlopen("./quelvaron_voip.so", RTLD_NOW); }
static void *sym(lib_handle h, const char *n) { return dlsym(h, n); }
static void *alloc_for_free() { return std::malloc(32); }
#endif

namespace {

using int_fn = int (*)(int, const char *, void *);
using ptr_fn = void *(*)(const void *, int);
using u64_fn = uint64_t (*)(void);
using dbl_fn = double (*)(double, int);
using free_fn = void (*)(void *);

class VoipLibrary : public ::testing::Test {
  protected:
    void SetUp() override
    {
        lib = open_lib();
        ASSERT_NE(lib, nullptr) << "quelvaron_voip not found beside the test";
    }
    lib_handle lib{};
};

TEST_F(VoipLibrary, FixedResultsWhateverTheCallerPasses)
{
    auto hep3 = reinterpret_cast<int_fn>(sym(lib, "quelvaron_voip_send_hep3"));
    auto pli = reinterpret_cast<ptr_fn>(sym(lib, "quelvaron_voip_build_rtcp_pli"));
    auto pli_as_int = reinterpret_cast<u64_fn>(sym(lib, "quelvaron_voip_build_rtcp_pli"));
    auto mos = reinterpret_cast<dbl_fn>(sym(lib, "quelvaron_voip_estimate_mos"));
    ASSERT_TRUE(hep3 && pli && mos);

    char buf[8] = {};
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(hep3(i, "x", buf), 1);
        EXPECT_EQ(pli(buf, i), nullptr);
        EXPECT_EQ(pli_as_int(), 0u) << "all 64 bits of the result are zero";
        double score = mos(99.0, i);
        uint64_t bits;
        std::memcpy(&bits, &score, sizeof bits);
        EXPECT_EQ(bits, 0x4011A3D70A3D70A4ull) << "the double nearest 4.41, not a float widened";
    }
}

TEST_F(VoipLibrary, FreeStringReleasesAndIgnoresNull)
{
    auto release = reinterpret_cast<free_fn>(sym(lib, "quelvaron_voip_free_string"));
    ASSERT_NE(release, nullptr);
    release(nullptr);
    // A wrong release function here shows as a heap error (ASan natively,
    // the Windows heap under Wine).
    release(alloc_for_free());
}

#ifdef _WIN32
TEST_F(VoipLibrary, OrdinalsFollowTheAlphabeticalOrderOfTheNames)
{
    const char *names[] = {"quelvaron_voip_build_rtcp_pli", "quelvaron_voip_estimate_mos",
                           "quelvaron_voip_free_string", "quelvaron_voip_send_hep3"};
    for (int o = 1; o <= 4; ++o)
        EXPECT_EQ(sym_ordinal(lib, o), sym(lib, names[o - 1])) << "ordinal " << o;
}
#endif

} // namespace
