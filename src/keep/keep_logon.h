// The logon entry of `keep`, under the user's own Run key.
#pragma once

#include <string>

// The name of the entry under HKCU\Software\Microsoft\Windows\CurrentVersion\Run.
inline constexpr wchar_t kLogonValue[] = L"kestal keep";

// Writes the entry with `command_line`; false with `error` set otherwise.
bool register_at_logon(const std::wstring &command_line, std::string &error);
// Removes the entry; an entry that is not there is no failure.
bool unregister_at_logon(std::string &error);
// The command line of the entry: `program` keep `rules`, both full paths,
// in their short forms where the long ones make it longer than Windows
// takes at logon. False, with `error` set, where even the short forms do.
bool logon_command(const std::wstring &program, const std::wstring &rules, std::wstring &command,
                   std::string &error);
