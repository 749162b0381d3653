// Pause, resume and reload: asked of the running keep by `keep --pause`,
// `--resume` and `--reload`, or by its icon's menu, through keep's window.
#include "keep_face.h"

#include "console_text.h"
#include "keep.h"

namespace {

// How long the command waits for the running keep to take the request: it
// answers between two listings.
constexpr DWORD kAnswerWaitMs = 10000;

// Reads the rules file whatever its time says. False, with the reason on
// keep's error output, when it cannot be read or is bad; the rules read
// before stay.
bool reload_now(keep_state &state)
{
    // A file read at no time, with no text, is new whatever it holds.
    state.stamp = {};
    state.text.clear();
    if (reload_if_changed(state))
        return true;
    file_stamp stamp = {};
    if (!stamp_of(state.path, stamp))
        report_error(state, "error: " + state.path + ": cannot be read: check the path; the rules read before stay");
    return false;
}

} // namespace

LRESULT take_face_request(keep_state &state, UINT message)
{
    if (state.ended)
        return 1;
    if (message == kPauseMessage && !state.paused) {
        state.paused = true;
        simple_line(state, "paused");
    } else if (message == kResumeMessage && state.paused) {
        state.paused = false;
        state.list_now = true;
        simple_line(state, "resumed");
    } else if (message == kReloadMessage) {
        if (!reload_now(state))
            return 0;
        state.list_now = true;
    }
    update_face(state);
    return 1;
}

int ask_running_keep(std::string_view option)
{
    const UINT message = option == "--pause" ? kPauseMessage : option == "--resume" ? kResumeMessage : kReloadMessage;
    HWND window = FindWindowW(kKeepWindowClass, nullptr);
    if (!window) {
        print_err("error: no keep is running\n");
        return 1;
    }
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    DWORD_PTR answer = 0;
    if (!SendMessageTimeoutW(window, message, 0, 0, SMTO_ABORTIFHUNG, kAnswerWaitMs, &answer)) {
        print_err("error: the keep that runs (pid %lu) did not answer within %lu s: see its output, or stop it with "
                  "kestal-cli keep --stop\n",
                  pid, kAnswerWaitMs / 1000);
        return 1;
    }
    if (!answer) {
        print_err("error: the keep that runs (pid %lu) could not read its rules file again and keeps the rules it "
                  "read before: its error line (on its stderr, or in <rules>.log for kestalw.exe) says why; fix the "
                  "file and run kestal-cli keep --reload again\n",
                  pid);
        return 1;
    }
    write_out("ok\n");
    return 0;
}
