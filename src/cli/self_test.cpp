// "test": the library end to end on a window of the program's own.
#include "self_test.h"

#include <cstring>

#include "console_text.h"
#include "json_field.h"
#include "kestal_inprocess.h"

namespace {

constexpr wchar_t kClassName[] = L"KestalSelfTest";
constexpr wchar_t kTitle[] = L"kestal selftest";
constexpr char kPinned[] = "\"pinned\"";
constexpr char kOpacity[] = "\"opacity\"";

struct check_run {
    FILE *out;
    char handle_text[32];
    check_tally tally;
};

} // namespace

void pump()
{
    MSG message;
    while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
}

static void record(check_run &run, bool passed)
{
    ++(passed ? run.tally.passed : run.tally.failed);
}

static int32_t read_back(const check_run &run, const char *member)
{
    char *text = kestal_list();
    int32_t value = json_field(text, run.handle_text, member);
    kestal_free_string(text);
    return value;
}

static void check_list(check_run &run)
{
    char *text = kestal_list();
    if (!text) {
        print_to(run.out, "  FAIL list: bad output [%s]\n", "(null)");
        record(run, false);
    } else if (text[0] != '[') {
        print_to(run.out, "  FAIL list: bad output [%s]\n", text);
        record(run, false);
    } else if (text[1] == ']') {
        write_to(run.out, "  PASS list (empty environment)\n");
        record(run, true);
    } else if (json_field(text, run.handle_text, kOpacity) < 0) {
        write_to(run.out, "  FAIL list: self-window missing from output\n");
        record(run, false);
    } else {
        print_to(run.out, "  PASS list (self-window present, %zu bytes)\n", strlen(text));
        record(run, true);
    }
    kestal_free_string(text);
}

// A setter check fails with the call's result, the read-back and the
// last-error text, which says why the call failed.
static void record_setter_check(check_run &run, bool passed, const char *pass_line, const char *fail_format,
                                int32_t result, int32_t read)
{
    if (passed)
        write_to(run.out, pass_line);
    else
        print_to(run.out, fail_format, result, read, kestal_last_error());
    record(run, passed);
}

static void check_topmost(check_run &run, void *window, int32_t topmost)
{
    int32_t result = kestal_set_topmost(window, topmost);
    int32_t pinned = read_back(run, kPinned);
    if (topmost)
        record_setter_check(run, result == 1 && pinned == 1, "  PASS pin (set_topmost=1, readback pinned=1)\n",
                            "  FAIL pin: set_topmost=%d readback_pinned=%d (%s)\n", result, pinned);
    else
        record_setter_check(run, result == 1 && pinned == 0, "  PASS unpin (readback pinned=0)\n",
                            "  FAIL unpin: r=%d readback_pinned=%d (%s)\n", result, pinned);
}

static void check_opacity(check_run &run, void *window, int32_t pct, const char *name)
{
    int32_t result = kestal_set_opacity(window, pct);
    int32_t opacity = read_back(run, kOpacity);
    char pass_line[64], fail_format[80];
    snprintf(pass_line, sizeof pass_line, "  PASS %s (readback %d)\n", name, pct);
    snprintf(fail_format, sizeof fail_format, "  FAIL %s: set=%%d readback=%%d (%%s)\n", name);
    record_setter_check(run, result == 1 && opacity == pct, pass_line, fail_format, result, opacity);
}

static void check_pin_state(check_run &run, void *window, int32_t pinned_at_start)
{
    if (pinned_at_start == 1) {
        kestal_set_topmost(window, 1);
        write_to(run.out, "  PASS pin-restore (window was originally pinned)\n");
    } else {
        write_to(run.out, "  PASS pin-state (originally unpinned, left unpinned)\n");
    }
    record(run, true);
}

static void check_error_paths(check_run &run, void *window)
{
    int32_t results[] = {
        kestal_set_opacity(nullptr, 50),
        kestal_set_opacity(window, 15),
        kestal_set_opacity(window, 101),
        kestal_set_topmost(nullptr, 1),
    };
    bool passed = results[0] == 0 && results[1] == 0 && results[2] == 0 && results[3] == 0;
    if (passed)
        write_to(run.out, "  PASS error-paths (null hwnd + out-of-range rejected)\n");
    else
        print_to(run.out, "  FAIL error-paths: %d %d %d %d\n", results[0], results[1], results[2], results[3]);
    record(run, passed);
}

check_tally run_checks(HWND window, FILE *out)
{
    check_run run = {out, {}, {0, 0}};
    snprintf(run.handle_text, sizeof run.handle_text, "%lld",
             static_cast<long long>(reinterpret_cast<intptr_t>(window)));

    check_list(run);
    int32_t pinned_at_start = read_back(run, kPinned);
    check_topmost(run, window, 1);
    check_topmost(run, window, 0);
    check_opacity(run, window, 60, "opacity-60");
    check_opacity(run, window, 100, "opacity-restore");
    check_pin_state(run, window, pinned_at_start);
    check_error_paths(run, window);
    return run.tally;
}

static void close_window(HWND window)
{
    PostMessageW(window, WM_CLOSE, 0, 0);
    pump();
    if (IsWindow(window))
        DestroyWindow(window);
    pump();
}

int run_self_test(int, char **)
{
    kestal_preflight();
    HINSTANCE instance = GetModuleHandleW(nullptr);
    WNDCLASSEXW window_class = {};
    window_class.cbSize = sizeof window_class;
    window_class.lpfnWndProc = DefWindowProcW;
    window_class.hInstance = instance;
    window_class.lpszClassName = kClassName;
    RegisterClassExW(&window_class);

    HWND window = CreateWindowExW(0, kClassName, kTitle, WS_VISIBLE, CW_USEDEFAULT, CW_USEDEFAULT, 160, 60, nullptr,
                                  nullptr, instance, nullptr);
    if (!window) {
        pump();
        write_out("  FAIL setup: could not create self-test window\n");
        write_out("\n0 passed, 1 failed\n");
        return 1;
    }
    pump();
    check_tally tally = run_checks(window, stdout);
    close_window(window);
    print_out("\n%d passed, %d failed\n", tally.passed, tally.failed);
    return tally.failed == 0 ? 0 : 1;
}
