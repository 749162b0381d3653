// keep's borders: one window per pinned window, just outside its frame and
// just above it in the z-order, that takes no clicks, no focus and no input.
// They live on a thread of their own, which follows the windows' moves as
// the system reports them, so that neither keep's listing waits for the
// drawing nor a window that moves waits for the next listing.
#include "keep_border.h"

#include <algorithm>

#include "kestal_inprocess.h"
#include "system_calls.h"
#include "window_thread.h"

namespace {

using DwmGetWindowAttribute_fn = HRESULT(WINAPI *)(HWND, DWORD, void *, DWORD);
using GetDpiForMonitor_fn = HRESULT(WINAPI *)(HMONITOR, int, UINT *, UINT *);
using RegGetValueW_fn = LSTATUS(WINAPI *)(HKEY, LPCWSTR, LPCWSTR, DWORD, LPDWORD, void *, LPDWORD);

// Newer than the SDK headers of the cross build.
constexpr DWORD kExtendedFrameBounds = 9; // DWMWA_EXTENDED_FRAME_BOUNDS
constexpr int kEffectiveDpi = 0;          // MDT_EFFECTIVE_DPI
// A thread message to the border thread: the windows to border have changed.
constexpr UINT kWantedMessage = WM_APP + 1;

struct border {
    HWND target;
    HWND window;
    RECT frame;    // the window's frame when the border was placed last
    RECT placed;   // the border's own rectangle then
    int thickness; // in pixels, there
    bool shown;
};

// Handed from keep's thread to the border thread.
SRWLOCK g_wanted_lock = SRWLOCK_INIT;
std::vector<HWND> g_wanted;
keep_border g_wanted_style;
// Set while a kWantedMessage waits to be taken: a thread that is behind
// (making a hundred borders takes seconds under Wine) takes the newest
// windows once, rather than each listing's in turn.
volatile LONG g_wanted_posted = 0;

window_thread g_thread = {};

// The border thread's own.
std::vector<border> g_borders;
keep_border g_style;
COLORREF g_color = 0;
HBRUSH g_brush = nullptr;
// Null once the DWM has said that it gives no frame bounds here.
DwmGetWindowAttribute_fn p_frame_bounds = nullptr;
GetDpiForMonitor_fn p_monitor_dpi = nullptr;
int g_system_dpi = 96;

void take_color()
{
    const COLORREF color = g_style.accent ? accent_color() : g_style.color;
    if (g_brush && color == g_color)
        return;
    if (HBRUSH brush = CreateSolidBrush(color)) {
        if (g_brush)
            DeleteObject(g_brush);
        g_brush = brush;
        g_color = color;
    }
}

LRESULT CALLBACK border_procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam)
{
    switch (message) {
    case WM_NCHITTEST:
        return HTTRANSPARENT;
    case WM_MOUSEACTIVATE:
        return MA_NOACTIVATE;
    case WM_ERASEBKGND:
        return 1;
    case WM_PAINT: {
        PAINTSTRUCT paint;
        HDC dc = BeginPaint(window, &paint);
        if (g_brush)
            FillRect(dc, &paint.rcPaint, g_brush);
        EndPaint(window, &paint);
        return 0;
    }
    case WM_CLOSE:
        // A border goes with its window or with keep, never on its own:
        // `taskkill` without /F asks every top-level window of keep to close.
        return 0;
    case WM_DISPLAYCHANGE:
    case WM_DPICHANGED:
        // A screen that scales anew: each border asks its monitor's scale again.
        for (border &b : g_borders)
            b.thickness = 0;
        break;
    case WM_SETTINGCHANGE:
    case WM_DWMCOLORIZATIONCOLORCHANGED:
        // The accent colour changed, perhaps: every border hears it and repaints.
        if (g_style.accent) {
            take_color();
            InvalidateRect(window, nullptr, FALSE);
        }
        break;
    default:
        break;
    }
    return DefWindowProcW(window, message, wparam, lparam);
}

// The window's frame as the person sees it: the DWM's bounds leave out the
// invisible resize borders that GetWindowRect includes on Windows 10 and later.
bool frame_of(HWND window, RECT &frame)
{
    if (p_frame_bounds) {
        const HRESULT answer = p_frame_bounds(window, kExtendedFrameBounds, &frame, sizeof frame);
        if (answer == S_OK)
            return true;
        if (answer == E_NOTIMPL)
            p_frame_bounds = nullptr;
    }
    return GetWindowRect(window, &frame) != FALSE;
}

