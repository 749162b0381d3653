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
 * Controls: what a hotkey asks for, and the way back
 *
 * Each returns 1 on success and 0 on failure with the reason in
 * kestal_last_error, holds no lock of the library's, and may run the
 * window's procedure on the calling thread, like the setters. Like the
 * setters, each holds the window's change lock (a named mutex per window,
 * shared with every process) while it reads and changes the window, so that
 * two changes of one window never run at once; the lock is not taken for a
 * window of the caller's own process. Every change is recorded on the
 * window itself (window properties), so that kestal_reset in any process
 * takes back exactly what any copy of kestal did, as long as the window
 * still holds what kestal wrote.
 *===========================================================================*/

/** The `how` of the controls that switch something. */
#define KESTAL_OFF 0
#define KESTAL_ON 1
#define KESTAL_TOGGLE 2

/**
 * Pins (KESTAL_ON) or releases (KESTAL_OFF) a window as kestal_set_topmost
 * does, or flips its state (KESTAL_TOGGLE): a pinned window is released,
 * any other is pinned.
 */
int32_t kestal_pin(void *hwnd, int32_t how);

/**
 * Steps the opacity by `points` percentage points, up or down, from the
 * window's opacity as the listing reports it; the result is kept within 20
 * to 100, and set as kestal_set_opacity sets it.
 */
int32_t kestal_step_opacity(void *hwnd, int32_t points);

/**
 * Makes mouse clicks pass through a window to whatever lies beneath
 * (WS_EX_TRANSPARENT with WS_EX_LAYERED; a window that was not layered
 * becomes layered at full alpha), or stops that, or flips it. Refuses the
 * windows that kestal_set_opacity refuses. Off leaves layered mode only for
 * a window that kestal made layered and that is not faded.
 */
int32_t kestal_set_clickthrough(void *hwnd, int32_t how);

/**
 * Takes back what kestal changed on a window, as the marks on it record:
 * a pin kestal gave is released, a program's own pin that kestal released is
 * given back, layered mode that kestal gave is left, a program's own layered
 * attributes come back, click-through is removed, and the marks go. A window
 * with nothing to take back succeeds untouched.
 */
int32_t kestal_reset(void *hwnd);

/** What a person changed by hand: the attributes that rules then leave alone. */
#define KESTAL_BY_HAND_PIN 0x1u
#define KESTAL_BY_HAND_OPACITY 0x2u
#define KESTAL_BY_HAND_CLICKTHROUGH 0x4u

/**
 * Records on a window that a person changed `attributes` (KESTAL_BY_HAND_
 * bits, added to those recorded before) while the keep of process keep_pid
 * ran, so that its rules leave those attributes, and only those, alone for
 * as long as the window and that keep live. kestal_changed_by_hand answers
 * the attributes recorded for that keep (0 for none, or for a record that a
 * keep of another process left). kestal_forget_by_hand removes the record;
 * so does kestal_reset.
 */
int32_t kestal_mark_by_hand(void *hwnd, uint32_t attributes, uint32_t keep_pid);
uint32_t kestal_changed_by_hand(void *hwnd, uint32_t keep_pid);
void kestal_forget_by_hand(void *hwnd);

/**
 * 1 when the window carries any of the marks of what kestal changed, which
 * kestal_reset takes back, else 0; a person's record is not one of them.
 */
int32_t kestal_carries_marks(void *hwnd);

/**
 * 1 when kestal gave the window its pin (the mark that kestal_reset takes
 * back by releasing it), else 0. One property read.
 */
int32_t kestal_carries_pin_mark(void *hwnd);

/*============================================================================
 * Bounds and errors per thread
 *===========================================================================*/

/**
 * How long a change waits for a window's program to answer before it gives
 * up: 5000 ms (as long as Windows waits before it calls a program "not
 * responding") unless set lower here, for the whole process; kept within
 * 100 to 5000. It is one deadline per call of a setter, control or verb:
 * the window's lock, the question whether it answers and every call into it
 * draw from it together. A change given up on says so in kestal_last_error,
 * and the window is not asked again until it has answered.
 */
void kestal_set_answer_wait(uint32_t milliseconds);

/** The size of the buffer that kestal_capture_errors writes. */
#define KESTAL_ERROR_SIZE 512

