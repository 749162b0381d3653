// What a running keep shows of itself and what it is asked: the border
// around the windows it pinned, read from the screen as any program reads
// it; pause, resume and reload from the command line; its icon, read from
// the notification area, and the icon's menu, opened and chosen from as a
// person does.
#include <windows.h>

#include <commctrl.h>
#include <gtest/gtest.h>
#include <shellapi.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "kestal_inprocess.h"
#include "keep_border.h"
#include "keep_tray.h"
#include "test_support.h"

namespace {

constexpr DWORD kPatienceMs = 5000;
// The colour of the borders under test: no window of the desktop has it.
constexpr COLORREF kBorderColor = RGB(0x12, 0xC4, 0x56);
constexpr char kBorderColorText[] = "#12C456";

bool eventually(const std::function<bool()> &done, DWORD patience_ms = kPatienceMs)
{
    return kt::wait_until(done, patience_ms);
}

// The window's frame as a person sees it: the DWM's bounds where it gives
// them, else the window's rectangle.
RECT frame_of(HWND window)
{
    using DwmGetWindowAttribute_fn = HRESULT(WINAPI *)(HWND, DWORD, void *, DWORD);
    static const auto bounds = reinterpret_cast<DwmGetWindowAttribute_fn>(
        reinterpret_cast<void *>(GetProcAddress(LoadLibraryW(L"dwmapi.dll"), "DwmGetWindowAttribute")));
    RECT frame = {};
    if (!bounds || bounds(window, 9 /* DWMWA_EXTENDED_FRAME_BOUNDS */, &frame, sizeof frame) != S_OK)
        GetWindowRect(window, &frame);
    return frame;
}

// How many pixels of `color` lie straight out from the middle of each side
// of the frame, nearest first: left, top, right, bottom.
struct ring {
    int left, top, right, bottom;
    bool operator==(const ring &) const = default;
};

std::ostream &operator<<(std::ostream &out, const ring &seen)
{
    return out << "{left " << seen.left << ", top " << seen.top << ", right " << seen.right << ", bottom "
               << seen.bottom << "}";
}

ring border_seen(const RECT &frame, COLORREF color = kBorderColor)
{
    HDC screen = GetDC(nullptr);
    const int middle_x = (frame.left + frame.right) / 2, middle_y = (frame.top + frame.bottom) / 2;
    auto count = [&](int x, int y, int step_x, int step_y) {
        int pixels = 0;
        while (pixels < 40 && GetPixel(screen, x + step_x * pixels, y + step_y * pixels) == color)
            ++pixels;
        return pixels;
    };
    const ring seen = {count(frame.left - 1, middle_y, -1, 0), count(middle_x, frame.top - 1, 0, -1),
                       count(frame.right, middle_y, 1, 0), count(middle_x, frame.bottom, 0, 1)};
    ReleaseDC(nullptr, screen);
    return seen;
}

constexpr ring kNone = {0, 0, 0, 0};

std::vector<HWND> visible_borders();

// The border of `pixels` around `frame` is on the screen, on every side:
// under both Wine versions, whose Wine 10 did not show the sides of a
// border drawn as a window shaped as a ring by a region.
bool bordered(const RECT &frame, int pixels)
{
    return border_seen(frame) == ring{pixels, pixels, pixels, pixels};
}
constexpr ring around(int pixels)
{
    return {pixels, pixels, pixels, pixels};
}

// The visible windows of borders on the desktop, one each.
std::vector<HWND> visible_borders()
{
    std::vector<HWND> found;
    HWND window = nullptr;
    while ((window = FindWindowExW(nullptr, window, KESTAL_BORDER_CLASS, nullptr))) {
        if (IsWindowVisible(window))
            found.push_back(window);
    }
    return found;
}

size_t borders_shown()
{
    return visible_borders().size();
}

HWND tray_window()
{
    return FindWindowW(kTrayWindowClass, nullptr);
}

// The texts of every tool of the notification area's tooltips, read from
// Explorer's memory as a program that shows them elsewhere would: the
// tooltip control writes them into a buffer of the process that owns it.
std::vector<std::string> tray_tips()
{
    std::vector<std::string> tips;
    DWORD tray_pid = 0;
    GetWindowThreadProcessId(FindWindowW(L"Shell_TrayWnd", nullptr), &tray_pid);
    HANDLE tray = OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE, FALSE, tray_pid);
    if (!tray)
        return tips;
    constexpr size_t kTextChars = 1024;
    auto *remote = static_cast<char *>(
        VirtualAllocEx(tray, nullptr, sizeof(TTTOOLINFOW) + kTextChars * sizeof(wchar_t), MEM_COMMIT, PAGE_READWRITE));
    HWND tooltip = nullptr;
    while (remote && (tooltip = FindWindowExW(nullptr, tooltip, TOOLTIPS_CLASSW, nullptr))) {
        DWORD pid = 0;
        GetWindowThreadProcessId(tooltip, &pid);
        if (pid != tray_pid)
            continue;
        const LRESULT tools = SendMessageW(tooltip, TTM_GETTOOLCOUNT, 0, 0);
        for (LRESULT i = 0; i < tools; ++i) {
            TTTOOLINFOW info = {};
            info.cbSize = sizeof info;
            info.lpszText = reinterpret_cast<wchar_t *>(remote + sizeof info);
            const wchar_t nothing[kTextChars] = {};
            WriteProcessMemory(tray, remote, &info, sizeof info, nullptr);
            WriteProcessMemory(tray, remote + sizeof info, nothing, sizeof nothing, nullptr);
            wchar_t text[kTextChars] = {};
            if (SendMessageW(tooltip, TTM_ENUMTOOLSW, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(remote)) &&
                ReadProcessMemory(tray, remote + sizeof info, text, sizeof text - sizeof(wchar_t), nullptr))
                tips.push_back(kt::narrow(text));
        }
    }
    if (remote)
        VirtualFreeEx(tray, remote, 0, MEM_RELEASE);
    CloseHandle(tray);
    return tips;
}

bool tray_shows(const std::string &tip)
{
    for (const std::string &shown : tray_tips()) {
        if (shown == tip)
            return true;
    }
    return false;
}

