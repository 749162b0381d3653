/* kestal-test-first-call.exe: loads kestal-cli.exe as a library and makes a
 * chosen first call into the image, so that each export in turn, or several
 * threads at once, have to get the image ready:
 *   first_call_host PATH\TO\kestal-cli.exe FIRST [PLACEMENT]
 * FIRST is an export's name; "tls-callbacks": the image's TLS callbacks run
 * first, as a loader that runs them for a mapped exe would, then a listing
 * and a setter; or "threads=N": N worker threads (1 to 16) each
 * make a window, meet at a barrier and then call at once, each starting with
 * another export, and go on listing, pinning and fading their own window;
 * meanwhile the host's UI thread owns a window of its own and waits for them
 * without pumping messages, as a UI thread that waits for its workers does.
 * PLACEMENT is --occupy-preferred-base (the loader must place the exe
 * elsewhere) or --relocate-in-host (as that, and then the host applies the
 * exe's base relocations itself and leaves its header as it was).
 * Prints "placement: preferred", "placement: relocated" or "placement:
 * relocated by host" with "host fix-ups: N", "listing: TEXT" for the first
 * listing of each caller, "ui window: HWND" in threads mode, and one
 * "FAIL ..." line per wrong result.
 * Exit code: 0 when every result was right, 1 when one was wrong, 2 on a bad
 * command line, 3 when the exe does not load or lacks an export. */
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "host_support.h"

static void expect(int ok, const char *what)
{
    if (!ok) {
        say("FAIL %s\n", what);
        InterlockedIncrement(&failures);
    }
}

