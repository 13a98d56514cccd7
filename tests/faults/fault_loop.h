// The fault loop every seam shares: each call that can fail fails in turn,
// once and from there on; after each run nothing is left open, and the
// failure is reported or the call's result is ignored by design (the one
// table below, a row per reason). It prints the seam's figure line.
#ifndef QUELVARON_TESTS_FAULTS_FAULT_LOOP_H
#define QUELVARON_TESTS_FAULTS_FAULT_LOOP_H

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <string>

// Calls whose failure the code passes over on purpose, each said in its comments.
const struct { const char *seam, *calls, *reason; } kIgnoredByDesign[] = {
    {"driver", " quelvaron_endpoint_get_at ", "a null record in the endpoint list is skipped, the others listed"},
    {"driver", " quelvaron_contact_find ", "no contact known: the qualify worked, its event names sip:unknown"},
    {"win32", " WaitForMultipleObjects ", "the service thread's wait has no bound (INFINITE): a stop or the PBX's end "
     "ends it, and a failed wait is reported; only WaitForSingleObject's bounds are checked"},
    {"win32", " SetServiceStatus ", "a refused status report is not repeated: the next carries the whole record"},
    {"win32", " RegisterEventSourceA ReportEventA ", "the event log is best effort: the service runs its PBX without it"},
    {"win32", " ChangeServiceConfig2A ", "-install's description, recovery and preshutdown timeout: the service works without them"},
    {"win32", " ControlService ", "-uninstall's stop: a refused one (a stopped service) changes nothing, the deletion counts"},
    {"win32", " GetModuleFileNameA GetFileAttributesA ", "the PBX's search: a place not known or not seen is passed over"},
    {"win32", " GetFileSecurityA GetModuleFileNameA ", "the folder warning: a folder not known or not readable passes silently"},
    {"win32", " CreateJobObjectA SetInformationJobObject AssignProcessToJobObject ",
     "the PBX's job: without it the PBX (or the stop request) runs outside any job"},
    {"win32", " CreateProcessA ResumeThread WaitForSingleObject TerminateProcess ",
     "the stop request: not fatal; one not resumed or not seen to end in 5 s is ended, or dies with the job"},
    {"msi", " MsiCreateRecord MsiRecordSetStringW MsiProcessMessage ", "the log is best effort: a message not written is dropped"},
    {"msi", " CoInitializeEx ", "refused (RPC_E_CHANGED_MODE), COM is already up on the thread and serves as it is"},
    {"msi", " PeekNamedPipe ReadFile ", "a host command's output is for the log only: its result is its exit code"},
    {"msi", " CreateFileW GetFileInformationByHandle ExpandEnvironmentStringsW ",
     "whose registration it is: a program that does not open is compared by its path's text, unexpanded if need be"},
    {"msi", " GetNamedSecurityInfoW FindFirstFileW ",
     "an entry that cannot be read or listed is taken for Administrators first, then read again; PURGE=1 removes it if empty"},
    {"msi", " GetFileAttributesW ", "a folder's attributes, read to clear its read-only flag before its removal: unread, the removal says"},
    {"msi", " OpenProcess QueryFullProcessImageNameW ",
     "the programs in the product's folders: one that cannot be opened or read is another account's or protected"},
    {"msi", " WaitForSingleObject ", "a 0 ms check that fails counts as still running, the bounded waits decide; after an end by force, a pause"},
};

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
                    by_design |= !r.reported && r.sane && std::string(seam) == i.seam &&
                                 strstr(i.calls, (" " + r.failed + " ").c_str()) != nullptr;
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
