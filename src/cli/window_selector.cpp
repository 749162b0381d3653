// Selectors: the windows of the listing that a word describes.
#include "window_selector.h"

#include <windows.h>

#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "control_text.h"
#include "kestal_inprocess.h"
#include "wide_text.h"

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

static SRWLOCK g_census_lock = SRWLOCK_INIT;

void lock_census()
{
    AcquireSRWLockExclusive(&g_census_lock);
}

void unlock_census()
{
    ReleaseSRWLockExclusive(&g_census_lock);
}

bool select_windows(const window_selector *wanted, std::vector<int64_t> &selected, kestal_failure &failure)
{
    lock_census();
    const kestal_window *windows = nullptr;
    const int32_t count = kestal_census(0, &windows);
    if (count < 0) {
        failure.code = KESTAL_FAILURE_OTHER;
        snprintf(failure.text, sizeof failure.text, "%s", kestal_last_error());
        unlock_census();
        return false;
    }
    for (int32_t i = 0; i < count; ++i) {
        if (!wanted || matches(*wanted, windows[i]))
            selected.push_back(windows[i].hwnd);
    }
    unlock_census();
    return true;
}
