// kestal-cli: one command word per run, looked up in the command table.
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string>
#include <string_view>

#include "keep.h"
#include "listing_options.h"
#include "monitor_commands.h"
#include "self_test.h"
#include "watch.h"
#include "window_command.h"
#include "window_pick.h"
#include "console_text.h"
#include "control_text.h"
#include "help_text.h"
#include "kestal_inprocess.h"
#include "kestal_version.h"

namespace {

// "pick" among list's words: the person clicks the one window to list.
bool picks(int argc, char **argv)
{
    for (int i = 2; i < argc; ++i) {
        if (std::string_view(argv[i]) == "pick")
            return true;
    }
    return false;
}

int run_list(int argc, char **argv)
{
    const uint32_t options = json_options(argc, argv);
    int64_t picked = 0;
    if (picks(argc, argv)) {
        kestal_failure failure = {};
        if (!pick_window(picked, failure)) {
            write_out("[]\n");
            print_err("error: list: %s\n", failure.text);
            return 1;
        }
    }
    const kestal_window *windows = nullptr;
    // A listing that prints no class does not ask any window for one.
    const uint32_t facts = census_facts(options) | (options & KESTAL_JSON_LONG ? 0 : KESTAL_CENSUS_WITHOUT_CLASS);
    int32_t count = kestal_census(facts, &windows);
    if (picked && count >= 0) {
        const kestal_window *listed = windows;
        const int32_t listed_count = count;
        count = 0;
        for (int32_t i = 0; i < listed_count && !count; ++i) {
            if (listed[i].hwnd == picked) {
                windows = &listed[i];
                count = 1;
            }
        }
        if (!count) {
            kestal_census_release();
            write_out("[]\n");
            print_err("error: list: the window clicked (%lld) is none that list shows: it has no title, or is a tool "
                      "window\n",
                      static_cast<long long>(picked));
            return 1;
        }
    }
    char *text = count >= 0 ? kestal_census_json(windows, count, options) : nullptr;
    kestal_census_release();
    return print_json_array(text);
}

int run_last_error(int, char **)
{
    print_out("%s\n", kestal_last_error());
    return 0;
}

int run_version(int, char **)
{
    print_out("kestal-cli %s\n", KESTAL_VERSION_TEXT);
    return 0;
}

int run_help(int argc, char **argv)
{
    if (argc < 3) {
        print_overview();
        return 0;
    }
    if (print_command_help(argv[2]))
        return 0;
    print_err("error: help: '%s' is no command of kestal-cli: the commands are listed below\n",
              escaped_controls(argv[2], true).c_str());
    print_overview();
    return 2;
}

// An option word and whether the word after it is its value.
struct option {
    std::string_view word;
    bool takes_value;
};

constexpr option kListOptions[] = {{"--long", false}, {"--ascii", false}};
constexpr option kWatchOptions[] = {{"--interval", true}, {"--count", true}, {"--long", false}, {"--ascii", false}};
constexpr option kKeepOptions[] = {{"--at-logon", false}, {"--not-at-logon", false}, {"--stop", false}};

// Which words after the command word the dispatcher refuses before the
// command runs.
enum class checked {
    // The usage text's window commands and the help words: their words are
    // theirs to read. keep reads its own too.
    nothing,
    // list: any further word is ignored, but an option that no command
    // knows is a typing error, not something to ignore.
    unknown_options,
    // The other commands: an option they do not have, or a word more than
    // they take.
    everything,
};

struct command {
    std::string_view word;
    int (*run)(int argc, char **argv);
    checked check;
    std::span<const option> options;
    int most_words; // besides the options and their values
};

constexpr command kCommands[] = {
    {"test", run_self_test, checked::nothing, {}, 0},
    {"list", run_list, checked::unknown_options, kListOptions, 0},
    {"pin", run_window_command_line, checked::nothing, {}, 0},
    {"opacity", run_window_command_line, checked::nothing, {}, 0},
    {"lasterror", run_last_error, checked::nothing, {}, 0},
    {"watch", run_watch, checked::everything, kWatchOptions, 0},
    {"clickthrough", run_window_command_line, checked::nothing, {}, 0},
    {"reset", run_window_command_line, checked::nothing, {}, 0},
    {"keep", run_keep, checked::nothing, kKeepOptions, 0},
    {"move", run_window_command_line, checked::nothing, {}, 0},
    {"resize", run_window_command_line, checked::nothing, {}, 0},
    {"minimize", run_window_command_line, checked::nothing, {}, 0},
    {"maximize", run_window_command_line, checked::nothing, {}, 0},
    {"restore", run_window_command_line, checked::nothing, {}, 0},
    {"activate", run_window_command_line, checked::nothing, {}, 0},
    {"close", run_window_command_line, checked::nothing, {}, 0},
    {"monitors", run_monitors, checked::everything, {}, 0},
    {"snap", run_window_command_line, checked::nothing, {}, 0},
    {"send", run_window_command_line, checked::nothing, {}, 0},
    {"-h", run_help, checked::nothing, {}, 0},
    {"--help", run_help, checked::nothing, {}, 0},
    {"help", run_help, checked::nothing, {}, 0},
    {"/?", run_help, checked::nothing, {}, 0},
    {"--version", run_version, checked::everything, {}, 0},
};

static_assert([] {
    for (const command &candidate : kCommands) {
        if (!help_of(candidate.word))
            return false;
    }
    return true;
}(), "every command has its help text");

const option *option_of(std::span<const option> options, std::string_view word)
{
    for (const option &known : options) {
        if (known.word == word)
            return &known;
    }
    return nullptr;
}

bool known_to_any_command(std::string_view word)
{
    for (const command &candidate : kCommands) {
        if (option_of(candidate.options, word))
            return true;
    }
    return false;
}

std::string option_list(std::span<const option> options)
{
    std::string listed;
    for (const option &known : options)
        listed += (listed.empty() ? "" : ", ") + std::string(known.word);
    return listed;
}

// 0 when the command takes its words; else 2, after the error line that
// names the word and the command's usage.
int refused_words(const command &run, int argc, char **argv)
{
    if (run.check == checked::nothing)
        return 0;
    int words = 0;
    for (int i = 2; i < argc; ++i) {
        const std::string_view word = argv[i];
        const std::string shown = escaped_controls(word, true);
        if (!is_option_word(word)) {
            if (run.check == checked::everything && ++words > run.most_words) {
                print_err("error: %s: '%s' is one word too many: leave it out, or put a word with blanks in double "
                          "quotes (\"title:My notes\")\n",
                          argv[1], shown.c_str());
                print_command_usage(run.word);
                return 2;
            }
            continue;
        }
        if (const option *known = option_of(run.options, word)) {
            i += known->takes_value ? 1 : 0;
            continue;
        }
        if (run.check == checked::unknown_options && known_to_any_command(word))
            continue;
        if (run.options.empty())
            print_err("error: %s: '%s' is no option of %s, which takes none\n", argv[1], shown.c_str(), argv[1]);
        else
            print_err("error: %s: '%s' is no option of %s (%s)\n", argv[1], shown.c_str(), argv[1],
                      option_list(run.options).c_str());
        print_command_usage(run.word);
        return 2;
    }
    return 0;
}

// Output that never arrived, on a full disk or into a closed pipe, must not
// end in success: a script would take a cut-off listing for the desktop.
int checked_exit(int exit_code)
{
    char reason[128];
    if (finish_output(reason, sizeof reason) || exit_code != 0)
        return exit_code;
    print_err("error: writing to stdout failed: %s\n", reason);
    return 1;
}

int dispatch(int argc, char **argv)
{
    if (argc < 2) {
        print_overview();
        return 0;
    }
    const std::string_view word = argv[1];
    for (const command &candidate : kCommands) {
        if (candidate.word != word)
            continue;
        // A help word anywhere after a command asks for that command's help,
        // whatever the other words are.
        for (int i = 2; i < argc && candidate.run != run_help; ++i) {
            if (is_help_word(argv[i]) && std::string_view(argv[i]) != "help") {
                print_command_help(word);
                return 0;
            }
        }
        if (const int refused = refused_words(candidate, argc, argv))
            return refused;
        return candidate.run(argc, argv);
    }
    print_err("unknown command '%s'\n", argv[1]);
    print_usage();
    return 2;
}

} // namespace

