// A host's own code that calls kestal while a kestal call is under way on the
// same thread, or on a thread that a kestal call waits for, gets its answer.
#include <windows.h>

#include <gtest/gtest.h>

#include <ostream>
#include <string>

#include "test_support.h"

namespace {

struct reentry_case {
    const char *name;
    int rounds;
};

// The worker's deadlock was a race, met in about half the runs: it gets
// several rounds in one host.
constexpr reentry_case kCases[] = {
    {"pin-lists", 1}, {"fade-lists", 1}, {"list-lists", 1}, {"pin-fades", 1}, {"hook-lists", 1}, {"worker", 5},
};

void PrintTo(const reentry_case &c, std::ostream *out)
{
    *out << c.name << " x" << c.rounds;
}

class host_reentry : public testing::TestWithParam<reentry_case> {};

} // namespace

TEST_P(host_reentry, every_call_returns_and_every_listing_from_inside_is_whole)
{
    const reentry_case &c = GetParam();
    const std::string cli = kt::narrow(kt::program_path(L"kestal-cli.exe"));
    const kt::run_result run = kt::run_program(kt::program_path(L"kestal-test-reentry-host.exe"),
                                               {cli, c.name, std::to_string(c.rounds)});
    EXPECT_EQ(run.out.find("HANG"), std::string::npos) << run.out;
    EXPECT_EQ(run.out.find("FAIL"), std::string::npos) << run.out;
    EXPECT_EQ(run.exit_code, 0u) << run.out << run.err;
    EXPECT_NE(run.out.find("calls from inside: "), std::string::npos) << run.out << run.err;
}

INSTANTIATE_TEST_SUITE_P(host, host_reentry, testing::ValuesIn(kCases),
                         [](const testing::TestParamInfo<reentry_case> &info) {
                             std::string name = info.param.name;
                             for (char &c : name)
                                 c = c == '-' ? '_' : c;
                             return name;
                         });
