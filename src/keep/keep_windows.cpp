// The windows that keep holds: what the rules want of each window now, less
// what a person took over, is what keep gives it; what keep set that no rule
// wants any more goes back. Each change runs on a thread of its own and comes
// back as a message, so that no window can hold keep.
#include "keep_windows.h"

#include <algorithm>
#include <iterator>
#include <memory>
#include <string>

#include "keep_hotkeys.h"
#include "keep_lines.h"
#include "keep_memory.h"
#include "keep_places.h"
#include "kestal_inprocess.h"
#include "side_by_side.h"
#include "window_selector.h"

namespace {

// The attributes that rules set, in the order of their lines.
struct attribute {
    const char *member;
    uint32_t bit;
    int32_t rule_actions::*value;
    int32_t (*setter)(void *hwnd, int32_t value);
    bool as_bool;
};

constexpr attribute kAttributes[] = {
    {"pin", KESTAL_BY_HAND_PIN, &rule_actions::pin, kestal_set_topmost, true},
    {"opacity", KESTAL_BY_HAND_OPACITY, &rule_actions::opacity, kestal_set_opacity, false},
    {"clickthrough", KESTAL_BY_HAND_CLICKTHROUGH, &rule_actions::clickthrough, kestal_set_clickthrough, true},
};
constexpr size_t kAttributeCount = std::size(kAttributes);
constexpr uint32_t kEveryAttribute = KESTAL_BY_HAND_PIN | KESTAL_BY_HAND_OPACITY | KESTAL_BY_HAND_CLICKTHROUGH;

// Windows that do not answer, or whose change meets another change, are
// asked again after 1 s, then 2, 4 and so on up to 30 s, while they are open.
constexpr DWORD kFirstPauseMs = 1000;
constexpr DWORD kLongestPauseMs = 30000;

enum class step_kind : uint8_t {
    apply,     // the rule's value
    give_back, // the opposite of what keep set, for one attribute
    reset,     // everything kestal changed, as the marks record it
};

struct change_step {
    step_kind kind;
    int8_t attribute; // an index of kAttributes; -1 for a reset
    int32_t value;
    bool tried;
    bool made;
    kestal_failure failure;
};

// One window's change, made on a thread of its own and handed back to keep's
// window, which then owns it.
struct change_job {
    HWND keep_window;
    int64_t hwnd;
    DWORD pid;
    DWORD thread;
    std::vector<change_step> steps;
};

void *handle_of(int64_t hwnd)
{
    return reinterpret_cast<void *>(static_cast<intptr_t>(hwnd));
}

DWORD WINAPI make_change(void *parameter)
{
    auto *job = static_cast<change_job *>(parameter);
    for (change_step &step : job->steps) {
        step.tried = true;
        kestal_capture_failures(&step.failure);
        if (step.kind == step_kind::reset)
            step.made = kestal_reset(handle_of(job->hwnd)) == 1;
        else
            step.made = kAttributes[step.attribute].setter(handle_of(job->hwnd), step.value) == 1;
        kestal_capture_failures(nullptr);
        if (!step.made)
            break;
    }
    if (!PostMessageW(job->keep_window, kChangeMadeMessage, 0, reinterpret_cast<LPARAM>(job)))
        delete job;
    return 0;
}

} // namespace

bool rule_matches(const keep_rule &rule, const kestal_window &window)
{
    return std::all_of(rule.match.begin(), rule.match.end(),
                       [&](const window_selector &s) { return selector_matches(s, window); }) &&
           std::none_of(rule.except.begin(), rule.except.end(),
                        [&](const window_selector &s) { return selector_matches(s, window); });
}

