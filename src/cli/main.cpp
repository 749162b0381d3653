// kestal-cli: one command word per run, looked up in the command table.
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "cli.h"
#include "console_text.h"
#include "kestal_inprocess.h"
#include "kestal_version.h"

namespace {

constexpr char kUsage[] = "tinsmere-kestal CLI\n"
                          "usage:\n"
                          "  kestal-cli list                         list top-level windows (JSON)\n"
                          "  kestal-cli pin <hwnd> [0|1]             set/clear always-on-top\n"
                          "  kestal-cli opacity <hwnd> <20..100>     set opacity\n"
                          "  kestal-cli test                         self-test roundtrip\n"
                          "  kestal-cli lasterror                    print last error\n";

int run_list(int argc, char **argv)
{
    const uint32_t options = json_options(argc, argv);
    const kestal_window *windows = nullptr;
    // A listing that prints no class does not ask any window for one.
    const uint32_t facts = census_facts(options) | (options & KESTAL_JSON_LONG ? 0 : KESTAL_CENSUS_WITHOUT_CLASS);
    const int32_t count = kestal_census(facts, &windows);
    char *text = count >= 0 ? kestal_census_json(windows, count, options) : nullptr;
    kestal_census_release();
    // A failure prints "[]", like an empty desktop, and says why on stderr.
    write_out(text ? text : "[]");
    write_out("\n");
    kestal_free_string(text);
    if (text)
        return 0;
    print_err("error: %s\n", kestal_last_error());
    return 1;
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

int run_help(int, char **)
{
    print_usage();
    return 0;
}

struct command {
    std::string_view word;
    int (*run)(int argc, char **argv);
};

constexpr command kCommands[] = {
    {"test", run_self_test}, {"list", run_list}, {"pin", run_pin}, {"opacity", run_opacity},
    {"lasterror", run_last_error}, {"watch", run_watch}, {"clickthrough", run_clickthrough}, {"reset", run_reset},
    {"keep", run_keep}, {"move", run_move}, {"resize", run_resize}, {"minimize", run_minimize},
    {"maximize", run_maximize}, {"restore", run_restore}, {"activate", run_activate}, {"close", run_close},
    {"-h", run_help}, {"--help", run_help}, {"help", run_help}, {"--version", run_version},
};

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
        print_usage();
        return 0;
    }
    const std::string_view word = argv[1];
    for (const command &candidate : kCommands) {
        if (candidate.word == word)
            return candidate.run(argc, argv);
    }
    print_err("unknown command '%s'\n", argv[1]);
    print_usage();
    return 2;
}

} // namespace

int run_command_words(int argc, char **argv)
{
    return dispatch(argc, argv);
}

uint32_t json_options(int argc, char **argv)
{
    uint32_t options = 0;
    for (int i = 2; i < argc; ++i) {
        const std::string_view word = argv[i];
        if (word == "--long")
            options |= KESTAL_JSON_LONG;
        else if (word == "--ascii")
            options |= KESTAL_JSON_ASCII;
    }
    return options;
}

uint32_t census_facts(uint32_t json_options)
{
    return json_options & KESTAL_JSON_LONG ? KESTAL_CENSUS_PLACEMENT : 0;
}

void print_usage()
{
    write_out(kUsage);
}

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
