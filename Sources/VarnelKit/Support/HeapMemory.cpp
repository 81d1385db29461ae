#include "VarnelKit/Support/HeapMemory.hpp"

#include <malloc.h>

namespace varnel::HeapMemory {

namespace {

// glibc's own starting value: blocks from 128 KiB up (a large reply or frame, the arrays of a wide
// value) are mapped on their own; what is smaller stays in the heaps, as it always did.
constexpr int largeBlockBytes = 128 * 1024;

} // namespace

void returnLargeBlocksAtOnce() noexcept {
    // Setting it also ends glibc's raising of the top's trimming size.
    (void)::mallopt(M_MMAP_THRESHOLD, largeBlockBytes);
}

void returnFreedMemory() noexcept { (void)::malloc_trim(0); }

} // namespace varnel::HeapMemory
