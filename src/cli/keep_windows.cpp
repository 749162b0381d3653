// The windows that keep changed, the rules applied to each listing, and
// everything given back at the end.
#include <algorithm>

#include "keep_state.h"
#include "window_events.h"
#include "window_selector.h"


changed_window identity_of(int64_t hwnd)
{
    changed_window known = {hwnd, 0, 0};
    known.thread = GetWindowThreadProcessId(reinterpret_cast<HWND>(static_cast<intptr_t>(hwnd)), &known.pid);
    return known;
}

bool same_window(const changed_window &a, const changed_window &b)
{
    return a.hwnd == b.hwnd && a.pid == b.pid && a.thread == b.thread;
}

void remember(std::vector<changed_window> &windows, int64_t hwnd)
{
    const changed_window known = identity_of(hwnd);
    if (std::none_of(windows.begin(), windows.end(), [&](const changed_window &w) { return same_window(w, known); }))
        windows.push_back(known);
}

bool remembered(const std::vector<changed_window> &windows, int64_t hwnd)
{
    const changed_window known = identity_of(hwnd);
    return std::any_of(windows.begin(), windows.end(), [&](const changed_window &w) { return same_window(w, known); });
}

namespace {


bool rule_matches(const keep_rule &rule, const kestal_window &window)
{
    return std::all_of(rule.match.begin(), rule.match.end(),
                       [&](const window_selector &s) { return selector_matches(s, window); }) &&
           std::none_of(rule.except.begin(), rule.except.end(),
                        [&](const window_selector &s) { return selector_matches(s, window); });
}

// What the rules want of a window: a later rule wins over an earlier one.
rule_actions wanted_of(const keep_rules &rules, const kestal_window &window)
{
    rule_actions wanted;
    for (const keep_rule &rule : rules.rules) {
        if (!rule_matches(rule, window))
            continue;
        if (rule.actions.pin >= 0)
            wanted.pin = rule.actions.pin;
        if (rule.actions.opacity >= 0)
            wanted.opacity = rule.actions.opacity;
        if (rule.actions.clickthrough >= 0)
            wanted.clickthrough = rule.actions.clickthrough;
    }
    return wanted;
}

struct rule_change {
    const char *member;
    int32_t (*setter)(void *hwnd, int32_t value);
    int32_t wanted;
    int32_t now;
    bool as_bool;
};

// Gives a window what the rules want of it and it lacks. A window that a
// person changed through kestal is left to that person until it closes.
void keep_window(keep_state &state, const kestal_window &window)
{
    const rule_actions wanted = wanted_of(state.rules, window);
    const rule_change changes[] = {
        {"pin", kestal_set_topmost, wanted.pin, window.pinned, true},
        {"opacity", kestal_set_opacity, wanted.opacity, window.opacity, false},
        {"clickthrough", kestal_set_clickthrough, wanted.clickthrough, window.clickthrough, true},
    };
    void *hwnd = reinterpret_cast<void *>(static_cast<intptr_t>(window.hwnd));
    bool asked = false;
    for (const rule_change &change : changes) {
        if (change.wanted < 0 || change.wanted == change.now)
            continue;
        // Asked only when there is something to do, so that windows that
        // are as the rules want them cost nothing more.
        if (!asked && (kestal_changed_by_hand(hwnd) || remembered(state.refused, window.hwnd)))
            return;
        asked = true;
        if (change.setter(hwnd, change.wanted) != 1) {
            report_error(state, "error: " + std::to_string(window.hwnd) + ": " + kestal_last_error());
            remember(state.refused, window.hwnd);
            return;
        }
        remember(state.changed, window.hwnd);
        yyjson_mut_doc *doc = yyjson_mut_doc_new(nullptr);
        yyjson_mut_val *value =
            change.as_bool ? yyjson_mut_bool(doc, change.wanted != 0) : yyjson_mut_sint(doc, change.wanted);
        window_line(state, "applied", window.hwnd, change.member, value, doc);
    }
}


} // namespace

// One listing, and the rules applied to it. False when no census could be taken.
bool apply_rules(keep_state &state)
{
    const kestal_window *windows = nullptr;
    const int32_t count = kestal_census(0, &windows);
    if (count < 0) {
        report_error(state, std::string("error: ") + kestal_last_error());
        return false;
    }
    // The census is replaced by the next one, which a change may not take,
    // so the windows are copied out first.
    publish_listed(windows, count);
    const std::vector<kestal_window> listed(windows, windows + count);
    for (const kestal_window &window : listed)
        keep_window(state, window);
    return true;
}


void give_back(keep_state &state)
{
    for (const changed_window &window : state.changed) {
        if (!same_window(window, identity_of(window.hwnd)))
            continue;
        if (kestal_reset(reinterpret_cast<void *>(static_cast<intptr_t>(window.hwnd))) == 1) {
            yyjson_mut_doc *doc = yyjson_mut_doc_new(nullptr);
            window_line(state, "given_back", window.hwnd, nullptr, nullptr, doc);
        } else {
            report_error(state, "error: " + std::to_string(window.hwnd) + ": " + kestal_last_error());
        }
    }
    state.changed.clear();
}