namespace {

// What the rules want of a window: a later rule wins over an earlier one,
// and any rule over what is remembered of its program.
rule_actions wanted_of(const keep_state &state, const kestal_window &window)
{
    rule_actions wanted = remembered_for(state, window);
    for (const keep_rule &rule : state.rules.rules) {
        if (!rule_matches(rule, window))
            continue;
        for (const attribute &a : kAttributes) {
            if (rule.actions.*a.value >= 0)
                wanted.*a.value = rule.actions.*a.value;
        }
    }
    return wanted;
}


// A window that the rules want something of, or that keep set something on.
bool kept(const window_record &window)
{
    return holds_anything(window.wanted) || holds_anything(window.applied);
}

// A record that keep needs no more: nothing wanted, nothing to give back,
// nothing running, nothing a person or a hotkey did.
bool needed(const window_record &window)
{
    return holds_anything(window.wanted) || holds_anything(window.applied) || window.in_flight || window.person ||
           window.hotkey_changed;
}

// The window's pin, opacity and click-through as the listing reports them;
// false when the handle no longer names the same window. A window that keep
// knows already costs one request, two where it is layered: a handle that
// fails to answer its style is asked whose it is.
bool read_now(window_record &window)
{
    const HWND handle = static_cast<HWND>(handle_of(window.hwnd));
    SetLastError(ERROR_SUCCESS);
    const LONG_PTR style = GetWindowLongPtrW(handle, GWL_EXSTYLE);
    if (!window.thread || (!style && GetLastError() != ERROR_SUCCESS)) {
        DWORD pid = 0;
        const DWORD thread = GetWindowThreadProcessId(handle, &pid);
        if (!thread || pid != window.pid || (window.thread && thread != window.thread))
            return false;
        window.thread = thread;
    }
    const int32_t pinned = (style & WS_EX_TOPMOST) ? 1 : 0;
    if (pinned != window.now.pin)
        window.pin_mark = -1;
    window.now.pin = pinned;
    window.now.clickthrough = (style & WS_EX_LAYERED) && (style & WS_EX_TRANSPARENT) ? 1 : 0;
    window.now.opacity = 100;
    COLORREF key = 0;
    BYTE alpha = 255;
    DWORD flags = 0;
    // Asked only of a layered window, as the listing does.
    if ((style & WS_EX_LAYERED) && GetLayeredWindowAttributes(handle, &key, &alpha, &flags) && (flags & LWA_ALPHA))
        window.now.opacity = (alpha * 100 + 127) / 255;
    return true;
}

// Says once per window and attribute that the rules leave to the person
// what the person changed.
void tell_left_to_person(keep_state &state, window_record &window)
{
    for (const attribute &a : kAttributes) {
        if (!(window.person & a.bit) || (window.person_told & a.bit) || window.wanted.*a.value < 0)
            continue;
        window.person_told |= a.bit;
        yyjson_mut_doc *doc = yyjson_mut_doc_new(nullptr);
        yyjson_mut_val *object = window_object(doc, "left_alone", window);
        yyjson_mut_obj_add_str(doc, object, "member", a.member);
        yyjson_mut_obj_add_str(doc, object, "reason", "changed by hand");
        keep_line(state, doc, object);
    }
}

void start_change(keep_state &state, window_record &window, std::vector<change_step> steps)
{
    if (!window.thread && !read_now(window)) {
        forget_window(state, window.hwnd);
        return;
    }
    auto job = std::unique_ptr<change_job>(
        new (std::nothrow) change_job{state.window, window.hwnd, window.pid, window.thread, std::move(steps)});
    if (!job)
        return;
    HANDLE thread = CreateThread(nullptr, 0, make_change, job.get(), 0, nullptr);
    if (!thread) {
        window_error(state, window,
                     "no thread could be started for the change (win32 error " + std::to_string(GetLastError()) +
                         "); keep tries again with its next look");
        return;
    }
    job.release();
    CloseHandle(thread);
    window.in_flight = true;
}

bool later(int32_t code)
{
    return code == KESTAL_FAILURE_NOT_ANSWERING || code == KESTAL_FAILURE_WINDOW_BUSY;
}

void note_failure(keep_state &state, window_record &window, const change_step &step)
{
    if (step.failure.code == KESTAL_FAILURE_NO_WINDOW) {
        forget_window(state, window.hwnd);
        return;
    }
    if (later(step.failure.code)) {
        if (!window.busy_told) {
            window.busy_told = true;
            // keep tries again itself: the library's advice to the person is not for this line.
            std::string what = step.failure.text;
            const size_t advice = what.find(": try again once the window answers");
            if (advice != std::string::npos)
                what.erase(advice);
            window_error(state, window, what + "; keep asks again while the window is open");
            window.pause_ms = kFirstPauseMs;
        } else {
            window.pause_ms = std::min(window.pause_ms * 2, kLongestPauseMs);
        }
        window.next_try = GetTickCount64() + window.pause_ms;
        return;
    }
    // A lasting reason (per-pixel alpha, a program run as administrator, a
    // class that cannot be layered): said once, and not asked again.
    const uint32_t bits = step.attribute >= 0 ? kAttributes[step.attribute].bit : kEveryAttribute;
    if ((window.refused & bits) != bits)
        window_error(state, window, step.failure.text);
    window.refused |= bits;
}

void members_line(keep_state &state, const window_record &window, const char *event, uint32_t bits)
{
    if (!bits)
        return;
    yyjson_mut_doc *doc = yyjson_mut_doc_new(nullptr);
    yyjson_mut_val *object = window_object(doc, event, window);
    yyjson_mut_val *members = yyjson_mut_arr(doc);
    for (const attribute &a : kAttributes) {
        if (bits & a.bit)
            yyjson_mut_arr_add_str(doc, members, a.member);
    }
    yyjson_mut_obj_add_val(doc, object, "members", members);
    yyjson_mut_obj_add_str(doc, object, "reason", "no rule wants it");
    keep_line(state, doc, object);
}

} // namespace

