#include "keep_face.h"

#include "keep_border.h"
#include "keep_tray.h"
#include "keep_windows.h"
#include "wide_text.h"
#include "keep_lines.h"
#include "keep_memory.h"

namespace {

// The tooltip holds 127 characters; a long file name keeps its end.
constexpr size_t kLongestName = 60;

// What the border thread was last given.
std::vector<HWND> g_bordered;
keep_border g_border_style;
bool g_borders_given = false;

bool same_style(const keep_border &a, const keep_border &b)
{
    return a.shown == b.shown && a.accent == b.accent && a.color == b.color && a.thickness == b.thickness;
}

std::wstring tip_of(const keep_state &state)
{
    std::wstring name = full_path(widen(state.path));
    name = name.substr(name.find_last_of(L"\\/") + 1);
    if (name.size() > kLongestName)
        name = L"\u2026" + name.substr(name.size() - kLongestName + 1);
    const size_t kept = kept_count(state);
    return std::wstring(state.paused ? L"kestal keep is paused: " : L"kestal keep runs: ") + name + L", " +
           std::to_wstring(kept) + (kept == 1 ? L" window kept" : L" windows kept");
}

} // namespace

void update_face(keep_state &state)
{
    const keep_border &border = state.rules.border;
    const std::vector<HWND> bordered =
        border.shown && !state.paused ? pinned_by_keep(state) : std::vector<HWND>{};
    if (!g_borders_given || bordered != g_bordered || !same_style(border, g_border_style)) {
        show_borders(bordered, border);
        g_bordered = bordered;
        g_border_style = border;
        g_borders_given = true;
    }
    if (!state.rules.tray) {
        end_tray();
        return;
    }
    set_tray_state(tip_of(state), state.paused);
    set_tray_remembered(remembered_names(state), state.remembered_version);
    show_tray(state.window, state.path, state.log_path, border);
}

void end_face()
{
    end_borders();
    end_tray();
    g_bordered.clear();
    g_borders_given = false;
}
