// What a running keep shows of itself, and the requests that come to it
// from the command line and from its icon's menu.
#pragma once

#include <string_view>

#include "keep_state.h"

// ---- the face (keep_face.cpp) ----
// After each listing, and after keep is paused, resumed or reloaded: the
// borders go to the windows that this keep pinned and that the listing
// showed pinned, and the icon says what keep does; each as the rules file
// asks. It also forgets the changed windows that have closed.
void update_face(keep_state &state);
// Removes the borders and the icon.
void end_face();

// ---- pause, resume and reload (keep_pause.cpp) ----
// kPauseMessage, kResumeMessage or kReloadMessage taken by keep's window:
// 1 when done, 0 when the rules file could not be read again.
LRESULT take_face_request(keep_state &state, UINT message);
// `keep --pause`, `--resume` or `--reload`: asks the running keep and says
// "ok", or why not; the exit code.
int ask_running_keep(std::string_view option);
