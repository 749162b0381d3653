// UTF-8 text that is cut or written in pieces must end on a whole character.
#pragma once

#include <cstddef>
#include <string_view>

// The length of `text` without an unfinished UTF-8 sequence at its end.
// Malformed bytes count as whole: whoever decodes them shows U+FFFD.
constexpr std::size_t utf8_whole_length(std::string_view text)
{
    std::size_t lead = text.size();
    std::size_t continuations = 0;
    while (lead > 0 && continuations < 3 && (static_cast<unsigned char>(text[lead - 1]) & 0xC0) == 0x80) {
        --lead;
        ++continuations;
    }
    if (lead == 0)
        return text.size();
    const unsigned char first = static_cast<unsigned char>(text[lead - 1]);
    const std::size_t needed = first >= 0xF8 ? 1 : first >= 0xF0 ? 4 : first >= 0xE0 ? 3 : first >= 0xC0 ? 2 : 1;
    return text.size() - (lead - 1) < needed ? lead - 1 : text.size();
}
