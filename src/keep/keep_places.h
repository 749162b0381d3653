// The rules that place a window (on a monitor, at a snap position) once,
// when it opens while keep runs; never held, and nothing to give back.
#pragma once

#include <windows.h>

#include "keep_state.h"

// A placement's outcome; lParam is the placement, which the receiver owns.
inline constexpr UINT kPlacedMessage = WM_APP + 10;

// Places, each on a thread of its own, the listed windows that opened since
// the listing before and that a rule places; the windows of keep's first
// listing stay where they are.
void place_new_windows(keep_state &state, const kestal_window *listed, int32_t count);
// The `applied` line of a placement that came back, or its error line.
void take_placement(keep_state &state, LPARAM placement);
