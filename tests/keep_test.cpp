// `keep`: rules applied to windows of another process as they come and go,
// hotkeys pressed through SendInput, the rules file read again, and every
// change given back at the end; each state read back by the windows' own
// program.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "test_support.h"

namespace {

constexpr DWORD kPatienceMs = 5000;

std::wstring temp_folder()
{
    wchar_t path[MAX_PATH];
    const DWORD chars = GetTempPathW(MAX_PATH, path);
    return std::wstring(path, chars);
}

void write_file(const std::wstring &path, const std::string &text)
{
    FILE *file = _wfopen(path.c_str(), L"wb");
    ASSERT_NE(file, nullptr) << "cannot write " << kt::narrow(path);
    fwrite(text.data(), 1, text.size(), file);
    fclose(file);
}

// Polls until `done` holds or the patience runs out.
bool eventually(const std::function<bool()> &done, DWORD patience_ms = kPatienceMs)
{
    const ULONGLONG end = GetTickCount64() + patience_ms;
    while (!done()) {
        if (GetTickCount64() > end)
            return false;
        Sleep(50);
    }
    return true;
}

// The lines that a running keep writes, read on a thread of their own so
// that a test waits for them with a deadline.
struct keep_run {
    kt::child_windows process;
    CRITICAL_SECTION guard;
    std::vector<std::string> lines;
    HANDLE reader = nullptr;
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

bool start_keep(keep_run &run, const std::wstring &rules)
{
    InitializeCriticalSection(&run.guard);
    if (!kt::launch_child(run.process, kt::program_path(L"kestal-cli.exe"), L"keep \"" + rules + L"\""))
        return false;
    run.reader = CreateThread(nullptr, 0, read_lines, &run, 0, nullptr);
    return run.reader != nullptr;
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

std::string all_lines(keep_run &run)
{
    EnterCriticalSection(&run.guard);
    std::string text;
    for (const std::string &line : run.lines)
        text += line + "\n";
    LeaveCriticalSection(&run.guard);
    return text;
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
    const std::wstring rules = temp_folder() + L"kestal-keep-" + kt::widen(tag) + L".json";
    write_file(rules, R"({
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

    // A person's hotkey wins over the rule, and keeps winning.
    ASSERT_EQ(kt::child_command(child, "front " + kt::handle_text(renamed)), "ok");
    press_keys({VK_CONTROL, VK_MENU, VK_SHIFT, VK_F13});
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
    write_file(rules, R"({"rules": [{"match": "title:keep-new-)" + tag + R"(", "pin": true},
                                     {"match": "title:keep-pin-)" + tag + R"(", "pin": true}]})");
    EXPECT_TRUE(eventually([&] { return topmost(reloaded); })) << all_lines(run);
    EXPECT_TRUE(has_line(run, "{\"event\":\"reloaded\"}"));
    write_file(rules, "{\"rules\": [}");
    Sleep(800);
    kt::child_command(child, "pin " + kt::handle_text(reloaded) + " 0");
    EXPECT_TRUE(eventually([&] { return topmost(reloaded); })) << "the rules read before did not stay";

    // Stopped: every change given back, a program's own pin kept.
    EXPECT_EQ(stop_keep(run), 0u) << all_lines(run);
    EXPECT_EQ(exstyle(early), "-");
    EXPECT_EQ(exstyle(reloaded), "-");
    EXPECT_EQ(exstyle(later), "-");
    EXPECT_EQ(kt::child_command(child, "layering " + kt::handle_text(faded)), "plain");
    EXPECT_EQ(exstyle(own_pin), "topmost");
    EXPECT_TRUE(has_line(run, "{\"event\":\"given_back\",\"hwnd\":" + kt::handle_text(faded) + ",\"title\":\"keep-fade-" +
                                  tag + "\",\"exe\":\"kestal-test-windows.exe\"}"))
        << all_lines(run);
    EXPECT_TRUE(has_line(run, "{\"event\":\"stopped\"}"));
    const kt::run_result none = kt::run_cli({"keep", "--stop"});
    EXPECT_EQ(none.exit_code, 1u);
    EXPECT_EQ(none.err, "error: no keep is running\n");

    for (HWND window : {early, own_pin, faded, secret, bystander, later, renamed, reloaded})
        kt::child_command(child, "destroy " + kt::handle_text(window));
    DeleteFileW(rules.c_str());
}

TEST_F(Keep, a_bad_rules_file_is_refused_before_anything_changes)
{
    const std::wstring rules = temp_folder() + L"kestal-keep-bad-" + std::to_wstring(GetCurrentProcessId()) + L".json";
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
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        write_file(rules, c.text);
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
    const std::wstring rules = temp_folder() + L"kestal-keep-log-" + std::to_wstring(GetCurrentProcessId()) + L".json";
    const std::wstring log = rules + L".log";
    DeleteFileW(log.c_str());
    write_file(rules, R"({"rules": [{"match": "exe:nothing.exe", "pin": true}]})");
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

TEST_F(Keep, the_logon_entry_is_written_and_removed)
{
    const std::wstring rules = temp_folder() + L"kestal-keep-logon.json";
    write_file(rules, R"({"rules": [{"match": "exe:nothing.exe", "pin": true}]})");
    auto entry = []() -> std::wstring {
        wchar_t value[2048];
        DWORD size = sizeof value;
        if (RegGetValueW(HKEY_CURRENT_USER, L"Software\\Microsoft\\Windows\\CurrentVersion\\Run", L"kestal keep",
                         RRF_RT_REG_SZ, nullptr, value, &size) != ERROR_SUCCESS)
            return L"";
        return value;
    };
    const kt::run_result added = kt::run_cli({"keep", kt::narrow(rules), "--at-logon"});
    EXPECT_EQ(added.exit_code, 0u) << added.err;
    EXPECT_EQ(added.out, "ok\n");
    EXPECT_EQ(entry(), L"\"" + kt::program_path(L"kestalw.exe") + L"\" keep \"" + rules + L"\"");
    const kt::run_result removed = kt::run_cli({"keep", "--not-at-logon"});
    EXPECT_EQ(removed.exit_code, 0u) << removed.err;
    EXPECT_EQ(entry(), L"");
    DeleteFileW(rules.c_str());
}
