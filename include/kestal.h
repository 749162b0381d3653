/*============================================================================
 * kestal.h: list, pin and fade the desktop's top-level windows.
 *
 * kestal-cli.exe is a console program and a library at once: a host process
 * can LoadLibrary the exe and call the five functions below by name. The
 * typedefs at the end give the matching pointer types for GetProcAddress.
 *
 * Text: everything kestal writes is UTF-8: the listing, the last-error text
 * (the system's messages included, in the user's language) and the output of
 * the command line on pipes and files. A console gets the same characters.
 *
 * Threads: any thread may call, several at once included. The calls take
 * turns under one lock of the library's; a call waits while another runs.
 * The last-error text is one for the whole process: another thread's failure
 * can overwrite it at any moment. A host that calls from several threads
 * reads it right after the failing call, under a lock of its own held around
 * the call and the read.
 *
 * dwmapi.dll is loaded from the system folder only, never from the folder of
 * kestal-cli.exe or of the host.
 *===========================================================================*/

#ifndef KESTAL_H
#define KESTAL_H

#include <stdint.h>

#if defined(KESTAL_BUILDING)
#define KESTAL_API __declspec(dllexport)
#else
#define KESTAL_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/*============================================================================
 * Window list
 *===========================================================================*/

/**
 * Lists the desktop's visible top-level windows as compact JSON: an array of
 * objects {"hwnd":int,"title":str,"exe":str,"pinned":bool,"opacity":int}.
 * Desktop shell windows and cloaked windows are left out; titles and exe
 * names are UTF-8; opacity is a percentage from 0 to 100.
 *
 * Ownership: the text is the caller's; release it with kestal_free_string.
 * On failure the text is "[]" and kestal_last_error says why. NULL only when
 * even "[]" cannot be allocated.
 */
KESTAL_API char *kestal_list(void);

/**
 * Releases a text returned by kestal_list (or by the census writers below).
 * NULL does nothing.
 * Use this and not the host's own free(): the text comes from the C heap of
 * kestal-cli.exe, which need not be the host's.
 */
KESTAL_API void kestal_free_string(char *text);

/*============================================================================
 * Window state setters
 *
 * A change to another program's window takes that program's answer. A program
 * that gives none within 5 seconds, or that the system already counts as hung,
 * is left alone, and the call fails with "SendMessageTimeout(WM_NULL) failed
 * (win32 error 1460): ..." instead of waiting for it.
 *===========================================================================*/

/**
 * Pins a window always-on-top (topmost nonzero) or releases it (0), without
 * moving, sizing or activating it. Returns 1 on success, 0 on failure with
 * the reason in kestal_last_error. A NULL hwnd fails with
 * "set_topmost: null hwnd". The always-on-top bit is read back: a window
 * that did not take the change fails with "SetWindowPos(topmost) failed
 * (win32 error 0): the window did not keep the change; ...".
 */
KESTAL_API int32_t kestal_set_topmost(void *hwnd, int32_t topmost);

/**
 * Sets a window's opacity in percent, 20 to 100. Returns 1 on success, 0 on
 * failure with the reason in kestal_last_error. The range is checked before
 * the handle, so an out-of-range percentage is reported even for a NULL hwnd.
 *
 * A window that this call makes layered is marked with the window property
 * "KestalMadeLayered", and 100 takes such a window out of layered mode again.
 * A window that its own program made layered stays layered at 100, with full
 * alpha and its own colour key; a colour key in effect is kept at every
 * value. Refused, with the window left untouched:
 *   - a layered window whose layered attributes cannot be read, as it draws
 *     its own per-pixel alpha: "set_opacity: the window draws its own
 *     per-pixel alpha (UpdateLayeredWindow); only its own program can change
 *     its opacity";
 *   - a window whose class has CS_OWNDC or CS_CLASSDC: "set_opacity: the
 *     window's class has CS_OWNDC, which a layered window cannot have; its
 *     opacity cannot be changed" (or CS_CLASSDC). 100 on such a window
 *     that is not layered has nothing to do and succeeds.
 */
KESTAL_API int32_t kestal_set_opacity(void *hwnd, int32_t pct);

/*============================================================================
 * Errors
 *===========================================================================*/

/**
 * Returns the text of the most recent failure, or "no error" if nothing has
 * failed in this process. Successful calls do not clear it. The text is
 * UTF-8, at most 511 bytes, and never ends inside a character.
 *
 * Ownership: the text belongs to the library; read it in place, do not free
 * it, and copy it if you need it after the next call. The text is the
 * process's, not the thread's: see "Threads" above.
 */
