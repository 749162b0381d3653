// Getting the image ready when a host loaded kestal-cli.exe as a library.
//
// Windows does not resolve the imports of an .exe that LoadLibrary maps, and
// Wine applies neither its imports nor its base relocations. Until this file
// has run, every absolute address in the image may point at the preferred
// base and every import slot still holds the RVA of its name. So this file:
//   - reaches its data only RIP-relative (built with -mcmodel=small, so no
//     .refptr indirection), and never through __ImageBase;
//   - finds the image and kernel32 through the process's loader data;
//   - finds LoadLibraryA, GetProcAddress and VirtualProtect by walking
//     export tables, following forwarders;
//   - calls no import and no C runtime function (built with -fno-builtin and
//     -fno-tree-loop-distribute-patterns, so loops stay loops).
// State is constant-initialised: a host never runs the CRT start-up.
//
// A host may make its first calls from several threads at once. One thread
// does the work; the others wait until it has published the outcome, so none
// runs on a half-resolved import table. Neither a lock nor an event can be
// had before the imports are resolved, so the hand-over uses the compiler's
// atomics alone.
#include <cstddef>

#include "internal.h"

namespace {

struct unicode_text {
    USHORT length; // bytes
    USHORT capacity;
    wchar_t *chars;
};

struct loader_entry {
    LIST_ENTRY load_order;
    LIST_ENTRY memory_order;
    LIST_ENTRY init_order;
    BYTE *base;
    void *entry_point;
    ULONG image_size;
    unicode_text full_name;
    unicode_text base_name;
};
static_assert(offsetof(loader_entry, base) == 0x30);
static_assert(offsetof(loader_entry, image_size) == 0x40);
static_assert(offsetof(loader_entry, base_name) == 0x58);

struct loader_data {
    ULONG length;
    BOOLEAN initialized;
    void *ss_handle;
    LIST_ENTRY load_order;
};
static_assert(offsetof(loader_data, load_order) == 0x10);

constexpr unsigned kPebOffsetInTeb = 0x60;
constexpr unsigned kLoaderDataOffsetInPeb = 0x18;
constexpr int kMaxForwardDepth = 4;

using LoadLibraryA_fn = HMODULE(WINAPI *)(LPCSTR);
using GetProcAddress_fn = FARPROC(WINAPI *)(HMODULE, LPCSTR);
using VirtualProtect_fn = BOOL(WINAPI *)(LPVOID, SIZE_T, DWORD, PDWORD);
using Sleep_fn = void(WINAPI *)(DWORD);

struct kernel_calls {
    LoadLibraryA_fn load_library;
    GetProcAddress_fn get_proc_address;
    VirtualProtect_fn virtual_protect;
    Sleep_fn sleep;
};

enum image_state : int { kUnchecked, kPreparing, kReady, kBroken };

// A waiting thread spins this long before it gives up its time slice, which
// lets a preparing thread of lower priority run.
constexpr int kSpinsBeforeSleep = 4096;

} // namespace

static image_state g_image_state = kUnchecked;
// Published by the preparing thread for the threads that wait for it: they
// must not walk the loader's module list while its LoadLibrary calls change it.
static Sleep_fn g_sleep_while_waiting = nullptr;

// Holds the address it had at link time, and the base relocations keep it
// up to date wherever they are applied: by the loader, by a host, or here.
// Where it differs from the address that the code reaches RIP-relative, the
// image lies elsewhere and its absolute addresses have not been adjusted.
// The header's ImageBase is no witness: whether a relocating loader rewrites
// it is undocumented. Volatile, or the compiler would fold the load of the
// stored address into the RIP-relative one.
const volatile void *const volatile g_link_time_self = &g_link_time_self;

static loader_data *process_loader_data()
{
    BYTE *peb;
    asm("movq %%gs:%c1, %0" : "=r"(peb) : "i"(kPebOffsetInTeb));
    return *reinterpret_cast<loader_data **>(peb + kLoaderDataOffsetInPeb);
}

static IMAGE_NT_HEADERS64 *nt_headers(BYTE *base)
{
    return reinterpret_cast<IMAGE_NT_HEADERS64 *>(base + reinterpret_cast<IMAGE_DOS_HEADER *>(base)->e_lfanew);
}

static IMAGE_DATA_DIRECTORY &directory(BYTE *base, int index)
{
    return nt_headers(base)->OptionalHeader.DataDirectory[index];
}