std::string tips_text()
{
    std::string text;
    for (const std::string &tip : tray_tips())
        text += "[" + tip + "] ";
    return text;
}

void press_keys(std::initializer_list<WORD> keys)
{
    std::vector<INPUT> inputs;
    for (WORD key : keys) {
        INPUT input = {};
        input.type = INPUT_KEYBOARD;
        input.ki.wVk = key;
        inputs.push_back(input);
    }
    for (auto key = keys.end(); key != keys.begin();) {
        INPUT input = {};
        input.type = INPUT_KEYBOARD;
        input.ki.wVk = *--key;
        input.ki.dwFlags = KEYEVENTF_KEYUP;
        inputs.push_back(input);
    }
    SendInput(static_cast<UINT>(inputs.size()), inputs.data(), sizeof(INPUT));
}

// The visible popup menu of a process.
HWND open_menu_of(DWORD pid)
{
    HWND menu = nullptr;
    while ((menu = FindWindowExW(nullptr, menu, L"#32768", nullptr))) {
        DWORD owner = 0;
        GetWindowThreadProcessId(menu, &owner);
        if (owner == pid && IsWindowVisible(menu))
            return menu;
    }
    return nullptr;
}

// Clicks the icon as the notification area tells its program of a click,
// and chooses an item of the menu that opens by its underlined letter.
::testing::AssertionResult choose_from_menu(DWORD keep_pid, UINT click, WORD letter)
{
    HWND icon_window = tray_window();
    if (!icon_window)
        return ::testing::AssertionFailure() << "keep has no icon window";
    PostMessageW(icon_window, kTrayCallbackMessage, 0, click);
    if (!eventually([&] { return open_menu_of(keep_pid) != nullptr; }))
        return ::testing::AssertionFailure() << "no menu opened";
    press_keys({letter});
    if (!eventually([&] { return open_menu_of(keep_pid) == nullptr; }))
        return ::testing::AssertionFailure() << "the menu stayed open after its letter was pressed";
    return ::testing::AssertionSuccess();
}

// A top-level window whose title holds `part`, of any process but `not_pid`.
HWND window_titled(const std::string &part, DWORD not_pid)
{
    struct search {
        std::wstring part;
        DWORD not_pid;
        HWND found;
    } wanted = {kt::widen(part), not_pid, nullptr};
    EnumWindows(
        [](HWND window, LPARAM context) -> BOOL {
            auto *wanted = reinterpret_cast<search *>(context);
            wchar_t title[512] = {};
            GetWindowTextW(window, title, static_cast<int>(std::size(title)));
            DWORD pid = 0;
            GetWindowThreadProcessId(window, &pid);
            if (pid != wanted->not_pid && IsWindowVisible(window) && std::wstring(title).find(wanted->part) != std::wstring::npos)
                wanted->found = window;
            return wanted->found == nullptr;
        },
        reinterpret_cast<LPARAM>(&wanted));
    return wanted.found;
}

class Face : public testing::Test {
protected:
    static void SetUpTestSuite() { child_started = kt::start_child(child); }
    static void TearDownTestSuite() { kt::stop_child(child); }
    // A keep left by a failed test would refuse the next one.
    void TearDown() override { kt::run_cli({"keep", "--stop"}); }

    std::string exstyle(HWND window) { return kt::child_command(child, "exstyle " + kt::handle_text(window)); }
    bool topmost(HWND window) { return exstyle(window).find("topmost") != std::string::npos; }
    HWND make(const std::string &flags, const std::string &title) { return kt::child_make_window(child, flags, title); }
    std::string tag() { return std::to_string(GetCurrentProcessId()); }
    std::wstring rules_path(const std::string &name)
    {
        return kt::temp_folder() + L"kestal-face-" + kt::widen(name) + L"-" + kt::widen(tag()) + L".json";
    }

    static kt::child_windows child;
    static bool child_started;
};

kt::child_windows Face::child;
bool Face::child_started = false;

} // namespace