KESTAL_API const char *kestal_last_error(void);

/**
 * Resolves the optional system entry points now, so that the setters use the
 * pointer-width style accessors without a listing first. In-process callers
 * only: it is not in the export table.
 */
void kestal_preflight(void);

/*============================================================================
 * Census: the listing as data, for in-process callers
 *
 * None of these is in the export table; the command line uses them so that
 * it lists, selects and follows windows from one census. Each call takes the
 * library's lock like the exports, but the census array is one for the whole
 * process: a census or a kestal_list on another thread replaces it. Use the
 * census from one thread at a time.
 *===========================================================================*/

/** A window's show state in a census. */
typedef enum kestal_window_state {
    KESTAL_STATE_NORMAL = 0,
    KESTAL_STATE_MINIMIZED = 1,
    KESTAL_STATE_MAXIMIZED = 2
} kestal_window_state;

/**
 * One listed window. Texts are UTF-8 and never NULL ("" when the window has
 * none, or its program could not be queried). They belong to the census.
 */
typedef struct kestal_window {
    int64_t hwnd;           /* the handle's value, as "hwnd" prints it */
    const char *title;
    const char *exe;        /* file name of the owning program's image */
    int32_t pinned;         /* 1 when WS_EX_TOPMOST is set, else 0 */
    int32_t opacity;        /* percent, 0 to 100 */
    uint32_t pid;           /* owning process; 0 when the window vanished */
    const char *class_name; /* window class name */
    int32_t x, y, width, height; /* window rectangle, screen coordinates */
    int32_t state;          /* a kestal_window_state */
    int32_t foreground;     /* 1 for the foreground window, else 0 */
} kestal_window;

/** Census facts: also read the rectangle and the show state (one more call
 * per window). Without it they stay 0 and KESTAL_STATE_NORMAL. */
#define KESTAL_CENSUS_PLACEMENT 0x1u

/**
 * Takes a census of the windows that kestal_list lists, in the same order,
 * and points *windows at it. Returns the number of windows, or -1 with the
 * reason in kestal_last_error (then *windows is NULL). windows must not be
 * NULL.
 *
 * Ownership: the array and its texts belong to the library and stay valid
 * until the next census or kestal_census_release. Between two censuses the
 * library keeps the facts that cannot change for a window's life (class,
 * process, exe) per handle, so that a census repeated at an interval asks
 * the system less; kestal_census_release drops them.
 */
int32_t kestal_census(uint32_t facts, const kestal_window **windows);

/**
 * Releases the census and the facts kept per handle. Does nothing when there
 * is no census.
 */
void kestal_census_release(void);

/** JSON options: the long members ("pid", "class", "x", "y", "width",
 * "height", "state", "foreground") after the five of kestal_list. */
#define KESTAL_JSON_LONG 0x1u
/** JSON options: every character beyond ASCII written as a \uXXXX escape
 * (a surrogate pair beyond the BMP), so that the text is pure ASCII. */
#define KESTAL_JSON_ASCII 0x2u

/**
 * Writes count windows as the compact JSON array that kestal_list prints,
 * with the given options (0 gives exactly kestal_list's text). windows may
 * be NULL when count is 0.
 *
 * Ownership: the text is the caller's; release it with kestal_free_string.
 * NULL on failure, with the reason in kestal_last_error.
 */
char *kestal_census_json(const kestal_window *windows, int32_t count, uint32_t options);

/**
 * Writes one window as the compact JSON object that kestal_census_json puts
 * in its array. NULL for a NULL window, and on failure with the reason in
 * kestal_last_error.
 *
 * Ownership: the text is the caller's; release it with kestal_free_string.
 */
char *kestal_window_json(const kestal_window *window, uint32_t options);

/*============================================================================
 * Pointer types for hosts that resolve the exports with GetProcAddress
 *===========================================================================*/

typedef char *(*kestal_list_fn)(void);
typedef void (*kestal_free_string_fn)(char *text);
typedef int32_t (*kestal_set_topmost_fn)(void *hwnd, int32_t topmost);
typedef int32_t (*kestal_set_opacity_fn)(void *hwnd, int32_t pct);
typedef const char *(*kestal_last_error_fn)(void);

#ifdef __cplusplus
}
#endif

#endif /* KESTAL_H */
