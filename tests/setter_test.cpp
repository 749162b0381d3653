// Pinning and fading windows through the library, read back from the listing.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <cwchar>
#include <functional>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "internal.h"
#include "kestal_inprocess.h"
#include "test_support.h"

namespace {

// Planted before a call that must leave the last-error text alone.
constexpr char kUntouched[] = "left by an earlier failure";

// The listing's view of one window; nullopt when the window is not listed.
std::optional<kt::listed_window> listed(HWND window)
{
    auto listing = kt::list_now();
    if (const kt::listed_window *entry = kt::find_listed(listing, window))
        return *entry;
    return std::nullopt;
}

LONG_PTR ex_style(HWND window)
{
    return GetWindowLongPtrW(window, GWL_EXSTYLE);
}

bool is_layered(HWND window)
{
    return (ex_style(window) & WS_EX_LAYERED) != 0;
}

BYTE alpha_byte(HWND window)
{
    COLORREF key = 0;
    BYTE alpha = 0;
    DWORD flags = 0;
    EXPECT_TRUE(GetLayeredWindowAttributes(window, &key, &alpha, &flags));
    EXPECT_EQ(flags, static_cast<DWORD>(LWA_ALPHA));
    return alpha;
}

// A window of this test process that goes away with the test.
struct own_window {
    HWND handle;
    explicit own_window(const kt::window_options &options) : handle(kt::make_window(options)) {}
    own_window(const own_window &) = delete;
    own_window &operator=(const own_window &) = delete;
    ~own_window()
    {
        if (handle && IsWindow(handle))
            DestroyWindow(handle);
        kt::pump();
    }
};

// The whole cycle a user drives: pin, release, fade by steps, back to opaque.
// Each change is checked where users see it, in the listing, and the alpha
// byte where the system keeps it. The windows move in step, one listing a step.
void check_round_trips(const std::vector<HWND> &windows)
{
    std::vector<LONG_PTR> original;
    for (HWND window : windows) {
        original.push_back(ex_style(window));
        ASSERT_FALSE(original.back() & WS_EX_LAYERED);
    }
    auto expect_listed = [&](const char *step, bool pinned, int64_t opacity) {
        SCOPED_TRACE(step);
        auto listing = kt::list_now();
        for (HWND window : windows) {
            const kt::listed_window *entry = kt::find_listed(listing, window);
            ASSERT_NE(entry, nullptr) << kt::handle_text(window);
            EXPECT_EQ(entry->pinned, pinned) << kt::handle_text(window);
            EXPECT_EQ(entry->opacity, opacity) << kt::handle_text(window);
        }
    };

    for (HWND window : windows)
        ASSERT_EQ(kestal_set_topmost(window, 1), 1) << kestal_last_error();
    expect_listed("pin", true, 100);
    for (HWND window : windows)
        ASSERT_EQ(kestal_set_topmost(window, 0), 1) << kestal_last_error();
    expect_listed("release", false, 100);

    struct step {
        int32_t pct;
        BYTE alpha;
    };
    for (const step &s : {step{20, 51}, step{45, 115}, step{60, 153}, step{99, 252}}) {
        const std::string what = "opacity " + std::to_string(s.pct);
        for (HWND window : windows) {
            ASSERT_EQ(kestal_set_opacity(window, s.pct), 1) << kestal_last_error();
            EXPECT_TRUE(is_layered(window)) << what;
            EXPECT_EQ(alpha_byte(window), s.alpha) << what;
        }
        expect_listed(what.c_str(), false, s.pct);
    }

    for (HWND window : windows)
        ASSERT_EQ(kestal_set_opacity(window, 100), 1) << kestal_last_error();
    expect_listed("opacity 100", false, 100);
    for (size_t i = 0; i < windows.size(); ++i)
        EXPECT_EQ(ex_style(windows[i]), original[i]) << "leaving layered mode must keep the other style bits";
}

class Setters : public ::testing::Test {
protected:
    static void SetUpTestSuite() { child_started = kt::start_child(child); }
    static void TearDownTestSuite() { kt::stop_child(child); }

    HWND child_window(const std::string &flags, const std::string &title)
    {
        HWND window = kt::child_make_window(child, flags, title);
        made_in_child.push_back(window);
        return window;
    }

    void TearDown() override
    {
        for (HWND window : made_in_child)
            kt::child_command(child, "destroy " + kt::handle_text(window));
    }

