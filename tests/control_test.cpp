// The controls a hotkey drives (toggle, steps, click-through, reset) on
// windows of another process, each step read back by that process's user32.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "kestal_inprocess.h"
#include "test_support.h"

// The steps of the table leave out what they do not check.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace {

// One step of a case: a command line of kestal-cli, where "{h}" stands for
// the window's handle in decimal, "{x}" in 0x hex and "{X}" in 0X hex; or,
// with `in_process`, a call of this process's own kestal on the window, as
// another copy of kestal (a host) makes it.
struct step {
    std::vector<std::string> args;
    int32_t (*in_process)(void *hwnd, int32_t value) = nullptr;
    int32_t value = 0;
    DWORD exit_code = 0;
    std::string exstyle;  // the child's answer to "exstyle"; empty: not read
    std::string layering; // the child's answer to "layering"; empty: not read
    std::string err;      // what stderr starts with
    // A change that the window's own program makes, in the helper's words
    // ("pin {h} 0"), instead of one of kestal's.
    std::string program;
};

step by_program(const std::string &command, const std::string &exstyle, const std::string &layering = "")
{
    return {{}, nullptr, 0, 0, exstyle, layering, "", command};
}

struct control_case {
    const char *what;
    const char *flags; // the window as its own program makes it
    std::vector<step> steps;
};

int32_t reset_window(void *hwnd, int32_t)
{
    return kestal_reset(hwnd);
}

std::string layered_at(int alpha, int flags = LWA_ALPHA)
{
    return "layered flags=" + std::to_string(flags) + " alpha=" + std::to_string(alpha) + " key=0";
}

const std::string kHalf = layered_at(128);    // 50 %
const std::string kFifth = layered_at(51);    // 20 %
const std::string kFull = layered_at(255);    // 100 %, still layered
const std::string kOwn200 = layered_at(200);  // the program's own alpha
const std::string kOwnLess = layered_at(173); // 78 % (its 200) less 10 points
const std::string kSeventy = layered_at(179); // 70 %
// A program's own colour key (magenta), alone and faded to 50 % beside it.
// Without LWA_ALPHA the alpha means nothing, and systems differ in what
// they keep there ("*" takes any value).
const std::string kKeyed = "layered flags=1 alpha=* key=16711935";
const std::string kKeyedHalf = "layered flags=3 alpha=128 key=16711935";

