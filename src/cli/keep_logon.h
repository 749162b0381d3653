// The logon entry of `keep`, under the user's own Run key.
#pragma once

#include <string>

// The name of the entry under HKCU\Software\Microsoft\Windows\CurrentVersion\Run.
inline constexpr wchar_t kLogonValue[] = L"kestal keep";

// Writes the entry with `command_line`; false with `error` set otherwise.
bool register_at_logon(const std::wstring &command_line, std::string &error);
// Removes the entry; an entry that is not there is no failure.
bool unregister_at_logon(std::string &error);
