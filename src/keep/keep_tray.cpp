// keep's icon in the notification area. Its thread owns the icon, its hidden
// window and its menu, so that a menu held open, or a program that is slow
// to open the rules file, holds neither the rules nor the hotkeys, and a
// notification area that does not answer holds nothing of keep's.
#include "keep_tray.h"

#include <objbase.h>
#include <shellapi.h>
#include <shlwapi.h>

#include <utility>
#include <cstdio>
#include <vector>
#include <string_view>
#include <algorithm>

#include "keep_border.h"
#include "keep_protocol.h"
#include "keep_lines.h"
#include "keep_state.h"
#include "system_calls.h"
#include "wide_text.h"
#include "window_thread.h"

namespace {

using Shell_NotifyIconW_fn = BOOL(WINAPI *)(DWORD, NOTIFYICONDATAW *);
using ShellExecuteExW_fn = BOOL(WINAPI *)(SHELLEXECUTEINFOW *);
using AssocQueryStringW_fn = HRESULT(WINAPI *)(ASSOCF, ASSOCSTR, const wchar_t *, const wchar_t *, wchar_t *, DWORD *);
using CoInitializeEx_fn = HRESULT(WINAPI *)(void *, DWORD);
using CoUninitialize_fn = void(WINAPI *)();
using GetDpiForMonitor_fn = HRESULT(WINAPI *)(HMONITOR, int, UINT *, UINT *);
using GetSystemMetricsForDpi_fn = int(WINAPI *)(int, UINT);

constexpr int kEffectiveDpi = 0; // MDT_EFFECTIVE_DPI

constexpr UINT kIconId = 1;
// To the icon's window: the tooltip or the pause state changed.
constexpr UINT kStateMessage = WM_APP + 2;

window_thread g_thread = {};
HWND g_window = nullptr;
HWND g_keep_window = nullptr;
std::wstring g_rules_path;
std::wstring g_log_path;
COLORREF g_color = 0;

// Handed from keep's thread to the icon's.
SRWLOCK g_state_lock = SRWLOCK_INIT;
std::wstring g_tip;
bool g_paused = false;
std::wstring g_problem; // the latest problem, "" for none
std::wstring g_notice;  // said once in a notification where the person looks; "" once said
std::vector<std::wstring> g_remembered; // the programs keep remembers, as the menu names them
uint32_t g_remembered_version = 0;

// Problems that come one after another are said once each, and not more
// often than this, so that a window that keeps failing does not flood the
// person's notifications; the tooltip always names the latest.
constexpr ULONGLONG kNoticeGapMs = 10000;

// The icon's thread's own.
Shell_NotifyIconW_fn p_notify = nullptr;
ShellExecuteExW_fn p_execute = nullptr;
AssocQueryStringW_fn p_association = nullptr;
UINT g_taskbar_created = 0;
HICON g_icons[3] = {}; // running, paused, a problem
UINT g_icons_dpi = 0;   // the scale they were drawn for
std::wstring g_last_notice;
ULONGLONG g_last_notice_at = 0;

// The scale of the monitor that shows the notification area: the icon is
// drawn there, and at another scale the shell would stretch it blurred.
UINT notification_area_dpi()
{
    static const auto monitor_dpi = system_call<GetDpiForMonitor_fn>(L"shcore.dll", "GetDpiForMonitor");
    const HWND taskbar = FindWindowW(L"Shell_TrayWnd", nullptr);
    const HMONITOR monitor = taskbar ? MonitorFromWindow(taskbar, MONITOR_DEFAULTTOPRIMARY)
                                     : MonitorFromPoint(POINT{0, 0}, MONITOR_DEFAULTTOPRIMARY);
    UINT x = 0, y = 0;
    if (monitor_dpi && monitor_dpi(monitor, kEffectiveDpi, &x, &y) == S_OK && x)
        return x;
    const HDC screen = GetDC(nullptr);
    const int dpi = screen ? GetDeviceCaps(screen, LOGPIXELSX) : 0;
    if (screen)
        ReleaseDC(nullptr, screen);
    return dpi > 0 ? static_cast<UINT>(dpi) : USER_DEFAULT_SCREEN_DPI;
}

void make_icons()
{
    g_icons_dpi = notification_area_dpi();
    const COLORREF frames[] = {g_color, RGB(0x90, 0x90, 0x90), RGB(0xE0, 0x20, 0x20)};
    static_assert(std::size(frames) == std::size(g_icons));
    for (size_t i = 0; i < std::size(g_icons); ++i) {
        if (HICON made = make_tray_icon(frames[i], g_icons_dpi)) {
            if (g_icons[i])
                DestroyIcon(g_icons[i]);
            g_icons[i] = made;
        }
    }
}

NOTIFYICONDATAW icon_data(UINT flags)
{
    NOTIFYICONDATAW data = {};
    data.cbSize = sizeof data;
    data.hWnd = g_window;
    data.uID = kIconId;
    data.uFlags = flags;
    data.uCallbackMessage = kTrayCallbackMessage;
    AcquireSRWLockShared(&g_state_lock);
    data.hIcon = g_icons[!g_problem.empty() ? 2 : g_paused ? 1 : 0];
    const std::wstring tip = g_problem.empty() ? g_tip : L"kestal keep: " + g_problem;
    lstrcpynW(data.szTip, tip.c_str(), static_cast<int>(std::size(data.szTip)));
    ReleaseSRWLockShared(&g_state_lock);
    return data;
}

// Fails while there is no notification area; TaskbarCreated says when
// there is one again.
void add_icon()
{
    NOTIFYICONDATAW data = icon_data(NIF_MESSAGE | NIF_ICON | NIF_TIP);
    p_notify(NIM_ADD, &data);
}

void update_icon()
{
    NOTIFYICONDATAW data = icon_data(NIF_ICON | NIF_TIP);
    if (!p_notify(NIM_MODIFY, &data))
        add_icon();
}

// A new problem is said once beside the icon, where the person looks.
void notify_problem()
{
    AcquireSRWLockExclusive(&g_state_lock);
    const std::wstring notice = std::exchange(g_notice, std::wstring());
    ReleaseSRWLockExclusive(&g_state_lock);
    const ULONGLONG now = GetTickCount64();
    if (notice.empty() || notice == g_last_notice || (g_last_notice_at && now - g_last_notice_at < kNoticeGapMs))
        return;
    g_last_notice = notice;
    g_last_notice_at = now;
    NOTIFYICONDATAW data = icon_data(NIF_INFO);
    lstrcpynW(data.szInfoTitle, L"kestal keep", static_cast<int>(std::size(data.szInfoTitle)));
    lstrcpynW(data.szInfo, notice.c_str(), static_cast<int>(std::size(data.szInfo)));
    data.dwInfoFlags = NIIF_WARNING;
    p_notify(NIM_MODIFY, &data);
}

// What the person asked for from the menu and could not have, said where
// they look: beside the icon.
void tell(const std::wstring &title, const std::wstring &text)
{
    NOTIFYICONDATAW data = icon_data(NIF_INFO);
    lstrcpynW(data.szInfoTitle, title.c_str(), static_cast<int>(std::size(data.szInfoTitle)));
    lstrcpynW(data.szInfo, text.c_str(), static_cast<int>(std::size(data.szInfo)));
    data.dwInfoFlags = NIIF_ERROR;
    p_notify(NIM_MODIFY, &data);
}

// Whether a program is registered to open files of the path's kind.
bool has_program(const std::wstring &path)
{
    const size_t dot = path.find_last_of(L".\\/");
    if (!p_association || dot == std::wstring::npos || path[dot] != L'.')
        return false;
    DWORD chars = 0;
    const HRESULT found = p_association(ASSOCF_INIT_IGNOREUNKNOWN, ASSOCSTR_COMMAND, path.c_str() + dot, L"open",
                                        nullptr, &chars);
    return found == S_OK || found == S_FALSE;
}

// Opens a file with the program that opens its kind; one that no program
// opens (JSON, on many systems) goes to Notepad, which every Windows has.
void open_file(const std::wstring &path, const wchar_t *what)
{
    const std::wstring quoted = L"\"" + path + L"\"";
    const bool own_program = has_program(path);
    SHELLEXECUTEINFOW run = {};
    run.cbSize = sizeof run;
    run.fMask = SEE_MASK_NOASYNC | SEE_MASK_FLAG_NO_UI;
    run.hwnd = g_window;
    run.lpVerb = L"open";
    run.lpFile = own_program ? path.c_str() : L"notepad.exe";
    run.lpParameters = own_program ? nullptr : quoted.c_str();
    run.nShow = SW_SHOWNORMAL;
    if (p_execute && p_execute(&run))
        return;
    const DWORD error = p_execute ? GetLastError() : ERROR_PROC_NOT_FOUND;
    wchar_t reason[256] = L"";
    FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0, reason,
                   static_cast<DWORD>(std::size(reason)), nullptr);
    tell(std::wstring(L"kestal keep could not open ") + what,
         path + L" (win32 error " + std::to_wstring(error) + L"): " + reason + L" Open it from Explorer.");
}

