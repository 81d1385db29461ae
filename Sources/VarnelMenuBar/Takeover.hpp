#pragma once

#include <chrono>
#include <filesystem>
#include <sys/types.h>

namespace varnel::Takeover {

// Waits until `child`, a program this one started in its place, has taken the single-instance
// lock at `lockFile`, or has ended, or `limit` has passed; a child still running then is ended.
// True once the lock file has named the child: from then on the new program may have removed what
// the update left, the old program's tree among it. An ended child is reaped. Blocks, woken by the
// child's end and by changes in the lock's folder; belongs on the blocking pool.
bool waitFor(const std::filesystem::path& lockFile, pid_t child, std::chrono::milliseconds limit);

} // namespace varnel::Takeover
