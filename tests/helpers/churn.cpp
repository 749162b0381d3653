// kestal-test-churn.exe: a desktop that will not keep still.
//   kestal-test-churn.exe MAX_STEPS MAX_MILLISECONDS [controls]
// Says "ready" on stdout, then in a tight loop creates, destroys, retitles,
// pins, fades, hides and shows windows of its own until a line (or the end of
// input) arrives on stdin, or either bound is reached. Ends with one line of
// counts and takes its remaining windows down with it.
// With "controls" the top-level windows keep still: one window of its own
// stands on the desktop, and every 20 ms a child control comes up in it, is
// retitled, hidden and destroyed, as a busy program's dialog does.
// Messages are pumped after every step, so that other processes' calls on
// these windows return instead of waiting for a thread that never listens.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>

namespace {

constexpr int kLiveWindows = 24;
volatile LONG g_stop = 0;

// Titles that a listing has to carry through JSON: control characters,
// quotation marks, backslashes, characters beyond the BMP, a lone surrogate
// and text past the listing's read buffer.
std::wstring nasty_title(unsigned step)
{
    static const wchar_t *const kTitles[] = {
        L"churn \"quoted\" \\ back\\slash",
        L"churn \x0001\x0008\x0009\x000a\x000d\x001b\x001f\x007f",
        L"churn \xd83d\xde00 \x7a93\x53e3",
        L"churn lone \xd800 surrogate",
        L"churn trailing high \xdbff",
        L"",
    };
    if (step % 7 == 6) {
        std::wstring long_title(1022, L'L');
        return long_title + L"\xd83d\xde00" + std::to_wstring(step);
    }
    return std::wstring(kTitles[step % std::size(kTitles)]) + std::to_wstring(step);
}

unsigned next_random(unsigned &state)
{
    state = state * 1103515245u + 12345u;
    return state >> 8;
}

void pump()
{
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
}

DWORD WINAPI watch_input(void *)
{
    char c;
    DWORD got = 0;
    ReadFile(GetStdHandle(STD_INPUT_HANDLE), &c, 1, &got, nullptr);
    InterlockedExchange(&g_stop, 1);
    return 0;
}

// The child control churn; its step count.
long long churn_controls(HINSTANCE instance, long long max_steps, DWORD max_ms)
{
    constexpr DWORD kStepMs = 20;
    HWND parent = CreateWindowExW(WS_EX_NOACTIVATE, L"KestalChurnWindow", L"churn controls", WS_POPUP, 40, 40, 300,
                                  200, nullptr, nullptr, instance, nullptr);
    if (!parent) {
        fprintf(stderr, "error: CreateWindowExW failed (win32 error %lu): the churn needs a desktop\n",
                GetLastError());
        return 0;
    }
    ShowWindow(parent, SW_SHOWNA);
    pump();
    fputs("ready\n", stdout);
    fflush(stdout);

    const DWORD start = GetTickCount();
    long long step = 0;
    for (; step < max_steps && !g_stop && GetTickCount() - start < max_ms; ++step) {
        const ULONGLONG due = GetTickCount64() + kStepMs;
        HWND control = CreateWindowExW(0, L"BUTTON", L"churn control", WS_CHILD | WS_VISIBLE | BS_PUSHBUTTON,
                                       static_cast<int>(step % 200), 20, 80, 24, parent, nullptr, instance, nullptr);
        SetWindowTextW(control, nasty_title(static_cast<unsigned>(step)).c_str());
        ShowWindow(control, SW_HIDE);
        DestroyWindow(control);
        for (ULONGLONG now = GetTickCount64(); now < due && !g_stop; now = GetTickCount64()) {
            MsgWaitForMultipleObjects(0, nullptr, FALSE, static_cast<DWORD>(due - now), QS_ALLINPUT);
            pump();
        }
    }
    DestroyWindow(parent);
    pump();
    return step;
}

} // namespace

