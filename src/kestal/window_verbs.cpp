// Moving, sizing, showing, activating and closing any top-level window.
#include <algorithm>

#include "verb_steps.h"

#include "bounded_calls.h"
#include "setter_steps.h"

namespace {

// The desktop window is the root of every other, and the shell's window is
// the desktop the user sees: minimising, moving or closing either is never
// what a script means (closing the shell's asks to shut Windows down).
bool refused_as_desktop(const char *what, HWND window)
{
    if (window != GetDesktopWindow() && window != GetShellWindow())
        return false;
    set_error_code(what, ERROR_ACCESS_DENIED);
    return true;
}

} // namespace

bool may_change(const char *operation, const char *what, const char *change, HWND window, ULONGLONG deadline)
{
    if (!window) {
        set_error(KESTAL_FAILURE_ARGUMENT, "%s: null hwnd", operation);
        return false;
    }
    if (refused_as_desktop(what, window))
        return false;
    return window_answers(change, window, deadline);
}

namespace {

// The placement's normal rectangle is in workspace coordinates (relative to
// the monitor's work area) for every window but a tool window; the verbs
// take and the listing gives screen coordinates.
POINT workspace_offset(HWND window, const RECT &normal)
{
    if (GetWindowLongPtrW(window, GWL_EXSTYLE) & WS_EX_TOOLWINDOW)
        return {0, 0};
    MONITORINFO monitor = {};
    monitor.cbSize = sizeof monitor;
    if (!GetMonitorInfoW(MonitorFromRect(&normal, MONITOR_DEFAULTTONEAREST), &monitor))
        return {0, 0};
    return {monitor.rcWork.left - monitor.rcMonitor.left, monitor.rcWork.top - monitor.rcMonitor.top};
}

// The coordinates of a call are read in the DPI awareness of the thread
// that makes it, which for a bounded call is a thread of its own.
template <typename Call> BOOL in_physical_pixels_here(Call call)
{
    const dpi_scope scope = enter_physical_pixels();
    const BOOL result = call();
    leave_physical_pixels(scope);
    return result;
}

// 1 for a call that the window answered and that succeeded; else 0, with
// the error that says why.
int32_t report_unless_done(const char *what, HWND window, const call_outcome &outcome)
{
    if (outcome.answered && outcome.result)
        return 1;
    report_setter_failure(what, window,
                          outcome.answered || outcome.error == kNotAskedInTime ? outcome.error : ERROR_TIMEOUT);
    return 0;
}

} // namespace

bool show_window(const char *what, HWND window, int command, ULONGLONG deadline)
{
    const call_outcome shown = call_window(window, deadline, [=] {
        ShowWindow(window, command);
        return TRUE;
    });
    if (shown.answered)
        return true;
    report_setter_failure(what, window, shown.error == kNotAskedInTime ? kNotAskedInTime : ERROR_TIMEOUT);
    return false;
}

bool restore_window(const char *what, HWND window, ULONGLONG deadline)
{
    if (!IsIconic(window) && !IsZoomed(window))
        return true;
    if (!show_window(what, window, SW_RESTORE, deadline))
        return false;
    // A minimised window that was maximised before comes back maximised from
    // SW_RESTORE; once more brings it to its normal place.
    return !IsZoomed(window) || show_window(what, window, SW_RESTORE, deadline);
}

