#include "VarnelKit/Support/SerialWorker.hpp"

#include <future>

namespace varnel {

SerialWorker::SerialWorker() : thread_([this] { loop(); }) {}

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

void SerialWorker::sync(const std::function<void()>& work) {
    if (isWorkerThread()) {
        work();
        return;
    }
    std::promise<void> done;
    auto finished = done.get_future();
    post([&] {
        work();
        done.set_value();
    });
    finished.wait();
}

void SerialWorker::loop() {
    for (;;) {
        std::function<void()> work;
        {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
            if (queue_.empty()) return; // stopping, and everything queued has run
            work = std::move(queue_.front());
            queue_.pop_front();
        }
        work();
    }
}

} // namespace varnel
