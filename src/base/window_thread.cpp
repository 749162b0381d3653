#include "window_thread.h"

namespace {

constexpr DWORD kStopWaitMs = 2000;

} // namespace

bool start_window_thread(window_thread &thread, LPTHREAD_START_ROUTINE run)
{
    HANDLE started = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!started)
        return false;
    thread.handle = CreateThread(nullptr, 0, run, started, 0, &thread.id);
    if (thread.handle) {
        const HANDLE either[] = {started, thread.handle};
        WaitForMultipleObjects(2, either, FALSE, INFINITE);
    }
    CloseHandle(started);
    return thread.handle != nullptr;
}

void end_window_thread(window_thread &thread)
{
    if (!thread.handle)
        return;
    PostThreadMessageW(thread.id, WM_QUIT, 0, 0);
    WaitForSingleObject(thread.handle, kStopWaitMs);
    CloseHandle(thread.handle);
    thread = {};
}
