/* kestal-test-unload-host.exe: a host that frees the library right after a
 * change that gave up, and lives on:
 *   unload_host PATH\TO\kestal-cli.exe
 * A window of the host's second thread takes longer over the pin's
 * WM_WINDOWPOSCHANGING than the library waits. The host pins it, sees the
 * pin give up, frees kestal-cli.exe, and runs on until the window has
 * answered and some seconds more: the thread that made the abandoned call
 * ends then, and must not return into the freed image. Once it has ended,
 * nothing of the library's holds the image any more.
 * Prints one line per step, "FAIL ..." for a wrong one, and "host: all steps
 * passed" at the end. Exit code 0, or 1 when a step failed, 2 on a bad
 * command line, 3 when the exe does not load or lacks an export. */
#include <windows.h>

#include <stdio.h>
#include <string.h>

#include "host_support.h"

/* Longer than the library's answer wait, so that the pin gives up. */
#define STALL_MS 8000
/* The time that the abandoned call's thread gets to end after the window answered. */
#define AFTERWARDS_MS 3000

static HWND slow_window;
static volatile LONG armed;
static HANDLE answered; /* set once the window has answered the stalled message */

static LRESULT CALLBACK slow_procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam)
{
    if (message == WM_WINDOWPOSCHANGING && InterlockedExchange(&armed, 0)) {
        Sleep(STALL_MS);
        SetEvent(answered);
    }
    return DefWindowProcW(window, message, wparam, lparam);
}

static DWORD WINAPI window_thread(void *ready)
{
    WNDCLASSW window_class = {0};
    window_class.lpfnWndProc = slow_procedure;
    window_class.hInstance = GetModuleHandleW(NULL);
    window_class.lpszClassName = L"KestalUnloadHost";
    RegisterClassW(&window_class);
    slow_window = CreateWindowExW(0, L"KestalUnloadHost", L"kestal unload host", WS_OVERLAPPEDWINDOW | WS_VISIBLE,
                                  40, 40, 200, 100, NULL, NULL, GetModuleHandleW(NULL), NULL);
    SetEvent((HANDLE)ready);
    MSG message;
    while (GetMessageW(&message, NULL, 0, 0) > 0)
        DispatchMessageW(&message);
    return 0;
}

static void fail(const char *what)
{
    say("FAIL %s\n", what);
    InterlockedIncrement(&failures);
}

int wmain(int argc, wchar_t **argv)
{
    InitializeCriticalSection(&output);
    if (argc != 2) {
        say("usage: unload_host PATH\\TO\\kestal-cli.exe\n");
        return 2;
    }
    answered = CreateEventW(NULL, TRUE, FALSE, NULL);
    HANDLE ready = CreateEventW(NULL, TRUE, FALSE, NULL);
    CloseHandle(CreateThread(NULL, 0, window_thread, ready, 0, NULL));
    WaitForSingleObject(ready, INFINITE);
    if (!slow_window) {
        say("FAIL the host's window could not be made: win32 error %lu\n", GetLastError());
        return 1;
    }
    HMODULE exe = LoadLibraryW(argv[1]);
    if (!exe || !resolve_exports(exe)) {
        say("FAIL kestal-cli.exe did not load or lacks an export: win32 error %lu\n", GetLastError());
        return 3;
    }
    say("host: kestal-cli.exe loaded\n");

    InterlockedExchange(&armed, 1);
    ULONGLONG start = GetTickCount64();
    int32_t pinned = set_topmost(slow_window, 1);
    ULONGLONG took = GetTickCount64() - start;
    say("host: the pin came back after %llu ms with %d: %s\n", took, pinned, last_error());
    if (pinned || !strstr(last_error(), "(win32 error 1460)"))
        fail("the pin did not give up on a window that takes longer than the answer wait");
    if (WaitForSingleObject(answered, 0) == WAIT_OBJECT_0)
        fail("the window answered before the pin gave up: the case tests nothing");

    if (!FreeLibrary(exe))
        fail("FreeLibrary refused the library");
    say("host: kestal-cli.exe freed\n");
    if (WaitForSingleObject(answered, STALL_MS + 5000) != WAIT_OBJECT_0)
        fail("the window never answered");
    say("host: the window answered\n");
    Sleep(AFTERWARDS_MS);
    say("host: alive %d ms after the window answered\n", AFTERWARDS_MS);

    /* The abandoned call's thread held the image while it ran, and let go as it ended. */
    if (GetModuleHandleW(L"kestal-cli.exe"))
        fail("kestal-cli.exe is still loaded after every thread of the library ended");
    if (failures)
        return 1;
    say("host: all steps passed\n");
    return 0;
}
