#include "VarnelKit/Support/Timeout.hpp"

#include "VarnelKit/Support/AgentLoop.hpp"
#include "VarnelKit/Support/AsyncEvent.hpp"
#include "VarnelKit/Support/Blocking.hpp"
#include "VarnelKit/Support/OperationCancelled.hpp"
#include "VarnelKit/Support/Shielded.hpp"
#include "VarnelKit/Support/TransportError.hpp"

#include <atomic>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <chrono>
#include <future>
#include <gtest/gtest.h>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>

namespace varnel {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
namespace asio = boost::asio;

struct TimedOut : std::runtime_error {
    TimedOut() : std::runtime_error("timed out") {}
};

std::function<std::exception_ptr()> timedOut() {
    return [] { return std::make_exception_ptr(TimedOut()); };
}

// What a task that awaits `operation` inside a time-out learned, once the task was cancelled.
struct Outcome {
    std::atomic<bool> started{false};
    std::string caught; // touched on the loop, read after join
};

// An operation that honours cancellation: a plain Asio timer, which ends with operation_aborted.
Awaitable<void> longTimerWait() {
    asio::steady_timer timer(co_await asio::this_coro::executor, 10s);
    co_await timer.async_wait(asio::use_awaitable);
}

Awaitable<void> raceInsideTask(Outcome* outcome, std::chrono::steady_clock::duration limit,
                               Awaitable<void> operation) {
    outcome->started = true;
    try {
        co_await withTimeout<void>(limit, std::move(operation), timedOut());
        outcome->caught = "nothing";
    } catch (const OperationCancelled&) {
        outcome->caught = "cancelled";
    } catch (const TimedOut&) {
        outcome->caught = "timed out";
    } catch (const std::exception& error) {
        outcome->caught = std::string("other: ") + error.what();
    }
}

TEST(Timeout, ACancelledCallerGetsTheCancellationNotTheTimeout) {
    AgentLoop loop;
    loop.startThread();
    Outcome outcome;
    auto task = Task::spawn(loop.executor(), [&] { return raceInsideTask(&outcome, 10s, longTimerWait()); });
    while (!outcome.started)
        std::this_thread::sleep_for(1ms);
    std::this_thread::sleep_for(20ms);
    const auto before = Clock::now();
    task->cancel();
    loop.blockOn(task->join());
    EXPECT_LT(Clock::now() - before, 1s);
    EXPECT_EQ(outcome.caught, "cancelled");
}

Awaitable<void> markRan(std::atomic<bool>* ran) {
    *ran = true;
    co_return;
}

// Sticky: a time-out that a cancelled task begins does not start its operation at all.
Awaitable<void> raceAfterCancel(Outcome* outcome, std::atomic<bool>* operationRan) {
    co_await sleepFor(10s);
    co_await raceInsideTask(outcome, 10s, markRan(operationRan));
}

TEST(Timeout, ACallerCancelledBeforehandEndsAtOnce) {
    AgentLoop loop;
    loop.startThread();
    Outcome outcome;
    std::atomic<bool> operationRan{false};
    auto task = Task::spawn(loop.executor(), [&] { return raceAfterCancel(&outcome, &operationRan); });
    task->cancel();
    loop.blockOn(task->join());
    EXPECT_EQ(outcome.caught, "cancelled");
    EXPECT_FALSE(operationRan);
}

TEST(Timeout, TheLimitHoldsForWorkThatIgnoresCancellation) {
    AgentLoop loop;
    loop.startThread();
    auto finished = std::make_shared<std::atomic<bool>>(false);
    auto slowCall = [finished] {
        std::this_thread::sleep_for(500ms);
        *finished = true;
        return 1;
    };
    const auto before = Clock::now();
    EXPECT_THROW(loop.blockOn(withTimeout<int>(100ms, runBlocking(std::move(slowCall)), timedOut())),
                 TimedOut);
    EXPECT_LT(Clock::now() - before, 400ms);
    EXPECT_FALSE(*finished);
    // The call still ends on the pool; its late result goes nowhere and harms nothing.
    while (!*finished)
        std::this_thread::sleep_for(5ms);
}

// A raced operation that loses is asked to stop as a task's body is: its sleep reports, and what
// it does afterwards to clean up still runs.
Awaitable<void> sleeperWithCleanup(std::shared_ptr<std::promise<std::string>> log) {
    std::string seen;
    try {
        seen += (co_await sleepFor(10s)) ? "slept fully; " : "sleep reported; ";
        auto cleanup = [] { return std::string("cleanup ran"); };
        seen += co_await runBlocking(std::move(cleanup));
    } catch (const std::exception& error) {
        seen += std::string("threw: ") + error.what();
    }
    log->set_value(seen);
}

TEST(Timeout, TheLosingOperationWindsDownCooperatively) {
    AgentLoop loop;
    loop.startThread();
    auto log = std::make_shared<std::promise<std::string>>();
    auto seen = log->get_future();
    EXPECT_THROW(loop.blockOn(withTimeout<void>(50ms, sleeperWithCleanup(log), timedOut())), TimedOut);
    ASSERT_EQ(seen.wait_for(1s), std::future_status::ready);
    EXPECT_EQ(seen.get(), "sleep reported; cleanup ran");
}

Awaitable<bool> sleepThrough(std::chrono::milliseconds duration) {
    co_return co_await sleepFor(duration);
}

// What the report of a printed job needs after stop(): the caller's cancellation does not cut it
// short, yet its own limit still holds.
struct ShieldedOutcome {
    std::atomic<bool> started{false};
    std::optional<bool> sleptFully;
    std::string caught;
    bool callerSawCancellation = false;
};

Awaitable<void> shieldedInsideTask(ShieldedOutcome* outcome, std::chrono::milliseconds work,
                                   std::chrono::milliseconds limit) {
    outcome->started = true;
    try {
        outcome->sleptFully = co_await shielded(sleepThrough(work), limit);
    } catch (const TransportError& error) {
        outcome->caught = error.description();
    } catch (const std::exception& error) {
        outcome->caught = std::string("other: ") + error.what();
    }
    outcome->callerSawCancellation = co_await isCancelled();
}

TEST(Shielded, TheCallersCancellationDoesNotCutItShort) {
    AgentLoop loop;
    loop.startThread();
    ShieldedOutcome outcome;
    auto task = Task::spawn(loop.executor(), [&] { return shieldedInsideTask(&outcome, 150ms, 1s); });
    while (!outcome.started)
        std::this_thread::sleep_for(1ms);
    task->cancel();
    loop.blockOn(task->join());
    EXPECT_EQ(outcome.sleptFully, std::optional<bool>(true));
    EXPECT_EQ(outcome.caught, "");
    EXPECT_TRUE(outcome.callerSawCancellation);
}

TEST(Shielded, ItsOwnLimitStillHolds) {
    AgentLoop loop;
    loop.startThread();
    ShieldedOutcome outcome;
    auto task = Task::spawn(loop.executor(), [&] { return shieldedInsideTask(&outcome, 10000ms, 100ms); });
    while (!outcome.started)
        std::this_thread::sleep_for(1ms);
    const auto before = Clock::now();
    task->cancel();
    loop.blockOn(task->join());
    EXPECT_LT(Clock::now() - before, 1s);
    EXPECT_FALSE(outcome.sleptFully.has_value());
    EXPECT_EQ(outcome.caught, "The request timed out.");
}

// Moved from TaskTest.cpp unchanged, but for the name of its time-out error (this file has a
// timedOut of its own).

Awaitable<void> connectTo(asio::ip::tcp::endpoint endpoint) {
    asio::ip::tcp::socket socket(co_await asio::this_coro::executor);
    co_await socket.async_connect(endpoint, asio::use_awaitable);
}

std::exception_ptr transportTimedOut() { return std::make_exception_ptr(TransportError(TransportError::Code::timedOut)); }

TEST(Timeout, AFailureThatComesFirstWinsAtOnce) {
    AgentLoop loop;
    loop.startThread();
    // A port that was just free: the connection is refused at once.
    asio::ip::tcp::acceptor probe(loop.context(), {asio::ip::make_address("127.0.0.1"), 0});
    const auto endpoint = probe.local_endpoint();
    probe.close();

    const auto before = Clock::now();
    try {
        loop.blockOn(withTimeout<void>(2s, connectTo(endpoint), transportTimedOut));
        ADD_FAILURE() << "a refused connection must fail";
    } catch (const boost::system::system_error& e) {
        EXPECT_EQ(e.code(), asio::error::connection_refused);
    }
    EXPECT_LT(Clock::now() - before, 1s);
}

Awaitable<int> slowAnswer() {
    co_await sleepFor(30s);
    co_return 7;
}

Awaitable<int> quickAnswer() { co_return 42; }

TEST(Timeout, TheTimerWinsOverASlowOperationAndCancelsIt) {
    AgentLoop loop;
    loop.startThread();
    const auto before = Clock::now();
    EXPECT_THROW(loop.blockOn(withTimeout<int>(50ms, slowAnswer(), transportTimedOut)), TransportError);
    EXPECT_LT(Clock::now() - before, 5s);
    EXPECT_EQ(loop.blockOn(withTimeout<int>(5s, quickAnswer(), transportTimedOut)), 42);
}

} // namespace
} // namespace varnel
