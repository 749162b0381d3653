// "keep": the rules applied to every listed window and the hotkeys served,
// until stopped; then every change given back.
#include "keep.h"

#include <windows.h>

#include <yyjson.h>

#include <cstdio>
#include <string>
#include <string_view>
#include <utility>

#include "cli.h"
#include "console_text.h"
#include "control_text.h"
#include "help_text.h"
#include "keep_face.h"
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
constexpr wchar_t kMutexName[] = L"Local\\KestalKeep";
// How long the first listing's changes may take before "ready": a window
// that answers takes milliseconds, one that does not is left to its thread.
constexpr DWORD kFirstChangesWaitMs = 1000;
// The answer wait while keep gives back: with the changes still running
// before it, giving back fits in the few seconds that Windows leaves a
// program whose console closes or whose log-on ends.
constexpr DWORD kGiveBackWaitMs = 1000;

HANDLE g_window_event = nullptr; // set by the event thread for a change of a top-level window

// Stops the hotkeys and the events, and gives back everything that can be
// given back, once.
void end_keep(keep_state &state)
{
    if (state.ended)
        return;
    state.ended = true;
    stop_window_events();
    unregister_hotkeys(state);
    end_face();
    kestal_set_answer_wait(kGiveBackWaitMs);
    wait_for_changes(state, kGiveBackWaitMs);
    name_unfinished_changes(state);
    give_back(state);
    simple_line(state, "stopped");
}

// keep's window is a hidden top-level one, as Windows ends programs through
// such windows: `taskkill` without /F sends WM_CLOSE, and the end of the
// log-on WM_QUERYENDSESSION and WM_ENDSESSION, to top-level windows only.
LRESULT CALLBACK keep_procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam)
{
    auto *state = reinterpret_cast<keep_state *>(GetWindowLongPtrW(window, GWLP_USERDATA));
    switch (message) {
    case kStopMessage:
    case WM_CLOSE:
        request_stop();
        return 0;
    case kChangeMadeMessage:
        if (state)
            take_change_result(*state, lparam);
        return 0;
    case kPauseMessage:
    case kResumeMessage:
    case kReloadMessage:
        return state ? take_face_request(*state, message) : 0;
    case WM_QUERYENDSESSION:
        return TRUE;
    case WM_ENDSESSION:
        // The process may be ended as soon as this returns.
        if (wparam && state) {
            request_stop();
            end_keep(*state);
        }
        return 0;
    default:
        return DefWindowProcW(window, message, wparam, lparam);
    }
}

HWND running_keep(DWORD &pid)
{
    HWND window = FindWindowW(kKeepWindowClass, nullptr);
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
    // Windows refuses the message where the keep runs as administrator and
    // this command does not: waiting for it to end would be waiting in vain.
    if (!PostMessageW(window, kStopMessage, 0, 0)) {
        const DWORD code = GetLastError();
        if (process)
            CloseHandle(process);
        print_err("error: the keep that runs (pid %lu) cannot be reached: its window refused the stop message (win32 "
                  "error %lu: %s), as Windows refuses a program that runs as administrator to one that does not: "
                  "stop it from a console that runs as administrator, or with the Task Manager\n",
                  pid, code, system_reason(code).c_str());
        return 1;
    }
    DWORD waited = WAIT_TIMEOUT;
    if (process) {
        waited = WaitForSingleObject(process, kStopWaitMs);
        CloseHandle(process);
    } else {
        // A process that cannot be opened is watched by its window, which goes with its end.
        for (ULONGLONG end = GetTickCount64() + kStopWaitMs; waited != WAIT_OBJECT_0 && GetTickCount64() < end;
             Sleep(50))
            waited = IsWindow(window) ? WAIT_TIMEOUT : WAIT_OBJECT_0;
    }
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
        std::wstring command;
        if (!logon_command(windowless, full_path(widen(rules_path)), command, error)) {
            print_err("error: %s\n", error.c_str());
            return 2;
        }
        done = register_at_logon(command, error);
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
    // Never shown, and a tool window: neither the taskbar nor Alt+Tab has it.
    state.window = CreateWindowExW(WS_EX_TOOLWINDOW, kKeepWindowClass, L"kestal keep", WS_POPUP, 0, 0, 0, 0,
                                   nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
    if (!state.window)
        return false;
    SetWindowLongPtrW(state.window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(&state));
    return true;
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
    wait_for_changes(state, kFirstChangesWaitMs);
    register_hotkeys(state);
    // Hooked before "ready", so that a reader that acts on it is heard.
    start_window_events(g_window_event);
    const HANDLE rules_changed = watch_rules_folder(state.path);
    update_face(state);
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
            if (std::exchange(state.list_now, false))
                next_listing = GetTickCount64();
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
        if (!state.paused)
            apply_rules(state);
        update_face(state);
        next_listing = GetTickCount64() + kIntervalMs;
        settled = 0;
    }
    if (rules_changed)
        FindCloseChangeNotification(rules_changed);
    end_keep(state);
    return 0;
}

} // namespace

