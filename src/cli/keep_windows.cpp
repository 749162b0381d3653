// The windows that keep knows: the rules applied to each listing, each
// window's change made beside keep so that no window can hold it, and
// everything given back at the end.
#include <algorithm>
#include <iterator>

#include "console_text.h"
#include "keep_state.h"
#include "side_by_side.h"
#include "window_events.h"
#include "window_selector.h"

changed_window identity_of(int64_t hwnd)
{
    changed_window known = {hwnd, 0, 0, {}, {}};
    known.thread = GetWindowThreadProcessId(reinterpret_cast<HWND>(static_cast<intptr_t>(hwnd)), &known.pid);
    return known;
}

bool same_window(const changed_window &a, const changed_window &b)
{
    return a.hwnd == b.hwnd && a.pid == b.pid && a.thread == b.thread;
}

void remember(std::vector<changed_window> &windows, const changed_window &window)
{
    if (std::none_of(windows.begin(), windows.end(), [&](const changed_window &w) { return same_window(w, window); }))
        windows.push_back(window);
}

bool remembered(const std::vector<changed_window> &windows, const changed_window &window)
{
    return std::any_of(windows.begin(), windows.end(), [&](const changed_window &w) { return same_window(w, window); });
}

changed_window known_window(const keep_state &state, int64_t hwnd)
{
    changed_window known = identity_of(hwnd);
    for (const changed_window &listed : state.last_listed) {
        if (listed.hwnd == known.hwnd && listed.pid == known.pid) {
            known.title = listed.title;
            known.exe = listed.exe;
            break;
        }
    }
    return known;
}

