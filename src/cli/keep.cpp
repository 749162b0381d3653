// "keep": the rules applied to every listed window and the hotkeys served,
// until stopped; then every change given back.
#include "keep.h"

#include <windows.h>

#include <yyjson.h>

#include <cstdio>
#include <string>
#include <string_view>

#include "cli.h"
#include "console_text.h"
#include "control_text.h"
#include "keep_logon.h"
#include "keep_state.h"
#include "stop_signal.h"
#include "wide_text.h"
#include "window_events.h"

namespace {

constexpr DWORD kIntervalMs = 250;
// Events that come close together are taken in by one listing this long
// after the first of them.
constexpr DWORD kSettleMs = 30;
// How long `keep --stop` waits for the running keep to give everything back.
constexpr DWORD kStopWaitMs = 60000;
constexpr UINT kStopMessage = WM_APP + 1;
constexpr wchar_t kMutexName[] = L"Local\\KestalKeep";

HANDLE g_window_event = nullptr; // set by the event thread for a change of a top-level window

LRESULT CALLBACK keep_procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam)
{
    if (message == kStopMessage) {
        request_stop();
        return 0;
    }
    return DefWindowProcW(window, message, wparam, lparam);
}


HWND running_keep(DWORD &pid)
{
    HWND window = FindWindowExW(HWND_MESSAGE, nullptr, kKeepWindowClass, nullptr);
    pid = 0;
    if (window)
        GetWindowThreadProcessId(window, &pid);
    return window;
}

int stop_running_keep()
{
    DWORD pid = 0;
    HWND window = running_keep(pid);
    if (!window) {
        print_err("error: no keep is running\n");
        return 1;
    }
    HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, pid);
    PostMessageW(window, kStopMessage, 0, 0);
    const DWORD waited = process ? WaitForSingleObject(process, kStopWaitMs) : WAIT_FAILED;
    if (process)
        CloseHandle(process);
    if (waited != WAIT_OBJECT_0) {
        print_err("error: the keep that runs (pid %lu) was asked to stop but has not ended within %lu s: see its "
                  "output, or end it with the Task Manager\n",
                  pid, kStopWaitMs / 1000);
        return 1;
    }
    write_out("ok\n");
    return 0;
}

int set_logon_entry(const std::string &rules_path, bool at_logon)
{
    std::string error;
    bool done = false;
    if (at_logon) {
        wchar_t exe[MAX_PATH * 4];
        const DWORD chars = GetModuleFileNameW(nullptr, exe, static_cast<DWORD>(std::size(exe)));
        std::wstring folder(exe, chars);
        folder.resize(folder.rfind(L'\\') + 1);
        const std::wstring windowless = folder + L"kestalw.exe";
        if (GetFileAttributesW(windowless.c_str()) == INVALID_FILE_ATTRIBUTES) {
            print_err("error: %s is missing: keep it beside kestal-cli.exe, as the release archive has it\n",
                      narrow(windowless).c_str());
            return 1;
        }
        done = register_at_logon(L"\"" + windowless + L"\" keep \"" + full_path(widen(rules_path)) + L"\"", error);
    } else {
        done = unregister_at_logon(error);
    }
    if (!done) {
        print_err("error: %s\n", error.c_str());
        return 1;
    }
    write_out("ok\n");
    return 0;
}

bool make_keep_window(keep_state &state)
{
    WNDCLASSW window_class = {};
    window_class.lpfnWndProc = keep_procedure;
    window_class.hInstance = GetModuleHandleW(nullptr);
    window_class.lpszClassName = kKeepWindowClass;
    RegisterClassW(&window_class);
    state.window = CreateWindowExW(0, kKeepWindowClass, L"kestal keep", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                   GetModuleHandleW(nullptr), nullptr);
    return state.window != nullptr;
}

// Pumps the thread's messages: the hotkeys are run, the stop message taken.
void pump_messages(keep_state &state)
{
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        if (message.message == WM_HOTKEY && message.hwnd == state.window)
            run_hotkey(state, static_cast<size_t>(message.wParam) - 1);
        else
            DispatchMessageW(&message);
    }
}