int run_keep(int argc, char **argv)
{
    // The rules file and one option, in either order: argv's index of each, 0 for none.
    int rules_at = 0, option_at = 0;
    const auto word_too_many = [&](int at) {
        print_err("error: keep: '%s' is a word too many: give a rules file with or without --at-logon, or one of "
                  "--stop, --pause, --resume, --reload and --not-at-logon\n",
                  argv[at]);
        print_command_usage("keep");
        return 2;
    };
    for (int i = 2; i < argc; ++i) {
        const std::string_view word = argv[i];
        const bool is_option = word.size() > 1 && word[0] == '-';
        if (is_option && word != "--stop" && word != "--at-logon" && word != "--not-at-logon" && word != "--pause" &&
            word != "--resume" && word != "--reload") {
            print_err("error: keep: '%s' is no option of keep (--stop, --pause, --resume, --reload, --at-logon, "
                      "--not-at-logon)\n",
                      argv[i]);
            print_command_usage("keep");
            return 2;
        }
        int &slot = is_option ? option_at : rules_at;
        if (slot)
            return word_too_many(i);
        slot = i;
    }
    const std::string_view option = option_at ? argv[option_at] : "";
    // --stop, --pause, --resume, --reload and --not-at-logon stand alone;
    // --at-logon goes with a rules file.
    if (rules_at && option_at && option != "--at-logon")
        return word_too_many(rules_at > option_at ? rules_at : option_at);
    if (option == "--stop")
        return stop_running_keep();
    if (option == "--pause" || option == "--resume" || option == "--reload")
        return ask_running_keep(option);
    if (option == "--not-at-logon")
        return set_logon_entry("", false);
    if (!rules_at) {
        print_err("error: keep needs a rules file, or --stop, --pause, --resume, --reload or --not-at-logon\n");
        print_command_usage("keep");
        return 2;
    }
    keep_state state;
    state.path = argv[rules_at];
    state.pid = GetCurrentProcessId();
    const bool at_logon = option == "--at-logon";
    // Without a console nobody reads stderr: the log is opened first, so
    // that a keep that cannot start says why there too.
    if (!at_logon && built_without_console())
        open_log(state);
    const auto failed = [&](const std::string &line, int exit_code) {
        report_start_error(state, line);
        if (state.log)
            fclose(state.log);
        return exit_code;
    };
    // Stamped before it is read: a save in between is read again.
    stamp_of(state.path, state.stamp);
    std::string error;
    if (!read_rules_text(state.path, state.text, error) ||
        !parse_keep_rules(state.path, state.text, state.rules, error))
        return failed("error: " + error, 2);
    if (at_logon)
        return set_logon_entry(state.path, true);

    // One keep per user and desktop: the mutex settles two that start at
    // once, the window tells the pid of the one that runs.
    HANDLE single = CreateMutexW(nullptr, FALSE, kMutexName);
    if (!single || GetLastError() == ERROR_ALREADY_EXISTS) {
        DWORD pid = 0;
        for (int tries = 0; tries < 20 && !running_keep(pid); ++tries)
            Sleep(50);
        if (single)
            CloseHandle(single);
        return failed("error: keep is already running (pid " + std::to_string(pid) +
                          "); stop it with kestal-cli keep --stop",
                      1);
    }
    if (!make_keep_window(state)) {
        const std::string line = "error: keep's message window could not be made (win32 error " +
                                 std::to_string(GetLastError()) + "): run the command again";
        CloseHandle(single);
        return failed(line, 1);
    }
    // Each line goes out whole as it is written, on both streams, so that a
    // reader sees it at once and a keep that is ended by force loses none.
    setvbuf(stdout, nullptr, _IONBF, 0);
    setvbuf(stderr, nullptr, _IONBF, 0);
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