bool holds_anything(const rule_actions &actions)
{
    return actions.pin >= 0 || actions.opacity >= 0 || actions.clickthrough >= 0;
}

window_record *find_record(keep_state &state, int64_t hwnd)
{
    for (window_record &window : state.windows) {
        if (window.hwnd == hwnd)
            return &window;
    }
    return nullptr;
}

void forget_window(keep_state &state, int64_t hwnd)
{
    // A change that still runs comes back to a record that is no more, and is dropped.
    state.windows.erase(std::remove_if(state.windows.begin(), state.windows.end(),
                                       [&](const window_record &w) { return w.hwnd == hwnd && !w.in_flight; }),
                        state.windows.end());
}

void hold_window(keep_state &state, window_record &window)
{
    if (state.paused || state.ended || window.in_flight || !window.listed || GetTickCount64() < window.next_try)
        return;
    uint32_t give_back_bits = 0, apply_bits = 0, deviated = 0;
    for (const attribute &a : kAttributes) {
        const int32_t wanted = window.wanted.*a.value, applied = window.applied.*a.value,
                      now = window.now.*a.value;
        if (applied >= 0 && now != applied)
            deviated |= a.bit;
        // What keep set and no rule wants, and that the window no longer has: nothing to give back.
        if (applied >= 0 && wanted != applied && now != applied)
            window.applied.*a.value = -1;
        if (applied >= 0 && wanted != applied && now == applied)
            give_back_bits |= a.bit;
        if (wanted >= 0 && now != wanted && !(window.refused & a.bit))
            apply_bits |= a.bit;
    }
    // Something differs from what keep set or wants: a person may have
    // changed it from another console, which leaves a record on the window.
    if ((deviated | apply_bits) & ~window.person)
        window.person |= kestal_changed_by_hand(handle_of(window.hwnd), state.pid);
    // What the person took over is theirs, and keep's own setting of it is
    // no longer keep's to give back.
    for (const attribute &a : kAttributes) {
        if (window.person & a.bit)
            window.applied.*a.value = -1;
    }
    give_back_bits &= ~window.person;
    apply_bits &= ~window.person;
    tell_left_to_person(state, window);
    if (!give_back_bits && !apply_bits)
        return;
    std::vector<change_step> steps;
    if (give_back_bits && !window.person) {
        // Everything kestal set goes back as its marks record it, so that a
        // program's own layering returns; what is still wanted then comes again.
        steps.push_back({step_kind::reset, -1, 0, false, false, {}});
        for (size_t i = 0; i < kAttributeCount; ++i) {
            const int32_t wanted = window.wanted.*kAttributes[i].value;
            if (wanted >= 0 && !(window.refused & kAttributes[i].bit))
                steps.push_back({step_kind::apply, static_cast<int8_t>(i), wanted, false, false, {}});
        }
    } else {
        for (size_t i = 0; i < kAttributeCount; ++i) {
            const attribute &a = kAttributes[i];
            if (apply_bits & a.bit)
                steps.push_back({step_kind::apply, static_cast<int8_t>(i), window.wanted.*a.value, false, false, {}});
            else if (give_back_bits & a.bit)
                steps.push_back({step_kind::give_back, static_cast<int8_t>(i),
                                 a.value == &rule_actions::opacity ? 100 : !(window.applied.*a.value), false, false,
                                 {}});
        }
    }
    start_change(state, window, std::move(steps));
}

