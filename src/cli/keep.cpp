// "keep": the rules applied to every listed window and the hotkeys served,
// until stopped; then every change given back.
#include "keep.h"

#include <windows.h>

#include <yyjson.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "cli.h"
#include "console_text.h"
#include "control_text.h"
#include "kestal_inprocess.h"
#include "keep_logon.h"
#include "keep_rules.h"
#include "wide_text.h"
#include "stop_signal.h"
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
// The log of a keep without a console is cut back to its newest part once it passes this size.
constexpr long kLogLimit = 1 << 20;
constexpr long kLogKept = kLogLimit / 4;

HANDLE g_window_event = nullptr; // set by the event thread for a change of a top-level window

// A window that keep changed, known by what cannot change for its life, so
// that a handle that comes back for another window is not given back.
struct changed_window {
    int64_t hwnd;
    DWORD pid;
    DWORD thread;
};

struct keep_state {
    std::string path; // the rules file, as given
    keep_rules rules;
    FILETIME written;
    HWND window = nullptr; // the message-only window: stop message, hotkeys
    std::vector<changed_window> changed;
    // Windows that refused a rule's change: not asked again while they live.
    std::vector<changed_window> refused;
    FILE *log = nullptr; // without a console: the lines go to <rules>.log
    std::wstring log_path;
};

LRESULT CALLBACK keep_procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam)
{
    if (message == kStopMessage) {
        request_stop();
        return 0;
    }
    return DefWindowProcW(window, message, wparam, lparam);
}

// The program runs without a console when it was built for the Windows
// subsystem: kestalw.exe.
bool built_without_console()
{
    const auto *image = reinterpret_cast<const BYTE *>(GetModuleHandleW(nullptr));
    const auto *dos = reinterpret_cast<const IMAGE_DOS_HEADER *>(image);
    const auto *nt = reinterpret_cast<const IMAGE_NT_HEADERS *>(image + dos->e_lfanew);
    return nt->OptionalHeader.Subsystem == IMAGE_SUBSYSTEM_WINDOWS_GUI;
}

std::wstring full_path(const std::wstring &path)
{
    const DWORD chars = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    std::wstring full(chars, L'\0');
    const DWORD written = chars ? GetFullPathNameW(path.c_str(), chars, full.data(), nullptr) : 0;
    full.resize(written < chars ? written : 0);
    return full.empty() ? path : full;
}

// ---- the lines ----------------------------------------------------------------

// The newest part of the log, from a line's start, once it has grown past its limit.
void cut_back_log(keep_state &state)
{
    if (ftell(state.log) < kLogLimit)
        return;
    std::string tail(kLogKept, '\0');
    fflush(state.log);
    fseek(state.log, -kLogKept, SEEK_END);
    tail.resize(fread(tail.data(), 1, tail.size(), state.log));
    const size_t line_start = tail.find('\n');
    fclose(state.log);
    state.log = _wfopen(state.log_path.c_str(), L"wb");
    if (state.log && line_start != std::string::npos)
        fwrite(tail.data() + line_start + 1, 1, tail.size() - line_start - 1, state.log);
}

void keep_line(keep_state &state, yyjson_mut_doc *doc, yyjson_mut_val *object)
{
    yyjson_mut_doc_set_root(doc, object);
    char *written = yyjson_mut_write(doc, 0, nullptr);
    yyjson_mut_doc_free(doc);
    if (!written)
        return;
    const std::string text = escaped_controls(written, false) + "\n";
    free(written);
    if (state.log) {
        fwrite(text.data(), 1, text.size(), state.log);
        fflush(state.log);
        cut_back_log(state);
    } else {
        write_out(text);
    }
}

yyjson_mut_val *event_object(yyjson_mut_doc *doc, const char *event)
{
    yyjson_mut_val *object = yyjson_mut_obj(doc);
    yyjson_mut_obj_add_str(doc, object, "event", event);
    return object;
}

void simple_line(keep_state &state, const char *event)
{
    yyjson_mut_doc *doc = yyjson_mut_doc_new(nullptr);
    keep_line(state, doc, event_object(doc, event));
}

void window_line(keep_state &state, const char *event, int64_t hwnd, const char *member, yyjson_mut_val *value,
                 yyjson_mut_doc *doc)
{
    yyjson_mut_val *object = event_object(doc, event);
    yyjson_mut_obj_add_sint(doc, object, "hwnd", hwnd);
    if (member)
        yyjson_mut_obj_add_val(doc, object, member, value);
    keep_line(state, doc, object);
}

