// Calls that another program's thread carries out, made so that a program
// that stops answering cannot hold the caller.
#pragma once

#include <new>

#include "internal.h"

// How long a call waits for another program's window before it gives up:
// as long as the system waits before it calls a program "not responding",
// unless the process chose less (kestal_set_answer_wait).
DWORD answer_wait_ms();

// The tick count by which a setter, control or verb has its answer: one for
// the whole call, from which every wait inside it draws (the window's lock,
// the probe, each bounded call), so that a window slow at every step still
// costs the caller no more than the answer wait.
ULONGLONG call_deadline();
// What is left of it, 0 once it has passed.
DWORD ms_left(ULONGLONG deadline);

// The error of a call that was never started, since the call's deadline had
// passed before it: the change was not made. Bit 29 marks it as no code of
// the system's.
inline constexpr DWORD kNotAskedInTime = 0x20000000u | ERROR_TIMEOUT;

// The result of a call that ran on another thread.
struct call_outcome {
    bool answered; // false: the window did not answer in time; the call may still be carried out later
    BOOL result;
    DWORD error; // the thread's last error right after the call, or kNotAskedInTime
};

// The record that the caller and the thread that makes the call share; the
// last of the two to let go of it frees it.
struct bounded_call {
    LONG references;
    HWND window;
    BOOL (*run)(bounded_call *call);
    void (*destroy)(bounded_call *call);
    HMODULE image; // the reference that the thread holds, and lets go of as it ends
    BOOL result;
    DWORD error;
    bool finished;  // under the library's lock
    bool abandoned; // under the library's lock
};

template <typename Call> struct bounded_call_of {
    bounded_call head; // first, so that the record is reached from its head
    Call call;
};

// Starts the call on a thread of its own and waits for it until `deadline`,
// taking in the messages that other threads send to the caller meanwhile,
// as a direct call would. Frees `call` in every case. The thread holds a
// reference on the image for as long as it runs, so that a host that frees
// the library after a call that gave up is not left with a thread that
// returns into code no longer mapped. A deadline that has passed already
// starts nothing: the outcome is unanswered with kNotAskedInTime.
call_outcome run_bounded(bounded_call *call, ULONGLONG deadline);

// Whether a call that was given up on is still waiting for the window: such
// a window is not asked again until it has answered.
bool still_waited_for(HWND window);

// Runs `call` (a function object that returns BOOL) for `window`. A window
// of the calling thread runs its procedure inside the call anyway, and is
// called directly; any other is called from a thread of its own, and waited
// for until `deadline`.
template <typename Call> call_outcome call_window(HWND window, ULONGLONG deadline, Call call)
{
    if (GetWindowThreadProcessId(window, nullptr) == GetCurrentThreadId()) {
        SetLastError(ERROR_SUCCESS);
        const BOOL result = call();
        return {true, result, GetLastError()};
    }
    auto *record =
        new (std::nothrow) bounded_call_of<Call>{{2, window, nullptr, nullptr, nullptr, FALSE, 0, false, false}, call};
    if (!record)
        return {true, FALSE, ERROR_NOT_ENOUGH_MEMORY};
    record->head.run = [](bounded_call *head) -> BOOL { return reinterpret_cast<bounded_call_of<Call> *>(head)->call(); };
    record->head.destroy = [](bounded_call *head) { delete reinterpret_cast<bounded_call_of<Call> *>(head); };
    return run_bounded(&record->head, deadline);
}

// The per-window lock that keeps two changes of one window, from threads of
// this process or from other processes, from running at once. Taken with a
// wait bounded by the call's deadline; never taken for a window of the
// caller's own process, since the change sends that window messages which
// another thread of ours, that waits for the lock, would have to answer.
struct change_lock {
    HANDLE mutex; // null when no lock was taken
};
// False, with the error set, when another change of the window did not end in time.
bool lock_window_changes(HWND window, const char *operation, ULONGLONG deadline, change_lock &lock);
void unlock_window_changes(change_lock lock);

// Runs `change` (taking the call's deadline, returning int32_t) under the
// window's change lock, the lock and the change under one deadline.
template <typename Change> int32_t under_change_lock(HWND window, const char *operation, Change change)
{
    const ULONGLONG deadline = call_deadline();
    change_lock lock = {};
    if (!lock_window_changes(window, operation, deadline, lock))
        return 0;
    const int32_t done = change(deadline);
    unlock_window_changes(lock);
    return done;
}
