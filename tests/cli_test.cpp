// kestal-cli as a black box: words in; stdout, stderr and the exit code out, byte for byte.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <string>
#include <string_view>
#include <vector>

#include "test_support.h"

namespace {

constexpr char kUsage[] = "tinsmere-kestal CLI\n"
                          "usage:\n"
                          "  kestal-cli list                         list top-level windows (JSON)\n"
                          "  kestal-cli pin <hwnd> [0|1]             set/clear always-on-top\n"
                          "  kestal-cli opacity <hwnd> <20..100>     set opacity\n"
                          "  kestal-cli test                         self-test roundtrip\n"
                          "  kestal-cli lasterror                    print last error\n";

std::string flag_error(const std::string &flag)
{
    return "error: pin: the flag '" + flag +
           "' is not a number: give 1 or on to pin the window, 0 or off to release it, or toggle to flip it\n";
}

struct cli_case {
    std::vector<std::string> args;
    std::string out;
    std::string err;
    DWORD exit_code;
};

std::string joined(const std::vector<std::string> &args)
{
    std::string text = "kestal-cli";
    for (const std::string &arg : args)
        text += " '" + arg + "'";
    return text;
}

void expect_runs(const cli_case &c)
{
    SCOPED_TRACE(joined(c.args));
    kt::run_result run = kt::run_cli(c.args);
    EXPECT_EQ(run.out, c.out);
    EXPECT_EQ(run.err, c.err);
    EXPECT_EQ(run.exit_code, c.exit_code);
}

// Every command word of the command line, as a person types it.
const std::string kCommandWords[] = {"list",   "pin",    "opacity",  "test",     "lasterror", "help",
                                     "watch",  "clickthrough", "reset", "keep",   "move",      "resize",
                                     "minimize", "maximize", "restore", "activate", "close",  "monitors",
                                     "snap",     "send",     "--version"};

const std::string kSelectorForms[] = {"active", "exe:NAME", "title:TEXT", "class:NAME", "pid:N"};

bool names(const std::string &text, const std::string &word)
{
    return text.find(word) != std::string::npos;
}

// The usage text comes first, unchanged; after it the rest of what there is.
TEST(Cli, help_words_and_no_word_print_the_usage_text_then_every_command_selector_and_option)
{
    const std::vector<std::string> ways[] = {{}, {"help"}, {"-h"}, {"--help"}, {"/?"}};
    const kt::run_result first = kt::run_cli({});
    for (const std::vector<std::string> &args : ways) {
        SCOPED_TRACE(joined(args));
        kt::run_result run = kt::run_cli(args);
        EXPECT_EQ(run.err, "");
        EXPECT_EQ(run.exit_code, 0u);
        EXPECT_EQ(run.out, first.out);
    }
    const std::string &text = first.out;
    ASSERT_GT(text.size(), std::size(kUsage) - 1);
    EXPECT_EQ(text.substr(0, std::size(kUsage) - 1), kUsage);
    const std::string more = text.substr(std::size(kUsage) - 1);
    for (const std::string &word : kCommandWords) {
        if (word != "list" && word != "test" && word != "lasterror") {
            EXPECT_TRUE(names(more, word == "--version" ? word : "kestal-cli " + word + " ")) << word << "\n" << text;
        }
    }
    for (const std::string &form : kSelectorForms)
        EXPECT_TRUE(names(more, "  " + form)) << form << "\n" << text;
    for (const std::string option : {"--long", "--ascii", "--interval", "--count", "--version", "toggle", "up|down",
                                     "--at-logon", "--stop", "--not-at-logon", "--pause", "--resume", "--reload",
                                     "--reapply", "kestal-cli help COMMAND"})
        EXPECT_TRUE(names(more, option)) << option << "\n" << text;
    EXPECT_EQ(text.back(), '\n');
}

// Each way of asking gives the same text: the command's usage first, then
// what it must name and an example; also with other words beside the help
// word, so that nothing runs instead (watch would watch, pin would fail).
TEST(Cli, each_command_has_help_of_its_own_however_it_is_asked_for)
{
    struct help_case {
        std::string command;
        std::vector<std::string> named;
    };
    const std::vector<std::string> window = {"exe:NAME", "title:TEXT", "class:NAME", "pid:N", "active", "0x"};
    auto with_window = [&](std::vector<std::string> more) {
        more.insert(more.end(), window.begin(), window.end());
        return more;
    };
    const help_case cases[] = {
        {"list", {"--long", "--ascii"}},
        {"pin", with_window({"[0|1]", "on", "off", "toggle"})},
        {"opacity", with_window({"20..100", "up", "down"})},
        {"test", {"PASS"}},
        {"lasterror", {"no error"}},
        {"help", {"-h", "--help", "/?", "COMMAND"}},
        {"watch", {"--interval", "--count", "--long", "--ascii", "JSON Lines"}},
        {"clickthrough", with_window({"on", "off", "toggle"})},
        {"reset", with_window({})},
        // Every form of keep, every member of its rules file, the keys and the log.
        {"keep", {"keep RULES\n", "keep RULES --at-logon", "keep --not-at-logon", "keep --stop", "keep --pause",
                  "keep --resume", "keep --reload", "keep --reapply", "\"rules\"", "\"keys\"", "  match ",
                  "  except ", "  pin ", "  opacity ", "  clickthrough ", "  border ", "  tray ", "F1-F24",
                  "NumpadAdd", "RULES.log", "reapply active"}},
        {"move", with_window({"<x> <y>"})},
        {"resize", with_window({"<width> <height>", "stderr"})},
        {"minimize", with_window({})},
        {"maximize", with_window({})},
        {"restore", with_window({})},
        {"activate", with_window({})},
        {"close", with_window({})},
        {"monitors", {"work_width", "dpi", "primary", "physical pixels"}},
        {"snap", with_window({"left", "right", "top", "bottom", "top-left", "top-right", "bottom-left",
                              "bottom-right", "center", "full"})},
        {"send", with_window({"next", "prev", "N", "maximized"})},
        {"--version", {"version"}},
    };
    ASSERT_EQ(std::size(cases), std::size(kCommandWords));
    const kt::run_result overview = kt::run_cli({"help"});
    std::vector<std::string> seen;
    for (const help_case &c : cases) {
        SCOPED_TRACE(c.command);
        const kt::run_result help = kt::run_cli({"help", c.command});
        EXPECT_EQ(help.err, "");
        EXPECT_EQ(help.exit_code, 0u);
        EXPECT_EQ(help.out.rfind("usage: kestal-cli " + c.command, 0), 0u) << help.out;
        EXPECT_NE(help.out, overview.out);
        // An example: a command line of its own after the usage.
        const size_t after_usage = help.out.find("\n\n");
        ASSERT_NE(after_usage, std::string::npos) << help.out;
        EXPECT_TRUE(names(help.out.substr(after_usage), "\n  kestal-cli " + c.command)) << help.out;
        for (const std::string &word : c.named)
            EXPECT_TRUE(names(help.out, word)) << word << "\n" << help.out;
        for (const std::string &other : seen)
            EXPECT_NE(help.out, other);
        seen.push_back(help.out);
        const std::vector<std::string> ways[] = {
            {c.command, "--help"}, {c.command, "-h"}, {c.command, "/?"}, {"-h", c.command}, {"--help", c.command},
            {"/?", c.command},     {c.command, "0", "--help"}, {c.command, "--lnog", "extra", "-h"}};
        for (const std::vector<std::string> &args : ways) {
            // "help" reads the one word after it as the command.
            if (args[0] == args[1] || (c.command == "help" && args.size() > 2))
                continue;
            expect_runs({args, help.out, "", 0});
        }
    }
}

TEST(Cli, help_for_a_word_that_is_no_command_names_it_and_shows_every_command)
{
    const kt::run_result overview = kt::run_cli({"help"});
    expect_runs({{"help", "frobnicate"}, overview.out,
                 "error: help: 'frobnicate' is no command of kestal-cli: the commands are listed below\n", 2});
}

// A stdout that takes no bytes: a file opened for reading only, and a pipe
// whose reader has gone. A command that would have succeeded fails instead;
// one that failed anyway keeps its own exit code and its own error line.
TEST(Cli, output_that_cannot_be_written_is_a_failure_not_a_success)
{
    wchar_t directory[MAX_PATH], path[MAX_PATH];
    GetTempPathW(MAX_PATH, directory);
    ASSERT_TRUE(GetTempFileNameW(directory, L"kst", 0, path));
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE read_only = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                   &inherit, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(read_only, INVALID_HANDLE_VALUE);
    HANDLE pipe_read, pipe_write;
    ASSERT_TRUE(CreatePipe(&pipe_read, &pipe_write, &inherit, 0));
    CloseHandle(pipe_read);

    const std::string write_error = "error: writing to stdout failed: ";
    const cli_case cases[] = {
        {{"list"}, "", write_error, 1},
        {{"help"}, "", write_error, 1},
        {{"lasterror"}, "", write_error, 1},
        {{"pin", "0"}, "", "error: set_topmost: null hwnd\n", 1},
        {{"frobnicate"}, "", "unknown command 'frobnicate'\n", 2},
    };
    for (HANDLE sink : {read_only, pipe_write}) {
        SCOPED_TRACE(sink == read_only ? "file opened for reading" : "pipe without a reader");
        for (const cli_case &c : cases) {
            SCOPED_TRACE(joined(c.args));
            kt::run_result run = kt::run_cli(c.args, {}, sink);
            EXPECT_EQ(run.exit_code, c.exit_code);
            if (c.err == write_error) {
                EXPECT_EQ(run.err.compare(0, write_error.size(), write_error), 0) << run.err;
                EXPECT_EQ(run.err.find('\n'), run.err.size() - 1) << "one line: " << run.err;
            } else {
                EXPECT_EQ(run.err, c.err);
            }
        }
    }
    CloseHandle(pipe_write);
    CloseHandle(read_only);
    DeleteFileW(path);
}

TEST(Cli, words_that_are_not_commands_are_named_on_stderr_and_exit_2)
{
    // Matching is exact: no case folding, no prefixes, no trimming.
    // Words outside the ANSI code page come back as written, in UTF-8.
    for (const std::string word :
         {"frobnicate", "", "LIST", "Help", "lis", "list ", "--list", "version", "-v", "--VERSION",
          "Caf\xC3\xA9 \xE6\xBC\xA2 \xF0\x9F\x98\x80"})
        expect_runs({{word}, kUsage, "unknown command '" + word + "'\n", 2});
}

// After a usage error: the usage text for the commands that it lists, else
// the command's own usage, which opens its help, and not the whole help.
void expect_usage_of(const std::string &command, const std::string &out)
{
    if (command == "list" || command == "pin" || command == "opacity") {
        EXPECT_EQ(out, kUsage);
        return;
    }
    const std::string help = kt::run_cli({"help", command}).out;
    const std::string usage = help.substr(0, help.find("\n\n") + 1);
    EXPECT_EQ(out.rfind("usage: kestal-cli " + command, 0), 0u) << out;
    EXPECT_EQ(out.rfind(usage, 0), 0u) << out;
    EXPECT_NE(out, help);
    EXPECT_TRUE(names(out, "kestal-cli help " + command)) << out;
}

// Words that a command does not take, each refused with exit code 2 and a
// line that names it, before any window is touched: 0x1F names no window,
// so a command that ran anyway would fail with exit code 1 instead.
TEST(Cli, words_a_command_does_not_take_are_refused_by_name_with_exit_2)
{
    struct refusal {
        std::vector<std::string> args;
        std::string err; // the start of the one error line
    };
    const std::string forms = "is no selector (active, exe:NAME, title:TEXT, class:NAME or pid:N), nor a window "
                              "handle: give a handle that list prints, a selector, or pick to click the window\n";
    const refusal cases[] = {
        // Options that the command does not have.
        {{"watch", "--foo"}, "error: watch: '--foo' is no option of watch (--interval, --count, --long, --ascii)\n"},
        {{"watch", "--count", "1", "-long"}, "error: watch: '-long' is no option of watch ("},
        {{"list", "--lnog"}, "error: list: '--lnog' is no option of list (--long, --ascii)\n"},
        {{"list", "extra", "-x"}, "error: list: '-x' is no option of list ("},
        {{"move", "0x1F", "1", "2", "--force"}, "error: move: '--force' is no option of move, which takes none\n"},
        {{"close", "--now", "0x1F"}, "error: close: '--now' is no option of close, which takes none\n"},
        {{"reset", "--all"}, "error: reset: '--all' is no option of reset, which takes none\n"},
        {{"--version", "--long"}, "error: --version: '--long' is no option of --version, which takes none\n"},
        // A word more than the command takes.
        {{"move", "0x1F", "1", "2", "3"}, "error: move: '3' is one word too many: "},
        {{"resize", "0x1F", "10", "10", "10"}, "error: resize: '10' is one word too many: "},
        {{"minimize", "0x1F", "extra"}, "error: minimize: 'extra' is one word too many: "},
        {{"activate", "title:My", "notes"}, "error: activate: 'notes' is one word too many: "},
        {{"clickthrough", "0x1F", "on", "extra"}, "error: clickthrough: 'extra' is one word too many: "},
        {{"reset", "0x1F", "extra"}, "error: reset: 'extra' is one word too many: "},
        {{"watch", "extra"}, "error: watch: 'extra' is one word too many: "},
        {{"--version", "extra"}, "error: --version: 'extra' is one word too many: "},
        // A window word that is neither a handle nor a selector.
        {{"pin", "notepad"}, "error: pin: 'notepad' " + forms},
        {{"pin", "title:"}, "error: pin: 'title:' " + forms},
        {{"pin", "pid:abc"}, "error: pin: 'pid:abc' " + forms},
        {{"pin", "pid:12x"}, "error: pin: 'pid:12x' " + forms},
        {{"pin", "pid:4294967296"}, "error: pin: 'pid:4294967296' " + forms},
        {{"pin", "Active"}, "error: pin: 'Active' " + forms},
        {{"pin", "window:1"}, "error: pin: 'window:1' " + forms},
        {{"pin", " exe:notepad.exe"}, "error: pin: ' exe:notepad.exe' " + forms},
        {{"pin", ""}, "error: pin: '' " + forms},
        {{"pin", "window", "0"}, "error: pin: 'window' " + forms},
        {{"opacity", "notepad", "50"}, "error: opacity: 'notepad' " + forms},
        {{"opacity", "class:", "up"}, "error: opacity: 'class:' " + forms},
        {{"clickthrough", "exe:"}, "error: clickthrough: 'exe:' " + forms},
        {{"reset", "notepad"}, "error: reset: 'notepad' " + forms},
        {{"move", "window", "1", "2"}, "error: move: 'window' " + forms},
        {{"close", "note\x1bpad"}, "error: close: 'note\\u001bpad' " + forms},
    };
    for (const refusal &c : cases) {
        SCOPED_TRACE(joined(c.args));
        kt::run_result run = kt::run_cli(c.args);
        EXPECT_EQ(run.exit_code, 2u);
        EXPECT_EQ(run.err.rfind(c.err, 0), 0u) << run.err;
        EXPECT_EQ(run.err.find('\n'), run.err.size() - 1) << "one line: " << run.err;
        expect_usage_of(c.args[0] == "--version" ? "--version" : c.args[0], run.out);
    }
}

TEST(Cli, lasterror_in_a_run_of_its_own_prints_no_error)
{
    expect_runs({{"lasterror"}, "no error\n", "", 0});
}

TEST(Cli, list_prints_the_listing_as_one_line_and_ignores_further_words)
{
    const std::wstring title = L"cli listing witness";
    HWND window = kt::make_window({title});
    ASSERT_TRUE(window);
    for (const std::vector<std::string> &args : {std::vector<std::string>{"list"}, {"list", "extra", "words"}}) {
        SCOPED_TRACE(joined(args));
        kt::run_result run = kt::run_cli(args);
        EXPECT_EQ(run.err, "");
        EXPECT_EQ(run.exit_code, 0u);
        ASSERT_GE(run.out.size(), 3u);
        ASSERT_EQ(run.out.back(), '\n');
        const std::string line = run.out.substr(0, run.out.size() - 1);
        EXPECT_EQ(line.find_first_of("\r\n"), std::string::npos) << "one line, \"\\n\" only";
        auto listing = kt::parse_listing(line.c_str());
        ASSERT_TRUE(listing);
        const kt::listed_window *entry = kt::find_listed(*listing, window);
        ASSERT_NE(entry, nullptr) << line;
        EXPECT_EQ(entry->title, kt::narrow(title));
        EXPECT_EQ(entry->exe, "cli_tests.exe");
    }
    DestroyWindow(window);
    kt::pump();
}

// What `list` prints with its words: the JSON of one line, without "\n".
std::string listing_line(const std::vector<std::string> &args)
{
    SCOPED_TRACE(joined(args));
    kt::run_result run = kt::run_cli(args);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.exit_code, 0u);
    if (run.out.empty() || run.out.back() != '\n') {
        ADD_FAILURE() << "no line: " << run.out;
        return "";
    }
    return run.out.substr(0, run.out.size() - 1);
}

