#pragma once

#include "VarnelKit/Support/Timeout.hpp"
#include "VarnelKit/Support/TransportError.hpp"

namespace varnel {

// Runs work that a stop must not cut short (the report of a printed job, the last flush of
// diagnostics): the caller's cancellation does not reach the operation, and the caller waits for
// it even when cancelled meanwhile. Its own limit bounds that wait; when it passes, the operation
// is asked to stop and the error made by `onTimeout` is thrown. The operation may outlive the call
// after a time-out, so it must own, or share, whatever it touches.
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

} // namespace varnel
