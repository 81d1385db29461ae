#include "VarnelKit/Support/Task.hpp"

#include "VarnelKit/Support/AgentLoop.hpp"
#include "VarnelKit/Support/Blocking.hpp"
#include "VarnelKit/Support/OperationCancelled.hpp"
#include "VarnelKit/Support/Timeout.hpp"

#include <atomic>
#include <boost/asio/as_tuple.hpp>
#include <boost/asio/redirect_error.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <chrono>
#include <future>
#include <gtest/gtest.h>
#include <memory>
#include <stdexcept>
#include <thread>

namespace varnel {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
namespace asio = boost::asio;

struct Flags {
    std::atomic<bool> started{false};
    std::atomic<bool> sleptFully{true};
    std::atomic<bool> finished{false};
};

Awaitable<void> sleeper(Flags* flags) {
    flags->started = true;
    flags->sleptFully = co_await sleepFor(60s);
    flags->finished = true;
}

TEST(Task, CancelEndsASleepEarlyWithoutThrowing) {
    AgentLoop loop;
    loop.startThread();
    Flags flags;
    auto task = Task::spawn(loop.executor(), [&flags] { return sleeper(&flags); });
    while (!flags.started) std::this_thread::sleep_for(1ms);
    const auto before = Clock::now();
    task->cancel();
    loop.blockOn(task->join());
    EXPECT_LT(Clock::now() - before, 5s);
    EXPECT_TRUE(task->isCancelled());
    EXPECT_TRUE(task->isFinished());
    EXPECT_TRUE(flags.finished);
    EXPECT_FALSE(flags.sleptFully);
}

TEST(Task, SleepAfterCancellationReturnsAtOnce) {
    AgentLoop loop;
    loop.startThread();
    Flags flags;
    std::atomic<bool> release{false};
    auto task = Task::spawn(loop.executor(), [&]() -> Awaitable<void> {
        return [](Flags* f, std::atomic<bool>* r) -> Awaitable<void> {
            while (!r->load()) co_await sleepFor(1ms);
            co_await sleeper(f);
        }(&flags, &release);
    });
    task->cancel();
    release = true;
    loop.blockOn(task->join());
    EXPECT_FALSE(flags.sleptFully);
}

// A task that stops a set of tasks that includes itself must not wait for itself.
Awaitable<void> stopAll(std::vector<std::shared_ptr<Task>>* tasks, std::atomic<bool>* done) {
    for (auto& t : *tasks) t->cancel();
    co_await joinAll(*tasks);
    *done = true;
}

TEST(Task, JoinFromInsideTheSameTaskReturns) {
    AgentLoop loop;
    loop.startThread();
    std::vector<std::shared_ptr<Task>> tasks;
    Flags other;
    std::atomic<bool> done{false};
    std::promise<void> ready;
    auto readyFuture = ready.get_future();
    asio::post(loop.context(), [&] {
        tasks.push_back(Task::spawn(loop.executor(), [&other] { return sleeper(&other); }));
        tasks.push_back(Task::spawn(loop.executor(), [&tasks, &done] { return stopAll(&tasks, &done); }));
        ready.set_value();
    });
    readyFuture.wait();
    const auto deadline = Clock::now() + 5s;
    while (!done && Clock::now() < deadline) std::this_thread::sleep_for(1ms);
    EXPECT_TRUE(done);
    loop.blockOn(joinAll(tasks));
    EXPECT_TRUE(tasks[0]->isFinished());
    EXPECT_TRUE(tasks[1]->isFinished());
}

TEST(Task, IsCurrentTellsTasksApart) {
    AgentLoop loop;
    loop.startThread();
    std::shared_ptr<Task> first, second;
    std::atomic<int> result{-1};
    std::promise<void> spawned;
    asio::post(loop.context(), [&] {
        second = Task::spawn(loop.executor(), [] { return []() -> Awaitable<void> { co_await sleepFor(60s); }(); });
        first = Task::spawn(loop.executor(), [&]() -> Awaitable<void> {
            return [](std::shared_ptr<Task>* self, std::shared_ptr<Task>* other, std::atomic<int>* out) -> Awaitable<void> {
                const bool mine = co_await (*self)->isCurrent();
                const bool theirs = co_await (*other)->isCurrent();
                *out = (mine ? 1 : 0) + (theirs ? 2 : 0);
            }(&first, &second, &result);
        });
        spawned.set_value();
    });
    spawned.get_future().wait();
    loop.blockOn(first->join());
    EXPECT_EQ(result.load(), 1);
    second->cancel();
    loop.blockOn(second->join());
}

// A cancel that arrives while the body waits for something that cannot be interrupted (a
// blocking call) must still reach what the body starts next: here a plain Asio timer.
struct AfterBlockingStep {
    std::atomic<int> blockingResult{0};
    std::atomic<bool> nextWaitAborted{false};
    std::atomic<bool> done{false};
};

Awaitable<void> blockingThenWait(AfterBlockingStep* seen, std::promise<void>* blocking) {
    auto call = [blocking] {
        blocking->set_value();
        std::this_thread::sleep_for(100ms);
        return 42;
    };
    const int result = co_await runBlocking(std::move(call));
    seen->blockingResult = result;
    asio::steady_timer next(co_await asio::this_coro::executor, 2s);
    const auto [error] = co_await next.async_wait(asio::as_tuple(asio::use_awaitable));
    seen->nextWaitAborted = error == asio::error::operation_aborted;
    seen->done = true;
}

TEST(Task, ACancelDuringABlockingCallReachesTheNextWait) {
    AgentLoop loop;
    loop.startThread();
    AfterBlockingStep seen;
    std::promise<void> blocking;
    auto task = Task::spawn(loop.executor(), [&] { return blockingThenWait(&seen, &blocking); });
    blocking.get_future().wait();
    const auto before = Clock::now();
    task->cancel();
    loop.blockOn(task->join());
    EXPECT_LT(Clock::now() - before, 1s);
    // The call that had begun still delivers its result: a submitted job is not lost.
    EXPECT_EQ(seen.blockingResult.load(), 42);
    EXPECT_TRUE(seen.done);
    EXPECT_TRUE(seen.nextWaitAborted);
}

Awaitable<void> failAfter(std::chrono::milliseconds pause, std::string message) {
    co_await sleepFor(pause);
    throw std::runtime_error(message);
}

TEST(Task, AnEscapingExceptionIsKeptForJoin) {
    AgentLoop loop;
    loop.startThread();
    auto task = Task::spawn(loop.executor(), [] { return failAfter(0ms, "heartbeat loop died"); });
    try {
        loop.blockOn(task->join());
        ADD_FAILURE() << "join must rethrow what escaped the body";
    } catch (const std::runtime_error& error) {
        EXPECT_STREQ(error.what(), "heartbeat loop died");
    }
    EXPECT_TRUE(task->isFinished());
    // Each waiter learns it, not only the first.
    EXPECT_THROW(loop.blockOn(task->join()), std::runtime_error);
}

TEST(Task, AnEscapingExceptionGoesToTheOwnersHandlerInstead) {
    AgentLoop loop;
    loop.startThread();
    std::promise<std::string> reported;
    auto task = Task::spawn(
        loop.executor(), [] { return failAfter(1ms, "reverb loop died"); },
        [&reported](std::exception_ptr error) { reported.set_value(describeException(error)); });
    auto report = reported.get_future();
    ASSERT_EQ(report.wait_for(1s), std::future_status::ready);
    EXPECT_EQ(report.get(), "reverb loop died");
    EXPECT_NO_THROW(loop.blockOn(task->join()));
}

Awaitable<void> longSleep() {
    co_await sleepFor(10s);
}

// A body that ends by its own cancellation did what it was asked to: no failure to report.
Awaitable<void> waitOutCancellation(std::atomic<bool>* started) {
    *started = true;
    std::function<std::exception_ptr()> timedOut = [] {
        return std::make_exception_ptr(std::logic_error("late"));
    };
    co_await withTimeout<void>(10s, longSleep(), std::move(timedOut));
}

TEST(Task, EndingByItsCancellationIsNoFailure) {
    AgentLoop loop;
    loop.startThread();
    std::atomic<bool> started{false};
    std::atomic<int> failures{0};
    auto task = Task::spawn(
        loop.executor(), [&started] { return waitOutCancellation(&started); },
        [&failures](std::exception_ptr) { ++failures; });
    while (!started)
        std::this_thread::sleep_for(1ms);
    task->cancel();
    EXPECT_NO_THROW(loop.blockOn(task->join()));
    EXPECT_EQ(failures.load(), 0);
}

// What std::function cannot hold: a body that owns a unique_ptr and a promise.
Awaitable<void> fulfil(const int* value, std::promise<int>* promise) {
    co_await sleepFor(1ms);
    promise->set_value(*value);
}

TEST(Task, BodiesMayBeMoveOnly) {
    AgentLoop loop;
    loop.startThread();
    auto value = std::make_unique<int>(7);
    std::promise<int> promise;
    auto result = promise.get_future();
    auto task =
        Task::spawn(loop.executor(), [value = std::move(value), promise = std::move(promise)]() mutable {
            return fulfil(value.get(), &promise);
        });
    loop.blockOn(task->join());
    ASSERT_EQ(result.wait_for(1s), std::future_status::ready);
    EXPECT_EQ(result.get(), 7);
}

} // namespace
} // namespace varnel