// Titles that JSON must escape, text beyond ASCII in and beyond the BMP, and
// a lone surrogate, which the listing writes as U+FFFD.
TEST(Cli, list_ascii_is_pure_ascii_and_reads_as_the_same_listing)
{
    const std::wstring titles[] = {
        L"say \"hi\" \\ /slash\t\x01\x1f\x7f",
        L"Caf\u00e9 \u2014 Notes",
        L"\u7a93 \u0413\u0440\u0443\u0437",
        L"\U0001F600 and \U0001D11E",
        std::wstring(L"lone \xD800 half"),
    };
    std::vector<HWND> windows;
    for (const std::wstring &title : titles) {
        windows.push_back(kt::make_window({title}));
        ASSERT_TRUE(windows.back());
    }
    const std::string plain = listing_line({"list"});
    auto plain_listing = kt::parse_listing(plain.c_str());
    ASSERT_TRUE(plain_listing);
    for (const std::vector<std::string> &args :
         {std::vector<std::string>{"list", "--ascii"}, {"list", "extra", "--ascii", "words"}}) {
        SCOPED_TRACE(joined(args));
        const std::string ascii = listing_line(args);
        for (size_t i = 0; i < ascii.size(); ++i)
            ASSERT_LT(static_cast<unsigned char>(ascii[i]), 0x80) << "byte " << i << " of " << ascii;
        auto ascii_listing = kt::parse_listing(ascii.c_str());
        ASSERT_TRUE(ascii_listing);
        for (size_t i = 0; i < windows.size(); ++i) {
            SCOPED_TRACE(kt::narrow(titles[i]));
            const kt::listed_window *escaped = kt::find_listed(*ascii_listing, windows[i]);
            const kt::listed_window *unescaped = kt::find_listed(*plain_listing, windows[i]);
            ASSERT_TRUE(escaped && unescaped);
            EXPECT_EQ(escaped->title, unescaped->title);
            EXPECT_EQ(escaped->exe, unescaped->exe);
            EXPECT_EQ(escaped->pinned, unescaped->pinned);
            EXPECT_EQ(escaped->opacity, unescaped->opacity);
        }
        // Beyond the BMP: one surrogate pair, whatever the case of its hex digits.
        std::string folded = ascii;
        std::transform(folded.begin(), folded.end(), folded.begin(), [](unsigned char c) { return std::tolower(c); });
        EXPECT_NE(folded.find("\\ud83d\\ude00 and \\ud834\\udd1e"), std::string::npos) << ascii;
    }
    for (HWND window : windows)
        DestroyWindow(window);
    kt::pump();
}

