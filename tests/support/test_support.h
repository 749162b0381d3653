// Shared by the test suites: running our programs, making windows, reading listings.
#pragma once

#include <windows.h>
#include <yyjson.h>

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

namespace kt {

// ---- programs -------------------------------------------------------------

struct run_result {
    std::string out;  // stdout, byte for byte
    std::string err;  // stderr, byte for byte
    DWORD exit_code = 0;
};

// Whether the tests run under Wine rather than on Windows itself.
bool under_wine();

// Full path of a program that the build puts next to the running test.
std::wstring program_path(const std::wstring &file_name);

// CreateProcessW with inherited handles. Under heavy load Wine now and then
// loses a new process before any of its code has run and answers "internal
// error" (1359): that is the platform's start-up, not the program under
// test, so it is said on stderr and the program is started once more.
// `startup.hStdError` must be a file of the caller's own, or NUL: what the
// lost process wrote there goes into the note, and the file is emptied.
BOOL create_process(const std::wstring &program, std::wstring &command_line, DWORD flags, void *environment,
                    STARTUPINFOW &startup, PROCESS_INFORMATION &info);

// Runs a program to completion with the given arguments (UTF-8, quoted for
// the C runtime's splitting) and extra environment variables ("NAME=value";
// "NAME=" removes NAME). Fails the current test on a launch failure.
// `stdout_to`, when given, is the program's stdout instead of a file that
// `out` is read from; it must be inheritable, and `out` stays empty.
run_result run_program(const std::wstring &program, const std::vector<std::string> &args,
                       const std::vector<std::string> &environment = {}, HANDLE stdout_to = nullptr);

// Runs kestal-cli.exe from the build.
run_result run_cli(const std::vector<std::string> &args, const std::vector<std::string> &environment = {},
                   HANDLE stdout_to = nullptr);

std::wstring widen(const std::string &utf8);
std::string narrow(const std::wstring &wide);
std::string handle_text(HWND window);

// A command of kestal-cli that runs on (keep, watch): its stdout and stderr
// together, line by line as it writes them, read on a thread of its own so
// that a test waits for them with a deadline.
struct running_command {
    HANDLE process = nullptr;
    HANDLE output = nullptr;
    HANDLE reader = nullptr;
    CRITICAL_SECTION guard;
    std::vector<std::string> lines;
};

bool start_command(running_command &command, const std::vector<std::string> &args);
// The temporary folder, with its separator at the end.
std::wstring temp_folder();
// Writes `text` as the whole file; fails the current test when it cannot.
void write_file(const std::wstring &path, const std::string &text);
// Writes `text` to a file of that name in the temporary folder; its path.
std::wstring write_temp_file(const std::wstring &name, const std::string &text);
// Polls until `done` holds, or `patience_ms` has passed; whether it held.
bool wait_until(const std::function<bool()> &done, DWORD patience_ms);
// Waits at most `patience_ms` for a line that holds `wanted`.
bool wait_for_line(running_command &command, const std::string &wanted, DWORD patience_ms);
std::string all_lines(running_command &command);
// Waits at most `patience_ms` for the command's end and its last line; its
// exit code, 0xffffffff when it did not end (it is then ended).
DWORD wait_for_end(running_command &command, DWORD patience_ms);

// Presses `key` with the modifiers held, as a person does: the modifiers
// first, and the key only once the system holds them down, since Wine takes
// in a change of the foreground window as it comes and may set the
// keyboard's state anew meanwhile. False when the modifiers did not stay down.
bool press_keys(std::initializer_list<WORD> modifiers, WORD key);

// ---- windows of the test process -----------------------------------------

struct window_options {
    std::wstring title;
    DWORD ex_style = 0;
    DWORD style = WS_OVERLAPPEDWINDOW | WS_VISIBLE;
    const wchar_t *class_name = nullptr; // null: the suite's own class
    WNDPROC procedure = DefWindowProcW;  // the class's procedure, where this call registers the class
};

// Creates a top-level window on the calling thread; null when creation fails.
HWND make_window(const window_options &options);
void pump();

// A window of another process: tests/helpers' kestal-test-windows.exe, which
// makes the windows, keeps pumping their messages and ends when asked.
struct child_windows {
    HANDLE process = nullptr;
    HANDLE to_child = nullptr;
    HANDLE from_child = nullptr;
    DWORD pid = 0;
};

// Starts `program` with `arguments` (quoted already) on pipes of ours for
// its stdin and stdout; its stderr is ours, or `stderr_to` (inheritable)
// where given. False when it does not start.
bool launch_child(child_windows &child, const std::wstring &program, const std::wstring &arguments = L"",
                  HANDLE stderr_to = nullptr);
// One line that the child writes, without its line break.
std::string read_child_line(child_windows &child);
// Starts the helper child; false when it does not start or does not answer.
bool start_child(child_windows &child);
// Starts a copy of the helper child from another path.
bool start_child(child_windows &child, const std::wstring &program);
// Sends one command line and returns the child's one-line answer.
std::string child_command(child_windows &child, const std::string &line);
// Asks the child to make a window: `flags` are the helper's words
// (visible, hidden, topmost, layered=ALPHA, colorkey, perpixel, owndc,
// classdc, class=NAME).
HWND child_make_window(child_windows &child, const std::string &flags, const std::string &title_utf8);
// Asks the child to make a window under the very value of `freed`, a window
// destroyed just before by any process (the helper's `remake`): the window
// with that handle, or null, and the helper's answer in `answer` either way.
HWND child_remake_window(child_windows &child, HWND freed, const std::string &flags, const std::string &title_utf8,
                         std::string &answer);
void stop_child(child_windows &child);

// ---- listings ------------------------------------------------------------

struct listed_window {
    int64_t hwnd = 0;
    std::string title;
    std::string exe;
    bool pinned = false;
    int64_t opacity = 0;
};

// Parses a listing with yyjson's reader and checks every object's shape:
// exactly the five members, in order, with their types. nullopt (and a test
// failure that says why) when the text is not such a listing.
std::optional<std::vector<listed_window>> parse_listing(const char *text);

// A window object of `list --long`: the five members, then ten more.
struct long_window {
    listed_window listed;
    int64_t pid = 0;
    std::string class_name;
    int64_t x = 0, y = 0, width = 0, height = 0;
    std::string state;
    bool foreground = false;
    bool clickthrough = false;
    int64_t monitor = 0;
};

// Reads one window object of either form, checking the members' names,
// order and types; false (and a test failure that says why) otherwise.
bool read_window(yyjson_val *object, bool long_form, long_window &window);
// As parse_listing, for the long form.
std::optional<std::vector<long_window>> parse_long_listing(const char *text);

// Lists through the library in this process.
std::vector<listed_window> list_now();
// The entry points into `listing`, which must outlive it: a listing that
// dies at the end of the statement is refused at compile time.
const listed_window *find_listed(const std::vector<listed_window> &listing, HWND window);
const listed_window *find_listed(std::vector<listed_window> &&listing, HWND window) = delete;

} // namespace kt
