#pragma once

#include "VarnelKit/Support/Timeout.hpp"
#include "VarnelKit/Support/TransportError.hpp"

namespace varnel {

namespace detail {

// True when the detached operation ended within `limit`. Run without the caller's cancellation,
// so that a stopped caller still gets the whole limit.
template <class T>
Awaitable<bool> finishesWithin(std::shared_ptr<DetachedOutcome<T>> outcome, std::chrono::steady_clock::duration limit) {
    namespace asio = boost::asio;
    const auto executor = co_await asio::this_coro::executor;
    asio::steady_timer timer(executor, limit);
    auto group = asio::experimental::make_parallel_group(
        asio::co_spawn(executor, outcome->finished.wait(), asio::deferred), timer.async_wait(asio::deferred));
    (void)co_await group.async_wait(asio::experimental::wait_for_one(), asio::use_awaitable);
    co_return outcome->finished.isSet();
}

// What happens to an operation that is still running when its limit after a stop has passed.
enum class PastTheLimit {
    abandon,      // left to end on its own; the caller gets the time-out error at once
    stopAndAwait, // asked to stop, and its own outcome (which tells what it had done) awaited
};

// Runs the operation out of reach of the caller's cancellation. Until the caller is cancelled the
// operation may take as long as it takes; from the moment it is (or at once, when it already is)
// it has `limit` more, and `onStop` (when given) is told so.
template <class T>
Awaitable<T> runPastAStop(Awaitable<T> operation, std::chrono::steady_clock::duration limit, PastTheLimit past,
                          std::function<std::exception_ptr()> onTimeout, std::function<void()> onStop = {}) {
    namespace asio = boost::asio;
    const auto executor = co_await asio::this_coro::executor;
    auto outcome = startDetached<T>(executor, std::move(operation), true);
    if (!(co_await isCancelled()))
        (void)co_await outcome->finished.wait(); // ends early only for the caller's cancellation
    if (outcome->finished.isSet())
        co_return takeOutcome(*outcome);
    if (onStop)
        onStop();
    auto bounded = finishesWithin<T>(outcome, limit);
    const bool finished = co_await asio::co_spawn(
        executor, std::move(bounded), asio::bind_cancellation_slot(asio::cancellation_slot(), asio::use_awaitable));
    if (finished)
        co_return takeOutcome(*outcome);
    outcome->stop.emit(asio::cancellation_type::terminal);
    if (past == PastTheLimit::abandon)
        std::rethrow_exception(onTimeout());
    co_await outcome->finished.waitIgnoringCancellation();
    co_return takeOutcome(*outcome);
}

} // namespace detail

// Runs work that a stop must not cut short (the last flush of diagnostics): the caller's
// cancellation does not reach the operation, and the caller waits for it even when cancelled
// meanwhile. Its own limit bounds that wait; when it passes, the operation is asked to stop and the
// error made by `onTimeout` is thrown. The operation may outlive the call after a time-out, so it
// must own, or share, whatever it touches.
template <class T>
Awaitable<T> shielded(Awaitable<T> operation, std::chrono::steady_clock::duration limit,
                      std::function<std::exception_ptr()> onTimeout) {
    namespace asio = boost::asio;
    const auto executor = co_await asio::this_coro::executor;
    // Spawned without a cancellation slot: inside, the operation sees a task that was never
    // cancelled, whatever happens to the caller.
    auto bounded = withTimeout<T>(limit, std::move(operation), std::move(onTimeout));
    auto outcome = detail::startDetached<T>(executor, std::move(bounded), false);
    co_await outcome->finished.waitIgnoringCancellation();
    co_return detail::takeOutcome(*outcome);
}

// As above; a time-out reads as a request that timed out.
template <class T> Awaitable<T> shielded(Awaitable<T> operation, std::chrono::steady_clock::duration limit) {
    return shielded<T>(std::move(operation), limit, [] {
        return std::make_exception_ptr(TransportError(TransportError::Code::timedOut));
    });
}

// Work that a stop must not cut short but need not wait for without end (the report of labels that
// exist): unbounded while the caller runs; once the caller is cancelled, `limit` more, then the
// operation is asked to stop and the error made by `onTimeout` is thrown. `onStop` (when given) is
// told when the limit begins, so that work that can be told to give up (a submission) says how far
// it came within it. It may outlive the call, so it must own, or share, whatever it touches.
template <class T>
Awaitable<T> shieldedFromStop(Awaitable<T> operation, std::chrono::steady_clock::duration limit,
                              std::function<std::exception_ptr()> onTimeout, std::function<void()> onStop = {}) {
    return detail::runPastAStop<T>(std::move(operation), limit, detail::PastTheLimit::abandon, std::move(onTimeout),
                                   std::move(onStop));
}

// Work that is under way and should end on its own rather than be cut (a label being sent): a stop
// of the caller gives it `grace` to finish, and `onStop` is told when that grace begins; after it
// the operation is asked to stop, and its own outcome is awaited and given, whatever it is (an
// operation asked to stop says what it had done by then).
template <class T>
Awaitable<T> withGrace(Awaitable<T> operation, std::chrono::steady_clock::duration grace,
                       std::function<void()> onStop = {}) {
    return detail::runPastAStop<T>(std::move(operation), grace, detail::PastTheLimit::stopAndAwait, {},
                                   std::move(onStop));
}

} // namespace varnel
