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
 * Threads: any thread may call, several at once included. A call may run
 * the host's own code on the calling thread: a change sends messages to the
 * window, and a listing asks the host's own windows for their titles, so
 * their window procedures and the host's WinEvent hooks can run inside the
 * call. That code may call kestal again; the library holds no lock of its
 * own while it waits for anyone, so neither such a nested call nor a thread
 * whose window another thread is changing waits for ever.
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
 * Releases a text returned by kestal_list.
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
 * (win32 error 1460): ..." instead of waiting for it. The 5 seconds are one
 * deadline for the whole call, whatever it waits on; a change given up on
 * midway fails with "(win32 error 1460)" and says that it may still be made.
 * A host may free the library right after such a call: the library's thread
 * that still waits for the window keeps the image loaded until it ends.
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
