// kestal-cli.exe as a library image: what a host sees in its headers, and
// what a host gets from its first call, wherever the image was placed.
#include <gtest/gtest.h>

#include <algorithm>
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

TEST(image_tests, exports_exactly_the_five_host_functions_by_name)
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
    // The host relocates only where the loader did not, which under Wine is always.
    if (run.placement == kRelocatedByHost.reported) {
        EXPECT_GT(std::atoi(line_after(run.result.out, "host fix-ups: ").c_str()), 0) << run.result.out;
    }
    return run;
}

class first_call : public testing::TestWithParam<std::tuple<const char *, placement>> {};

TEST_P(first_call, gets_the_image_ready_and_answers_soundly)
{
    auto [export_name, where] = GetParam();
    host_run run = run_first_call_host(export_name, where);
    EXPECT_EQ(run.placement, where.reported) << run.result.out << run.result.err;
    EXPECT_EQ(run.result.exit_code, 0u) << run.result.out << run.result.err;
}

INSTANTIATE_TEST_SUITE_P(image_tests, first_call,
                         testing::Combine(testing::Values("kestal_last_error", "kestal_free_string", "kestal_list",
                                                          "kestal_set_topmost", "kestal_set_opacity"),
                                          testing::ValuesIn(kPlacements)),
                         [](const testing::TestParamInfo<first_call::ParamType> &info) {
                             return std::string(std::get<0>(info.param)) + "_" + std::get<1>(info.param).name;
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

} // namespace
