// keep holds the state that was asked for: what no rule wants any more goes
// back, a person's change goes back to the rules when asked, a change held
// up is tried again, a save that could not be read is read later, and
// nothing that waits on a window holds keep's own thread. Each row of the
// table is one sequence on windows of a helper process.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "test_support.h"

namespace {

constexpr DWORD kPatienceMs = 5000;

struct holds;

// One sequence: its name, its rules (with TAG for the row's own tag) and
// its steps, which run with keep started on those rules.
struct sequence {
    const char *name;
    std::string rules;
    std::function<void(holds &)> steps;
};

struct holds {
    kt::child_windows child;
    kt::running_command keep;
    std::string tag;
    std::wstring rules;

    std::string exstyle(HWND window) { return kt::child_command(child, "exstyle " + kt::handle_text(window)); }
    std::string layering(HWND window) { return kt::child_command(child, "layering " + kt::handle_text(window)); }
    // A window of the helper whose title is `title` with TAG replaced by the row's tag.
    HWND make(const std::string &title) { return kt::child_make_window(child, "-", tagged(title)); }
    std::string tagged(std::string text)
    {
        for (size_t at = text.find("TAG"); at != std::string::npos; at = text.find("TAG", at))
            text.replace(at, 3, tag);
        return text;
    }
    // Polls the window's own program until it reads `wanted`; the time it
    // took, or -1 when it never did within `patience_ms`.
    long long reads_within(HWND window, const std::string &question, const std::string &wanted,
                           DWORD patience_ms = kPatienceMs)
    {
        const ULONGLONG start = GetTickCount64();
        if (!kt::wait_until(
                [&] { return kt::child_command(child, question + " " + kt::handle_text(window)) == wanted; },
                patience_ms))
            return -1;
        return static_cast<long long>(GetTickCount64() - start);
    }
    bool becomes(HWND window, const std::string &wanted) { return reads_within(window, "exstyle", wanted) >= 0; }
    bool line(const std::string &wanted, DWORD patience_ms = kPatienceMs)
    {
        return kt::wait_for_line(keep, wanted, patience_ms);
    }
    std::string lines() { return kt::all_lines(keep); }
    void write_rules(const std::string &text) { kt::write_file(rules, tagged(text)); }
};

std::string applied_line(HWND window)
{
    return "{\"event\":\"applied\",\"hwnd\":" + kt::handle_text(window) + ",";
}

// The lock that every kestal change of a window takes, held here as
// another change of the window would hold it.
HANDLE hold_change_lock(HWND window)
{
    wchar_t name[64];
    swprintf(name, std::size(name), L"Local\\KestalWindowChange-%llx",
             static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(window)));
    HANDLE lock = CreateMutexW(nullptr, TRUE, name);
    return lock && GetLastError() != ERROR_ALREADY_EXISTS ? lock : nullptr;
}

