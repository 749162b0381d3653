// The window events that bring the next listing of `watch` and `keep`
// forward, taken on a thread of their own.
#pragma once

#include <windows.h>

#include <cstdint>

#include "kestal_inprocess.h"

// Hooks the events on a new thread, which sets `signal` (an auto-reset event)
// for each event that can change the listing. False when the thread could not
// start; the interval then catches every change by itself.
bool start_window_events(HANDLE signal);
// The same, but each event that counts is posted to `target` as `message`,
// with the event's number in wParam and its window in lParam; the
// destruction of any window is posted, listed or not.
bool start_window_events_posting(HWND target, UINT message);
// Unhooks the events and ends their thread, if it runs.
void stop_window_events();
// Makes the handles of a listing the ones whose destruction counts. Called
// on the listing thread after each listing.
void publish_listed(const kestal_window *windows, int32_t count);
