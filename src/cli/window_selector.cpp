// Selectors: the windows of the listing that a word describes.
#include "window_selector.h"

#include <windows.h>

#include <string>
#include <string_view>
#include <vector>

#include "cli.h"
#include "console_text.h"
#include "control_text.h"
#include "help_text.h"
#include "kestal_inprocess.h"
#include "keep.h"
#include "side_by_side.h"
#include "wide_text.h"
#include "window_handle.h"

namespace {

struct selector_form {
    std::wstring_view prefix;
    selector_kind kind;
};

constexpr selector_form kForms[] = {
    {L"exe:", selector_kind::exe},
    {L"title:", selector_kind::title},
    {L"class:", selector_kind::class_name},
    {L"pid:", selector_kind::pid},
};

bool parse_pid(std::wstring_view digits, DWORD &pid)
{
    if (digits.empty() || digits.size() > 10)
        return false;
    uint64_t value = 0;
    for (wchar_t c : digits) {
        if (c < L'0' || c > L'9')
            return false;
        value = value * 10 + static_cast<uint64_t>(c - L'0');
    }
    pid = static_cast<DWORD>(value);
    return value <= 0xFFFFFFFFu;
}

// A word in none of the forms, or with nothing after its prefix, is no
// selector: it keeps its meaning as a handle.
bool parse_selector(std::wstring_view word, window_selector &parsed)
{
    if (word == L"active") {
        parsed = {selector_kind::active, {}, 0};
        return true;
    }
    for (const selector_form &form : kForms) {
        if (!word.starts_with(form.prefix) || word.size() == form.prefix.size())
            continue;
        const std::wstring_view rest = word.substr(form.prefix.size());
        parsed = {form.kind, std::wstring(rest), 0};
        return form.kind != selector_kind::pid || parse_pid(rest, parsed.pid);
    }
    return false;
}

// Ordinal comparison with the system's case folding: the same answer in
// every locale, and for text in any script.
bool same_text(std::wstring_view a, std::wstring_view b)
{
    return CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(), static_cast<int>(b.size()), TRUE) ==
           CSTR_EQUAL;
}

bool contains_text(std::wstring_view haystack, std::wstring_view needle)
{
    for (size_t at = 0; at + needle.size() <= haystack.size(); ++at) {
        if (same_text(haystack.substr(at, needle.size()), needle))
            return true;
    }
    return false;
}

bool matches(const window_selector &wanted, const kestal_window &window)
{
    switch (wanted.kind) {
    case selector_kind::active:
        return window.foreground != 0;
    case selector_kind::exe:
        return same_text(widen(window.exe), wanted.text);
    case selector_kind::title:
        return contains_text(widen(window.title), wanted.text);
    case selector_kind::class_name:
        return same_text(widen(window.class_name), wanted.text);
    case selector_kind::pid:
        return window.pid == wanted.pid;
    }
    return false;
}

} // namespace

bool read_selector(const char *word, window_selector &selector)
{
    return parse_selector(widen(word), selector);
}

std::string no_selector_text(std::string_view word)
{
    return "'" + escaped_controls(word, true) + "' is no selector (active, exe:NAME, title:TEXT, class:NAME or pid:N)";
}

bool selector_matches(const window_selector &selector, const kestal_window &window)
{
    return matches(selector, window);
}

// The windows of a census that `wanted` matches, or all of them without it;
// false, with the error line written, when no census could be taken.
static bool listed_windows(const window_selector *wanted, std::vector<int64_t> &selected)
{
    const kestal_window *windows = nullptr;
    const int32_t count = kestal_census(0, &windows);
    if (count < 0) {
        print_err("error: %s\n", kestal_last_error());
        return false;
    }
    for (int32_t i = 0; i < count; ++i) {
        if (!wanted || matches(*wanted, windows[i]))
            selected.push_back(windows[i].hwnd);
    }
    kestal_census_release();
    return true;
}

std::vector<int64_t> *g_changed_windows = nullptr;

// The process of the keep that runs on this desktop, 0 when none runs.
static DWORD running_keep_pid()
{
    DWORD pid = 0;
    if (HWND keep = FindWindowW(kKeepWindowClass, nullptr))
        GetWindowThreadProcessId(keep, &pid);
    return pid;
}

int32_t reset_window(void *hwnd, int32_t)
{
    return kestal_reset(hwnd);
}

