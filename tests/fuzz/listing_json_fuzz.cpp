// libFuzzer target for the listing's JSON writer and the self-test's
// read-back probe together, built natively with clang; run it with
// tests/fuzz/run.sh. Any table of windows, with titles and exe names made
// from any UTF-16 text as the system converts it, must become one compact
// JSON array without a raw control character (C0, DEL, C1, U+2028, U+2029)
// that a strict reader takes back
// member for member, and in which the probe finds every window whose handle
// is listed once with its own "pinned" and "opacity".
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include <yyjson.h>

#include "control_text.h"
#include "json_field.h"
#include "listing_json.h"

namespace {

void append_code_point(std::string &out, uint32_t cp)
{
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xc0 | cp >> 6);
        out += static_cast<char>(0x80 | (cp & 0x3f));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xe0 | cp >> 12);
        out += static_cast<char>(0x80 | (cp >> 6 & 0x3f));
        out += static_cast<char>(0x80 | (cp & 0x3f));
    } else {
        out += static_cast<char>(0xf0 | cp >> 18);
        out += static_cast<char>(0x80 | (cp >> 12 & 0x3f));
        out += static_cast<char>(0x80 | (cp >> 6 & 0x3f));
        out += static_cast<char>(0x80 | (cp & 0x3f));
    }
}

// UTF-16 to UTF-8 as WideCharToMultiByte(CP_UTF8) converts window text: a
// surrogate without its partner becomes U+FFFD.
std::string utf8_of(const std::u16string &units)
{
    std::string out;
    for (size_t i = 0; i < units.size(); ++i) {
        const uint32_t unit = units[i];
        if (unit >= 0xd800 && unit < 0xdc00 && i + 1 < units.size() && units[i + 1] >= 0xdc00 &&
            units[i + 1] < 0xe000) {
            append_code_point(out, 0x10000 + ((unit - 0xd800) << 10) + (units[i + 1] - 0xdc00));
            ++i;
        } else if (unit >= 0xd800 && unit < 0xe000) {
            append_code_point(out, 0xfffd);
        } else {
            append_code_point(out, unit);
        }
    }
    return out;
}

// Mostly ASCII, where the escaping lives, with the whole UTF-16 range mixed in.
std::u16string text_units(FuzzedDataProvider &in)
{
    std::u16string units(in.ConsumeIntegralInRange<size_t>(0, 48), u'\0');
    for (char16_t &unit : units) {
        // The controls beyond C0 that the writer escapes itself come often enough to be met.
        static constexpr char16_t kEscapedByUs[] = {0x7f, 0x80, 0x9b, 0x9f, 0x2028, 0x2029};
        switch (in.ConsumeIntegralInRange<int>(0, 3)) {
        case 0:
            unit = kEscapedByUs[in.ConsumeIntegralInRange<size_t>(0, std::size(kEscapedByUs) - 1)];
            break;
        case 1:
            unit = in.ConsumeIntegral<char16_t>();
            break;
        default:
            unit = in.ConsumeIntegralInRange<char16_t>(1, 0x7f);
        }
    }
    return units;
}

void check(bool holds)
{
    if (!holds)
        __builtin_trap();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzedDataProvider in(data, size);
    const size_t count = in.ConsumeIntegralInRange<size_t>(0, 12);
    std::vector<std::string> titles(count), exes(count);
    std::vector<kestal_window> entries(count);
    for (size_t i = 0; i < count; ++i) {
        // Handles often repeat and share leading digits, as on a real desktop.
        const int64_t hwnd = in.ConsumeBool() ? in.ConsumeIntegralInRange<int64_t>(-20, 2000)
                                              : in.ConsumeIntegral<int64_t>();
        const bool has_title = in.ConsumeBool(), has_exe = in.ConsumeBool();
        titles[i] = utf8_of(text_units(in));
        exes[i] = utf8_of(text_units(in));
        entries[i] = {hwnd, has_title ? titles[i].data() : nullptr, has_exe ? exes[i].c_str() : nullptr,
                      in.ConsumeBool(), in.ConsumeIntegral<int32_t>()};
    }

    // The ASCII form must read back as the same values as the plain one.
    const uint32_t options = in.ConsumeBool() ? KESTAL_JSON_ASCII : 0;
    const char *failure = nullptr;
    char *text = listing_json(entries.data(), static_cast<int32_t>(count), options, &failure);
    check(text != nullptr);
    const size_t length = strlen(text);
    unsigned code = 0;
    for (size_t i = 0; i < length; ++i) {
        check(static_cast<unsigned char>(text[i]) >= 0x20);
        check(!(options & KESTAL_JSON_ASCII) || static_cast<unsigned char>(text[i]) < 0x80);
        check(control_at(std::string_view(text, length), i, code) == 0);
    }

    yyjson_doc *doc = yyjson_read(text, length, 0);
    check(doc != nullptr);
    yyjson_val *root = yyjson_doc_get_root(doc);
    check(yyjson_is_arr(root) && yyjson_arr_size(root) == count);
    static constexpr const char *kMembers[] = {"hwnd", "title", "exe", "pinned", "opacity"};
    for (size_t i = 0; i < count; ++i) {
        yyjson_val *object = yyjson_arr_get(root, i);
        check(yyjson_is_obj(object) && yyjson_obj_size(object) == 5);
        yyjson_obj_iter members = yyjson_obj_iter_with(object);
        for (const char *name : kMembers)
            check(strcmp(yyjson_get_str(yyjson_obj_iter_next(&members)), name) == 0);
        const kestal_window &entry = entries[i];
        yyjson_val *title = yyjson_obj_get(object, "title"), *exe = yyjson_obj_get(object, "exe");
        check(yyjson_get_sint(yyjson_obj_get(object, "hwnd")) == entry.hwnd);
        check(yyjson_equals_str(title, entry.title ? entry.title : ""));
        check(yyjson_equals_str(exe, entry.exe ? entry.exe : ""));
        check(yyjson_get_bool(yyjson_obj_get(object, "pinned")) == entry.pinned);
        check(yyjson_get_sint(yyjson_obj_get(object, "opacity")) == entry.opacity);

        size_t same_handle = 0;
        for (const kestal_window &other : entries)
            same_handle += other.hwnd == entry.hwnd;
        if (same_handle == 1) {
            const std::string handle = std::to_string(entry.hwnd);
            check(json_field(text, handle.c_str(), "\"pinned\"") == (entry.pinned ? 1 : 0));
            check(json_field(text, handle.c_str(), "\"opacity\"") == entry.opacity);
            check(json_field(text, handle.c_str(), "\"title\"") == kFieldIsString);
        }
    }
    yyjson_doc_free(doc);
    free(text);
    return 0;
}
