#include "VarnelKit/Support/SerialWorker.hpp"

#include "VarnelKit/Support/Error.hpp"
#include "VarnelKit/Support/WriteAll.hpp"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <future>
#include <memory>
#include <string>
#include <utility>

extern "C" char* program_invocation_short_name;

namespace varnel {

SerialWorker::SerialWorker(std::size_t capacity) : capacity_(capacity), thread_([this] { loop(); }) {}

SerialWorker::~SerialWorker() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_one();
    thread_.join();
}

void SerialWorker::post(std::function<void()> work) {
    {
        std::lock_guard lock(mutex_);
        queue_.push_back(std::move(work));
    }
    wake_.notify_one();
}

bool SerialWorker::tryPost(CountedWork work) {
    {
        std::lock_guard lock(mutex_);
        if (queue_.size() >= capacity_) {
            ++refused_;
            return false;
        }
        // Taken under the lock, so every refusal is told to exactly one accepted item.
        const std::uint64_t refused = std::exchange(refused_, 0);
        queue_.push_back([work = std::move(work), refused] { work(refused); });
    }
    wake_.notify_one();
    return true;
}

void SerialWorker::sync(const std::function<void()>& work) {
    if (isWorkerThread()) {
        work();
        return;
    }
    std::promise<void> done;
    auto finished = done.get_future();
    post([&] {
        try {
            work();
            done.set_value();
        } catch (...) {
            done.set_exception(std::current_exception());
        }
    });
    finished.get();
}

bool SerialWorker::flushFor(std::chrono::steady_clock::duration limit) {
    if (isWorkerThread())
        return true;
    // Shared, since the marker may run long after this call has given up on it.
    auto reached = std::make_shared<std::promise<void>>();
    auto done = reached->get_future();
    post([reached] { reached->set_value(); });
    return done.wait_for(limit) == std::future_status::ready;
}

void SerialWorker::loop() {
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, nullptr);

    for (;;) {
        std::function<void()> work;
        {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
            if (queue_.empty()) return; // stopping, and everything queued has run
            work = std::move(queue_.front());
            queue_.pop_front();
        }
        try {
            work();
        } catch (...) {
            report(std::current_exception());
        }
    }
}

// Once per worker: a fault that repeats with every item must not flood standard error, and the
// worker may be the log itself, so standard error is the one place left to tell.
void SerialWorker::report(const std::exception_ptr& failure) {
    if (reported_)
        return;
    reported_ = true;
    std::string text = program_invocation_short_name;
    text += ": a background task failed and was skipped (later failures are not reported): ";
    try {
        text += describeException(failure);
    } catch (...) {
        text += "unknown error";
    }
    text += '\n';
    (void)writeAll(STDERR_FILENO, text);
}

} // namespace varnel
