// kestal-cli watch as its reader sees it: JSON Lines on a pipe, while a
// helper process changes its windows.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "test_support.h"

namespace {

constexpr char kWatchUsageStart[] = "usage: kestal-cli watch ";

// One line of the watch's stdout within `ms`, without its "\n"; false when
// none came in time or the pipe closed.
bool read_line_within(HANDLE pipe, std::string &pending, std::string &line, DWORD ms)
{
    const ULONGLONG deadline = GetTickCount64() + ms;
    for (;;) {
        const size_t end = pending.find('\n');
        if (end != std::string::npos) {
            line = pending.substr(0, end);
            pending.erase(0, end + 1);
            return true;
        }
        DWORD available = 0;
        if (!PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr))
            return false;
        if (available > 0) {
            char buffer[4096];
            DWORD got = 0;
            if (!ReadFile(pipe, buffer, std::min<DWORD>(available, sizeof buffer), &got, nullptr))
                return false;
            pending.append(buffer, got);
            continue;
        }
        if (GetTickCount64() >= deadline)
            return false;
        Sleep(10);
    }
}

// One parsed line of the stream.
struct event_line {
    std::string event;
    int64_t hwnd = 0; // of the window object, or of "closed"
    kt::long_window window;
    std::vector<std::string> changed;
};

// Checks the line's whole shape: one object, "event" first, and exactly the
// members its event has.
bool parse_event(const std::string &text, bool long_form, event_line &parsed)
{
    yyjson_doc *doc = yyjson_read(text.data(), text.size(), 0);
    yyjson_val *root = yyjson_doc_get_root(doc);
    bool ok = yyjson_is_obj(root) && yyjson_is_str(yyjson_obj_get(root, "event"));
    if (ok) {
        yyjson_obj_iter members = yyjson_obj_iter_with(root);
        ok = std::string(yyjson_get_str(yyjson_obj_iter_next(&members))) == "event";
        parsed.event = yyjson_get_str(yyjson_obj_get(root, "event"));
        const size_t size = yyjson_obj_size(root);
        if (parsed.event == "ready") {
            ok = ok && size == 1;
        } else if (parsed.event == "closed") {
            ok = ok && size == 2 && yyjson_is_int(yyjson_obj_get(root, "hwnd"));
            parsed.hwnd = yyjson_get_sint(yyjson_obj_get(root, "hwnd"));
        } else if (parsed.event == "opened" || parsed.event == "changed") {
            ok = ok && size == (parsed.event == "opened" ? 2u : 3u) &&
                 kt::read_window(yyjson_obj_get(root, "window"), long_form, parsed.window);
            parsed.hwnd = parsed.window.listed.hwnd;
            yyjson_val *changed = yyjson_obj_get(root, "changed");
            if (parsed.event == "changed") {
                ok = ok && yyjson_is_arr(changed) && yyjson_arr_size(changed) > 0;
                size_t index, count;
                yyjson_val *name;
                yyjson_arr_foreach(changed, index, count, name) parsed.changed.push_back(yyjson_get_str(name));
            }
        } else {
            ok = false;
        }
    }
    yyjson_doc_free(doc);
    EXPECT_TRUE(ok) << "not an event line: " << text;
    return ok;
}

// A running `kestal-cli watch`, its stdout on a pipe of ours.
struct watch_process {
    kt::child_windows cli;
    std::string pending;
    bool long_form = false;
};

bool start_watch(watch_process &watch, const std::wstring &arguments, std::vector<event_line> *opening = nullptr)
{
    watch.long_form = arguments.find(L"--long") != std::wstring::npos;
    if (!kt::launch_child(watch.cli, kt::program_path(L"kestal-cli.exe"), L"watch " + arguments))
        return false;
    std::string line;
    while (read_line_within(watch.cli.from_child, watch.pending, line, 20000)) {
        event_line parsed;
        if (!parse_event(line, watch.long_form, parsed))
            return false;
        if (parsed.event == "ready")
            return true;
        EXPECT_EQ(parsed.event, "opened") << "before ready: " << line;
        if (opening)
            opening->push_back(parsed);
    }
    ADD_FAILURE() << "no ready line";
    return false;
}

