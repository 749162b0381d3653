// The self-test: the "test" command end to end, its checks run on windows of
// this process, and the text probe that reads a window back from a listing.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "internal.h"
#include "json_field.h"
#include "self_test.h"
#include "test_support.h"

namespace {

constexpr char kPinned[] = "\"pinned\"";
constexpr char kOpacity[] = "\"opacity\"";

constexpr char kListPrefix[] = "  PASS list (self-window present, ";
constexpr char kListSuffix[] = " bytes)";
constexpr char kPinPass[] = "  PASS pin (set_topmost=1, readback pinned=1)";
constexpr char kUnpinPass[] = "  PASS unpin (readback pinned=0)";
constexpr char kOpacity60Pass[] = "  PASS opacity-60 (readback 60)";
constexpr char kOpacityRestorePass[] = "  PASS opacity-restore (readback 100)";
constexpr char kPinRestore[] = "  PASS pin-restore (window was originally pinned)";
constexpr char kPinStateUnpinned[] = "  PASS pin-state (originally unpinned, left unpinned)";
constexpr char kErrorPathsPass[] = "  PASS error-paths (null hwnd + out-of-range rejected)";

std::vector<std::string> split_lines(const std::string &text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

// The list line carries the listing's length, which depends on every window
// on the desktop; its form is fixed and the number must be a real length.
void expect_list_pass_line(const std::string &line)
{
    const std::string prefix = kListPrefix, suffix = kListSuffix;
    ASSERT_GT(line.size(), prefix.size() + suffix.size()) << line;
    ASSERT_EQ(line.compare(0, prefix.size(), prefix), 0) << line;
    ASSERT_EQ(line.compare(line.size() - suffix.size(), suffix.size(), suffix), 0) << line;
    std::string number = line.substr(prefix.size(), line.size() - prefix.size() - suffix.size());
    ASSERT_EQ(number.find_first_not_of("0123456789"), std::string::npos) << line;
    // The shortest listing that holds one window object is well over 50 bytes.
    EXPECT_GT(std::stoull(number), 50u) << line;
}

// The seven lines of a run in which every check passed.
void expect_all_checks_passed(const std::vector<std::string> &lines, const char *pin_state_line)
{
    ASSERT_EQ(lines.size(), 7u);
    expect_list_pass_line(lines[0]);
    const std::vector<std::string> rest(lines.begin() + 1, lines.end());
    const std::vector<std::string> expected = {kPinPass, kUnpinPass, kOpacity60Pass, kOpacityRestorePass,
                                               pin_state_line, kErrorPathsPass};
    EXPECT_EQ(rest, expected);
}

// Runs the checks with their report going to a file that is read back.
std::string run_checks_captured(HWND window, check_tally &tally)
{
    FILE *out = tmpfile();
    if (!out) {
        ADD_FAILURE() << "tmpfile failed";
        tally = {-1, -1};
        return {};
    }
    tally = run_checks(window, out);
    fflush(out);
    rewind(out);
    std::string text;
    char buffer[4096];
    for (size_t got; (got = fread(buffer, 1, sizeof buffer, out)) > 0;)
        text.append(buffer, got);
    fclose(out);
    return text;
}

bool has_ex_style(HWND window, DWORD bits)
{
    return (static_cast<DWORD>(GetWindowLongPtrW(window, GWL_EXSTYLE)) & bits) != 0;
}

} // namespace

// ---- the command -----------------------------------------------------------

TEST(SelfTestCommand, reports_seven_passes_and_leaves_no_window_behind)
{
    kt::run_result result = kt::run_cli({"test"});
    EXPECT_EQ(result.exit_code, 0u);
    EXPECT_EQ(result.err, "");

    const std::string tally = "\n7 passed, 0 failed\n";
    ASSERT_GE(result.out.size(), tally.size()) << result.out;
    EXPECT_EQ(result.out.substr(result.out.size() - tally.size()), tally) << result.out;
    const std::string checks = result.out.substr(0, result.out.size() - tally.size());
    EXPECT_EQ(checks.back(), '\n');
    expect_all_checks_passed(split_lines(checks), kPinStateUnpinned);

    // The window was closed before the tally, and nothing of kestal-cli is
    // left pinned or translucent by the run.
    for (const kt::listed_window &entry : kt::list_now()) {
        EXPECT_NE(entry.title, "kestal selftest") << entry.hwnd;
        if (entry.exe == "kestal-cli.exe") {
            EXPECT_FALSE(entry.pinned) << entry.hwnd << " " << entry.title;
            EXPECT_EQ(entry.opacity, 100) << entry.hwnd << " " << entry.title;
        }
    }
}

// The listing carries the program's own file name next to the window's
// state, and a file name may hold braces.
TEST(SelfTestCommand, passes_under_a_file_name_that_holds_braces)
{
    const std::wstring copy = kt::program_path(L"kestal-{cli}.exe");
    ASSERT_TRUE(CopyFileW(kt::program_path(L"kestal-cli.exe").c_str(), copy.c_str(), FALSE))
        << "win32 error " << GetLastError();
    kt::run_result result = kt::run_program(copy, {"test"});
    DeleteFileW(copy.c_str());
    EXPECT_EQ(result.exit_code, 0u) << result.out;
    EXPECT_NE(result.out.find("\n7 passed, 0 failed\n"), std::string::npos) << result.out;
}

// Wine opens the X display from the Unix environment, which a Windows
// parent cannot change for its child, so this case only has meaning in the
// run that ctest starts without a display (self_test_tests_without_display).
// Windows itself always has a desktop to make the window on.
TEST(SelfTestCommand, fails_setup_alone_when_no_window_can_be_made)
{
    if (!kt::under_wine() || std::getenv("DISPLAY"))
        GTEST_SKIP() << "runs only under Wine without an X display";
    kt::run_result result = kt::run_cli({"test"});
    EXPECT_EQ(result.out, "  FAIL setup: could not create self-test window\n\n0 passed, 1 failed\n");
    EXPECT_EQ(result.exit_code, 1u);
}

// ---- the checks on a window of this process -------------------------------

TEST(SelfTestChecks, window_ends_in_the_pin_state_it_started_in)
{
    for (bool pinned_at_start : {false, true}) {
        SCOPED_TRACE(pinned_at_start ? "started pinned" : "started unpinned");
        HWND window = kt::make_window({pinned_at_start ? L"self-test pinned start" : L"self-test unpinned start"});
        ASSERT_NE(window, nullptr);
        if (pinned_at_start) {
            ASSERT_EQ(kestal_set_topmost(window, 1), 1) << kestal_last_error();
        }

        check_tally tally;
        std::string report = run_checks_captured(window, tally);
        EXPECT_EQ(tally.passed, 7);
        EXPECT_EQ(tally.failed, 0);
        expect_all_checks_passed(split_lines(report), pinned_at_start ? kPinRestore : kPinStateUnpinned);

        EXPECT_EQ(has_ex_style(window, WS_EX_TOPMOST), pinned_at_start);
        EXPECT_FALSE(has_ex_style(window, WS_EX_LAYERED));
        auto listing = kt::list_now();
        const kt::listed_window *entry = kt::find_listed(listing, window);
        ASSERT_NE(entry, nullptr);
        EXPECT_EQ(entry->pinned, pinned_at_start);
        EXPECT_EQ(entry->opacity, 100);
        DestroyWindow(window);
        kt::pump();
    }
}

TEST(SelfTestChecks, unlisted_window_fails_each_read_back_and_the_rest_still_run)
{
    // A visible window of ours keeps the listing from being empty, which
    // would pass the list check as an empty environment.
    HWND listed = kt::make_window({L"self-test listed neighbour"});
    HWND hidden = kt::make_window({L"self-test hidden", 0, WS_OVERLAPPEDWINDOW});
    ASSERT_NE(listed, nullptr);
    ASSERT_NE(hidden, nullptr);
    auto before = kt::list_now();
    ASSERT_EQ(kt::find_listed(before, hidden), nullptr);

    // The failure lines quote the last-error text, which the setters leave
    // alone when they succeed on the hidden window.
    set_error("left over");
    check_tally tally;
    std::string report = run_checks_captured(hidden, tally);
    EXPECT_EQ(report, "  FAIL list: self-window missing from output\n"
                      "  FAIL pin: set_topmost=1 readback_pinned=-2 (left over)\n"
                      "  FAIL unpin: r=1 readback_pinned=-2 (left over)\n"
                      "  FAIL opacity-60: set=1 readback=-2 (left over)\n"
                      "  FAIL opacity-restore: set=1 readback=-2 (left over)\n"
                      "  PASS pin-state (originally unpinned, left unpinned)\n"
                      "  PASS error-paths (null hwnd + out-of-range rejected)\n");
    EXPECT_EQ(tally.passed, 2);
    EXPECT_EQ(tally.failed, 5);
    DestroyWindow(hidden);
    DestroyWindow(listed);
    kt::pump();
}

// ---- reading a window back from a listing ---------------------------------

TEST(ListingProbe, reads_the_member_of_exactly_the_window_asked_for)
{
    // 1234 comes first and its digits begin with 123's.
    constexpr char kPrefixFirst[] = R"([{"hwnd":1234,"title":"a","exe":"a.exe","pinned":true,"opacity":40},)"
                                    R"({"hwnd":123,"title":"b","exe":"b.exe","pinned":false,"opacity":100}])";
    constexpr char kNegative[] = R"([{"hwnd":-42,"title":"n","exe":"n.exe","pinned":true,"opacity":77}])";
    constexpr char kMemberLater[] = R"([{"hwnd":5,"title":"a"},{"hwnd":6,"pinned":true,"opacity":30}])";
    constexpr char kColonLater[] = R"([{"hwnd":5,"pinned"},{"hwnd":6,"opacity":30}])";
    constexpr char kUnclosed[] = R"([{"hwnd":7,"title":"t","pinned":true,"opacity":55)";
    constexpr char kSpaced[] = "[{\"hwnd\":8,\"title\": \t\"s\",\"pinned\":\t true,\"opacity\": \t 42}]";
    // Titles and exe names hold any text: braces, member names, escaped
    // quotation marks and backslashes.
    constexpr char kBraces[] = R"([{"hwnd":9,"title":"a}b","exe":"{c}.exe","pinned":true,"opacity":61}])";
    constexpr char kNamesAsText[] = R"([{"hwnd":10,"title":"pinned","exe":"opacity","pinned":false,"opacity":35}])";
    constexpr char kEscapes[] = R"([{"hwnd":11,"title":"x\",\"pinned\":true,\"opacity\":99}\\","exe":"e\\",)"
                                R"("pinned":false,"opacity":25}])";

    struct probe_case {
        const char *what;
        const char *json;
        const char *handle;
        const char *member;
        int32_t expected;
    };
    const probe_case cases[] = {
        {"handle not listed", kPrefixFirst, "999", kPinned, kFieldMissing},
        {"handle only a prefix of a listed one", kPrefixFirst, "12", kOpacity, kFieldMissing},
        {"string member", kPrefixFirst, "1234", "\"title\"", kFieldIsString},
        {"true", kPrefixFirst, "1234", kPinned, 1},
        {"number", kPrefixFirst, "1234", kOpacity, 40},
        {"false, past a longer handle listed first", kPrefixFirst, "123", kPinned, 0},
        {"number, past a longer handle listed first", kPrefixFirst, "123", kOpacity, 100},
        {"negative handle", kNegative, "-42", kOpacity, 77},
        {"negative handle only a prefix", kNegative, "-4", kOpacity, kFieldMissing},
        {"member only in a later object", kMemberLater, "5", kPinned, kFieldMissing},
        {"member's colon past the object's end", kColonLater, "5", kPinned, kFieldMissing},
        {"member of the later object", kMemberLater, "6", kOpacity, 30},
        {"text without closing brace, true", kUnclosed, "7", kPinned, 1},
        {"text without closing brace, number", kUnclosed, "7", kOpacity, 55},
        {"text without closing brace, member missing", kUnclosed, "7", "\"exe\"", kFieldMissing},
        {"null text", nullptr, "1234", kPinned, kFieldMissing},
        {"blanks before a string", kSpaced, "8", "\"title\"", kFieldIsString},
        {"blanks before true", kSpaced, "8", kPinned, 1},
        {"blanks before a number", kSpaced, "8", kOpacity, 42},
        {"braces in the title and exe name, true", kBraces, "9", kPinned, 1},
        {"braces in the title and exe name, number", kBraces, "9", kOpacity, 61},
        {"member names as title and exe name, false", kNamesAsText, "10", kPinned, 0},
        {"member names as title and exe name, number", kNamesAsText, "10", kOpacity, 35},
        {"escaped members in the title, false", kEscapes, "11", kPinned, 0},
        {"escaped members in the title, number", kEscapes, "11", kOpacity, 25},
    };
    for (const probe_case &c : cases)
        EXPECT_EQ(json_field(c.json, c.handle, c.member), c.expected) << c.what;
}