TEST_F(Face, a_border_surrounds_each_window_that_keep_pinned_while_it_shows)
{
    ASSERT_TRUE(child_started);
    const std::wstring rules = rules_path("border");
    // The window that its own program pinned is faded by a rule: keep
    // changed it, but did not pin it.
    kt::write_file(rules, R"({"rules": [{"match": "title:face-pin-)" + tag() + R"(", "pin": true},
                                     {"match": "title:face own pin )" + tag() + R"(", "opacity": 80}],
        "keys": {"ctrl+alt+shift+F14": "pin active toggle"},
        "border": {"color": ")" + kBorderColorText + R"(", "thickness": 4}, "tray": false})");
    HWND pinned = make("at=300:300:320:200", "face-pin-" + tag());
    HWND bystander = make("at=300:600:320:120", "face bystander " + tag());
    HWND own_pin = make("topmost,at=700:300:200:150", "face own pin " + tag());
    ASSERT_TRUE(pinned && bystander && own_pin);

    // What the window shows inside, which its border must leave as it is.
    const auto inside_of = [](HWND window) {
        const RECT frame = frame_of(window);
        HDC screen = GetDC(nullptr);
        const COLORREF seen = GetPixel(screen, (frame.left + frame.right) / 2, (frame.top + frame.bottom) / 2);
        ReleaseDC(nullptr, screen);
        return seen;
    };
    Sleep(300);
    const COLORREF inside = inside_of(pinned);

    kt::running_command keep;
    ASSERT_TRUE(kt::start_command(keep, {"keep", kt::narrow(rules)}));
    ASSERT_TRUE(kt::wait_for_line(keep, "{\"event\":\"ready\"}", kPatienceMs)) << kt::all_lines(keep);
    ASSERT_TRUE(eventually([&] { return kt::child_command(child, "layering " + kt::handle_text(own_pin)) != "plain"; }));
    // Just outside the frame, on every side; only around what keep pinned.
    EXPECT_TRUE(eventually([&] { return bordered(frame_of(pinned), 4); }))
        << border_seen(frame_of(pinned));
    EXPECT_EQ(inside_of(pinned), inside) << "the border covers its window's inside";
    EXPECT_EQ(border_seen(frame_of(bystander)), kNone);
    EXPECT_EQ(border_seen(frame_of(own_pin)), kNone) << "a program's own pin carries no border";
    // Just above its window, and listed by no kestal command.
    ASSERT_EQ(visible_borders().size(), 1u);
    wchar_t above_class[64] = {};
    GetClassNameW(GetWindow(pinned, GW_HWNDPREV), above_class, static_cast<int>(std::size(above_class)));
    EXPECT_EQ(std::wstring(above_class), std::wstring(KESTAL_BORDER_CLASS)) << "the border is not just above its window";
    const kt::run_result listing = kt::run_cli({"list", "--long"});
    const auto windows = kt::parse_long_listing(listing.out.c_str());
    ASSERT_TRUE(windows);
    for (const kt::long_window &window : *windows)
        EXPECT_NE(window.class_name, "KestalBorder") << listing.out;

    // It follows its window where it goes, and hides while the window does.
    const RECT before = frame_of(pinned);
    ASSERT_EQ(kt::run_cli({"move", kt::handle_text(pinned), "520", "380"}).out, "ok\n");
    EXPECT_TRUE(eventually([&] { return bordered(frame_of(pinned), 4); }))
        << border_seen(frame_of(pinned));
    EXPECT_TRUE(eventually([&] { return border_seen(before) == kNone; })) << "the border stayed where it was";
    ASSERT_EQ(kt::run_cli({"resize", kt::handle_text(pinned), "260", "160"}).out, "ok\n");
    EXPECT_TRUE(eventually([&] { return bordered(frame_of(pinned), 4); }))
        << border_seen(frame_of(pinned));
    const RECT shown = frame_of(pinned);
    for (const auto &[hide, show] : {std::pair{"6", "9"}, std::pair{"0", "5"}}) {
        SCOPED_TRACE(std::string("ShowWindow ") + hide + ", then " + show);
        kt::child_command(child, "show " + kt::handle_text(pinned) + " " + hide);
        EXPECT_TRUE(eventually([&] { return visible_borders().empty(); }));
        kt::child_command(child, "show " + kt::handle_text(pinned) + " " + show);
        EXPECT_TRUE(eventually([&] { return bordered(shown, 4); })) << border_seen(shown);
    }

    // A window that a hotkey pinned carries one too; a window that closes
    // takes its border with it.
    ASSERT_EQ(kt::child_command(child, "front " + kt::handle_text(bystander)), "ok");
    press_keys({VK_CONTROL, VK_MENU, VK_SHIFT, VK_F14});
    ASSERT_TRUE(kt::wait_for_line(keep, "\"event\":\"hotkey\"", kPatienceMs)) << kt::all_lines(keep);
    EXPECT_TRUE(eventually([&] { return bordered(frame_of(bystander), 4); }))
        << border_seen(frame_of(bystander));
    EXPECT_EQ(borders_shown(), 2u);
    kt::child_command(child, "destroy " + kt::handle_text(bystander));
    EXPECT_TRUE(eventually([&] { return borders_shown() == 1; }));

    // Released, the window has no border; stopped, keep has none.
    ASSERT_EQ(kt::run_cli({"pin", kt::handle_text(pinned), "0"}).out, "ok\n");
    EXPECT_TRUE(eventually([&] { return border_seen(shown) == kNone; })) << border_seen(shown);
    EXPECT_TRUE(visible_borders().empty());
    EXPECT_EQ(kt::run_cli({"keep", "--stop"}).out, "ok\n");
    EXPECT_EQ(kt::wait_for_end(keep, kPatienceMs), 0u) << kt::all_lines(keep);
    EXPECT_EQ(FindWindowW(KESTAL_BORDER_CLASS, nullptr), nullptr);

    for (HWND window : {pinned, own_pin})
        kt::child_command(child, "destroy " + kt::handle_text(window));
    DeleteFileW(rules.c_str());
}

