#pragma once

#include "VarnelKit/Support/Task.hpp"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/use_future.hpp>

#include <optional>
#include <thread>

namespace varnel {

// The one single-threaded event loop on which the agent's components live. A program either runs
// it on its own thread (run) or on a thread of its own (startThread), and other threads hand it
// work with blockOn.
class AgentLoop {
public:
    AgentLoop();
    ~AgentLoop();
    AgentLoop(const AgentLoop&) = delete;
    AgentLoop& operator=(const AgentLoop&) = delete;

    boost::asio::io_context& context() noexcept { return context_; }
    Executor executor() { return context_.get_executor(); }

    // Runs the loop on the calling thread until stop().
    void run();
    // Runs the loop on a new thread until stop() or destruction.
    void startThread();
    void stop();

    // Runs the awaitable on the loop and waits for its result on the calling thread, which must not
    // be the loop's own thread.
    template <class T> T blockOn(Awaitable<T> awaitable) {
        return boost::asio::co_spawn(context_, std::move(awaitable), boost::asio::use_future).get();
    }

private:
    boost::asio::io_context context_;
    std::optional<boost::asio::executor_work_guard<boost::asio::io_context::executor_type>> guard_;
    std::thread thread_;
};

} // namespace varnel
