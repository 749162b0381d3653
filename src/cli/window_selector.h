// Handles named by what the windows are: "active", "exe:NAME", "title:TEXT",
// "class:NAME" and "pid:N" in place of a number.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "kestal_inprocess.h"

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

// When `word` (UTF-8, as main hands it on) is a selector, calls `setter` with
// `value` on every listed window that it matches, reports ("ok", or one
// "error: <hwnd>: <reason>" line per failure) and returns the exit code.
// Returns -1 when the word is no selector: it is then a handle.
int run_on_selected(const char *word, window_setter setter, int32_t value);
// The same for a word that is a selector or a handle; a handle's window gets
// "ok" or one "error: <reason>" line. A word that is neither gets an error
// line that names the forms, the usage of `command`, and exit code 2.
int run_on_target(const char *command, const char *word, window_setter setter, int32_t value);
// The same for every listed window.
int run_on_every_listed(window_setter setter, int32_t value);

// A change that takes more than one value: `context` holds them.
using window_action = int32_t (*)(void *hwnd, const void *context);
// run_on_target for such a change.
int run_action_on_target(const char *command, const char *word, window_action action, const void *context);
