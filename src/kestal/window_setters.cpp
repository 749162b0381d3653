// Pinning and fading any top-level window.
#include "internal.h"

// Wine applies a foreign window's layered alpha by setting an X property on
// the calling process's own display connection and does not flush it. A
// short-lived caller such as the CLI would exit with the change still queued,
// so under Wine a change ends with one round trip to the display server.
static bool running_under_wine()
{
    static int answer = -1;
    if (answer < 0) {
        HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
        answer = ntdll && GetProcAddress(ntdll, "wine_get_version") ? 1 : 0;
    }
    return answer == 1;
}

static void flush_to_display()
{
    if (!running_under_wine())
        return;
    if (HDC screen = GetDC(nullptr)) {
        GetPixel(screen, 0, 0);
        ReleaseDC(nullptr, screen);
    }
}

// A change can fail without a system error code: the window was destroyed
// between our write and its read-back, or its owner wrote its own idea of
// the style over ours, or the system refused without saying why. "win32
// error 0" with the system's text for 0 would call the failure a success.
static void report_setter_failure(const char *what, HWND window, DWORD code)
{
    if (code != ERROR_SUCCESS) {
        set_error_code(what, code);
    } else if (!IsWindow(window)) {
        set_error_code(what, ERROR_INVALID_WINDOW_HANDLE);
    } else {
        set_error("%s failed (win32 error 0): the window did not keep the change; its owner may have changed it "
                  "back",
                  what);
    }
}

// Re-stacking or restyling another program's window waits until that program
// has taken the change, and a program that no longer answers would hold the
// caller for ever. Ask first, and wait no longer than the system does before
// it calls a program "not responding"; a program already known to be hung is
// not waited for at all.
constexpr UINT kAnswerTimeoutMs = 5000;

static bool window_answers(HWND window)
{
    // A handle that names no window is left to the change itself, which
    // reports it in its own words; nor may a special value such as
    // HWND_BROADCAST send the question to every window there is.
    if (!IsWindow(window))
        return true;
    DWORD_PTR ignored = 0;
    SetLastError(ERROR_SUCCESS);
    if (SendMessageTimeoutW(window, WM_NULL, 0, 0, SMTO_NORMAL | SMTO_ABORTIFHUNG, kAnswerTimeoutMs, &ignored))
        return true;
    // Any answer but silence, such as a message that the system filters
    // between privilege levels, is left to the change to report; so is a
    // window that went away meanwhile.
    DWORD code = GetLastError();
    if ((code != ERROR_TIMEOUT && code != ERROR_SUCCESS) || !IsWindow(window))
        return true;
    set_error_code("SendMessageTimeout(WM_NULL)", ERROR_TIMEOUT);
    return false;
}

static int32_t set_topmost(HWND window, int32_t topmost)
{
    if (!window) {
        set_error("set_topmost: null hwnd");
        return 0;
    }
    // The desktop window is the root of the z-order, not a place in it.
    // Wine refuses it without setting an error code; answer for it.
    if (window == GetDesktopWindow()) {
        set_error_code("SetWindowPos(topmost)", ERROR_ACCESS_DENIED);
        return 0;
    }
    if (!window_answers(window))
        return 0;
    HWND insert_after = topmost ? HWND_TOPMOST : HWND_NOTOPMOST;
    SetLastError(ERROR_SUCCESS);
    if (!SetWindowPos(window, insert_after, 0, 0, 0, 0, SWP_NOSIZE | SWP_NOMOVE | SWP_NOACTIVATE)) {
        report_setter_failure("SetWindowPos(topmost)", window, GetLastError());
        return 0;
    }
    return 1;
}

static int32_t leave_layered_mode(HWND window, LONG_PTR style)
{
    if (!(style & WS_EX_LAYERED))
        return 1;
    if (!window_answers(window))
        return 0;
    DWORD write_error = style_write(window, style & ~static_cast<LONG_PTR>(WS_EX_LAYERED));
    if (style_read(window) & WS_EX_LAYERED) {
        report_setter_failure("SetWindowLongPtr(clear WS_EX_LAYERED)", window, write_error);
        return 0;
    }
    flush_to_display();
    return 1;
}

static int32_t set_alpha(HWND window, LONG_PTR style, int32_t pct)
{
    // Windows refuses to make the desktop window layered; Wine lets a fresh
    // process do it, and the whole screen fades. Answer as Windows does.
    if (window == GetDesktopWindow()) {
        set_error_code("SetWindowLongPtr(WS_EX_LAYERED)", ERROR_ACCESS_DENIED);
        return 0;
    }
    if (!window_answers(window))
        return 0;
    DWORD write_error = style_write(window, style | WS_EX_LAYERED);
    if (!(style_read(window) & WS_EX_LAYERED)) {
        report_setter_failure("SetWindowLongPtr(WS_EX_LAYERED)", window, write_error);
        return 0;
    }
    SetLastError(ERROR_SUCCESS);
    if (!SetLayeredWindowAttributes(window, 0, alpha_from_percent(pct), LWA_ALPHA)) {
        DWORD code = GetLastError();
        // A layered window without attributes is not drawn at all: never
        // leave another program's window invisible because of us.
        if (!(style & WS_EX_LAYERED))
            style_write(window, style);
        report_setter_failure("SetLayeredWindowAttributes", window, code);
        return 0;
    }
    flush_to_display();
    return 1;
}

static int32_t set_opacity(HWND window, int32_t pct)
{
    // Unsigned arithmetic: one comparison rejects below 20, above 100 and
    // negative values, without signed overflow at INT32_MIN.
    if (static_cast<uint32_t>(pct) - 20u > 80u) {
        set_error("set_opacity: pct out of range 20-100 (got %d)", pct);
        return 0;
    }
    if (!window) {
        set_error("set_opacity: null hwnd");
        return 0;
    }
    LONG_PTR style = style_read(window);
    return pct == 100 ? leave_layered_mode(window, style) : set_alpha(window, style, pct);
}

extern "C" KESTAL_API int32_t kestal_set_topmost(void *hwnd, int32_t topmost)
{
    if (!enter_library())
        return 0;
    int32_t done = set_topmost(static_cast<HWND>(hwnd), topmost);
    leave_library();
    return done;
}

extern "C" KESTAL_API int32_t kestal_set_opacity(void *hwnd, int32_t pct)
{
    if (!enter_library())
        return 0;
    int32_t done = set_opacity(static_cast<HWND>(hwnd), pct);
    leave_library();
    return done;
}