// What a change made with `setter` changes of the window, in the terms of
// what a keep's rules set; 0 for a change that no rule sets.
static uint32_t attributes_changed_by(window_setter setter)
{
    constexpr uint32_t kEverything = KESTAL_BY_HAND_PIN | KESTAL_BY_HAND_OPACITY | KESTAL_BY_HAND_CLICKTHROUGH;
    const struct {
        window_setter setter;
        uint32_t attributes;
    } kSetters[] = {
        {kestal_set_topmost, KESTAL_BY_HAND_PIN},          {kestal_pin, KESTAL_BY_HAND_PIN},
        {kestal_set_opacity, KESTAL_BY_HAND_OPACITY},      {kestal_step_opacity, KESTAL_BY_HAND_OPACITY},
        {kestal_set_clickthrough, KESTAL_BY_HAND_CLICKTHROUGH}, {reset_window, kEverything},
    };
    for (const auto &known : kSetters) {
        if (known.setter == setter)
            return known.attributes;
    }
    return 0;
}

// A change made by a person, from any console, takes what it changed out of
// the hands of the rules that a running keep applies, for that keep's life.
static void changed_by_command(int64_t hwnd, uint32_t attributes)
{
    static const DWORD keep_pid = running_keep_pid();
    void *window = reinterpret_cast<void *>(static_cast<intptr_t>(hwnd));
    if (keep_pid && attributes)
        kestal_mark_by_hand(window, attributes, keep_pid);
    if (g_changed_windows)
        g_changed_windows->push_back(hwnd);
}

// A setter with its value, as an action.
struct setter_call {
    window_setter setter;
    int32_t value;
};

static int32_t call_setter(void *hwnd, const void *context)
{
    const auto &call = *static_cast<const setter_call *>(context);
    return call.setter(hwnd, call.value);
}

// Every window gets its change, whatever happens to the others.
static int run_on_windows(const std::vector<int64_t> &selected, window_action action, const void *context,
                          uint32_t attributes)
{
    std::vector<window_job> jobs(selected.size());
    for (size_t i = 0; i < selected.size(); ++i)
        jobs[i] = {selected[i], action, context, attributes, 0, "no error"};
    run_side_by_side(jobs);
    bool all_succeeded = true;
    for (const window_job &job : jobs) {
        if (job.result == 1) {
            changed_by_command(job.hwnd, job.attributes);
            continue;
        }
        all_succeeded = false;
        print_err("error: %lld: %s\n", static_cast<long long>(job.hwnd), job.error);
    }
    if (!all_succeeded)
        return 1;
    write_out("ok\n");
    return 0;
}

static int run_action_on_selected(const char *word, window_action action, const void *context,
                                  uint32_t attributes)
{
    window_selector wanted;
    if (!parse_selector(widen(word), wanted))
        return -1;
    std::vector<int64_t> selected;
    if (!listed_windows(&wanted, selected))
        return 1;
    if (selected.empty()) {
        // The word may come from a script that took it from another program.
        const std::string shown = escaped_controls(word, true);
        // "exe:notepad" is the likeliest miss: the listing names programs by file name.
        if (wanted.kind == selector_kind::exe && wanted.text.find(L'.') == std::wstring::npos)
            print_err("error: no window matches '%s': exe: takes the program's file name with its extension, such as "
                      "'%s.exe'\n",
                      shown.c_str(), shown.c_str());
        else
            print_err("error: no window matches '%s'\n", shown.c_str());
        return 1;
    }
    return run_on_windows(selected, action, context, attributes);
}

static int run_on_one_target(const char *command, const char *word, window_action action, const void *context,
                             uint32_t attributes)
{
    const int selected = run_action_on_selected(word, action, context, attributes);
    if (selected >= 0)
        return selected;
    // A word without digits read as the null handle, and failed as if a
    // window had been asked for and refused: "pin notepad" meant a selector.
    if (!is_number_text(word)) {
        print_err("error: %s: %s, nor a window handle: give a handle that list prints, or a selector\n", command,
                  no_selector_text(word).c_str());
        print_command_usage(command);
        return 2;
    }
    void *window = handle_argument(word);
    if (action(window, context) == 1) {
        changed_by_command(static_cast<int64_t>(reinterpret_cast<intptr_t>(window)), attributes);
        write_out("ok\n");
        return 0;
    }
    print_err("error: %s\n", kestal_last_error());
    return 1;
}

int run_action_on_target(const char *command, const char *word, window_action action, const void *context)
{
    return run_on_one_target(command, word, action, context, 0);
}

int run_on_target(const char *command, const char *word, window_setter setter, int32_t value)
{
    const setter_call call = {setter, value};
    return run_on_one_target(command, word, call_setter, &call, attributes_changed_by(setter));
}

int run_on_every_marked(window_setter setter, int32_t value)
{
    std::vector<int64_t> listed;
    if (!listed_windows(nullptr, listed))
        return 1;
    std::vector<int64_t> marked;
    for (int64_t hwnd : listed) {
        if (kestal_carries_marks(reinterpret_cast<void *>(static_cast<intptr_t>(hwnd))))
            marked.push_back(hwnd);
    }
    const setter_call call = {setter, value};
    return run_on_windows(marked, call_setter, &call, attributes_changed_by(setter));
}
