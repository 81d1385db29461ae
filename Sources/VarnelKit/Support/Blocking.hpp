#pragma once

#include "VarnelKit/Support/Task.hpp"

#include <boost/asio/bind_cancellation_slot.hpp>
#include <boost/asio/cancellation_signal.hpp>
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
// (or the exception). The call itself cannot be interrupted; the caller waits for it, even when it
// is cancelled meanwhile. The caller's cancellation is not passed on: the spawned coroutine would
// otherwise throw it from its final hop back, outside any handler, and end the process.
template <class F> Awaitable<std::invoke_result_t<F&>> runBlocking(F function) {
    co_return co_await boost::asio::co_spawn(
        blockingPool(), detail::invokeOnPool(std::move(function)),
        boost::asio::bind_cancellation_slot(boost::asio::cancellation_slot(), boost::asio::use_awaitable));
}

} // namespace varnel
