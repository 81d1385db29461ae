#pragma once

#include "VarnelKit/Support/Task.hpp"

#include <cstddef>
#include <memory>
#include <vector>

namespace varnel {

// The tasks of one owner (the agent's loops, a real-time client's connection loop), so that they
// are started, stopped and awaited together. Touched on the loop only, like the actor that owns it.
class TaskGroup {
public:
    // `onFailure` receives what escapes any of the group's bodies; without it, each task keeps
    // its failure and joinAll() rethrows the first.
    explicit TaskGroup(Task::FailureHandler onFailure = {});

    // Starts a task in the group; finished tasks are dropped from it on the way.
    std::shared_ptr<Task> spawn(const Executor& executor, Task::Body body);

    void cancelAll();

    // Awaits the end of every task of the group except the one running the caller (a task that
    // stops its own group must not wait for itself), then drops the finished ones and rethrows
    // the first failure one of them kept. Not cut short by the caller's cancellation.
    Awaitable<void> joinAll();

    // The tasks that have not finished yet.
    std::size_t runningCount() const noexcept;

private:
    void dropFinished();

    Task::FailureHandler onFailure_;
    std::vector<std::shared_ptr<Task>> tasks_;
};

} // namespace varnel
