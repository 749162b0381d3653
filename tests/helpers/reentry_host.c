/* kestal-test-reentry-host.exe: a host that loads kestal-cli.exe as a library
 * and lets its own code call kestal while a kestal call is under way:
 *   reentry_host PATH\TO\kestal-cli.exe CASE [ROUNDS]
 * CASE is one of:
 *   pin-lists     the window procedure lists on WM_WINDOWPOSCHANGING while
 *                 kestal_set_topmost pins the host's own window
 *   fade-lists    the same on WM_STYLECHANGING while kestal_set_opacity fades it
 *   list-lists    the same on WM_GETTEXT, which a listing sends to the
 *                 calling thread's own windows for their titles
 *   pin-fades     the window procedure fades the window on
 *                 WM_WINDOWPOSCHANGED while kestal_set_topmost pins it
 *   hook-lists    a WinEvent hook of the host (out of context) lists and
 *                 pins whenever the system reports a change to the window
 *                 while kestal changes it
 *   worker        a worker thread pins and releases the UI thread's window
 *                 20 times while the UI thread lists and pumps its messages
 * ROUNDS (default 1) repeats the case. Every listing made from inside must be
 * a whole JSON array that holds the host's window.
 * Prints "calls from inside: N" and one "FAIL ..." line per wrong result.
 * A watchdog ends a host that hangs: it prints "HANG" and exits with 4.
 * Exit code: 0 when every result was right, 1 when one was wrong, 2 on a bad
 * command line, 3 when the exe does not load or lacks an export. */
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "host_support.h"

static volatile LONG calls_from_inside;

/* Far longer than any case takes on a loaded machine; a deadlock never ends. */
#define WATCHDOG_MS 30000
#define WORKER_ROUNDS 20

static void fail(const char *what)
{
    say("FAIL %s: %s\n", what, last_error());
    InterlockedIncrement(&failures);
}

static HWND host_window;
static char host_title[64];

/* A listing must be a whole JSON array that holds the host's window under its title. */
static void expect_whole_listing(const char *what)
{
    char *text = list();
    size_t length = text ? strlen(text) : 0;
    char object[128];
    snprintf(object, sizeof object, "{\"hwnd\":%lld,\"title\":\"%s\",", (long long)(INT_PTR)host_window, host_title);
    if (!text || length < 2 || text[0] != '[' || text[length - 1] != ']' || !strstr(text, object)) {
        say("FAIL %s: the listing is not whole or lacks %s: %s\n", what, object, text ? text : "(null)");
        InterlockedIncrement(&failures);
    }
    free_string(text);
}

/* ---- calls from the host's window procedure and hooks ----------------- */

enum { CALL_NONE, CALL_LIST, CALL_FADE };
static UINT inside_message; /* the message whose handler calls kestal */
static int inside_call;     /* what it calls */
static int depth;           /* a call from inside may send the message again */
static int in_call;         /* a kestal call of the case is under way */

static void call_from_inside(const char *what)
{
    if (depth > 0 || !in_call)
        return;
    ++depth;
    InterlockedIncrement(&calls_from_inside);
    if (inside_call == CALL_LIST)
        expect_whole_listing(what);
    else if (inside_call == CALL_FADE && !set_opacity(host_window, 60))
        fail(what);
    --depth;
}

static LRESULT CALLBACK host_procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam)
{
    if (message == inside_message && window == host_window)
        call_from_inside("a call from the window procedure");
    return DefWindowProcW(window, message, wparam, lparam);
}

static void CALLBACK on_event(HWINEVENTHOOK hook, DWORD event, HWND window, LONG object, LONG child, DWORD thread,
                              DWORD time)
{
    (void)hook, (void)event, (void)object, (void)child, (void)thread, (void)time;
    if (window != host_window || depth > 0 || !in_call)
        return;
    ++depth;
    InterlockedIncrement(&calls_from_inside);
    expect_whole_listing("a listing from the WinEvent hook");
    if (!set_topmost(host_window, 1))
        fail("pinning from the WinEvent hook");
    --depth;
}

static HWND make_host_window(void)
{
    WNDCLASSW window_class = {0};
    window_class.lpfnWndProc = host_procedure;
    window_class.hInstance = GetModuleHandleW(NULL);
    window_class.lpszClassName = L"KestalReentryHost";
    RegisterClassW(&window_class);
    snprintf(host_title, sizeof host_title, "kestal reentry host %lu", GetCurrentProcessId());
    return CreateWindowExA(0, "KestalReentryHost", host_title, WS_OVERLAPPEDWINDOW | WS_VISIBLE, 40, 40, 300, 200,
                           NULL, NULL, GetModuleHandleW(NULL), NULL);
}

static void pump(void)
{
    MSG message;
    while (PeekMessageW(&message, NULL, 0, 0, PM_REMOVE))
        DispatchMessageW(&message);
}

/* ---- the worker that changes the UI thread's window ------------------- */

static volatile LONG worker_done;

