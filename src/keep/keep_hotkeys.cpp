// keep's hotkeys. A hotkey's command runs where rule changes run, off keep's
// thread: a window that does not answer holds only its own hotkey, and a
// reload or a stop that arrives meanwhile is taken by keep's loop as it comes.
#include "keep_hotkeys.h"

#include <memory>
#include <string>

#include "keep_keys.h"
#include "keep_lines.h"
#include "keep_windows.h"
#include "window_command.h"

namespace {

// What a hotkey ran, with copies of its keys and command: the rules may be
// read anew before it comes back.
struct hotkey_run {
    HWND keep_window;
    DWORD keep_pid;
    std::string keys;
    std::string command_text;
    window_command command;
    bool reapply; // keep's own: only the windows are found here, keep reapplies them
    command_outcome outcome;
};

DWORD WINAPI run_command(void *parameter)
{
    auto *run = static_cast<hotkey_run *>(parameter);
    if (run->reapply) {
        // A pick waits for the person's click: never on keep's thread.
        std::vector<int64_t> windows;
        if (resolve_target(run->command.target, windows, run->outcome.failure)) {
            for (int64_t hwnd : windows)
                run->outcome.windows.push_back({hwnd, 1, {}, 0, {}});
        }
    } else {
        // The person's record goes on each window before its change, so that
        // keep, looking at the window before this outcome comes back, leaves
        // the change to the person rather than undo it.
        run->outcome = run_window_command(run->command, run->keep_pid);
    }
    if (!PostMessageW(run->keep_window, kHotkeyDoneMessage, 0, reinterpret_cast<LPARAM>(run)))
        delete run;
    return 0;
}

void hotkey_line(keep_state &state, const std::string &keys, const std::string &command, int exit_code,
                 const std::vector<int64_t> &changed)
{
    yyjson_mut_doc *doc = yyjson_mut_doc_new(nullptr);
    yyjson_mut_val *object = event_object(doc, "hotkey");
    yyjson_mut_obj_add_strcpy(doc, object, "keys", keys.c_str());
    yyjson_mut_obj_add_strcpy(doc, object, "command", command.c_str());
    yyjson_mut_obj_add_int(doc, object, "exit", exit_code);
    yyjson_mut_val *handles = yyjson_mut_arr(doc);
    for (int64_t hwnd : changed)
        yyjson_mut_arr_add_sint(doc, handles, hwnd);
    yyjson_mut_obj_add_val(doc, object, "hwnds", handles);
    keep_line(state, doc, object);
}

} // namespace

void register_hotkeys(keep_state &state)
{
    for (size_t i = 0; i < state.rules.hotkeys.size(); ++i) {
        const keep_hotkey &hotkey = state.rules.hotkeys[i];
        if (!RegisterHotKey(state.window, static_cast<int>(i + 1), hotkey.modifiers | MOD_NOREPEAT, hotkey.key)) {
            report_error(state, "error: " + hotkey.keys + " is taken by another program");
            continue;
        }
        const std::string shadowed = shadowed_use(hotkey.modifiers, hotkey.key);
        if (!shadowed.empty())
            report_error(state, "warning: " + hotkey.keys + " " + shadowed);
    }
}

void unregister_hotkeys(keep_state &state)
{
    for (size_t i = 0; i < state.rules.hotkeys.size(); ++i)
        UnregisterHotKey(state.window, static_cast<int>(i + 1));
}

void run_hotkey(keep_state &state, size_t index)
{
    if (index >= state.rules.hotkeys.size() || state.ended)
        return;
    const keep_hotkey &hotkey = state.rules.hotkeys[index];
    const std::string text = command_text(hotkey.words);
    auto run = std::unique_ptr<hotkey_run>(new (std::nothrow) hotkey_run{
        state.window, state.pid, hotkey.keys, text, hotkey.command, hotkey.reapply, {}});
    if (!run)
        return;
    HANDLE thread = CreateThread(nullptr, 0, run_command, run.get(), 0, nullptr);
    if (!thread) {
        report_error(state, "error: " + hotkey.keys + " (" + text + "): no thread could be started for it (win32 error " +
                                std::to_string(GetLastError()) + "): press the keys again");
        return;
    }
    run.release();
    CloseHandle(thread);
    ++state.hotkeys_running;
}

void take_hotkey_outcome(keep_state &state, LPARAM outcome)
{
    const std::unique_ptr<hotkey_run> run(reinterpret_cast<hotkey_run *>(outcome));
    --state.hotkeys_running;
    std::vector<int64_t> changed;
    if (run->reapply) {
        for (const window_outcome &window : run->outcome.windows)
            changed.push_back(window.hwnd);
        if (!state.ended && run->outcome.failure.code == KESTAL_FAILURE_NONE)
            reapply(state, changed);
    }
    for (const window_outcome &window : run->outcome.windows) {
        if (window.result != 1 || run->reapply)
            continue;
        changed.push_back(window.hwnd);
        // What a person asks with a key wins over the rules for that window
        // until it is reapplied, and is given back when keep stops.
        if (!state.ended && window.attributes)
            take_person_change(state, window.hwnd, window.attributes, true);
    }
    hotkey_line(state, run->keys, run->command_text, outcome_exit_code(run->outcome), changed);
    // Each failure says which key ran which command.
    const std::string prefix = "error: " + run->keys + " (" + run->command_text + "): ";
    if (run->outcome.failure.code != KESTAL_FAILURE_NONE)
        report_error(state, prefix + run->outcome.failure.text);
    for (const window_outcome &window : run->outcome.windows) {
        if (window.result == 1)
            continue;
        report_error(state, prefix + (run->outcome.by_handle ? std::string()
                                                             : std::to_string(window.hwnd) + ": ") +
                                window.failure.text);
    }
}
