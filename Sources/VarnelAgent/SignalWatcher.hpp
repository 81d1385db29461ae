#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/signal_set.hpp>
#include <functional>
#include <thread>

namespace varnel::CLI {

// Waits for SIGINT and SIGTERM on a thread and event loop of its own, so that a stop is seen the
// moment it comes, even while the agent loop is busy. `onSignal` runs on that thread once for
// every delivery, and must only hand work on (post it to the agent loop, start a timer thread).
class SignalWatcher {
public:
    explicit SignalWatcher(std::function<void(int signal)> onSignal);
    ~SignalWatcher();
    SignalWatcher(const SignalWatcher&) = delete;
    SignalWatcher& operator=(const SignalWatcher&) = delete;

private:
    void awaitNext();

    std::function<void(int)> onSignal_;
    boost::asio::io_context context_;
    boost::asio::signal_set signals_;
    std::thread thread_; // last: started once everything above is ready
};

} // namespace varnel::CLI