namespace {

// A minimised window has no place on the screen to change: the new place
// goes into the placement that it returns to, and it stays minimised. `place` gets the normal rectangle in screen coordinates
// and changes it.
template <typename Change> int32_t change_normal_place(const char *what, HWND window, ULONGLONG deadline, Change place)
{
    WINDOWPLACEMENT placement = {};
    placement.length = sizeof placement;
    SetLastError(ERROR_SUCCESS);
    if (!GetWindowPlacement(window, &placement)) {
        report_setter_failure(what, window, GetLastError());
        return 0;
    }
    const POINT offset = workspace_offset(window, placement.rcNormalPosition);
    RECT normal = placement.rcNormalPosition;
    OffsetRect(&normal, offset.x, offset.y);
    place(normal);
    OffsetRect(&normal, -offset.x, -offset.y);
    placement.rcNormalPosition = normal;
    // A minimised window that would come back maximised keeps that too.
    placement.showCmd = SW_SHOWMINNOACTIVE;
    placement.flags &= WPF_RESTORETOMAXIMIZED;
    return report_unless_done(what, window, call_window(window, deadline, [=] {
                                  return in_physical_pixels_here(
                                      [&] { return SetWindowPlacement(window, &placement); });
                              }));
}

} // namespace

int32_t set_window_pos(const char *what, HWND window, int x, int y, int width, int height, UINT keep,
                       ULONGLONG deadline)
{
    return report_unless_done(what, window, call_window(window, deadline, [=] {
                                  return in_physical_pixels_here([&] {
                                      return SetWindowPos(window, nullptr, x, y, width, height,
                                                          keep | SWP_NOZORDER | SWP_NOACTIVATE | SWP_NOOWNERZORDER);
                                  });
                              }));
}

