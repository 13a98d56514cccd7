// The smallest program that waits the way the service host does when idle:
// one event, no work. bench/service_bench.sh measures its memory as the
// baseline for the host's.
#include <windows.h>

int main()
{
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (!event)
        return 1;
    WaitForSingleObject(event, INFINITE);
    CloseHandle(event);
    return 0;
}
