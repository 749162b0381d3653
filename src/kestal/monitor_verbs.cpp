// Snapping a window to a part of its monitor's work area, and sending it to
// another monitor, in physical pixels.
#include <algorithm>

#include "bounded_calls.h"
#include "monitors.h"
#include "setter_steps.h"
#include "verb_steps.h"

namespace {

constexpr DWORD kExtendedFrameBounds = 9; // DWMWA_EXTENDED_FRAME_BOUNDS

// How far the window's rectangle reaches beyond the frame that a person
// sees: the invisible resize borders that the DWM leaves out of its frame
// bounds on Windows 10 and 11. None where the DWM does not say (E_NOTIMPL
// under Wine, systems without composition).
RECT invisible_borders(HWND window, const RECT &rect)
{
    RECT frame = {};
    if (!p_DwmGetWindowAttribute ||
        p_DwmGetWindowAttribute(window, kExtendedFrameBounds, &frame, sizeof frame) != S_OK || IsRectEmpty(&frame))
        return {0, 0, 0, 0};
    return {std::max(frame.left - rect.left, 0L), std::max(frame.top - rect.top, 0L),
            std::max(rect.right - frame.right, 0L), std::max(rect.bottom - frame.bottom, 0L)};
}

// The frame that a person sees, and the invisible borders around it.
bool visible_frame(HWND window, RECT &frame, RECT &borders)
{
    RECT rect = {};
    if (!GetWindowRect(window, &rect))
        return false;
    borders = invisible_borders(window, rect);
    frame = {rect.left + borders.left, rect.top + borders.top, rect.right - borders.right, rect.bottom - borders.bottom};
    return true;
}

// The frame at `position` in `work`; halves and quarters split an odd
// width or height so that they meet, the left or upper part a pixel less.
RECT snap_rect(const RECT &work, int32_t position, const RECT &frame)
{
    const LONG width = work.right - work.left, height = work.bottom - work.top;
    const LONG mid_x = work.left + width / 2, mid_y = work.top + height / 2;
    switch (position) {
    case KESTAL_SNAP_LEFT:
        return {work.left, work.top, mid_x, work.bottom};
    case KESTAL_SNAP_RIGHT:
        return {mid_x, work.top, work.right, work.bottom};
    case KESTAL_SNAP_TOP:
        return {work.left, work.top, work.right, mid_y};
    case KESTAL_SNAP_BOTTOM:
        return {work.left, mid_y, work.right, work.bottom};
    case KESTAL_SNAP_TOP_LEFT:
        return {work.left, work.top, mid_x, mid_y};
    case KESTAL_SNAP_TOP_RIGHT:
        return {mid_x, work.top, work.right, mid_y};
    case KESTAL_SNAP_BOTTOM_LEFT:
        return {work.left, mid_y, mid_x, work.bottom};
    case KESTAL_SNAP_BOTTOM_RIGHT:
        return {mid_x, mid_y, work.right, work.bottom};
    case KESTAL_SNAP_CENTER: {
        // A window larger than the work area is made to fit it.
        const LONG own_width = std::min(frame.right - frame.left, width);
        const LONG own_height = std::min(frame.bottom - frame.top, height);
        const LONG left = work.left + (width - own_width) / 2, top = work.top + (height - own_height) / 2;
        return {left, top, left + own_width, top + own_height};
    }
    default:
        return work;
    }
}

// The snap position that the frame lies at exactly in `work`, -1 for none.
// A centred window is left out: in proportion it stays centred anyway.
int32_t snapped_at(const RECT &work, const RECT &frame)
{
    for (int32_t position = 0; position < KESTAL_SNAP_POSITIONS; ++position) {
        const RECT at = snap_rect(work, position, frame);
        if (position != KESTAL_SNAP_CENTER && EqualRect(&at, &frame))
            return position;
    }
    return -1;
}

LONG scaled(LONG value, LONG to, LONG from)
{
    return from > 0 ? MulDiv(value, to, from) : value;
}

// The frame's place relative to the work area `from` and its size in
// proportion to it, in `to`, within `to`.
RECT in_proportion(const RECT &frame, const RECT &from, const RECT &to)
{
    const LONG from_width = from.right - from.left, from_height = from.bottom - from.top;
    const LONG to_width = to.right - to.left, to_height = to.bottom - to.top;
    const LONG width = std::clamp(scaled(frame.right - frame.left, to_width, from_width), 1L, std::max(to_width, 1L));
    const LONG height =
        std::clamp(scaled(frame.bottom - frame.top, to_height, from_height), 1L, std::max(to_height, 1L));
    const LONG left =
        std::clamp(to.left + scaled(frame.left - from.left, to_width, from_width), to.left, to.right - width);
    const LONG top =
        std::clamp(to.top + scaled(frame.top - from.top, to_height, from_height), to.top, to.bottom - height);
    return {left, top, left + width, top + height};
}

// Places the visible frame at `target`. A window that comes onto a monitor
// of another scale is told so (WM_DPICHANGED) and may take another size
// there, and its invisible borders scale with it: a frame that did not land
// where it was asked to is placed once more, now on its new monitor.
int32_t place_frame(const char *what, HWND window, const RECT &target, ULONGLONG deadline)
{
    for (int attempt = 0; attempt < 2; ++attempt) {
        RECT frame = {}, borders = {};
        SetLastError(ERROR_SUCCESS);
        if (!visible_frame(window, frame, borders)) {
            report_setter_failure(what, window, GetLastError());
            return 0;
        }
        if (attempt > 0 && EqualRect(&frame, &target))
            break;
        if (!set_window_pos(what, window, target.left - borders.left, target.top - borders.top,
                            target.right - target.left + borders.left + borders.right,
                            target.bottom - target.top + borders.top + borders.bottom, 0, deadline))
            return 0;
    }
    return 1;
}

// The monitors in their order, and which of them holds most of the window
// (for a minimised one, where it comes back); false with the error set.
bool window_monitor(const char *operation, HWND window, monitor_place (&table)[KESTAL_MAX_MONITORS],
                    int32_t &count, int32_t &holder)
{
    count = monitor_table(table);
    if (count < 0)
        return false;
    holder = monitor_index(table, count, MonitorFromWindow(window, MONITOR_DEFAULTTONEAREST));
    if (holder >= 0)
        return true;
    set_error(KESTAL_FAILURE_OTHER, "%s: the window lies on a monitor beyond the first %d, which kestal does not number",
              operation, KESTAL_MAX_MONITORS);
    return false;
}

// Under Wine the window's program hears of the move from its X window a
// few milliseconds later, and takes a window that is maximised by then but
// sized as the move left it for one that a person restored; so the window
// is watched for as long as that takes, and maximised again if it must be.
constexpr DWORD kHoldStepMs = 10;
constexpr DWORD kHoldMs = 250;
constexpr int kMaximizeTries = 3;

int32_t maximize_and_hold(HWND window, ULONGLONG deadline)
{
    constexpr char kWhat[] = "ShowWindow(SW_MAXIMIZE)";
    for (int attempt = 0; attempt < kMaximizeTries; ++attempt) {
        if (!show_window(kWhat, window, SW_MAXIMIZE, deadline))
            return 0;
        DWORD held = 0;
        while (IsZoomed(window) && held < kHoldMs && ms_left(deadline) > kHoldStepMs) {
            Sleep(kHoldStepMs);
            held += kHoldStepMs;
        }
        if (IsZoomed(window))
            return 1;
    }
    report_setter_failure(kWhat, window, ERROR_SUCCESS);
    return 0;
}

int32_t snap_window(HWND window, int32_t position, int32_t, ULONGLONG deadline)
{
    constexpr char kWhat[] = "SetWindowPos(snap)";
    if (position < 0 || position >= KESTAL_SNAP_POSITIONS) {
        set_error(KESTAL_FAILURE_ARGUMENT, "snap_window: %d is no snap position (0 to %d)", position,
                  KESTAL_SNAP_POSITIONS - 1);
        return 0;
    }
    if (!may_change("snap_window", kWhat, "the snap", window, deadline) ||
        !restore_window("ShowWindow(SW_RESTORE)", window, deadline))
        return 0;
    kswin_init();
    monitor_place table[KESTAL_MAX_MONITORS];
    int32_t count = 0, holder = 0;
    RECT frame = {}, borders = {};
    if (!window_monitor("snap_window", window, table, count, holder))
        return 0;
    SetLastError(ERROR_SUCCESS);
    if (!visible_frame(window, frame, borders)) {
        report_setter_failure(kWhat, window, GetLastError());
        return 0;
    }
    return place_frame(kWhat, window, snap_rect(work_area_of(table[holder].facts), position, frame), deadline);
}

// Which monitor `wanted` names, from the window's own `from`; -1, with the
// error set, for one that does not exist.
int32_t monitor_wanted(int32_t wanted, int32_t from, int32_t count)
{
    if (count < 2) {
        set_error(KESTAL_FAILURE_ARGUMENT,
                  "send_window: this desktop has one monitor: there is no other to send a window to");
        return -1;
    }
    if (wanted == KESTAL_MONITOR_NEXT)
        return (from + 1) % count;
    if (wanted == KESTAL_MONITOR_PREVIOUS)
        return (from + count - 1) % count;
    if (wanted >= 1 && wanted <= count)
        return wanted - 1;
    set_error(KESTAL_FAILURE_ARGUMENT, "send_window: there is no monitor %d: this desktop has %d, numbered from 1",
              wanted, count);
    return -1;
}

int32_t send_window(HWND window, int32_t wanted, int32_t, ULONGLONG deadline)
{
    constexpr char kWhat[] = "SetWindowPos(send)";
    monitor_place table[KESTAL_MAX_MONITORS];
    int32_t count = monitor_table(table), from = 0;
    if (count < 0 || monitor_wanted(wanted, 0, count) < 0)
        return 0;
    if (!may_change("send_window", kWhat, "the send", window, deadline) ||
        !window_monitor("send_window", window, table, count, from))
        return 0;
    const int32_t to = monitor_wanted(wanted, from, count);
    if (to < 0)
        return 0;
    // A minimised window comes back first, as it was: maximised, or in its place.
    if (IsIconic(window) && !show_window("ShowWindow(SW_RESTORE)", window, SW_RESTORE, deadline))
        return 0;
    // A maximised window is maximised on the monitor that its normal place lies on.
    const bool maximized = IsZoomed(window);
    if (maximized && !show_window("ShowWindow(SW_RESTORE)", window, SW_RESTORE, deadline))
        return 0;
    kswin_init();
    RECT frame = {}, borders = {};
    SetLastError(ERROR_SUCCESS);
    if (!visible_frame(window, frame, borders)) {
        report_setter_failure(kWhat, window, GetLastError());
        return 0;
    }
    const RECT from_work = work_area_of(table[from].facts), to_work = work_area_of(table[to].facts);
    const int32_t snapped = snapped_at(from_work, frame);
    const RECT target = snapped >= 0 ? snap_rect(to_work, snapped, frame) : in_proportion(frame, from_work, to_work);
    if (!place_frame(kWhat, window, target, deadline))
        return 0;
    return maximized ? maximize_and_hold(window, deadline) : 1;
}

} // namespace

// Like the other verbs, each holds no lock and has one deadline.
int32_t kestal_snap_window(void *hwnd, int32_t position)
{
    return in_physical_pixels(snap_window, hwnd, position, 0);
}

int32_t kestal_send_window(void *hwnd, int32_t monitor)
{
    return in_physical_pixels(send_window, hwnd, monitor, 0);
}