namespace {

int32_t move_window(HWND window, int32_t x, int32_t y, ULONGLONG deadline)
{
    constexpr char kWhat[] = "SetWindowPos(move)";
    if (!may_change("move_window", kWhat, "the move", window, deadline))
        return 0;
    if (IsIconic(window)) {
        return change_normal_place("SetWindowPlacement(move)", window, deadline,
                                   [&](RECT &normal) { OffsetRect(&normal, x - normal.left, y - normal.top); });
    }
    return set_window_pos(kWhat, window, x, y, 0, 0, SWP_NOSIZE, deadline);
}

int32_t resize_window(HWND window, int32_t width, int32_t height, ULONGLONG deadline)
{
    constexpr char kWhat[] = "SetWindowPos(resize)";
    if (width <= 0 || height <= 0) {
        set_error(KESTAL_FAILURE_ARGUMENT, "resize_window: the width and height must be positive (got %d x %d)", width,
                  height);
        return 0;
    }
    if (!may_change("resize_window", kWhat, "the resize", window, deadline))
        return 0;
    if (IsIconic(window)) {
        return change_normal_place("SetWindowPlacement(resize)", window, deadline, [&](RECT &normal) {
            normal.right = normal.left + width;
            normal.bottom = normal.top + height;
        });
    }
    return set_window_pos(kWhat, window, 0, 0, width, height, SWP_NOMOVE, deadline);
}

enum class show_state { minimized, maximized, normal };

show_state state_of(HWND window)
{
    return IsIconic(window) ? show_state::minimized : IsZoomed(window) ? show_state::maximized : show_state::normal;
}

struct show_verb {
    const char *operation;
    const char *what;
    const char *change;
    int command;
    show_state wanted;
};

constexpr show_verb kMinimize = {"minimize_window", "ShowWindow(SW_MINIMIZE)", "the minimise", SW_MINIMIZE, show_state::minimized};
constexpr show_verb kMaximize = {"maximize_window", "ShowWindow(SW_MAXIMIZE)", "the maximise", SW_MAXIMIZE, show_state::maximized};
constexpr show_verb kRestore = {"restore_window", "ShowWindow(SW_RESTORE)", "the restore", SW_RESTORE, show_state::normal};

// ShowWindow answers whether the window was visible before, not whether the
// change took; the state afterwards says that.
int32_t show(HWND window, const show_verb &verb)
{
    const ULONGLONG deadline = call_deadline();
    if (!may_change(verb.operation, verb.what, verb.change, window, deadline))
        return 0;
    if (verb.wanted == show_state::normal ? !restore_window(verb.what, window, deadline)
                                          : !show_window(verb.what, window, verb.command, deadline))
        return 0;
    if (state_of(window) == verb.wanted)
        return 1;
    report_setter_failure(verb.what, window, ERROR_SUCCESS);
    return 0;
}

// Windows gives the foreground only to the program that the user works in,
// or to one that it allows (AllowSetForegroundWindow); a program in the
// background, such as a script's console, is refused, and the system only
// flashes the window's taskbar button. SetForegroundWindow then often still
// answers TRUE, so only the foreground window afterwards tells.
constexpr DWORD kForegroundWaitMs = 1000;
constexpr DWORD kForegroundPollMs = 10;

int32_t activate_window(HWND window)
{
    constexpr char kWhat[] = "SetForegroundWindow";
    const ULONGLONG deadline = call_deadline();
    if (!may_change("activate_window", kWhat, "the activation", window, deadline))
        return 0;
    if (IsIconic(window) && !show_window("ShowWindow(SW_RESTORE)", window, SW_RESTORE, deadline))
        return 0;
    SetForegroundWindow(window);
    // The window's own thread takes the foreground when it reads its
    // messages next, which a program that answers does at once; the wait
    // for it is part of the call's deadline too.
    const ULONGLONG foreground_by = std::min(deadline, GetTickCount64() + kForegroundWaitMs);
    while (GetForegroundWindow() != window && ms_left(foreground_by) > 0)
        Sleep(kForegroundPollMs);
    if (GetForegroundWindow() == window)
        return 1;
    if (!IsWindow(window)) {
        set_error_code(kWhat, ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    set_error(KESTAL_FAILURE_OTHER,
              "activate_window: Windows refused to bring the window to the front: it lets only the program that "
              "the user works in change the foreground window; click the window, or run the command from that "
              "program");
    return 0;
}

// WM_CLOSE is what the close button sends: the program decides, asks to
// save if it must, or ignores it. Posted, so that nothing here waits for a
// dialog that a person has to answer.
int32_t close_window(HWND window)
{
    constexpr char kWhat[] = "PostMessage(WM_CLOSE)";
    if (!may_change("close_window", kWhat, "the close", window, call_deadline()))
        return 0;
    SetLastError(ERROR_SUCCESS);
    if (!PostMessageW(window, WM_CLOSE, 0, 0)) {
        report_setter_failure(kWhat, window, GetLastError());
        return 0;
    }
    return 1;
}

} // namespace

int32_t in_physical_pixels(int32_t (*verb)(HWND, int32_t, int32_t, ULONGLONG), void *hwnd, int32_t a, int32_t b)
{
    if (!library_ready())
        return 0;
    const ULONGLONG deadline = call_deadline();
    const dpi_scope scope = enter_physical_pixels();
    const int32_t done = verb(static_cast<HWND>(hwnd), a, b, deadline);
    leave_physical_pixels(scope);
    return done;
}

// None of the verbs holds the library's lock: each sends messages to the
// window, whose procedure may be the caller's own. Each has one deadline,
// from which the probe, every call into the window and the wait for the
// foreground draw.
int32_t kestal_move_window(void *hwnd, int32_t x, int32_t y)
{
    return in_physical_pixels(move_window, hwnd, x, y);
}

int32_t kestal_resize_window(void *hwnd, int32_t width, int32_t height)
{
    return in_physical_pixels(resize_window, hwnd, width, height);
}

int32_t kestal_minimize_window(void *hwnd)
{
    return library_ready() ? show(static_cast<HWND>(hwnd), kMinimize) : 0;
}

int32_t kestal_maximize_window(void *hwnd)
{
    return library_ready() ? show(static_cast<HWND>(hwnd), kMaximize) : 0;
}

int32_t kestal_restore_window(void *hwnd)
{
    return library_ready() ? show(static_cast<HWND>(hwnd), kRestore) : 0;
}

int32_t kestal_activate_window(void *hwnd)
{
    return library_ready() ? activate_window(static_cast<HWND>(hwnd)) : 0;
}

int32_t kestal_close_window(void *hwnd)
{
    return library_ready() ? close_window(static_cast<HWND>(hwnd)) : 0;
}
