// Fault injection for the Windows seams (the host's g_Win32, the MSI actions'
// g_Msi; their loops run under Wine with the seams' fakes): one switch fails
// the k-th call that can fail, once or from there on; each seam's table says
// how each of its entries fails. The loop's shape and figure line are those
// of fault_injection_test.cpp.
#ifndef QUELVARON_TESTS_FAULTS_SEAM_FAULTS_H
#define QUELVARON_TESTS_FAULTS_SEAM_FAULTS_H

#include <gtest/gtest.h>

#include <windows.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <set>
#include <string>

struct FailSwitch {
    int at = 0, calls = 0;   // fail call `at` of those that can fail (0: none), counting them all
    bool persistent = false; // and every one after it
    std::string failed;      // the call failed first
    std::set<long> codes;    // what the callers failed were told: a last error, or the error returned
    std::map<std::string, int> failures; // calls failed, by entry
    bool Fails(const char *call, long with)
    {
        if (++calls < at || at == 0 || (calls > at && !persistent))
            return false;
        failed = calls == at ? call : failed;
        codes.insert(with);
        failures[call]++;
        return true;
    }
};

// Entry `e` of `seam` answers `value` (leaving `error`, if not 0, as its last
// error through `setError`) when the switch fails it; the fake `inner.e` otherwise.
#define QV_FAIL_ENTRY(seam, inner, sw, setError, e, value, error)                              \
    seam.e = [](auto... a) {                                                                    \
        using R = decltype(inner.e(a...));                                                      \
        if (sw.Fails(#e, (error) != 0 ? (long)(error) : (long)(LONG_PTR)(value))) {             \
            if ((error) != 0)                                                                   \
                setError(error);                                                                \
            return (R)(value);                                                                  \
        }                                                                                       \
        return inner.e(a...);                                                                   \
    }

// Calls whose failure the code ignores on purpose (each said in its comments).
const struct { const char *seam, *call, *reason; } kIgnoredByDesign[] = {
    {"win32", "SetServiceStatus", "a refused report is not repeated: the next carries the whole record"},
    {"win32", "RegisterEventSourceA", "the event log is best effort: the service runs its PBX without it"},
    {"win32", "ReportEventA", "the event log is best effort: the service runs its PBX without it"},
    {"win32", "ChangeServiceConfig2A", "-install's description, recovery and preshutdown timeout: the service works without them"},
    {"win32", "ControlService", "-uninstall's stop: a refused one (a stopped service) changes nothing, the deletion counts"},
    {"win32", "GetModuleFileNameA", "the PBX's search: without its own path the host looks in the fixed places; the folder check skips it"},
    {"win32", "GetFileAttributesA", "the PBX's search: a candidate that cannot be seen is passed over"},
    {"win32", "GetFileSecurityA", "the folder warning: a folder whose permissions cannot be read passes silently"},
    {"win32", "CreateJobObjectA", "the PBX's job: without it the PBX runs outside any job"},
    {"win32", "SetInformationJobObject", "the PBX's job: without it the PBX runs outside any job"},
    {"win32", "AssignProcessToJobObject", "the PBX, or the stop request, outside the job: it runs all the same"},
    {"win32", "CreateProcessA", "the stop request: not fatal, the wait for the PBX and its forced end follow"},
    {"win32", "ResumeThread", "the stop request: one that cannot be resumed is ended at once"},
    {"win32", "WaitForSingleObject", "the stop request: one not seen to end in its 5 s is ended"},
    {"win32", "TerminateProcess", "the stop request: one that cannot be ended dies with the PBX's job"},
    {"msi", "MsiCreateRecord", "the log is best effort: a message that cannot be written is dropped"},
    {"msi", "MsiRecordSetStringW", "the log is best effort: a message that cannot be written is dropped"},
    {"msi", "MsiProcessMessage", "the log is best effort: a message that cannot be written is dropped"},
    {"msi", "CoInitializeEx", "refused (RPC_E_CHANGED_MODE), COM is already up on the thread and serves as it is"},
    {"msi", "PeekNamedPipe", "a host command's output is for the log only: its result is its exit code"},
    {"msi", "ReadFile", "a host command's output is for the log only: its result is its exit code"},
    {"msi", "CreateFileW", "whose registration it is: a program that does not open is compared by its path's text"},
    {"msi", "GetFileInformationByHandle", "whose registration it is: a program that does not open is compared by its path's text"},
    {"msi", "ExpandEnvironmentStringsW", "whose registration it is: a line not expanded is read as it is"},
    {"msi", "GetNamedSecurityInfoW", "an entry whose permissions cannot be read is taken for Administrators, then read again"},
    {"msi", "FindFirstFileW", "a folder that cannot be listed is taken for Administrators, then listed again; PURGE=1 removes it if empty"},
    {"msi", "GetFileAttributesW", "a folder's attributes read to clear its read-only flag before its removal: unread, the removal says"},
    {"msi", "OpenProcess", "the programs in the product's folders: one that cannot be opened is another account's or protected"},
    {"msi", "QueryFullProcessImageNameW", "the programs in the product's folders: one whose program cannot be read is not ours to end"},
    {"msi", "WaitForSingleObject", "a 0 ms check that fails counts as still running, the bounded waits decide; after an end by force, a pause"},
};

// A text that names the error code of a failed call as the product writes one.
inline bool NamesCode(const std::string &text, const std::set<long> &codes)
{
    for (long code : codes) {
        char forms[4][32];
        snprintf(forms[0], 32, "Erro %ld", code);
        snprintf(forms[1], 32, "Erro: %ld", code);
        snprintf(forms[2], 32, "resultado %ld", code);
        snprintf(forms[3], 32, "0x%08lX", (unsigned long)code);
        for (const char *f : forms) {
            size_t at = text.find(f);
            if (at != std::string::npos && !isdigit((unsigned char)text[at + strlen(f)]))
                return true;
        }
    }
    return false;
}

struct Outcome {
    int calls = 0;      // calls that could fail
    std::string failed; // the call failed first
    bool reported = false, sane = false, leaked = false;
    std::string what;
};

inline void Inject(const char *seam, int scenarios, const std::function<Outcome(int, int, bool)> &run)
{
    int failures = 0, reported = 0, ignored = 0, leaked = 0;
    for (int s = 0; s < scenarios; s++) {
        Outcome base = run(s, 0, false);
        EXPECT_TRUE(base.sane && !base.leaked && base.calls > 0) << seam << " " << s << ": " << base.what;
        for (int k = 1; k <= base.calls; k++)
            for (bool persistent : {false, true}) {
                Outcome r = run(s, k, persistent);
                bool by_design = false;
                for (const auto &i : kIgnoredByDesign)
                    by_design |= !r.reported && r.sane && r.failed == i.call && std::string(seam) == i.seam;
                failures++, reported += r.reported, ignored += by_design, leaked += r.leaked;
                EXPECT_TRUE((r.reported || by_design) && !r.leaked) << seam << " scenario " << s << ", call " << k
                                                                    << (persistent ? " on: " : ": ") << r.what;
            }
    }
    printf("fault injection %s: %d scenarios, %d failures injected, %d reported, %d ignored by design, "
           "%d unreported, %d leaked\n", seam, scenarios, failures, reported, ignored,
           failures - reported - ignored, leaked);
}

#endif
