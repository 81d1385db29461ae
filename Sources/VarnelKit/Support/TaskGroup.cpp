#include "VarnelKit/Support/TaskGroup.hpp"

#include <algorithm>

namespace varnel {

TaskGroup::TaskGroup(Task::FailureHandler onFailure) : onFailure_(std::move(onFailure)) {}

std::shared_ptr<Task> TaskGroup::spawn(const Executor& executor, Task::Body body) {
    dropFinished();
    auto task = Task::spawn(executor, std::move(body), onFailure_);
    tasks_.push_back(task);
    return task;
}

void TaskGroup::cancelAll() {
    for (const auto& task : tasks_)
        task->cancel();
}

Awaitable<void> TaskGroup::joinAll() {
    // A copy: tasks may be spawned into the group, or the group joined again, while this waits.
    auto waiting = tasks_;
    std::exception_ptr first;
    try {
        co_await varnel::joinAll(std::move(waiting));
    } catch (...) {
        first = std::current_exception();
    }
    dropFinished();
    if (first)
        std::rethrow_exception(first);
}

std::size_t TaskGroup::runningCount() const noexcept {
    return static_cast<std::size_t>(
        std::count_if(tasks_.begin(), tasks_.end(), [](const auto& task) { return !task->isFinished(); }));
}

void TaskGroup::dropFinished() {
    std::erase_if(tasks_, [](const auto& task) { return task->isFinished(); });
}

} // namespace varnel