TEST(Cli, list_long_adds_the_members_and_combines_with_ascii_in_either_order)
{
    HWND window = kt::make_window({L"long Gr\u00fc\u00dfe \U0001F600"});
    ASSERT_TRUE(window);
    RECT rect = {};
    ASSERT_TRUE(GetWindowRect(window, &rect));
    std::vector<kt::long_window> seen;
    for (const std::vector<std::string> &args : {std::vector<std::string>{"list", "--long"},
                                                 {"list", "--long", "--ascii"},
                                                 {"list", "--ascii", "more", "--long"}}) {
        SCOPED_TRACE(joined(args));
        const std::string line = listing_line(args);
        auto listing = kt::parse_long_listing(line.c_str());
        ASSERT_TRUE(listing) << line;
        for (const kt::long_window &entry : *listing) {
            if (entry.listed.hwnd == reinterpret_cast<intptr_t>(window))
                seen.push_back(entry);
        }
    }
    ASSERT_EQ(seen.size(), 3u);
    for (const kt::long_window &entry : seen) {
        EXPECT_EQ(entry.listed.title, kt::narrow(L"long Gr\u00fc\u00dfe \U0001F600"));
        EXPECT_EQ(entry.listed.exe, "cli_tests.exe");
        EXPECT_EQ(entry.pid, static_cast<int64_t>(GetCurrentProcessId()));
        EXPECT_EQ(entry.class_name, "KestalTestWindow");
        EXPECT_EQ(entry.x, rect.left);
        EXPECT_EQ(entry.y, rect.top);
        EXPECT_EQ(entry.width, rect.right - rect.left);
        EXPECT_EQ(entry.height, rect.bottom - rect.top);
        EXPECT_EQ(entry.state, "normal");
    }
    DestroyWindow(window);
    kt::pump();
}

