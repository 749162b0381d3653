// pick: the person chooses a window by clicking it. Each case starts a
// command that picks, waits for its sheet over the screen, and clicks with
// SendInput, as a person's mouse would, or presses Esc; the helper's own
// count of clicks shows that the click reached no window.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "kestal_inprocess.h"
#include "test_support.h"
#include "window_pick.h"

namespace {

constexpr DWORD kPatienceMs = 10000;
// A command's start under Wine on a busy machine takes seconds: its sheet is
// waited for this long.
constexpr DWORD kSheetPatienceMs = 30000;

enum class gesture { centre, ring, empty, escape, nothing };

// Clicks the left button at a point of the screen, in the physical pixels of
// the virtual screen.
void click_at(POINT at)
{
    const int left = GetSystemMetrics(SM_XVIRTUALSCREEN), top = GetSystemMetrics(SM_YVIRTUALSCREEN);
    const int width = GetSystemMetrics(SM_CXVIRTUALSCREEN), height = GetSystemMetrics(SM_CYVIRTUALSCREEN);
    INPUT inputs[3] = {};
    inputs[0].type = INPUT_MOUSE;
    inputs[0].mi.dx = static_cast<LONG>(((at.x - left) * 65535LL + width / 2) / (width - 1));
    inputs[0].mi.dy = static_cast<LONG>(((at.y - top) * 65535LL + height / 2) / (height - 1));
    inputs[0].mi.dwFlags = MOUSEEVENTF_MOVE | MOUSEEVENTF_ABSOLUTE | MOUSEEVENTF_VIRTUALDESK;
    inputs[1].type = INPUT_MOUSE;
    inputs[1].mi.dwFlags = MOUSEEVENTF_LEFTDOWN;
    inputs[2].type = INPUT_MOUSE;
    inputs[2].mi.dwFlags = MOUSEEVENTF_LEFTUP;
    SendInput(1, inputs, sizeof(INPUT));
    // The move first, so that the press lands where it was sent.
    kt::wait_until(
        [&] {
            POINT now = {};
            return GetCursorPos(&now) && now.x == at.x && now.y == at.y;
        },
        2000);
    SendInput(2, inputs + 1, sizeof(INPUT));
}

void press_escape()
{
    INPUT inputs[2] = {};
    inputs[0].type = inputs[1].type = INPUT_KEYBOARD;
    inputs[0].ki.wVk = inputs[1].ki.wVk = VK_ESCAPE;
    inputs[1].ki.dwFlags = KEYEVENTF_KEYUP;
    SendInput(2, inputs, sizeof(INPUT));
}

HWND shown_sheet()
{
    HWND sheet = FindWindowW(kPickSheetClass, nullptr);
    return sheet && IsWindowVisible(sheet) ? sheet : nullptr;
}

RECT rect_of(HWND window)
{
    RECT rect = {};
    GetWindowRect(window, &rect);
    return rect;
}

POINT centre_of(HWND window)
{
    const RECT rect = rect_of(window);
    return {(rect.left + rect.right) / 2, (rect.top + rect.bottom) / 2};
}

// Waits until a sheet shows and takes the mouse at `at`: a sheet that the
// system has not yet put under the point would let a click through.
bool sheet_ready_at(POINT at)
{
    return kt::wait_until([&] { return shown_sheet() && WindowFromPoint(at) == shown_sheet(); }, kSheetPatienceMs);
}

class Pick : public ::testing::Test {
protected:
    kt::child_windows child;

    void SetUp() override { ASSERT_TRUE(kt::start_child(child)); }
    void TearDown() override { kt::stop_child(child); }

    std::string exstyle(HWND window) { return kt::child_command(child, "exstyle " + kt::handle_text(window)); }
    int clicks() { return std::stoi(kt::child_command(child, "clicks")); }

