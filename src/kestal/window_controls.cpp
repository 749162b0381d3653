// The controls that a hotkey drives: a flip of the pin, a step of the
// opacity, clicks that pass through, and the way back from all of them.
#include <algorithm>
#include <iterator>

#include "bounded_calls.h"
#include "setter_steps.h"

static int32_t pin(HWND window, int32_t how, ULONGLONG deadline)
{
    // A window that is gone reads as not pinned; the change then says why it failed.
    if (how == KESTAL_TOGGLE)
        how = (style_read(window) & WS_EX_TOPMOST) ? KESTAL_OFF : KESTAL_ON;
    return set_topmost(window, how != KESTAL_OFF, deadline);
}

static int32_t step_opacity(HWND window, int32_t points, ULONGLONG deadline)
{
    const int32_t from = opacity_percent(layering_of(window));
    return set_opacity(window, std::clamp(from + std::clamp(points, -100, 100), 20, 100), deadline);
}

static int32_t add_click_through(HWND window, ULONGLONG deadline)
{
    constexpr char kWhat[] = "SetWindowLongPtr(WS_EX_TRANSPARENT)";
    const layering before = layering_of(window);
    if (is_click_through(before.style))
        return 1;
    if (refused_as_per_pixel("set_clickthrough", window, before) || refused_by_class("set_clickthrough", window) ||
        !window_answers("the click-through change", window, deadline))
        return 0;
    layering now = layering_of(window);
    if (refused_as_per_pixel("set_clickthrough", window, now))
        return 0;
    // Clicks pass only through a layered window; one that was not is made
    // so at full alpha, and marked as kestal's like a faded one.
    const bool made_layered = !(now.style & WS_EX_LAYERED);
    if (made_layered) {
        if (!set_alpha(window, now, 100, deadline))
            return 0;
        now = layering_of(window);
    }
    if (!(now.style & WS_EX_TRANSPARENT)) {
        // Marked first: a window that takes the style only after we gave up
        // on it must still be one that `reset` gives back.
        if (!put_mark(window, kClickThroughProperty)) {
            const DWORD code = GetLastError();
            if (made_layered)
                leave_layered_mode(window, layering_of(window), deadline);
            report_setter_failure("SetProp", window, code);
            return 0;
        }
        const DWORD write_error = style_write_bounded(window, now.style | WS_EX_TRANSPARENT, deadline);
        if (!(style_read(window) & WS_EX_TRANSPARENT)) {
            if (write_error != ERROR_TIMEOUT) {
                drop_mark(window, kClickThroughProperty);
                if (made_layered)
                    leave_layered_mode(window, layering_of(window), deadline);
            }
            report_setter_failure(kWhat, window, write_error);
            return 0;
        }
    }
    flush_to_display();
    return 1;
}

// A window that kestal made layered for its clicks alone, and that is not
// faded, has no use for layered mode once clicks stop passing through.
static int32_t leave_unfaded_layering(HWND window, ULONGLONG deadline)
{
    const layering now = layering_of(window);
    if (!holds_made_layering(window, now) || opacity_percent(now) != 100)
        return 1;
    return leave_layered_mode(window, now, deadline);
}

static int32_t remove_click_through(HWND window, ULONGLONG deadline)
{
    constexpr char kWhat[] = "SetWindowLongPtr(clear WS_EX_TRANSPARENT)";
    if (!(style_read(window) & WS_EX_TRANSPARENT)) {
        drop_mark(window, kClickThroughProperty);
        return leave_unfaded_layering(window, deadline);
    }
    if (!window_answers("the click-through change", window, deadline))
        return 0;
    const DWORD write_error =
        style_write_bounded(window, style_read(window) & ~static_cast<LONG_PTR>(WS_EX_TRANSPARENT), deadline);
    if (style_read(window) & WS_EX_TRANSPARENT) {
        report_setter_failure(kWhat, window, write_error);
        return 0;
    }
    drop_mark(window, kClickThroughProperty);
    if (!leave_unfaded_layering(window, deadline))
        return 0;
    flush_to_display();
    return 1;
}

