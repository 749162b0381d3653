// kestal-test-ctrl-c.exe PROGRAM ARGS...: runs PROGRAM on a console of its
// own, its stdout on a pipe; once PROGRAM has written a line, presses Ctrl+C
// on that console and reports on its own stdout "exit N" (PROGRAM's exit
// code, or "exit running" when it has not ended 10 s later), then PROGRAM's
// output. A test process keeps its own streams this way: taking a console
// would move them.
#include <windows.h>

#include <cstdio>
#include <string>

#include "command_line.h"

namespace {

void report(HANDLE to, const std::string &text)
{
    DWORD written = 0;
    WriteFile(to, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

} // namespace

int wmain(int argc, wchar_t **argv)
{
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    if (argc < 2) {
        report(out, "usage: kestal-test-ctrl-c PROGRAM ARGS...\n");
        return 2;
    }
    FreeConsole();
    if (!AllocConsole()) {
        report(out, "error: AllocConsole failed (win32 error " + std::to_string(GetLastError()) + ")\n");
        return 1;
    }
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE read_end, write_end;
    CreatePipe(&read_end, &write_end, &inherit, 0);
    SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = write_end;
    startup.hStdError = write_end;
    std::wstring command_line = quote_argument(argv[1]);
    for (int i = 2; i < argc; ++i)
        command_line += L" " + quote_argument(argv[i]);
    PROCESS_INFORMATION info = {};
    if (!CreateProcessW(argv[1], command_line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &info)) {
        report(out, "error: CreateProcessW failed (win32 error " + std::to_string(GetLastError()) + ")\n");
        return 1;
    }
    CloseHandle(write_end);

    std::string output;
    char c;
    DWORD got = 0;
    while (output.find('\n') == std::string::npos && ReadFile(read_end, &c, 1, &got, nullptr) && got == 1)
        output.push_back(c);
    // The program inherited the console's Ctrl+C handling before this.
    SetConsoleCtrlHandler(nullptr, TRUE);
    if (!GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0)) {
        report(out, "error: GenerateConsoleCtrlEvent failed (win32 error " + std::to_string(GetLastError()) + ")\n");
        TerminateProcess(info.hProcess, 1);
        return 1;
    }
    const bool ended = WaitForSingleObject(info.hProcess, 10000) == WAIT_OBJECT_0;
    DWORD exit_code = 0;
    GetExitCodeProcess(info.hProcess, &exit_code);
    if (!ended)
        TerminateProcess(info.hProcess, 1);
    while (ReadFile(read_end, &c, 1, &got, nullptr) && got == 1)
        output.push_back(c);
    report(out, (ended ? "exit " + std::to_string(exit_code) : std::string("exit running")) + "\n" + output);
    return 0;
}
