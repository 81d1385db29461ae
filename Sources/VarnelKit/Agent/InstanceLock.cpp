#include "VarnelKit/Agent/InstanceLock.hpp"

#include "VarnelKit/Agent/DataFolder.hpp"
#include "VarnelKit/Platform/PathWatch.hpp"
#include "VarnelKit/Support/NumberText.hpp"
#include "VarnelKit/Support/OwnedFolder.hpp"
#include "VarnelKit/Support/Paths.hpp"
#include "VarnelKit/Support/ThreadAlarm.hpp"

#include <array>
#include <cerrno>
#include <cstdint>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <system_error>
#include <thread>
#include <unistd.h>

namespace varnel {

namespace {

namespace fs = std::filesystem;

constexpr char folderName[] = "Instance";
constexpr char fileName[] = "varnel-menubar.lock";

// The kernel's own wait for the lock, within a time limit: it wakes the waiters when the holder
// lets go or ends, and gives the lock to one of them. 0 once it is held, EWOULDBLOCK while another
// holds it, else the errno of the step that failed.
int lockWithin(int file, std::chrono::milliseconds wait) {
    if (::flock(file, LOCK_EX | LOCK_NB) == 0)
        return 0;
    if (errno != EWOULDBLOCK || wait.count() <= 0)
        return errno;
    const auto deadline = std::chrono::steady_clock::now() + wait;
    const ThreadAlarm alarm(wait);
    if (!alarm.armed())
        return errno;
    while (::flock(file, LOCK_EX) != 0) {
        if (errno != EINTR)
            return errno;
        if (std::chrono::steady_clock::now() >= deadline)
            return EWOULDBLOCK;
    }
    return 0;
}

std::string reason(int status) {
    return std::generic_category().message(status);
}

// Who holds the lock, for a person who looks; the lock itself never reads it. Only where this user
// may write the file.
void nameHolder(int file) {
    if ((::fcntl(file, F_GETFL) & O_ACCMODE) != O_RDWR || ::ftruncate(file, 0) != 0)
        return;
    const std::string pid = NumberText::integer(::getpid()) + "\n";
    [[maybe_unused]] const auto written = ::pwrite(file, pid.data(), pid.size(), 0);
}

} // namespace

fs::path InstanceLock::defaultFile() {
    return Paths::applicationSupport() / folderName / fileName;
}

InstanceLock::InstanceLock(fs::path file) : file_(std::move(file)) {}

InstanceLock::Failure::Failure(std::string reason)
    : Error("Varnel cannot start: " + reason), reason_(std::move(reason)) {}

InstanceLock::Failure InstanceLock::cannotLock(const std::string& why) const {
    return Failure("it cannot lock " + file_.string() + " (" + why + ").");
}

Descriptor InstanceLock::openExisting() const {
    const fs::path instance = file_.parent_path();
    std::optional<DataFolder> data;
    std::optional<Descriptor> folder;
    try {
        data = DataFolder::inspect(instance.parent_path());
        if (data)
            folder = data->openFolder(instance.filename());
    } catch (const Error& refused) {
        throw Failure(refused.description());
    }
    if (!folder)
        return Descriptor();
    const std::string name = file_.filename().string();
    // Only the owner writes who holds it; flock itself needs no write access, so a file this user
    // may only read (or one on a read-only mount) locks as well.
    Descriptor opened(data->mayWrite()
                          ? ::openat(folder->get(), name.c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC)
                          : OwnedFolder::openFileIn(folder->get(), name));
    if (!opened.isOpen() && (errno == EACCES || errno == EPERM || errno == EROFS))
        opened.reset(OwnedFolder::openFileIn(folder->get(), name));
    if (!opened.isOpen()) {
        if (errno == ENOENT)
            return Descriptor();
        throw cannotLock(reason(errno));
    }
    struct stat info {};
    if (::fstat(opened.get(), &info) != 0)
        throw cannotLock(reason(errno));
    if (!S_ISREG(info.st_mode))
        throw cannotLock("it is not a regular file");
    if (info.st_uid != data->owner())
        throw cannotLock("it is not the data folder's owner's");
    return opened;
}

Descriptor InstanceLock::open() const {
    const fs::path instance = file_.parent_path();
    const fs::path data = instance.parent_path();
    if (const auto refusal = DataFolder::refusalToWrite(data)) {
        // Another user's data folder (root with this user's HOME): its credential, and so its one
        // agent, are that user's. Nothing is made in it; the owner's lock is shared, and without it
        // there is none to share.
        Descriptor found = openExisting();
        if (!found.isOpen())
            throw Failure(file_.string() + " is missing. " + refusal->description());
        return found;
    }
    std::optional<DataFolder> prepared;
    try {
        prepared.emplace(DataFolder::prepare(data));
    } catch (const Error& refused) {
        throw Failure(refused.description());
    }
    Descriptor folder;
    if (const int status = prepared->makeFolder(instance.filename(), folder); status != 0)
        throw cannotLock(reason(status));
    // Made here when missing; then opened as any start opens it.
    const Descriptor made(::openat(folder.get(), file_.filename().c_str(),
                                   O_RDONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600));
    if (!made.isOpen() && errno != EEXIST)
        throw cannotLock(reason(errno));
    Descriptor found = openExisting();
    if (!found.isOpen())
        throw cannotLock(reason(ENOENT));
    return found;
}

bool InstanceLock::acquire(std::chrono::milliseconds wait) {
    const std::lock_guard guard(mutex_);
    if (lock_.isOpen())
        return true;
    Descriptor file = open();
    const int status = lockWithin(file.get(), wait);
    if (status == EWOULDBLOCK)
        return false;
    if (status != 0)
        throw Failure("it cannot lock " + file_.string() + " (" + reason(status) + ").");
    nameHolder(file.get());
    lock_ = std::move(file);
    if (keeping_.lost)
        startKeeping();
    return true;
}

void InstanceLock::keep(Keeping keeping) {
    stopKeeping();
    const std::lock_guard guard(mutex_);
    keeping_ = std::move(keeping);
    if (lock_.isOpen())
        startKeeping();
}

void InstanceLock::release() {
    stopKeeping();
    const std::lock_guard guard(mutex_);
    lock_.reset();
}

InstanceLock::Check InstanceLock::check(std::string& why) {
    const std::lock_guard guard(mutex_);
    if (!lock_.isOpen())
        return Check::kept;
    struct stat held {};
    struct stat named {};
    if (::fstat(lock_.get(), &held) != 0)
        return Check::kept;
    const auto same = [&held](const struct stat& other) {
        return other.st_dev == held.st_dev && other.st_ino == held.st_ino;
    };
    if (::stat(file_.c_str(), &named) == 0 && same(named))
        return Check::kept;
    // The path names another file (a copy of the folder put in its place), or none. Whoever takes
    // the lock on what the path names is the one agent: this copy takes it there as a start does,
    // but makes nothing (a removal under way would fail on what it made), and where nothing is at
    // the path yet, it waits for what a later start makes there.
    const std::string lost = "Varnel stops its agent, so that no label prints twice: its lock " + file_.string() +
                             " was removed or replaced, and ";
    Descriptor file;
    try {
        file = openExisting();
    } catch (const Failure& failure) {
        why = lost + failure.reason();
        return Check::lost;
    }
    if (!file.isOpen() || (::fstat(file.get(), &named) == 0 && same(named)))
        return Check::kept;
    if (::flock(file.get(), LOCK_EX | LOCK_NB) != 0) {
        why = lost + (errno == EWOULDBLOCK ? std::string("another copy of Varnel holds it now.")
                                           : "it cannot lock it again (" + reason(errno) + ").");
        return Check::lost;
    }
    nameHolder(file.get());
    lock_ = std::move(file);
    return Check::retaken;
}

// Watches the lock's path on a thread of its own, which sleeps in the kernel until the path
// changes or the keeper ends.
class InstanceLock::Keeper {
public:
    explicit Keeper(InstanceLock& lock) : lock_(lock), stop_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
        if (stop_.isOpen())
            thread_ = std::thread([this] { run(); });
        else
            unwatched(errno);
    }
    ~Keeper() {
        if (!thread_.joinable())
            return;
        const std::uint64_t one = 1;
        [[maybe_unused]] const auto written = ::write(stop_.get(), &one, sizeof one);
        thread_.join();
    }
    Keeper(const Keeper&) = delete;
    Keeper& operator=(const Keeper&) = delete;

private:
    void run() {
        const Keeping& keeping = lock_.keeping_;
        // The file, the lock's folder and the data folder, each within its parent: what a removal,
        // a move or a replacement by a copy changes. The folders above only for their own moves.
        PathWatch watch(lock_.file_, 3);
        if (!watch.armed())
            unwatched(watch.error());
        // What changed between the lock's taking and the watch's start is looked at first.
        for (bool look = true;; look = watch.changed()) {
            if (look) {
                std::string why;
                const Check found = lock_.check(why);
                if (found == Check::retaken && keeping.retaken)
                    keeping.retaken("The lock " + lock_.file_.string() +
                                    " was removed or replaced; this copy of Varnel holds it there again.");
                if (found == Check::lost) {
                    if (keeping.lost)
                        keeping.lost(why);
                    return;
                }
            }
            std::array<pollfd, 2> waits{pollfd{stop_.get(), POLLIN, 0}, pollfd{watch.descriptor(), POLLIN, 0}};
            const nfds_t count = watch.armed() ? 2 : 1;
            while (::poll(waits.data(), count, -1) < 0 && errno == EINTR) {
            }
            if (waits[0].revents != 0)
                return;
        }
    }

    void unwatched(int status) const {
        if (lock_.keeping_.unwatched)
            lock_.keeping_.unwatched("Varnel cannot watch its lock " + lock_.file_.string() + " (" + reason(status) +
                                     "): a start after its folder is removed or replaced may run a second agent.");
    }

    InstanceLock& lock_;
    Descriptor stop_;
    std::thread thread_;
};

void InstanceLock::startKeeping() {
    keeper_ = std::make_unique<Keeper>(*this);
}

void InstanceLock::stopKeeping() {
    keeper_.reset();
}

InstanceLock::~InstanceLock() {
    stopKeeping();
}

bool InstanceLock::held() const {
    const std::lock_guard guard(mutex_);
    return lock_.isOpen();
}

} // namespace varnel