// The log as the person wants to read it: its newest lines first, in a copy
// beside the temporary files (an editor opens a file at its top). The log
// itself where no copy can be made.
std::wstring newest_first(const std::wstring &log)
{
    FILE *in = _wfopen(log.c_str(), L"rb");
    if (!in)
        return log;
    std::string text;
    char chunk[65536];
    for (size_t got; (got = fread(chunk, 1, sizeof chunk, in)) > 0;)
        text.append(chunk, got);
    fclose(in);
    std::vector<std::string_view> lines;
    for (size_t start = 0; start < text.size();) {
        const size_t end = std::min(text.find('\n', start), text.size());
        lines.push_back(std::string_view(text).substr(start, end - start));
        start = end + 1;
    }
    std::string reversed;
    reversed.reserve(text.size() + 1);
    for (auto line = lines.rbegin(); line != lines.rend(); ++line)
        reversed.append(*line).append("\n");
    wchar_t folder[MAX_PATH];
    const DWORD chars = GetTempPathW(static_cast<DWORD>(std::size(folder)), folder);
    if (chars == 0 || chars >= std::size(folder))
        return log;
    const std::wstring name = log.substr(log.find_last_of(L"\\/") + 1);
    const std::wstring copy = std::wstring(folder) + name.substr(0, name.size() - 4) + L", newest first.log";
    FILE *out = _wfopen(copy.c_str(), L"wb");
    if (!out)
        return log;
    const bool written = fwrite(reversed.data(), 1, reversed.size(), out) == reversed.size();
    fclose(out);
    return written ? copy : log;
}

