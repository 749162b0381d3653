// What a running keep shows: a border around each window that it pinned,
// and its icon with a tooltip that says what it does.
#include "keep_face.h"

#include <algorithm>

#include "keep_border.h"
#include "keep_tray.h"
#include "wide_text.h"

namespace {

// The tooltip holds 127 characters; a long file name keeps its end.
constexpr size_t kLongestName = 60;

bool listed(const keep_state &state, const changed_window &window)
{
    return std::any_of(state.last_listed.begin(), state.last_listed.end(), [&](const changed_window &w) {
        return w.hwnd == window.hwnd && w.pid == window.pid;
    });
}

// Only the windows that this keep pinned, by a rule or a hotkey, and that
// the listing showed pinned, are asked anything: one property read each.
std::vector<HWND> pinned_by_keep(const keep_state &state)
{
    std::vector<HWND> pinned;
    for (const changed_window &window : state.changed) {
        if (std::find(state.listed_pinned.begin(), state.listed_pinned.end(), window.hwnd) ==
                state.listed_pinned.end() ||
            !listed(state, window))
            continue;
        HWND handle = reinterpret_cast<HWND>(static_cast<intptr_t>(window.hwnd));
        if (kestal_carries_pin_mark(handle))
            pinned.push_back(handle);
    }
    return pinned;
}

std::wstring tip_of(const keep_state &state)
{
    std::wstring name = full_path(widen(state.path));
    name = name.substr(name.find_last_of(L"\\/") + 1);
    if (name.size() > kLongestName)
        name = L"\u2026" + name.substr(name.size() - kLongestName + 1);
    const size_t kept = state.changed.size();
    return std::wstring(state.paused ? L"kestal keep is paused: " : L"kestal keep runs: ") + name + L", " +
           std::to_wstring(kept) + (kept == 1 ? L" window kept" : L" windows kept");
}

} // namespace

void update_face(keep_state &state)
{
    // A window that closed has nothing to give back; one that is only
    // hidden stays.
    auto closed = [&](const changed_window &window) {
        return !listed(state, window) && !same_window(window, identity_of(window.hwnd));
    };
    state.changed.erase(std::remove_if(state.changed.begin(), state.changed.end(), closed), state.changed.end());

    const keep_border &border = state.rules.border;
    show_borders(border.shown && !state.paused ? pinned_by_keep(state) : std::vector<HWND>{}, border);
    if (!state.rules.tray) {
        end_tray();
        return;
    }
    set_tray_state(tip_of(state), state.paused);
    show_tray(state.window, state.path, state.log_path, border);
}

void end_face()
{
    end_borders();
    end_tray();
}