std::vector<control_case> control_cases()
{
    using args = std::vector<std::string>;
    return {
        {"toggle pins and releases",
         "-",
         {{args{"pin", "{h}", "toggle"}, nullptr, 0, 0, "topmost"},
          {args{"pin", "{h}", "toggle"}, nullptr, 0, 0, "-"},
          {args{"pin", "{h}", "on"}, nullptr, 0, 0, "topmost"},
          {args{"pin", "{h}", "off"}, nullptr, 0, 0, "-"}}},
        {"steps down and up, kept within 20 to 100",
         "-",
         {{args{"opacity", "{h}", "down", "50"}, nullptr, 0, 0, "layered", kHalf},
          {args{"opacity", "{h}", "down", "50"}, nullptr, 0, 0, "layered", kFifth},
          {args{"opacity", "{h}", "up"}, nullptr, 0, 0, "layered", layered_at(77)},
          {args{"opacity", "{h}", "up", "100"}, nullptr, 0, 0, "-", "plain"}}},
        {"a program's own alpha of 200, stepped down, then reset to 200",
         "layered=200",
         {{args{"opacity", "{h}", "down"}, nullptr, 0, 0, "layered", kOwnLess},
          {args{"opacity", "{h}", "100"}, nullptr, 0, 0, "layered", kFull},
          {args{"reset", "{h}"}, nullptr, 0, 0, "layered", kOwn200},
          {args{"reset", "{h}"}, nullptr, 0, 0, "layered", kOwn200}}},
        {"a program's own pin stays through a pin and its reset, and comes back after a release",
         "topmost",
         {{args{"pin", "{h}", "1"}, nullptr, 0, 0, "topmost"},
          {args{"reset", "{h}"}, nullptr, 0, 0, "topmost"},
          {args{"pin", "{h}", "toggle"}, nullptr, 0, 0, "-"},
          {args{"reset", "{h}"}, nullptr, 0, 0, "topmost"}}},
        {"a pin that kestal gave is taken back, and a pin taken back needs no reset",
         "-",
         {{args{"pin", "{h}"}, nullptr, 0, 0, "topmost"},
          {args{"reset", "{h}"}, nullptr, 0, 0, "-"},
          {args{"pin", "{h}"}, nullptr, 0, 0, "topmost"},
          {args{"pin", "{h}", "0"}, nullptr, 0, 0, "-"},
          {args{"reset", "{h}"}, nullptr, 0, 0, "-"}}},
        {"click-through set, toggled and reset",
         "-",
         {{args{"clickthrough", "{h}"}, nullptr, 0, 0, "layered,transparent", kFull},
          {args{"clickthrough", "{h}", "toggle"}, nullptr, 0, 0, "-", "plain"},
          {args{"clickthrough", "{h}", "1"}, nullptr, 0, 0, "layered,transparent", kFull},
          {args{"opacity", "{h}", "70"}, nullptr, 0, 0, "layered,transparent", kSeventy},
          {args{"opacity", "{h}", "100"}, nullptr, 0, 0, "layered,transparent", kFull},
          {args{"clickthrough", "{h}", "off"}, nullptr, 0, 0, "-", "plain"},
          {args{"clickthrough", "{h}", "on"}, nullptr, 0, 0, "layered,transparent"},
          {args{"opacity", "{h}", "down", "50"}, nullptr, 0, 0, "layered,transparent", kHalf},
          {args{"clickthrough", "{h}", "0"}, nullptr, 0, 0, "layered", kHalf},
          {args{"clickthrough", "{h}", "toggle"}, nullptr, 0, 0, "layered,transparent", kHalf},
          {args{"reset", "{h}"}, nullptr, 0, 0, "-", "plain"}}},
        {"a program's own layered window keeps its layering when clicks stop passing through",
         "layered=200",
         {{args{"clickthrough", "{h}"}, nullptr, 0, 0, "layered,transparent", kOwn200},
          {args{"clickthrough", "{h}", "off"}, nullptr, 0, 0, "layered", kOwn200}}},
        {"handles in hex, in both cases",
         "-",
         {{args{"pin", "{x}", "toggle"}, nullptr, 0, 0, "topmost"},
          {args{"opacity", "{X}", "down", "50"}, nullptr, 0, 0, "topmost,layered", kHalf},
          {args{"clickthrough", "{X}"}, nullptr, 0, 0, "topmost,layered,transparent"},
          {args{"reset", "{x}"}, nullptr, 0, 0, "-", "plain"}}},
        {"reset with nothing to take back",
         "-",
         {{args{"reset", "{h}"}, nullptr, 0, 0, "-", "plain"}, {args{"reset"}, nullptr, 0, 0, "-", "plain"}}},
        {"reset takes back what another copy of kestal changed, both ways",
         "-",
         {{{}, kestal_pin, KESTAL_ON, 0, "topmost"},
          {{}, kestal_set_clickthrough, KESTAL_ON, 0, "topmost,layered,transparent"},
          {{}, kestal_step_opacity, -50, 0, "topmost,layered,transparent", kHalf},
          {args{"reset", "{h}"}, nullptr, 0, 0, "-", "plain"},
          {args{"pin", "{h}"}, nullptr, 0, 0, "topmost"},
          {args{"opacity", "{h}", "50"}, nullptr, 0, 0, "topmost,layered", kHalf},
          {{}, reset_window, 0, 0, "-", "plain"}}},
        {"a pin that kestal gave and its program dropped leaves nothing to take back",
         "-",
         {{args{"pin", "{h}"}, nullptr, 0, 0, "topmost"},
          by_program("pin {h} 0", "-"),
          {args{"reset", "{h}"}, nullptr, 0, 0, "-"},
          by_program("pin {h} 1", "topmost"),
          {args{"reset", "{h}"}, nullptr, 0, 0, "topmost"}}},
        {"a release that kestal made and its program overtook leaves nothing to take back",
         "topmost",
         {{args{"pin", "{h}", "0"}, nullptr, 0, 0, "-"},
          by_program("pin {h} 1", "topmost"),
          {args{"reset", "{h}"}, nullptr, 0, 0, "topmost"},
          by_program("pin {h} 0", "-"),
          {args{"reset", "{h}"}, nullptr, 0, 0, "-"}}},
        {"an alpha that the program set after kestal's fade stays through reset",
         "-",
         {{args{"opacity", "{h}", "50"}, nullptr, 0, 0, "layered", kHalf},
          by_program("fade {h} 200", "layered", kOwn200),
          {args{"reset", "{h}"}, nullptr, 0, 0, "layered", kOwn200},
          {args{"reset", "{h}"}, nullptr, 0, 0, "layered", kOwn200}}},
        {"a program's own alpha, faded by kestal and then set anew by the program, stays the program's",
         "layered=200",
         {{args{"opacity", "{h}", "50"}, nullptr, 0, 0, "layered", kHalf},
          by_program("fade {h} 180", "layered", layered_at(180)),
          {args{"reset", "{h}"}, nullptr, 0, 0, "layered", layered_at(180)}}},
        {"reset without a target takes back both a pin and a fade",
         "-",
         {{args{"pin", "{h}"}, nullptr, 0, 0, "topmost"},
          {args{"opacity", "{h}", "50"}, nullptr, 0, 0, "topmost,layered", kHalf},
          {args{"reset"}, nullptr, 0, 0, "-", "plain"}}},
        {"opacity 100 after the program set its own alpha over kestal's fade keeps the program's for reset",
         "-",
         {{args{"opacity", "{h}", "50"}, nullptr, 0, 0, "layered", kHalf},
          by_program("fade {h} 200", "layered", kOwn200),
          {args{"opacity", "{h}", "100"}, nullptr, 0, 0, "layered", kFull},
          {args{"reset", "{h}"}, nullptr, 0, 0, "layered", kOwn200}}},
        {"click-through off after the program set its own alpha leaves the program's layering",
         "-",
         {{args{"clickthrough", "{h}"}, nullptr, 0, 0, "layered,transparent", kFull},
          by_program("fade {h} 200", "layered,transparent", kOwn200),
          {args{"clickthrough", "{h}", "off"}, nullptr, 0, 0, "layered", kOwn200},
          {args{"reset", "{h}"}, nullptr, 0, 0, "layered", kOwn200}}},
        {"a pin given again after the program dropped kestal's is taken back",
         "-",
         {{args{"pin", "{h}"}, nullptr, 0, 0, "topmost"},
          by_program("pin {h} 0", "-"),
          {args{"pin", "{h}", "toggle"}, nullptr, 0, 0, "topmost"},
          {args{"reset", "{h}"}, nullptr, 0, 0, "-"}}},
        {"a program's own pin stays when kestal's fade is reset",
         "topmost",
         {{args{"opacity", "{h}", "50"}, nullptr, 0, 0, "topmost,layered", kHalf},
          {args{"reset", "{h}"}, nullptr, 0, 0, "topmost", "plain"}}},
        {"a program's own colour key stays through a fade and its reset",
         "colorkey",
         {{args{"opacity", "{h}", "50"}, nullptr, 0, 0, "layered", kKeyedHalf},
          {args{"reset", "{h}"}, nullptr, 0, 0, "layered", kKeyed}}},
        {"words that are none of the controls' are refused and change nothing",
         "-",
         {{args{"pin", "{h}", "yes"}, nullptr, 0, 2, "-", "plain", "error: pin: the flag 'yes' is not a number"},
          {args{"opacity", "{h}", "up", "0"}, nullptr, 0, 2, "-", "plain", "error: opacity: the step '0'"},
          {args{"opacity", "{h}", "down", "101"}, nullptr, 0, 2, "-", "plain", "error: opacity: the step '101'"},
          {args{"opacity", "{h}", "up", "5x"}, nullptr, 0, 2, "-", "plain", "error: opacity: the step '5x'"},
          {args{"clickthrough", "{h}", "yes"}, nullptr, 0, 2, "-", "plain",
           "error: clickthrough: the flag 'yes' is none of"},
          {args{"clickthrough"}, nullptr, 0, 2, "-", "plain"}}},
        {"click-through refuses what opacity refuses",
         "perpixel",
         {{args{"clickthrough", "{h}"}, nullptr, 0, 1, "layered", "layered unreadable",
           "error: set_clickthrough: the window draws its own per-pixel alpha"},
          {args{"opacity", "{h}", "down"}, nullptr, 0, 1, "layered", "layered unreadable",
           "error: set_opacity: the window draws its own per-pixel alpha"}}},
        {"click-through refuses a class with its own device context",
         "owndc",
         {{args{"clickthrough", "{h}", "on"}, nullptr, 0, 1, "-", "plain",
           "error: set_clickthrough: the window's class has CS_OWNDC"}}},
    };
}