    // Starts `args`, waits for its sheet, makes the gesture, and waits for its end.
    DWORD pick(const std::vector<std::string> &args, gesture how, HWND window, kt::running_command &command,
               DWORD patience_ms = kPatienceMs)
    {
        if (!kt::start_command(command, args))
            return 0xffffffffu;
        if (!sheet_ready_at(centre_of(window)))
            return kt::wait_for_end(command, 1);
        switch (how) {
        case gesture::centre:
            click_at(centre_of(window));
            break;
        case gesture::ring: {
            // The left side of the border, just outside the window's frame.
            const RECT frame = rect_of(window);
            click_at({frame.left - 2, (frame.top + frame.bottom) / 2});
            break;
        }
        case gesture::empty:
            // The bottom right corner of the screen, where no window lies.
            click_at({GetSystemMetrics(SM_CXSCREEN) - 3, GetSystemMetrics(SM_CYSCREEN) - 3});
            break;
        case gesture::escape:
            press_escape();
            break;
        case gesture::nothing:
            break;
        }
        return kt::wait_for_end(command, patience_ms);
    }
};

TEST_F(Pick, a_click_chooses_the_window_under_it_and_reaches_no_program)
{
    HWND window = kt::child_make_window(child, "at=300:300:400:300", "kestal pick target");
    ASSERT_NE(window, nullptr);
    const std::string hwnd = kt::handle_text(window);
    const struct {
        const char *what;
        std::vector<std::string> args;
        gesture how;
        DWORD exit_code;
        std::string line; // the command's line that says what became of it
        std::string style; // the window's extended style afterwards, as its program reads it
    } cases[] = {
        {"pin pick pins the window clicked", {"pin", "pick"}, gesture::centre, 0, "ok", "topmost"},
        {"pin pick 0 releases it", {"pin", "pick", "0"}, gesture::centre, 0, "ok", "-"},
        {"opacity pick fades it", {"opacity", "pick", "70"}, gesture::centre, 0, "ok", "layered"},
        {"reset pick takes everything back", {"reset", "pick"}, gesture::centre, 0, "ok", "-"},
        {"list --long pick lists it alone", {"list", "--long", "pick"}, gesture::centre, 0, "[{\"hwnd\":" + hwnd, "-"},
        {"Esc cancels", {"pin", "pick"}, gesture::escape, 1, "error: the pick was cancelled: no window was changed", "-"},
        {"the desktop is no window", {"pin", "pick"}, gesture::empty, 1,
         "error: the click was on the desktop, which is no window to pick: click a window", "-"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        kt::running_command command;
        EXPECT_EQ(pick(c.args, c.how, window, command), c.exit_code) << kt::all_lines(command);
        EXPECT_NE(kt::all_lines(command).find(c.line), std::string::npos) << kt::all_lines(command);
        EXPECT_EQ(exstyle(window), c.style);
        EXPECT_EQ(shown_sheet(), nullptr) << "the sheet stays after the pick";
    }
    EXPECT_EQ(clicks(), 0) << "a pick's click reached the window under it";
    // The same click without a pick does reach it: the count above can fail.
    click_at(centre_of(window));
    EXPECT_TRUE(kt::wait_until([&] { return clicks() > 0; }, kPatienceMs));
}

TEST_F(Pick, a_click_on_a_border_of_keep_is_refused_and_one_inside_it_picks_the_window)
{
    HWND window = kt::child_make_window(child, "at=300:300:400:300", "kestal pick bordered");
    ASSERT_NE(window, nullptr);
    const std::wstring rules = kt::write_temp_file(
        L"kestal-pick-border.json",
        R"({"border": {"thickness": 6}, "tray": false, "rules": [{"match": "title:kestal pick bordered", "pin": true}]})");
    kt::running_command keep;
    ASSERT_TRUE(kt::start_command(keep, {"keep", kt::narrow(rules)}));
    ASSERT_TRUE(kt::wait_for_line(keep, "\"event\":\"ready\"", kPatienceMs)) << kt::all_lines(keep);
    ASSERT_TRUE(kt::wait_until([] { return FindWindowW(KESTAL_BORDER_CLASS, nullptr) != nullptr; }, kPatienceMs));
    {
        kt::running_command command;
        EXPECT_EQ(pick({"pin", "pick", "0"}, gesture::ring, window, command), 1u) << kt::all_lines(command);
        EXPECT_NE(kt::all_lines(command).find("error: the click was on the border that keep draws around a pinned "
                                              "window: click the window inside it"),
                  std::string::npos)
            << kt::all_lines(command);
    }
    {
        kt::running_command command;
        EXPECT_EQ(pick({"list", "pick"}, gesture::centre, window, command), 0u) << kt::all_lines(command);
        EXPECT_NE(kt::all_lines(command).find("[{\"hwnd\":" + kt::handle_text(window)), std::string::npos)
            << kt::all_lines(command);
    }
    EXPECT_EQ(clicks(), 0);
    kt::run_cli({"keep", "--stop"});
    kt::wait_for_end(keep, kPatienceMs);
}

// A hotkey's pick waits on a thread of its own: keep's other hotkeys and its
// stop are taken meanwhile, and a stop ends the pick as Esc would.
TEST_F(Pick, a_hotkey_picks_off_keeps_thread_and_a_stop_ends_its_wait)
{
    HWND window = kt::child_make_window(child, "at=300:300:400:300", "kestal pick by key");
    ASSERT_NE(window, nullptr);
    const std::wstring rules = kt::write_temp_file(
        L"kestal-pick-keys.json",
        R"({"tray": false, "rules": [], "keys": {"Ctrl+Alt+P": "pin pick toggle", "Ctrl+Alt+O": "opacity \"title:kestal pick by key\" 60"}})");
    kt::running_command keep;
    ASSERT_TRUE(kt::start_command(keep, {"keep", kt::narrow(rules)}));
    ASSERT_TRUE(kt::wait_for_line(keep, "\"event\":\"ready\"", kPatienceMs)) << kt::all_lines(keep);
    ASSERT_TRUE(kt::press_keys({VK_CONTROL, VK_MENU}, 'P'));
    ASSERT_TRUE(sheet_ready_at(centre_of(window))) << kt::all_lines(keep);
    // While the pick waits for its click, another key is answered.
    ASSERT_TRUE(kt::press_keys({VK_CONTROL, VK_MENU}, 'O'));
    EXPECT_TRUE(kt::wait_for_line(keep, "\"command\":\"opacity title:kestal pick by key 60\",\"exit\":0", kPatienceMs))
        << kt::all_lines(keep);
    click_at(centre_of(window));
    EXPECT_TRUE(kt::wait_for_line(keep, "\"command\":\"pin pick toggle\",\"exit\":0", kPatienceMs))
        << kt::all_lines(keep);
    EXPECT_EQ(exstyle(window), "topmost,layered");
    // A stop while a pick waits: the sheet goes, keep gives back and ends.
    ASSERT_TRUE(kt::press_keys({VK_CONTROL, VK_MENU}, 'P'));
    ASSERT_TRUE(kt::wait_until([] { return shown_sheet() != nullptr; }, kSheetPatienceMs)) << kt::all_lines(keep);
    const ULONGLONG asked = GetTickCount64();
    const kt::run_result stop = kt::run_cli({"keep", "--stop"});
    EXPECT_EQ(stop.exit_code, 0u) << stop.err;
    EXPECT_EQ(kt::wait_for_end(keep, kPatienceMs), 0u) << kt::all_lines(keep);
    EXPECT_LT(GetTickCount64() - asked, 5000u);
    EXPECT_EQ(shown_sheet(), nullptr);
    EXPECT_EQ(exstyle(window), "-") << "what the hotkeys changed is given back";
    EXPECT_EQ(clicks(), 0);
}

TEST_F(Pick, a_pick_with_no_click_ends_after_30_s)
{
    HWND window = kt::child_make_window(child, "at=300:300:400:300", "kestal pick waits");
    ASSERT_NE(window, nullptr);
    kt::running_command command;
    const ULONGLONG start = GetTickCount64();
    EXPECT_EQ(pick({"pin", "pick"}, gesture::nothing, window, command, 40000), 1u) << kt::all_lines(command);
    const ULONGLONG took = GetTickCount64() - start;
    EXPECT_GE(took, 29000u);
    EXPECT_LT(took, 38000u);
    EXPECT_NE(kt::all_lines(command).find("error: no window was clicked within 30 s: no window was changed"),
              std::string::npos)
        << kt::all_lines(command);
    EXPECT_EQ(exstyle(window), "-");
}

} // namespace