void hold_all(keep_state &state)
{
    for (size_t i = 0; i < state.windows.size(); ++i)
        hold_window(state, state.windows[i]);
}

bool list_windows(keep_state &state)
{
    lock_census();
    const kestal_window *listed = nullptr;
    const int32_t count = kestal_census(0, &listed);
    if (count < 0) {
        const std::string reason = kestal_last_error();
        unlock_census();
        report_error(state, "error: " + reason);
        return false;
    }
    for (window_record &window : state.windows)
        window.listed = false;
    std::vector<size_t> seen;
    for (int32_t i = 0; i < count; ++i) {
        const kestal_window &entry = listed[i];
        window_record *window = find_record(state, entry.hwnd);
        if (window && window->pid != entry.pid && !window->in_flight) {
            // The handle came back for another window.
            *window = {};
            window->hwnd = entry.hwnd;
        }
        const rule_actions wanted = wanted_of(state, entry);
        if (!window) {
            // Only what the rules speak of is worth a record.
            if (!holds_anything(wanted))
                continue;
            state.windows.push_back({});
            window = &state.windows.back();
            window->hwnd = entry.hwnd;
        }
        window->pid = entry.pid;
        window->title = entry.title;
        window->exe = entry.exe;
        window->class_name = entry.class_name;
        window->listed = true;
        if (entry.pinned != window->now.pin)
            window->pin_mark = -1;
        window->now = {entry.pinned, entry.opacity, entry.clickthrough};
        // A window that left its rules and comes back gets them again.
        if (!holds_anything(wanted))
            window->refused = 0;
        window->wanted = wanted;
    }
    place_new_windows(state, listed, count);
    unlock_census();
    // What keep knows of windows that have closed is of no more use; one that
    // is only hidden keeps what keep set on it until it shows again.
    std::vector<int64_t> closed;
    for (window_record &window : state.windows) {
        if (!window.listed && !window.in_flight && (!needed(window) || !read_now(window)))
            closed.push_back(window.hwnd);
    }
    for (int64_t hwnd : closed)
        forget_window(state, hwnd);
    hold_all(state);
    // A window that no rule speaks of any more, with nothing of keep's or a
    // person's on it, is worth no record.
    state.windows.erase(std::remove_if(state.windows.begin(), state.windows.end(),
                                       [](const window_record &w) { return !needed(w); }),
                        state.windows.end());
    return true;
}

void check_kept_windows(keep_state &state)
{
    std::vector<int64_t> closed;
    for (window_record &window : state.windows) {
        if (!window.listed || window.in_flight || !kept(window))
            continue;
        if (!read_now(window))
            closed.push_back(window.hwnd);
    }
    for (int64_t hwnd : closed)
        forget_window(state, hwnd);
    hold_all(state);
}

