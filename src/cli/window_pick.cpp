// A pick lays a sheet over every monitor, nearly clear, that takes the click
// itself, so that the click reaches no program, and shows a cross while it
// waits. Esc is a hotkey of the sheet's, so that the sheet need not take the
// keyboard and the window that was active stays active.
#include "window_pick.h"

#include <windows.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <string_view>

#include "system_calls.h"

namespace {

using DwmGetWindowAttribute_fn = HRESULT(WINAPI *)(HWND, DWORD, void *, DWORD);
constexpr DWORD kExtendedFrameBounds = 9; // DWMWA_EXTENDED_FRAME_BOUNDS
constexpr DWORD kCloaked = 14;            // DWMWA_CLOAKED
constexpr int kEscapeKey = 1;
constexpr UINT kCancelMessage = WM_APP + 1;

enum class pick_state { waiting, clicked, cancelled };

struct pick_wait {
    pick_state state = pick_state::waiting;
    POINT at = {};
    bool pressed = false; // the press came to the sheet: the pick is where it went down
};

std::atomic<HWND> g_sheet = nullptr;
std::atomic_flag g_picking = ATOMIC_FLAG_INIT;

LRESULT CALLBACK sheet_procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam)
{
    auto *wait = reinterpret_cast<pick_wait *>(GetWindowLongPtrW(window, GWLP_USERDATA));
    switch (message) {
    case WM_SETCURSOR:
        SetCursor(LoadCursorW(nullptr, IDC_CROSS));
        return TRUE;
    case WM_MOUSEACTIVATE:
        return MA_NOACTIVATE;
    case WM_LBUTTONDOWN:
        if (wait) {
            // Where the button went down is what the person pointed at; the
            // pick ends at its release, so that the release too stays here.
            const DWORD at = GetMessagePos();
            wait->at = {static_cast<short>(LOWORD(at)), static_cast<short>(HIWORD(at))};
            wait->pressed = true;
            SetCapture(window);
        }
        return 0;
    case WM_LBUTTONUP:
        // A press that the sheet did not see (the sheet came under the
        // pointer between the press and the release) still ends at the
        // release: the person pointed there.
        if (wait) {
            if (!wait->pressed) {
                const DWORD at = GetMessagePos();
                wait->at = {static_cast<short>(LOWORD(at)), static_cast<short>(HIWORD(at))};
            }
            ReleaseCapture();
            wait->state = pick_state::clicked;
        }
        return 0;
    case WM_HOTKEY:
    case kCancelMessage:
        if (wait)
            wait->state = pick_state::cancelled;
        return 0;
    case WM_CLOSE:
        if (wait)
            wait->state = pick_state::cancelled;
        return 0;
    case WM_ERASEBKGND:
        return 1;
    default:
        return DefWindowProcW(window, message, wparam, lparam);
    }
}

void fail(kestal_failure &failure, int32_t code, const std::string &text)
{
    failure.code = code;
    snprintf(failure.text, sizeof failure.text, "%s", text.c_str());
}

// Null where the system has no DWM.
DwmGetWindowAttribute_fn dwm_attribute()
{
    static const auto attribute = system_call<DwmGetWindowAttribute_fn>(L"dwmapi.dll", "DwmGetWindowAttribute");
    return attribute;
}

bool cloaked(HWND window)
{
    DWORD cloak = 0;
    return dwm_attribute() && dwm_attribute()(window, kCloaked, &cloak, sizeof cloak) == S_OK && cloak;
}

// The frame as the person sees it: without the invisible resize borders
// that GetWindowRect includes on Windows 10 and later.
bool seen_frame(HWND window, RECT &frame)
{
    if (dwm_attribute() && dwm_attribute()(window, kExtendedFrameBounds, &frame, sizeof frame) == S_OK)
        return true;
    return GetWindowRect(window, &frame) != FALSE;
}

// A border of keep's spans the window it surrounds; only its ring, outside
// that window's frame, is the border's own.
bool inside_ring(HWND border, POINT at)
{
    wchar_t class_name[64] = {};
    GetClassNameW(border, class_name, static_cast<int>(std::size(class_name)));
    if (std::wstring_view(class_name) != KESTAL_BORDER_CLASS)
        return false;
    const auto surrounded = static_cast<HWND>(GetPropW(border, KESTAL_BORDER_TARGET));
    RECT frame;
    return surrounded && seen_frame(surrounded, frame) && PtInRect(&frame, at);
}

// The top-level window that the person sees at `at`: the first shown one in
// the z-order whose frame holds it, a click-through window included, since
// the person points at what they see.
HWND window_seen_at(POINT at, HWND sheet)
{
    for (HWND window = GetTopWindow(nullptr); window; window = GetWindow(window, GW_HWNDNEXT)) {
        RECT frame;
        if (window == sheet || !IsWindowVisible(window) || IsIconic(window) || cloaked(window) ||
            !seen_frame(window, frame) || !PtInRect(&frame, at) || inside_ring(window, at))
            continue;
        return window;
    }
    return nullptr;
}