    static inline kt::child_windows child;
    static inline bool child_started = false;
    std::vector<HWND> made_in_child;
};

TEST_F(Setters, own_windows_pin_release_and_fade_as_the_listing_shows)
{
    own_window plain({L"setter round trip"});
    own_window tool({L"setter round trip (tool window)", WS_EX_TOOLWINDOW});
    ASSERT_TRUE(plain.handle);
    ASSERT_TRUE(tool.handle);
    check_round_trips({plain.handle, tool.handle});
}

TEST_F(Setters, another_processs_window_pins_releases_and_fades_as_the_listing_shows)
{
    ASSERT_TRUE(child_started);
    HWND window = child_window("-", "setter round trip in child");
    ASSERT_TRUE(window);
    check_round_trips({window});
}

TEST_F(Setters, every_percentage_from_20_to_100_reads_back_as_itself)
{
    own_window window({L"setter every percentage"});
    ASSERT_TRUE(window.handle);
    for (int32_t pct = 20; pct <= 100; ++pct) {
        ASSERT_EQ(kestal_set_opacity(window.handle, pct), 1) << pct << ": " << kestal_last_error();
        auto entry = listed(window.handle);
        ASSERT_TRUE(entry);
        EXPECT_EQ(entry->opacity, pct);
    }
    EXPECT_FALSE(is_layered(window.handle)) << "100 is opaque, not an alpha of 255";
}

// A CLI run is a process that has neither listed nor asked for the
// pointer-width accessors, so its setters go through the 32-bit ones.
TEST_F(Setters, a_process_that_never_listed_pins_and_fades_through_the_32_bit_accessors)
{
    ASSERT_TRUE(child_started);
    HWND window = child_window("-", "setter fresh process");
    ASSERT_TRUE(window);
    const std::string h = kt::handle_text(window);
    struct step {
        std::vector<std::string> args;
        bool pinned;
        int64_t opacity;
        bool layered;
    };
    const step steps[] = {
        {{"pin", h}, true, 100, false},
        {{"opacity", h, "45"}, true, 45, true},
        {{"opacity", h, "100"}, true, 100, false},
        {{"pin", h, "0"}, false, 100, false},
    };
    for (const step &s : steps) {
        SCOPED_TRACE(s.args[0] + " " + (s.args.size() > 2 ? s.args[2] : ""));
        kt::run_result run = kt::run_cli(s.args);
        EXPECT_EQ(run.out, "ok\n");
        EXPECT_EQ(run.err, "");
        EXPECT_EQ(run.exit_code, 0u);
        auto entry = listed(window);
        ASSERT_TRUE(entry);
        EXPECT_EQ(entry->pinned, s.pinned);
        EXPECT_EQ(entry->opacity, s.opacity);
        EXPECT_EQ(is_layered(window), s.layered);
    }
}

// Windows whose own program draws them layered, and windows that cannot be
// layered at all, faded and made opaque again from processes of their own.
// The helper reads its windows' layering back itself: per-pixel alpha and
// the colour key are the program's own drawing, which a fade must not take.
TEST_F(Setters, another_programs_own_layering_is_kept_and_what_cannot_be_faded_is_refused)
{
    ASSERT_TRUE(child_started);
    const std::string key = std::to_string(RGB(255, 0, 255));
    const std::string per_pixel = "error: set_opacity: the window draws its own per-pixel alpha "
                                  "(UpdateLayeredWindow); only its own program can change its opacity\n";
    auto no_layered_dc = [](const char *class_style) {
        return std::string("error: set_opacity: the window's class has ") + class_style +
               ", which a layered window cannot have; its opacity cannot be changed\n";
    };
    struct step {
        const char *pct;
        DWORD exit_code;
        std::string err;
        std::string layering; // the helper's own reading afterwards
        int64_t opacity;      // as listed afterwards
    };
    struct window_case {
        const char *what;
        const char *flags;
        std::vector<step> steps;
    };
    const std::string alpha_only = "layered flags=" + std::to_string(LWA_ALPHA);
    const std::string alpha_and_key = "layered flags=" + std::to_string(LWA_ALPHA | LWA_COLORKEY);
    const window_case cases[] = {
        {"plain window: made layered by kestal, and plain again at 100",
         "-",
         {{"60", 0, "", alpha_only + " alpha=153 key=0", 60}, {"100", 0, "", "plain", 100}}},
        {"per-pixel alpha: refused at every value, still drawn by its program",
         "perpixel",
         {{"60", 1, per_pixel, "layered unreadable", 100}, {"100", 1, per_pixel, "layered unreadable", 100}}},
        {"colour key only: faded with its key, opaque with its key, still layered",
         "colorkey",
         {{"60", 0, "", alpha_and_key + " alpha=153 key=" + key, 60},
          {"100", 0, "", alpha_and_key + " alpha=255 key=" + key, 100}}},
        {"own alpha: stays layered at full alpha",
         "layered=200",
         {{"45", 0, "", alpha_only + " alpha=115 key=0", 45}, {"100", 0, "", alpha_only + " alpha=255 key=0", 100}}},
        {"own alpha and colour key: both kept",
         "layered=200,colorkey",
         {{"20", 0, "", alpha_and_key + " alpha=51 key=" + key, 20},
          {"100", 0, "", alpha_and_key + " alpha=255 key=" + key, 100}}},
        {"CS_OWNDC: refused, while 100 on it is already true",
         "owndc",
         {{"60", 1, no_layered_dc("CS_OWNDC"), "plain", 100}, {"100", 0, "", "plain", 100}}},
        {"CS_CLASSDC: refused", "classdc", {{"60", 1, no_layered_dc("CS_CLASSDC"), "plain", 100}}},
    };
    for (const window_case &c : cases) {
        SCOPED_TRACE(c.what);
        HWND window = child_window(c.flags, std::string("setter layering ") + c.flags);
        ASSERT_TRUE(window);
        const std::string h = kt::handle_text(window);
        for (const step &s : c.steps) {
            SCOPED_TRACE(std::string("opacity ") + s.pct);
            kt::run_result run = kt::run_cli({"opacity", h, s.pct});
            EXPECT_EQ(run.exit_code, s.exit_code);
            EXPECT_EQ(run.out, s.exit_code == 0 ? "ok\n" : "");
            EXPECT_EQ(run.err, s.err);
            EXPECT_EQ(kt::child_command(child, "layering " + h), s.layering);
            auto entry = listed(window);
            ASSERT_TRUE(entry);
            EXPECT_EQ(entry->opacity, s.opacity);
        }
        if (std::string(c.flags) == "perpixel") {
            EXPECT_EQ(kt::child_command(child, "draw " + h), "ok") << "the program can no longer draw its window";
        }
    }
}

// A program may change its window's style while the setter waits for its
// answer; the setter's write must build on that change, not on what it read
// before asking. This window's procedure flips a style bit when asked.
LRESULT CALLBACK restyling_procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam)
{
    if (message == WM_NULL) {
        SetWindowLongPtrW(window, GWL_EXSTYLE, GetWindowLongPtrW(window, GWL_EXSTYLE) ^ WS_EX_ACCEPTFILES);
        return 0;
    }
    return DefWindowProcW(window, message, wparam, lparam);
}