// The helper's layering line against an expected one in which "*" stands for
// any number.
bool layering_reads(const std::string &actual, const std::string &expected)
{
    const size_t wild = expected.find('*');
    if (wild == std::string::npos)
        return actual == expected;
    if (actual.compare(0, wild, expected, 0, wild) != 0)
        return false;
    size_t at = wild;
    while (at < actual.size() && actual[at] >= '0' && actual[at] <= '9')
        ++at;
    return at > wild && actual.substr(at) == expected.substr(wild + 1);
}

std::string with_handle(const std::string &word, HWND window)
{
    const auto value = static_cast<unsigned long long>(reinterpret_cast<intptr_t>(window));
    char hex[32];
    if (word == "{x}" || word == "{X}") {
        snprintf(hex, sizeof hex, word == "{x}" ? "0x%llx" : "0X%llX", value);
        return hex;
    }
    return word == "{h}" ? std::to_string(value) : word;
}

class Controls : public testing::Test {
protected:
    static void SetUpTestSuite() { child_started = kt::start_child(child); }
    static void TearDownTestSuite() { kt::stop_child(child); }
    static kt::child_windows child;
    static bool child_started;
};

kt::child_windows Controls::child;
bool Controls::child_started = false;

} // namespace

TEST_F(Controls, each_control_reads_back_in_the_windows_own_program)
{
    ASSERT_TRUE(child_started);
    for (const control_case &c : control_cases()) {
        SCOPED_TRACE(c.what);
        HWND window = kt::child_make_window(child, c.flags, std::string("kestal control ") + c.what);
        ASSERT_NE(window, nullptr);
        const std::string h = kt::handle_text(window);
        for (size_t i = 0; i < c.steps.size(); ++i) {
            const step &s = c.steps[i];
            SCOPED_TRACE("step " + std::to_string(i + 1));
            if (!s.program.empty()) {
                const size_t at = s.program.find("{h}");
                EXPECT_EQ(kt::child_command(child, s.program.substr(0, at) + h + s.program.substr(at + 3)), "ok");
            } else if (s.in_process) {
                EXPECT_EQ(s.in_process(window, s.value), 1) << kestal_last_error();
            } else {
                std::vector<std::string> words;
                for (const std::string &word : s.args)
                    words.push_back(with_handle(word, window));
                const kt::run_result run = kt::run_cli(words);
                EXPECT_EQ(run.exit_code, s.exit_code) << run.out << run.err;
                EXPECT_EQ(run.out, s.exit_code == 0 ? "ok\n" : s.exit_code == 2 ? run.out : "");
                EXPECT_EQ(run.err.rfind(s.err, 0), 0u) << run.err;
            }
            if (!s.exstyle.empty()) {
                EXPECT_EQ(kt::child_command(child, "exstyle " + h), s.exstyle);
            }
            if (!s.layering.empty()) {
                EXPECT_PRED2(layering_reads, kt::child_command(child, "layering " + h), s.layering);
            }
        }
        kt::child_command(child, "destroy " + h);
    }
}