static int32_t set_clickthrough(HWND window, int32_t how, ULONGLONG deadline)
{
    if (!window) {
        set_error(KESTAL_FAILURE_ARGUMENT, "set_clickthrough: null hwnd");
        return 0;
    }
    if (window == GetDesktopWindow() || !IsWindow(window)) {
        set_error_code("SetWindowLongPtr(WS_EX_TRANSPARENT)",
                       window == GetDesktopWindow() ? ERROR_ACCESS_DENIED : ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    if (how == KESTAL_TOGGLE)
        how = is_click_through(style_read(window)) ? KESTAL_OFF : KESTAL_ON;
    return how == KESTAL_OFF ? remove_click_through(window, deadline) : add_click_through(window, deadline);
}

// The program's own layered attributes, as they were before kestal first
// changed them, while the window still has the ones that kestal wrote.
static int32_t give_back_own_layering(HWND window, const layering &now)
{
    COLORREF key = 0;
    BYTE alpha = 0;
    DWORD flags = 0;
    if (!own_layering_holds(window, now, key, alpha, flags))
        return 1;
    SetLastError(ERROR_SUCCESS);
    if (!SetLayeredWindowAttributes(window, key, alpha, flags)) {
        report_setter_failure("SetLayeredWindowAttributes", window, GetLastError());
        return 0;
    }
    drop_mark(window, kOwnLayeringProperty);
    return 1;
}

// A pin or a release of kestal's goes back while the window still has it;
// one that its program overtook leaves only its mark behind, which goes.
static int32_t give_back_pin(HWND window, ULONGLONG deadline)
{
    const bool topmost = (style_read(window) & WS_EX_TOPMOST) != 0;
    if (has_mark(window, kPinnedProperty)) {
        if (topmost)
            return set_topmost(window, 0, deadline);
        drop_mark(window, kPinnedProperty);
    }
    if (has_mark(window, kUnpinnedProperty)) {
        if (!topmost)
            return set_topmost(window, 1, deadline);
        drop_mark(window, kUnpinnedProperty);
    }
    return 1;
}

// The marks of what kestal changed; a person's record is none of them.
static bool carries_marks(HWND window)
{
    static constexpr const wchar_t *kMarks[] = {kClickThroughProperty, kMadeLayeredProperty, kOwnLayeringProperty,
                                                kPinnedProperty, kUnpinnedProperty};
    return std::any_of(std::begin(kMarks), std::end(kMarks), [&](const wchar_t *mark) { return has_mark(window, mark); });
}

static int32_t reset(HWND window, ULONGLONG deadline)
{
    if (!window) {
        set_error(KESTAL_FAILURE_ARGUMENT, "reset: null hwnd");
        return 0;
    }
    if (!IsWindow(window)) {
        set_error_code("reset", ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    if (!carries_marks(window)) {
        drop_mark(window, kByHandProperty);
        return 1;
    }
    if (!window_answers("the reset", window, deadline))
        return 0;
    // Clicks first: a window that kestal made layered leaves layered mode
    // only once clicks no longer need it.
    if (has_mark(window, kClickThroughProperty) && !remove_click_through(window, deadline))
        return 0;
    const layering now = layering_of(window);
    if (holds_made_layering(window, now)) {
        if (!drop_made_layering(window, now, deadline))
            return 0;
    } else if (!give_back_own_layering(window, now)) {
        return 0;
    }
    if (!give_back_pin(window, deadline))
        return 0;
    drop_mark(window, kByHandProperty);
    flush_to_display();
    return 1;
}

// Like the setters, the controls hold no lock of the library's: every one
// of them may send the window a message. Each holds the window's change
// lock, so that a change from another thread or process does not run
// between its reading of the window and its writing; the lock and every
// step of the change share one deadline.
int32_t kestal_pin(void *hwnd, int32_t how)
{
    HWND window = static_cast<HWND>(hwnd);
    return library_ready() &&
           under_change_lock(window, "pin", [&](ULONGLONG deadline) { return pin(window, how, deadline); });
}

int32_t kestal_step_opacity(void *hwnd, int32_t points)
{
    HWND window = static_cast<HWND>(hwnd);
    return library_ready() && under_change_lock(window, "step_opacity", [&](ULONGLONG deadline) {
               return step_opacity(window, points, deadline);
           });
}

int32_t kestal_set_clickthrough(void *hwnd, int32_t how)
{
    HWND window = static_cast<HWND>(hwnd);
    return library_ready() && under_change_lock(window, "set_clickthrough", [&](ULONGLONG deadline) {
               return set_clickthrough(window, how, deadline);
           });
}

int32_t kestal_reset(void *hwnd)
{
    HWND window = static_cast<HWND>(hwnd);
    return library_ready() &&
           under_change_lock(window, "reset", [&](ULONGLONG deadline) { return reset(window, deadline); });
}

// The record of a person's change: the keep's process id above the
// attribute bits, so that the record of a keep that has ended, even one
// ended by force, binds no other.
constexpr uintptr_t kByHandAttributes = KESTAL_BY_HAND_PIN | KESTAL_BY_HAND_OPACITY | KESTAL_BY_HAND_CLICKTHROUGH;

static uintptr_t by_hand_value(HWND window, uint32_t keep_pid)
{
    const auto value = reinterpret_cast<uintptr_t>(GetPropW(window, kByHandProperty));
    return value >> 8 == keep_pid ? value & kByHandAttributes : 0;
}

int32_t kestal_mark_by_hand(void *hwnd, uint32_t attributes, uint32_t keep_pid)
{
    if (!library_ready())
        return 0;
    HWND window = static_cast<HWND>(hwnd);
    const uintptr_t value =
        (uintptr_t(keep_pid) << 8) | by_hand_value(window, keep_pid) | (attributes & kByHandAttributes);
    SetLastError(ERROR_SUCCESS);
    if (SetPropW(window, kByHandProperty, reinterpret_cast<HANDLE>(value)))
        return 1;
    set_error_win32("SetProp(KestalByHand)");
    return 0;
}

uint32_t kestal_changed_by_hand(void *hwnd, uint32_t keep_pid)
{
    return library_ready() ? static_cast<uint32_t>(by_hand_value(static_cast<HWND>(hwnd), keep_pid)) : 0;
}

void kestal_forget_by_hand(void *hwnd)
{
    if (library_ready())
        drop_mark(static_cast<HWND>(hwnd), kByHandProperty);
}

int32_t kestal_carries_marks(void *hwnd)
{
    return library_ready() && carries_marks(static_cast<HWND>(hwnd)) ? 1 : 0;
}

int32_t kestal_carries_pin_mark(void *hwnd)
{
    return library_ready() && has_mark(static_cast<HWND>(hwnd), kPinnedProperty) ? 1 : 0;
}
