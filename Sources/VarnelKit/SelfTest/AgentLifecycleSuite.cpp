#include "VarnelKit/SelfTest/RaceFirst.hpp"
#include "VarnelKit/SelfTest/SelfTest.hpp"

#include <boost/asio/this_coro.hpp>
#include <chrono>
#include <cstddef>
#include <memory>
#include <string>

namespace varnel::SelfTest {

namespace {

using namespace std::chrono_literals;

Awaitable<Executor> loopExecutor() {
    co_return co_await boost::asio::this_coro::executor;
}

// Read on the loop, where the agent's list lives.
Awaitable<std::size_t> taskCount(std::shared_ptr<VarnelAgent> agent) {
    co_return agent->runningTaskCount();
}

Awaitable<bool> stopFromInsideThenTrue(std::shared_ptr<VarnelAgent> agent) {
    co_await agent->stopFromInsideALoopForTesting();
    co_return true;
}

Awaitable<bool> sleepThenFalse(std::chrono::steady_clock::duration duration) {
    (void)co_await sleepFor(duration);
    co_return false;
}

} // namespace

void registerAgentLifecycleTests(TestHarness& h) {
    const std::string suite = "Agent lifecycle";

    h.test(suite, "stopping an agent that never started is harmless", [](TestHarness::Context& c) {
        const auto agent = makeAgent(c.await(loopExecutor()));
        c.await(agent->stop());
        c.assertTrue(c.await(taskCount(agent)) == 0);
    });

    h.test(suite, "a second start does not add another set of loops", [](TestHarness::Context& c) {
        const auto agent = makeAgent(c.await(loopExecutor()));
        c.await(agent->startForTesting());
        const auto first = c.await(taskCount(agent));
        c.await(agent->startForTesting());
        const auto second = c.await(taskCount(agent));
        c.await(agent->stop());
        const auto third = c.await(taskCount(agent));
        c.assertEqual(second, first, "a second start doubled the loops");
        c.assertEqual(third, std::size_t(0), "stop left tasks behind");
    });

    h.test(suite, "stopping from inside one of its own loops returns", [](TestHarness::Context& c) {
        const auto agent = makeAgent(c.await(loopExecutor()));
        c.await(agent->startForTesting());
        const bool result = c.await(raceFirst(stopFromInsideThenTrue(agent), sleepThenFalse(5s)));
        c.assertTrue(result, "stop() deadlocked when called from its own task");
    });
}

} // namespace varnel::SelfTest