// The line may quote the rules file or a command's error, which may quote
// another program's text.
void report_error(keep_state &state, const std::string &raw_line)
{
    const std::string line = escaped_controls(raw_line, false);
    if (state.log) {
        fprintf(state.log, "%s\n", line.c_str());
        fflush(state.log);
    } else {
        write_err(line + "\n");
    }
}

// ---- the windows that keep changed ------------------------------------------

changed_window identity_of(int64_t hwnd)
{
    changed_window known = {hwnd, 0, 0};
    known.thread = GetWindowThreadProcessId(reinterpret_cast<HWND>(static_cast<intptr_t>(hwnd)), &known.pid);
    return known;
}

bool same_window(const changed_window &a, const changed_window &b)
{
    return a.hwnd == b.hwnd && a.pid == b.pid && a.thread == b.thread;
}

void remember(std::vector<changed_window> &windows, int64_t hwnd)
{
    const changed_window known = identity_of(hwnd);
    if (std::none_of(windows.begin(), windows.end(), [&](const changed_window &w) { return same_window(w, known); }))
        windows.push_back(known);
}

bool remembered(const std::vector<changed_window> &windows, int64_t hwnd)
{
    const changed_window known = identity_of(hwnd);
    return std::any_of(windows.begin(), windows.end(), [&](const changed_window &w) { return same_window(w, known); });
}

// ---- the rules ------------------------------------------------------------------

bool rule_matches(const keep_rule &rule, const kestal_window &window)
{
    return std::all_of(rule.match.begin(), rule.match.end(),
                       [&](const window_selector &s) { return selector_matches(s, window); }) &&
           std::none_of(rule.except.begin(), rule.except.end(),
                        [&](const window_selector &s) { return selector_matches(s, window); });
}

// What the rules want of a window: a later rule wins over an earlier one.
rule_actions wanted_of(const keep_rules &rules, const kestal_window &window)
{
    rule_actions wanted;
    for (const keep_rule &rule : rules.rules) {
        if (!rule_matches(rule, window))
            continue;
        if (rule.actions.pin >= 0)
            wanted.pin = rule.actions.pin;
        if (rule.actions.opacity >= 0)
            wanted.opacity = rule.actions.opacity;
        if (rule.actions.clickthrough >= 0)
            wanted.clickthrough = rule.actions.clickthrough;
    }
    return wanted;
}

struct rule_change {
    const char *member;
    int32_t (*setter)(void *hwnd, int32_t value);
    int32_t wanted;
    int32_t now;
    bool as_bool;
};

// Gives a window what the rules want of it and it lacks. A window that a
// person changed through kestal is left to that person until it closes.
void keep_window(keep_state &state, const kestal_window &window)
{
    const rule_actions wanted = wanted_of(state.rules, window);
    const rule_change changes[] = {
        {"pin", kestal_set_topmost, wanted.pin, window.pinned, true},
        {"opacity", kestal_set_opacity, wanted.opacity, window.opacity, false},
        {"clickthrough", kestal_set_clickthrough, wanted.clickthrough, window.clickthrough, true},
    };
    void *hwnd = reinterpret_cast<void *>(static_cast<intptr_t>(window.hwnd));
    bool asked = false;
    for (const rule_change &change : changes) {
        if (change.wanted < 0 || change.wanted == change.now)
            continue;
        // Asked only when there is something to do, so that windows that
        // are as the rules want them cost nothing more.
        if (!asked && (kestal_changed_by_hand(hwnd) || remembered(state.refused, window.hwnd)))
            return;
        asked = true;
        if (change.setter(hwnd, change.wanted) != 1) {
            report_error(state, "error: " + std::to_string(window.hwnd) + ": " + kestal_last_error());
            remember(state.refused, window.hwnd);
            return;
        }
        remember(state.changed, window.hwnd);
        yyjson_mut_doc *doc = yyjson_mut_doc_new(nullptr);
        yyjson_mut_val *value =
            change.as_bool ? yyjson_mut_bool(doc, change.wanted != 0) : yyjson_mut_sint(doc, change.wanted);
        window_line(state, "applied", window.hwnd, change.member, value, doc);
    }
}

// One listing, and the rules applied to it. False when no census could be taken.
bool apply_rules(keep_state &state)
{
    const kestal_window *windows = nullptr;
    const int32_t count = kestal_census(0, &windows);
    if (count < 0) {
        report_error(state, std::string("error: ") + kestal_last_error());
        return false;
    }
    // The census is replaced by the next one, which a change may not take,
    // so the windows are copied out first.
    publish_listed(windows, count);
    const std::vector<kestal_window> listed(windows, windows + count);
    for (const kestal_window &window : listed)
        keep_window(state, window);
    return true;
}

// ---- the hotkeys --------------------------------------------------------------

