#pragma once

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/cancellation_signal.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <vector>

namespace varnel {

using Executor = boost::asio::any_io_executor;
template <class T> using Awaitable = boost::asio::awaitable<T>;

// A unit of concurrent work on the agent loop, as the agent's background loops need it: spawn,
// cancel, await the end, and tell whether it is the task that is running now. Cancellation is
// cooperative: the body keeps running, operations in flight end with operation_aborted, sleeps
// end early and report it (see sleepFor), and the body decides how to wind down.
//
// Each task runs on its own strand of the loop, which is how it is recognised from inside: code
// running in the task sees that strand as its executor.
class Task : public std::enable_shared_from_this<Task> {
public:
    using Body = std::function<Awaitable<void>()>;

    // Starts the body on a new strand of `executor`. Exceptions that escape the body end the task.
    static std::shared_ptr<Task> spawn(const Executor& executor, Body body);

    ~Task();
    Task(const Task&) = delete;
    Task& operator=(const Task&) = delete;

    // Asks the task to stop. Safe from any thread; has no effect on a finished task.
    void cancel();
    bool isCancelled() const noexcept { return cancelRequested_.load(); }
    bool isFinished() const noexcept { return finished_.load(); }

    // Waits until the body has ended. Called from inside this same task it returns at once: a task
    // cannot wait for itself. The wait is not cut short by the waiter's own cancellation.
    Awaitable<void> join();

    // True when the calling coroutine runs inside this task.
    Awaitable<bool> isCurrent() const;
    bool runsOn(const Executor& executor) const;

private:
    Task(Executor strand, Body body);
    void start();
    void finish();

    Executor executor_;
    Body body_;
    boost::asio::cancellation_signal signal_;
    boost::asio::steady_timer finishedEvent_;
    std::atomic<bool> cancelRequested_{false};
    std::atomic<bool> finished_{false};
};

// Awaits the end of every task in the list except the one that is running the caller.
Awaitable<void> joinAll(std::vector<std::shared_ptr<Task>> tasks);

// True once the calling coroutine's task has been asked to stop.
Awaitable<bool> isCancelled();

// Sleeps on the monotonic clock. Returns true when the whole duration passed, false when the
// calling task was cancelled before or during the sleep; it never throws for cancellation.
Awaitable<bool> sleepFor(std::chrono::steady_clock::duration duration);

} // namespace varnel
