#pragma once

#include "VarnelKit/Support/AgentLoop.hpp"

#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <chrono>
#include <functional>
#include <type_traits>

namespace varnel::testing {

// Runs awaitables on an agent loop of their own.
class LoopFixture {
public:
    LoopFixture() { loop_.startThread(); }
    template <class T> T run(Awaitable<T> awaitable) { return loop_.blockOn(std::move(awaitable)); }
    AgentLoop& loop() { return loop_; }

    // Runs `body` on the loop and hands back its result.
    template <class F> std::invoke_result_t<F&> onLoop(F body) {
        using R = std::invoke_result_t<F&>;
        return run([](F body) -> Awaitable<R> { co_return body(); }(std::move(body)));
    }

    // Polls on the loop, a millisecond apart, until the condition holds or the time is up.
    bool waitFor(std::function<bool()> condition, std::chrono::milliseconds limit) {
        return run(
            [](std::function<bool()> condition, std::chrono::milliseconds limit) -> Awaitable<bool> {
                const auto deadline = std::chrono::steady_clock::now() + limit;
                boost::asio::steady_timer timer(co_await boost::asio::this_coro::executor);
                while (!condition()) {
                    if (std::chrono::steady_clock::now() > deadline)
                        co_return false;
                    timer.expires_after(std::chrono::milliseconds(1));
                    co_await timer.async_wait(boost::asio::use_awaitable);
                }
                co_return true;
            }(std::move(condition), limit));
    }

private:
    AgentLoop loop_;
};

} // namespace varnel::testing
