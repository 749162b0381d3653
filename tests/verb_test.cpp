// The window verbs, each read back by the user32 of the program that owns the
// window; store apps by their own name; coordinates in physical pixels.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "internal.h"
#include "kestal_inprocess.h"
#include "test_support.h"

namespace {

constexpr char kUsage[] = "tinsmere-kestal CLI\n"
                          "usage:\n"
                          "  kestal-cli list                         list top-level windows (JSON)\n"
                          "  kestal-cli pin <hwnd> [0|1]             set/clear always-on-top\n"
                          "  kestal-cli opacity <hwnd> <20..100>     set opacity\n"
                          "  kestal-cli test                         self-test roundtrip\n"
                          "  kestal-cli lasterror                    print last error\n";

std::string hex_text(HWND window)
{
    char text[32];
    snprintf(text, sizeof text, "0x%llX", static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(window)));
    return text;
}

std::string joined(const std::vector<std::string> &args)
{
    std::string text = "kestal-cli";
    for (const std::string &arg : args)
        text += " '" + arg + "'";
    return text;
}

class Verbs : public ::testing::Test {
protected:
    static void SetUpTestSuite() { child_started = kt::start_child(child); }
    static void TearDownTestSuite() { kt::stop_child(child); }

    void SetUp() override { ASSERT_TRUE(child_started); }
    void TearDown() override
    {
        for (HWND window : made)
            kt::child_command(child, "destroy " + kt::handle_text(window));
    }

    HWND make(const std::string &flags, const std::string &title)
    {
        HWND window = kt::child_make_window(child, flags, title);
        made.push_back(window);
        return window;
    }

    static std::string placement(HWND window) { return kt::child_command(child, "placement " + kt::handle_text(window)); }

    static inline kt::child_windows child;
    static inline bool child_started = false;
    std::vector<HWND> made;
};

// One window through every state and place; the handle goes in decimal and
// in hexadecimal by turns. A minimised window that is moved or resized
// stays minimised, and its program finds the new place in its placement.
TEST_F(Verbs, each_verb_leaves_the_window_as_its_own_program_reads_it)
{
    HWND window = make("at=100:120:300:200", "verb target");
    ASSERT_TRUE(window);
    const std::string dec = kt::handle_text(window), hex = hex_text(window);
    ASSERT_EQ(placement(window), "normal 100:120:300:200");
    struct step {
        std::vector<std::string> args;
        std::string placement;
    };
    const step steps[] = {
        {{"move", dec, "150", "160"}, "normal 150:160:300:200"},
        {{"resize", hex, "400", "250"}, "normal 150:160:400:250"},
        {{"move", dec, "-20", "30"}, "normal -20:30:400:250"},
        {{"maximize", hex}, "maximized -20:30:400:250"},
        {{"restore", dec}, "normal -20:30:400:250"},
        {{"minimize", hex}, "minimized -20:30:400:250"},
        {{"restore", dec}, "normal -20:30:400:250"},
        {{"maximize", dec}, "maximized -20:30:400:250"},
        {{"minimize", dec}, "minimized -20:30:400:250"},
        // Minimised from maximised: one SW_RESTORE would bring it back maximised.
        {{"restore", hex}, "normal -20:30:400:250"},
    };
    for (const step &s : steps) {
        SCOPED_TRACE(joined(s.args));
        kt::run_result run = kt::run_cli(s.args);
        EXPECT_EQ(run.err, "");
        EXPECT_EQ(run.out, "ok\n");
        EXPECT_EQ(run.exit_code, 0u);
        EXPECT_EQ(placement(window), s.placement);
    }
}

