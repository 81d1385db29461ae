#pragma once

#include "VarnelKit/Support/Task.hpp"

#include <boost/asio/associated_executor.hpp>
#include <boost/asio/async_result.hpp>
#include <boost/asio/execution/outstanding_work.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/prefer.hpp>
#include <boost/asio/thread_pool.hpp>
#include <boost/asio/use_awaitable.hpp>

#include <exception>
#include <optional>
#include <type_traits>
#include <utility>

namespace varnel {

// The small pool on which blocking C calls (CUPS, Avahi, archive extraction, waiting for child
// processes) run, so that they never hold up the agent loop.
boost::asio::thread_pool& blockingPool();

namespace detail {

// Runs the function on the pool and posts its outcome to the caller's executor. The pool thread
// holds that executor untracked, and posting is the last thing it does with it: once the outcome
// is delivered the loop may be gone, and nothing on the pool touches it again. The caller's
// cancellation is not taken up: the call itself cannot be interrupted.
template <class R, class F> Awaitable<std::optional<R>> startOnPool(F function) {
    namespace asio = boost::asio;
    return asio::async_initiate<const asio::use_awaitable_t<>, void(std::exception_ptr, std::optional<R>)>(
        [](auto handler, F work) {
            auto home = asio::prefer(asio::get_associated_executor(handler), asio::execution::outstanding_work.untracked);
            asio::post(blockingPool(), [work = std::move(work), handler = std::move(handler), home]() mutable {
                std::exception_ptr error;
                std::optional<R> value;
                try {
                    if constexpr (std::is_void_v<std::invoke_result_t<F&>>) {
                        work();
                        value.emplace();
                    } else {
                        value.emplace(work());
                    }
                } catch (...) {
                    error = std::current_exception();
                }
                asio::post(home, [handler = std::move(handler), error, value = std::move(value)]() mutable {
                    std::move(handler)(error, std::move(value));
                });
            });
        },
        asio::use_awaitable, std::move(function));
}

struct Nothing {};

} // namespace detail

// Runs `function` on the blocking pool and resumes the caller on its own executor with the result
// (or the exception). The call itself cannot be interrupted; the caller waits for it, even when it
// is cancelled meanwhile.
template <class F> Awaitable<std::invoke_result_t<F&>> runBlocking(F function) {
    using R = std::invoke_result_t<F&>;
    if constexpr (std::is_void_v<R>) {
        co_await detail::startOnPool<detail::Nothing>(std::move(function));
    } else {
        co_return std::move(*(co_await detail::startOnPool<R>(std::move(function))));
    }
}

} // namespace varnel
