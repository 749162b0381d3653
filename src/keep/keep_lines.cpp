// keep's lines: JSON to stdout, or to <rules>.log for a keep without a console.
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <string_view>

#include "console_text.h"
#include "control_text.h"
#include "keep_lines.h"
#include "keep_tray.h"
#include "kestal_version.h"
#include "wide_text.h"

namespace {

// The log of a keep without a console is cut back to its newest part once it passes this size.
constexpr long kLogLimit = 1 << 20;
constexpr long kLogKept = kLogLimit / 4;


// A path that a logon entry may give in its short form, as its long form:
// the names that the person gave the folders and the file.
std::wstring long_path(const std::wstring &path)
{
    return path_in_form(path, GetLongPathNameW);
}

// The newest part of the log, from a line's start, once it has grown past
// its limit. The part is written whole to a file of its own, which then
// takes the log's place, so that a keep ended between two steps leaves the
// old log or the new one, never an empty or a half one. The log is opened
// for appending again afterwards, so that the next cut can read what it
// keeps.
void cut_back_log(keep_state &state)
{
    if (ftell(state.log) < kLogLimit)
        return;
    std::string tail(kLogKept, '\0');
    fseek(state.log, -kLogKept, SEEK_END);
    tail.resize(fread(tail.data(), 1, tail.size(), state.log));
    const size_t line_start = tail.find('\n');
    const std::wstring cut_path = state.log_path + L".new";
    bool cut = false;
    if (FILE *kept = _wfopen(cut_path.c_str(), L"wb")) {
        const size_t from = line_start == std::string::npos ? tail.size() : line_start + 1;
        cut = fwrite(tail.data() + from, 1, tail.size() - from, kept) == tail.size() - from;
        cut = fflush(kept) == 0 && cut;
        fclose(kept);
    }
    fclose(state.log);
    const bool replaced = cut && MoveFileExW(cut_path.c_str(), state.log_path.c_str(),
                                             MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
    if (!replaced) {
        DeleteFileW(cut_path.c_str());
        // A reader that holds the log without letting it be replaced (an
        // editor, `type`) must not make it grow without end: it is cut in
        // place then, as before a safe cut could be made.
        if (FILE *in_place = _wfopen(state.log_path.c_str(), L"wb")) {
            const size_t from = line_start == std::string::npos ? tail.size() : line_start + 1;
            fwrite(tail.data() + from, 1, tail.size() - from, in_place);
            fclose(in_place);
        }
    }
    state.log = _wfopen(state.log_path.c_str(), L"ab+");
}

// Where a log goes that cannot be beside its rules file (a folder the user
// cannot write, such as Program Files): the user's own local application
// data, kestal\<rules file's name>.log.
std::wstring fallback_log_path(const std::wstring &rules)
{
    wchar_t local[MAX_PATH];
    const DWORD chars = GetEnvironmentVariableW(L"LOCALAPPDATA", local, static_cast<DWORD>(std::size(local)));
    if (chars == 0 || chars >= std::size(local))
        return {};
    const std::wstring folder = std::wstring(local) + L"\\kestal";
    CreateDirectoryW(folder.c_str(), nullptr);
    return folder + L"\\" + rules.substr(rules.find_last_of(L"\\/") + 1) + L".log";
}

// The local time with its offset from UTC, as ISO 8601 writes it:
// 2026-12-11T14:03:07.250+01:00.
std::string local_time_text()
{
    FILETIME utc_file = {};
    GetSystemTimeAsFileTime(&utc_file);
    SYSTEMTIME utc = {}, local = {};
    FileTimeToSystemTime(&utc_file, &utc);
    if (!SystemTimeToTzSpecificLocalTime(nullptr, &utc, &local))
        local = utc;
    FILETIME local_file = {}, utc_whole = {};
    SystemTimeToFileTime(&local, &local_file);
    SystemTimeToFileTime(&utc, &utc_whole);
    const auto ticks = [](const FILETIME &time) {
        return static_cast<long long>((static_cast<ULONGLONG>(time.dwHighDateTime) << 32) | time.dwLowDateTime);
    };
    // Both in whole milliseconds, so that their difference is the offset itself.
    const long long offset_minutes = (ticks(local_file) - ticks(utc_whole)) / 600000000LL;
    const long long away = offset_minutes < 0 ? -offset_minutes : offset_minutes;
    char text[40];
    snprintf(text, sizeof text, "%04u-%02u-%02uT%02u:%02u:%02u.%03u%c%02lld:%02lld", local.wYear, local.wMonth,
             local.wDay, local.wHour, local.wMinute, local.wSecond, local.wMilliseconds,
             offset_minutes < 0 ? '-' : '+', away / 60, away % 60);
    return text;
}

// One line of the log, after its time, written at once.
void log_line(keep_state &state, const std::string &line)
{
    if (!state.log)
        return;
    const std::string text = local_time_text() + " " + line + "\n";
    fwrite(text.data(), 1, text.size(), state.log);
    fflush(state.log);
    cut_back_log(state);
}

} // namespace

// The program runs without a console when it was built for the Windows
// subsystem: kestalw.exe.
bool built_without_console()
{
    const auto *image = reinterpret_cast<const BYTE *>(GetModuleHandleW(nullptr));
    const auto *dos = reinterpret_cast<const IMAGE_DOS_HEADER *>(image);
    const auto *nt = reinterpret_cast<const IMAGE_NT_HEADERS *>(image + dos->e_lfanew);
    return nt->OptionalHeader.Subsystem == IMAGE_SUBSYSTEM_WINDOWS_GUI;
}

std::wstring full_path(const std::wstring &path)
{
    const DWORD chars = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    std::wstring full(chars, L'\0');
    const DWORD written = chars ? GetFullPathNameW(path.c_str(), chars, full.data(), nullptr) : 0;
    full.resize(written < chars ? written : 0);
    return full.empty() ? path : full;
}


void keep_line(keep_state &state, yyjson_mut_doc *doc, yyjson_mut_val *object)
{
    yyjson_mut_doc_set_root(doc, object);
    char *written = yyjson_mut_write(doc, 0, nullptr);
    yyjson_mut_doc_free(doc);
    if (!written)
        return;
    const std::string text = escaped_controls(written, false);
    free(written);
    if (state.log)
        log_line(state, text);
    else
        write_out(text + "\n");
}

yyjson_mut_val *event_object(yyjson_mut_doc *doc, const char *event)
{
    yyjson_mut_val *object = yyjson_mut_obj(doc);
    yyjson_mut_obj_add_str(doc, object, "event", event);
    return object;
}

void simple_line(keep_state &state, const char *event)
{
    yyjson_mut_doc *doc = yyjson_mut_doc_new(nullptr);
    keep_line(state, doc, event_object(doc, event));
}

// The window's title as it is now: a line names the window the person sees.
// The system keeps every window's text, so reading it asks no program; a
// window that is gone keeps the title it had last.
std::string title_now(const window_record &window)
{
    wchar_t title[512];
    const HWND handle = reinterpret_cast<HWND>(static_cast<intptr_t>(window.hwnd));
    SetLastError(ERROR_SUCCESS);
    const int chars = InternalGetWindowText(handle, title, static_cast<int>(std::size(title)));
    if (chars == 0 && (GetLastError() != ERROR_SUCCESS || !IsWindow(handle)))
        return window.title;
    return narrow(std::wstring_view(title, static_cast<size_t>(chars)));
}

yyjson_mut_val *window_object(yyjson_mut_doc *doc, const char *event, const window_record &window)
{
    yyjson_mut_val *object = event_object(doc, event);
    yyjson_mut_obj_add_sint(doc, object, "hwnd", window.hwnd);
    yyjson_mut_obj_add_strcpy(doc, object, "title", title_now(window).c_str());
    yyjson_mut_obj_add_strcpy(doc, object, "exe", window.exe.c_str());
    return object;
}

// The line may quote the rules file, a window's title or a command's error,
// which may quote another program's text. A system message's own line
// break at its end is no part of it.
void report_error(keep_state &state, const std::string &raw_line)
{
    std::string_view text = raw_line;
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
        text.remove_suffix(1);
    const std::string line = escaped_controls(text, true);
    // Without a console the icon is where a person learns of it.
    if (line.starts_with("error: "))
        set_tray_problem(widen(line.substr(7)));
    if (state.log)
        log_line(state, line);
    else
        write_err(line + "\n");
}

void window_error(keep_state &state, const window_record &window, const std::string &what)
{
    report_error(state, "error: " + std::to_string(window.hwnd) + " \"" + title_now(window) + "\" (" + window.exe +
                            "): " + what);
}

void open_log(keep_state &state)
{
    const std::wstring rules = long_path(full_path(widen(state.path)));
    state.log_path = rules + L".log";
    state.log = _wfopen(state.log_path.c_str(), L"ab+");
    if (!state.log) {
        const std::wstring beside = state.log_path;
        const DWORD why = GetLastError();
        state.log_path = fallback_log_path(rules);
        state.log = state.log_path.empty() ? nullptr : _wfopen(state.log_path.c_str(), L"ab+");
        const std::string where = state.log ? narrow(state.log_path) : std::string("nowhere");
        // Said first where the person looks, as it tells where the rest is.
        set_tray_problem(L"the log is in " + (state.log ? state.log_path : std::wstring(L"no file")) + L": " +
                         beside + L" cannot be written");
        log_line(state, "warning: the log is in " + where + ": " + narrow(beside) + " cannot be written (win32 error " +
                            std::to_string(why) + ")");
    }
    log_line(state, std::string("kestalw ") + KESTAL_VERSION_TEXT + " keep " + narrow(rules) + ", pid " +
                        std::to_string(GetCurrentProcessId()));
}

void report_start_error(keep_state &state, const std::string &raw_line)
{
    // The line may quote the rules file, line breaks and all.
    const std::string line = escaped_controls(raw_line, true);
    if (line.starts_with("error: "))
        set_tray_problem(widen(line.substr(7)));
    log_line(state, line);
    write_err(line + "\n");
}