/**
 * From now on, each failure of a call on the calling thread also writes its
 * text into buffer (KESTAL_ERROR_SIZE bytes, NUL-terminated), which threads
 * that change windows side by side read without meeting each other's
 * failures in kestal_last_error. NULL stops it. The buffer is the caller's
 * and must outlive the capture.
 */
void kestal_capture_errors(char *buffer);

/**
 * Why a call failed, beside its text: what a caller decides a retry by,
 * never the text.
 */
#define KESTAL_FAILURE_NONE 0          /* nothing failed since the capture began */
#define KESTAL_FAILURE_OTHER 1         /* any other failure: a system call that failed */
#define KESTAL_FAILURE_NOT_ANSWERING 2 /* the window's program did not answer in time: try later */
#define KESTAL_FAILURE_WINDOW_BUSY 3   /* another change of this window is running: try later */
#define KESTAL_FAILURE_REFUSED 4       /* the window refuses for a lasting reason (per-pixel alpha, a higher integrity level, its class) */
#define KESTAL_FAILURE_NO_WINDOW 5     /* no such window, or it closed */
#define KESTAL_FAILURE_ARGUMENT 6      /* a bad argument: a null handle, a value out of range */

/** A failure as kestal_capture_failures records it. */
typedef struct kestal_failure {
    int32_t code;                 /* a KESTAL_FAILURE_ code */
    char text[KESTAL_ERROR_SIZE]; /* the text that kestal_last_error gives */
} kestal_failure;

/**
 * From now on, each failure of a call on the calling thread also writes its
 * code and text into *failure (the caller's, which must outlive the
 * capture); NULL stops. The capture begins with KESTAL_FAILURE_NONE and
 * "no error" written into *failure, so that a caller reads a failure only
 * where one happened. It is the thread's own, beside kestal_capture_errors:
 * a thread may hold both.
 */
void kestal_capture_failures(kestal_failure *failure);

/*============================================================================
 * Verbs: where a window is, how it shows, and closing it
 *
 * Each acts on one top-level window, returns 1 on success and 0 on failure
 * with the reason in kestal_last_error, holds no lock and may run the
 * window's procedure on the calling thread, like the setters. Each refuses
 * the desktop window and the shell's, and gives up on a window whose
 * program does not answer within 5 s, as the setters do. Coordinates and sizes are
 * in physical pixels, screen coordinates, as the census gives them,
 * whatever the caller's DPI awareness.
 *===========================================================================*/

/**
 * Moves the window's top-left corner to x, y; the size stays. A minimised
 * window stays minimised and gets the new place for when it is restored.
 */
int32_t kestal_move_window(void *hwnd, int32_t x, int32_t y);

/**
 * Gives the window the size width x height (both above 0); the top-left
 * corner stays. A minimised window stays minimised and gets the new size
 * for when it is restored.
 */
int32_t kestal_resize_window(void *hwnd, int32_t width, int32_t height);

/** Minimises, maximises or restores the window. Restore brings it to its
 * normal place from either state, also a minimised window that was
 * maximised before. */
int32_t kestal_minimize_window(void *hwnd);
int32_t kestal_maximize_window(void *hwnd);
int32_t kestal_restore_window(void *hwnd);

/**
 * Brings the window to the front with the keyboard, restoring it first when
 * it is minimised. Fails when Windows refuses the foreground to the calling
 * program (it gives it only to the program that the user works in).
 */
int32_t kestal_activate_window(void *hwnd);

/**
 * Asks the window to close, as its close button does (WM_CLOSE, posted):
 * 1 means it was asked. Its program may ask to save, or refuse; nothing
 * waits for that, and no process is ended.
 */
int32_t kestal_close_window(void *hwnd);

/*============================================================================
 * Monitors, and placing windows on them
 *
 * Monitors are numbered 1, 2, ... in one order for every call: the primary
 * first, then the others from left to right (by their left edge, then their
 * top). Coordinates are physical pixels, screen coordinates, whatever the
 * caller's DPI awareness.
 *===========================================================================*/

