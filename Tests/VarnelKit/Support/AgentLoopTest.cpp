#include "VarnelKit/Support/AgentLoop.hpp"

#include "VarnelKit/Support/AsyncEvent.hpp"

#include <atomic>
#include <chrono>
#include <future>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <thread>
#include <vector>

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

const std::string stoppedText = "The agent loop has stopped, so it runs no more work.";

// What a blockOn on another thread ended with: its value, or the text of what it threw.
std::string outcomeOf(AgentLoop* loop, Awaitable<int> work) {
    try {
        return std::to_string(loop->blockOn(std::move(work)));
    } catch (const Error& error) {
        return error.description();
    } catch (const std::exception& error) {
        return std::string("unexpected: ") + error.what();
    }
}

Awaitable<int> waitForever(std::shared_ptr<AsyncEvent> never, std::atomic<bool>* started) {
    *started = true;
    co_await never->waitIgnoringCancellation();
    co_return 1;
}

TEST(AgentLoop, AStopWhileTheWorkRunsEndsTheWaitWithAnError) {
    // Declared before the loop, so that a wait the stop left hanging is released by the loop's
    // destruction before this future joins its thread: the test then fails instead of hanging.
    std::future<std::string> outcome;
    AgentLoop loop;
    loop.startThread();
    std::atomic<bool> started{false};
    auto never = std::make_shared<AsyncEvent>(loop.executor());
    outcome = std::async(std::launch::async, [&loop, never, &started] {
        return outcomeOf(&loop, waitForever(never, &started));
    });
    while (!started)
        std::this_thread::sleep_for(1ms);
    loop.stop();
    ASSERT_EQ(outcome.wait_for(2s), std::future_status::ready) << "blockOn still waits after the stop";
    EXPECT_EQ(outcome.get(), stoppedText);
}

TEST(AgentLoop, AStopWhileTheWorkIsQueuedEndsTheWaitWithAnError) {
    std::future<std::string> outcome;
    AgentLoop loop; // never run: the work stays queued
    std::atomic<bool> calling{false};
    outcome = std::async(std::launch::async, [&loop, &calling] {
        calling = true;
        return outcomeOf(&loop, answer());
    });
    while (!calling)
        std::this_thread::sleep_for(1ms);
    std::this_thread::sleep_for(50ms); // well past the check: the work is queued
    loop.stop();
    ASSERT_EQ(outcome.wait_for(2s), std::future_status::ready) << "blockOn still waits after the stop";
    EXPECT_EQ(outcome.get(), stoppedText);
}

TEST(AgentLoop, EveryWaitRacingAStopFromAnotherThreadEnds) {
    // Callers that come in just before, during and after the stop: each gets its answer or the
    // error, and none waits for ever.
    for (int round = 0; round < 100; ++round) {
        SCOPED_TRACE(round);
        std::vector<std::future<std::vector<std::string>>> callers;
        AgentLoop loop;
        loop.startThread();
        std::atomic<bool> go{false};
        for (int t = 0; t < 3; ++t) {
            callers.push_back(std::async(std::launch::async, [&loop, &go] {
                std::vector<std::string> seen;
                while (!go)
                    std::this_thread::yield();
                for (;;) {
                    seen.push_back(outcomeOf(&loop, answer()));
                    if (seen.back() != "3")
                        return seen;
                }
            }));
        }
        go = true;
        std::this_thread::sleep_for(std::chrono::microseconds(50 * (round % 10)));
        loop.stop();
        for (auto& caller : callers) {
            ASSERT_EQ(caller.wait_for(2s), std::future_status::ready) << "a blockOn never ended";
            EXPECT_EQ(caller.get().back(), stoppedText);
        }
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
