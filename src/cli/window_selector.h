// Handles named by what the windows are: "active", "exe:NAME", "title:TEXT",
// "class:NAME" and "pid:N" in place of a number.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

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

// The census is one for the whole process; every reader of it takes this
// lock, so that keep's listing and a hotkey's command never replace it under
// each other.
void lock_census();
void unlock_census();

// The handles of a census's windows that `wanted` matches, or of all of them
// without it, in the census's order. False, with the library's reason in
// `failure`, when no census could be taken.
bool select_windows(const window_selector *wanted, std::vector<int64_t> &selected, kestal_failure &failure);