static char lower_ascii(wchar_t c)
{
    return static_cast<char>(c >= L'A' && c <= L'Z' ? c - L'A' + 'a' : c);
}

// True when the module's base name equals `name` (no extension) plus ".dll",
// ignoring ASCII case; `name_length` chars of `name` are compared.
static bool module_named(const loader_entry *entry, const char *name, int name_length)
{
    static constexpr char kSuffix[] = ".dll";
    int chars = entry->base_name.length / 2;
    if (chars != name_length + 4)
        return false;
    for (int i = 0; i < chars; ++i) {
        char want = i < name_length ? name[i] : kSuffix[i - name_length];
        if (lower_ascii(entry->base_name.chars[i]) != lower_ascii(static_cast<unsigned char>(want)))
            return false;
    }
    return true;
}

static BYTE *loaded_module(const char *name, int name_length)
{
    LIST_ENTRY *head = &process_loader_data()->load_order;
    for (LIST_ENTRY *link = head->Flink; link != head; link = link->Flink) {
        const loader_entry *entry = reinterpret_cast<const loader_entry *>(link);
        if (entry->base && module_named(entry, name, name_length))
            return entry->base;
    }
    return nullptr;
}

static BYTE *module_containing(const void *address)
{
    const BYTE *where = static_cast<const BYTE *>(address);
    LIST_ENTRY *head = &process_loader_data()->load_order;
    for (LIST_ENTRY *link = head->Flink; link != head; link = link->Flink) {
        const loader_entry *entry = reinterpret_cast<const loader_entry *>(link);
        if (where >= entry->base && where < entry->base + entry->image_size)
            return entry->base;
    }
    return nullptr;
}

static bool same_text(const char *a, const char *b)
{
    while (*a && *a == *b) {
        ++a;
        ++b;
    }
    return *a == *b;
}

static void *exported(BYTE *base, const char *name, int depth)
{
    if (!base || depth > kMaxForwardDepth)
        return nullptr;
    const IMAGE_DATA_DIRECTORY &dir = directory(base, IMAGE_DIRECTORY_ENTRY_EXPORT);
    if (dir.VirtualAddress == 0)
        return nullptr;
    auto *exports = reinterpret_cast<IMAGE_EXPORT_DIRECTORY *>(base + dir.VirtualAddress);
    auto *names = reinterpret_cast<DWORD *>(base + exports->AddressOfNames);
    auto *ordinals = reinterpret_cast<WORD *>(base + exports->AddressOfNameOrdinals);
    auto *functions = reinterpret_cast<DWORD *>(base + exports->AddressOfFunctions);
    for (DWORD i = 0; i < exports->NumberOfNames; ++i) {
        if (!same_text(reinterpret_cast<const char *>(base + names[i]), name))
            continue;
        DWORD rva = functions[ordinals[i]];
        if (rva < dir.VirtualAddress || rva >= dir.VirtualAddress + dir.Size)
            return base + rva;
        // A forwarder "MODULE.Function": the target module is loaded already,
        // since the loader loaded it for the forwarding module. An API-set
        // name is no module of its own; kernel32's API sets live in kernelbase.
        const char *forward = reinterpret_cast<const char *>(base + rva);
        int dot = 0;
        while (forward[dot] && forward[dot] != '.')
            ++dot;
        if (!forward[dot] || forward[dot + 1] == '#')
            return nullptr;
        static constexpr char kKernelBase[] = "kernelbase";
        BYTE *target = loaded_module(forward, dot);
        if (!target)
            target = loaded_module(kKernelBase, sizeof kKernelBase - 1);
        return exported(target, forward + dot + 1, depth + 1);
    }
    return nullptr;
}

static bool find_kernel_calls(kernel_calls &calls)
{
    static constexpr char kKernel32[] = "kernel32";
    BYTE *kernel32 = loaded_module(kKernel32, sizeof kKernel32 - 1);
    calls.load_library = reinterpret_cast<LoadLibraryA_fn>(exported(kernel32, "LoadLibraryA", 0));
    calls.get_proc_address = reinterpret_cast<GetProcAddress_fn>(exported(kernel32, "GetProcAddress", 0));
    calls.virtual_protect = reinterpret_cast<VirtualProtect_fn>(exported(kernel32, "VirtualProtect", 0));
    calls.sleep = reinterpret_cast<Sleep_fn>(exported(kernel32, "Sleep", 0));
    return calls.load_library && calls.get_proc_address && calls.virtual_protect;
}

