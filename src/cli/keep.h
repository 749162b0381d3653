// "keep": windows kept the way the rules say, and hotkeys, until stopped.
#pragma once

#include <cstdint>
#include <vector>

// The hidden window of the running keep: a second keep finds it and
// refuses, `keep --stop` asks it to stop, and a command that changes a window
// by hand marks the window for it.
inline constexpr wchar_t kKeepWindowClass[] = L"KestalKeep";

// While set, the handles of the windows that a command changed are added to it.
extern std::vector<int64_t> *g_changed_windows;