// Arguments the commands reject before any window is touched.
TEST(Cli, setter_commands_without_a_usable_handle_or_percentage_fail)
{
    const cli_case cases[] = {
        {{"pin"}, kUsage, "", 2},
        {{"opacity"}, kUsage, "", 2},
        {{"opacity", "131072"}, kUsage, "", 2},
        {{"pin", "0"}, "", "error: set_topmost: null hwnd\n", 1},
        {{"pin", "0", "0"}, "", "error: set_topmost: null hwnd\n", 1},
        // The flag is judged before the handle.
        {{"pin", "0", "true"}, kUsage, flag_error("true"), 2},
        {{"opacity", "0", "50"}, "", "error: set_opacity: null hwnd\n", 1},
        // Handles are decimal, or hexadecimal after 0x: 0x1F names no window.
        {{"pin", "0x1F"}, "", "error: SetWindowPos(topmost) failed (win32 error 1400): Invalid window handle.\r\n\n", 1},
        {{"opacity", "0x1F", "50"},
         "",
         "error: SetWindowLongPtr(WS_EX_LAYERED) failed (win32 error 1400): Invalid window handle.\r\n\n",
         1},
        // The percentage is judged before the handle.
        {{"opacity", "0", "10"}, "", "error: set_opacity: pct out of range 20-100 (got 10)\n", 1},
    };
    for (const cli_case &c : cases)
        expect_runs(c);
}

