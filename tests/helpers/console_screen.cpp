// kestal-test-console.exe: what a person at a console would see.
//
//   kestal-test-console screen [--stdout-on-input] PROGRAM [ARGS...]
//     runs PROGRAM with stdout and stderr on a console screen of its own and
//     writes to our stdout, in UTF-8: "exit N", then each line of the screen
//     up to the cursor, its trailing blanks removed. The console decodes
//     bytes with the US OEM code page, as most consoles do with some OEM
//     page. --stdout-on-input gives PROGRAM the console's input as stdout: a
//     console handle that takes no text.
//   kestal-test-console pieces out|err HEX...
//     writes each hexadecimal piece of bytes through the command line's
//     output layer, one write per piece, to stdout or stderr.
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "command_line.h"
#include "console_text.h"

namespace {

// Wide enough that a listing stays on one line of the screen.
constexpr SHORT kColumns = 32000;
constexpr SHORT kRows = 64;
constexpr UINT kUsOemCodePage = 437;

std::string utf8(const std::wstring &wide)
{
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0,
                                          nullptr, nullptr);
    std::string text(static_cast<std::size_t>(bytes), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), text.data(), bytes, nullptr, nullptr);
    return text;
}

int fail(const char *what)
{
    fprintf(stderr, "kestal-test-console: %s failed (win32 error %lu)\n", what, GetLastError());
    return 3;
}

int run_on_screen(int argc, wchar_t **argv)
{
    const bool stdout_on_input = std::wstring_view(argv[2]) == L"--stdout-on-input";
    const int program = stdout_on_input ? 3 : 2;
    if (program >= argc)
        return 2;
    HANDLE report = GetStdHandle(STD_OUTPUT_HANDLE);
    FreeConsole();
    if (!AllocConsole())
        return fail("AllocConsole");
    if (!SetConsoleOutputCP(kUsOemCodePage))
        return fail("SetConsoleOutputCP");
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE screen = CreateConsoleScreenBuffer(GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                              &inherit, CONSOLE_TEXTMODE_BUFFER, nullptr);
    if (screen == INVALID_HANDLE_VALUE)
        return fail("CreateConsoleScreenBuffer");
    if (!SetConsoleScreenBufferSize(screen, {kColumns, kRows}))
        return fail("SetConsoleScreenBufferSize");

    HANDLE input = CreateFileW(L"CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                               OPEN_EXISTING, 0, nullptr);
    if (input == INVALID_HANDLE_VALUE)
        return fail("CreateFileW(CONIN$)");

    std::wstring command_line = quote_argument(argv[program]);
    for (int i = program + 1; i < argc; ++i)
        command_line += L" " + quote_argument(argv[i]);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = input;
    startup.hStdOutput = stdout_on_input ? input : screen;
    startup.hStdError = screen;
    PROCESS_INFORMATION info = {};
    if (!CreateProcessW(argv[program], command_line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &info))
        return fail("CreateProcessW");
    WaitForSingleObject(info.hProcess, INFINITE);
    DWORD exit_code = 0;
    GetExitCodeProcess(info.hProcess, &exit_code);
    CloseHandle(info.hThread);
    CloseHandle(info.hProcess);

    CONSOLE_SCREEN_BUFFER_INFO buffer = {};
    if (!GetConsoleScreenBufferInfo(screen, &buffer))
        return fail("GetConsoleScreenBufferInfo");
    std::string text = "exit " + std::to_string(exit_code) + "\n";
    const SHORT last_row = buffer.dwCursorPosition.X > 0 ? buffer.dwCursorPosition.Y : buffer.dwCursorPosition.Y - 1;
    for (SHORT row = 0; row <= last_row; ++row) {
        std::wstring cells(static_cast<std::size_t>(buffer.dwSize.X), L' ');
        DWORD read = 0;
        if (!ReadConsoleOutputCharacterW(screen, cells.data(), buffer.dwSize.X, {0, row}, &read))
            return fail("ReadConsoleOutputCharacterW");
        cells.resize(read);
        cells.erase(cells.find_last_not_of(L' ') + 1);
        text += utf8(cells) + "\n";
    }
    DWORD written = 0;
    WriteFile(report, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    CloseHandle(input);
    CloseHandle(screen);
    return written == text.size() ? 0 : fail("WriteFile");
}

int write_pieces(int argc, wchar_t **argv)
{
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
    const bool to_stdout = std::wstring_view(argv[2]) == L"out";
    for (int i = 3; i < argc; ++i) {
        std::string piece;
        for (const wchar_t *digit = argv[i]; digit[0] && digit[1]; digit += 2)
            piece.push_back(static_cast<char>(std::wcstoul(std::wstring(digit, 2).c_str(), nullptr, 16)));
        if (!(to_stdout ? write_out(piece) : write_err(piece)))
            return 1;
    }
    char reason[128];
    return finish_output(reason, sizeof reason) ? 0 : 1;
}

} // namespace

int wmain(int argc, wchar_t **argv)
{
    const std::wstring_view mode = argc > 1 ? argv[1] : L"";
    if (mode == L"screen" && argc > 2)
        return run_on_screen(argc, argv);
    if (mode == L"pieces" && argc > 2)
        return write_pieces(argc, argv);
    fputs("usage: kestal-test-console screen PROGRAM [ARGS...] | pieces out|err HEX...\n", stderr);
    return 2;
}
