#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>

namespace varnel::testing {

// What a bench double has seen, kept under a lock and announced at every change, so that a test on
// another thread can take a copy or wait for a condition. The lock may also guard whatever else the
// owner keeps beside the record; whoever changes `recorded` directly under it calls
// `changed.notify_all()` after letting go.
template <class Snapshot> struct RecordedState {
    mutable std::mutex mutex;
    mutable std::condition_variable changed;
    // Guarded by the mutex.
    Snapshot recorded;

    template <class Change> void record(Change&& change) {
        {
            std::lock_guard lock(mutex);
            change(recorded);
        }
        changed.notify_all();
    }

    Snapshot snapshot() const {
        std::lock_guard lock(mutex);
        return recorded;
    }

    // False when the time ran out before `condition` held. The condition runs under the lock.
    bool waitFor(const std::function<bool(const Snapshot&)>& condition, std::chrono::milliseconds limit) const {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, limit, [&] { return condition(recorded); });
    }
};

} // namespace varnel::testing
