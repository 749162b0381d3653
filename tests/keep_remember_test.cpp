// keep remembers what a person gives a window, for its program: the
// program's windows that open later get it, also after keep starts again;
// a release by hand or keep --forget forgets it; a rule wins over it; and a
// remembered file that cannot be read is said once and never written over.
// The program is the helper, kestal-test-windows.exe, ended and started
// again as a person closes and opens a program.
#include <windows.h>

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

#include "test_support.h"

namespace {

constexpr DWORD kPatienceMs = 5000;
constexpr char kProgram[] = "kestal-test-windows.exe";

std::string file_text(const std::wstring &path)
{
    std::ifstream in(kt::narrow(path), std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

class Remember : public ::testing::Test {
protected:
    kt::child_windows child;
    kt::running_command keep;
    std::wstring rules, remembered;

    void SetUp() override
    {
        rules = kt::temp_folder() + L"kestal-remember.json";
        remembered = rules + L".remembered.json";
        DeleteFileW(remembered.c_str());
        ASSERT_TRUE(kt::start_child(child));
    }
    void TearDown() override
    {
        stop_keep();
        kt::stop_child(child);
        DeleteFileW(remembered.c_str());
    }

    void start_keep(const std::string &text)
    {
        kt::write_file(rules, text);
        keep = {};
        ASSERT_TRUE(kt::start_command(keep, {"keep", kt::narrow(rules)}));
        ASSERT_TRUE(kt::wait_for_line(keep, "\"event\":\"ready\"", kPatienceMs)) << kt::all_lines(keep);
    }
    void stop_keep()
    {
        if (!keep.process)
            return;
        kt::run_cli({"keep", "--stop"});
        kt::wait_for_end(keep, kPatienceMs * 2);
        keep.process = nullptr;
    }
    // The program ends and starts again, as a person closes and opens it.
    void restart_program()
    {
        kt::stop_child(child);
        ASSERT_TRUE(kt::start_child(child));
    }
    HWND make(const std::string &title) { return kt::child_make_window(child, "-", title); }
    std::string exstyle(HWND window) { return kt::child_command(child, "exstyle " + kt::handle_text(window)); }
    bool becomes(HWND window, const std::string &question, const std::string &wanted)
    {
        return kt::wait_until(
            [&] { return kt::child_command(child, question + " " + kt::handle_text(window)) == wanted; },
            kPatienceMs);
    }
    // Stays as it is for a while: keep had the time to act and did not.
    bool stays(HWND window, const std::string &wanted)
    {
        return !kt::wait_until([&] { return exstyle(window) != wanted; }, 2000);
    }
    bool line(const std::string &wanted) { return kt::wait_for_line(keep, wanted, kPatienceMs); }
    std::string lines() { return kt::all_lines(keep); }
};

TEST_F(Remember, a_pin_by_hand_comes_back_on_the_programs_new_windows_until_it_is_released)
{
    start_keep(R"({"remember": true, "tray": false, "rules": []})");
    HWND first = make("kestal remembered");
    HWND other = make("kestal open beside it");
    ASSERT_EQ(kt::run_cli({"pin", kt::handle_text(first), "1"}).exit_code, 0u);
    ASSERT_TRUE(line(std::string("{\"event\":\"remembered\",\"exe\":\"") + kProgram + "\",\"pin\":true}")) << lines();
    EXPECT_NE(file_text(remembered).find(std::string("\"exe\": \"") + kProgram + "\""), std::string::npos)
        << file_text(remembered);
    EXPECT_TRUE(stays(other, "-")) << "a window open when the pin was remembered is left as it is";

    restart_program();
    HWND reopened = make("kestal reopened");
    EXPECT_TRUE(becomes(reopened, "exstyle", "topmost")) << lines();

    // keep gives it back when it stops, and a new keep remembers it.
    stop_keep();
    EXPECT_EQ(exstyle(reopened), "-");
    start_keep(R"({"remember": true, "tray": false, "rules": []})");
    EXPECT_TRUE(becomes(reopened, "exstyle", "topmost")) << lines();

    // Released by hand: forgotten, given back where it came from memory, and
    // the program's next window opens as it is.
    HWND later = make("kestal later");
    ASSERT_TRUE(becomes(later, "exstyle", "topmost")) << lines();
    ASSERT_EQ(kt::run_cli({"pin", kt::handle_text(reopened), "0"}).exit_code, 0u);
    EXPECT_TRUE(line(std::string("{\"event\":\"forgotten\",\"exe\":\"") + kProgram + "\",\"members\":[\"pin\"]}"))
        << lines();
    EXPECT_TRUE(becomes(later, "exstyle", "-")) << lines();
    EXPECT_EQ(file_text(remembered).find(kProgram), std::string::npos) << file_text(remembered);
    HWND after = make("kestal after");
    EXPECT_TRUE(stays(after, "-")) << lines();
}

TEST_F(Remember, a_rule_wins_and_keep_forget_forgets)
{
    kt::write_file(remembered, std::string(R"({"remembered": [{"exe": ")") + kProgram + R"(", "opacity": 70}]})");
    start_keep(R"({"remember": true, "tray": false, "rules": [{"match": "title:kestal ruled", "opacity": 50}]})");
    HWND ruled = make("kestal ruled");
    HWND plain = make("kestal plain");
    EXPECT_TRUE(becomes(ruled, "layering", "layered flags=2 alpha=128 key=0")) << lines();
    EXPECT_TRUE(becomes(plain, "layering", "layered flags=2 alpha=179 key=0")) << lines();

    const struct {
        const char *what;
        std::string target;
        DWORD exit_code;
        std::string said; // on stdout, or the start of stderr
    } cases[] = {
        {"the program of a window", kt::handle_text(plain), 0, "ok\n"},
        {"again: nothing is left", kt::handle_text(plain), 1,
         std::string("error: nothing is remembered for ") + kProgram},
        {"all, with nothing left", "all", 0, "ok\n"},
        {"a word that is no window", "notepad", 2, "error: keep --forget: 'notepad' is no selector"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        const kt::run_result run = kt::run_cli({"keep", "--forget", c.target});
        EXPECT_EQ(run.exit_code, c.exit_code) << run.err;
        EXPECT_EQ((c.exit_code ? run.err : run.out).rfind(c.said, 0), 0u) << run.out << run.err;
    }
    EXPECT_TRUE(line(std::string("{\"event\":\"forgotten\",\"exe\":\"") + kProgram + "\",\"members\":[\"opacity\"]}"))
        << lines();
    EXPECT_TRUE(becomes(plain, "layering", "plain")) << "what came from memory goes back";
    EXPECT_EQ(kt::child_command(child, "layering " + kt::handle_text(ruled)), "layered flags=2 alpha=128 key=0");
}

// A hotkey is the person's hand too.
TEST_F(Remember, a_change_by_a_hotkey_is_remembered)
{
    start_keep(R"({"remember": true, "tray": false, "rules": [],
                   "keys": {"Ctrl+Alt+K": "clickthrough \"title:kestal by key\" on"}})");
    make("kestal by key");
    ASSERT_TRUE(kt::press_keys({VK_CONTROL, VK_MENU}, 'K'));
    EXPECT_TRUE(line(std::string("{\"event\":\"remembered\",\"exe\":\"") + kProgram + "\",\"clickthrough\":true}"))
        << lines();
    EXPECT_NE(file_text(remembered).find("\"clickthrough\": true"), std::string::npos) << file_text(remembered);
}

// The file is the person's to edit: keep reads it again when it changes,
// and holds the program's windows as it then says.
TEST_F(Remember, an_edit_of_the_remembered_file_holds_at_once)
{
    start_keep(R"({"remember": true, "tray": false, "rules": []})");
    HWND window = make("kestal edited");
    kt::write_file(remembered, std::string(R"({"remembered": [{"exe": ")") + kProgram + R"(", "opacity": 60}]})");
    EXPECT_TRUE(becomes(window, "layering", "layered flags=2 alpha=153 key=0")) << lines();
    kt::write_file(remembered, R"({"remembered": []})");
    EXPECT_TRUE(becomes(window, "layering", "plain")) << lines();
}

TEST_F(Remember, a_remembered_file_that_cannot_be_read_is_said_once_and_never_written_over)
{
    const std::string broken = "{\"remembered\": [ {\"exe\": \"x.exe\", \"pin\": tru";
    kt::write_file(remembered, broken);
    start_keep(R"({"remember": true, "tray": false, "rules": []})");
    EXPECT_TRUE(line("error: " + kt::narrow(remembered) + ":1:")) << lines();
    HWND window = make("kestal pinned beside a broken file");
    ASSERT_EQ(kt::run_cli({"pin", kt::handle_text(window), "1"}).exit_code, 0u);
    EXPECT_TRUE(line("{\"event\":\"remembered\"")) << lines();
    EXPECT_EQ(file_text(remembered), broken);
    EXPECT_EQ(lines().find("keep remembers nothing of it"), lines().rfind("keep remembers nothing of it"))
        << "said more than once: " << lines();
}

} // namespace
