// Programs that stop answering, and changes of one window that meet: every
// change comes back within its bound and says what became of it, keep goes
// on beside a hung window, and changes from many threads and processes at
// once leave marks that give back exactly what was there.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

#include "kestal_inprocess.h"
#include "test_support.h"

namespace {

// What the system waits before it calls a program "not responding", and the
// start-up of a command on a loaded machine.
constexpr ULONGLONG kBoundMs = 5000;
constexpr ULONGLONG kSlackMs = 2000;
// Longer than the bound, so that the window is still silent when the
// command gives up on it.
constexpr DWORD kStallMs = 8000;

ULONGLONG elapsed_since(ULONGLONG start)
{
    return GetTickCount64() - start;
}

std::string exstyle(kt::child_windows &child, HWND window)
{
    return kt::child_command(child, "exstyle " + kt::handle_text(window));
}

std::string layering(kt::child_windows &child, HWND window)
{
    return kt::child_command(child, "layering " + kt::handle_text(window));
}

// One change of a window, by a command or by an export of this process.
struct hung_case {
    const char *what;
    const char *flags; // the window as its own program makes it
    const char *moment; // where its program stops answering: the helper's `stall`
    std::vector<std::string> args; // "{h}" stands for the handle
    int32_t (*in_process)(void *hwnd) = nullptr;
    bool marked = true; // what was asked for is taken back by `reset`
    std::vector<std::string> first = {}; // kestal's own change, made before the program stops
};

std::vector<std::string> with_handle(const std::vector<std::string> &args, HWND window)
{
    std::vector<std::string> out;
    for (const std::string &arg : args)
        out.push_back(arg == "{h}" ? kt::handle_text(window) : arg);
    return out;
}

} // namespace

TEST(HungWindows, every_change_comes_back_within_its_bound_and_says_what_became_of_it)
{
    const hung_case cases[] = {
        {"pin", "-", "poschanging", {"pin", "{h}", "1"}},
        {"pin toggle", "-", "probe", {"pin", "{h}", "toggle"}},
        {"opacity", "-", "stylechanging", {"opacity", "{h}", "50"}},
        {"opacity down", "-", "probe", {"opacity", "{h}", "down"}},
        {"clickthrough", "-", "stylechanging", {"clickthrough", "{h}"}},
        {"move", "at=40:50:200:100", "poschanging", {"move", "{h}", "10", "10"}, nullptr, false},
        {"resize", "at=40:50:200:100", "probe", {"resize", "{h}", "400", "300"}, nullptr, false},
        {"minimize", "-", "probe", {"minimize", "{h}"}, nullptr, false},
        {"maximize", "-", "probe", {"maximize", "{h}"}, nullptr, false},
        {"restore", "minimized", "probe", {"restore", "{h}"}, nullptr, false},
        {"release of the program's own pin", "topmost", "poschanging", {"pin", "{h}", "0"}},
        {"opacity 100 after kestal's fade", "-", "stylechanging", {"opacity", "{h}", "100"}, nullptr, true,
         {"opacity", "{h}", "50"}},
        {"clickthrough off", "-", "stylechanging", {"clickthrough", "{h}", "off"}, nullptr, true,
         {"clickthrough", "{h}"}},
        {"reset of kestal's pin", "-", "poschanging", {"reset", "{h}"}, nullptr, true, {"pin", "{h}"}},
        {"activate a minimised window", "minimized", "probe", {"activate", "{h}"}, nullptr, false},
        {"kestal_set_topmost", "-", "probe", {}, [](void *hwnd) { return kestal_set_topmost(hwnd, 1); }},
        {"kestal_set_opacity", "-", "stylechanging", {}, [](void *hwnd) { return kestal_set_opacity(hwnd, 40); }},
    };
    for (const hung_case &c : cases) {
        SCOPED_TRACE(c.what);
        // A program of its own for each case: a stalled one answers nothing
        // else until its stall ends.
        kt::child_windows child;
        ASSERT_TRUE(kt::start_child(child));
        HWND window = kt::child_make_window(child, c.flags, std::string("hung target ") + c.what);
        ASSERT_TRUE(window);
        const std::string before = exstyle(child, window);
        if (!c.first.empty()) {
            ASSERT_EQ(kt::run_cli(with_handle(c.first, window)).exit_code, 0u);
        }
        ASSERT_EQ(kt::child_command(child, "stall " + kt::handle_text(window) + " " + c.moment + " " +
                                               std::to_string(kStallMs)),
                  "ok");
        const ULONGLONG start = GetTickCount64();
        std::string err;
        if (c.in_process) {
            EXPECT_EQ(c.in_process(window), 0);
            err = kestal_last_error();
        } else {
            kt::run_result run = kt::run_cli(with_handle(c.args, window));
            EXPECT_EQ(run.exit_code, 1u) << run.out << run.err;
            EXPECT_EQ(run.out, "") << "no ok for a change that did not happen";
            err = run.err;
        }
        const ULONGLONG took = elapsed_since(start);
        EXPECT_LT(took, kBoundMs + kSlackMs) << err;
        // One line, which says the window stopped answering and what became of the change.
        EXPECT_NE(err.find("(win32 error 1460)"), std::string::npos) << err;
        const bool given_up_during = err.find("stopped answering during the change") != std::string::npos &&
                                     err.find("may still be made when the window answers again") != std::string::npos;
        const bool not_made = err.find("is not answering") != std::string::npos &&
                              err.find("was not made") != std::string::npos;
        EXPECT_TRUE(given_up_during || not_made) << err;
        EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), c.in_process ? 0 : 1) << err;

        // Once the program answers again, whatever it was asked for is
        // taken back by `reset`, as the marks record it.
        ASSERT_EQ(kt::child_command(child, "ping"), "pong");
        if (c.marked) {
            kt::run_result reset = kt::run_cli({"reset", kt::handle_text(window)});
            EXPECT_EQ(reset.exit_code, 0u) << reset.err;
            EXPECT_EQ(exstyle(child, window), before);
            EXPECT_EQ(layering(child, window), "plain");
        }
        kt::stop_child(child);
    }
}

