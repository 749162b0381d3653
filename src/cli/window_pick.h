// Choosing a window by clicking it.
#pragma once

#include <cstdint>

#include "kestal_inprocess.h"

// The class of the sheet that takes the click while a pick waits.
inline constexpr wchar_t kPickSheetClass[] = L"KestalPick";
// How long a pick waits for a click.
inline constexpr unsigned long kPickWaitMs = 30000;

// Waits for the person to click a window, with a cross for the cursor, and
// gives the top-level window under the click. The click reaches no program.
// False, with `failure` set, for Esc, a wait of kPickWaitMs with no click,
// a click on the desktop, the taskbar or a border of keep's, and a second
// pick while one waits. Runs on the calling thread, which it pumps.
bool pick_window(int64_t &hwnd, kestal_failure &failure);
// Ends a pick that waits, from any thread, as Esc would.
void cancel_pick();
