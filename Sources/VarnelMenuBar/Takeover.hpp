#pragma once

#include "VarnelKit/Support/Descriptor.hpp"

#include <atomic>
#include <chrono>
#include <filesystem>
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

// Waits until `child`, a program this one started in its place, has taken the single-instance
// lock at `lockFile`, or has ended, or `limit` has passed; a child still running then is ended.
// True once the lock file has named the child: from then on the new program may have removed what
// the update left, the old program's tree among it. An ended child is reaped. Blocks, woken by the
// child's end and by changes in the lock's folder; belongs on the blocking pool. An interruption
// ends it as the limit does.
bool waitFor(const std::filesystem::path& lockFile, pid_t child, std::chrono::milliseconds limit,
             const Interruption* interruption = nullptr);

} // namespace varnel::Takeover
