// One reader and one runner for every command that changes windows.
#include "window_command.h"

#include <windows.h>

#include <cstdio>

#include "console_text.h"
#include "control_commands.h"
#include "control_text.h"
#include "help_text.h"
#include "keep_protocol.h"
#include "monitor_commands.h"
#include "setter_commands.h"
#include "side_by_side.h"
#include "verb_commands.h"
#include "window_handle.h"
#include "window_pick.h"

namespace {

using command_reader = bool (*)(std::span<const std::string> words, window_command &command, std::string &why);

struct command_form {
    std::string_view word;
    command_reader read;
    // Words besides the command word and options that the command takes; -1
    // where the command reads its words itself and ignores any more, as the
    // description's pin and opacity do.
    int most_words;
};

constexpr command_form kForms[] = {
    {"pin", read_pin, -1},           {"opacity", read_opacity, -1},  {"clickthrough", read_clickthrough, 2},
    {"reset", read_reset, 1},        {"move", read_move, 3},         {"resize", read_resize, 3},
    {"minimize", read_plain_verb, 1}, {"maximize", read_plain_verb, 1}, {"restore", read_plain_verb, 1},
    {"activate", read_plain_verb, 1}, {"close", read_plain_verb, 1},   {"snap", read_snap, 2},
    {"send", read_send, 2},
};

// Why the words hold an option or a word more than the command takes; "" when they do not.
std::string words_refused(const command_form &form, std::span<const std::string> words)
{
    if (form.most_words < 0)
        return {};
    int counted = 0;
    for (size_t i = 1; i < words.size(); ++i) {
        const std::string shown = escaped_controls(words[i], true);
        if (is_option_word(words[i]))
            return words[0] + ": '" + shown + "' is no option of " + words[0] + ", which takes none";
        if (++counted > form.most_words)
            return words[0] + ": '" + shown +
                   "' is one word too many: leave it out, or put a word with blanks in double quotes "
                   "(\"title:My notes\")";
    }
    return {};
}

// The attributes of a keep's rules that a verb changes.
uint32_t attributes_of(window_verb verb)
{
    switch (verb) {
    case window_verb::set_topmost:
    case window_verb::pin:
        return KESTAL_BY_HAND_PIN;
    case window_verb::set_opacity:
    case window_verb::step_opacity:
        return KESTAL_BY_HAND_OPACITY;
    case window_verb::clickthrough:
        return KESTAL_BY_HAND_CLICKTHROUGH;
    case window_verb::reset:
        return KESTAL_BY_HAND_PIN | KESTAL_BY_HAND_OPACITY | KESTAL_BY_HAND_CLICKTHROUGH;
    default:
        return 0;
    }
}

int32_t change(void *hwnd, const window_command &command, std::string &note)
{
    switch (command.verb) {
    case window_verb::set_topmost:
        return kestal_set_topmost(hwnd, command.first);
    case window_verb::pin:
        return kestal_pin(hwnd, command.first);
    case window_verb::set_opacity:
        return kestal_set_opacity(hwnd, command.first);
    case window_verb::step_opacity:
        return kestal_step_opacity(hwnd, command.first);
    case window_verb::clickthrough:
        return kestal_set_clickthrough(hwnd, command.first);
    case window_verb::reset:
        return kestal_reset(hwnd);
    case window_verb::move:
    case window_verb::resize:
        return place_window(hwnd, {command.first, command.second, command.verb == window_verb::resize}, note);
    case window_verb::minimize:
        return kestal_minimize_window(hwnd);
    case window_verb::maximize:
        return kestal_maximize_window(hwnd);
    case window_verb::restore:
        return kestal_restore_window(hwnd);
    case window_verb::activate:
        return kestal_activate_window(hwnd);
    case window_verb::close:
        return kestal_close_window(hwnd);
    case window_verb::snap:
        return kestal_snap_window(hwnd, command.first);
    case window_verb::send:
        return kestal_send_window(hwnd, command.first);
    }
    return 0;
}

// A command and the keep whose rules its change takes from them, if any.
struct marked_command {
    const window_command *command;
    uint32_t keep_pid;
};

// The person's record goes on the window before the change, so that a
// running keep that looks at the window in between takes the change for the
// person's, not for its program's, and does not undo it. A change that
// failed leaves the record as it was; a reset, which takes every record
// away, is recorded again after it.
int32_t act(void *hwnd, const void *context, std::string &note)
{
    const auto &marked = *static_cast<const marked_command *>(context);
    const uint32_t attributes = attributes_of(marked.command->verb);
    if (!marked.keep_pid || !attributes)
        return change(hwnd, *marked.command, note);
    const uint32_t before = kestal_changed_by_hand(hwnd, marked.keep_pid);
    kestal_mark_by_hand(hwnd, attributes, marked.keep_pid);
    const int32_t result = change(hwnd, *marked.command, note);
    if (result == 1) {
        if (marked.command->verb == window_verb::reset)
            kestal_mark_by_hand(hwnd, attributes, marked.keep_pid);
    } else if ((before & attributes) != attributes) {
        kestal_forget_by_hand(hwnd);
        if (before)
            kestal_mark_by_hand(hwnd, before, marked.keep_pid);
    }
    return result;
}

void fail(kestal_failure &failure, int32_t code, const std::string &text)
{
    failure.code = code;
    snprintf(failure.text, sizeof failure.text, "%s", text.c_str());
}

} // namespace