void show_menu()
{
    AcquireSRWLockShared(&g_state_lock);
    const bool paused = g_paused;
    const std::vector<std::wstring> remembered = g_remembered;
    const uint32_t remembered_version = g_remembered_version;
    ReleaseSRWLockShared(&g_state_lock);
    HMENU menu = CreatePopupMenu();
    if (!menu)
        return;
    AppendMenuW(menu, MF_STRING, paused ? kMenuResume : kMenuPause, paused ? L"&Resume" : L"&Pause");
    AppendMenuW(menu, MF_STRING, kMenuReload, L"Re&load rules");
    AppendMenuW(menu, MF_STRING, kMenuReapply, L"Re&apply rules to every window");
    AppendMenuW(menu, MF_STRING, kMenuEditRules, L"&Edit rules");
    if (!g_log_path.empty())
        AppendMenuW(menu, MF_STRING, kMenuOpenLog, L"&Open log");
    // What keep remembers, each program an item that forgets it.
    HMENU forget = remembered.empty() ? nullptr : CreatePopupMenu();
    for (size_t i = 0; forget && i < remembered.size() && i < kMenuForgetMost; ++i)
        AppendMenuW(forget, MF_STRING, kMenuForgetFirst + i, remembered[i].c_str());
    if (forget)
        AppendMenuW(menu, MF_POPUP, reinterpret_cast<UINT_PTR>(forget), L"&Forget what is remembered");
    AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
    AppendMenuW(menu, MF_STRING, kMenuStop, L"&Give back and stop");
    POINT at = {};
    GetCursorPos(&at);
    // A menu closes when the person clicks elsewhere only while its window
    // is in front, and it needs a message afterwards to close at once.
    SetForegroundWindow(g_window);
    const UINT chosen = static_cast<UINT>(
        TrackPopupMenuEx(menu, TPM_RIGHTBUTTON | TPM_BOTTOMALIGN | TPM_RETURNCMD, at.x, at.y, g_window, nullptr));
    PostMessageW(g_window, WM_NULL, 0, 0);
    // The version tells keep whether the list it forgets from is the one shown.
    if (chosen >= kMenuForgetFirst && chosen < kMenuForgetFirst + kMenuForgetMost)
        PostMessageW(g_keep_window, kKeepForgetOneMessage, chosen - kMenuForgetFirst, remembered_version);
    else if (chosen)
        PostMessageW(g_window, WM_COMMAND, chosen, 0);
    // The keyboard goes back to the notification area, as its guidelines ask.
    NOTIFYICONDATAW focus = icon_data(0);
    p_notify(NIM_SETFOCUS, &focus);
    DestroyMenu(menu);
}