// Wine changes the placement of its own process's windows only, so the
// window is the test's own here; Windows takes the same calls for any.
TEST(OwnWindowVerbs, a_minimised_window_stays_minimised_and_takes_the_new_place_for_later)
{
    HWND window = CreateWindowExW(0, L"STATIC", L"verb own target", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 100, 120, 300,
                                  200, nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
    ASSERT_TRUE(window);
    auto normal_place = [&] {
        WINDOWPLACEMENT placement = {};
        placement.length = sizeof placement;
        GetWindowPlacement(window, &placement);
        const RECT &r = placement.rcNormalPosition;
        const char *state = IsIconic(window) ? "minimized" : IsZoomed(window) ? "maximized" : "normal";
        return std::string(state) + " " + std::to_string(r.left) + ":" + std::to_string(r.top) + ":" +
               std::to_string(r.right - r.left) + ":" + std::to_string(r.bottom - r.top);
    };
    struct step {
        const char *what;
        int32_t (*verb)(HWND);
        std::string placement;
    };
    const step steps[] = {
        {"minimize", [](HWND w) { return kestal_minimize_window(w); }, "minimized 100:120:300:200"},
        {"move", [](HWND w) { return kestal_move_window(w, 50, 60); }, "minimized 50:60:300:200"},
        {"resize", [](HWND w) { return kestal_resize_window(w, 320, 240); }, "minimized 50:60:320:240"},
        {"restore", [](HWND w) { return kestal_restore_window(w); }, "normal 50:60:320:240"},
    };
    for (const step &s : steps) {
        SCOPED_TRACE(s.what);
        EXPECT_EQ(s.verb(window), 1) << kestal_last_error();
        kt::pump();
        EXPECT_EQ(normal_place(), s.placement);
    }
    DestroyWindow(window);
}

TEST_F(Verbs, activate_brings_the_window_to_the_front_restoring_a_minimised_one)
{
    HWND first = make("at=60:60:200:150", "verb activate first");
    HWND second = make("minimized", "verb activate second");
    ASSERT_TRUE(first && second);
    ASSERT_EQ(placement(second).substr(0, 9), "minimized");
    struct step {
        HWND window;
        std::string target;
    };
    const step steps[] = {{first, kt::handle_text(first)}, {second, hex_text(second)}, {first, hex_text(first)}};
    for (const step &s : steps) {
        SCOPED_TRACE(s.target);
        kt::run_result run = kt::run_cli({"activate", s.target});
        EXPECT_EQ(run.err, "");
        EXPECT_EQ(run.out, "ok\n");
        EXPECT_EQ(run.exit_code, 0u);
        EXPECT_EQ(kt::child_command(child, "foreground"), kt::handle_text(s.window));
        EXPECT_EQ(placement(s.window).substr(0, 6), "normal");
    }
}

TEST_F(Verbs, close_asks_the_window_to_close_and_its_program_closes_it)
{
    HWND window = make("-", "verb close target");
    ASSERT_TRUE(window);
    kt::run_result run = kt::run_cli({"close", hex_text(window)});
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.out, "ok\n");
    // Posted: the program closes the window when it takes the message, which
    // comes before the answer to the next command.
    EXPECT_EQ(kt::child_command(child, "exists " + kt::handle_text(window)), "no");
    EXPECT_EQ(kt::child_command(child, "ping"), "pong") << "close must never end the program";
}

TEST_F(Verbs, one_selector_moves_resizes_and_shows_every_window_it_matches)
{
    HWND pair[] = {make("class=KestalVerbPair,at=10:10:200:100", "pair one"),
                   make("class=KestalVerbPair,at=500:300:220:140", "pair two")};
    HWND bystander = make("class=KestalVerbBystander,at=30:40:250:150", "bystander");
    ASSERT_TRUE(pair[0] && pair[1] && bystander);
    struct step {
        std::vector<std::string> args;
        std::string placement;
    };
    const step steps[] = {
        {{"move", "class:KestalVerbPair", "90", "95"}, "normal 90:95:"},
        {{"resize", "class:kestalverbpair", "330", "210"}, "normal 90:95:330:210"},
        {{"minimize", "class:KestalVerbPair"}, "minimized 90:95:330:210"},
        {{"restore", "class:KestalVerbPair"}, "normal 90:95:330:210"},
    };
    for (const step &s : steps) {
        SCOPED_TRACE(joined(s.args));
        kt::run_result run = kt::run_cli(s.args);
        EXPECT_EQ(run.err, "");
        EXPECT_EQ(run.out, "ok\n");
        for (HWND window : pair)
            EXPECT_EQ(placement(window).substr(0, s.placement.size()), s.placement);
        EXPECT_EQ(placement(bystander), "normal 30:40:250:150");
    }
}

