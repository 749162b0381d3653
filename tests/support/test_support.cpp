#include "test_support.h"

#include <gtest/gtest.h>
#include <yyjson.h>

#include <cstdio>
#include <cstring>
#include <iterator>
#include <string_view>

#include "command_line.h"
#include "kestal_inprocess.h"

namespace kt {

std::wstring widen(const std::string &utf8)
{
    int chars = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring wide(static_cast<size_t>(chars), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), wide.data(), chars);
    return wide;
}

std::string narrow(const std::wstring &wide)
{
    int bytes = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0, nullptr,
                                    nullptr);
    std::string utf8(static_cast<size_t>(bytes), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), utf8.data(), bytes, nullptr,
                        nullptr);
    return utf8;
}

std::string handle_text(HWND window)
{
    return std::to_string(static_cast<long long>(reinterpret_cast<intptr_t>(window)));
}

bool under_wine()
{
    return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
}

std::wstring program_path(const std::wstring &file_name)
{
    wchar_t own[MAX_PATH];
    DWORD chars = GetModuleFileNameW(nullptr, own, static_cast<DWORD>(std::size(own)));
    std::wstring path(own, chars);
    return path.substr(0, path.rfind(L'\\') + 1) + file_name;
}

// Quotes one argument so that the C runtime's command-line splitting gives
// it back unchanged.
static std::wstring environment_block(const std::vector<std::string> &changes)
{
    std::vector<std::wstring> entries;
    wchar_t *current = GetEnvironmentStringsW();
    for (const wchar_t *at = current; *at; at += wcslen(at) + 1)
        entries.emplace_back(at);
    FreeEnvironmentStringsW(current);
    for (const std::string &change : changes) {
        std::wstring wide = widen(change);
        std::wstring name = wide.substr(0, wide.find(L'=') + 1);
        std::erase_if(entries, [&](const std::wstring &e) { return _wcsnicmp(e.c_str(), name.c_str(), name.size()) == 0; });
        if (wide.size() > name.size())
            entries.push_back(wide);
    }
    std::wstring block;
    for (const std::wstring &e : entries)
        block += e + L'\0';
    return block + L'\0';
}

static HANDLE temp_file(std::wstring &path)
{
    wchar_t dir[MAX_PATH], name[MAX_PATH];
    GetTempPathW(static_cast<DWORD>(std::size(dir)), dir);
    GetTempFileNameW(dir, L"kst", 0, name);
    path = name;
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    return CreateFileW(name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                       &inherit, CREATE_ALWAYS, FILE_ATTRIBUTE_TEMPORARY, nullptr);
}

static std::string read_all(HANDLE file)
{
    std::string data;
    SetFilePointer(file, 0, nullptr, FILE_BEGIN);
    char buffer[65536];
    DWORD got = 0;
    while (ReadFile(file, buffer, sizeof buffer, &got, nullptr) && got > 0)
        data.append(buffer, got);
    return data;
}

BOOL create_process(const std::wstring &program, std::wstring &command_line, DWORD flags, void *environment,
                    STARTUPINFOW &startup, PROCESS_INFORMATION &info)
{
    BOOL started = CreateProcessW(program.c_str(), command_line.data(), nullptr, nullptr, TRUE, flags, environment,
                                  nullptr, &startup, &info);
    if (started || GetLastError() != ERROR_INTERNAL_ERROR)
        return started;
    fprintf(stderr, "note: starting %s failed with win32 error %lu (its stderr: [%s]); starting it again\n",
            narrow(program).c_str(), static_cast<unsigned long>(ERROR_INTERNAL_ERROR),
            read_all(startup.hStdError).c_str());
    // What the lost process wrote is in the note, not in the next run's output.
    SetFilePointer(startup.hStdError, 0, nullptr, FILE_BEGIN);
    SetEndOfFile(startup.hStdError);
    return CreateProcessW(program.c_str(), command_line.data(), nullptr, nullptr, TRUE, flags, environment, nullptr,
                          &startup, &info);
}

