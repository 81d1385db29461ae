#pragma once

#include "VarnelKit/Support/Descriptor.hpp"
#include "VarnelMenuBar/LocalAddress.hpp"

#include <atomic>
#include <chrono>
#include <optional>
#include <sys/types.h>

namespace varnel::Takeover {

// Lets another thread end a waitFor() before its limit: a quit cannot spend the wait's seconds.
// Once interrupted it stays so, and a wait that begins later ends at once.
class Interruption {
public:
    Interruption();
    Interruption(const Interruption&) = delete;
    Interruption& operator=(const Interruption&) = delete;

    // From any thread.
    void interrupt() noexcept;
    bool interrupted() const noexcept { return interrupted_.load(); }
    // Readable once interrupted; -1 when none could be made, and the wait then looks every 100 ms.
    int descriptor() const noexcept { return event_.get(); }

private:
    std::atomic<bool> interrupted_{false};
    Descriptor event_;
};

// Waits until `child`, a program this one started in its place, answers on the hand-over socket
// at `socket` (none: it cannot answer), or has ended, or `limit` has passed; a child that has not
// answered by then is ended. True once it answered. The lock says too little: the program takes it
// before its window system is up, and one that then aborts or hangs there would hold it. It
// listens only once that is up and its launch has run. An ended child is reaped. Blocks, woken by
// the child's end, by changes in the socket's folder (an abstract name is looked at every 100 ms)
// and by the answer; belongs on the blocking pool. An interruption ends it as the limit does.
bool waitFor(const std::optional<LocalAddress>& socket, pid_t child, std::chrono::milliseconds limit,
             const Interruption* interruption = nullptr);

} // namespace varnel::Takeover
