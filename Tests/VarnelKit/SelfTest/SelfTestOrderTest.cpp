// The report's shape is fixed: its suites, their order and their sizes. A suite registered in the
// wrong place, or a case gained or lost, shows up here by name.
#include "VarnelKit/SelfTest/SelfTest.hpp"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace varnel {
namespace {

TEST(SelfTestOrder, SuitesComeInTheReportsOrderWithTheirSizes) {
    TestHarness harness;
    SelfTest::registerAll(harness);
    std::vector<std::pair<std::string, std::size_t>> suites;
    for (const auto& testCase : harness.cases()) {
        if (suites.empty() || suites.back().first != testCase.suite)
            suites.emplace_back(testCase.suite, 0);
        ++suites.back().second;
    }
    const std::vector<std::pair<std::string, std::size_t>> expected = {
        {"ZPL driver", 7},
        {"TSPL2 driver", 6},
        {"Driver registry", 3},
        {"Language inference", 4},
        {"Printer target parsing", 4},
        {"Transport resolution", 4},
        {"Job payload", 5},
        {"Reconnect backoff", 3},
        {"Pusher envelope parsing", 6},
        {"Job runner dedup", 3},
        {"Reachability probing", 5},
        {"CUPS queue probe", 14},
        {"CUPS device URI", 6},
        {"ZPL structure", 13},
        {"Dymo identification", 6},
        {"Enrollment input", 13},
        {"PDF driver", 8},
        {"Agent status", 3},
        {"Update advice", 5},
        {"Agent lifecycle", 3},
        {"Update verification", 7},
        {"Diagnostics", 6},
    };
    EXPECT_EQ(suites, expected);
    EXPECT_EQ(harness.cases().size(), 134u);
}

} // namespace
} // namespace varnel
