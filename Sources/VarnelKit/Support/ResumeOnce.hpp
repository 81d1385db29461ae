#pragma once

#include <atomic>

namespace varnel {

// A one-shot gate: of all the callbacks that may end one operation, exactly one claims it.
class ResumeOnce {
public:
    // True to exactly one caller over the gate's life.
    bool claim() noexcept { return !done_.exchange(true, std::memory_order_acq_rel); }

private:
    std::atomic<bool> done_{false};
};

} // namespace varnel
