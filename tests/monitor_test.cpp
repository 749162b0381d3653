// Monitors, snap and send on a desktop of two monitors (0,0 1280x800 and
// 1280,0 1024x768, tests/monitors/two_monitors_test.sh), each place read back
// by the user32 of the program that owns the window; and send refused on a
// desktop of one.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "kestal_inprocess.h"
#include "test_support.h"

namespace {

using words = std::vector<std::string>;

// The DPI of the two-monitor prefix that runs the suite; 0 outside it.
int two_monitor_dpi()
{
    const char *dpi = getenv("KESTAL_TWO_MONITORS");
    return dpi ? atoi(dpi) : 0;
}

std::string with_handle(std::string text, HWND window)
{
    for (size_t at; (at = text.find("{w}")) != std::string::npos;)
        text.replace(at, 3, kt::handle_text(window));
    return text;
}

words with_handle(const words &args, HWND window)
{
    words replaced;
    for (const std::string &arg : args)
        replaced.push_back(with_handle(arg, window));
    return replaced;
}

// The monitor that list --long names for the window; 0 when it is not listed.
int64_t listed_monitor(HWND window)
{
    const kt::run_result run = kt::run_cli({"list", "--long"});
    const auto listing = kt::parse_long_listing(run.out.c_str());
    if (!listing)
        return 0;
    for (const kt::long_window &listed : *listing) {
        if (listed.listed.hwnd == static_cast<int64_t>(reinterpret_cast<intptr_t>(window)))
            return listed.monitor;
    }
    return 0;
}

class TwoMonitors : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        if (!two_monitor_dpi())
            return;
        child_started = kt::start_child(child);
        // Physical pixels also where Wine scales a program that is not aware.
        if (child_started)
            kt::child_command(child, "dpiaware");
    }
    static void TearDownTestSuite()
    {
        if (child_started)
            kt::stop_child(child);
    }

    void SetUp() override
    {
        if (!two_monitor_dpi())
            GTEST_SKIP() << "runs on the desktop of two monitors: tests/monitors/two_monitors_test.sh";
        ASSERT_TRUE(child_started);
    }

    static std::string placement(HWND window) { return kt::child_command(child, "placement " + kt::handle_text(window)); }

    static inline kt::child_windows child;
    static inline bool child_started = false;
};

// One case: a window made by the helper at a place of one of the monitors,
// steps before the command, the command, and what follows.
struct monitor_case {
    const char *name;
    const char *window;   // the helper's flags for the window; "" for none
    words before;         // "cli WORDS" for kestal-cli, "own WORDS" for the window's own program
    words command;        // kestal-cli's words; "{w}" is the window, "{dpi}" the prefix's DPI
    DWORD exit_code;
    const char *out;      // stdout exactly; null: "ok\n" for exit code 0, anything otherwise
    const char *err;      // the start of stderr; null: nothing on stderr
    const char *placement; // what the window's program reads: its state and normal rectangle
    int64_t monitor;      // list --long's monitor of the window afterwards
};

constexpr char kOnFirst[] = "at=100:100:300:200";
constexpr char kOnSecond[] = "at=1400:100:300:200";
constexpr char kMonitors[] =
    "[{\"number\":1,\"device\":\"\\\\\\\\.\\\\DISPLAY1\",\"x\":0,\"y\":0,\"width\":1280,\"height\":800,"
    "\"work_x\":0,\"work_y\":0,\"work_width\":1280,\"work_height\":800,\"dpi\":{dpi},\"primary\":true},"
    "{\"number\":2,\"device\":\"\\\\\\\\.\\\\DISPLAY2\",\"x\":1280,\"y\":0,\"width\":1024,\"height\":768,"
    "\"work_x\":1280,\"work_y\":0,\"work_width\":1024,\"work_height\":768,\"dpi\":{dpi},\"primary\":false}]\n";

