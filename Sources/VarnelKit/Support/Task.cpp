#include "VarnelKit/Support/Task.hpp"

#include "VarnelKit/Support/OperationCancelled.hpp"

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/bind_cancellation_slot.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/prefer.hpp>
#include <boost/asio/query.hpp>
#include <boost/asio/require.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/system/system_error.hpp>

namespace varnel {

namespace asio = boost::asio;

// The executor a task's coroutines run on: the task's strand, plus a look at every step they take.
// Once the task is cancelled, the cancellation is sent again after each step, so an operation the
// body started after the first signal (or one that was in flight without taking up cancellation)
// ends at once instead of running to its end.
class TaskExecutor {
public:
    using Strand = asio::strand<Executor>;

    TaskExecutor(Strand strand, std::weak_ptr<Task> task) noexcept
        : strand_(std::move(strand)), task_(std::move(task)) {}

    const Strand& strand() const noexcept { return strand_; }
    bool belongsTo(const Task* task) const noexcept { return task_.lock().get() == task; }

    template <class Property>
    requires asio::can_query<const Strand&, Property>::value decltype(auto)
    query(const Property& property) const noexcept(asio::is_nothrow_query<const Strand&, Property>::value) {
        return asio::query(strand_, property);
    }

    template <class Property>
    requires asio::can_require<const Strand&, Property>::value TaskExecutor require(const Property& property)
    const { return TaskExecutor(asio::require(strand_, property), task_); }

    template <class Property>
    requires asio::can_prefer<const Strand&, Property>::value TaskExecutor prefer(const Property& property)
    const { return TaskExecutor(asio::prefer(strand_, property), task_); }

    template <class Function> void execute(Function&& function) const {
        strand_.execute([function = std::forward<Function>(function), task = task_]() mutable {
            const auto owner = task.lock();
            if (!owner) {
                std::move(function)();
                return;
            }
            owner->enterStep();
            try {
                std::move(function)();
            } catch (...) {
                owner->abandonStep();
                throw;
            }
            owner->leaveStep();
        });
    }

    friend bool operator==(const TaskExecutor& a, const TaskExecutor& b) noexcept {
        return a.strand_ == b.strand_;
    }
    friend bool operator!=(const TaskExecutor& a, const TaskExecutor& b) noexcept { return !(a == b); }

private:
    Strand strand_;
    std::weak_ptr<Task> task_;
};

namespace {

// Cancellation is cooperative, as in the rest of the agent: a cancelled body still runs its own
// awaits (to report, log and clean up) instead of failing at each one.
Awaitable<void> runBody(Task::Body* body) {
    co_await asio::this_coro::throw_if_cancelled(false);
    co_await (*body)();
}

// How a cancelled body usually ends: our own cancellation error, or a raw operation_aborted from an
// operation that does not translate its errors.
bool endsByCancellation(const std::exception_ptr& error) {
    if (isCancellation(error))
        return true;
    try {
        std::rethrow_exception(error);
    } catch (const boost::system::system_error& failure) {
        return failure.code() == asio::error::operation_aborted;
    } catch (...) {
        return false;
    }
}

Awaitable<void> waitUntilFinished(std::shared_ptr<AsyncEvent> event) {
    co_await event->waitIgnoringCancellation();
}

} // namespace

Task::Task(asio::strand<Executor> strand, Body body, FailureHandler onFailure)
    : strand_(std::move(strand)), executor_(strand_), body_(std::move(body)),
      onFailure_(std::move(onFailure)), finishedEvent_(std::make_shared<AsyncEvent>(strand_)) {}

Task::~Task() = default;

std::shared_ptr<Task> Task::spawn(const Executor& executor, Body body, FailureHandler onFailure) {
    // A task started from inside another gets a strand of the loop itself, not one nested in the
    // other task's strand (whose cancellation it must not take part in).
    Executor base = executor;
    if (const auto* outer = executor.target<TaskExecutor>())
        base = outer->strand().get_inner_executor();
    std::shared_ptr<Task> task(new Task(asio::make_strand(base), std::move(body), std::move(onFailure)));
    task->executor_ = TaskExecutor(task->strand_, task);
    task->start();
    return task;
}

void Task::start() {
    // Posted, never run inline: the body starts only after spawn() has returned the task to its
    // owner, so the body may already find itself in its owner's list. The completion handler
    // keeps the task (and so the body the coroutine refers to) alive until the coroutine has ended.
    asio::post(executor_, [self = shared_from_this()] {
        asio::co_spawn(self->executor_, runBody(&self->body_),
                       asio::bind_cancellation_slot(self->signal_.slot(), [self](std::exception_ptr escaped) {
                           self->finish(escaped);
                       }));
    });
}

void Task::finish(std::exception_ptr escaped) {
    // A cancelled body that ends by its cancellation error has done what it was asked to.
    if (escaped && !(cancelRequested_.load() && endsByCancellation(escaped))) {
        failure_ = escaped;
        if (onFailure_) {
            try {
                onFailure_(escaped);
                failure_ = nullptr;
            } catch (...) {
                // The handler could not take it: it stays for join().
            }
        }
    }
    finished_.store(true);
    finishedEvent_->set();
    // The signal's slot may hold the finished coroutine's handler; clearing it frees that memory.
    signal_.slot().clear();
    // What the body captured (often its owner) is let go as soon as it has run: an owner that
    // keeps its finished tasks must not be kept alive by them.
    Body finishedBody = std::move(body_);
}

void Task::leaveStep() {
    // Only at the outermost step: a nested one runs inside a step that signals when it ends, and a
    // signal sent from inside an operation's own handler could find that operation half done.
    if (stepDepth_ == 1 && cancelRequested_.load() && !finished_.load()) {
        signal_.emit(asio::cancellation_type::terminal);
    }
    --stepDepth_;
}

void Task::cancel() {
    if (cancelRequested_.exchange(true) || finished_.load()) return;
    // Posted to the bare strand: the body may be the caller, and it is signalled once it waits.
    asio::post(strand_, [self = shared_from_this()] {
        if (!self->finished_.load())
            self->signal_.emit(asio::cancellation_type::terminal);
    });
}

bool Task::runsOn(const Executor& executor) const {
    const auto* mine = executor.target<TaskExecutor>();
    return mine && mine->belongsTo(this);
}

Awaitable<bool> Task::isCurrent() const { co_return runsOn(co_await asio::this_coro::executor); }

Awaitable<void> Task::join() {
    auto keepAlive = shared_from_this();
    if (runsOn(co_await asio::this_coro::executor)) co_return;
    if (!finished_.load()) {
        // The event lives on the task's strand, so the wait runs there; the waiter's own
        // cancellation must not abandon it (no cancellation slot).
        co_await asio::co_spawn(strand_, waitUntilFinished(finishedEvent_),
                                asio::bind_cancellation_slot(asio::cancellation_slot(), asio::use_awaitable));
    }
    if (failure_)
        std::rethrow_exception(failure_);
}

Awaitable<void> joinAll(std::vector<std::shared_ptr<Task>> tasks) {
    std::exception_ptr first;
    for (const auto& task : tasks) {
        if (!task)
            continue;
        try {
            co_await task->join();
        } catch (...) {
            if (!first)
                first = std::current_exception();
        }
    }
    if (first)
        std::rethrow_exception(first);
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