// The system's accent colour, where the border names no colour; a program
// that drops its pin while keep is paused keeps it dropped, and gets it back
// once keep resumes.
TEST_F(Face, pause_resume_and_reload_from_the_command_line)
{
    ASSERT_TRUE(child_started);
    for (const char *option : {"--pause", "--resume", "--reload", "--reapply"}) {
        SCOPED_TRACE(option);
        const kt::run_result none = kt::run_cli({"keep", option});
        EXPECT_EQ(none.exit_code, 1u);
        EXPECT_EQ(none.err.rfind("error: no keep is running", 0), 0u) << none.err;
    }

    constexpr wchar_t kAccentKey[] = L"Software\\Microsoft\\Windows\\DWM";
    constexpr DWORD kAccent = 0xFF3366CC; // 0xAABBGGRR
    constexpr COLORREF kAccentColor = RGB(0xCC, 0x66, 0x33);
    ASSERT_EQ(RegSetKeyValueW(HKEY_CURRENT_USER, kAccentKey, L"AccentColor", REG_DWORD, &kAccent, sizeof kAccent),
              ERROR_SUCCESS);
    const std::wstring rules = rules_path("pause");
    const std::string pin_rule = R"({"match": "title:face-pause-)" + tag() + R"(", "pin": true})";
    const std::string fade_rule = R"({"match": "title:face-fade-)" + tag() + R"(", "opacity": 70})";
    const std::string later_rule = R"({"match": "title:face-later-)" + tag() + R"(", "pin": true})";
    std::string first_text = R"({"rules": [)" + pin_rule + "," + fade_rule + R"(],
        "keys": {"ctrl+alt+shift+F15": "pin active toggle"}, "border": true, "tray": false})";
    std::string reloaded_text = R"({"rules": [)" + pin_rule + "," + fade_rule + "," + later_rule + R"(], "border": true,
        "tray": false})";
    // The same size and, below, the same time: the folder's watch cannot
    // tell the new file from the old one.
    first_text.resize(std::max(first_text.size(), reloaded_text.size()), ' ');
    reloaded_text.resize(first_text.size(), ' ');
    kt::write_file(rules, first_text);
    HWND pinned = make("at=300:300:320:200", "face-pause-" + tag());
    HWND faded = make("at=700:300:200:150", "face-fade-" + tag());
    HWND free_window = make("at=300:600:200:120", "face free " + tag());
    HWND later = make("at=700:600:200:120", "face-later-" + tag());
    ASSERT_TRUE(pinned && faded && free_window && later);

    kt::running_command keep;
    ASSERT_TRUE(kt::start_command(keep, {"keep", kt::narrow(rules)}));
    ASSERT_TRUE(kt::wait_for_line(keep, "{\"event\":\"ready\"}", kPatienceMs)) << kt::all_lines(keep);
    EXPECT_TRUE(eventually([&] { return border_seen(frame_of(pinned), kAccentColor) == around(3); }))
        << border_seen(frame_of(pinned), kAccentColor);

    // Paused: nothing is re-applied and nothing is given back; hotkeys run.
    const kt::run_result paused = kt::run_cli({"keep", "--pause"});
    EXPECT_EQ(paused.out, "ok\n");
    EXPECT_EQ(paused.exit_code, 0u) << paused.err;
    EXPECT_TRUE(kt::wait_for_line(keep, "{\"event\":\"paused\"}", kPatienceMs)) << kt::all_lines(keep);
    EXPECT_TRUE(eventually([&] { return visible_borders().empty(); }));
    kt::child_command(child, "pin " + kt::handle_text(pinned) + " 0");
    Sleep(1000);
    EXPECT_FALSE(topmost(pinned)) << "a paused keep pinned the window again";
    EXPECT_EQ(kt::child_command(child, "layering " + kt::handle_text(faded)), "layered flags=2 alpha=179 key=0");
    ASSERT_EQ(kt::child_command(child, "front " + kt::handle_text(free_window)), "ok");
    press_keys({VK_CONTROL, VK_MENU, VK_SHIFT, VK_F15});
    EXPECT_TRUE(kt::wait_for_line(keep, "\"command\":\"pin active toggle\",\"exit\":0", kPatienceMs))
        << kt::all_lines(keep);
    EXPECT_TRUE(eventually([&] { return topmost(free_window); }));
    EXPECT_TRUE(visible_borders().empty());

    // Resumed: the rules apply at once, and go on applying.
    const kt::run_result resumed = kt::run_cli({"keep", "--resume"});
    EXPECT_EQ(resumed.out, "ok\n");
    EXPECT_TRUE(kt::wait_for_line(keep, "{\"event\":\"resumed\"}", kPatienceMs)) << kt::all_lines(keep);
    EXPECT_TRUE(eventually([&] { return topmost(pinned); }, 1000)) << "the rules did not apply at once";
    EXPECT_TRUE(eventually([&] { return border_seen(frame_of(pinned), kAccentColor) == around(3); }))
        << border_seen(frame_of(pinned), kAccentColor);
    EXPECT_TRUE(eventually([&] { return border_seen(frame_of(free_window), kAccentColor) == around(3); }))
        << "the window that the hotkey pinned";
    kt::child_command(child, "pin " + kt::handle_text(pinned) + " 0");
    EXPECT_TRUE(eventually([&] { return topmost(pinned); })) << "the rule's pin did not come back";

    // Reloaded now: a new file that keeps the old one's time, which the
    // folder's watch takes for the old one, is read.
    WIN32_FILE_ATTRIBUTE_DATA old_file = {};
    ASSERT_TRUE(GetFileAttributesExW(rules.c_str(), GetFileExInfoStandard, &old_file));
    const std::wstring staged = kt::temp_folder() + L"kestal-face-staged-" + kt::widen(tag()) + L".json";
    kt::write_file(staged, reloaded_text);
    HANDLE file = CreateFileW(staged.c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(SetFileTime(file, nullptr, nullptr, &old_file.ftLastWriteTime));
    CloseHandle(file);
    ASSERT_TRUE(MoveFileExW(staged.c_str(), rules.c_str(), MOVEFILE_REPLACE_EXISTING));
    Sleep(1000);
    EXPECT_FALSE(topmost(later)) << "the watch read the file already: the test shows nothing";
    const kt::run_result reloaded = kt::run_cli({"keep", "--reload"});
    EXPECT_EQ(reloaded.out, "ok\n");
    EXPECT_TRUE(kt::wait_for_line(keep, "{\"event\":\"reloaded\"}", kPatienceMs)) << kt::all_lines(keep);
    EXPECT_TRUE(eventually([&] { return topmost(later); }, 1000)) << "the new rules did not apply at once";

    // A bad file is refused, and the rules read before stay.
    kt::write_file(rules, "{\"rules\": [}");
    const kt::run_result refused = kt::run_cli({"keep", "--reload"});
    EXPECT_EQ(refused.exit_code, 1u);
    EXPECT_EQ(refused.out, "");
    // The file's own first error, where it is, as keep read it.
    EXPECT_EQ(refused.err.rfind("error: " + kt::narrow(rules) + ":1:12: ", 0), 0u) << refused.err;
    EXPECT_NE(refused.err.find("the keep that runs keeps the rules it read before"), std::string::npos)
        << refused.err;
    kt::child_command(child, "pin " + kt::handle_text(later) + " 0");
    EXPECT_TRUE(eventually([&] { return topmost(later); })) << "the rules read before did not stay";

    EXPECT_EQ(kt::run_cli({"keep", "--stop"}).out, "ok\n");
    EXPECT_EQ(kt::wait_for_end(keep, kPatienceMs), 0u) << kt::all_lines(keep);
    EXPECT_FALSE(topmost(pinned));
    EXPECT_EQ(kt::child_command(child, "layering " + kt::handle_text(faded)), "plain");
    RegDeleteKeyValueW(HKEY_CURRENT_USER, kAccentKey, L"AccentColor");
    for (HWND window : {pinned, faded, free_window, later})
        kt::child_command(child, "destroy " + kt::handle_text(window));
    DeleteFileW(rules.c_str());
}

