// The monitors command, and the readers of the verbs that place windows on
// monitors.
#include "monitor_commands.h"

#include <algorithm>
#include <cstdio>
#include <iterator>

#include "console_text.h"
#include "control_text.h"
#include "listing_options.h"

namespace {

// In the order of kestal_snap_position.
constexpr std::string_view kPositions[] = {"left",     "right",     "top",         "bottom",       "top-left",
                                           "top-right", "bottom-left", "bottom-right", "center", "full"};
static_assert(std::size(kPositions) == KESTAL_SNAP_POSITIONS, "a word for every snap position");

// The monitor's number in plain decimal digits, 1 or more.
bool read_monitor_number(const std::string &word, int32_t &number)
{
    if (word.empty() || word.size() > 4)
        return false;
    number = 0;
    for (const char digit : word) {
        if (digit < '0' || digit > '9')
            return false;
        number = number * 10 + (digit - '0');
    }
    return number >= 1;
}

// The target and one word after it; false, with `why` set, when either is missing.
bool has_target_and_word(std::span<const std::string> words, const char *form, std::string &why)
{
    if (words.size() >= 3)
        return true;
    why = words[0] + ": give " + form;
    return false;
}

} // namespace

int32_t snap_position_of(std::string_view word)
{
    for (size_t i = 0; i < std::size(kPositions); ++i) {
        if (kPositions[i] == word)
            return static_cast<int32_t>(i);
    }
    return -1;
}

std::string_view snap_position_word(int32_t position)
{
    return position >= 0 && position < KESTAL_SNAP_POSITIONS ? kPositions[position] : "";
}

std::string snap_position_words()
{
    std::string words;
    for (size_t i = 0; i < std::size(kPositions); ++i)
        words += std::string(i == 0 ? "" : i + 1 == std::size(kPositions) ? " or " : ", ") + std::string(kPositions[i]);
    return words;
}

bool read_snap(std::span<const std::string> words, window_command &command, std::string &why)
{
    command.verb = window_verb::snap;
    if (!has_target_and_word(words, "the window and where: snap <hwnd> left|right|top|...", why))
        return false;
    command.first = snap_position_of(words[2]);
    if (command.first < 0) {
        why = "snap: '" + escaped_controls(words[2], true) + "' is no position: give " + snap_position_words();
        return false;
    }
    return read_window_target("snap", words[1], command.target, why);
}

bool read_send(std::span<const std::string> words, window_command &command, std::string &why)
{
    command.verb = window_verb::send;
    if (!has_target_and_word(words, "the window and the monitor: send <hwnd> next|prev|N", why))
        return false;
    const std::string &monitor = words[2];
    if (monitor == "next") {
        command.first = KESTAL_MONITOR_NEXT;
    } else if (monitor == "prev") {
        command.first = KESTAL_MONITOR_PREVIOUS;
    } else if (!read_monitor_number(monitor, command.first)) {
        why = "send: '" + escaped_controls(monitor, true) +
              "' is no monitor: give next, prev or a monitor's number from 1 (kestal-cli monitors lists them)";
        return false;
    }
    return read_window_target("send", words[1], command.target, why);
}

bool monitor_exists(int32_t monitor, kestal_failure &failure)
{
    const int32_t count = kestal_monitors(nullptr, 0);
    if (count < 0) {
        failure.code = KESTAL_FAILURE_OTHER;
        snprintf(failure.text, sizeof failure.text, "%s", kestal_last_error());
        return false;
    }
    if (count >= 2 && monitor <= count)
        return true;
    failure.code = KESTAL_FAILURE_ARGUMENT;
    if (count < 2)
        snprintf(failure.text, sizeof failure.text,
                 "send: this desktop has one monitor: there is no other to send a window to");
    else
        snprintf(failure.text, sizeof failure.text,
                 "send: there is no monitor %d: this desktop has %d (kestal-cli monitors lists them)", monitor,
                 count);
    return false;
}

int run_monitors(int, char **)
{
    kestal_monitor monitors[KESTAL_MAX_MONITORS];
    const int32_t count = kestal_monitors(monitors, KESTAL_MAX_MONITORS);
    char *text = count >= 0 ? kestal_monitors_json(monitors, std::min(count, KESTAL_MAX_MONITORS)) : nullptr;
    return print_json_array(text);
}
