// Pinning and fading any top-level window.
#include "bounded_calls.h"
#include "setter_steps.h"

// Wine applies a foreign window's layered alpha by setting an X property on
// the calling process's own display connection and does not flush it. A
// short-lived caller such as the CLI would exit with the change still queued,
// so under Wine a change ends with one round trip to the display server.
static bool running_under_wine()
{
    static int answer = -1;
    if (answer < 0) {
        HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
        answer = ntdll && GetProcAddress(ntdll, "wine_get_version") ? 1 : 0;
    }
    return answer == 1;
}

void flush_to_display()
{
    if (!running_under_wine())
        return;
    if (HDC screen = GetDC(nullptr)) {
        GetPixel(screen, 0, 0);
        ReleaseDC(nullptr, screen);
    }
}

// The mandatory integrity level of a process (the last part of its label's
// SID, SECURITY_MANDATORY_MEDIUM_RID and so on); 0 when it cannot be read.
static DWORD integrity_of(HANDLE process)
{
    HANDLE token = nullptr;
    if (!p_OpenProcessToken(process, TOKEN_QUERY, &token))
        return 0;
    // The label and its SID, which holds at most 15 parts.
    alignas(TOKEN_MANDATORY_LABEL) BYTE label[sizeof(TOKEN_MANDATORY_LABEL) + SECURITY_MAX_SID_SIZE] = {};
    DWORD size = 0;
    DWORD level = 0;
    if (p_GetTokenInformation(token, TokenIntegrityLevel, label, sizeof label, &size)) {
        const auto *sid = static_cast<const SID *>(reinterpret_cast<TOKEN_MANDATORY_LABEL *>(label)->Label.Sid);
        if (sid && sid->SubAuthorityCount > 0)
            level = sid->SubAuthority[sid->SubAuthorityCount - 1];
    }
    CloseHandle(token);
    return level;
}

// Windows keeps a program from changing the windows of a program that runs
// with a higher integrity level, such as one run as administrator: the
// changes fail, and messages to such a window may be dropped while the send
// reports success. Nothing that kestal could try again would help.
static bool owned_by_a_higher_integrity_level(HWND window)
{
    DWORD pid = 0;
    if (!GetWindowThreadProcessId(window, &pid) || !token_queries())
        return false;
    const DWORD own = integrity_of(GetCurrentProcess());
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    if (!process)
        return false;
    const DWORD theirs = integrity_of(process);
    CloseHandle(process);
    return own != 0 && theirs > own;
}

// A change can fail without a system error code: the window was destroyed
// between our write and its read-back, or its owner wrote its own idea of
// the style over ours, or the system refused without saying why. "win32
// error 0" with the system's text for 0 would call the failure a success.
void report_setter_failure(const char *what, HWND window, DWORD code)
{
    if (code == kNotAskedInTime) {
        set_error(KESTAL_FAILURE_NOT_ANSWERING,
                  "%s failed (win32 error %lu): the window is not answering in time (its program is busy or has "
                  "hung); the change was not made: try again once the window answers",
                  what, static_cast<DWORD>(ERROR_TIMEOUT));
    } else if (code == ERROR_TIMEOUT) {
        set_error(KESTAL_FAILURE_NOT_ANSWERING,
                  "%s failed (win32 error %lu): the window stopped answering during the change; the change was "
                  "asked for and may still be made when the window answers again",
                  what, code);
    } else if (owned_by_a_higher_integrity_level(window)) {
        set_error(KESTAL_FAILURE_REFUSED,
                  "%s failed (win32 error %lu): the window belongs to a program running as administrator; run "
                  "kestal-cli as administrator to change it",
                  what, code);
    } else if (code != ERROR_SUCCESS) {
        set_error_code(what, code);
    } else if (!IsWindow(window)) {
        set_error_code(what, ERROR_INVALID_WINDOW_HANDLE);
    } else {
        set_error(KESTAL_FAILURE_OTHER,
                  "%s failed (win32 error 0): the window did not keep the change; its owner may have changed it "
                  "back",
                  what);
    }
}

