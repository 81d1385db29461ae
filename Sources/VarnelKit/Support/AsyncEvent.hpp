#pragma once

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/steady_timer.hpp>

namespace varnel {

// A one-shot event on one executor: coroutines wait until it is set, any number of them. Set it
// and wait on it from that executor only; another thread posts there first.
class AsyncEvent {
public:
    explicit AsyncEvent(const boost::asio::any_io_executor& executor);
    AsyncEvent(const AsyncEvent&) = delete;
    AsyncEvent& operator=(const AsyncEvent&) = delete;

    void set();
    bool isSet() const noexcept { return set_; }

    // Waits until the event is set. Returns false instead when the waiting task is cancelled first
    // (or already was); never throws for cancellation.
    boost::asio::awaitable<bool> wait();
    // Waits until the event is set, whatever happens to the waiting task meanwhile.
    boost::asio::awaitable<void> waitIgnoringCancellation();

private:
    boost::asio::steady_timer timer_;
    bool set_ = false;
};

} // namespace varnel
