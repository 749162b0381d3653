#include "stop_signal.h"

namespace {

// What a console that closes leaves the program before the system ends it.
constexpr DWORD kCloseGraceMs = 4000;

volatile LONG g_stop_requested = 0;
HANDLE g_finished = nullptr;

} // namespace

BOOL WINAPI take_console_control(DWORD kind)
{
    request_stop();
    // After these the system ends the process once the handler returns, so
    // the handler waits until the command has finished.
    if (kind == CTRL_CLOSE_EVENT || kind == CTRL_LOGOFF_EVENT || kind == CTRL_SHUTDOWN_EVENT)
        WaitForSingleObject(g_finished, kCloseGraceMs);
    return TRUE;
}

HANDLE g_stop_wake = nullptr;

void start_stop_signal()
{
    g_stop_wake = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    g_finished = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    SetConsoleCtrlHandler(take_console_control, TRUE);
}

void request_stop()
{
    InterlockedExchange(&g_stop_requested, 1);
    SetEvent(g_stop_wake);
}

bool stop_requested()
{
    return g_stop_requested != 0;
}

void signal_finished()
{
    SetEvent(g_finished);
}
