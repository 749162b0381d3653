// Code points that must never reach a console or a JSON Lines reader raw:
// conhost with virtual-terminal processing acted on the C1 controls (the
// one-character CSI, U+009B, among them) until late 2021, DEL is a control
// too, and JavaScript and Python's splitlines() break lines at U+2028 and
// U+2029. Another program's text (a window title) or a user's word may hold
// any of them.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>
#include <string_view>

// The length of the UTF-8 sequence at `at` when it is such a code point
// (DEL, U+0080..U+009F, U+2028 or U+2029), with the code point in `code`;
// 0 otherwise. With `c0`, the C0 controls U+0000..U+001F count too.
constexpr std::size_t control_at(std::string_view text, std::size_t at, unsigned &code, bool c0 = false)
{
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    if ((c0 && byte(at) < 0x20) || byte(at) == 0x7F) {
        code = byte(at);
        return 1;
    }
    if (byte(at) == 0xC2 && at + 1 < text.size() && byte(at + 1) >= 0x80 && byte(at + 1) <= 0x9F) {
        code = byte(at + 1);
        return 2;
    }
    if (byte(at) == 0xE2 && at + 2 < text.size() && byte(at + 1) == 0x80 &&
        (byte(at + 2) == 0xA8 || byte(at + 2) == 0xA9)) {
        code = 0x2000u + byte(at + 2) - 0x80u;
        return 3;
    }
    return 0;
}

static_assert([] {
    unsigned code = 0;
    return control_at("\xC2\x9B", 0, code) == 2 && code == 0x9B && control_at("\xE2\x80\xA9", 0, code) == 3 &&
           code == 0x2029 && control_at("\x7F", 0, code) == 1 && control_at("\xC2\xA0", 0, code) == 0 &&
           control_at("\x1B", 0, code) == 0 && control_at("\x1B", 0, code, true) == 1;
}());

// `text` with each such code point written as a \u escape, as JSON writes
// it; with `c0`, the C0 controls too, for text that is quoted in a line.
inline std::string escaped_controls(std::string_view text, bool c0)
{
    std::string escaped;
    escaped.reserve(text.size());
    unsigned code = 0;
    for (std::size_t at = 0; at < text.size(); ++at) {
        const std::size_t length = control_at(text, at, code, c0);
        if (length == 0) {
            escaped += text[at];
            continue;
        }
        char sequence[7];
        std::snprintf(sequence, sizeof sequence, "\\u%04x", code);
        escaped += sequence;
        at += length - 1;
    }
    return escaped;
}