// Windows of two programs that both stop answering cost one wait, not two.
TEST(HungWindows, several_hung_windows_of_one_selector_are_waited_for_side_by_side)
{
    const std::string title = "side by side hung " + std::to_string(GetCurrentProcessId());
    kt::child_windows children[2];
    HWND windows[2] = {};
    for (int i = 0; i < 2; ++i) {
        ASSERT_TRUE(kt::start_child(children[i]));
        windows[i] = kt::child_make_window(children[i], "-", title + " " + std::to_string(i));
        ASSERT_TRUE(windows[i]);
    }
    for (int i = 0; i < 2; ++i)
        ASSERT_EQ(kt::child_command(children[i], "stall " + kt::handle_text(windows[i]) + " probe 8000"), "ok");
    const ULONGLONG start = GetTickCount64();
    kt::run_result run = kt::run_cli({"pin", "title:" + title});
    const ULONGLONG took = elapsed_since(start);
    EXPECT_EQ(run.exit_code, 1u);
    EXPECT_LT(took, kBoundMs + kSlackMs) << run.err;
    for (HWND window : windows)
        EXPECT_NE(run.err.find("error: " + kt::handle_text(window) + ": "), std::string::npos) << run.err;
    for (int i = 0; i < 2; ++i) {
        ASSERT_EQ(kt::child_command(children[i], "ping"), "pong");
        EXPECT_EQ(kt::run_cli({"reset", kt::handle_text(windows[i])}).exit_code, 0u);
        EXPECT_EQ(exstyle(children[i], windows[i]), "-");
        kt::stop_child(children[i]);
    }
}

