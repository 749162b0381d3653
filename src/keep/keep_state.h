// What a running keep holds: its rules, the windows it knows and what it
// did to each, and its lines' destination. State only: the parts that act on
// it declare their functions in headers of their own.
#pragma once

#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "keep_rules.h"

// The rules file's size and the time of its last write: a save changes one.
struct file_stamp {
    FILETIME written;
    ULONGLONG size;
};

// A window that keep knows, by what cannot change for its life (handle,
// process and thread), so that a handle that comes back for another window
// is not taken for it; with the names that its lines give it.
struct window_record {
    int64_t hwnd = 0;
    DWORD pid = 0;
    DWORD thread = 0;
    std::string title, exe, class_name;
    bool listed = false;         // shown in the last listing
    rule_actions now;        // as the window was last read
    rule_actions wanted;     // what the rules want of it now
    rule_actions applied;    // what keep set there and gives back once no rule wants it
    uint32_t person = 0;         // KESTAL_BY_HAND_ bits that a person took over
    uint32_t person_told = 0;    // of those, the ones already said in a line
    uint32_t refused = 0;        // bits that the window refused for a lasting reason, said once
    bool in_flight = false;      // a change of it runs now
    bool hotkey_changed = false; // a hotkey changed it: given back when keep stops
    int8_t pin_mark = -1;        // whether it carries kestal's pin mark; -1 until asked, again after a change
    bool busy_told = false;      // its "not answering" line was written
    ULONGLONG next_try = 0;      // a window that does not answer is asked again then
    DWORD pause_ms = 0;
};

// A program whose pin, opacity or click-through a person gave one of its
// windows while keep ran, given to its windows that open later.
struct remembered_program {
    std::string exe;
    std::string class_name; // "" where the program shows windows of one class only
    rule_actions actions;
    std::vector<int64_t> open_then; // its windows that were open when it was remembered: left as they are
};

// A request that waits for the change running now to come back, taken in
// the order it came.
enum class keep_request { none, stop, pause, resume, reload, reapply };

struct keep_state {
    std::string path; // the rules file, as given
    keep_rules rules;
    file_stamp stamp = {};
    std::string text;  // the rules file's text as last read, good or bad
    HWND window = nullptr; // keep's own hidden window: requests, hotkeys, results, the end of the log-on
    DWORD pid = 0;         // this keep's process, in the records of what a person changed
    std::vector<window_record> windows;
    int hotkeys_running = 0; // hotkey commands whose outcome has not come back
    bool ended = false;      // everything given back already
    bool paused = false;     // the rules are not applied, the borders are gone; nothing was given back
    bool face_due = false;   // what keep holds changed: the borders and the icon are shown anew
    bool rules_pending = false; // the rules file changed and waits to settle
    file_stamp pending_stamp = {};
    ULONGLONG settle_since = 0;
    std::string unread_error; // why the last look at a changed file could not read it; retried
    FILE *log = nullptr; // without a console: the lines go to <rules>.log, each with its time
    std::wstring log_path;
    std::vector<std::string> not_given_back; // the windows named at the end as not given back
    std::vector<remembered_program> remembered;
    file_stamp remembered_stamp = {}; // of <rules>.remembered.json as last read or written
    std::string remembered_error;     // why that file cannot be read; it is then never written
    uint32_t remembered_version = 0;  // counts the changes of `remembered`, for the icon's menu
    // The windows, by handle and process, that the placing rules are done
    // with: those of the first listing, and each one placed since.
    std::vector<std::pair<int64_t, DWORD>> placed;
    bool listed_once = false;
};