TEST_F(Setters, a_style_change_made_while_the_program_is_asked_is_kept)
{
    own_window window({L"setter restyled while asked", 0, WS_OVERLAPPEDWINDOW | WS_VISIBLE,
                       L"KestalRestylingWindow", restyling_procedure});
    ASSERT_TRUE(window.handle);
    ASSERT_FALSE(ex_style(window.handle) & WS_EX_ACCEPTFILES);
    ASSERT_EQ(kestal_set_opacity(window.handle, 60), 1) << kestal_last_error();
    EXPECT_EQ(ex_style(window.handle) & (WS_EX_ACCEPTFILES | WS_EX_LAYERED), WS_EX_ACCEPTFILES | WS_EX_LAYERED);
    ASSERT_EQ(kestal_set_opacity(window.handle, 100), 1) << kestal_last_error();
    EXPECT_EQ(ex_style(window.handle) & (WS_EX_ACCEPTFILES | WS_EX_LAYERED), 0);
}

// A window that leaves layered mode is drawn again by its program: frame,
// client area and children, as the layered-window guidance asks.
TEST_F(Setters, leaving_layered_mode_asks_the_window_to_repaint)
{
    own_window window({L"setter repaint"});
    ASSERT_TRUE(window.handle);
    ASSERT_EQ(kestal_set_opacity(window.handle, 60), 1) << kestal_last_error();
    kt::pump();
    ASSERT_FALSE(GetUpdateRect(window.handle, nullptr, FALSE)) << "nothing is left to paint before the change";
    ASSERT_EQ(kestal_set_opacity(window.handle, 100), 1) << kestal_last_error();
    RECT client, update;
    GetClientRect(window.handle, &client);
    ASSERT_TRUE(GetUpdateRect(window.handle, &update, FALSE));
    EXPECT_TRUE(EqualRect(&update, &client)) << "the whole client area is to be painted";
}