namespace {

// Pins, releases and fades one window from several threads of this
// process at once; the number of calls that failed.
int change_from_threads(HWND window, int threads, int calls)
{
    struct context {
        HWND window;
        int index;
        int calls;
        std::atomic<int> *failed;
    };
    std::atomic<int> failed{0};
    std::vector<context> contexts;
    for (int i = 0; i < threads; ++i)
        contexts.push_back({window, i, calls, &failed});
    std::vector<HANDLE> handles;
    for (context &c : contexts) {
        handles.push_back(CreateThread(nullptr, 0, [](void *parameter) -> DWORD {
            auto &c = *static_cast<context *>(parameter);
            for (int k = 0; k < c.calls; ++k) {
                const int kind = (c.index + k) % 3;
                const int32_t done = kind == 2 ? kestal_set_opacity(c.window, 20 + (c.index * 7 + k * 13) % 81)
                                               : kestal_set_topmost(c.window, kind);
                if (done != 1)
                    ++*c.failed;
            }
            return 0;
        }, &c, 0, nullptr));
    }
    WaitForMultipleObjects(static_cast<DWORD>(handles.size()), handles.data(), TRUE, INFINITE);
    for (HANDLE handle : handles)
        CloseHandle(handle);
    return failed.load();
}

} // namespace

// The same window changed at the same moment from eight threads never
// fails for a reason that only the race made, and afterwards its marks
// agree with it: `reset` gives back exactly what its program had.
TEST(ChangesThatMeet, threads_of_one_host_never_collide_and_reset_gives_back_what_was_there)
{
    kt::child_windows child;
    ASSERT_TRUE(kt::start_child(child));
    struct start_state {
        const char *flags;
        const char *exstyle;
        const char *layering;
    };
    const start_state starts[] = {
        {"-", "-", "plain"},
        {"topmost", "topmost", "plain"},
        {"layered=200", "layered", "layered flags=2 alpha=200 key=0"},
    };
    for (const start_state &s : starts) {
        SCOPED_TRACE(s.flags);
        HWND window = kt::child_make_window(child, s.flags, std::string("meeting changes ") + s.flags);
        ASSERT_TRUE(window);
        for (int run = 0; run < 20; ++run) {
            EXPECT_EQ(change_from_threads(window, 8, 21), 0) << "run " << run << ": " << kestal_last_error();
            ASSERT_EQ(kestal_reset(window), 1) << kestal_last_error();
            ASSERT_EQ(exstyle(child, window), s.exstyle) << "run " << run;
            ASSERT_EQ(layering(child, window), s.layering) << "run " << run;
        }
        kt::child_command(child, "destroy " + kt::handle_text(window));
    }
    kt::stop_child(child);
}

// The same between processes: this one's threads and commands of
// kestal-cli, as a resident keep and a hotkey's command meet.
TEST(ChangesThatMeet, processes_never_collide_and_reset_gives_back_what_was_there)
{
    kt::child_windows child;
    ASSERT_TRUE(kt::start_child(child));
    HWND window = kt::child_make_window(child, "-", "meeting changes of processes");
    ASSERT_TRUE(window);
    const std::string h = kt::handle_text(window);
    for (int run = 0; run < 3; ++run) {
        struct commands {
            std::string handle;
            std::vector<std::string> failures;
        } commands{h, {}};
        HANDLE runner = CreateThread(nullptr, 0, [](void *parameter) -> DWORD {
            auto &c = *static_cast<struct commands *>(parameter);
            const std::vector<std::vector<std::string>> lines = {
                {"pin", c.handle, "toggle"}, {"opacity", c.handle, "down"}, {"clickthrough", c.handle, "toggle"},
                {"opacity", c.handle, "up"}, {"pin", c.handle, "toggle"},   {"opacity", c.handle, "35"}};
            for (const auto &line : lines) {
                kt::run_result result = kt::run_cli(line);
                if (result.exit_code != 0)
                    c.failures.push_back(line[0] + " " + line[2] + ": " + result.err);
            }
            return 0;
        }, &commands, 0, nullptr);
        int failed = 0;
        while (WaitForSingleObject(runner, 0) == WAIT_TIMEOUT)
            failed += change_from_threads(window, 4, 6);
        CloseHandle(runner);
        EXPECT_EQ(failed, 0) << kestal_last_error();
        for (const std::string &failure : commands.failures)
            ADD_FAILURE() << failure;
        ASSERT_EQ(kt::run_cli({"reset", h}).exit_code, 0u);
        EXPECT_EQ(exstyle(child, window), "-") << "run " << run;
        EXPECT_EQ(layering(child, window), "plain") << "run " << run;
    }
    kt::stop_child(child);
}

