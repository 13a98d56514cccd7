// The handlers and the manager layer allocate nothing on the heap: every
// allocation made between the start and the end of a call is counted.
//
// What is counted: operator new everywhere (replaced below); malloc family
// natively through AddressSanitizer's allocation hooks (which see libc's own
// allocations too) or, without it, a glibc interposer; on Windows direct
// malloc/calloc/realloc calls from code linked into this program (the
// linker's --wrap), which includes the plug-in's.
#include "res_test_support.h"

#include <cstdlib>
#include <new>

namespace {
volatile bool counting = false;
volatile long allocations = 0;

void note_allocation()
{
    if (counting)
        allocations = allocations + 1;
}
} // namespace

// ---- operator new, all builds ---------------------------------------------

void *operator new(std::size_t n)
{
    note_allocation();
    void *p = std::malloc(n ? n : 1);
    if (!p)
        throw std::bad_alloc();
    return p;
}
void *operator new[](std::size_t n) { return operator new(n); }
void *operator new(std::size_t n, const std::nothrow_t &) noexcept
{
    note_allocation();
    return std::malloc(n ? n : 1);
}
void *operator new[](std::size_t n, const std::nothrow_t &t) noexcept { return operator new(n, t); }
void operator delete(void *p) noexcept { std::free(p); }
void operator delete[](void *p) noexcept { std::free(p); }
void operator delete(void *p, std::size_t) noexcept { std::free(p); }
void operator delete[](void *p, std::size_t) noexcept { std::free(p); }

// ---- malloc family ----------------------------------------------------------

#if defined(__SANITIZE_ADDRESS__)
// From the sanitizer runtime's allocator interface (its header is not
// always installed).
extern "C" int __sanitizer_install_malloc_and_free_hooks(void (*)(const volatile void *, size_t),
                                                         void (*)(const volatile void *));
namespace {
void on_malloc(const volatile void *, size_t) { note_allocation(); }
void on_free(const volatile void *) {}
const int hooks_installed = __sanitizer_install_malloc_and_free_hooks(on_malloc, on_free);
} // namespace
#define MALLOC_COUNTED 1
#elif defined(_WIN32)
extern "C" {
void *__real_malloc(size_t);
void *__real_calloc(size_t, size_t);
void *__real_realloc(void *, size_t);
void *__wrap_malloc(size_t n)
{
    note_allocation();
    return __real_malloc(n);
}
void *__wrap_calloc(size_t n, size_t m)
{
    note_allocation();
    return __real_calloc(n, m);
}
void *__wrap_realloc(void *p, size_t n)
{
    note_allocation();
    return __real_realloc(p, n);
}
}
#define MALLOC_COUNTED 1
#elif defined(__GLIBC__)
extern "C" {
void *__libc_malloc(size_t);
void *__libc_calloc(size_t, size_t);
void *__libc_realloc(void *, size_t);
void *malloc(size_t n)
{
    note_allocation();
    return __libc_malloc(n);
}
void *calloc(size_t n, size_t m)
{
    note_allocation();
    return __libc_calloc(n, m);
}
void *realloc(void *p, size_t n)
{
    note_allocation();
    return __libc_realloc(p, n);
}
}
#define MALLOC_COUNTED 1
#endif

namespace {

// Runs fn and returns how many allocations it made.
template <class F> long allocations_during(F fn)
{
    allocations = 0;
    counting = true;
    fn();
    counting = false;
    return allocations;
}

using NoAllocation = PluginTest;

TEST_F(NoAllocation, TheCounterSeesAllocations)
{
    // Through volatile pointers, so the compiler cannot drop the pair.
    void *(*volatile do_malloc)(size_t) = std::malloc;
    void (*volatile do_free)(void *) = std::free;
    void *(*volatile do_new)(std::size_t) = ::operator new;
    void (*volatile do_delete)(void *) = ::operator delete;
    EXPECT_GE(allocations_during([&] { do_delete(do_new(16)); }), 1);
#if defined(__SANITIZE_ADDRESS__)
    EXPECT_NE(hooks_installed, 0);
#endif
#ifdef MALLOC_COUNTED
    EXPECT_GE(allocations_during([&] { do_free(do_malloc(16)); }), 1);
#else
    (void)do_malloc;
    (void)do_free;
#endif
}

TEST_F(NoAllocation, HandlersManagerLayerAndRegistry)
{
    // Records prepared before counting; chan_quelvaron's sample data holds
    // contacts and channels with and without hang-up operations.
    Reply r;
    Request list{"Action: QuelvaronShowEndpoints", "ActionID: a1"};
    Request detail{"Endpoint: webrtc-3000", "ActionID: a2"};
    Request missing{"Endpoint: nobody"};
    Request qualify{"Endpoint: 1001", "ActionID: a3"};
    Request hang_name{"Channel: PJSIP/1001"};
    Request hang_id{"CallID: a84b4c76e66710@192.168.10.22"};
    Request notify{"Endpoint: 1002", "Payload: Event: check-sync"};
    Request reload{"ActionID: a4"};
    Request unterminated = unterminated_last_line("ActionID: ");
    const std::string long_fragment(2000, 'L');   // past the working buffer
    const std::string too_long(AMI_REPLY_SIZE, 'D'); // never fits: dropped

    long n = allocations_during([&] {
        action_quelvaron_show_endpoints(r, list);
        action_quelvaron_show_endpoint(r, detail);
        action_quelvaron_show_endpoint(r, missing);
        action_quelvaron_show_endpoint(r, nullptr);
        action_quelvaron_qualify(r, qualify);
        action_quelvaron_hangup(r, hang_name);
        action_quelvaron_hangup(r, hang_id);
        action_quelvaron_notify(r, notify);
        action_quelvaron_reload(r, reload);
        quelvaron_ami_send_contact_status(nullptr, nullptr, nullptr, 5);
        quelvaron_ami_send_peer_status("1001", "Reachable", "10.0.0.1");
        manager_event(1, "E", "%s: %d\r\n", "x", 1);
        ami_get_header(list, "actionid");
        astman_append(r, "%s", "tail\r\n");
        astman_append(r, "%s", long_fragment.c_str());
        astman_append(r, "%s", too_long.c_str());
        action_quelvaron_reload(r, unterminated);
    });
    EXPECT_EQ(n, 0);
    EXPECT_GT(r->reply_length, 3000u) << "the calls did their work";
    EXPECT_EQ(driver().hangups, 1);

    chanq_set_qualify_result(1, 0);
    chanq_set_notify_result(1);
    chanq_set_reload_result(1);
    n = allocations_during([&] {
        action_quelvaron_qualify(r, qualify);
        action_quelvaron_notify(r, notify);
        action_quelvaron_reload(r, reload);
        ami_register_action("QuelvaronTest", 1, action_quelvaron_reload, "m", "s", "d");
        ami_unregister_action("quelvarontest");
    });
    EXPECT_EQ(n, 0) << "error paths and the table too";
}

} // namespace