// The same in this process: with the pointer-width accessors taken away
// before every call, the setters must fall back rather than call through null.
TEST_F(Setters, setters_work_without_the_pointer_width_accessors)
{
    own_window window({L"setter without pointer-width accessors"});
    ASSERT_TRUE(window.handle);
    const GetWindowLongPtrW_fn saved_get = p_GetWindowLongPtrW;
    const SetWindowLongPtrW_fn saved_set = p_SetWindowLongPtrW;
    auto without_accessors = [&](auto call) {
        p_GetWindowLongPtrW = nullptr;
        p_SetWindowLongPtrW = nullptr;
        int32_t result = call();
        p_GetWindowLongPtrW = saved_get;
        p_SetWindowLongPtrW = saved_set;
        return result;
    };

    EXPECT_EQ(without_accessors([&] { return kestal_set_topmost(window.handle, 1); }), 1) << kestal_last_error();
    EXPECT_TRUE(ex_style(window.handle) & WS_EX_TOPMOST);

    EXPECT_EQ(without_accessors([&] { return kestal_set_opacity(window.handle, 30); }), 1) << kestal_last_error();
    EXPECT_TRUE(is_layered(window.handle));
    EXPECT_EQ(alpha_byte(window.handle), 77);

    EXPECT_EQ(without_accessors([&] { return kestal_set_opacity(window.handle, 100); }), 1) << kestal_last_error();
    EXPECT_FALSE(is_layered(window.handle));
    EXPECT_TRUE(ex_style(window.handle) & WS_EX_TOPMOST) << "leaving layered mode must keep the other bits";
}

TEST_F(Setters, bad_arguments_and_failed_calls_return_0_and_say_why)
{
    own_window window({L"setter error paths"});
    ASSERT_TRUE(window.handle);
    // A handle that was a window a moment ago and is none now.
    HWND gone = kt::make_window({L"setter destroyed window"});
    ASSERT_TRUE(gone);
    DestroyWindow(gone);
    kt::pump();
    ASSERT_FALSE(IsWindow(gone));

    const HWND w = window.handle;
    struct error_case {
        const char *what;
        HWND window;
        bool topmost_call; // kestal_set_topmost(window, value), else kestal_set_opacity(window, value)
        int32_t value;
        int32_t result;
        const char *text; // the last-error text afterwards
    };
    const error_case cases[] = {
        {"pin, null handle", nullptr, true, 1, 0, "set_topmost: null hwnd"},
        {"release, null handle", nullptr, true, 0, 0, "set_topmost: null hwnd"},
        {"opacity, null handle", nullptr, false, 50, 0, "set_opacity: null hwnd"},
        {"opacity 19", w, false, 19, 0, "set_opacity: pct out of range 20-100 (got 19)"},
        {"opacity 101", w, false, 101, 0, "set_opacity: pct out of range 20-100 (got 101)"},
        {"opacity -1", w, false, -1, 0, "set_opacity: pct out of range 20-100 (got -1)"},
        {"opacity INT32_MIN", w, false, INT32_MIN, 0, "set_opacity: pct out of range 20-100 (got -2147483648)"},
        {"range is checked before the handle", nullptr, false, 15, 0, "set_opacity: pct out of range 20-100 (got 15)"},
        {"pin, destroyed window", gone, true, 1, 0,
         "SetWindowPos(topmost) failed (win32 error 1400): Invalid window handle.\r\n"},
        {"opacity 60, destroyed window", gone, false, 60, 0,
         "SetWindowLongPtr(WS_EX_LAYERED) failed (win32 error 1400): Invalid window handle.\r\n"},
        // No readable style means no layered bit, so there is nothing to leave.
        {"opacity 100, destroyed window", gone, false, 100, 1, kUntouched},
        {"opacity 100, window not layered", w, false, 100, 1, kUntouched},
    };
    for (const error_case &c : cases) {
        SCOPED_TRACE(c.what);
        set_error("%s", kUntouched);
        int32_t result = c.topmost_call ? kestal_set_topmost(c.window, c.value) : kestal_set_opacity(c.window, c.value);
        EXPECT_EQ(result, c.result);
        EXPECT_STREQ(kestal_last_error(), c.text);
    }
    const LONG_PTR style = ex_style(w);
    EXPECT_FALSE(style & WS_EX_LAYERED) << "a rejected or no-op call must not restyle the window";
    EXPECT_FALSE(style & WS_EX_TOPMOST);
}

TEST_F(Setters, a_success_leaves_the_last_error_text_as_it_was)
{
    own_window window({L"setter success keeps error"});
    ASSERT_TRUE(window.handle);
    ASSERT_EQ(kestal_set_topmost(nullptr, 1), 0);
    const std::string failure = kestal_last_error();
    EXPECT_EQ(kestal_set_topmost(window.handle, 1), 1);
    EXPECT_EQ(kestal_set_topmost(window.handle, 0), 1);
    EXPECT_EQ(kestal_set_opacity(window.handle, 50), 1);
    EXPECT_EQ(kestal_set_opacity(window.handle, 100), 1);
    EXPECT_EQ(kestal_last_error(), failure);
}

// Windows whose own procedure gets in the way of the restyle, each leaving an
// error code of its own so that the report shows which call it came from,
// and windows that vanish once a change has gone through, leaving no code.
enum class refusal : LONG_PTR {
    keep_style = 1,
    close_itself = 2,
    close_when_restyled = 3,
    close_when_moved = 4,
    undo_when_layered = 5,
    keep_z_order = 6,
};

