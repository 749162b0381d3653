// keep's hotkeys: registered on keep's window; each command runs on a
// thread of its own, read once when the rules were read, and its outcome
// comes back to keep's window as a message.
#pragma once

#include <windows.h>

#include "keep_state.h"

// A hotkey command's outcome; lParam is the outcome, which the receiver owns.
inline constexpr UINT kHotkeyDoneMessage = WM_APP + 8;

void register_hotkeys(keep_state &state);
void unregister_hotkeys(keep_state &state);
// WM_HOTKEY: starts the command of hotkey `index`; keep's own "reapply" is
// done at once.
void run_hotkey(keep_state &state, size_t index);
void take_hotkey_outcome(keep_state &state, LPARAM outcome);
