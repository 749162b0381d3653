#include "system_calls.h"

#include <string>

HMODULE system_module(const wchar_t *name)
{
    if (HMODULE module = LoadLibraryExW(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32))
        return module;
    // Loaders without the search flag refuse it as an invalid parameter;
    // they get the system folder's copy by its full path.
    if (GetLastError() != ERROR_INVALID_PARAMETER)
        return nullptr;
    wchar_t folder[MAX_PATH];
    const UINT chars = GetSystemDirectoryW(folder, MAX_PATH);
    if (chars == 0 || chars >= MAX_PATH)
        return nullptr;
    const std::wstring path = std::wstring(folder, chars) + L"\\" + name;
    return LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}
