// The process-wide text that describes the most recent failure.
#include <cstdarg>
#include <cstdio>
#include <iterator>

#include "internal.h"

// Constant-initialised: a host that loads the exe as a library never runs
// the C runtime start-up, yet must still read "no error" here.
char g_last_error[kLastErrorSize] = "no error";

void set_error(const char *fmt, ...)
{
    va_list args;
    va_start(args, fmt);
    vsnprintf(g_last_error, sizeof g_last_error, fmt, args);
    va_end(args);
}

void set_error_code(const char *what, DWORD code)
{
    char message[256];
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
                                  MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), message, std::size(message), nullptr);
    if (length == 0) {
        set_error("%s failed (win32 error %lu)", what, code);
        return;
    }
    // Some messages start with a line break; the trailing one is the system's
    // own and stays, so callers see the message exactly as the system wrote it.
    const char *text = message;
    while (*text == '\n' || *text == '\r' || *text == ' ')
        ++text;
    set_error("%s failed (win32 error %lu): %s", what, code, text);
}

void set_error_win32(const char *what)
{
    set_error_code(what, GetLastError());
}

// The text stays process-wide: the pointer outlives the lock, and a failure
// on another thread may overwrite the text before the caller reads it.
extern "C" KESTAL_API const char *kestal_last_error(void)
{
    if (enter_library())
        leave_library();
    return g_last_error;
}