// The next line about `window`; lines about other windows are checked and passed by.
bool next_event_for(watch_process &watch, HWND window, event_line &parsed, std::string &line)
{
    const int64_t wanted = reinterpret_cast<intptr_t>(window);
    while (read_line_within(watch.cli.from_child, watch.pending, line, 10000)) {
        parsed = {};
        if (!parse_event(line, watch.long_form, parsed))
            return false;
        if (parsed.hwnd == wanted)
            return true;
    }
    return false;
}

void stop_watch(watch_process &watch)
{
    if (!watch.cli.process)
        return;
    TerminateProcess(watch.cli.process, 0);
    WaitForSingleObject(watch.cli.process, 10000);
    CloseHandle(watch.cli.process);
    CloseHandle(watch.cli.to_child);
    if (watch.cli.from_child)
        CloseHandle(watch.cli.from_child);
    watch.cli = {};
}

class Watch : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(kt::start_child(helper_)); }
    void TearDown() override
    {
        stop_watch(watch_);
        kt::stop_child(helper_);
        kt::stop_child(other_);
    }
    kt::child_windows helper_;
    kt::child_windows other_; // a second process, for the tests that need one
    watch_process watch_;
};

TEST_F(Watch, each_change_of_a_window_is_one_line_in_the_order_it_happened)
{
    HWND before = kt::child_make_window(helper_, "-", "watch: there from the start");
    ASSERT_TRUE(before);
    std::vector<event_line> opening;
    ASSERT_TRUE(start_watch(watch_, L"--interval 50", &opening));
    size_t seen_before = 0;
    for (const event_line &line : opening)
        seen_before += line.hwnd == reinterpret_cast<intptr_t>(before);
    EXPECT_EQ(seen_before, 1u);

    HWND window = kt::child_make_window(helper_, "-", "watch: Café 窓 😀");
    ASSERT_TRUE(window);
    const std::string h = kt::handle_text(window);
    struct step {
        std::string command; // to the helper; empty for the window's creation
        const char *event;
        std::vector<std::string> changed;
        const char *title;
        bool pinned;
        int64_t opacity;
    };
    const step steps[] = {
        {"", "opened", {}, "watch: Café 窓 😀", false, 100},
        {"title " + h + " watch: retitled \"q\"", "changed", {"title"}, "watch: retitled \"q\"", false, 100},
        {"pin " + h + " 1", "changed", {"pinned"}, "watch: retitled \"q\"", true, 100},
        {"fade " + h + " 153", "changed", {"opacity"}, "watch: retitled \"q\"", true, 60},
        {"show " + h + " 0", "closed", {}, nullptr, false, 0},
        {"show " + h + " 8", "opened", {}, "watch: retitled \"q\"", true, 60},
        {"destroy " + h, "closed", {}, nullptr, false, 0},
    };
    for (const step &s : steps) {
        SCOPED_TRACE(s.command.empty() ? "make" : s.command);
        if (!s.command.empty()) {
            ASSERT_EQ(kt::child_command(helper_, s.command), "ok");
        }
        event_line parsed;
        std::string line;
        ASSERT_TRUE(next_event_for(watch_, window, parsed, line)) << "no line for the window";
        SCOPED_TRACE(line);
        EXPECT_EQ(parsed.event, s.event);
        EXPECT_EQ(parsed.changed, s.changed);
        if (s.title) {
            EXPECT_EQ(parsed.window.listed.title, s.title);
            EXPECT_EQ(parsed.window.listed.exe, "kestal-test-windows.exe");
            EXPECT_EQ(parsed.window.listed.pinned, s.pinned);
            EXPECT_EQ(parsed.window.listed.opacity, s.opacity);
        }
    }
}

// The hooks take top-level windows only; a filter that let none through
// would leave every change to the interval, here a minute.
TEST_F(Watch, a_new_top_level_window_is_listed_at_once_not_at_the_interval)
{
    ASSERT_TRUE(start_watch(watch_, L"--interval 60000"));
    const ULONGLONG start = GetTickCount64();
    HWND window = kt::child_make_window(helper_, "-", "watch: listed at once");
    ASSERT_TRUE(window);
    event_line parsed;
    std::string line;
    ASSERT_TRUE(next_event_for(watch_, window, parsed, line)) << "no line for the window within 10 s";
    EXPECT_EQ(parsed.event, "opened");
    EXPECT_LT(GetTickCount64() - start, 5000u);
}

