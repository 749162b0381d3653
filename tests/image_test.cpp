// kestal-cli.exe as a library image: what a host sees in its headers, and
// what a host gets from its first call, wherever the image was placed.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "test_support.h"

namespace {

// The exe as it lies on disk, read through its section table.
struct pe_file {
    std::string bytes;
    const IMAGE_NT_HEADERS64 *nt = nullptr;

    const IMAGE_DATA_DIRECTORY &directory(int index) const { return nt->OptionalHeader.DataDirectory[index]; }

    // `size` bytes at an RVA, or null when they are not all in one section's file data.
    const BYTE *at(DWORD rva, DWORD size) const
    {
        const IMAGE_SECTION_HEADER *sections = IMAGE_FIRST_SECTION(nt);
        for (WORD i = 0; i < nt->FileHeader.NumberOfSections; ++i) {
            const IMAGE_SECTION_HEADER &s = sections[i];
            if (rva < s.VirtualAddress || rva - s.VirtualAddress + uint64_t{size} > s.SizeOfRawData)
                continue;
            uint64_t offset = uint64_t{s.PointerToRawData} + (rva - s.VirtualAddress);
            return offset + size <= bytes.size() ? reinterpret_cast<const BYTE *>(bytes.data()) + offset : nullptr;
        }
        return nullptr;
    }

    template <typename T> const T *object_at(DWORD rva, DWORD count = 1) const
    {
        return reinterpret_cast<const T *>(at(rva, static_cast<DWORD>(sizeof(T) * count)));
    }

    // A NUL-terminated name at an RVA; empty when it runs off its section.
    std::string name_at(DWORD rva) const
    {
        std::string name;
        for (const BYTE *c; (c = at(rva, 1)) && *c; ++rva)
            name.push_back(static_cast<char>(*c));
        return at(rva, 1) ? name : std::string();
    }
};

std::optional<pe_file> read_cli_image()
{
    pe_file pe;
    std::wstring path = kt::program_path(L"kestal-cli.exe");
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        ADD_FAILURE() << "cannot open " << kt::narrow(path);
        return std::nullopt;
    }
    char buffer[65536];
    DWORD got = 0;
    while (ReadFile(file, buffer, sizeof buffer, &got, nullptr) && got > 0)
        pe.bytes.append(buffer, got);
    CloseHandle(file);

    auto *dos = reinterpret_cast<const IMAGE_DOS_HEADER *>(pe.bytes.data());
    if (pe.bytes.size() < sizeof *dos || dos->e_magic != IMAGE_DOS_SIGNATURE || dos->e_lfanew < 0 ||
        static_cast<size_t>(dos->e_lfanew) + sizeof(IMAGE_NT_HEADERS64) > pe.bytes.size()) {
        ADD_FAILURE() << "kestal-cli.exe has no PE header";
        return std::nullopt;
    }
    pe.nt = reinterpret_cast<const IMAGE_NT_HEADERS64 *>(pe.bytes.data() + dos->e_lfanew);
    size_t sections_end = static_cast<size_t>(dos->e_lfanew) + offsetof(IMAGE_NT_HEADERS64, OptionalHeader) +
                          pe.nt->FileHeader.SizeOfOptionalHeader +
                          sizeof(IMAGE_SECTION_HEADER) * pe.nt->FileHeader.NumberOfSections;
    if (pe.nt->Signature != IMAGE_NT_SIGNATURE || pe.nt->OptionalHeader.Magic != IMAGE_NT_OPTIONAL_HDR64_MAGIC ||
        sections_end > pe.bytes.size()) {
        ADD_FAILURE() << "kestal-cli.exe is not a whole PE32+ image";
        return std::nullopt;
    }
    return pe;
}

std::string lower(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(),
                   [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; });
    return text;
}

// ---- interface in the headers ------------------------------------------------

