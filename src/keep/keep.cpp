// "keep": the rules held on every window and the hotkeys served, until
// stopped; then every change given back. The loop only dispatches: window
// events bring a listing, a slow whole listing catches the events that never
// come, the windows that keep holds something of are looked at each second,
// and every change runs beside the loop and comes back as a message.
#include "keep.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <string_view>
#include <utility>

#include "console_text.h"
#include "help_text.h"
#include "keep_face.h"
#include "keep_hotkeys.h"
#include "keep_places.h"
#include "keep_lines.h"
#include "keep_logon.h"
#include "keep_memory.h"
#include "keep_protocol.h"
#include "keep_reload.h"
#include "keep_requests.h"
#include "keep_state.h"
#include "keep_windows.h"
#include "stop_signal.h"
#include "wide_text.h"
#include "window_events.h"
#include "window_command.h"
#include "window_pick.h"

namespace {

// The whole listing, for the events that never come (Wine 8 raises only
// the creation of a window across processes; no system raises one for a
// changed topmost state): a retitled window is taken within about this.
constexpr DWORD kWholeListingMs = 2500;
// The windows that keep holds something of are looked at this often: a pin
// that its program drops is back within about this.
constexpr DWORD kKeptLookMs = 800;
// Events that come close together are taken in by one listing this long
// after the first of them.
constexpr DWORD kSettleMs = 30;
// A new window shows and takes its title a moment after it is made, and
// where only its making is raised, listings follow it for a while.
constexpr DWORD kAfterCreationMs[] = {30, 250, 700};
constexpr wchar_t kMutexName[] = L"Local\\KestalKeep";
// How long the first listing's changes may take before "ready": a window
// that answers takes milliseconds, one that does not is left to its thread.
constexpr DWORD kFirstChangesWaitMs = 1000;
// The answer wait while keep gives back: with the changes still running
// before it, giving back fits in the few seconds that Windows leaves a
// program whose console closes or whose log-on ends.
constexpr DWORD kGiveBackWaitMs = 1000;
// A window event, posted by the event thread (window_events.h).
constexpr UINT kWindowEventMessage = WM_APP + 9;

// When the next listings are due; 0 for none.
std::vector<ULONGLONG> g_listings_due;

void listing_due_in(DWORD ms)
{
    g_listings_due.push_back(GetTickCount64() + ms);
}

// Stops the hotkeys and the events, and gives back everything that can be
// given back, once. What could not be given back is the last answer, for a
// `keep --stop` that waits for it.
void end_keep(keep_state &state)
{
    if (state.ended)
        return;
    state.ended = true;
    stop_window_events();
    unregister_hotkeys(state);
    end_face();
    // A hotkey's pick that waits for a click ends now, as Esc would end it.
    cancel_pick();
    kestal_set_answer_wait(kGiveBackWaitMs);
    wait_for_changes(state, kGiveBackWaitMs);
    name_unfinished_changes(state);
    give_back(state);
    std::string left;
    for (const std::string &line : state.not_given_back)
        left += line + "\n";
    write_keep_answer(left);
    simple_line(state, "stopped");
}

void take_window_event(keep_state &state, DWORD event, HWND window)
{
    const int64_t hwnd = static_cast<int64_t>(reinterpret_cast<intptr_t>(window));
    switch (event) {
    case EVENT_OBJECT_DESTROY:
        forget_window(state, hwnd);
        break;
    case EVENT_OBJECT_CREATE:
        for (DWORD after : kAfterCreationMs)
            listing_due_in(after);
        break;
    case EVENT_OBJECT_SHOW:
    case EVENT_OBJECT_HIDE:
    case EVENT_OBJECT_NAMECHANGE:
        listing_due_in(kSettleMs);
        break;
    default:
        break;
    }
}

// keep's window is a hidden top-level one, as Windows ends programs through
// such windows: `taskkill` without /F sends WM_CLOSE, and the end of the
// log-on WM_QUERYENDSESSION and WM_ENDSESSION, to top-level windows only.
// Each message is taken whole before the next: nothing here waits on
// another thread's window or takes in sent messages.
LRESULT CALLBACK keep_procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam)
{
    auto *state = reinterpret_cast<keep_state *>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (!state)
        return DefWindowProcW(window, message, wparam, lparam);
    switch (message) {
    case kKeepStopMessage:
    case WM_CLOSE:
        request_stop();
        return 0;
    case kChangeMadeMessage:
        take_change_result(*state, lparam);
        state->face_due = true;
        return 0;
    case kHotkeyDoneMessage:
        take_hotkey_outcome(*state, lparam);
        state->face_due = true;
        return 0;
    case kPlacedMessage:
        take_placement(*state, lparam);
        return 0;
    case kWindowEventMessage:
        take_window_event(*state, static_cast<DWORD>(wparam), reinterpret_cast<HWND>(lparam));
        return 0;
    case kKeepHandChangeMessage:
        take_person_record(*state, static_cast<int64_t>(lparam), static_cast<uint32_t>(wparam));
        state->face_due = true;
        return 0;
    case kKeepPauseMessage:
    case kKeepResumeMessage:
    case kKeepReloadMessage:
    case kKeepReapplyAllMessage:
        return take_request(*state, message);
    case WM_COPYDATA:
        return take_copied_request(*state, *reinterpret_cast<const COPYDATASTRUCT *>(lparam));
    case kKeepForgetOneMessage:
        if (!state->ended && static_cast<uint32_t>(lparam) == state->remembered_version) {
            forget_program_at(*state, static_cast<size_t>(wparam));
            list_windows(*state);
            update_face(*state);
        }
        return 0;
    case WM_QUERYENDSESSION:
        return TRUE;
    case WM_ENDSESSION:
        // The process may be ended as soon as this returns.
        if (wparam) {
            request_stop();
            end_keep(*state);
        }
        return 0;
    default:
        return DefWindowProcW(window, message, wparam, lparam);
    }
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

// Takes the thread's messages: the hotkeys, requests and results, each in
// the order it came.
void pump_messages(keep_state &state)
{
    MSG message;
    while (!state.ended && PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        if (message.message == WM_HOTKEY && message.hwnd == state.window)
            run_hotkey(state, static_cast<size_t>(message.wParam) - 1);
        else
            DispatchMessageW(&message);
    }
}

// The earliest of the times that are due, as a wait from now.
DWORD wait_until(ULONGLONG due)
{
    const ULONGLONG now = GetTickCount64();
    return due <= now ? 0 : static_cast<DWORD>(std::min<ULONGLONG>(due - now, 60000));
}

int keep_until_stopped(keep_state &state)
{
    if (!list_windows(state))
        return 1;
    wait_for_changes(state, kFirstChangesWaitMs);
    register_hotkeys(state);
    // Hooked before "ready", so that a reader that acts on it is heard.
    start_window_events_posting(state.window, kWindowEventMessage);
    const HANDLE rules_changed = watch_rules_folder(state.path);
    update_face(state);
    simple_line(state, "ready");
    const HANDLE wakers[] = {g_stop_wake, rules_changed};
    const DWORD waited_for = rules_changed ? 2 : 1;
    ULONGLONG next_whole = GetTickCount64() + kWholeListingMs;
    ULONGLONG next_look = GetTickCount64() + kKeptLookMs;
    DWORD rules_look_ms = 0;
    while (!stop_requested()) {
        ULONGLONG due = std::min(next_whole, next_look);
        for (ULONGLONG listing : g_listings_due)
            due = std::min(due, listing);
        if (rules_look_ms)
            due = std::min(due, GetTickCount64() + rules_look_ms);
        // The hotkeys, requests and results come through this thread's own queue.
        const DWORD woken = MsgWaitForMultipleObjects(waited_for, wakers, FALSE, wait_until(due), QS_ALLINPUT);
        pump_messages(state);
        // Once for all the results that came together: the borders and the
        // icon are asked for what changed, not for each window's result.
        if (std::exchange(state.face_due, false))
            update_face(state);
        if (stop_requested())
            break;
        // Other files of the rules' folder change too: only a new stamp of
        // the rules file brings a reading.
        bool list_now = false;
        if (woken == WAIT_OBJECT_0 + 1 && FindNextChangeNotification(rules_changed)) {
            note_rules_change(state);
            // A person's edit of what is remembered holds at once.
            list_now = note_remembered_change(state);
        }
        const ULONGLONG now = GetTickCount64();
        list_now = read_settled_rules(state, rules_look_ms) || list_now;
        const auto passed = [&](ULONGLONG at) { return at <= now; };
        if (std::any_of(g_listings_due.begin(), g_listings_due.end(), passed)) {
            g_listings_due.erase(std::remove_if(g_listings_due.begin(), g_listings_due.end(), passed),
                                 g_listings_due.end());
            list_now = true;
        }
        if (now >= next_whole) {
            // Without a watch of the folder, and for a save that could not
            // be read, the file is looked at here.
            note_rules_change(state);
            note_remembered_change(state);
            list_now = true;
            next_whole = now + kWholeListingMs;
        }
        if (list_now && !state.paused) {
            list_windows(state);
            update_face(state);
            next_look = now + kKeptLookMs;
        } else if (now >= next_look) {
            if (!state.paused)
                check_kept_windows(state);
            next_look = now + kKeptLookMs;
        }
    }
    if (rules_changed)
        FindCloseChangeNotification(rules_changed);
    end_keep(state);
    return 0;
}

constexpr std::string_view kKeepOptions[] = {"--stop",   "--at-logon", "--not-at-logon", "--pause",
                                             "--resume", "--reload",   "--reapply",       "--forget"};

} // namespace