TEST_F(Face, the_icon_says_what_keep_does_and_its_menu_asks_it)
{
    if (!kt::under_wine())
        GTEST_SKIP() << "reads the tooltips of Wine's notification area";
    ASSERT_TRUE(child_started);
    const std::wstring rules = rules_path("icon");
    const std::string file_name = kt::narrow(rules.substr(rules.find_last_of(L'\\') + 1));
    // Notepad, opened on the rules file below, carries the file's name in its title: the rule is not for it.
    kt::write_file(rules, R"({"rules": [{"match": "title:face-icon-)" + tag() + R"(", "except": "exe:notepad.exe",
                                      "pin": true}]})");
    HWND pinned = make("at=300:300:320:200", "face-icon-" + tag());
    ASSERT_TRUE(pinned);

    kt::running_command keep;
    ASSERT_TRUE(kt::start_command(keep, {"keep", kt::narrow(rules)}));
    const DWORD keep_pid = GetProcessId(keep.process);
    ASSERT_TRUE(kt::wait_for_line(keep, "{\"event\":\"ready\"}", kPatienceMs)) << kt::all_lines(keep);
    const std::string runs = "kestal keep runs: " + file_name + ", 1 window kept";
    EXPECT_TRUE(eventually([&] { return tray_shows(runs); })) << tips_text();

    // Each item, chosen by its letter from the menu that either button opens.
    EXPECT_TRUE(choose_from_menu(keep_pid, WM_RBUTTONUP, 'P'));
    EXPECT_TRUE(kt::wait_for_line(keep, "{\"event\":\"paused\"}", kPatienceMs)) << kt::all_lines(keep);
    EXPECT_TRUE(eventually([&] { return tray_shows("kestal keep is paused: " + file_name + ", 1 window kept"); }))
        << tips_text();
    EXPECT_TRUE(choose_from_menu(keep_pid, WM_LBUTTONUP, 'R'));
    EXPECT_TRUE(kt::wait_for_line(keep, "{\"event\":\"resumed\"}", kPatienceMs)) << kt::all_lines(keep);
    EXPECT_TRUE(eventually([&] { return tray_shows(runs); })) << tips_text();
    EXPECT_TRUE(choose_from_menu(keep_pid, WM_RBUTTONUP, 'L'));
    EXPECT_TRUE(kt::wait_for_line(keep, "{\"event\":\"reloaded\"}", kPatienceMs)) << kt::all_lines(keep);
    EXPECT_TRUE(choose_from_menu(keep_pid, WM_RBUTTONUP, 'E'));
    HWND editor = nullptr;
    EXPECT_TRUE(eventually([&] { return (editor = window_titled(file_name, keep_pid)) != nullptr; }))
        << "no program opened the rules file";
    if (editor)
        PostMessageW(editor, WM_CLOSE, 0, 0);

    // Explorer that starts again has an empty notification area, and tells
    // every top-level window so.
    NOTIFYICONDATAW icon = {};
    icon.cbSize = sizeof icon;
    icon.hWnd = tray_window();
    icon.uID = 1;
    ASSERT_TRUE(Shell_NotifyIconW(NIM_DELETE, &icon));
    EXPECT_TRUE(eventually([&] { return !tray_shows(runs); })) << tips_text();
    PostMessageW(tray_window(), RegisterWindowMessageW(L"TaskbarCreated"), 0, 0);
    EXPECT_TRUE(eventually([&] { return tray_shows(runs); })) << "the icon did not come back: " << tips_text();

    EXPECT_TRUE(choose_from_menu(keep_pid, WM_RBUTTONUP, 'G'));
    EXPECT_EQ(kt::wait_for_end(keep, kPatienceMs), 0u) << kt::all_lines(keep);
    const std::string lines = kt::all_lines(keep);
    EXPECT_NE(lines.find("{\"event\":\"given_back\",\"hwnd\":" + kt::handle_text(pinned)), std::string::npos) << lines;
    EXPECT_NE(lines.find("{\"event\":\"stopped\"}"), std::string::npos) << lines;
    EXPECT_FALSE(topmost(pinned));
    EXPECT_FALSE(tray_shows(runs)) << "the icon stayed after keep";

    kt::child_command(child, "destroy " + kt::handle_text(pinned));
    DeleteFileW(rules.c_str());
}

// The icon's menu lists what keep remembers, and an item forgets its program.
TEST_F(Face, the_menu_lists_what_is_remembered_and_forgets_it)
{
    ASSERT_TRUE(child_started);
    const std::wstring rules = rules_path("remember");
    const std::wstring remembered = rules + L".remembered.json";
    DeleteFileW(remembered.c_str());
    kt::write_file(rules, R"({"remember": true, "rules": []})");
    HWND window = make("at=300:300:320:200", "face-remember-" + tag());
    ASSERT_TRUE(window);
    kt::running_command keep;
    ASSERT_TRUE(kt::start_command(keep, {"keep", kt::narrow(rules)}));
    const DWORD keep_pid = GetProcessId(keep.process);
    ASSERT_TRUE(kt::wait_for_line(keep, "{\"event\":\"ready\"}", kPatienceMs)) << kt::all_lines(keep);
    ASSERT_EQ(kt::run_cli({"opacity", kt::handle_text(window), "70"}).exit_code, 0u);
    ASSERT_TRUE(kt::wait_for_line(keep, "{\"event\":\"remembered\",\"exe\":\"kestal-test-windows.exe\",\"opacity\":70}",
                                  kPatienceMs))
        << kt::all_lines(keep);
    HWND icon_window = tray_window();
    ASSERT_TRUE(icon_window);
    PostMessageW(icon_window, kTrayCallbackMessage, 0, WM_RBUTTONUP);
    ASSERT_TRUE(eventually([&] { return open_menu_of(keep_pid) != nullptr; }));
    // F opens the list, whose first item Enter chooses.
    press_keys({'F'});
    press_keys({VK_RETURN});
    EXPECT_TRUE(kt::wait_for_line(keep, "{\"event\":\"forgotten\",\"exe\":\"kestal-test-windows.exe\",\"members\":[\"opacity\"]}",
                                  kPatienceMs))
        << kt::all_lines(keep);
    EXPECT_TRUE(eventually([&] { return open_menu_of(keep_pid) == nullptr; }));
    EXPECT_TRUE(kt::run_cli({"keep", "--stop"}).exit_code == 0);
    kt::wait_for_end(keep, kPatienceMs);
    kt::child_command(child, "destroy " + kt::handle_text(window));
    DeleteFileW(remembered.c_str());
    DeleteFileW(rules.c_str());
}