void register_hotkeys(keep_state &state)
{
    for (size_t i = 0; i < state.rules.hotkeys.size(); ++i) {
        const keep_hotkey &hotkey = state.rules.hotkeys[i];
        if (!RegisterHotKey(state.window, static_cast<int>(i + 1), hotkey.modifiers | MOD_NOREPEAT, hotkey.key))
            report_error(state, "error: " + hotkey.keys + " is taken by another program");
    }
}

void unregister_hotkeys(keep_state &state)
{
    for (size_t i = 0; i < state.rules.hotkeys.size(); ++i)
        UnregisterHotKey(state.window, static_cast<int>(i + 1));
}

// The command of a hotkey, run here with the words and meanings it has on
// the command line; its own "ok" is the hotkey's line, its errors go on.
void run_hotkey(keep_state &state, size_t index)
{
    if (index >= state.rules.hotkeys.size())
        return;
    const keep_hotkey &hotkey = state.rules.hotkeys[index];
    std::vector<std::string> words = {"kestal-cli"};
    words.insert(words.end(), hotkey.words.begin(), hotkey.words.end());
    std::vector<char *> argv;
    for (std::string &word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);
    std::string out, err;
    std::vector<int64_t> changed;
    capture_output(&out, &err);
    g_changed_windows = &changed;
    const int exit_code = run_command_words(static_cast<int>(words.size()), argv.data());
    g_changed_windows = nullptr;
    capture_output(nullptr, nullptr);
    for (int64_t hwnd : changed)
        remember(state.changed, hwnd);

    yyjson_mut_doc *doc = yyjson_mut_doc_new(nullptr);
    yyjson_mut_val *object = event_object(doc, "hotkey");
    yyjson_mut_obj_add_strcpy(doc, object, "keys", hotkey.keys.c_str());
    std::string command;
    for (const std::string &word : hotkey.words)
        command += (command.empty() ? "" : " ") + word;
    yyjson_mut_obj_add_strcpy(doc, object, "command", command.c_str());
    yyjson_mut_obj_add_int(doc, object, "exit", exit_code);
    yyjson_mut_val *handles = yyjson_mut_arr(doc);
    for (int64_t hwnd : changed)
        yyjson_mut_arr_add_sint(doc, handles, hwnd);
    yyjson_mut_obj_add_val(doc, object, "hwnds", handles);
    keep_line(state, doc, object);
    if (!err.empty())
        report_error(state, err.back() == '\n' ? err.substr(0, err.size() - 1) : err);
}

// ---- the rules file -------------------------------------------------------------

bool written_at(const std::string &path, FILETIME &written)
{
    WIN32_FILE_ATTRIBUTE_DATA data = {};
    if (!GetFileAttributesExW(widen(path).c_str(), GetFileExInfoStandard, &data))
        return false;
    written = data.ftLastWriteTime;
    return true;
}

// A rules file that changed is read again; one that is bad now is
// reported, and the rules that were read before stay. True when new rules
// were taken.
bool reload_if_changed(keep_state &state)
{
    FILETIME written = {};
    if (!written_at(state.path, written) || CompareFileTime(&written, &state.written) == 0)
        return false;
    state.written = written;
    keep_rules rules;
    std::string error;
    if (!read_keep_rules(state.path, rules, error)) {
        report_error(state, "error: " + error + "; the rules read before stay");
        return false;
    }
    unregister_hotkeys(state);
    state.rules = rules;
    state.refused.clear();
    register_hotkeys(state);
    simple_line(state, "reloaded");
    return true;
}

// ---- giving back ------------------------------------------------------------------

void give_back(keep_state &state)
{
    for (const changed_window &window : state.changed) {
        if (!same_window(window, identity_of(window.hwnd)))
            continue;
        if (kestal_reset(reinterpret_cast<void *>(static_cast<intptr_t>(window.hwnd))) == 1) {
            yyjson_mut_doc *doc = yyjson_mut_doc_new(nullptr);
            window_line(state, "given_back", window.hwnd, nullptr, nullptr, doc);
        } else {
            report_error(state, "error: " + std::to_string(window.hwnd) + ": " + kestal_last_error());
        }
    }
    state.changed.clear();
}

// ---- the command ------------------------------------------------------------------

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

// A change in the rules file's folder; null where the folder cannot be
// watched, and then the file is looked at with every listing.
HANDLE watch_rules_folder(const std::string &path)
{
    std::wstring folder = full_path(widen(path));
    folder.resize(folder.find_last_of(L"\\/") + 1);
    const HANDLE change = FindFirstChangeNotificationW(
        folder.c_str(), FALSE, FILE_NOTIFY_CHANGE_LAST_WRITE | FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_SIZE);
    return change == INVALID_HANDLE_VALUE ? nullptr : change;
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