constexpr WORD kMaxSections = 96;

// Makes every section writable, so that fix-ups can land anywhere, and
// remembers each section's protection for relock_sections.
static bool unlock_sections(BYTE *base, const kernel_calls &calls, DWORD *saved)
{
    IMAGE_NT_HEADERS64 *nt = nt_headers(base);
    IMAGE_SECTION_HEADER *sections = IMAGE_FIRST_SECTION(nt);
    if (nt->FileHeader.NumberOfSections > kMaxSections)
        return false;
    for (WORD i = 0; i < nt->FileHeader.NumberOfSections; ++i) {
        if (!calls.virtual_protect(base + sections[i].VirtualAddress, sections[i].Misc.VirtualSize,
                                   PAGE_EXECUTE_READWRITE, &saved[i]))
            return false;
    }
    return true;
}

static void relock_sections(BYTE *base, const kernel_calls &calls, const DWORD *saved)
{
    IMAGE_NT_HEADERS64 *nt = nt_headers(base);
    IMAGE_SECTION_HEADER *sections = IMAGE_FIRST_SECTION(nt);
    for (WORD i = 0; i < nt->FileHeader.NumberOfSections; ++i) {
        DWORD ignored = 0;
        calls.virtual_protect(base + sections[i].VirtualAddress, sections[i].Misc.VirtualSize, saved[i], &ignored);
    }
}

static bool apply_relocations(BYTE *base, ULONGLONG delta, const kernel_calls &calls)
{
    const IMAGE_DATA_DIRECTORY &dir = directory(base, IMAGE_DIRECTORY_ENTRY_BASERELOC);
    if (dir.VirtualAddress == 0 || dir.Size == 0)
        return false;
    DWORD saved[kMaxSections];
    if (!unlock_sections(base, calls, saved))
        return false;
    BYTE *block_at = base + dir.VirtualAddress;
    BYTE *end = block_at + dir.Size;
    while (block_at + sizeof(IMAGE_BASE_RELOCATION) <= end) {
        auto *block = reinterpret_cast<IMAGE_BASE_RELOCATION *>(block_at);
        if (block->SizeOfBlock < sizeof *block)
            break;
        BYTE *page = base + block->VirtualAddress;
        auto *fixups = reinterpret_cast<WORD *>(block + 1);
        DWORD count = (block->SizeOfBlock - sizeof *block) / sizeof(WORD);
        for (DWORD i = 0; i < count; ++i) {
            int type = fixups[i] >> 12;
            BYTE *target = page + (fixups[i] & 0xfff);
            if (type == IMAGE_REL_BASED_DIR64)
                *reinterpret_cast<ULONGLONG *>(target) += delta;
            else if (type == IMAGE_REL_BASED_HIGHLOW)
                *reinterpret_cast<DWORD *>(target) += static_cast<DWORD>(delta);
        }
        block_at += block->SizeOfBlock;
    }
    relock_sections(base, calls, saved);
    return true;
}

// The first import descriptor; null when the image imports nothing.
static IMAGE_IMPORT_DESCRIPTOR *first_import(BYTE *base)
{
    const IMAGE_DATA_DIRECTORY &dir = directory(base, IMAGE_DIRECTORY_ENTRY_IMPORT);
    return dir.VirtualAddress ? reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR *>(base + dir.VirtualAddress) : nullptr;
}

// True when a slot of the DLL's import table still holds the RVA of its
// name: a slot that the loader resolved no longer equals its name entry.
static bool has_unresolved_slot(BYTE *base, const IMAGE_IMPORT_DESCRIPTOR *import)
{
    if (!import->OriginalFirstThunk)
        return false;
    auto *names = reinterpret_cast<const ULONGLONG *>(base + import->OriginalFirstThunk);
    auto *slots = reinterpret_cast<const ULONGLONG *>(base + import->FirstThunk);
    for (int i = 0; names[i]; ++i) {
        if (slots[i] == names[i])
            return true;
    }
    return false;
}

static bool has_unresolved_imports(BYTE *base)
{
    for (IMAGE_IMPORT_DESCRIPTOR *import = first_import(base); import && import->Name; ++import) {
        if (has_unresolved_slot(base, import))
            return true;
    }
    return false;
}

