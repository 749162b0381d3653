// The windows that keep holds as the rules say: listed, matched, looked at,
// changed beside keep's thread, and given back.
#pragma once

#include <windows.h>

#include <cstdint>
#include <vector>

#include "keep_state.h"

// A change's result, posted to keep's window by the thread that made it;
// lParam is the result, which the receiver owns.
inline constexpr UINT kChangeMadeMessage = WM_APP + 2;

// Whether every selector of the rule's match, and none of its except, matches the window.
bool rule_matches(const keep_rule &rule, const kestal_window &window);
// One census: each listed window's record made or refreshed, closed windows
// forgotten, and every listed window held as the rules want it. False when
// no census could be taken.
bool list_windows(keep_state &state);
// The windows that keep holds something of, looked at again: closed ones are
// forgotten, and what their programs or a person changed is taken in.
void check_kept_windows(keep_state &state);
// Gives the window what the rules want of it and it lacks, and takes back
// what keep set there that no rule wants any more, beside keep's thread.
void hold_window(keep_state &state, window_record &window);
// hold_window for every listed window, after the rules changed.
void hold_all(keep_state &state);
void take_change_result(keep_state &state, LPARAM result);
// Whether any of pin, opacity and click-through is set (not -1).
bool holds_anything(const rule_actions &actions);
// A person changed `attributes` (KESTAL_BY_HAND_ bits) of the window: the
// rules leave them alone until they are reapplied. `by_hotkey` marks a change
// of keep's own hotkeys, which keep gives back when it stops. Where the rules
// remember, the `changed` bits (all of `attributes` for 0) are remembered for
// the window's program with the values the window has now.
void take_person_change(keep_state &state, int64_t hwnd, uint32_t attributes, bool by_hotkey, uint32_t changed = 0);
// Reads a person's record that a command of another console left on the
// window, after a change of its `changed` attributes (0: not told).
void take_person_record(keep_state &state, int64_t hwnd, uint32_t changed);
// The person's attributes of these windows (every window when empty) go back
// to the rules, which are applied at once.
void reapply(keep_state &state, const std::vector<int64_t> &hwnds);
void forget_window(keep_state &state, int64_t hwnd);
window_record *find_record(keep_state &state, int64_t hwnd);
// Waits at most `wait_ms` for the changes that still run, taking in their results.
void wait_for_changes(keep_state &state, DWORD wait_ms);
// One line for each window whose change still runs.
void name_unfinished_changes(keep_state &state);
// Gives back, side by side and within the library's answer wait, what this
// keep and its hotkeys changed, and forgets what a person changed while it
// ran. The windows that could not be given back are named in
// state.not_given_back.
void give_back(keep_state &state);
// The windows that keep holds something of now, for its tooltip.
size_t kept_count(const keep_state &state);
// The listed windows that were pinned through kestal while this keep runs,
// by a rule, a hotkey or a command of another console, and that still carry
// kestal's pin: the ones with a border.
std::vector<HWND> pinned_by_keep(keep_state &state);