TEST_F(Verbs, missing_or_unreadable_arguments_give_the_usage_and_exit_2)
{
    HWND window = make("at=40:50:200:100", "verb argument target");
    ASSERT_TRUE(window);
    const std::string h = kt::handle_text(window);
    struct verb_case {
        std::vector<std::string> args;
        std::string err;
    };
    const std::string move_form = "error: move: give the window and the new x and y: move <hwnd> <x> <y>\n";
    const std::string resize_form =
        "error: resize: give the window and the new width and height: resize <hwnd> <width> <height>\n";
    const verb_case cases[] = {
        {{"move"}, move_form},
        {{"move", h}, move_form},
        {{"move", h, "10"}, move_form},
        {{"move", h, "left", "10"}, "error: move: the x 'left' is not a whole number of pixels\n"},
        {{"move", h, "10", "12px"}, "error: move: the y '12px' is not a whole number of pixels\n"},
        {{"move", h, "10", "4294967306"}, "error: move: the y '4294967306' is not a whole number of pixels\n"},
        {{"move", h, "", "10"}, "error: move: the x '' is not a whole number of pixels\n"},
        {{"resize", h, "300"}, resize_form},
        {{"resize", h, "3.5", "200"}, "error: resize: the width '3.5' is not a whole number of pixels\n"},
        {{"minimize"}, "error: minimize: give the window: a handle or a selector\n"},
        {{"maximize"}, "error: maximize: give the window: a handle or a selector\n"},
        {{"restore"}, "error: restore: give the window: a handle or a selector\n"},
        {{"activate"}, "error: activate: give the window: a handle or a selector\n"},
        {{"close"}, "error: close: give the window: a handle or a selector\n"},
        // No window can take these: refused before any window is asked.
        {{"resize", h, "0", "100"}, "error: resize: the width '0' is no size that a window can take: give 1 pixel or more\n"},
        {{"resize", h, "100", "-5"},
         "error: resize: the height '-5' is no size that a window can take: give 1 pixel or more\n"},
        {{"resize", "0x1F", "0", "10"},
         "error: resize: the width '0' is no size that a window can take: give 1 pixel or more\n"},
        {{"close", "window"}, "error: close: 'window' is no selector (active, exe:NAME, title:TEXT, class:NAME or "
                              "pid:N), nor a window handle: give a handle that list prints, a selector, or pick to click the window\n"},
    };
    for (const verb_case &c : cases) {
        SCOPED_TRACE(joined(c.args));
        kt::run_result run = kt::run_cli(c.args);
        EXPECT_EQ(run.err, c.err);
        // The verb's own usage, not the usage text of the whole program.
        const std::string help = kt::run_cli({"help", c.args[0]}).out;
        EXPECT_EQ(run.out.rfind(help.substr(0, help.find("\n\n") + 1), 0), 0u) << run.out;
        EXPECT_EQ(run.out.find(kUsage), std::string::npos) << run.out;
        EXPECT_EQ(run.exit_code, 2u);
    }
    EXPECT_EQ(placement(window), "normal 40:50:200:100");
}

