// `keep`: rules applied to windows of another process as they come and go,
// hotkeys pressed through SendInput, the rules file read again, and every
// change given back at the end; each state read back by the windows' own
// program.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "test_support.h"

namespace {

// Each wait is for an event and ends with it; the bound is for a machine
// under heavy load, where Wine takes its time.
constexpr DWORD kPatienceMs = 30000;

// The whole file, read beside a program that writes it; "" when it is not there.
std::string read_file(const std::wstring &path)
{
    const HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return "";
    std::string text;
    char buffer[65536];
    DWORD got = 0;
    while (ReadFile(file, buffer, sizeof buffer, &got, nullptr) && got > 0)
        text.append(buffer, got);
    CloseHandle(file);
    return text;
}

// Polls until `done` holds or the patience runs out.
bool eventually(const std::function<bool()> &done, DWORD patience_ms = kPatienceMs)
{
    return kt::wait_until(done, patience_ms);
}

// The lines that a running keep writes, read on a thread of their own so
// that a test waits for them with a deadline; its stderr goes to a file,
// which is read while it runs.
struct keep_run {
    kt::child_windows process;
    CRITICAL_SECTION guard;
    std::vector<std::string> lines;
    HANDLE reader = nullptr;
    std::wstring err_path;
};

DWORD WINAPI read_lines(void *context)
{
    auto *run = static_cast<keep_run *>(context);
    for (;;) {
        std::string line;
        char c;
        DWORD got = 0;
        while (ReadFile(run->process.from_child, &c, 1, &got, nullptr) && got == 1 && c != '\n')
            line.push_back(c);
        if (got == 0 && line.empty())
            return 0;
        EnterCriticalSection(&run->guard);
        run->lines.push_back(line);
        LeaveCriticalSection(&run->guard);
    }
}

// `program` keep "`rules`", with stderr into <rules>.err.
bool start_keep(keep_run &run, const std::wstring &rules, const wchar_t *program = L"kestal-cli.exe")
{
    InitializeCriticalSection(&run.guard);
    run.err_path = rules + L".err";
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    const HANDLE err = CreateFileW(run.err_path.c_str(), GENERIC_WRITE,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &inherit, CREATE_ALWAYS,
                                   FILE_ATTRIBUTE_NORMAL, nullptr);
    if (err == INVALID_HANDLE_VALUE)
        return false;
    const bool launched = kt::launch_child(run.process, kt::program_path(program), L"keep \"" + rules + L"\"", err);
    CloseHandle(err);
    if (!launched)
        return false;
    run.reader = CreateThread(nullptr, 0, read_lines, &run, 0, nullptr);
    return run.reader != nullptr;
}

std::string err_text(keep_run &run)
{
    return read_file(run.err_path);
}

bool has_line(keep_run &run, const std::string &wanted)
{
    EnterCriticalSection(&run.guard);
    bool found = false;
    for (const std::string &line : run.lines)
        found = found || line.find(wanted) != std::string::npos;
    LeaveCriticalSection(&run.guard);
    return found;
}

size_t lines_with(keep_run &run, const std::string &wanted)
{
    EnterCriticalSection(&run.guard);
    size_t count = 0;
    for (const std::string &line : run.lines)
        count += line.find(wanted) != std::string::npos ? 1 : 0;
    LeaveCriticalSection(&run.guard);
    return count;
}

std::string all_lines(keep_run &run)
{
    EnterCriticalSection(&run.guard);
    std::string text;
    for (const std::string &line : run.lines)
        text += line + "\n";
    LeaveCriticalSection(&run.guard);
    return text + "stderr:\n" + err_text(run);
}

// Ends the keep and waits for its last line; its exit code.
DWORD stop_keep(keep_run &run)
{
    kt::run_cli({"keep", "--stop"});
    DWORD exit_code = 0xffffffff;
    if (run.process.process && WaitForSingleObject(run.process.process, 30000) == WAIT_OBJECT_0)
        GetExitCodeProcess(run.process.process, &exit_code);
    if (run.reader) {
        WaitForSingleObject(run.reader, 5000);
        CloseHandle(run.reader);
        run.reader = nullptr;
    }
    return exit_code;
}

class Keep : public testing::Test {
protected:
    static void SetUpTestSuite() { child_started = kt::start_child(child); }
    static void TearDownTestSuite() { kt::stop_child(child); }
    // A keep left by a failed test would refuse the next one.
    void TearDown() override { kt::run_cli({"keep", "--stop"}); }

    std::string exstyle(HWND window) { return kt::child_command(child, "exstyle " + kt::handle_text(window)); }
    bool topmost(HWND window) { return exstyle(window).find("topmost") != std::string::npos; }
    HWND make(const std::string &flags, const std::string &title) { return kt::child_make_window(child, flags, title); }

    static kt::child_windows child;
    static bool child_started;
};

kt::child_windows Keep::child;
bool Keep::child_started = false;

} // namespace

