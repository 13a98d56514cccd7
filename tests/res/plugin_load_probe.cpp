// Loads a res_quelvaron_ami library the way a PBX would, by its path, in a
// process of its own that has no channel driver loaded yet.  Prints which
// chan_quelvaron it was linked to, or that it did not load (exit status 1).
//
// Windows: the library's folder takes the place of the program's folder in
// the search, and the current folder is set to it too, so a driver beside
// this program is not found by accident.
#include <cstdio>
#include <string>

#ifdef _WIN32
#include <windows.h>

int main(int argc, char **argv)
{
    if (argc < 2)
        return 2;
    std::string path = argv[1];
    size_t cut = path.find_last_of("\\/");
    if (cut != std::string::npos)
        SetCurrentDirectoryA(path.substr(0, cut).c_str());
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
    HMODULE plugin = LoadLibraryExA(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    if (plugin == nullptr) {
        std::printf("not loaded (%lu)\n", GetLastError());
        return 1;
    }
    char driver[MAX_PATH] = "";
    HMODULE chan = GetModuleHandleA("chan_quelvaron.dll");
    if (chan != nullptr)
        GetModuleFileNameA(chan, driver, sizeof driver);
    std::printf("loaded with %s\n", driver);
    return 0;
}

#else
#include <dlfcn.h>

int main(int argc, char **argv)
{
    if (argc < 2)
        return 2;
    void *plugin = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    if (plugin == nullptr) {
        std::printf("not loaded (%s)\n", dlerror());
        return 1;
    }
    Dl_info where{};
    void *fn = dlsym(plugin, "quelvaron_endpoint_count");  // found among its dependencies
    if (fn == nullptr || dladdr(fn, &where) == 0 || where.dli_fname == nullptr)
        where.dli_fname = "";
    std::printf("loaded with %s\n", where.dli_fname);
    return 0;
}
#endif
