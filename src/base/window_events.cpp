// The event hooks of `watch` and `keep`. Windows serves an out-of-context hook through
// the hooking thread's message queue, and documents that a consumer that is
// slow to pump it drains the system's USER resources and can end in a fault.
// The thread that writes the lines stops whenever a reader stops reading (a
// slow pipeline, a console held in selection), so the hooks live on a thread
// that does nothing but pump and signal.
#include "window_events.h"

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <vector>

namespace {

// A thread that has not ended this long after its WM_QUIT is left to the
// process's end.
constexpr DWORD kStopWaitMs = 2000;

HANDLE g_event_thread = nullptr;
DWORD g_event_thread_id = 0;
HANDLE g_event_signal = nullptr;
// keep's window, which is posted each event that counts with its number and
// window, in place of the signal.
HWND g_event_target = nullptr;
UINT g_event_message = 0;
HWND g_desktop = nullptr;

// The handles of the last listing, sorted. The listing thread replaces them
// after each listing, the event thread looks them up.
SRWLOCK g_listed_lock = SRWLOCK_INIT;
std::vector<int64_t> g_listed;
std::vector<int64_t> g_listed_next; // the listing thread's own, reused

bool was_listed(HWND window)
{
    const int64_t handle = reinterpret_cast<intptr_t>(window);
    AcquireSRWLockShared(&g_listed_lock);
    const bool listed = std::binary_search(g_listed.begin(), g_listed.end(), handle);
    ReleaseSRWLockShared(&g_listed_lock);
    return listed;
}

// Only top-level windows make the listing. The hooks' filter lets through
// every window object, child controls too: a program that makes and drops a
// control every few milliseconds would otherwise keep the watch listing
// without a pause. A destroyed window can no longer be asked for its parent;
// it counts when the last listing showed it.
void CALLBACK on_window_event(HWINEVENTHOOK, DWORD event, HWND window, LONG object, LONG child, DWORD, DWORD)
{
    if (object != OBJID_WINDOW || child != CHILDID_SELF || !window)
        return;
    if (g_event_target) {
        // keep forgets a closed window by its handle alone, which asks nothing.
        if (event == EVENT_OBJECT_DESTROY || GetAncestor(window, GA_PARENT) == g_desktop)
            PostMessageW(g_event_target, g_event_message, event, reinterpret_cast<LPARAM>(window));
        return;
    }
    const bool counts =
        event == EVENT_OBJECT_DESTROY ? was_listed(window) : GetAncestor(window, GA_PARENT) == g_desktop;
    if (counts)
        SetEvent(g_event_signal);
}

// The events that change what the listing shows; under Wine 8 only the
// creation of a window reaches another process, so the interval must catch
// everything by itself and the events only make it sooner.
DWORD WINAPI pump_window_events(void *started)
{
    MSG message;
    // The queue exists before the watch can post WM_QUIT to it.
    PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE);
    constexpr DWORD kRanges[][2] = {
        {EVENT_OBJECT_CREATE, EVENT_OBJECT_HIDE}, // create, destroy, show, hide
        {EVENT_OBJECT_NAMECHANGE, EVENT_OBJECT_NAMECHANGE},
        {EVENT_SYSTEM_FOREGROUND, EVENT_SYSTEM_FOREGROUND},
    };
    HWINEVENTHOOK hooks[std::size(kRanges)] = {};
    for (size_t i = 0; i < std::size(kRanges); ++i)
        hooks[i] = SetWinEventHook(kRanges[i][0], kRanges[i][1], nullptr, on_window_event, 0, 0,
                                   WINEVENT_OUTOFCONTEXT | WINEVENT_SKIPOWNPROCESS);
    SetEvent(started);
    while (GetMessageW(&message, nullptr, 0, 0) > 0)
        DispatchMessageW(&message);
    for (HWINEVENTHOOK hook : hooks) {
        if (hook)
            UnhookWinEvent(hook);
    }
    return 0;
}

} // namespace

bool start_window_events_posting(HWND target, UINT message)
{
    g_event_target = target;
    g_event_message = message;
    return start_window_events(nullptr);
}

bool start_window_events(HANDLE signal)
{
    HANDLE started = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!started)
        return false;
    g_event_signal = signal;
    g_desktop = GetDesktopWindow();
    g_event_thread = CreateThread(nullptr, 0, pump_window_events, started, 0, &g_event_thread_id);
    if (g_event_thread) {
        const HANDLE either[] = {started, g_event_thread};
        WaitForMultipleObjects(2, either, FALSE, INFINITE);
    }
    CloseHandle(started);
    return g_event_thread != nullptr;
}

void stop_window_events()
{
    if (!g_event_thread)
        return;
    PostThreadMessageW(g_event_thread_id, WM_QUIT, 0, 0);
    WaitForSingleObject(g_event_thread, kStopWaitMs);
    CloseHandle(g_event_thread);
    g_event_thread = nullptr;
}

void publish_listed(const kestal_window *windows, int32_t count)
{
    g_listed_next.clear();
    for (int32_t i = 0; i < count; ++i)
        g_listed_next.push_back(windows[i].hwnd);
    std::sort(g_listed_next.begin(), g_listed_next.end());
    AcquireSRWLockExclusive(&g_listed_lock);
    g_listed.swap(g_listed_next);
    ReleaseSRWLockExclusive(&g_listed_lock);
}