// "ok" stands when the window took the change its own way: the system's
// smallest size for a framed window, a place beyond every screen, a place
// beyond what the system keeps. The note says where the window is, as its
// own program reads it.
TEST_F(Verbs, move_and_resize_say_on_stderr_where_a_window_ended_that_is_not_where_asked)
{
    HWND pair[] = {make("class=KestalVerbNote,at=40:50:200:100", "note one"),
                   make("class=KestalVerbNote,at=300:50:200:100", "note two")};
    ASSERT_TRUE(pair[0] && pair[1]);
    const std::string h = kt::handle_text(pair[0]);
    // "note: HWND: the window ended at X, Y, W x H: " for the place the child reads.
    auto note_start = [&](HWND window) {
        int x = 0, y = 0, width = 0, height = 0;
        const std::string rect = kt::child_command(child, "rect " + kt::handle_text(window));
        EXPECT_EQ(sscanf(rect.c_str(), "%d:%d:%d:%d", &x, &y, &width, &height), 4) << rect;
        return "note: " + kt::handle_text(window) + ": the window ended at " + std::to_string(x) + ", " +
               std::to_string(y) + ", " + std::to_string(width) + " x " + std::to_string(height) + ": ";
    };
    struct step {
        std::vector<std::string> args;
        std::vector<std::string> reasons; // none: stderr stays empty
    };
    const step steps[] = {
        {{"resize", h, "1", "1"}, {"not the 1 x 1 asked: its program or the system holds it to that size"}},
        {{"resize", h, "250", "150"}, {}},
        {{"move", h, "20000", "20000"}, {"on no screen: move it onto one to see it"}},
        {{"move", h, "60", "70"}, {}},
    };
    for (const step &s : steps) {
        SCOPED_TRACE(joined(s.args));
        kt::run_result run = kt::run_cli(s.args);
        EXPECT_EQ(run.out, "ok\n");
        EXPECT_EQ(run.exit_code, 0u);
        if (s.reasons.empty()) {
            EXPECT_EQ(run.err, "");
            continue;
        }
        const std::string start = note_start(pair[0]);
        EXPECT_EQ(run.err.rfind(start, 0), 0u) << run.err;
        for (const std::string &reason : s.reasons)
            EXPECT_TRUE(run.err.find(reason) != std::string::npos) << run.err;
        EXPECT_EQ(run.err.find('\n'), run.err.size() - 1) << run.err;
    }

    // Beyond the place that the system keeps, where it keeps one (Wine stops
    // at 32767): whether the note says so follows where the window is.
    kt::run_result distant = kt::run_cli({"move", h, "100000", "0"});
    EXPECT_EQ(distant.out, "ok\n");
    EXPECT_EQ(distant.exit_code, 0u);
    const std::string distant_start = note_start(pair[0]);
    EXPECT_EQ(distant.err.rfind(distant_start, 0), 0u) << distant.err;
    EXPECT_EQ(distant.err.find("not at the 100000, 0 asked") != std::string::npos,
              distant_start.find("ended at 100000, ") == std::string::npos)
        << distant.err;
    EXPECT_NE(distant.err.find("on no screen"), std::string::npos) << distant.err;

    // Each window that a selector matches gets its own note.
    kt::run_result both = kt::run_cli({"resize", "class:KestalVerbNote", "1", "1"});
    EXPECT_EQ(both.out, "ok\n");
    EXPECT_EQ(both.exit_code, 0u);
    for (HWND window : pair)
        EXPECT_NE(both.err.find(note_start(window) + "not the 1 x 1 asked"), std::string::npos) << both.err;
    EXPECT_EQ(std::count(both.err.begin(), both.err.end(), '\n'), 2) << both.err;
}

