#include "VarnelKit/Support/ThreadAlarm.hpp"

#include <algorithm>
#include <pthread.h>
#include <unistd.h>

namespace varnel {

namespace {

timespec timespecOf(std::chrono::nanoseconds span) {
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(span);
    return timespec{static_cast<time_t>(seconds.count()), static_cast<long>((span - seconds).count())};
}

} // namespace

ThreadAlarm::ThreadAlarm(std::chrono::milliseconds limit) {
    static const bool installed = [] {
        struct sigaction action {};
        action.sa_handler = [](int) {};
        sigemptyset(&action.sa_mask);
        return ::sigaction(SIGRTMIN, &action, nullptr) == 0;
    }();
    sigset_t alarm;
    sigemptyset(&alarm);
    sigaddset(&alarm, SIGRTMIN);
    if (!installed || ::pthread_sigmask(SIG_UNBLOCK, &alarm, &previousMask_) != 0)
        return;
    sigevent event{};
    event.sigev_notify = SIGEV_THREAD_ID;
    event.sigev_signo = SIGRTMIN;
    event._sigev_un._tid = ::gettid();
    armed_ = ::timer_create(CLOCK_MONOTONIC, &event, &timer_) == 0;
    itimerspec when{};
    when.it_value = timespecOf(std::max(limit, std::chrono::milliseconds(1)));
    when.it_interval = timespecOf(std::chrono::milliseconds(50));
    if (armed_ && ::timer_settime(timer_, 0, &when, nullptr) != 0) {
        ::timer_delete(timer_);
        armed_ = false;
    }
    if (!armed_)
        ::pthread_sigmask(SIG_SETMASK, &previousMask_, nullptr);
}

ThreadAlarm::~ThreadAlarm() {
    if (!armed_)
        return;
    // Deleted while the signal is still let through: one sent just before reaches the handler
    // here rather than waiting, blocked, for whatever this thread runs next.
    ::timer_delete(timer_);
    ::pthread_sigmask(SIG_SETMASK, &previousMask_, nullptr);
}

} // namespace varnel