// Re-stacking or restyling another program's window waits until that program
// has taken the change. Ask first, and wait no longer than what is left of
// the call's deadline; a program already known to be hung, or still owing the
// answer to an earlier change, is not waited for.
bool window_answers(const char *change, HWND window, ULONGLONG deadline)
{
    // A handle that names no window is left to the change itself, which
    // reports it in its own words; nor may a special value such as
    // HWND_BROADCAST send the question to every window there is.
    if (!IsWindow(window))
        return true;
    const DWORD left = ms_left(deadline);
    if (left > 0 && !still_waited_for(window)) {
        DWORD_PTR ignored = 0;
        SetLastError(ERROR_SUCCESS);
        if (SendMessageTimeoutW(window, WM_NULL, 0, 0, SMTO_NORMAL | SMTO_ABORTIFHUNG, left, &ignored))
            return true;
        // Any answer but silence, such as a message that the system filters
        // between privilege levels, is left to the change to report; so is a
        // window that went away meanwhile.
        const DWORD code = GetLastError();
        if ((code != ERROR_TIMEOUT && code != ERROR_SUCCESS) || !IsWindow(window))
            return true;
    }
    // The call named is the question, as it always was: scripts look for it.
    set_error(KESTAL_FAILURE_NOT_ANSWERING,
              "SendMessageTimeout(WM_NULL) failed (win32 error %lu): the window is not answering (its program is "
              "busy or has hung); %s was not made: try again once the window answers",
              static_cast<DWORD>(ERROR_TIMEOUT), change);
    return false;
}

DWORD style_write_bounded(HWND window, LONG_PTR style, ULONGLONG deadline)
{
    const call_outcome outcome =
        call_window(window, deadline, [=]() -> BOOL { return style_write(window, style) == 0; });
    if (!outcome.answered)
        return outcome.error == kNotAskedInTime ? kNotAskedInTime : ERROR_TIMEOUT;
    return outcome.result ? ERROR_SUCCESS : outcome.error;
}

bool has_mark(HWND window, const wchar_t *mark)
{
    return GetPropW(window, mark) != nullptr;
}

void drop_mark(HWND window, const wchar_t *mark)
{
    if (has_mark(window, mark))
        RemovePropW(window, mark);
}

bool put_mark(HWND window, const wchar_t *mark)
{
    SetLastError(ERROR_SUCCESS);
    return SetPropW(window, mark, reinterpret_cast<HANDLE>(1)) != FALSE;
}

// A pin that kestal gave is marked so that it can be taken back; a release
// of the program's own pin is marked so that the program gets it back. A
// change that undoes an earlier one of kestal's leaves no mark at all. The
// marks are a courtesy: a window that cannot take one keeps the change.
struct pin_marks {
    bool pinned;
    bool unpinned;
};

static pin_marks pin_marks_of(HWND window)
{
    return {has_mark(window, kPinnedProperty), has_mark(window, kUnpinnedProperty)};
}

static void put_pin_marks(HWND window, pin_marks marks)
{
    if (marks.pinned)
        put_mark(window, kPinnedProperty);
    else
        drop_mark(window, kPinnedProperty);
    if (marks.unpinned)
        put_mark(window, kUnpinnedProperty);
    else
        drop_mark(window, kUnpinnedProperty);
}

static pin_marks after_pin(pin_marks before, bool was_topmost, bool topmost)
{
    if (was_topmost == topmost)
        return before;
    if (topmost)
        return before.unpinned ? pin_marks{before.pinned, false} : pin_marks{true, before.unpinned};
    return before.pinned ? pin_marks{false, before.unpinned} : pin_marks{before.pinned, true};
}