// The functions that a C file including `text` may call: every name followed
// by an argument list, with comments and pointer typedefs left out.
std::vector<std::string> declared_functions(std::string text)
{
    for (size_t open = text.find("/*"); open != std::string::npos; open = text.find("/*", open)) {
        const size_t close = text.find("*/", open + 2);
        text.erase(open, close == std::string::npos ? std::string::npos : close + 2 - open);
    }
    std::vector<std::string> names;
    for (size_t at = text.find("kestal_"); at != std::string::npos; at = text.find("kestal_", at + 1)) {
        size_t end = at;
        while (end < text.size() && (std::isalnum(static_cast<unsigned char>(text[end])) || text[end] == '_'))
            ++end;
        const bool typedef_name = at >= 2 && text.compare(at - 2, 2, "(*") == 0;
        if (!typedef_name && end < text.size() && text[end] == '(')
            names.push_back(text.substr(at, end - at));
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::optional<std::string> read_text_file(std::string path)
{
    // The build machine's path, as a Windows program under Wine sees it.
    if (kt::under_wine() && path.starts_with('/'))
        path = "Z:" + path;
    FILE *file = _wfopen(kt::widen(path).c_str(), L"rb");
    if (!file)
        return std::nullopt;
    std::string text;
    char buffer[4096];
    for (size_t got; (got = fread(buffer, 1, sizeof buffer, file)) > 0;)
        text.append(buffer, got);
    fclose(file);
    return text;
}

TEST(image_tests, exports_exactly_the_five_host_functions_by_name_and_the_shipped_header_declares_them)
{
    auto pe = read_cli_image();
    ASSERT_TRUE(pe);
    const IMAGE_DATA_DIRECTORY &dir = pe->directory(IMAGE_DIRECTORY_ENTRY_EXPORT);
    auto *exports = pe->object_at<IMAGE_EXPORT_DIRECTORY>(dir.VirtualAddress);
    ASSERT_TRUE(dir.VirtualAddress && exports) << "no export directory";
    auto *names = pe->object_at<DWORD>(exports->AddressOfNames, exports->NumberOfNames);
    ASSERT_TRUE(names) << "export name table outside the image";

    std::vector<std::string> exported;
    for (DWORD i = 0; i < exports->NumberOfNames; ++i)
        exported.push_back(pe->name_at(names[i]));
    std::sort(exported.begin(), exported.end());
    const std::vector<std::string> expected = {"kestal_free_string", "kestal_last_error", "kestal_list",
                                               "kestal_set_opacity", "kestal_set_topmost"};
    EXPECT_EQ(exported, expected);
    EXPECT_EQ(std::count(exported.begin(), exported.end(), "kestal_preflight"), 0)
        << "kestal_preflight is for in-process callers only";
    // No extra entry that a host could reach by ordinal only.
    EXPECT_EQ(exports->NumberOfFunctions, expected.size());

    const std::optional<std::string> header = read_text_file(KESTAL_SHIPPED_HEADER);
    ASSERT_TRUE(header) << "cannot read " << KESTAL_SHIPPED_HEADER;
    EXPECT_EQ(declared_functions(*header), exported)
        << "include/kestal.h ships to hosts: it must declare every export and nothing that GetProcAddress cannot find";
}

TEST(image_tests, imports_only_system_dlls_that_every_host_already_has)
{
    auto pe = read_cli_image();
    ASSERT_TRUE(pe);
    static const std::vector<std::string> kSystem = {"kernel32.dll", "user32.dll", "gdi32.dll", "msvcrt.dll"};
    const IMAGE_DATA_DIRECTORY &dir = pe->directory(IMAGE_DIRECTORY_ENTRY_IMPORT);
    ASSERT_NE(dir.VirtualAddress, 0u) << "no import directory";
    std::vector<std::string> dlls;
    for (DWORD rva = dir.VirtualAddress;; rva += sizeof(IMAGE_IMPORT_DESCRIPTOR)) {
        auto *import = pe->object_at<IMAGE_IMPORT_DESCRIPTOR>(rva);
        ASSERT_TRUE(import) << "import directory runs off its section";
        if (!import->Name)
            break;
        std::string name = pe->name_at(import->Name);
        dlls.push_back(name);
        EXPECT_NE(std::find(kSystem.begin(), kSystem.end(), lower(name)), kSystem.end())
            << "kestal-cli.exe imports from " << name << ", which a host need not have";
        // The bootstrap tells resolved slots from unresolved ones by comparing
        // them with the name table, so a DLL without one would stay unresolved.
        EXPECT_NE(import->OriginalFirstThunk, 0u) << name << " has no import name table";
    }
    EXPECT_FALSE(dlls.empty());
}

TEST(image_tests, carries_base_relocations_for_placement_elsewhere)
{
    auto pe = read_cli_image();
    ASSERT_TRUE(pe);
    EXPECT_EQ(pe->nt->FileHeader.Characteristics & IMAGE_FILE_RELOCS_STRIPPED, 0) << "relocations stripped";
    const IMAGE_DATA_DIRECTORY &dir = pe->directory(IMAGE_DIRECTORY_ENTRY_BASERELOC);
    ASSERT_NE(dir.VirtualAddress, 0u) << "no base relocation directory";
    ASSERT_NE(dir.Size, 0u);
    // The blocks must tile the directory exactly: the bootstrap walks them by size.
    DWORD walked = 0, absolute = 0;
    while (walked < dir.Size) {
        auto *block = pe->object_at<IMAGE_BASE_RELOCATION>(dir.VirtualAddress + walked);
        ASSERT_TRUE(block) << "relocation block at +" << walked << " outside the image";
        ASSERT_GE(block->SizeOfBlock, sizeof *block) << "relocation block at +" << walked;
        DWORD count = (block->SizeOfBlock - sizeof *block) / sizeof(WORD);
        auto *fixups = pe->object_at<WORD>(dir.VirtualAddress + walked + sizeof *block, count);
        ASSERT_TRUE(fixups);
        for (DWORD i = 0; i < count; ++i)
            absolute += (fixups[i] >> 12) == IMAGE_REL_BASED_DIR64;
        walked += block->SizeOfBlock;
    }
    EXPECT_EQ(walked, dir.Size);
    EXPECT_GT(absolute, 0u);
}

// ---- the first call from a host ----------------------------------------------

// Where the image lies when the first call comes, and who put it there.
struct placement {
    const char *name;
    const char *option;   // the host's option; null for none
    const char *reported; // what the host says about it
};
constexpr placement kAtPreferredBase = {"at_preferred_base", nullptr, "preferred"};
constexpr placement kRelocated = {"relocated", "--occupy-preferred-base", "relocated"};
// The host applies the base relocations itself and leaves the header's
// ImageBase as the file has it: relocating once more would corrupt the image.
constexpr placement kRelocatedByHost = {"relocated_by_host", "--relocate-in-host", "relocated by host"};
constexpr placement kPlacements[] = {kAtPreferredBase, kRelocated, kRelocatedByHost};

struct host_run {
    kt::run_result result;
    std::string placement; // as the host saw it
    std::string listing;   // what the first kestal_list returned
};

std::string line_after(const std::string &out, std::string_view prefix)
{
    size_t at = out.find(prefix);
    if (at == std::string::npos)
        return {};
    at += prefix.size();
    return out.substr(at, out.find_first_of("\r\n", at) - at);
}

// `first` is an export's name, or "threads=N" for N threads that call at once.
host_run run_first_call_host(const std::string &first, const placement &where)
{
    std::vector<std::string> args = {kt::narrow(kt::program_path(L"kestal-cli.exe")), first};
    if (where.option)
        args.push_back(where.option);
    host_run run;
    run.result = kt::run_program(kt::program_path(L"kestal-test-first-call.exe"), args);
    run.placement = line_after(run.result.out, "placement: ");
    run.listing = line_after(run.result.out, "listing: ");
    // The host relocates only where the loader did not, which under Wine is
    // always; Windows relocates the image and rewrites its header itself, and
    // leaves the host nothing to do.
    if (run.placement == kRelocatedByHost.reported && kt::under_wine()) {
        EXPECT_GT(std::atoi(line_after(run.result.out, "host fix-ups: ").c_str()), 0) << run.result.out;
    }
    return run;
}

class first_call : public testing::TestWithParam<std::tuple<const char *, placement>> {};

TEST_P(first_call, gets_the_image_ready_and_answers_soundly)
{
    auto [export_name, where] = GetParam();
    host_run run = run_first_call_host(export_name, where);
    // Wine places the exe at its preferred base whenever that is free;
    // Windows places it where it likes (ASLR).
    if (where.option || kt::under_wine())
        EXPECT_EQ(run.placement, where.reported) << run.result.out << run.result.err;
    else
        EXPECT_TRUE(run.placement == "preferred" || run.placement == "relocated") << run.result.out << run.result.err;
    EXPECT_EQ(run.result.exit_code, 0u) << run.result.out << run.result.err;
}

INSTANTIATE_TEST_SUITE_P(image_tests, first_call,
                         testing::Combine(testing::Values("kestal_last_error", "kestal_free_string", "kestal_list",
                                                          "kestal_set_topmost", "kestal_set_opacity", "tls-callbacks"),
                                          testing::ValuesIn(kPlacements)),
                         [](const testing::TestParamInfo<first_call::ParamType> &info) {
                             std::string first = std::get<0>(info.param);
                             std::replace(first.begin(), first.end(), '-', '_');
                             return first + "_" + std::get<1>(info.param).name;
                         });

// Every "listing: " line of a host's output, in order.
std::vector<std::string> listings_in(const std::string &out)
{
    std::vector<std::string> listings;
    static constexpr std::string_view kPrefix = "listing: ";
    for (size_t at = out.find(kPrefix); at != std::string::npos; at = out.find(kPrefix, at)) {
        at += kPrefix.size();
        listings.push_back(out.substr(at, out.find_first_of("\r\n", at) - at));
    }
    return listings;
}

// Several threads of a host meet at a barrier and then make their first
// calls at once, each with another export, then list, pin and fade their own
// windows side by side; every listing must hold every thread's window under
// its title. A race shows only now and then, so each placement runs often.
TEST(image_tests, threads_whose_first_calls_come_at_once_all_get_sound_answers)
{
    constexpr int kRuns = 30;
    constexpr int kThreads = 4;
    for (const placement &where : {kAtPreferredBase, kRelocated}) {
        SCOPED_TRACE(where.name);
        for (int run_number = 1; run_number <= kRuns; ++run_number) {
            SCOPED_TRACE("run " + std::to_string(run_number));
            host_run run = run_first_call_host("threads=" + std::to_string(kThreads), where);
            ASSERT_EQ(run.result.exit_code, 0u) << run.result.out << run.result.err;
            ASSERT_EQ(run.placement, where.reported);
            std::vector<std::string> listings = listings_in(run.result.out);
            ASSERT_EQ(listings.size(), size_t{kThreads}) << run.result.out;
            for (const std::string &listing : listings)
                ASSERT_TRUE(kt::parse_listing(listing.c_str())) << listing;
        }
    }
}

// GetWindowTextW would send WM_GETTEXT to the UI thread, which waits for the
// worker and so never answers: the worker's listing would never end.
TEST(image_tests, a_worker_lists_while_the_host_ui_thread_waits_for_it)
{
    host_run run = run_first_call_host("threads=1", kAtPreferredBase);
    ASSERT_EQ(run.result.exit_code, 0u) << run.result.out << run.result.err;
    auto listing = kt::parse_listing(run.listing.c_str());
    ASSERT_TRUE(listing);
    HWND ui_window =
        reinterpret_cast<HWND>(static_cast<intptr_t>(std::atoll(line_after(run.result.out, "ui window: ").c_str())));
    const kt::listed_window *entry = kt::find_listed(*listing, ui_window);
    ASSERT_NE(entry, nullptr) << run.listing;
    EXPECT_EQ(entry->title, "first-call host UI thread");
    EXPECT_EQ(entry->exe, "kestal-test-first-call.exe");
}

// The object text of one window in a listing, byte for byte; empty when absent.
std::string object_of(const std::string &listing, HWND window)
{
    std::string key = "{\"hwnd\":" + kt::handle_text(window) + ",";
    size_t at = listing.find(key);
    if (at == std::string::npos)
        return {};
    size_t end = listing.find('}', at);
    return end == std::string::npos ? std::string() : listing.substr(at, end - at + 1);
}

TEST(image_tests, host_loaded_listing_matches_the_cli_listing)
{
    kt::child_windows child;
    ASSERT_TRUE(kt::start_child(child));
    // A quote and a non-ASCII letter make the JSON writer escape and encode.
    const std::string title = "image host \"listing\" \xCE\xA9";
    HWND window = kt::child_make_window(child, "topmost,layered=128", title);
    ASSERT_NE(window, nullptr);

    kt::run_result cli = kt::run_cli({"list"});
    std::string cli_object = object_of(cli.out, window);
    for (const placement &where : kPlacements) {
        SCOPED_TRACE(where.name);
        host_run host = run_first_call_host("kestal_list", where);
        ASSERT_EQ(host.result.exit_code, 0u) << host.result.out << host.result.err;
        auto listing = kt::parse_listing(host.listing.c_str());
        ASSERT_TRUE(listing);
        const kt::listed_window *entry = kt::find_listed(*listing, window);
        ASSERT_NE(entry, nullptr) << host.listing;
        EXPECT_EQ(entry->title, title);
        EXPECT_EQ(entry->exe, "kestal-test-windows.exe");
        EXPECT_TRUE(entry->pinned);
        EXPECT_EQ(entry->opacity, 50);
        EXPECT_EQ(object_of(host.listing, window), cli_object) << "cli: " << cli.out;
    }
    EXPECT_EQ(cli.exit_code, 0u) << cli.err;
    kt::stop_child(child);
}

// ---- resources -----------------------------------------------------------------

// The version that `kestal-cli --version` prints.
std::string printed_version()
{
    kt::run_result run = kt::run_cli({"--version"});
    EXPECT_EQ(run.exit_code, 0u);
    EXPECT_EQ(run.err, "");
    const std::string prefix = "kestal-cli ";
    if (run.out.rfind(prefix, 0) != 0 || run.out.size() <= prefix.size() + 1 || run.out.back() != '\n') {
        ADD_FAILURE() << "--version printed [" << run.out << "]";
        return {};
    }
    return run.out.substr(prefix.size(), run.out.size() - prefix.size() - 1);
}

std::string dotted(DWORD most, DWORD least)
{
    return std::to_string(HIWORD(most)) + "." + std::to_string(LOWORD(most)) + "." + std::to_string(HIWORD(least)) +
           "." + std::to_string(LOWORD(least));
}

// What Explorer's file properties show, read from the file with the system's
// own version API.
TEST(image_tests, version_resource_carries_the_version_that_the_program_prints)
{
    const std::string version = printed_version();
    ASSERT_FALSE(version.empty());
    const std::wstring path = kt::program_path(L"kestal-cli.exe");
    DWORD unused = 0;
    const DWORD size = GetFileVersionInfoSizeW(path.c_str(), &unused);
    ASSERT_GT(size, 0u) << "no version resource (win32 error " << GetLastError() << ")";
    std::vector<BYTE> info(size);
    ASSERT_TRUE(GetFileVersionInfoW(path.c_str(), 0, size, info.data()));

    VS_FIXEDFILEINFO *fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueW(info.data(), L"\\", reinterpret_cast<void **>(&fixed), &length));
    ASSERT_GE(length, sizeof *fixed);
    EXPECT_EQ(fixed->dwSignature, VS_FFI_SIGNATURE);
    EXPECT_EQ(dotted(fixed->dwFileVersionMS, fixed->dwFileVersionLS), version + ".0");
    EXPECT_EQ(dotted(fixed->dwProductVersionMS, fixed->dwProductVersionLS), version + ".0");
    EXPECT_EQ(fixed->dwFileType, static_cast<DWORD>(VFT_APP));

    WORD *translation = nullptr;
    ASSERT_TRUE(VerQueryValueW(info.data(), L"\\VarFileInfo\\Translation", reinterpret_cast<void **>(&translation),
                               &length));
    ASSERT_GE(length, 2 * sizeof(WORD));
    wchar_t block[32];
    swprintf(block, std::size(block), L"\\StringFileInfo\\%04x%04x\\", translation[0], translation[1]);
    const std::pair<const wchar_t *, std::string> strings[] = {
        {L"FileVersion", version},        {L"ProductVersion", version},
        {L"ProductName", "kestal-cli"},   {L"OriginalFilename", "kestal-cli.exe"},
        {L"InternalName", "kestal-cli"},
    };
    for (const auto &[name, expected] : strings) {
        SCOPED_TRACE(kt::narrow(name));
        wchar_t *value = nullptr;
        ASSERT_TRUE(VerQueryValueW(info.data(), (std::wstring(block) + name).c_str(),
                                   reinterpret_cast<void **>(&value), &length));
        EXPECT_EQ(kt::narrow(value), expected);
    }
    wchar_t *description = nullptr;
    ASSERT_TRUE(VerQueryValueW(info.data(), (std::wstring(block) + L"FileDescription").c_str(),
                               reinterpret_cast<void **>(&description), &length));
    EXPECT_GT(wcslen(description), 0u);
}

std::string manifest_text(const std::wstring &path)
{
    HMODULE image = LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    if (!image) {
        ADD_FAILURE() << "cannot map " << kt::narrow(path) << " (win32 error " << GetLastError() << ")";
        return {};
    }
    std::string text;
    HRSRC found = FindResourceW(image, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24));
    HGLOBAL loaded = found ? LoadResource(image, found) : nullptr;
    if (const void *bytes = loaded ? LockResource(loaded) : nullptr)
        text.assign(static_cast<const char *>(bytes), SizeofResource(image, found));
    FreeLibrary(image);
    return text;
}