void run_command(UINT command)
{
    switch (command) {
    case kMenuPause:
        PostMessageW(g_keep_window, kKeepPauseMessage, 0, 0);
        break;
    case kMenuResume:
        PostMessageW(g_keep_window, kKeepResumeMessage, 0, 0);
        break;
    case kMenuReload:
        PostMessageW(g_keep_window, kKeepReloadMessage, 0, 0);
        break;
    case kMenuReapply:
        PostMessageW(g_keep_window, kKeepReapplyAllMessage, 0, 0);
        break;
    case kMenuEditRules:
        open_file(g_rules_path, L"the rules file");
        break;
    case kMenuOpenLog:
        if (!g_log_path.empty())
            open_file(newest_first(g_log_path), L"the log");
        break;
    case kMenuStop:
        PostMessageW(g_keep_window, kKeepStopMessage, 0, 0);
        break;
    default:
        break;
    }
}

LRESULT CALLBACK tray_procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam)
{
    if (message == g_taskbar_created && g_taskbar_created) {
        // Explorer started again, and its notification area is empty.
        add_icon();
        return 0;
    }
    switch (message) {
    case kTrayCallbackMessage:
        if (lparam == WM_LBUTTONUP || lparam == WM_RBUTTONUP || lparam == WM_CONTEXTMENU)
            show_menu();
        return 0;
    case kStateMessage:
        update_icon();
        notify_problem();
        return 0;
    case WM_COMMAND:
        run_command(LOWORD(wparam));
        return 0;
    case WM_DPICHANGED:
    case WM_DISPLAYCHANGE:
    case WM_SETTINGCHANGE:
        // The scale changed, or the notification area moved to a monitor of
        // another scale: the icon is drawn anew for it.
        if (notification_area_dpi() != g_icons_dpi) {
            make_icons();
            update_icon();
        }
        return DefWindowProcW(window, message, wparam, lparam);
    case WM_CLOSE:
        // `taskkill` without /F asks every top-level window of keep to close.
        PostMessageW(g_keep_window, WM_CLOSE, 0, 0);
        return 0;
    default:
        return DefWindowProcW(window, message, wparam, lparam);
    }
}

DWORD WINAPI run_tray(void *started)
{
    // The shell's verbs may be COM objects, which want an apartment.
    const auto co_initialize = system_call<CoInitializeEx_fn>(L"ole32.dll", "CoInitializeEx");
    const auto co_uninitialize = system_call<CoUninitialize_fn>(L"ole32.dll", "CoUninitialize");
    const bool apartment =
        co_initialize && co_uninitialize &&
        SUCCEEDED(co_initialize(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE));
    p_notify = system_call<Shell_NotifyIconW_fn>(L"shell32.dll", "Shell_NotifyIconW");
    p_execute = system_call<ShellExecuteExW_fn>(L"shell32.dll", "ShellExecuteExW");
    p_association = system_call<AssocQueryStringW_fn>(L"shlwapi.dll", "AssocQueryStringW");
    g_taskbar_created = RegisterWindowMessageW(L"TaskbarCreated");
    WNDCLASSW window_class = {};
    window_class.lpfnWndProc = tray_procedure;
    window_class.hInstance = GetModuleHandleW(nullptr);
    window_class.lpszClassName = kTrayWindowClass;
    RegisterClassW(&window_class);
    // Top-level, as TaskbarCreated is sent to top-level windows only; never
    // shown, and a tool window: neither the taskbar nor Alt+Tab has it.
    g_window = p_notify ? CreateWindowExW(WS_EX_TOOLWINDOW, kTrayWindowClass, L"kestal keep", WS_POPUP, 0, 0, 0, 0,
                                          nullptr, nullptr, GetModuleHandleW(nullptr), nullptr)
                        : nullptr;
    if (g_window) {
        // A keep run as administrator hears Explorer's restart too.
        ChangeWindowMessageFilterEx(g_window, g_taskbar_created, MSGFLT_ALLOW, nullptr);
        make_icons();
        add_icon();
        notify_problem();
    }
    SetEvent(started);
    MSG message;
    while (g_window && GetMessageW(&message, nullptr, 0, 0) > 0)
        DispatchMessageW(&message);
    if (g_window) {
        NOTIFYICONDATAW data = icon_data(0);
        p_notify(NIM_DELETE, &data);
        DestroyWindow(g_window);
        g_window = nullptr;
    }
    for (HICON &icon : g_icons) {
        if (icon)
            DestroyIcon(icon);
        icon = nullptr;
    }
    if (apartment)
        co_uninitialize();
    return 0;
}

} // namespace

