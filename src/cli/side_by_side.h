// Changes of several windows made side by side, each on a thread of its own,
// so that windows whose programs do not answer are waited for at once rather
// than one after another; each change is bounded by the library's own wait.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "kestal_inprocess.h"

// A change that takes its values from `context`; `note` takes what the
// change has to say beside its result.
using window_action = int32_t (*)(void *hwnd, const void *context, std::string &note);

struct window_job {
    int64_t hwnd;
    window_action action;
    const void *context;
    int32_t result;
    kestal_failure failure; // the change's failure, when it failed
    std::string note;
};

// Runs every job and returns once all have ended.
void run_side_by_side(std::vector<window_job> &jobs);
