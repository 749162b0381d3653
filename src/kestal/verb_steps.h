// The steps of the verbs, shared by those that move, size and show windows
// and those that place them on monitors. Each step that waits for the
// window draws from the call's deadline (bounded_calls.h).
#pragma once

#include "internal.h"

// The checks that every verb makes before it changes anything: a handle, no
// desktop, a window that answers. `what` names the call in errors, and
// `change` names the change in the words of a person ("the move").
bool may_change(const char *operation, const char *what, const char *change, HWND window, ULONGLONG deadline);
// ShowWindow's answer says whether the window was visible before, not
// whether the change took; false only for a window that did not answer in
// time, with the error set.
bool show_window(const char *what, HWND window, int command, ULONGLONG deadline);
// A minimised or maximised window back in its normal place, also a
// minimised window that was maximised before; false, with the error set,
// for a window that did not answer in time.
bool restore_window(const char *what, HWND window, ULONGLONG deadline);
// A window in its normal state is placed directly. The new place and size
// are what the system was asked for; a program may keep a size of its own
// within the limits it gives (WM_GETMINMAXINFO), as it does against a
// person's mouse. `keep` holds the SWP_ flags that leave the place or the
// size as they are.
int32_t set_window_pos(const char *what, HWND window, int x, int y, int width, int height, UINT keep,
                       ULONGLONG deadline);
// Runs a verb that takes two numbers with the thread in physical pixels, as
// the listing gives them, and one deadline for the whole call.
int32_t in_physical_pixels(int32_t (*verb)(HWND, int32_t, int32_t, ULONGLONG), void *hwnd, int32_t a, int32_t b);
