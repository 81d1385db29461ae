#pragma once

#include "VarnelKit/Support/Task.hpp"
#include "VarnelKit/Support/Timeout.hpp"
#include "VarnelKit/Support/UniqueFunction.hpp"

#include <boost/asio/associated_executor.hpp>
#include <boost/asio/async_result.hpp>
#include <boost/asio/execution/outstanding_work.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/prefer.hpp>
#include <boost/asio/thread_pool.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <exception>
#include <memory>
#include <optional>
#include <type_traits>
#include <utility>

namespace varnel {

// The small pool on which the blocking C calls (CUPS, Avahi, archive extraction, waiting for child
// processes) of one loop run, so that they never hold up that loop. It belongs to the loop's
// execution context: when the context shuts down, calls that have not begun are dropped and the
// pool waits for those that have, before anything they report to is destroyed.
boost::asio::thread_pool& blockingPool(const Executor& loopExecutor);

namespace detail {

// Runs the function on the loop's pool and posts its outcome to the caller's executor. Posting is
// safe until the end: the context joins the pool before it destroys anything a post reaches.
template <class R, class F> Awaitable<std::optional<R>> startOnPool(F function) {
    namespace asio = boost::asio;
    return asio::async_initiate<const asio::use_awaitable_t<>, void(std::exception_ptr, std::optional<R>)>(
        [](auto handler, F work) {
            auto home = asio::prefer(asio::get_associated_executor(handler),
                                     asio::execution::outstanding_work.tracked);
            auto& pool = blockingPool(home);
            asio::post(pool, [work = std::move(work), handler = std::move(handler), home]() mutable {
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

} // namespace detail

// Runs `function` on the loop's blocking pool and resumes the caller on its own executor with the
// result (or the exception). A blocking call cannot be interrupted, and one that has begun has
// effects (a print job handed to CUPS, a file written), so the caller waits for it and gets its
// result even when cancelled meanwhile, and even a cancelled caller's call is made (clean-up that
// must reach the system). The cancellation then reaches the caller's next wait.
template <class F> Awaitable<std::invoke_result_t<F&>> runBlocking(F function) {
    using R = std::invoke_result_t<F&>;
    if constexpr (std::is_void_v<R>) {
        co_await detail::startOnPool<detail::Nothing>(std::move(function));
    } else {
        co_return std::move(*(co_await detail::startOnPool<R>(std::move(function))));
    }
}

// As runBlocking, for calls whose result no one needs once the caller is cancelled (a read, a
// probe): a cancelled caller gets OperationCancelled at once. A caller cancelled before the call
// does not make it; a call already handed to the pool (queued or under way) still runs there, and
// its outcome is dropped. `function` must therefore own what it touches.
template <class F> Awaitable<std::invoke_result_t<F&>> runBlockingCancellable(F function) {
    using R = std::invoke_result_t<F&>;
    return detail::raceDetached<R>(runBlocking(std::move(function)), std::nullopt, {});
}

namespace detail {
struct MailboxGate;
}

// How a thread the loop does not own (a C library's callback thread) hands work to the loop
// without outliving it: once the loop's execution context has begun to shut down, work is dropped
// instead of posted. Keep the mailbox in something the loop owns; the work runs on `executor`.
class LoopMailbox {
public:
    explicit LoopMailbox(const Executor& executor);

    // From any thread. False when the loop is going away; `work` is then destroyed on the caller's
    // thread, so it should own nothing whose destruction needs the loop.
    bool post(UniqueFunction<void()> work) const;

private:
    Executor executor_;
    std::shared_ptr<detail::MailboxGate> gate_;
};

} // namespace varnel
