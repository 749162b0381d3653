#include "wide_text.h"

#include <windows.h>

#include <iterator>

std::wstring widen(std::string_view utf8)
{
    const int size = static_cast<int>(utf8.size());
    const int chars = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), size, nullptr, 0);
    std::wstring wide(chars > 0 ? static_cast<size_t>(chars) : 0, L'\0');
    if (chars > 0)
        MultiByteToWideChar(CP_UTF8, 0, utf8.data(), size, wide.data(), chars);
    return wide;
}

std::string narrow(std::wstring_view wide)
{
    const int size = static_cast<int>(wide.size());
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, wide.data(), size, nullptr, 0, nullptr, nullptr);
    std::string text(bytes > 0 ? static_cast<size_t>(bytes) : 0, '\0');
    if (bytes > 0)
        WideCharToMultiByte(CP_UTF8, 0, wide.data(), size, text.data(), bytes, nullptr, nullptr);
    return text;
}

std::string system_reason(unsigned long code)
{
    wchar_t message[512];
    const DWORD chars = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0,
                                       message, static_cast<DWORD>(std::size(message)), nullptr);
    std::wstring_view text(message, chars);
    while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r' || text.back() == L' ' || text.back() == L'.'))
        text.remove_suffix(1);
    return narrow(text);
}

std::wstring path_in_form(const std::wstring &path, path_form form)
{
    const DWORD chars = form(path.c_str(), nullptr, 0);
    std::wstring formed(chars, L'\0');
    const DWORD written = chars ? form(path.c_str(), formed.data(), chars) : 0;
    formed.resize(written < chars ? written : 0);
    return formed.empty() ? path : formed;
}