TEST_F(Keep, rules_hold_windows_as_they_come_hotkeys_win_and_everything_is_given_back)
{
    ASSERT_TRUE(child_started);
    const std::string tag = std::to_string(GetCurrentProcessId());
    const std::wstring rules = kt::temp_folder() + L"kestal-keep-" + kt::widen(tag) + L".json";
    kt::write_file(rules, R"({
      // pinned, faded through two selectors, click-through but for one
      "rules": [
        {"match": "title:keep-pin-)" + tag + R"(", "pin": true},
        {"match": ["title:keep-fade-)" + tag + R"(", "exe:kestal-test-windows.exe"], "opacity": 60},
        {"match": "title:keep-click-)" + tag + R"(", "except": ["title:secret"], "clickthrough": true,},
      ],
      "keys": {"ctrl+alt+shift+F13": "pin active toggle",},
    })");
    HWND early = make("-", "keep-pin-" + tag + " early");
    HWND own_pin = make("topmost", "keep-pin-" + tag + " its own pin");
    HWND faded = make("-", "keep-fade-" + tag);
    HWND secret = make("-", "keep-click-" + tag + " secret");
    HWND bystander = make("-", "keep bystander " + tag);
    ASSERT_TRUE(early && own_pin && faded && secret && bystander);

    keep_run run;
    ASSERT_TRUE(start_keep(run, rules));
    ASSERT_TRUE(eventually([&] { return has_line(run, "{\"event\":\"ready\"}"); })) << all_lines(run);
    // Applied before "ready" to the windows that were there.
    EXPECT_EQ(exstyle(early), "topmost");
    EXPECT_EQ(exstyle(own_pin), "topmost");
    EXPECT_EQ(kt::child_command(child, "layering " + kt::handle_text(faded)), "layered flags=2 alpha=153 key=0");
    EXPECT_EQ(exstyle(secret), "-");
    EXPECT_EQ(exstyle(bystander), "-");
    EXPECT_TRUE(has_line(run, "{\"event\":\"applied\",\"hwnd\":" + kt::handle_text(early) + ",\"title\":\"keep-pin-" +
                                  tag + " early\",\"exe\":\"kestal-test-windows.exe\",\"pin\":true}"))
        << all_lines(run);

    // Windows that open later, or whose title changes into a match.
    HWND later = make("-", "keep-click-" + tag + " later");
    HWND renamed = make("-", "keep not yet " + tag);
    kt::child_command(child, "title " + kt::handle_text(renamed) + " keep-pin-" + tag + " renamed");
    EXPECT_TRUE(eventually([&] { return exstyle(later) == "layered,transparent"; })) << exstyle(later);
    EXPECT_TRUE(eventually([&] { return topmost(renamed); }));

    // A program that drops the pin that a rule gave gets it back.
    kt::child_command(child, "pin " + kt::handle_text(early) + " 0");
    EXPECT_TRUE(eventually([&] { return topmost(early); })) << "the rule's pin did not come back";

    // A person's hotkey wins over the rule, and keeps winning. The key goes
    // to the window that is in front once the system says it is.
    ASSERT_EQ(kt::child_command(child, "front " + kt::handle_text(renamed)), "ok");
    ASSERT_TRUE(eventually([&] { return GetForegroundWindow() == renamed; }));
    ASSERT_TRUE(kt::press_keys({VK_CONTROL, VK_MENU, VK_SHIFT}, VK_F13)) << "the modifiers did not stay down";
    EXPECT_TRUE(eventually([&] { return has_line(run, "\"event\":\"hotkey\""); })) << all_lines(run);
    EXPECT_TRUE(has_line(run, "\"keys\":\"ctrl+alt+shift+F13\",\"command\":\"pin active toggle\",\"exit\":0,"
                              "\"hwnds\":[" + kt::handle_text(renamed) + "]"))
        << all_lines(run);
    EXPECT_TRUE(eventually([&] { return !topmost(renamed); }));
    Sleep(1000);
    EXPECT_FALSE(topmost(renamed)) << "a rule undid what the hotkey did";

    // A second keep is refused with the first one's pid.
    const kt::run_result second = kt::run_cli({"keep", kt::narrow(rules)});
    EXPECT_EQ(second.exit_code, 1u);
    EXPECT_EQ(second.err, "error: keep is already running (pid " + std::to_string(run.process.pid) +
                              "); stop it with kestal-cli keep --stop\n");

    // A rules file that changes is read again; a bad one leaves the rules as they were.
    HWND reloaded = make("-", "keep-new-" + tag);
    kt::write_file(rules, R"({"rules": [{"match": "title:keep-new-)" + tag + R"(", "pin": true},
                                     {"match": "title:keep-pin-)" + tag + R"(", "pin": true}],
                          "keys": {"ctrl+alt+shift+F14": "pin active toggle",
                                   "ctrl+alt+shift+F15": "pin \"title:none\u001b\u009b\" toggle"}})");
    EXPECT_TRUE(eventually([&] { return topmost(reloaded); })) << all_lines(run);
    EXPECT_TRUE(has_line(run, "{\"event\":\"reloaded\"}"));
    // What the new rules no longer want goes back at once, each with its line.
    EXPECT_TRUE(eventually([&] { return kt::child_command(child, "layering " + kt::handle_text(faded)) == "plain"; }))
        << all_lines(run);
    EXPECT_TRUE(eventually([&] { return exstyle(later) == "-"; })) << all_lines(run);
    // The line follows the change, which the window's own program reads first.
    EXPECT_TRUE(eventually([&] {
        return has_line(run, "{\"event\":\"given_back\",\"hwnd\":" + kt::handle_text(faded) + ",\"title\":\"keep-fade-" +
                                 tag + "\",\"exe\":\"kestal-test-windows.exe\",\"members\":[\"opacity\"],\"reason\":\"no "
                                 "rule wants it\"}");
    })) << all_lines(run);

    // The keys of the new file run their commands, and their lines quote a
    // command's control characters as escapes, never raw.
    ASSERT_EQ(kt::child_command(child, "front " + kt::handle_text(renamed)), "ok");
    ASSERT_TRUE(eventually([&] { return GetForegroundWindow() == renamed; }));
    ASSERT_TRUE(kt::press_keys({VK_CONTROL, VK_MENU, VK_SHIFT}, VK_F14)) << "the modifiers did not stay down";
    EXPECT_TRUE(eventually([&] { return has_line(run, "\"keys\":\"ctrl+alt+shift+F14\""); })) << all_lines(run);
    EXPECT_TRUE(eventually([&] { return topmost(renamed); })) << "the key read again did not run its command";
    ASSERT_TRUE(kt::press_keys({VK_CONTROL, VK_MENU, VK_SHIFT}, VK_F15)) << "the modifiers did not stay down";
    EXPECT_TRUE(eventually([&] {
        // JSON's own escape of ESC, as yyjson writes it, and ours of U+009B.
        return has_line(run, "\"command\":\"pin title:none\\u001B\\u009b toggle\",\"exit\":1");
    })) << all_lines(run);
    EXPECT_TRUE(eventually([&] {
        return err_text(run).find("error: ctrl+alt+shift+F15 (pin title:none\\u001b\\u009b toggle): no window "
                                  "matches 'title:none\\u001b\\u009b'") != std::string::npos;
    })) << err_text(run);
    EXPECT_EQ(err_text(run).find("\x1b"), std::string::npos) << "a raw ESC reached stderr";
    kt::write_file(rules, "{\"rules\": [}");
    EXPECT_TRUE(eventually([&] { return err_text(run).find("; the rules read before stay\n") != std::string::npos; }))
        << all_lines(run);
    kt::child_command(child, "pin " + kt::handle_text(reloaded) + " 0");
    EXPECT_TRUE(eventually([&] { return topmost(reloaded); })) << "the rules read before did not stay";

    // Stopped: every change given back, a program's own pin kept.
    EXPECT_EQ(stop_keep(run), 0u) << all_lines(run);
    EXPECT_EQ(exstyle(early), "-");
    EXPECT_EQ(exstyle(reloaded), "-");
    EXPECT_EQ(exstyle(later), "-");
    EXPECT_EQ(kt::child_command(child, "layering " + kt::handle_text(faded)), "plain");
    EXPECT_EQ(exstyle(own_pin), "topmost");
    EXPECT_TRUE(has_line(run, "{\"event\":\"given_back\",\"hwnd\":" + kt::handle_text(early) + ",\"title\":\"keep-pin-" +
                                  tag + " early\",\"exe\":\"kestal-test-windows.exe\"}"))
        << all_lines(run);
    EXPECT_TRUE(has_line(run, "{\"event\":\"stopped\"}"));
    const kt::run_result none = kt::run_cli({"keep", "--stop"});
    EXPECT_EQ(none.exit_code, 1u);
    EXPECT_EQ(none.err.rfind("error: no keep is running", 0), 0u) << none.err;

    for (HWND window : {early, own_pin, faded, secret, bystander, later, renamed, reloaded})
        kt::child_command(child, "destroy " + kt::handle_text(window));
    DeleteFileW(rules.c_str());
    DeleteFileW(run.err_path.c_str());
}