static void expect_error_text(const char *want)
{
    const char *got = last_error();
    if (!got || strcmp(got, want) != 0) {
        say("FAIL last error is \"%s\", want \"%s\"\n", got ? got : "(null)", want);
        InterlockedIncrement(&failures);
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

/* The windows that every listing in threads mode must hold, with their titles:
 * the UI thread's first, then one per worker. */
#define MAX_WORKERS 16
static HWND known_windows[MAX_WORKERS + 1];
static char known_titles[MAX_WORKERS + 1][48];
static int known_count;

/* A listing must be a whole JSON array that holds every known window under
 * its title; the text is released afterwards. */
static void expect_listing(const char *what, int print)
{
    char *text = list();
    size_t length = text ? strlen(text) : 0;
    int i;
    if (!text || length < 2 || text[0] != '[' || text[length - 1] != ']') {
        say("FAIL %s: not a JSON array: %s\n", what, text ? text : "(null)");
        InterlockedIncrement(&failures);
    }
    for (i = 0; text && i < known_count; ++i) {
        char object[96];
        snprintf(object, sizeof object, "{\"hwnd\":%lld,\"title\":\"%s\",", (long long)(INT_PTR)known_windows[i],
                 known_titles[i]);
        if (!strstr(text, object)) {
            say("FAIL %s: %s is missing from %s\n", what, object, text);
            InterlockedIncrement(&failures);
        }
    }
    if (text && print)
        say("listing: %s\n", text);
    free_string(text);
}

/* ---- TLS callbacks ---------------------------------------------------- */

static HMODULE loaded_exe;

/* An address that the image's data holds, where the image lies now: a loader
 * that relocates has adjusted it already; one that does not (Wine, for an exe
 * mapped as a library) leaves the preferred base in it. */
static void *in_image(ULONGLONG address)
{
    BYTE *base = (BYTE *)loaded_exe;
    IMAGE_NT_HEADERS64 *nt = (IMAGE_NT_HEADERS64 *)(base + ((IMAGE_DOS_HEADER *)base)->e_lfanew);
    if (address >= (ULONGLONG)(ULONG_PTR)base && address < (ULONGLONG)(ULONG_PTR)base + nt->OptionalHeader.SizeOfImage)
        return (void *)(ULONG_PTR)address;
    return base + (address - nt->OptionalHeader.ImageBase);
}

/* Calls the image's TLS callbacks in their order, as a loader that runs them
 * for a mapped exe would before anything else of the image; their count, or
 * -1 when the image has no TLS directory. */
static int run_tls_callbacks(void)
{
    BYTE *base = (BYTE *)loaded_exe;
    IMAGE_NT_HEADERS64 *nt = (IMAGE_NT_HEADERS64 *)(base + ((IMAGE_DOS_HEADER *)base)->e_lfanew);
    IMAGE_DATA_DIRECTORY *dir = &nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_TLS];
    IMAGE_TLS_DIRECTORY64 *tls;
    ULONGLONG *callbacks;
    int count = 0;
    if (!dir->VirtualAddress)
        return -1;
    tls = (IMAGE_TLS_DIRECTORY64 *)(base + dir->VirtualAddress);
    for (callbacks = in_image(tls->AddressOfCallBacks); *callbacks; ++callbacks, ++count)
        ((PIMAGE_TLS_CALLBACK)in_image(*callbacks))(loaded_exe, DLL_PROCESS_ATTACH, NULL);
    for (callbacks = in_image(tls->AddressOfCallBacks); *callbacks; ++callbacks)
        ((PIMAGE_TLS_CALLBACK)in_image(*callbacks))(loaded_exe, DLL_THREAD_ATTACH, NULL);
    return count;
}

static int first_call(const char *name)
{
    if (strcmp(name, "tls-callbacks") == 0) {
        int count = run_tls_callbacks();
        say("tls callbacks: %d\n", count);
        expect(count > 0, "the image has TLS callbacks");
        expect_listing("kestal_list after the TLS callbacks", 1);
        expect(set_topmost(NULL, 1) == 0, "kestal_set_topmost(NULL, 1) returns 0");
        expect_error_text("set_topmost: null hwnd");
    } else if (strcmp(name, "kestal_last_error") == 0) {
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

/* ---- several threads at once ------------------------------------------- */

#define WORKER_ROUNDS 5
/* Far longer than the workers take, even on a loaded machine; a listing that
 * waits for the blocked UI thread never ends. */
#define WORKERS_DEADLINE_MS 20000

static volatile LONG arrived, finished;
static int worker_count;
/* A thread's windows go with the thread, so no worker ends before all are done. */
static HANDLE go, all_finished;

static HWND make_window(const char *title)
{
    return CreateWindowExA(0, "STATIC", title, WS_OVERLAPPED | WS_VISIBLE, 10, 10, 200, 80, NULL, NULL,
                           GetModuleHandleA(NULL), NULL);
}

static void expect_change(int32_t done, const char *what, int worker)
{
    if (!done) {
        say("FAIL worker %d: %s: %s\n", worker, what, last_error());
        InterlockedIncrement(&failures);
    }
}

/* The worker's own window: setters on a window of another thread would wait
 * for the blocked UI thread, which is not what this host is about. */
static void worker_first_call(int worker, HWND window)
{
    switch (worker % 5) {
    case 0:
        expect_listing("a first call to kestal_list", 1);
        break;
    case 1:
        expect_change(set_topmost(window, 1), "a first call to kestal_set_topmost", worker);
        break;
    case 2:
        expect_change(set_opacity(window, 50), "a first call to kestal_set_opacity", worker);
        break;
    case 3:
        expect(last_error() != NULL, "a first call to kestal_last_error returns text");
        break;
    default:
        free_string(NULL);
        break;
    }
}

static DWORD worker_main(int worker, HWND window)
{
    int round;
    InterlockedIncrement(&arrived);
    WaitForSingleObject(go, INFINITE);
    worker_first_call(worker, window);
    for (round = 0; round < WORKER_ROUNDS; ++round) {
        expect_listing("a listing", round == 0 && worker % 5 != 0);
        expect_change(set_topmost(window, 1), "pinning", worker);
        expect((GetWindowLongPtrW(window, GWL_EXSTYLE) & WS_EX_TOPMOST) != 0, "a pinned window is topmost");
        expect_change(set_opacity(window, 20 + worker), "fading", worker);
        expect_change(set_opacity(window, 100), "making opaque", worker);
        expect_change(set_topmost(window, 0), "unpinning", worker);
    }
    if (InterlockedIncrement(&finished) == worker_count)
        SetEvent(all_finished);
    WaitForSingleObject(all_finished, INFINITE);
    return 0;
}

static HWND worker_window;
static HANDLE window_made;

/* Each worker's window belongs to the worker's thread, which never pumps. */
static DWORD WINAPI worker_start(void *param)
{
    int worker = (int)(INT_PTR)param;
    HWND window;
    snprintf(known_titles[worker + 1], sizeof known_titles[0], "first-call host worker %d", worker);
    window = make_window(known_titles[worker + 1]);
    worker_window = window;
    SetEvent(window_made);
    return window ? worker_main(worker, window) : 1;
}

static int run_threads(int workers)
{
    HANDLE threads[MAX_WORKERS];
    int i;
    DWORD waited;
    snprintf(known_titles[0], sizeof known_titles[0], "first-call host UI thread");
    known_windows[0] = make_window(known_titles[0]);
    worker_count = workers;
    go = CreateEventA(NULL, TRUE, FALSE, NULL);
    all_finished = CreateEventA(NULL, TRUE, FALSE, NULL);
    window_made = CreateEventA(NULL, FALSE, FALSE, NULL);
    if (!known_windows[0] || !go || !all_finished || !window_made) {
        fprintf(stderr, "cannot make the UI thread's window or events (error %lu)\n", GetLastError());
        return 3;
    }
    say("ui window: %lld\n", (long long)(INT_PTR)known_windows[0]);
    for (i = 0; i < workers; ++i) {
        threads[i] = CreateThread(NULL, 0, worker_start, (void *)(INT_PTR)i, 0, NULL);
        if (!threads[i] || WaitForSingleObject(window_made, 10000) != WAIT_OBJECT_0 || !worker_window) {
            fprintf(stderr, "worker %d did not start with a window (error %lu)\n", i, GetLastError());
            return 3;
        }
        known_windows[i + 1] = worker_window;
    }
    /* Every window exists before anyone calls, so every listing must hold them all. */
    known_count = workers + 1;
    while (InterlockedCompareExchange(&arrived, 0, 0) < workers)
        Sleep(1);
    SetEvent(go);
    waited = WaitForMultipleObjects((DWORD)workers, threads, TRUE, WORKERS_DEADLINE_MS);
    if (waited != WAIT_OBJECT_0) {
        say("FAIL the workers did not finish within %d ms while the UI thread waited for them\n", WORKERS_DEADLINE_MS);
        InterlockedIncrement(&failures);
    }
    return 0;
}

/* ---- placement --------------------------------------------------------- */

/* Applies the image's base relocations for where it lies, as a loader does,
 * but leaves the header's ImageBase as the file has it. Returns how many
 * addresses it adjusted; -1 when it could not. */
static long relocate_in_host(HMODULE exe)
{
    BYTE *base = (BYTE *)exe;
    IMAGE_NT_HEADERS64 *nt = (IMAGE_NT_HEADERS64 *)(base + ((IMAGE_DOS_HEADER *)base)->e_lfanew);
    IMAGE_SECTION_HEADER *sections = IMAGE_FIRST_SECTION(nt);
    IMAGE_DATA_DIRECTORY *dir = &nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_BASERELOC];
    ULONGLONG delta = (ULONGLONG)(ULONG_PTR)base - nt->OptionalHeader.ImageBase;
    DWORD saved[96];
    DWORD walked = 0;
    long adjusted = 0;
    WORD i;
    if (nt->FileHeader.NumberOfSections > 96 || !dir->VirtualAddress)
        return -1;
    for (i = 0; i < nt->FileHeader.NumberOfSections; ++i) {
        if (!VirtualProtect(base + sections[i].VirtualAddress, sections[i].Misc.VirtualSize, PAGE_EXECUTE_READWRITE,
                            &saved[i]))
            return -1;
    }
    while (delta && walked + sizeof(IMAGE_BASE_RELOCATION) <= dir->Size) {
        IMAGE_BASE_RELOCATION *block = (IMAGE_BASE_RELOCATION *)(base + dir->VirtualAddress + walked);
        WORD *fixups = (WORD *)(block + 1);
        DWORD count = (block->SizeOfBlock - sizeof *block) / sizeof(WORD), k;
        if (block->SizeOfBlock < sizeof *block)
            break;
        for (k = 0; k < count; ++k) {
            if (fixups[k] >> 12 == IMAGE_REL_BASED_DIR64) {
                *(ULONGLONG *)(base + block->VirtualAddress + (fixups[k] & 0xfff)) += delta;
                ++adjusted;
            }
        }
        walked += block->SizeOfBlock;
    }
    for (i = 0; i < nt->FileHeader.NumberOfSections; ++i) {
        DWORD ignored;
        VirtualProtect(base + sections[i].VirtualAddress, sections[i].Misc.VirtualSize, saved[i], &ignored);
    }
    return adjusted;
}

int main(int argc, char **argv)
{
    HMODULE exe;
    DWORD image_size = 0;
    ULONGLONG wanted;
    int workers = 0;
    int relocate_here = argc > 3 && strcmp(argv[3], "--relocate-in-host") == 0;
    int occupy = relocate_here || (argc > 3 && strcmp(argv[3], "--occupy-preferred-base") == 0);
    if (argc < 3 || argc > 4 || (argc > 3 && !occupy) ||
        (strncmp(argv[2], "threads=", 8) == 0 &&
         ((workers = atoi(argv[2] + 8)) < 1 || workers > MAX_WORKERS))) {
        fprintf(stderr, "usage: first_call_host PATH\\TO\\kestal-cli.exe EXPORT|threads=1..%d "
                        "[--occupy-preferred-base|--relocate-in-host]\n",
                MAX_WORKERS);
        return 2;
    }
    InitializeCriticalSection(&output);
    wanted = preferred_base(argv[1], &image_size);
    if (!wanted) {
        fprintf(stderr, "cannot read the header of %s\n", argv[1]);
        return 3;
    }
    if (occupy && !VirtualAlloc((void *)(ULONG_PTR)wanted, image_size, MEM_RESERVE, PAGE_NOACCESS)) {
        fprintf(stderr, "cannot reserve the preferred base (error %lu)\n", GetLastError());
        return 3;
    }

    exe = loaded_exe = LoadLibraryA(argv[1]);
    if (!exe) {
        fprintf(stderr, "LoadLibrary(%s) failed with error %lu\n", argv[1], GetLastError());
        return 3;
    }
    if (relocate_here) {
        /* Loaders that relocate also rewrite the header, leaving nothing to do here. */
        long adjusted = relocate_in_host(exe);
        if (adjusted < 0) {
            fprintf(stderr, "cannot apply the base relocations of %s (error %lu)\n", argv[1], GetLastError());
            return 3;
        }
        say("placement: relocated by host\nhost fix-ups: %ld\n", adjusted);
    } else {
        say("placement: %s\n", (ULONGLONG)(ULONG_PTR)exe == wanted ? "preferred" : "relocated");
    }
    if (!resolve_exports(exe)) {
        fprintf(stderr, "kestal-cli.exe lacks one of the five exports\n");
        return 3;
    }
    if (workers) {
        int setup = run_threads(workers);
        if (setup)
            return setup;
    } else if (!first_call(argv[2])) {
        fprintf(stderr, "unknown export '%s'\n", argv[2]);
        return 2;
    }
    fflush(stdout);
    /* Workers that did not finish are ended with the process. */
    ExitProcess(failures ? 1 : 0);
}
