// The window verbs: move, resize, minimize, maximize, restore, activate and
// close, on a window or on each window that a selector names.
#include <windows.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "cli.h"
#include "console_text.h"
#include "help_text.h"
#include "kestal_inprocess.h"
#include "window_selector.h"

namespace {

// A whole number in plain decimal, with an optional sign, that fits in 32
// bits; atoi would read "12px" as 12 and "left" as 0 and move the window
// somewhere that was never asked for.
bool read_coordinate(const char *text, int32_t &value)
{
    const char *digits = *text == '-' || *text == '+' ? text + 1 : text;
    if (*digits < '0' || *digits > '9')
        return false;
    char *end = nullptr;
    errno = 0;
    const long long number = strtoll(text, &end, 10);
    if (*end != '\0' || errno == ERANGE || number < INT32_MIN || number > INT32_MAX)
        return false;
    value = static_cast<int32_t>(number);
    return true;
}

int usage_error(const char *verb, const char *form)
{
    print_err("error: %s: give %s\n", verb, form);
    print_command_usage(verb);
    return 2;
}

struct pair {
    int32_t first, second;
};

// The two numbers after the target; false, with the error line and the
// usage written, when one is missing, cannot be read, or is below `lowest`.
bool read_pair(int argc, char **argv, const char *form, const char *const names[2], int32_t lowest, pair &numbers)
{
    if (argc < 5) {
        usage_error(argv[1], form);
        return false;
    }
    int32_t *slots[2] = {&numbers.first, &numbers.second};
    for (int i = 0; i < 2; ++i) {
        if (!read_coordinate(argv[3 + i], *slots[i])) {
            print_err("error: %s: the %s '%s' is not a whole number of pixels\n", argv[1], names[i], argv[3 + i]);
            print_command_usage(argv[1]);
            return false;
        }
        if (*slots[i] < lowest) {
            print_err("error: %s: the %s '%s' is no size that a window can take: give %d pixel or more\n", argv[1],
                      names[i], argv[3 + i], lowest);
            print_command_usage(argv[1]);
            return false;
        }
    }
    return true;
}

// The notes on the windows that did not end where they were asked to; the
// windows that a selector matches may be placed at the same time.
struct ended_elsewhere {
    SRWLOCK lock = SRWLOCK_INIT;
    std::vector<std::string> notes;
};

struct placing {
    pair asked;
    bool size; // the width and height were asked, else the top-left corner
    ended_elsewhere *ended;
};

// The window's rectangle in screen coordinates; for a minimised window the
// one that it comes back to.
bool current_place(HWND window, RECT &place)
{
    if (!IsIconic(window))
        return GetWindowRect(window, &place);
    WINDOWPLACEMENT placement = {};
    placement.length = sizeof placement;
    if (!GetWindowPlacement(window, &placement))
        return false;
    place = placement.rcNormalPosition;
    // That one is relative to the work area, for every window but a tool window.
    MONITORINFO monitor = {};
    monitor.cbSize = sizeof monitor;
    if (!(GetWindowLongPtrW(window, GWL_EXSTYLE) & WS_EX_TOOLWINDOW) &&
        GetMonitorInfoW(MonitorFromRect(&place, MONITOR_DEFAULTTONEAREST), &monitor))
        OffsetRect(&place, monitor.rcWork.left - monitor.rcMonitor.left, monitor.rcWork.top - monitor.rcMonitor.top);
    return true;
}

// Why a window at `place` is not where `request` asked it to be; "" when it is.
std::string elsewhere(const RECT &place, const placing &request)
{
    const int32_t width = place.right - place.left, height = place.bottom - place.top;
    char text[120];
    std::string reasons;
    if (request.size && (width != request.asked.first || height != request.asked.second)) {
        snprintf(text, sizeof text, "not the %d x %d asked: its program or the system holds it to that size",
                 request.asked.first, request.asked.second);
        reasons += text;
    }
    if (!request.size && (place.left != request.asked.first || place.top != request.asked.second)) {
        snprintf(text, sizeof text, "not at the %d, %d asked: the system or its program placed it there",
                 request.asked.first, request.asked.second);
        reasons += text;
    }
    if (!MonitorFromRect(&place, MONITOR_DEFAULTTONULL))
        reasons += std::string(reasons.empty() ? "" : "; ") + "on no screen: move it onto one to see it";
    return reasons;
}

// Under Wine the window's program takes its size back from its X window a
// few milliseconds after the change; a place that is not the one asked is
// read until it holds still.
constexpr DWORD kSettleStepMs = 10;
constexpr DWORD kSettleMs = 250;

// A program may hold its window to a size, the system keeps places and
// sizes within its limits, and a place may lie beyond every screen: the
// change was made, so "ok" stands, but a script must be able to tell.
void note_where_it_ended(HWND window, const placing &request)
{
    RECT place = {};
    if (!current_place(window, place) || elsewhere(place, request).empty())
        return;
    for (DWORD waited = 0; waited < kSettleMs; waited += kSettleStepMs) {
        Sleep(kSettleStepMs);
        RECT again = {};
        if (!current_place(window, again))
            return;
        if (EqualRect(&again, &place))
            break;
        place = again;
    }
    const std::string reasons = elsewhere(place, request);
    if (reasons.empty())
        return;
    char text[120];
    snprintf(text, sizeof text, "note: %lld: the window ended at %ld, %ld, %ld x %ld: ",
             static_cast<long long>(reinterpret_cast<intptr_t>(window)), place.left, place.top,
             place.right - place.left, place.bottom - place.top);
    AcquireSRWLockExclusive(&request.ended->lock);
    request.ended->notes.push_back(text + reasons + "\n");
    ReleaseSRWLockExclusive(&request.ended->lock);
}

int32_t place_window(void *hwnd, const void *context)
{
    const auto &request = *static_cast<const placing *>(context);
    const int32_t done = request.size ? kestal_resize_window(hwnd, request.asked.first, request.asked.second)
                                      : kestal_move_window(hwnd, request.asked.first, request.asked.second);
    if (done == 1)
        note_where_it_ended(static_cast<HWND>(hwnd), request);
    return done;
}

int run_placing(const char *verb, const char *target, const pair &asked, bool size)
{
    ended_elsewhere ended;
    const placing request = {asked, size, &ended};
    const int exit_code = run_action_on_target(verb, target, place_window, &request);
    for (const std::string &note : ended.notes)
        write_err(note);
    return exit_code;
}

// A verb that takes the target alone.
struct plain_verb {
    int32_t (*verb)(void *hwnd);
};

int32_t call_plain(void *hwnd, const void *context)
{
    return static_cast<const plain_verb *>(context)->verb(hwnd);
}

int run_plain(int argc, char **argv, int32_t (*verb)(void *hwnd))
{
    if (argc < 3)
        return usage_error(argv[1], "the window: a handle or a selector");
    const plain_verb call = {verb};
    return run_action_on_target(argv[1], argv[2], call_plain, &call);
}

} // namespace

int run_move(int argc, char **argv)
{
    static constexpr const char *kNames[2] = {"x", "y"};
    pair at = {};
    if (!read_pair(argc, argv, "the window and the new x and y: move <hwnd> <x> <y>", kNames, INT32_MIN, at))
        return 2;
    return run_placing("move", argv[2], at, false);
}

int run_resize(int argc, char **argv)
{
    static constexpr const char *kNames[2] = {"width", "height"};
    pair size = {};
    if (!read_pair(argc, argv, "the window and the new width and height: resize <hwnd> <width> <height>", kNames, 1,
                   size))
        return 2;
    return run_placing("resize", argv[2], size, true);
}

int run_minimize(int argc, char **argv)
{
    return run_plain(argc, argv, kestal_minimize_window);
}

int run_maximize(int argc, char **argv)
{
    return run_plain(argc, argv, kestal_maximize_window);
}

int run_restore(int argc, char **argv)
{
    return run_plain(argc, argv, kestal_restore_window);
}

int run_activate(int argc, char **argv)
{
    return run_plain(argc, argv, kestal_activate_window);
}

int run_close(int argc, char **argv)
{
    return run_plain(argc, argv, kestal_close_window);
}
