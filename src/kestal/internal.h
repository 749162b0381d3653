// Library internals shared between the library's own files and its tests.
#pragma once

#include <windows.h>

#include <cstdint>

#include "kestal_inprocess.h"

// Last-error record.
inline constexpr std::size_t kLastErrorSize = 512;
extern char g_last_error[kLastErrorSize];

// Every failure carries its KESTAL_FAILURE_ code beside its text, for the
// callers that capture both.
void set_error(int32_t failure, const char *fmt, ...) __attribute__((format(gnu_printf, 2, 3)));
// A failure of no kind of its own (KESTAL_FAILURE_OTHER), as the tests
// leave one behind.
void set_error(const char *fmt, ...) __attribute__((format(gnu_printf, 1, 2)));
// Reports a failed system call whose error code the caller has already read;
// the code tells the failure's kind (a window that is gone, a refusal).
void set_error_code(const char *what, DWORD code);
// Reports a failed system call; call it right after the call that failed.
void set_error_win32(const char *what);

// Entry points resolved at run time.
using GetWindowLongPtrW_fn = LONG_PTR(WINAPI *)(HWND, int);
using SetWindowLongPtrW_fn = LONG_PTR(WINAPI *)(HWND, int, LONG_PTR);
using DwmIsWindowCloaked_fn = BOOL(WINAPI *)(HWND, BOOL *);
using DwmGetWindowAttribute_fn = HRESULT(WINAPI *)(HWND, DWORD, void *, DWORD);
using QueryFullProcessImageNameW_fn = BOOL(WINAPI *)(HANDLE, DWORD, LPWSTR, PDWORD);
using OpenProcessToken_fn = BOOL(WINAPI *)(HANDLE, DWORD, PHANDLE);
using GetTokenInformation_fn = BOOL(WINAPI *)(HANDLE, TOKEN_INFORMATION_CLASS, LPVOID, DWORD, PDWORD);
using SetThreadDpiAwarenessContext_fn = DPI_AWARENESS_CONTEXT(WINAPI *)(DPI_AWARENESS_CONTEXT);
using GetDpiForMonitor_fn = HRESULT(WINAPI *)(HMONITOR, int, UINT *, UINT *);

extern GetWindowLongPtrW_fn p_GetWindowLongPtrW;
extern SetWindowLongPtrW_fn p_SetWindowLongPtrW;
extern DwmIsWindowCloaked_fn p_DwmIsWindowCloaked;
extern DwmGetWindowAttribute_fn p_DwmGetWindowAttribute;
extern QueryFullProcessImageNameW_fn p_QueryFullProcessImageNameW;
extern OpenProcessToken_fn p_OpenProcessToken;
extern GetTokenInformation_fn p_GetTokenInformation;
extern SetThreadDpiAwarenessContext_fn p_SetThreadDpiAwarenessContext;
extern GetDpiForMonitor_fn p_GetDpiForMonitor;

void kswin_init();
// The image path query, looked up on first need; null where the system lacks it.
QueryFullProcessImageNameW_fn image_name_query();
// shcore's monitor scale (Windows 8.1 and later), looked up on first need;
// null where the system lacks it.
GetDpiForMonitor_fn monitor_dpi_query();
// The token queries of advapi32, which the exe does not import, looked up on
// first need; false where the system lacks them.
bool token_queries();

// Coordinates in physical pixels: a thread that is not per-monitor aware gets
// other programs' windows scaled to its own DPI on a scaled screen, and a
// host's awareness is its own choice. The work between the two runs with the
// thread per-monitor aware; the thread's own context comes back afterwards.
// Systems before Windows 10 1607 have no thread context and are left as the
// process's manifest set them.
struct dpi_scope {
    DPI_AWARENESS_CONTEXT previous; // null when nothing was changed
};
dpi_scope enter_physical_pixels();
void leave_physical_pixels(dpi_scope scope);

// Store apps: the process of the app inside a frame (a top-level window of
// class ApplicationFrameWindow); 0 while it holds none.
DWORD store_app_process(HWND frame, DWORD frame_pid);

// The extended style (style_read) and the style, through the pointer-width
// accessor where the system has it.
LONG_PTR style_read(HWND window);
LONG_PTR window_style(HWND window);
// Returns the system error code that the write left behind (0 when it set none).
DWORD style_write(HWND window, LONG_PTR style);

// Alpha byte <-> percentage, rounded to nearest so that every percentage
// from 0 to 100 survives the round trip through the byte.
constexpr BYTE alpha_from_percent(int32_t pct) { return static_cast<BYTE>((pct * 255 + 50) / 100); }
constexpr int32_t percent_from_alpha(BYTE alpha) { return (alpha * 100 + 127) / 255; }

// The text of a JSON writer, or null with its `failure` as the error.
char *json_or_report(char *text, const char *failure);

// Window property that marks a window kestal made layered; its value holds
// the alpha that kestal last wrote (setter_steps.h).
inline constexpr wchar_t kMadeLayeredProperty[] = L"KestalMadeLayered";

// Makes the image usable when a host loaded the exe as a library, exactly
// once however many threads arrive at once. False when the image could not
// be made ready.
bool image_ready();
// A TLS callback that makes the image ready; the TLS callback array holds it first.
void NTAPI ready_before_the_runtime(void *module, DWORD reason, void *reserved);

// Every entry point into the library starts with library_ready(): it makes
// the image ready, and false means that it could not, and the last-error
// text says why (when even that can be written).
bool library_ready();

// The library's process-wide state (the published census and the facts kept
// per handle, the entry points, the last-error text) is shared by every
// thread of a host. lock_library() and unlock_library() go around the reads
// and writes of that state and nothing else: no system call under the lock
// may send a message or run a hook, since either can run the host's code,
// which may call the library again on this thread, or wait for a thread
// that waits for the lock. A thread that already holds the lock may take it
// again.
void lock_library();
void unlock_library();
