#pragma once

#include <cstddef>
#include <optional>
#include <utility>

// What the C library's heap keeps of the memory a program frees. glibc's malloc keeps a heap per
// thread that allocates much (each of the loop's pool threads has one) and hands freed memory back
// to the system only from the top of each heap, and only when it is large. After a text of many
// megabytes is read, its values lie freed in the heap of the thread that read it, and stay there:
// ten frames of 15 MiB read on the pool once left 1.5 GB of the agent resident.
namespace varnel::HeapMemory {

// How a program's heap gives memory back, chosen once as it starts, before it has other threads.
struct Policy {
    // How many heaps the program's threads share at most. None: glibc's own, eight for each core,
    // so that each of the pool's threads comes to keep a heap of its own.
    std::optional<int> heaps;
    // After the reading of a text of at least this many bytes, the pages that lie free in every
    // heap go back to the system (returnFreedMemory). None: never.
    std::optional<std::size_t> returnAfterTextsFrom;
};

// The programs' own. Giving pages back costs CPU twice: in the call, and in a fault for each fresh
// page as the next text is read. So a text of up to a megabyte, as large as the server's real-time
// frames get, leaves what it freed in the heap, where the next one reuses it. From two megabytes
// on, a text of "[{},{},..." can build all that json::maxBuildBytes allows, and what such a text
// freed goes back. At most two heaps, whichever threads share them, so that no more than two hold
// what the last smaller texts built; a single one cost some 7 % more CPU on a stream of frames.
inline constexpr Policy programPolicy{.heaps = 2, .returnAfterTextsFrom = 2u << 20};

// Called once as a program starts. Until it is, the library returns freed memory after the texts
// programPolicy names.
void adopt(const Policy& policy) noexcept;

// Hands back to the system every whole page that lies free in any thread's heap, but the free top
// of a heap other than the main thread's, which glibc gives back on its own once it is large. It
// walks every heap, so it runs on a pool thread, after the reading of a large text has freed what
// it built.
void returnFreedMemory() noexcept;

// Whether the reading of a text of `bytes` is followed by returnFreedMemory.
bool returnsAfterText(std::size_t bytes) noexcept;

// `work`, the reading of a text of `textBytes`, made to return the freed memory once it has run,
// however it ended, when the policy asks it for a text of that size.
template <class Work> auto thenReturnFreedMemory(std::size_t textBytes, Work work) {
    return [work = std::move(work), due = returnsAfterText(textBytes)]() mutable {
        struct AtEnd {
            bool due;
            ~AtEnd() {
                if (due)
                    returnFreedMemory();
            }
        } atEnd{due};
        return work();
    };
}

} // namespace varnel::HeapMemory
