#pragma once

#include "VarnelKit/Support/AsyncEvent.hpp"
#include "VarnelKit/Support/OperationCancelled.hpp"
#include "VarnelKit/Support/Task.hpp"

#include <boost/asio/bind_cancellation_slot.hpp>
#include <boost/asio/cancellation_signal.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/deferred.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/experimental/parallel_group.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/system/system_error.hpp>
#include <chrono>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <type_traits>

namespace varnel {

namespace detail {

struct Nothing {};

template <class T> using Stored = std::conditional_t<std::is_void_v<T>, Nothing, T>;

// What a detached operation leaves for whoever still waits for it. Shared, because the operation
// may outlive that wait: after a time-out or the waiter's cancellation it is signalled to stop and
// left to end on its own, however long it takes.
template <class T> struct DetachedOutcome {
    explicit DetachedOutcome(const Executor& executor) : finished(executor) {}

    AsyncEvent finished;
    std::optional<Stored<T>> value;
    std::exception_ptr error;
    boost::asio::cancellation_signal stop;
};

template <class T>
Awaitable<void> runDetached(std::shared_ptr<DetachedOutcome<T>> outcome, Awaitable<T> operation) {
    // Cooperative, as in a task: asked to stop, the operation still runs its own clean-up awaits.
    co_await boost::asio::this_coro::throw_if_cancelled(false);
    try {
        if constexpr (std::is_void_v<T>) {
            co_await std::move(operation);
            outcome->value.emplace();
        } else {
            outcome->value.emplace(co_await std::move(operation));
        }
    } catch (...) {
        outcome->error = std::current_exception();
    }
    outcome->finished.set();
}

template <class T>
std::shared_ptr<DetachedOutcome<T>> startDetached(const Executor& executor, Awaitable<T> operation,
                                                  bool cancellable) {
    namespace asio = boost::asio;
    auto outcome = std::make_shared<DetachedOutcome<T>>(executor);
    auto run = runDetached<T>(outcome, std::move(operation));
    if (cancellable) {
        asio::co_spawn(executor, std::move(run),
                       asio::bind_cancellation_slot(outcome->stop.slot(), asio::detached));
    } else {
        asio::co_spawn(executor, std::move(run), asio::detached);
    }
    return outcome;
}

template <class T> T takeOutcome(DetachedOutcome<T>& outcome) {
    if (outcome.error)
        std::rethrow_exception(outcome.error);
    if constexpr (!std::is_void_v<T>)
        return std::move(*outcome.value);
}

// Runs the operation detached and waits for the first of: its end (success or failure), the limit
// (when there is one), the caller's cancellation. The operation is never waited for beyond that,
// so a loser that ignores cancellation (a blocking call) holds up no one; its late outcome is
// dropped with the shared state.
template <class T>
Awaitable<T> raceDetached(Awaitable<T> operation, std::optional<std::chrono::steady_clock::duration> limit,
                          std::function<std::exception_ptr()> onTimeout) {
    namespace asio = boost::asio;
    // Cancellation is sticky: what a cancelled caller starts ends at once.
    if (co_await isCancelled())
        throw OperationCancelled();
    const auto executor = co_await asio::this_coro::executor;
    auto outcome = startDetached<T>(executor, std::move(operation), true);

    asio::steady_timer timer(executor, asio::steady_timer::time_point::max());
    if (limit)
        timer.expires_after(*limit);
    auto group = asio::experimental::make_parallel_group(
        asio::co_spawn(executor, outcome->finished.wait(), asio::deferred), timer.async_wait(asio::deferred));
    try {
        (void)co_await group.async_wait(asio::experimental::wait_for_one(), asio::use_awaitable);
    } catch (const boost::system::system_error&) {
        // Refused to start because the caller was cancelled meanwhile; told apart below.
    }
    if (outcome->finished.isSet())
        co_return takeOutcome(*outcome);
    outcome->stop.emit(asio::cancellation_type::terminal);
    // A stop must never read as a time-out.
    if (co_await isCancelled() || !limit || !onTimeout)
        throw OperationCancelled();
    std::rethrow_exception(onTimeout());
}

} // namespace detail

// Races `operation` against a timer on the monotonic clock. Whichever finishes first wins, success
// or failure: an operation that fails at once fails at once, not when the timer fires. When the
// timer wins, the error made by `onTimeout` is thrown; when the caller is cancelled (before or
// during the race), OperationCancelled is.
//
// The operation runs with cooperative cancellation, as a task's body does: when it loses it is
// asked to stop (its sleeps report, its clean-up awaits still run) but not waited for, so the time
// limit holds even for work that ignores cancellation. It may therefore outlive this call and must
// own, or share, whatever it touches.
template <class T>
Awaitable<T> withTimeout(std::chrono::steady_clock::duration limit, Awaitable<T> operation,
                         std::function<std::exception_ptr()> onTimeout) {
    return detail::raceDetached<T>(std::move(operation), limit, std::move(onTimeout));
}

} // namespace varnel
