// keep's borders: one window per pinned window, just outside its frame and
// just above it in the z-order, that takes no clicks, no focus and no input.
// They live on a thread of their own, which follows the windows' moves as
// the system reports them, so that neither keep's listing waits for the
// drawing nor a window that moves waits for the next listing.
#include "keep_border.h"

#include <algorithm>
#include <climits>

#include "kestal_inprocess.h"
#include "system_calls.h"
#include "window_thread.h"

namespace {

using DwmGetWindowAttribute_fn = HRESULT(WINAPI *)(HWND, DWORD, void *, DWORD);
using GetDpiForMonitor_fn = HRESULT(WINAPI *)(HMONITOR, int, UINT *, UINT *);
using RegGetValueW_fn = LSTATUS(WINAPI *)(HKEY, LPCWSTR, LPCWSTR, DWORD, LPDWORD, void *, LPDWORD);

// Newer than the SDK headers of the cross build.
constexpr DWORD kExtendedFrameBounds = 9; // DWMWA_EXTENDED_FRAME_BOUNDS
constexpr DWORD kWindowCornerPreference = 33; // DWMWA_WINDOW_CORNER_PREFERENCE, Windows 11
constexpr DWORD kCornerDoNotRound = 1;        // DWMWCP_DONOTROUND
constexpr DWORD kCornerRoundSmall = 3;        // DWMWCP_ROUNDSMALL
constexpr int kEffectiveDpi = 0;          // MDT_EFFECTIVE_DPI
// A thread message to the border thread: the windows to border have changed.
constexpr UINT kWantedMessage = WM_APP + 1;

struct border {
    HWND target;
    HWND window;   // drawn with per-pixel alpha: the ring opaque, its inside clear
    RECT frame;    // the window's frame when the border was placed last
    RECT monitor;  // the rectangle of the monitor that holds most of it then
    RECT placed;   // the border's own rectangle then
    int thickness; // in pixels, there
    int radius;    // of the frame's rounded corners, 0 for square ones
    bool shown;
    DWORD pid;     // the target's process, whose events the border thread hooks
    RECT seen;     // the target's rectangle at the last look
    bool reported; // the system has reported a move of the target: no look needed
};

// The windows whose moves no event reports (Wine 8 reports none to another
// process) are looked at this often, and only they: a border follows its
// window within this.
constexpr UINT kLookMs = 450;

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
bool g_color_taken = false;
// Null once the DWM has said that it gives no frame bounds here.
DwmGetWindowAttribute_fn p_frame_bounds = nullptr;
GetDpiForMonitor_fn p_monitor_dpi = nullptr;
int g_system_dpi = 96;

// True when the colour is another than the borders were drawn in.
bool take_color()
{
    const COLORREF color = g_style.accent ? accent_color() : g_style.color;
    const bool changed = !g_color_taken || color != g_color;
    g_color = color;
    g_color_taken = true;
    return changed;
}

void place(border &b);

LRESULT CALLBACK border_procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam)
{
    switch (message) {
    case WM_NCHITTEST:
        return HTTRANSPARENT;
    case WM_MOUSEACTIVATE:
        return MA_NOACTIVATE;
    case WM_ERASEBKGND:
        return 1;
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
        // The accent colour changed, perhaps: the first border that hears it
        // draws every border anew.
        if (g_style.accent && take_color()) {
            for (border &b : g_borders) {
                b.thickness = 0;
                place(b);
            }
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

// The scale and the rectangle of the monitor that holds most of the frame.
int dpi_at(const RECT &frame, RECT &monitor)
{
    const HMONITOR holder = MonitorFromRect(&frame, MONITOR_DEFAULTTONEAREST);
    MONITORINFO info = {};
    info.cbSize = sizeof info;
    monitor = GetMonitorInfoW(holder, &info) ? info.rcMonitor : RECT{INT_MIN / 2, INT_MIN / 2, INT_MAX / 2, INT_MAX / 2};
    UINT x = 0, y = 0;
    if (p_monitor_dpi && p_monitor_dpi(holder, kEffectiveDpi, &x, &y) == S_OK)
        return static_cast<int>(x);
    return g_system_dpi;
}

// A window without a frame that covers its whole monitor (a game, a video)
// is the whole picture: a border would lie on it.
bool covers_its_monitor(LONG_PTR style, const RECT &frame, const RECT &monitor)
{
    return !(style & (WS_CAPTION | WS_THICKFRAME)) && frame.left <= monitor.left && frame.top <= monitor.top &&
           frame.right >= monitor.right && frame.bottom >= monitor.bottom;
}

// How round the window's corners are, in pixels at `dpi`: Windows 11 rounds
// a frame unless its program asks it not to, and says so through the DWM.
// Where the DWM does not answer (Windows 10, Wine), corners are square.
int corner_radius(HWND window, int dpi)
{
    DWORD preference = kCornerDoNotRound;
    if (!p_frame_bounds ||
        p_frame_bounds(window, kWindowCornerPreference, &preference, sizeof preference) != S_OK)
        return 0;
    if (preference == kCornerDoNotRound)
        return 0;
    return MulDiv(preference == kCornerRoundSmall ? 4 : 8, dpi, 96);
}

// The border's window drawn anew for `outer` and put just above its window.
// One window with per-pixel alpha: its inside is clear and takes no clicks,
// and every system draws all four sides of it (Wine 10 did not draw the
// sides of a window shaped as a ring by a region).
void draw_ring(border &b, const RECT &outer, int thickness, int radius, HWND above, bool reorder)
{
    const int width = outer.right - outer.left, height = outer.bottom - outer.top;
    if (width <= 0 || height <= 0)
        return;
    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    void *bits = nullptr;
    HBITMAP ring = memory ? pixel_bitmap(width, height, bits) : nullptr;
    if (ring && bits) {
        border_pixels(static_cast<uint32_t *>(bits), width, height, thickness, radius, g_color);
        HGDIOBJ before = SelectObject(memory, ring);
        POINT at = {outer.left, outer.top}, origin = {0, 0};
        SIZE size = {width, height};
        BLENDFUNCTION blend = {AC_SRC_OVER, 0, 255, AC_SRC_ALPHA};
        UpdateLayeredWindow(b.window, screen, &at, &size, memory, &origin, 0, &blend, ULW_ALPHA);
        SelectObject(memory, before);
    }
    if (ring)
        DeleteObject(ring);
    if (memory)
        DeleteDC(memory);
    ReleaseDC(nullptr, screen);
    SetWindowPos(b.window, above ? above : HWND_TOP, 0, 0, 0, 0,
                 SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE | SWP_NOOWNERZORDER | SWP_SHOWWINDOW |
                     (reorder ? 0 : SWP_NOZORDER));
}

void hide_ring(border &b)
{
    if (!b.shown)
        return;
    ShowWindow(b.window, SW_HIDE);
    b.shown = false;
}

// Puts the border where its window is now, or hides it while the window is
// hidden or minimised. Asks the window's style, frame and neighbour above.
void place(border &b)
{
    const LONG_PTR style = GetWindowLongPtrW(b.target, GWL_STYLE);
    RECT frame = {};
    if (!(style & WS_VISIBLE) || (style & WS_MINIMIZE) || !frame_of(b.target, frame)) {
        hide_ring(b);
        return;
    }
    // The monitor's scale is asked again only when the window has moved:
    // under Wine that takes three requests.
    const bool moved = !b.thickness || !EqualRect(&frame, &b.frame);
    int radius = b.radius;
    int thickness = b.thickness;
    if (moved) {
        const int dpi = dpi_at(frame, b.monitor);
        thickness = MulDiv(g_style.thickness, dpi, 96);
        radius = corner_radius(b.target, dpi);
    }
    if (covers_its_monitor(style, frame, b.monitor)) {
        hide_ring(b);
        b.frame = frame;
        b.thickness = thickness;
        return;
    }
    // Within the window's monitor: a maximised window's frame reaches past
    // the screen's edge, and a neighbouring monitor is no place for it.
    RECT outer = {frame.left - thickness, frame.top - thickness, frame.right + thickness, frame.bottom + thickness};
    IntersectRect(&outer, &outer, &b.monitor);
    const bool reshaped = thickness != b.thickness || radius != b.radius || !EqualRect(&outer, &b.placed);
    // Just above its window: after the window that lies above it, or on top
    // when there is none.
    const HWND above = GetWindow(b.target, GW_HWNDPREV);
    const bool in_place = above == b.window;
    b.frame = frame;
    if (b.shown && !reshaped && in_place)
        return;
    if (reshaped || !b.shown)
        draw_ring(b, outer, thickness, radius, in_place ? nullptr : above, !in_place);
    else
        SetWindowPos(b.window, above ? above : HWND_TOP, 0, 0, 0, 0,
                     SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE | SWP_NOOWNERZORDER | SWP_SHOWWINDOW);
    b.placed = outer;
    b.thickness = thickness;
    b.radius = radius;
    b.shown = true;
}

// The owner of every border, never shown: an owned window has no taskbar
// button, in any shell (Wine's desktop gave each border a blank one).
HWND g_owner = nullptr;

HWND make_border(HWND target)
{
    HWND window = CreateWindowExW(WS_EX_TOOLWINDOW | WS_EX_NOACTIVATE | WS_EX_TRANSPARENT | WS_EX_LAYERED |
                                      WS_EX_TOPMOST,
                                  KESTAL_BORDER_CLASS, L"", WS_POPUP, 0, 0, 0, 0, g_owner, nullptr,
                                  GetModuleHandleW(nullptr), nullptr);
    // Layered and transparent: clicks pass through to what lies beneath; its
    // pixels come with UpdateLayeredWindow, each with its own alpha. A pick
    // tells a click inside the ring from one on it by the window it surrounds.
    if (window)
        SetPropW(window, KESTAL_BORDER_TARGET, target);
    return window;
}

void destroy_border(HWND window)
{
    RemovePropW(window, KESTAL_BORDER_TARGET);
    DestroyWindow(window);
}

void hook_bordered_processes();

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
    if (restyled || !g_color_taken)
        take_color();
    auto unwanted = [&](const border &b) {
        if (std::find(wanted.begin(), wanted.end(), b.target) != wanted.end())
            return false;
        destroy_border(b.window);
        return true;
    };
    g_borders.erase(std::remove_if(g_borders.begin(), g_borders.end(), unwanted), g_borders.end());
    for (HWND target : wanted) {
        if (std::any_of(g_borders.begin(), g_borders.end(), [&](const border &b) { return b.target == target; }))
            continue;
        DWORD pid = 0;
        GetWindowThreadProcessId(target, &pid);
        if (HWND window = make_border(target))
            g_borders.push_back({target, window, {}, {}, {}, 0, 0, false, pid, {}, false});
    }
    // The borders already shown follow their windows by themselves: only a
    // new border, or every one when the style changed, is placed here, so
    // that a keep that pins a hundred windows one after another places each
    // once, not each again with every later one.
    for (border &b : g_borders) {
        if (restyled) {
            b.thickness = 0;
        } else if (b.thickness || b.shown) {
            continue;
        }
        place(b);
        GetWindowRect(b.target, &b.seen);
    }
    hook_bordered_processes();
}

// Moves, resizes, minimising, hiding and the end of a bordered window, where
// the system reports them to another process (Windows does; Wine 8 does not,
// and keep's listing catches them there).
void CALLBACK on_window_event(HWINEVENTHOOK, DWORD event, HWND window, LONG object, LONG child, DWORD, DWORD)
{
    if (object != OBJID_WINDOW || child != CHILDID_SELF || !window)
        return;
    for (border &b : g_borders) {
        if (b.target != window)
            continue;
        if (event == EVENT_OBJECT_LOCATIONCHANGE)
            b.reported = true;
        place(b);
    }
}

// The events that move a border, hooked for the processes of the bordered
// windows only: the carets and controls of every other program cost nothing.
constexpr DWORD kRanges[][2] = {
    {EVENT_OBJECT_LOCATIONCHANGE, EVENT_OBJECT_LOCATIONCHANGE},
    {EVENT_OBJECT_DESTROY, EVENT_OBJECT_HIDE}, // destroy, show, hide
    {EVENT_SYSTEM_MINIMIZESTART, EVENT_SYSTEM_MINIMIZEEND},
    {EVENT_SYSTEM_FOREGROUND, EVENT_SYSTEM_FOREGROUND}, // a window brought to the front rises above its border
};

struct process_hooks {
    DWORD pid;
    HWINEVENTHOOK hooks[std::size(kRanges)];
};
std::vector<process_hooks> g_hooks;

void unhook(process_hooks &hooked)
{
    for (HWINEVENTHOOK hook : hooked.hooks) {
        if (hook)
            UnhookWinEvent(hook);
    }
}

// Hooks the processes that have a bordered window and no hooks yet, and
// unhooks those that have none left.
void hook_bordered_processes()
{
    auto unbordered = [&](process_hooks &hooked) {
        if (std::any_of(g_borders.begin(), g_borders.end(), [&](const border &b) { return b.pid == hooked.pid; }))
            return false;
        unhook(hooked);
        return true;
    };
    g_hooks.erase(std::remove_if(g_hooks.begin(), g_hooks.end(), unbordered), g_hooks.end());
    for (const border &b : g_borders) {
        if (!b.pid || std::any_of(g_hooks.begin(), g_hooks.end(), [&](const process_hooks &h) { return h.pid == b.pid; }))
            continue;
        process_hooks hooked = {b.pid, {}};
        for (size_t i = 0; i < std::size(kRanges); ++i)
            hooked.hooks[i] = SetWinEventHook(kRanges[i][0], kRanges[i][1], nullptr, on_window_event, b.pid, 0,
                                              WINEVENT_OUTOFCONTEXT);
        g_hooks.push_back(hooked);
    }
}

// One request per window whose moves are not reported; a border is placed
// anew only when its window's rectangle changed.
void CALLBACK look_at_unreported(HWND, UINT, UINT_PTR, DWORD)
{
    for (border &b : g_borders) {
        if (b.reported)
            continue;
        RECT now = {};
        if (!GetWindowRect(b.target, &now) || EqualRect(&now, &b.seen))
            continue;
        b.seen = now;
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
    g_owner = CreateWindowExW(WS_EX_TOOLWINDOW, KESTAL_BORDER_CLASS, L"", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr,
                              GetModuleHandleW(nullptr), nullptr);
    const UINT_PTR look = SetTimer(nullptr, 0, kLookMs, look_at_unreported);
    SetEvent(started);
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        if (!message.hwnd && message.message == kWantedMessage)
            take_wanted();
        else
            DispatchMessageW(&message);
    }
    KillTimer(nullptr, look);
    for (process_hooks &hooked : g_hooks)
        unhook(hooked);
    g_hooks.clear();
    for (const border &b : g_borders)
        destroy_border(b.window);
    g_borders.clear();
    if (g_owner)
        DestroyWindow(g_owner);
    g_owner = nullptr;
    g_color_taken = false;
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

void border_pixels(uint32_t *pixels, int width, int height, int thickness, int radius, COLORREF color)
{
    const uint32_t opaque = 0xFF000000u | GetRValue(color) << 16 | GetGValue(color) << 8 | GetBValue(color);
    const int outer_radius = radius ? radius + thickness : 0;
    // Whether (x, y) lies within a rectangle whose corners are rounded by r.
    const auto within = [](int x, int y, int left, int top, int right, int bottom, int r) {
        if (x < left || y < top || x >= right || y >= bottom)
            return false;
        if (r <= 0)
            return true;
        const int cx = x < left + r ? left + r : x >= right - r ? right - r - 1 : x;
        const int cy = y < top + r ? top + r : y >= bottom - r ? bottom - r - 1 : y;
        const int dx = x - cx, dy = y - cy;
        return dx * dx + dy * dy <= r * r;
    };
    for (int y = 0; y < height; ++y) {
        uint32_t *row = pixels + static_cast<size_t>(y) * width;
        const bool corner_row = y < outer_radius + thickness || y >= height - outer_radius - thickness;
        for (int x = 0; x < width; ++x) {
            bool ring;
            if (!corner_row && x >= thickness + outer_radius && x < width - thickness - outer_radius)
                ring = false; // the inside, away from every corner
            else
                ring = within(x, y, 0, 0, width, height, outer_radius) &&
                       !within(x, y, thickness, thickness, width - thickness, height - thickness, radius);
            row[x] = ring ? opaque : 0;
        }
    }
}

HBITMAP pixel_bitmap(int width, int height, void *&bits)
{
    BITMAPINFO info = {};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    bits = nullptr;
    return CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
}
