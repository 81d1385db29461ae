#pragma once

#include "VarnelKit/Support/Error.hpp"
#include "VarnelKit/Support/Task.hpp"
#include "VarnelKit/Support/TaskGroup.hpp"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/use_future.hpp>
#include <chrono>
#include <mutex>
#include <optional>
#include <thread>

namespace varnel {

// The one single-threaded event loop on which the agent's components live. A program either runs
// it on its own thread (run) or on a thread of its own (startThread), and other threads hand it
// work with blockOn. The loop owns the pool its blocking calls run on (see Blocking.hpp), so no
// call outlives it.
class AgentLoop {
public:
    AgentLoop();
    ~AgentLoop();
    AgentLoop(const AgentLoop&) = delete;
    AgentLoop& operator=(const AgentLoop&) = delete;

    boost::asio::io_context& context() noexcept { return context_; }
    Executor executor() { return context_.get_executor(); }

    // The long-running tasks that shutdown() stops. Touch it on the loop only.
    TaskGroup& tasks() noexcept { return tasks_; }

    // Runs the loop on the calling thread until stop().
    void run();
    // Runs the loop on a new thread until stop() or destruction.
    void startThread();
    // Safe from any thread.
    void stop();

    // A bounded stop: cancels every task of tasks(), waits until they have ended or `limit` has
    // passed, whichever comes first, then stops the loop. Safe from any thread. On the loop's own
    // thread it returns at once and the stop follows; on another it returns once the loop has
    // stopped (or, should the loop not be running, soon after the limit).
    void shutdown(std::chrono::steady_clock::duration limit);

    // Runs the awaitable on the loop and waits for its result on the calling thread. On the loop's
    // own thread, or once the loop has stopped, that wait could never end, so it is refused with an
    // Error instead.
    template <class T> T blockOn(Awaitable<T> awaitable) {
        refuseToWait();
        return boost::asio::co_spawn(context_, std::move(awaitable), boost::asio::use_future).get();
    }

private:
    void refuseToWait();

    boost::asio::io_context context_;
    std::optional<boost::asio::executor_work_guard<boost::asio::io_context::executor_type>> guard_;
    std::mutex stopLock_;
    bool stopped_ = false; // guarded by stopLock_
    TaskGroup tasks_;
    std::thread thread_;
};

} // namespace varnel