void take_change_result(keep_state &state, LPARAM result)
{
    const std::unique_ptr<change_job> job(reinterpret_cast<change_job *>(result));
    window_record *window = find_record(state, job->hwnd);
    if (!window || window->pid != job->pid)
        return;
    window->in_flight = false;
    window->pin_mark = -1;
    const rule_actions before = window->applied;
    uint32_t applied_bits = 0, given_back_bits = 0;
    const change_step *failed = nullptr;
    for (const change_step &step : job->steps) {
        if (!step.tried)
            break;
        if (!step.made) {
            failed = &step;
            break;
        }
        if (step.kind == step_kind::reset) {
            for (const attribute &a : kAttributes) {
                if (window->applied.*a.value >= 0 && window->wanted.*a.value != window->applied.*a.value)
                    given_back_bits |= a.bit;
            }
            window->applied = {};
            window->hotkey_changed = false;
            continue;
        }
        const attribute &a = kAttributes[step.attribute];
        if (step.kind == step_kind::give_back) {
            window->applied.*a.value = -1;
            given_back_bits |= a.bit;
        } else {
            window->applied.*a.value = step.value;
            window->now.*a.value = step.value;
            // A value that a reset took and this step gave back again is no news.
            if (before.*a.value != step.value)
                applied_bits |= a.bit;
        }
    }
    // A reset that keep gave back gives the window its program's values,
    // which the next look reads.
    if (given_back_bits && !read_now(*window)) {
        forget_window(state, job->hwnd);
        return;
    }
    members_line(state, *window, "given_back", given_back_bits);
    for (const attribute &a : kAttributes) {
        if (!(applied_bits & a.bit))
            continue;
        yyjson_mut_doc *doc = yyjson_mut_doc_new(nullptr);
        yyjson_mut_val *object = window_object(doc, "applied", *window);
        yyjson_mut_obj_add_val(doc, object, a.member,
                               a.as_bool ? yyjson_mut_bool(doc, window->applied.*a.value != 0)
                                         : yyjson_mut_sint(doc, window->applied.*a.value));
        keep_line(state, doc, object);
    }
    if (failed) {
        note_failure(state, *window, *failed);
        return;
    }
    window->busy_told = false;
    window->next_try = 0;
    window->pause_ms = 0;
    hold_window(state, *window);
}

void take_person_change(keep_state &state, int64_t hwnd, uint32_t attributes, bool by_hotkey, uint32_t changed)
{
    window_record *window = find_record(state, hwnd);
    if (!window) {
        DWORD pid = 0;
        if (!GetWindowThreadProcessId(static_cast<HWND>(handle_of(hwnd)), &pid))
            return;
        state.windows.push_back({});
        window = &state.windows.back();
        window->hwnd = hwnd;
        window->pid = pid;
    }
    window->person |= attributes;
    window->hotkey_changed = window->hotkey_changed || by_hotkey;
    window->pin_mark = -1;
    // Listed as the census would list it, so that a window pinned from a
    // console gets its border now, not at the next listing.
    window->listed = IsWindowVisible(static_cast<HWND>(handle_of(hwnd))) != FALSE;
    if (!read_now(*window))
        return;
    remember_change(state, hwnd, changed ? changed & attributes : attributes, window->now);
    hold_window(state, *window);
}

void take_person_record(keep_state &state, int64_t hwnd, uint32_t changed)
{
    // The record holds every attribute the person took over; only what this
    // change changed is remembered.
    const uint32_t attributes = kestal_changed_by_hand(handle_of(hwnd), state.pid);
    if (attributes)
        take_person_change(state, hwnd, attributes, false, changed);
}

BOOL CALLBACK forget_person(HWND window, LPARAM keep_pid);

void reapply(keep_state &state, const std::vector<int64_t> &hwnds)
{
    // The records that commands of other consoles left go too, also on
    // windows whose change has not reached keep yet.
    if (hwnds.empty())
        EnumWindows(forget_person, static_cast<LPARAM>(state.pid));
    for (int64_t hwnd : hwnds)
        forget_person(static_cast<HWND>(handle_of(hwnd)), static_cast<LPARAM>(state.pid));
    for (window_record &window : state.windows) {
        if (!hwnds.empty() && std::find(hwnds.begin(), hwnds.end(), window.hwnd) == hwnds.end())
            continue;
        window.person = 0;
        window.person_told = 0;
        window.refused = 0;
        window.next_try = 0;
        if (read_now(window))
            hold_window(state, window);
    }
}

void wait_for_changes(keep_state &state, DWORD wait_ms)
{
    const ULONGLONG deadline = GetTickCount64() + wait_ms;
    const auto running = [&] {
        return state.hotkeys_running > 0 || std::any_of(state.windows.begin(), state.windows.end(),
                                                         [](const window_record &w) { return w.in_flight; });
    };
    while (running()) {
        const ULONGLONG now = GetTickCount64();
        if (now >= deadline)
            break;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, static_cast<DWORD>(deadline - now), QS_POSTMESSAGE);
        MSG message;
        while (PeekMessageW(&message, state.window, kChangeMadeMessage, kChangeMadeMessage, PM_REMOVE))
            take_change_result(state, message.lParam);
        while (PeekMessageW(&message, state.window, kHotkeyDoneMessage, kHotkeyDoneMessage, PM_REMOVE))
            take_hotkey_outcome(state, message.lParam);
    }
}

