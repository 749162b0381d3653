/* kestal-test-first-call.exe: loads kestal-cli.exe as a library and makes one
 * chosen export the very first call into the image, so that each export in
 * turn has to get the image ready on its own:
 *   first_call_host PATH\TO\kestal-cli.exe EXPORT [--occupy-preferred-base]
 * Prints "placement: preferred" or "placement: relocated", for kestal_list
 * also "listing: TEXT", and one "FAIL ..." line per wrong result.
 * Exit code: 0 when every result was right, 1 when one was wrong, 2 on a bad
 * command line, 3 when the exe does not load or lacks an export. */
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
    if (!ok) {
        printf("FAIL %s\n", what);
        ++failures;
    }
}

static void expect_error_text(const char *want)
{
    const char *got = last_error();
    if (!got || strcmp(got, want) != 0) {
        printf("FAIL last error is \"%s\", want \"%s\"\n", got ? got : "(null)", want);
        ++failures;
    }
}

/* The base address and size that the exe's header asks for; 0 when unreadable. */
static ULONGLONG preferred_base(const char *exe_path, DWORD *image_size)
{
    HANDLE file = CreateFileA(exe_path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    IMAGE_DOS_HEADER dos;
    IMAGE_NT_HEADERS64 nt;
    DWORD got = 0;
    ULONGLONG base = 0;
    if (file == INVALID_HANDLE_VALUE)
        return 0;
    if (ReadFile(file, &dos, sizeof dos, &got, NULL) && got == sizeof dos &&
        SetFilePointer(file, dos.e_lfanew, NULL, FILE_BEGIN) != INVALID_SET_FILE_POINTER &&
        ReadFile(file, &nt, sizeof nt, &got, NULL) && got == sizeof nt) {
        base = nt.OptionalHeader.ImageBase;
        *image_size = nt.OptionalHeader.SizeOfImage;
    }
    CloseHandle(file);
    return base;
}

/* A listing must be a whole JSON array; the text is released afterwards. */
static void expect_listing(const char *what, int print)
{
    char *text = list();
    size_t length = text ? strlen(text) : 0;
    if (!text || length < 2 || text[0] != '[' || text[length - 1] != ']') {
        printf("FAIL %s: not a JSON array: %s\n", what, text ? text : "(null)");
        ++failures;
    }
    if (text && print)
        printf("listing: %s\n", text);
    free_string(text);
}

static int first_call(const char *name)
{
    if (strcmp(name, "kestal_last_error") == 0) {
        expect_error_text("no error");
    } else if (strcmp(name, "kestal_free_string") == 0) {
        free_string(NULL);
        expect_listing("a listing after kestal_free_string(NULL)", 0);
    } else if (strcmp(name, "kestal_list") == 0) {
        expect_listing("kestal_list", 1);
        expect_error_text("no error");
    } else if (strcmp(name, "kestal_set_topmost") == 0) {
        expect(set_topmost(NULL, 1) == 0, "kestal_set_topmost(NULL, 1) returns 0");
        expect_error_text("set_topmost: null hwnd");
    } else if (strcmp(name, "kestal_set_opacity") == 0) {
        expect(set_opacity(NULL, 50) == 0, "kestal_set_opacity(NULL, 50) returns 0");
        expect_error_text("set_opacity: null hwnd");
    } else {
        return 0;
    }
    return 1;
}

int main(int argc, char **argv)
{
    HMODULE exe;
    DWORD image_size = 0;
    ULONGLONG wanted;
    if (argc < 3 || (argc > 3 && strcmp(argv[3], "--occupy-preferred-base") != 0)) {
        fprintf(stderr, "usage: first_call_host PATH\\TO\\kestal-cli.exe EXPORT [--occupy-preferred-base]\n");
        return 2;
    }
    wanted = preferred_base(argv[1], &image_size);
    if (!wanted) {
        fprintf(stderr, "cannot read the header of %s\n", argv[1]);
        return 3;
    }
    if (argc > 3 && !VirtualAlloc((void *)(ULONG_PTR)wanted, image_size, MEM_RESERVE, PAGE_NOACCESS)) {
        fprintf(stderr, "cannot reserve the preferred base (error %lu)\n", GetLastError());
        return 3;
    }

    exe = LoadLibraryA(argv[1]);
    if (!exe) {
        fprintf(stderr, "LoadLibrary(%s) failed with error %lu\n", argv[1], GetLastError());
        return 3;
    }
    printf("placement: %s\n", (ULONGLONG)(ULONG_PTR)exe == wanted ? "preferred" : "relocated");
    /* GetProcAddress only reads the export table: nothing runs in the image yet. */
    list = (kestal_list_fn)GetProcAddress(exe, "kestal_list");
    free_string = (kestal_free_string_fn)GetProcAddress(exe, "kestal_free_string");
    set_topmost = (kestal_set_topmost_fn)GetProcAddress(exe, "kestal_set_topmost");
    set_opacity = (kestal_set_opacity_fn)GetProcAddress(exe, "kestal_set_opacity");
    last_error = (kestal_last_error_fn)GetProcAddress(exe, "kestal_last_error");
    if (!list || !free_string || !set_topmost || !set_opacity || !last_error) {
        fprintf(stderr, "kestal-cli.exe lacks one of the five exports\n");
        return 3;
    }
    if (!first_call(argv[2])) {
        fprintf(stderr, "unknown export '%s'\n", argv[2]);
        return 2;
    }
    fflush(stdout);
    return failures ? 1 : 0;
}
