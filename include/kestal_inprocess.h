/*============================================================================
 * kestal_inprocess.h: the library's interface for code linked into
 * kestal-cli.exe itself (the command line and the tests).
 *
 * Nothing here is in the export table, and this header does not ship: a host
 * that loads the exe can resolve only what kestal.h declares. The census
 * gives the listing as data, so that the command line lists, selects and
 * follows windows from one census.
 *===========================================================================*/

#ifndef KESTAL_INPROCESS_H
#define KESTAL_INPROCESS_H

#include "kestal.h"

#ifdef __cplusplus
extern "C" {
#endif

/**
 * Resolves the optional system entry points now, so that the setters use the
 * pointer-width style accessors without a listing first.
 */
void kestal_preflight(void);

/*============================================================================
 * Census: the listing as data
 *
 * The census array is one for the whole process: a census on another
 * thread replaces it (kestal_list takes a census of its own and leaves it
 * alone). Use the census from one thread at a time.
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

#ifdef __cplusplus
}
#endif

#endif /* KESTAL_INPROCESS_H */
