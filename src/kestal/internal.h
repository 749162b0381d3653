// Library internals shared between the library's own files and its tests.
#pragma once

#include <windows.h>

#include <cstdint>

#include "kestal_inprocess.h"

// Last-error record.
inline constexpr std::size_t kLastErrorSize = 512;
extern char g_last_error[kLastErrorSize];

void set_error(const char *fmt, ...) __attribute__((format(gnu_printf, 1, 2)));
// Reports a failed system call whose error code the caller has already read.
void set_error_code(const char *what, DWORD code);
// Reports a failed system call; call it right after the call that failed.
void set_error_win32(const char *what);

// Entry points resolved at run time.
using GetWindowLongPtrW_fn = LONG_PTR(WINAPI *)(HWND, int);
using SetWindowLongPtrW_fn = LONG_PTR(WINAPI *)(HWND, int, LONG_PTR);
using DwmIsWindowCloaked_fn = BOOL(WINAPI *)(HWND, BOOL *);
using DwmGetWindowAttribute_fn = HRESULT(WINAPI *)(HWND, DWORD, void *, DWORD);
using QueryFullProcessImageNameW_fn = BOOL(WINAPI *)(HANDLE, DWORD, LPWSTR, PDWORD);

extern GetWindowLongPtrW_fn p_GetWindowLongPtrW;
extern SetWindowLongPtrW_fn p_SetWindowLongPtrW;
extern DwmIsWindowCloaked_fn p_DwmIsWindowCloaked;
extern DwmGetWindowAttribute_fn p_DwmGetWindowAttribute;
extern QueryFullProcessImageNameW_fn p_QueryFullProcessImageNameW;

void kswin_init();
// The image path query, looked up on first need; null where the system lacks it.
QueryFullProcessImageNameW_fn image_name_query();

LONG_PTR style_read(HWND window);
// Returns the system error code that the write left behind (0 when it set none).
DWORD style_write(HWND window, LONG_PTR style);

// Alpha byte <-> percentage, rounded to nearest so that every percentage
// from 0 to 100 survives the round trip through the byte.
constexpr BYTE alpha_from_percent(int32_t pct) { return static_cast<BYTE>((pct * 255 + 50) / 100); }
constexpr int32_t percent_from_alpha(BYTE alpha) { return (alpha * 100 + 127) / 255; }

// Window property that marks a window kestal made layered; its value is 1.
inline constexpr wchar_t kMadeLayeredProperty[] = L"KestalMadeLayered";

// Makes the image usable when a host loaded the exe as a library, exactly
// once however many threads arrive at once. False when the image could not
// be made ready.
bool image_ready();

// Every entry point into the library starts with enter_library() and, when
// it returned true, ends with leave_library(). The library's state (the
// window table, the entry points, the last-error text) is process-wide, and
// a host may call from any thread: one lock makes the calls take turns.
// It gets the image ready first; false when that failed, and then no lock is
// held and the last-error text says why.
bool enter_library();
void leave_library();