const monitor_case kCases[] = {
    {"monitors_primary_first", "", {}, {"monitors"}, 0, kMonitors, nullptr, nullptr, 0},
    // Each position on each monitor; center keeps the size.
    {"left_1", kOnFirst, {}, {"snap", "{w}", "left"}, 0, nullptr, nullptr, "normal 0:0:640:800", 1},
    {"right_1", kOnFirst, {}, {"snap", "{w}", "right"}, 0, nullptr, nullptr, "normal 640:0:640:800", 1},
    {"top_1", kOnFirst, {}, {"snap", "{w}", "top"}, 0, nullptr, nullptr, "normal 0:0:1280:400", 1},
    {"bottom_1", kOnFirst, {}, {"snap", "{w}", "bottom"}, 0, nullptr, nullptr, "normal 0:400:1280:400", 1},
    {"top_left_1", kOnFirst, {}, {"snap", "{w}", "top-left"}, 0, nullptr, nullptr, "normal 0:0:640:400", 1},
    {"top_right_1", kOnFirst, {}, {"snap", "{w}", "top-right"}, 0, nullptr, nullptr, "normal 640:0:640:400", 1},
    {"bottom_left_1", kOnFirst, {}, {"snap", "{w}", "bottom-left"}, 0, nullptr, nullptr, "normal 0:400:640:400", 1},
    {"bottom_right_1", kOnFirst, {}, {"snap", "{w}", "bottom-right"}, 0, nullptr, nullptr, "normal 640:400:640:400", 1},
    {"center_1", kOnFirst, {}, {"snap", "{w}", "center"}, 0, nullptr, nullptr, "normal 490:300:300:200", 1},
    {"full_1", kOnFirst, {}, {"snap", "{w}", "full"}, 0, nullptr, nullptr, "normal 0:0:1280:800", 1},
    {"left_2", kOnSecond, {}, {"snap", "{w}", "left"}, 0, nullptr, nullptr, "normal 1280:0:512:768", 2},
    {"right_2", kOnSecond, {}, {"snap", "{w}", "right"}, 0, nullptr, nullptr, "normal 1792:0:512:768", 2},
    {"top_2", kOnSecond, {}, {"snap", "{w}", "top"}, 0, nullptr, nullptr, "normal 1280:0:1024:384", 2},
    {"bottom_2", kOnSecond, {}, {"snap", "{w}", "bottom"}, 0, nullptr, nullptr, "normal 1280:384:1024:384", 2},
    {"top_left_2", kOnSecond, {}, {"snap", "{w}", "top-left"}, 0, nullptr, nullptr, "normal 1280:0:512:384", 2},
    {"top_right_2", kOnSecond, {}, {"snap", "{w}", "top-right"}, 0, nullptr, nullptr, "normal 1792:0:512:384", 2},
    {"bottom_left_2", kOnSecond, {}, {"snap", "{w}", "bottom-left"}, 0, nullptr, nullptr, "normal 1280:384:512:384", 2},
    {"bottom_right_2", kOnSecond, {}, {"snap", "{w}", "bottom-right"}, 0, nullptr, nullptr, "normal 1792:384:512:384", 2},
    {"center_2", kOnSecond, {}, {"snap", "{w}", "center"}, 0, nullptr, nullptr, "normal 1642:284:300:200", 2},
    {"full_2", kOnSecond, {}, {"snap", "{w}", "full"}, 0, nullptr, nullptr, "normal 1280:0:1024:768", 2},
    // Restored first.
    {"snap_maximized", "at=1400:100:300:200,maximized", {}, {"snap", "{w}", "left"}, 0, nullptr, nullptr,
     "normal 1280:0:512:768", 2},
    {"snap_minimized", "at=100:100:300:200,minimized", {}, {"snap", "{w}", "bottom-right"}, 0, nullptr, nullptr,
     "normal 640:400:640:400", 1},
    // In proportion: 1024/1280 across, 768/800 down, and back.
    {"send_next", "at=100:100:320:200", {}, {"send", "{w}", "next"}, 0, nullptr, nullptr, "normal 1360:96:256:192", 2},
    {"send_by_number", "at=100:100:320:200", {}, {"send", "{w}", "2"}, 0, nullptr, nullptr, "normal 1360:96:256:192",
     2},
    {"send_prev_comes_round", kOnSecond, {}, {"send", "{w}", "prev"}, 0, nullptr, nullptr, "normal 150:104:375:208", 1},
    {"send_clamped_into_the_work_area", "at=1100:600:300:300", {}, {"send", "{w}", "next"}, 0, nullptr, nullptr,
     "normal 2064:480:240:288", 2},
    // Snapped stays snapped, maximised stays maximised.
    {"send_snapped_left", kOnFirst, {"cli snap {w} left"}, {"send", "{w}", "next"}, 0, nullptr, nullptr,
     "normal 1280:0:512:768", 2},
    {"send_snapped_top_right_by_number", kOnSecond, {"cli snap {w} top-right"}, {"send", "{w}", "1"}, 0, nullptr,
     nullptr, "normal 640:0:640:400", 1},
    {"send_snapped_full_prev", kOnSecond, {"cli snap {w} full"}, {"send", "{w}", "prev"}, 0, nullptr, nullptr,
     "normal 0:0:1280:800", 1},
    {"send_maximized", "at=100:100:320:200,maximized", {}, {"send", "{w}", "next"}, 0, nullptr, nullptr,
     "maximized 1360:96:256:192", 2},
    {"send_maximized_prev", "at=1400:100:300:200,maximized", {}, {"send", "{w}", "prev"}, 0, nullptr, nullptr,
     "maximized 150:104:375:208", 1},
    // Snapped by kestal, then maximised by its own program: maximised at
    // the snapped place of the other monitor.
    {"send_snapped_then_maximized_by_its_program", kOnFirst, {"cli snap {w} left", "own show {w} 3"},
     {"send", "{w}", "next"}, 0, nullptr, nullptr, "maximized 1280:0:512:768", 2},
    {"send_minimized", "at=100:100:320:200,minimized", {}, {"send", "{w}", "2"}, 0, nullptr, nullptr,
     "normal 1360:96:256:192", 2},
    // Refused before anything changes.
    {"unknown_position", kOnFirst, {}, {"snap", "{w}", "middle"}, 2, nullptr,
     "error: snap: 'middle' is no position: give left, right, top, bottom, top-left, top-right, bottom-left, "
     "bottom-right, center or full\n",
     "normal 100:100:300:200", 1},
    {"no_position", kOnFirst, {}, {"snap", "{w}"}, 2, nullptr, "error: snap: give the window and where",
     "normal 100:100:300:200", 1},
    {"monitor_that_does_not_exist", kOnFirst, {}, {"send", "{w}", "3"}, 2, nullptr,
     "error: send: there is no monitor 3: this desktop has 2 (kestal-cli monitors lists them)\n",
     "normal 100:100:300:200", 1},
    {"monitor_zero", kOnFirst, {}, {"send", "{w}", "0"}, 2, nullptr, "error: send: '0' is no monitor",
     "normal 100:100:300:200", 1},
};

