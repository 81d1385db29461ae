#pragma once

#include "VarnelKit/Support/AgentLoop.hpp"
#include "VarnelKit/Support/Task.hpp"

#include <algorithm>
#include <atomic>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/use_future.hpp>
#include <chrono>
#include <memory>

namespace varnel::testing {

// The longest pause between the loop's turns while `work` runs on the calling thread: a timer
// ticks every millisecond on the loop and notes how late each tick comes.
template <class Work> std::chrono::steady_clock::duration longestLoopPause(AgentLoop& loop, Work work) {
    using Clock = std::chrono::steady_clock;
    auto done = std::make_shared<std::atomic<bool>>(false);
    auto longest = std::make_shared<std::atomic<Clock::rep>>(0);
    auto ticking = boost::asio::co_spawn(
        loop.executor(),
        [](std::shared_ptr<std::atomic<bool>> done, std::shared_ptr<std::atomic<Clock::rep>> longest) -> Awaitable<void> {
            boost::asio::steady_timer timer(co_await boost::asio::this_coro::executor);
            auto last = Clock::now();
            while (!done->load()) {
                timer.expires_after(std::chrono::milliseconds(1));
                co_await timer.async_wait(boost::asio::use_awaitable);
                const auto now = Clock::now();
                longest->store(std::max(longest->load(), (now - last).count()));
                last = now;
            }
        }(done, longest),
        boost::asio::use_future);
    work();
    done->store(true);
    ticking.get();
    return Clock::duration(longest->load());
}

} // namespace varnel::testing
