// The way into the library from any thread of any host, and the one lock
// around the library's process-wide state.
#include "internal.h"

// Constant-initialised, so that they are ready before any code of ours has
// run: a host never runs the C runtime start-up of the exe.
static SRWLOCK g_library_lock = SRWLOCK_INIT;
// The thread that holds the lock, and how many times it has taken it. Only
// the owner writes them while it holds the lock, so a thread that reads its
// own id here knows that it holds the lock already.
static DWORD g_lock_owner = 0;
static LONG g_lock_depth = 0;

bool library_ready()
{
    return image_ready();
}

// A window procedure or a hook of the host that calls back into the library
// can only meet the lock taken on its own thread if a section under the lock
// runs the host's code, which none may. Should one ever do so, the nested
// call goes on instead of waiting for ever for itself.
void lock_library()
{
    const DWORD self = GetCurrentThreadId();
    if (__atomic_load_n(&g_lock_owner, __ATOMIC_RELAXED) == self) {
        ++g_lock_depth;
        return;
    }
    AcquireSRWLockExclusive(&g_library_lock);
    __atomic_store_n(&g_lock_owner, self, __ATOMIC_RELAXED);
    g_lock_depth = 1;
}

void unlock_library()
{
    if (--g_lock_depth > 0)
        return;
    __atomic_store_n(&g_lock_owner, 0, __ATOMIC_RELAXED);
    ReleaseSRWLockExclusive(&g_library_lock);
}