class CliOnWindow : public ::testing::Test {
protected:
    static void SetUpTestSuite() { child_started = kt::start_child(child); }
    static void TearDownTestSuite() { kt::stop_child(child); }

    static inline kt::child_windows child;
    static inline bool child_started = false;
};

// One window of another process through a sequence of commands; after each,
// the library's own listing must show exactly the state the command left.
TEST_F(CliOnWindow, pin_and_opacity_change_the_window_as_the_listing_shows)
{
    ASSERT_TRUE(child_started);
    HWND window = kt::child_make_window(child, "-", "cli setter target");
    ASSERT_TRUE(window);
    const std::string h = kt::handle_text(window);
    struct step {
        std::vector<std::string> args;
        std::string out;
        std::string err;
        DWORD exit_code;
        bool pinned;
        int64_t opacity;
    };
    const step steps[] = {
        {{"pin", h, "5"}, "ok\n", "", 0, true, 100},
        {{"pin", h, "0"}, "ok\n", "", 0, false, 100},
        {{"pin", h, "1", "extra"}, "ok\n", "", 0, true, 100},
        {{"pin", h, "0"}, "ok\n", "", 0, false, 100},
        {{"pin", h}, "ok\n", "", 0, true, 100},
        // A flag that is no number would read as 0 and release the window;
        // only the words of the controls have a meaning.
        {{"pin", h, "true"}, kUsage, flag_error("true"), 2, true, 100},
        {{"pin", h, "On"}, kUsage, flag_error("On"), 2, true, 100},
        {{"pin", h, "yes"}, kUsage, flag_error("yes"), 2, true, 100},
        {{"pin", h, "x"}, kUsage, flag_error("x"), 2, true, 100},
        {{"pin", h, ""}, kUsage, flag_error(""), 2, true, 100},
        {{"pin", h, " "}, kUsage, flag_error(" "), 2, true, 100},
        {{"pin", h, "-x"}, kUsage, flag_error("-x"), 2, true, 100},
        {{"pin", h, "+"}, kUsage, flag_error("+"), 2, true, 100},
        // Numbers keep atoi's reading: blanks and a sign, then digits; the rest is ignored.
        {{"pin", h, " -0"}, "ok\n", "", 0, false, 100},
        {{"pin", h, "-1"}, "ok\n", "", 0, true, 100},
        {{"pin", h, "0x1"}, "ok\n", "", 0, false, 100},
        {{"pin", h, "\t+2yes"}, "ok\n", "", 0, true, 100},
        {{"opacity", h, "60"}, "ok\n", "", 0, true, 60},
        {{"opacity", h, "10"}, "", "error: set_opacity: pct out of range 20-100 (got 10)\n", 1, true, 60},
        {{"opacity", h, "abc"}, "", "error: set_opacity: pct out of range 20-100 (got 0)\n", 1, true, 60},
        {{"opacity", h, "101"}, "", "error: set_opacity: pct out of range 20-100 (got 101)\n", 1, true, 60},
        // strtoll's reading: leading blanks and a sign pass, trailing text is ignored.
        {{"opacity", " +" + h + "x", "35", "extra"}, "ok\n", "", 0, true, 35},
        {{"opacity", h, "100"}, "ok\n", "", 0, true, 100},
        {{"pin", h, "0"}, "ok\n", "", 0, false, 100},
    };
    for (const step &s : steps) {
        expect_runs({s.args, s.out, s.err, s.exit_code});
        SCOPED_TRACE(joined(s.args));
        auto listing = kt::list_now();
        const kt::listed_window *entry = kt::find_listed(listing, window);
        ASSERT_NE(entry, nullptr);
        EXPECT_EQ(entry->pinned, s.pinned);
        EXPECT_EQ(entry->opacity, s.opacity);
    }
    EXPECT_FALSE(GetWindowLongPtrW(window, GWL_EXSTYLE) & WS_EX_LAYERED);
    kt::child_command(child, "destroy " + h);
}

