// Calls into other programs' windows with a bound on the wait, and the lock
// that keeps two changes of one window apart.
#include "bounded_calls.h"

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

constexpr DWORD kSystemHungMs = 5000;
DWORD g_answer_wait_ms = kSystemHungMs; // under the library's lock

// The windows that a given-up call still waits for, one entry per call.
std::vector<HWND> *g_waited_for = nullptr; // under the library's lock

void release(bounded_call *call)
{
    if (InterlockedDecrement(&call->references) == 0)
        call->destroy(call);
}

// The thread ends through the system, never by returning into the image:
// the host may have freed the library meanwhile, and the reference that this
// thread holds is what keeps the image mapped until it has let go of it.
DWORD WINAPI make_call(void *parameter)
{
    auto *call = static_cast<bounded_call *>(parameter);
    HMODULE image = call->image;
    SetLastError(ERROR_SUCCESS);
    const BOOL result = call->run(call);
    const DWORD error = GetLastError();
    lock_library();
    call->result = result;
    call->error = error;
    call->finished = true;
    if (call->abandoned && g_waited_for) {
        auto found = std::find(g_waited_for->begin(), g_waited_for->end(), call->window);
        if (found != g_waited_for->end())
            g_waited_for->erase(found);
    }
    unlock_library();
    release(call);
    FreeLibraryAndExitThread(image, 0);
}

// Waits for `object` until `deadline`, taking in the messages that other
// threads send to this one, as SendMessage itself does while it waits.
bool wait_taking_sent_messages(HANDLE object, ULONGLONG deadline)
{
    for (;;) {
        const ULONGLONG now = GetTickCount64();
        const DWORD left = now < deadline ? static_cast<DWORD>(deadline - now) : 0;
        const DWORD woken = MsgWaitForMultipleObjectsEx(1, &object, left, QS_SENDMESSAGE, 0);
        if (woken == WAIT_OBJECT_0 || woken == WAIT_ABANDONED_0)
            return true;
        if (woken != WAIT_OBJECT_0 + 1)
            return false;
        MSG message;
        PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
    }
}

} // namespace

DWORD answer_wait_ms()
{
    lock_library();
    const DWORD wait = g_answer_wait_ms;
    unlock_library();
    return wait;
}

ULONGLONG call_deadline()
{
    return GetTickCount64() + answer_wait_ms();
}

DWORD ms_left(ULONGLONG deadline)
{
    const ULONGLONG now = GetTickCount64();
    return now < deadline ? static_cast<DWORD>(deadline - now) : 0;
}

call_outcome run_bounded(bounded_call *call, ULONGLONG deadline)
{
    if (ms_left(deadline) == 0) {
        call->destroy(call);
        return {false, FALSE, kNotAskedInTime};
    }
    // The image is this function's own: whether the exe runs as the program
    // or a host loaded it, the reference is on the module that holds the code.
    HMODULE image = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCWSTR>(&make_call), &image)) {
        const DWORD error = GetLastError();
        call->destroy(call);
        return {true, FALSE, error};
    }
    call->image = image;
    HANDLE thread = CreateThread(nullptr, 0, make_call, call, 0, nullptr);
    if (!thread) {
        const DWORD error = GetLastError();
        FreeLibrary(image);
        call->destroy(call);
        return {true, FALSE, error};
    }
    wait_taking_sent_messages(thread, deadline);
    CloseHandle(thread);
    lock_library();
    const call_outcome outcome = {call->finished, call->result, call->error};
    if (!call->finished) {
        call->abandoned = true;
        if (!g_waited_for)
            g_waited_for = new (std::nothrow) std::vector<HWND>;
        if (g_waited_for)
            g_waited_for->push_back(call->window);
    }
    unlock_library();
    release(call);
    return outcome;
}

bool still_waited_for(HWND window)
{
    lock_library();
    const bool waited = g_waited_for && std::find(g_waited_for->begin(), g_waited_for->end(), window) != g_waited_for->end();
    unlock_library();
    return waited;
}

bool lock_window_changes(HWND window, const char *operation, ULONGLONG deadline, change_lock &lock)
{
    lock.mutex = nullptr;
    DWORD pid = 0;
    if (!GetWindowThreadProcessId(window, &pid) || pid == GetCurrentProcessId())
        return true;
    wchar_t name[64];
    swprintf(name, std::size(name), L"Local\\KestalWindowChange-%llx",
             static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(window)));
    HANDLE mutex = CreateMutexW(nullptr, FALSE, name);
    if (!mutex) {
        // Without the lock the change still runs, as it did before there
        // was one: a session that refuses named objects must not lose it.
        return true;
    }
    // A holder that ended without letting go (WAIT_ABANDONED) hands it on.
    if (!wait_taking_sent_messages(mutex, deadline)) {
        CloseHandle(mutex);
        set_error(KESTAL_FAILURE_WINDOW_BUSY,
                  "%s: another change of the window (by this or another kestal) has not ended within %lu s, "
                  "since the window does not answer it; the change was not made: try again once the window answers",
                  operation, (answer_wait_ms() + 999) / 1000);
        return false;
    }
    lock.mutex = mutex;
    return true;
}

void unlock_window_changes(change_lock lock)
{
    if (!lock.mutex)
        return;
    ReleaseMutex(lock.mutex);
    CloseHandle(lock.mutex);
}

extern "C" void kestal_set_answer_wait(uint32_t milliseconds)
{
    if (!library_ready())
        return;
    lock_library();
    g_answer_wait_ms = std::clamp<uint32_t>(milliseconds, 100, kSystemHungMs);
    unlock_library();
}
