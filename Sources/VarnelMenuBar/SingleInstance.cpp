#include "VarnelMenuBar/SingleInstance.hpp"

#include "VarnelKit/Platform/PrivateFolder.hpp"
#include "VarnelKit/Support/Descriptor.hpp"
#include "VarnelKit/Support/NumberText.hpp"
#include "VarnelKit/Support/Paths.hpp"

#include <QLocalServer>
#include <QLocalSocket>
#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <fcntl.h>
#include <optional>
#include <poll.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <unistd.h>

namespace varnel {
namespace {

namespace fs = std::filesystem;

// What the running instance answers once its window is shown.
constexpr char shownReply[] = "shown\n";
constexpr char lockName[] = "varnel-menubar.lock";

// The name in the shared temporary folder, made by this user when it is missing. Anyone can make
// it first, so it counts only when it is a folder of this user's that no one else may enter: a
// lock or a socket someone else put there would turn every start away, or answer it.
std::optional<fs::path> sharedLockFolder() {
    const auto folder = PrivateFolder::sharedTemporaryFolder() /
                        ("varnel-menubar-" + NumberText::integer(static_cast<std::int64_t>(::getuid())));
    if (::mkdir(folder.c_str(), 0700) == 0) {
        // Made just now by this user, so no one else is in it; mkdir's mode went through the umask.
        if (::chmod(folder.c_str(), 0700) != 0)
            return std::nullopt;
    } else if (errno != EEXIST) {
        return std::nullopt;
    }
    if (!PrivateFolder::isPrivate(folder))
        return std::nullopt;
    return folder;
}

// Only this user writes in the data folder; it comes second because it may be on a network file
// system, where the temporary folder is local.
std::optional<fs::path> dataLockFolder() {
    try {
        const auto data = Paths::applicationSupport();
        const auto folder = data / "Instance";
        if (PrivateFolder::ensure(data, PrivateFolder::Links::follow) != 0 ||
            PrivateFolder::ensure(folder, PrivateFolder::Links::refuse) != 0 || !PrivateFolder::isPrivate(folder))
            return std::nullopt;
        return folder;
    } catch (const std::exception&) {
        // No home folder.
        return std::nullopt;
    }
}

// Its maker's end frees a lock but leaves its file, and the file is made before it is locked and
// written: a maker killed in between leaves a file that names no one, which the lock itself never
// takes as stale. A live maker locks the file natively the moment it has made it, so a nameless
// file that can be locked is no one's. The file is removed under that native lock, as the lock's
// own removal of a stale file does.
void removeNamelessLock(const fs::path& lockFile) {
    const Descriptor file(::open(lockFile.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
    if (!file.isOpen())
        return;
    const auto names = [&lockFile] {
        qint64 pid = 0;
        QString host;
        QString application;
        return QLockFile(QString::fromStdString(lockFile.string())).getLockInfo(&pid, &host, &application);
    };
    struct stat opened {};
    if (::fstat(file.get(), &opened) != 0 || !S_ISREG(opened.st_mode) || names())
        return;
    if (::flock(file.get(), LOCK_EX | LOCK_NB) != 0)
        return;
    struct stat current {};
    if (names() || ::lstat(lockFile.c_str(), &current) != 0 || current.st_dev != opened.st_dev ||
        current.st_ino != opened.st_ino)
        return;
    ::unlink(lockFile.c_str());
}

// The process that a lock file names, or 0.
qint64 holder(const QLockFile& lock) {
    qint64 pid = 0;
    QString host;
    QString application;
    return lock.getLockInfo(&pid, &host, &application) ? pid : 0;
}

// What wakes a wait for the lock: a change in the lock's folder (its file removed, made or
// written) and the end of the process that holds it. Where either cannot be watched, the wait
// looks again every 100 ms.
class LockWatch {
public:
    explicit LockWatch(const fs::path& lockFile) : folder_(::inotify_init1(IN_CLOEXEC | IN_NONBLOCK)) {
        watching_ = folder_.isOpen() &&
                    ::inotify_add_watch(folder_.get(), lockFile.parent_path().c_str(),
                                        IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_CLOSE_WRITE) >= 0;
    }

    // Until something changed or `limit` passed.
    void wait(qint64 holderPid, std::chrono::milliseconds limit) {
        if (holderPid != holderPid_) {
            holderPid_ = holderPid;
            const int opened =
                holderPid > 0 ? static_cast<int>(::syscall(SYS_pidfd_open, static_cast<pid_t>(holderPid), 0)) : -1;
            const int failure = errno;
            holder_.reset(opened);
            // Ended between the look at the file and now: look again at once.
            if (holderPid > 0 && opened < 0 && failure == ESRCH)
                return;
        }
        std::array<pollfd, 2> waits{};
        nfds_t count = 0;
        if (watching_)
            waits[count++] = pollfd{folder_.get(), POLLIN, 0};
        if (holder_.isOpen())
            waits[count++] = pollfd{holder_.get(), POLLIN, 0};
        const bool woken = watching_ && holder_.isOpen();
        const auto timeout = woken ? limit : std::min(limit, std::chrono::milliseconds(100));
        ::poll(waits.data(), count, static_cast<int>(timeout.count()));
        if (watching_) {
            std::array<char, 4096> events{};
            while (::read(folder_.get(), events.data(), events.size()) > 0) {
            }
        }
    }

private:
    Descriptor folder_;
    bool watching_ = false;
    qint64 holderPid_ = 0;
    Descriptor holder_;
};

bool comesFrom(const QLocalSocket& caller, pid_t process) {
    if (process <= 0)
        return false;
    ucred peer{};
    socklen_t size = sizeof peer;
    const int descriptor = static_cast<int>(caller.socketDescriptor());
    return ::getsockopt(descriptor, SOL_SOCKET, SO_PEERCRED, &peer, &size) == 0 && peer.pid == process;
}

} // namespace

SingleInstance::SingleInstance(const std::filesystem::path& lockFile)
    : lockFile_(lockFile), lock_(std::make_unique<QLockFile>(QString::fromStdString(lockFile.string()))) {
    // Only a dead owner makes a lock stale, however old it is: the tray runs all day.
    lock_->setStaleLockTime(0);
}

SingleInstance::~SingleInstance() = default;

std::filesystem::path SingleInstance::defaultLockFile() {
    if (const auto runtime = PrivateFolder::runtimeFolder())
        return *runtime / lockName;
    if (const auto shared = sharedLockFolder())
        return *shared / lockName;
    if (const auto data = dataLockFolder())
        return *data / lockName;
    // A later start cannot find this one, but without a data folder there is no enrolment, and so
    // no agent that two copies could run twice.
    return PrivateFolder::makeFresh("varnel-menubar-") / lockName;
}

std::filesystem::path SingleInstance::socketFile(const std::filesystem::path& lockFile) {
    auto socket = lockFile;
    socket.replace_extension(".socket");
    return socket;
}

bool SingleInstance::acquire(std::chrono::milliseconds wait) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + wait;
    // Watched before the first look, so that a release between a look and the wait is not missed.
    std::optional<LockWatch> watch;
    if (wait.count() > 0)
        watch.emplace(lockFile_);
    for (;;) {
        removeNamelessLock(lockFile_);
        // A lock file naming a process that has ended is removed here.
        if (lock_->tryLock(0))
            return true;
        if (lock_->error() != QLockFile::LockFailedError || !watch)
            return false;
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0)
            return false;
        watch->wait(holder(*lock_), left);
    }
}

bool SingleInstance::listen(std::function<void()> showWindow, pid_t prober) {
    if (server_)
        return true;
    const auto path = QString::fromStdString(socketFile(lockFile_).string());
    auto server = std::make_unique<QLocalServer>();
    // Only this user may ask for the window.
    server->setSocketOptions(QLocalServer::UserAccessOption);
    // Whoever holds the lock owns the socket's name: what is there was left by a process that died.
    QLocalServer::removeServer(path);
    if (!server->listen(path))
        return false;
    QObject::connect(server.get(), &QLocalServer::newConnection, server.get(),
                     [server = server.get(), showWindow = std::move(showWindow), prober] {
                         while (QLocalSocket* caller = server->nextPendingConnection()) {
                             QObject::connect(caller, &QLocalSocket::disconnected, caller,
                                              &QObject::deleteLater);
                             if (showWindow && !comesFrom(*caller, prober))
                                 showWindow();
                             // The caller only waits for the answer; it sends nothing.
                             caller->write(shownReply, sizeof shownReply - 1);
                             caller->disconnectFromServer();
                         }
                     });
    server_ = std::move(server);
    return true;
}

void SingleInstance::stopListening() {
    if (server_) {
        server_->close();
        server_.reset();
    }
}

void SingleInstance::release() {
    // The socket goes first: a new instance that gets the lock sets up its own.
    stopListening();
    lock_->unlock();
}

bool SingleInstance::handOver(const std::filesystem::path& lockFile, std::chrono::milliseconds limit) {
    const std::string path = socketFile(lockFile).string();
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path)
        return false;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    // Plain POSIX: a second start needs no Qt event loop, and must not hang on a busy instance.
    const Descriptor socket(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!socket.isOpen())
        return false;
    const int fd = socket.get();
    std::string answer;
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (answer.find('\n') == std::string::npos) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0)
                break;
            pollfd ready{fd, POLLIN, 0};
            const int polled = ::poll(&ready, 1, static_cast<int>(left.count()));
            if (polled < 0 && errno == EINTR)
                continue;
            if (polled <= 0)
                break;
            char buffer[64];
            const ssize_t got = ::read(fd, buffer, sizeof buffer);
            if (got < 0 && (errno == EINTR || errno == EAGAIN))
                continue;
            if (got <= 0)
                break;
            answer.append(buffer, static_cast<std::size_t>(got));
            if (answer.size() > sizeof buffer)
                break;
        }
    }
    return answer == shownReply;
}

std::filesystem::path SingleInstance::lockFile() const {
    return lock_->fileName().toStdString();
}

} // namespace varnel
