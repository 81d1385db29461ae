#include "VarnelKit/Support/Task.hpp"

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/bind_cancellation_slot.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/dispatch.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>

namespace varnel {

namespace asio = boost::asio;

namespace {

// Cancellation is cooperative, as in the rest of the agent: a cancelled body still runs its own
// awaits (to report, log and clean up) instead of failing at each one.
Awaitable<void> runBody(Task::Body* body) {
    co_await asio::this_coro::throw_if_cancelled(false);
    co_await (*body)();
}

} // namespace

Task::Task(Executor strand, Body body)
    : executor_(std::move(strand)), body_(std::move(body)),
      finishedEvent_(executor_, std::chrono::steady_clock::time_point::max()) {}

Task::~Task() = default;

std::shared_ptr<Task> Task::spawn(const Executor& executor, Body body) {
    std::shared_ptr<Task> task(new Task(asio::make_strand(executor), std::move(body)));
    task->start();
    return task;
}

void Task::start() {
    // Posted, never run inline: the body starts only after spawn() has returned the task to its
    // owner, so the body may already find itself in its owner's list. The completion handler
    // keeps the task (and so the body the coroutine refers to) alive until the coroutine has ended.
    asio::post(executor_, [self = shared_from_this()] {
        asio::co_spawn(self->executor_, runBody(&self->body_),
                       asio::bind_cancellation_slot(self->signal_.slot(),
                                                    [self](std::exception_ptr) { self->finish(); }));
    });
}

void Task::finish() {
    finished_.store(true);
    finishedEvent_.cancel();
    // The signal's slot may hold the finished coroutine's handler; clearing it frees that memory.
    signal_.slot().clear();
}

void Task::cancel() {
    if (cancelRequested_.exchange(true) || finished_.load()) return;
    asio::dispatch(executor_, [self = shared_from_this()] {
        if (!self->finished_.load()) self->signal_.emit(asio::cancellation_type::terminal);
    });
}

bool Task::runsOn(const Executor& executor) const { return executor == executor_; }

Awaitable<bool> Task::isCurrent() const { co_return runsOn(co_await asio::this_coro::executor); }

Awaitable<void> Task::join() {
    auto keepAlive = shared_from_this();
    if (runsOn(co_await asio::this_coro::executor)) co_return;
    while (!finished_.load()) {
        // No cancellation slot: the waiter's own cancellation must not abandon the wait.
        co_await finishedEvent_.async_wait(
            asio::bind_cancellation_slot(asio::cancellation_slot(), asio::as_tuple(asio::use_awaitable)));
    }
}

Awaitable<void> joinAll(std::vector<std::shared_ptr<Task>> tasks) {
    for (const auto& task : tasks) {
        if (task) co_await task->join();
    }
}

Awaitable<bool> isCancelled() {
    const auto state = co_await asio::this_coro::cancellation_state;
    co_return state.cancelled() != asio::cancellation_type::none;
}

Awaitable<bool> sleepFor(std::chrono::steady_clock::duration duration) {
    if (co_await isCancelled()) co_return false;
    asio::steady_timer timer(co_await asio::this_coro::executor, duration);
    const auto [error] = co_await timer.async_wait(asio::as_tuple(asio::use_awaitable));
    co_return !error && !(co_await isCancelled());
}

} // namespace varnel
