// A thread of keep's own that runs windows of its own (the borders, the
// icon), so that nothing it waits for holds keep's loop.
#pragma once

#include <windows.h>

struct window_thread {
    HANDLE handle;
    DWORD id;
};

// Starts `run`, which is handed an event to set once its windows are made,
// and waits for that or for the thread's end. False when it did not start.
bool start_window_thread(window_thread &thread, LPTHREAD_START_ROUTINE run);
// Asks the thread to end (WM_QUIT) and waits for it a while: a thread that
// has not ended by then is left to the process's end, which takes its
// windows with it.
void end_window_thread(window_thread &thread);
