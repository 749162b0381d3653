// Programs that stop answering or are slow at every step, and changes of one
// window that meet: every change comes back within its bound and says what
// became of it, keep goes on beside a hung window, and changes from many
// threads and processes at once leave marks that give back exactly what was
// there.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
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
        // The window that could not be given back is named by --stop itself, which then fails.
        kt::run_result stop = kt::run_cli({"keep", "--stop"});
        EXPECT_EQ(stop.exit_code, 1u) << stop.err;
        EXPECT_EQ(stop.out, "");
        EXPECT_NE(stop.err.find("error: " + kt::handle_text(stuck) + " \"keep hung " + tag), std::string::npos)
            << stop.err;
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

namespace {

// What a program slow at every step costs: each WM_NULL, WM_WINDOWPOSCHANGING
// and WM_STYLECHANGING takes this long, so that no change needing two of
// them fits in one answer wait, while each alone would.
constexpr DWORD kSlowStepMs = 4000;
// The bound of one call in-process: the answer wait and a second for a
// loaded machine.
constexpr ULONGLONG kCallBoundMs = 6000;

// One setter, control or verb, in this process and from the command line.
struct slow_case {
    const char *what;
    const char *flags; // the window as its own program makes it
    std::vector<std::string> first; // kestal's own change, made before the window turns slow
    std::vector<std::string> args; // the command; "{h}" stands for the handle
    int32_t (*in_process)(void *hwnd);
};

const slow_case kSlowCases[] = {
    {"pin", "-", {}, {"pin", "{h}"}, [](void *h) { return kestal_set_topmost(h, 1); }},
    {"opacity", "-", {}, {"opacity", "{h}", "50"}, [](void *h) { return kestal_set_opacity(h, 50); }},
    {"pin toggle", "-", {}, {"pin", "{h}", "toggle"}, [](void *h) { return kestal_pin(h, KESTAL_TOGGLE); }},
    {"opacity down", "-", {}, {"opacity", "{h}", "down"}, [](void *h) { return kestal_step_opacity(h, -10); }},
    {"clickthrough", "-", {}, {"clickthrough", "{h}"}, [](void *h) { return kestal_set_clickthrough(h, KESTAL_ON); }},
    {"reset of a pin, a fade and click-through", "-", {"clickthrough", "{h}"}, {"reset", "{h}"},
     [](void *h) { return kestal_reset(h); }},
    {"move", "at=40:50:200:100", {}, {"move", "{h}", "10", "10"},
     [](void *h) { return kestal_move_window(h, 10, 10); }},
    {"resize", "at=40:50:200:100", {}, {"resize", "{h}", "300", "200"},
     [](void *h) { return kestal_resize_window(h, 300, 200); }},
    {"minimize", "-", {}, {"minimize", "{h}"}, [](void *h) { return kestal_minimize_window(h); }},
    {"maximize", "-", {}, {"maximize", "{h}"}, [](void *h) { return kestal_maximize_window(h); }},
    {"restore", "maximized", {}, {"restore", "{h}"}, [](void *h) { return kestal_restore_window(h); }},
    {"activate a minimised window", "minimized", {}, {"activate", "{h}"},
     [](void *h) { return kestal_activate_window(h); }},
    {"close", "-", {}, {"close", "{h}"}, [](void *h) { return kestal_close_window(h); }},
};

// A window of its own program, in the case's state, slow from now on.
struct slow_target {
    kt::child_windows child;
    HWND window = nullptr;
    std::string exstyle_before, placement_before;
};

bool make_slow(slow_target &target, const slow_case &c, const std::string &tag)
{
    if (!kt::start_child(target.child))
        return false;
    target.window = kt::child_make_window(target.child, c.flags, "slow " + tag + " " + c.what);
    if (!target.window)
        return false;
    if (!c.first.empty() && kt::run_cli(with_handle(c.first, target.window)).exit_code != 0)
        return false;
    target.exstyle_before = exstyle(target.child, target.window);
    target.placement_before = kt::child_command(target.child, "placement " + kt::handle_text(target.window));
    return kt::child_command(target.child, "slow " + kt::handle_text(target.window) + " " +
                                               std::to_string(kSlowStepMs)) == "ok";
}

// The answer of a call that gave up says which of the two it was; one that
// says the change was not made is checked once the window has caught up
// with everything it was sent.
void expect_honest(slow_target &target, int32_t done, const std::string &err)
{
    if (done)
        return;
    EXPECT_NE(err.find("(win32 error 1460)"), std::string::npos) << err;
    const bool asked = err.find("may still be made when the window answers again") != std::string::npos;
    const bool not_made = err.find("was not made") != std::string::npos;
    EXPECT_TRUE(asked != not_made) << err;
    kt::child_command(target.child, "slow " + kt::handle_text(target.window) + " 0");
    ASSERT_EQ(kt::child_command(target.child, "ping"), "pong");
    if (not_made) {
        EXPECT_EQ(exstyle(target.child, target.window), target.exstyle_before) << err;
        EXPECT_EQ(kt::child_command(target.child, "placement " + kt::handle_text(target.window)),
                  target.placement_before)
            << err;
    }
}

} // namespace