static bool resolve_imports(BYTE *base, const kernel_calls &calls)
{
    for (IMAGE_IMPORT_DESCRIPTOR *import = first_import(base); import && import->Name; ++import) {
        if (!has_unresolved_slot(base, import))
            continue;
        auto *names = reinterpret_cast<ULONGLONG *>(base + import->OriginalFirstThunk);
        auto *slots = reinterpret_cast<ULONGLONG *>(base + import->FirstThunk);
        HMODULE module = calls.load_library(reinterpret_cast<const char *>(base + import->Name));
        if (!module)
            return false;
        for (int i = 0; names[i]; ++i) {
            if (slots[i] != names[i])
                continue;
            const char *by = IMAGE_SNAP_BY_ORDINAL64(names[i])
                                 ? reinterpret_cast<const char *>(IMAGE_ORDINAL64(names[i]))
                                 : reinterpret_cast<const char *>(
                                       reinterpret_cast<IMAGE_IMPORT_BY_NAME *>(base + names[i])->Name);
            FARPROC function = calls.get_proc_address(module, by);
            if (!function)
                return false;
            DWORD old_protection = 0;
            if (!calls.virtual_protect(&slots[i], sizeof slots[i], PAGE_READWRITE, &old_protection))
                return false;
            slots[i] = reinterpret_cast<ULONGLONG>(function);
            calls.virtual_protect(&slots[i], sizeof slots[i], old_protection, &old_protection);
        }
    }
    return true;
}

static void report_broken(const char *why)
{
    static constexpr char kPrefix[] = "image bootstrap failed: ";
    size_t at = 0;
    for (const char *c = kPrefix; *c && at + 1 < kLastErrorSize; ++c)
        g_last_error[at++] = *c;
    for (const char *c = why; *c && at + 1 < kLastErrorSize; ++c)
        g_last_error[at++] = *c;
    g_last_error[at] = '\0';
}

static image_state make_ready()
{
    BYTE *base = module_containing(reinterpret_cast<const void *>(&make_ready));
    if (!base) {
        report_broken("own image not in the loader's module list");
        return kBroken;
    }
    const ULONGLONG delta =
        reinterpret_cast<ULONGLONG>(&g_link_time_self) - reinterpret_cast<ULONGLONG>(g_link_time_self);
    const bool unresolved = has_unresolved_imports(base);
    if (delta == 0 && !unresolved)
        return kReady;

    kernel_calls calls = {};
    if (!find_kernel_calls(calls)) {
        report_broken("kernel32 exports not found");
        return kBroken;
    }
    __atomic_store_n(&g_sleep_while_waiting, calls.sleep, __ATOMIC_RELEASE);
    if (delta != 0 && !apply_relocations(base, delta, calls)) {
        report_broken("base relocations could not be applied");
        return kBroken;
    }
    if (unresolved && !resolve_imports(base, calls)) {
        report_broken("imports could not be resolved");
        return kBroken;
    }
    return kReady;
}

// Waits for the thread that prepares the image: spinning first, then
// sleeping once that thread has found the sleep call.
static image_state settled_state()
{
    image_state state;
    for (int spins = 0; (state = __atomic_load_n(&g_image_state, __ATOMIC_ACQUIRE)) == kPreparing; ++spins) {
        Sleep_fn sleep = __atomic_load_n(&g_sleep_while_waiting, __ATOMIC_ACQUIRE);
        if (spins < kSpinsBeforeSleep || !sleep)
            __builtin_ia32_pause();
        else
            sleep(1);
    }
    return state;
}

bool image_ready()
{
    image_state state = __atomic_load_n(&g_image_state, __ATOMIC_ACQUIRE);
    if (state == kUnchecked) {
        image_state expected = kUnchecked;
        if (__atomic_compare_exchange_n(&g_image_state, &expected, kPreparing, false, __ATOMIC_ACQUIRE,
                                        __ATOMIC_ACQUIRE)) {
            // Release: whoever reads the outcome also sees every slot,
            // every fix-up and every restored protection written before it.
            state = make_ready();
            __atomic_store_n(&g_image_state, state, __ATOMIC_RELEASE);
        } else {
            state = expected;
        }
    }
    if (state == kPreparing)
        state = settled_state();
    return state == kReady;
}

// Runs before the C runtime's own TLS callbacks (library_entry.cpp says why).
void NTAPI ready_before_the_runtime(void *, DWORD reason, void *)
{
    if (reason == DLL_PROCESS_ATTACH || reason == DLL_THREAD_ATTACH)
        image_ready();
}
