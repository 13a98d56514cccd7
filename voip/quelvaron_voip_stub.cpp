/*
 * quelvaron_voip_stub.cpp - the quelvaron_voip library: four VoIP utility
 * exports with fixed results.  No packet is built or sent and nothing is
 * allocated; the library keeps no state.
 */
#include <stdint.h>

#ifdef _WIN32
#include <windows.h>
#define QV_VOIP_API extern "C"
#else
#include <stdlib.h>
#define QV_VOIP_API extern "C" __attribute__((visibility("default")))
#endif

/* HEP3 capture sending: reports success without sending. */
QV_VOIP_API int quelvaron_voip_send_hep3(void)
{
    return 1;
}

/* RTCP PLI building: nothing is built; the whole 64-bit result is zero, so a
 * caller declaring a pointer result sees null and one declaring an integer
 * sees 0. */
QV_VOIP_API void *quelvaron_voip_build_rtcp_pli(void)
{
    return nullptr;
}

/* MOS estimation: a fixed score, in double precision. */
QV_VOIP_API double quelvaron_voip_estimate_mos(void)
{
    return 4.41;
}

/* Releases memory allocated for LocalFree; a null pointer is ignored.  On
 * Linux, free stands in for LocalFree. */
QV_VOIP_API void quelvaron_voip_free_string(void *str)
{
    if (str == nullptr)
        return;
#ifdef _WIN32
    LocalFree(str);
#else
    free(str);
#endif
}

#ifdef _WIN32
extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved)
{
    (void)instance;
    (void)reason;
    (void)reserved;
    return TRUE;
}
#endif