int run_keep(int argc, char **argv)
{
    // The rules file (or the target of --reapply or --forget) and one option, in either
    // order: argv's index of each, 0 for none.
    int rules_at = 0, option_at = 0;
    const auto word_too_many = [&](int at) {
        print_err("error: keep: '%s' is a word too many: give a rules file with or without --at-logon, "
                  "--reapply with or without a window, --forget with a window or all, or one of --stop, --pause, --resume, --reload and "
                  "--not-at-logon\n",
                  argv[at]);
        print_command_usage("keep");
        return 2;
    };
    for (int i = 2; i < argc; ++i) {
        const std::string_view word = argv[i];
        const bool is_option = is_option_word(word);
        if (is_option && std::find(std::begin(kKeepOptions), std::end(kKeepOptions), word) == std::end(kKeepOptions)) {
            print_err("error: keep: '%s' is no option of keep (--stop, --pause, --resume, --reload, --reapply, "
                      "--forget, --at-logon, --not-at-logon)\n",
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
    // --reapply takes a window; --stop, --pause, --resume, --reload and
    // --not-at-logon stand alone; --at-logon goes with a rules file.
    if (option == "--reapply")
        return ask_running_keep(option, rules_at ? argv[rules_at] : nullptr);
    if (option == "--forget") {
        if (!rules_at) {
            print_err("error: keep --forget needs a window whose program keep forgets, or all\n");
            print_command_usage("keep");
            return 2;
        }
        return ask_running_keep(option, argv[rules_at]);
    }
    if (rules_at && option_at && option != "--at-logon")
        return word_too_many(rules_at > option_at ? rules_at : option_at);
    if (option == "--stop")
        return stop_running_keep();
    if (option == "--pause" || option == "--resume" || option == "--reload")
        return ask_running_keep(option, nullptr);
    if (option == "--not-at-logon")
        return set_logon_entry("", false);
    if (!rules_at) {
        print_err("error: keep needs a rules file, or --stop, --pause, --resume, --reload, --reapply or "
                  "--not-at-logon\n");
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
    bool mending = false;
    if (!read_rules_text(state.path, state.text, error) ||
        !parse_keep_rules(state.path, state.text, state.rules, error)) {
        // A keep started at logon has no one to read an exit code: it runs
        // with its icon's warning and takes the rules once the file is mended.
        // A console keep exits with 2, as scripts expect.
        if (at_logon || !built_without_console())
            return failed("error: " + error, 2);
        state.rules = {};
        mending = true;
    }
    if (at_logon)
        return set_logon_entry(state.path, true);

    // One keep per user and desktop: the mutex settles two that start at
    // once, the window tells the pid of the one that runs.
    HANDLE single = CreateMutexW(nullptr, FALSE, kMutexName);
    if (!single || GetLastError() == ERROR_ALREADY_EXISTS) {
        DWORD pid = 0;
        for (int tries = 0; tries < 20 && !find_running_keep(pid); ++tries)
            Sleep(50);
        if (single)
            CloseHandle(single);
        return failed("error: keep is already running (pid " + std::to_string(pid) +
                          "); stop it with kestal-cli keep --stop",
                      1);
    }
    make_keep_answer();
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
    if (mending)
        report_start_error(state, "error: " + error + "; keep waits for the file to be mended, and reads it then");
    load_remembered(state);
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
    // The answer area goes with the process, after `keep --stop` has opened it.
    return exit_code;
}
