// The window census and its JSON text, and the last-error text it reports into.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <deque>
#include <iterator>
#include <optional>
#include <sstream>
#include <string_view>
#include <string>
#include <vector>

#include "internal.h"
#include "kestal_inprocess.h"
#include "test_support.h"

namespace {

enum class owner { test, child };

const char *owner_name(owner who)
{
    return who == owner::test ? "test process" : "helper child";
}

constexpr owner kOwners[] = {owner::test, owner::child};

// Every window a test makes, in this process or in the helper child, goes
// away with the test, so that later listings only hold what they made.
class WindowListing : public ::testing::Test {
protected:
    void TearDown() override
    {
        for (HWND window : own_) {
            // Unmapping a shown window waits for the window manager, two
            // seconds a window here; dropping the style bit first skips that.
            SetWindowLongW(window, GWL_STYLE, GetWindowLongW(window, GWL_STYLE) & ~WS_VISIBLE);
            DestroyWindow(window);
        }
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

    // A window for every case of a table and every owner.
    template <typename Case> struct made {
        owner who;
        const Case *c;
        HWND window;
    };
    template <typename Case, size_t N, typename Flags, typename Title>
    std::vector<made<Case>> make_each(const Case (&cases)[N], Flags flags_of, Title title_of)
    {
        std::vector<made<Case>> windows;
        for (owner who : kOwners) {
            for (const Case &c : cases)
                windows.push_back({who, &c, make(who, flags_of(c), title_of(c))});
        }
        return windows;
    }

    HWND own_window(const std::string &flags, const std::string &title)
    {
        kt::window_options options;
        options.title = kt::widen(title);
        int alpha = -1;
        bool colour_key = false;
        std::stringstream words(flags);
        for (std::string word; std::getline(words, word, ',');) {
            if (word == "hidden")
                options.style &= ~WS_VISIBLE;
            else if (word == "topmost")
                options.ex_style |= WS_EX_TOPMOST;
            else if (word.rfind("layered=", 0) == 0)
                alpha = std::stoi(word.substr(8));
            else if (word == "colorkey")
                colour_key = true;
            else if (word.rfind("class=", 0) == 0)
                options.class_name = class_names_.emplace_back(kt::widen(word.substr(6))).c_str();
        }
        if (alpha >= 0 || colour_key)
            options.ex_style |= WS_EX_LAYERED;
        HWND window = kt::make_window(options);
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
    const auto windows = make_each(
        titles, [](auto &) { return "-"; }, [](const std::string &title) { return title; });

    auto listing = kt::list_now();
    for (const auto &m : windows) {
        SCOPED_TRACE(std::string(owner_name(m.who)) + " window titled [" + *m.c + "]");
        const kt::listed_window *entry = kt::find_listed(listing, m.window);
        ASSERT_NE(entry, nullptr);
        EXPECT_EQ(entry->title, *m.c);
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
    const auto windows = make_each(
        cases, [](auto &) { return "-"; }, [](const escape_case &c) { return c.title; });

    const std::string raw = raw_listing();
    for (const auto &m : windows) {
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
    const auto windows = make_each(
        cases, [](const filter_case &c) { return c.flags; },
        [](const filter_case &c) { return std::string("filter ") + c.flags; });

    auto listing = kt::list_now();
    for (const auto &m : windows) {
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
    const auto windows = make_each(
        cases, [](const state_case &c) { return c.flags; },
        [](const state_case &c) { return std::string("state ") + c.flags; });
    // Layered, but never given its attributes: they cannot be read back.
    kt::window_options unset = {L"state layered without attributes", WS_EX_LAYERED};
    HWND unreadable = kt::make_window(unset);
    ASSERT_NE(unreadable, nullptr);
    own_.push_back(unreadable);

    auto listing = kt::list_now();
    for (const auto &m : windows) {
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

// ---- the census behind the listing, and the long form ----------------------------

struct census_text {
    int32_t count = -1;
    std::string json;
};

census_text census_json(uint32_t facts, uint32_t options)
{
    census_text result;
    const kestal_window *windows = nullptr;
    result.count = kestal_census(facts, &windows);
    char *text = result.count >= 0 ? kestal_census_json(windows, result.count, options) : nullptr;
    result.json = text ? text : "";
    kestal_free_string(text);
    kestal_census_release();
    return result;
}

const kt::long_window *find_long(const std::vector<kt::long_window> &listing, HWND window)
{
    for (const kt::long_window &entry : listing) {
        if (entry.listed.hwnd == static_cast<int64_t>(reinterpret_cast<intptr_t>(window)))
            return &entry;
    }
    return nullptr;
}

TEST_F(WindowListing, long_members_describe_place_size_state_class_process_and_focus)
{
    children_.emplace_back();
    ASSERT_TRUE(kt::start_child(children_.back()));
    kt::child_windows &child = children_.back();
    struct long_case {
        const char *flags;
        const char *class_name;
        const char *state;
        RECT at; // left, top, width, height; all 0 where the system decides
    };
    const long_case cases[] = {
        {"class=KestalLongNormal,at=40:50:310:170", "KestalLongNormal", "normal", {40, 50, 310, 170}},
        {"class=KestalLongOff,at=-20:700:150:90,topmost,layered=153", "KestalLongOff", "normal", {-20, 700, 150, 90}},
        {"class=KestalLongMin,minimized", "KestalLongMin", "minimized", {}},
        {"class=Kestal_Fenêtre_窓,maximized", "Kestal_Fenêtre_窓", "maximized", {}},
    };
    std::vector<HWND> made;
    for (const long_case &c : cases)
        made.push_back(kt::child_make_window(child, c.flags, std::string("long ") + c.class_name));
    HWND front = make(owner::test, "-", "long, brought to the foreground");
    ASSERT_TRUE(SetForegroundWindow(front));
    kt::pump();
    ASSERT_EQ(GetForegroundWindow(), front);

    const census_text census = census_json(KESTAL_CENSUS_PLACEMENT, KESTAL_JSON_LONG);
    ASSERT_GE(census.count, 0) << kestal_last_error();
    auto listing = kt::parse_long_listing(census.json.c_str());
    ASSERT_TRUE(listing);
    EXPECT_EQ(listing->size(), static_cast<size_t>(census.count));
    const auto plain = parsed(raw_listing());
    for (size_t i = 0; i < std::size(cases); ++i) {
        const long_case &c = cases[i];
        SCOPED_TRACE(c.flags);
        const kt::long_window *entry = find_long(*listing, made[i]);
        ASSERT_NE(entry, nullptr) << census.json;
        EXPECT_EQ(entry->pid, static_cast<int64_t>(child.pid));
        EXPECT_EQ(entry->class_name, c.class_name);
        EXPECT_EQ(entry->state, c.state);
        EXPECT_FALSE(entry->foreground);
        RECT rect = {};
        ASSERT_TRUE(GetWindowRect(made[i], &rect));
        EXPECT_EQ(entry->x, rect.left);
        EXPECT_EQ(entry->y, rect.top);
        EXPECT_EQ(entry->width, rect.right - rect.left);
        EXPECT_EQ(entry->height, rect.bottom - rect.top);
        if (c.at.right > 0) {
            EXPECT_EQ(entry->x, c.at.left);
            EXPECT_EQ(entry->y, c.at.top);
            EXPECT_EQ(entry->width, c.at.right);
            EXPECT_EQ(entry->height, c.at.bottom);
        }
        // The first five members are those of the plain listing.
        const kt::listed_window *short_entry = kt::find_listed(plain, made[i]);
        ASSERT_NE(short_entry, nullptr);
        EXPECT_EQ(entry->listed.title, short_entry->title);
        EXPECT_EQ(entry->listed.exe, "kestal-test-windows.exe");
        EXPECT_EQ(entry->listed.pinned, short_entry->pinned);
        EXPECT_EQ(entry->listed.opacity, short_entry->opacity);
    }
    const kt::long_window *focused = find_long(*listing, front);
    ASSERT_NE(focused, nullptr);
    EXPECT_TRUE(focused->foreground);
    EXPECT_EQ(focused->class_name, "KestalTestWindow");
    EXPECT_EQ(focused->pid, static_cast<int64_t>(GetCurrentProcessId()));
    size_t foreground = 0;
    for (const kt::long_window &entry : *listing)
        foreground += entry.foreground;
    EXPECT_EQ(foreground, 1u);
}

// Plain JSON from a census is kestal_list's text, with or without the
// placement facts, and a census repeated without a release reads again
// everything that can change while the facts kept per handle stay right.
TEST_F(WindowListing, a_repeated_census_sees_every_change_and_its_plain_text_is_the_listing)
{
    HWND own = make(owner::test, "-", "census before");
    HWND other = make(owner::child, "-", "census other before");
    const census_text plain = census_json(0, 0), placed = census_json(KESTAL_CENSUS_PLACEMENT, 0);
    const std::string listed = raw_listing();
    EXPECT_EQ(plain.json, listed);
    EXPECT_EQ(placed.json, listed);

    const kestal_window *windows = nullptr;
    ASSERT_GE(kestal_census(0, &windows), 0);
    SetWindowTextW(own, L"census after, Grüße");
    ASSERT_EQ(kt::child_command(children_.front(), "title " + kt::handle_text(other) + " census other after"), "ok");
    SetWindowPos(own, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
    SetWindowLongW(own, GWL_EXSTYLE, GetWindowLongW(own, GWL_EXSTYLE) | WS_EX_LAYERED);
    SetLayeredWindowAttributes(own, 0, 51, LWA_ALPHA);
    HWND added = make(owner::child, "class=KestalCensusLate", "census added");
    const int32_t count = kestal_census(0, &windows);
    ASSERT_GE(count, 0);
    std::vector<kestal_window> seen(windows, windows + count);
    auto find = [&](HWND window) -> const kestal_window * {
        for (const kestal_window &entry : seen) {
            if (entry.hwnd == static_cast<int64_t>(reinterpret_cast<intptr_t>(window)))
                return &entry;
        }
        return nullptr;
    };
    const kestal_window *own_entry = find(own), *other_entry = find(other), *added_entry = find(added);
    ASSERT_TRUE(own_entry && other_entry && added_entry);
    EXPECT_STREQ(own_entry->title, "census after, Grüße");
    EXPECT_EQ(own_entry->pinned, 1);
    EXPECT_EQ(own_entry->opacity, 20);
    EXPECT_STREQ(own_entry->exe, "window_list_tests.exe");
    EXPECT_STREQ(own_entry->class_name, "KestalTestWindow");
    EXPECT_STREQ(other_entry->title, "census other after");
    EXPECT_STREQ(other_entry->exe, "kestal-test-windows.exe");
    EXPECT_STREQ(added_entry->class_name, "KestalCensusLate");
    EXPECT_STREQ(added_entry->exe, "kestal-test-windows.exe");
    EXPECT_EQ(added_entry->pid, children_.front().pid);

    ASSERT_EQ(kt::child_command(children_.front(), "destroy " + kt::handle_text(added)), "ok");
    const int32_t after = kestal_census(KESTAL_CENSUS_PLACEMENT, &windows);
    ASSERT_GE(after, 0);
    // The array is its objects, each as kestal_window_json writes it alone.
    for (uint32_t options : {0u, KESTAL_JSON_LONG, KESTAL_JSON_LONG | KESTAL_JSON_ASCII}) {
        SCOPED_TRACE(options);
        char *text = kestal_census_json(windows, after, options);
        ASSERT_NE(text, nullptr);
        std::string joined = "[";
        for (int32_t i = 0; i < after; ++i) {
            char *object = kestal_window_json(&windows[i], options);
            ASSERT_NE(object, nullptr);
            joined += std::string(i ? "," : "") + object;
            kestal_free_string(object);
        }
        EXPECT_EQ(text, joined + "]");
        EXPECT_EQ(std::string(text).find("\"hwnd\":" + kt::handle_text(added) + ","), std::string::npos);
        kestal_free_string(text);
    }
    kestal_census_release();
    EXPECT_EQ(kestal_window_json(nullptr, 0), nullptr);
}

// The census keeps a window's process, thread and class per handle, and a
// handle's value can come back for another window: the helper's `remake`
// brings it back in another process, with another class, between two
// censuses, and the census kept in between remembers the first window. The
// second census must read the new window's own facts.
TEST_F(WindowListing, a_handle_value_back_for_another_window_is_read_afresh)
{
    children_.resize(2);
    for (kt::child_windows &child : children_)
        ASSERT_TRUE(kt::start_child(child));
    kt::child_windows &before = children_[0], &after = children_[1];
    // A thread's first window brings objects of its own; made now, none of
    // them takes the freed slot later.
    ASSERT_TRUE(kt::child_make_window(after, "hidden", "recycled: warm-up"));
    HWND window = kt::child_make_window(before, "-", "recycled: before");
    ASSERT_TRUE(window);

    struct facts {
        int64_t pid = 0;
        std::string class_name, title;
    };
    auto census_facts = [&]() -> std::optional<facts> {
        const kestal_window *windows = nullptr;
        const int32_t count = kestal_census(0, &windows);
        std::optional<facts> found;
        for (int32_t i = 0; i < count; ++i) {
            if (windows[i].hwnd == static_cast<int64_t>(reinterpret_cast<intptr_t>(window)))
                found = facts{windows[i].pid, windows[i].class_name, windows[i].title};
        }
        return found;
    };
    const std::optional<facts> first = census_facts();
    ASSERT_TRUE(first) << "the window is not in the census: " << kestal_last_error();
    EXPECT_EQ(first->pid, before.pid);
    EXPECT_EQ(first->class_name, "KestalChildWindow");

    ASSERT_EQ(kt::child_command(before, "destroy " + kt::handle_text(window)), "ok");
    std::string answer;
    ASSERT_TRUE(kt::child_remake_window(after, window, "class=KestalRecycled", "recycled: after", answer))
        << "the helper could not bring the handle back: " << answer;
    const std::optional<facts> second = census_facts();
    ASSERT_TRUE(second) << "the new window is not in the census: " << kestal_last_error();
    EXPECT_EQ(second->pid, after.pid);
    EXPECT_EQ(second->class_name, "KestalRecycled");
    EXPECT_EQ(second->title, "recycled: after");
    kestal_census_release();
}

// ---- image paths of any length ------------------------------------------------

// Wine cannot start a program from a path longer than MAX_PATH, so the
// image path query stands in for one process, as if it ran from one: it
// answers as the system does, with ERROR_INSUFFICIENT_BUFFER when the path
// and its terminator do not fit, and records the capacities it was offered.
DWORD g_fake_path_pid = 0;
size_t g_fake_path_chars = 0;
std::vector<DWORD> g_offered_capacities;
QueryFullProcessImageNameW_fn g_system_path_query = nullptr;

BOOL WINAPI fake_image_path_query(HANDLE process, DWORD flags, LPWSTR path, PDWORD capacity)
{
    if (GetProcessId(process) != g_fake_path_pid)
        return g_system_path_query(process, flags, path, capacity);
    g_offered_capacities.push_back(*capacity);
    static constexpr std::wstring_view kName = L"\\long-named.exe";
    if (*capacity <= g_fake_path_chars) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    std::wstring whole = L"C:" + std::wstring(g_fake_path_chars - 2 - kName.size(), L'd') + std::wstring(kName);
    whole.copy(path, whole.size());
    path[whole.size()] = L'\0';
    *capacity = static_cast<DWORD>(whole.size());
    return TRUE;
}

TEST_F(WindowListing, exe_names_are_read_from_image_paths_up_to_the_longest_path_there_is)
{
    const struct {
        size_t path_chars;
        std::vector<DWORD> offered; // what the listing offered, in order
        const char *exe;
    } cases[] = {
        {1023, {1024}, "long-named.exe"},
        {1024, {1024, 32768}, "long-named.exe"},
        {32767, {1024, 32768}, "long-named.exe"},
        {32768, {1024, 32768}, ""}, // longer than any path the system accepts
    };
    HWND window = make(owner::child, "-", "made by a program with a long path");
    ASSERT_NE(window, nullptr);
    g_fake_path_pid = children_.front().pid;
    g_system_path_query = image_name_query();
    ASSERT_NE(g_system_path_query, nullptr);
    for (const auto &c : cases) {
        SCOPED_TRACE(c.path_chars);
        g_fake_path_chars = c.path_chars;
        g_offered_capacities.clear();
        p_QueryFullProcessImageNameW = fake_image_path_query;
        std::string raw = raw_listing();
        p_QueryFullProcessImageNameW = g_system_path_query;
        auto listing = parsed(raw);
        const kt::listed_window *entry = kt::find_listed(listing, window);
        ASSERT_NE(entry, nullptr) << raw;
        EXPECT_EQ(entry->exe, c.exe);
        EXPECT_EQ(g_offered_capacities, c.offered);
    }
}

// ---- the cloak filter, through the stand-in dwmapi.dll -----------------------

struct cloak_run {
    kt::run_result result;
    std::vector<kt::listed_window> listing;
};

cloak_run list_from(const std::wstring &program, const std::vector<std::string> &environment)
{
    cloak_run run;
    run.result = kt::run_program(kt::program_path(program), {"list"}, environment);
    EXPECT_EQ(run.result.exit_code, 0u) << run.result.err;
    EXPECT_EQ(run.result.err, "");
    if (!run.result.out.empty() && run.result.out.back() == '\n')
        run.listing = parsed(run.result.out.substr(0, run.result.out.size() - 1));
    else
        ADD_FAILURE() << "listing without its line break: " << run.result.out;
    return run;
}

// The library loads dwmapi.dll from the system folder only, so that is where
// a stand-in must lie to be used. Every process of a Wine prefix would then
// get it, so the tests that put one there run as a ctest of their own, in a
// prefix of their own, which says so with KESTAL_SYSTEM_DWMAPI_SWAP=1.
std::wstring system_folder_file(const wchar_t *name)
{
    wchar_t folder[MAX_PATH];
    UINT chars = GetSystemDirectoryW(folder, MAX_PATH);
    return std::wstring(folder, chars < MAX_PATH ? chars : 0) + L"\\" + name;
}

const std::wstring kSystemDwmapi = system_folder_file(L"dwmapi.dll");
const std::wstring kSystemDwmapiOriginal = system_folder_file(L"dwmapi.dll.kestal-original");

class SystemDwmapi : public WindowListing {
protected:
    void SetUp() override
    {
        // Never on Windows itself, whose system folder is not ours to change.
        if (!kt::under_wine() || !GetEnvironmentVariableW(L"KESTAL_SYSTEM_DWMAPI_SWAP", nullptr, 0))
            GTEST_SKIP() << "replaces the system's dwmapi.dll: runs under Wine only, as ctest "
                            "window_list_system_dwmapi_tests, in a Wine prefix of its own";
        // A run that was cut short left its stand-in in place, and the
        // original beside it: only a missing backup is taken from the folder.
        if (GetFileAttributesW(kSystemDwmapiOriginal.c_str()) == INVALID_FILE_ATTRIBUTES) {
            ASSERT_TRUE(CopyFileW(kSystemDwmapi.c_str(), kSystemDwmapiOriginal.c_str(), TRUE))
                << "cannot back up " << kt::narrow(kSystemDwmapi) << ": win32 error " << GetLastError();
        }
    }

    void TearDown() override
    {
        if (GetFileAttributesW(kSystemDwmapiOriginal.c_str()) != INVALID_FILE_ATTRIBUTES) {
            EXPECT_TRUE(CopyFileW(kSystemDwmapiOriginal.c_str(), kSystemDwmapi.c_str(), FALSE))
                << "cannot restore " << kt::narrow(kSystemDwmapi) << ": win32 error " << GetLastError();
        }
        WindowListing::TearDown();
    }

    static bool install(const std::wstring &stand_in)
    {
        if (CopyFileW(kt::program_path(stand_in).c_str(), kSystemDwmapi.c_str(), FALSE))
            return true;
        ADD_FAILURE() << "cannot put " << kt::narrow(stand_in) << " in the system folder: win32 error "
                      << GetLastError();
        return false;
    }
};

TEST_F(SystemDwmapi, windows_that_dwmapi_reports_cloaked_are_left_out)
{
    // "modern" answers only through the window attribute; "legacy" exports
    // DwmIsWindowCloaked and claims every window cloaked through the
    // attribute, so a listing that asks the attribute there comes out empty.
    const wchar_t *stand_ins[] = {L"dwm-modern\\dwmapi.dll", L"dwm-legacy\\dwmapi.dll"};
    HWND cloaked[] = {make(owner::test, "-", "[cloaked] own"), make(owner::child, "-", "[cloaked] child")};
    HWND plain[] = {make(owner::test, "-", "plain own"), make(owner::child, "-", "plain child")};

    for (const wchar_t *stand_in : stand_ins) {
        SCOPED_TRACE(kt::narrow(stand_in));
        ASSERT_TRUE(install(stand_in));
        cloak_run run = list_from(L"kestal-cli.exe", {"WINEDLLOVERRIDES=dwmapi=n"});
        for (HWND window : cloaked)
            EXPECT_EQ(kt::find_listed(run.listing, window), nullptr) << run.result.out;
        for (HWND window : plain)
            EXPECT_NE(kt::find_listed(run.listing, window), nullptr) << run.result.out;
        if (const kt::listed_window *own = kt::find_listed(run.listing, plain[0])) {
            EXPECT_EQ(own->exe, "window_list_tests.exe");
        }
    }
}

TEST_F(WindowListing, where_dwmapi_cannot_tell_cloaking_no_window_is_left_out)
{
    HWND cloaked = make(owner::test, "-", "[cloaked] seen by the system's dwmapi");
    // The system's own dwmapi answers; a stand-in planted beside a copy of
    // the exe, where a bare LoadLibrary would look first, must go unused even
    // where Wine is told to prefer a native dwmapi.dll.
    const struct {
        const wchar_t *program;
        const char *overrides;
    } runs[] = {
        {L"kestal-cli.exe", "WINEDLLOVERRIDES="},
        {L"dwm-modern\\kestal-cli.exe", "WINEDLLOVERRIDES=dwmapi=n"},
        {L"dwm-legacy\\kestal-cli.exe", "WINEDLLOVERRIDES=dwmapi=n"},
    };
    for (const auto &run_case : runs) {
        SCOPED_TRACE(kt::narrow(run_case.program));
        cloak_run run = list_from(run_case.program, {run_case.overrides});
        EXPECT_NE(kt::find_listed(run.listing, cloaked), nullptr) << run.result.out;
    }
    const std::vector<kt::listed_window> listing = kt::list_now();
    EXPECT_NE(kt::find_listed(listing, cloaked), nullptr);
}

// ---- a full table ----------------------------------------------------------------

// Every window on a desktop makes each window operation there slower, so the
// crowd gets a desktop of its own, where it also stays out of other tests'
// way; the thread that makes it takes the listing there too.
constexpr size_t kTableSize = 4096;
constexpr size_t kCrowd = kTableSize + 8;

struct crowd {
    HDESK desktop = nullptr;
    std::string failure;
    std::vector<int64_t> delivered; // what the census keeps, in enumeration order
    std::string listing;
    long long make_ms = 0;
};

BOOL CALLBACK collect_listable(HWND window, LPARAM param)
{
    wchar_t class_name[64];
    int length = GetClassNameW(window, class_name, static_cast<int>(std::size(class_name)));
    std::wstring_view name(class_name, length > 0 ? static_cast<size_t>(length) : 0);
    if (IsWindowVisible(window) && name != L"Progman" && name != L"WorkerW")
        reinterpret_cast<crowd *>(param)->delivered.push_back(reinterpret_cast<intptr_t>(window));
    return TRUE;
}

DWORD WINAPI make_crowd_and_list(void *param)
{
    auto *c = static_cast<crowd *>(param);
    std::wstring name = L"kestal-crowd-" + std::to_wstring(GetCurrentProcessId());
    c->desktop = CreateDesktopW(name.c_str(), nullptr, nullptr, 0, GENERIC_ALL, nullptr);
    if (!c->desktop || !SetThreadDesktop(c->desktop)) {
        c->failure = "no desktop of its own, win32 error " + std::to_string(GetLastError());
        return 0;
    }
    WNDCLASSEXW window_class = {};
    window_class.cbSize = sizeof window_class;
    window_class.lpfnWndProc = DefWindowProcW;
    window_class.hInstance = GetModuleHandleW(nullptr);
    window_class.lpszClassName = L"KestalCrowd";
    RegisterClassExW(&window_class);

    auto start = std::chrono::steady_clock::now();
    for (size_t i = 0; i < kCrowd; ++i) {
        HWND window = CreateWindowExW(WS_EX_TOOLWINDOW, L"KestalCrowd", nullptr, WS_POPUP, -32000, -32000, 1, 1,
                                      nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
        if (!window) {
            c->failure = "window " + std::to_string(i) + ": win32 error " + std::to_string(GetLastError());
            return 0;
        }
        // Visible by its style alone: the census sees it, and nothing has to be drawn.
        SetWindowLongW(window, GWL_STYLE, WS_POPUP | WS_VISIBLE);
    }
    c->make_ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start)
                     .count();

    EnumWindows(collect_listable, reinterpret_cast<LPARAM>(c));
    c->listing = raw_listing();
    // The thread's end destroys its windows.
    return 0;
}

TEST(FullTable, beyond_4096_windows_only_the_first_delivered_are_listed)
{
    crowd c;
    HANDLE thread = CreateThread(nullptr, 0, make_crowd_and_list, &c, 0, nullptr);
    ASSERT_NE(thread, nullptr);
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    if (c.desktop)
        CloseDesktop(c.desktop);
    ASSERT_EQ(c.failure, "");
    std::printf("made %zu windows in %lld ms\n", kCrowd, c.make_ms);

    ASSERT_GE(c.delivered.size(), kCrowd);
    auto listing = parsed(c.listing);
    ASSERT_EQ(listing.size(), kTableSize);
    for (size_t i = 0; i < kTableSize; ++i) {
        ASSERT_EQ(listing[i].hwnd, c.delivered[i]) << "object " << i << " is not the window delivered " << i << "th";
        ASSERT_EQ(listing[i].exe, "window_list_tests.exe") << "object " << i;
    }
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
    RECT rect = {};
    SetLastError(0);
    ASSERT_FALSE(GetWindowRect(nullptr, &rect));
    set_error_win32("GetWindowRect");
    EXPECT_STREQ(kestal_last_error(), "GetWindowRect failed (win32 error 1400): Invalid window handle.\r\n");
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

// The cut falls before a character that does not fit whole, so that the
// text stays UTF-8 that any reader takes.
TEST(LastErrorText, over_long_reports_are_never_cut_inside_a_character)
{
    struct cut_case {
        std::size_t lead;
        std::string character;
        std::size_t kept;
    };
    const cut_case cases[] = {
        {509, "\xC3\xA9", 511},       {510, "\xC3\xA9", 510},
        {508, "\xE6\xBC\xA2", 511},   {509, "\xE6\xBC\xA2", 509},   {510, "\xE6\xBC\xA2", 510},
        {507, "\xF0\x9F\x98\x80", 511}, {508, "\xF0\x9F\x98\x80", 508}, {510, "\xF0\x9F\x98\x80", 510},
    };
    for (const cut_case &c : cases) {
        SCOPED_TRACE(testing::Message() << c.lead << " bytes, then a character of " << c.character.size());
        const std::string text = std::string(c.lead, 'e') + c.character + "tail";
        set_error("%s", text.c_str());
        EXPECT_EQ(std::string(kestal_last_error()), text.substr(0, c.kept));
    }
}

TEST_F(WindowListing, a_successful_listing_leaves_the_last_error_text_alone)
{
    HWND window = make(owner::test, "-", "listed while an old failure stands");
    set_error("left by an earlier failure %d", 42);
    const std::string raw = raw_listing();
    const auto listing = parsed(raw);
    EXPECT_NE(kt::find_listed(listing, window), nullptr);
    EXPECT_STREQ(kestal_last_error(), "left by an earlier failure 42");
}

} // namespace