LRESULT CALLBACK refusing_procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam)
{
    const auto how = static_cast<refusal>(GetWindowLongPtrW(window, GWLP_USERDATA));
    const bool restyle = static_cast<int>(wparam) == GWL_EXSTYLE;
    if (message == WM_STYLECHANGING && restyle && (how == refusal::keep_style || how == refusal::close_itself)) {
        if (how == refusal::keep_style) {
            auto *change = reinterpret_cast<STYLESTRUCT *>(lparam);
            change->styleNew = change->styleOld;
        } else {
            DestroyWindow(window);
        }
        SetLastError(ERROR_ACCESS_DENIED);
        return 0;
    }
    if ((message == WM_STYLECHANGED && restyle && how == refusal::close_when_restyled) ||
        (message == WM_WINDOWPOSCHANGING && how == refusal::close_when_moved)) {
        DestroyWindow(window);
        SetLastError(ERROR_SUCCESS);
        return 0;
    }
    // An owner that writes its own idea of the style back, as a program does
    // that read its style just before we changed it.
    if (message == WM_STYLECHANGED && restyle && how == refusal::undo_when_layered) {
        const auto *change = reinterpret_cast<const STYLESTRUCT *>(lparam);
        if ((change->styleNew & WS_EX_LAYERED) && !(change->styleOld & WS_EX_LAYERED))
            SetWindowLongPtrW(window, GWL_EXSTYLE, change->styleOld);
        SetLastError(ERROR_SUCCESS);
        return 0;
    }
    // A window that stays where it is in the z-order, and lets the call succeed.
    if (message == WM_WINDOWPOSCHANGING && how == refusal::keep_z_order) {
        reinterpret_cast<WINDOWPOS *>(lparam)->flags |= SWP_NOZORDER;
        return 0;
    }
    return DefWindowProcW(window, message, wparam, lparam);
}

// Who made a window layered: nobody, its own program, or kestal, which marks it.
enum class layered_by { nobody, program, kestal };

HWND make_refusing_window(refusal how, layered_by who)
{
    const bool layered = who != layered_by::nobody;
    HWND window = kt::make_window({L"setter refusing window", layered ? WS_EX_LAYERED : 0u,
                                   WS_OVERLAPPEDWINDOW | WS_VISIBLE, L"KestalRefusingWindow", refusing_procedure});
    if (window && layered)
        SetLayeredWindowAttributes(window, 0, 128, LWA_ALPHA);
    if (window && who == layered_by::kestal)
        SetPropW(window, kMadeLayeredProperty, reinterpret_cast<HANDLE>(1));
    if (window)
        SetWindowLongPtrW(window, GWLP_USERDATA, static_cast<LONG_PTR>(how));
    kt::pump();
    return window;
}

// A window that closes itself while being restyled makes the read-back fail
// with "invalid handle"; the report must still carry the write's own error.
// The same window shows that opacity 100 leaves a window that is not layered
// alone: a style write there would close it. A window that vanishes after a
// change went through leaves no code at all, and is reported as gone. One
// that refuses a change without an error code is reported as not keeping it.
TEST_F(Setters, a_refused_style_write_reports_the_error_the_write_left)
{
    constexpr int32_t kPin = -1; // in place of a percentage: pin the window instead
    struct refusal_case {
        const char *what;
        refusal how;
        layered_by layered;
        int32_t pct;
        int32_t result;
        const char *text;
    };
    const refusal_case cases[] = {
        {"layered style refused", refusal::keep_style, layered_by::nobody, 60, 0,
         "SetWindowLongPtr(WS_EX_LAYERED) failed (win32 error 5): Access denied.\r\n"},
        {"leaving layered mode refused", refusal::keep_style, layered_by::kestal, 100, 0,
         "SetWindowLongPtr(clear WS_EX_LAYERED) failed (win32 error 5): Access denied.\r\n"},
        // Its own program's layered window keeps its style at 100: no style write to refuse.
        {"program's layered window asked for 100", refusal::keep_style, layered_by::program, 100, 1, kUntouched},
        {"window closes itself", refusal::close_itself, layered_by::nobody, 60, 0,
         "SetWindowLongPtr(WS_EX_LAYERED) failed (win32 error 5): Access denied.\r\n"},
        {"opaque window asked for 100", refusal::close_itself, layered_by::nobody, 100, 1, kUntouched},
        {"window closes once made layered", refusal::close_when_restyled, layered_by::nobody, 60, 0,
         "SetWindowLongPtr(WS_EX_LAYERED) failed (win32 error 1400): Invalid window handle.\r\n"},
        {"window closes when pinned", refusal::close_when_moved, layered_by::nobody, kPin, 0,
         "SetWindowPos(topmost) failed (win32 error 1400): Invalid window handle.\r\n"},
        {"owner writes the old style back", refusal::undo_when_layered, layered_by::nobody, 60, 0,
         "SetWindowLongPtr(WS_EX_LAYERED) failed (win32 error 0): the window did not keep the change; its owner may "
         "have changed it back"},
        {"window keeps its place in the z-order", refusal::keep_z_order, layered_by::nobody, kPin, 0,
         "SetWindowPos(topmost) failed (win32 error 0): the window did not keep the change; its owner may have "
         "changed it back"},
    };
    for (const refusal_case &c : cases) {
        SCOPED_TRACE(c.what);
        HWND window = make_refusing_window(c.how, c.layered);
        ASSERT_TRUE(window);
        set_error("%s", kUntouched);
        EXPECT_EQ(c.pct == kPin ? kestal_set_topmost(window, 1) : kestal_set_opacity(window, c.pct), c.result);
        EXPECT_STREQ(kestal_last_error(), c.text);
        if (c.how == refusal::keep_style || c.how == refusal::undo_when_layered || c.how == refusal::keep_z_order ||
            c.result == 1) {
            ASSERT_TRUE(IsWindow(window)) << "the window must have been left alone";
            EXPECT_EQ(is_layered(window), c.layered != layered_by::nobody) << "the refused change must not have happened";
            EXPECT_FALSE(ex_style(window) & WS_EX_TOPMOST);
        }
        if (IsWindow(window)) {
            ShowWindow(window, SW_HIDE); // a shown window takes seconds to destroy without a window manager
            DestroyWindow(window);
        }
        kt::pump();
    }
}

