// The requests that reach a running keep from the command line and from its
// icon's menu (pause, resume, reload, reapply, stop), and the command line's
// side of asking them.
#pragma once

#include <windows.h>

#include <string_view>

#include "keep_state.h"

// A request taken by keep's window: 1 when done, 0 when not, with the
// reason written to the answer for the command that asked. A reload or a
// resume lists the windows at once.
LRESULT take_request(keep_state &state, UINT message);
// The WM_COPYDATA of `keep --reapply` and `keep --forget`: the handles it
// carries, or every window or program where it carries none.
LRESULT take_copied_request(keep_state &state, const COPYDATASTRUCT &data);

// `keep --pause`, `--resume`, `--reload`, `--reapply [TARGET]` and `--forget
// TARGET|all`: asks the running keep and says "ok", or why not; the exit code.
int ask_running_keep(std::string_view option, const char *target);
// `keep --stop`: asks the running keep to give back and end, and waits for
// its end; names each window it could not give back. The exit code.
int stop_running_keep();
