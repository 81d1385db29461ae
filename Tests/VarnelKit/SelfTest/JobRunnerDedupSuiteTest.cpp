// Where the job runner's suite sits in the self-test and what its fixture gives.
#include "VarnelKit/SelfTest/SelfTest.hpp"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

namespace varnel {
namespace {

TEST(JobRunnerDedupSuite, FollowsPusherParsingAndPrecedesProbingWithItsThreeCasesInOrder) {
    TestHarness harness;
    SelfTest::registerAll(harness);
    std::vector<std::string> around;
    std::string previous;
    for (const auto& testCase : harness.cases()) {
        if (testCase.suite == "Job runner dedup") {
            if (around.empty()) around.push_back(previous);
            around.push_back(testCase.test);
        } else if (!around.empty() && around.size() < 5) {
            around.push_back(testCase.suite);
        }
        previous = testCase.suite;
    }
    EXPECT_EQ(around, (std::vector<std::string>{"Pusher envelope parsing", "remembers handled jobs",
                                                "ignores a duplicate mark", "trims the seen set to the target size",
                                                "Reachability probing"}));
}

TEST(JobRunnerDedupSuite, TheRunnerFixtureStartsEmptyWithTheBoundsItWasGiven) {
    AgentLoop loop;
    loop.startThread();
    auto runner = SelfTest::makeRunner(3, 1);
    using Seen = std::tuple<std::size_t, std::size_t, bool, bool>;
    const auto [before, after, first, fourth] = loop.blockOn([](std::shared_ptr<JobRunner> r) -> Awaitable<Seen> {
        const auto empty = r->seenCount();
        for (std::int64_t id = 1; id <= 4; ++id) r->markSeenForTesting(id);
        co_return Seen(empty, r->seenCount(), r->hasSeen(1), r->hasSeen(4));
    }(runner));
    EXPECT_EQ(before, 0u);
    EXPECT_EQ(after, 1u) << "the fourth mark exceeds 3 and trims to the newest 1";
    EXPECT_FALSE(first);
    EXPECT_TRUE(fourth);
    loop.blockOn([](std::shared_ptr<JobRunner>& r) -> Awaitable<void> {
        r.reset();
        co_return;
    }(runner));
}

} // namespace
} // namespace varnel
