#pragma once

#include "VarnelKit/Support/Descriptor.hpp"
#include "VarnelKit/Support/Error.hpp"

#include <chrono>
#include <filesystem>
#include <mutex>

namespace varnel {

// One agent per enrollment, whichever program runs it: a second agent with the same credential
// would print every pushed label twice. The tray application and `varnel-agent run` take this lock
// for as long as they run an agent, and commands that only read take none. What makes two copies
// one agent is the data folder that holds the credential and the settings, so the lock lives
// there, whatever each start's environment says otherwise: a kernel lock (flock) on
// Instance/varnel-menubar.lock, a file that is never removed. The kernel frees it when its holder
// ends, so it is never stale, and at most one process holds it, however many starts meet. The
// tray application's releases before this one lock the same file, so every release excludes every
// other.
class InstanceLock {
public:
    // The lock could not be taken, as opposed to being held by another copy: the file could not be
    // made, opened or locked. The description names the file and the reason.
    class Failure : public Error {
    public:
        using Error::Error;
    };

    // The lock's file in the data folder as it is now. Creates nothing; throws the Error of
    // Paths::applicationSupport when the user has no home folder.
    static std::filesystem::path defaultFile();

    // The lock on `file`, which lies in a folder of its own in the data folder:
    // <data folder>/Instance/<name>.
    explicit InstanceLock(std::filesystem::path file);
    ~InstanceLock();
    InstanceLock(const InstanceLock&) = delete;
    InstanceLock& operator=(const InstanceLock&) = delete;

    // True once this process holds the lock; false when another copy holds it, also once `wait`
    // has passed without that copy letting go (a relaunch after an update overlaps the old copy's
    // quit). The kernel wakes the wait when the holder lets go or ends, and gives the lock to one
    // waiter only. The data folder's owner makes the lock's folder and file where they are
    // missing; another user (root with this user's HOME) makes nothing there and shares the
    // owner's lock, which it may only open. Throws Failure when the lock cannot be taken.
    bool acquire(std::chrono::milliseconds wait);
    // Lets go of the lock; a later acquire() takes it again.
    void release();
    bool held() const;
    const std::filesystem::path& file() const noexcept { return file_; }

private:
    // The lock's file opened, made first where this process may make it.
    Descriptor open() const;

    const std::filesystem::path file_;
    mutable std::mutex mutex_;
    Descriptor lock_;
};

} // namespace varnel
