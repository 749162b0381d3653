// The listing's JSON text, kept apart from the window census so that it
// builds, and is fuzzed, without Windows headers.
#pragma once

#include <cstdint>

struct listing_entry {
    int64_t hwnd;
    char *title;     // UTF-8; null for a window without one
    const char *exe; // UTF-8; null where the process could not be queried
    bool pinned;
    int32_t opacity;
};

// The compact JSON array of `entries`, on the C heap. Null when it could not
// be made, with `*failure` pointing at the reason.
char *listing_json(const listing_entry *entries, int32_t count, const char **failure);
