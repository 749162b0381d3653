// Console-aware output of the command line.
#include "console_text.h"

#include <windows.h>

#include <io.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>

#include "utf8_text.h"

namespace {

enum class sink_kind { unknown, console, bytes };

// A console stream holds back the start of a UTF-8 sequence that a write
// left unfinished, so that a character split across two writes still
// reaches the console as one character.
struct output_stream {
    sink_kind kind;
    HANDLE console;
    char held[3];
    std::size_t held_length;
    DWORD failure;
};

// Older consoles refuse a single write above 64 KiB; a chunk of 4096 UTF-8
// bytes never converts to more UTF-16 units than that.
constexpr std::size_t kChunkBytes = 4096;

output_stream g_stdout_stream = {sink_kind::unknown, nullptr, {}, 0, 0};
output_stream g_stderr_stream = {sink_kind::unknown, nullptr, {}, 0, 0};

output_stream *stream_of(FILE *file)
{
    if (file == stdout)
        return &g_stdout_stream;
    if (file == stderr)
        return &g_stderr_stream;
    return nullptr;
}

bool is_console(output_stream &stream, FILE *file)
{
    if (stream.kind == sink_kind::unknown) {
        const intptr_t os_handle = _get_osfhandle(_fileno(file));
        HANDLE handle = reinterpret_cast<HANDLE>(os_handle);
        DWORD mode;
        const bool console = os_handle != -1 && GetConsoleMode(handle, &mode);
        stream.kind = console ? sink_kind::console : sink_kind::bytes;
        stream.console = console ? handle : nullptr;
    }
    return stream.kind == sink_kind::console;
}

bool write_console_units(output_stream &stream, const wchar_t *units, std::size_t count)
{
    while (count > 0) {
        DWORD written = 0;
        if (!WriteConsoleW(stream.console, units, static_cast<DWORD>(count), &written, nullptr) || written == 0) {
            const DWORD code = GetLastError();
            if (stream.failure == 0)
                stream.failure = code != 0 ? code : ERROR_WRITE_FAULT;
            return false;
        }
        units += written;
        count -= written;
    }
    return true;
}

bool write_console_utf8(output_stream &stream, const char *text, std::size_t length)
{
    if (length == 0)
        return true;
    wchar_t units[kChunkBytes];
    const int count = MultiByteToWideChar(CP_UTF8, 0, text, static_cast<int>(length), units,
                                          static_cast<int>(std::size(units)));
    if (count == 0) {
        if (stream.failure == 0)
            stream.failure = GetLastError();
        return false;
    }
    return write_console_units(stream, units, static_cast<std::size_t>(count));
}

bool write_console(output_stream &stream, std::string_view text)
{
    bool written = true;
    while (!text.empty()) {
        char chunk[kChunkBytes];
        std::memcpy(chunk, stream.held, stream.held_length);
        const std::size_t taken = std::min(text.size(), kChunkBytes - stream.held_length);
        std::memcpy(chunk + stream.held_length, text.data(), taken);
        text.remove_prefix(taken);
        const std::size_t length = stream.held_length + taken;
        const std::size_t finished = utf8_whole_length(std::string_view(chunk, length));
        stream.held_length = length - finished;
        std::memcpy(stream.held, chunk + finished, stream.held_length);
        written = write_console_utf8(stream, chunk, finished) && written;
    }
    return written;
}

bool write_stream(FILE *file, std::string_view text)
{
    output_stream *stream = stream_of(file);
    if (stream && is_console(*stream, file))
        return write_console(*stream, text);
    return std::fwrite(text.data(), 1, text.size(), file) == text.size();
}

bool print_stream(FILE *file, const char *fmt, va_list args)
{
    output_stream *stream = stream_of(file);
    if (!stream || !is_console(*stream, file))
        return std::vfprintf(file, fmt, args) >= 0;

    char small[512];
    va_list again;
    va_copy(again, args);
    const int length = std::vsnprintf(small, sizeof small, fmt, args);
    const std::size_t size = length < 0 ? 0 : static_cast<std::size_t>(length);
    bool written = false;
    if (length < 0) {
        written = false;
    } else if (size < sizeof small) {
        written = write_console(*stream, std::string_view(small, size));
    } else if (char *large = static_cast<char *>(std::malloc(size + 1))) {
        std::vsnprintf(large, size + 1, fmt, again);
        written = write_console(*stream, std::string_view(large, size));
        std::free(large);
    }
    va_end(again);
    return written;
}

void release_held(output_stream &stream)
{
    if (stream.kind != sink_kind::console || stream.held_length == 0)
        return;
    const std::size_t length = stream.held_length;
    stream.held_length = 0;
    write_console_utf8(stream, stream.held, length);
}

} // namespace

bool print_out(const char *fmt, ...)
{
    va_list args;
    va_start(args, fmt);
    const bool written = print_stream(stdout, fmt, args);
    va_end(args);
    return written;
}

bool print_err(const char *fmt, ...)
{
    va_list args;
    va_start(args, fmt);
    const bool written = print_stream(stderr, fmt, args);
    va_end(args);
    return written;
}

bool print_to(FILE *stream, const char *fmt, ...)
{
    va_list args;
    va_start(args, fmt);
    const bool written = print_stream(stream, fmt, args);
    va_end(args);
    return written;
}

bool write_out(std::string_view text)
{
    return write_stream(stdout, text);
}

bool write_err(std::string_view text)
{
    return write_stream(stderr, text);
}

bool write_to(FILE *stream, std::string_view text)
{
    return write_stream(stream, text);
}

bool finish_output(char *reason, std::size_t size)
{
    release_held(g_stderr_stream);
    release_held(g_stdout_stream);
    if (g_stdout_stream.kind == sink_kind::console && g_stdout_stream.failure != 0) {
        std::snprintf(reason, size, "WriteConsoleW failed (win32 error %lu)", g_stdout_stream.failure);
        return false;
    }
    if (std::fflush(stdout) == 0 && !std::ferror(stdout))
        return true;
    std::snprintf(reason, size, "%s", std::strerror(errno));
    return false;
}
