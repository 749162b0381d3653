// The census of visible top-level windows and its JSON text.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string_view>

#include "internal.h"
#include "listing_json.h"
#include "monitors.h"

namespace {

// What cannot change for a window's life, kept per handle from one census to
// the next so that a census repeated at an interval does not ask again. A
// handle value comes back only after the system's reuse counter for it has
// wrapped; the thread and process ids, read again at every census, catch
// such a window unless the same thread of the same process made it.
struct known_window {
    HWND window;
    DWORD pid;
    DWORD thread;
    char *class_name; // null until a census needs it
    char *exe;
    uint32_t round; // the census that last saw the window
    // A store app's frame: the app's process once its window is inside,
    // whose exe is then the frame's; 0 until then, and for other windows.
    DWORD app_pid;
};

constexpr int32_t kMaxWindows = 4096;
constexpr int kTitleChars = 1024;
constexpr DWORD kPathChars = 1024;
// The longest path that Windows' file functions accept.
constexpr DWORD kLongestPathChars = 32768;
// The longest class name the system registers, and its terminator.
constexpr int kClassChars = 257;
// DWMWA_CLOAKED: newer than the SDK headers the cross build uses.
constexpr DWORD kDwmCloakedAttribute = 14;
// The desktop shell's windows are a few: Progman and the WorkerW behind it;
// so are the frames of store apps.
constexpr int32_t kMaxShellWindows = 64;
constexpr int32_t kMaxAppFrames = 256;
constexpr int32_t kMaxBorders = 1024;
constexpr int32_t kMaxClassAtoms = 512;

// A class name found for a class atom in this census.
struct class_atom {
    ATOM atom;
    char *name;
};
char kNone[] = "";

} // namespace

// One census: the table it gives out and the facts kept per handle. A census
// is taken with no lock held, since reading a title sends a message to the
// caller's own windows, and a window procedure of the host may call the
// library again meanwhile; so each census works in a table of its own, and
// only the hand-over of the published one is made under the lock. Titles
// belong to the table; class and exe names to the known windows, which hold
// the windows of this census and of the one before.
struct census {
    kestal_window list[kMaxWindows];
    int32_t list_len;
    known_window known[2 * kMaxWindows];
    int32_t known_len;
    int32_t known_hint;
    uint32_t round;
    uint32_t facts;
    HWND foreground;
    DWORD own_pid;
    // Found once per census rather than asked of every window.
    HWND shell[kMaxShellWindows];
    int32_t shell_len;
    HWND frames[kMaxAppFrames];
    int32_t frames_len;
    HWND borders[kMaxBorders];
    int32_t borders_len;
    class_atom atoms[kMaxClassAtoms];
    int32_t atoms_len;
    // Cleared by the first answer that the DWM cannot give for any window.
    bool ask_cloak;
    // The monitors that number each window's, for a census with placement.
    monitor_place monitors[KESTAL_MAX_MONITORS];
    int32_t monitors_len;
};

// The census that kestal_census gave out last, with the facts that the next
// census may reuse; null while a census is being taken from it.
static census *g_census = nullptr;

static void release_owned(char *text)
{
    if (text != kNone)
        free(text);
}

static void release_table(census &taken)
{
    for (int32_t i = 0; i < taken.list_len; ++i)
        release_owned(const_cast<char *>(taken.list[i].title));
    taken.list_len = 0;
    for (int32_t i = 0; i < taken.atoms_len; ++i)
        release_owned(taken.atoms[i].name);
    taken.atoms_len = 0;
}

static void forget_window(known_window &known)
{
    if (known.class_name)
        release_owned(known.class_name);
    release_owned(known.exe);
}

// Keeps the known windows that this census saw, in their order.
static void forget_unseen(census &taken)
{
    int32_t kept = 0;
    for (int32_t i = 0; i < taken.known_len; ++i) {
        if (taken.known[i].round == taken.round)
            taken.known[kept++] = taken.known[i];
        else
            forget_window(taken.known[i]);
    }
    taken.known_len = kept;
    taken.known_hint = 0;
}

