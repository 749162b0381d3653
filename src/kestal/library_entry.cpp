// The way into the library from any thread of any host.
#include "internal.h"

// Constant-initialised, so that it is ready before any code of ours has run:
// a host never runs the C runtime start-up of the exe.
static SRWLOCK g_library_lock = SRWLOCK_INIT;

bool enter_library()
{
    // The lock's own functions are imports: they work only once the image is ready.
    if (!image_ready())
        return false;
    AcquireSRWLockExclusive(&g_library_lock);
    return true;
}

void leave_library()
{
    ReleaseSRWLockExclusive(&g_library_lock);
}