// The watch keeps class and process per handle from one listing to the
// next. A handle's value that comes back for a window of another process and
// class (the helper's `remake`) is another window: the old one closes and the
// new one opens with its own facts. The interval is a minute, so that where
// the system tells other processes of creations only (Wine 8), the value is
// back before the next listing, with the first window still remembered.
TEST_F(Watch, a_handle_value_back_for_another_window_is_that_window_opened)
{
    ASSERT_TRUE(kt::start_child(other_));
    // A thread's first window brings objects of its own; made now, none of
    // them takes the freed slot later.
    ASSERT_TRUE(kt::child_make_window(other_, "hidden", "watch: warm-up"));
    HWND window = kt::child_make_window(helper_, "-", "watch: before");
    ASSERT_TRUE(window);
    std::vector<event_line> opening;
    ASSERT_TRUE(start_watch(watch_, L"--long --interval 60000", &opening));
    const event_line *first = nullptr;
    for (const event_line &line : opening)
        first = line.hwnd == reinterpret_cast<intptr_t>(window) ? &line : first;
    ASSERT_TRUE(first);
    EXPECT_EQ(first->window.pid, static_cast<int64_t>(helper_.pid));
    EXPECT_EQ(first->window.class_name, "KestalChildWindow");

    ASSERT_EQ(kt::child_command(helper_, "destroy " + kt::handle_text(window)), "ok");
    std::string answer;
    ASSERT_TRUE(kt::child_remake_window(other_, window, "class=KestalRecycled", "watch: after", answer))
        << "the helper could not bring the handle back: " << answer;
    for (const char *event : {"closed", "opened"}) {
        event_line parsed;
        std::string line;
        ASSERT_TRUE(next_event_for(watch_, window, parsed, line)) << "no " << event << " line for the value";
        SCOPED_TRACE(line);
        ASSERT_EQ(parsed.event, event);
        if (parsed.event == "opened") {
            EXPECT_EQ(parsed.window.pid, static_cast<int64_t>(other_.pid));
            EXPECT_EQ(parsed.window.class_name, "KestalRecycled");
            EXPECT_EQ(parsed.window.listed.title, "watch: after");
        }
    }
}

TEST_F(Watch, count_ends_it_after_that_many_change_lines_and_long_and_ascii_pass_through)
{
    ASSERT_TRUE(start_watch(watch_, L"--ascii --count 2 --long --interval 50"));
    HWND window = kt::child_make_window(helper_, "class=KestalWatched,at=60:70:220:120", "watch: Grüße 😀");
    ASSERT_TRUE(window);
    // The title changes once the window is in the stream, so that the two are two changes.
    std::vector<std::string> lines;
    std::string line;
    event_line opened;
    ASSERT_TRUE(next_event_for(watch_, window, opened, line));
    lines.push_back(line);
    ASSERT_EQ(kt::child_command(helper_, "title " + kt::handle_text(window) + " watch: 窓"), "ok");
    // Read as it writes, as a reader would, until it ends by itself.
    const ULONGLONG deadline = GetTickCount64() + 20000;
    bool ended = false;
    while (!ended && GetTickCount64() < deadline) {
        ended = WaitForSingleObject(watch_.cli.process, 0) == WAIT_OBJECT_0;
        while (read_line_within(watch_.cli.from_child, watch_.pending, line, ended ? 0 : 200))
            lines.push_back(line);
    }
    ASSERT_TRUE(ended) << "still running after " << lines.size() << " lines";
    DWORD exit_code = 1;
    GetExitCodeProcess(watch_.cli.process, &exit_code);
    EXPECT_EQ(exit_code, 0u);

    std::vector<event_line> changes;
    for (const std::string &text : lines) {
        for (unsigned char c : text)
            ASSERT_LT(c, 0x80) << text;
        changes.emplace_back();
        ASSERT_TRUE(parse_event(text, true, changes.back()));
    }
    // Changes of other windows count too; the foreground moves to the new one.
    ASSERT_EQ(changes.size(), 2u);
    EXPECT_EQ(changes[0].event, "opened");
    EXPECT_EQ(changes[0].window.class_name, "KestalWatched");
    EXPECT_EQ(changes[0].window.listed.title, "watch: Grüße 😀");
    EXPECT_EQ(changes[0].window.pid, static_cast<int64_t>(helper_.pid));
    EXPECT_EQ(changes[0].window.x, 60);
    EXPECT_EQ(changes[0].window.y, 70);
    EXPECT_EQ(changes[0].window.width, 220);
    EXPECT_EQ(changes[0].window.height, 120);
    EXPECT_EQ(changes[1].event, "changed");
}

