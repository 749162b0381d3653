// What a running keep shows of itself: a border around each window that it
// pinned, and its icon with a tooltip that says what it does.
#pragma once

#include "keep_state.h"

// After a change of what keep holds, and after keep is paused, resumed or
// reloaded: the borders go to the windows that this keep pinned, and the
// icon says what keep does; each as the rules file asks. Asks the border
// thread for nothing when its windows are the same.
void update_face(keep_state &state);
// Removes the borders and the icon.
void end_face();