// What the activation context reports on Windows 10 and later, and on Wine:
// each element also carries the highest version tested, which older headers
// leave out.
struct compatibility_element {
    GUID id;
    ACTCTX_COMPATIBILITY_ELEMENT_TYPE type;
    ULONGLONG max_version_tested;
};
struct compatibility_information {
    DWORD count;
    compatibility_element elements[8];
};

// The system reads the manifest when the program starts; here its own reader
// (the activation context) parses it and says what it found: no elevation,
// and every Windows from 7 to 11 as a supported system.
// Other programs' windows in physical pixels: the system's reader finds
// per-monitor awareness, and the older systems' form of it.
TEST(image_tests, manifest_declares_per_monitor_dpi_awareness)
{
    ACTCTXW request = {};
    request.cbSize = sizeof request;
    request.dwFlags = ACTCTX_FLAG_RESOURCE_NAME_VALID;
    const std::wstring path = kt::program_path(L"kestal-cli.exe");
    request.lpSource = path.c_str();
    request.lpResourceName = MAKEINTRESOURCEW(1);
    HANDLE context = CreateActCtxW(&request);
    ASSERT_NE(context, INVALID_HANDLE_VALUE) << "win32 error " << GetLastError();
    struct setting {
        const wchar_t *name_space;
        const wchar_t *name;
        const wchar_t *value;
    };
    const setting settings[] = {
        {L"http://schemas.microsoft.com/SMI/2016/WindowsSettings", L"dpiAwareness", L"PerMonitorV2, PerMonitor"},
        {L"http://schemas.microsoft.com/SMI/2005/WindowsSettings", L"dpiAware", L"true/pm"},
    };
    for (const setting &s : settings) {
        SCOPED_TRACE(kt::narrow(s.name));
        wchar_t value[64] = {};
        SIZE_T written = 0;
        ASSERT_TRUE(QueryActCtxSettingsW(0, context, s.name_space, s.name, value, std::size(value), &written))
            << "win32 error " << GetLastError();
        EXPECT_EQ(std::wstring(value), s.value);
    }
    ReleaseActCtx(context);
}

