// Calls that another program's thread carries out, made so that a program
// that stops answering cannot hold the caller.
#pragma once

#include <new>

#include "internal.h"

// How long a call waits for another program's window before it gives up:
// as long as the system waits before it calls a program "not responding",
// unless the process chose less (kestal_set_answer_wait).
DWORD answer_wait_ms();

// The result of a call that ran on another thread.
struct call_outcome {
    bool answered; // false: the window did not answer in time; the call may still be carried out later
    BOOL result;
    DWORD error; // the thread's last error right after the call
};

// The record that the caller and the thread that makes the call share; the
// last of the two to let go of it frees it.
struct bounded_call {
    LONG references;
    HWND window;
    BOOL (*run)(bounded_call *call);
    void (*destroy)(bounded_call *call);
    BOOL result;
    DWORD error;
    bool finished;  // under the library's lock
    bool abandoned; // under the library's lock
};

template <typename Call> struct bounded_call_of {
    bounded_call head; // first, so that the record is reached from its head
    Call call;
};

// Starts the call on a thread of its own and waits for it as long as the
// window may take, taking in the messages that other threads send to the
// caller meanwhile, as a direct call would. Frees `call` in every case.
call_outcome run_bounded(bounded_call *call);

// Whether a call that was given up on is still waiting for the window: such
// a window is not asked again until it has answered.
bool still_waited_for(HWND window);

// Runs `call` (a function object that returns BOOL) for `window`. A window
// of the calling thread runs its procedure inside the call anyway, and is
// called directly; any other is called from a thread of its own.
template <typename Call> call_outcome call_window(HWND window, Call call)
{
    if (GetWindowThreadProcessId(window, nullptr) == GetCurrentThreadId()) {
        SetLastError(ERROR_SUCCESS);
        const BOOL result = call();
        return {true, result, GetLastError()};
    }
    auto *record = new (std::nothrow) bounded_call_of<Call>{{2, window, nullptr, nullptr, FALSE, 0, false, false}, call};
    if (!record)
        return {true, FALSE, ERROR_NOT_ENOUGH_MEMORY};
    record->head.run = [](bounded_call *head) -> BOOL { return reinterpret_cast<bounded_call_of<Call> *>(head)->call(); };
    record->head.destroy = [](bounded_call *head) { delete reinterpret_cast<bounded_call_of<Call> *>(head); };
    return run_bounded(&record->head);
}

// The per-window lock that keeps two changes of one window, from threads of
// this process or from other processes, from running at once. Taken with a
// bounded wait; never taken for a window of the caller's own process, since
// the change sends that window messages which another thread of ours, that
// waits for the lock, would have to answer.
struct change_lock {
    HANDLE mutex; // null when no lock was taken
};
// False, with the error set, when another change of the window did not end in time.
bool lock_window_changes(HWND window, const char *operation, change_lock &lock);
void unlock_window_changes(change_lock lock);

// Runs `change` (returning int32_t) under the window's change lock.
template <typename Change> int32_t under_change_lock(HWND window, const char *operation, Change change)
{
    change_lock lock = {};
    if (!lock_window_changes(window, operation, lock))
        return 0;
    const int32_t done = change();
    unlock_window_changes(lock);
    return done;
}
