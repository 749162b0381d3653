// The window census and its JSON text, and the last-error text it reports into.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <deque>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "internal.h"
#include "kestal.h"
#include "test_support.h"

namespace {

enum class owner { test, child };

const char *owner_name(owner who)
{
    return who == owner::test ? "test process" : "helper child";
}

// Every window a test makes, in this process or in the helper child, goes
// away with the test, so that later listings only hold what they made.
class WindowListing : public ::testing::Test {
protected:
    void TearDown() override
    {
        for (HWND window : own_)
            DestroyWindow(window);
        kt::pump();
        for (kt::child_windows &child : children_)
            kt::stop_child(child);
        for (const std::wstring &file : files_)
            DeleteFileW(file.c_str());
    }

    // `flags` are the helper child's words, read the same way for windows of
    // this process, so that one table of cases serves both owners.
    HWND make(owner who, const std::string &flags, const std::string &title)
    {
        return who == owner::test ? own_window(flags, title) : child_window(flags, title);
    }

    HWND own_window(const std::string &flags, const std::string &title)
    {
        kt::window_spec spec;
        spec.title = kt::widen(title);
        int alpha = -1;
        bool colour_key = false;
        std::stringstream words(flags);
        for (std::string word; std::getline(words, word, ',');) {
            if (word == "hidden")
                spec.style &= ~WS_VISIBLE;
            else if (word == "topmost")
                spec.ex_style |= WS_EX_TOPMOST;
            else if (word.rfind("layered=", 0) == 0)
                alpha = std::stoi(word.substr(8));
            else if (word == "colorkey")
                colour_key = true;
            else if (word.rfind("class=", 0) == 0)
                spec.class_name = class_names_.emplace_back(kt::widen(word.substr(6))).c_str();
        }
        if (alpha >= 0 || colour_key)
            spec.ex_style |= WS_EX_LAYERED;
        HWND window = kt::make_window(spec);
        EXPECT_NE(window, nullptr) << "own window " << flags << " " << title;
        if (!window)
            return nullptr;
        own_.push_back(window);
        if (alpha >= 0)
            SetLayeredWindowAttributes(window, 0, static_cast<BYTE>(alpha), LWA_ALPHA);
        else if (colour_key)
            SetLayeredWindowAttributes(window, RGB(255, 0, 255), 0, LWA_COLORKEY);
        kt::pump();
        return window;
    }

    HWND child_window(const std::string &flags, const std::string &title)
    {
        if (children_.empty()) {
            children_.emplace_back();
            EXPECT_TRUE(kt::start_child(children_.back())) << "helper child did not start";
        }
        HWND window = kt::child_make_window(children_.front(), flags, title);
        EXPECT_NE(window, nullptr) << "child window " << flags << " " << title;
        return window;
    }