int dpi_at(const RECT &frame)
{
    UINT x = 0, y = 0;
    if (p_monitor_dpi && p_monitor_dpi(MonitorFromRect(&frame, MONITOR_DEFAULTTONEAREST), kEffectiveDpi, &x, &y) == S_OK)
        return static_cast<int>(x);
    return g_system_dpi;
}

// The border's window: a ring of `thickness` pixels, whose inside is no part
// of it, so that the window it surrounds shows and takes its clicks there.
void shape(HWND window, int width, int height, int thickness)
{
    HRGN ring = CreateRectRgn(0, 0, width, height);
    HRGN inside = CreateRectRgn(thickness, thickness, width - thickness, height - thickness);
    if (ring && inside)
        CombineRgn(ring, ring, inside, RGN_DIFF);
    if (inside)
        DeleteObject(inside);
    // The system owns the region once it is set.
    if (ring && !SetWindowRgn(window, ring, TRUE))
        DeleteObject(ring);
}

// Puts the border where its window is now, or hides it while the window is
// hidden or minimised. Asks the window's style, frame and neighbour above.
void place(border &b)
{
    const LONG_PTR style = GetWindowLongPtrW(b.target, GWL_STYLE);
    RECT frame = {};
    if (!(style & WS_VISIBLE) || (style & WS_MINIMIZE) || !frame_of(b.target, frame)) {
        if (b.shown)
            ShowWindow(b.window, SW_HIDE);
        b.shown = false;
        return;
    }
    // The monitor's scale is asked again only when the window has moved:
    // under Wine that takes three requests.
    const int thickness =
        b.thickness && EqualRect(&frame, &b.frame) ? b.thickness : MulDiv(g_style.thickness, dpi_at(frame), 96);
    const RECT outer = {frame.left - thickness, frame.top - thickness, frame.right + thickness,
                        frame.bottom + thickness};
    const int width = outer.right - outer.left, height = outer.bottom - outer.top;
    const bool resized = thickness != b.thickness || width != b.placed.right - b.placed.left ||
                         height != b.placed.bottom - b.placed.top;
    if (resized)
        shape(b.window, width, height, thickness);
    // Just above its window: after the window that lies above it, or on top
    // when there is none.
    const HWND above = GetWindow(b.target, GW_HWNDPREV);
    b.frame = frame;
    if (b.shown && !resized && above == b.window && EqualRect(&outer, &b.placed))
        return;
    UINT flags = SWP_NOACTIVATE | SWP_NOOWNERZORDER | SWP_SHOWWINDOW;
    if (above == b.window)
        flags |= SWP_NOZORDER;
    SetWindowPos(b.window, above ? above : HWND_TOP, outer.left, outer.top, width, height, flags);
    b.placed = outer;
    b.thickness = thickness;
    b.shown = true;
}

HWND make_border()
{
    HWND window = CreateWindowExW(WS_EX_TOOLWINDOW | WS_EX_NOACTIVATE | WS_EX_TRANSPARENT | WS_EX_LAYERED |
                                      WS_EX_TOPMOST,
                                  KESTAL_BORDER_CLASS, L"", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr,
                                  GetModuleHandleW(nullptr), nullptr);
    // Layered and transparent: clicks pass through to what lies beneath.
    if (window)
        SetLayeredWindowAttributes(window, 0, 255, LWA_ALPHA);
    return window;
}

void take_wanted()
{
    InterlockedExchange(&g_wanted_posted, 0);
    AcquireSRWLockShared(&g_wanted_lock);
    const std::vector<HWND> wanted = g_wanted;
    const keep_border style = g_wanted_style;
    ReleaseSRWLockShared(&g_wanted_lock);

    const bool restyled = style.accent != g_style.accent || style.color != g_style.color ||
                          style.thickness != g_style.thickness;
    g_style = style;
    if (restyled || !g_brush)
        take_color();
    auto unwanted = [&](const border &b) {
        if (std::find(wanted.begin(), wanted.end(), b.target) != wanted.end())
            return false;
        DestroyWindow(b.window);
        return true;
    };
    g_borders.erase(std::remove_if(g_borders.begin(), g_borders.end(), unwanted), g_borders.end());
    for (HWND target : wanted) {
        if (std::any_of(g_borders.begin(), g_borders.end(), [&](const border &b) { return b.target == target; }))
            continue;
        if (HWND window = make_border())
            g_borders.push_back({target, window, {}, {}, 0, false});
    }
    for (border &b : g_borders) {
        if (restyled) {
            b.thickness = 0;
            InvalidateRect(b.window, nullptr, FALSE);
        }
        place(b);
    }
}