TEST_F(Keep, a_bad_rules_file_is_refused_before_anything_changes)
{
    const std::wstring rules = kt::temp_folder() + L"kestal-keep-bad-" + std::to_wstring(GetCurrentProcessId()) + L".json";
    const std::string name = kt::narrow(rules);
    const struct {
        const char *what;
        std::string text;
        std::string err; // after "error: <file>"
    } cases[] = {
        {"not JSON", "{\n  \"rules\": [\n    {\"match\" \"exe:a\"}\n  ]\n}", ":3:14: "},
        {"an unknown member", R"({"rules": [], "hotkeys": {}})", ": hotkeys is no member of a rules file"},
        {"an unknown member of a rule", R"({"rules": [{"match": "exe:a", "pin": true, "pinned": 1}]})",
         ": rules[0].pinned is no member of a rule"},
        {"a selector that is none", R"({"rules": [{"match": ["exe:a", "nothing"], "pin": true}]})",
         ": rules[0].match 'nothing' is no selector"},
        {"an opacity out of range", R"({"rules": [{"match": "exe:a", "opacity": 10}]})",
         ": rules[0].opacity is not a whole number from 20 to 100"},
        {"a rule without an action", R"({"rules": [{"match": "exe:a", "except": "title:b"}]})",
         ": rules[0] has no action"},
        {"a key that cannot be read", R"({"keys": {"Ctrl+Hyper+T": "reset"}})",
         ": keys.\"Ctrl+Hyper+T\" cannot be read as keys"},
        {"a key twice modified", R"({"keys": {"Ctrl+Ctrl+T": "reset"}})", ": keys.\"Ctrl+Ctrl+T\" cannot be read"},
        {"a command kestal-cli refuses", R"({"keys": {"Alt+F5": "pin active maybe"}})",
         ": keys.\"Alt+F5\" the command 'pin active maybe' has the flag 'maybe'"},
        {"a command that changes no window", R"({"keys": {"Alt+F6": "list"}})",
         ": keys.\"Alt+F6\" the command 'list' is no command that changes windows"},
        {"a snap position that is none", R"({"rules": [{"match": "exe:a", "snap": "middle"}]})",
         ": rules[0].snap is no position of snap: give left, right, top, bottom, top-left, top-right, bottom-left, "
         "bottom-right, center or full"},
        {"a monitor that is no number", R"({"rules": [{"match": "exe:a", "monitor": 0}]})",
         ": rules[0].monitor is not a monitor's number from 1"},
        {"a snap key without a position", R"({"keys": {"Alt+F7": "snap active"}})",
         ": keys.\"Alt+F7\" the command 'snap active' needs a window and a position"},
        {"a send key to no monitor", R"({"keys": {"Alt+F8": "send active first"}})",
         ": keys.\"Alt+F8\" the command 'send active first' is refused by the command line: send: 'first' is no "
         "monitor"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        kt::write_file(rules, c.text);
        const kt::run_result run = kt::run_cli({"keep", name});
        EXPECT_EQ(run.exit_code, 2u);
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(run.err.rfind("error: " + name + c.err, 0), 0u) << run.err;
        EXPECT_EQ(run.err.find('\n'), run.err.size() - 1) << "one line: " << run.err;
    }
    const kt::run_result missing = kt::run_cli({"keep", name + ".missing"});
    EXPECT_EQ(missing.exit_code, 2u);
    EXPECT_EQ(missing.err.rfind("error: " + name + ".missing: cannot be read", 0), 0u) << missing.err;
    DeleteFileW(rules.c_str());
}

// The file is checked as `keep` starts; `--at-logon` checks it the same
// way and, for a good one, writes the logon entry, which is removed again.
TEST_F(Keep, the_rules_file_is_read_as_windows_tools_save_it_and_as_the_command_line_reads_it)
{
    const std::wstring rules =
        kt::temp_folder() + L"kestal-keep-reading-" + std::to_wstring(GetCurrentProcessId()) + L".json";
    const std::string name = kt::narrow(rules);
    const auto utf16le = [](const std::wstring &text) {
        std::string bytes = "\xFF\xFE";
        bytes.append(reinterpret_cast<const char *>(text.data()), text.size() * sizeof(wchar_t));
        return bytes;
    };
    const auto utf16be = [](const std::string &ascii) {
        std::string bytes = "\xFE\xFF";
        for (char c : ascii)
            bytes += std::string(1, '\0') + c;
        return bytes;
    };
    const struct {
        const char *what;
        std::string text;
        std::string err; // after "error: <file>"; "" where the file is taken
    } cases[] = {
        {"a key without a modifier", R"({"keys": {"T": "reset"}})",
         ": keys.\"T\" has no Ctrl, Alt or Win, so every program would lose that key"},
        {"Shift alone is no modifier", R"({"keys": {"Shift+T": "reset"}})", ": keys.\"Shift+T\" has no Ctrl, Alt or Win"},
        {"F13 to F24 stand alone", R"({"keys": {"F13": "reset", "f24": "reset", "Shift+F20": "reset"}})", ""},
        {"the same keys in another case", R"({"keys": {"Ctrl+Alt+T": "reset", "ctrl+alt+t": "reset"}})",
         ": keys.\"ctrl+alt+t\" is the same keys as keys.\"Ctrl+Alt+T\""},
        {"the same keys in another order", R"({"keys": {"Ctrl+Alt+T": "reset", "Alt+Ctrl+T": "reset"}})",
         ": keys.\"Alt+Ctrl+T\" is the same keys as keys.\"Ctrl+Alt+T\""},
        {"F12 alone", R"({"keys": {"F12": "reset"}})", ": keys.\"F12\" is kept by Windows for debuggers"},
        {"Ctrl+Alt+Delete", R"({"keys": {"Ctrl+Alt+Delete": "reset"}})",
         ": keys.\"Ctrl+Alt+Delete\" is kept by Windows"},
        {"Win+L", R"({"keys": {"Win+L": "reset"}})", ": keys.\"Win+L\" is kept by Windows to lock the computer"},
        {"the names people reach for",
         R"({"keys": {"Ctrl+Alt+Minus": "reset", "Ctrl+Alt+Plus": "reset", "Ctrl+Alt+Comma": "reset",
                      "Ctrl+Alt+Period": "reset", "Ctrl+Alt+;": "reset", "Ctrl+Alt+/": "reset",
                      "Ctrl+Alt+`": "reset", "Ctrl+Alt+[": "reset", "Ctrl+Alt+\\": "reset", "Ctrl+Alt+]": "reset",
                      "Ctrl+Alt+'": "reset", "Ctrl+Alt+Esc": "reset", "Ctrl+Alt+Tab": "reset",
                      "Ctrl+Alt+Enter": "reset", "Ctrl+Alt+Backspace": "reset", "Ctrl+Alt+PrintScreen": "reset",
                      "Ctrl+Alt+Pause": "reset", "Ctrl+Alt+NumpadAdd": "reset", "Ctrl+Alt+NumpadSubtract": "reset",
                      "Ctrl+Alt+NumpadMultiply": "reset", "Ctrl+Alt+NumpadDivide": "reset",
                      "Ctrl+Alt+NumpadDecimal": "reset", "Ctrl+Alt+PgUp": "reset", "Ctrl+Alt+PgDn": "reset",
                      "Alt+Del": "reset", "Ctrl+Alt+Ins": "reset"}})",
         ""},
        {"a command with a number the command line cannot read",
         R"({"keys": {"Ctrl+Alt+M": "move active 99999999999 0"}})",
         ": keys.\"Ctrl+Alt+M\" the command 'move active 99999999999 0' is refused by the command line: move: the x "
         "'99999999999' is not a whole number of pixels"},
        {"a command with a size in pixels", R"({"keys": {"Ctrl+Alt+S": "resize active 12px 100"}})",
         ": keys.\"Ctrl+Alt+S\" the command 'resize active 12px 100' is refused by the command line: resize: the "
         "width '12px' is not a whole number of pixels"},
        {"UTF-8 with a byte order mark (Notepad)", "\xEF\xBB\xBF{\"rules\": [{\"match\": \"title:caf\xC3\xA9\", \"pin\": true}]}",
         ""},
        {"UTF-16LE with its mark (Windows PowerShell's >)",
         utf16le(L"{\"rules\": [{\"match\": \"title:caf\u00e9 \U0001F600\", \"pin\": true}]}\r\n"), ""},
        {"UTF-16LE that is not JSON", utf16le(L"{\r\n\"rules\": [}"), ":2:11: "},
        {"UTF-16BE", utf16be(R"({"rules": []})"),
         ": is saved as UTF-16 big-endian, which keep does not read: save the file as UTF-8"},
        {"the ANSI code page", "{\"rules\": [\n {\"match\": \"title:caf\xE9\", \"pin\": true}]}",
         ":2:22: the byte 0xE9 is not UTF-8, so the file is in another encoding: save the file as UTF-8"},
        {"an empty file", "", ": the file is empty"},
        {"a byte order mark alone", "\xEF\xBB\xBF", ": the file is empty"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        kt::write_file(rules, c.text);
        const kt::run_result run = kt::run_cli({"keep", name, "--at-logon"});
        if (c.err.empty()) {
            EXPECT_EQ(run.exit_code, 0u) << run.err;
            EXPECT_EQ(run.out, "ok\n");
            continue;
        }
        EXPECT_EQ(run.exit_code, 2u);
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(run.err.rfind("error: " + name + c.err, 0), 0u) << run.err;
        EXPECT_EQ(run.err.find('\n'), run.err.size() - 1) << "one line: " << run.err;
    }

    kt::write_file(rules, R"({"keys": {"Ctrl+Hyper": "reset"}})");
    const kt::run_result unknown = kt::run_cli({"keep", name, "--at-logon"});
    EXPECT_EQ(unknown.exit_code, 2u);
    for (const char *named : {"F1-F24", "Esc", "Tab", "Enter", "Backspace", "PrintScreen", "Pause", "NumpadAdd",
                              "NumpadDecimal", "PgUp", "PgDn", "Del", "Ins", "Minus", "Plus", "Comma", "Period"})
        EXPECT_NE(unknown.err.find(named), std::string::npos) << named << " is not among the names: " << unknown.err;

    const std::string folder = kt::narrow(kt::temp_folder()) + "kestal-keep-folder-" + std::to_string(GetCurrentProcessId());
    CreateDirectoryW(kt::widen(folder).c_str(), nullptr);
    const kt::run_result is_folder = kt::run_cli({"keep", folder, "--at-logon"});
    EXPECT_EQ(is_folder.exit_code, 2u);
    EXPECT_EQ(is_folder.err.rfind("error: " + folder + ": is a folder", 0), 0u) << is_folder.err;
    RemoveDirectoryW(kt::widen(folder).c_str());
    const kt::run_result missing = kt::run_cli({"keep", name + ".missing", "--at-logon"});
    EXPECT_EQ(missing.exit_code, 2u);
    EXPECT_EQ(missing.err.rfind("error: " + name + ".missing: cannot be read: ", 0), 0u) << missing.err;
    EXPECT_NE(missing.err.find("(win32 error 2)"), std::string::npos) << missing.err;

    kt::run_cli({"keep", "--not-at-logon"});
    DeleteFileW(rules.c_str());
}