bool is_option_word(std::string_view word)
{
    return word.size() >= 2 && word[0] == '-' && (word[1] < '0' || word[1] > '9');
}

bool read_window_target(const char *command_word, const std::string &word, window_target &target, std::string &why)
{
    target.word = word;
    if (word == "pick") {
        target.kind = target_kind::pick;
        return true;
    }
    if (read_selector(word.c_str(), target.selector)) {
        target.kind = target_kind::selector;
        return true;
    }
    // A word without digits read as the null handle, and failed as if a
    // window had been asked for and refused: "pin notepad" meant a selector.
    if (!is_number_text(word.c_str())) {
        why = std::string(command_word) + ": " + no_selector_text(word) +
              ", nor a window handle: give a handle that list prints, a selector, or pick to click the window";
        return false;
    }
    target.kind = target_kind::handle;
    target.hwnd = static_cast<int64_t>(reinterpret_cast<intptr_t>(handle_argument(word.c_str())));
    return true;
}

bool read_window_command(std::span<const std::string> words, window_command &command, command_refusal &refusal)
{
    refusal = {};
    if (words.empty()) {
        refusal.line = "the command is empty";
        return false;
    }
    refusal.word = words[0];
    for (const command_form &form : kForms) {
        if (form.word != words[0])
            continue;
        refusal.line = words_refused(form, words);
        if (!refusal.line.empty())
            return false;
        command = {};
        command.word = words[0];
        return form.read(words, command, refusal.line);
    }
    refusal.line = "'" + escaped_controls(words[0], true) + "' is no command that changes windows";
    return false;
}

bool resolve_target(const window_target &target, std::vector<int64_t> &windows, kestal_failure &failure)
{
    if (target.kind == target_kind::handle) {
        windows.push_back(target.hwnd);
        return true;
    }
    if (target.kind == target_kind::pick) {
        int64_t picked = 0;
        if (!pick_window(picked, failure))
            return false;
        windows.push_back(picked);
        return true;
    }
    std::vector<int64_t> listed;
    if (!select_windows(target.kind == target_kind::selector ? &target.selector : nullptr, listed, failure))
        return false;
    if (target.kind == target_kind::every_marked) {
        for (int64_t hwnd : listed) {
            if (kestal_carries_marks(reinterpret_cast<void *>(static_cast<intptr_t>(hwnd))))
                windows.push_back(hwnd);
        }
        return true;
    }
    windows = listed;
    if (!windows.empty())
        return true;
    // The word may come from a script that took it from another program.
    const std::string shown = escaped_controls(target.word, true);
    // "exe:notepad" is the likeliest miss: the listing names programs by file name.
    if (target.selector.kind == selector_kind::exe && target.selector.text.find(L'.') == std::wstring::npos)
        fail(failure, KESTAL_FAILURE_NO_WINDOW,
             "no window matches '" + shown + "': exe: takes the program's file name with its extension, such as '" +
                 shown + ".exe'");
    else
        fail(failure, KESTAL_FAILURE_NO_WINDOW, "no window matches '" + shown + "'");
    return false;
}