int main(int argc, char **argv)
{
    const long long max_steps = argc > 1 ? atoll(argv[1]) : 100000;
    const DWORD max_ms = argc > 2 ? static_cast<DWORD>(atol(argv[2])) : 30000;

    WNDCLASSEXW window_class = {};
    window_class.cbSize = sizeof window_class;
    window_class.lpfnWndProc = DefWindowProcW;
    window_class.hInstance = GetModuleHandleW(nullptr);
    window_class.lpszClassName = L"KestalChurnWindow";
    RegisterClassExW(&window_class);

    CloseHandle(CreateThread(nullptr, 0, watch_input, nullptr, 0, nullptr));
    if (argc > 3 && strcmp(argv[3], "controls") == 0) {
        const DWORD start = GetTickCount();
        const long long steps = churn_controls(window_class.hInstance, max_steps, max_ms);
        printf("controls=%lld ms=%lu\n", steps, static_cast<unsigned long>(GetTickCount() - start));
        return steps > 0 ? 0 : 1;
    }
    fputs("ready\n", stdout);
    fflush(stdout);

    HWND live[kLiveWindows] = {};
    unsigned random_state = 20240611u;
    long long created = 0, destroyed = 0, retitled = 0, pinned = 0, faded = 0, hidden = 0;
    const DWORD start = GetTickCount();
    long long step = 0;
    for (; step < max_steps && !g_stop && GetTickCount() - start < max_ms; ++step) {
        HWND &slot = live[next_random(random_state) % kLiveWindows];
        HWND other = live[next_random(random_state) % kLiveWindows];
        switch (next_random(random_state) % 6) {
        case 0:
            if (slot) {
                DestroyWindow(slot);
                ++destroyed;
            }
            // Popups that take no focus come and go without a round trip
            // to a window manager or a change of the active window.
            slot = CreateWindowExW(WS_EX_NOACTIVATE, window_class.lpszClassName,
                                   nasty_title(static_cast<unsigned>(step)).c_str(), WS_POPUP,
                                   static_cast<int>(step % 400), 40, 160, 60, nullptr, nullptr, window_class.hInstance,
                                   nullptr);
            if (slot) {
                ShowWindow(slot, SW_SHOWNA);
                ++created;
            }
            break;
        case 1:
            if (slot) {
                DestroyWindow(slot);
                slot = nullptr;
                ++destroyed;
            }
            break;
        case 2:
            if (other) {
                SetWindowTextW(other, nasty_title(static_cast<unsigned>(step)).c_str());
                ++retitled;
            }
            break;
        case 3:
            if (other) {
                SetWindowPos(other, step & 1 ? HWND_TOPMOST : HWND_NOTOPMOST, 0, 0, 0, 0,
                             SWP_NOSIZE | SWP_NOMOVE | SWP_NOACTIVATE);
                ++pinned;
            }
            break;
        case 4:
            if (other) {
                LONG_PTR style = GetWindowLongPtrW(other, GWL_EXSTYLE);
                if (step & 1) {
                    SetWindowLongPtrW(other, GWL_EXSTYLE, style | WS_EX_LAYERED);
                    SetLayeredWindowAttributes(other, 0, static_cast<BYTE>(next_random(random_state)), LWA_ALPHA);
                } else {
                    SetWindowLongPtrW(other, GWL_EXSTYLE, style & ~static_cast<LONG_PTR>(WS_EX_LAYERED));
                }
                ++faded;
            }
            break;
        default:
            if (other) {
                ShowWindow(other, step & 1 ? SW_HIDE : SW_SHOWNA);
                ++hidden;
            }
            break;
        }
        pump();
    }
    for (HWND window : live) {
        if (window)
            DestroyWindow(window);
    }
    pump();
    printf("steps=%lld created=%lld destroyed=%lld retitled=%lld pinned=%lld faded=%lld hidden=%lld ms=%lu\n", step,
           created, destroyed, retitled, pinned, faded, hidden, static_cast<unsigned long>(GetTickCount() - start));
    return 0;
}
