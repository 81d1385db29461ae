#include "VarnelKit/Support/Blocking.hpp"

#include "VarnelKit/Support/AgentLoop.hpp"
#include "VarnelKit/Support/OperationCancelled.hpp"
#include "VarnelKit/Support/TransportError.hpp"

#include <atomic>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/post.hpp>
#include <chrono>
#include <future>
#include <gtest/gtest.h>
#include <memory>
#include <thread>
#include <utility>

namespace varnel {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
namespace asio = boost::asio;

struct CallState {
    std::promise<void> begun;
    std::atomic<bool> ended{false};
    std::atomic<bool> resumed{false};
};

Awaitable<void> slowCall(std::shared_ptr<CallState> state) {
    auto call = [state] {
        state->begun.set_value();
        std::this_thread::sleep_for(200ms);
        state->ended = true;
    };
    co_await runBlocking(std::move(call));
    state->resumed = true;
}

// What the programs do on Ctrl-C or quit: the loop goes away while a blocking call (a slow CUPS
// listing) is still on the pool. The call may finish, but must not report to the dead loop.
TEST(Blocking, TheLoopMayGoAwayDuringACall) {
    auto state = std::make_shared<CallState>();
    auto begun = state->begun.get_future();
    auto loop = std::make_unique<AgentLoop>();
    loop->startThread();
    asio::co_spawn(loop->executor(), slowCall(state), asio::detached);
    ASSERT_EQ(begun.wait_for(1s), std::future_status::ready);
    loop.reset();
    const bool endedFirst = state->ended;
    // Had the call been left running, its report would reach the freed loop about now (which the
    // sanitizer build sees); wait that out before judging.
    const auto deadline = Clock::now() + 1s;
    while (!state->ended && Clock::now() < deadline) std::this_thread::sleep_for(5ms);
    std::this_thread::sleep_for(20ms);
    // The loop waited for the call under way before it let go of what that call reports to.
    EXPECT_TRUE(endedFirst);
    EXPECT_FALSE(state->resumed);
}

TEST(Blocking, EachLoopHasItsOwnPool) {
    AgentLoop first;
    AgentLoop second;
    EXPECT_NE(&blockingPool(first.executor()), &blockingPool(second.executor()));
    EXPECT_EQ(&blockingPool(first.executor()), &blockingPool(first.executor()));
}

struct CancellableState {
    std::promise<void> begun;
    std::atomic<bool> ended{false};
    std::atomic<bool> cancelled{false};
    std::atomic<bool> gotResult{false};
};

Awaitable<void> readUntilCancelled(std::shared_ptr<CancellableState> state) {
    auto read = [state] {
        state->begun.set_value();
        std::this_thread::sleep_for(300ms);
        state->ended = true;
        return 5;
    };
    try {
        (void)co_await runBlockingCancellable(std::move(read));
        state->gotResult = true;
    } catch (const OperationCancelled&) {
        state->cancelled = true;
    }
}

TEST(Blocking, ACancellableCallStopsTheWaitNotTheCall) {
    AgentLoop loop;
    loop.startThread();
    auto state = std::make_shared<CancellableState>();
    auto begun = state->begun.get_future();
    auto task = Task::spawn(loop.executor(), [state] { return readUntilCancelled(state); });
    ASSERT_EQ(begun.wait_for(1s), std::future_status::ready);
    const auto before = Clock::now();
    task->cancel();
    loop.blockOn(task->join());
    EXPECT_LT(Clock::now() - before, 200ms);
    EXPECT_TRUE(state->cancelled);
    EXPECT_FALSE(state->gotResult);
    EXPECT_FALSE(state->ended);
    // The call itself runs to its end on the pool; its result is dropped.
    while (!state->ended)
        std::this_thread::sleep_for(5ms);
}

TEST(Blocking, ACancellableCallReturnsItsResultWhenLeftAlone) {
    AgentLoop loop;
    loop.startThread();
    auto read = [] { return 5; };
    EXPECT_EQ(loop.blockOn(runBlockingCancellable(std::move(read))), 5);
}

// A C library's callback thread hands work to the loop, and stops being able to once the loop
// goes away, instead of posting into freed memory.
TEST(LoopMailbox, DeliversUntilTheLoopGoesAway) {
    auto loop = std::make_unique<AgentLoop>();
    loop->startThread();
    auto mailbox = std::make_unique<LoopMailbox>(loop->executor());
    std::promise<std::thread::id> ranOn;
    auto where = ranOn.get_future();
    std::thread([&] {
        EXPECT_TRUE(mailbox->post([&ranOn] { ranOn.set_value(std::this_thread::get_id()); }));
    }).join();
    ASSERT_EQ(where.wait_for(1s), std::future_status::ready);
    const auto loopThread = where.get();
    EXPECT_NE(loopThread, std::this_thread::get_id());

    loop.reset();
    auto dropped = std::make_shared<int>(0);
    EXPECT_FALSE(mailbox->post([dropped] { ++*dropped; }));
    EXPECT_EQ(dropped.use_count(), 1);
    EXPECT_EQ(*dropped, 0);
}

TEST(Blocking, RunsOffTheLoopAndResumesOnIt) {
    AgentLoop loop;
    loop.startThread();
    std::thread::id loopThread;
    asio::post(loop.context(), [&] { loopThread = std::this_thread::get_id(); });
    const auto result = loop.blockOn([](std::thread::id* loopId) -> Awaitable<std::pair<bool, bool>> {
        const auto worker = co_await runBlocking([] { return std::this_thread::get_id(); });
        co_return std::pair{worker != *loopId, std::this_thread::get_id() == *loopId};
    }(&loopThread));
    EXPECT_TRUE(result.first);
    EXPECT_TRUE(result.second);
    EXPECT_THROW(loop.blockOn(runBlocking([]() -> int { throw TransportError(TransportError::Code::timedOut); })),
                 TransportError);
}

} // namespace
} // namespace varnel
