// Placing the windows that open while keep runs, as its rules say: first on
// their monitor, then at their snap position there.
#include "keep_places.h"

#include <algorithm>
#include <memory>
#include <string>
#include <utility>

#include "keep_lines.h"
#include "keep_windows.h"
#include "monitor_commands.h"

namespace {

// One window's placement, made on a thread of its own and handed back.
struct placement_job {
    HWND keep_window;
    window_record window; // its handle and names, for its lines
    rule_placement wanted;
    bool placed;
    kestal_failure failure;
};

DWORD WINAPI place_now(void *parameter)
{
    auto *job = static_cast<placement_job *>(parameter);
    void *hwnd = reinterpret_cast<void *>(static_cast<intptr_t>(job->window.hwnd));
    kestal_capture_failures(&job->failure);
    job->placed = (job->wanted.monitor < 0 || kestal_send_window(hwnd, job->wanted.monitor) == 1) &&
                  (job->wanted.snap < 0 || kestal_snap_window(hwnd, job->wanted.snap) == 1);
    kestal_capture_failures(nullptr);
    if (!PostMessageW(job->keep_window, kPlacedMessage, 0, reinterpret_cast<LPARAM>(job)))
        delete job;
    return 0;
}

// Where the rules put the window: a later rule wins over an earlier one.
rule_placement placement_of(const keep_rules &rules, const kestal_window &window)
{
    rule_placement wanted;
    for (const keep_rule &rule : rules.rules) {
        if (!rule_matches(rule, window))
            continue;
        if (rule.placement.monitor >= 0)
            wanted.monitor = rule.placement.monitor;
        if (rule.placement.snap >= 0)
            wanted.snap = rule.placement.snap;
    }
    return wanted;
}

void start_placement(keep_state &state, const kestal_window &entry, const rule_placement &wanted)
{
    auto job = std::unique_ptr<placement_job>(new (std::nothrow) placement_job{state.window, {}, wanted, false, {}});
    if (!job)
        return;
    job->window.hwnd = entry.hwnd;
    job->window.pid = entry.pid;
    job->window.title = entry.title;
    job->window.exe = entry.exe;
    HANDLE thread = CreateThread(nullptr, 0, place_now, job.get(), 0, nullptr);
    if (!thread) {
        window_error(state, job->window,
                     "no thread could be started to place it (win32 error " + std::to_string(GetLastError()) +
                         "); it stays where it opened");
        return;
    }
    job.release();
    CloseHandle(thread);
}

} // namespace

void place_new_windows(keep_state &state, const kestal_window *listed, int32_t count)
{
    std::vector<std::pair<int64_t, DWORD>> done;
    std::sort(state.placed.begin(), state.placed.end());
    for (int32_t i = 0; i < count; ++i) {
        const std::pair<int64_t, DWORD> window = {listed[i].hwnd, listed[i].pid};
        if (state.listed_once && !std::binary_search(state.placed.begin(), state.placed.end(), window)) {
            // A window that no rule places yet may come into one as it takes its title.
            const rule_placement wanted = placement_of(state.rules, listed[i]);
            if (wanted.monitor < 0 && wanted.snap < 0)
                continue;
            if (!state.paused)
                start_placement(state, listed[i], wanted);
        }
        done.push_back(window);
    }
    // Only the windows listed now: one that closes takes its record along.
    state.placed = std::move(done);
    state.listed_once = true;
}

void take_placement(keep_state &state, LPARAM placement)
{
    const std::unique_ptr<placement_job> job(reinterpret_cast<placement_job *>(placement));
    if (!job->placed) {
        window_error(state, job->window, std::string(job->failure.text) + "; it stays where it opened");
        return;
    }
    yyjson_mut_doc *doc = yyjson_mut_doc_new(nullptr);
    yyjson_mut_val *object = window_object(doc, "applied", job->window);
    if (job->wanted.monitor >= 0)
        yyjson_mut_obj_add_int(doc, object, "monitor", job->wanted.monitor);
    if (job->wanted.snap >= 0)
        yyjson_mut_obj_add_strncpy(doc, object, "snap", snap_position_word(job->wanted.snap).data(),
                                   snap_position_word(job->wanted.snap).size());
    keep_line(state, doc, object);
}
