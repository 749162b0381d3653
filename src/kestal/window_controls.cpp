// The controls that a hotkey drives: a flip of the pin, a step of the
// opacity, clicks that pass through, and the way back from all of them.
#include <algorithm>
#include <iterator>

#include "setter_steps.h"

static int32_t pin(HWND window, int32_t how)
{
    // A window that is gone reads as not pinned; the change then says why it failed.
    if (how == KESTAL_TOGGLE)
        how = (style_read(window) & WS_EX_TOPMOST) ? KESTAL_OFF : KESTAL_ON;
    return set_topmost(window, how != KESTAL_OFF);
}

static int32_t step_opacity(HWND window, int32_t points)
{
    const int32_t from = opacity_percent(layering_of(window));
    return set_opacity(window, std::clamp(from + std::clamp(points, -100, 100), 20, 100));
}

static int32_t add_click_through(HWND window)
{
    const layering before = layering_of(window);
    if (is_click_through(before.style))
        return 1;
    if (refused_as_per_pixel("set_clickthrough", before) || refused_by_class("set_clickthrough", window) ||
        !window_answers(window))
        return 0;
    layering now = layering_of(window);
    if (refused_as_per_pixel("set_clickthrough", now))
        return 0;
    // Clicks pass only through a layered window; one that was not is made
    // so at full alpha, and marked as kestal's like a faded one.
    const bool made_layered = !(now.style & WS_EX_LAYERED);
    if (made_layered) {
        if (!set_alpha(window, now, 100))
            return 0;
        now = layering_of(window);
    }
    if (!(now.style & WS_EX_TRANSPARENT)) {
        const DWORD write_error = style_write(window, now.style | WS_EX_TRANSPARENT);
        const bool kept = (style_read(window) & WS_EX_TRANSPARENT) != 0;
        if (!kept || !put_mark(window, kClickThroughProperty)) {
            const DWORD code = kept ? GetLastError() : write_error;
            if (kept)
                style_write(window, style_read(window) & ~static_cast<LONG_PTR>(WS_EX_TRANSPARENT));
            if (made_layered)
                leave_layered_mode(window, layering_of(window));
            report_setter_failure(kept ? "SetProp" : "SetWindowLongPtr(WS_EX_TRANSPARENT)", window, code);
            return 0;
        }
    }
    flush_to_display();
    return 1;
}

// A window that kestal made layered for its clicks alone, and that is not
// faded, has no use for layered mode once clicks stop passing through.
static int32_t leave_unfaded_layering(HWND window)
{
    const layering now = layering_of(window);
    if (!has_mark(window, kMadeLayeredProperty) || opacity_percent(now) != 100)
        return 1;
    return leave_layered_mode(window, now);
}

static int32_t remove_click_through(HWND window)
{
    if (!(style_read(window) & WS_EX_TRANSPARENT)) {
        drop_mark(window, kClickThroughProperty);
        return leave_unfaded_layering(window);
    }
    if (!window_answers(window))
        return 0;
    const DWORD write_error = style_write(window, style_read(window) & ~static_cast<LONG_PTR>(WS_EX_TRANSPARENT));
    if (style_read(window) & WS_EX_TRANSPARENT) {
        report_setter_failure("SetWindowLongPtr(clear WS_EX_TRANSPARENT)", window, write_error);
        return 0;
    }
    drop_mark(window, kClickThroughProperty);
    if (!leave_unfaded_layering(window))
        return 0;
    flush_to_display();
    return 1;
}

static int32_t set_clickthrough(HWND window, int32_t how)
{
    if (!window) {
        set_error("set_clickthrough: null hwnd");
        return 0;
    }
    if (window == GetDesktopWindow() || !IsWindow(window)) {
        set_error_code("SetWindowLongPtr(WS_EX_TRANSPARENT)",
                       window == GetDesktopWindow() ? ERROR_ACCESS_DENIED : ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    if (how == KESTAL_TOGGLE)
        how = is_click_through(style_read(window)) ? KESTAL_OFF : KESTAL_ON;
    return how == KESTAL_OFF ? remove_click_through(window) : add_click_through(window);
}

// The program's own layered attributes, as they were before kestal first
// changed them.
static int32_t give_back_own_layering(HWND window)
{
    COLORREF key = 0;
    BYTE alpha = 0;
    DWORD flags = 0;
    if (!saved_layering(window, key, alpha, flags))
        return 1;
    if (style_read(window) & WS_EX_LAYERED) {
        SetLastError(ERROR_SUCCESS);
        if (!SetLayeredWindowAttributes(window, key, alpha, flags)) {
            report_setter_failure("SetLayeredWindowAttributes", window, GetLastError());
            return 0;
        }
    }
    drop_mark(window, kOwnLayeringProperty);
    return 1;
}

static int32_t reset(HWND window)
{
    if (!window) {
        set_error("reset: null hwnd");
        return 0;
    }
    if (!IsWindow(window)) {
        set_error_code("reset", ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    static constexpr const wchar_t *kMarks[] = {kClickThroughProperty, kMadeLayeredProperty, kOwnLayeringProperty,
                                                kPinnedProperty, kUnpinnedProperty, kByHandProperty};
    if (std::none_of(std::begin(kMarks), std::end(kMarks), [&](const wchar_t *mark) { return has_mark(window, mark); }))
        return 1;
    if (!window_answers(window))
        return 0;
    // Clicks first: a window that kestal made layered leaves layered mode
    // only once clicks no longer need it.
    if (has_mark(window, kClickThroughProperty) && !remove_click_through(window))
        return 0;
    if (has_mark(window, kMadeLayeredProperty)) {
        const layering now = layering_of(window);
        if (!(now.style & WS_EX_LAYERED))
            drop_mark(window, kMadeLayeredProperty);
        else if (!drop_made_layering(window, now))
            return 0;
    } else if (!give_back_own_layering(window)) {
        return 0;
    }
    if (has_mark(window, kPinnedProperty) && !set_topmost(window, 0))
        return 0;
    if (has_mark(window, kUnpinnedProperty) && !set_topmost(window, 1))
        return 0;
    drop_mark(window, kByHandProperty);
    flush_to_display();
    return 1;
}

// Like the setters, the controls hold no lock: every one of them may send
// the window a message.
int32_t kestal_pin(void *hwnd, int32_t how)
{
    return library_ready() ? pin(static_cast<HWND>(hwnd), how) : 0;
}

int32_t kestal_step_opacity(void *hwnd, int32_t points)
{
    return library_ready() ? step_opacity(static_cast<HWND>(hwnd), points) : 0;
}

int32_t kestal_set_clickthrough(void *hwnd, int32_t how)
{
    return library_ready() ? set_clickthrough(static_cast<HWND>(hwnd), how) : 0;
}

int32_t kestal_reset(void *hwnd)
{
    return library_ready() ? reset(static_cast<HWND>(hwnd)) : 0;
}

int32_t kestal_mark_by_hand(void *hwnd)
{
    if (!library_ready())
        return 0;
    if (put_mark(static_cast<HWND>(hwnd), kByHandProperty))
        return 1;
    set_error_win32("SetProp(KestalByHand)");
    return 0;
}

int32_t kestal_changed_by_hand(void *hwnd)
{
    return library_ready() && has_mark(static_cast<HWND>(hwnd), kByHandProperty) ? 1 : 0;
}