// The system's message is passed on as the system wrote it, line break
// included; only the line the CLI adds ends in a bare "\n".
TEST_F(CliOnWindow, a_failed_system_call_is_reported_with_the_systems_message)
{
    ASSERT_TRUE(child_started);
    HWND window = kt::child_make_window(child, "-", "cli vanishing target");
    ASSERT_TRUE(window);
    const std::string h = kt::handle_text(window);
    ASSERT_EQ(kt::child_command(child, "destroy " + h), "ok");
    const cli_case cases[] = {
        {{"pin", h}, "", "error: SetWindowPos(topmost) failed (win32 error 1400): Invalid window handle.\r\n\n", 1},
        {{"opacity", h, "60"},
         "",
         "error: SetWindowLongPtr(WS_EX_LAYERED) failed (win32 error 1400): Invalid window handle.\r\n\n",
         1},
    };
    for (const cli_case &c : cases)
        expect_runs(c);
}


// ---- selectors in place of a handle ---------------------------------------------

bool topmost(HWND window)
{
    return (GetWindowLongPtrW(window, GWL_EXSTYLE) & WS_EX_TOPMOST) != 0;
}

int64_t opacity_of(HWND window)
{
    const std::vector<kt::listed_window> listing = kt::list_now();
    const kt::listed_window *entry = kt::find_listed(listing, window);
    return entry ? entry->opacity : -1;
}

