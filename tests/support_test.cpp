// The test rig itself: the helper child and the program runner.
#include <gtest/gtest.h>

#include "test_support.h"

TEST(TestRig, child_windows_are_listed_with_the_childs_exe_name)
{
    kt::child_windows child;
    ASSERT_TRUE(kt::start_child(child));
    HWND window = kt::child_make_window(child, "-", "rig check");
    ASSERT_NE(window, nullptr);
    auto listing = kt::list_now();
    const kt::listed_window *entry = kt::find_listed(listing, window);
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(entry->title, "rig check");
    EXPECT_EQ(entry->exe, "kestal-test-windows.exe");
    kt::stop_child(child);
}

TEST(TestRig, programs_run_with_their_arguments_and_output)
{
    kt::run_result result = kt::run_cli({"lasterror"});
    EXPECT_EQ(result.out, "no error\n");
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.exit_code, 0u);
}
