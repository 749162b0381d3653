// The self-test's checks, apart from the window that they run on.
#pragma once

#include <windows.h>

#include <cstdio>

struct check_tally {
    int passed;
    int failed;
};

// Runs the seven checks on `window` in their order, one line each to `out`.
// The window ends them in the topmost state it began them in, not layered.
check_tally run_checks(HWND window, FILE *out);

void pump();

// "test": the checks on a window of the self-test's own; the exit code.
int run_self_test(int argc, char **argv);