// A helper child under a file name beyond ASCII, with two windows of a class
// named beyond ASCII, and a window of another program that the same words
// must not reach.
class CliSelectors : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(CopyFileW(kt::program_path(L"kestal-test-windows.exe").c_str(), copy_.c_str(), FALSE))
            << "win32 error " << GetLastError();
        ASSERT_TRUE(kt::start_child(named_, copy_));
        ASSERT_TRUE(kt::start_child(other_));
        for (const char *title : {"Café Überblick 窓 one", "CAFÉ ÜBERBLICK 窓 two"}) {
            windows_.push_back(kt::child_make_window(named_, "class=KestalSélecteur_窓", title));
            ASSERT_TRUE(windows_.back());
        }
        bystander_ = kt::child_make_window(other_, "class=KestalBystander", "bystander café");
        ASSERT_TRUE(bystander_);
    }
    void TearDown() override
    {
        kt::stop_child(named_);
        kt::stop_child(other_);
        DeleteFileW(copy_.c_str());
    }

    std::wstring copy_ = kt::program_path(L"kestal-sélecteur-窓.exe");
    kt::child_windows named_, other_;
    std::vector<HWND> windows_;
    HWND bystander_ = nullptr;
};

TEST_F(CliSelectors, each_form_acts_on_every_listed_window_it_matches_and_on_no_other)
{
    const std::string pid = std::to_string(named_.pid);
    struct step {
        std::vector<std::string> args;
        bool pinned;
        int64_t opacity;
    };
    const step steps[] = {
        {{"pin", "exe:KESTAL-SÉLECTEUR-窓.EXE"}, true, 100},
        {{"opacity", "class:kestalsélecteur_窓", "40"}, true, 40},
        {{"pin", "pid:" + pid, "0"}, false, 40},
        {{"opacity", "title:café überblick 窓", "100"}, false, 100},
        {{"pin", "title:ÜBERBLICK", "1", "extra"}, true, 100},
        {{"pin", "pid:" + pid, "0"}, false, 100},
    };
    for (const step &s : steps) {
        expect_runs({s.args, "ok\n", "", 0});
        SCOPED_TRACE(joined(s.args));
        for (HWND window : windows_) {
            EXPECT_EQ(topmost(window), s.pinned);
            EXPECT_EQ(opacity_of(window), s.opacity);
        }
        EXPECT_FALSE(topmost(bystander_));
        EXPECT_EQ(opacity_of(bystander_), 100);
    }
}

// A name without its extension is the likeliest miss of exe:, so that one
// says what to give instead.
TEST_F(CliSelectors, a_selector_without_a_match_fails_and_names_itself)
{
    const cli_case cases[] = {
        {{"pin", "title:no such window, Ωmega"}, "", "error: no window matches 'title:no such window, Ωmega'\n", 1},
        {{"opacity", "exe:kestal-sélecteur", "50"},
         "",
         "error: no window matches 'exe:kestal-sélecteur': exe: takes the program's file name with its extension, "
         "such as 'exe:kestal-sélecteur.exe'\n",
         1},
        {{"pin", "exe:kestal-sélecteur.com"}, "", "error: no window matches 'exe:kestal-sélecteur.com'\n", 1},
        {{"pin", "class:KestalSélecteur"}, "", "error: no window matches 'class:KestalSélecteur'\n", 1},
        {{"pin", "pid:4294967295"}, "", "error: no window matches 'pid:4294967295'\n", 1},
    };
    for (const cli_case &c : cases)
        expect_runs(c);
    for (HWND window : windows_)
        EXPECT_FALSE(topmost(window));
}

// One matched program has stopped answering: the others still get the
// change, and each failure is its own line with its window's handle.
TEST_F(CliSelectors, failures_among_the_matches_are_each_reported_and_the_rest_still_change)
{
    kt::child_windows hung;
    ASSERT_TRUE(kt::start_child(hung));
    HWND stuck = kt::child_make_window(hung, "-", "Café Überblick 窓 hung");
    ASSERT_TRUE(stuck);
    ASSERT_EQ(kt::child_command(hung, "hang 9000"), "ok");

    kt::run_result run = kt::run_cli({"pin", "title:café überblick"});
    EXPECT_EQ(run.exit_code, 1u);
    EXPECT_EQ(run.out, "");
    const std::string expected = "error: " + kt::handle_text(stuck) + ": SendMessageTimeout(WM_NULL) failed (win32 error 1460)";
    EXPECT_EQ(run.err.compare(0, expected.size(), expected), 0) << run.err;
    EXPECT_EQ(run.err.find("error: ", 1), std::string::npos) << "one failure: " << run.err;
    for (HWND window : windows_)
        EXPECT_TRUE(topmost(window));
    EXPECT_FALSE(topmost(stuck));
    kt::stop_child(hung);
}

