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
constexpr DWORD kPathChars = 1024;
// The longest path that Windows' file functions accept.
constexpr DWORD kLongestPathChars = 32768;
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

// GetWindowTextW asks a window of the calling process for its text with a
// message, which waits until the owning thread takes it: a host whose UI
// thread is busy, or waits for the thread that lists, would hang the listing.
// The system keeps every window's text, and reading it there asks no thread.
static bool owned_by_other_thread_of_this_process(HWND window)
{
    DWORD pid = 0;
    DWORD thread = GetWindowThreadProcessId(window, &pid);
    return pid == g_own_pid && thread != GetCurrentThreadId();
}

static char *title_of(HWND window)
{
    wchar_t title[kTitleChars];
    int chars = owned_by_other_thread_of_this_process(window)
                    ? InternalGetWindowText(window, title, static_cast<int>(std::size(title)))
                    : GetWindowTextW(window, title, static_cast<int>(std::size(title)));
    // A long title is cut to the buffer; never between the halves of a pair.
    if (chars == kTitleChars - 1 && IS_HIGH_SURROGATE(title[chars - 1]))
        --chars;
    return chars > 0 ? utf8_copy(title, chars) : nullptr;
}

// The file name of an image path that `read_path(buffer, capacity)` writes,
// returning its length, or 0 with the system's error code. A path too long
// for the usual buffer is read once more into one that fits any path, on the
// heap: the listing runs on a host's thread, whose stack may be small.
template <typename ReadPath> static char *exe_name_from(ReadPath read_path)
{
    wchar_t path[kPathChars];
    SetLastError(ERROR_SUCCESS);
    DWORD chars = read_path(path, kPathChars);
    if (chars > 0)
        return file_name_copy(path, static_cast<int>(chars));
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER)
        return nullptr;
    auto *long_path = static_cast<wchar_t *>(malloc(kLongestPathChars * sizeof(wchar_t)));
    if (!long_path)
        return nullptr;
    chars = read_path(long_path, kLongestPathChars);
    char *exe = chars > 0 ? file_name_copy(long_path, static_cast<int>(chars)) : nullptr;
    free(long_path);
    return exe;
}

static char *query_exe(DWORD pid)
{
    if (pid == g_own_pid) {
        return exe_name_from([](wchar_t *path, DWORD capacity) -> DWORD {
            DWORD chars = GetModuleFileNameW(nullptr, path, capacity);
            // A cut path fills the buffer; systems before Vista say so with no error code.
            if (chars >= capacity) {
                SetLastError(ERROR_INSUFFICIENT_BUFFER);
                return 0;
            }
            return chars;
        });
    }

    QueryFullProcessImageNameW_fn query = image_name_query();
    if (!query)
        return nullptr;
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    if (!process)
        return nullptr;
    char *exe = exe_name_from([&](wchar_t *path, DWORD capacity) -> DWORD {
        DWORD chars = capacity;
        return query(process, 0, path, &chars) ? chars : 0;
    });
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
