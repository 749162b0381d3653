// The comparison of two successive listings.
#include "watch_changes.h"

#include <algorithm>
#include <string_view>

namespace {

// The members that a window can change while it stays the same window, in
// the order of its object; the second group only where the object is long.
struct member {
    std::string_view name;
    bool is_long;
    bool (*differs)(const kept_window &a, const kept_window &b);
};

constexpr member kMembers[] = {
    {"title", false, [](const kept_window &a, const kept_window &b) { return a.title != b.title; }},
    {"pinned", false, [](const kept_window &a, const kept_window &b) { return a.pinned != b.pinned; }},
    {"opacity", false, [](const kept_window &a, const kept_window &b) { return a.opacity != b.opacity; }},
    {"x", true, [](const kept_window &a, const kept_window &b) { return a.x != b.x; }},
    {"y", true, [](const kept_window &a, const kept_window &b) { return a.y != b.y; }},
    {"width", true, [](const kept_window &a, const kept_window &b) { return a.width != b.width; }},
    {"height", true, [](const kept_window &a, const kept_window &b) { return a.height != b.height; }},
    {"state", true, [](const kept_window &a, const kept_window &b) { return a.state != b.state; }},
    {"foreground", true, [](const kept_window &a, const kept_window &b) { return a.foreground != b.foreground; }},
    {"clickthrough", true,
     [](const kept_window &a, const kept_window &b) { return a.clickthrough != b.clickthrough; }},
    {"monitor", true, [](const kept_window &a, const kept_window &b) { return a.monitor != b.monitor; }},
};

kept_window kept(const kestal_window &window)
{
    return {window.hwnd, window.title, window.exe, window.class_name, window.pinned, window.opacity, window.pid,
            window.x, window.y, window.width, window.height, window.state, window.foreground, window.clickthrough,
            window.monitor};
}

// A handle value that now names a window of another process or class is
// another window: the old one closed and a new one opened.
bool same_window(const kept_window &a, const kept_window &b)
{
    return a.pid == b.pid && a.exe == b.exe && a.class_name == b.class_name;
}

// The window with this handle, found through `order`, the windows' indexes sorted by handle.
const kept_window *find_window(const std::vector<kept_window> &windows, const std::vector<size_t> &order,
                               int64_t hwnd)
{
    auto at = std::lower_bound(order.begin(), order.end(), hwnd,
                               [&](size_t index, int64_t wanted) { return windows[index].hwnd < wanted; });
    return at != order.end() && windows[*at].hwnd == hwnd ? &windows[*at] : nullptr;
}

void sort_by_handle(const std::vector<kept_window> &windows, std::vector<size_t> &order)
{
    order.resize(windows.size());
    for (size_t i = 0; i < order.size(); ++i)
        order[i] = i;
    std::sort(order.begin(), order.end(), [&](size_t a, size_t b) { return windows[a].hwnd < windows[b].hwnd; });
}

bool window_line(std::vector<std::string> &lines, const char *event, const kestal_window &window, uint32_t options,
                 const std::string &changed)
{
    char *object = kestal_window_json(&window, options);
    if (!object)
        return false;
    lines.push_back(std::string("{\"event\":\"") + event + "\",\"window\":" + object + changed + "}\n");
    kestal_free_string(object);
    return true;
}

} // namespace

bool listing_changes(watch_state &state, const kestal_window *windows, int32_t count,
                     std::vector<std::string> &lines)
{
    state.next.clear();
    for (int32_t i = 0; i < count; ++i)
        state.next.push_back(kept(windows[i]));

    sort_by_handle(state.next, state.next_order);
    // Windows that left come first, so that a reused handle reads as closed, then opened.
    for (const kept_window &old : state.last) {
        const kept_window *now = find_window(state.next, state.next_order, old.hwnd);
        if (!now || !same_window(*now, old))
            lines.push_back("{\"event\":\"closed\",\"hwnd\":" + std::to_string(old.hwnd) + "}\n");
    }
    const bool is_long = (state.options & KESTAL_JSON_LONG) != 0;
    for (int32_t i = 0; i < count; ++i) {
        const kept_window &now = state.next[static_cast<size_t>(i)];
        const kept_window *before = find_window(state.last, state.last_order, now.hwnd);
        if (!before || !same_window(*before, now)) {
            if (!window_line(lines, "opened", windows[i], state.options, ""))
                return false;
            continue;
        }
        std::string changed;
        for (const member &m : kMembers) {
            if ((!m.is_long || is_long) && m.differs(*before, now))
                changed += std::string(changed.empty() ? "" : ",") + "\"" + std::string(m.name) + "\"";
        }
        if (!changed.empty() && !window_line(lines, "changed", windows[i], state.options, ",\"changed\":[" + changed + "]"))
            return false;
    }

    std::swap(state.last, state.next);
    std::swap(state.last_order, state.next_order);
    return true;
}