void name_unfinished_changes(keep_state &state)
{
    for (const window_record &window : state.windows) {
        if (!window.in_flight)
            continue;
        const std::string line = "error: " + std::to_string(window.hwnd) + " \"" + title_now(window) + "\" (" +
                                 window.exe +
                                 "): the window did not answer before keep stopped; what keep asked of it may still "
                                 "be made, and its marks stay: run kestal-cli reset once it answers";
        report_error(state, line);
        state.not_given_back.push_back(line);
    }
}

// The records of what a person changed while this keep ran, taken away when
// they go back to the rules and when keep stops.
BOOL CALLBACK forget_person(HWND window, LPARAM keep_pid)
{
    if (kestal_changed_by_hand(window, static_cast<uint32_t>(keep_pid)))
        kestal_forget_by_hand(window);
    return TRUE;
}

namespace {

int32_t give_back_window(void *hwnd, const void *, std::string &)
{
    return kestal_reset(hwnd);
}

} // namespace

void give_back(keep_state &state)
{
    std::vector<const window_record *> to_give_back;
    std::vector<window_job> jobs;
    for (const window_record &window : state.windows) {
        // Only what still carries kestal's marks has anything to give back:
        // a window that a person reset meanwhile has not.
        if (window.in_flight || (!holds_anything(window.applied) && !window.hotkey_changed && !window.busy_told) ||
            !kestal_carries_marks(handle_of(window.hwnd)))
            continue;
        DWORD pid = 0;
        const DWORD thread = GetWindowThreadProcessId(static_cast<HWND>(handle_of(window.hwnd)), &pid);
        if (pid != window.pid || (window.thread && thread != window.thread))
            continue;
        to_give_back.push_back(&window);
        jobs.push_back({window.hwnd, give_back_window, nullptr, 0, {}, {}});
    }
    run_side_by_side(jobs);
    for (size_t i = 0; i < jobs.size(); ++i) {
        const window_record &window = *to_give_back[i];
        if (jobs[i].result == 1) {
            yyjson_mut_doc *doc = yyjson_mut_doc_new(nullptr);
            keep_line(state, doc, window_object(doc, "given_back", window));
            continue;
        }
        const std::string what = later(jobs[i].failure.code)
                                     ? std::string(jobs[i].failure.text) +
                                           "; its marks stay: run kestal-cli reset once it answers"
                                     : std::string(jobs[i].failure.text);
        window_error(state, window, what);
        state.not_given_back.push_back("error: " + std::to_string(window.hwnd) + " \"" + title_now(window) + "\" (" +
                                       window.exe + "): " + what);
    }
    EnumWindows(forget_person, static_cast<LPARAM>(state.pid));
}

size_t kept_count(const keep_state &state)
{
    return static_cast<size_t>(std::count_if(state.windows.begin(), state.windows.end(), [](const window_record &w) {
        return holds_anything(w.applied) || w.hotkey_changed;
    }));
}

std::vector<HWND> pinned_by_keep(keep_state &state)
{
    std::vector<HWND> pinned;
    for (window_record &window : state.windows) {
        // Pinned through kestal while keep runs: by a rule, a hotkey, or a
        // command from another console; the pin mark tells kestal's pin from
        // the one a program gave itself.
        if (!window.listed || window.now.pin != 1 ||
            (window.applied.pin != 1 && !window.hotkey_changed && !(window.person & KESTAL_BY_HAND_PIN)))
            continue;
        HWND handle = static_cast<HWND>(handle_of(window.hwnd));
        // Asked once for each pin: the mark changes only with it.
        if (window.pin_mark < 0)
            window.pin_mark = kestal_carries_pin_mark(handle) ? 1 : 0;
        if (window.pin_mark)
            pinned.push_back(handle);
    }
    return pinned;
}
