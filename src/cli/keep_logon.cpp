// The logon entry of `keep`: kestalw.exe started with the rules file when
// the user logs on, through the user's own Run key.
#include "keep_logon.h"

#include <windows.h>

#include <string>

#include "wide_text.h"

namespace {

constexpr wchar_t kRunKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Run";

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

std::wstring system_text(LSTATUS code)
{
    wchar_t message[512];
    const DWORD chars = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                       static_cast<DWORD>(code), 0, message, 512, nullptr);
    std::wstring text(message, chars);
    while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r' || text.back() == L' '))
        text.pop_back();
    return text;
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
            "): " + narrow(system_text(status));
    return false;
}

} // namespace

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
            "): " + narrow(system_text(status));
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
            "): " + narrow(system_text(status));
    return false;
}