// kestalw.exe writes its lines into a log, which its menu opens; a rules
// file that says "tray": false gets no icon.
TEST_F(Face, kestalw_opens_its_log_from_the_menu_and_a_keep_without_tray_has_no_icon)
{
    if (!kt::under_wine())
        GTEST_SKIP() << "reads the tooltips of Wine's notification area";
    const std::wstring rules = rules_path("log");
    const std::wstring log = rules + L".log";
    DeleteFileW(log.c_str());
    kt::write_file(rules, R"({"rules": [{"match": "exe:nothing.exe", "pin": true}], "tray": false})");
    kt::running_command plain;
    ASSERT_TRUE(kt::start_command(plain, {"keep", kt::narrow(rules)}));
    ASSERT_TRUE(kt::wait_for_line(plain, "{\"event\":\"ready\"}", kPatienceMs)) << kt::all_lines(plain);
    EXPECT_EQ(tray_window(), nullptr);
    for (const std::string &tip : tray_tips())
        EXPECT_EQ(tip.find("kestal keep"), std::string::npos) << tip;
    EXPECT_EQ(kt::run_cli({"keep", "--stop"}).out, "ok\n");
    EXPECT_EQ(kt::wait_for_end(plain, kPatienceMs), 0u);

    kt::write_file(rules, R"({"rules": [{"match": "exe:nothing.exe", "pin": true}]})");
    kt::child_windows windowless;
    ASSERT_TRUE(kt::launch_child(windowless, kt::program_path(L"kestalw.exe"), L"keep \"" + rules + L"\""));
    const std::string tip = "kestal keep runs: " + kt::narrow(rules.substr(rules.find_last_of(L'\\') + 1)) +
                            ", 0 windows kept";
    ASSERT_TRUE(eventually([&] { return tray_shows(tip); })) << tips_text();
    EXPECT_TRUE(choose_from_menu(windowless.pid, WM_RBUTTONUP, 'O'));
    // The log opens with its newest lines first: a copy, as an editor opens a file at its top.
    HWND viewer = nullptr;
    const std::wstring rules_name = rules.substr(rules.find_last_of(L'\\') + 1);
    const std::wstring copy = kt::temp_folder() + rules_name + L", newest first.log";
    EXPECT_TRUE(eventually([&] {
        return (viewer = window_titled(kt::narrow(rules_name) + ", newest first.log", windowless.pid)) != nullptr;
    })) << "no program opened the log";
    if (viewer)
        PostMessageW(viewer, WM_CLOSE, 0, 0);
    const auto lines_of = [](const std::wstring &path) {
        std::vector<std::string> lines;
        FILE *file = _wfopen(path.c_str(), L"rb");
        char line[4096];
        while (file && fgets(line, sizeof line, file))
            lines.push_back(line);
        if (file)
            fclose(file);
        return lines;
    };
    const std::vector<std::string> logged = lines_of(log), newest_first = lines_of(copy);
    ASSERT_GE(logged.size(), 2u);
    ASSERT_GE(newest_first.size(), logged.size());
    EXPECT_EQ(newest_first.front(), logged.back());
    EXPECT_EQ(newest_first[logged.size() - 1], logged.front());
    DeleteFileW(copy.c_str());
    EXPECT_TRUE(choose_from_menu(windowless.pid, WM_RBUTTONUP, 'G'));
    EXPECT_EQ(WaitForSingleObject(windowless.process, kPatienceMs), WAIT_OBJECT_0);
    kt::stop_child(windowless);
    DeleteFileW(log.c_str());
    DeleteFileW(rules.c_str());
}

