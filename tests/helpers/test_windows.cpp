// kestal-test-windows.exe: windows of another process for the tests.
// Reads one command per line on stdin and answers one line on stdout:
//   ping                 -> pong
//   make FLAGS TITLE     -> the new window's handle (0 when creation failed)
//                           FLAGS: "-" or comma-separated hidden, topmost,
//                           layered=ALPHA, colorkey (together: both in
//                           effect), perpixel (drawn with UpdateLayeredWindow),
//                           owndc, classdc (class styles), class=NAME,
//                           at=X:Y:WIDTH:HEIGHT, minimized, maximized,
//                           popup (no frame, no caption)
//   makemany N FLAGS TITLE -> how many of N windows were made, titled
//                           "TITLE 1" to "TITLE N"; one round trip for many
//   title HWND TEXT      -> ok
//   layering HWND        -> the window's layering as its own program reads it:
//                           "plain", "layered unreadable", or
//                           "layered flags=F alpha=A key=K" (decimal)
//   exstyle HWND         -> which of topmost, layered and transparent the
//                           window's extended style holds, comma-separated,
//                           in that order; "-" for none
//   draw HWND            -> ok, or "failed ERROR": draws a perpixel window
//                           with UpdateLayeredWindow once more
//   destroy HWND         -> ok
//   remake HWND FLAGS TITLE -> a window made as `make` makes it, under the
//                           value of HWND, a handle freed before (by any
//                           process); "failed WHY" where it cannot be
//   pin HWND 0|1         -> ok, the window released or made topmost
//   fade HWND ALPHA      -> ok, the window layered with that alpha
//   show HWND COMMAND    -> ok, after ShowWindow(HWND, COMMAND)
//   front HWND           -> ok when the window became the foreground window
//   placement HWND       -> "STATE X:Y:WIDTH:HEIGHT": normal, minimized or
//                           maximized, and the normal (restored) rectangle
//                           in screen coordinates
//   rect HWND            -> "X:Y:WIDTH:HEIGHT", the window rectangle now
//   foreground           -> the foreground window's handle, 0 for none
//   exists HWND          -> yes or no
//   child PARENT CLASS TITLE -> the handle of a new visible child window of
//                           PARENT (which may belong to another process)
//   dpiaware             -> ok when this process's windows from now on are
//                           per-monitor aware and it reads physical pixels,
//                           "unsupported" where the system cannot
//   hang MS              -> ok, then the windows' thread stops pumping for MS
//                           milliseconds, as a program that has hung
//   stall HWND WHEN MS   -> ok; the windows' thread stops for MS milliseconds
//                           at the next WHEN of that window: "probe" (right
//                           after it has answered a WM_NULL), "poschanging"
//                           (inside WM_WINDOWPOSCHANGING) or "stylechanging"
//                           (inside WM_STYLECHANGING), as a program that
//                           answers and then hangs; once
//   slow HWND MS         -> ok; from now on the window takes MS milliseconds
//                           over every WM_NULL, WM_WINDOWPOSCHANGING and
//                           WM_STYLECHANGING before it answers, as a program
//                           that is slow at every step; 0 ends that
//   clicks               -> how many presses of the left mouse button the
//                           windows have had
//   quit                 -> bye, and the process ends
// The main thread owns the windows and pumps their messages all the time, so
// other processes can pin and fade them; a second thread reads stdin.
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace {

constexpr UINT kCommandMessage = WM_APP + 1;
DWORD g_ui_thread = 0;

std::wstring widen(const std::string &utf8)
{
    int chars = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring wide(static_cast<size_t>(chars), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), wide.data(), chars);
    return wide;
}

void reply(const std::string &line)
{
    std::string text = line + "\n";
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

HWND handle_from(const std::string &text)
{
    return reinterpret_cast<HWND>(static_cast<intptr_t>(strtoll(text.c_str(), nullptr, 10)));
}

// Presses of the left button on the helper's windows, for the tests that a
// click meant for another program never reaches these.
LONG g_clicks = 0;

LRESULT CALLBACK counting_procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam)
{
    if (message == WM_LBUTTONDOWN || message == WM_NCLBUTTONDOWN)
        InterlockedIncrement(&g_clicks);
    return DefWindowProcW(window, message, wparam, lparam);
}