// Moves, resizes, minimising, hiding and the end of a bordered window, where
// the system reports them to another process (Windows does; Wine 8 does not,
// and keep's listing catches them there).
void CALLBACK on_window_event(HWINEVENTHOOK, DWORD, HWND window, LONG object, LONG child, DWORD, DWORD)
{
    if (object != OBJID_WINDOW || child != CHILDID_SELF || !window)
        return;
    for (border &b : g_borders) {
        if (b.target == window)
            place(b);
    }
}

DWORD WINAPI draw_borders(void *started)
{
    MSG message;
    // The queue exists before keep can post to it.
    PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE);
    WNDCLASSW window_class = {};
    window_class.lpfnWndProc = border_procedure;
    window_class.hInstance = GetModuleHandleW(nullptr);
    window_class.lpszClassName = KESTAL_BORDER_CLASS;
    RegisterClassW(&window_class);
    p_frame_bounds = system_call<DwmGetWindowAttribute_fn>(L"dwmapi.dll", "DwmGetWindowAttribute");
    p_monitor_dpi = system_call<GetDpiForMonitor_fn>(L"shcore.dll", "GetDpiForMonitor");
    if (HDC screen = GetDC(nullptr)) {
        g_system_dpi = GetDeviceCaps(screen, LOGPIXELSX);
        ReleaseDC(nullptr, screen);
    }
    constexpr DWORD kRanges[][2] = {
        {EVENT_OBJECT_LOCATIONCHANGE, EVENT_OBJECT_LOCATIONCHANGE},
        {EVENT_OBJECT_DESTROY, EVENT_OBJECT_HIDE}, // destroy, show, hide
        {EVENT_SYSTEM_MINIMIZESTART, EVENT_SYSTEM_MINIMIZEEND},
        {EVENT_SYSTEM_FOREGROUND, EVENT_SYSTEM_FOREGROUND}, // a window brought to the front rises above its border
    };
    HWINEVENTHOOK hooks[std::size(kRanges)] = {};
    for (size_t i = 0; i < std::size(kRanges); ++i)
        hooks[i] = SetWinEventHook(kRanges[i][0], kRanges[i][1], nullptr, on_window_event, 0, 0,
                                   WINEVENT_OUTOFCONTEXT | WINEVENT_SKIPOWNPROCESS);
    SetEvent(started);
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        if (!message.hwnd && message.message == kWantedMessage)
            take_wanted();
        else
            DispatchMessageW(&message);
    }
    for (HWINEVENTHOOK hook : hooks) {
        if (hook)
            UnhookWinEvent(hook);
    }
    for (const border &b : g_borders)
        DestroyWindow(b.window);
    g_borders.clear();
    if (g_brush)
        DeleteObject(g_brush);
    g_brush = nullptr;
    return 0;
}


} // namespace

COLORREF accent_color()
{
    static const auto read_value = system_call<RegGetValueW_fn>(L"advapi32.dll", "RegGetValueW");
    DWORD value = 0, size = sizeof value;
    if (read_value && read_value(HKEY_CURRENT_USER, L"Software\\Microsoft\\Windows\\DWM", L"AccentColor",
                                 RRF_RT_REG_DWORD, nullptr, &value, &size) == ERROR_SUCCESS)
        return value & 0xFFFFFF; // 0xAABBGGRR: the colour without its alpha is a COLORREF
    return GetSysColor(COLOR_HIGHLIGHT);
}

void show_borders(const std::vector<HWND> &windows, const keep_border &style)
{
    AcquireSRWLockExclusive(&g_wanted_lock);
    const bool none_before = g_wanted.empty();
    g_wanted = windows;
    g_wanted_style = style;
    ReleaseSRWLockExclusive(&g_wanted_lock);
    if (windows.empty() && (none_before || !g_thread.handle))
        return;
    if (!g_thread.handle && !start_window_thread(g_thread, draw_borders))
        return;
    if (!InterlockedExchange(&g_wanted_posted, 1) && !PostThreadMessageW(g_thread.id, kWantedMessage, 0, 0))
        InterlockedExchange(&g_wanted_posted, 0);
}

void end_borders()
{
    AcquireSRWLockExclusive(&g_wanted_lock);
    g_wanted.clear();
    ReleaseSRWLockExclusive(&g_wanted_lock);
    end_window_thread(g_thread);
    InterlockedExchange(&g_wanted_posted, 0);
}