TEST_F(Face, a_bad_border_or_tray_member_is_refused)
{
    const std::wstring rules = rules_path("bad");
    const std::string name = kt::narrow(rules);
    const struct {
        const char *text;
        const char *err; // after "error: <file>: "
    } cases[] = {
        {R"({"border": "red"})", "border is neither true, false nor an object"},
        {R"({"border": {"color": "#12C45"}})", "border.color is not a colour written as \"#RRGGBB\""},
        {R"({"border": {"color": "12C4567"}})", "border.color is not a colour"},
        {R"({"border": {"color": "#12C45G"}})", "border.color is not a colour"},
        {R"({"border": {"thickness": 0}})", "border.thickness is not a whole number of pixels from 1 to 16"},
        {R"({"border": {"thickness": 17}})", "border.thickness is not a whole number"},
        {R"({"border": {"thickness": 2.5}})", "border.thickness is not a whole number"},
        {R"({"border": {"colour": "#000000"}})", "border.colour is no member of a border (color, thickness)"},
        {R"({"tray": 1})", "tray is not true or false"},
        {R"({"trays": false})", "trays is no member of a rules file (rules, keys, border, tray, remember)"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        kt::write_file(rules, c.text);
        const kt::run_result run = kt::run_cli({"keep", name});
        EXPECT_EQ(run.exit_code, 2u);
        EXPECT_EQ(run.err.rfind("error: " + name + ": " + c.err, 0), 0u) << run.err;
    }
    DeleteFileW(rules.c_str());
}

// Run by ctest keep_border_on_a_scaled_screen, in a Wine prefix at 144 DPI.
class ScaledScreen : public Face {};

TEST_F(ScaledScreen, the_border_is_as_thick_as_the_screen_scales_it)
{
    if (!GetEnvironmentVariableW(L"KESTAL_SCALED_SCREEN", nullptr, 0))
        GTEST_SKIP() << "needs a screen at 144 DPI: runs as ctest keep_border_on_a_scaled_screen";
    ASSERT_TRUE(child_started);
    // Physical pixels, as keep places its borders.
    using SetThreadDpiAwarenessContext_fn = DPI_AWARENESS_CONTEXT(WINAPI *)(DPI_AWARENESS_CONTEXT);
    const auto set_context = reinterpret_cast<SetThreadDpiAwarenessContext_fn>(
        reinterpret_cast<void *>(GetProcAddress(GetModuleHandleW(L"user32.dll"), "SetThreadDpiAwarenessContext")));
    if (set_context)
        set_context(DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE);
    const std::wstring rules = rules_path("scaled");
    kt::write_file(rules, R"({"rules": [{"match": "title:face-scaled-)" + tag() + R"(", "pin": true}],
        "border": {"color": ")" + kBorderColorText + R"(", "thickness": 4}, "tray": false})");
    HWND pinned = make("at=300:300:320:200", "face-scaled-" + tag());
    ASSERT_TRUE(pinned);
    kt::running_command keep;
    ASSERT_TRUE(kt::start_command(keep, {"keep", kt::narrow(rules)}));
    ASSERT_TRUE(kt::wait_for_line(keep, "{\"event\":\"ready\"}", kPatienceMs)) << kt::all_lines(keep);
    // 4 pixels at 100 % are 6 at 150 %.
    EXPECT_TRUE(eventually([&] { return border_seen(frame_of(pinned)) == around(6); }))
        << border_seen(frame_of(pinned));
    EXPECT_EQ(kt::run_cli({"keep", "--stop"}).out, "ok\n");
    EXPECT_EQ(kt::wait_for_end(keep, kPatienceMs), 0u) << kt::all_lines(keep);
    kt::child_command(child, "destroy " + kt::handle_text(pinned));
    DeleteFileW(rules.c_str());
}

// The border marks every window pinned through kestal while keep runs, also
// from another console, and lies where the person can see it: inside a
// maximised window's monitor, never on a frameless window that covers its
// monitor, and never as a taskbar button.
TEST_F(Face, a_border_marks_every_window_pinned_through_kestal_where_the_person_sees_it)
{
    ASSERT_TRUE(child_started);
    const std::wstring rules = rules_path("every-pin");
    kt::write_file(rules, R"({"rules": [{"match": "title:face-rule-)" + tag() + R"(", "pin": true}],
        "border": {"color": ")" + kBorderColorText + R"(", "thickness": 4}, "tray": false})");
    const int screen_width = GetSystemMetrics(SM_CXSCREEN), screen_height = GetSystemMetrics(SM_CYSCREEN);
    HWND by_console = make("at=200:200:300:200", "face console " + tag());
    HWND maximised = make("maximized", "face-rule-" + tag() + " maximised");
    HWND whole_screen =
        make("popup,at=0:0:" + std::to_string(screen_width) + ":" + std::to_string(screen_height),
             "face-rule-" + tag() + " whole screen");
    ASSERT_TRUE(by_console && maximised && whole_screen);

    kt::running_command keep;
    ASSERT_TRUE(kt::start_command(keep, {"keep", kt::narrow(rules)}));
    ASSERT_TRUE(kt::wait_for_line(keep, "{\"event\":\"ready\"}", kPatienceMs)) << kt::all_lines(keep);
    ASSERT_TRUE(eventually([&] { return topmost(maximised) && topmost(whole_screen); })) << kt::all_lines(keep);
    // A border for each window pinned, but the one that is the whole picture.
    EXPECT_TRUE(eventually([&] { return borders_shown() == 1; })) << visible_borders().size();
    Sleep(1000);
    ASSERT_EQ(borders_shown(), 1u) << "a frameless window that covers its monitor got a border";
    const RECT screen = {0, 0, screen_width, screen_height};
    for (HWND border : visible_borders()) {
        RECT placed = {};
        GetWindowRect(border, &placed);
        RECT inside = {};
        IntersectRect(&inside, &placed, &screen);
        EXPECT_TRUE(EqualRect(&inside, &placed)) << "the border of a maximised window reaches past the screen: "
                                                 << placed.left << "," << placed.top << " " << placed.right << ","
                                                 << placed.bottom;
        EXPECT_NE(GetWindow(border, GW_OWNER), nullptr) << "a border without an owner shows as a taskbar button";
    }

    // A pin from another console gets one as well, at once.
    ASSERT_EQ(kt::run_cli({"pin", kt::handle_text(by_console)}).exit_code, 0u);
    EXPECT_TRUE(eventually([&] { return bordered(frame_of(by_console), 4); })) << border_seen(frame_of(by_console));
    EXPECT_EQ(borders_shown(), 2u);
    ASSERT_EQ(kt::run_cli({"pin", kt::handle_text(by_console), "0"}).exit_code, 0u);
    EXPECT_TRUE(eventually([&] { return borders_shown() == 1; })) << "the released window kept its border";

    EXPECT_EQ(kt::run_cli({"keep", "--stop"}).exit_code, 0u);
    EXPECT_EQ(kt::wait_for_end(keep, 15000), 0u);
    EXPECT_TRUE(visible_borders().empty());
    for (HWND window : {by_console, maximised, whole_screen})
        kt::child_command(child, "destroy " + kt::handle_text(window));
    DeleteFileW(rules.c_str());
}

// keep without a console speaks up where the person looks: the icon's
// tooltip names the latest problem, a broken rules file waits to be mended,
// and a log that cannot be beside the rules goes to the user's own folder.
TEST_F(Face, kestalw_speaks_up_where_the_person_looks)
{
    if (!kt::under_wine())
        GTEST_SKIP() << "reads the tooltips of Wine's notification area";
    const std::wstring rules = rules_path("speaks");
    const std::string file_name = kt::narrow(rules.substr(rules.find_last_of(L'\\') + 1));
    const std::wstring log = rules + L".log";
    DeleteFileW(log.c_str());
    const auto tip_starts = [](const std::string &start) {
        for (const std::string &tip : tray_tips()) {
            if (tip.rfind(start, 0) == 0)
                return true;
        }
        return false;
    };

    // A broken file: kestalw stays, says why, and takes the rules once mended.
    HWND mended = make("-", "face-mended-" + tag());
    ASSERT_TRUE(mended);
    kt::write_file(rules, "{\"rules\": [}");
    kt::child_windows windowless;
    ASSERT_TRUE(kt::launch_child(windowless, kt::program_path(L"kestalw.exe"), L"keep \"" + rules + L"\""));
    EXPECT_TRUE(eventually([&] { return tip_starts("kestal keep: " + kt::narrow(rules) + ":1:"); })) << tips_text();
    EXPECT_EQ(WaitForSingleObject(windowless.process, 0), static_cast<DWORD>(WAIT_TIMEOUT))
        << "kestalw ended on a broken file";
    kt::write_file(rules, R"({"rules": [{"match": "title:face-mended-)" + tag() + R"(", "pin": true}],
        "keys": {"ctrl+alt+F19": "pin active toggle"}})");
    EXPECT_TRUE(eventually([&] { return topmost(mended); })) << "the mended rules were not applied";
    EXPECT_TRUE(eventually([&] { return tip_starts("kestal keep runs: " + file_name); })) << tips_text();

    // A hotkey that another program holds is named in the tooltip.
    ASSERT_TRUE(RegisterHotKey(nullptr, 1, MOD_CONTROL | MOD_SHIFT, VK_F19));
    kt::write_file(rules, R"({"rules": [{"match": "title:face-mended-)" + tag() + R"(", "pin": true}],
        "keys": {"ctrl+shift+F19": "pin active toggle"}})");
    EXPECT_TRUE(eventually([&] { return tray_shows("kestal keep: ctrl+shift+F19 is taken by another program"); }))
        << tips_text();
    UnregisterHotKey(nullptr, 1);
    EXPECT_TRUE(choose_from_menu(windowless.pid, WM_RBUTTONUP, 'G'));
    EXPECT_EQ(WaitForSingleObject(windowless.process, kPatienceMs), WAIT_OBJECT_0);
    kt::stop_child(windowless);
    EXPECT_FALSE(topmost(mended));

    // A log that cannot be beside the rules file goes to the user's own folder, and the tooltip says where.
    DeleteFileW(log.c_str());
    ASSERT_TRUE(CreateDirectoryW(log.c_str(), nullptr));
    wchar_t local[MAX_PATH] = {};
    ASSERT_GT(GetEnvironmentVariableW(L"LOCALAPPDATA", local, MAX_PATH), 0u);
    const std::wstring moved = std::wstring(local) + L"\\kestal\\" + kt::widen(file_name) + L".log";
    DeleteFileW(moved.c_str());
    ASSERT_TRUE(kt::launch_child(windowless, kt::program_path(L"kestalw.exe"), L"keep \"" + rules + L"\""));
    EXPECT_TRUE(eventually([&] { return tip_starts("kestal keep: the log is in " + kt::narrow(moved)); }))
        << tips_text();
    EXPECT_TRUE(eventually([&] { return GetFileAttributesW(moved.c_str()) != INVALID_FILE_ATTRIBUTES; }));
    EXPECT_TRUE(choose_from_menu(windowless.pid, WM_RBUTTONUP, 'G'));
    EXPECT_EQ(WaitForSingleObject(windowless.process, kPatienceMs), WAIT_OBJECT_0);
    kt::stop_child(windowless);
    RemoveDirectoryW(log.c_str());
    DeleteFileW(moved.c_str());
    kt::child_command(child, "destroy " + kt::handle_text(mended));
    DeleteFileW(rules.c_str());
}