run_result run_program(const std::wstring &program, const std::vector<std::string> &args,
                       const std::vector<std::string> &environment, HANDLE stdout_to)
{
    run_result result;
    std::wstring command_line = quote_argument(program);
    for (const std::string &arg : args)
        command_line += L" " + quote_argument(widen(arg));

    std::wstring out_path, err_path;
    HANDLE out = temp_file(out_path), err = temp_file(err_path);
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE in = CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0,
                            nullptr);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = in;
    startup.hStdOutput = stdout_to ? stdout_to : out;
    startup.hStdError = err;
    PROCESS_INFORMATION info = {};
    std::wstring env = environment_block(environment);
    BOOL started = create_process(program, command_line, CREATE_UNICODE_ENVIRONMENT, env.data(), startup, info);
    DWORD launch_error = GetLastError();
    CloseHandle(in);
    if (!started) {
        ADD_FAILURE() << "could not start " << narrow(program) << " (win32 error " << launch_error << ")";
        result.exit_code = 0xffffffff;
    } else {
        if (WaitForSingleObject(info.hProcess, 120000) != WAIT_OBJECT_0) {
            ADD_FAILURE() << narrow(program) << " did not end within 120 s; terminated";
            TerminateProcess(info.hProcess, 0xdead);
            WaitForSingleObject(info.hProcess, INFINITE);
        }
        GetExitCodeProcess(info.hProcess, &result.exit_code);
        CloseHandle(info.hThread);
        CloseHandle(info.hProcess);
    }
    result.out = read_all(out);
    result.err = read_all(err);
    CloseHandle(out);
    CloseHandle(err);
    DeleteFileW(out_path.c_str());
    DeleteFileW(err_path.c_str());
    return result;
}

run_result run_cli(const std::vector<std::string> &args, const std::vector<std::string> &environment,
                   HANDLE stdout_to)
{
    return run_program(program_path(L"kestal-cli.exe"), args, environment, stdout_to);
}

// ---- windows ---------------------------------------------------------------

