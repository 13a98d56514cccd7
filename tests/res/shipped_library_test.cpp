// The shipped res_quelvaron_ami library as the PBX sees it: loaded at run
// time from beside the test, its five entry points looked up by name.  Its
// table is its own (not the one linked into this test), so only what the
// exports show is checked here.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "child_process.h"
#include "res_quelvaron_ami.h"

#ifdef _WIN32
#include <windows.h>
static const char plugin_file[] = "res_quelvaron_ami.dll";
static const char driver_file[] = "chan_quelvaron.dll";
using lib_handle = HMODULE;
static lib_handle open_plugin() { return LoadLibraryA("res_quelvaron_ami.dll"); }
static void *sym(lib_handle h, const char *n) { return reinterpret_cast<void *>(GetProcAddress(h, n)); }
#else
#include <dlfcn.h>
static const char plugin_file[] = "res_quelvaron_ami.so";
static const char driver_file[] = "chan_quelvaron.so";
using lib_handle = void *;
static lib_handle open_plugin() { return dlopen("./res_quelvaron_ami.so", RTLD_NOW | RTLD_LOCAL); }
static void *sym(lib_handle h, const char *n) { return dlsym(h, n); }
#endif

namespace {

using int_fn = int (*)(void);
using info_fn = const ami_module_info *(*)(void);
using text_fn = const char *(*)(void);

class ShippedPlugin : public ::testing::Test {
  protected:
    void SetUp() override
    {
        lib = open_plugin();
        ASSERT_NE(lib, nullptr) << "res_quelvaron_ami not loadable from beside the test";
    }
    template <class F> F get(const char *name)
    {
        F f = reinterpret_cast<F>(sym(lib, name));
        EXPECT_NE(f, nullptr) << name;
        return f;
    }
    lib_handle lib{};
};

TEST_F(ShippedPlugin, LoadAndUnloadPrintTheirLines)
{
    auto load = get<int_fn>("ast_load_module");
    auto unload = get<int_fn>("ast_unload_module");
    ASSERT_TRUE(load && unload);

    testing::internal::CaptureStdout();
    EXPECT_EQ(load(), 0);
    EXPECT_EQ(unload(), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "[NOTICE] res/res_quelvaron_ami.cpp:275 quelvaron_ami_init: "
              "Modulo res_quelvaron_ami inicializado com 6 acoes AMI registradas\n"
              "[NOTICE] res/res_quelvaron_ami.cpp:287 quelvaron_ami_destroy: "
              "Modulo res_quelvaron_ami descarregado\n");
}

TEST_F(ShippedPlugin, InformationRecordAndDescription)
{
    auto module_info = get<info_fn>("ast_module_info");
    auto description = get<text_fn>("module_description");
    auto reload = get<int_fn>("ast_reload_module");
    ASSERT_TRUE(module_info && description && reload);

    const ami_module_info *mi = module_info();
    ASSERT_NE(mi, nullptr);
    EXPECT_EQ(module_info(), mi) << "one record for the life of the plug-in";
    EXPECT_STREQ(mi->name, "res_quelvaron_ami");
    EXPECT_STREQ(mi->description, "Quelvaron Asterisk Manager Interface Module");
    EXPECT_STREQ(description(), mi->description);
    EXPECT_EQ(mi->reload, nullptr);
    ASSERT_NE(mi->load, nullptr);
    ASSERT_NE(mi->unload, nullptr);
    EXPECT_NE(reinterpret_cast<void *>(mi->load), reinterpret_cast<void *>(&load_module))
        << "the record points into the loaded library, not this test";

    testing::internal::CaptureStdout();
    EXPECT_EQ(reload(), 0);
    EXPECT_EQ(mi->load(), 0);
    EXPECT_EQ(mi->unload(), 0);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("quelvaron_ami_init: Modulo"), std::string::npos) << out;
    EXPECT_NE(out.find("quelvaron_ami_destroy: Modulo"), std::string::npos) << out;
}

TEST_F(ShippedPlugin, InternalsAreNotReachable)
{
    for (const char *name : {"astman_append", "ami_get_header", "manager_event", "ast_log",
                             "quelvaron_registered_ami_actions", "quelvaron_registered_ami_count",
                             "quelvaron_last_manager_event", "info", "load_module", "unload_module",
                             "action_quelvaron_show_endpoints", "quelvaron_ami_init",
                             "quelvaron_ami_send_contact_status"})
        EXPECT_EQ(sym(lib, name), nullptr) << name;
}

// A PBX loads the plug-in from its own folder: the driver beside it is the
// one it links to, and without one there it does not load, wherever the
// library was built.
TEST(ShippedPluginFolder, LoadsOnlyWithTheDriverBesideIt)
{
    namespace fs = std::filesystem;
    const fs::path bin = exe_dir();
    const fs::path alone = bin / "res_load_alone";
    const fs::path beside = bin / "res_load_beside";
    for (const fs::path &dir : {alone, beside}) {
        fs::remove_all(dir);
        fs::create_directories(dir);
        fs::copy_file(bin / plugin_file, dir / plugin_file);
    }
    fs::copy_file(bin / driver_file, beside / driver_file);

    ChildResult with = run_child(exe_path("res_plugin_load_probe"), {(beside / plugin_file).string()}, "", 30000);
    EXPECT_EQ(with.exit_code, 0) << with.out << with.err;
    EXPECT_NE(with.out.find("loaded with "), std::string::npos) << with.out;
    EXPECT_NE(with.out.find("res_load_beside"), std::string::npos) << "driver taken from elsewhere: " << with.out;

    ChildResult without = run_child(exe_path("res_plugin_load_probe"), {(alone / plugin_file).string()}, "", 30000);
    EXPECT_EQ(without.exit_code, 1) << without.out << without.err;
    EXPECT_EQ(without.out.rfind("not loaded", 0), 0u) << without.out;

    std::error_code ignored;
    fs::remove_all(alone, ignored);
    fs::remove_all(beside, ignored);
}

} // namespace
