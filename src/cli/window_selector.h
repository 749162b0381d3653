// Handles named by what the windows are: "active", "exe:NAME", "title:TEXT",
// "class:NAME" and "pid:N" in place of a number.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

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
bool selector_matches(const window_selector &selector, const kestal_window &window);

using window_setter = int32_t (*)(void *hwnd, int32_t value);

// When `word` (UTF-8, as main hands it on) is a selector, calls `setter` with
// `value` on every listed window that it matches, reports ("ok", or one
// "error: <hwnd>: <reason>" line per failure) and returns the exit code.
// Returns -1 when the word is no selector: it is then a handle.
int run_on_selected(const char *word, window_setter setter, int32_t value);
// The same for a word that is a selector or a handle; a handle's window gets
// "ok" or one "error: <reason>" line.
int run_on_target(const char *word, window_setter setter, int32_t value);
// The same for every listed window that carries kestal's marks.
int run_on_every_marked(window_setter setter, int32_t value);
// kestal_reset as a setter.
int32_t reset_window(void *hwnd, int32_t);

// A change that takes more than one value: `context` holds them
// (window_action, side_by_side.h).
// run_on_target for such a change.
int run_action_on_target(const char *word, window_action action, const void *context);
