#pragma once

#include "VarnelKit/Support/AsyncEvent.hpp"
#include "VarnelKit/Support/UniqueFunction.hpp"

#include <atomic>
#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/cancellation_signal.hpp>
#include <boost/asio/strand.hpp>
#include <chrono>
#include <exception>
#include <functional>
#include <memory>
#include <vector>

namespace varnel {

using Executor = boost::asio::any_io_executor;
template <class T> using Awaitable = boost::asio::awaitable<T>;

class TaskExecutor;

// A unit of concurrent work on the agent loop, as the agent's background loops need it: spawn,
// cancel, await the end, and tell whether it is the task that is running now. Cancellation is
// cooperative: the body keeps running, operations in flight end with a cancellation error, sleeps
// end early and report it (see sleepFor), and the body decides how to wind down. It is also
// sticky: whatever the body starts after cancel() is cancelled as soon as it has begun, so a
// cancel that arrives while the body waits for something that cannot be interrupted (a blocking
// call) still reaches the body's next wait.
//
// Each task runs on its own strand of the loop, which is how it is recognised from inside: code
// running in the task sees that strand as its executor.
class Task : public std::enable_shared_from_this<Task> {
public:
    using Body = UniqueFunction<Awaitable<void>()>;
    // Receives, on the loop, an exception that escaped the body (a cancellation error after
    // cancel() is no failure and is not passed on).
    using FailureHandler = std::function<void(std::exception_ptr)>;

    // Starts the body on a new strand of `executor`. An exception that escapes the body goes to
    // `onFailure` when one is given, and is kept for join() otherwise.
    static std::shared_ptr<Task> spawn(const Executor& executor, Body body, FailureHandler onFailure = {});

    ~Task();
    Task(const Task&) = delete;
    Task& operator=(const Task&) = delete;

    // Asks the task to stop. Safe from any thread; has no effect on a finished task.
    void cancel();
    bool isCancelled() const noexcept { return cancelRequested_.load(); }
    bool isFinished() const noexcept { return finished_.load(); }

    // Waits until the body has ended, then rethrows the exception that escaped it, if one did and
    // no failure handler took it. Called from inside this same task it returns at once: a task
    // cannot wait for itself. The wait is not cut short by the waiter's own cancellation.
    Awaitable<void> join();

    // True when the calling coroutine runs inside this task.
    Awaitable<bool> isCurrent() const;
    bool runsOn(const Executor& executor) const;

private:
    friend class TaskExecutor;

    Task(boost::asio::strand<Executor> strand, Body body, FailureHandler onFailure);
    void start();
    void finish(std::exception_ptr escaped);
    void enterStep() noexcept { ++stepDepth_; }
    void leaveStep();
    void abandonStep() noexcept { --stepDepth_; }

    boost::asio::strand<Executor> strand_;
    Executor executor_;
    Body body_;
    FailureHandler onFailure_;
    std::exception_ptr failure_;
    boost::asio::cancellation_signal signal_;
    std::shared_ptr<AsyncEvent> finishedEvent_;
    int stepDepth_ = 0;
    std::atomic<bool> cancelRequested_{false};
    std::atomic<bool> finished_{false};
};

// Awaits the end of every task in the list except the one that is running the caller; then
// rethrows the first failure that one of them kept, if any.
Awaitable<void> joinAll(std::vector<std::shared_ptr<Task>> tasks);

// True once the calling coroutine's task has been asked to stop.
Awaitable<bool> isCancelled();

// Sleeps on the monotonic clock. Returns true when the whole duration passed, false when the
// calling task was cancelled before or during the sleep; it never throws for cancellation.
Awaitable<bool> sleepFor(std::chrono::steady_clock::duration duration);

} // namespace varnel