int32_t set_topmost(HWND window, int32_t topmost, ULONGLONG deadline)
{
    if (!window) {
        set_error(KESTAL_FAILURE_ARGUMENT, "set_topmost: null hwnd");
        return 0;
    }
    // The desktop window is the root of the z-order, not a place in it.
    // Wine refuses it without setting an error code; answer for it.
    if (window == GetDesktopWindow()) {
        set_error_code("SetWindowPos(topmost)", ERROR_ACCESS_DENIED);
        return 0;
    }
    constexpr char kWhat[] = "SetWindowPos(topmost)";
    if (!window_answers(topmost ? "the pin" : "the release", window, deadline))
        return 0;
    const bool was_topmost = (style_read(window) & WS_EX_TOPMOST) != 0;
    // Marked first: a window that takes the change after kestal stopped
    // waiting for it, or after this process ended, must be one that `reset`
    // takes back.
    const pin_marks before = pin_marks_of(window);
    put_pin_marks(window, after_pin(before, was_topmost, topmost != 0));
    HWND insert_after = topmost ? HWND_TOPMOST : HWND_NOTOPMOST;
    const call_outcome moved = call_window(window, deadline, [=] {
        return SetWindowPos(window, insert_after, 0, 0, 0, 0, SWP_NOSIZE | SWP_NOMOVE | SWP_NOACTIVATE);
    });
    if (moved.error == kNotAskedInTime) {
        put_pin_marks(window, before);
        report_setter_failure(kWhat, window, kNotAskedInTime);
        return 0;
    }
    if (!moved.answered) {
        // Whether the change lands is open: the marks of both outcomes stay,
        // and `reset` keeps only the one that the window then shows.
        const pin_marks after = pin_marks_of(window);
        put_pin_marks(window, {before.pinned || after.pinned, before.unpinned || after.unpinned});
        report_setter_failure(kWhat, window, ERROR_TIMEOUT);
        return 0;
    }
    // SetWindowPos succeeds also when the window's procedure cancels the
    // z-order change, and some windows (message-only ones under Wine 10)
    // never take the bit: only the style says whether the window is pinned.
    const bool taken = ((style_read(window) & WS_EX_TOPMOST) != 0) == (topmost != 0);
    if (!moved.result || !taken) {
        put_pin_marks(window, before);
        report_setter_failure(kWhat, window, moved.result ? ERROR_SUCCESS : moved.error);
        return 0;
    }
    return 1;
}

layering layering_of(HWND window)
{
    layering now = {style_read(window), false, 0, 255, 0};
    if (now.style & WS_EX_LAYERED)
        now.attributes_read = GetLayeredWindowAttributes(window, &now.key, &now.alpha, &now.flags) != 0;
    return now;
}

int32_t opacity_percent(const layering &now)
{
    // A colour-keyed window without LWA_ALPHA is drawn fully opaque.
    if (!(now.style & WS_EX_LAYERED) || !now.attributes_read || !(now.flags & LWA_ALPHA))
        return 100;
    return percent_from_alpha(now.alpha);
}

// Windows documents that a layered window cannot have a class-wide or
// private device context, and that a window drawn with UpdateLayeredWindow
// cannot draw that way again once SetLayeredWindowAttributes has been called
// on it; such a window has no attributes to read. Neither is ours to change.
bool refused_by_class(const char *operation, HWND window)
{
    const ULONG_PTR class_style = GetClassLongPtrW(window, GCL_STYLE);
    const char *device_context = class_style & CS_OWNDC ? "CS_OWNDC" : class_style & CS_CLASSDC ? "CS_CLASSDC" : nullptr;
    if (!device_context)
        return false;
    set_error(KESTAL_FAILURE_REFUSED,
              "%s: the window's class has %s, which a layered window cannot have; its opacity cannot be changed",
              operation, device_context);
    return true;
}

bool refused_as_per_pixel(const char *operation, HWND window, const layering &now)
{
    if (!(now.style & WS_EX_LAYERED) || now.attributes_read || made_layering_alpha(window) >= 0)
        return false;
    set_error(KESTAL_FAILURE_REFUSED,
              "%s: the window draws its own per-pixel alpha (UpdateLayeredWindow); only its own program can change "
              "its opacity",
              operation);
    return true;
}

