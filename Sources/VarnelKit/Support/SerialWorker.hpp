#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace varnel {

// One thread that runs queued work in order. The destructor runs everything already queued
// before it returns, so nothing handed to the worker is dropped.
class SerialWorker {
public:
    SerialWorker();
    ~SerialWorker();
    SerialWorker(const SerialWorker&) = delete;
    SerialWorker& operator=(const SerialWorker&) = delete;

    void post(std::function<void()> work);
    // Runs `work` after everything queued before it and waits for it. Called from the worker's own
    // thread it runs inline, since waiting there would never end.
    void sync(const std::function<void()>& work);

private:
    bool isWorkerThread() const { return std::this_thread::get_id() == thread_.get_id(); }
    void loop();

    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> queue_;
    bool stopping_ = false;
    std::thread thread_;
};

} // namespace varnel
