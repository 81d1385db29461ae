#include "VarnelKit/Support/AgentLoop.hpp"

#include "VarnelKit/Support/AsyncEvent.hpp"

#include <atomic>
#include <chrono>
#include <gtest/gtest.h>
#include <memory>
#include <string>

namespace varnel {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

Awaitable<int> answer() {
    co_return 3;
}

Awaitable<std::string> blockOnFromTheLoop(AgentLoop* loop) {
    try {
        (void)loop->blockOn(answer());
        co_return "waited";
    } catch (const Error& error) {
        co_return error.description();
    }
}

TEST(AgentLoop, BlockOnRefusesOnTheLoopsOwnThread) {
    AgentLoop loop;
    loop.startThread();
    EXPECT_EQ(loop.blockOn(blockOnFromTheLoop(&loop)),
              "The agent loop cannot wait on its own thread for work that runs on it.");
    // From any other thread it still works.
    EXPECT_EQ(loop.blockOn(answer()), 3);
}

TEST(AgentLoop, BlockOnRefusesOnceTheLoopHasStopped) {
    AgentLoop loop;
    loop.startThread();
    loop.shutdown(10ms);
    // The work would never run, so waiting for it would never end.
    try {
        (void)loop.blockOn(answer());
        ADD_FAILURE() << "blockOn on a stopped loop must refuse";
    } catch (const Error& error) {
        EXPECT_EQ(error.description(), "The agent loop has stopped, so it runs no more work.");
    }
}

Awaitable<void> sleepThenCount(std::atomic<int>* ended) {
    co_await sleepFor(60s);
    ++*ended;
}

// A body that takes no notice of its cancellation.
Awaitable<void> ignoreCancellation(std::shared_ptr<AsyncEvent> never, std::atomic<bool>* started) {
    *started = true;
    co_await never->waitIgnoringCancellation();
}

Awaitable<void> spawnInto(AgentLoop* loop, int sleepers, std::shared_ptr<AsyncEvent> never,
                          std::atomic<int>* ended, std::atomic<bool>* started) {
    for (int i = 0; i < sleepers; ++i)
        loop->tasks().spawn(loop->executor(), [ended] { return sleepThenCount(ended); });
    if (never)
        loop->tasks().spawn(loop->executor(),
                            [never, started] { return ignoreCancellation(never, started); });
    co_return;
}

TEST(AgentLoop, ShutdownIsBoundedEvenByATaskThatIgnoresIt) {
    AgentLoop loop;
    loop.startThread();
    std::atomic<int> ended{0};
    std::atomic<bool> started{false};
    auto never = std::make_shared<AsyncEvent>(loop.executor());
    loop.blockOn(spawnInto(&loop, 2, never, &ended, &started));
    while (!started)
        std::this_thread::sleep_for(1ms);
    const auto before = Clock::now();
    loop.shutdown(200ms);
    const auto took = Clock::now() - before;
    EXPECT_GE(took, 150ms);
    EXPECT_LT(took, 700ms);
    EXPECT_EQ(ended.load(), 2);
    EXPECT_TRUE(loop.context().stopped());
}

TEST(AgentLoop, ShutdownEndsAsSoonAsTheTasksHave) {
    AgentLoop loop;
    loop.startThread();
    std::atomic<int> ended{0};
    loop.blockOn(spawnInto(&loop, 3, nullptr, &ended, nullptr));
    const auto before = Clock::now();
    loop.shutdown(5s);
    EXPECT_LT(Clock::now() - before, 500ms);
    EXPECT_EQ(ended.load(), 3);
    EXPECT_TRUE(loop.context().stopped());
}

} // namespace
} // namespace varnel