void show_tray(HWND keep_window, const std::string &rules_path, const std::wstring &log_path,
               const keep_border &border)
{
    if (g_thread.handle)
        return;
    g_keep_window = keep_window;
    g_rules_path = full_path(widen(rules_path));
    g_log_path = log_path;
    g_color = border.shown && !border.accent ? border.color : accent_color();
    start_window_thread(g_thread, run_tray);
}

void set_tray_state(const std::wstring &tip, bool paused)
{
    AcquireSRWLockExclusive(&g_state_lock);
    const bool changed = tip != g_tip || paused != g_paused;
    g_tip = tip;
    g_paused = paused;
    ReleaseSRWLockExclusive(&g_state_lock);
    if (changed && g_window)
        PostMessageW(g_window, kStateMessage, 0, 0);
}

void set_tray_remembered(const std::vector<std::wstring> &names, uint32_t version)
{
    AcquireSRWLockExclusive(&g_state_lock);
    g_remembered = names;
    g_remembered_version = version;
    ReleaseSRWLockExclusive(&g_state_lock);
}

void set_tray_problem(const std::wstring &problem)
{
    AcquireSRWLockExclusive(&g_state_lock);
    const bool changed = problem != g_problem;
    g_problem = problem;
    if (changed && !problem.empty())
        g_notice = problem;
    ReleaseSRWLockExclusive(&g_state_lock);
    if (changed && g_window)
        PostMessageW(g_window, kStateMessage, 0, 0);
}

void end_tray()
{
    end_window_thread(g_thread);
}

HICON make_tray_icon(COLORREF frame, UINT dpi)
{
    // A small picture of a window in a coloured frame, as keep draws around
    // the windows it pinned: grey while keep is paused, red for a problem.
    static const auto metrics_for_dpi = system_call<GetSystemMetricsForDpi_fn>(L"user32.dll", "GetSystemMetricsForDpi");
    const int size = metrics_for_dpi ? metrics_for_dpi(SM_CXSMICON, dpi)
                                     : MulDiv(GetSystemMetrics(SM_CXSMICON), static_cast<int>(dpi), USER_DEFAULT_SCREEN_DPI);
    if (size <= 0)
        return nullptr;
    void *bits = nullptr;
    HBITMAP color = pixel_bitmap(size, size, bits);
    HBITMAP mask = CreateBitmap(size, size, 1, 1, nullptr);
    HICON icon = nullptr;
    if (color && mask && bits) {
        auto *pixels = static_cast<DWORD *>(bits);
        const int edge = size / 8 > 1 ? size / 8 : 1;
        const DWORD framed = 0xFF000000 | GetRValue(frame) << 16 | GetGValue(frame) << 8 | GetBValue(frame);
        for (int y = 0; y < size; ++y) {
            for (int x = 0; x < size; ++x) {
                const bool on_frame = x < edge || y < edge || x >= size - edge || y >= size - edge;
                const bool title_bar = y < edge + size / 5;
                pixels[y * size + x] = on_frame ? framed : title_bar ? 0xFF404040 : 0xFFF4F4F4;
            }
        }
        ICONINFO parts = {TRUE, 0, 0, mask, color};
        icon = CreateIconIndirect(&parts);
    }
    if (color)
        DeleteObject(color);
    if (mask)
        DeleteObject(mask);
    return icon;
}
