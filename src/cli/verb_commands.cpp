// The window verbs: move, resize, minimize, maximize, restore, activate and
// close, on a window or on each window that a selector names.
#include <windows.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "kestal_inprocess.h"
#include "verb_commands.h"

namespace {

// A whole number in plain decimal, with an optional sign, that fits in 32
// bits; atoi would read "12px" as 12 and "left" as 0 and move the window
// somewhere that was never asked for.
bool read_coordinate(const char *text, int32_t &value)
{
    const char *digits = *text == '-' || *text == '+' ? text + 1 : text;
    if (*digits < '0' || *digits > '9')
        return false;
    char *end = nullptr;
    errno = 0;
    const long long number = strtoll(text, &end, 10);
    if (*end != '\0' || errno == ERANGE || number < INT32_MIN || number > INT32_MAX)
        return false;
    value = static_cast<int32_t>(number);
    return true;
}

// The two numbers after the target; false, with `why` set, when one is
// missing, cannot be read, or is below `lowest`.
bool read_pair(std::span<const std::string> words, const char *form, const char *const names[2], int32_t lowest,
               int32_t &first, int32_t &second, std::string &why)
{
    const std::string &verb = words[0];
    if (words.size() < 4) {
        why = verb + ": give " + form;
        return false;
    }
    int32_t *slots[2] = {&first, &second};
    for (int i = 0; i < 2; ++i) {
        const std::string &word = words[2 + i];
        if (!read_coordinate(word.c_str(), *slots[i])) {
            why = verb + ": the " + names[i] + " '" + word + "' is not a whole number of pixels";
            return false;
        }
        if (*slots[i] < lowest) {
            why = verb + ": the " + names[i] + " '" + word + "' is no size that a window can take: give " +
                  std::to_string(lowest) + " pixel or more";
            return false;
        }
    }
    return true;
}

// The window's rectangle in screen coordinates; for a minimised window the
// one that it comes back to.
bool current_place(HWND window, RECT &place)
{
    if (!IsIconic(window))
        return GetWindowRect(window, &place);
    WINDOWPLACEMENT placement = {};
    placement.length = sizeof placement;
    if (!GetWindowPlacement(window, &placement))
        return false;
    place = placement.rcNormalPosition;
    // That one is relative to the work area, for every window but a tool window.
    MONITORINFO monitor = {};
    monitor.cbSize = sizeof monitor;
    if (!(GetWindowLongPtrW(window, GWL_EXSTYLE) & WS_EX_TOOLWINDOW) &&
        GetMonitorInfoW(MonitorFromRect(&place, MONITOR_DEFAULTTONEAREST), &monitor))
        OffsetRect(&place, monitor.rcWork.left - monitor.rcMonitor.left, monitor.rcWork.top - monitor.rcMonitor.top);
    return true;
}

// Why a window at `place` is not where `request` asked it to be; "" when it is.
std::string elsewhere(const RECT &place, const placing &request)
{
    const int32_t width = place.right - place.left, height = place.bottom - place.top;
    char text[120];
    std::string reasons;
    if (request.size && (width != request.first || height != request.second)) {
        snprintf(text, sizeof text, "not the %d x %d asked: its program or the system holds it to that size",
                 request.first, request.second);
        reasons += text;
    }
    if (!request.size && (place.left != request.first || place.top != request.second)) {
        snprintf(text, sizeof text, "not at the %d, %d asked: the system or its program placed it there",
                 request.first, request.second);
        reasons += text;
    }
    if (!MonitorFromRect(&place, MONITOR_DEFAULTTONULL))
        reasons += std::string(reasons.empty() ? "" : "; ") + "on no screen: move it onto one to see it";
    return reasons;
}

// Under Wine the window's program takes its size back from its X window a
// few milliseconds after the change; a place that is not the one asked is
// read until it holds still.
constexpr DWORD kSettleStepMs = 10;
constexpr DWORD kSettleMs = 250;

// A program may hold its window to a size, the system keeps places and
// sizes within its limits, and a place may lie beyond every screen: the
// change was made, so "ok" stands, but a script must be able to tell.
std::string where_it_ended(HWND window, const placing &request)
{
    RECT place = {};
    if (!current_place(window, place) || elsewhere(place, request).empty())
        return {};
    for (DWORD waited = 0; waited < kSettleMs; waited += kSettleStepMs) {
        Sleep(kSettleStepMs);
        RECT again = {};
        if (!current_place(window, again))
            return {};
        if (EqualRect(&again, &place))
            break;
        place = again;
    }
    const std::string reasons = elsewhere(place, request);
    if (reasons.empty())
        return {};
    char text[120];
    snprintf(text, sizeof text, "the window ended at %ld, %ld, %ld x %ld: ", place.left, place.top,
             place.right - place.left, place.bottom - place.top);
    return text + reasons;
}

} // namespace

int32_t place_window(void *hwnd, const placing &request, std::string &note)
{
    const int32_t done = request.size ? kestal_resize_window(hwnd, request.first, request.second)
                                      : kestal_move_window(hwnd, request.first, request.second);
    if (done == 1)
        note = where_it_ended(static_cast<HWND>(hwnd), request);
    return done;
}

bool read_move(std::span<const std::string> words, window_command &command, std::string &why)
{
    static constexpr const char *kNames[2] = {"x", "y"};
    command.verb = window_verb::move;
    return read_pair(words, "the window and the new x and y: move <hwnd> <x> <y>", kNames, INT32_MIN, command.first,
                     command.second, why) &&
           read_window_target("move", words[1], command.target, why);
}

bool read_resize(std::span<const std::string> words, window_command &command, std::string &why)
{
    static constexpr const char *kNames[2] = {"width", "height"};
    command.verb = window_verb::resize;
    return read_pair(words, "the window and the new width and height: resize <hwnd> <width> <height>", kNames, 1,
                     command.first, command.second, why) &&
           read_window_target("resize", words[1], command.target, why);
}

bool read_plain_verb(std::span<const std::string> words, window_command &command, std::string &why)
{
    constexpr struct {
        std::string_view word;
        window_verb verb;
    } kVerbs[] = {{"minimize", window_verb::minimize}, {"maximize", window_verb::maximize},
                  {"restore", window_verb::restore},   {"activate", window_verb::activate},
                  {"close", window_verb::close}};
    for (const auto &known : kVerbs) {
        if (known.word == words[0])
            command.verb = known.verb;
    }
    if (words.size() < 2) {
        why = words[0] + ": give the window: a handle or a selector";
        return false;
    }
    return read_window_target(words[0].c_str(), words[1], command.target, why);
}
