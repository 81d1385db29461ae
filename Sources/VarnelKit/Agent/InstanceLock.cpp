#include "VarnelKit/Agent/InstanceLock.hpp"

#include "VarnelKit/Agent/DataFolder.hpp"
#include "VarnelKit/Support/NumberText.hpp"
#include "VarnelKit/Support/OwnedFolder.hpp"
#include "VarnelKit/Support/Paths.hpp"
#include "VarnelKit/Support/ThreadAlarm.hpp"

#include <cerrno>
#include <fcntl.h>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <system_error>
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

} // namespace

fs::path InstanceLock::defaultFile() {
    return Paths::applicationSupport() / folderName / fileName;
}

InstanceLock::InstanceLock(fs::path file) : file_(std::move(file)) {}

InstanceLock::~InstanceLock() = default;

Descriptor InstanceLock::open() const {
    const fs::path instance = file_.parent_path();
    const fs::path data = instance.parent_path();
    const std::string name = file_.filename().string();
    const auto cannot = [this](const std::string& why) {
        return Failure("Varnel cannot start: it cannot lock " + file_.string() + " (" + why + ").");
    };
    const auto refusedBy = [](const Error& error) { return Failure("Varnel cannot start: " + error.description()); };

    if (const auto refusal = DataFolder::refusalToWrite(data)) {
        // Another user's data folder (root with this user's HOME): its credential, and so its one
        // agent, are that user's. Nothing is made in it; the owner's lock is shared, and without it
        // there is none to share.
        std::optional<DataFolder> found;
        std::optional<Descriptor> folder;
        try {
            found = DataFolder::inspect(data);
            if (found)
                folder = found->openFolder(instance.filename());
        } catch (const Error& refused) {
            throw refusedBy(refused);
        }
        Descriptor opened(folder ? OwnedFolder::openFileIn(folder->get(), name) : -1);
        if (!opened.isOpen() && (!folder || errno == ENOENT))
            throw Failure("Varnel cannot start: " + file_.string() + " is missing. " + refusal->description());
        if (!opened.isOpen())
            throw cannot(reason(errno));
        struct stat info {};
        if (::fstat(opened.get(), &info) != 0)
            throw cannot(reason(errno));
        if (!S_ISREG(info.st_mode) || info.st_uid != found->owner())
            throw cannot("it is not a file of the data folder's owner");
        return opened;
    }

    std::optional<DataFolder> prepared;
    try {
        prepared.emplace(DataFolder::prepare(data));
    } catch (const Error& refused) {
        throw refusedBy(refused);
    }
    Descriptor folder;
    if (const int status = prepared->makeFolder(instance.filename(), folder); status != 0)
        throw cannot(reason(status));
    Descriptor opened(
        ::openat(folder.get(), name.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600));
    // flock needs no write access: a file this user may only read (or one on a read-only mount)
    // locks as well.
    if (!opened.isOpen() && (errno == EACCES || errno == EPERM || errno == EROFS))
        opened.reset(OwnedFolder::openFileIn(folder.get(), name));
    if (!opened.isOpen())
        throw cannot(reason(errno));
    struct stat info {};
    if (::fstat(opened.get(), &info) != 0)
        throw cannot(reason(errno));
    if (!S_ISREG(info.st_mode))
        throw cannot("it is not a regular file");
    return opened;
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
        throw Failure("Varnel cannot start: it cannot lock " + file_.string() + " (" + reason(status) + ").");
    // Who holds it, for a person who looks; the lock itself never reads it.
    if ((::fcntl(file.get(), F_GETFL) & O_ACCMODE) == O_RDWR && ::ftruncate(file.get(), 0) == 0) {
        const std::string pid = NumberText::integer(::getpid()) + "\n";
        [[maybe_unused]] const auto written = ::pwrite(file.get(), pid.data(), pid.size(), 0);
    }
    lock_ = std::move(file);
    return true;
}

void InstanceLock::release() {
    const std::lock_guard guard(mutex_);
    lock_.reset();
}

bool InstanceLock::held() const {
    const std::lock_guard guard(mutex_);
    return lock_.isOpen();
}

} // namespace varnel
