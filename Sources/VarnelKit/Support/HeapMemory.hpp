#pragma once

#include <utility>

// What the C library's heap keeps of the memory a program frees. glibc's malloc keeps a heap per
// thread that allocates much (each of the loop's pool threads has one) and hands freed memory back
// to the system only from the top of each heap, and only when it is large. After a text of many
// megabytes is read, its values lie freed in the heap of the thread that read it, and stay there:
// ten frames of 15 MiB read on the pool once left 1.5 GB of the agent resident.
namespace varnel::HeapMemory {

// Called once as a program starts. By default glibc raises the size from which a block gets memory
// of its own from the system to the size of each large block freed (up to 32 MiB), so that the
// next text of that size stays in the heap, and returns a heap's free top only beyond twice that.
// With the size fixed, each large block goes back to the system as soon as it is freed.
void returnLargeBlocksAtOnce() noexcept;

// Hands back to the system every whole page that lies free in any thread's heap. It walks every
// heap, so it runs on a pool thread, after the reading of a large text has freed what it built.
void returnFreedMemory() noexcept;

// `work`, made to return the freed memory once it has run, however it ended.
template <class Work> auto thenReturnFreedMemory(Work work) {
    return [work = std::move(work)]() mutable {
        struct AtEnd {
            ~AtEnd() { returnFreedMemory(); }
        } atEnd;
        return work();
    };
}

} // namespace varnel::HeapMemory