class TwoMonitorTable : public TwoMonitors, public ::testing::WithParamInterface<monitor_case> {};

TEST_P(TwoMonitorTable, places_the_window_where_its_program_reads_it)
{
    const monitor_case &c = GetParam();
    HWND window = nullptr;
    if (*c.window) {
        window = kt::child_make_window(child, c.window, std::string("two monitors ") + c.name);
        ASSERT_NE(window, nullptr);
    }
    for (const std::string &step : c.before) {
        const std::string line = with_handle(step.substr(4), window);
        if (step.rfind("own ", 0) == 0) {
            ASSERT_EQ(kt::child_command(child, line), "ok") << line;
            continue;
        }
        words args;
        for (size_t at = 0; at < line.size();) {
            const size_t blank = line.find(' ', at);
            args.push_back(line.substr(at, blank == std::string::npos ? std::string::npos : blank - at));
            at = blank == std::string::npos ? line.size() : blank + 1;
        }
        ASSERT_EQ(kt::run_cli(args).exit_code, 0u) << line;
    }
    const words args = with_handle(c.command, window);
    const kt::run_result run = kt::run_cli(args);
    std::string out = c.out ? c.out : "";
    for (size_t at; (at = out.find("{dpi}")) != std::string::npos;)
        out.replace(at, 5, std::to_string(two_monitor_dpi()));
    EXPECT_EQ(run.exit_code, c.exit_code) << run.err;
    if (c.out) {
        EXPECT_EQ(run.out, out);
    } else if (c.exit_code == 0) {
        EXPECT_EQ(run.out, "ok\n");
    }
    if (c.err) {
        EXPECT_EQ(run.err.rfind(c.err, 0), 0u) << run.err;
    } else {
        EXPECT_EQ(run.err, "");
    }
    if (!window)
        return;
    if (c.placement) {
        EXPECT_EQ(placement(window), c.placement);
    }
    EXPECT_EQ(listed_monitor(window), c.monitor);
    kt::child_command(child, "destroy " + kt::handle_text(window));
}

