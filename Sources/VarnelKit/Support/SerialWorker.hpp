#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <limits>
#include <mutex>
#include <thread>

namespace varnel {

// One thread that runs queued work in order. The destructor runs everything already queued
// before it returns, so nothing the worker accepted is dropped.
//
// The bound only applies to tryPost: callers that must never wait (logging) offer their work and
// lose it when `capacity` items are already waiting, while post and sync always queue. A work item
// that throws is reported once on standard error and the worker goes on with the next one.
// SIGPIPE is blocked on the worker's thread, so writing to a pipe whose reader went away fails
// with EPIPE there instead of ending the process.
class SerialWorker {
public:
    static constexpr std::size_t unbounded = std::numeric_limits<std::size_t>::max();

    // Told how many offers were refused since the last one that was accepted.
    using CountedWork = std::function<void(std::uint64_t refusedBefore)>;

    explicit SerialWorker(std::size_t capacity = unbounded);
    ~SerialWorker();
    SerialWorker(const SerialWorker&) = delete;
    SerialWorker& operator=(const SerialWorker&) = delete;

    void post(std::function<void()> work);
    // Queues `work` unless `capacity` items are waiting; then it is refused, counted, and false is
    // returned. Never waits.
    bool tryPost(CountedWork work);
    // Runs `work` after everything queued before it and waits for it; what it throws is thrown here.
    // Called from the worker's own thread it runs inline, since waiting there would never end.
    void sync(const std::function<void()>& work);
    // Waits until everything queued before the call has run, or for `limit`, whichever comes
    // first; true in the first case. Returns after the limit even while an item never ends.
    // Called from the worker's own thread it returns true at once.
    bool flushFor(std::chrono::steady_clock::duration limit);

    std::size_t capacity() const noexcept { return capacity_; }

private:
    bool isWorkerThread() const { return std::this_thread::get_id() == thread_.get_id(); }
    void loop();
    void report(const std::exception_ptr& failure);

    const std::size_t capacity_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> queue_;
    std::uint64_t refused_ = 0; // offers refused since the last accepted one
    bool stopping_ = false;
    bool reported_ = false; // touched only on the worker
    std::thread thread_;    // last: started once everything above is ready
};

} // namespace varnel