namespace {

std::wstring rules_file(const std::string &tag, const std::string &text)
{
    return kt::write_temp_file(L"kestal-hung-" + kt::widen(tag) + L".json", text);
}

} // namespace

// keep with one window that stops answering among others: "ready" comes
// within a bound, the others are kept, a stop gives back within a few
// seconds, and the hung window is named and keeps its marks for `reset`,
// whether keep stops while the change still waits or after it gave up.
TEST(HungWindows, keep_goes_on_beside_a_window_that_stops_answering_and_gives_back_within_a_bound)
{
    struct keep_case {
        const char *what;
        bool stop_after_giving_up;
    };
    const keep_case cases[] = {{"stopped while the change waits", false}, {"stopped after keep gave up", true}};
    for (const keep_case &c : cases) {
        SCOPED_TRACE(c.what);
        const std::string tag = std::to_string(GetCurrentProcessId()) + (c.stop_after_giving_up ? "late" : "early");
        const std::wstring rules =
            rules_file(tag, R"({"rules": [{"match": "title:keep hung )" + tag + R"(", "pin": true, "opacity": 70}]})");
        kt::child_windows hung, answering;
        ASSERT_TRUE(kt::start_child(hung));
        ASSERT_TRUE(kt::start_child(answering));
        HWND stuck = kt::child_make_window(hung, "-", "keep hung " + tag + " a");
        HWND kept = kt::child_make_window(answering, "-", "keep hung " + tag + " b");
        ASSERT_TRUE(stuck && kept);
        ASSERT_EQ(kt::child_command(hung, "stall " + kt::handle_text(stuck) + " poschanging 15000"), "ok");

        const ULONGLONG start = GetTickCount64();
        kt::running_command keep;
        ASSERT_TRUE(kt::start_command(keep, {"keep", kt::narrow(rules)}));
        ASSERT_TRUE(kt::wait_for_line(keep, "{\"event\":\"ready\"}", 10000)) << kt::all_lines(keep);
        EXPECT_LT(elapsed_since(start), 4000u) << "ready waited for the hung window\n" << kt::all_lines(keep);
        EXPECT_TRUE(kt::wait_for_line(keep, "\"hwnd\":" + kt::handle_text(kept) + ",", 3000)) << kt::all_lines(keep);
        EXPECT_EQ(exstyle(answering, kept), "topmost,layered");
        if (c.stop_after_giving_up) {
            EXPECT_TRUE(kt::wait_for_line(keep, "error: " + kt::handle_text(stuck) + " \"keep hung " + tag, 8000))
                << kt::all_lines(keep);
        }

        const ULONGLONG stop_start = GetTickCount64();
        kt::run_result stop = kt::run_cli({"keep", "--stop"});
        EXPECT_EQ(stop.exit_code, 0u) << stop.err;
        EXPECT_EQ(kt::wait_for_end(keep, 10000), 0u) << kt::all_lines(keep);
        EXPECT_LT(elapsed_since(stop_start), 5000u) << kt::all_lines(keep);
        const std::string lines = kt::all_lines(keep);
        EXPECT_NE(lines.find("{\"event\":\"given_back\",\"hwnd\":" + kt::handle_text(kept) + ","), std::string::npos)
            << lines;
        EXPECT_NE(lines.find("run kestal-cli reset once it answers"), std::string::npos) << lines;
        EXPECT_EQ(exstyle(answering, kept), "-");
        EXPECT_EQ(layering(answering, kept), "plain");

        // Once the program answers, what keep asked of it is taken back.
        ASSERT_EQ(kt::child_command(hung, "ping"), "pong");
        EXPECT_EQ(kt::run_cli({"reset", kt::handle_text(stuck)}).exit_code, 0u);
        EXPECT_EQ(exstyle(hung, stuck), "-");
        kt::stop_child(hung);
        kt::stop_child(answering);
        DeleteFileW(rules.c_str());
    }
}
