// keep's lines: JSON to stdout, errors to stderr, or both to <rules>.log with
// the time of each for a keep without a console.
#pragma once

#include <yyjson.h>

#include <string>

#include "keep_state.h"

// The program runs without a console when it was built for the Windows
// subsystem: kestalw.exe.
bool built_without_console();
std::wstring full_path(const std::wstring &path);
// Writes the object as one line and frees the document.
void keep_line(keep_state &state, yyjson_mut_doc *doc, yyjson_mut_val *object);
yyjson_mut_val *event_object(yyjson_mut_doc *doc, const char *event);
void simple_line(keep_state &state, const char *event);
// A line about a window: its event, handle, title and exe, then the members
// the caller adds.
yyjson_mut_val *window_object(yyjson_mut_doc *doc, const char *event, const window_record &window);
// An error line ("error: …", also shown by the icon) or a warning line
// ("warning: …"), on stderr or in the log.
void report_error(keep_state &state, const std::string &raw_line);
// The window's title as it is now, or as it was last where it is gone.
std::string title_now(const window_record &window);
// An error line about a window names it as the JSON lines do.
void window_error(keep_state &state, const window_record &window, const std::string &what);
// Opens <rules>.log beside the rules file, named after its long name, and
// writes the line that starts this run: the version, the rules file, the pid.
void open_log(keep_state &state);
// A failure before the keep runs: on stderr, and in the log too where one
// is open, since a keep without a console has no one to read its stderr.
void report_start_error(keep_state &state, const std::string &raw_line);