TEST_F(Verbs, windows_that_are_no_target_are_refused_with_the_reason)
{
    const std::string desktop = kt::handle_text(GetDesktopWindow());
    // The system's text for the code follows; its words differ between systems.
    const std::string denied = " failed (win32 error 5): ";
    const std::string invalid = " failed (win32 error 1400): ";
    struct verb_case {
        std::vector<std::string> args;
        std::string err;
    };
    const verb_case cases[] = {
        {{"move", "0", "1", "2"}, "error: move_window: null hwnd\n"},
        {{"move", desktop, "1", "2"}, "error: SetWindowPos(move)" + denied},
        {{"minimize", desktop}, "error: ShowWindow(SW_MINIMIZE)" + denied},
        {{"close", desktop}, "error: PostMessage(WM_CLOSE)" + denied},
        {{"move", "0x1F", "1", "2"}, "error: SetWindowPos(move)" + invalid},
        {{"close", "0x1F"}, "error: PostMessage(WM_CLOSE)" + invalid},
        {{"activate", "0x1F"}, "error: SetForegroundWindow" + invalid},
    };
    for (const verb_case &c : cases) {
        SCOPED_TRACE(joined(c.args));
        kt::run_result run = kt::run_cli(c.args);
        EXPECT_EQ(run.err.substr(0, c.err.size()), c.err);
        EXPECT_EQ(run.err.back(), '\n');
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(run.exit_code, 1u);
    }
}

TEST_F(Verbs, a_program_that_does_not_answer_is_left_alone_after_the_wait)
{
    HWND window = make("at=40:50:200:100", "verb hung target");
    ASSERT_TRUE(window);
    ASSERT_EQ(kt::child_command(child, "hang 8000"), "ok");
    kt::run_result run = kt::run_cli({"move", kt::handle_text(window), "300", "300"});
    EXPECT_EQ(run.exit_code, 1u);
    EXPECT_NE(run.err.find("SendMessageTimeout(WM_NULL) failed (win32 error 1460): the window is not answering"),
              std::string::npos)
        << run.err;
    EXPECT_NE(run.err.find("the move was not made"), std::string::npos) << run.err;
    EXPECT_EQ(placement(window), "normal 40:50:200:100");
}

// ---- store apps ----------------------------------------------------------------

// The frame comes from a program named as the system's frame host, the app's
// window inside it from a program named as the app.
class StoreApps : public ::testing::Test {
protected:
    void SetUp() override
    {
        for (const std::wstring *copy : {&host_copy_, &app_copy_})
            ASSERT_TRUE(CopyFileW(kt::program_path(L"kestal-test-windows.exe").c_str(), copy->c_str(), FALSE))
                << "win32 error " << GetLastError();
        ASSERT_TRUE(kt::start_child(host_, host_copy_));
        ASSERT_TRUE(kt::start_child(app_, app_copy_));
    }
    void TearDown() override
    {
        kestal_census_release();
        kt::stop_child(host_);
        kt::stop_child(app_);
        DeleteFileW(host_copy_.c_str());
        DeleteFileW(app_copy_.c_str());
    }

    // The frame as one census of this process sees it, with the facts kept
    // from the census before.
    static const kestal_window *census_entry(HWND window)
    {
        const kestal_window *windows = nullptr;
        const int32_t count = kestal_census(0, &windows);
        for (int32_t i = 0; i < count; ++i) {
            if (windows[i].hwnd == static_cast<int64_t>(reinterpret_cast<intptr_t>(window)))
                return &windows[i];
        }
        ADD_FAILURE() << "the census does not hold " << kt::handle_text(window);
        return nullptr;
    }

    std::wstring host_copy_ = kt::program_path(L"ApplicationFrameHost.exe");
    std::wstring app_copy_ = kt::program_path(L"KestalStoreApp.exe");
    kt::child_windows host_, app_;
};

