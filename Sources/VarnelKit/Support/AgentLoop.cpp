#include "VarnelKit/Support/AgentLoop.hpp"

#include "VarnelKit/Support/Blocking.hpp"
#include "VarnelKit/Support/Timeout.hpp"

#include <future>

namespace varnel {

namespace asio = boost::asio;

namespace {

constexpr const char* stoppedMessage = "The agent loop has stopped, so it runs no more work.";

Awaitable<void> stopTasks(TaskGroup* tasks, std::chrono::steady_clock::duration limit) {
    tasks->cancelAll();
    std::function<std::exception_ptr()> late = [] {
        return std::make_exception_ptr(Error("The agent's tasks did not end in time."));
    };
    try {
        co_await withTimeout<void>(limit, tasks->joinAll(), std::move(late));
    } catch (...) {
        // Late tasks are cut off by the stop; a failure stays with its task for whoever joins it.
    }
}

} // namespace

AgentLoop::AgentLoop() : context_(1) {
    guard_.emplace(context_.get_executor());
    // Started here, so its threads take the constructing thread's settings rather than those the
    // loop's thread may have changed for itself.
    (void)blockingPool(executor());
}

AgentLoop::~AgentLoop() {
    stop();
    if (thread_.joinable()) thread_.join();
}

void AgentLoop::run() { context_.run(); }

void AgentLoop::startThread() {
    thread_ = std::thread([this] { context_.run(); });
}

void AgentLoop::stop() {
    std::unordered_map<std::uint64_t, std::shared_ptr<PendingWait>> waits;
    {
        std::lock_guard lock(stopLock_);
        stopped_ = true;
        guard_.reset();
        context_.stop();
        waits.swap(waits_);
    }
    // Work still queued or under way will not complete now: its callers hear so instead.
    for (auto& [id, waiter] : waits)
        waiter->fail(std::make_exception_ptr(Error(stoppedMessage)));
}

void AgentLoop::shutdown(std::chrono::steady_clock::duration limit) {
    auto stopped = std::make_shared<std::promise<void>>();
    auto done = stopped->get_future();
    asio::co_spawn(context_, stopTasks(&tasks_, limit), [this, stopped](std::exception_ptr) {
        stop();
        stopped->set_value();
    });
    if (context_.get_executor().running_in_this_thread())
        return;
    // The margin covers the loop picking the work up; a loop that is not running cannot.
    (void)done.wait_for(limit + std::chrono::seconds(1));
    stop();
}

std::uint64_t AgentLoop::enlist(std::shared_ptr<PendingWait> waiter) {
    if (context_.get_executor().running_in_this_thread()) {
        throw Error("The agent loop cannot wait on its own thread for work that runs on it.");
    }
    std::lock_guard lock(stopLock_);
    if (stopped_) throw Error(stoppedMessage);
    const std::uint64_t id = nextWait_++;
    waits_.emplace(id, std::move(waiter));
    return id;
}

bool AgentLoop::dismiss(std::uint64_t id) {
    std::lock_guard lock(stopLock_);
    return waits_.erase(id) > 0;
}

} // namespace varnel
