#include "keep_requests.h"

#include <string>
#include <vector>

#include "console_text.h"
#include "keep_face.h"
#include "keep_lines.h"
#include "keep_memory.h"
#include "keep_protocol.h"
#include "keep_reload.h"
#include "keep_windows.h"
#include "wide_text.h"
#include "window_command.h"

namespace {

// How long a command waits for the running keep to take its request: keep's
// thread waits on nothing, so it answers at once unless the machine stalls.
constexpr DWORD kAnswerWaitMs = 10000;
// How long `keep --stop` waits for the running keep to give everything back.
constexpr DWORD kStopWaitMs = 60000;

int no_keep()
{
    print_err("error: no keep is running: start one with kestal-cli keep RULES\n");
    return 1;
}

int not_answered(DWORD pid)
{
    print_err("error: the keep that runs (pid %lu) did not answer within %lu s: see its output, or stop it with "
              "kestal-cli keep --stop\n",
              pid, kAnswerWaitMs / 1000);
    return 1;
}

// The answer that keep left, one error line each, or the fallback where it left none.
void print_answer(HANDLE answer, const char *fallback)
{
    const std::string text = read_keep_answer(answer);
    if (text.empty()) {
        print_err("%s\n", fallback);
        return;
    }
    write_err(text + (text.back() == '\n' ? "" : "\n"));
}

} // namespace

LRESULT take_request(keep_state &state, UINT message)
{
    write_keep_answer("");
    if (state.ended)
        return 1;
    if (message == kKeepPauseMessage && !state.paused) {
        state.paused = true;
        simple_line(state, "paused");
    } else if (message == kKeepResumeMessage && state.paused) {
        state.paused = false;
        simple_line(state, "resumed");
        list_windows(state);
    } else if (message == kKeepReloadMessage) {
        std::string error;
        if (!reload_now(state, error)) {
            write_keep_answer("error: " + error + "; the keep that runs keeps the rules it read before: fix the "
                              "file and run kestal-cli keep --reload again");
            return 0;
        }
        list_windows(state);
    } else if (message == kKeepReapplyAllMessage) {
        reapply(state, {});
        simple_line(state, "reapplied");
    }
    update_face(state);
    return 1;
}

LRESULT take_copied_request(keep_state &state, const COPYDATASTRUCT &data)
{
    write_keep_answer("");
    if ((data.dwData != kKeepReapplyData && data.dwData != kKeepForgetData) || state.ended)
        return 0;
    std::vector<int64_t> hwnds(data.cbData / sizeof(int64_t));
    if (!hwnds.empty())
        memcpy(hwnds.data(), data.lpData, hwnds.size() * sizeof(int64_t));
    if (data.dwData == kKeepForgetData) {
        std::string why;
        if (!state.rules.remember) {
            write_keep_answer("error: the keep that runs remembers nothing: its rules file has no \"remember\": true");
            return 0;
        }
        if (!forget_programs(state, hwnds, why)) {
            write_keep_answer("error: " + why);
            return 0;
        }
        // What the forgotten programs' windows had from it goes back now.
        list_windows(state);
    } else {
        reapply(state, hwnds);
        simple_line(state, "reapplied");
    }
    update_face(state);
    return 1;
}

int ask_running_keep(std::string_view option, const char *target)
{
    DWORD pid = 0;
    HWND window = find_running_keep(pid);
    if (!window)
        return no_keep();
    std::vector<int64_t> hwnds;
    const bool copied = option == "--reapply" || option == "--forget";
    if (copied && target && std::string_view(target) != "all") {
        window_target wanted;
        std::string why;
        const std::string command_word = "keep " + std::string(option);
        if (!read_window_target(command_word.c_str(), target, wanted, why)) {
            print_err("error: %s\n", why.c_str());
            return 2;
        }
        kestal_failure failure = {};
        if (!resolve_target(wanted, hwnds, failure)) {
            print_err("error: %s\n", failure.text);
            return 1;
        }
    }
    HANDLE turn = take_keep_ask_turn();
    HANDLE answer = open_keep_answer(pid);
    DWORD_PTR done = 0;
    BOOL answered = FALSE;
    if (copied) {
        COPYDATASTRUCT data = {option == "--forget" ? kKeepForgetData : kKeepReapplyData,
                               static_cast<DWORD>(hwnds.size() * sizeof(int64_t)),
                               hwnds.empty() ? nullptr : hwnds.data()};
        answered = SendMessageTimeoutW(window, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&data), SMTO_ABORTIFHUNG,
                                       kAnswerWaitMs, &done);
    } else {
        const UINT message = option == "--pause"    ? kKeepPauseMessage
                             : option == "--resume" ? kKeepResumeMessage
                                                    : kKeepReloadMessage;
        answered = SendMessageTimeoutW(window, message, 0, 0, SMTO_ABORTIFHUNG, kAnswerWaitMs, &done);
    }
    int exit_code = 0;
    if (!answered) {
        exit_code = not_answered(pid);
    } else if (!done) {
        print_answer(answer, "error: the keep that runs could not do it: see its output");
        exit_code = 1;
    } else {
        write_out("ok\n");
    }
    if (answer)
        CloseHandle(answer);
    give_keep_ask_turn(turn);
    return exit_code;
}

int stop_running_keep()
{
    DWORD pid = 0;
    HWND window = find_running_keep(pid);
    if (!window)
        return no_keep();
    HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, pid);
    // Opened before the stop, so that keep's last answer outlives it.
    HANDLE answer = open_keep_answer(pid);
    const auto finish = [&](int exit_code) {
        if (answer)
            CloseHandle(answer);
        if (process)
            CloseHandle(process);
        return exit_code;
    };
    // Windows refuses the message where the keep runs as administrator and
    // this command does not: waiting for it to end would be waiting in vain.
    if (!PostMessageW(window, kKeepStopMessage, 0, 0)) {
        const DWORD code = GetLastError();
        print_err("error: the keep that runs (pid %lu) cannot be reached: its window refused the stop message (win32 "
                  "error %lu: %s), as Windows refuses a program that runs as administrator to one that does not: "
                  "stop it from a console that runs as administrator, or with the Task Manager\n",
                  pid, code, system_reason(code).c_str());
        return finish(1);
    }
    DWORD waited = WAIT_TIMEOUT;
    if (process) {
        waited = WaitForSingleObject(process, kStopWaitMs);
    } else {
        // A process that cannot be opened is watched by its window, which goes with its end.
        for (ULONGLONG end = GetTickCount64() + kStopWaitMs; waited != WAIT_OBJECT_0 && GetTickCount64() < end;
             Sleep(50))
            waited = IsWindow(window) ? WAIT_TIMEOUT : WAIT_OBJECT_0;
    }
    if (waited != WAIT_OBJECT_0) {
        print_err("error: the keep that runs (pid %lu) was asked to stop but has not ended within %lu s: see its "
                  "output, or end it with the Task Manager\n",
                  pid, kStopWaitMs / 1000);
        return finish(1);
    }
    // keep leaves the windows it could not give back as its last answer.
    const std::string left = read_keep_answer(answer);
    if (!left.empty()) {
        write_err(left + (left.back() == '\n' ? "" : "\n"));
        return finish(1);
    }
    write_out("ok\n");
    return finish(0);
}