// The layered-window guidance asks for a repaint of frame, client area and
// children once a window has left layered mode.
static void repaint(HWND window)
{
    RedrawWindow(window, nullptr, nullptr, RDW_ERASE | RDW_INVALIDATE | RDW_FRAME | RDW_ALLCHILDREN);
}

int made_layering_alpha(HWND window)
{
    const auto value = reinterpret_cast<uintptr_t>(GetPropW(window, kMadeLayeredProperty));
    if (!value)
        return -1;
    return value & kMadeLayeredAlphaKnown ? static_cast<int>(value & 0xFF) : 256;
}

bool holds_made_layering(HWND window, const layering &now)
{
    const int written = made_layering_alpha(window);
    if (written < 0)
        return false;
    // Layered without attributes, the window took kestal's layering after
    // kestal gave up waiting for it, and never got the alpha: still kestal's.
    if (!(now.style & WS_EX_LAYERED) ||
        (written <= 255 && now.attributes_read && (!(now.flags & LWA_ALPHA) || now.alpha != written))) {
        // Out of layered mode, or the program wrote attributes of its own:
        // what remains is the program's, and there is nothing to undo.
        drop_mark(window, kMadeLayeredProperty);
        return false;
    }
    return true;
}

bool own_layering_holds(HWND window, const layering &now, COLORREF &key, BYTE &alpha, DWORD &flags)
{
    const auto value = reinterpret_cast<uintptr_t>(GetPropW(window, kOwnLayeringProperty));
    if (!(value & kOwnLayeringPresent))
        return false;
    const COLORREF own_key = static_cast<COLORREF>(value & 0xFFFFFFu);
    const DWORD own_flags = static_cast<DWORD>(value >> 32) & (LWA_ALPHA | LWA_COLORKEY);
    const BYTE written = static_cast<BYTE>(value >> 48);
    if ((now.style & WS_EX_LAYERED) && now.attributes_read && (now.flags & LWA_ALPHA) && now.alpha == written &&
        (now.flags & LWA_COLORKEY) == (own_flags & LWA_COLORKEY) &&
        (!(own_flags & LWA_COLORKEY) || now.key == own_key)) {
        key = own_key;
        alpha = static_cast<BYTE>(value >> 24);
        flags = own_flags;
        return true;
    }
    // The program set attributes of its own since kestal wrote its own:
    // they stay, and so there is nothing left to give back.
    drop_mark(window, kOwnLayeringProperty);
    return false;
}

static bool mark_made_layered(HWND window, BYTE alpha)
{
    SetLastError(ERROR_SUCCESS);
    return SetPropW(window, kMadeLayeredProperty, reinterpret_cast<HANDLE>(made_layered_value(alpha))) != FALSE;
}

// Before kestal first changes the attributes that a window's own program
// gave it, they are kept on the window, with what kestal wrote, so that
// `reset` gives them back while kestal's are still in effect. Once the
// program's own attributes are in effect again, the record has nothing left
// to give.
static void note_own_layering(HWND window, const layering &now, BYTE written_alpha, DWORD written_flags)
{
    if (!now.attributes_read)
        return;
    // The program's own attributes are the ones kept before, while kestal's
    // are still in effect; otherwise the ones that the window has now.
    COLORREF key = now.key;
    BYTE alpha = now.alpha;
    DWORD flags = now.flags;
    own_layering_holds(window, now, key, alpha, flags);
    if (saved_layering_value(key, alpha, flags) == saved_layering_value(now.key, written_alpha, written_flags)) {
        drop_mark(window, kOwnLayeringProperty);
        return;
    }
    SetPropW(window, kOwnLayeringProperty,
             reinterpret_cast<HANDLE>(static_cast<uintptr_t>(own_layering_value(key, alpha, flags, written_alpha))));
}

