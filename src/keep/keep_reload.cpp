#include "keep_reload.h"

#include "control_text.h"
#include "keep_hotkeys.h"
#include "keep_lines.h"
#include "keep_memory.h"
#include "keep_tray.h"
#include "keep_windows.h"
#include "wide_text.h"

namespace {

// A file whose size and time stay this long is taken as saved.
constexpr ULONGLONG kSettledMs = 200;
constexpr DWORD kLookEveryMs = 25;
// A file that cannot be read (an editor holds it) is tried again this often.
constexpr DWORD kUnreadLookMs = 250;

// Takes rules that were read: the hotkeys anew, and every window held as
// the new rules want it, which gives back what they no longer want.
void take_rules(keep_state &state, const keep_rules &rules)
{
    // The rules are the file's again: what was wrong with it is no more,
    // and a key that another program holds is said anew.
    set_tray_problem(L"");
    unregister_hotkeys(state);
    state.rules = rules;
    register_hotkeys(state);
    // The rules may remember now, or no longer.
    load_remembered(state);
    simple_line(state, "reloaded");
    for (window_record &window : state.windows)
        window.refused = 0;
}

} // namespace

bool same_stamp(const file_stamp &a, const file_stamp &b)
{
    return a.size == b.size && CompareFileTime(&a.written, &b.written) == 0;
}

bool stamp_of(const std::string &path, file_stamp &stamp)
{
    WIN32_FILE_ATTRIBUTE_DATA data = {};
    if (!GetFileAttributesExW(widen(path).c_str(), GetFileExInfoStandard, &data))
        return false;
    stamp.written = data.ftLastWriteTime;
    stamp.size = (static_cast<ULONGLONG>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    return true;
}

HANDLE watch_rules_folder(const std::string &path)
{
    std::wstring folder = full_path(widen(path));
    folder.resize(folder.find_last_of(L"\\/") + 1);
    const HANDLE change = FindFirstChangeNotificationW(
        folder.c_str(), FALSE, FILE_NOTIFY_CHANGE_LAST_WRITE | FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_SIZE);
    return change == INVALID_HANDLE_VALUE ? nullptr : change;
}

void note_rules_change(keep_state &state)
{
    file_stamp stamp = {};
    // A file that is not there (an editor that writes a new file and renames
    // it over the old one) is looked at again when it is back.
    if (state.rules_pending || !stamp_of(state.path, stamp) || same_stamp(stamp, state.stamp))
        return;
    state.rules_pending = true;
    state.settle_since = GetTickCount64();
    state.pending_stamp = stamp;
}

bool read_settled_rules(keep_state &state, DWORD &next_look_ms)
{
    next_look_ms = 0;
    if (!state.rules_pending)
        return false;
    const ULONGLONG now = GetTickCount64();
    file_stamp stamp = {};
    if (!stamp_of(state.path, stamp)) {
        state.rules_pending = false;
        return false;
    }
    if (!same_stamp(stamp, state.pending_stamp)) {
        state.pending_stamp = stamp;
        state.settle_since = now;
    }
    if (now - state.settle_since < kSettledMs) {
        next_look_ms = kLookEveryMs;
        return false;
    }
    std::string text, error;
    if (!read_rules_text(state.path, text, error)) {
        // The stamp stays the one last read, so the file is read once it can be.
        if (error != state.unread_error)
            report_error(state, escaped_controls("error: " + error + "; keep reads it again once it can", true));
        state.unread_error = error;
        state.settle_since = now;
        next_look_ms = kUnreadLookMs;
        return false;
    }
    state.rules_pending = false;
    state.unread_error.clear();
    state.stamp = stamp;
    if (text == state.text)
        return false;
    state.text = text;
    keep_rules rules;
    if (!parse_keep_rules(state.path, text, rules, error)) {
        report_error(state, escaped_controls("error: " + error + "; the rules read before stay", true));
        return false;
    }
    take_rules(state, rules);
    return true;
}

bool reload_now(keep_state &state, std::string &error)
{
    file_stamp stamp = {};
    stamp_of(state.path, stamp);
    std::string text;
    keep_rules rules;
    if (!read_rules_text(state.path, text, error) || !parse_keep_rules(state.path, text, rules, error)) {
        report_error(state, escaped_controls("error: " + error + "; the rules read before stay", true));
        return false;
    }
    state.rules_pending = false;
    state.unread_error.clear();
    state.stamp = stamp;
    state.text = text;
    take_rules(state, rules);
    return true;
}
