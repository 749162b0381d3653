// The census of visible top-level windows and its JSON text.
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string_view>

#include "internal.h"
#include "listing_json.h"

namespace {

// One image-path query per process and listing, not one per window.
struct process_name {
    DWORD pid;
    char *exe;
};

constexpr int32_t kMaxWindows = 4096;
constexpr int kTitleChars = 1024;
constexpr int kPathChars = 1024;
// DWMWA_CLOAKED: newer than the SDK headers the cross build uses.
constexpr DWORD kDwmCloakedAttribute = 14;

} // namespace

// Static so that a listing allocates nothing per window beyond its strings.
// Titles belong to the table, exe names to the process cache.
static listing_entry g_list[kMaxWindows];
static int32_t g_list_len = 0;
static process_name g_processes[kMaxWindows];
static int32_t g_processes_len = 0;
static DWORD g_own_pid = 0;

static void release_table()
{
    for (int32_t i = 0; i < g_list_len; ++i)
        free(g_list[i].title);
    g_list_len = 0;
    for (int32_t i = 0; i < g_processes_len; ++i)
        free(g_processes[i].exe);
    g_processes_len = 0;
}

// UTF-8 copy of a UTF-16 text on the C heap; null for an empty text or when
// memory runs out, which the listing shows as "".
static char *utf8_copy(const wchar_t *text, int chars)
{
    int bytes = WideCharToMultiByte(CP_UTF8, 0, text, chars, nullptr, 0, nullptr, nullptr);
    if (bytes <= 0)
        return nullptr;
    char *copy = static_cast<char *>(malloc(static_cast<size_t>(bytes) + 1));
    if (!copy)
        return nullptr;
    WideCharToMultiByte(CP_UTF8, 0, text, chars, copy, bytes, nullptr, nullptr);
    copy[bytes] = '\0';
    return copy;
}

static char *file_name_copy(const wchar_t *path, int chars)
{
    std::wstring_view whole(path, static_cast<size_t>(chars));
    size_t slash = whole.rfind(L'\\');
    std::wstring_view name = slash == std::wstring_view::npos ? whole : whole.substr(slash + 1);
    return utf8_copy(name.data(), static_cast<int>(name.size()));
}

static bool is_shell_window(HWND window)
{
    wchar_t class_name[64];
    int length = GetClassNameW(window, class_name, static_cast<int>(std::size(class_name)));
    std::wstring_view name(class_name, length > 0 ? static_cast<size_t>(length) : 0);
    return name == L"Progman" || name == L"WorkerW";
}

static bool is_cloaked(HWND window)
{
    if (p_DwmIsWindowCloaked) {
        BOOL cloaked = FALSE;
        return p_DwmIsWindowCloaked(window, &cloaked) && cloaked;
    }
    if (p_DwmGetWindowAttribute) {
        DWORD cloaked = 0;
        return p_DwmGetWindowAttribute(window, kDwmCloakedAttribute, &cloaked, sizeof cloaked) == S_OK && cloaked;
    }
    return false;
}

static int32_t opacity_of(HWND window, LONG_PTR style)
{
    if (!(style & WS_EX_LAYERED))
        return 100;
    COLORREF colour_key = 0;
    BYTE alpha = 255;
    DWORD flags = 0;
    // A colour-keyed window without LWA_ALPHA is drawn fully opaque.
    if (!GetLayeredWindowAttributes(window, &colour_key, &alpha, &flags) || !(flags & LWA_ALPHA))
        return 100;
    return percent_from_alpha(alpha);
}

static char *title_of(HWND window)
{
    wchar_t title[kTitleChars];
    int chars = GetWindowTextW(window, title, static_cast<int>(std::size(title)));
    // A long title is cut to the buffer; never between the halves of a pair.
    if (chars == kTitleChars - 1 && IS_HIGH_SURROGATE(title[chars - 1]))
        --chars;
    return chars > 0 ? utf8_copy(title, chars) : nullptr;
}

static char *query_exe(DWORD pid)
{
    wchar_t path[kPathChars];
    if (pid == g_own_pid) {
        DWORD chars = GetModuleFileNameW(nullptr, path, static_cast<DWORD>(std::size(path)));
        return chars > 0 && chars < std::size(path) ? file_name_copy(path, static_cast<int>(chars)) : nullptr;
    }

    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    if (!process)
        return nullptr;
    char *exe = nullptr;
    if (QueryFullProcessImageNameW_fn query = image_name_query()) {
        DWORD chars = static_cast<DWORD>(std::size(path));
        if (query(process, 0, path, &chars) && chars > 0)
            exe = file_name_copy(path, static_cast<int>(chars));
    }
    CloseHandle(process);
    return exe;
}

static const char *exe_of(HWND window)
{
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    if (pid == 0)
        return nullptr;
    for (int32_t i = 0; i < g_processes_len; ++i) {
        if (g_processes[i].pid == pid)
            return g_processes[i].exe;
    }
    // Each process enters the cache with a recorded window, so the cache
    // never holds more processes than the table holds windows.
    char *exe = query_exe(pid);
    g_processes[g_processes_len++] = {pid, exe};
    return exe;
}

static void capture(HWND window)
{
    if (is_shell_window(window) || is_cloaked(window))
        return;
    LONG_PTR style = style_read(window);
    int32_t opacity = opacity_of(window, style);
    char *title = title_of(window);
    const char *exe = exe_of(window);
    g_list[g_list_len++] = {static_cast<int64_t>(reinterpret_cast<intptr_t>(window)), title, exe,
                            (style & WS_EX_TOPMOST) != 0, opacity};
}

static BOOL CALLBACK enum_cb(HWND window, LPARAM)
{
    // A full table records no more windows, so the rest are not queried.
    if (g_list_len < kMaxWindows && IsWindowVisible(window))
        capture(window);
    return TRUE;
}

static char *empty_array()
{
    static constexpr char kEmpty[] = "[]";
    char *copy = static_cast<char *>(malloc(sizeof kEmpty));
    if (copy)
        memcpy(copy, kEmpty, sizeof kEmpty);
    return copy;
}

static char *list_windows()
{
    kswin_init();
    release_table();
    g_own_pid = GetCurrentProcessId();
    if (!EnumWindows(enum_cb, 0)) {
        set_error_win32("EnumWindows");
        return empty_array();
    }

    const char *failure = nullptr;
    char *text = listing_json(g_list, g_list_len, &failure);
    if (!text) {
        set_error("%s", failure);
        text = empty_array();
    }
    release_table();
    return text;
}

extern "C" KESTAL_API char *kestal_list(void)
{
    if (!enter_library())
        return nullptr;
    char *text = list_windows();
    leave_library();
    return text;
}

extern "C" KESTAL_API void kestal_free_string(char *text)
{
    if (!enter_library())
        return;
    free(text);
    leave_library();
}