// Why the window is none to pick; "" for one that is.
std::string refusal_of(HWND window)
{
    if (!window || window == GetShellWindow() || window == GetDesktopWindow())
        return "the click was on the desktop, which is no window to pick: click a window";
    wchar_t class_name[64] = {};
    GetClassNameW(window, class_name, static_cast<int>(std::size(class_name)));
    const std::wstring_view name = class_name;
    if (name == KESTAL_BORDER_CLASS)
        return "the click was on the border that keep draws around a pinned window: click the window inside it";
    if (name == L"Shell_TrayWnd" || name == L"Shell_SecondaryTrayWnd")
        return "the click was on the taskbar, which is no window to pick: click a window";
    if (name == L"Progman" || name == L"WorkerW")
        return "the click was on the desktop, which is no window to pick: click a window";
    return {};
}

HWND make_sheet(pick_wait &wait)
{
    WNDCLASSW sheet_class = {};
    sheet_class.lpfnWndProc = sheet_procedure;
    sheet_class.hInstance = GetModuleHandleW(nullptr);
    sheet_class.hCursor = LoadCursorW(nullptr, IDC_CROSS);
    sheet_class.lpszClassName = kPickSheetClass;
    RegisterClassW(&sheet_class);
    const int left = GetSystemMetrics(SM_XVIRTUALSCREEN), top = GetSystemMetrics(SM_YVIRTUALSCREEN);
    const int width = GetSystemMetrics(SM_CXVIRTUALSCREEN), height = GetSystemMetrics(SM_CYVIRTUALSCREEN);
    // Layered at the lowest alpha that still takes clicks: the person sees
    // the desktop through it.
    HWND sheet = CreateWindowExW(WS_EX_TOPMOST | WS_EX_TOOLWINDOW | WS_EX_LAYERED | WS_EX_NOACTIVATE, kPickSheetClass,
                                 L"kestal pick", WS_POPUP, left, top, width, height, nullptr, nullptr,
                                 GetModuleHandleW(nullptr), nullptr);
    if (!sheet)
        return nullptr;
    SetWindowLongPtrW(sheet, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(&wait));
    SetLayeredWindowAttributes(sheet, 0, 1, LWA_ALPHA);
    return sheet;
}

} // namespace

bool pick_window(int64_t &hwnd, kestal_failure &failure)
{
    if (g_picking.test_and_set()) {
        fail(failure, KESTAL_FAILURE_WINDOW_BUSY, "another pick waits for a click: click a window, or press Esc, first");
        return false;
    }
    pick_wait wait;
    HWND sheet = make_sheet(wait);
    if (!sheet) {
        fail(failure, KESTAL_FAILURE_OTHER,
             "the pick could not lay its sheet over the screen (win32 error " + std::to_string(GetLastError()) +
                 "): give a handle or a selector instead");
        g_picking.clear();
        return false;
    }
    // Esc is heard before the sheet shows: a person who sees the cross may press it at once.
    const bool escape_taken = RegisterHotKey(sheet, kEscapeKey, MOD_NOREPEAT, VK_ESCAPE) != FALSE;
    ShowWindow(sheet, SW_SHOWNA);
    SetCursor(LoadCursorW(nullptr, IDC_CROSS));
    // Where another program holds Esc alone, the sheet takes the keyboard to hear it.
    if (!escape_taken)
        SetForegroundWindow(sheet);
    g_sheet = sheet;
    const ULONGLONG deadline = GetTickCount64() + kPickWaitMs;
    while (wait.state == pick_state::waiting) {
        const ULONGLONG now = GetTickCount64();
        if (now >= deadline)
            break;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, static_cast<DWORD>(deadline - now), QS_ALLINPUT);
        MSG message;
        while (wait.state == pick_state::waiting && PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            // Where another program holds Esc, the sheet's own keys say it.
            if (!escape_taken && message.message == WM_KEYDOWN && message.wParam == VK_ESCAPE)
                wait.state = pick_state::cancelled;
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
    }
    g_sheet = nullptr;
    if (escape_taken)
        UnregisterHotKey(sheet, kEscapeKey);
    const HWND picked = wait.state == pick_state::clicked ? window_seen_at(wait.at, sheet) : nullptr;
    DestroyWindow(sheet);
    g_picking.clear();
    if (wait.state == pick_state::cancelled) {
        fail(failure, KESTAL_FAILURE_NO_WINDOW, "the pick was cancelled: no window was changed");
        return false;
    }
    if (wait.state == pick_state::waiting) {
        fail(failure, KESTAL_FAILURE_NO_WINDOW,
             "no window was clicked within " + std::to_string(kPickWaitMs / 1000) + " s: no window was changed");
        return false;
    }
    const std::string refused = refusal_of(picked);
    if (!refused.empty()) {
        fail(failure, KESTAL_FAILURE_NO_WINDOW, refused);
        return false;
    }
    hwnd = static_cast<int64_t>(reinterpret_cast<intptr_t>(picked));
    return true;
}

void cancel_pick()
{
    if (const HWND sheet = g_sheet.load())
        PostMessageW(sheet, kCancelMessage, 0, 0);
}