const sequence kSequences[] = {
    {"a rule removed on reload gives back what it set, at once",
     R"({"rules": [{"match": "title:fade-TAG", "opacity": 60}, {"match": "title:pin-TAG", "pin": true}]})",
     [](holds &h) {
         HWND faded = h.make("fade-TAG");
         HWND pinned = h.make("pin-TAG");
         ASSERT_TRUE(h.line(applied_line(faded))) << h.lines();
         ASSERT_TRUE(h.becomes(pinned, "topmost")) << h.lines();
         h.write_rules(R"({"rules": [{"match": "title:pin-TAG", "pin": true}]})");
         EXPECT_TRUE(h.line("{\"event\":\"reloaded\"}")) << h.lines();
         EXPECT_GE(h.reads_within(faded, "layering", "plain"), 0) << h.lines();
         EXPECT_TRUE(h.line("\"members\":[\"opacity\"],\"reason\":\"no rule wants it\"}")) << h.lines();
         EXPECT_EQ(h.exstyle(pinned), "topmost") << "the rule that stayed was given back too";
     }},
    {"a window retitled out of its rule is given back, and back in gets it again within 3 s",
     R"({"rules": [{"match": "title:titled-TAG", "pin": true, "opacity": 50}]})",
     [](holds &h) {
         HWND window = h.make("titled-TAG");
         ASSERT_TRUE(h.becomes(window, "topmost,layered")) << h.lines();
         kt::child_command(h.child, "title " + kt::handle_text(window) + " " + h.tagged("elsewhere TAG"));
         const long long out = h.reads_within(window, "exstyle", "-");
         EXPECT_GE(out, 0) << h.lines();
         EXPECT_LE(out, 3000) << "the retitle out of the rule took " << out << " ms";
         EXPECT_EQ(h.layering(window), "plain");
         kt::child_command(h.child, "title " + kt::handle_text(window) + " " + h.tagged("titled-TAG again"));
         const long long in = h.reads_within(window, "exstyle", "topmost,layered");
         EXPECT_GE(in, 0) << h.lines();
         EXPECT_LE(in, 3000) << "the retitle into the rule took " << in << " ms";
     }},
    {"a new window is held within 1 s, and a pin its program drops is back within 1 s",
     R"({"rules": [{"match": "title:new-TAG", "pin": true}]})",
     [](holds &h) {
         const ULONGLONG made_at = GetTickCount64();
         HWND window = h.make("new-TAG");
         ASSERT_GE(h.reads_within(window, "exstyle", "topmost"), 0) << h.lines();
         EXPECT_LE(GetTickCount64() - made_at, 1000u) << "the new window was pinned late";
         kt::child_command(h.child, "pin " + kt::handle_text(window) + " 0");
         const long long back = h.reads_within(window, "exstyle", "topmost");
         EXPECT_GE(back, 0) << h.lines();
         EXPECT_LE(back, 1000) << "the dropped pin came back after " << back << " ms";
     }},
    {"a person's change, then keep --reapply, hands the window back to the rules",
     R"({"rules": [{"match": "title:person-TAG", "pin": true}]})",
     [](holds &h) {
         HWND window = h.make("person-TAG");
         HWND other = h.make("person-TAG other");
         ASSERT_TRUE(h.becomes(window, "topmost") && h.becomes(other, "topmost")) << h.lines();
         const std::string handle = kt::handle_text(window);
         ASSERT_EQ(kt::run_cli({"pin", handle, "0"}).exit_code, 0u);
         ASSERT_EQ(kt::run_cli({"pin", kt::handle_text(other), "0"}).exit_code, 0u);
         ASSERT_TRUE(h.line("{\"event\":\"left_alone\",\"hwnd\":" + handle + ",")) << h.lines();
         Sleep(1500);
         ASSERT_EQ(h.exstyle(window), "-") << "the person's release did not stay";
         const kt::run_result reapplied = kt::run_cli({"keep", "--reapply", handle});
         EXPECT_EQ(reapplied.exit_code, 0u) << reapplied.err;
         EXPECT_EQ(reapplied.out, "ok\n");
         EXPECT_TRUE(h.becomes(window, "topmost")) << h.lines();
         Sleep(1500);
         EXPECT_EQ(h.exstyle(other), "-") << "a window that was not named went back to the rules";
         const kt::run_result everything = kt::run_cli({"keep", "--reapply"});
         EXPECT_EQ(everything.exit_code, 0u) << everything.err;
         EXPECT_TRUE(h.becomes(other, "topmost")) << h.lines();
         const kt::run_result nothing = kt::run_cli({"keep", "--reapply", h.tagged("title:no such window TAG")});
         EXPECT_EQ(nothing.exit_code, 1u);
         EXPECT_EQ(nothing.err.rfind("error: no window matches", 0), 0u) << nothing.err;
     }},
    {"a change held up by another change of the window is tried again",
     R"({"rules": [{"match": "title:held-TAG", "pin": true}]})",
     [](holds &h) {
         // The rules are read again with the window there and its lock held.
         HWND window = h.make("held-TAG");
         HANDLE lock = nullptr;
         ASSERT_TRUE(h.becomes(window, "topmost")) << h.lines();
         h.write_rules(R"({"rules": [{"match": "title:held-TAG", "pin": true, "opacity": 40}]})");
         lock = hold_change_lock(window);
         ASSERT_TRUE(lock);
         EXPECT_TRUE(h.line("error: " + kt::handle_text(window) + " ", 10000)) << h.lines();
         ReleaseMutex(lock);
         CloseHandle(lock);
         EXPECT_TRUE(h.line("\"opacity\":40}", 15000)) << h.lines();
         EXPECT_EQ(h.exstyle(window), "topmost,layered");
     }},
    {"a save that cannot be read at once is read once it can",
     R"({"rules": [{"match": "title:locked-TAG", "pin": true}]})",
     [](holds &h) {
         HWND window = h.make("locked-TAG");
         ASSERT_TRUE(h.becomes(window, "topmost")) << h.lines();
         // An editor that holds the file while it writes, and a while after.
         HANDLE file = CreateFileW(h.rules.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
         ASSERT_NE(file, INVALID_HANDLE_VALUE);
         const std::string text = h.tagged(R"({"rules": [{"match": "title:locked-TAG", "opacity": 30}]})");
         DWORD written = 0;
         WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
         FlushFileBuffers(file);
         EXPECT_TRUE(h.line("keep reads it again once it can", 5000)) << h.lines();
         CloseHandle(file);
         EXPECT_TRUE(h.line("{\"event\":\"reloaded\"}", 5000)) << h.lines();
         EXPECT_TRUE(h.becomes(window, "layered")) << h.lines();
     }},
    {"keep --reload with a broken file says the file's first error and exits 1",
     R"({"rules": [{"match": "title:broken-TAG", "pin": true}]})",
     [](holds &h) {
         HWND window = h.make("broken-TAG");
         ASSERT_TRUE(h.becomes(window, "topmost")) << h.lines();
         kt::write_file(h.rules, "{\n  \"rules\": [}\n");
         const kt::run_result reload = kt::run_cli({"keep", "--reload"});
         EXPECT_EQ(reload.exit_code, 1u);
         EXPECT_EQ(reload.out, "");
         EXPECT_EQ(reload.err.rfind("error: " + kt::narrow(h.rules) + ":2:", 0), 0u) << reload.err;
         Sleep(1000);
         kt::child_command(h.child, "pin " + kt::handle_text(window) + " 0");
         EXPECT_TRUE(h.becomes(window, "topmost")) << "the rules read before did not stay";
     }},
    {"a reload during a hotkey that waits on a window is taken at once, and keep writes only its lines",
     R"({"rules": [{"match": "title:slow-TAG", "opacity": 70}], "keys": {"ctrl+alt+shift+F16": "pin title:slow-TAG"}})",
     [](holds &h) {
         HWND slow = h.make("slow-TAG");
         ASSERT_TRUE(h.line(applied_line(slow))) << h.lines();
         ASSERT_EQ(kt::child_command(h.child, "stall " + kt::handle_text(slow) + " poschanging 4000"), "ok");
         ASSERT_TRUE(kt::press_keys({VK_CONTROL, VK_MENU, VK_SHIFT}, VK_F16)) << "the modifiers did not stay down";
         Sleep(300);
         const ULONGLONG asked = GetTickCount64();
         const kt::run_result reload = kt::run_cli({"keep", "--reload"});
         EXPECT_EQ(reload.exit_code, 0u) << reload.err;
         EXPECT_LT(GetTickCount64() - asked, 2000u) << "the reload waited for the hotkey's window";
         EXPECT_TRUE(h.line("\"keys\":\"ctrl+alt+shift+F16\"", 15000)) << h.lines();
         EXPECT_TRUE(h.becomes(slow, "topmost,layered")) << h.lines();
         const std::string all = h.lines();
         for (size_t start = 0, end; start < all.size(); start = end + 1) {
             end = all.find('\n', start);
             end = end == std::string::npos ? all.size() : end;
             const std::string written = all.substr(start, end - start);
             EXPECT_TRUE(written.empty() || written.rfind("{", 0) == 0 || written.rfind("error: ", 0) == 0)
                 << written;
         }
     }},
    {"a hotkey is answered within 0.5 s while another one's command waits on a hung window",
     R"({"rules": [], "keys": {"ctrl+alt+shift+F17": "pin title:hung-TAG", "ctrl+alt+shift+F18": "pin title:free-TAG"}})",
     [](holds &h) {
         kt::child_windows other;
         ASSERT_TRUE(kt::start_child(other));
         HWND hung = h.make("hung-TAG");
         HWND free = kt::child_make_window(other, "-", h.tagged("free-TAG"));
         ASSERT_TRUE(hung && free);
         ASSERT_EQ(kt::child_command(h.child, "hang 6000"), "ok");
         ASSERT_TRUE(kt::press_keys({VK_CONTROL, VK_MENU, VK_SHIFT}, VK_F17)) << "the modifiers did not stay down";
         Sleep(300);
         ASSERT_TRUE(kt::press_keys({VK_CONTROL, VK_MENU, VK_SHIFT}, VK_F18)) << "the modifiers did not stay down";
         const ULONGLONG pressed = GetTickCount64();
         EXPECT_TRUE(h.line("\"keys\":\"ctrl+alt+shift+F18\"", 5000)) << h.lines();
         EXPECT_LE(GetTickCount64() - pressed, 500u) << "the free window's hotkey waited for the hung one";
         EXPECT_EQ(kt::child_command(other, "exstyle " + kt::handle_text(free)), "topmost");
         EXPECT_TRUE(h.line("\"keys\":\"ctrl+alt+shift+F17\"", 15000)) << h.lines();
         kt::run_cli({"reset", kt::handle_text(free)});
         kt::stop_child(other);
     }},
    {"keys of Ctrl with a letter are taken with a warning that names what they shadow",
     R"({"rules": [], "keys": {"Ctrl+T": "pin active toggle", "Ctrl+Shift+7": "reset active",
                               "Ctrl+Alt+Shift+F20": "reset active"}})",
     [](holds &h) {
         EXPECT_TRUE(h.line("warning: Ctrl+T takes that key from every program while keep runs, where it means new tab"))
             << h.lines();
         EXPECT_TRUE(h.line("warning: Ctrl+Shift+7 takes that key from every program")) << h.lines();
         EXPECT_EQ(h.lines().find("warning: Ctrl+Alt+Shift+F20"), std::string::npos) << h.lines();
     }},
    {"a window's lines name its title as it is at that moment",
     R"({"rules": [{"match": "title:named-TAG", "pin": true}]})",
     [](holds &h) {
         HWND window = h.make("named-TAG first");
         ASSERT_TRUE(h.becomes(window, "topmost")) << h.lines();
         kt::child_command(h.child, "title " + kt::handle_text(window) + " " + h.tagged("named-TAG second"));
         EXPECT_EQ(kt::run_cli({"keep", "--stop"}).exit_code, 0u);
         EXPECT_EQ(kt::wait_for_end(h.keep, 15000), 0u);
         EXPECT_NE(h.lines().find("{\"event\":\"given_back\",\"hwnd\":" + kt::handle_text(window) + ",\"title\":\"" +
                                  h.tagged("named-TAG second") + "\""),
                   std::string::npos)
             << h.lines();
     }},
    {"keep --stop names a window it could not give back and exits 1",
     R"({"rules": [{"match": "title:stuck-TAG", "pin": true}]})",
     [](holds &h) {
         HWND stuck = h.make("stuck-TAG");
         ASSERT_TRUE(h.becomes(stuck, "topmost")) << h.lines();
         ASSERT_EQ(kt::child_command(h.child, "hang 8000"), "ok");
         const kt::run_result stop = kt::run_cli({"keep", "--stop"});
         EXPECT_EQ(stop.exit_code, 1u) << stop.out << stop.err;
         EXPECT_EQ(stop.out, "");
         EXPECT_NE(stop.err.find("error: " + kt::handle_text(stuck) + " \"" + h.tagged("stuck-TAG")), std::string::npos)
             << stop.err;
         EXPECT_NE(stop.err.find("run kestal-cli reset once it answers"), std::string::npos) << stop.err;
         EXPECT_EQ(kt::wait_for_end(h.keep, 15000), 0u) << h.lines();
         EXPECT_TRUE(h.becomes(stuck, "topmost")) << "the window lost its pin while nothing was given back";
         EXPECT_EQ(kt::run_cli({"reset", kt::handle_text(stuck)}).exit_code, 0u);
         EXPECT_EQ(h.exstyle(stuck), "-");
     }},
};

