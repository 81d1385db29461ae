#pragma once

#include "VarnelKit/Support/Descriptor.hpp"
#include "VarnelKit/Support/Error.hpp"

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

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
    // made, opened or locked. The description, "Varnel cannot start: " and the reason, names the
    // file.
    class Failure : public Error {
    public:
        explicit Failure(std::string reason);
        const std::string& reason() const noexcept { return reason_; }

    private:
        std::string reason_;
    };

    // What a copy that holds the lock is told while it keeps it, on a thread of the lock's own;
    // none of them may release the lock.
    struct Keeping {
        // The lock's file was removed, moved or replaced, and this copy took the lock at its path
        // again: `line` says so for the log. (The tray listens beside it anew.)
        std::function<void(const std::string& line)> retaken;
        // The path's lock is another copy's now, or cannot be taken at all: this copy must stop its
        // agent, which `why` says for the log and the user.
        std::function<void(const std::string& why)> lost;
        // The path cannot be watched (a limit of the system): `line` says so for the log.
        std::function<void(const std::string& line)> unwatched;
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
    // From now on, while the lock is held (and again after each acquire), the file at its path is
    // watched: once the path no longer names the file this copy holds (its folder or the data
    // folder removed, moved, or replaced by a copy), the lock is taken on what the path names,
    // as soon as something is there: the copy's file at once, else the file that a later start
    // makes. Nothing is made for it, so that a removal or a copy under way never meets a folder
    // of this copy's making. Where another copy holds what the path names (that start was
    // first), or it cannot be locked, `keeping.lost` is told. A change between acquire() and this
    // call is seen too.
    void keep(Keeping keeping);
    // Lets go of the lock, and stops watching its path; a later acquire() takes it again.
    void release();
    bool held() const;
    const std::filesystem::path& file() const noexcept { return file_; }

private:
    class Keeper;
    enum class Check { kept, retaken, lost };

    // The lock's file opened, made first where this process may make it (the data folder's
    // owner). Throws Failure.
    Descriptor open() const;
    // The lock's file as it is, opened, making nothing: none where nothing is at the path. Throws
    // Failure.
    Descriptor openExisting() const;
    Failure cannotLock(const std::string& why) const;
    // Whether the path still names the file held, and if not, the lock taken there again; `why`
    // says what was found when that failed.
    Check check(std::string& why);
    void startKeeping();
    void stopKeeping();

    const std::filesystem::path file_;
    mutable std::mutex mutex_;
    Descriptor lock_;
    Keeping keeping_;
    std::unique_ptr<Keeper> keeper_;
};

} // namespace varnel
