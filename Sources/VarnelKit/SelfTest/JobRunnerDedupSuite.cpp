#include "VarnelKit/SelfTest/SelfTest.hpp"

#include <cstdint>

namespace varnel::SelfTest {

namespace {

// The runner lives on the agent loop; every call reaches it there.
Awaitable<void> mark(std::shared_ptr<JobRunner> runner, std::int64_t id) {
    runner->markSeenForTesting(id);
    co_return;
}

Awaitable<bool> hasSeen(std::shared_ptr<JobRunner> runner, std::int64_t id) { co_return runner->hasSeen(id); }

Awaitable<std::size_t> seenCount(std::shared_ptr<JobRunner> runner) { co_return runner->seenCount(); }

} // namespace

void registerJobRunnerTests(TestHarness& h) {
    const std::string suite = "Job runner dedup";

    h.test(suite, "remembers handled jobs", [](TestHarness::Context& c) {
        const auto runner = makeRunner(2000, 1000);
        c.await(mark(runner, 1));
        c.assertTrue(c.await(hasSeen(runner, 1)));
        c.assertFalse(c.await(hasSeen(runner, 2)));
    });

    h.test(suite, "ignores a duplicate mark", [](TestHarness::Context& c) {
        const auto runner = makeRunner(2000, 1000);
        c.await(mark(runner, 7));
        c.await(mark(runner, 7));
        c.assertEqual(c.await(seenCount(runner)), std::size_t{1});
    });

    h.test(suite, "trims the seen set to the target size", [](TestHarness::Context& c) {
        const auto runner = makeRunner(10, 4);
        for (std::int64_t id = 1; id <= 11; ++id) c.await(mark(runner, id));
        c.assertEqual(c.await(seenCount(runner)), std::size_t{4});
        c.assertTrue(c.await(hasSeen(runner, 11)));
        c.assertFalse(c.await(hasSeen(runner, 1)));
    });
}

} // namespace varnel::SelfTest