class KeepHolds : public testing::TestWithParam<size_t> {
protected:
    void TearDown() override
    {
        kt::run_cli({"keep", "--stop"});
        kt::wait_for_end(state.keep, 15000);
        kt::stop_child(state.child);
        if (!state.rules.empty())
            DeleteFileW(state.rules.c_str());
    }
    holds state;
};

} // namespace

TEST_P(KeepHolds, the_state_asked_for)
{
    const sequence &row = kSequences[GetParam()];
    SCOPED_TRACE(row.name);
    ASSERT_TRUE(kt::start_child(state.child));
    state.tag = std::to_string(GetCurrentProcessId()) + "-" + std::to_string(GetTickCount());
    // The rules' folder is one of the row's own: keep wakes for every change in it.
    const std::wstring folder = kt::temp_folder() + L"kestal-holds-" + kt::widen(state.tag);
    CreateDirectoryW(folder.c_str(), nullptr);
    state.rules = folder + L"\\rules.json";
    state.write_rules(row.rules);
    ASSERT_TRUE(kt::start_command(state.keep, {"keep", kt::narrow(state.rules)}));
    ASSERT_TRUE(state.line("{\"event\":\"ready\"}", 10000)) << state.lines();
    row.steps(state);
    kt::run_cli({"keep", "--stop"});
    kt::wait_for_end(state.keep, 15000);
    DeleteFileW(state.rules.c_str());
    RemoveDirectoryW(folder.c_str());
    state.rules.clear();
}

INSTANTIATE_TEST_SUITE_P(Sequences, KeepHolds, testing::Range<size_t>(0, std::size(kSequences)),
                         [](const testing::TestParamInfo<size_t> &info) {
                             std::string name = kSequences[info.param].name;
                             for (char &c : name)
                                 c = isalnum(static_cast<unsigned char>(c)) ? c : '_';
                             return name;
                         });
