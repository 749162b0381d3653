// The steps of a change to a window, shared by the setters and the controls
// built from them. None of them takes the library's lock: every one may send
// a message to the window, which may run the caller's own code.
#pragma once

#include "internal.h"

// What a window's layering is at one moment: its extended style and, for a
// layered window, the attributes that SetLayeredWindowAttributes gave it.
struct layering {
    LONG_PTR style;
    bool attributes_read;
    COLORREF key;
    BYTE alpha;
    DWORD flags;
};

layering layering_of(HWND window);
// The opacity in percent, as the listing reports it.
int32_t opacity_percent(const layering &now);

// Every step that waits for the window takes the call's deadline (a tick
// count, bounded_calls.h) and waits no longer than what is left of it.

// Asks the window whether it answers, until `deadline`; false, with the
// error set in the words of `what`, for a program that does not answer in
// time, or when no time is left to ask.
bool window_answers(const char *what, HWND window, ULONGLONG deadline);
// The extended style written on the window's behalf with a bounded wait;
// the error code that the write left, ERROR_TIMEOUT when the window did not
// answer in time (the write may still be made later), kNotAskedInTime when
// the deadline had passed before it could be asked for.
DWORD style_write_bounded(HWND window, LONG_PTR style, ULONGLONG deadline);
// Sets the error of a change that did not take, in the words that help;
// kNotAskedInTime says that it was not made.
void report_setter_failure(const char *what, HWND window, DWORD code);
// Refusals of a layered-window change, in the words of `operation`.
bool refused_by_class(const char *operation, HWND window);
bool refused_as_per_pixel(const char *operation, HWND window, const layering &now);
// Under Wine, a change to another program's layering reaches the display
// only once the caller's own connection is flushed.
void flush_to_display();

int32_t set_topmost(HWND window, int32_t topmost, ULONGLONG deadline);
int32_t set_opacity(HWND window, int32_t pct, ULONGLONG deadline);
// Full alpha, or out of layered mode for a window that kestal made layered
// and that is not click-through.
int32_t leave_layered_mode(HWND window, const layering &now, ULONGLONG deadline);
// Out of the layered mode that kestal gave a layered window, whatever else
// its style holds.
int32_t drop_made_layering(HWND window, const layering &now, ULONGLONG deadline);
// Layered at pct percent, marked as made layered by kestal when it was not,
// with the alpha written recorded in the marks.
int32_t set_alpha(HWND window, const layering &now, int32_t pct, ULONGLONG deadline);

// ---- marks: what kestal changed, on the window itself ----------------------
// Every copy of kestal (a host, another console, a resident one) sees them,
// and `reset` takes back exactly what they record, and only while the window
// still holds what kestal wrote: a value that its program set since stays.

// kMadeLayeredProperty (internal.h): kestal made the window layered; the
// value holds the alpha that kestal last wrote.
inline constexpr uintptr_t kMadeLayeredAlphaKnown = 0x100;
constexpr uintptr_t made_layered_value(BYTE alpha) { return kMadeLayeredAlphaKnown | alpha; }
// The alpha of the mark, 256 for a mark that does not say, -1 for none.
int made_layering_alpha(HWND window);
// Whether the window is still in the layered mode that kestal gave it; a
// mark that its program overtook is dropped.
bool holds_made_layering(HWND window, const layering &now);
// kestal pinned a window that was not topmost; value 1.
inline constexpr wchar_t kPinnedProperty[] = L"KestalPinned";
// kestal released a window that its own program had made topmost; value 1.
inline constexpr wchar_t kUnpinnedProperty[] = L"KestalUnpinned";
// The layered attributes that the window's own program had given it before
// kestal first changed them, and the alpha that kestal wrote last
// (own_layering_value below).
inline constexpr wchar_t kOwnLayeringProperty[] = L"KestalOwnLayering";
// kestal made the window click-through (WS_EX_TRANSPARENT); value 1.
inline constexpr wchar_t kClickThroughProperty[] = L"KestalClickThrough";
// A person changed the window through kestal while a keep ran: that
// keep's process id above the bits of what was changed (KESTAL_BY_HAND_).
inline constexpr wchar_t kByHandProperty[] = L"KestalByHand";

bool has_mark(HWND window, const wchar_t *mark);
void drop_mark(HWND window, const wchar_t *mark);
// False, with the system's error code in GetLastError(), when the window
// could not take the mark.
bool put_mark(HWND window, const wchar_t *mark);

// A window property holds one pointer-size value: the own layering packs
// into it, with a bit that keeps the value from ever being 0.
inline constexpr uint64_t kOwnLayeringPresent = uint64_t(1) << 40;
constexpr uint64_t saved_layering_value(COLORREF key, BYTE alpha, DWORD flags)
{
    return kOwnLayeringPresent | (uint64_t(flags & (LWA_ALPHA | LWA_COLORKEY)) << 32) | (uint64_t(alpha) << 24) |
           (key & 0xFFFFFFu);
}
constexpr uint64_t own_layering_value(COLORREF key, BYTE alpha, DWORD flags, BYTE written_alpha)
{
    return saved_layering_value(key, alpha, flags) | (uint64_t(written_alpha) << 48);
}
static_assert(sizeof(HANDLE) >= sizeof(uint64_t), "the own layering needs a 64-bit property value");
// The own layering that the mark holds, while the window still has the
// attributes that kestal wrote; a mark that its program overtook is dropped.
// The attributes are written only when it answers true.
bool own_layering_holds(HWND window, const layering &now, COLORREF &key, BYTE &alpha, DWORD &flags);

constexpr bool is_click_through(LONG_PTR style)
{
    return (style & (WS_EX_TRANSPARENT | WS_EX_LAYERED)) == (WS_EX_TRANSPARENT | WS_EX_LAYERED);
}
