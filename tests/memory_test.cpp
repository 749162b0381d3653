// A listing keeps nothing once its text is released: titles, exe names, the
// process cache and the JSON document all go back to the heap every time.
#include <windows.h>

#include <psapi.h>

#include <gtest/gtest.h>

#include <string>

#include "kestal_inprocess.h"
#include "test_support.h"

namespace {

// The process's private commit. Windows reports it twice, as PrivateUsage
// and as PagefileUsage; Wine 8 leaves PrivateUsage at 0 and fills only
// PagefileUsage, with the resident anonymous memory, which sees every heap
// page that a leak touches.
long long private_bytes()
{
    PROCESS_MEMORY_COUNTERS_EX counters = {};
    counters.cb = sizeof counters;
    if (!GetProcessMemoryInfo(GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS *>(&counters),
                              sizeof counters))
        return -1;
    return static_cast<long long>(counters.PrivateUsage ? counters.PrivateUsage : counters.PagefileUsage);
}

void list_and_release(int times)
{
    for (int i = 0; i < times; ++i) {
        char *text = kestal_list();
        ASSERT_NE(text, nullptr);
        kestal_free_string(text);
    }
}

} // namespace

TEST(memory, listings_leave_private_memory_flat_once_the_heap_has_its_working_size)
{
    // Windows of this process take the own-module path to their exe name;
    // the child's go through the process cache. Long titles make a leaked
    // string show within a few hundred listings.
    const std::string tag = "kestal memory " + std::to_string(GetCurrentProcessId());
    const std::wstring long_text(200, L'm');
    HWND own[] = {
        kt::make_window({kt::widen(tag + " plain ") + long_text}),
        kt::make_window({kt::widen(tag + " layered ") + long_text, WS_EX_LAYERED}),
        kt::make_window({kt::widen(tag + " pinned ") + long_text, WS_EX_TOPMOST}),
    };
    SetLayeredWindowAttributes(own[1], 0, 128, LWA_ALPHA);
    kt::child_windows child;
    ASSERT_TRUE(kt::start_child(child));
    HWND foreign[] = {
        kt::child_make_window(child, "-", tag + " child " + std::string(200, 'c')),
        kt::child_make_window(child, "layered=100", tag + " child layered"),
        kt::child_make_window(child, "topmost", tag + " child pinned"),
    };

    std::vector<kt::listed_window> listing = kt::list_now();
    for (HWND window : own) {
        const kt::listed_window *entry = kt::find_listed(listing, window);
        ASSERT_NE(entry, nullptr) << "own window " << kt::handle_text(window) << " is not listed";
        EXPECT_FALSE(entry->exe.empty());
    }
    for (HWND window : foreign) {
        const kt::listed_window *entry = kt::find_listed(listing, window);
        ASSERT_NE(entry, nullptr) << "child window " << kt::handle_text(window) << " is not listed";
        EXPECT_EQ(entry->exe, "kestal-test-windows.exe");
    }

    // The heap grows to its working size over the first rounds, by a step
    // of 64 KiB at a time under Wine 10; from then on a listing that kept
    // even a few bytes would grow it round after round. So the growth is
    // measured between later rounds: the end of the second against the end
    // of the fifth, 30,000 listings apart.
    constexpr int kRoundListings = 10000;
    long long at_round_end[5] = {};
    for (long long &bytes : at_round_end) {
        list_and_release(kRoundListings);
        bytes = private_bytes();
        ASSERT_GT(bytes, 0) << "GetProcessMemoryInfo failed, win32 error " << GetLastError();
    }
    const long long growth = at_round_end[4] - at_round_end[1];
    EXPECT_LE(growth, 64 * 1024) << "private bytes grew by " << growth << " from the second round of " << kRoundListings
                                 << " listings to the fifth (after the first: " << at_round_end[0]
                                 << ", after each: " << at_round_end[1] << ", " << at_round_end[2] << ", "
                                 << at_round_end[3] << ", " << at_round_end[4] << ")";

    kt::stop_child(child);
    for (HWND window : own)
        DestroyWindow(window);
}
