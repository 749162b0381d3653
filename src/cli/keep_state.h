// What the parts of a running keep share: its state, its lines, and the
// windows it changed.
#pragma once

#include <windows.h>

#include <yyjson.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "kestal_inprocess.h"
#include "keep_rules.h"

// A window that keep knows, by what cannot change for its life, so that a
// handle that comes back for another window is not taken for it; with the
// title and exe that its lines name it by.
struct changed_window {
    int64_t hwnd;
    DWORD pid;
    DWORD thread;
    std::string title;
    std::string exe;
};

// A window whose program did not answer a rule's change: asked again after
// a pause that grows while it stays silent.
struct busy_window {
    changed_window window;
    ULONGLONG next_try;
    DWORD pause_ms;
};

// What a person changed by hand on a window, once keep has said that its
// rules leave it alone.
struct left_to_person {
    changed_window window;
    uint32_t attributes; // KESTAL_BY_HAND_ bits already said
};

// The rules file's size and the time of its last write: a save changes one.
struct file_stamp {
    FILETIME written;
    ULONGLONG size;
};

struct keep_state {
    std::string path; // the rules file, as given
    keep_rules rules;
    file_stamp stamp = {};
    std::string text; // the rules file's text as last read, good or bad
    HWND window = nullptr; // keep's own hidden window: stop message, hotkeys, changes made, the end of the log-on
    DWORD pid = 0;         // this keep's process, in the records of what a person changed
    std::vector<changed_window> changed;
    // Windows that refused a rule's change for a lasting reason: not asked again while they live.
    std::vector<changed_window> refused;
    // Windows whose change runs on a thread of its own right now.
    std::vector<changed_window> in_flight;
    std::vector<busy_window> busy;
    std::vector<left_to_person> told;
    // The last listing's windows, by handle and process, with their names.
    std::vector<changed_window> last_listed;
    // The handles of the last listing's windows that were pinned.
    std::vector<int64_t> listed_pinned;
    bool ended = false; // everything given back already
    bool paused = false;   // the rules are not applied, the borders are gone; nothing was given back
    bool list_now = false; // a listing is due at once: the rules were resumed or read again
    FILE *log = nullptr; // without a console: the lines go to <rules>.log, each with its time
    std::wstring log_path;
};

// ---- the lines (keep_lines.cpp) ----
// The program runs without a console when it was built for the Windows
// subsystem: kestalw.exe.
bool built_without_console();
std::wstring full_path(const std::wstring &path);
// Writes the object as one line and frees the document.
void keep_line(keep_state &state, yyjson_mut_doc *doc, yyjson_mut_val *object);
yyjson_mut_val *event_object(yyjson_mut_doc *doc, const char *event);
void simple_line(keep_state &state, const char *event);
void window_line(keep_state &state, const char *event, int64_t hwnd, const char *member, yyjson_mut_val *value,
                 yyjson_mut_doc *doc);
void report_error(keep_state &state, const std::string &raw_line);
// Opens <rules>.log beside the rules file, named after its long name, and
// writes the line that starts this run: the version, the rules file, the pid.
void open_log(keep_state &state);
// A failure before the keep runs: on stderr, and in the log too where one
// is open, since a keep without a console has no one to read its stderr.
void report_start_error(keep_state &state, const std::string &raw_line);

// ---- the windows (keep_windows.cpp) ----
changed_window identity_of(int64_t hwnd);
bool same_window(const changed_window &a, const changed_window &b);
void remember(std::vector<changed_window> &windows, const changed_window &window);
bool remembered(const std::vector<changed_window> &windows, const changed_window &window);
// The window with the names that the last listing gave it.
changed_window known_window(const keep_state &state, int64_t hwnd);
// One listing, and the rules applied to it: each window's change runs on a
// thread of its own, and its result comes back to keep's window as
// kChangeMadeMessage. False when no census could be taken.
bool apply_rules(keep_state &state);
// Takes in a change's result: its lines, and what keep remembers of it.
void take_change_result(keep_state &state, LPARAM result);
// Waits at most `wait_ms` for the changes that still run, taking in their
// results.
void wait_for_changes(keep_state &state, DWORD wait_ms);
// One line for each window whose change still runs.
void name_unfinished_changes(keep_state &state);
// Gives back, side by side and within the library's answer wait, what this
// keep changed, and forgets what a person changed while it ran.
void give_back(keep_state &state);

inline constexpr UINT kStopMessage = WM_APP + 1;
inline constexpr UINT kChangeMadeMessage = WM_APP + 2;
// From `keep --pause`, `--resume` and `--reload`, and the icon's menu.
inline constexpr UINT kPauseMessage = WM_APP + 3;
inline constexpr UINT kResumeMessage = WM_APP + 4;
inline constexpr UINT kReloadMessage = WM_APP + 5;

// ---- the hotkeys (keep_hotkeys.cpp) ----
void register_hotkeys(keep_state &state);
void unregister_hotkeys(keep_state &state);
void run_hotkey(keep_state &state, size_t index);

// ---- the rules file (keep_reload.cpp) ----
// False where the file is not there.
bool stamp_of(const std::string &path, file_stamp &stamp);
// A rules file that changed is read again once it has settled (its size
// and time unchanged for a short while, as a save in parts or a truncation
// followed by a write are not the file); a text like the one read before
// is passed over in silence, and one that is bad is reported, and the
// rules that were read before stay. True when new rules were taken.
bool reload_if_changed(keep_state &state);
// A change in the rules file's folder; null where the folder cannot be
// watched, and then the file is looked at with every listing.
HANDLE watch_rules_folder(const std::string &path);
