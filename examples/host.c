/* A host process that uses kestal-cli.exe as a library:
 *   host.exe PATH\TO\kestal-cli.exe [--occupy-preferred-base]
 * It loads the exe, resolves the five exports by name, lists the windows,
 * pins and fades a window of its own, reads both changes back from the
 * listing and shows the text of a rejected call. Exit code 0 when every step
 * did what it should. --occupy-preferred-base reserves the exe's preferred
 * address first, so that the exe must be placed elsewhere. */
#include <windows.h>

#include <stdio.h>
#include <string.h>

#include "kestal.h"

static kestal_list_fn list;
static kestal_free_string_fn free_string;
static kestal_set_topmost_fn set_topmost;
static kestal_set_opacity_fn set_opacity;
static kestal_last_error_fn last_error;

static int failures;

static void expect(int ok, const char *what)
{
    printf("%s %s\n", ok ? "ok  " : "FAIL", what);
    if (!ok)
        ++failures;
}

/* Reserves the address range that kestal-cli.exe asks for in its header. */
static void occupy_preferred_base(const char *exe_path)
{
    HANDLE file = CreateFileA(exe_path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    IMAGE_DOS_HEADER dos;
    IMAGE_NT_HEADERS64 nt;
    DWORD got = 0;
    if (file == INVALID_HANDLE_VALUE)
        return;
    if (ReadFile(file, &dos, sizeof dos, &got, NULL) && got == sizeof dos &&
        SetFilePointer(file, dos.e_lfanew, NULL, FILE_BEGIN) != INVALID_SET_FILE_POINTER &&
        ReadFile(file, &nt, sizeof nt, &got, NULL) && got == sizeof nt) {
        void *taken = VirtualAlloc((void *)(ULONG_PTR)nt.OptionalHeader.ImageBase, nt.OptionalHeader.SizeOfImage,
                                   MEM_RESERVE, PAGE_NOACCESS);
        printf("preferred base %p %s\n", (void *)(ULONG_PTR)nt.OptionalHeader.ImageBase,
               taken ? "reserved by the host" : "could not be reserved");
    }
    CloseHandle(file);
}

/* The value of `member` in the object whose "hwnd" is `handle`, or -1. */
static long long member_of(const char *json, void *handle, const char *member)
{
    char key[48];
    const char *at, *end, *value;
    snprintf(key, sizeof key, "\"hwnd\":%lld,", (long long)(INT_PTR)handle);
    at = strstr(json, key);
    if (!at)
        return -1;
    end = strchr(at, '}');
    value = strstr(at, member);
    if (!value || (end && value > end))
        return -1;
    value += strlen(member);
    if (strncmp(value, "true", 4) == 0)
        return 1;
    if (strncmp(value, "false", 5) == 0)
        return 0;
    return _atoi64(value);
}

static long long listed(void *handle, const char *member)
{
    char *text = list();
    long long value = text ? member_of(text, handle, member) : -1;
    free_string(text);
    return value;
}

int main(int argc, char **argv)
{
    HMODULE exe;
    HWND window;
    char *text;
    if (argc < 2) {
        fprintf(stderr, "usage: host PATH\\TO\\kestal-cli.exe [--occupy-preferred-base]\n");
        return 2;
    }
    if (argc > 2 && strcmp(argv[2], "--occupy-preferred-base") == 0)
        occupy_preferred_base(argv[1]);

    exe = LoadLibraryA(argv[1]);
    if (!exe) {
        fprintf(stderr, "LoadLibrary(%s) failed with error %lu\n", argv[1], GetLastError());
        return 1;
    }
    printf("kestal-cli.exe loaded at %p\n", (void *)exe);
    list = (kestal_list_fn)GetProcAddress(exe, "kestal_list");
    free_string = (kestal_free_string_fn)GetProcAddress(exe, "kestal_free_string");
    set_topmost = (kestal_set_topmost_fn)GetProcAddress(exe, "kestal_set_topmost");
    set_opacity = (kestal_set_opacity_fn)GetProcAddress(exe, "kestal_set_opacity");
    last_error = (kestal_last_error_fn)GetProcAddress(exe, "kestal_last_error");
    if (!list || !free_string || !set_topmost || !set_opacity || !last_error) {
        fprintf(stderr, "kestal-cli.exe lacks one of the five exports\n");
        return 1;
    }

    text = list();
    expect(text && text[0] == '[', "kestal_list returns a JSON array");
    if (text)
        printf("%s\n", text);
    free_string(text);

    window = CreateWindowExW(0, L"STATIC", L"kestal example host", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 40, 40, 240,
                             80, NULL, NULL, GetModuleHandleW(NULL), NULL);
    expect(window != NULL, "the host made a window");
    if (window) {
        expect(set_topmost(window, 1) == 1, "kestal_set_topmost(window, 1)");
        expect(listed(window, "\"pinned\":") == 1, "the listing shows the window pinned");
        expect(set_opacity(window, 60) == 1, "kestal_set_opacity(window, 60)");
        expect(listed(window, "\"opacity\":") == 60, "the listing shows the window at 60");
        expect(set_opacity(window, 100) == 1 && set_topmost(window, 0) == 1, "the window is restored");
        DestroyWindow(window);
    }

    expect(set_opacity(NULL, 10) == 0, "kestal_set_opacity(NULL, 10) is rejected");
    printf("last error: %s\n", last_error());
    expect(strcmp(last_error(), "set_opacity: pct out of range 20-100 (got 10)") == 0, "with the range text");
    free_string(NULL);

    printf("%s\n", failures ? "host: FAILED" : "host: all steps passed");
    return failures ? 1 : 0;
}