// Full alpha, keeping the colour key that the program drew with.
static int32_t full_alpha(HWND window, const layering &now)
{
    if (!(now.flags & LWA_ALPHA) || now.alpha == 255)
        return 1;
    const DWORD flags = LWA_ALPHA | (now.flags & LWA_COLORKEY);
    note_own_layering(window, now, 255, flags);
    SetLastError(ERROR_SUCCESS);
    if (!SetLayeredWindowAttributes(window, now.key, 255, flags)) {
        report_setter_failure("SetLayeredWindowAttributes", window, GetLastError());
        return 0;
    }
    flush_to_display();
    return 1;
}

int32_t leave_layered_mode(HWND window, const layering &now, ULONGLONG deadline)
{
    if (!(now.style & WS_EX_LAYERED)) {
        drop_mark(window, kMadeLayeredProperty);
        return 1;
    }
    // Its own program's layering stays, and so does kestal's on a window
    // that clicks pass through, which needs layered mode for that.
    if (!holds_made_layering(window, now) || (now.style & WS_EX_TRANSPARENT)) {
        if (!has_mark(window, kMadeLayeredProperty))
            return full_alpha(window, now);
        if (now.alpha == 255)
            return 1;
        SetLastError(ERROR_SUCCESS);
        if (!SetLayeredWindowAttributes(window, now.key, 255, LWA_ALPHA | (now.flags & LWA_COLORKEY))) {
            report_setter_failure("SetLayeredWindowAttributes", window, GetLastError());
            return 0;
        }
        mark_made_layered(window, 255);
        flush_to_display();
        return 1;
    }
    return drop_made_layering(window, now, deadline);
}

int32_t drop_made_layering(HWND window, const layering &now, ULONGLONG deadline)
{
    const DWORD write_error = style_write_bounded(window, now.style & ~static_cast<LONG_PTR>(WS_EX_LAYERED), deadline);
    if (style_read(window) & WS_EX_LAYERED) {
        report_setter_failure("SetWindowLongPtr(clear WS_EX_LAYERED)", window, write_error);
        return 0;
    }
    RemovePropW(window, kMadeLayeredProperty);
    repaint(window);
    flush_to_display();
    return 1;
}

// Makes a window layered and gives it its alpha in one call on the window's
// behalf: a window that takes the style late, after the caller gave up on
// it, must not be left layered without attributes, which is not drawn at all.
static int32_t make_layered(HWND window, const layering &now, BYTE alpha, ULONGLONG deadline)
{
    // Marked first: a change that the window may still take later must be
    // one that `reset` can take back.
    if (!mark_made_layered(window, alpha)) {
        const DWORD code = GetLastError();
        report_setter_failure(IsWindow(window) ? "SetProp" : "SetWindowLongPtr(WS_EX_LAYERED)", window, code);
        return 0;
    }
    const LONG_PTR style = now.style | WS_EX_LAYERED;
    const call_outcome made = call_window(window, deadline, [=]() -> BOOL {
        const DWORD write_error = style_write(window, style);
        if (!(style_read(window) & WS_EX_LAYERED)) {
            SetLastError(write_error);
            return FALSE;
        }
        if (SetLayeredWindowAttributes(window, 0, alpha, LWA_ALPHA))
            return TRUE;
        // Never leave another program's window invisible because of us.
        const DWORD code = GetLastError();
        style_write(window, style_read(window) & ~static_cast<LONG_PTR>(WS_EX_LAYERED));
        SetLastError(code);
        return FALSE;
    });
    if (!made.answered) {
        // A call that was never started leaves no layering to take back.
        if (made.error == kNotAskedInTime)
            drop_mark(window, kMadeLayeredProperty);
        report_setter_failure("SetWindowLongPtr(WS_EX_LAYERED)", window,
                              made.error == kNotAskedInTime ? kNotAskedInTime : ERROR_TIMEOUT);
        return 0;
    }
    if (!made.result) {
        drop_mark(window, kMadeLayeredProperty);
        const bool layered = (style_read(window) & WS_EX_LAYERED) != 0;
        report_setter_failure(layered ? "SetLayeredWindowAttributes" : "SetWindowLongPtr(WS_EX_LAYERED)", window,
                              made.error);
        return 0;
    }
    flush_to_display();
    return 1;
}