// Windows 11 rounds a frame's corners and says so through the DWM, which
// Wine does not: what reaches UpdateLayeredWindow is checked here. The ring
// is opaque for its thickness and clear inside; rounded corners leave the
// outer corner clear and keep the middle of each side whole.
TEST(BorderShape, the_ring_is_opaque_for_its_thickness_and_clear_inside_with_corners_as_the_frame_has_them)
{
    constexpr int kWidth = 120, kHeight = 80, kThickness = 4;
    const struct {
        const char *what;
        int radius;
        POINT at;
        bool opaque;
    } cases[] = {
        {"square: the outer corner", 0, {0, 0}, true},
        {"square: the inner corner", 0, {kThickness - 1, kThickness - 1}, true},
        {"square: just inside", 0, {kThickness, kThickness}, false},
        {"square: the middle", 0, {60, 40}, false},
        {"square: the right side's middle", 0, {kWidth - 1, 40}, true},
        {"square: the bottom's middle", 0, {60, kHeight - 1}, true},
        {"rounded: the outer corner", 8, {0, 0}, false},
        {"rounded: the other outer corner", 8, {kWidth - 1, kHeight - 1}, false},
        {"rounded: the top's middle", 8, {60, 0}, true},
        {"rounded: the left's middle", 8, {0, 40}, true},
        {"rounded: inside the frame's rounded corner", 8, {kThickness + 1, kThickness + 1}, true},
        {"rounded: the middle", 8, {60, 40}, false},
    };
    std::vector<uint32_t> pixels(kWidth * kHeight);
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        border_pixels(pixels.data(), kWidth, kHeight, kThickness, c.radius, RGB(0x12, 0xC4, 0x56));
        const uint32_t pixel = pixels[static_cast<size_t>(c.at.y) * kWidth + c.at.x];
        EXPECT_EQ(pixel, c.opaque ? 0xFF12C456u : 0u);
    }
}

// The icon is drawn for the scale of the monitor that shows the notification
// area, so that the shell need not stretch a 16-pixel picture on a monitor at
// 150 or 200 %; its frame stays in keep's colour at every size.
TEST(TrayIcon, the_icon_is_drawn_at_the_size_of_a_small_icon_at_each_scale)
{
    const struct {
        UINT dpi;
        LONG size;
    } cases[] = {{96, 16}, {120, 20}, {144, 24}, {192, 32}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.dpi);
        HICON icon = make_tray_icon(RGB(0x12, 0xC4, 0x56), c.dpi);
        ASSERT_NE(icon, nullptr);
        ICONINFO parts = {};
        ASSERT_TRUE(GetIconInfo(icon, &parts));
        BITMAP color = {};
        ASSERT_TRUE(GetObjectW(parts.hbmColor, sizeof color, &color));
        EXPECT_EQ(color.bmWidth, c.size);
        EXPECT_EQ(color.bmHeight, c.size);
        HDC screen = GetDC(nullptr);
        HDC drawn = CreateCompatibleDC(screen);
        HBITMAP target = CreateCompatibleBitmap(screen, c.size, c.size);
        HGDIOBJ before = SelectObject(drawn, target);
        DrawIconEx(drawn, 0, 0, icon, c.size, c.size, 0, nullptr, DI_NORMAL);
        EXPECT_EQ(GetPixel(drawn, 0, c.size / 2), RGB(0x12, 0xC4, 0x56));
        EXPECT_EQ(GetPixel(drawn, c.size - 1, c.size - 1), RGB(0x12, 0xC4, 0x56));
        SelectObject(drawn, before);
        DeleteObject(target);
        DeleteDC(drawn);
        ReleaseDC(nullptr, screen);
        DeleteObject(parts.hbmColor);
        DeleteObject(parts.hbmMask);
        DestroyIcon(icon);
    }
}
