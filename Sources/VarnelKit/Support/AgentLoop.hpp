#pragma once

#include "VarnelKit/Support/Error.hpp"
#include "VarnelKit/Support/Task.hpp"
#include "VarnelKit/Support/TaskGroup.hpp"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/use_future.hpp>
#include <chrono>
#include <cstdint>
#include <exception>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <type_traits>
#include <unordered_map>

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
    // own thread that wait could never end, so it is refused with an Error. Once the loop has
    // stopped it runs no more work: a call made then, and every call whose work had not completed
    // when stop() came (still queued, or under way), ends with an Error instead of waiting for ever.
    template <class T> T blockOn(Awaitable<T> awaitable) {
        auto waiter = std::make_shared<Waiter<T>>();
        auto result = waiter->promise.get_future();
        const std::uint64_t id = enlist(waiter);
        boost::asio::co_spawn(context_, deliver<T>(std::move(awaitable), std::move(waiter), this, id),
                              boost::asio::detached);
        return result.get();
    }

private:
    // A caller of blockOn, waiting for its work's result. Owned by the registry until the work
    // completes or the loop stops, whichever comes first; the other finds it gone.
    struct PendingWait {
        virtual ~PendingWait() = default;
        virtual void fail(std::exception_ptr error) = 0;
    };
    template <class T> struct Waiter final : PendingWait {
        std::promise<T> promise;
        void fail(std::exception_ptr error) override { promise.set_exception(std::move(error)); }
    };

    template <class T>
    static Awaitable<void> deliver(Awaitable<T> work, std::shared_ptr<Waiter<T>> waiter, AgentLoop* loop,
                                   std::uint64_t id) {
        if constexpr (std::is_void_v<T>) {
            std::exception_ptr failure;
            try {
                co_await std::move(work);
            } catch (...) {
                failure = std::current_exception();
            }
            // Runs on the loop, which is alive while its work runs.
            if (!loop->dismiss(id))
                co_return; // the loop stopped first, and that is what the caller was told
            if (failure)
                waiter->promise.set_exception(failure);
            else
                waiter->promise.set_value();
        } else {
            std::exception_ptr failure;
            std::optional<T> value;
            try {
                value.emplace(co_await std::move(work));
            } catch (...) {
                failure = std::current_exception();
            }
            if (!loop->dismiss(id))
                co_return;
            if (failure)
                waiter->promise.set_exception(failure);
            else
                waiter->promise.set_value(std::move(*value));
        }
    }

    // Refuses on the loop's own thread and once the loop has stopped; else registers the waiter
    // so that a stop fails it, and returns its number.
    std::uint64_t enlist(std::shared_ptr<PendingWait> waiter);
    // Takes the waiter out of the registry; false when a stop already took (and failed) it.
    bool dismiss(std::uint64_t id);

    boost::asio::io_context context_;
    std::optional<boost::asio::executor_work_guard<boost::asio::io_context::executor_type>> guard_;
    std::mutex stopLock_;
    bool stopped_ = false; // guarded by stopLock_
    std::uint64_t nextWait_ = 0; // guarded by stopLock_
    std::unordered_map<std::uint64_t, std::shared_ptr<PendingWait>> waits_; // guarded by stopLock_
    TaskGroup tasks_;
    std::thread thread_;
};

} // namespace varnel