/** One monitor, as kestal_monitors gives it. */
typedef struct kestal_monitor {
    int32_t number;                                  /* 1, 2, ... in the order above */
    char device[64];                                 /* the device name, such as \\.\DISPLAY1, UTF-8 */
    int32_t x, y, width, height;                     /* the whole monitor */
    int32_t work_x, work_y, work_width, work_height; /* the work area: what the taskbar and docked bars leave */
    int32_t dpi;                                     /* its scale: 96 at 100 %, 144 at 150 % */
    int32_t primary;                                 /* 1 for the primary monitor, else 0 */
} kestal_monitor;

/** The most monitors that the calls below tell apart. */
#define KESTAL_MAX_MONITORS 32

/**
 * Writes at most `room` monitors into `monitors` (which may be NULL when
 * room is 0) in their order, and returns how many there are, which may be
 * more than room; -1 on failure, with the reason in kestal_last_error.
 */
int32_t kestal_monitors(kestal_monitor *monitors, int32_t room);

/**
 * Writes count monitors as a compact JSON array, one object each (number,
 * device, x, y, width, height, work_x, work_y, work_width, work_height,
 * dpi, primary). The text is the caller's; release it with
 * kestal_free_string. NULL on failure, with the reason in kestal_last_error.
 */
char *kestal_monitors_json(const kestal_monitor *monitors, int32_t count);

/** Where kestal_snap_window puts a window in its monitor's work area. */
typedef enum kestal_snap_position {
    KESTAL_SNAP_LEFT = 0,
    KESTAL_SNAP_RIGHT,
    KESTAL_SNAP_TOP,
    KESTAL_SNAP_BOTTOM,
    KESTAL_SNAP_TOP_LEFT,
    KESTAL_SNAP_TOP_RIGHT,
    KESTAL_SNAP_BOTTOM_LEFT,
    KESTAL_SNAP_BOTTOM_RIGHT,
    KESTAL_SNAP_CENTER, /* the same size, centred */
    KESTAL_SNAP_FULL,   /* the whole work area, not maximised */
    KESTAL_SNAP_POSITIONS
} kestal_snap_position;

/**
 * Places the window at `position` (a kestal_snap_position) in the work area
 * of the monitor that holds most of it, restoring a maximised or minimised
 * window first. The frame that a person sees is placed, so that where the
 * DWM reports invisible resize borders (Windows 10 and 11) two halves meet
 * without a gap. A verb, as those above: one deadline, the desktop refused.
 */
int32_t kestal_snap_window(void *hwnd, int32_t position);

/** The monitors of kestal_send_window beside a number: the one after the
 * window's own in the order, and the one before it, each coming round. */
#define KESTAL_MONITOR_NEXT (-1)
#define KESTAL_MONITOR_PREVIOUS (-2)

/**
 * Takes the window to another monitor: a number of kestal_monitors, or
 * KESTAL_MONITOR_NEXT or KESTAL_MONITOR_PREVIOUS. Its place relative to the
 * work area and its size in proportion to it are kept, within the new work
 * area; a window that lies at a snap position (all but center) lies at the
 * same one there, a maximised window is maximised there, and a minimised one
 * is restored first. Fails with KESTAL_FAILURE_ARGUMENT for a monitor that
 * does not exist, and where there is only one.
 */
int32_t kestal_send_window(void *hwnd, int32_t monitor);

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
    int32_t clickthrough;   /* 1 when clicks pass through (WS_EX_TRANSPARENT with WS_EX_LAYERED) */
    int32_t monitor;        /* the number of the monitor that holds most of it (kestal_monitors) */
} kestal_window;

/** Census facts: also read the rectangle, the show state and the monitor
 * (one more call per window). Without it they stay 0 and
 * KESTAL_STATE_NORMAL. */
#define KESTAL_CENSUS_PLACEMENT 0x1u
/** Census facts: leave the class names out ("" for every window), for a
 * listing that does not print them; one call less per new window. */
#define KESTAL_CENSUS_WITHOUT_CLASS 0x2u

/**
 * The class of the windows that kestal draws on the desktop for itself (the
 * borders of `keep`): no census lists them, in any process.
 */
#define KESTAL_BORDER_CLASS L"KestalBorder"
/** The property of a border that holds the window it surrounds (a handle):
 * a click inside the ring is on that window, not on the border. */
#define KESTAL_BORDER_TARGET L"KestalBorderOf"

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
 * "height", "state", "foreground", "clickthrough", "monitor") after the five
 * of kestal_list. */
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
