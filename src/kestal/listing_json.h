// The listing's JSON text, kept apart from the window census so that it
// builds, and is fuzzed, without Windows headers.
#pragma once

#include <cstdint>

#include "kestal_inprocess.h"

// The compact JSON array of `entries`, on the C heap; `options` are the
// KESTAL_JSON_ flags. Null when it could not be made, with `*failure`
// pointing at the reason. Null texts are written as "".
char *listing_json(const kestal_window *entries, int32_t count, uint32_t options, const char **failure);

// One entry's object, as it appears in the array.
char *window_json(const kestal_window &entry, uint32_t options, const char **failure);

// The compact JSON array of `count` monitors, as `kestal-cli monitors` prints it.
char *monitors_json(const kestal_monitor *monitors, int32_t count, const char **failure);
