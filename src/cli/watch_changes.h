// What `watch` keeps between two listings, and the lines that tell how the
// second differs from the first.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "kestal_inprocess.h"

// One window of the last listing, copied out of the census, which the next
// census replaces.
struct kept_window {
    int64_t hwnd;
    std::string title, exe, class_name;
    int32_t pinned, opacity;
    uint32_t pid;
    int32_t x, y, width, height, state, foreground, clickthrough, monitor;
};

struct watch_state {
    uint32_t options;               // KESTAL_JSON_ flags of every window object
    std::vector<kept_window> last;  // the last listing, in its order
    std::vector<kept_window> next;  // the listing being compared, reused
    std::vector<size_t> last_order; // indexes into `last`, sorted by handle
    std::vector<size_t> next_order; // the same for `next`
};

// Appends the lines (each ending in "\n") that turn the kept listing into
// `windows`, and keeps `windows` instead. The first call gives one "opened"
// line per window. False when a window object could not be written.
bool listing_changes(watch_state &state, const kestal_window *windows, int32_t count,
                     std::vector<std::string> &lines);
