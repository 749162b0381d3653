// A command that changes windows, read once from its words into a value and
// run as that value: the command line, the rules file and keep's hotkeys all
// read with read_window_command and run with run_window_command, and only
// the edge that shows the outcomes prints.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "kestal_inprocess.h"
#include "window_selector.h"

enum class window_verb {
    set_topmost,  // pin with a number: the description's flag
    pin,          // pin on, off or toggle
    set_opacity,  // opacity with a percentage
    step_opacity, // opacity up or down
    clickthrough,
    reset,
    move,
    resize,
    minimize,
    maximize,
    restore,
    activate,
    close,
    snap,
    send,
};

enum class target_kind {
    handle,
    selector,
    every_marked, // reset without a target: every listed window that carries kestal's marks
    pick,         // the window that the person clicks when the command runs
};

struct window_target {
    target_kind kind = target_kind::handle;
    int64_t hwnd = 0;
    window_selector selector = {};
    std::string word; // as written, for the lines that name it
};

struct window_command {
    std::string word; // the command word, whose usage a refusal prints
    window_verb verb = window_verb::pin;
    window_target target;
    // The flag, percentage, step, switch, the two numbers of move and resize,
    // snap's position or send's monitor.
    int32_t first = 0, second = 0;
};

// Why words are no command: the line to print after "error: " (empty where
// the usage alone says it), followed by the command's usage.
struct command_refusal {
    std::string word;
    std::string line;
};

// What became of one window.
struct window_outcome {
    int64_t hwnd = 0;
    int32_t result = 0; // 1 done
    kestal_failure failure = {};
    uint32_t attributes = 0; // on success, the KESTAL_BY_HAND_ bits that the change changed
    std::string note;        // where a move or resize left the window, when not where it was asked
};

struct command_outcome {
    bool by_handle = false;      // the target was a handle: its failure is the command's own
    kestal_failure failure = {}; // a failure before any window was asked (no census, nothing matched)
    std::vector<window_outcome> windows;
};

// Reads `words` (the command word first, as the command line has it after
// the program's name). False, with `refusal` set, for words that no command
// takes: the command line exits with 2 for them, the rules file names them.
bool read_window_command(std::span<const std::string> words, window_command &command, command_refusal &refusal);
// Reads a target word alone: a selector, "pick" or a handle. False, with the reason
// (no "error: "), for a word that is neither.
bool read_window_target(const char *command_word, const std::string &word, window_target &target,
                        std::string &why);
// The windows that `target` names now, from a census (a handle names itself;
// a pick waits for the person's click). False, with `failure` set, where no
// census could be taken, a selector matched nothing or no window was picked.
bool resolve_target(const window_target &target, std::vector<int64_t> &windows, kestal_failure &failure);
// Runs the command on every window it names, side by side; each window's
// change bounded by the library's answer wait. Never prints. With the pid of
// a running keep, what the command changes is recorded on each window as the
// person's for that keep, before the change is made.
command_outcome run_window_command(const window_command &command, uint32_t person_of_keep = 0);
// 0 when every window was changed, else 1: the exit code of the outcome.
int outcome_exit_code(const command_outcome &outcome);
// A word that reads as an option: a dash and no digit after it, so that
// negative numbers (coordinates, handles) stay numbers.
bool is_option_word(std::string_view word);
// The command's text as a person wrote it: the words joined by blanks.
std::string command_text(std::span<const std::string> words);

// The command line's edge: reads argv, runs, prints "ok", the notes and one
// error line per failure, and records the person's change for a keep that
// runs; returns the exit code.
int run_window_command_line(int argc, char **argv);