TEST_F(StoreApps, a_frame_takes_its_apps_name_once_the_apps_window_is_inside)
{
    HWND frame = kt::child_make_window(host_, "class=ApplicationFrameWindow", "Store App");
    HWND plain = kt::child_make_window(host_, "class=KestalNoFrame", "Not a frame");
    ASSERT_TRUE(frame && plain);
    struct step {
        const char *what;
        kt::child_windows *child_owner; // whose CoreWindow goes in, or none
        const char *exe;
        kt::child_windows *pid_owner;
    };
    const step steps[] = {
        {"starting: no app window yet", nullptr, "ApplicationFrameHost.exe", &host_},
        {"the frame host's own child is no app", &host_, "ApplicationFrameHost.exe", &host_},
        {"the app's window inside", &app_, "KestalStoreApp.exe", &app_},
    };
    for (const step &s : steps) {
        SCOPED_TRACE(s.what);
        if (s.child_owner) {
            const std::string made = kt::child_command(
                *s.child_owner, "child " + kt::handle_text(frame) + " Windows.UI.Core.CoreWindow app");
            ASSERT_NE(made, "0");
        }
        const kestal_window *entry = census_entry(frame);
        ASSERT_NE(entry, nullptr);
        EXPECT_STREQ(entry->exe, s.exe);
        EXPECT_EQ(entry->pid, s.pid_owner->pid);
        const kestal_window *other = census_entry(plain);
        ASSERT_NE(other, nullptr);
        EXPECT_STREQ(other->exe, "ApplicationFrameHost.exe");
    }

    // The command line's one census, and its selectors, agree.
    kt::run_result run = kt::run_cli({"list", "--long"});
    auto listing = kt::parse_long_listing(run.out.c_str());
    ASSERT_TRUE(listing);
    bool found = false;
    for (const kt::long_window &window : *listing) {
        if (window.listed.hwnd != static_cast<int64_t>(reinterpret_cast<intptr_t>(frame)))
            continue;
        found = true;
        EXPECT_EQ(window.listed.exe, "KestalStoreApp.exe");
        EXPECT_EQ(window.pid, static_cast<int64_t>(app_.pid));
    }
    EXPECT_TRUE(found) << run.out;
    run = kt::run_cli({"move", "exe:KestalStoreApp.exe", "70", "90"});
    EXPECT_EQ(run.out, "ok\n") << run.err;
    EXPECT_EQ(kt::child_command(host_, "placement " + kt::handle_text(frame)).substr(0, 13), "normal 70:90:");
}

// ---- the thread's DPI awareness ------------------------------------------------

std::vector<DPI_AWARENESS_CONTEXT> g_contexts_set;
bool g_refuse_v2 = false;
// What the stand-in answers as the thread's context before each change: a
// host's thread that is aware of the system DPI.
const DPI_AWARENESS_CONTEXT kHostContext = DPI_AWARENESS_CONTEXT_SYSTEM_AWARE;

// Records each context asked for; refuses the second version of per-monitor
// awareness where told to, as Windows 10 1607 does.
// What the threads that make a verb's calls on the caller's behalf set.
std::vector<DPI_AWARENESS_CONTEXT> g_contexts_set_elsewhere;
DWORD g_test_thread = 0;

DPI_AWARENESS_CONTEXT WINAPI recording_set_context(DPI_AWARENESS_CONTEXT context)
{
    (GetCurrentThreadId() == g_test_thread ? g_contexts_set : g_contexts_set_elsewhere).push_back(context);
    return g_refuse_v2 && context == DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE_V2 ? nullptr : kHostContext;
}

template <typename Fn> Fn user32_function(const char *name)
{
    return reinterpret_cast<Fn>(reinterpret_cast<void *>(GetProcAddress(GetModuleHandleW(L"user32.dll"), name)));
}

class ThreadDpi : public Verbs {
protected:
    void SetUp() override
    {
        Verbs::SetUp();
        system_set_context = user32_function<SetThreadDpiAwarenessContext_fn>("SetThreadDpiAwarenessContext");
        // The library resolves its own on first need; a stand-in put in first is kept.
        p_SetThreadDpiAwarenessContext = recording_set_context;
        g_test_thread = GetCurrentThreadId();
        g_contexts_set.clear();
        g_refuse_v2 = false;
    }
    void TearDown() override
    {
        p_SetThreadDpiAwarenessContext = system_set_context;
        Verbs::TearDown();
    }
    SetThreadDpiAwarenessContext_fn system_set_context = nullptr;
};