// The listing shows click-through in its long form only, and a watch sees it change.
TEST_F(Controls, click_through_is_listed_and_watched)
{
    ASSERT_TRUE(child_started);
    HWND window = kt::child_make_window(child, "-", "kestal control listed");
    ASSERT_NE(window, nullptr);
    const std::string h = kt::handle_text(window);
    auto clickthrough_listed = [&]() -> int {
        const kt::run_result run = kt::run_cli({"list", "--long"});
        auto listing = kt::parse_long_listing(run.out.c_str());
        if (!listing)
            return -1;
        for (const kt::long_window &entry : *listing) {
            if (entry.listed.hwnd == reinterpret_cast<intptr_t>(window))
                return entry.clickthrough ? 1 : 0;
        }
        return -1;
    };
    EXPECT_EQ(clickthrough_listed(), 0);
    ASSERT_EQ(kt::run_cli({"clickthrough", h}).exit_code, 0u);
    EXPECT_EQ(clickthrough_listed(), 1);
    EXPECT_EQ(kt::run_cli({"list"}).out.find("clickthrough"), std::string::npos);

    // Flipped while a watch runs: "changed" lines that name it.
    HANDLE flipper = CreateThread(
        nullptr, 0,
        [](void *handle) -> DWORD {
            Sleep(1500);
            for (const char *flag : {"off", "on", "off", "on", "off", "on"}) {
                kt::run_cli({"clickthrough", *static_cast<const std::string *>(handle), flag});
                Sleep(300);
            }
            return 0;
        },
        const_cast<std::string *>(&h), 0, nullptr);
    ASSERT_NE(flipper, nullptr);
    const kt::run_result watched = kt::run_cli({"watch", "--long", "--interval", "100", "--count", "3"});
    WaitForSingleObject(flipper, INFINITE);
    CloseHandle(flipper);
    EXPECT_NE(watched.out.find("\"changed\":[\"clickthrough\"]"), std::string::npos) << watched.out;
    EXPECT_NE(watched.out.find("{\"event\":\"changed\",\"window\":{\"hwnd\":" + h), std::string::npos)
        << watched.out;
    kt::child_command(child, "destroy " + h);
}