TEST(image_tests, manifest_runs_as_invoker_on_windows_7_to_11_with_long_paths)
{
    const std::wstring path = kt::program_path(L"kestal-cli.exe");
    const std::string manifest = manifest_text(path);
    ASSERT_FALSE(manifest.empty()) << "no manifest resource 1";
    EXPECT_NE(manifest.find("<longPathAware xmlns=\"http://schemas.microsoft.com/SMI/2016/WindowsSettings\">true"
                            "</longPathAware>"),
              std::string::npos)
        << manifest;

    ACTCTXW request = {};
    request.cbSize = sizeof request;
    request.dwFlags = ACTCTX_FLAG_RESOURCE_NAME_VALID;
    request.lpSource = path.c_str();
    request.lpResourceName = MAKEINTRESOURCEW(1);
    HANDLE context = CreateActCtxW(&request);
    ASSERT_NE(context, INVALID_HANDLE_VALUE) << "the system does not take the manifest (win32 error "
                                             << GetLastError() << "):\n" << manifest;

    ACTIVATION_CONTEXT_RUN_LEVEL_INFORMATION run_level = {};
    EXPECT_TRUE(QueryActCtxW(0, context, nullptr, RunlevelInformationInActivationContext, &run_level,
                             sizeof run_level, nullptr));
    EXPECT_EQ(run_level.RunLevel, ACTCTX_RUN_LEVEL_AS_INVOKER);
    EXPECT_EQ(run_level.UiAccess, 0u);

    compatibility_information compatibility = {};
    ASSERT_TRUE(QueryActCtxW(0, context, nullptr, CompatibilityInformationInActivationContext, &compatibility,
                             sizeof compatibility, nullptr));
    ASSERT_LE(compatibility.count, std::size(compatibility.elements));
    std::vector<std::string> systems;
    for (DWORD i = 0; i < compatibility.count; ++i) {
        const compatibility_element &element = compatibility.elements[i];
        if (element.type != ACTCTX_COMPATIBILITY_ELEMENT_TYPE_OS)
            continue;
        const GUID &id = element.id;
        char text[40];
        snprintf(text, sizeof text, "{%08lX-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", id.Data1, id.Data2,
                 id.Data3, id.Data4[0], id.Data4[1], id.Data4[2], id.Data4[3], id.Data4[4], id.Data4[5], id.Data4[6],
                 id.Data4[7]);
        systems.push_back(text);
    }
    std::sort(systems.begin(), systems.end());
    const std::vector<std::string> windows_7_to_11 = {
        "{1F676C76-80E1-4239-95BB-83D0F6D0DA78}", // 8.1
        "{35138B9A-5D96-4FBD-8E2D-A2440225F93A}", // 7
        "{4A2F28E3-53B9-4441-BA9C-D69D4A4A6E38}", // 8
        "{8E0F7A12-BFB3-4FE8-B9A5-48FD50A15A9A}", // 10 and 11
    };
    EXPECT_EQ(systems, windows_7_to_11);
    ReleaseActCtx(context);
}

} // namespace
