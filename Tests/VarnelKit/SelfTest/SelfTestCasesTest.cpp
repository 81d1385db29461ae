// Runs every case of the built-in self-test under GoogleTest too, so a failing case shows up with
// its own name in ctest and the sanitizer build checks the same code paths.
#include "VarnelKit/Agent/TemporaryDataHome.hpp"
#include "VarnelKit/SelfTest/SelfTest.hpp"

#include <gtest/gtest.h>

#include <string>

namespace varnel {
namespace {

const TestHarness& allCases() {
    static const TestHarness harness = [] {
        TestHarness h;
        SelfTest::registerAll(h);
        return h;
    }();
    return harness;
}

class SelfTestCase : public ::testing::TestWithParam<std::size_t> {};

TEST_P(SelfTestCase, Passes) {
    const auto& testCase = allCases().cases().at(GetParam());
    // Cases that write the agent's files (the update staging folder) write them here, not into
    // the home folder of whoever runs the tests.
    testing::TemporaryDataHome dataHome;
    AgentLoop loop;
    loop.startThread();
    const auto failures = TestHarness::runCase(testCase, loop);
    for (const auto& failure : failures) {
        ADD_FAILURE_AT(failure.file.c_str(), failure.line) << failure.message;
    }
}

std::string caseName(const ::testing::TestParamInfo<std::size_t>& info) {
    const auto& testCase = allCases().cases().at(info.param);
    std::string name = testCase.suite + "_" + testCase.test;
    for (char& c : name) {
        if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
    }
    return name + "_" + std::to_string(info.param);
}

INSTANTIATE_TEST_SUITE_P(BuiltIn, SelfTestCase, ::testing::Range<std::size_t>(0, allCases().cases().size()),
                         caseName);

} // namespace
} // namespace varnel
