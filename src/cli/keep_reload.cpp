// The rules file, read again when it changes.
#include "control_text.h"
#include "keep_state.h"
#include "wide_text.h"


namespace {

// A file whose size and time stay this long is taken as saved.
constexpr ULONGLONG kSettledMs = 200;
// A file that keeps changing longer than this is left until its next change.
constexpr ULONGLONG kLongestSaveMs = 3000;
constexpr DWORD kLookEveryMs = 25;

bool same_stamp(const file_stamp &a, const file_stamp &b)
{
    return a.size == b.size && CompareFileTime(&a.written, &b.written) == 0;
}

// Waits until the file's stamp has stayed for a while; false when it is
// gone or still changing at the end of the wait.
bool settled_stamp(const std::string &path, file_stamp &stamp)
{
    const ULONGLONG start = GetTickCount64();
    ULONGLONG steady_since = start;
    for (;;) {
        Sleep(kLookEveryMs);
        file_stamp now = {};
        if (!stamp_of(path, now))
            return false;
        const ULONGLONG tick = GetTickCount64();
        if (!same_stamp(now, stamp)) {
            stamp = now;
            steady_since = tick;
        } else if (tick - steady_since >= kSettledMs) {
            return true;
        }
        if (tick - start >= kLongestSaveMs)
            return false;
    }
}

} // namespace

bool stamp_of(const std::string &path, file_stamp &stamp)
{
    WIN32_FILE_ATTRIBUTE_DATA data = {};
    if (!GetFileAttributesExW(widen(path).c_str(), GetFileExInfoStandard, &data))
        return false;
    stamp.written = data.ftLastWriteTime;
    stamp.size = (static_cast<ULONGLONG>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    return true;
}

bool reload_if_changed(keep_state &state)
{
    file_stamp stamp = {};
    // A file that is not there (an editor that writes a new file and renames
    // it over the old one) is looked at again when it is back.
    if (!stamp_of(state.path, stamp) || same_stamp(stamp, state.stamp) || !settled_stamp(state.path, stamp))
        return false;
    state.stamp = stamp;
    std::string text, error;
    const bool read = read_rules_text(state.path, text, error);
    if (read && text == state.text)
        return false;
    state.text = text;
    keep_rules rules;
    if (!read || !parse_keep_rules(state.path, text, rules, error)) {
        report_error(state, escaped_controls("error: " + error + "; the rules read before stay", true));
        return false;
    }
    unregister_hotkeys(state);
    state.rules = rules;
    state.refused.clear();
    register_hotkeys(state);
    simple_line(state, "reloaded");
    return true;
}

// A change in the rules file's folder; null where the folder cannot be
// watched, and then the file is looked at with every listing.
HANDLE watch_rules_folder(const std::string &path)
{
    std::wstring folder = full_path(widen(path));
    folder.resize(folder.find_last_of(L"\\/") + 1);
    const HANDLE change = FindFirstChangeNotificationW(
        folder.c_str(), FALSE, FILE_NOTIFY_CHANGE_LAST_WRITE | FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_SIZE);
    return change == INVALID_HANDLE_VALUE ? nullptr : change;
}