bool take_census()
{
    const kestal_window *windows = nullptr;
    const bool taken = kestal_census(KESTAL_CENSUS_PLACEMENT, &windows) >= 0;
    kestal_census_release();
    return taken;
}

// In between, the census and the verbs with coordinates work per-monitor
// aware; afterwards the thread has the context it had before.
TEST_F(ThreadDpi, census_and_coordinate_verbs_work_per_monitor_aware_and_give_the_thread_back)
{
    HWND window = make("at=40:50:200:100", "dpi scope target");
    ASSERT_TRUE(window);
    using contexts = std::vector<DPI_AWARENESS_CONTEXT>;
    const DPI_AWARENESS_CONTEXT v2 = DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE_V2;
    const DPI_AWARENESS_CONTEXT v1 = DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE;
    struct call {
        const char *what;
        bool refuse_v2;
        bool (*run)(HWND);
        contexts set;
        // The call into the other program's window is made on a thread of
        // its own, which must read the coordinates in physical pixels too.
        contexts set_elsewhere;
    };
    const call calls[] = {
        {"census", false, [](HWND) { return take_census(); }, {v2, kHostContext}, {}},
        {"move", false, [](HWND w) { return kestal_move_window(w, 80, 90) == 1; }, {v2, kHostContext},
         {v2, kHostContext}},
        {"resize", false, [](HWND w) { return kestal_resize_window(w, 260, 170) == 1; }, {v2, kHostContext},
         {v2, kHostContext}},
        {"move where v2 is unknown", true, [](HWND w) { return kestal_move_window(w, 85, 95) == 1; },
         {v2, v1, kHostContext}, {v2, v1, kHostContext}},
        {"census where v2 is unknown", true, [](HWND) { return take_census(); }, {v2, v1, kHostContext}, {}},
        // The calls that take no coordinates leave the context alone.
        {"minimize", false, [](HWND w) { return kestal_minimize_window(w) == 1; }, {}, {}},
        {"restore", false, [](HWND w) { return kestal_restore_window(w) == 1; }, {}, {}},
    };
    for (const call &c : calls) {
        SCOPED_TRACE(c.what);
        g_contexts_set.clear();
        g_contexts_set_elsewhere.clear();
        g_refuse_v2 = c.refuse_v2;
        ASSERT_TRUE(c.run(window)) << kestal_last_error();
        EXPECT_EQ(g_contexts_set, c.set);
        EXPECT_EQ(g_contexts_set_elsewhere, c.set_elsewhere);
    }
    EXPECT_EQ(placement(window), "normal 85:95:260:170");

    // The system's own, where it has one: the thread's context is its own again.
    using equal_fn = BOOL(WINAPI *)(DPI_AWARENESS_CONTEXT, DPI_AWARENESS_CONTEXT);
    using get_fn = DPI_AWARENESS_CONTEXT(WINAPI *)();
    auto equal = user32_function<equal_fn>("AreDpiAwarenessContextsEqual");
    auto get = user32_function<get_fn>("GetThreadDpiAwarenessContext");
    if (!system_set_context || !equal || !get)
        return;
    p_SetThreadDpiAwarenessContext = system_set_context;
    const DPI_AWARENESS_CONTEXT before = system_set_context(DPI_AWARENESS_CONTEXT_SYSTEM_AWARE);
    ASSERT_TRUE(take_census()) << kestal_last_error();
    ASSERT_EQ(kestal_move_window(window, 90, 100), 1) << kestal_last_error();
    EXPECT_TRUE(equal(get(), DPI_AWARENESS_CONTEXT_SYSTEM_AWARE));
    system_set_context(before);
}

// ---- a scaled screen -------------------------------------------------------------