// The narrow command line comes in the ANSI code page, which cannot hold
// every word and is not the UTF-8 that the commands write back.
static char **utf8_arguments(int argc, wchar_t **wide_argv)
{
    char **argv = static_cast<char **>(calloc(static_cast<size_t>(argc) + 1, sizeof(char *)));
    for (int i = 0; argv && i < argc; ++i) {
        const int bytes = WideCharToMultiByte(CP_UTF8, 0, wide_argv[i], -1, nullptr, 0, nullptr, nullptr);
        argv[i] = bytes > 0 ? static_cast<char *>(malloc(static_cast<size_t>(bytes))) : nullptr;
        if (!argv[i] || !WideCharToMultiByte(CP_UTF8, 0, wide_argv[i], -1, argv[i], bytes, nullptr, nullptr))
            return nullptr;
    }
    return argv;
}

int wmain(int argc, wchar_t **wide_argv)
{
    // Output is bytes as written: "\n" line ends on every stream, so that the
    // JSON and the lines read the same under any consumer.
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
    char **argv = utf8_arguments(argc, wide_argv);
    if (!argv) {
        print_err("error: the command line could not be read as UTF-8 (out of memory?): run the command again\n");
        return checked_exit(1);
    }
    return checked_exit(dispatch(argc, argv));
}