namespace {

// The attributes that rules set, in the order of their lines.
struct attribute {
    const char *member;
    uint32_t by_hand;
    int32_t (*setter)(void *hwnd, int32_t value);
    bool as_bool;
};

constexpr attribute kAttributes[] = {
    {"pin", KESTAL_BY_HAND_PIN, kestal_set_topmost, true},
    {"opacity", KESTAL_BY_HAND_OPACITY, kestal_set_opacity, false},
    {"clickthrough", KESTAL_BY_HAND_CLICKTHROUGH, kestal_set_clickthrough, true},
};
constexpr size_t kAttributeCount = std::size(kAttributes);

// One window's change, made on a thread of its own and handed back to
// keep's window as kChangeMadeMessage.
struct change_job {
    HWND keep_window;
    changed_window window;
    int32_t wanted[kAttributeCount]; // -1 where nothing is to change
    bool tried[kAttributeCount];
    bool made[kAttributeCount];
    char error[KESTAL_ERROR_SIZE]; // the failure that stopped the change
};

DWORD WINAPI make_change(void *parameter)
{
    auto *job = static_cast<change_job *>(parameter);
    void *hwnd = reinterpret_cast<void *>(static_cast<intptr_t>(job->window.hwnd));
    kestal_capture_errors(job->error);
    for (size_t i = 0; i < kAttributeCount; ++i) {
        if (job->wanted[i] < 0)
            continue;
        job->tried[i] = true;
        job->made[i] = kAttributes[i].setter(hwnd, job->wanted[i]) == 1;
        if (!job->made[i])
            break;
    }
    kestal_capture_errors(nullptr);
    if (!PostMessageW(job->keep_window, kChangeMadeMessage, 0, reinterpret_cast<LPARAM>(job)))
        delete job;
    return 0;
}

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

// The window as a line names it: handle, title and exe.
yyjson_mut_val *window_object(yyjson_mut_doc *doc, const char *event, const changed_window &window)
{
    yyjson_mut_val *object = event_object(doc, event);
    yyjson_mut_obj_add_sint(doc, object, "hwnd", window.hwnd);
    yyjson_mut_obj_add_strcpy(doc, object, "title", window.title.c_str());
    yyjson_mut_obj_add_strcpy(doc, object, "exe", window.exe.c_str());
    return object;
}

// An error line about a window names it as the JSON lines do.
void window_error(keep_state &state, const changed_window &window, const std::string &what)
{
    report_error(state, "error: " + std::to_string(window.hwnd) + " \"" + window.title + "\" (" + window.exe +
                            "): " + what);
}

template <typename Entries> auto find_window(Entries &entries, const changed_window &window)
{
    return std::find_if(entries.begin(), entries.end(),
                        [&](const auto &entry) { return same_window(entry.window, window); });
}

// Says once per window and attribute that the rules leave to the person
// what the person changed.
void tell_left_to_person(keep_state &state, const changed_window &window, uint32_t attributes)
{
    auto told = find_window(state.told, window);
    if (told == state.told.end()) {
        state.told.push_back({window, 0});
        told = state.told.end() - 1;
    }
    for (const attribute &a : kAttributes) {
        if (!(attributes & a.by_hand) || (told->attributes & a.by_hand))
            continue;
        told->attributes |= a.by_hand;
        yyjson_mut_doc *doc = yyjson_mut_doc_new(nullptr);
        yyjson_mut_val *object = window_object(doc, "left_alone", window);
        yyjson_mut_obj_add_str(doc, object, "member", a.member);
        yyjson_mut_obj_add_str(doc, object, "reason", "changed by hand");
        keep_line(state, doc, object);
    }
}

// Gives a window what the rules want of it and it lacks, beside keep: a
// window whose program does not answer holds only its own change. What a
// person changed by hand is left to that person while this keep runs.
void keep_window(keep_state &state, const kestal_window &listed, changed_window window)
{
    const rule_actions wanted = wanted_of(state.rules, listed);
    const int32_t wanted_values[kAttributeCount] = {wanted.pin, wanted.opacity, wanted.clickthrough};
    const int32_t now[kAttributeCount] = {listed.pinned, listed.opacity, listed.clickthrough};
    bool any = false;
    for (size_t i = 0; i < kAttributeCount; ++i)
        any = any || (wanted_values[i] >= 0 && wanted_values[i] != now[i]);
    // Asked only when there is something to do, so that windows that are
    // as the rules want them cost nothing more.
    if (!any)
        return;
    // The thread is asked for only here, so that a listing costs no more
    // requests than the census made.
    window.thread = GetWindowThreadProcessId(reinterpret_cast<HWND>(static_cast<intptr_t>(window.hwnd)), nullptr);
    if (remembered(state.in_flight, window) || remembered(state.refused, window))
        return;
    auto busy = find_window(state.busy, window);
    if (busy != state.busy.end() && GetTickCount64() < busy->next_try)
        return;
    void *hwnd = reinterpret_cast<void *>(static_cast<intptr_t>(window.hwnd));
    const uint32_t by_hand = kestal_changed_by_hand(hwnd, state.pid);
    auto *job = new (std::nothrow) change_job{state.window, window, {-1, -1, -1}, {}, {}, "no error"};
    if (!job)
        return;
    bool to_change = false;
    uint32_t left_alone = 0;
    for (size_t i = 0; i < kAttributeCount; ++i) {
        if (wanted_values[i] < 0 || wanted_values[i] == now[i])
            continue;
        if (by_hand & kAttributes[i].by_hand) {
            left_alone |= kAttributes[i].by_hand;
            continue;
        }
        job->wanted[i] = wanted_values[i];
        to_change = true;
    }
    if (left_alone)
        tell_left_to_person(state, window, left_alone);
    if (!to_change) {
        delete job;
        return;
    }
    HANDLE thread = CreateThread(nullptr, 0, make_change, job, 0, nullptr);
    if (!thread) {
        window_error(state, window, "no thread could be started for the change (win32 error " +
                                        std::to_string(GetLastError()) + "); keep tries again with the next listing");
        delete job;
        return;
    }
    CloseHandle(thread);
    state.in_flight.push_back(window);
}

// Windows that do not answer are asked again after 1 s, then 2, 4 and so
// on up to 30 s, for as long as they are open.
constexpr DWORD kFirstPauseMs = 1000;
constexpr DWORD kLongestPauseMs = 30000;

bool not_answering(const char *error)
{
    return std::string_view(error).find("(win32 error 1460)") != std::string_view::npos;
}

void note_failure(keep_state &state, const change_job &job)
{
    auto busy = find_window(state.busy, job.window);
    if (!not_answering(job.error)) {
        // A lasting reason (per-pixel alpha, a program run as
        // administrator, a class that cannot be layered): said once.
        if (busy != state.busy.end())
            state.busy.erase(busy);
        window_error(state, job.window, job.error);
        remember(state.refused, job.window);
        return;
    }
    if (busy == state.busy.end()) {
        window_error(state, job.window,
                     std::string(job.error) + "; keep asks again while the window is open");
        state.busy.push_back({job.window, GetTickCount64() + kFirstPauseMs, kFirstPauseMs});
        return;
    }
    busy->pause_ms = std::min(busy->pause_ms * 2, kLongestPauseMs);
    busy->next_try = GetTickCount64() + busy->pause_ms;
}

} // namespace