// ---- programs that run with a higher integrity level -------------------------

// Wine has no integrity levels, so the token queries stand in: this process's
// own token reports one level, any other process's token another, and 0 makes
// the query fail as it does for a token that cannot be read. The tokens are
// real, so the library closes what it opened.
DWORD g_own_level = 0;
DWORD g_their_level = 0;
HANDLE g_own_token = nullptr;
OpenProcessToken_fn g_system_open_token = nullptr;

BOOL WINAPI open_token_stand_in(HANDLE process, DWORD access, PHANDLE token)
{
    if (!g_system_open_token(process, access, token))
        return FALSE;
    if (process == GetCurrentProcess())
        g_own_token = *token;
    return TRUE;
}

BOOL WINAPI token_information_stand_in(HANDLE token, TOKEN_INFORMATION_CLASS kind, LPVOID buffer, DWORD size,
                                       PDWORD needed)
{
    const DWORD level = token == g_own_token ? g_own_level : g_their_level;
    *needed = sizeof(TOKEN_MANDATORY_LABEL) + sizeof(SID);
    if (kind != TokenIntegrityLevel || level == 0 || size < *needed) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    auto *label = static_cast<TOKEN_MANDATORY_LABEL *>(buffer);
    auto *sid = reinterpret_cast<SID *>(label + 1);
    *sid = {SID_REVISION, 1, {SECURITY_MANDATORY_LABEL_AUTHORITY}, {level}};
    label->Label.Sid = sid;
    label->Label.Attributes = SE_GROUP_INTEGRITY;
    return TRUE;
}

