#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace varnel::integration {

// A stand-in for the print scheduler on a socket of its own: it passes every connection through to
// the real scheduler, except that, once told to, it holds a connection for good from the moment a
// job is created on it (the request is neither passed on nor answered). So the agent's checks of
// the queue get through and its submission meets a scheduler that never answers.
class SchedulerProxy {
public:
    explicit SchedulerProxy(std::string schedulerSocket);
    // Closes every connection, held ones included.
    ~SchedulerProxy();
    SchedulerProxy(const SchedulerProxy&) = delete;
    SchedulerProxy& operator=(const SchedulerProxy&) = delete;

    const std::string& socketPath() const noexcept { return socket_; }

    void holdSubmissions() { holding_ = true; }
    // True once a job creation is held, within the limit.
    bool waitForHeldSubmission(std::chrono::milliseconds limit) const;

private:
    struct Connection;

    void acceptLoop();
    void forward(std::shared_ptr<Connection> connection, bool fromClient);

    std::string folder_;
    std::string socket_;
    std::string schedulerSocket_;
    int listener_ = -1;
    std::atomic<bool> holding_{false};
    mutable std::mutex heldLock_;
    mutable std::condition_variable heldChanged_;
    int held_ = 0; // guarded by heldLock_
    std::atomic<bool> closing_{false};
    std::mutex lock_;
    std::vector<std::shared_ptr<Connection>> connections_;
    std::vector<std::thread> threads_;
    std::thread acceptor_;
};

} // namespace varnel::integration
