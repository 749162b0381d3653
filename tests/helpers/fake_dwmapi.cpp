// A dwmapi.dll for the tests, loaded as native through WINEDLLOVERRIDES.
// It reports every window whose title starts with "[cloaked]" as cloaked.
// Built twice: with KESTAL_FAKE_LEGACY it exports "DwmIsWindowCloaked" (and
// an attribute query that must not be used then); without, only
// "DwmGetWindowAttribute", as released Windows versions do.
#include <windows.h>

#include <cwchar>

static bool cloaked_by_title(HWND window)
{
    static constexpr wchar_t kMark[] = L"[cloaked]";
    wchar_t title[64] = {};
    GetWindowTextW(window, title, 64);
    return wcsncmp(title, kMark, wcslen(kMark)) == 0;
}

extern "C" __declspec(dllexport) HRESULT WINAPI DwmGetWindowAttribute(HWND window, DWORD attribute, void *value,
                                                                      DWORD size)
{
    constexpr DWORD kCloaked = 14;
#ifdef KESTAL_FAKE_LEGACY
    // With the legacy query present, the attribute must go unused: answer
    // "cloaked" for every window, which a listing would show as empty.
    (void)window;
    if (attribute == kCloaked && size == sizeof(DWORD)) {
        *static_cast<DWORD *>(value) = 1;
        return S_OK;
    }
#else
    if (attribute == kCloaked && size == sizeof(DWORD)) {
        *static_cast<DWORD *>(value) = cloaked_by_title(window) ? 2 /* DWM_CLOAKED_SHELL */ : 0;
        return S_OK;
    }
#endif
    return E_INVALIDARG;
}

#ifdef KESTAL_FAKE_LEGACY
extern "C" __declspec(dllexport) BOOL WINAPI DwmIsWindowCloaked(HWND window, BOOL *cloaked)
{
    *cloaked = cloaked_by_title(window);
    return TRUE;
}
#endif