int32_t set_alpha(HWND window, const layering &now, int32_t pct, ULONGLONG deadline)
{
    const BYTE alpha = alpha_from_percent(pct);
    if (!(now.style & WS_EX_LAYERED))
        return make_layered(window, now, alpha, deadline);
    // LWA_ALPHA alone would drop a colour key that the program drew with.
    const DWORD flags = LWA_ALPHA | (now.flags & LWA_COLORKEY);
    const bool kestals = holds_made_layering(window, now);
    if (!kestals)
        note_own_layering(window, now, alpha, flags);
    SetLastError(ERROR_SUCCESS);
    if (!SetLayeredWindowAttributes(window, now.key, alpha, flags)) {
        report_setter_failure("SetLayeredWindowAttributes", window, GetLastError());
        return 0;
    }
    if (kestals)
        mark_made_layered(window, alpha);
    flush_to_display();
    return 1;
}

int32_t set_opacity(HWND window, int32_t pct, ULONGLONG deadline)
{
    // Unsigned arithmetic: one comparison rejects below 20, above 100 and
    // negative values, without signed overflow at INT32_MIN.
    if (static_cast<uint32_t>(pct) - 20u > 80u) {
        set_error(KESTAL_FAILURE_ARGUMENT, "set_opacity: pct out of range 20-100 (got %d)", pct);
        return 0;
    }
    if (!window) {
        set_error(KESTAL_FAILURE_ARGUMENT, "set_opacity: null hwnd");
        return 0;
    }
    if (pct != 100 && window == GetDesktopWindow()) {
        // Windows refuses to make the desktop window layered; Wine lets a
        // fresh process do it, and the whole screen fades. Answer as Windows does.
        set_error_code("SetWindowLongPtr(WS_EX_LAYERED)", ERROR_ACCESS_DENIED);
        return 0;
    }
    const layering before = layering_of(window);
    if (refused_as_per_pixel("set_opacity", window, before))
        return 0;
    // An opaque window needs nothing, nor its program's answer: 100 on a
    // window that is not layered succeeds whatever its class.
    if (pct == 100 && !(before.style & WS_EX_LAYERED)) {
        drop_mark(window, kMadeLayeredProperty);
        return 1;
    }
    if (refused_by_class("set_opacity", window))
        return 0;
    if (!window_answers("the opacity change", window, deadline))
        return 0;
    // Read after the wait, right before the write: a change that the
    // program made meanwhile must not be written over.
    const layering now = layering_of(window);
    if (refused_as_per_pixel("set_opacity", window, now))
        return 0;
    return pct == 100 ? leave_layered_mode(window, now, deadline) : set_alpha(window, now, pct, deadline);
}

// The setters hold no lock of the library's: the changes send messages to
// the window, and a window of the caller's own thread runs its procedure
// inside the call. Each holds the window's change lock, so that a change
// from another thread or process does not run between its reading of the
// window and its writing; the lock and the change share one deadline.
extern "C" KESTAL_API int32_t kestal_set_topmost(void *hwnd, int32_t topmost)
{
    HWND window = static_cast<HWND>(hwnd);
    return library_ready() && under_change_lock(window, "set_topmost", [&](ULONGLONG deadline) {
               return set_topmost(window, topmost, deadline);
           });
}

extern "C" KESTAL_API int32_t kestal_set_opacity(void *hwnd, int32_t pct)
{
    HWND window = static_cast<HWND>(hwnd);
    return library_ready() && under_change_lock(window, "set_opacity",
                                                [&](ULONGLONG deadline) { return set_opacity(window, pct, deadline); });
}