// Each name presses the key that it names.
TEST_F(Keep, the_names_people_reach_for_are_the_keys_they_name)
{
    const struct {
        const char *keys;
        WORD modifier;
        WORD key;
    } cases[] = {
        {"Ctrl+Minus", VK_CONTROL, VK_OEM_MINUS},   {"Ctrl+Plus", VK_CONTROL, VK_OEM_PLUS},
        {"Ctrl+Comma", VK_CONTROL, VK_OEM_COMMA},   {"Ctrl+Period", VK_CONTROL, VK_OEM_PERIOD},
        {"Ctrl+;", VK_CONTROL, VK_OEM_1},           {"Ctrl+Slash", VK_CONTROL, VK_OEM_2},
        {"Ctrl+`", VK_CONTROL, VK_OEM_3},           {"Ctrl+[", VK_CONTROL, VK_OEM_4},
        {"Ctrl+Backslash", VK_CONTROL, VK_OEM_5},   {"Ctrl+]", VK_CONTROL, VK_OEM_6},
        {"Ctrl+Quote", VK_CONTROL, VK_OEM_7},       {"Ctrl+Alt+Esc", VK_MENU, VK_ESCAPE},
        {"Ctrl+Tab", VK_CONTROL, VK_TAB},           {"Ctrl+Enter", VK_CONTROL, VK_RETURN},
        {"Ctrl+Backspace", VK_CONTROL, VK_BACK},    {"Ctrl+PrintScreen", VK_CONTROL, VK_SNAPSHOT},
        {"Ctrl+Pause", VK_CONTROL, VK_PAUSE},       {"Ctrl+NumpadAdd", VK_CONTROL, VK_ADD},
        {"Ctrl+NumpadSubtract", VK_CONTROL, VK_SUBTRACT}, {"Ctrl+NumpadMultiply", VK_CONTROL, VK_MULTIPLY},
        {"Ctrl+NumpadDivide", VK_CONTROL, VK_DIVIDE},     {"Ctrl+NumpadDecimal", VK_CONTROL, VK_DECIMAL},
        {"Ctrl+PgUp", VK_CONTROL, VK_PRIOR},        {"Ctrl+PgDn", VK_CONTROL, VK_NEXT},
        {"Alt+Del", VK_MENU, VK_DELETE},            {"Ctrl+Ins", VK_CONTROL, VK_INSERT},
    };
    const std::wstring rules = kt::temp_folder() + L"kestal-keep-names-" + std::to_wstring(GetCurrentProcessId()) + L".json";
    // A command that changes nothing: no window has this title.
    const std::string command = "reset title:kestal-keep-no-such-window-" + std::to_string(GetCurrentProcessId());
    std::string keys;
    for (const auto &c : cases) {
        std::string escaped;
        for (char ch : std::string(c.keys))
            escaped += ch == '\\' ? "\\\\" : std::string(1, ch);
        keys += std::string(keys.empty() ? "" : ", ") + "\"" + escaped + "\": \"" + command + "\"";
    }
    kt::write_file(rules, "{\"keys\": {" + keys + "}}");
    keep_run run;
    ASSERT_TRUE(start_keep(run, rules));
    ASSERT_TRUE(eventually([&] { return has_line(run, "{\"event\":\"ready\"}"); })) << all_lines(run);
    for (const auto &c : cases) {
        SCOPED_TRACE(c.keys);
        const std::string line = "{\"event\":\"hotkey\",\"keys\":\"" + std::string(c.keys) + "\"";
        if (std::string_view(c.keys).starts_with("Ctrl+Alt+"))
            EXPECT_TRUE(kt::press_keys({VK_CONTROL, VK_MENU}, c.key));
        else
            EXPECT_TRUE(kt::press_keys({c.modifier}, c.key));
        EXPECT_TRUE(eventually([&] { return has_line(run, line); })) << all_lines(run);
    }
    EXPECT_EQ(stop_keep(run), 0u) << all_lines(run);
    EXPECT_EQ(lines_with(run, "\"event\":\"hotkey\""), std::size(cases)) << all_lines(run);
    DeleteFileW(rules.c_str());
    DeleteFileW(run.err_path.c_str());
}