HWND make_window(const window_options &options)
{
    const wchar_t *class_name = options.class_name ? options.class_name : L"KestalTestWindow";
    // Registering a class again fails and leaves the first registration in place.
    WNDCLASSEXW window_class = {};
    window_class.cbSize = sizeof window_class;
    window_class.lpfnWndProc = options.procedure;
    window_class.hInstance = GetModuleHandleW(nullptr);
    window_class.lpszClassName = class_name;
    RegisterClassExW(&window_class);
    HWND window = CreateWindowExW(options.ex_style, class_name, options.title.c_str(), options.style, 10, 10, 200, 80,
                                  nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
    pump();
    return window;
}

void pump()
{
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
}

bool start_child(child_windows &child)
{
    return start_child(child, program_path(L"kestal-test-windows.exe"));
}

namespace {

DWORD WINAPI read_command_lines(void *context)
{
    auto *command = static_cast<running_command *>(context);
    std::string line;
    char c;
    DWORD got = 0;
    while (ReadFile(command->output, &c, 1, &got, nullptr) && got == 1) {
        if (c == '\r')
            continue;
        if (c != '\n') {
            line.push_back(c);
            continue;
        }
        EnterCriticalSection(&command->guard);
        command->lines.push_back(line);
        LeaveCriticalSection(&command->guard);
        line.clear();
    }
    return 0;
}

bool has_line(running_command &command, const std::string &wanted)
{
    EnterCriticalSection(&command.guard);
    bool found = false;
    for (const std::string &line : command.lines)
        found = found || line.find(wanted) != std::string::npos;
    LeaveCriticalSection(&command.guard);
    return found;
}

} // namespace

bool start_command(running_command &command, const std::vector<std::string> &args)
{
    InitializeCriticalSection(&command.guard);
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE write_end = nullptr;
    if (!CreatePipe(&command.output, &write_end, &inherit, 0))
        return false;
    SetHandleInformation(command.output, HANDLE_FLAG_INHERIT, 0);
    const std::wstring program = program_path(L"kestal-cli.exe");
    std::wstring command_line = quote_argument(program);
    for (const std::string &arg : args)
        command_line += L" " + quote_argument(widen(arg));
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = write_end;
    startup.hStdError = write_end;
    PROCESS_INFORMATION info = {};
    const BOOL started = CreateProcessW(program.c_str(), command_line.data(), nullptr, nullptr, TRUE, 0, nullptr,
                                        nullptr, &startup, &info);
    CloseHandle(write_end);
    if (!started)
        return false;
    CloseHandle(info.hThread);
    command.process = info.hProcess;
    command.reader = CreateThread(nullptr, 0, read_command_lines, &command, 0, nullptr);
    return command.reader != nullptr;
}

std::wstring temp_folder()
{
    wchar_t path[MAX_PATH];
    const DWORD chars = GetTempPathW(MAX_PATH, path);
    return std::wstring(path, chars);
}

void write_file(const std::wstring &path, const std::string &text)
{
    FILE *file = _wfopen(path.c_str(), L"wb");
    ASSERT_NE(file, nullptr) << "cannot write " << narrow(path);
    fwrite(text.data(), 1, text.size(), file);
    fclose(file);
}

std::wstring write_temp_file(const std::wstring &name, const std::string &text)
{
    const std::wstring path = temp_folder() + name;
    write_file(path, text);
    return path;
}

bool wait_until(const std::function<bool()> &done, DWORD patience_ms)
{
    const ULONGLONG end = GetTickCount64() + patience_ms;
    while (!done()) {
        if (GetTickCount64() > end)
            return false;
        Sleep(50);
    }
    return true;
}

bool wait_for_line(running_command &command, const std::string &wanted, DWORD patience_ms)
{
    const ULONGLONG end = GetTickCount64() + patience_ms;
    while (!has_line(command, wanted)) {
        if (GetTickCount64() > end)
            return false;
        Sleep(20);
    }
    return true;
}

std::string all_lines(running_command &command)
{
    EnterCriticalSection(&command.guard);
    std::string text;
    for (const std::string &line : command.lines)
        text += line + "\n";
    LeaveCriticalSection(&command.guard);
    return text;
}

DWORD wait_for_end(running_command &command, DWORD patience_ms)
{
    DWORD exit_code = 0xffffffff;
    if (!command.process)
        return exit_code;
    if (WaitForSingleObject(command.process, patience_ms) == WAIT_OBJECT_0) {
        GetExitCodeProcess(command.process, &exit_code);
    } else {
        TerminateProcess(command.process, exit_code);
        WaitForSingleObject(command.process, 5000);
    }
    WaitForSingleObject(command.reader, 5000);
    CloseHandle(command.reader);
    CloseHandle(command.output);
    CloseHandle(command.process);
    command.process = command.reader = command.output = nullptr;
    return exit_code;
}

bool launch_child(child_windows &child, const std::wstring &program, const std::wstring &arguments,
                  HANDLE stderr_to)
{
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE child_in_read, child_in_write, child_out_read, child_out_write;
    if (!CreatePipe(&child_in_read, &child_in_write, &inherit, 0))
        return false;
    if (!CreatePipe(&child_out_read, &child_out_write, &inherit, 0)) {
        CloseHandle(child_in_read);
        CloseHandle(child_in_write);
        return false;
    }
    SetHandleInformation(child_in_write, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(child_out_read, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = child_in_read;
    startup.hStdOutput = child_out_write;
    startup.hStdError = stderr_to ? stderr_to : GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION info = {};
    std::wstring command_line = quote_argument(program);
    if (!arguments.empty())
        command_line += L" " + arguments;
    BOOL started = CreateProcessW(program.c_str(), command_line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                                  &startup, &info);
    CloseHandle(child_in_read);
    CloseHandle(child_out_write);
    if (!started) {
        CloseHandle(child_in_write);
        CloseHandle(child_out_read);
        return false;
    }
    CloseHandle(info.hThread);
    child.process = info.hProcess;
    child.pid = info.dwProcessId;
    child.to_child = child_in_write;
    child.from_child = child_out_read;
    return true;
}

bool start_child(child_windows &child, const std::wstring &program)
{
    return launch_child(child, program) && child_command(child, "ping") == "pong";
}

constexpr DWORD kChildAnswerMs = 60000;

std::string read_child_line(child_windows &child)
{
    std::string line;
    char c;
    DWORD got = 0;
    while (ReadFile(child.from_child, &c, 1, &got, nullptr) && got == 1 && c != '\n') {
        if (c != '\r')
            line.push_back(c);
    }
    return line;
}

std::string child_command(child_windows &child, const std::string &line)
{
    std::string request = line + "\n";
    DWORD written = 0;
    if (!WriteFile(child.to_child, request.data(), static_cast<DWORD>(request.size()), &written, nullptr))
        return "error: the child is gone";
    // A helper whose windows' thread has stopped would hold the test until
    // ctest ends it with no word of where: the answer is waited for with a
    // bound, and a helper that gives none is named with the command.
    const ULONGLONG deadline = GetTickCount64() + kChildAnswerMs;
    DWORD waiting = 0;
    while (PeekNamedPipe(child.from_child, nullptr, 0, nullptr, &waiting, nullptr) && !waiting &&
           GetTickCount64() < deadline)
        Sleep(5);
    if (!waiting && GetTickCount64() >= deadline) {
        ADD_FAILURE() << "the helper did not answer '" << line << "' within " << kChildAnswerMs / 1000 << " s";
        return "error: the child did not answer";
    }
    return read_child_line(child);
}

HWND child_make_window(child_windows &child, const std::string &flags, const std::string &title_utf8)
{
    std::string answer = child_command(child, "make " + flags + " " + title_utf8);
    return reinterpret_cast<HWND>(static_cast<intptr_t>(strtoll(answer.c_str(), nullptr, 10)));
}

HWND child_remake_window(child_windows &child, HWND freed, const std::string &flags, const std::string &title_utf8,
                         std::string &answer)
{
    answer = child_command(child, "remake " + handle_text(freed) + " " + flags + " " + title_utf8);
    return answer == handle_text(freed) ? freed : nullptr;
}

void stop_child(child_windows &child)
{
    if (!child.process)
        return;
    child_command(child, "quit");
    if (WaitForSingleObject(child.process, 10000) != WAIT_OBJECT_0)
        TerminateProcess(child.process, 1);
    CloseHandle(child.process);
    CloseHandle(child.to_child);
    CloseHandle(child.from_child);
    child = {};
}

// ---- listings --------------------------------------------------------------

std::optional<std::vector<listed_window>> parse_listing(const char *text)
{
    if (!text) {
        ADD_FAILURE() << "no listing text";
        return std::nullopt;
    }
    yyjson_doc *doc = yyjson_read(text, strlen(text), 0);
    if (!doc) {
        ADD_FAILURE() << "listing is not JSON: " << text;
        return std::nullopt;
    }
    std::vector<listed_window> windows;
    yyjson_val *root = yyjson_doc_get_root(doc);
    bool shape_ok = yyjson_is_arr(root);
    size_t index, count;
    yyjson_val *object;
    static constexpr std::string_view kMembers[] = {"hwnd", "title", "exe", "pinned", "opacity"};
    if (shape_ok) {
        yyjson_arr_foreach(root, index, count, object)
        {
            if (!yyjson_is_obj(object) || yyjson_obj_size(object) != std::size(kMembers)) {
                shape_ok = false;
                break;
            }
            size_t member = 0, members;
            yyjson_val *key, *value;
            yyjson_obj_foreach(object, member, members, key, value)
            {
                if (yyjson_get_str(key) != kMembers[member])
                    shape_ok = false;
            }
            yyjson_val *hwnd = yyjson_obj_get(object, "hwnd"), *title = yyjson_obj_get(object, "title"),
                       *exe = yyjson_obj_get(object, "exe"), *pinned = yyjson_obj_get(object, "pinned"),
                       *opacity = yyjson_obj_get(object, "opacity");
            if (!yyjson_is_int(hwnd) || !yyjson_is_str(title) || !yyjson_is_str(exe) || !yyjson_is_bool(pinned) ||
                !yyjson_is_int(opacity)) {
                shape_ok = false;
                break;
            }
            windows.push_back({yyjson_get_sint(hwnd), yyjson_get_str(title), yyjson_get_str(exe),
                               yyjson_get_bool(pinned), yyjson_get_sint(opacity)});
        }
    }
    yyjson_doc_free(doc);
    if (!shape_ok) {
        ADD_FAILURE() << "listing objects are not {hwnd,title,exe,pinned,opacity}: " << text;
        return std::nullopt;
    }
    return windows;
}

bool read_window(yyjson_val *object, bool long_form, long_window &window)
{
    static constexpr std::string_view kMembers[] = {"hwnd",  "title", "exe", "pinned", "opacity",
                                                    "pid",   "class", "x",   "y",      "width",
                                                    "height", "state", "foreground", "clickthrough", "monitor"};
    const size_t expected = long_form ? std::size(kMembers) : 5;
    if (!yyjson_is_obj(object) || yyjson_obj_size(object) != expected) {
        ADD_FAILURE() << "a window object holds " << yyjson_obj_size(object) << " members, not " << expected;
        return false;
    }
    size_t member = 0, members;
    yyjson_val *key, *value;
    yyjson_obj_foreach(object, member, members, key, value)
    {
        if (yyjson_get_str(key) != kMembers[member]) {
            ADD_FAILURE() << "member " << member << " is \"" << yyjson_get_str(key) << "\", not \""
                          << kMembers[member] << "\"";
            return false;
        }
    }
    auto get = [object](const char *name) { return yyjson_obj_get(object, name); };
    bool typed = yyjson_is_int(get("hwnd")) && yyjson_is_str(get("title")) && yyjson_is_str(get("exe")) &&
                 yyjson_is_bool(get("pinned")) && yyjson_is_int(get("opacity"));
    if (long_form)
        typed = typed && yyjson_is_uint(get("pid")) && yyjson_is_str(get("class")) && yyjson_is_int(get("x")) &&
                yyjson_is_int(get("y")) && yyjson_is_int(get("width")) && yyjson_is_int(get("height")) &&
                yyjson_is_str(get("state")) && yyjson_is_bool(get("foreground")) &&
                yyjson_is_bool(get("clickthrough")) && yyjson_is_int(get("monitor"));
    if (!typed) {
        ADD_FAILURE() << "a member of a window object has the wrong type";
        return false;
    }
    window.listed = {yyjson_get_sint(get("hwnd")), yyjson_get_str(get("title")), yyjson_get_str(get("exe")),
                     yyjson_get_bool(get("pinned")), yyjson_get_sint(get("opacity"))};
    if (long_form) {
        window.pid = yyjson_get_sint(get("pid"));
        window.class_name = yyjson_get_str(get("class"));
        window.x = yyjson_get_sint(get("x"));
        window.y = yyjson_get_sint(get("y"));
        window.width = yyjson_get_sint(get("width"));
        window.height = yyjson_get_sint(get("height"));
        window.state = yyjson_get_str(get("state"));
        window.foreground = yyjson_get_bool(get("foreground"));
        window.clickthrough = yyjson_get_bool(get("clickthrough"));
        window.monitor = yyjson_get_sint(get("monitor"));
    }
    return true;
}

std::optional<std::vector<long_window>> parse_long_listing(const char *text)
{
    yyjson_doc *doc = text ? yyjson_read(text, strlen(text), 0) : nullptr;
    yyjson_val *root = yyjson_doc_get_root(doc);
    if (!yyjson_is_arr(root)) {
        ADD_FAILURE() << "not a JSON array: " << (text ? text : "(null)");
        yyjson_doc_free(doc);
        return std::nullopt;
    }
    std::vector<long_window> windows;
    size_t index, count;
    yyjson_val *object;
    bool shape_ok = true;
    yyjson_arr_foreach(root, index, count, object)
    {
        long_window window;
        shape_ok = shape_ok && read_window(object, true, window);
        windows.push_back(window);
    }
    yyjson_doc_free(doc);
    if (!shape_ok)
        return std::nullopt;
    return windows;
}

std::vector<listed_window> list_now()
{
    char *text = kestal_list();
    auto windows = parse_listing(text);
    kestal_free_string(text);
    return windows.value_or(std::vector<listed_window>{});
}

const listed_window *find_listed(const std::vector<listed_window> &listing, HWND window)
{
    for (const listed_window &entry : listing) {
        if (entry.hwnd == static_cast<int64_t>(reinterpret_cast<intptr_t>(window)))
            return &entry;
    }
    return nullptr;
}

} // namespace kt

namespace {

INPUT key_input(WORD key, DWORD flags)
{
    INPUT input = {};
    input.type = INPUT_KEYBOARD;
    input.ki.wVk = key;
    input.ki.dwFlags = flags;
    return input;
}

bool key_down(WORD key)
{
    return (GetAsyncKeyState(key) & 0x8000) != 0;
}

} // namespace

bool kt::press_keys(std::initializer_list<WORD> modifiers, WORD key)
{
    const auto held = [&] {
        for (WORD modifier : modifiers) {
            if (!key_down(modifier))
                return false;
        }
        return true;
    };
    for (int tries = 0; tries < 10 && !held(); ++tries) {
        std::vector<INPUT> downs;
        for (WORD modifier : modifiers)
            downs.push_back(key_input(modifier, 0));
        SendInput(static_cast<UINT>(downs.size()), downs.data(), sizeof(INPUT));
        wait_until(held, 1000);
    }
    const bool pressed = held();
    if (pressed) {
        INPUT press[] = {key_input(key, 0), key_input(key, KEYEVENTF_KEYUP)};
        SendInput(2, press, sizeof(INPUT));
    }
    std::vector<INPUT> ups;
    for (auto modifier = modifiers.end(); modifier != modifiers.begin();)
        ups.push_back(key_input(*--modifier, KEYEVENTF_KEYUP));
    SendInput(static_cast<UINT>(ups.size()), ups.data(), sizeof(INPUT));
    return pressed;
}
