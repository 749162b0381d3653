// keep's hotkeys: registered on keep's window, each running its command
// with the command line's words and meanings.
#include <string_view>

#include "cli.h"
#include "console_text.h"
#include "keep.h"
#include "keep_state.h"


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
        remember(state.changed, known_window(state, hwnd));

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
    // Each failure says which key ran which command, whatever the command's
    // own words were.
    const std::string prefix = "error: " + hotkey.keys + " (" + command + "): ";
    for (size_t start = 0; start < err.size();) {
        size_t end = err.find('\n', start);
        if (end == std::string::npos)
            end = err.size();
        std::string_view line(err.data() + start, end - start);
        if (line.starts_with("error: "))
            line.remove_prefix(7);
        if (!line.empty())
            report_error(state, prefix + std::string(line));
        start = end + 1;
    }
}

