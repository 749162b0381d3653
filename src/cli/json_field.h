// Reads one member of one window's object back out of a listing text.
// Kept free of Windows headers so that it also builds natively for fuzzing.
#pragma once

#include <cstdint>

inline constexpr int32_t kFieldMissing = -2;
inline constexpr int32_t kFieldIsString = -3;

// `member` is a quoted member name such as "\"pinned\"". Returns 1 or 0 for
// true or false, the number for a numeric member, kFieldIsString for a string
// member, and kFieldMissing when the window or the member is not there.
int32_t json_field(const char *json, const char *handle_text, const char *member);
