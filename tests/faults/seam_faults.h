// Fault injection for the Windows seams (the host's g_Win32, the MSI actions'
// g_Msi; their loops run under Wine with the seams' fakes): one switch fails
// the k-th call that can fail, once or from there on; each seam's table says
// how each of its entries fails; fault_loop.h runs the loop.
#ifndef QUELVARON_TESTS_FAULTS_SEAM_FAULTS_H
#define QUELVARON_TESTS_FAULTS_SEAM_FAULTS_H

#include "fault_loop.h"

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


// A text that names the code of a failed call as the product writes one.
inline bool NamesCode(const std::string &text, const std::set<long> &codes)
{
    for (long code : codes)
        for (const char *form : {"Erro %ld", "Erro: %ld", "resultado %ld", "0x%08lX"}) {
            char named[32];
            size_t at = text.find(named, 0, snprintf(named, sizeof(named), form, code));
            if (at != std::string::npos && !isdigit((unsigned char)text[at + strlen(named)]))
                return true;
        }
    return false;
}

#endif