const wchar_t *register_class(const std::wstring &name, UINT class_style)
{
    static std::wstring stored[32];
    static int count = 0;
    for (int i = 0; i < count; ++i) {
        if (stored[i] == name)
            return stored[i].c_str();
    }
    WNDCLASSEXW window_class = {};
    window_class.cbSize = sizeof window_class;
    window_class.lpfnWndProc = counting_procedure;
    window_class.hInstance = GetModuleHandleW(nullptr);
    window_class.lpszClassName = name.c_str();
    window_class.style = class_style;
    RegisterClassExW(&window_class);
    stored[count] = name;
    return stored[count++].c_str();
}

constexpr COLORREF kColourKey = RGB(255, 0, 255);

// The one stall that `stall` plans: which window, at which message, how long.
struct stall_plan {
    HWND window;
    UINT message;
    DWORD ms;
    WNDPROC procedure; // the window's own, which the stalling one stands before
};
stall_plan g_stall = {};
// The one window that `slow` makes slow, and how slow.
HWND g_slow_window = nullptr;
DWORD g_slow_ms = 0;

LRESULT CALLBACK stalling_procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam)
{
    const WNDPROC own = g_stall.procedure;
    if (window == g_slow_window &&
        (message == WM_NULL || message == WM_WINDOWPOSCHANGING || message == WM_STYLECHANGING))
        Sleep(g_slow_ms);
    if (window == g_stall.window && message == g_stall.message) {
        const DWORD ms = g_stall.ms;
        g_stall.message = WM_APP + 0x3FFF; // once
        // The sender of a WM_NULL gets its answer before the thread stops.
        if (message == WM_NULL)
            ReplyMessage(0);
        Sleep(ms);
    }
    return CallWindowProcW(own, window, message, wparam, lparam);
}

// The stalling procedure stands before the window's own, once.
void stand_before(HWND window)
{
    if (g_stall.window == window)
        return;
    if (g_stall.window)
        SetWindowLongPtrW(g_stall.window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(g_stall.procedure));
    g_stall.procedure = reinterpret_cast<WNDPROC>(
        SetWindowLongPtrW(window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(stalling_procedure)));
    g_stall.window = window;
}

bool plan_stall(HWND window, const std::string &when, DWORD ms)
{
    constexpr std::pair<const char *, UINT> kMoments[] = {
        {"probe", WM_NULL}, {"poschanging", WM_WINDOWPOSCHANGING}, {"stylechanging", WM_STYLECHANGING}};
    for (const auto &[name, message] : kMoments) {
        if (when != name)
            continue;
        stand_before(window);
        g_stall.message = message;
        g_stall.ms = ms;
        return true;
    }
    return false;
}

