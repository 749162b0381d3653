// Handles named by what the windows are: "active", "exe:NAME", "title:TEXT",
// "class:NAME" and "pid:N" in place of a number.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "kestal_inprocess.h"
#include "side_by_side.h"

enum class selector_kind { active, exe, title, class_name, pid };

// A selector read from its word.
struct window_selector {
    selector_kind kind;
    std::wstring text; // what follows the prefix
    DWORD pid;
};

// False when `word` (UTF-8) is in none of the forms: it is then a handle.
bool read_selector(const char *word, window_selector &selector);
// Why `word` is no selector, naming the forms, for an error line:
// "'WORD' is no selector (active, exe:NAME, ...)", the word escaped.
std::string no_selector_text(std::string_view word);
bool selector_matches(const window_selector &selector, const kestal_window &window);

using window_setter = int32_t (*)(void *hwnd, int32_t value);

// Calls `setter` with `value` on every listed window that `word` (UTF-8, as
// main hands it on) selects, or on the window whose handle it is; reports
// ("ok", or one "error: <hwnd>: <reason>" line per failure of a selector's
// windows, one "error: <reason>" line for a handle's) and returns the exit
// code. A word that is neither gets an error
// line that names the forms, the usage of `command`, and exit code 2.
int run_on_target(const char *command, const char *word, window_setter setter, int32_t value);
// The same for every listed window that carries kestal's marks.
int run_on_every_marked(window_setter setter, int32_t value);
// kestal_reset as a setter.
int32_t reset_window(void *hwnd, int32_t);

// A change that takes more than one value: `context` holds them
// (window_action, side_by_side.h).
// run_on_target for such a change.
int run_action_on_target(const char *command, const char *word, window_action action, const void *context);
