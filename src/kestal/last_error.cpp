// The process-wide text that describes the most recent failure.
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <iterator>

#include "internal.h"
#include "utf8_text.h"

// Constant-initialised: a host that loads the exe as a library never runs
// the C runtime start-up, yet must still read "no error" here.
char g_last_error[kLastErrorSize] = "no error";

// The thread's own copies of its failures, where it asked for them: the
// text alone, or the text with its code.
static DWORD g_capture_slot = TLS_OUT_OF_INDEXES; // under the lock
static DWORD g_failure_slot = TLS_OUT_OF_INDEXES; // under the lock
static_assert(KESTAL_ERROR_SIZE == kLastErrorSize, "a captured error holds the whole text");

// The slot is made on the first capture that asks for one, and kept for the
// life of the process.
static void capture_into(DWORD &slot, void *destination)
{
    lock_library();
    if (slot == TLS_OUT_OF_INDEXES && destination)
        slot = TlsAlloc();
    if (slot != TLS_OUT_OF_INDEXES)
        TlsSetValue(slot, destination);
    unlock_library();
}

extern "C" void kestal_capture_errors(char *buffer)
{
    if (library_ready())
        capture_into(g_capture_slot, buffer);
}

extern "C" void kestal_capture_failures(kestal_failure *failure)
{
    if (!library_ready())
        return;
    if (failure) {
        failure->code = KESTAL_FAILURE_NONE;
        memcpy(failure->text, "no error", sizeof "no error");
    }
    capture_into(g_failure_slot, failure);
}

static void *captured_in(DWORD slot)
{
    return slot != TLS_OUT_OF_INDEXES ? TlsGetValue(slot) : nullptr;
}

// The text is made outside the lock and only copied under it: formatting
// asks nothing of anyone, but it need not make other threads wait either.
static void record_error(int32_t failure, const char *fmt, va_list args)
{
    char text[kLastErrorSize];
    const int length = vsnprintf(text, sizeof text, fmt, args);
    // A cut inside a character would leave text that no UTF-8 reader takes.
    if (length < 0 || length >= static_cast<int>(sizeof text))
        text[utf8_whole_length(std::string_view(text, sizeof text - 1))] = '\0';
    lock_library();
    memcpy(g_last_error, text, sizeof text);
    auto *captured = static_cast<char *>(captured_in(g_capture_slot));
    auto *captured_failure = static_cast<kestal_failure *>(captured_in(g_failure_slot));
    unlock_library();
    if (captured)
        memcpy(captured, text, sizeof text);
    if (captured_failure) {
        captured_failure->code = failure;
        memcpy(captured_failure->text, text, sizeof text);
    }
}

void set_error(int32_t failure, const char *fmt, ...)
{
    va_list args;
    va_start(args, fmt);
    record_error(failure, fmt, args);
    va_end(args);
}

void set_error(const char *fmt, ...)
{
    va_list args;
    va_start(args, fmt);
    record_error(KESTAL_FAILURE_OTHER, fmt, args);
    va_end(args);
}

// What a failed system call means to a caller that decides on a retry.
static int32_t failure_of(DWORD code)
{
    switch (code) {
    case ERROR_TIMEOUT:
        return KESTAL_FAILURE_NOT_ANSWERING;
    case ERROR_INVALID_WINDOW_HANDLE:
        return KESTAL_FAILURE_NO_WINDOW;
    case ERROR_ACCESS_DENIED:
        return KESTAL_FAILURE_REFUSED;
    default:
        return KESTAL_FAILURE_OTHER;
    }
}

void set_error_code(const char *what, DWORD code)
{
    // The narrow message would come in the ANSI code page, a localised one
    // unreadable as the UTF-8 that everything else of ours is.
    wchar_t message[kLastErrorSize];
    const DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
                                        MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), message, std::size(message),
                                        nullptr);
    if (length == 0) {
        set_error(failure_of(code), "%s failed (win32 error %lu)", what, code);
        return;
    }
    // Some messages start with a line break; the trailing one is the system's
    // own and stays, so callers see the message exactly as the system wrote it.
    const wchar_t *text = message;
    while (*text == L'\n' || *text == L'\r' || *text == L' ')
        ++text;
    char utf8[kLastErrorSize * 3];
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8, static_cast<int>(std::size(utf8)), nullptr,
                                          nullptr);
    if (bytes == 0) {
        set_error(failure_of(code), "%s failed (win32 error %lu)", what, code);
        return;
    }
    set_error(failure_of(code), "%s failed (win32 error %lu): %s", what, code, utf8);
}

void set_error_win32(const char *what)
{
    set_error_code(what, GetLastError());
}

// The text stays process-wide: the pointer outlives the lock, and a failure
// on another thread may overwrite the text before the caller reads it. The
// lock taken and given back makes a text written on another thread whole
// before this thread reads it.
extern "C" KESTAL_API const char *kestal_last_error(void)
{
    if (library_ready()) {
        lock_library();
        unlock_library();
    }
    return g_last_error;
}