// What keep says on stderr is in a file or a pipe when it happens, not when
// keep ends: a keep that is ended by force loses nothing.
TEST_F(Keep, errors_reach_a_file_as_they_happen)
{
    const std::wstring rules = kt::temp_folder() + L"kestal-keep-err-" + std::to_wstring(GetCurrentProcessId()) + L".json";
    // This test holds the key, as another program would.
    ASSERT_TRUE(RegisterHotKey(nullptr, 1, MOD_CONTROL | MOD_ALT | MOD_NOREPEAT, VK_F16));
    kt::write_file(rules, R"({"keys": {"Ctrl+Alt+F16": "reset", "Ctrl+Alt+F17": "reset"}})");
    keep_run run;
    ASSERT_TRUE(start_keep(run, rules));
    ASSERT_TRUE(eventually([&] { return has_line(run, "{\"event\":\"ready\"}"); })) << all_lines(run);
    EXPECT_TRUE(eventually([&] { return err_text(run) == "error: Ctrl+Alt+F16 is taken by another program\n"; }))
        << all_lines(run);
    UnregisterHotKey(nullptr, 1);

    kt::write_file(rules, R"({"keys": {"Ctrl+Alt+F16": "pin active sideways"}})");
    EXPECT_TRUE(eventually([&] { return err_text(run).find("'pin active sideways' has the flag 'sideways'") != std::string::npos; }))
        << all_lines(run);
    EXPECT_EQ(stop_keep(run), 0u) << all_lines(run);
    DeleteFileW(rules.c_str());
    DeleteFileW(run.err_path.c_str());
}

// Editors and shells that truncate first or write in parts, and saves that
// change nothing: one "reloaded" for each new text, and no false errors.
TEST_F(Keep, a_changed_rules_file_is_read_once_it_has_settled_and_only_for_a_new_text)
{
    const std::string tag = std::to_string(GetCurrentProcessId());
    const std::wstring rules = kt::temp_folder() + L"kestal-keep-saves-" + kt::widen(tag) + L".json";
    const auto rule = [&](const std::string &title, const std::string &action) {
        return "{\"rules\": [{\"match\": \"title:" + title + "\", " + action + "}]}";
    };
    kt::write_file(rules, rule("keep-save-" + tag, "\"pin\": true"));
    HWND window = make("-", "keep-save-" + tag + " caf\xC3\xA9");
    ASSERT_NE(window, nullptr);
    keep_run run;
    ASSERT_TRUE(start_keep(run, rules));
    ASSERT_TRUE(eventually([&] { return has_line(run, "{\"event\":\"ready\"}"); })) << all_lines(run);
    EXPECT_TRUE(topmost(window));

    // Truncated, then written in two parts with pauses, as `cat >` does.
    const std::string faded = rule("keep-save-" + tag, "\"opacity\": 60");
    {
        FILE *file = _wfopen(rules.c_str(), L"wb");
        ASSERT_NE(file, nullptr);
        fflush(file);
        Sleep(60);
        fwrite(faded.data(), 1, faded.size() / 2, file);
        fflush(file);
        Sleep(60);
        fwrite(faded.data() + faded.size() / 2, 1, faded.size() - faded.size() / 2, file);
        fclose(file);
    }
    EXPECT_TRUE(eventually([&] { return lines_with(run, "{\"event\":\"reloaded\"}") == 1; })) << all_lines(run);
    EXPECT_TRUE(eventually([&] {
        return kt::child_command(child, "layering " + kt::handle_text(window)) == "layered flags=2 alpha=153 key=0";
    }));

    // Saved three times as it is: nothing to say.
    for (int save = 0; save < 3; ++save) {
        kt::write_file(rules, faded);
        Sleep(500);
    }
    // Saved by Windows PowerShell 5 (UTF-16LE), with a title beyond ASCII.
    const std::wstring utf16 =
        L"\uFEFF{\"rules\": [{\"match\": \"title:keep-save-" + kt::widen(tag) + L" caf\u00e9\", \"opacity\": 80}]}";
    kt::write_file(rules, std::string(reinterpret_cast<const char *>(utf16.data()), utf16.size() * sizeof(wchar_t)));
    EXPECT_TRUE(eventually([&] {
        return kt::child_command(child, "layering " + kt::handle_text(window)) == "layered flags=2 alpha=204 key=0";
    })) << all_lines(run);
    EXPECT_EQ(stop_keep(run), 0u) << all_lines(run);
    EXPECT_EQ(lines_with(run, "{\"event\":\"reloaded\"}"), 2u) << all_lines(run);
    EXPECT_EQ(err_text(run), "") << "false errors while the file was saved";
    kt::child_command(child, "destroy " + kt::handle_text(window));
    DeleteFileW(rules.c_str());
    DeleteFileW(run.err_path.c_str());
}