// A change that fails on a window whose program runs above kestal says what
// to do about it, whichever call failed and whatever code it left; at the
// same level, or where a level cannot be read, the failure keeps its own words.
TEST_F(Setters, a_failure_on_a_window_of_a_program_run_as_administrator_says_so)
{
    constexpr char kAdvice[] = "the window belongs to a program running as administrator; run kestal-cli as "
                               "administrator to change it";
    constexpr int32_t kPin = -1;
    const struct {
        const char *what;
        DWORD own, theirs;
        refusal how;
        int32_t pct;
        std::string text;
    } cases[] = {
        {"high above medium, style refused", SECURITY_MANDATORY_MEDIUM_RID, SECURITY_MANDATORY_HIGH_RID,
         refusal::keep_style, 60, std::string("SetWindowLongPtr(WS_EX_LAYERED) failed (win32 error 5): ") + kAdvice},
        {"system above medium, z-order kept", SECURITY_MANDATORY_MEDIUM_RID, SECURITY_MANDATORY_SYSTEM_RID,
         refusal::keep_z_order, kPin, std::string("SetWindowPos(topmost) failed (win32 error 0): ") + kAdvice},
        {"the same level", SECURITY_MANDATORY_HIGH_RID, SECURITY_MANDATORY_HIGH_RID, refusal::keep_style, 60,
         "SetWindowLongPtr(WS_EX_LAYERED) failed (win32 error 5): Access denied.\r\n"},
        {"below kestal", SECURITY_MANDATORY_HIGH_RID, SECURITY_MANDATORY_MEDIUM_RID, refusal::keep_z_order, kPin,
         "SetWindowPos(topmost) failed (win32 error 0): the window did not keep the change; its owner may have "
         "changed it back"},
        {"their level unreadable", SECURITY_MANDATORY_MEDIUM_RID, 0, refusal::keep_style, 60,
         "SetWindowLongPtr(WS_EX_LAYERED) failed (win32 error 5): Access denied.\r\n"},
        {"own level unreadable", 0, SECURITY_MANDATORY_HIGH_RID, refusal::keep_style, 60,
         "SetWindowLongPtr(WS_EX_LAYERED) failed (win32 error 5): Access denied.\r\n"},
    };
    ASSERT_TRUE(token_queries()) << "advapi32's token queries are missing";
    g_system_open_token = p_OpenProcessToken;
    const GetTokenInformation_fn system_information = p_GetTokenInformation;
    // The window's process is this one: the stand-in tells the own token from
    // the one opened through the window's process id by the handle it got.
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        g_own_level = c.own;
        g_their_level = c.theirs;
        g_own_token = nullptr;
        HWND window = make_refusing_window(c.how, layered_by::nobody);
        ASSERT_TRUE(window);
        p_OpenProcessToken = open_token_stand_in;
        p_GetTokenInformation = token_information_stand_in;
        EXPECT_EQ(c.pct == kPin ? kestal_set_topmost(window, 1) : kestal_set_opacity(window, c.pct), 0);
        p_OpenProcessToken = g_system_open_token;
        p_GetTokenInformation = system_information;
        EXPECT_EQ(kestal_last_error(), c.text);
        ShowWindow(window, SW_HIDE);
        DestroyWindow(window);
        kt::pump();
    }
}

} // namespace

namespace {

// A window procedure that keeps its place in the z-order whatever it is asked.
LRESULT CALLBACK keeps_its_z_order(HWND window, UINT message, WPARAM wparam, LPARAM lparam)
{
    if (message == WM_WINDOWPOSCHANGING)
        reinterpret_cast<WINDOWPOS *>(lparam)->flags |= SWP_NOZORDER;
    return DefWindowProcW(window, message, wparam, lparam);
}

// Holds the change lock of a window as another change of it would, on a
// thread of its own (a mutex held by the caller's own thread would let the
// caller through), until `release` is set.
struct held_lock {
    HWND window;
    HANDLE held;
    HANDLE release;
};

DWORD WINAPI hold_change_lock(void *parameter)
{
    auto &lock = *static_cast<held_lock *>(parameter);
    wchar_t name[64];
    swprintf(name, std::size(name), L"Local\\KestalWindowChange-%llx",
             static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(lock.window)));
    HANDLE mutex = CreateMutexW(nullptr, TRUE, name);
    SetEvent(lock.held);
    WaitForSingleObject(lock.release, INFINITE);
    ReleaseMutex(mutex);
    CloseHandle(mutex);
    return 0;
}

} // namespace

