// "pin" and "opacity": read the numbers or words, call the setter on the
// window (or on each window that a selector names), report.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "cli.h"
#include "console_text.h"
#include "kestal_inprocess.h"
#include "window_selector.h"

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

int run_pin(int argc, char **argv)
{
    if (argc < 3) {
        print_usage();
        return 2;
    }
    if (argc < 4 || is_number_text(argv[3]))
        return run_on_target("pin", argv[2], kestal_set_topmost, argc >= 4 ? atoi(argv[3]) : 1);
    const int32_t how = switch_word(argv[3]);
    if (how < 0) {
        print_err("error: pin: the flag '%s' is not a number: give 1 or on to pin the window, 0 or off to release "
                  "it, or toggle to flip it\n",
                  argv[3]);
        print_usage();
        return 2;
    }
    return run_on_target("pin", argv[2], kestal_pin, how);
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

int run_opacity(int argc, char **argv)
{
    if (argc < 4) {
        print_usage();
        return 2;
    }
    const std::string_view direction = argv[3];
    if (direction != "up" && direction != "down")
        return run_on_target("opacity", argv[2], kestal_set_opacity, atoi(argv[3]));
    int32_t points = 10;
    if (argc >= 5 && !parse_points(argv[4], points)) {
        print_err("error: opacity: the step '%s' is not a number of percentage points from 1 to 100\n", argv[4]);
        print_usage();
        return 2;
    }
    return run_on_target("opacity", argv[2], kestal_step_opacity, direction == "up" ? points : -points);
}