// The window must belong to a program that takes messages while the
// command runs, so it is the helper child's.
TEST_F(CliOnWindow, active_is_the_window_brought_to_the_foreground)
{
    ASSERT_TRUE(child_started);
    HWND window = kt::child_make_window(child, "-", "brought to the foreground");
    HWND other = kt::child_make_window(child, "-", "left in the background");
    ASSERT_TRUE(window && other);
    ASSERT_EQ(kt::child_command(child, "front " + kt::handle_text(window)), "ok");

    expect_runs({{"pin", "active"}, "ok\n", "", 0});
    EXPECT_TRUE(topmost(window));
    expect_runs({{"opacity", "active", "45"}, "ok\n", "", 0});
    EXPECT_EQ(opacity_of(window), 45);
    expect_runs({{"pin", "active", "0"}, "ok\n", "", 0});
    EXPECT_FALSE(topmost(window));
    EXPECT_FALSE(topmost(other));
    EXPECT_EQ(opacity_of(other), 100);
    kt::child_command(child, "destroy " + kt::handle_text(window));
    kt::child_command(child, "destroy " + kt::handle_text(other));
}

// ---- a console as the reader ---------------------------------------------------

// What the console helper shows after running `args` on a console screen:
// "exit N", then the screen's lines.
std::string console_screen(const std::vector<std::string> &args)
{
    kt::run_result run = kt::run_program(kt::program_path(L"kestal-test-console.exe"), args);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.exit_code, 0u);
    return run.out;
}

std::string to_hex(std::string_view bytes)
{
    std::string hex;
    for (unsigned char byte : bytes) {
        constexpr char kDigits[] = "0123456789abcdef";
        hex += kDigits[byte >> 4];
        hex += kDigits[byte & 15];
    }
    return hex;
}

// The console decodes bytes with an OEM code page, where "Café" would read
// "Caf├⌐": the screen must show the very characters of the title.
TEST(CliOnConsole, a_console_shows_a_listed_title_character_for_character)
{
    const std::wstring title = L"Café — Notes 漢字 \U0001F600 console witness";
    HWND window = kt::make_window({title});
    ASSERT_TRUE(window);
    const std::string screen = console_screen({"screen", kt::narrow(kt::program_path(L"kestal-cli.exe")), "list"});
    const std::string object = "{\"hwnd\":" + kt::handle_text(window) + ",\"title\":\"" + kt::narrow(title) + "\",";
    EXPECT_EQ(screen.rfind("exit 0\n[{", 0), 0u) << screen;
    EXPECT_NE(screen.find(object), std::string::npos) << screen;
    DestroyWindow(window);
    kt::pump();
}

// A character may reach the output layer in pieces; the console still shows
// it whole, and what is still unfinished at the end shows as U+FFFD. A file
// gets the very bytes, pieces and all.
TEST(CliOnConsole, characters_written_in_pieces_reach_a_console_whole_and_a_file_unchanged)
{
    struct piece_case {
        std::vector<std::string> pieces;
        std::string screen;
    };
    const piece_case cases[] = {
        {{"Caf\xC3", "\xA9 \xE2\x80", "\x94 \xE6\xBC\xA2", "\xF0\x9F\x98", "\x80\n"},
         "Caf\xC3\xA9 \xE2\x80\x94 \xE6\xBC\xA2\xF0\x9F\x98\x80\n"},
        {{"\xF0", "\x9F", "\x98", "\x80", "!\n"}, "\xF0\x9F\x98\x80!\n"},
        // One write longer than the layer's unit of conversion, split inside a character.
        {{std::string(4094, '.') + "\xE6\xBC\xA2\n"}, std::string(4094, '.') + "\xE6\xBC\xA2\n"},
        {{"end \xF0\x9F"}, "end \xEF\xBF\xBD\n"},
    };
    for (const piece_case &c : cases) {
        std::vector<std::string> hex_pieces;
        std::string bytes;
        for (const std::string &piece : c.pieces) {
            hex_pieces.push_back(to_hex(piece));
            bytes += piece;
        }
        SCOPED_TRACE(to_hex(bytes.substr(0, 64)));
        for (const std::string stream : {"out", "err"}) {
            SCOPED_TRACE(stream);
            std::vector<std::string> args = {"screen", kt::narrow(kt::program_path(L"kestal-test-console.exe")),
                                             "pieces", stream};
            args.insert(args.end(), hex_pieces.begin(), hex_pieces.end());
            EXPECT_EQ(console_screen(args), "exit 0\n" + c.screen);
        }
        std::vector<std::string> args = {"pieces", "out"};
        args.insert(args.end(), hex_pieces.begin(), hex_pieces.end());
        kt::run_result run = kt::run_program(kt::program_path(L"kestal-test-console.exe"), args);
        EXPECT_EQ(run.out, bytes);
        EXPECT_EQ(run.exit_code, 0u);
    }
}

// A console handle that takes no text, such as the console's input: the
// command that would have succeeded fails, as with a full disk.
TEST(CliOnConsole, a_console_that_takes_no_text_is_a_failure_not_a_success)
{
    const std::string screen =
        console_screen({"screen", "--stdout-on-input", kt::narrow(kt::program_path(L"kestal-cli.exe")), "help"});
    EXPECT_EQ(screen.rfind("exit 1\nerror: writing to stdout failed: WriteConsoleW failed (win32 error ", 0), 0u)
        << screen;
}

} // namespace