// A layered window that draws itself with per-pixel alpha: a half-transparent
// grey square, as a splash screen or a shaped window does it.
DWORD draw_per_pixel(HWND window)
{
    RECT place;
    GetWindowRect(window, &place);
    SIZE size = {place.right - place.left, place.bottom - place.top};
    BITMAPINFO info = {};
    info.bmiHeader = {sizeof(BITMAPINFOHEADER), size.cx, -size.cy, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
    void *bits = nullptr;
    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    HBITMAP bitmap = CreateDIBSection(memory, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    DWORD error = ERROR_SUCCESS;
    if (bitmap && bits) {
        auto *pixels = static_cast<DWORD *>(bits);
        for (LONG i = 0; i < size.cx * size.cy; ++i)
            pixels[i] = 0x80404040; // premultiplied: alpha 0x80, grey 0x40
        HGDIOBJ before = SelectObject(memory, bitmap);
        POINT source = {0, 0}, position = {place.left, place.top};
        BLENDFUNCTION blend = {AC_SRC_OVER, 0, 255, AC_SRC_ALPHA};
        SetLastError(ERROR_SUCCESS);
        if (!UpdateLayeredWindow(window, screen, &position, &size, memory, &source, 0, &blend, ULW_ALPHA)) {
            DWORD code = GetLastError();
            error = code ? code : ERROR_GEN_FAILURE;
        }
        SelectObject(memory, before);
        DeleteObject(bitmap);
    } else {
        error = ERROR_NOT_ENOUGH_MEMORY;
    }
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
    return error;
}

std::string rectangle_text(const RECT &r)
{
    return std::to_string(r.left) + ":" + std::to_string(r.top) + ":" + std::to_string(r.right - r.left) + ":" +
           std::to_string(r.bottom - r.top);
}

// The normal rectangle comes in workspace coordinates, which differ from
// the screen's by the room that a taskbar takes at the top or left.
std::string placement(HWND window)
{
    WINDOWPLACEMENT placement = {};
    placement.length = sizeof placement;
    if (!GetWindowPlacement(window, &placement))
        return "failed " + std::to_string(GetLastError());
    RECT normal = placement.rcNormalPosition;
    if (!(GetWindowLongPtrW(window, GWL_EXSTYLE) & WS_EX_TOOLWINDOW)) {
        MONITORINFO monitor = {};
        monitor.cbSize = sizeof monitor;
        GetMonitorInfoW(MonitorFromRect(&normal, MONITOR_DEFAULTTONEAREST), &monitor);
        OffsetRect(&normal, monitor.rcWork.left - monitor.rcMonitor.left, monitor.rcWork.top - monitor.rcMonitor.top);
    }
    const char *state = IsIconic(window) ? "minimized" : IsZoomed(window) ? "maximized" : "normal";
    return std::string(state) + " " + rectangle_text(normal);
}

bool become_dpi_aware()
{
    using set_context_fn = DPI_AWARENESS_CONTEXT(WINAPI *)(DPI_AWARENESS_CONTEXT);
    auto set_context = reinterpret_cast<set_context_fn>(
        reinterpret_cast<void *>(GetProcAddress(GetModuleHandleW(L"user32.dll"), "SetThreadDpiAwarenessContext")));
    return set_context && (set_context(DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE_V2) ||
                           set_context(DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE));
}

std::string layering(HWND window)
{
    if (!(GetWindowLongPtrW(window, GWL_EXSTYLE) & WS_EX_LAYERED))
        return "plain";
    COLORREF key = 0;
    BYTE alpha = 0;
    DWORD flags = 0;
    if (!GetLayeredWindowAttributes(window, &key, &alpha, &flags))
        return "layered unreadable";
    return "layered flags=" + std::to_string(flags) + " alpha=" + std::to_string(alpha) +
           " key=" + std::to_string(key);
}

HWND make(const std::string &flags, const std::string &title)
{
    DWORD style = WS_OVERLAPPEDWINDOW | WS_VISIBLE, ex_style = 0;
    int alpha = -1;
    bool colour_key = false, per_pixel = false;
    UINT class_style = 0;
    int show = -1; // a ShowWindow command after creation, or none
    RECT place = {30, 30, 200, 80}; // left, top, width, height
    std::wstring class_name = L"KestalChildWindow";
    std::stringstream words(flags);
    for (std::string word; std::getline(words, word, ',');) {
        if (word == "hidden")
            style &= ~WS_VISIBLE;
        else if (word == "popup")
            style = (style & WS_VISIBLE) | WS_POPUP;
        else if (word == "topmost")
            ex_style |= WS_EX_TOPMOST;
        else if (word.rfind("layered=", 0) == 0)
            alpha = atoi(word.c_str() + 8);
        else if (word == "colorkey")
            colour_key = true;
        else if (word == "perpixel")
            per_pixel = true;
        else if (word == "owndc")
            class_name = L"KestalChildOwnDC", class_style = CS_OWNDC;
        else if (word == "classdc")
            class_name = L"KestalChildClassDC", class_style = CS_CLASSDC;
        else if (word.rfind("class=", 0) == 0)
            class_name = widen(word.substr(6));
        else if (word.rfind("at=", 0) == 0)
            sscanf(word.c_str() + 3, "%ld:%ld:%ld:%ld", &place.left, &place.top, &place.right, &place.bottom);
        else if (word == "minimized")
            show = SW_MINIMIZE;
        else if (word == "maximized")
            show = SW_MAXIMIZE;
    }
    if (alpha >= 0 || colour_key || per_pixel)
        ex_style |= WS_EX_LAYERED;
    HWND window = CreateWindowExW(ex_style, register_class(class_name, class_style), widen(title).c_str(), style,
                                  place.left, place.top, place.right, place.bottom, nullptr, nullptr,
                                  GetModuleHandleW(nullptr), nullptr);
    if (!window)
        return nullptr;
    if (show >= 0)
        ShowWindow(window, show);
    if (per_pixel) {
        if (draw_per_pixel(window) != ERROR_SUCCESS) {
            DestroyWindow(window);
            return nullptr;
        }
    } else if (alpha >= 0 || colour_key) {
        DWORD lwa = (alpha >= 0 ? LWA_ALPHA : 0) | (colour_key ? LWA_COLORKEY : 0);
        SetLayeredWindowAttributes(window, colour_key ? kColourKey : 0, static_cast<BYTE>(alpha < 0 ? 0 : alpha), lwa);
    }
    return window;
}

// Wine keeps one table of user handles for windows, menus and hooks alike.
// A handle's low word names its slot and its high word counts the slot's
// uses, from 1 to 0xfffe; a freed slot is the next one handed out. A menu
// costs one request to make and one to destroy, so cycling menus through the
// freed slot brings its count round to the freed handle's own in seconds,
// where windows would take minutes, and the window made next gets that value.
HWND remake(HWND freed, const std::string &flags, const std::string &title, std::string &why)
{
    const uintptr_t value = reinterpret_cast<uintptr_t>(freed);
    const uintptr_t slot = value & 0xffff, wanted = (value >> 16) & 0xffff;
    // Slots freed after the window's, by objects that went with it, come first.
    std::vector<HMENU> held;
    HWND made = nullptr;
    why = "the slot's count never came round";
    for (int round = 0; round < 0x20000; ++round) {
        HMENU menu = CreateMenu();
        if (!menu) {
            why = "CreateMenu failed: " + std::to_string(GetLastError());
            break;
        }
        const uintptr_t got = reinterpret_cast<uintptr_t>(menu);
        if ((got & 0xffff) != slot) {
            held.push_back(menu);
            if (held.size() == 64) {
                why = "the freed slot was not handed out again: another program took it";
                break;
            }
            continue;
        }
        DestroyMenu(menu);
        const uintptr_t count = (got >> 16) & 0xffff;
        if ((count + 1 >= 0xffff ? 1 : count + 1) == wanted) {
            made = make(flags, title);
            why = made == freed ? "" : "the window took another value: " + std::to_string(reinterpret_cast<uintptr_t>(made));
            break;
        }
    }
    for (HMENU menu : held)
        DestroyMenu(menu);
    return why.empty() ? made : nullptr;
}

bool run_command(const std::string &line)
{
    std::string verb = line.substr(0, line.find(' '));
    std::string rest = line.size() > verb.size() ? line.substr(verb.size() + 1) : "";
    std::string first = rest.substr(0, rest.find(' '));
    std::string second = rest.size() > first.size() ? rest.substr(first.size() + 1) : "";
    if (verb == "ping") {
        reply("pong");
    } else if (verb == "make") {
        reply(std::to_string(static_cast<long long>(reinterpret_cast<intptr_t>(make(first, second)))));
    } else if (verb == "makemany") {
        // Here `first` is the count, and `second` holds the flags and the title.
        int count = atoi(first.c_str());
        std::string flags = second.substr(0, second.find(' '));
        std::string title = second.size() > flags.size() ? second.substr(flags.size() + 1) : "";
        int made = 0;
        for (int i = 1; i <= count; ++i)
            made += make(flags, title + " " + std::to_string(i)) ? 1 : 0;
        reply(std::to_string(made));
    } else if (verb == "title") {
        SetWindowTextW(handle_from(first), widen(second).c_str());
        reply("ok");
    } else if (verb == "front") {
        reply(SetForegroundWindow(handle_from(first)) && GetForegroundWindow() == handle_from(first) ? "ok"
                                                                                                   : "failed");
    } else if (verb == "pin") {
        SetWindowPos(handle_from(first), atoi(second.c_str()) ? HWND_TOPMOST : HWND_NOTOPMOST, 0, 0, 0, 0,
                     SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
        reply("ok");
    } else if (verb == "fade") {
        HWND window = handle_from(first);
        SetWindowLongW(window, GWL_EXSTYLE, GetWindowLongW(window, GWL_EXSTYLE) | WS_EX_LAYERED);
        SetLayeredWindowAttributes(window, 0, static_cast<BYTE>(atoi(second.c_str())), LWA_ALPHA);
        reply("ok");
    } else if (verb == "show") {
        ShowWindow(handle_from(first), atoi(second.c_str()));
        reply("ok");
    } else if (verb == "placement") {
        reply(placement(handle_from(first)));
    } else if (verb == "rect") {
        RECT r = {};
        GetWindowRect(handle_from(first), &r);
        reply(rectangle_text(r));
    } else if (verb == "foreground") {
        reply(std::to_string(static_cast<long long>(reinterpret_cast<intptr_t>(GetForegroundWindow()))));
    } else if (verb == "clicks") {
        reply(std::to_string(InterlockedCompareExchange(&g_clicks, 0, 0)));
    } else if (verb == "exists") {
        reply(IsWindow(handle_from(first)) ? "yes" : "no");
    } else if (verb == "child") {
        std::string class_name = second.substr(0, second.find(' '));
        std::string title = second.size() > class_name.size() ? second.substr(class_name.size() + 1) : "";
        HWND child = CreateWindowExW(0, register_class(widen(class_name), 0), widen(title).c_str(),
                                     WS_CHILD | WS_VISIBLE, 0, 0, 50, 50, handle_from(first), nullptr,
                                     GetModuleHandleW(nullptr), nullptr);
        reply(std::to_string(static_cast<long long>(reinterpret_cast<intptr_t>(child))));
    } else if (verb == "dpiaware") {
        reply(become_dpi_aware() ? "ok" : "unsupported");
    } else if (verb == "layering") {
        reply(layering(handle_from(first)));
    } else if (verb == "exstyle") {
        const LONG_PTR style = GetWindowLongPtrW(handle_from(first), GWL_EXSTYLE);
        std::string names;
        constexpr std::pair<LONG_PTR, const char *> kBits[] = {
            {WS_EX_TOPMOST, "topmost"}, {WS_EX_LAYERED, "layered"}, {WS_EX_TRANSPARENT, "transparent"}};
        for (const auto &[bit, name] : kBits)
            if (style & bit)
                names += (names.empty() ? "" : ",") + std::string(name);
        reply(names.empty() ? "-" : names);
    } else if (verb == "draw") {
        DWORD error = draw_per_pixel(handle_from(first));
        reply(error == ERROR_SUCCESS ? "ok" : "failed " + std::to_string(error));
    } else if (verb == "destroy") {
        DestroyWindow(handle_from(first));
        reply("ok");
    } else if (verb == "remake") {
        std::string flags = second.substr(0, second.find(' '));
        std::string title = second.size() > flags.size() ? second.substr(flags.size() + 1) : "";
        std::string why;
        HWND made = remake(handle_from(first), flags, title, why);
        reply(made ? std::to_string(static_cast<long long>(reinterpret_cast<intptr_t>(made))) : "failed " + why);
    } else if (verb == "stall") {
        const size_t space = second.find(' ');
        const bool planned = space != std::string::npos &&
                             plan_stall(handle_from(first), second.substr(0, space),
                                        static_cast<DWORD>(atol(second.c_str() + space + 1)));
        reply(planned ? "ok" : "unknown moment");
    } else if (verb == "slow") {
        stand_before(handle_from(first));
        g_stall.message = WM_APP + 0x3FFF;
        g_slow_window = handle_from(first);
        g_slow_ms = static_cast<DWORD>(atol(second.c_str()));
        reply("ok");
    } else if (verb == "hang") {
        reply("ok");
        Sleep(static_cast<DWORD>(atol(first.c_str())));
    } else if (verb == "quit") {
        reply("bye");
        return false;
    } else {
        reply("unknown command");
    }
    return true;
}

DWORD WINAPI read_commands(void *)
{
    std::string line;
    char c;
    DWORD got = 0;
    HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    while (ReadFile(in, &c, 1, &got, nullptr) && got == 1) {
        if (c == '\r')
            continue;
        if (c != '\n') {
            line.push_back(c);
            continue;
        }
        PostThreadMessageW(g_ui_thread, kCommandMessage, 0, reinterpret_cast<LPARAM>(new std::string(line)));
        line.clear();
    }
    PostThreadMessageW(g_ui_thread, kCommandMessage, 0, reinterpret_cast<LPARAM>(new std::string("quit")));
    return 0;
}

} // namespace

int main()
{
    g_ui_thread = GetCurrentThreadId();
    MSG message;
    PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE); // the thread's queue exists before the reader posts
    CloseHandle(CreateThread(nullptr, 0, read_commands, nullptr, 0, nullptr));
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        if (message.hwnd == nullptr && message.message == kCommandMessage) {
            std::string *line = reinterpret_cast<std::string *>(message.lParam);
            bool go_on = run_command(*line);
            delete line;
            if (!go_on)
                return 0;
            continue;
        }
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    return 0;
}
