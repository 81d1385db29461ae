#pragma once

#include <chrono>
#include <csignal>
#include <ctime>

namespace varnel {

// Ends a blocking call of the calling thread with EINTR once `limit` has passed, and every 50 ms
// after it, in case the signal came just before the call began to wait. Its signal (SIGRTMIN) has
// a handler that does nothing and does not restart the call, and is unblocked in this thread for
// the alarm's life: a program may be started with it blocked (the mask survives exec), and the
// call would then wait for ever.
class ThreadAlarm {
public:
    explicit ThreadAlarm(std::chrono::milliseconds limit);
    ~ThreadAlarm();
    ThreadAlarm(const ThreadAlarm&) = delete;
    ThreadAlarm& operator=(const ThreadAlarm&) = delete;

    // False when no timer could be set: the call would not be ended.
    bool armed() const noexcept { return armed_; }

private:
    timer_t timer_{};
    sigset_t previousMask_{};
    bool armed_ = false;
};

} // namespace varnel
