// The rules file's text, read as Windows tools save it: UTF-8 with or
// without a byte order mark (Notepad, PowerShell 7), UTF-16LE with its mark
// (Windows PowerShell's `>`); anything else is named, with what to do.
#include <windows.h>

#include <yyjson.h>

#include <cstdio>
#include <string>
#include <string_view>

#include "keep_rules.h"
#include "wide_text.h"

using namespace std::literals;

namespace {

// A rules file is a few lines; anything this large is some other file,
// which is not read into memory whole.
constexpr LONGLONG kLargestRules = 1 << 20;

bool starts_with(const std::string &bytes, std::string_view mark)
{
    return bytes.compare(0, mark.size(), mark) == 0;
}

// The offset of the first byte that is not part of well-formed UTF-8, or of
// the first NUL, which text does not hold; npos when there is none.
size_t first_stray_byte(std::string_view text)
{
    size_t at = 0;
    while (at < text.size()) {
        const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
        const unsigned char lead = byte(at);
        if (lead == 0)
            return at;
        if (lead < 0x80) {
            ++at;
            continue;
        }
        size_t length = 0;
        unsigned char low = 0x80, high = 0xBF; // the second byte's range, which rules out overlong forms
        if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            low = lead == 0xE0 ? 0xA0 : 0x80;
            high = lead == 0xED ? 0x9F : 0xBF; // no surrogates
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            low = lead == 0xF0 ? 0x90 : 0x80;
            high = lead == 0xF4 ? 0x8F : 0xBF; // nothing above U+10FFFF
        } else {
            return at;
        }
        if (at + length > text.size() || byte(at + 1) < low || byte(at + 1) > high)
            return at;
        for (size_t i = 2; i < length; ++i) {
            if ((byte(at + i) & 0xC0) != 0x80)
                return at;
        }
        at += length;
    }
    return std::string_view::npos;
}

bool unreadable(const std::string &path, DWORD code, std::string &error)
{
    error = path + ": cannot be read: " + system_reason(code) + " (win32 error " + std::to_string(code) +
            "): check the path and that you may read the file";
    return false;
}

bool not_utf8(const std::string &path, const std::string &how, std::string &error)
{
    error = path + ": " + how + ", which keep does not read: save the file as UTF-8";
    return false;
}

// The file's bytes as UTF-8 text; false with `error` set otherwise.
bool decode(const std::string &path, std::string &bytes, std::string &text, std::string &error)
{
    if (starts_with(bytes, "\xFF\xFE\0\0"sv) || starts_with(bytes, "\0\0\xFE\xFF"sv))
        return not_utf8(path, "is saved as UTF-32", error);
    if (starts_with(bytes, "\xFE\xFF"))
        return not_utf8(path, "is saved as UTF-16 big-endian", error);
    if (starts_with(bytes, "\xFF\xFE")) {
        const std::wstring_view units(reinterpret_cast<const wchar_t *>(bytes.data() + 2), (bytes.size() - 2) / 2);
        const int size = static_cast<int>(units.size());
        const int length =
            WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, units.data(), size, nullptr, 0, nullptr, nullptr);
        if (bytes.size() % 2 != 0 || (size > 0 && length <= 0))
            return not_utf8(path, "is saved as UTF-16 but is cut off or broken", error);
        text.assign(static_cast<size_t>(length), '\0');
        WideCharToMultiByte(CP_UTF8, 0, units.data(), size, text.data(), length, nullptr, nullptr);
    } else {
        const size_t mark = starts_with(bytes, "\xEF\xBB\xBF") ? 3 : 0;
        text.assign(bytes, mark, std::string::npos);
    }
    if (text.empty()) {
        error = path + ": the file is empty: write the rules into it, such as "
                       "{\"rules\": [{\"match\": \"exe:vlc.exe\", \"pin\": true}]}";
        return false;
    }
    const size_t stray = first_stray_byte(text);
    if (stray == std::string_view::npos)
        return true;
    size_t line = 0, column = 0, character = 0;
    yyjson_locate_pos(text.data(), text.size(), stray, &line, &column, &character);
    char byte[8];
    snprintf(byte, sizeof byte, "0x%02X", static_cast<unsigned char>(text[stray]));
    error = path + ":" + std::to_string(line) + ":" + std::to_string(column) + ": the byte " + byte +
            " is not UTF-8, so the file is in another encoding: save the file as UTF-8";
    return false;
}

} // namespace

bool read_rules_text(const std::string &path, std::string &text, std::string &error)
{
    text.clear();
    const std::wstring wide = widen(path);
    const DWORD attributes = GetFileAttributesW(wide.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return unreadable(path, GetLastError(), error);
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
        error = path + ": is a folder: give the path of the rules file in it";
        return false;
    }
    // Shared with every other access, so that an editor that holds the file
    // open for writing does not make it unreadable.
    const HANDLE file = CreateFileW(wide.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return unreadable(path, GetLastError(), error);
    LARGE_INTEGER size = {};
    if (!GetFileSizeEx(file, &size)) {
        const DWORD code = GetLastError();
        CloseHandle(file);
        return unreadable(path, code, error);
    }
    if (size.QuadPart > kLargestRules) {
        CloseHandle(file);
        error = path + ": is " + std::to_string(size.QuadPart) + " bytes, more than a rules file has (at most " +
                std::to_string(kLargestRules) + "): check the path";
        return false;
    }
    std::string bytes(static_cast<size_t>(size.QuadPart), '\0');
    DWORD got = 0;
    const BOOL read = ReadFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &got, nullptr);
    const DWORD code = GetLastError();
    CloseHandle(file);
    if (!read)
        return unreadable(path, code, error);
    bytes.resize(got);
    return decode(path, bytes, text, error);
}