static void forget_all(census &taken)
{
    for (int32_t i = 0; i < taken.known_len; ++i)
        forget_window(taken.known[i]);
    taken.known_len = 0;
    taken.known_hint = 0;
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

// The top-level windows of a class, into `found`; how many.
static int32_t windows_of_class(const wchar_t *class_name, HWND *found, int32_t room)
{
    int32_t count = 0;
    HWND window = nullptr;
    while (count < room && (window = FindWindowExW(nullptr, window, class_name, nullptr)))
        found[count++] = window;
    return count;
}

// Progman and WorkerW are the desktop shell's own windows, not the user's,
// a store app's frame (ApplicationFrameWindow) belongs to the frame host,
// whichever app it holds, and a keep's borders are kestal's own drawing.
// They are found by class once per census, so that no window needs to be
// asked for its class to be told apart.
static void find_by_class(census &taken)
{
    taken.shell_len = windows_of_class(L"Progman", taken.shell, kMaxShellWindows);
    taken.shell_len += windows_of_class(L"WorkerW", taken.shell + taken.shell_len, kMaxShellWindows - taken.shell_len);
    taken.frames_len = windows_of_class(L"ApplicationFrameWindow", taken.frames, kMaxAppFrames);
    taken.borders_len = windows_of_class(KESTAL_BORDER_CLASS, taken.borders, kMaxBorders);
}

static bool is_among(const HWND *windows, int32_t count, HWND window)
{
    for (int32_t i = 0; i < count; ++i) {
        if (windows[i] == window)
            return true;
    }
    return false;
}

static bool is_shell_window(const census &taken, HWND window)
{
    return is_among(taken.shell, taken.shell_len, window);
}

static bool is_kestal_border(const census &taken, HWND window)
{
    return is_among(taken.borders, taken.borders_len, window);
}

static bool is_store_app_frame(const census &taken, HWND window)
{
    return is_among(taken.frames, taken.frames_len, window);
}

// A DWM that cannot tell whether one window is cloaked (E_NOTIMPL under
// Wine, E_INVALIDARG on systems that lack the attribute) cannot tell it for
// any: the rest of the census does not ask.
static bool is_cloaked(census &taken, HWND window)
{
    if (!taken.ask_cloak)
        return false;
    if (p_DwmIsWindowCloaked) {
        BOOL cloaked = FALSE;
        return p_DwmIsWindowCloaked(window, &cloaked) && cloaked;
    }
    if (p_DwmGetWindowAttribute) {
        DWORD cloaked = 0;
        const HRESULT answer = p_DwmGetWindowAttribute(window, kDwmCloakedAttribute, &cloaked, sizeof cloaked);
        if (answer == E_NOTIMPL || answer == E_INVALIDARG)
            taken.ask_cloak = false;
        return answer == S_OK && cloaked;
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
// The census has read the window's thread and process already.
static bool owned_by_other_thread_of_this_process(const census &taken, DWORD pid, DWORD thread)
{
    return pid == taken.own_pid && thread != GetCurrentThreadId();
}

static char *title_of(const census &taken, HWND window, DWORD pid, DWORD thread)
{
    wchar_t title[kTitleChars];
    int chars = owned_by_other_thread_of_this_process(taken, pid, thread)
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

static char *query_exe(const census &taken, DWORD pid)
{
    if (pid == taken.own_pid) {
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

// A heap copy, or kNone for "" and when memory runs out.
static char *text_copy(const char *text)
{
    if (!text || !*text)
        return kNone;
    const size_t bytes = strlen(text) + 1;
    char *copy = static_cast<char *>(malloc(bytes));
    if (!copy)
        return kNone;
    memcpy(copy, text, bytes);
    return copy;
}

static char *owned_or_none(char *text)
{
    return text ? text : kNone;
}

// A process's windows usually come one after another, so its exe is found
// among the windows this census has recorded before it is asked for.
static char *exe_for(const census &taken, DWORD pid)
{
    if (pid == 0)
        return kNone;
    for (int32_t i = taken.list_len - 1; i >= 0; --i) {
        if (taken.list[i].pid == pid)
            return text_copy(taken.list[i].exe);
    }
    return owned_or_none(query_exe(taken, pid));
}

// The class name by the class's atom, one request; the name itself is
// asked once per atom and census.
static char *class_of(census &taken, HWND window)
{
    const ATOM atom = static_cast<ATOM>(GetClassLongW(window, GCW_ATOM));
    for (int32_t i = 0; atom && i < taken.atoms_len; ++i) {
        if (taken.atoms[i].atom == atom)
            return text_copy(taken.atoms[i].name);
    }
    wchar_t name[kClassChars];
    const int chars = GetClassNameW(window, name, static_cast<int>(std::size(name)));
    char *found = chars > 0 ? owned_or_none(utf8_copy(name, chars)) : kNone;
    if (atom && found != kNone && taken.atoms_len < kMaxClassAtoms)
        taken.atoms[taken.atoms_len++] = {atom, text_copy(found)};
    return found;
}

// The window's kept facts when they are still its own; null for a window
// that is new, or whose handle now names another window. The search starts
// after the last window found, since the order changes little between two
// censuses.
static known_window *find_known(census &taken, HWND window, DWORD pid, DWORD thread)
{
    for (int32_t n = 0; n < taken.known_len; ++n) {
        const int32_t i = (taken.known_hint + n) % taken.known_len;
        known_window &known = taken.known[i];
        if (known.window != window)
            continue;
        if (thread != 0 && known.thread == thread && known.pid == pid) {
            taken.known_hint = i + 1;
            return &known;
        }
        // Another window under a recycled value: its facts go at the end of this census.
        known.window = nullptr;
        return nullptr;
    }
    return nullptr;
}

static known_window *remember(census &taken, HWND window, DWORD pid, DWORD thread)
{
    // The census before this one may still fill the room; what it saw and
    // this one has not seen yet can be asked again.
    if (taken.known_len == static_cast<int32_t>(std::size(taken.known)))
        forget_unseen(taken);
    known_window &known = taken.known[taken.known_len++];
    known = {window, pid, thread, nullptr, exe_for(taken, pid), taken.round, 0};
    return &known;
}

// A frame's app can be known only once its window is inside: until then
// the frame is asked again at every census.
static void name_store_app(const census &taken, known_window &known)
{
    if (known.app_pid || !is_store_app_frame(taken, known.window))
        return;
    const DWORD app = store_app_process(known.window, known.pid);
    if (!app)
        return;
    release_owned(known.exe);
    known.exe = exe_for(taken, app);
    known.app_pid = app;
}

// The rectangle, the show state from the style already read, and the
// monitor that holds most of the rectangle, found in the census's table; a
// minimised window's rectangle is no place on any monitor, and the system
// answers for it by the place that it comes back to.
static void place(const census &taken, kestal_window &entry, HWND window, LONG_PTR style)
{
    RECT rect = {};
    GetWindowRect(window, &rect);
    entry.monitor = (style & WS_MINIMIZE ? monitor_index(taken.monitors, taken.monitors_len,
                                                        MonitorFromWindow(window, MONITOR_DEFAULTTONEAREST))
                                          : monitor_holding(taken.monitors, taken.monitors_len, rect)) +
                    1;
    entry.x = rect.left;
    entry.y = rect.top;
    entry.width = rect.right - rect.left;
    entry.height = rect.bottom - rect.top;
    entry.state = style & WS_MINIMIZE   ? KESTAL_STATE_MINIMIZED
                  : style & WS_MAXIMIZE ? KESTAL_STATE_MAXIMIZED
                                        : KESTAL_STATE_NORMAL;
}

// Under Wine every call here is a request to the window server, and on
// Windows a read of shared memory or a system call: each is made only where
// a member needs its answer. The style tells visibility (a top-level
// window's parent, the desktop, is always visible) and the show state.
static void capture(census &taken, HWND window, LONG_PTR style)
{
    if (is_shell_window(taken, window) || is_cloaked(taken, window))
        return;
    DWORD pid = 0;
    const DWORD thread = GetWindowThreadProcessId(window, &pid);
    known_window *known = find_known(taken, window, pid, thread);
    if (!known)
        known = remember(taken, window, pid, thread);
    known->round = taken.round;
    if (!known->class_name && !(taken.facts & KESTAL_CENSUS_WITHOUT_CLASS))
        known->class_name = class_of(taken, window);
    name_store_app(taken, *known);

    kestal_window &entry = taken.list[taken.list_len++];
    entry = {};
    if (taken.facts & KESTAL_CENSUS_PLACEMENT)
        place(taken, entry, window, style);
    const LONG_PTR ex_style = style_read(window);
    entry.hwnd = static_cast<int64_t>(reinterpret_cast<intptr_t>(window));
    entry.opacity = opacity_of(window, ex_style);
    entry.pinned = (ex_style & WS_EX_TOPMOST) != 0;
    entry.title = owned_or_none(title_of(taken, window, pid, thread));
    entry.exe = known->exe;
    entry.pid = known->app_pid ? known->app_pid : pid;
    entry.class_name = known->class_name ? known->class_name : kNone;
    entry.foreground = window == taken.foreground;
    entry.clickthrough = (ex_style & (WS_EX_TRANSPARENT | WS_EX_LAYERED)) == (WS_EX_TRANSPARENT | WS_EX_LAYERED);
}

static BOOL CALLBACK enum_cb(HWND window, LPARAM context)
{
    census &taken = *reinterpret_cast<census *>(context);
    // A full table records no more windows, so the rest are not queried.
    if (taken.list_len >= kMaxWindows)
        return TRUE;
    // A keep's borders, four windows to each pinned window, are known by
    // class already: they cost no question of their own.
    if (is_kestal_border(taken, window))
        return TRUE;
    const LONG_PTR style = window_style(window);
    if (style & WS_VISIBLE)
        capture(taken, window, style);
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

// A census with nothing in it. Its tables are left as they come: each entry
// is written before it is read.
static census *new_census()
{
    auto *fresh = static_cast<census *>(malloc(sizeof(census)));
    if (!fresh) {
        set_error(KESTAL_FAILURE_OTHER, "census: out of memory for the window table");
        return nullptr;
    }
    fresh->list_len = 0;
    fresh->known_len = 0;
    fresh->known_hint = 0;
    fresh->round = 0;
    fresh->shell_len = 0;
    fresh->frames_len = 0;
    fresh->borders_len = 0;
    fresh->atoms_len = 0;
    return fresh;
}

static void release_census(census *taken)
{
    if (!taken)
        return;
    release_table(*taken);
    forget_all(*taken);
    free(taken);
}

static int32_t take_census(census &taken, uint32_t facts)
{
    kswin_init();
    release_table(taken);
    taken.own_pid = GetCurrentProcessId();
    taken.facts = facts;
    ++taken.round;
    taken.foreground = GetForegroundWindow();
    taken.ask_cloak = true;
    find_by_class(taken);
    const dpi_scope scope = enter_physical_pixels();
    // A desktop without a monitor still lists its windows, each on monitor 0.
    taken.monitors_len = facts & KESTAL_CENSUS_PLACEMENT ? std::max(monitor_table(taken.monitors), 0) : 0;
    const BOOL enumerated = EnumWindows(enum_cb, reinterpret_cast<LPARAM>(&taken));
    const DWORD code = enumerated ? ERROR_SUCCESS : GetLastError();
    leave_physical_pixels(scope);
    if (!enumerated) {
        set_error_code("EnumWindows", code);
        return -1;
    }
    forget_unseen(taken);
    return taken.list_len;
}

char *json_or_report(char *text, const char *failure)
{
    if (!text)
        set_error(KESTAL_FAILURE_OTHER, "%s", failure);
    return text;
}

// A listing keeps nothing: its census is its own, and the one that the
// command line follows is neither used nor replaced.
static char *list_windows()
{
    census *taken = new_census();
    if (!taken)
        return empty_array();
    char *text = nullptr;
    if (take_census(*taken, KESTAL_CENSUS_WITHOUT_CLASS) >= 0) {
        const char *failure = nullptr;
        text = json_or_report(listing_json(taken->list, taken->list_len, 0, &failure), failure);
    }
    release_census(taken);
    return text ? text : empty_array();
}

extern "C" KESTAL_API char *kestal_list(void)
{
    return library_ready() ? list_windows() : nullptr;
}

extern "C" KESTAL_API void kestal_free_string(char *text)
{
    if (library_ready())
        free(text);
}

// The published census lends its kept facts to the next one and takes the
// new table back once it is whole. A census that a call nested in this one
// published meanwhile (a window procedure that ran during a title read)
// has been used by then, and the newer one replaces it.
int32_t kestal_census(uint32_t facts, const kestal_window **windows)
{
    *windows = nullptr;
    if (!library_ready())
        return -1;
    lock_library();
    census *taken = g_census;
    g_census = nullptr;
    unlock_library();
    if (!taken && !(taken = new_census()))
        return -1;
    const int32_t count = take_census(*taken, facts);
    lock_library();
    census *displaced = g_census;
    g_census = taken;
    unlock_library();
    release_census(displaced);
    if (count >= 0)
        *windows = taken->list;
    return count;
}

void kestal_census_release(void)
{
    if (!library_ready())
        return;
    lock_library();
    census *taken = g_census;
    g_census = nullptr;
    unlock_library();
    release_census(taken);
}

char *kestal_census_json(const kestal_window *windows, int32_t count, uint32_t options)
{
    if (!library_ready())
        return nullptr;
    const char *failure = nullptr;
    return json_or_report(listing_json(windows, count, options, &failure), failure);
}

char *kestal_window_json(const kestal_window *window, uint32_t options)
{
    if (!window || !library_ready())
        return nullptr;
    const char *failure = nullptr;
    return json_or_report(window_json(*window, options, &failure), failure);
}
