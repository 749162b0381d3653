// The monitors: their places, work areas and scales, numbered in one order
// for the listing, the `monitors` command and the verbs that take a number.
#include "monitors.h"

#include <algorithm>
#include <climits>
#include <cstring>

#include "listing_json.h"

namespace {

constexpr int kEffectiveDpi = 0; // MDT_EFFECTIVE_DPI

struct enumeration {
    HMONITOR found[KESTAL_MAX_MONITORS];
    int32_t count;
};

BOOL CALLBACK collect(HMONITOR monitor, HDC, RECT *, LPARAM context)
{
    auto &listed = *reinterpret_cast<enumeration *>(context);
    if (listed.count < KESTAL_MAX_MONITORS)
        listed.found[listed.count++] = monitor;
    return TRUE;
}

// The system's scale of the screen, for systems without a scale per monitor.
int32_t system_dpi()
{
    HDC screen = GetDC(nullptr);
    const int dpi = screen ? GetDeviceCaps(screen, LOGPIXELSX) : 96;
    if (screen)
        ReleaseDC(nullptr, screen);
    return dpi > 0 ? dpi : 96;
}

bool describe(HMONITOR handle, kestal_monitor &facts)
{
    MONITORINFOEXW info = {};
    info.cbSize = sizeof info;
    if (!GetMonitorInfoW(handle, &info))
        return false;
    facts = {};
    WideCharToMultiByte(CP_UTF8, 0, info.szDevice, -1, facts.device, sizeof facts.device - 1, nullptr, nullptr);
    facts.x = info.rcMonitor.left;
    facts.y = info.rcMonitor.top;
    facts.width = info.rcMonitor.right - info.rcMonitor.left;
    facts.height = info.rcMonitor.bottom - info.rcMonitor.top;
    facts.work_x = info.rcWork.left;
    facts.work_y = info.rcWork.top;
    facts.work_width = info.rcWork.right - info.rcWork.left;
    facts.work_height = info.rcWork.bottom - info.rcWork.top;
    facts.primary = (info.dwFlags & MONITORINFOF_PRIMARY) ? 1 : 0;
    UINT dpi_x = 0, dpi_y = 0;
    const GetDpiForMonitor_fn dpi_of = monitor_dpi_query();
    facts.dpi = dpi_of && dpi_of(handle, kEffectiveDpi, &dpi_x, &dpi_y) == S_OK && dpi_x > 0
                    ? static_cast<int32_t>(dpi_x)
                    : system_dpi();
    return true;
}

// The primary first, then from left to right and top to bottom: the same
// numbers at every call while the monitors stay where they are.
bool comes_before(const monitor_place &a, const monitor_place &b)
{
    if (a.facts.primary != b.facts.primary)
        return a.facts.primary > b.facts.primary;
    if (a.facts.x != b.facts.x)
        return a.facts.x < b.facts.x;
    if (a.facts.y != b.facts.y)
        return a.facts.y < b.facts.y;
    return strcmp(a.facts.device, b.facts.device) < 0;
}

} // namespace

int32_t monitor_table(monitor_place (&table)[KESTAL_MAX_MONITORS])
{
    enumeration listed = {};
    if (!EnumDisplayMonitors(nullptr, nullptr, collect, reinterpret_cast<LPARAM>(&listed)) || listed.count == 0) {
        set_error(KESTAL_FAILURE_OTHER, "EnumDisplayMonitors found no monitor (win32 error %lu): is a display attached?",
                  GetLastError());
        return -1;
    }
    int32_t count = 0;
    for (int32_t i = 0; i < listed.count; ++i) {
        if (describe(listed.found[i], table[count].facts))
            table[count++].handle = listed.found[i];
    }
    std::sort(table, table + count, comes_before);
    for (int32_t i = 0; i < count; ++i)
        table[i].facts.number = i + 1;
    return count;
}

int32_t monitor_index(const monitor_place *table, int32_t count, HMONITOR monitor)
{
    for (int32_t i = 0; i < count; ++i) {
        if (table[i].handle == monitor)
            return i;
    }
    return -1;
}

int32_t monitor_holding(const monitor_place *table, int32_t count, const RECT &rect)
{
    int32_t holder = -1;
    long long most = 0, nearest = LLONG_MAX;
    for (int32_t i = 0; i < count; ++i) {
        const kestal_monitor &m = table[i].facts;
        const long long left = std::max<long long>(rect.left, m.x), right = std::min<long long>(rect.right, m.x + m.width);
        const long long top = std::max<long long>(rect.top, m.y), bottom = std::min<long long>(rect.bottom, m.y + m.height);
        if (right > left && bottom > top && (right - left) * (bottom - top) > most) {
            most = (right - left) * (bottom - top);
            holder = i;
        }
    }
    if (holder >= 0)
        return holder;
    for (int32_t i = 0; i < count; ++i) {
        const kestal_monitor &m = table[i].facts;
        const long long dx = std::max<long long>({0, m.x - static_cast<long long>(rect.right), rect.left - (static_cast<long long>(m.x) + m.width)});
        const long long dy = std::max<long long>({0, m.y - static_cast<long long>(rect.bottom), rect.top - (static_cast<long long>(m.y) + m.height)});
        if (dx * dx + dy * dy < nearest) {
            nearest = dx * dx + dy * dy;
            holder = i;
        }
    }
    return holder;
}

RECT work_area_of(const kestal_monitor &monitor)
{
    return {monitor.work_x, monitor.work_y, monitor.work_x + monitor.work_width, monitor.work_y + monitor.work_height};
}

int32_t kestal_monitors(kestal_monitor *monitors, int32_t room)
{
    if (!library_ready())
        return -1;
    monitor_place table[KESTAL_MAX_MONITORS];
    const dpi_scope scope = enter_physical_pixels();
    const int32_t count = monitor_table(table);
    leave_physical_pixels(scope);
    for (int32_t i = 0; i < count && i < room; ++i)
        monitors[i] = table[i].facts;
    return count;
}

char *kestal_monitors_json(const kestal_monitor *monitors, int32_t count)
{
    if (!library_ready())
        return nullptr;
    const char *failure = nullptr;
    return json_or_report(monitors_json(monitors, count, &failure), failure);
}