// Every step of a change waits for the window: the lock, the probe, each
// call into it, the read-back. They draw from one deadline, so a program
// that is slow at each step costs the caller the answer wait and no more,
// and the answer says what became of the change.
TEST(SlowWindows, every_setter_control_and_verb_comes_back_within_one_answer_wait)
{
    const std::string tag = std::to_string(GetCurrentProcessId());
    constexpr size_t kCount = std::size(kSlowCases);

    // In this process, all at once: each call has a thread and a program of its own.
    {
        slow_target targets[kCount];
        for (size_t i = 0; i < kCount; ++i)
            ASSERT_TRUE(make_slow(targets[i], kSlowCases[i], tag + " in")) << kSlowCases[i].what;
        struct call {
            const slow_case *c;
            HWND window;
            int32_t done;
            ULONGLONG took;
            kestal_failure failure;
        } calls[kCount];
        HANDLE threads[kCount];
        for (size_t i = 0; i < kCount; ++i) {
            calls[i] = {&kSlowCases[i], targets[i].window, -1, 0, {}};
            threads[i] = CreateThread(nullptr, 0, [](void *parameter) -> DWORD {
                auto &c = *static_cast<call *>(parameter);
                kestal_capture_failures(&c.failure);
                const ULONGLONG start = GetTickCount64();
                c.done = c.c->in_process(c.window);
                c.took = GetTickCount64() - start;
                kestal_capture_failures(nullptr);
                return 0;
            }, &calls[i], 0, nullptr);
            ASSERT_TRUE(threads[i]);
        }
        WaitForMultipleObjects(kCount, threads, TRUE, INFINITE);
        for (size_t i = 0; i < kCount; ++i) {
            SCOPED_TRACE(std::string("in process: ") + kSlowCases[i].what);
            CloseHandle(threads[i]);
            printf("in process, %s: %llu ms, %s\n", kSlowCases[i].what, calls[i].took,
                   calls[i].done ? "ok" : calls[i].failure.text);
            EXPECT_LT(calls[i].took, kCallBoundMs) << calls[i].failure.text;
            EXPECT_EQ(calls[i].done == 0, calls[i].failure.code == KESTAL_FAILURE_NOT_ANSWERING)
                << calls[i].done << " " << calls[i].failure.code << " " << calls[i].failure.text;
            expect_honest(targets[i], calls[i].done, calls[i].failure.text);
        }
        for (slow_target &target : targets)
            kt::stop_child(target.child);
    }

    // From the command line, one at a time, so that each process starts as
    // fast as one that changes nothing.
    ULONGLONG start_ms = ~0ull;
    for (int i = 0; i < 3; ++i) {
        const ULONGLONG start = GetTickCount64();
        kt::run_cli({"lasterror"});
        start_ms = std::min(start_ms, GetTickCount64() - start);
    }
    slow_target targets[kCount];
    for (size_t i = 0; i < kCount; ++i)
        ASSERT_TRUE(make_slow(targets[i], kSlowCases[i], tag + " cli")) << kSlowCases[i].what;
    // The windows catch up only once every command has run.
    kt::run_result runs[kCount];
    for (size_t i = 0; i < kCount; ++i) {
        SCOPED_TRACE(std::string("command line: ") + kSlowCases[i].what);
        const ULONGLONG start = GetTickCount64();
        runs[i] = kt::run_cli(with_handle(kSlowCases[i].args, targets[i].window));
        const ULONGLONG took = GetTickCount64() - start;
        printf("command line, %s: %llu ms, %s", kSlowCases[i].what, took,
               runs[i].exit_code == 0 ? runs[i].out.c_str() : runs[i].err.c_str());
        EXPECT_LT(took, kCallBoundMs + start_ms) << "a process starts in " << start_ms << " ms\n" << runs[i].err;
        EXPECT_EQ(runs[i].out == "ok\n", runs[i].exit_code == 0) << runs[i].out << runs[i].err;
        if (runs[i].exit_code != 0) {
            EXPECT_EQ(std::count(runs[i].err.begin(), runs[i].err.end(), '\n'), 1) << runs[i].err;
        }
    }
    for (size_t i = 0; i < kCount; ++i) {
        SCOPED_TRACE(std::string("command line: ") + kSlowCases[i].what);
        expect_honest(targets[i], runs[i].exit_code == 0, runs[i].err);
    }
    for (slow_target &target : targets)
        kt::stop_child(target.child);
}
