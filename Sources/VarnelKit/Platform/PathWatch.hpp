#pragma once

#include "VarnelKit/Support/Descriptor.hpp"

#include <cstddef>
#include <filesystem>
#include <map>
#include <string>

namespace varnel {

// Tells when what a path names may have changed: its file, or a folder on the way to it, was
// made, removed, moved or replaced. The kernel says so (inotify), so nothing is looked at until
// then. The last `entryLevels` folders on the way, and the last one there is when the rest is
// missing, are watched for their entry of the path's next name; the folders above them only for
// being moved or removed themselves, so that what others do elsewhere in a shared folder (a home,
// the temporary folder) wakes no one. Not thread-safe.
class PathWatch {
public:
    PathWatch(std::filesystem::path file, std::size_t entryLevels);
    PathWatch(const PathWatch&) = delete;
    PathWatch& operator=(const PathWatch&) = delete;

    // False when the kernel refused the watch (a limit reached): no change will be told.
    bool armed() const noexcept { return watch_.isOpen(); }
    // Why it is not armed: the errno of the step that failed.
    int error() const noexcept { return error_; }
    // Readable when something came.
    int descriptor() const noexcept { return watch_.get(); }
    // Reads what came; true when it may change what the path names. The path is then watched
    // anew, as it is now, so that a change after this call is told even where folders were
    // replaced: the caller looks at the path after this call, not before.
    bool changed();

private:
    void arm();

    const std::filesystem::path file_;
    const std::size_t entryLevels_;
    Descriptor watch_;
    int error_ = 0;
    // Each watch's folder's next name on the way to the file; empty for a folder watched only for
    // its own move or removal.
    std::map<int, std::string> names_;
};

} // namespace varnel