// kestalw.exe is the same program for the Windows subsystem: the same
// answers on redirected streams.
TEST_F(Keep, kestalw_is_the_same_program_without_a_console)
{
    HMODULE image = LoadLibraryExW(kt::program_path(L"kestalw.exe").c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(image, nullptr);
    const auto *base = reinterpret_cast<const BYTE *>(reinterpret_cast<uintptr_t>(image) & ~uintptr_t(3));
    const auto *nt = reinterpret_cast<const IMAGE_NT_HEADERS *>(
        base + reinterpret_cast<const IMAGE_DOS_HEADER *>(base)->e_lfanew);
    EXPECT_EQ(nt->OptionalHeader.Subsystem, IMAGE_SUBSYSTEM_WINDOWS_GUI);
    FreeLibrary(image);

    for (const std::vector<std::string> &args :
         {std::vector<std::string>{"pin", "0"}, {"frobnicate"}, {"--version"}, {"keep", "--stop"}, {"opacity"}}) {
        SCOPED_TRACE(args[0]);
        const kt::run_result cli = kt::run_cli(args);
        const kt::run_result windowless = kt::run_program(kt::program_path(L"kestalw.exe"), args);
        EXPECT_EQ(windowless.out, cli.out);
        EXPECT_EQ(windowless.err, cli.err);
        EXPECT_EQ(windowless.exit_code, cli.exit_code);
    }
}

// Without a console, as the logon entry starts it, keep writes its lines
// into a log beside the rules file.
TEST_F(Keep, kestalw_keeps_its_lines_in_a_log_beside_the_rules)
{
    const std::wstring rules = kt::temp_folder() + L"kestal-keep-log-" + std::to_wstring(GetCurrentProcessId()) + L".json";
    const std::wstring log = rules + L".log";
    DeleteFileW(log.c_str());
    kt::write_file(rules, R"({"rules": [{"match": "exe:nothing.exe", "pin": true}]})");
    keep_run run;
    InitializeCriticalSection(&run.guard);
    ASSERT_TRUE(kt::launch_child(run.process, kt::program_path(L"kestalw.exe"), L"keep \"" + rules + L"\""));
    auto logged = [&](const std::string &wanted) {
        FILE *file = _wfopen(log.c_str(), L"rb");
        if (!file)
            return false;
        std::string text(4096, '\0');
        text.resize(fread(text.data(), 1, text.size(), file));
        fclose(file);
        return text.find(wanted) != std::string::npos;
    };
    EXPECT_TRUE(eventually([&] { return logged("{\"event\":\"ready\"}\n"); }));
    EXPECT_EQ(stop_keep(run), 0u);
    EXPECT_TRUE(logged("{\"event\":\"stopped\"}\n"));
    DeleteFileW(log.c_str());
    DeleteFileW(rules.c_str());
}

// The local time as the log writes it, without its offset.
std::string local_time_now()
{
    SYSTEMTIME now = {};
    GetLocalTime(&now);
    char text[32];
    snprintf(text, sizeof text, "%04u-%02u-%02uT%02u:%02u:%02u.%03u", now.wYear, now.wMonth, now.wDay, now.wHour,
             now.wMinute, now.wSecond, now.wMilliseconds);
    return text;
}

// The offset from UTC that the time zone has now, as "+hh:mm".
std::string utc_offset_now()
{
    TIME_ZONE_INFORMATION zone = {};
    const DWORD kind = GetTimeZoneInformation(&zone);
    const long bias = zone.Bias + (kind == TIME_ZONE_ID_DAYLIGHT ? zone.DaylightBias : zone.StandardBias);
    char text[8];
    snprintf(text, sizeof text, "%c%02ld:%02ld", bias > 0 ? '-' : '+', labs(bias) / 60, labs(bias) % 60);
    return text;
}

std::vector<std::string> lines_of(const std::string &text)
{
    std::vector<std::string> lines;
    for (size_t at = 0, end; at < text.size(); at = end + 1) {
        end = text.find('\n', at);
        if (end == std::string::npos)
            end = text.size();
        lines.push_back(text.substr(at, end - at));
    }
    return lines;
}

// A line of the log: its time, from `earliest` to `latest`, with the zone's
// offset, then `rest`.
void expect_logged(const std::string &line, const std::string &earliest, const std::string &latest,
                   const std::string &rest)
{
    const size_t time_length = earliest.size();
    const std::string time = line.substr(0, time_length);
    EXPECT_TRUE(time >= earliest && time <= latest) << time << " is not from " << earliest << " to " << latest;
    EXPECT_EQ(line.substr(time_length, 7), utc_offset_now() + " ") << line;
    EXPECT_EQ(line.substr(time_length + 7, rest.size()), rest) << line;
}

// A keep without a console, started at logon, has nobody to read its
// stderr: its log says that it started, and why it could not.
TEST_F(Keep, kestalw_logs_its_start_and_why_it_could_not_start_with_the_time_of_every_line)
{
    const std::string version = kt::run_cli({"--version"}).out.substr(std::string("kestal-cli ").size());
    const std::wstring base = kt::temp_folder() + L"kestal-keep-start-" + std::to_wstring(GetCurrentProcessId());
    const std::wstring windowless = kt::program_path(L"kestalw.exe");
    const auto start_line = [&](const std::wstring &rules) {
        return "kestalw " + version.substr(0, version.size() - 1) + " keep " + kt::narrow(rules) + ", pid ";
    };

    const std::wstring bad = base + L"-bad.json";
    kt::write_file(bad, R"({"keys": {"T": "reset"}})");
    const std::wstring missing = base + L"-missing.json";
    // A keep started at logon has no one to read its exit code: it logs why
    // and waits for the file to be mended.
    const struct {
        const char *what;
        std::wstring rules;
        std::string error;
    } cases[] = {
        {"a bad file", bad, "error: " + kt::narrow(bad) + ": keys.\"T\" has no Ctrl, Alt or Win"},
        {"a missing file", missing, "error: " + kt::narrow(missing) + ": cannot be read: "},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        DeleteFileW((c.rules + L".log").c_str());
        const std::string before = local_time_now();
        kt::child_windows waiting;
        ASSERT_TRUE(kt::launch_child(waiting, windowless, L"keep \"" + c.rules + L"\""));
        ASSERT_TRUE(eventually([&] { return lines_of(read_file(c.rules + L".log")).size() >= 2; }))
            << read_file(c.rules + L".log");
        const std::string after = local_time_now();
        EXPECT_EQ(WaitForSingleObject(waiting.process, 0), static_cast<DWORD>(WAIT_TIMEOUT))
            << "kestalw ended rather than wait for the file to be mended";
        const std::vector<std::string> lines = lines_of(read_file(c.rules + L".log"));
        expect_logged(lines[0], before, after, start_line(c.rules));
        expect_logged(lines[1], before, after, c.error);
        EXPECT_NE(lines[1].find("keep waits for the file to be mended"), std::string::npos) << lines[1];
        EXPECT_EQ(kt::run_cli({"keep", "--stop"}).exit_code, 0u);
        EXPECT_EQ(WaitForSingleObject(waiting.process, kPatienceMs), static_cast<DWORD>(WAIT_OBJECT_0));
        kt::stop_child(waiting);
        DeleteFileW((c.rules + L".log").c_str());
    }
    // The console's keep exits with 2, as scripts expect.
    const kt::run_result console = kt::run_cli({"keep", kt::narrow(bad)});
    EXPECT_EQ(console.exit_code, 2u);

    // A second keep while one runs.
    const std::wstring first = base + L"-first.json", second = base + L"-second.json";
    kt::write_file(first, R"({"rules": [{"match": "exe:nothing.exe", "pin": true}]})");
    kt::write_file(second, R"({"rules": [{"match": "exe:nothing.exe", "pin": true}]})");
    DeleteFileW((first + L".log").c_str());
    DeleteFileW((second + L".log").c_str());
    keep_run run;
    const std::string before = local_time_now();
    ASSERT_TRUE(start_keep(run, first, L"kestalw.exe"));
    ASSERT_TRUE(eventually([&] { return read_file(first + L".log").find("{\"event\":\"ready\"}") != std::string::npos; }));
    const kt::run_result refused = kt::run_program(windowless, {"keep", kt::narrow(second)});
    EXPECT_EQ(refused.exit_code, 1u);
    const std::vector<std::string> lines = lines_of(read_file(second + L".log"));
    ASSERT_EQ(lines.size(), 2u) << read_file(second + L".log");
    expect_logged(lines[1], before, local_time_now(),
                  "error: keep is already running (pid " + std::to_string(run.process.pid) + ")");
    EXPECT_EQ(stop_keep(run), 0u);
    const std::string after = local_time_now();

    // The keep that ran: its start line, then each line with its time.
    const std::vector<std::string> kept = lines_of(read_file(first + L".log"));
    ASSERT_GE(kept.size(), 3u) << read_file(first + L".log");
    expect_logged(kept[0], before, after, start_line(first) + std::to_string(run.process.pid));
    EXPECT_EQ(kept[0].size(), before.size() + 7 + start_line(first).size() + std::to_string(run.process.pid).size());
    for (size_t i = 1; i < kept.size(); ++i)
        expect_logged(kept[i], before, after, "{\"event\":");
    expect_logged(kept.back(), before, after, "{\"event\":\"stopped\"}");
    for (const std::wstring &file : {bad, first, second, first + L".log", second + L".log", run.err_path})
        DeleteFileW(file.c_str());
}

// The log is cut back to its newest part each time it passes 1 MB, and
// the cut keeps whole lines. Lines that another program adds to the log
// count as well, which brings the log past its limit twice in a short test.
TEST_F(Keep, kestalw_cuts_its_log_back_to_its_newest_part_every_time)
{
    const std::wstring rules = kt::temp_folder() + L"kestal-keep-cut-" + std::to_wstring(GetCurrentProcessId()) + L".json";
    const std::wstring log = rules + L".log";
    const auto filler = [](int round) {
        std::string text;
        for (int i = 0; i < 10000; ++i) {
            char line[160];
            snprintf(line, sizeof line, "filler %d %06d %s\n", round, i, std::string(100, 'x').c_str());
            text += line;
        }
        return text;
    };
    const auto append = [&](const std::string &text) {
        const HANDLE file = CreateFileW(log.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                        OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        ASSERT_NE(file, INVALID_HANDLE_VALUE);
        DWORD written = 0;
        WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
        CloseHandle(file);
    };
    const auto expect_cut = [&](int round, const std::string &newest) {
        const std::string text = read_file(log);
        EXPECT_LE(text.size(), 256u * 1024 + 1024);
        EXPECT_GE(text.size(), 200u * 1024);
        EXPECT_EQ(text.rfind("filler " + std::to_string(round) + " ", 0), 0u) << "not cut at a line's start";
        EXPECT_NE(text.find("filler " + std::to_string(round) + " 009999 "), std::string::npos);
        EXPECT_EQ(text.find("filler " + std::to_string(round - 1) + " "), std::string::npos) << "an older part stayed";
        EXPECT_NE(text.find(newest), std::string::npos);
    };
    DeleteFileW(log.c_str());
    kt::write_file(rules, R"({"rules": [{"match": "exe:nothing.exe", "pin": true}]})");
    append(filler(1));
    keep_run run;
    ASSERT_TRUE(start_keep(run, rules, L"kestalw.exe"));
    ASSERT_TRUE(eventually([&] { return read_file(log).find("{\"event\":\"ready\"}") != std::string::npos; }));
    expect_cut(1, "{\"event\":\"ready\"}\n");

    append(filler(2));
    kt::write_file(rules, R"({"rules": [{"match": "exe:nothing-else.exe", "pin": true}]})");
    ASSERT_TRUE(eventually([&] { return read_file(log).find("{\"event\":\"reloaded\"}") != std::string::npos; }))
        << read_file(log).size();
    expect_cut(2, "{\"event\":\"reloaded\"}\n");

    EXPECT_EQ(stop_keep(run), 0u);
    EXPECT_NE(read_file(log).find("{\"event\":\"stopped\"}\n"), std::string::npos);
    for (const std::wstring &file : {rules, log, run.err_path})
        DeleteFileW(file.c_str());
}

// Options and the rules file in either order; any other word is named.
// The files named do not exist, so that a keep that took a word too few
// would end at once rather than run.
TEST_F(Keep, keep_names_a_word_it_does_not_take)
{
    const std::string a = kt::narrow(kt::temp_folder()) + "kestal-keep-no-such-a.json";
    const std::string b = kt::narrow(kt::temp_folder()) + "kestal-keep-no-such-b.json";
    const struct {
        std::vector<std::string> args;
        std::string err;
    } cases[] = {
        {{"keep", a, b}, "error: keep: '" + b + "' is a word too many"},
        {{"keep", "--frob", a}, "error: keep: '--frob' is no option of keep (--stop, --pause, --resume, --reload, --reapply, "
                                  "--forget, --at-logon, --not-at-logon)"},
        {{"keep", a, "--at-logon", "--at-logon"}, "error: keep: '--at-logon' is a word too many"},
        {{"keep", "--stop", a}, "error: keep: '" + a + "' is a word too many"},
        {{"keep", a, "--stop"}, "error: keep: '--stop' is a word too many"},
        {{"keep", "--not-at-logon", "--stop"}, "error: keep: '--stop' is a word too many"},
        {{"keep", "--at-logon"}, "error: keep needs a rules file"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.args[1] + " " + (c.args.size() > 2 ? c.args[2] : ""));
        const kt::run_result run = kt::run_cli(c.args);
        EXPECT_EQ(run.exit_code, 2u);
        EXPECT_EQ(run.err.rfind(c.err, 0), 0u) << run.err;
    }
}

TEST_F(Keep, the_logon_entry_is_written_and_removed)
{
    const std::wstring rules = kt::temp_folder() + L"kestal-keep-logon.json";
    kt::write_file(rules, R"({"rules": [{"match": "exe:nothing.exe", "pin": true}]})");
    auto entry = []() -> std::wstring {
        wchar_t value[2048];
        DWORD size = sizeof value;
        if (RegGetValueW(HKEY_CURRENT_USER, L"Software\\Microsoft\\Windows\\CurrentVersion\\Run", L"kestal keep",
                         RRF_RT_REG_SZ, nullptr, value, &size) != ERROR_SUCCESS)
            return L"";
        return value;
    };
    for (const std::vector<std::string> &args :
         {std::vector<std::string>{"keep", kt::narrow(rules), "--at-logon"}, {"keep", "--at-logon", kt::narrow(rules)}}) {
        SCOPED_TRACE(args[1]);
        const kt::run_result added = kt::run_cli(args);
        EXPECT_EQ(added.exit_code, 0u) << added.err;
        EXPECT_EQ(added.out, "ok\n");
        EXPECT_EQ(entry(), L"\"" + kt::program_path(L"kestalw.exe") + L"\" keep \"" + rules + L"\"");
        const kt::run_result removed = kt::run_cli({"keep", "--not-at-logon"});
        EXPECT_EQ(removed.exit_code, 0u) << removed.err;
        EXPECT_EQ(entry(), L"");
    }

    // Windows passes over a Run value longer than 260 characters: the short
    // names of the folders make it fit, and where even they do not, the
    // entry is refused.
    const std::wstring top = kt::temp_folder() + L"kestal-keep-logon-" + std::to_wstring(GetCurrentProcessId());
    const std::wstring long_name(90, L'n');
    const std::wstring deep = top + L"\\a folder with a long name " + long_name + L"\\another folder " + long_name;
    const std::wstring far_rules = deep + L"\\rules with a long name.json";
    CreateDirectoryW(top.c_str(), nullptr);
    CreateDirectoryW((top + L"\\a folder with a long name " + long_name).c_str(), nullptr);
    CreateDirectoryW(deep.c_str(), nullptr);
    kt::write_file(far_rules, R"({"rules": [{"match": "exe:nothing.exe", "pin": true}]})");
    ASSERT_GT((L"\"" + kt::program_path(L"kestalw.exe") + L"\" keep \"" + far_rules + L"\"").size(), 260u);
    const kt::run_result shortened = kt::run_cli({"keep", kt::narrow(far_rules), "--at-logon"});
    EXPECT_EQ(shortened.exit_code, 0u) << shortened.err;
    const std::wstring written = entry();
    EXPECT_LE(written.size(), 260u) << kt::narrow(written);
    const size_t rules_start = written.find(L"\" keep \"") + 8;
    ASSERT_NE(rules_start, std::wstring::npos + 8) << kt::narrow(written);
    const std::wstring given = written.substr(rules_start, written.size() - rules_start - 1);
    wchar_t named[1024] = {};
    GetLongPathNameW(given.c_str(), named, 1024);
    EXPECT_EQ(std::wstring(named), far_rules) << kt::narrow(given);

    std::wstring deeper = top;
    for (int i = 0; i < 30; ++i) {
        deeper += L"\\deep" + std::to_wstring(10 + i);
        CreateDirectoryW(deeper.c_str(), nullptr);
    }
    const std::wstring deepest_rules = deeper + L"\\rules.json";
    kt::write_file(deepest_rules, R"({"rules": [{"match": "exe:nothing.exe", "pin": true}]})");
    const kt::run_result too_long = kt::run_cli({"keep", kt::narrow(deepest_rules), "--at-logon"});
    EXPECT_EQ(too_long.exit_code, 2u);
    EXPECT_EQ(too_long.err.rfind("error: the logon entry would be ", 0), 0u) << too_long.err;
    EXPECT_NE(too_long.err.find("Windows passes over one longer than 260 at logon"), std::string::npos)
        << too_long.err;
    EXPECT_EQ(entry(), written) << "the refused entry was written";

    kt::run_cli({"keep", "--not-at-logon"});
    DeleteFileW(deepest_rules.c_str());
    for (int i = 29; i >= 0; --i) {
        RemoveDirectoryW(deeper.c_str());
        deeper.resize(deeper.rfind(L'\\'));
    }
    DeleteFileW(far_rules.c_str());
    RemoveDirectoryW(deep.c_str());
    RemoveDirectoryW((top + L"\\a folder with a long name " + long_name).c_str());
    RemoveDirectoryW(top.c_str());
    DeleteFileW(rules.c_str());
}
