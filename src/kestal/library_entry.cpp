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

// The C runtime's own TLS callbacks (and the threads library's) call through
// the import table. Whether Windows runs an exe's TLS callbacks when a host
// maps it with LoadLibrary is not documented; where it does, ours runs first
// (the loader calls them in the order of their sections' names, .CRT$XLA to
// .CRT$XLZ, and the runtime's start at .CRT$XLC), so that theirs find the
// imports resolved. In a program started as such, the image is ready
// already, and this costs one look at its state. The pointer lives here, not
// beside the callback: the bootstrap's own file holds no absolute address.
extern "C" {
__attribute__((section(".CRT$XLB"), used)) PIMAGE_TLS_CALLBACK kestal_tls_first = ready_before_the_runtime;
}

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