TEST_F(Watch, a_reader_that_has_gone_ends_it_quietly_with_success)
{
    // Its stderr goes to a file of ours, where nothing may arrive.
    wchar_t directory[MAX_PATH], path[MAX_PATH];
    GetTempPathW(MAX_PATH, directory);
    ASSERT_TRUE(GetTempFileNameW(directory, L"kst", 0, path));
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE errors = CreateFileW(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                                CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(errors, INVALID_HANDLE_VALUE);
    HANDLE own_errors = GetStdHandle(STD_ERROR_HANDLE);
    SetStdHandle(STD_ERROR_HANDLE, errors);
    const bool started = start_watch(watch_, L"--interval 50");
    SetStdHandle(STD_ERROR_HANDLE, own_errors);
    ASSERT_TRUE(started);

    CloseHandle(watch_.cli.from_child);
    watch_.cli.from_child = nullptr;
    ASSERT_TRUE(kt::child_make_window(helper_, "-", "watch: written to nobody"));
    ASSERT_EQ(WaitForSingleObject(watch_.cli.process, 20000), WAIT_OBJECT_0) << "still running without a reader";
    DWORD exit_code = 1;
    GetExitCodeProcess(watch_.cli.process, &exit_code);
    EXPECT_EQ(exit_code, 0u);
    char text[512] = {};
    DWORD got = 0;
    SetFilePointer(errors, 0, nullptr, FILE_BEGIN);
    ReadFile(errors, text, sizeof text - 1, &got, nullptr);
    EXPECT_EQ(std::string(text, got), "");
    CloseHandle(errors);
    DeleteFileW(path);
}

TEST(WatchOptions, an_unusable_interval_or_count_is_refused_with_watchs_usage)
{
    const std::vector<std::string> cases[] = {
        {"watch", "--interval", "49"}, {"watch", "--interval"},   {"watch", "--interval", "fast"},
        {"watch", "--count", "0"},     {"watch", "--count", "-3"}, {"watch", "--interval", "100ms"},
    };
    for (const std::vector<std::string> &args : cases) {
        kt::run_result run = kt::run_cli(args);
        SCOPED_TRACE(args.back());
        EXPECT_EQ(run.exit_code, 2u);
        EXPECT_EQ(run.err.rfind("error: " + args[1] + " needs ", 0), 0u) << run.err;
        EXPECT_EQ(run.out.rfind(kWatchUsageStart, 0), 0u) << run.out;
    }
}


// Ctrl+C on the console that the watch shares with a helper of the test's.
// Windows ends a program without a handler of its own with 0xC000013A;
// Wine 8 ends it with 0, so here the test shows the end, not the handler.
TEST(WatchConsole, ctrl_c_ends_it_with_success_after_whole_lines)
{
    kt::run_result run = kt::run_program(kt::program_path(L"kestal-test-ctrl-c.exe"),
                                         {kt::narrow(kt::program_path(L"kestal-cli.exe")), "watch", "--interval", "50"});
    ASSERT_EQ(run.exit_code, 0u) << run.out << run.err;
    EXPECT_EQ(run.out.rfind("exit 0\n", 0), 0u) << run.out;
    EXPECT_NE(run.out.find("{\"event\":\"ready\"}\n"), std::string::npos) << run.out;
    EXPECT_EQ(run.out.back(), '\n') << run.out;
}

} // namespace