static DWORD WINAPI worker_main(void *unused)
{
    int round;
    (void)unused;
    for (round = 0; round < WORKER_ROUNDS; ++round) {
        if (!set_topmost(host_window, 1))
            fail("the worker pinning the UI thread's window");
        if (!set_topmost(host_window, 0))
            fail("the worker releasing the UI thread's window");
    }
    InterlockedExchange(&worker_done, 1);
    return 0;
}

static void run_worker_case(void)
{
    HANDLE worker = CreateThread(NULL, 0, worker_main, NULL, 0, NULL);
    if (!worker) {
        fail("CreateThread");
        return;
    }
    while (!worker_done) {
        expect_whole_listing("a listing of the UI thread");
        pump();
    }
    WaitForSingleObject(worker, INFINITE);
    CloseHandle(worker);
}

/* ---- the cases ---------------------------------------------------------- */

static void run_case(const char *name)
{
    calls_from_inside = 0;
    in_call = strcmp(name, "worker") != 0;
    if (strcmp(name, "pin-lists") == 0) {
        inside_message = WM_WINDOWPOSCHANGING, inside_call = CALL_LIST;
        if (!set_topmost(host_window, 1) || !set_topmost(host_window, 0))
            fail("kestal_set_topmost on the host's window");
    } else if (strcmp(name, "fade-lists") == 0) {
        inside_message = WM_STYLECHANGING, inside_call = CALL_LIST;
        if (!set_opacity(host_window, 50) || !set_opacity(host_window, 100))
            fail("kestal_set_opacity on the host's window");
    } else if (strcmp(name, "list-lists") == 0) {
        inside_message = WM_GETTEXT, inside_call = CALL_LIST;
        expect_whole_listing("the outer listing");
    } else if (strcmp(name, "pin-fades") == 0) {
        inside_message = WM_WINDOWPOSCHANGED, inside_call = CALL_FADE;
        if (!set_topmost(host_window, 1) || !set_topmost(host_window, 0))
            fail("kestal_set_topmost on the host's window");
        if (!set_opacity(host_window, 100))
            fail("kestal_set_opacity back to 100");
    } else if (strcmp(name, "hook-lists") == 0) {
        HWINEVENTHOOK hook = SetWinEventHook(EVENT_MIN, EVENT_MAX, NULL, on_event, GetCurrentProcessId(),
                                             GetCurrentThreadId(), WINEVENT_OUTOFCONTEXT);
        if (!hook)
            fail("SetWinEventHook");
        inside_message = 0, inside_call = CALL_NONE;
        if (!set_topmost(host_window, 1) || !set_opacity(host_window, 50) || !set_opacity(host_window, 100) ||
            !set_topmost(host_window, 0))
            fail("changing the host's window under its hook");
        expect_whole_listing("a listing under the hook");
        if (hook)
            UnhookWinEvent(hook);
    } else if (strcmp(name, "worker") == 0) {
        inside_message = 0, inside_call = CALL_NONE;
        worker_done = 0;
        run_worker_case();
        /* The worker's changes reached the window: it pinned last, then released. */
        if (GetWindowLongPtrW(host_window, GWL_EXSTYLE) & WS_EX_TOPMOST) {
            say("FAIL the UI thread's window is still pinned after the worker released it\n");
            InterlockedIncrement(&failures);
        }
        return;
    } else {
        say("unknown case %s\n", name);
        exit(2);
    }
    in_call = 0;
    pump();
    if (calls_from_inside == 0) {
        say("FAIL the host's code never ran inside a kestal call\n");
        InterlockedIncrement(&failures);
    }
}

static DWORD WINAPI watchdog(void *name)
{
    Sleep(WATCHDOG_MS);
    say("HANG %s: a kestal call did not return within %d ms\n", (const char *)name, WATCHDOG_MS);
    TerminateProcess(GetCurrentProcess(), 4);
    return 0;
}

int main(int argc, char **argv)
{
    HMODULE cli;
    int rounds, round;
    InitializeCriticalSection(&output);
    if (argc < 3) {
        fprintf(stderr, "usage: reentry_host PATH\\TO\\kestal-cli.exe CASE [ROUNDS]\n");
        return 2;
    }
    rounds = argc > 3 ? atoi(argv[3]) : 1;
    if (rounds < 1)
        return 2;
    cli = LoadLibraryA(argv[1]);
    if (!cli || !resolve_exports(cli)) {
        fprintf(stderr, "could not load %s or resolve its exports (win32 error %lu)\n", argv[1], GetLastError());
        return 3;
    }
    CloseHandle(CreateThread(NULL, 0, watchdog, argv[2], 0, NULL));
    host_window = make_host_window();
    if (!host_window) {
        fprintf(stderr, "could not make the host's window (win32 error %lu)\n", GetLastError());
        return 3;
    }
    pump();
    for (round = 0; round < rounds; ++round)
        run_case(argv[2]);
    say("calls from inside: %ld\n", calls_from_inside);
    DestroyWindow(host_window);
    return failures ? 1 : 0;
}
