#include "VarnelKit/Support/TaskGroup.hpp"

#include "VarnelKit/Support/AgentLoop.hpp"

#include <atomic>
#include <boost/asio/post.hpp>
#include <chrono>
#include <future>
#include <gtest/gtest.h>
#include <stdexcept>
#include <thread>

namespace varnel {
namespace {

using namespace std::chrono_literals;
namespace asio = boost::asio;

Awaitable<void> sleepLong(std::atomic<int>* ended) {
    co_await sleepFor(60s);
    ++*ended;
}

// One of the group's own tasks stops the whole group, as an agent's loop does when it is told to quit.
Awaitable<void> stopGroup(TaskGroup* group, std::atomic<int>* ended, std::promise<void>* stopped) {
    group->cancelAll();
    co_await group->joinAll();
    ++*ended;
    stopped->set_value();
}

TEST(TaskGroup, JoinAllFromInsideTheGroupSkipsTheCaller) {
    AgentLoop loop;
    loop.startThread();
    TaskGroup group;
    std::atomic<int> ended{0};
    std::promise<void> stopped;
    auto done = stopped.get_future();
    asio::post(loop.context(), [&] {
        group.spawn(loop.executor(), [&ended] { return sleepLong(&ended); });
        group.spawn(loop.executor(), [&ended] { return sleepLong(&ended); });
        group.spawn(loop.executor(), [&] { return stopGroup(&group, &ended, &stopped); });
    });
    ASSERT_EQ(done.wait_for(1s), std::future_status::ready);
    EXPECT_EQ(ended.load(), 3);
    // Every task has ended; the group no longer holds any of them.
    loop.blockOn(group.joinAll());
    EXPECT_EQ(
        loop.blockOn([](TaskGroup* g) -> Awaitable<std::size_t> { co_return g->runningCount(); }(&group)),
        0u);
}

Awaitable<void> quickly() {
    co_return;
}

Awaitable<void> failing() {
    co_await sleepFor(1ms);
    throw std::runtime_error("printer loop died");
}

TEST(TaskGroup, JoinAllWaitsForEveryTaskThenRethrowsTheFirstFailure) {
    AgentLoop loop;
    loop.startThread();
    TaskGroup group;
    std::atomic<int> ended{0};
    std::shared_ptr<Task> sleeper;
    asio::post(loop.context(), [&] {
        group.spawn(loop.executor(), [] { return failing(); });
        sleeper = group.spawn(loop.executor(), [&ended] { return sleepLong(&ended); });
    });
    loop.blockOn([](TaskGroup* g) -> Awaitable<void> {
        g->cancelAll();
        co_return;
    }(&group));
    EXPECT_THROW(loop.blockOn(group.joinAll()), std::runtime_error);
    EXPECT_TRUE(sleeper->isFinished());
    EXPECT_EQ(ended.load(), 1);
}

TEST(TaskGroup, FailuresGoToTheGroupsHandler) {
    AgentLoop loop;
    loop.startThread();
    std::atomic<int> failures{0};
    TaskGroup group([&failures](std::exception_ptr) { ++failures; });
    loop.blockOn([](TaskGroup* g, Executor executor) -> Awaitable<void> {
        g->spawn(executor, [] { return failing(); });
        g->spawn(executor, [] { return quickly(); });
        co_await g->joinAll();
    }(&group, loop.executor()));
    EXPECT_EQ(failures.load(), 1);
}

TEST(TaskGroup, SpawningDropsFinishedTasks) {
    AgentLoop loop;
    loop.startThread();
    TaskGroup group;
    const auto held = loop.blockOn([](TaskGroup* g, Executor executor) -> Awaitable<long> {
        auto first = g->spawn(executor, [] { return quickly(); });
        co_await first->join();
        g->spawn(executor, [] { return quickly(); });
        // Only the group and this frame still hold the finished first task if it was kept.
        co_return first.use_count();
    }(&group, loop.executor()));
    EXPECT_EQ(held, 1);
}

} // namespace
} // namespace varnel