void take_change_result(keep_state &state, LPARAM result)
{
    auto *job = reinterpret_cast<change_job *>(result);
    auto in_flight = std::find_if(state.in_flight.begin(), state.in_flight.end(),
                                  [&](const changed_window &w) { return same_window(w, job->window); });
    if (in_flight != state.in_flight.end())
        state.in_flight.erase(in_flight);
    bool failed = false;
    for (size_t i = 0; i < kAttributeCount; ++i) {
        if (!job->tried[i])
            continue;
        if (!job->made[i]) {
            failed = true;
            continue;
        }
        remember(state.changed, job->window);
        yyjson_mut_doc *doc = yyjson_mut_doc_new(nullptr);
        yyjson_mut_val *object = window_object(doc, "applied", job->window);
        yyjson_mut_obj_add_val(doc, object, kAttributes[i].member,
                               kAttributes[i].as_bool ? yyjson_mut_bool(doc, job->wanted[i] != 0)
                                                      : yyjson_mut_sint(doc, job->wanted[i]));
        keep_line(state, doc, object);
    }
    if (failed) {
        note_failure(state, *job);
    } else {
        auto busy = find_window(state.busy, job->window);
        if (busy != state.busy.end())
            state.busy.erase(busy);
    }
    delete job;
}

bool apply_rules(keep_state &state)
{
    const kestal_window *windows = nullptr;
    const int32_t count = kestal_census(0, &windows);
    if (count < 0) {
        report_error(state, std::string("error: ") + kestal_last_error());
        return false;
    }
    // The census is replaced by the next one, so the windows are copied out
    // first, with the names that keep's lines give them.
    publish_listed(windows, count);
    const std::vector<kestal_window> listed(windows, windows + count);
    state.last_listed.clear();
    for (const kestal_window &window : listed)
        state.last_listed.push_back({window.hwnd, static_cast<DWORD>(window.pid), 0, window.title, window.exe});
    state.listed_pinned.clear();
    for (const kestal_window &window : listed) {
        if (window.pinned)
            state.listed_pinned.push_back(window.hwnd);
    }
    for (size_t i = 0; i < listed.size(); ++i)
        keep_window(state, listed[i], state.last_listed[i]);
    // What keep knows of windows that have closed is of no more use.
    auto closed = [&](const auto &entry) { return !same_window(entry.window, identity_of(entry.window.hwnd)); };
    state.busy.erase(std::remove_if(state.busy.begin(), state.busy.end(), closed), state.busy.end());
    state.told.erase(std::remove_if(state.told.begin(), state.told.end(), closed), state.told.end());
    return true;
}

void wait_for_changes(keep_state &state, DWORD wait_ms)
{
    const ULONGLONG deadline = GetTickCount64() + wait_ms;
    while (!state.in_flight.empty()) {
        const ULONGLONG now = GetTickCount64();
        if (now >= deadline)
            break;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, static_cast<DWORD>(deadline - now), QS_POSTMESSAGE);
        MSG message;
        while (PeekMessageW(&message, state.window, kChangeMadeMessage, kChangeMadeMessage, PM_REMOVE))
            take_change_result(state, message.lParam);
    }
}

void name_unfinished_changes(keep_state &state)
{
    for (const changed_window &window : state.in_flight) {
        window_error(state, window,
                     "the window did not answer before keep stopped; what keep asked of it may still be made, and "
                     "its marks stay: run kestal-cli reset once it answers");
    }
}

namespace {

// The windows that a person changed while this keep ran are the rules' again
// once it has stopped.
BOOL CALLBACK forget_person(HWND window, LPARAM keep_pid)
{
    if (kestal_changed_by_hand(window, static_cast<uint32_t>(keep_pid)))
        kestal_forget_by_hand(window);
    return TRUE;
}

int32_t give_back_window(void *hwnd, const void *)
{
    return kestal_reset(hwnd);
}

} // namespace

void give_back(keep_state &state)
{
    std::vector<changed_window> to_give_back;
    std::vector<window_job> jobs;
    // A window that keep gave up on may have taken the change since.
    for (const busy_window &busy : state.busy)
        remember(state.changed, busy.window);
    for (const changed_window &window : state.changed) {
        void *hwnd = reinterpret_cast<void *>(static_cast<intptr_t>(window.hwnd));
        // Only what still carries kestal's marks has anything to give back:
        // a window that a person reset meanwhile has not.
        if (!same_window(window, identity_of(window.hwnd)) || remembered(state.in_flight, window) ||
            !kestal_carries_marks(hwnd))
            continue;
        to_give_back.push_back(window);
        jobs.push_back({window.hwnd, give_back_window, nullptr, 0, 0, "no error"});
    }
    run_side_by_side(jobs);
    for (size_t i = 0; i < jobs.size(); ++i) {
        if (jobs[i].result == 1) {
            yyjson_mut_doc *doc = yyjson_mut_doc_new(nullptr);
            keep_line(state, doc, window_object(doc, "given_back", to_give_back[i]));
        } else if (not_answering(jobs[i].error)) {
            window_error(state, to_give_back[i],
                         std::string(jobs[i].error) + "; its marks stay: run kestal-cli reset once it answers");
        } else {
            window_error(state, to_give_back[i], jobs[i].error);
        }
    }
    state.changed.clear();
    EnumWindows(forget_person, static_cast<LPARAM>(state.pid));
}