INSTANTIATE_TEST_SUITE_P(Cases, TwoMonitorTable, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<monitor_case> &info) { return info.param.name; });

// A program that has stopped answering holds neither command beyond the
// bound, is told of honestly, and is where it was once it answers again.
TEST_F(TwoMonitors, snap_and_send_leave_a_window_whose_program_stopped_answering_and_say_so_within_the_bound)
{
    kt::child_windows hung;
    ASSERT_TRUE(kt::start_child(hung));
    HWND window = kt::child_make_window(hung, kOnFirst, "two monitors hung");
    ASSERT_NE(window, nullptr);
    ASSERT_EQ(kt::child_command(hung, "hang 14000"), "ok");
    for (const words &args : {words{"snap", "{w}", "right"}, words{"send", "{w}", "next"}}) {
        const ULONGLONG started = GetTickCount64();
        const kt::run_result run = kt::run_cli(with_handle(args, window));
        const ULONGLONG took = GetTickCount64() - started;
        SCOPED_TRACE(args[0]);
        EXPECT_EQ(run.exit_code, 1u);
        EXPECT_NE(run.err.find("the window is not answering"), std::string::npos) << run.err;
        EXPECT_LT(took, 6500u);
    }
    EXPECT_EQ(kt::child_command(hung, "placement " + kt::handle_text(window)), "normal 100:100:300:200");
    kt::stop_child(hung);
}

// keep runs beside the table's windows: one keep per desktop, stopped at the end.
class TwoMonitorKeep : public TwoMonitors {
protected:
    void TearDown() override { kt::run_cli({"keep", "--stop"}); }

    // Starts keep with `text` as its rules file; false when it did not get ready.
    bool start_keep(const std::string &name, const std::string &text)
    {
        const std::wstring rules = kt::write_temp_file(kt::widen(name + std::to_string(GetCurrentProcessId()) + ".json"), text);
        return kt::start_command(keep, {"keep", kt::narrow(rules)}) &&
               kt::wait_for_line(keep, "{\"event\":\"ready\"}", kPatienceMs);
    }

    static constexpr DWORD kPatienceMs = 15000;
    kt::running_command keep;
};

// A window that opens while keep runs goes to the rule's monitor, then to
// its snap position there; one that was open before stays where it is.
TEST_F(TwoMonitorKeep, places_a_window_that_opens_on_its_monitor_and_leaves_the_windows_already_open)
{
    HWND before = kt::child_make_window(child, kOnFirst, "placed by keep before");
    ASSERT_NE(before, nullptr);
    ASSERT_TRUE(start_keep("kestal-two-monitors-places-",
                           R"({"rules": [{"match": "title:placed by keep", "monitor": 2, "snap": "top-right"}],
                               "tray": false})"))
        << kt::all_lines(keep);
    HWND opened = kt::child_make_window(child, kOnFirst, "placed by keep after");
    ASSERT_NE(opened, nullptr);
    EXPECT_TRUE(kt::wait_for_line(keep, "\"hwnd\":" + kt::handle_text(opened) + ",\"title\":\"placed by keep after\"",
                                  kPatienceMs))
        << kt::all_lines(keep);
    EXPECT_TRUE(kt::wait_for_line(keep, "\"monitor\":2,\"snap\":\"top-right\"}", kPatienceMs)) << kt::all_lines(keep);
    EXPECT_EQ(placement(opened), "normal 1792:0:512:384");
    EXPECT_EQ(placement(before), "normal 100:100:300:200");
    EXPECT_EQ(listed_monitor(opened), 2);
    EXPECT_EQ(kt::run_cli({"keep", "--stop"}).out, "ok\n");
    // Placing gives nothing back: the window stays where keep put it.
    EXPECT_EQ(placement(opened), "normal 1792:0:512:384");
    kt::child_command(child, "destroy " + kt::handle_text(before));
    kt::child_command(child, "destroy " + kt::handle_text(opened));
}

