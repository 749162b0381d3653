// "watch": the listing's changes as JSON Lines, until the reader or the user stops it.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "listing_options.h"
#include "watch.h"
#include "console_text.h"
#include "help_text.h"
#include "kestal_inprocess.h"
#include "watch_changes.h"
#include "stop_signal.h"
#include "window_events.h"

namespace {

constexpr DWORD kDefaultIntervalMs = 250;
constexpr DWORD kShortestIntervalMs = 50;
// Events that come close together are taken in by one listing this long
// after the first of them.
constexpr DWORD kSettleMs = 30;

struct watch_options {
    DWORD interval_ms = kDefaultIntervalMs;
    long long count = 0; // change lines before the end; 0 for no end
    uint32_t json = 0;
};

HANDLE g_window_event = nullptr; // set by the event thread for a change of a top-level window

bool parse_number(const char *text, long long lowest, long long &value)
{
    char *end = nullptr;
    value = strtoll(text, &end, 10);
    return end != text && *end == '\0' && value >= lowest;
}

// 0 when the options are usable, else the exit code after the error line.
int parse_watch_options(int argc, char **argv, watch_options &options)
{
    options.json = json_options(argc, argv);
    for (int i = 2; i < argc; ++i) {
        const std::string_view word = argv[i];
        if (word != "--interval" && word != "--count")
            continue;
        const bool interval = word == "--interval";
        long long value = 0;
        if (i + 1 >= argc || !parse_number(argv[i + 1], interval ? kShortestIntervalMs : 1, value) ||
            (interval && value > 24 * 3600 * 1000)) {
            print_err("error: %s needs %s, not '%s'\n", argv[i],
                      interval ? "a number of milliseconds from 50 to 86400000" : "a number of lines, 1 or more",
                      i + 1 < argc ? argv[i + 1] : "");
            print_command_usage("watch");
            return 2;
        }
        if (interval)
            options.interval_ms = static_cast<DWORD>(value);
        else
            options.count = value;
        ++i;
    }
    return 0;
}

// The lines of one listing compared with the last. False, with the error
// line written, when the listing could not be taken or written.
bool listing_lines(watch_state &state, const watch_options &options, std::vector<std::string> &lines)
{
    const kestal_window *windows = nullptr;
    const int32_t count = kestal_census(census_facts(options.json), &windows);
    lines.clear();
    if (count >= 0 && listing_changes(state, windows, count, lines)) {
        publish_listed(windows, count);
        return true;
    }
    print_err("error: %s\n", kestal_last_error());
    return false;
}

enum class outcome { go_on, done, failed };

// One listing, compared with the last; its lines written one by one.
outcome take_listing(watch_state &state, const watch_options &options, long long &change_lines,
                     std::vector<std::string> &lines)
{
    if (!listing_lines(state, options, lines))
        return outcome::failed;
    for (const std::string &line : lines) {
        // A reader that has gone is the end of the stream, not a failure.
        if (!write_out(line))
            return outcome::done;
        if (++change_lines == options.count || stop_requested())
            return outcome::done;
    }
    return outcome::go_on;
}

int watch_until_stopped(const watch_options &options)
{
    watch_state state = {options.json, {}, {}, {}, {}};
    std::vector<std::string> lines;
    long long change_lines = 0;
    if (!listing_lines(state, options, lines))
        return 1;
    // Hooked before "ready", so that a reader that acts on it is heard.
    start_window_events(g_window_event);
    lines.push_back("{\"event\":\"ready\"}\n");
    for (const std::string &line : lines) {
        if (!write_out(line))
            return 0;
    }

    const HANDLE wakers[] = {g_stop_wake, g_window_event};
    ULONGLONG next_listing = GetTickCount64() + options.interval_ms;
    ULONGLONG settled = 0; // when the events seen so far get their listing; 0 for none
    while (!stop_requested()) {
        const ULONGLONG now = GetTickCount64();
        const ULONGLONG due = settled && settled < next_listing ? settled : next_listing;
        if (now < due) {
            const DWORD woken = WaitForMultipleObjects(2, wakers, FALSE, static_cast<DWORD>(due - now));
            if (woken == WAIT_OBJECT_0 + 1 && !settled)
                settled = GetTickCount64() + kSettleMs;
            continue;
        }
        const outcome result = take_listing(state, options, change_lines, lines);
        if (result != outcome::go_on)
            return result == outcome::failed ? 1 : 0;
        next_listing = GetTickCount64() + options.interval_ms;
        settled = 0;
    }
    return 0;
}

} // namespace

int run_watch(int argc, char **argv)
{
    watch_options options;
    if (const int failed = parse_watch_options(argc, argv, options))
        return failed;
    // Each line goes out whole as it is written, on both streams, so that a
    // reader sees it at once and a watch that is ended by force loses none.
    setvbuf(stdout, nullptr, _IONBF, 0);
    setvbuf(stderr, nullptr, _IONBF, 0);
    start_stop_signal();
    g_window_event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    const int exit_code = watch_until_stopped(options);
    stop_window_events();
    kestal_census_release();
    // A stdout that took no more lines ends the watch quietly, as its reader asked.
    if (exit_code == 0)
        clearerr(stdout);
    signal_finished();
    return exit_code;
}