// A caller decides on a retry by the code, never by the text: each failure
// carries the code of the situation that made it, beside the very text that
// kestal_last_error and kestal_capture_errors give.
TEST_F(Setters, each_failure_carries_the_code_of_the_situation_that_made_it)
{
    ASSERT_TRUE(child_started);
    own_window plain({L"failure codes plain"});
    own_window stubborn(
        {L"failure codes stubborn", 0, WS_OVERLAPPEDWINDOW | WS_VISIBLE, L"KestalKeepsZOrder", keeps_its_z_order});
    HWND gone = kt::make_window({L"failure codes gone"});
    ASSERT_TRUE(plain.handle && stubborn.handle && gone);
    DestroyWindow(gone);
    kt::pump();
    HWND per_pixel = child_window("perpixel", "failure codes per-pixel");
    HWND own_dc = child_window("owndc", "failure codes own DC");
    ASSERT_TRUE(per_pixel && own_dc);
    // Programs of their own: one stops answering, and one window's lock is held.
    kt::child_windows hung, locked;
    ASSERT_TRUE(kt::start_child(hung));
    ASSERT_TRUE(kt::start_child(locked));
    HWND hung_window = kt::child_make_window(hung, "-", "failure codes hung");
    HWND locked_window = kt::child_make_window(locked, "-", "failure codes locked");
    ASSERT_TRUE(hung_window && locked_window);
    held_lock lock = {locked_window, CreateEventW(nullptr, TRUE, FALSE, nullptr),
                      CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    HANDLE holder = CreateThread(nullptr, 0, hold_change_lock, &lock, 0, nullptr);
    ASSERT_EQ(WaitForSingleObject(lock.held, 5000), WAIT_OBJECT_0);
    // A short wait keeps the cases that wait quick; the codes are the same at 5 s.
    kestal_set_answer_wait(500);

    struct code_case {
        const char *what;
        std::function<int32_t()> call;
        int32_t code;
    };
    const code_case cases[] = {
        {"a success", [&] { return kestal_set_topmost(plain.handle, 1); }, KESTAL_FAILURE_NONE},
        {"pin, null handle", [] { return kestal_set_topmost(nullptr, 1); }, KESTAL_FAILURE_ARGUMENT},
        {"opacity 19", [&] { return kestal_set_opacity(plain.handle, 19); }, KESTAL_FAILURE_ARGUMENT},
        {"resize to 0 x 10", [&] { return kestal_resize_window(plain.handle, 0, 10); }, KESTAL_FAILURE_ARGUMENT},
        {"reset, null handle", [] { return kestal_reset(nullptr); }, KESTAL_FAILURE_ARGUMENT},
        {"pin, closed window", [&] { return kestal_set_topmost(gone, 1); }, KESTAL_FAILURE_NO_WINDOW},
        {"clickthrough, closed window", [&] { return kestal_set_clickthrough(gone, KESTAL_ON); },
         KESTAL_FAILURE_NO_WINDOW},
        {"move, closed window", [&] { return kestal_move_window(gone, 10, 10); }, KESTAL_FAILURE_NO_WINDOW},
        {"opacity, per-pixel alpha", [&] { return kestal_set_opacity(per_pixel, 50); }, KESTAL_FAILURE_REFUSED},
        {"opacity, class with its own DC", [&] { return kestal_set_opacity(own_dc, 50); }, KESTAL_FAILURE_REFUSED},
        {"pin, the desktop window", [] { return kestal_set_topmost(GetDesktopWindow(), 1); }, KESTAL_FAILURE_REFUSED},
        {"minimize, the desktop window", [] { return kestal_minimize_window(GetDesktopWindow()); },
         KESTAL_FAILURE_REFUSED},
        {"pin, a program that does not answer",
         [&] {
             EXPECT_EQ(kt::child_command(hung, "hang 3000"), "ok");
             return kestal_set_topmost(hung_window, 1);
         },
         KESTAL_FAILURE_NOT_ANSWERING},
        {"pin, another change of the window runs", [&] { return kestal_set_topmost(locked_window, 1); },
         KESTAL_FAILURE_WINDOW_BUSY},
        {"pin, a window that keeps its place", [&] { return kestal_set_topmost(stubborn.handle, 1); },
         KESTAL_FAILURE_OTHER},
    };
    for (const code_case &c : cases) {
        SCOPED_TRACE(c.what);
        kestal_failure failure;
        memset(&failure, 'x', sizeof failure);
        char text[KESTAL_ERROR_SIZE] = "untouched";
        kestal_capture_failures(&failure);
        EXPECT_EQ(failure.code, KESTAL_FAILURE_NONE) << "a capture begins with nothing failed";
        EXPECT_STREQ(failure.text, "no error");
        kestal_capture_errors(text);
        const int32_t done = c.call();
        kestal_capture_errors(nullptr);
        kestal_capture_failures(nullptr);
        EXPECT_EQ(done, c.code == KESTAL_FAILURE_NONE ? 1 : 0) << kestal_last_error();
        EXPECT_EQ(failure.code, c.code) << failure.text;
        if (c.code == KESTAL_FAILURE_NONE) {
            EXPECT_STREQ(failure.text, "no error");
            EXPECT_STREQ(text, "untouched");
        } else {
            EXPECT_STREQ(failure.text, kestal_last_error());
            EXPECT_STREQ(text, kestal_last_error());
        }
    }
    // After the capture stops, a failure writes nothing more into it.
    kestal_failure stopped = {KESTAL_FAILURE_NONE, "after"};
    kestal_capture_failures(&stopped);
    kestal_capture_failures(nullptr);
    EXPECT_EQ(kestal_set_topmost(nullptr, 1), 0);
    EXPECT_EQ(stopped.code, KESTAL_FAILURE_NONE);
    EXPECT_STREQ(stopped.text, "no error");

    kestal_set_answer_wait(5000);
    SetEvent(lock.release);
    WaitForSingleObject(holder, 5000);
    CloseHandle(holder);
    CloseHandle(lock.held);
    CloseHandle(lock.release);
    EXPECT_EQ(kestal_set_topmost(plain.handle, 0), 1) << kestal_last_error();
    ASSERT_EQ(kt::child_command(hung, "ping"), "pong");
    kt::stop_child(hung);
    kt::stop_child(locked);
}
