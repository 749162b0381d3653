// "pin" and "opacity": the numbers or words that say what to set.
#include "setter_commands.h"

#include <cstdlib>

#include "kestal_inprocess.h"

// What atoi reads as a number: blanks, an optional sign, then a digit. A
// word such as "true" would read as 0 and release the window it meant to pin.
bool is_number_text(const char *text)
{
    while (*text == ' ' || (*text >= '\t' && *text <= '\r'))
        ++text;
    if (*text == '+' || *text == '-')
        ++text;
    return *text >= '0' && *text <= '9';
}

int32_t switch_word(std::string_view word)
{
    return word == "on" ? KESTAL_ON : word == "off" ? KESTAL_OFF : word == "toggle" ? KESTAL_TOGGLE : -1;
}

bool parse_points(const char *text, int32_t &points)
{
    char *end = nullptr;
    const long value = strtol(text, &end, 10);
    if (text[0] < '0' || text[0] > '9' || *end != '\0' || value < 1 || value > 100)
        return false;
    points = static_cast<int32_t>(value);
    return true;
}

bool read_pin(std::span<const std::string> words, window_command &command, std::string &why)
{
    if (words.size() < 2)
        return false;
    if (words.size() < 3 || is_number_text(words[2].c_str())) {
        command.verb = window_verb::set_topmost;
        command.first = words.size() >= 3 ? atoi(words[2].c_str()) : 1;
    } else {
        command.verb = window_verb::pin;
        command.first = switch_word(words[2]);
        if (command.first < 0) {
            why = "pin: the flag '" + words[2] +
                  "' is not a number: give 1 or on to pin the window, 0 or off to release it, or toggle to flip it";
            return false;
        }
    }
    return read_window_target("pin", words[1], command.target, why);
}

bool read_opacity(std::span<const std::string> words, window_command &command, std::string &why)
{
    if (words.size() < 3)
        return false;
    const std::string &direction = words[2];
    if (direction != "up" && direction != "down") {
        // The library refuses a percentage outside 20 to 100 for each window, as the description has it.
        command.verb = window_verb::set_opacity;
        command.first = atoi(direction.c_str());
    } else {
        int32_t points = 10;
        if (words.size() >= 4 && !parse_points(words[3].c_str(), points)) {
            why = "opacity: the step '" + words[3] + "' is not a number of percentage points from 1 to 100";
            return false;
        }
        command.verb = window_verb::step_opacity;
        command.first = direction == "up" ? points : -points;
    }
    return read_window_target("opacity", words[1], command.target, why);
}
