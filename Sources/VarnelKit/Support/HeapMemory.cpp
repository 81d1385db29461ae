#include "VarnelKit/Support/HeapMemory.hpp"

#include <atomic>
#include <limits>
#include <malloc.h>

namespace varnel::HeapMemory {

namespace {

constexpr std::size_t never = std::numeric_limits<std::size_t>::max();

// Read by the pool threads, set before they start.
std::atomic<std::size_t> returnFrom{programPolicy.returnAfterTextsFrom.value_or(never)};

} // namespace

void adopt(const Policy& policy) noexcept {
    if (policy.heaps)
        (void)::mallopt(M_ARENA_MAX, *policy.heaps);
    returnFrom.store(policy.returnAfterTextsFrom.value_or(never), std::memory_order_relaxed);
}

void returnFreedMemory() noexcept { (void)::malloc_trim(0); }

bool returnsAfterText(std::size_t bytes) noexcept { return bytes >= returnFrom.load(std::memory_order_relaxed); }

} // namespace varnel::HeapMemory