int keep_until_stopped(keep_state &state)
{
    if (!apply_rules(state))
        return 1;
    register_hotkeys(state);
    // Hooked before "ready", so that a reader that acts on it is heard.
    start_window_events(g_window_event);
    const HANDLE rules_changed = watch_rules_folder(state.path);
    simple_line(state, "ready");
    const HANDLE wakers[] = {g_stop_wake, g_window_event, rules_changed};
    const DWORD waited_for = rules_changed ? 3 : 2;
    ULONGLONG next_listing = GetTickCount64() + kIntervalMs;
    ULONGLONG settled = 0; // when the events seen so far get their listing; 0 for none
    while (!stop_requested()) {
        const ULONGLONG now = GetTickCount64();
        const ULONGLONG due = settled && settled < next_listing ? settled : next_listing;
        if (now < due) {
            // The hotkeys and the stop message come through this thread's own queue.
            const DWORD woken =
                MsgWaitForMultipleObjects(waited_for, wakers, FALSE, static_cast<DWORD>(due - now), QS_ALLINPUT);
            pump_messages(state);
            // Other files of the rules' folder change too: only new rules
            // bring a listing forward.
            const bool reloaded =
                woken == WAIT_OBJECT_0 + 2 && FindNextChangeNotification(rules_changed) && reload_if_changed(state);
            if ((woken == WAIT_OBJECT_0 + 1 || reloaded) && !settled)
                settled = GetTickCount64() + kSettleMs;
            continue;
        }
        if (!rules_changed)
            reload_if_changed(state);
        apply_rules(state);
        next_listing = GetTickCount64() + kIntervalMs;
        settled = 0;
    }
    if (rules_changed)
        FindCloseChangeNotification(rules_changed);
    stop_window_events();
    unregister_hotkeys(state);
    give_back(state);
    simple_line(state, "stopped");
    return 0;
}

} // namespace

int run_keep(int argc, char **argv)
{
    const std::string_view first = argc >= 3 ? argv[2] : "";
    if (first == "--stop")
        return stop_running_keep();
    if (first == "--not-at-logon")
        return set_logon_entry("", false);
    if (first.empty() || first.starts_with("--")) {
        print_err("error: keep needs a rules file, or --stop or --not-at-logon\n");
        print_usage();
        return 2;
    }
    keep_state state;
    state.path = argv[2];
    std::string error;
    if (!read_keep_rules(state.path, state.rules, error)) {
        print_err("error: %s\n", escaped_controls(error, true).c_str());
        return 2;
    }
    const bool at_logon = argc >= 4 && std::string_view(argv[3]) == "--at-logon";
    if (argc >= 4 && !at_logon) {
        print_err("error: keep: '%s' is no option of keep (--at-logon)\n", argv[3]);
        print_usage();
        return 2;
    }
    if (at_logon)
        return set_logon_entry(state.path, true);
    written_at(state.path, state.written);

    // One keep per user and desktop: the mutex settles two that start at
    // once, the window tells the pid of the one that runs.
    HANDLE single = CreateMutexW(nullptr, FALSE, kMutexName);
    if (!single || GetLastError() == ERROR_ALREADY_EXISTS) {
        DWORD pid = 0;
        for (int tries = 0; tries < 20 && !running_keep(pid); ++tries)
            Sleep(50);
        print_err("error: keep is already running (pid %lu); stop it with kestal-cli keep --stop\n", pid);
        if (single)
            CloseHandle(single);
        return 1;
    }
    if (!make_keep_window(state)) {
        print_err("error: keep's message window could not be made (win32 error %lu): run the command again\n",
                  GetLastError());
        CloseHandle(single);
        return 1;
    }
    if (built_without_console()) {
        state.log_path = full_path(widen(state.path)) + L".log";
        state.log = _wfopen(state.log_path.c_str(), L"ab+");
    }
    // Each line goes out whole as it is written, so a reader sees it at once.
    setvbuf(stdout, nullptr, _IONBF, 0);
    start_stop_signal();
    g_window_event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    const int exit_code = keep_until_stopped(state);
    kestal_census_release();
    DestroyWindow(state.window);
    if (state.log)
        fclose(state.log);
    CloseHandle(single);
    // A stdout that took no more lines ends the keep quietly.
    if (exit_code == 0)
        clearerr(stdout);
    signal_finished();
    return exit_code;
}
