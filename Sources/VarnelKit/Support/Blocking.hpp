#pragma once

#include "VarnelKit/Support/Task.hpp"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/thread_pool.hpp>
#include <boost/asio/use_awaitable.hpp>

#include <type_traits>
#include <utility>

namespace varnel {

// The small pool on which blocking C calls (CUPS, Avahi, archive extraction, waiting for child
// processes) run, so that they never hold up the agent loop.
boost::asio::thread_pool& blockingPool();

namespace detail {
template <class F> Awaitable<std::invoke_result_t<F&>> invokeOnPool(F function) { co_return function(); }
} // namespace detail

// Runs `function` on the blocking pool and resumes the caller on its own executor with the result
// (or the exception). The call itself cannot be interrupted; the caller waits for it.
template <class F> Awaitable<std::invoke_result_t<F&>> runBlocking(F function) {
    co_return co_await boost::asio::co_spawn(blockingPool(), detail::invokeOnPool(std::move(function)),
                                             boost::asio::use_awaitable);
}

} // namespace varnel
