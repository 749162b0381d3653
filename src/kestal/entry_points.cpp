// System functions looked up by name, so that the library runs where some are missing.
#include <cwchar>

#include "internal.h"

GetWindowLongPtrW_fn p_GetWindowLongPtrW = nullptr;
SetWindowLongPtrW_fn p_SetWindowLongPtrW = nullptr;
DwmIsWindowCloaked_fn p_DwmIsWindowCloaked = nullptr;
DwmGetWindowAttribute_fn p_DwmGetWindowAttribute = nullptr;
QueryFullProcessImageNameW_fn p_QueryFullProcessImageNameW = nullptr;
OpenProcessToken_fn p_OpenProcessToken = nullptr;
GetTokenInformation_fn p_GetTokenInformation = nullptr;
SetThreadDpiAwarenessContext_fn p_SetThreadDpiAwarenessContext = nullptr;
GetDpiForMonitor_fn p_GetDpiForMonitor = nullptr;

template <typename Fn> static Fn lookup(HMODULE module, const char *name)
{
    return reinterpret_cast<Fn>(reinterpret_cast<void *>(GetProcAddress(module, name)));
}

// dwmapi.dll and shcore.dll are no KnownDLLs, and a bare name would be
// looked for in the folder of the exe or of the host first: a copy planted
// there, in a Downloads folder say, would run inside us. So only the system
// folder's copy is loaded; systems whose loader lacks the search flag refuse
// it as an invalid parameter, and get the copy by its full path instead.
static HMODULE load_system_library(const wchar_t *name)
{
    if (HMODULE module = LoadLibraryExW(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32))
        return module;
    if (GetLastError() != ERROR_INVALID_PARAMETER)
        return nullptr;
    wchar_t path[MAX_PATH + 32];
    const size_t name_chars = wcslen(name);
    UINT chars = GetSystemDirectoryW(path, MAX_PATH);
    if (chars == 0 || chars >= MAX_PATH || name_chars >= 31)
        return nullptr;
    path[chars] = L'\\';
    wcscpy(path + chars + 1, name);
    // The altered search path looks for the library's own imports beside
    // it, not beside the exe.
    return LoadLibraryExW(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}

// Stores a resolved entry point. The value is the same at every call, so
// after the first only reads remain, and a reader on another thread sees
// either null, which it handles, or the one value.
template <typename Fn> static void publish(Fn &entry_point, Fn value)
{
    if (entry_point == value)
        return;
    lock_library();
    entry_point = value;
    unlock_library();
}

void kswin_init()
{
    // The loader runs DllMain of what it loads, under its own lock, so the
    // look-ups are made before the library's lock is taken, never under it.
    // dwmapi is loaded on every call and never released: the reference count
    // only grows, and the module stays mapped for the life of the process.
    DwmIsWindowCloaked_fn is_cloaked = nullptr;
    DwmGetWindowAttribute_fn get_attribute = nullptr;
    if (HMODULE dwm = load_system_library(L"dwmapi.dll")) {
        // Released Windows versions export no "DwmIsWindowCloaked"; the cloak
        // state is read through the documented window attribute instead,
        // which also gives the frame's bounds.
        is_cloaked = lookup<DwmIsWindowCloaked_fn>(dwm, "DwmIsWindowCloaked");
        get_attribute = lookup<DwmGetWindowAttribute_fn>(dwm, "DwmGetWindowAttribute");
    }
    publish(p_DwmIsWindowCloaked, is_cloaked);
    publish(p_DwmGetWindowAttribute, get_attribute);
    if (HMODULE user32 = GetModuleHandleW(L"user32.dll")) {
        publish(p_GetWindowLongPtrW, lookup<GetWindowLongPtrW_fn>(user32, "GetWindowLongPtrW"));
        publish(p_SetWindowLongPtrW, lookup<SetWindowLongPtrW_fn>(user32, "SetWindowLongPtrW"));
    }
}

QueryFullProcessImageNameW_fn image_name_query()
{
    if (!p_QueryFullProcessImageNameW) {
        if (HMODULE kernel32 = GetModuleHandleW(L"kernel32.dll"))
            publish(p_QueryFullProcessImageNameW,
                    lookup<QueryFullProcessImageNameW_fn>(kernel32, "QueryFullProcessImageNameW"));
    }
    return p_QueryFullProcessImageNameW;
}

GetDpiForMonitor_fn monitor_dpi_query()
{
    if (!p_GetDpiForMonitor) {
        // Loaded once and never released, as dwmapi is.
        if (HMODULE shcore = load_system_library(L"shcore.dll"))
            publish(p_GetDpiForMonitor, lookup<GetDpiForMonitor_fn>(shcore, "GetDpiForMonitor"));
    }
    return p_GetDpiForMonitor;
}

bool token_queries()
{
    if (!p_OpenProcessToken || !p_GetTokenInformation) {
        // A known DLL: the loader takes it from the system folder whatever
        // the search path, and it is loaded in every process that has
        // user32 anyway; the reference stays for the life of the process.
        if (HMODULE advapi32 = LoadLibraryW(L"advapi32.dll")) {
            publish(p_OpenProcessToken, lookup<OpenProcessToken_fn>(advapi32, "OpenProcessToken"));
            publish(p_GetTokenInformation, lookup<GetTokenInformation_fn>(advapi32, "GetTokenInformation"));
        }
    }
    return p_OpenProcessToken && p_GetTokenInformation;
}

dpi_scope enter_physical_pixels()
{
    if (!p_SetThreadDpiAwarenessContext) {
        if (HMODULE user32 = GetModuleHandleW(L"user32.dll"))
            publish(p_SetThreadDpiAwarenessContext,
                    lookup<SetThreadDpiAwarenessContext_fn>(user32, "SetThreadDpiAwarenessContext"));
    }
    if (!p_SetThreadDpiAwarenessContext)
        return {nullptr};
    // Windows 10 1607 knows per-monitor awareness but not its second version,
    // and refuses that context; both give physical pixels.
    DPI_AWARENESS_CONTEXT previous = p_SetThreadDpiAwarenessContext(DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE_V2);
    if (!previous)
        previous = p_SetThreadDpiAwarenessContext(DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE);
    return {previous};
}

void leave_physical_pixels(dpi_scope scope)
{
    if (scope.previous)
        p_SetThreadDpiAwarenessContext(scope.previous);
}

void kestal_preflight(void)
{
    if (library_ready())
        kswin_init();
}

LONG_PTR window_style(HWND window)
{
    if (p_GetWindowLongPtrW)
        return p_GetWindowLongPtrW(window, GWL_STYLE);
    return static_cast<LONG_PTR>(GetWindowLongW(window, GWL_STYLE));
}

LONG_PTR style_read(HWND window)
{
    if (p_GetWindowLongPtrW)
        return p_GetWindowLongPtrW(window, GWL_EXSTYLE);
    return static_cast<LONG_PTR>(GetWindowLongW(window, GWL_EXSTYLE));
}

DWORD style_write(HWND window, LONG_PTR style)
{
    // Both setters return the previous value, which may legitimately be 0, so
    // the only reliable failure signal is the error code the write leaves.
    SetLastError(0);
    if (p_SetWindowLongPtrW)
        p_SetWindowLongPtrW(window, GWL_EXSTYLE, style);
    else
        SetWindowLongW(window, GWL_EXSTYLE, static_cast<LONG>(style));
    return GetLastError();
}