command_outcome run_window_command(const window_command &command, uint32_t person_of_keep)
{
    command_outcome outcome;
    outcome.by_handle = command.target.kind == target_kind::handle;
    // A monitor that is not there is the command's fault, not a window's.
    if (command.verb == window_verb::send && !monitor_exists(command.first, outcome.failure))
        return outcome;
    std::vector<int64_t> windows;
    if (!resolve_target(command.target, windows, outcome.failure))
        return outcome;
    const marked_command marked = {&command, person_of_keep};
    std::vector<window_job> jobs(windows.size());
    for (size_t i = 0; i < windows.size(); ++i)
        jobs[i] = {windows[i], act, &marked, 0, {}, {}};
    // Every window gets its change, whatever happens to the others.
    run_side_by_side(jobs);
    const uint32_t attributes = attributes_of(command.verb);
    for (window_job &job : jobs)
        outcome.windows.push_back(
            {job.hwnd, job.result, job.failure, job.result == 1 ? attributes : 0u, std::move(job.note)});
    return outcome;
}

int outcome_exit_code(const command_outcome &outcome)
{
    if (outcome.failure.code != KESTAL_FAILURE_NONE)
        return 1;
    for (const window_outcome &window : outcome.windows) {
        if (window.result != 1)
            return 1;
    }
    return 0;
}

std::string command_text(std::span<const std::string> words)
{
    std::string text;
    for (const std::string &word : words)
        text += (text.empty() ? "" : " ") + word;
    return text;
}

int run_window_command_line(int argc, char **argv)
{
    const std::vector<std::string> words(argv + 1, argv + argc);
    window_command command;
    command_refusal refusal;
    if (!read_window_command(words, command, refusal)) {
        if (!refusal.line.empty())
            print_err("error: %s\n", refusal.line.c_str());
        print_command_usage(refusal.word);
        return 2;
    }
    // A change made by a person, from any console, takes what it changed out
    // of the hands of the rules that a running keep applies, until that keep
    // is told to apply them again; the keep hears of it at once.
    DWORD keep_pid = 0;
    const HWND keep = find_running_keep(keep_pid);
    const command_outcome outcome = run_window_command(command, keep_pid);
    if (outcome.failure.code != KESTAL_FAILURE_NONE) {
        print_err("error: %s\n", outcome.failure.text);
        // Words that this desktop cannot take (a monitor that is not there)
        // are a usage error, as words that no desktop takes are.
        if (outcome.failure.code != KESTAL_FAILURE_ARGUMENT)
            return 1;
        print_command_usage(command.word);
        return 2;
    }
    for (const window_outcome &window : outcome.windows) {
        if (window.result == 1 && keep_pid && window.attributes)
            PostMessageW(keep, kKeepHandChangeMessage, window.attributes, static_cast<LPARAM>(window.hwnd));
    }
    for (const window_outcome &window : outcome.windows) {
        if (!window.note.empty())
            print_err("note: %lld: %s\n", static_cast<long long>(window.hwnd), window.note.c_str());
        if (window.result == 1)
            continue;
        if (outcome.by_handle)
            print_err("error: %s\n", window.failure.text);
        else
            print_err("error: %lld: %s\n", static_cast<long long>(window.hwnd), window.failure.text);
    }
    const int exit_code = outcome_exit_code(outcome);
    if (exit_code == 0)
        write_out("ok\n");
    return exit_code;
}
