// The command line's words and texts are UTF-8; the system's are UTF-16.
#pragma once

#include <string>
#include <string_view>

std::wstring widen(std::string_view utf8);
std::string narrow(std::wstring_view wide);
// The system's own message for a win32 error code, in UTF-8, without the
// line break and full stop at its end; empty where the system has none.
std::string system_reason(unsigned long code);
// A path that exists, in the form that `form` gives it (GetLongPathNameW,
// GetShortPathNameW); the path itself where the system gives none.
using path_form = unsigned long(__stdcall *)(const wchar_t *, wchar_t *, unsigned long);
std::wstring path_in_form(const std::wstring &path, path_form form);
