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

// Waits at most as long as the system does before it calls a program "not
// responding"; false, with the error set, for a program that does not answer.
bool window_answers(HWND window);
// Sets the error of a change that did not take, in the words that help.
void report_setter_failure(const char *what, HWND window, DWORD code);
// Refusals of a layered-window change, in the words of `operation`.
bool refused_by_class(const char *operation, HWND window);
bool refused_as_per_pixel(const char *operation, const layering &now);
// Under Wine, a change to another program's layering reaches the display
// only once the caller's own connection is flushed.
void flush_to_display();

int32_t set_topmost(HWND window, int32_t topmost);
int32_t set_opacity(HWND window, int32_t pct);
// Full alpha, or out of layered mode for a window that kestal made layered
// and that is not click-through.
int32_t leave_layered_mode(HWND window, const layering &now);
// Out of the layered mode that kestal gave a layered window, whatever else
// its style holds.
int32_t drop_made_layering(HWND window, const layering &now);
// Layered at pct percent, marked as made layered by kestal when it was not.
int32_t set_alpha(HWND window, const layering &now, int32_t pct);

// ---- marks: what kestal changed, on the window itself ----------------------
// Every copy of kestal (a host, another console, a resident one) sees them,
// and `reset` takes back exactly what they record.

// kMadeLayeredProperty (internal.h): kestal made the window layered; value 1.
// kestal pinned a window that was not topmost; value 1.
inline constexpr wchar_t kPinnedProperty[] = L"KestalPinned";
// kestal released a window that its own program had made topmost; value 1.
inline constexpr wchar_t kUnpinnedProperty[] = L"KestalUnpinned";
// The layered attributes that the window's own program had given it before
// kestal first changed them (saved_layering_value below).
inline constexpr wchar_t kOwnLayeringProperty[] = L"KestalOwnLayering";
// kestal made the window click-through (WS_EX_TRANSPARENT); value 1.
inline constexpr wchar_t kClickThroughProperty[] = L"KestalClickThrough";
// A person changed the window through kestal while rules were kept; value 1.
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
static_assert(sizeof(HANDLE) >= sizeof(uint64_t), "the own layering needs a 64-bit property value");
// The own layering that the mark holds; false when there is none.
bool saved_layering(HWND window, COLORREF &key, BYTE &alpha, DWORD &flags);

constexpr bool is_click_through(LONG_PTR style)
{
    return (style & (WS_EX_TRANSPARENT | WS_EX_LAYERED)) == (WS_EX_TRANSPARENT | WS_EX_LAYERED);
}