// Runs in a Wine prefix at 144 DPI (150 %), made by the ctest that names
// this test: tests/dpi/scaled_screen_test.sh. Wine 8 gives every program
// physical pixels; from Wine 9 on, as on Windows, a program that is not DPI
// aware gets other programs' windows scaled, which this test shows first.
class ScaledScreen : public Verbs {};

// The screen's DPI as a system-aware thread reads it: Windows, and Wine from
// version 9 on, answer 96 to a thread that is not DPI aware, as this one is not.
UINT system_dpi()
{
    auto set_context = user32_function<SetThreadDpiAwarenessContext_fn>("SetThreadDpiAwarenessContext");
    const DPI_AWARENESS_CONTEXT before = set_context ? set_context(DPI_AWARENESS_CONTEXT_SYSTEM_AWARE) : nullptr;
    HDC screen = GetDC(nullptr);
    const int dpi = GetDeviceCaps(screen, LOGPIXELSX);
    ReleaseDC(nullptr, screen);
    if (before)
        set_context(before);
    return static_cast<UINT>(dpi);
}

int wine_major()
{
    using version_fn = const char *(CDECL *)();
    auto version = reinterpret_cast<version_fn>(
        reinterpret_cast<void *>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version")));
    return version ? atoi(version()) : 0;
}

TEST_F(ScaledScreen, list_long_move_and_resize_give_and_take_physical_pixels)
{
    if (!GetEnvironmentVariableW(L"KESTAL_SCALED_SCREEN", nullptr, 0))
        GTEST_SKIP() << "needs a screen at 144 DPI: runs as ctest verbs_on_a_scaled_screen";
    ASSERT_EQ(system_dpi(), 144u) << "the prefix is not at 144 DPI (LogPixels)";
    ASSERT_EQ(kt::child_command(child, "dpiaware"), "ok");
    HWND window = make("at=300:200:900:600", "scaled screen target");
    ASSERT_TRUE(window);
    ASSERT_EQ(placement(window), "normal 300:200:900:600");
    // This test program declares no awareness: where the system scales
    // coordinates for such a program, it sees two thirds of each.
    RECT seen = {};
    ASSERT_TRUE(GetWindowRect(window, &seen));
    if (wine_major() == 0 || wine_major() >= 9) {
        EXPECT_EQ(seen.left, 200);
        EXPECT_EQ(seen.top, 133);
        EXPECT_EQ(seen.right - seen.left, 600) << "the screen is not scaled for unaware programs";
    }

    auto long_entry = [&](kt::long_window &found) {
        kt::run_result run = kt::run_cli({"list", "--long"});
        auto listing = kt::parse_long_listing(run.out.c_str());
        if (!listing)
            return false;
        for (const kt::long_window &w : *listing) {
            if (w.listed.hwnd == static_cast<int64_t>(reinterpret_cast<intptr_t>(window))) {
                found = w;
                return true;
            }
        }
        return false;
    };
    kt::long_window listed;
    ASSERT_TRUE(long_entry(listed));
    EXPECT_EQ(listed.x, 300);
    EXPECT_EQ(listed.y, 200);
    EXPECT_EQ(listed.width, 900);
    EXPECT_EQ(listed.height, 600);

    struct step {
        std::vector<std::string> args;
        std::string placement;
    };
    const step steps[] = {
        {{"move", kt::handle_text(window), "450", "330"}, "normal 450:330:900:600"},
        {{"resize", kt::handle_text(window), "750", "480"}, "normal 450:330:750:480"},
    };
    for (const step &s : steps) {
        SCOPED_TRACE(joined(s.args));
        kt::run_result run = kt::run_cli(s.args);
        EXPECT_EQ(run.out, "ok\n") << run.err;
        EXPECT_EQ(placement(window), s.placement);
    }
    ASSERT_TRUE(long_entry(listed));
    EXPECT_EQ(listed.x, 450);
    EXPECT_EQ(listed.y, 330);
    EXPECT_EQ(listed.width, 750);
    EXPECT_EQ(listed.height, 480);
}

} // namespace