    std::vector<HWND> own_;
    std::deque<std::wstring> class_names_;
    std::vector<kt::child_windows> children_;
    std::vector<std::wstring> files_;
};

constexpr owner kOwners[] = {owner::test, owner::child};

std::string exe_of(owner who)
{
    return who == owner::test ? "window_list_tests.exe" : "kestal-test-windows.exe";
}

std::string raw_listing()
{
    char *text = kestal_list();
    std::string raw = text ? text : "";
    kestal_free_string(text);
    return raw;
}

std::vector<kt::listed_window> parsed(const std::string &raw)
{
    return kt::parse_listing(raw.c_str()).value_or(std::vector<kt::listed_window>{});
}

// ---- what a listed window says about itself ----------------------------------

TEST_F(WindowListing, every_window_is_listed_with_its_title_and_its_programs_file_name)
{
    const std::string titles[] = {
        "say \"cheese\"", "C:\\dir\\file", "either/or", "Grüße 窓 😀", "",
    };
    struct made {
        owner who;
        std::string title;
        HWND window;
    };
    std::vector<made> windows;
    for (owner who : kOwners) {
        for (const std::string &title : titles)
            windows.push_back({who, title, make(who, "-", title)});
    }

    auto listing = kt::list_now();
    for (const made &m : windows) {
        SCOPED_TRACE(std::string(owner_name(m.who)) + " window titled [" + m.title + "]");
        const kt::listed_window *entry = kt::find_listed(listing, m.window);
        ASSERT_NE(entry, nullptr);
        EXPECT_EQ(entry->title, m.title);
        EXPECT_EQ(entry->exe, exe_of(m.who));
        EXPECT_FALSE(entry->pinned);
        EXPECT_EQ(entry->opacity, 100);
    }
}

TEST_F(WindowListing, text_escapes_only_what_json_requires_and_holds_no_layout_whitespace)
{
    struct escape_case {
        std::string title;
        std::string written; // the title as it must appear between the quotes
    };
    const escape_case cases[] = {
        {"q\"b\\s/e", "q\\\"b\\\\s/e"},
        {"tab\there", "tab\\there"},
        {"Grüße 窓 😀", "Grüße 窓 😀"},
        {"", ""},
    };
    struct made {
        owner who;
        const escape_case *c;
        HWND window;
    };
    std::vector<made> windows;
    for (owner who : kOwners) {
        for (const escape_case &c : cases)
            windows.push_back({who, &c, make(who, "-", c.title)});
    }

    const std::string raw = raw_listing();
    for (const made &m : windows) {
        SCOPED_TRACE(std::string(owner_name(m.who)) + " window titled [" + m.c->title + "]");
        const std::string object = "{\"hwnd\":" + kt::handle_text(m.window) + ",\"title\":\"" + m.c->written +
                                   "\",\"exe\":\"" + exe_of(m.who) + "\",\"pinned\":false,\"opacity\":100}";
        EXPECT_NE(raw.find(object), std::string::npos) << object << "\nnot in\n" << raw;
    }

    ASSERT_GE(raw.size(), 2u);
    EXPECT_EQ(raw.front(), '[');
    EXPECT_EQ(raw.back(), ']');
    bool in_string = false, escaped = false;
    for (size_t i = 0; i < raw.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(raw[i]);
        ASSERT_GE(c, 0x20) << "control byte " << int(c) << " at " << i;
        if (in_string) {
            if (escaped)
                escaped = false;
            else if (c == '\\')
                escaped = true;
            else if (c == '"')
                in_string = false;
        } else {
            ASSERT_NE(c, ' ') << "space outside a string at " << i;
            in_string = c == '"';
        }
    }
}

TEST_F(WindowListing, hidden_and_desktop_shell_windows_are_left_out)
{
    struct filter_case {
        const char *flags;
        bool listed;
    };
    const filter_case cases[] = {
        {"hidden", false},        {"class=Progman", false}, {"class=WorkerW", false},
        {"class=Progman2", true}, {"class=Worker", true},   {"class=XWorkerW", true},
        {"-", true},
    };
    struct made {
        owner who;
        const filter_case *c;
        HWND window;
    };
    std::vector<made> windows;
    for (owner who : kOwners) {
        for (const filter_case &c : cases)
            windows.push_back({who, &c, make(who, c.flags, std::string("filter ") + c.flags)});
    }

    auto listing = kt::list_now();
    for (const made &m : windows) {
        SCOPED_TRACE(std::string(owner_name(m.who)) + " window " + m.c->flags);
        EXPECT_EQ(kt::find_listed(listing, m.window) != nullptr, m.c->listed);
    }
}

TEST_F(WindowListing, pinned_is_the_topmost_bit_and_opacity_the_alpha_as_a_rounded_percentage)
{
    struct state_case {
        const char *flags;
        bool pinned;
        int64_t opacity;
    };
    const state_case cases[] = {
        {"-", false, 100},
        {"topmost", true, 100},
        {"layered=153", false, 60},
        {"layered=255", false, 100},
        {"layered=51", false, 20},
        {"layered=128", false, 50},
        {"layered=254", false, 100},
        {"layered=2", false, 1},
        {"layered=1", false, 0},
        {"colorkey", false, 100},
        {"topmost,layered=204", true, 80},
    };
    struct made {
        owner who;
        const state_case *c;
        HWND window;
    };
    std::vector<made> windows;
    for (owner who : kOwners) {
        for (const state_case &c : cases)
            windows.push_back({who, &c, make(who, c.flags, std::string("state ") + c.flags)});
    }
    // Layered, but never given its attributes: they cannot be read back.
    kt::window_spec unset = {L"state layered without attributes", WS_EX_LAYERED};
    HWND unreadable = kt::make_window(unset);
    ASSERT_NE(unreadable, nullptr);
    own_.push_back(unreadable);

    auto listing = kt::list_now();
    for (const made &m : windows) {
        SCOPED_TRACE(std::string(owner_name(m.who)) + " window " + m.c->flags);
        const kt::listed_window *entry = kt::find_listed(listing, m.window);
        ASSERT_NE(entry, nullptr);
        EXPECT_EQ(entry->pinned, m.c->pinned);
        EXPECT_EQ(entry->opacity, m.c->opacity);
    }
    const kt::listed_window *entry = kt::find_listed(listing, unreadable);
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(entry->opacity, 100);
}

TEST_F(WindowListing, exe_names_beyond_ascii_are_listed_in_utf8)
{
    const std::string name = "kestal-fenêtre-窓.exe";
    const std::wstring copy = kt::program_path(kt::widen(name));
    ASSERT_TRUE(CopyFileW(kt::program_path(L"kestal-test-windows.exe").c_str(), copy.c_str(), FALSE))
        << "win32 error " << GetLastError();
    files_.push_back(copy);
    children_.emplace_back();
    ASSERT_TRUE(kt::start_child(children_.back(), copy));
    HWND window = kt::child_make_window(children_.back(), "-", "made by a program with a non-ASCII name");
    ASSERT_NE(window, nullptr);

    const std::string raw = raw_listing();
    ASSERT_NE(raw, "[]") << kestal_last_error();
    auto listing = parsed(raw);
    const kt::listed_window *entry = kt::find_listed(listing, window);
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(entry->exe, name);
}

// ---- the cloak filter, through the stand-in dwmapi.dll -----------------------

struct cloak_run {
    kt::run_result result;
    std::vector<kt::listed_window> listing;
};

cloak_run list_with_dwmapi(const wchar_t *folder, const std::vector<std::string> &environment)
{
    cloak_run run;
    run.result = kt::run_program(kt::program_path(std::wstring(folder) + L"\\kestal-cli.exe"), {"list"}, environment);
    EXPECT_EQ(run.result.exit_code, 0u) << run.result.err;
    EXPECT_EQ(run.result.err, "");
    if (!run.result.out.empty() && run.result.out.back() == '\n')
        run.listing = parsed(run.result.out.substr(0, run.result.out.size() - 1));
    else
        ADD_FAILURE() << "listing without its line break: " << run.result.out;
    return run;
}

TEST_F(WindowListing, windows_that_dwmapi_reports_cloaked_are_left_out)
{
    // "modern" answers only through the window attribute; "legacy" exports
    // DwmIsWindowCloaked and claims every window cloaked through the
    // attribute, so a listing that asks the attribute there comes out empty.
    const wchar_t *flavours[] = {L"dwm-modern", L"dwm-legacy"};
    HWND cloaked[] = {make(owner::test, "-", "[cloaked] own"), make(owner::child, "-", "[cloaked] child")};
    HWND plain[] = {make(owner::test, "-", "plain own"), make(owner::child, "-", "plain child")};

    for (const wchar_t *flavour : flavours) {
        SCOPED_TRACE(kt::narrow(flavour));
        cloak_run run = list_with_dwmapi(flavour, {"WINEDLLOVERRIDES=dwmapi=n"});
        for (HWND window : cloaked)
            EXPECT_EQ(kt::find_listed(run.listing, window), nullptr) << run.result.out;
        for (HWND window : plain)
            EXPECT_NE(kt::find_listed(run.listing, window), nullptr) << run.result.out;
        if (const kt::listed_window *own = kt::find_listed(run.listing, plain[0])) {
            EXPECT_EQ(own->exe, "window_list_tests.exe");
        }
    }
}

TEST_F(WindowListing, without_a_cloak_query_no_window_is_left_out_as_cloaked)
{
    HWND cloaked = make(owner::test, "-", "[cloaked] seen by the system's dwmapi");
    // The stand-in sits next to this copy; only the override would load it.
    cloak_run run = list_with_dwmapi(L"dwm-modern", {"WINEDLLOVERRIDES="});
    EXPECT_NE(kt::find_listed(run.listing, cloaked), nullptr) << run.result.out;
    EXPECT_NE(kt::find_listed(kt::list_now(), cloaked), nullptr);
}

// ---- a full table --------------------------------------------------------------

std::vector<HWND> own_visible_in_enumeration_order(const std::set<HWND> &own)
{
    struct collect {
        const std::set<HWND> *own;
        std::vector<HWND> order;
    } state{&own, {}};
    EnumWindows(
        [](HWND window, LPARAM param) -> BOOL {
            auto *s = reinterpret_cast<collect *>(param);
            if (s->own->count(window) && IsWindowVisible(window))
                s->order.push_back(window);
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&state));
    return state.order;
}

TEST_F(WindowListing, beyond_4096_windows_only_the_first_delivered_are_listed)
{
    constexpr size_t kTableSize = 4096;
    constexpr size_t kMade = kTableSize + 8;
    auto start = std::chrono::steady_clock::now();
    kt::window_spec spec = {L"", WS_EX_TOOLWINDOW | WS_EX_NOACTIVATE, WS_POPUP | WS_VISIBLE};
    own_.reserve(kMade);
    for (size_t i = 0; i < kMade; ++i) {
        spec.title = L"bulk " + std::to_wstring(i);
        HWND window = kt::make_window(spec);
        ASSERT_NE(window, nullptr) << "window " << i << ", win32 error " << GetLastError();
        own_.push_back(window);
    }
    kt::pump();
    auto made = std::chrono::steady_clock::now();

    const std::set<HWND> own(own_.begin(), own_.end());
    const std::vector<HWND> delivered = own_visible_in_enumeration_order(own);
    ASSERT_EQ(delivered.size(), kMade);
    const std::string raw = raw_listing();
    auto listed = std::chrono::steady_clock::now();
    auto listing = parsed(raw);

    ASSERT_EQ(listing.size(), kTableSize);
    std::vector<HWND> listed_own;
    std::set<int64_t> handles;
    for (const kt::listed_window &entry : listing) {
        handles.insert(entry.hwnd);
        HWND window = reinterpret_cast<HWND>(static_cast<intptr_t>(entry.hwnd));
        if (own.count(window))
            listed_own.push_back(window);
    }
    EXPECT_EQ(handles.size(), kTableSize) << "a window listed twice";
    // Other programs' windows may come first; ours then fill the rest of the
    // table in the order the enumeration delivers them, and the last ones
    // delivered are the ones left out.
    ASSERT_GT(listed_own.size(), kTableSize / 2) << "most of the table should be ours";
    EXPECT_TRUE(std::equal(listed_own.begin(), listed_own.end(), delivered.begin()))
        << "the listed windows are not the first ones delivered";

    auto ms = [](auto from, auto to) {
        return std::chrono::duration_cast<std::chrono::milliseconds>(to - from).count();
    };
    std::printf("made %zu windows in %lld ms, listed in %lld ms\n", kMade, static_cast<long long>(ms(start, made)),
                static_cast<long long>(ms(made, listed)));
}

// ---- the last-error text ---------------------------------------------------------

TEST(LastErrorText, a_fresh_process_reports_no_error)
{
    kt::run_result result = kt::run_cli({"lasterror"});
    EXPECT_EQ(result.out, "no error\n");
    EXPECT_EQ(result.exit_code, 0u);
}

TEST(LastErrorText, a_failed_call_is_reported_with_its_code_and_the_systems_message)
{
    kt::window_spec spec = {L"soon gone"};
    HWND gone = kt::make_window(spec);
    ASSERT_NE(gone, nullptr);
    ASSERT_TRUE(DestroyWindow(gone));
    kt::pump();

    SetLastError(0);
    ASSERT_FALSE(DestroyWindow(gone));
    set_error_win32("DestroyWindow");
    EXPECT_STREQ(kestal_last_error(), "DestroyWindow failed (win32 error 1400): Invalid window handle.\r\n");
    EXPECT_EQ(kestal_last_error(), g_last_error);
}

TEST(LastErrorText, each_report_replaces_the_whole_text)
{
    struct report_case {
        DWORD code;
        const char *text;
    };
    // Wine's messages end in "\r\n", which stays; none of them starts with a
    // line break, so the leading trim has nothing to remove here.
    const report_case cases[] = {
        {1400, "X failed (win32 error 1400): Invalid window handle.\r\n"},
        {0x80004001, "X failed (win32 error 2147500033): Not implemented.\r\n"},
        {0x20001234, "X failed (win32 error 536875572)"},
    };
    for (const report_case &c : cases) {
        SCOPED_TRACE(c.code);
        set_error("%s", std::string(600, '#').c_str());
        set_error_code("X", c.code);
        EXPECT_STREQ(g_last_error, c.text);
    }
}

TEST(LastErrorText, over_long_reports_are_cut_to_511_characters)
{
    const std::string long_text(600, 'e');
    set_error("%s", long_text.c_str());
    EXPECT_EQ(std::string(kestal_last_error()), long_text.substr(0, 511));

    set_error("short");
    set_error_code(long_text.c_str(), 1400);
    EXPECT_EQ(std::string(kestal_last_error()), long_text.substr(0, 511));

    set_error("short");
    SetLastError(0x20001234);
    set_error_win32(long_text.c_str());
    EXPECT_EQ(std::string(kestal_last_error()), long_text.substr(0, 511));
}

TEST_F(WindowListing, a_successful_listing_leaves_the_last_error_text_alone)
{
    HWND window = make(owner::test, "-", "listed while an old failure stands");
    set_error("left by an earlier failure %d", 42);
    const std::string raw = raw_listing();
    EXPECT_NE(kt::find_listed(parsed(raw), window), nullptr);
    EXPECT_STREQ(kestal_last_error(), "left by an earlier failure 42");
}

} // namespace
