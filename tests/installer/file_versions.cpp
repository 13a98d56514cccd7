// qv_file_versions <folder> <version>: reads back the version resource of
// every file we ship from <folder> and checks it against <version> (x.y.z).
// Exit 0 when all match; otherwise one line per mismatch on stderr, exit 1.
// The build's test runs it on the build's bin folder, the installer's tests
// on an installed bin folder.
#include <windows.h>

#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

namespace {

const char *const kShipped[] = {
    "quelvaron-service.exe",
    "quelvaron-console.exe",
    "quelvaron_voip.dll",
    "res_quelvaron_ami.dll",
};

struct Expected {
    const char *name;
    std::string value; // empty: any non-empty text
};

int g_failures = 0;

void fail(const std::string &file, const std::string &what)
{
    fprintf(stderr, "%s: %s\n", file.c_str(), what.c_str());
    g_failures++;
}

std::string query_string(const std::vector<char> &block, const char *name)
{
    char path[128];
    snprintf(path, sizeof path, "\\StringFileInfo\\040904B0\\%s", name);
    void *value = NULL;
    UINT length = 0;
    if (!VerQueryValueA(block.data(), path, &value, &length) || value == NULL) return std::string();
    return std::string((const char *)value);
}

void check_file(const std::string &folder, const char *file, const char *version)
{
    std::string path = folder + "\\" + file;
    DWORD handle = 0;
    DWORD size = GetFileVersionInfoSizeA(path.c_str(), &handle);
    if (size == 0) {
        fail(path, "no version resource (error " + std::to_string(GetLastError()) + ")");
        return;
    }
    std::vector<char> block(size);
    if (!GetFileVersionInfoA(path.c_str(), 0, size, block.data())) {
        fail(path, "GetFileVersionInfoA failed");
        return;
    }

    const Expected expected[] = {
        {"ProductName", "Quelvaron Asterisk PBX"},
        {"CompanyName", "Quelvaron"},
        {"FileDescription", ""},
        {"FileVersion", version},
        {"ProductVersion", version},
        {"OriginalFilename", file},
    };
    for (const Expected &e : expected) {
        std::string got = query_string(block, e.name);
        bool ok = e.value.empty() ? !got.empty() : got == e.value;
        if (!ok) fail(path, std::string(e.name) + " is \"" + got + "\", expected \"" + e.value + "\"");
    }

    // The binary version is what Windows Installer compares.
    unsigned major = 0, minor = 0, patch = 0;
    sscanf(version, "%u.%u.%u", &major, &minor, &patch);
    VS_FIXEDFILEINFO *fixed = NULL;
    UINT length = 0;
    if (!VerQueryValueA(block.data(), "\\", (void **)&fixed, &length) || fixed == NULL) {
        fail(path, "no fixed file information");
        return;
    }
    DWORD ms = (major << 16) | minor, ls = patch << 16;
    if (fixed->dwFileVersionMS != ms || fixed->dwFileVersionLS != ls || fixed->dwProductVersionMS != ms ||
        fixed->dwProductVersionLS != ls)
        fail(path, "binary file or product version differs from " + std::string(version));
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 3) {
        fprintf(stderr, "usage: %s <folder> <version>\n", argv[0]);
        return 2;
    }
    for (const char *file : kShipped) check_file(argv[1], file, argv[2]);
    if (g_failures == 0) printf("%zu files carry version %s\n", sizeof kShipped / sizeof kShipped[0], argv[2]);
    return g_failures == 0 ? 0 : 1;
}
