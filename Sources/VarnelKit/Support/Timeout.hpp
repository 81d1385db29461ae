#pragma once

#include "VarnelKit/Support/Task.hpp"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/deferred.hpp>
#include <boost/asio/experimental/parallel_group.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>

#include <chrono>
#include <exception>
#include <functional>
#include <type_traits>

namespace varnel {

// Races `operation` against a timer on the monotonic clock. Whichever finishes first wins, success
// or failure: an operation that fails at once fails at once, not when the timer fires. The loser
// is cancelled and awaited. When the timer wins, the error made by `onTimeout` is thrown.
template <class T>
Awaitable<T> withTimeout(std::chrono::steady_clock::duration limit, Awaitable<T> operation,
                         std::function<std::exception_ptr()> onTimeout) {
    namespace asio = boost::asio;
    const auto executor = co_await asio::this_coro::executor;
    asio::steady_timer timer(executor, limit);
    auto group = asio::experimental::make_parallel_group(asio::co_spawn(executor, std::move(operation), asio::deferred),
                                                         timer.async_wait(asio::deferred));
    if constexpr (std::is_void_v<T>) {
        auto [order, operationError, timerError] =
            co_await group.async_wait(asio::experimental::wait_for_one(), asio::use_awaitable);
        (void)timerError;
        if (order[0] == 0) {
            if (operationError) std::rethrow_exception(operationError);
            co_return;
        }
    } else {
        auto [order, operationError, value, timerError] =
            co_await group.async_wait(asio::experimental::wait_for_one(), asio::use_awaitable);
        (void)timerError;
        if (order[0] == 0) {
            if (operationError) std::rethrow_exception(operationError);
            co_return std::move(value);
        }
    }
    std::rethrow_exception(onTimeout());
}

} // namespace varnel
