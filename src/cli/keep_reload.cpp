// The rules file, read again when it changes.
#include "keep_state.h"
#include "wide_text.h"


bool written_at(const std::string &path, FILETIME &written)
{
    WIN32_FILE_ATTRIBUTE_DATA data = {};
    if (!GetFileAttributesExW(widen(path).c_str(), GetFileExInfoStandard, &data))
        return false;
    written = data.ftLastWriteTime;
    return true;
}

// A rules file that changed is read again; one that is bad now is
// reported, and the rules that were read before stay. True when new rules
// were taken.
bool reload_if_changed(keep_state &state)
{
    FILETIME written = {};
    if (!written_at(state.path, written) || CompareFileTime(&written, &state.written) == 0)
        return false;
    state.written = written;
    keep_rules rules;
    std::string error;
    if (!read_keep_rules(state.path, rules, error)) {
        report_error(state, "error: " + error + "; the rules read before stay");
        return false;
    }
    unregister_hotkeys(state);
    state.rules = rules;
    state.refused.clear();
    register_hotkeys(state);
    simple_line(state, "reloaded");
    return true;
}

// watched, and then the file is looked at with every listing.
HANDLE watch_rules_folder(const std::string &path)
{
    std::wstring folder = full_path(widen(path));
    folder.resize(folder.find_last_of(L"\\/") + 1);
    const HANDLE change = FindFirstChangeNotificationW(
        folder.c_str(), FALSE, FILE_NOTIFY_CHANGE_LAST_WRITE | FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_SIZE);
    return change == INVALID_HANDLE_VALUE ? nullptr : change;
}

