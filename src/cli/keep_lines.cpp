// keep's lines: JSON to stdout, or to <rules>.log for a keep without a console.
#include <cstdlib>

#include "console_text.h"
#include "control_text.h"
#include "keep_state.h"

namespace {

// The log of a keep without a console is cut back to its newest part once it passes this size.
constexpr long kLogLimit = 1 << 20;
constexpr long kLogKept = kLogLimit / 4;


// The newest part of the log, from a line's start, once it has grown past its limit.
void cut_back_log(keep_state &state)
{
    if (ftell(state.log) < kLogLimit)
        return;
    std::string tail(kLogKept, '\0');
    fflush(state.log);
    fseek(state.log, -kLogKept, SEEK_END);
    tail.resize(fread(tail.data(), 1, tail.size(), state.log));
    const size_t line_start = tail.find('\n');
    fclose(state.log);
    state.log = _wfopen(state.log_path.c_str(), L"wb");
    if (state.log && line_start != std::string::npos)
        fwrite(tail.data() + line_start + 1, 1, tail.size() - line_start - 1, state.log);
}

} // namespace

// The program runs without a console when it was built for the Windows
// subsystem: kestalw.exe.
bool built_without_console()
{
    const auto *image = reinterpret_cast<const BYTE *>(GetModuleHandleW(nullptr));
    const auto *dos = reinterpret_cast<const IMAGE_DOS_HEADER *>(image);
    const auto *nt = reinterpret_cast<const IMAGE_NT_HEADERS *>(image + dos->e_lfanew);
    return nt->OptionalHeader.Subsystem == IMAGE_SUBSYSTEM_WINDOWS_GUI;
}

std::wstring full_path(const std::wstring &path)
{
    const DWORD chars = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    std::wstring full(chars, L'\0');
    const DWORD written = chars ? GetFullPathNameW(path.c_str(), chars, full.data(), nullptr) : 0;
    full.resize(written < chars ? written : 0);
    return full.empty() ? path : full;
}


void keep_line(keep_state &state, yyjson_mut_doc *doc, yyjson_mut_val *object)
{
    yyjson_mut_doc_set_root(doc, object);
    char *written = yyjson_mut_write(doc, 0, nullptr);
    yyjson_mut_doc_free(doc);
    if (!written)
        return;
    const std::string text = escaped_controls(written, false) + "\n";
    free(written);
    if (state.log) {
        fwrite(text.data(), 1, text.size(), state.log);
        fflush(state.log);
        cut_back_log(state);
    } else {
        write_out(text);
    }
}

yyjson_mut_val *event_object(yyjson_mut_doc *doc, const char *event)
{
    yyjson_mut_val *object = yyjson_mut_obj(doc);
    yyjson_mut_obj_add_str(doc, object, "event", event);
    return object;
}

void simple_line(keep_state &state, const char *event)
{
    yyjson_mut_doc *doc = yyjson_mut_doc_new(nullptr);
    keep_line(state, doc, event_object(doc, event));
}

void window_line(keep_state &state, const char *event, int64_t hwnd, const char *member, yyjson_mut_val *value,
                 yyjson_mut_doc *doc)
{
    yyjson_mut_val *object = event_object(doc, event);
    yyjson_mut_obj_add_sint(doc, object, "hwnd", hwnd);
    if (member)
        yyjson_mut_obj_add_val(doc, object, member, value);
    keep_line(state, doc, object);
}

// The line may quote the rules file or a command's error, which may quote
// another program's text.
void report_error(keep_state &state, const std::string &raw_line)
{
    const std::string line = escaped_controls(raw_line, false);
    if (state.log) {
        fprintf(state.log, "%s\n", line.c_str());
        fflush(state.log);
    } else {
        write_err(line + "\n");
    }
}

