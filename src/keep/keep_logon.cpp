// The logon entry of `keep`: kestalw.exe started with the rules file when
// the user logs on, through the user's own Run key.
#include "keep_logon.h"

#include <windows.h>

#include <string>

#include "wide_text.h"

namespace {

constexpr wchar_t kRunKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Run";
// Windows passes over a Run value longer than this at logon, without a word.
constexpr size_t kLongestRunValue = MAX_PATH;

// advapi32 is no import of the exe, which a host loads as a library with
// system DLLs only; the registry calls are looked up when first needed.
using RegCreateKeyExW_fn = LSTATUS(WINAPI *)(HKEY, LPCWSTR, DWORD, LPWSTR, DWORD, REGSAM,
                                             const SECURITY_ATTRIBUTES *, PHKEY, LPDWORD);
using RegSetValueExW_fn = LSTATUS(WINAPI *)(HKEY, LPCWSTR, DWORD, DWORD, const BYTE *, DWORD);
using RegDeleteValueW_fn = LSTATUS(WINAPI *)(HKEY, LPCWSTR);
using RegCloseKey_fn = LSTATUS(WINAPI *)(HKEY);

RegCreateKeyExW_fn p_RegCreateKeyExW = nullptr;
RegSetValueExW_fn p_RegSetValueExW = nullptr;
RegDeleteValueW_fn p_RegDeleteValueW = nullptr;
RegCloseKey_fn p_RegCloseKey = nullptr;

template <typename Fn> Fn lookup(HMODULE module, const char *name)
{
    return reinterpret_cast<Fn>(reinterpret_cast<void *>(GetProcAddress(module, name)));
}

bool registry_calls()
{
    // A known DLL: the loader takes it from the system folder whatever the search path.
    if (!p_RegCloseKey) {
        if (HMODULE advapi32 = LoadLibraryW(L"advapi32.dll")) {
            p_RegCreateKeyExW = lookup<RegCreateKeyExW_fn>(advapi32, "RegCreateKeyExW");
            p_RegSetValueExW = lookup<RegSetValueExW_fn>(advapi32, "RegSetValueExW");
            p_RegDeleteValueW = lookup<RegDeleteValueW_fn>(advapi32, "RegDeleteValueW");
            p_RegCloseKey = lookup<RegCloseKey_fn>(advapi32, "RegCloseKey");
        }
    }
    return p_RegCreateKeyExW && p_RegSetValueExW && p_RegDeleteValueW && p_RegCloseKey;
}

// The short form (8.3 names) of an existing path; the path itself where the
// volume keeps no short names.
std::wstring short_path(const std::wstring &path)
{
    return path_in_form(path, GetShortPathNameW);
}

bool open_run_key(HKEY &key, std::string &error)
{
    if (!registry_calls()) {
        error = "the registry functions of advapi32.dll are missing";
        return false;
    }
    const LSTATUS status =
        p_RegCreateKeyExW(HKEY_CURRENT_USER, kRunKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr);
    if (status == ERROR_SUCCESS)
        return true;
    error = "HKCU\\" + narrow(kRunKey) + " cannot be opened (win32 error " + std::to_string(status) +
            "): " + system_reason(static_cast<unsigned long>(status));
    return false;
}

} // namespace

bool logon_command(const std::wstring &program, const std::wstring &rules, std::wstring &command,
                   std::string &error)
{
    const std::wstring short_program = short_path(program), short_rules = short_path(rules);
    // The long forms are the ones a person reads; each is given up only where needed.
    const std::wstring *const forms[][2] = {
        {&program, &rules}, {&program, &short_rules}, {&short_program, &rules}, {&short_program, &short_rules}};
    for (const auto &form : forms) {
        command = L"\"" + *form[0] + L"\" keep \"" + *form[1] + L"\"";
        if (command.size() <= kLongestRunValue)
            return true;
    }
    error = "the logon entry would be " + std::to_string(command.size()) +
            " characters long even with the short names of its folders, and Windows passes over one longer than " +
            std::to_string(kLongestRunValue) +
            " at logon: move the rules file, or kestal-cli.exe with kestalw.exe, to a folder with a shorter path";
    return false;
}

bool register_at_logon(const std::wstring &command_line, std::string &error)
{
    HKEY key = nullptr;
    if (!open_run_key(key, error))
        return false;
    const LSTATUS status =
        p_RegSetValueExW(key, kLogonValue, 0, REG_SZ, reinterpret_cast<const BYTE *>(command_line.c_str()),
                         static_cast<DWORD>((command_line.size() + 1) * sizeof(wchar_t)));
    p_RegCloseKey(key);
    if (status == ERROR_SUCCESS)
        return true;
    error = "the logon entry cannot be written (win32 error " + std::to_string(status) +
            "): " + system_reason(static_cast<unsigned long>(status));
    return false;
}

bool unregister_at_logon(std::string &error)
{
    HKEY key = nullptr;
    if (!open_run_key(key, error))
        return false;
    const LSTATUS status = p_RegDeleteValueW(key, kLogonValue);
    p_RegCloseKey(key);
    if (status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND)
        return true;
    error = "the logon entry cannot be removed (win32 error " + std::to_string(status) +
            "): " + system_reason(static_cast<unsigned long>(status));
    return false;
}
