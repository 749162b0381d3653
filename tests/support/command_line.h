// One argument of a Windows command line, quoted so that the C runtime and
// CommandLineToArgvW hand it back to the program exactly as it was, quotation
// marks and trailing backslashes included. Free of GoogleTest, so that the
// helper programs that start programs of their own use it too.
#pragma once

#include <string>
#include <string_view>

inline std::wstring quote_argument(std::wstring_view arg)
{
    std::wstring out = L"\"";
    size_t backslashes = 0;
    for (wchar_t c : arg) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        out.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
        backslashes = 0;
        out.push_back(c);
    }
    out.append(backslashes * 2, L'\\');
    out.push_back(L'"');
    return out;
}