// The borders of windows maximised on either monitor run along that
// monitor's edges and never onto its neighbour.
TEST_F(TwoMonitorKeep, borders_of_maximized_windows_lie_within_their_own_monitor)
{
    HWND first = kt::child_make_window(child, "at=100:100:300:200,maximized", "bordered on one");
    HWND second = kt::child_make_window(child, "at=1400:100:300:200,maximized", "bordered on two");
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    ASSERT_TRUE(start_keep("kestal-two-monitors-borders-",
                           R"({"rules": [{"match": "title:bordered on", "pin": true}], "border": true, "tray": false})"))
        << kt::all_lines(keep);
    const RECT monitors[] = {{0, 0, 1280, 800}, {1280, 0, 2304, 768}};
    // Which monitor each visible border lies within, -1 for one that crosses.
    const auto borders_by_monitor = [&] {
        std::vector<int> within;
        HWND border = nullptr;
        while ((border = FindWindowExW(nullptr, border, KESTAL_BORDER_CLASS, nullptr))) {
            RECT place = {};
            if (!IsWindowVisible(border) || !GetWindowRect(border, &place) || IsRectEmpty(&place))
                continue;
            int found = -1;
            for (int m = 0; m < 2; ++m) {
                RECT both = {};
                if (IntersectRect(&both, &place, &monitors[m]) && EqualRect(&both, &place))
                    found = m;
            }
            within.push_back(found);
        }
        return within;
    };
    const auto on_both = [&] {
        const std::vector<int> within = borders_by_monitor();
        return std::count(within.begin(), within.end(), 0) > 0 && std::count(within.begin(), within.end(), 1) > 0;
    };
    EXPECT_TRUE(kt::wait_until(on_both, kPatienceMs)) << kt::all_lines(keep);
    const std::vector<int> within = borders_by_monitor();
    EXPECT_EQ(std::count(within.begin(), within.end(), -1), 0) << "a border crosses onto the neighbouring monitor";
    EXPECT_EQ(kt::run_cli({"keep", "--stop"}).out, "ok\n");
    kt::child_command(child, "destroy " + kt::handle_text(first));
    kt::child_command(child, "destroy " + kt::handle_text(second));
}

// One monitor: nowhere to send a window to, which is the words' fault.
TEST(OneMonitor, send_is_refused_and_the_window_stays)
{
    if (two_monitor_dpi())
        GTEST_SKIP() << "runs on the desktop of one monitor";
    kt::child_windows child;
    ASSERT_TRUE(kt::start_child(child));
    HWND window = kt::child_make_window(child, kOnFirst, "one monitor");
    ASSERT_NE(window, nullptr);
    for (const char *monitor : {"next", "prev", "1"}) {
        const kt::run_result run = kt::run_cli({"send", kt::handle_text(window), monitor});
        SCOPED_TRACE(monitor);
        EXPECT_EQ(run.exit_code, 2u);
        EXPECT_EQ(run.err, "error: send: this desktop has one monitor: there is no other to send a window to\n");
        EXPECT_EQ(run.out.rfind("usage: kestal-cli send <hwnd> next|prev|N\n", 0), 0u) << run.out;
    }
    EXPECT_EQ(kt::child_command(child, "placement " + kt::handle_text(window)), "normal 100:100:300:200");
    EXPECT_EQ(listed_monitor(window), 1);
    kt::stop_child(child);
}

} // namespace
